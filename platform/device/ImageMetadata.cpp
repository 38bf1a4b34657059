#include "platform/device/ImageMetadata.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

namespace platform {

Error imageMetadataError(ImageMetadataErrorCode code, std::string description) {
    return Error(kImageMetadataErrorDomain, static_cast<long long>(code), std::move(description));
}

namespace {

enum TiffType : std::uint16_t {
    kByte = 1, kAscii = 2, kShort = 3, kLong = 4, kRational = 5, kSByte = 6, kUndefined = 7,
    kSShort = 8, kSLong = 9, kSRational = 10, kFloat = 11, kDouble = 12,
};

unsigned typeSize(std::uint16_t type) {
    static constexpr std::array<unsigned, 13> kSizes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
    return type < kSizes.size() ? kSizes[type] : 0;
}

enum class Group { TIFF, Exif, GPS };
// How a value is shown: as stored, as degrees from three rationals, or as a time text from three.
enum class Form { Plain, Degrees, Time };

struct Tag {
    Group group;
    std::uint16_t id;
    std::uint16_t type;
    const char* key;
    Form form = Form::Plain;
};

constexpr std::uint16_t kExifIFDPointer = 0x8769;
constexpr std::uint16_t kGPSIFDPointer = 0x8825;

constexpr Tag kTags[] = {
    {Group::TIFF, 0x010E, kAscii, "ImageDescription"},
    {Group::TIFF, 0x010F, kAscii, kImagePropertyTIFFMake},
    {Group::TIFF, 0x0110, kAscii, kImagePropertyTIFFModel},
    {Group::TIFF, 0x0112, kShort, kImagePropertyTIFFOrientation},
    {Group::TIFF, 0x011A, kRational, kImagePropertyTIFFXResolution},
    {Group::TIFF, 0x011B, kRational, kImagePropertyTIFFYResolution},
    {Group::TIFF, 0x0128, kShort, kImagePropertyTIFFResolutionUnit},
    {Group::TIFF, 0x0131, kAscii, kImagePropertyTIFFSoftware},
    {Group::TIFF, 0x0132, kAscii, kImagePropertyTIFFDateTime},
    {Group::TIFF, 0x013B, kAscii, "Artist"},
    {Group::TIFF, 0x8298, kAscii, "Copyright"},
    {Group::Exif, 0x829A, kRational, kImagePropertyExifExposureTime},
    {Group::Exif, 0x829D, kRational, kImagePropertyExifFNumber},
    {Group::Exif, 0x8822, kShort, "ExposureProgram"},
    {Group::Exif, 0x8827, kShort, kImagePropertyExifISOSpeedRatings},
    {Group::Exif, 0x9000, kUndefined, "ExifVersion"},
    {Group::Exif, 0x9003, kAscii, kImagePropertyExifDateTimeOriginal},
    {Group::Exif, 0x9004, kAscii, kImagePropertyExifDateTimeDigitized},
    {Group::Exif, 0x9201, kSRational, "ShutterSpeedValue"},
    {Group::Exif, 0x9202, kRational, "ApertureValue"},
    {Group::Exif, 0x9203, kSRational, kImagePropertyExifBrightnessValue},
    {Group::Exif, 0x9204, kSRational, "ExposureBiasValue"},
    {Group::Exif, 0x9207, kShort, "MeteringMode"},
    {Group::Exif, 0x9209, kShort, kImagePropertyExifFlash},
    {Group::Exif, 0x920A, kRational, kImagePropertyExifFocalLength},
    {Group::Exif, 0x9214, kShort, "SubjectArea"},
    {Group::Exif, 0x9291, kAscii, "SubsecTimeOriginal"},
    {Group::Exif, 0x9292, kAscii, "SubsecTimeDigitized"},
    {Group::Exif, 0xA001, kShort, kImagePropertyExifColorSpace},
    {Group::Exif, 0xA002, kLong, kImagePropertyExifPixelXDimension},
    {Group::Exif, 0xA003, kLong, kImagePropertyExifPixelYDimension},
    {Group::Exif, 0xA217, kShort, "SensingMethod"},
    {Group::Exif, 0xA301, kUndefined, "SceneType"},
    {Group::Exif, 0xA402, kShort, "ExposureMode"},
    {Group::Exif, 0xA403, kShort, "WhiteBalance"},
    {Group::Exif, 0xA405, kShort, "FocalLenIn35mmFilm"},
    {Group::Exif, 0xA433, kAscii, "LensMake"},
    {Group::Exif, 0xA434, kAscii, "LensModel"},
    {Group::GPS, 0x0000, kByte, kImagePropertyGPSVersion},
    {Group::GPS, 0x0001, kAscii, kImagePropertyGPSLatitudeRef},
    {Group::GPS, 0x0002, kRational, kImagePropertyGPSLatitude, Form::Degrees},
    {Group::GPS, 0x0003, kAscii, kImagePropertyGPSLongitudeRef},
    {Group::GPS, 0x0004, kRational, kImagePropertyGPSLongitude, Form::Degrees},
    {Group::GPS, 0x0005, kByte, kImagePropertyGPSAltitudeRef},
    {Group::GPS, 0x0006, kRational, kImagePropertyGPSAltitude},
    {Group::GPS, 0x0007, kRational, kImagePropertyGPSTimeStamp, Form::Time},
    {Group::GPS, 0x000C, kAscii, kImagePropertyGPSSpeedRef},
    {Group::GPS, 0x000D, kRational, kImagePropertyGPSSpeed},
    {Group::GPS, 0x0010, kAscii, kImagePropertyGPSImgDirectionRef},
    {Group::GPS, 0x0011, kRational, kImagePropertyGPSImgDirection},
    {Group::GPS, 0x001D, kAscii, kImagePropertyGPSDateStamp},
    {Group::GPS, 0x001F, kRational, kImagePropertyGPSHPositioningError},
};

const char* groupKey(Group group) {
    switch (group) {
    case Group::TIFF: return kImagePropertyTIFFDictionary;
    case Group::Exif: return kImagePropertyExifDictionary;
    case Group::GPS: return kImagePropertyGPSDictionary;
    }
    return "";
}

const Tag* tagFor(Group group, std::uint16_t id) {
    for (const Tag& tag : kTags)
        if (tag.group == group && tag.id == id)
            return &tag;
    return nullptr;
}

// ---- Reading ----

class TiffReader {
public:
    TiffReader(std::span<const std::uint8_t> bytes, bool bigEndian) : m_bytes(bytes), m_big(bigEndian) {}

