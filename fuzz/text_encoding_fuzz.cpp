// Arbitrary bytes through the text decoders: every decoder gives valid UTF-8, the UTF-8 check, the
// sequence reader and the UTF-16 length agree with one another.
#include "platform/text/TextEncoding.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace platform;
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);

    // Walk the bytes sequence by sequence, as the UTF-16 length does.
    bool valid = true;
    std::size_t units = 0;
    std::string rebuilt;
    for (std::size_t at = 0; at < size;) {
        std::uint32_t codePoint = 0;
        const std::size_t length = utf8SequenceLength(data + at, size - at, codePoint);
        if (length == 0) {
            valid = false;
            ++units;
            ++at;
            continue;
        }
        if (length > 4 || at + length > size || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            std::abort();
        const std::size_t before = rebuilt.size();
        appendUTF8(rebuilt, codePoint);
        // The sequence read is the shortest form of its code point.
        if (rebuilt.compare(before, std::string::npos, bytes.substr(at, length)) != 0)
            std::abort();
        units += codePoint > 0xFFFF ? 2 : 1;
        at += length;
    }
    if (isValidUTF8(bytes) != valid || utf16Length(bytes) != units)
        std::abort();
    if (decodeUTF8(bytes).has_value() != valid || (valid && (*decodeUTF8(bytes) != bytes || rebuilt != bytes)))
        std::abort();

    const std::string latin1 = decodeISOLatin1(bytes);
    const std::string ascii = decodeASCII(bytes);
    const std::string either = decodeUTF8OrLatin1(bytes);
    if (!isValidUTF8(latin1) || !isValidUTF8(ascii) || !isValidUTF8(either))
        std::abort();
    // One character per byte.
    if (utf16Length(latin1) != size || utf16Length(ascii) != size)
        std::abort();
    if (either != (valid ? std::string(bytes) : latin1))
        std::abort();

    // Any 32-bit value appends as valid UTF-8 (invalid code points as U+FFFD).
    if (size >= 4) {
        std::string one;
        appendUTF8(one, static_cast<std::uint32_t>(data[0]) << 24 | data[1] << 16 | data[2] << 8 | data[3]);
        if (!isValidUTF8(one))
            std::abort();
    }
    return 0;
}
