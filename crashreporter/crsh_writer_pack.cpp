#include "crashreporter/crsh_writer_pack.h"

#include "crashreporter/crsh_async.h"

#include <cstdlib>

namespace {

enum WireType : std::uint64_t { Varint = 0, Fixed64 = 1, LengthDelimited = 2, Fixed32 = 5 };

std::size_t stringLength(const char* text)
{
    std::size_t length = 0;
    while (text[length] != '\0')
        ++length;
    return length;
}

} // namespace

std::size_t crsh_writer_pack_varint64(std::uint64_t value, std::uint8_t* out)
{
    std::size_t count = 0;
    while (value >= 0x80) {
        out[count++] = static_cast<std::uint8_t>(value | 0x80);
        value >>= 7;
    }
    out[count++] = static_cast<std::uint8_t>(value);
    return count;
}

std::size_t crsh_writer_pack(crsh_async_file* file, std::uint32_t field, crsh_writer_type type, const void* value)
{
    // Tag and value: two varints at most, or a tag and eight bytes.
    std::uint8_t scratch[2 * CRSH_WRITER_VARINT_MAX_BYTES];
    const void* tail = nullptr; // bytes written by a second call (strings and bytes)
    std::size_t tailLength = 0;

    auto tag = [&](WireType wire) { return crsh_writer_pack_varint64((std::uint64_t{field} << 3) | wire, scratch); };
    std::size_t length = 0;
    switch (type) {
    case CRSH_WRITER_INT32: // negative values sign-extend to ten bytes
        length = tag(Varint);
        length += crsh_writer_pack_varint64(
            static_cast<std::uint64_t>(static_cast<std::int64_t>(crsh_async_load<std::int32_t>(value))), scratch + length);
        break;
    case CRSH_WRITER_SINT32: {
        auto n = static_cast<std::uint32_t>(crsh_async_load<std::int32_t>(value));
        std::uint32_t zigzag = (n << 1) ^ (0u - (n >> 31));
        length = tag(Varint);
        length += crsh_writer_pack_varint64(zigzag, scratch + length);
        break;
    }
    case CRSH_WRITER_SINT64: {
        auto n = static_cast<std::uint64_t>(crsh_async_load<std::int64_t>(value));
        std::uint64_t zigzag = (n << 1) ^ (0u - (n >> 63));
        length = tag(Varint);
        length += crsh_writer_pack_varint64(zigzag, scratch + length);
        break;
    }
    case CRSH_WRITER_UINT32:
    case CRSH_WRITER_ENUM:
        length = tag(Varint);
        length += crsh_writer_pack_varint64(crsh_async_load<std::uint32_t>(value), scratch + length);
        break;
    case CRSH_WRITER_INT64:
    case CRSH_WRITER_UINT64:
        length = tag(Varint);
        length += crsh_writer_pack_varint64(crsh_async_load<std::uint64_t>(value), scratch + length);
        break;
    case CRSH_WRITER_SFIXED32:
    case CRSH_WRITER_FIXED32:
    case CRSH_WRITER_FLOAT:
        length = tag(Fixed32);
        crsh_async_memcpy(scratch + length, value, 4);
        length += 4;
        break;
    case CRSH_WRITER_SFIXED64:
    case CRSH_WRITER_FIXED64:
    case CRSH_WRITER_DOUBLE:
        length = tag(Fixed64);
        crsh_async_memcpy(scratch + length, value, 8);
        length += 8;
        break;
    case CRSH_WRITER_BOOL:
        // Any non-zero byte is true; written as 1 so that the byte is always a complete varint.
        length = tag(Varint);
        scratch[length++] = crsh_async_load<std::uint8_t>(value) != 0 ? 1 : 0;
        break;
    case CRSH_WRITER_STRING:
        tail = value;
        tailLength = stringLength(static_cast<const char*>(value));
        length = tag(LengthDelimited);
        length += crsh_writer_pack_varint64(tailLength, scratch + length);
        break;
    case CRSH_WRITER_BYTES: {
        auto bytes = crsh_async_load<crsh_writer_bytes>(value);
        tail = bytes.data;
        tailLength = bytes.length;
        length = tag(LengthDelimited);
        length += crsh_writer_pack_varint64(tailLength, scratch + length);
        break;
    }
    case CRSH_WRITER_MESSAGE:
        length = tag(LengthDelimited);
        length += crsh_writer_pack_varint64(crsh_async_load<std::uint32_t>(value), scratch + length);
        break;
    default:
        abort();
    }

    if (file != nullptr) {
        (void)crsh_async_file_write(file, scratch, length);
        if (tailLength > 0)
            (void)crsh_async_file_write(file, tail, tailLength);
    }
    return length + tailLength;
}
