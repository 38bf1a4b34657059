#include "cardpay/core/BCFormat.h"

#include "platform/text/Text.h"

namespace cardpay {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

} // namespace

std::optional<platform::Color> hexToColor(std::string_view text) {
    while (!text.empty() && isBlank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isBlank(text.back()))
        text.remove_suffix(1);
    if (text.size() != 6)
        return std::nullopt;
    int channels[3];
    for (int i = 0; i < 3; ++i) {
        const int high = platform::hexDigitValue(text[2 * i]);
        const int low = platform::hexDigitValue(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        channels[i] = high * 16 + low;
    }
    return platform::Color::fromRGBA255(channels[0], channels[1], channels[2]);
}

platform::Size realSize(const platform::Image& image) {
    return {image.pixelWidth() / 2.0, image.pixelHeight() / 2.0};
}

} // namespace cardpay
