#include "platform/text/TextEncoding.h"

namespace platform {

std::size_t utf8SequenceLength(const unsigned char* p, std::size_t n, std::uint32_t& codePoint) {
    if (n == 0)
        return 0;
    unsigned char b0 = p[0];
    if (b0 < 0x80) {
        codePoint = b0;
        return 1;
    }
    auto cont = [&](std::size_t i) { return i < n && (p[i] & 0xC0) == 0x80; };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        if (!cont(1))
            return 0;
        codePoint = (std::uint32_t(b0 & 0x1F) << 6) | (p[1] & 0x3F);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF) {
        if (!cont(1) || !cont(2))
            return 0;
        codePoint = (std::uint32_t(b0 & 0x0F) << 12) | (std::uint32_t(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
        if (codePoint < 0x800 || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return 0;
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3))
            return 0;
        codePoint = (std::uint32_t(b0 & 0x07) << 18) | (std::uint32_t(p[1] & 0x3F) << 12)
                    | (std::uint32_t(p[2] & 0x3F) << 6) | (p[3] & 0x3F);
        if (codePoint < 0x10000 || codePoint > 0x10FFFF)
            return 0;
        return 4;
    }
    return 0;
}

bool isValidUTF8(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    std::size_t n = bytes.size();
    std::size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        std::uint32_t cp = 0;
        std::size_t len = utf8SequenceLength(p + i, n - i, cp);
        if (len == 0)
            return false;
        i += len;
    }
    return true;
}

std::optional<std::string> decodeUTF8(std::string_view bytes) {
    if (!isValidUTF8(bytes))
        return std::nullopt;
    return std::string(bytes);
}

void appendUTF8(std::string& out, std::uint32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        cp = 0xFFFD;
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

std::string decodeISOLatin1(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes)
        appendUTF8(out, static_cast<unsigned char>(c));
    return out;
}

std::string decodeASCII(std::string_view bytes) {
    return decodeISOLatin1(bytes);
}

std::string decodeUTF8OrLatin1(std::string_view bytes) {
    if (isValidUTF8(bytes))
        return std::string(bytes);
    return decodeISOLatin1(bytes);
}

std::size_t utf16Length(std::string_view text) {
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    std::size_t units = 0;
    std::size_t i = 0;
    while (i < n) {
        std::uint32_t cp = 0;
        std::size_t len = utf8SequenceLength(p + i, n - i, cp);
        if (len == 0) {
            ++units;
            ++i;
            continue;
        }
        units += cp >= 0x10000 ? 2 : 1;
        i += len;
    }
    return units;
}

} // namespace platform
