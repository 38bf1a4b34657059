#include "cardpay/screens/BCSuccessMarkup.h"
#include "platform/ui/AttributedString.h"

#include <algorithm>

namespace cardpay {

std::size_t utf16Length(std::string_view text) {
    std::size_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            ++units;        // a character starts here
        if (byte >= 0xF0)
            ++units;        // four-byte characters take a surrogate pair
    }
    return units;
}

std::optional<BCSuccessMarkup> parseSuccessMarkup(std::string_view message) {
    const std::string text = platform::sanitizeUTF8(message);
    const std::size_t open = text.find('<');
    const std::size_t close = text.find('>');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return std::nullopt;
    std::string inner = text.substr(open + 1, close - open - 1);
    inner.erase(std::remove(inner.begin(), inner.end(), '<'), inner.end());
    const std::size_t hash = inner.find('#');
    if (hash == std::string::npos || inner.find('#', hash + 1) != std::string::npos)
        return std::nullopt;
    BCSuccessMarkup markup;
    markup.colour = inner.substr(0, hash);
    const std::string part = inner.substr(hash + 1);
    const std::string_view before = std::string_view(text).substr(0, open);
    markup.location = utf16Length(before);
    markup.length = utf16Length(part);
    markup.text.reserve(text.size());
    markup.text.append(before).append(part).append(text, close + 1);
    return markup;
}

} // namespace cardpay
