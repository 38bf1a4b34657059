#include "platform/ui/BarButtonItem.h"

#include "platform/ui/Button.h"

#include <algorithm>

namespace platform {

namespace {

constexpr double kBarItemFontSize = 17;
// The smallest area a bar item's button answers touches in, as on the phone.
constexpr double kMinimumTouchSide = 44;

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
        bool changed = false;
        std::optional<std::string> title = item->title().empty() ? std::nullopt : std::optional<std::string>(item->title());
        if (titleForState(kControlStateNormal) != title) {
            setTitle(std::move(title), kControlStateNormal);
            changed = true;
        }
        if (imageForState(kControlStateNormal) != item->image()) {
            setImage(item->image(), kControlStateNormal);
            changed = true;
        }
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
            changed = true;
        }
        // New looks take their own size; otherwise the size a bar gave stays (a toolbar may have narrowed
        // the button to fit).
        if (changed) {
            Rect f = frame();
            setFrame(Rect(f.origin, sizeThatFits(f.size)));
        }
    }

    // Touches within kMinimumTouchSide around the button's centre count as its own, however small its
    // picture or title (a 13-point arrow, say).
    bool pointInside(Point point) const override {
        Rect b = bounds();
        double dx = std::max(0.0, (kMinimumTouchSide - b.width()) / 2);
        double dy = std::max(0.0, (kMinimumTouchSide - b.height()) / 2);
        return b.insetBy(-dx, -dy).contains(point);
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

namespace {

// Items wider than the bar has room for give up `excess` points of width, the widest first, down to one
// common width, so that every item keeps a place on the bar (their titles are cut to fit). Only buttons
// made for titles and pictures shrink; custom views and spaces keep their widths.
void shrinkToFit(const std::vector<std::shared_ptr<BarButtonItem>>& items, std::vector<double>& widths, double excess) {
    if (!(excess > 0))
        return;
    std::vector<std::size_t> shrinkable;
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i]->isFlexibleSpace() && !items[i]->isFixedSpace() && !items[i]->customView() && widths[i] > 0)
            shrinkable.push_back(i);
    std::sort(shrinkable.begin(), shrinkable.end(), [&](std::size_t a, std::size_t b) { return widths[a] > widths[b]; });
    // The common width c of the k widest: their total less c * k is the excess.
    double total = 0;
    double cap = 0;
    for (std::size_t k = 0; k < shrinkable.size(); ++k) {
        total += widths[shrinkable[k]];
        cap = (total - excess) / static_cast<double>(k + 1);
        if (k + 1 == shrinkable.size() || cap >= widths[shrinkable[k + 1]])
            break;
    }
    cap = std::max(0.0, cap);
    for (std::size_t i : shrinkable)
        widths[i] = std::min(widths[i], cap);
}

} // namespace

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
            // A button's own width (its frame may be one a narrower bar gave it); a custom view's frame.
            w = item->width() > 0 ? item->width() : item->customView() ? view->frame().width() : view->sizeThatFits(Size{}).width;
        }
        bool isSpace = item->isFlexibleSpace() || item->isFixedSpace();
        if (previous && !isSpace && !previous->isFlexibleSpace() && !previous->isFixedSpace())
            used += spacing;
        used += w;
        widths.push_back(w);
        previous = item.get();
    }
    shrinkToFit(items, widths, used - width);
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