    bool has(std::uint64_t offset, std::uint64_t length) const {
        return offset <= m_bytes.size() && length <= m_bytes.size() - offset;
    }
    std::uint16_t u16(std::size_t at) const {
        return m_big ? static_cast<std::uint16_t>(m_bytes[at] << 8 | m_bytes[at + 1])
                     : static_cast<std::uint16_t>(m_bytes[at + 1] << 8 | m_bytes[at]);
    }
    std::uint32_t u32(std::size_t at) const {
        std::uint32_t a = m_bytes[at], b = m_bytes[at + 1], c = m_bytes[at + 2], d = m_bytes[at + 3];
        return m_big ? (a << 24 | b << 16 | c << 8 | d) : (d << 24 | c << 16 | b << 8 | a);
    }
    std::uint8_t u8(std::size_t at) const { return m_bytes[at]; }
    std::span<const std::uint8_t> bytes() const { return m_bytes; }

    // Reads the IFD at `offset` into `out`, answering the sub-IFD pointers it holds.
    void readIFD(std::uint32_t offset, Group group, Dictionary& out, std::optional<std::uint32_t>& exif,
                 std::optional<std::uint32_t>& gps) {
        if (!m_visited.insert(offset).second || !has(offset, 2))
            return;
        std::uint32_t count = u16(offset);
        // Entries past the end of the bytes are cut off, never read.
        count = static_cast<std::uint32_t>(std::min<std::uint64_t>(count, (m_bytes.size() - offset - 2) / 12));
        for (std::uint32_t i = 0; i < count; ++i) {
            std::size_t entry = offset + 2 + static_cast<std::size_t>(i) * 12;
            std::uint16_t id = u16(entry), type = u16(entry + 2);
            std::uint32_t n = u32(entry + 4);
            unsigned size = typeSize(type);
            if (size == 0 || n == 0)
                continue;
            std::uint64_t total = std::uint64_t{n} * size;  // at most 2^32 * 8: no overflow in 64 bits
            std::uint64_t at = total <= 4 ? entry + 8 : u32(entry + 8);
            if (!has(at, total))
                continue;
            if (group == Group::TIFF && (id == kExifIFDPointer || id == kGPSIFDPointer) && (type == kLong || type == 13)) {
                (id == kExifIFDPointer ? exif : gps) = u32(static_cast<std::size_t>(at));
                continue;
            }
            const Tag* tag = tagFor(group, id);
            if (!tag)
                continue;
            if (std::optional<Value> value = readValue(*tag, type, n, static_cast<std::size_t>(at)))
                out.set(tag->key, std::move(*value));
        }
    }

private:
    double number(std::uint16_t type, std::size_t at) const {
        switch (type) {
        case kByte: case kUndefined: return u8(at);
        case kSByte: return static_cast<std::int8_t>(u8(at));
        case kShort: return u16(at);
        case kSShort: return static_cast<std::int16_t>(u16(at));
        case kLong: return u32(at);
        case kSLong: return static_cast<std::int32_t>(u32(at));
        case kRational: {
            std::uint32_t d = u32(at + 4);
            return d == 0 ? 0.0 : static_cast<double>(u32(at)) / d;
        }
        case kSRational: {
            auto d = static_cast<std::int32_t>(u32(at + 4));
            return d == 0 ? 0.0 : static_cast<double>(static_cast<std::int32_t>(u32(at))) / d;
        }
        default: return 0;
        }
    }
    static bool isInteger(std::uint16_t type) {
        return type == kByte || type == kSByte || type == kShort || type == kSShort || type == kLong ||
               type == kSLong || type == kUndefined;
    }

