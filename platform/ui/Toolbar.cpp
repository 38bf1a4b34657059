#include "platform/ui/Toolbar.h"

#include "platform/ui/GraphicsContext.h"

#include <algorithm>

namespace platform {

void bars::drawBackground(Rect bounds, double extendUp, BarStyle style, bool translucent, const std::optional<Color>& barTint,
                          const Image::Ptr& background, const Image::Ptr& shadow, bool shadowBelow) {
    GraphicsContext* g = GraphicsContext::current();
    if (!g)
        return;
    Rect area(bounds.minX(), bounds.minY() - extendUp, bounds.width(), bounds.height() + extendUp);
    if (background) {
        g->drawImage(background, area);
    } else {
        Color fill = barTint ? *barTint : style == BarStyle::Black ? Color::grey(0.11) : Color::grey(0.97);
        if (translucent)
            fill = fill.withAlpha(fill.alpha * 0.94);
        g->setFillColor(fill);
        g->fillRect(area);
    }
    double edge = shadowBelow ? bounds.maxY() : bounds.minY();
    if (shadow) {
        Size s = shadow->size();
        double h = s.height > 0 ? s.height : 0.5;
        g->drawImage(shadow, Rect(bounds.minX(), shadowBelow ? edge : edge - h, bounds.width(), h));
    } else if (!background) {
        g->setFillColor(style == BarStyle::Black ? Color::grey(0, 0.6) : Color::grey(0, 0.3));
        g->fillRect(Rect(bounds.minX(), shadowBelow ? edge : edge - 0.5, bounds.width(), 0.5));
    }
}

Size Bar::sizeThatFits(Size size) const { return Size{size.width > 0 ? size.width : bounds().width(), kBarHeight}; }

Toolbar::Toolbar(Rect frame) : Bar(frame) {}

void Toolbar::setBackgroundImage(Image::Ptr image, BarPosition position, BarMetrics metrics) {
    if (image)
        m_backgrounds[{position, metrics}] = std::move(image);
    else
        m_backgrounds.erase({position, metrics});
}

Image::Ptr Toolbar::backgroundImage(BarPosition position, BarMetrics metrics) const {
    for (BarPosition p : {position, BarPosition::Any})
        if (auto it = m_backgrounds.find({p, metrics}); it != m_backgrounds.end())
            return it->second;
    return nullptr;
}

void Toolbar::setShadowImage(Image::Ptr image, BarPosition position) {
    if (image)
        m_shadows[position] = std::move(image);
    else
        m_shadows.erase(position);
}

Image::Ptr Toolbar::shadowImage(BarPosition position) const {
    for (BarPosition p : {position, BarPosition::Any})
        if (auto it = m_shadows.find(p); it != m_shadows.end())
            return it->second;
    return nullptr;
}

void Toolbar::setItems(std::vector<std::shared_ptr<BarButtonItem>> items, bool) {
    std::erase(items, nullptr);
    for (const auto& v : m_itemViews)
        v->removeFromSuperview();
    m_itemViews.clear();
    m_items = std::move(items);
    for (const auto& item : m_items)
        if (auto view = item->viewForBar()) {
            addSubview(view);
            m_itemViews.push_back(view);
        }
    setNeedsLayout();
}

void Toolbar::layoutSubviews() {
    auto frames = layoutBarItems(m_items, bounds().width(), kBarMargin, kBarItemSpacing);
    for (std::size_t i = 0; i < m_items.size(); ++i) {
        auto view = m_items[i]->viewForBar();
        if (!view)
            continue;
        double h = std::min(view->frame().height(), bounds().height());
        view->setFrame(Rect(bounds().minX() + frames[i].first, bounds().midY() - h / 2, frames[i].second, h));
    }
}

void Toolbar::drawRect(Rect) {
    bars::drawBackground(bounds(), 0, m_barStyle, m_translucent, m_barTint, backgroundImage(m_position), shadowImage(m_position),
                         m_position == BarPosition::Top || m_position == BarPosition::TopAttached);
}

} // namespace platform
