// Feeds arbitrary bytes, as a body coded each way the transport decodes, to ContentDecoder, given in pieces
// and read in small steps, and checks that no read gives more than was asked and that the decoder takes more
// only once it used what it had.
#include "platform/net/ContentDecoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <algorithm>
#include <optional>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0)
        return 0;
    static const char* const codings[] = {"gzip", "deflate", "br", "gzip, br", "deflate, gzip"};
    std::optional<platform::ContentDecoder> decoder = platform::ContentDecoder::forEncoding(codings[data[0] % 5]);
    if (!decoder)
        std::abort();
    ++data;
    --size;
    std::uint8_t out[777];
    std::size_t decoded = 0;
    for (std::size_t offset = 0; offset < size;) {
        if (!decoder->needsInput())
            std::abort(); // a read that gives nothing leaves it wanting input
        const std::size_t piece = std::min<std::size_t>(size - offset, 1 + (data[offset] % 200));
        decoder->give(data + offset, piece);
        offset += piece;
        for (;;) {
            platform::Result<std::size_t> read = decoder->read(out, sizeof out);
            if (!read)
                return 0;
            if (*read > sizeof out)
                std::abort();
            decoded += *read;
            if (*read == 0 || decoded > (std::size_t{64} << 20))
                break;
        }
        if (decoded > (std::size_t{64} << 20))
            return 0;
    }
    return 0;
}