    std::optional<Value> readValue(const Tag& tag, std::uint16_t type, std::uint32_t n, std::size_t at) const {
        if (type == kAscii) {
            if (tag.type != kAscii)
                return std::nullopt;
            auto text = m_bytes.subspan(at, n);
            auto end = std::find(text.begin(), text.end(), 0);
            return Value(std::string(text.begin(), end));
        }
        if (type == kFloat || type == kDouble || tag.type == kAscii)
            return std::nullopt;
        unsigned size = typeSize(type);
        if (tag.form == Form::Degrees || tag.form == Form::Time) {
            if (n != 3 || (type != kRational && type != kSRational))
                return std::nullopt;
            double a = number(type, at), b = number(type, at + 8), c = number(type, at + 16);
            if (tag.form == Form::Degrees)
                return Value(a + b / 60 + c / 3600);
            return Value(formatGPSTime(a, b, c));
        }
        if (n == 1)
            return isInteger(type) ? Value(static_cast<std::int64_t>(number(type, at))) : Value(number(type, at));
        if (n > kMaxExifListLength)
            return std::nullopt;
        Array list;
        list.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i) {
            double v = number(type, at + std::size_t{i} * size);
            if (isInteger(type))
                list.emplace_back(static_cast<std::int64_t>(v));
            else
                list.emplace_back(v);
        }
        return Value(std::move(list));
    }

    static std::string formatGPSTime(double h, double m, double s) {
        auto clampPart = [](double v, double top) { return std::isfinite(v) ? std::clamp(v, 0.0, top) : 0.0; };
        h = clampPart(h, 99), m = clampPart(m, 99), s = clampPart(s, 99.999999);
        char text[32];
        if (s == std::floor(s))
            std::snprintf(text, sizeof text, "%02d:%02d:%02d", static_cast<int>(h), static_cast<int>(m), static_cast<int>(s));
        else
            std::snprintf(text, sizeof text, "%02d:%02d:%09.6f", static_cast<int>(h), static_cast<int>(m), s);
        return text;
    }

