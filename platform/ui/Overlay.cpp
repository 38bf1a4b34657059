#include "platform/ui/Overlay.h"

#include "platform/ui/CairoSupport.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>
#include <cmath>

namespace platform::overlay {

namespace {
constexpr unsigned kUp = 1, kDown = 2, kLeft = 4, kRight = 8;

// A row button draws a hairline along its top.
class RowButton : public Button {
public:
    RowButton() : Button(ButtonType::System) {}
    void drawRect(Rect rect) override {
        Button::drawRect(rect);
        if (auto* g = GraphicsContext::current()) {
            g->setFillColor(Color::grey(0, 0.2));
            g->fillRect(Rect(0, 0, bounds().width(), 0.5));
        }
        if (isHighlighted())
            if (auto* g = GraphicsContext::current()) {
                g->setFillColor(Color::grey(0, 0.08));
                g->fillRect(bounds());
            }
    }
};
} // namespace

std::shared_ptr<Window> makeWindow() {
    Rect frame = Screen::main().bounds();
    if (auto key = Window::keyWindow())
        frame = key->frame();
    auto window = Window::create(frame);
    window->setWindowLevel(kWindowLevelAlert);
    window->setOpaque(false);
    window->setHidden(false);
    return window;
}

Backdrop::Backdrop(Rect frame, bool dimmed) : View(frame) {
    setBackgroundColor(dimmed ? Color::grey(0, kDimAlpha) : Color::clear());
    setOpaque(false);
    setAutoresizingMask(kAutoresizingFlexibleWidth | kAutoresizingFlexibleHeight);
}

void Backdrop::touchesEnded(const TouchSet&) {
    if (onTap) {
        auto tap = onTap;
        tap();
    }
}

Box::Box(Rect frame) : View(frame) { setOpaque(false); }

void Box::setArrow(unsigned direction, Point tip) {
    m_arrow = direction;
    m_tip = tip;
}

Rect Box::contentRect() const {
    Rect b = bounds();
    switch (m_arrow) {
    case kUp: return Rect(b.minX(), b.minY() + kArrowHeight, b.width(), b.height() - kArrowHeight);
    case kDown: return Rect(b.minX(), b.minY(), b.width(), b.height() - kArrowHeight);
    case kLeft: return Rect(b.minX() + kArrowHeight, b.minY(), b.width() - kArrowHeight, b.height());
    case kRight: return Rect(b.minX(), b.minY(), b.width() - kArrowHeight, b.height());
    default: return b;
    }
}

void Box::drawRect(Rect) {
    GraphicsContext* g = GraphicsContext::current();
    if (!g)
        return;
    cairo_t* cr = g->cairo();
    Rect panel = contentRect();
    cairo::drawShadow(cr, panel, kBoxCornerRadius, Color::black(), 0.25, Size{0, 2}, 8);
    cairo::roundedRectangle(cr, panel, kBoxCornerRadius);
    if (m_arrow) {
        // The arrow: a triangle from the panel's edge to the tip, its base kept off the corners.
        double half = kArrowWidth / 2;
        if (m_arrow == kUp || m_arrow == kDown) {
            double x = std::clamp(m_tip.x, panel.minX() + kBoxCornerRadius + half, panel.maxX() - kBoxCornerRadius - half);
            double edge = m_arrow == kUp ? panel.minY() : panel.maxY();
            double tipY = m_arrow == kUp ? panel.minY() - kArrowHeight : panel.maxY() + kArrowHeight;
            cairo_move_to(cr, x - half, edge);
            cairo_line_to(cr, x, tipY);
            cairo_line_to(cr, x + half, edge);
        } else {
            double y = std::clamp(m_tip.y, panel.minY() + kBoxCornerRadius + half, panel.maxY() - kBoxCornerRadius - half);
            double edge = m_arrow == kLeft ? panel.minX() : panel.maxX();
            double tipX = m_arrow == kLeft ? panel.minX() - kArrowHeight : panel.maxX() + kArrowHeight;
            cairo_move_to(cr, edge, y - half);
            cairo_line_to(cr, tipX, y);
            cairo_line_to(cr, edge, y + half);
        }
        cairo_close_path(cr);
    }
    cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
    cairo::setSource(cr, Color::grey(0.98));
    cairo_fill(cr);
}

std::shared_ptr<Button> makeRowButton(const std::string& title, const Font& font, const Color& color, std::function<void()> onTap) {
    auto button = std::make_shared<RowButton>();
    button->setTitle(title, kControlStateNormal);
    button->setTitleColor(color, kControlStateNormal);
    button->setTitleColor(color, kControlStateHighlighted);
    button->titleLabel()->setFont(font);
    button->setContentEdgeInsets({0, 8, 0, 8});
    std::weak_ptr<View> weak = button;
    button->addTarget(weak, [onTap = std::move(onTap)](Control&) {
        if (onTap)
            onTap();
    }, kControlEventTouchUpInside);
    return button;
}

Placement place(Size content, Rect target, Rect bounds, unsigned permitted) {
    permitted &= (kUp | kDown | kLeft | kRight);
    if (!permitted)
        permitted = kUp | kDown | kLeft | kRight;
    Rect area = bounds.insetBy(kScreenMargin, kScreenMargin);
    content = Size{std::max(0.0, content.width), std::max(0.0, content.height)};
    // The room on each side of the target for the box, arrow included.
    auto room = [&](unsigned d) {
        switch (d) {
        case kUp: return area.maxY() - target.maxY();    // the arrow points up: the box is below
        case kDown: return target.minY() - area.minY();  // the box is above
        case kLeft: return area.maxX() - target.maxX();  // the box is to the right
        default: return target.minX() - area.minX();     // the box is to the left
        }
    };
    auto needed = [&](unsigned d) { return (d == kUp || d == kDown ? content.height : content.width) + kArrowHeight; };
    unsigned chosen = 0;
    for (unsigned d : {kUp, kDown, kLeft, kRight})
        if ((permitted & d) && room(d) >= needed(d)) {
            chosen = d;
            break;
        }
    if (!chosen)
        for (unsigned d : {kUp, kDown, kLeft, kRight})
            if ((permitted & d) && (!chosen || room(d) > room(chosen)))
                chosen = d;
    double available = std::max(0.0, room(chosen) - kArrowHeight);
    Placement p;
    p.direction = chosen;
    Point tipOnScreen;
    if (chosen == kUp || chosen == kDown) {
        double w = std::min(content.width, area.width()), h = std::min(content.height, available);
        double x = std::clamp(target.midX() - w / 2, area.minX(), std::max(area.minX(), area.maxX() - w));
        double y = chosen == kUp ? target.maxY() : target.minY() - h - kArrowHeight;
        p.frame = Rect(x, y, w, h + kArrowHeight);
        tipOnScreen = Point{target.midX(), chosen == kUp ? target.maxY() : target.minY()};
    } else {
        double w = std::min(content.width, available), h = std::min(content.height, area.height());
        double y = std::clamp(target.midY() - h / 2, area.minY(), std::max(area.minY(), area.maxY() - h));
        double x = chosen == kLeft ? target.maxX() : target.minX() - w - kArrowHeight;
        p.frame = Rect(x, y, w + kArrowHeight, h);
        tipOnScreen = Point{chosen == kLeft ? target.maxX() : target.minX(), target.midY()};
    }
    // A target that leaves no room on any side: the box overlaps it, but stays on the screen.
    p.frame = clampedInto(p.frame, area);
    p.tip = Point{std::clamp(tipOnScreen.x - p.frame.minX(), 0.0, p.frame.width()),
                  std::clamp(tipOnScreen.y - p.frame.minY(), 0.0, p.frame.height())};
    return p;
}

void dismiss(bool animated, double duration, const std::function<void()>& animations, std::function<void()> finish) {
    if (!animated) {
        finish();
        return;
    }
    ViewAnimation::animate(duration, 0, kAnimationOptionAllowUserInteraction, animations, [finish = std::move(finish)](bool) { finish(); });
}

Rect sanitized(Rect rect) {
    auto sane = [](double v) { return std::isfinite(v) ? v : 0.0; };
    return Rect(sane(rect.origin.x), sane(rect.origin.y), sane(rect.size.width), sane(rect.size.height)).standardized();
}

Rect clampedInto(Rect rect, Rect bounds) {
    rect = sanitized(rect);
    double w = std::min(rect.width(), bounds.width()), h = std::min(rect.height(), bounds.height());
    double x = std::clamp(rect.minX(), bounds.minX(), bounds.maxX() - w);
    double y = std::clamp(rect.minY(), bounds.minY(), bounds.maxY() - h);
    return Rect(x, y, w, h);
}

} // namespace platform::overlay
