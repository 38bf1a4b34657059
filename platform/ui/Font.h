// Fonts. Every text of the system is measured and drawn with one font file (face 0 of the CJK font of
// fonts-wqy-microhei), loaded into a private font configuration with hinting and metric hinting off, so
// that every machine measures and draws the same numbers whatever fonts it has. The bold font is that
// face emboldened. Characters it lacks are drawn from two fallback files of the same configuration:
// DejaVu Sans for symbols (fonts-dejavu-core), Noto Color Emoji for emoji (fonts-noto-color-emoji).
//
// Guarantees: values; metrics may be read on the main thread (they use the shared text engine).
#pragma once

#include <string>

namespace platform {

class Font {
public:
    static constexpr double kDefaultSize = 17;
    static constexpr double kMaxSize = 1024;

    // A size that is not a positive finite number reads as kDefaultSize; sizes above kMaxSize are clamped.
    static Font systemFont(double size) { return Font(size, false); }
    static Font boldSystemFont(double size) { return Font(size, true); }

    double pointSize() const { return m_size; }
    bool isBold() const { return m_bold; }
    Font withSize(double size) const { return Font(size, m_bold); }

    // Distance from the baseline to the top of the tallest glyphs (positive) and to the bottom of the
    // lowest ones (negative, as the platform gives it); one line of text is lineHeight() tall.
    double ascender() const;
    double descender() const;
    double lineHeight() const;

    // The family and style, for text descriptions ("WenQuanYi Micro Hei Bold 16").
    std::string description() const;

    friend bool operator==(const Font&, const Font&) = default;

private:
    Font(double size, bool bold);
    double m_size;
    bool m_bold;
};

} // namespace platform