    std::span<const std::uint8_t> m_bytes;
    bool m_big;
    std::set<std::uint32_t> m_visited;
};

// ---- Writing ----

struct Entry {
    std::uint16_t id;
    std::uint16_t type;
    std::uint32_t count;
    Bytes value;  // big-endian, count * type size bytes
};

void put16(Bytes& out, std::uint32_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}
void put32(Bytes& out, std::uint32_t v) {
    put16(out, v >> 16);
    put16(out, v & 0xFFFF);
}

std::optional<double> numberOf(const Value& value) {
    if (const auto* i = value.getInteger())
        return static_cast<double>(*i);
    if (const auto* d = value.getDouble())
        return std::isfinite(*d) ? std::optional<double>(*d) : std::nullopt;
    if (const auto* s = value.getString()) {
        char* end = nullptr;
        double d = std::strtod(s->c_str(), &end);
        if (!s->empty() && end == s->c_str() + s->size() && std::isfinite(d))
            return d;
    }
    if (const auto* b = value.getBool())
        return *b ? 1.0 : 0.0;
    return std::nullopt;
}

// The closest fraction p/q to |v| with p and q below 2^32 (continued fractions, best approximation).
std::pair<std::uint32_t, std::uint32_t> fraction(double v, std::uint32_t limit = 0xFFFFFFFFu) {
    v = std::fabs(v);
    if (!(v < limit))
        return {limit, 1};
    std::uint64_t p0 = 0, q0 = 1, p1 = 1, q1 = 0;
    double x = v;
    for (int i = 0; i < 40; ++i) {
        double a = std::floor(x);
        std::uint64_t ai = static_cast<std::uint64_t>(a);
        std::uint64_t p2 = ai * p1 + p0, q2 = ai * q1 + q0;
        if (p2 > limit || q2 > limit)
            break;
        p0 = p1, q0 = q1, p1 = p2, q1 = q2;
        double rest = x - a;
        if (rest < 1e-12 || std::fabs(static_cast<double>(p1) / static_cast<double>(q1) - v) < 1e-12 * std::max(1.0, v))
            break;
        x = 1 / rest;
    }
    if (q1 == 0)
        return {static_cast<std::uint32_t>(std::llround(v)), 1};
    return {static_cast<std::uint32_t>(p1), static_cast<std::uint32_t>(q1)};
}

void putNumber(Bytes& out, std::uint16_t type, double v) {
    switch (type) {
    case kByte: case kUndefined: out.push_back(static_cast<std::uint8_t>(std::clamp(v, 0.0, 255.0))); break;
    case kShort: put16(out, static_cast<std::uint32_t>(std::clamp(v, 0.0, 65535.0))); break;
    case kLong: put32(out, static_cast<std::uint32_t>(std::clamp(v, 0.0, 4294967295.0))); break;
    case kRational: {
        auto [p, q] = fraction(v);
        put32(out, v < 0 ? 0 : p);
        put32(out, q);
        break;
    }
    case kSRational: {
        auto [p, q] = fraction(v, 0x7FFFFFFF);
        put32(out, static_cast<std::uint32_t>(v < 0 ? -static_cast<std::int64_t>(p) : static_cast<std::int64_t>(p)));
        put32(out, q);
        break;
    }
    default: break;
    }
}

// Three rationals: whole degrees, whole minutes, seconds to 1/10000.
void putDegrees(Bytes& out, double degrees) {
    degrees = std::fabs(degrees);
    double d = std::floor(degrees);
    double m = std::floor((degrees - d) * 60);
    double s = ((degrees - d) * 60 - m) * 60;
    put32(out, static_cast<std::uint32_t>(d)), put32(out, 1);
    put32(out, static_cast<std::uint32_t>(m)), put32(out, 1);
    put32(out, static_cast<std::uint32_t>(std::llround(s * 10000))), put32(out, 10000);
}

std::optional<Entry> entryFor(const Tag& tag, const Value& value) {
    Entry entry{tag.id, tag.type, 0, {}};
    if (tag.form == Form::Degrees) {
        std::optional<double> degrees = numberOf(value);
        if (!degrees || std::fabs(*degrees) > 360)
            return std::nullopt;
        putDegrees(entry.value, *degrees);
        entry.count = 3;
        return entry;
    }
    if (tag.form == Form::Time) {
        const std::string* text = value.getString();
        unsigned h = 0, m = 0;
        double s = 0;
        if (!text || std::sscanf(text->c_str(), "%u:%u:%lf", &h, &m, &s) != 3 || h > 99 || m > 99 || !(s >= 0 && s < 100))
            return std::nullopt;
        put32(entry.value, h), put32(entry.value, 1);
        put32(entry.value, m), put32(entry.value, 1);
        put32(entry.value, static_cast<std::uint32_t>(std::llround(s * 1e6))), put32(entry.value, 1000000);
        entry.count = 3;
        return entry;
    }
    if (tag.type == kAscii) {
        const std::string* text = value.getString();
        if (!text || text->size() > 0xFFFF)
            return std::nullopt;
        std::string_view shown(*text);
        shown = shown.substr(0, shown.find('\0'));
        entry.value.assign(shown.begin(), shown.end());
        entry.value.push_back(0);
        entry.count = static_cast<std::uint32_t>(entry.value.size());
        return entry;
    }
    std::vector<double> numbers;
    if (const Array* list = value.getArray()) {
        if (list->empty() || list->size() > kMaxExifListLength)
            return std::nullopt;
        for (const Value& item : *list) {
            std::optional<double> n = numberOf(item);
            if (!n)
                return std::nullopt;
            numbers.push_back(*n);
        }
    } else if (const Bytes* bytes = value.getBytes(); bytes && tag.type == kUndefined) {
        if (bytes->empty() || bytes->size() > 0xFFFF)
            return std::nullopt;
        entry.value = *bytes;
        entry.count = static_cast<std::uint32_t>(bytes->size());
        return entry;
    } else if (std::optional<double> n = numberOf(value)) {
        numbers.push_back(*n);
    } else {
        return std::nullopt;
    }
    for (double n : numbers)
        putNumber(entry.value, tag.type, n);
    entry.count = static_cast<std::uint32_t>(numbers.size());
    return entry;
}

std::vector<Entry> entriesOf(Group group, const Dictionary* values) {
    std::vector<Entry> entries;
    if (!values)
        return entries;
    for (const auto& [key, value] : *values) {
        for (const Tag& tag : kTags) {
            if (tag.group == group && key == tag.key) {
                if (std::optional<Entry> entry = entryFor(tag, value))
                    entries.push_back(std::move(*entry));
                break;
            }
        }
    }
    return entries;
}

std::size_t dataSize(const std::vector<Entry>& entries) {
    std::size_t size = 0;
    for (const Entry& e : entries)
        if (e.value.size() > 4)
            size += e.value.size() + (e.value.size() & 1);
    return size;
}

std::size_t blockSize(const std::vector<Entry>& entries) { return 2 + 12 * entries.size() + 4 + dataSize(entries); }

// Writes one IFD starting at out.size() (its offset within the TIFF structure).
void writeIFD(Bytes& out, std::vector<Entry> entries) {
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.id < b.id; });
    const std::size_t start = out.size();
    std::size_t data = start + 2 + 12 * entries.size() + 4;
    put16(out, static_cast<std::uint32_t>(entries.size()));
    Bytes area;
    for (const Entry& e : entries) {
        put16(out, e.id);
        put16(out, e.type);
        put32(out, e.count);
        if (e.value.size() <= 4) {
            Bytes inline4 = e.value;
            inline4.resize(4, 0);
            out.insert(out.end(), inline4.begin(), inline4.end());
        } else {
            put32(out, static_cast<std::uint32_t>(data + area.size()));
            area.insert(area.end(), e.value.begin(), e.value.end());
            if (area.size() & 1)
                area.push_back(0);
        }
    }
    put32(out, 0);  // no next IFD
    out.insert(out.end(), area.begin(), area.end());
}

