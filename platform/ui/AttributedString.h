// Text with attributes: ranges of foreground colour and font, and one paragraph style (alignment and
// line-break mode). Ranges count UTF-16 code units, as the platform's strings do; they are kept as byte
// ranges of the UTF-8 text.
//
// Guarantees: a value; any thread. Invalid UTF-8 is stored with U+FFFD replacement characters (and NUL
// as U+FFFD), so what is measured is what is drawn.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Error.h"
#include "platform/ui/Font.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// The platform's numbers.
enum class TextAlignment { Left = 0, Center = 1, Right = 2, Justified = 3, Natural = 4 };
enum class LineBreakMode { WordWrap = 0, CharWrap = 1, Clip = 2, TruncateHead = 3, TruncateTail = 4, TruncateMiddle = 5 };

struct TextRange {
    std::size_t location = 0;
    std::size_t length = 0;
    friend bool operator==(const TextRange&, const TextRange&) = default;
};

struct ParagraphStyle {
    TextAlignment alignment = TextAlignment::Natural;
    LineBreakMode lineBreakMode = LineBreakMode::WordWrap;
    friend bool operator==(const ParagraphStyle&, const ParagraphStyle&) = default;
};

class AttributedString {
public:
    struct Run {
        std::size_t begin = 0;  // bytes of string()
        std::size_t end = 0;
        std::optional<Color> foregroundColor;
        std::optional<Font> font;
        friend bool operator==(const Run&, const Run&) = default;
    };

    AttributedString() = default;
    explicit AttributedString(std::string_view text);

    const std::string& string() const { return m_text; }
    // Length in UTF-16 code units.
    std::size_t length() const { return m_utf16Length; }

    // Range errors (past the end) change nothing and say so. A range edge inside a surrogate pair moves
    // to the start of the character.
    Status addForegroundColor(const Color& color, TextRange range);
    Status addFont(const Font& font, TextRange range);
    void setParagraphStyle(const ParagraphStyle& style) { m_paragraphStyle = style; }
    const std::optional<ParagraphStyle>& paragraphStyle() const { return m_paragraphStyle; }

    // The attribute runs in the order they were added (later runs win where they overlap).
    const std::vector<Run>& runs() const { return m_runs; }

    // The same text and fonts with no colour runs (a text shadow is drawn in one colour).
    AttributedString withoutForegroundColors() const;

    // The byte offset of a UTF-16 offset (the end for offsets past it).
    std::size_t byteOffset(std::size_t utf16Offset) const;

    friend bool operator==(const AttributedString&, const AttributedString&) = default;

private:
    Status addRun(Run run, TextRange range);

    std::string m_text;
    std::size_t m_utf16Length = 0;
    std::vector<Run> m_runs;
    std::optional<ParagraphStyle> m_paragraphStyle;
};

// Valid UTF-8: invalid sequences and NUL become U+FFFD.
std::string sanitizeUTF8(std::string_view text);

} // namespace platform
