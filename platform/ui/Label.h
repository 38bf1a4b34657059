// A view that shows text: plain or attributed, in a font and colour, aligned, on a number of lines with a
// line-break mode, optionally shrunk to fit its width, with a shadow and a highlighted colour. The text
// is measured and drawn by the same layout (TextLayout), so sizeThatFits and the drawing agree.
//
// Subclasses may override textRectForBounds (where the text goes) and drawTextInRect (how it is drawn),
// calling the base with an adjusted rectangle.
//
// Guarantees: main thread only; text is valid UTF-8 once set (invalid bytes become U+FFFD).
#pragma once

#include "platform/ui/AttributedString.h"
#include "platform/ui/TextLayout.h"
#include "platform/ui/View.h"

#include <optional>
#include <string>

namespace platform {

// How text moves when adjustsFontSizeToFitWidth shrinks it; the platform's numbers.
enum class BaselineAdjustment { AlignBaselines = 0, AlignCenters = 1, None = 2 };

class Label : public View {
public:
    explicit Label(Rect frame = {});

    const std::string& text() const { return m_text.string(); }
    void setText(const std::string& text);
    // The attributed text, when one was set (setText clears it).
    const std::optional<AttributedString>& attributedText() const { return m_attributed; }
    void setAttributedText(const AttributedString& text);

    Font font() const { return m_font; }
    void setFont(const Font& font) { m_font = font; setNeedsDisplay(); }
    Color textColor() const { return m_textColor; }
    void setTextColor(const Color& color) { m_textColor = color; setNeedsDisplay(); }
    TextAlignment textAlignment() const { return m_alignment; }
    void setTextAlignment(TextAlignment alignment) { m_alignment = alignment; setNeedsDisplay(); }
    // 0: as many lines as the text needs. Negative values read as 0.
    int numberOfLines() const { return m_numberOfLines; }
    void setNumberOfLines(int lines) { m_numberOfLines = lines < 0 ? 0 : lines; setNeedsDisplay(); }
    LineBreakMode lineBreakMode() const { return m_lineBreakMode; }
    void setLineBreakMode(LineBreakMode mode) { m_lineBreakMode = mode; setNeedsDisplay(); }

    bool adjustsFontSizeToFitWidth() const { return m_adjustsFontSize; }
    void setAdjustsFontSizeToFitWidth(bool adjusts) { m_adjustsFontSize = adjusts; setNeedsDisplay(); }
    double minimumScaleFactor() const { return m_minimumScaleFactor; }
    void setMinimumScaleFactor(double factor);
    BaselineAdjustment baselineAdjustment() const { return m_baselineAdjustment; }
    void setBaselineAdjustment(BaselineAdjustment adjustment) { m_baselineAdjustment = adjustment; setNeedsDisplay(); }

    std::optional<Color> shadowColor() const { return m_shadowColor; }
    void setShadowColor(std::optional<Color> color) { m_shadowColor = std::move(color); setNeedsDisplay(); }
    Size shadowOffset() const { return m_shadowOffset; }
    void setShadowOffset(Size offset);

    std::optional<Color> highlightedTextColor() const { return m_highlightedTextColor; }
    void setHighlightedTextColor(std::optional<Color> color) { m_highlightedTextColor = std::move(color); setNeedsDisplay(); }
    bool isHighlighted() const { return m_highlighted; }
    void setHighlighted(bool highlighted) { m_highlighted = highlighted; setNeedsDisplay(); }
    bool isEnabled() const { return m_enabled; }
    void setEnabled(bool enabled) { m_enabled = enabled; setNeedsDisplay(); }

    // Where the text goes within `bounds` with at most `numberOfLines` lines (0: any): the bounds'
    // origin and the text's size, no larger than the bounds.
    virtual Rect textRectForBounds(Rect bounds, int numberOfLines) const;
    // Draws the text vertically centred in `rect`, into GraphicsContext::current().
    virtual void drawTextInRect(Rect rect);

    // The text's size within size.width (unbounded when not positive).
    Size sizeThatFits(Size size) const override;
    void drawRect(Rect rect) override;

    // The font the text is drawn with in `width` (smaller than font() when it is shrunk to fit).
    Font fittingFont(double width) const;

private:
    TextStyle style(const Font& font, int lines) const;

    AttributedString m_text;
    std::optional<AttributedString> m_attributed;
    Font m_font = Font::systemFont(Font::kDefaultSize);
    Color m_textColor = Color::black();
    TextAlignment m_alignment = TextAlignment::Natural;
    int m_numberOfLines = 1;
    LineBreakMode m_lineBreakMode = LineBreakMode::TruncateTail;
    bool m_adjustsFontSize = false;
    double m_minimumScaleFactor = 0;
    BaselineAdjustment m_baselineAdjustment = BaselineAdjustment::AlignBaselines;
    std::optional<Color> m_shadowColor;
    Size m_shadowOffset{0, -1};
    std::optional<Color> m_highlightedTextColor;
    bool m_highlighted = false;
    bool m_enabled = true;
};

} // namespace platform
