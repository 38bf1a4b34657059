#include "platform/ui/Label.h"

#include "platform/ui/GraphicsContext.h"

#include <cmath>
#include <limits>

namespace platform {

namespace {

constexpr double kUnbounded = std::numeric_limits<double>::infinity();

} // namespace

Label::Label(Rect frame) : View(frame) { setUserInteractionEnabled(false); }

void Label::setText(const std::string& text) {
    m_text = AttributedString(text);
    m_attributed.reset();
    setNeedsDisplay();
}

void Label::setAttributedText(const AttributedString& text) {
    m_attributed = text;
    m_text = AttributedString(text.string());
    setNeedsDisplay();
}

void Label::setMinimumScaleFactor(double factor) {
    if (std::isfinite(factor))
        m_minimumScaleFactor = std::clamp(factor, 0.0, 1.0);
}

void Label::setShadowOffset(Size offset) {
    if (std::isfinite(offset.width) && std::isfinite(offset.height))
        m_shadowOffset = offset;
}

TextStyle Label::style(const Font& font, int lines) const {
    TextStyle s;
    s.font = font;
    s.color = m_highlighted && m_highlightedTextColor ? *m_highlightedTextColor : m_textColor;
    s.alignment = m_alignment;
    s.lineBreakMode = m_lineBreakMode;
    s.numberOfLines = lines;
    return s;
}

Font Label::fittingFont(double width) const {
    if (!m_adjustsFontSize || m_numberOfLines != 1 || !(width > 0) || !std::isfinite(width))
        return m_font;
    const AttributedString& content = m_attributed ? *m_attributed : m_text;
    TextStyle unwrapped = style(m_font, 1);
    unwrapped.lineBreakMode = LineBreakMode::Clip;
    double natural = TextLayout::measure(content, unwrapped, 0).width;
    if (natural <= width)
        return m_font;
    double minimum = std::max(m_font.pointSize() * m_minimumScaleFactor, 1.0);
    double size = std::max(minimum, m_font.pointSize() * width / natural);
    // Widths are nearly proportional to the size; step down until the text fits or the floor is hit.
    for (int i = 0; i < 8 && size > minimum; ++i) {
        unwrapped.font = m_font.withSize(size);
        if (TextLayout::measure(content, unwrapped, 0).width <= width)
            break;
        size = std::max(minimum, size * 0.97);
    }
    return m_font.withSize(size);
}

Rect Label::textRectForBounds(Rect bounds, int numberOfLines) const {
    const AttributedString& content = m_attributed ? *m_attributed : m_text;
    Font font = fittingFont(bounds.width());
    TextStyle s = style(font, std::max(0, numberOfLines));
    Size size = TextLayout::measure(content, s, bounds.width());
    if (std::isfinite(bounds.height()) && size.height > bounds.height() + 1e-6) {
        // Only whole lines that fit the height are shown; the last one is truncated by the mode.
        int fitting = std::max(1, static_cast<int>(std::floor(bounds.height() / font.lineHeight() + 1e-6)));
        s.numberOfLines = s.numberOfLines == 0 ? fitting : std::min(s.numberOfLines, fitting);
        size = TextLayout::measure(content, s, bounds.width());
    }
    return Rect(bounds.origin, Size{std::min(size.width, bounds.width()), std::min(size.height, bounds.height())});
}

Size Label::sizeThatFits(Size size) const {
    double width = size.width > 0 && std::isfinite(size.width) ? size.width : kUnbounded;
    const AttributedString& content = m_attributed ? *m_attributed : m_text;
    return TextLayout::measure(content, style(fittingFont(width), m_numberOfLines), width);
}

void Label::drawRect(Rect) { drawTextInRect(bounds()); }

void Label::drawTextInRect(Rect rect) {
    GraphicsContext* context = GraphicsContext::current();
    const AttributedString& content = m_attributed ? *m_attributed : m_text;
    if (!context || content.string().empty() || !rect.isFinite() || rect.isEmpty())
        return;
    Font font = fittingFont(rect.width());
    TextStyle s = style(font, m_numberOfLines);
    Size size = TextLayout::measure(content, s, rect.width());
    if (size.height > rect.height() + 1e-6) {
        int fitting = std::max(1, static_cast<int>(std::floor(rect.height() / font.lineHeight() + 1e-6)));
        s.numberOfLines = s.numberOfLines == 0 ? fitting : std::min(s.numberOfLines, fitting);
        size = TextLayout::measure(content, s, rect.width());
    }
    double top = rect.midY() - size.height / 2;
    if (!(font == m_font) && m_baselineAdjustment != BaselineAdjustment::AlignCenters) {
        // Keep the baseline (or the top) where the unshrunk font would have put it.
        double unshrunkTop = rect.midY() - m_font.lineHeight() / 2;
        top = m_baselineAdjustment == BaselineAdjustment::AlignBaselines ? unshrunkTop + m_font.ascender() - font.ascender() : unshrunkTop;
    }
    Rect textRect(rect.minX(), top, rect.width(), size.height);
    if (m_shadowColor && m_shadowColor->alpha > 0) {
        TextStyle shadow = s;
        shadow.color = *m_shadowColor;
        context->drawText(content.withoutForegroundColors(), shadow, textRect.offsetBy(m_shadowOffset.width, m_shadowOffset.height));
    }
    context->drawText(content, s, textRect);
}

} // namespace platform
