#include "plugins/HYBJpegHeaderWriter.h"

#include "platform/core/Crypto.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>

namespace plugins {

namespace {

constexpr std::uint32_t kMaxUint32 = std::numeric_limits<std::uint32_t>::max();
constexpr std::size_t kMaxSegmentBytes = 0xFFFF;  // the length field, itself included
constexpr const char* kExifOffsetTag = "8769";
constexpr int kLongType = 4;

// Entry head: tag, type (4 hex digits) and count (8 hex digits).
std::string entryHead(const std::string& tag, int type, std::uint64_t count) {
    return tag + HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(static_cast<std::uint64_t>(type), 4) +
           HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(count, 8);
}

std::optional<std::uint64_t> wholeNumber(const platform::Value& value, std::uint64_t maximum) {
    if (const std::int64_t* integer = value.getInteger())
        return *integer >= 0 && static_cast<std::uint64_t>(*integer) <= maximum ? std::optional<std::uint64_t>(*integer) : std::nullopt;
    if (const double* number = value.getDouble()) {
        if (!std::isfinite(*number) || *number < 0 || *number > static_cast<double>(maximum))
            return std::nullopt;
        return static_cast<std::uint64_t>(*number);
    }
    if (const bool* flag = value.getBool())
        return *flag ? 1 : 0;
    return std::nullopt;
}

std::string asciiText(const platform::Value& value) {
    if (const std::string* text = value.getString())
        return *text;
    return value.description();
}

bool isAsciiCountFixed(const HYBJpegHeaderWriter::TagFormat& format) { return format.type == 2 && format.count > 0; }

struct SegmentView {
    std::size_t start;
    std::size_t end;  // one past the segment
};

bool isExifApp1(std::span<const std::uint8_t> jpeg, SegmentView segment) {
    static constexpr std::array<std::uint8_t, 6> kExifHeader{'E', 'x', 'i', 'f', 0, 0};
    if (segment.end - segment.start < 4 + kExifHeader.size())
        return false;
    return std::equal(kExifHeader.begin(), kExifHeader.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(segment.start + 4));
}

} // namespace

HYBJpegHeaderWriter::HYBJpegHeaderWriter()
    : m_ifd0{{"DateTime", {"0132", 2, 20, "00"}}, {"Make", {"010f", 2, 0, ""}},      {"Model", {"0110", 2, 0, ""}},
             {"Software", {"0131", 2, 0, ""}},    {"XResolution", {"011a", 5, 1, ""}}, {"YResolution", {"011b", 5, 1, ""}}},
      m_subIfd{{"ColorSpace", {"a001", 3, 1, ""}},         {"DateTimeDigitized", {"9004", 2, 20, "00"}},
               {"DateTimeOriginal", {"9003", 2, 20, "00"}}, {"ExposureMode", {"a402", 3, 1, ""}},
               {"ExposureProgram", {"8822", 3, 1, ""}},     {"Flash", {"9209", 3, 1, ""}},
               {"FocalLenIn35mmFilm", {"a405", 3, 1, ""}},  {"MeteringMode", {"9207", 3, 1, ""}},
               {"PixelXDimension", {"a002", 4, 1, ""}},     {"PixelYDimension", {"a003", 4, 1, ""}},
               {"SceneType", {"a301", 3, 1, ""}},           {"SensingMethod", {"a217", 3, 1, ""}},
               {"WhiteBalance", {"a403", 3, 1, ""}}} {}

int HYBJpegHeaderWriter::typeSize(int type) {
    static constexpr std::array<int, 12> kSizes{1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type >= 1 && type <= 12 ? kSizes[static_cast<std::size_t>(type - 1)] : 0;
}

std::string HYBJpegHeaderWriter::createExifAPP1(const platform::Dictionary& metadata) const {
    std::uint64_t dataOffset = 0;
    const std::string ifd0 = createExifIFDFromDict(metadata["{TIFF}"].dictionaryOrEmpty(), m_ifd0, true, dataOffset);
    const std::string subIfd = createExifIFDFromDict(metadata["{Exif}"].dictionaryOrEmpty(), m_subIfd, false, dataOffset);
    const std::uint64_t length = (ifd0.size() + subIfd.size()) / 2 + 16;
    if (length > kMaxSegmentBytes)
        return {};
    return "ffe1" + formattedHexStringFromDecimalNumber(length, 4) + "457869660000" + "4d4d002a" + "00000008" + ifd0 + subIfd;
}

std::string HYBJpegHeaderWriter::createExifIFDFromDict(const platform::Dictionary& values, const FormatTable& formats, bool isIFD0,
                                                       std::uint64_t& currentDataOffset) const {
    struct Entry {
        std::string head;
        std::string value;
    };
    std::vector<Entry> entries;
    for (const auto& entry : values) {
        auto format = formats.find(entry.key);
        if (format == formats.end())
            continue;
        std::string value;
        std::string head = createIFDElement(entry.value, format->second, value);
        if (!head.empty())
            entries.push_back({std::move(head), std::move(value)});
    }

    const std::uint64_t n = entries.size();
    std::uint64_t dataOffset = currentDataOffset + 12 * n + (isIFD0 ? 26 : 6);
    std::string entryText;
    std::string dataArea;
    for (const Entry& entry : entries) {
        if (entry.value.size() > 8) {
            entryText += entry.head + formattedHexStringFromDecimalNumber(dataOffset, 8);
            dataArea += entry.value;
            dataOffset += entry.value.size() / 2;
        } else {
            entryText += entry.head + entry.value;
        }
    }
    std::uint64_t count = n;
    if (isIFD0) {
        entryText = appendExifOffsetTagTo(std::move(entryText), 12 * n + dataArea.size() / 2 + 26);
        ++count;
    }
    currentDataOffset = dataOffset;
    return formattedHexStringFromDecimalNumber(count, 4) + entryText + "00000000" + dataArea;
}

std::string HYBJpegHeaderWriter::createIFDElement(const platform::Value& value, const TagFormat& format, std::string& elementData) {
    std::optional<std::string> data = createIFDElementDataWithFormat(format, value);
    if (!data)
        return {};
    std::uint64_t count = format.count;
    if (count == 0)
        count = static_cast<std::uint64_t>(typeSize(format.type)) * (format.type == 2 ? asciiText(value).size() : 1);
    if (count > kMaxUint32)
        return {};
    elementData = std::move(*data);
    return entryHead(format.tag, format.type, count);
}

std::optional<std::string> HYBJpegHeaderWriter::createIFDElementDataWithFormat(const TagFormat& format, const platform::Value& value) {
    switch (format.type) {
    case 2: {
        std::string text = asciiText(value);
        if (isAsciiCountFixed(format) && text.size() + format.suffix.size() / 2 != format.count) {
            // A fixed count (dates): the text is cut or padded so the entry holds exactly that many bytes.
            const std::size_t room = format.count - format.suffix.size() / 2;
            text.resize(room, '\0');
        }
        std::string hex = hexStringFromData({reinterpret_cast<const std::uint8_t*>(text.data()), text.size()}) + format.suffix;
        if (hex.size() < 8)
            hex.resize(8, '0');
        return hex;
    }
    case 3: {
        std::optional<std::uint64_t> number = wholeNumber(value, 0xFFFF);
        if (!number)
            return std::nullopt;
        return formattedHexStringFromDecimalNumber(*number, 4) + "0000";
    }
    case 4: {
        std::optional<std::uint64_t> number = wholeNumber(value, kMaxUint32);
        if (!number)
            return std::nullopt;
        return formattedHexStringFromDecimalNumber(*number, 8);
    }
    case 5: {
        if (!value.isNumber())
            return std::nullopt;
        std::int64_t numerator = 0, denominator = 1;
        if (!decimalToUnsignedRational(value.doubleValue(), numerator, denominator))
            return std::nullopt;
        return formatRationalWithNumerator(numerator, denominator, false);
    }
    default:
        return std::nullopt;
    }
}

std::string HYBJpegHeaderWriter::appendExifOffsetTagTo(std::string entries, std::uint64_t offset) {
    return entries + entryHead(kExifOffsetTag, kLongType, 1) + formattedHexStringFromDecimalNumber(offset, 8);
}

std::string HYBJpegHeaderWriter::formattedHexStringFromDecimalNumber(std::uint64_t number, int places) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*llx", places, static_cast<unsigned long long>(number));
    return buffer;
}

std::string HYBJpegHeaderWriter::formatNumberWithLeadingZeroes(std::int64_t number, int places) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%0*lld", places, static_cast<long long>(number));
    return buffer;
}

