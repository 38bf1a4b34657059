#include "platform/ui/GraphicsContext.h"

#include "platform/ui/CairoSupport.h"
#include "platform/ui/TextEngine.h"

#include <algorithm>
#include <cmath>

namespace platform {

namespace {
std::vector<GraphicsContext*>& contextStack() {
    thread_local std::vector<GraphicsContext*> stack;
    return stack;
}

bool finite(double v) { return std::isfinite(v); }
} // namespace

GraphicsContext::GraphicsContext(cairo_t* cr) : m_cr(cr) {}

GraphicsContext::~GraphicsContext() {
    auto& stack = contextStack();
    stack.erase(std::remove(stack.begin(), stack.end(), this), stack.end());
}

GraphicsContext* GraphicsContext::current() {
    auto& stack = contextStack();
    return stack.empty() ? nullptr : stack.back();
}

GraphicsContext::Scope::Scope(GraphicsContext& context) : m_context(context) { contextStack().push_back(&context); }

GraphicsContext::Scope::~Scope() {
    auto& stack = contextStack();
    auto it = std::find(stack.rbegin(), stack.rend(), &m_context);
    if (it != stack.rend())
        stack.erase(std::next(it).base());
}

void GraphicsContext::saveState() {
    m_saved.push_back(m_state);
    cairo_save(m_cr);
}

void GraphicsContext::restoreState() {
    if (m_saved.empty())
        return;
    m_state = m_saved.back();
    m_saved.pop_back();
    cairo_restore(m_cr);
}

void GraphicsContext::translate(double dx, double dy) {
    cairo::translateSafely(m_cr, dx, dy);
}

void GraphicsContext::rotate(double radians) {
    if (!finite(radians))
        return;
    cairo_matrix_t m;
    cairo_matrix_init_rotate(&m, radians);
    cairo::transformSafely(m_cr, m);
}

void GraphicsContext::scale(double sx, double sy) {
    cairo::scaleSafely(m_cr, sx, sy);
}

void GraphicsContext::concatenate(const AffineTransform& t) {
    cairo_matrix_t m;
    cairo_matrix_init(&m, t.a, t.b, t.c, t.d, t.tx, t.ty);
    cairo::transformSafely(m_cr, m);
}

void GraphicsContext::clipToRect(Rect rect) {
    if (!rect.isFinite())
        return;
    rect = rect.standardized();
    cairo_rectangle(m_cr, rect.minX(), rect.minY(), rect.width(), rect.height());
    cairo_clip(m_cr);
}

void GraphicsContext::setStrokeColor(const Color& color) { m_state.stroke = color; }
void GraphicsContext::setFillColor(const Color& color) { m_state.fill = color; }

void GraphicsContext::setAlpha(double alpha) {
    if (!std::isnan(alpha))
        m_state.alpha = std::clamp(alpha, 0.0, 1.0);
}

void GraphicsContext::setLineWidth(double width) {
    if (finite(width) && width >= 0)
        m_state.lineWidth = width;
}

void GraphicsContext::strokeLineSegments(std::span<const Point> points) {
    for (std::size_t i = 0; i + 1 < points.size(); i += 2) {
        Point a = points[i], b = points[i + 1];
        if (!finite(a.x) || !finite(a.y) || !finite(b.x) || !finite(b.y))
            continue;
        cairo_move_to(m_cr, a.x, a.y);
        cairo_line_to(m_cr, b.x, b.y);
    }
    cairo::setSource(m_cr, m_state.stroke, m_state.alpha);
    cairo_set_line_width(m_cr, m_state.lineWidth);
    cairo_stroke(m_cr);
}

void GraphicsContext::strokeRect(Rect rect) {
    if (!rect.isFinite())
        return;
    rect = rect.standardized();
    cairo_rectangle(m_cr, rect.minX(), rect.minY(), rect.width(), rect.height());
    cairo::setSource(m_cr, m_state.stroke, m_state.alpha);
    cairo_set_line_width(m_cr, m_state.lineWidth);
    cairo_stroke(m_cr);
}

void GraphicsContext::fillRect(Rect rect) {
    if (!rect.isFinite())
        return;
    rect = rect.standardized();
    cairo_rectangle(m_cr, rect.minX(), rect.minY(), rect.width(), rect.height());
    cairo::setSource(m_cr, m_state.fill, m_state.alpha);
    cairo_fill(m_cr);
}

void GraphicsContext::fillRoundedRect(Rect rect, double radius) {
    if (!rect.isFinite() || !std::isfinite(radius))
        return;
    cairo::roundedRectangle(m_cr, rect.standardized(), radius);
    cairo::setSource(m_cr, m_state.fill, m_state.alpha);
    cairo_fill(m_cr);
}

void GraphicsContext::strokeRoundedRect(Rect rect, double radius) {
    if (!rect.isFinite() || !std::isfinite(radius))
        return;
    cairo::roundedRectangle(m_cr, rect.standardized(), radius);
    cairo::setSource(m_cr, m_state.stroke, m_state.alpha);
    cairo_set_line_width(m_cr, m_state.lineWidth);
    cairo_stroke(m_cr);
}

void GraphicsContext::fillEllipse(Rect rect) {
    if (!rect.isFinite())
        return;
    rect = rect.standardized();
    if (rect.isEmpty())
        return;
    cairo_save(m_cr);
    cairo_translate(m_cr, rect.midX(), rect.midY());
    cairo_scale(m_cr, rect.width() / 2, rect.height() / 2);
    cairo_arc(m_cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(m_cr);
    cairo::setSource(m_cr, m_state.fill, m_state.alpha);
    cairo_fill(m_cr);
}

void GraphicsContext::drawImage(const Image::Ptr& image, Rect rect) { cairo::drawImage(m_cr, image, rect.standardized(), m_state.alpha); }

void GraphicsContext::drawText(const AttributedString& text, const TextStyle& style, Rect rect) {
    if (m_state.alpha <= 0)
        return;
    if (m_state.alpha >= 1) {
        text::TextEngine::shared().draw(m_cr, text, style, rect);
        return;
    }
    cairo_push_group(m_cr);
    text::TextEngine::shared().draw(m_cr, text, style, rect);
    cairo_pop_group_to_source(m_cr);
    cairo_paint_with_alpha(m_cr, m_state.alpha);
}

} // namespace platform
