#include "platform/ui/NavigationBar.h"

#include "platform/ui/ImageContext.h"
#include "platform/ui/ViewController.h"

#include <algorithm>

namespace platform {

namespace {
constexpr double kNavigationMargin = 8;

// The back chevron, 12 x 21 points, in `color`.
Image::Ptr chevron(const Color& color) {
    auto context = ImageContext::begin({12, 21}, 0);
    if (!context)
        return nullptr;
    GraphicsContext& g = context->context();
    g.setStrokeColor(color);
    g.setLineWidth(3);
    const Point points[] = {{10, 1.5}, {1.5, 10.5}, {1.5, 10.5}, {10, 19.5}};
    g.strokeLineSegments(points);
    return context->end();
}
} // namespace

std::string NavigationItem::title() const {
    if (m_ownTitle)
        return m_title;
    if (auto controller = m_controller.lock())
        return controller->title();
    return m_title;
}

std::string NavigationItem::backTitle() const {
    if (m_back && !m_back->title().empty())
        return m_back->title();
    std::string t = title();
    return t.empty() ? "Back" : t;
}

NavigationBar::NavigationBar(Rect frame) : Bar(frame) {
    m_titleLabel = std::make_shared<Label>();
    m_titleLabel->setFont(Font::boldSystemFont(kTitleFontSize));
    m_titleLabel->setTextAlignment(TextAlignment::Center);
}

Image::Ptr NavigationBar::backgroundImage(BarMetrics metrics) const {
    return metrics == BarMetrics::Compact ? m_compactBackground : m_background;
}

void NavigationBar::setBackgroundImage(Image::Ptr image, BarMetrics metrics) {
    (metrics == BarMetrics::Compact ? m_compactBackground : m_background) = std::move(image);
}

void NavigationBar::setItems(std::vector<std::shared_ptr<NavigationItem>> items, bool) {
    std::erase(items, nullptr);
    m_items = std::move(items);
    reloadItems();
}

void NavigationBar::pushNavigationItem(const std::shared_ptr<NavigationItem>& item, bool) {
    if (!item || std::find(m_items.begin(), m_items.end(), item) != m_items.end())
        return;
    m_items.push_back(item);
    reloadItems();
}

std::shared_ptr<NavigationItem> NavigationBar::popNavigationItem(bool) {
    if (m_items.empty())
        return nullptr;
    auto top = m_items.back();
    m_items.pop_back();
    reloadItems();
    return top;
}

void NavigationBar::backTapped() {
    if (m_backAction) {
        auto action = m_backAction;
        action();
    } else {
        popNavigationItem(true);
    }
}

void NavigationBar::reloadItems() {
    for (const auto& v : m_shown)
        v->removeFromSuperview();
    m_shown.clear();
    m_shownLeft.clear();
    m_shownRight.clear();
    auto top = topItem();
    if (!top) {
        setNeedsLayout();
        return;
    }
    if (top->titleView()) {
        m_shown.push_back(top->titleView());
    } else {
        m_titleLabel->setText(top->title());
        m_titleLabel->setTextColor(m_barStyle == BarStyle::Black ? Color::white() : Color::black());
        m_shown.push_back(m_titleLabel);
    }
    m_shownLeft = top->leftBarButtonItems();
    if (m_shownLeft.empty() && backItem() && !top->hidesBackButton()) {
        if (!m_backButton) {
            m_backButton = Button::create(ButtonType::System);
            m_backButton->titleLabel()->setFont(Font::systemFont(kTitleFontSize));
            m_backButton->setTitleEdgeInsets({0, 6, 0, 0});
            std::weak_ptr<View> weak = weak_from_this();
            m_backButton->addTarget(weak, [weak](Control&) {
                if (auto bar = std::static_pointer_cast<NavigationBar>(weak.lock()))
                    bar->backTapped();
            }, kControlEventTouchUpInside);
        }
        m_backButton->setTitle(backItem()->backTitle(), kControlStateNormal);
        m_backButton->setImage(chevron(tintColor()), kControlStateNormal);
        m_backButton->sizeToFit();
        m_backButton->setFrame(Rect(0, 0, m_backButton->frame().width() + 6, kBarHeight));
        m_shown.push_back(m_backButton);
    }
    m_shownRight = top->rightBarButtonItems();
    for (const auto& items : {m_shownLeft, m_shownRight})
        for (const auto& item : items)
            if (auto v = item->viewForBar())
                m_shown.push_back(v);
    for (const auto& v : m_shown)
        addSubview(v);
    setNeedsLayout();
}

void NavigationBar::layoutSubviews() {
    Rect b = bounds();
    auto centreY = [&](const std::shared_ptr<View>& v) {
        double h = std::min(v->frame().height(), b.height());
        return b.midY() - h / 2;
    };
    double left = b.minX() + kNavigationMargin;
    if (m_backButton && m_backButton->superview().get() == this) {
        m_backButton->setFrame(Rect(left, b.minY(), m_backButton->frame().width(), b.height()));
        left = m_backButton->frame().maxX();
    }
    for (const auto& item : m_shownLeft)
        if (auto v = item->viewForBar()) {
            v->setFrame(Rect(left, centreY(v), v->frame().width(), std::min(v->frame().height(), b.height())));
            left = v->frame().maxX() + kBarItemSpacing;
        }
    double right = b.maxX() - kNavigationMargin;
    for (const auto& item : m_shownRight)  // the first item is the rightmost, as on the platform
        if (auto v = item->viewForBar()) {
            double w = v->frame().width();
            v->setFrame(Rect(right - w, centreY(v), w, std::min(v->frame().height(), b.height())));
            right = v->frame().minX() - kBarItemSpacing;
        }
    auto top = topItem();
    if (!top)
        return;
    std::shared_ptr<View> title = top->titleView() ? top->titleView() : std::static_pointer_cast<View>(m_titleLabel);
    Size size = title == m_titleLabel ? m_titleLabel->sizeThatFits(Size{0, 0}) : title->frame().size;
    // Centred in the bar, unless the items leave no room: then centred in the room between them.
    double room = std::max(0.0, right - left);
    double width = std::min(size.width, room);
    double x = b.midX() - width / 2;
    x = std::clamp(x, left, std::max(left, right - width));
    double h = std::min(size.height, b.height());
    title->setFrame(Rect(x, b.midY() - h / 2, width, h));
}

void NavigationBar::drawRect(Rect) {
    bars::drawBackground(bounds(), m_extension, m_barStyle, m_translucent, m_barTint, m_background, m_shadow, true);
}

} // namespace platform
