#include "platform/ui/BarButtonItem.h"

#include "platform/ui/Button.h"

#include <algorithm>

namespace platform {

namespace {

constexpr double kBarItemFontSize = 17;

std::string systemTitle(BarButtonSystemItem item) {
    switch (item) {
    case BarButtonSystemItem::Done: return "Done";
    case BarButtonSystemItem::Cancel: return "Cancel";
    case BarButtonSystemItem::Edit: return "Edit";
    case BarButtonSystemItem::Save: return "Save";
    case BarButtonSystemItem::Add: return "+";
    default: return "";
    }
}

// The bar's button for an item: follows the item's title, image, style, enabled flag and tint.
class BarItemButton : public Button {
public:
    explicit BarItemButton(std::weak_ptr<BarButtonItem> item) : Button(ButtonType::System), m_item(std::move(item)) {}

    // Takes the item's looks. The bars call it (through viewForBar) whenever they lay out; not from the
    // button's own layout, where setting the title would ask for another layout pass, turn after turn.
    void sync() {
        auto item = m_item.lock();
        if (!item)
            return;
        // Only what changed is set: each setter asks for another layout, which runs this again.
        std::optional<std::string> title = item->title().empty() ? std::nullopt : std::optional<std::string>(item->title());
        if (titleForState(kControlStateNormal) != title)
            setTitle(std::move(title), kControlStateNormal);
        if (imageForState(kControlStateNormal) != item->image())
            setImage(item->image(), kControlStateNormal);
        if (isEnabled() != item->isEnabled())
            setEnabled(item->isEnabled());
        if (m_appliedTint != item->tintColor()) {
            m_appliedTint = item->tintColor();
            setTintColor(item->tintColor());
        }
        if (m_appliedStyle != item->style()) { // asking for the title label asks for a layout too
            m_appliedStyle = item->style();
            titleLabel()->setFont(item->style() == BarButtonItemStyle::Done ? Font::boldSystemFont(kBarItemFontSize)
                                                                            : Font::systemFont(kBarItemFontSize));
        }
        Rect f = frame();
        Size fits = sizeThatFits(f.size);
        setFrame(Rect(f.origin, fits));
    }

private:
    std::weak_ptr<BarButtonItem> m_item;
    std::optional<std::optional<Color>> m_appliedTint;
    std::optional<BarButtonItemStyle> m_appliedStyle;
};

} // namespace

std::shared_ptr<BarButtonItem> BarButtonItem::withTitle(const std::string& title, BarButtonItemStyle style) {
    auto item = std::shared_ptr<BarButtonItem>(new BarButtonItem());
    item->m_title = title;
    item->m_style = style;
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withImage(Image::Ptr image, BarButtonItemStyle style) {
    auto item = std::shared_ptr<BarButtonItem>(new BarButtonItem());
    item->m_image = std::move(image);
    item->m_style = style;
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::withCustomView(std::shared_ptr<View> view) {
    auto item = std::shared_ptr<BarButtonItem>(new BarButtonItem());
    item->m_customView = std::move(view);
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::system(BarButtonSystemItem systemItem) {
    auto item = std::shared_ptr<BarButtonItem>(new BarButtonItem());
    item->m_systemItem = systemItem;
    item->m_title = systemTitle(systemItem);
    if (systemItem == BarButtonSystemItem::Done || systemItem == BarButtonSystemItem::Save)
        item->m_style = BarButtonItemStyle::Done;
    return item;
}

std::shared_ptr<BarButtonItem> BarButtonItem::fixedSpace(double width) {
    auto item = system(BarButtonSystemItem::FixedSpace);
    item->setWidth(width);
    return item;
}

void BarButtonItem::setTarget(std::weak_ptr<void> target, Action action) {
    m_target = std::move(target);
    m_action = std::move(action);
}

void BarButtonItem::performAction() {
    if (!m_enabled || !m_action)
        return;
    auto target = m_target.lock();
    if (!target)
        return;
    auto self = shared_from_this();
    Action action = m_action;  // the action may replace itself
    action(*this);
}

std::shared_ptr<View> BarButtonItem::viewForBar() {
    if (m_customView)
        return m_customView;
    if (isFlexibleSpace() || isFixedSpace())
        return nullptr;
    if (!m_button) {
        auto button = std::make_shared<BarItemButton>(weak_from_this());
        std::weak_ptr<BarButtonItem> weak = weak_from_this();
        button->addTarget(weak, [weak](Control&) {
            if (auto item = weak.lock())
                item->performAction();
        }, kControlEventTouchUpInside);
        button->sync();
        m_button = button;
    }
    static_cast<BarItemButton&>(*m_button).sync();
    return m_button;
}

std::vector<std::pair<double, double>> layoutBarItems(const std::vector<std::shared_ptr<BarButtonItem>>& items, double width,
                                                      double margin, double spacing) {
    std::vector<double> widths;
    int flexible = 0;
    double used = 2 * margin;
    const BarButtonItem* previous = nullptr;
    for (const auto& item : items) {
        double w = 0;
        if (item->isFlexibleSpace()) {
            ++flexible;
        } else if (item->isFixedSpace()) {
            w = item->width();
        } else if (auto view = item->viewForBar()) {
            w = item->width() > 0 ? item->width() : view->frame().width();
        }
        bool isSpace = item->isFlexibleSpace() || item->isFixedSpace();
        if (previous && !isSpace && !previous->isFlexibleSpace() && !previous->isFixedSpace())
            used += spacing;
        used += w;
        widths.push_back(w);
        previous = item.get();
    }
    double share = flexible ? std::max(0.0, width - used) / flexible : 0;
    std::vector<std::pair<double, double>> frames;
    double x = margin;
    previous = nullptr;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        bool isSpace = item->isFlexibleSpace() || item->isFixedSpace();
        if (previous && !isSpace && !previous->isFlexibleSpace() && !previous->isFixedSpace())
            x += spacing;
        double w = item->isFlexibleSpace() ? share : widths[i];
        frames.emplace_back(x, w);
        x += w;
        previous = item.get();
    }
    return frames;
}

} // namespace platform
