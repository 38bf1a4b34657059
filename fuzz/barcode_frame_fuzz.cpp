// Camera frames of any geometry through the scanner's frame path: the first bytes choose the width,
// height and bytes per row (wild ones included), the rest are the pixels. The crop must refuse what does
// not fit the buffer, give side x side bytes otherwise, and a decode must give valid UTF-8 and a known
// format name or nothing.
#include "platform/text/TextEncoding.h"
#include "plugins/BarcodeFrameDecoder.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {

std::uint32_t take32(const std::uint8_t*& data, std::size_t& size) {
    std::uint32_t value = 0;
    const std::size_t n = size < 4 ? size : 4;
    std::memcpy(&value, data, n);
    data += n;
    size -= n;
    return value;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Signed sizes as a frame header may give them; small ones mostly, so decodes run.
    const std::uint32_t w = take32(data, size), h = take32(data, size), pad = take32(data, size);
    const int width = (w & 0x80000000u) ? static_cast<int>(w) : static_cast<int>(w % 512);
    const int height = (h & 0x80000000u) ? static_cast<int>(h) : static_cast<int>(h % 512);
    const std::size_t stride = (pad & 0x80000000u) ? pad : static_cast<std::size_t>(width > 0 ? width : 0) * 4 + (pad % 64) - 16;

    auto square = plugins::getLuminanceSource(data, size, width, height, stride);
    if (!square)
        return 0;
    const plugins::CropGeometry crop = plugins::cropGeometry(width, height);
    if (square->side != crop.side || square->side < 1 ||
        square->bytes.size() != static_cast<std::size_t>(square->side) * static_cast<std::size_t>(square->side))
        std::abort();
    if (auto code = plugins::decodeSquare(*square))
        if (!platform::isValidUTF8(code->text) || code->format == "???")
            std::abort();
    return 0;
}