void HYBJpegHeaderWriter::splitDouble(double value, std::int64_t& intComponent, double& floatRemainder) {
    const double whole = std::trunc(value);
    intComponent = static_cast<std::int64_t>(whole);
    floatRemainder = value - whole;
}

void HYBJpegHeaderWriter::continuedFraction(double value, std::vector<std::int64_t>& fractionList, int horizon) {
    // Terms beyond 32 bits could never be written; stopping there also keeps the casts defined.
    while (std::isfinite(value) && std::fabs(value) <= kMaxUint32) {
        std::int64_t whole = 0;
        double remainder = 0;
        splitDouble(value, whole, remainder);
        fractionList.push_back(whole);
        if (remainder == 0 || fractionList.size() > static_cast<std::size_t>(horizon))
            return;
        value = 1 / remainder;
    }
}

bool HYBJpegHeaderWriter::expandContinuedFraction(const std::vector<std::int64_t>& fractionList, std::int64_t& numerator,
                                                  std::int64_t& denominator) {
    numerator = 0, denominator = 1;
    if (fractionList.empty())
        return true;
    std::int64_t top = fractionList.back(), bottom = 1;
    for (auto term = fractionList.rbegin() + 1; term != fractionList.rend(); ++term) {
        std::int64_t next = 0;
        if (__builtin_mul_overflow(*term, top, &next) || __builtin_add_overflow(next, bottom, &next))
            return false;
        bottom = top;
        top = next;
    }
    if (bottom < 0) {
        if (top == INT64_MIN || bottom == INT64_MIN)
            return false;
        top = -top, bottom = -bottom;
    }
    numerator = top, denominator = bottom;
    return true;
}