Entry pointerEntry(std::uint16_t id, std::size_t offset) {
    Entry e{id, kLong, 1, {}};
    put32(e.value, static_cast<std::uint32_t>(offset));
    return e;
}

} // namespace

Result<Dictionary> readExif(std::span<const std::uint8_t> tiff) {
    if (tiff.size() < 8)
        return imageMetadataError(ImageMetadataErrorCode::Corrupt, "EXIF data is shorter than its header");
    bool big;
    if (tiff[0] == 'M' && tiff[1] == 'M')
        big = true;
    else if (tiff[0] == 'I' && tiff[1] == 'I')
        big = false;
    else
        return imageMetadataError(ImageMetadataErrorCode::Corrupt, "EXIF data has no byte-order mark");
    TiffReader reader(tiff, big);
    if (reader.u16(2) != 42)
        return imageMetadataError(ImageMetadataErrorCode::Corrupt, "EXIF data is not a TIFF structure");
    Dictionary groups[3];
    std::optional<std::uint32_t> exif, gps, ignored1, ignored2;
    reader.readIFD(reader.u32(4), Group::TIFF, groups[0], exif, gps);
    if (exif)
        reader.readIFD(*exif, Group::Exif, groups[1], ignored1, ignored2);
    if (gps)
        reader.readIFD(*gps, Group::GPS, groups[2], ignored1, ignored2);
    Dictionary out;
    for (Group g : {Group::TIFF, Group::Exif, Group::GPS})
        if (!groups[static_cast<int>(g)].empty())
            out.set(groupKey(g), std::move(groups[static_cast<int>(g)]));
    return out;
}

