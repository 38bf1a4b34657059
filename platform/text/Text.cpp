#include "platform/text/Text.h"

#include <sys/random.h>

#include <array>
#include <cctype>
#include <cstdint>
#include <random>

namespace platform {

namespace {

// The fallback of a system without getrandom: the device is a large object (some kilobytes), made in a
// frame of its own so that every other call of newUUIDString (a live crash report's on a thread with a
// small stack, say) stays small.
__attribute__((noinline)) void fillFromRandomDevice(std::uint8_t* bytes, std::size_t count) {
    std::random_device device;
    for (std::size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<std::uint8_t>(device());
}

} // namespace

std::string newUUIDString() {
    std::array<std::uint8_t, 16> bytes{};
    std::size_t got = 0;
    while (got < bytes.size()) {
        ssize_t n = ::getrandom(bytes.data() + got, bytes.size() - got, 0);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    if (got < bytes.size())
        fillFromRandomDevice(bytes.data(), bytes.size());
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    static const char* const kHex = "0123456789ABCDEF";
    std::string out;
    out.reserve(36);
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += kHex[bytes[i] >> 4];
        out += kHex[bytes[i] & 15];
    }
    return out;
}

int compareNumeric(std::string_view a, std::string_view b) {
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            std::size_t ei = i;
            while (ei < a.size() && isDigit(a[ei]))
                ++ei;
            std::size_t ej = j;
            while (ej < b.size() && isDigit(b[ej]))
                ++ej;
            std::string_view da = a.substr(i, ei - i);
            std::string_view db = b.substr(j, ej - j);
            while (da.size() > 1 && da[0] == '0')
                da.remove_prefix(1);
            while (db.size() > 1 && db[0] == '0')
                db.remove_prefix(1);
            if (da.size() != db.size())
                return da.size() < db.size() ? -1 : 1;
            if (int c = da.compare(db); c != 0)
                return c < 0 ? -1 : 1;
            i = ei;
            j = ej;
            continue;
        }
        auto ca = static_cast<unsigned char>(a[i]);
        auto cb = static_cast<unsigned char>(b[j]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size())
        return 1;
    if (j < b.size())
        return -1;
    return 0;
}

std::optional<std::string> mimeTypeForExtension(std::string_view extension) {
    struct Entry {
        const char* extension;
        const char* mime;
    };
    static constexpr Entry kTable[] = {
        {"aac", "audio/aac"},         {"aif", "audio/aiff"},         {"aiff", "audio/aiff"},
        {"avi", "video/avi"},         {"bmp", "image/bmp"},          {"css", "text/css"},
        {"csv", "text/csv"},          {"doc", "application/msword"}, {"gif", "image/gif"},
        {"gz", "application/x-gzip"}, {"htm", "text/html"},          {"html", "text/html"},
        {"ico", "image/vnd.microsoft.icon"},
        {"jpeg", "image/jpeg"},       {"jpg", "image/jpeg"},         {"js", "application/javascript"},
        {"json", "application/json"}, {"m4a", "audio/mp4"},          {"m4v", "video/x-m4v"},
        {"mov", "video/quicktime"},   {"mp3", "audio/mpeg"},         {"mp4", "video/mp4"},
        {"pdf", "application/pdf"},   {"png", "image/png"},          {"rtf", "text/rtf"},
        {"svg", "image/svg+xml"},     {"tif", "image/tiff"},         {"tiff", "image/tiff"},
        {"txt", "text/plain"},        {"wav", "audio/wav"},          {"webp", "image/webp"},
        {"xhtml", "application/xhtml+xml"},
        {"xml", "application/xml"},   {"zip", "application/zip"},
    };
    std::string lower;
    lower.reserve(extension.size());
    for (char c : extension)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (const Entry& e : kTable) {
        if (lower == e.extension)
            return std::string(e.mime);
    }
    return std::nullopt;
}

} // namespace platform