bool HYBJpegHeaderWriter::decimalToRational(double value, std::int64_t& numerator, std::int64_t& denominator) {
    if (!std::isfinite(value) || std::fabs(value) > std::numeric_limits<std::int32_t>::max())
        return false;
    std::vector<std::int64_t> terms;
    continuedFraction(value, terms, 8);
    while (!terms.empty()) {
        if (expandContinuedFraction(terms, numerator, denominator) && denominator != 0 && std::llabs(numerator) <= std::numeric_limits<std::int32_t>::max() &&
            denominator <= std::numeric_limits<std::int32_t>::max())
            return true;
        terms.pop_back();
    }
    return false;
}

bool HYBJpegHeaderWriter::decimalToUnsignedRational(double value, std::int64_t& numerator, std::int64_t& denominator) {
    if (!std::isfinite(value) || value < 0 || value > kMaxUint32)
        return false;
    std::vector<std::int64_t> terms;
    continuedFraction(value, terms, 8);
    while (!terms.empty()) {
        if (expandContinuedFraction(terms, numerator, denominator) && denominator > 0 && numerator >= 0 && numerator <= kMaxUint32 && denominator <= kMaxUint32)
            return true;
        terms.pop_back();
    }
    return false;
}

std::string HYBJpegHeaderWriter::formatFractionList(const std::vector<std::int64_t>& fractionList) {
    std::int64_t numerator = 0, denominator = 1;
    if (!expandContinuedFraction(fractionList, numerator, denominator))
        return {};
    return formatRationalWithNumerator(numerator, denominator, false);
}