Bytes writeExif(const Dictionary& properties) {
    Dictionary tiffValues;
    if (const Dictionary* given = properties[kImagePropertyTIFFDictionary].getDictionary())
        tiffValues = *given;
    if (const Value* orientation = properties.find(kImagePropertyOrientation))
        tiffValues.set(kImagePropertyTIFFOrientation, *orientation);
    std::vector<Entry> ifd0 = entriesOf(Group::TIFF, &tiffValues);
    std::vector<Entry> exif = entriesOf(Group::Exif, properties[kImagePropertyExifDictionary].getDictionary());
    std::vector<Entry> gps = entriesOf(Group::GPS, properties[kImagePropertyGPSDictionary].getDictionary());
    if (!gps.empty() && std::none_of(gps.begin(), gps.end(), [](const Entry& e) { return e.id == 0; }))
        gps.push_back(Entry{0, kByte, 4, {2, 2, 0, 0}});
    if (ifd0.empty() && exif.empty() && gps.empty())
        return {};

    // IFD0 gets one pointer per sub-IFD; their offsets follow from the sizes.
    std::size_t ifd0Size = blockSize(ifd0) + 12 * (!exif.empty() + !gps.empty());
    std::size_t exifOffset = 8 + ifd0Size;
    std::size_t gpsOffset = exifOffset + (exif.empty() ? 0 : blockSize(exif));
    if (!exif.empty())
        ifd0.push_back(pointerEntry(kExifIFDPointer, exifOffset));
    if (!gps.empty())
        ifd0.push_back(pointerEntry(kGPSIFDPointer, gpsOffset));

    Bytes out{'M', 'M', 0, 42};
    put32(out, 8);
    writeIFD(out, std::move(ifd0));
    if (!exif.empty())
        writeIFD(out, std::move(exif));
    if (!gps.empty())
        writeIFD(out, std::move(gps));
    return out;
}

void mergeImageProperties(Dictionary& properties, const Dictionary& changes) {
    for (const auto& [key, value] : changes) {
        Value* existing = properties.find(key);
        const Dictionary* group = value.getDictionary();
        if (existing && group && existing->getDictionary()) {
            for (const auto& [inner, innerValue] : *group)
                existing->getDictionary()->set(inner, innerValue);
        } else {
            properties.set(key, value);
        }
    }
}

} // namespace platform
