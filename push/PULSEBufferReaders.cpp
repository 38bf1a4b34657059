#include "push/PULSEBufferReaders.h"

#include "platform/text/TextEncoding.h"

#include <cstring>
#include <string_view>

namespace push {

namespace {

// Moves the offset by `size` (mod 65536) and answers where the field starts, or nothing when the field
// wraps the offset or ends past the valid bytes.
std::optional<std::uint16_t> advance(PULSEBytesView bytes, std::uint16_t& offset, std::uint16_t size) {
    const std::uint16_t start = offset;
    const auto end = static_cast<std::uint16_t>(start + size);
    offset = end;
    if (end <= start || end > bytes.size())
        return std::nullopt;
    return start;
}

template <class T>
T readBigEndian(PULSEBytesView bytes, std::uint16_t& offset) {
    const auto start = advance(bytes, offset, sizeof(T));
    if (!start)
        return 0;
    T value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i)
        value = static_cast<T>((value << 8) | bytes[*start + i]);
    return value;
}

} // namespace

std::uint8_t PULSEReadInt8(PULSEBytesView bytes, std::uint16_t& offset) {
    return readBigEndian<std::uint8_t>(bytes, offset);
}

std::uint16_t PULSEReadInt16(PULSEBytesView bytes, std::uint16_t& offset) {
    return readBigEndian<std::uint16_t>(bytes, offset);
}

std::uint32_t PULSEReadInt32(PULSEBytesView bytes, std::uint16_t& offset) {
    return readBigEndian<std::uint32_t>(bytes, offset);
}

std::uint64_t PULSEReadInt64(PULSEBytesView bytes, std::uint16_t& offset) {
    return readBigEndian<std::uint64_t>(bytes, offset);
}

std::optional<std::string> PULSEReadString(PULSEBytesView bytes, std::uint16_t& offset) {
    const std::uint16_t length = PULSEReadInt16(bytes, offset);
    const auto start = advance(bytes, offset, length);
    if (length == 0)
        return std::string();
    if (!start)
        return std::nullopt;
    std::string_view text(reinterpret_cast<const char*>(bytes.data()) + *start, length);
    if (const auto zero = text.find('\0'); zero != std::string_view::npos)
        text = text.substr(0, zero);
    if (!platform::isValidUTF8(text))
        return std::nullopt;
    return std::string(text);
}

} // namespace push
