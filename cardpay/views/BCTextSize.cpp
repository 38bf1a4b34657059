#include "cardpay/views/BCTextSize.h"

#include "platform/ui/TextLayout.h"

namespace cardpay {

std::string cutForLayout(std::string_view text, std::size_t maxCharacters) {
    // Characters are counted by their lead bytes (continuation bytes are 10xxxxxx).
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80)
            continue;
        if (characters == maxCharacters)
            return std::string(text.substr(0, i)) + "…";
        ++characters;
    }
    return std::string(text);
}

platform::Size newSizeWithFont(const std::string& text, const platform::Font& font, double width,
                               platform::LineBreakMode lineBreakMode) {
    platform::TextStyle style;
    style.font = font;
    style.lineBreakMode = lineBreakMode; // any number of lines: the truncating modes wrap by words
    if (text.size() > kMaxLayoutCharacters)  // a cheap test first: bytes are at least characters
        return platform::TextLayout::measure(cutForLayout(text), style, width);
    return platform::TextLayout::measure(text, style, width);
}

platform::Size sizeWithFontSize(const std::string& text, double size, double width) {
    return newSizeWithFont(text, platform::Font::systemFont(size), width, platform::LineBreakMode::WordWrap);
}

} // namespace cardpay
