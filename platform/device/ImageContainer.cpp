#include "platform/device/ImageContainer.h"

#include "platform/device/ImageMetadata.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

namespace platform {

namespace {

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
constexpr std::uint8_t kExifHeader[] = {'E', 'x', 'i', 'f', 0, 0};

constexpr std::uint32_t chunkType(const char (&name)[5]) {
    return static_cast<std::uint32_t>(name[0]) << 24 | static_cast<std::uint32_t>(name[1]) << 16 |
           static_cast<std::uint32_t>(name[2]) << 8 | static_cast<std::uint32_t>(name[3]);
}
constexpr std::uint32_t kIHDR = chunkType("IHDR"), kIDAT = chunkType("IDAT"), kIEND = chunkType("IEND"),
                        kEXIF = chunkType("eXIf");

std::uint32_t be16(std::span<const std::uint8_t> b, std::size_t at) { return std::uint32_t{b[at]} << 8 | b[at + 1]; }
std::uint32_t be32(std::span<const std::uint8_t> b, std::size_t at) { return be16(b, at) << 16 | be16(b, at + 2); }

Error corrupt(std::string text) { return imageMetadataError(ImageMetadataErrorCode::Corrupt, std::move(text)); }

bool isFrameHeader(std::uint8_t marker) {
    return marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
}

bool isExifSegment(std::span<const std::uint8_t> bytes, std::uint8_t marker, const ContainerBlock& segment) {
    return marker == 0xE1 && segment.size >= 4 + sizeof kExifHeader &&
           std::memcmp(bytes.data() + segment.offset + 4, kExifHeader, sizeof kExifHeader) == 0;
}

void append(Bytes& out, std::span<const std::uint8_t> bytes) {
    if (bytes.empty())
        return;
    const std::size_t at = out.size();
    out.resize(at + bytes.size());
    std::memcpy(out.data() + at, bytes.data(), bytes.size());
}

} // namespace

bool looksLikeJpeg(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF;
}

bool looksLikePng(std::span<const std::uint8_t> bytes) {
    return bytes.size() >= sizeof kPngSignature && std::memcmp(bytes.data(), kPngSignature, sizeof kPngSignature) == 0;
}

Result<JpegLayout> parseJpeg(std::span<const std::uint8_t> bytes) {
    if (!looksLikeJpeg(bytes))
        return corrupt("not a JPEG file");
    JpegLayout layout;
    bool sawFrame = false;
    std::size_t pos = 2;
    for (;;) {
        if (bytes.size() - pos < 2)
            return corrupt("JPEG ends before its image data");
        if (bytes[pos] != 0xFF)
            return corrupt("JPEG segment does not start with a marker");
        while (bytes.size() - pos > 2 && bytes[pos + 1] == 0xFF)  // fill bytes
            ++pos;
        const std::uint8_t marker = bytes[pos + 1];
        if (marker == 0xDA) {
            layout.scanOffset = pos;
            break;
        }
        if (marker == 0xD9 || marker == 0xD8 || marker == 0x00)
            return corrupt("JPEG has no image data");
        if ((marker >= 0xD0 && marker <= 0xD7) || marker == 0x01) {
            pos += 2;
            continue;
        }
        if (bytes.size() - pos < 4)
            return corrupt("JPEG segment is cut short");
        const std::size_t length = be16(bytes, pos + 2);
        if (length < 2 || bytes.size() - pos - 2 < length)
            return corrupt("JPEG segment length points outside the file");
        if (isFrameHeader(marker)) {
            if (length < 8)
                return corrupt("JPEG frame header is cut short");
            layout.precision = bytes[pos + 4];
            layout.height = static_cast<int>(be16(bytes, pos + 5));
            layout.width = static_cast<int>(be16(bytes, pos + 7));
            layout.components = bytes[pos + 9];
            sawFrame = true;
        }
        if (!layout.exifSegment && isExifSegment(bytes, marker, {pos, 2 + length}))
            layout.exifSegment = layout.segments.size();
        layout.segments.push_back({pos, 2 + length});
        layout.markers.push_back(marker);
        pos += 2 + length;
    }
    if (!sawFrame || layout.width == 0 || layout.height == 0 || layout.components == 0)
        return corrupt("JPEG has no frame header with a size");
    return layout;
}

Result<PngLayout> parsePng(std::span<const std::uint8_t> bytes) {
    if (!looksLikePng(bytes))
        return corrupt("not a PNG file");
    PngLayout layout;
    bool sawData = false;
    std::size_t pos = sizeof kPngSignature;
    for (;;) {
        if (bytes.size() - pos < 12)
            return corrupt("PNG ends before its IEND chunk");
        const std::uint32_t length = be32(bytes, pos), type = be32(bytes, pos + 4);
        if (length > 0x7FFFFFFFu || bytes.size() - pos - 12 < length)
            return corrupt("PNG chunk length points outside the file");
        if (layout.chunks.empty()) {
            if (type != kIHDR || length != 13)
                return corrupt("PNG does not start with its header chunk");
            layout.width = static_cast<int>(std::min<std::uint32_t>(be32(bytes, pos + 8), 0x7FFFFFFF));
            layout.height = static_cast<int>(std::min<std::uint32_t>(be32(bytes, pos + 12), 0x7FFFFFFF));
            layout.bitDepth = bytes[pos + 16];
            layout.colorType = bytes[pos + 17];
        }
        if (type == kIDAT && !sawData) {
            layout.firstData = layout.chunks.size();
            sawData = true;
        }
        if (type == kEXIF && !layout.exifChunk && !sawData)
            layout.exifChunk = layout.chunks.size();
        layout.chunks.push_back({pos, 12 + std::size_t{length}});
        layout.types.push_back(type);
        pos += 12 + std::size_t{length};
        if (type == kIEND)
            break;
    }
    if (!sawData || layout.width <= 0 || layout.height <= 0)
        return corrupt("PNG has no image data");
    return layout;
}

std::span<const std::uint8_t> jpegExif(std::span<const std::uint8_t> bytes, const JpegLayout& layout) {
    if (!layout.exifSegment)
        return {};
    const ContainerBlock& s = layout.segments[*layout.exifSegment];
    return bytes.subspan(s.offset + 4 + sizeof kExifHeader, s.size - 4 - sizeof kExifHeader);
}

std::span<const std::uint8_t> pngExif(std::span<const std::uint8_t> bytes, const PngLayout& layout) {
    if (!layout.exifChunk)
        return {};
    const ContainerBlock& c = layout.chunks[*layout.exifChunk];
    return bytes.subspan(c.offset + 8, c.size - 12);
}

Result<Bytes> spliceJpegExif(std::span<const std::uint8_t> bytes, const JpegLayout& layout, std::span<const std::uint8_t> tiff) {
    if (tiff.size() > kMaxJpegExifBytes)
        return imageMetadataError(ImageMetadataErrorCode::TooLarge,
                                  "the properties take " + std::to_string(tiff.size()) + " bytes; one APP1 segment holds " +
                                      std::to_string(kMaxJpegExifBytes));
    Bytes out;
    out.reserve(bytes.size() + tiff.size() + 10);
    append(out, bytes.first(2));
    std::size_t i = 0;
    const std::size_t count = layout.segments.size();
    // JFIF's APP0 segments stay first; the EXIF block follows them.
    for (; i < count && layout.markers[i] == 0xE0; ++i)
        append(out, bytes.subspan(layout.segments[i].offset, layout.segments[i].size));
    if (!tiff.empty()) {
        const std::size_t length = 2 + sizeof kExifHeader + tiff.size();
        out.insert(out.end(), {0xFF, 0xE1, static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length)});
        out.insert(out.end(), std::begin(kExifHeader), std::end(kExifHeader));
        append(out, tiff);
    }
    // Every old EXIF segment goes, not only the first: none may outlive the new one.
    for (; i < count; ++i)
        if (!isExifSegment(bytes, layout.markers[i], layout.segments[i]))
            append(out, bytes.subspan(layout.segments[i].offset, layout.segments[i].size));
    // Whatever lay between the last segment and the scan (fill bytes, restart markers) and the scan itself.
    const std::size_t tail = count ? std::min(layout.scanOffset, layout.segments.back().offset + layout.segments.back().size) : 2;
    append(out, bytes.subspan(tail));
    return out;
}

