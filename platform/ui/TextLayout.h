// Measuring text with the layout that draws it (Pango over the font files of Font.h). The same
// inputs give the same layout, cached, so measured and drawn sizes never differ and screens that measure
// the same cell texts many times pay once.
//
// Guarantees:
// - Any thread; the shared text engine serialises its work.
// - Widths that are not positive finite numbers mean "unbounded"; a negative numberOfLines reads as 0
//   (any number of lines). Sizes are in points, not rounded.
// - Time is linear in the text's length (a megabyte of text included).
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/AttributedString.h"

#include <string>

namespace platform {

struct TextStyle {
    Font font = Font::systemFont(Font::kDefaultSize);
    Color color = Color::black();
    TextAlignment alignment = TextAlignment::Natural;
    LineBreakMode lineBreakMode = LineBreakMode::WordWrap;
    int numberOfLines = 0;  // 0: any
};

class TextLayout {
public:
    // The size `text` takes within `width` (whole lines; the widest line's width).
    static Size measure(const std::string& text, const TextStyle& style, double width);
    // Attributed text: its runs' fonts and colours over the style's; its paragraph style, when set,
    // over the style's alignment and line-break mode.
    static Size measure(const AttributedString& text, const TextStyle& style, double width);
    // The width of the text on one unwrapped line.
    static double singleLineWidth(const std::string& text, const Font& font);

    // Reads the font files and loads the system font on a background queue now, so that the first text
    // measured or drawn need not wait for them (some milliseconds; a start-up calls this early).
    static void prepare();

    // Drops every cached layout (tests, memory warnings).
    static void clearCache();
    static std::size_t cacheSize();
};

} // namespace platform
