#include "platform/ui/ActivityIndicatorView.h"

#include "platform/ui/GraphicsContext.h"

#include <cairo.h>
#include <cmath>

namespace platform {

namespace {
constexpr int kSpokes = 12;
constexpr double kTurnsPerSecond = 1;
} // namespace

ActivityIndicatorView::ActivityIndicatorView(ActivityIndicatorViewStyle style)
    : View(Rect(0, 0, sideFor(style), sideFor(style))), m_style(style) {
    setOpaque(false);
    setUserInteractionEnabled(false);
    setHidden(true);
}

void ActivityIndicatorView::setStyle(ActivityIndicatorViewStyle style) {
    m_style = style;
    Rect f = frame();
    setFrame(Rect(f.midX() - sideFor(style) / 2, f.midY() - sideFor(style) / 2, sideFor(style), sideFor(style)));
}

Color ActivityIndicatorView::color() const {
    if (m_color)
        return *m_color;
    return m_style == ActivityIndicatorViewStyle::Gray ? Color::grey(0.45) : Color::white();
}

void ActivityIndicatorView::startAnimating() {
    if (!m_startedAt)
        m_startedAt = Clock::current().now();
    setHidden(false);
}

void ActivityIndicatorView::stopAnimating() {
    m_startedAt.reset();
    if (m_hidesWhenStopped)
        setHidden(true);
}

void ActivityIndicatorView::setHidesWhenStopped(bool hides) {
    m_hidesWhenStopped = hides;
    setHidden(hides && !isAnimating());
}

int ActivityIndicatorView::leadingSpoke(Clock::TimePoint now) const {
    if (!m_startedAt)
        return 0;
    double elapsed = std::max(0.0, std::chrono::duration<double>(now - *m_startedAt).count());
    return static_cast<int>(std::fmod(std::floor(elapsed * kTurnsPerSecond * kSpokes), kSpokes));
}

Size ActivityIndicatorView::sizeThatFits(Size) const { return Size{sideFor(m_style), sideFor(m_style)}; }

void ActivityIndicatorView::drawRect(Rect) {
    GraphicsContext* context = GraphicsContext::current();
    if (!context)
        return;
    cairo_t* cr = context->cairo();
    double side = sideFor(m_style);
    Point c = bounds().center();
    double outer = side / 2, inner = outer * 0.45, width = side * (m_style == ActivityIndicatorViewStyle::WhiteLarge ? 0.09 : 0.1);
    int lead = leadingSpoke(Clock::current().now());
    Color base = color();
    cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
    cairo_set_line_width(cr, width);
    for (int i = 0; i < kSpokes; ++i) {
        // The leading spoke is solid; those behind it fade.
        int behind = (lead - i + kSpokes) % kSpokes;
        double alpha = base.alpha * (1.0 - 0.75 * behind / (kSpokes - 1));
        double angle = -M_PI / 2 + 2 * M_PI * i / kSpokes;
        double dx = std::cos(angle), dy = std::sin(angle);
        double r0 = inner, r1 = outer - width / 2;
        cairo_set_source_rgba(cr, base.red, base.green, base.blue, alpha);
        cairo_move_to(cr, c.x + dx * r0, c.y + dy * r0);
        cairo_line_to(cr, c.x + dx * r1, c.y + dy * r1);
        cairo_stroke(cr);
    }
}

} // namespace platform