Bytes splicePngExif(std::span<const std::uint8_t> bytes, const PngLayout& layout, std::span<const std::uint8_t> tiff) {
    Bytes out;
    out.reserve(bytes.size() + tiff.size() + 12);
    append(out, bytes.first(sizeof kPngSignature));
    for (std::size_t i = 0; i < layout.chunks.size(); ++i) {
        if (i == layout.firstData && !tiff.empty()) {
            const std::size_t start = out.size();
            const auto length = static_cast<std::uint32_t>(tiff.size());
            out.insert(out.end(), {static_cast<std::uint8_t>(length >> 24), static_cast<std::uint8_t>(length >> 16),
                                   static_cast<std::uint8_t>(length >> 8), static_cast<std::uint8_t>(length), 'e', 'X', 'I', 'f'});
            append(out, tiff);
            uLong crc = crc32(0L, out.data() + start + 4, static_cast<uInt>(4 + tiff.size()));
            out.insert(out.end(), {static_cast<std::uint8_t>(crc >> 24), static_cast<std::uint8_t>(crc >> 16),
                                   static_cast<std::uint8_t>(crc >> 8), static_cast<std::uint8_t>(crc)});
        }
        if (layout.types[i] != kEXIF)
            append(out, bytes.subspan(layout.chunks[i].offset, layout.chunks[i].size));
    }
    return out;
}

} // namespace platform
