#include "cardpay/core/BCFormat.h"

namespace cardpay {

namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

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
        const int high = hexDigit(text[2 * i]);
        const int low = hexDigit(text[2 * i + 1]);
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