std::string HYBJpegHeaderWriter::formatRationalWithNumerator(std::int64_t numerator, std::int64_t denominator, bool asSigned) {
    // Only the low 32 bits of each part are written, so wrapping here changes nothing that is written.
    if (asSigned && numerator < 0) {
        numerator = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(numerator));
        if (denominator > 0)
            denominator = static_cast<std::int64_t>(0 - static_cast<std::uint64_t>(denominator));
    }
    auto word = [](std::int64_t part) { return formattedHexStringFromDecimalNumber(static_cast<std::uint32_t>(part), 8); };
    return word(numerator) + word(denominator);
}

std::string HYBJpegHeaderWriter::hexStringFromData(std::span<const std::uint8_t> data) {
    return platform::Crypto::hexString(data);
}

std::optional<platform::Bytes> HYBJpegHeaderWriter::numericFromHexString(std::string_view hex) {
    if (hex.size() % 2 != 0)
        return std::nullopt;
    platform::Bytes bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        unsigned byte = 0;
        const char* first = hex.data() + i;
        const auto [end, error] = std::from_chars(first, first + 2, byte, 16);
        if (error != std::errc() || end != first + 2)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(byte));
    }
    return bytes;
}

platform::Bytes HYBJpegHeaderWriter::spliceExifBlockIntoJpeg(std::span<const std::uint8_t> jpeg, std::string_view exifBlock) {
    const platform::Bytes unchanged(jpeg.begin(), jpeg.end());
    // The block must be one whole APP1 segment that its own length describes.
    if (exifBlock.size() > 2 * (kMaxSegmentBytes + 2))
        return unchanged;
    std::optional<platform::Bytes> block = numericFromHexString(exifBlock);
    if (!block || block->size() < 4 || (*block)[0] != 0xFF || (*block)[1] != 0xE1 ||
        (static_cast<std::size_t>((*block)[2]) << 8 | (*block)[3]) != block->size() - 2)
        return unchanged;
    if (jpeg.size() < 2 || jpeg[0] != 0xFF || jpeg[1] != 0xD8)
        return unchanged;

    // Segments from after the start marker up to the scan; markers without a length are skipped.
    std::size_t position = 2;
    std::optional<SegmentView> replaced;
    std::size_t resumeAt = 0;
    while (position + 4 <= jpeg.size() && jpeg[position] == 0xFF) {
        const std::uint8_t marker = jpeg[position + 1];
        if (marker == 0xFF) {  // fill byte
            ++position;
            continue;
        }
        if (marker == 0xD8 || marker == 0x01 || (marker >= 0xD0 && marker <= 0xD7)) {
            position += 2;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            break;
        const std::size_t length = static_cast<std::size_t>(jpeg[position + 2]) << 8 | jpeg[position + 3];
        if (length < 2 || position + 2 + length > jpeg.size())
            break;
        const SegmentView segment{position, position + 2 + length};
        if (replaced) {
            // Only a second EXIF block right after the replaced one goes too.
            if (marker == 0xE1 && isExifApp1(jpeg, segment)) {
                resumeAt = segment.end;
                position = segment.end;
                continue;
            }
            break;
        }
        if (marker == 0xE1) {
            replaced = segment;
            resumeAt = segment.end;
        }
        position = segment.end;
    }
    if (!replaced)
        return unchanged;

    platform::Bytes spliced;
    spliced.reserve(jpeg.size() - (resumeAt - replaced->start) + block->size());
    spliced.insert(spliced.end(), jpeg.begin(), jpeg.begin() + static_cast<std::ptrdiff_t>(replaced->start));
    spliced.insert(spliced.end(), block->begin(), block->end());
    spliced.insert(spliced.end(), jpeg.begin() + static_cast<std::ptrdiff_t>(resumeAt), jpeg.end());
    return spliced;
}

} // namespace plugins
