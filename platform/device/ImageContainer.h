// The structure of JPEG and PNG files, as far as metadata needs it: where the segments (chunks) are,
// the pixel size the header claims, where the EXIF block lies, and a splice that replaces that block
// while copying every other byte (the compressed image data above all) unchanged.
//
// Guarantees:
// - Parsing reads only inside the given bytes; every length is checked before it is followed.
// - A splice never re-encodes: the output is the input with the EXIF segment (chunk) removed and the
//   new one inserted (JPEG: after SOI and any JFIF APP0 segments; PNG: before the first IDAT chunk).
// - Thread: pure functions.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace platform {

// The most an APP1 segment can carry after its "Exif\0\0" header.
inline constexpr std::size_t kMaxJpegExifBytes = 65535 - 2 - 6;

struct ContainerBlock {
    std::size_t offset = 0;  // of the marker (chunk length)
    std::size_t size = 0;    // the whole segment (chunk), header included
};

struct JpegLayout {
    std::vector<ContainerBlock> segments;  // between SOI and SOS
    std::vector<std::uint8_t> markers;     // the marker of each segment
    std::size_t scanOffset = 0;            // the SOS marker: from here on everything is copied as is
    int width = 0, height = 0, components = 0, precision = 0;
    std::optional<std::size_t> exifSegment;  // index into segments of the first EXIF APP1
};

struct PngLayout {
    std::vector<ContainerBlock> chunks;  // after the signature, up to and including IEND
    std::vector<std::uint32_t> types;
    int width = 0, height = 0, bitDepth = 0, colorType = 0;
    std::optional<std::size_t> exifChunk;  // index into chunks
    std::size_t firstData = 0;             // index of the first IDAT chunk
};

bool looksLikeJpeg(std::span<const std::uint8_t> bytes);
bool looksLikePng(std::span<const std::uint8_t> bytes);

Result<JpegLayout> parseJpeg(std::span<const std::uint8_t> bytes);
Result<PngLayout> parsePng(std::span<const std::uint8_t> bytes);

// The TIFF structure inside the EXIF block, empty when there is none.
std::span<const std::uint8_t> jpegExif(std::span<const std::uint8_t> bytes, const JpegLayout& layout);
std::span<const std::uint8_t> pngExif(std::span<const std::uint8_t> bytes, const PngLayout& layout);

// The file with its EXIF replaced by `tiff` (removed when `tiff` is empty). A JPEG refuses a TIFF
// structure above kMaxJpegExifBytes.
Result<Bytes> spliceJpegExif(std::span<const std::uint8_t> bytes, const JpegLayout& layout, std::span<const std::uint8_t> tiff);
Bytes splicePngExif(std::span<const std::uint8_t> bytes, const PngLayout& layout, std::span<const std::uint8_t> tiff);

} // namespace platform
