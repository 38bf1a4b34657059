#include "cardpay/views/BCTextSize.h"

#include "platform/ui/TextLayout.h"

namespace cardpay {

platform::Size newSizeWithFont(const std::string& text, const platform::Font& font, double width,
                               platform::LineBreakMode lineBreakMode) {
    platform::TextStyle style;
    style.font = font;
    style.lineBreakMode = lineBreakMode; // any number of lines: the truncating modes wrap by words
    return platform::TextLayout::measure(text, style, width);
}

platform::Size sizeWithFontSize(const std::string& text, double size, double width) {
    return newSizeWithFont(text, platform::Font::systemFont(size), width, platform::LineBreakMode::WordWrap);
}

} // namespace cardpay
