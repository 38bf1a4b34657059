// Decodes arbitrary bytes as PNG or JPEG under tight limits. A decoded image must have the size its
// pixels say, and must encode as PNG and decode back to the same size.
#include "platform/ui/Image.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

using namespace platform;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    DecodeLimits limits;
    limits.maxSide = 4096;
    limits.maxPixels = 1 << 22;  // 16 MiB of pixels: keeps the fuzzer fast and within its memory
    auto image = Image::decode(std::span<const std::uint8_t>(data, size), 2, limits);
    if (!image.ok())
        return 0;
    const Image& decoded = *image.value();
    if (decoded.pixelWidth() <= 0 || decoded.pixelHeight() <= 0 || decoded.pixelWidth() > limits.maxSide ||
        decoded.pixelHeight() > limits.maxSide)
        std::abort();
    if (static_cast<std::int64_t>(decoded.pixelWidth()) * decoded.pixelHeight() <= 1 << 16) {
        auto png = decoded.pngData();
        if (!png.ok())
            std::abort();
        auto again = Image::decode(png.value());
        if (!again.ok() || again.value()->pixelWidth() != decoded.pixelWidth() || again.value()->pixelHeight() != decoded.pixelHeight())
            std::abort();
    }
    return 0;
}
