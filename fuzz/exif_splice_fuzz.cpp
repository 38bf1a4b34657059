// Builds an EXIF APP1 segment from metadata made of the input and splices it into the rest of the
// input as JPEG bytes. Input: two bytes (big-endian) giving the metadata part's length, the metadata
// part (JSON properties when it parses, else raw values), then the JPEG bytes.
// Checks: a built segment is empty or describes its own length; the splice gives the JPEG back unchanged
// or with the segment in it; hex text that is no whole segment leaves the JPEG unchanged.
#include "platform/formats/JSON.h"
#include "plugins/HYBJpegHeaderWriter.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>

using namespace platform;
using plugins::HYBJpegHeaderWriter;

namespace {

Dictionary metadataOf(std::span<const std::uint8_t> part) {
    const std::string text(part.begin(), part.end());
    if (Result<Value> parsed = JSON::parse(text); parsed && parsed->isDictionary())
        return *parsed->getDictionary();
    double number = 0;
    std::int64_t integer = 0;
    std::memcpy(&number, part.data(), std::min(part.size(), sizeof number));
    std::memcpy(&integer, part.data(), std::min(part.size(), sizeof integer));
    return Dictionary{{"{TIFF}", Dictionary{{"Make", text}, {"Model", text.substr(0, 3)}, {"XResolution", number}, {"YResolution", integer},
                                            {"DateTime", text}}},
                      {"{Exif}", Dictionary{{"PixelXDimension", integer}, {"Flash", integer}, {"ColorSpace", number},
                                            {"DateTimeOriginal", text.substr(0, 30)}}}};
}

bool contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2)
        return 0;
    const std::size_t metadataLength = std::min<std::size_t>(static_cast<std::size_t>(data[0]) << 8 | data[1], size - 2);
    const std::span<const std::uint8_t> metadataPart(data + 2, metadataLength);
    const std::span<const std::uint8_t> jpeg(data + 2 + metadataLength, size - 2 - metadataLength);
    const Bytes original(jpeg.begin(), jpeg.end());

    static const HYBJpegHeaderWriter writer;
    const std::string app1 = writer.createExifAPP1(metadataOf(metadataPart));
    if (!app1.empty()) {
        std::optional<Bytes> block = HYBJpegHeaderWriter::numericFromHexString(app1);
        if (!block || block->size() < 4 || (static_cast<std::size_t>((*block)[2]) << 8 | (*block)[3]) != block->size() - 2)
            std::abort();
        const Bytes spliced = HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(jpeg, app1);
        if (spliced != original && !contains(spliced, *block))
            std::abort();
    }

    // The metadata part as a block of its own: unchanged unless it is one whole APP1 segment.
    const std::string_view text(reinterpret_cast<const char*>(metadataPart.data()), metadataPart.size());
    const Bytes spliced = HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(jpeg, text);
    if (spliced != original) {
        std::optional<Bytes> block = HYBJpegHeaderWriter::numericFromHexString(text);
        if (!block || block->size() < 4 || (*block)[0] != 0xFF || (*block)[1] != 0xE1 || !contains(spliced, *block))
            std::abort();
    }
    return 0;
}
