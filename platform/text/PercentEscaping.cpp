#include "platform/text/PercentEscaping.h"

#include "platform/text/TextEncoding.h"
#include "platform/text/Text.h"

#include <array>

namespace platform {

namespace {

constexpr std::array<bool, 256> makeLegal() {
    std::array<bool, 256> legal{};
    for (int c = 'a'; c <= 'z'; ++c)
        legal[static_cast<std::size_t>(c)] = true;
    for (int c = 'A'; c <= 'Z'; ++c)
        legal[static_cast<std::size_t>(c)] = true;
    for (int c = '0'; c <= '9'; ++c)
        legal[static_cast<std::size_t>(c)] = true;
    for (char c : std::string_view("-._~!#$&'()*+,/:;=?@"))
        legal[static_cast<unsigned char>(c)] = true;
    return legal;
}
constexpr std::array<bool, 256> kLegal = makeLegal();

constexpr std::array<bool, 256> makeComponentSafe() {
    std::array<bool, 256> safe = kLegal;
    for (char c : std::string_view("!*'();:@&=+$,/?%#[]"))
        safe[static_cast<unsigned char>(c)] = false;
    return safe;
}
constexpr std::array<bool, 256> kComponentSafe = makeComponentSafe();

const char kHex[] = "0123456789ABCDEF";

std::string escapeWith(std::string_view text, const std::array<bool, 256>& keep) {
    std::string out;
    out.reserve(text.size() + text.size() / 4);
    for (char ch : text) {
        auto c = static_cast<unsigned char>(ch);
        if (keep[c]) {
            out += ch;
            continue;
        }
        out += '%';
        out += kHex[c >> 4];
        out += kHex[c & 15];
    }
    return out;
}

} // namespace

bool isLegalURLCharacter(unsigned char c) {
    return kLegal[c];
}

std::string addPercentEscapes(std::string_view text) {
    return escapeWith(text, kLegal);
}

std::string addPercentEscapes(std::string_view text, std::string_view leaveUnescaped, std::string_view alsoEscape) {
    std::array<bool, 256> keep = kLegal;
    for (char c : leaveUnescaped)
        keep[static_cast<unsigned char>(c)] = true;
    for (char c : alsoEscape)
        keep[static_cast<unsigned char>(c)] = false;
    return escapeWith(text, keep);
}

std::string escapeURLComponent(std::string_view text) {
    return escapeWith(text, kComponentSafe);
}

std::optional<std::string> removePercentEscapes(std::string_view text, PlusHandling plus) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+' && plus == PlusHandling::AsSpace) {
            out += ' ';
            continue;
        }
        if (c != '%') {
            out += c;
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        int hi = hexDigitValue(text[i + 1]);
        int lo = hexDigitValue(text[i + 2]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        out += static_cast<char>(hi * 16 + lo);
        i += 2;
    }
    if (!isValidUTF8(out))
        return std::nullopt;
    return out;
}

} // namespace platform
