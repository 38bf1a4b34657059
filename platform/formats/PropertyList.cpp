#include "platform/formats/PropertyList.h"

#include "platform/core/Crypto.h"
#include "platform/core/SeededHash.h"
#include "platform/files/FileManager.h"
#include "platform/files/PosixIO.h"
#include "platform/files/PrivateFile.h"
#include "platform/formats/XMLParser.h"
#include "platform/text/TextEncoding.h"

#include <plist/plist.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <charconv>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace platform {

namespace {

// Seconds from 1970-01-01 to 2001-01-01, the reference date of property lists.
constexpr double kReferenceDate = 978307200.0;
constexpr int kMaxDepth = 512;

struct PlistDeleter {
    void operator()(plist_t node) const { plist_free(node); }
};
using PlistPtr = std::unique_ptr<void, PlistDeleter>;

Error readError(std::string message) {
    return Error(kCocoaErrorDomain, PropertyList::kReadCorruptError, std::move(message));
}

Error writeError(std::string message) {
    return Error(kCocoaErrorDomain, PropertyList::kWriteInvalidError, std::move(message));
}

// ---- Nodes as libplist stores them ----
//
// libplist 2.2 hands out a date only as whole seconds and truncated microseconds, and a key only as a C
// string (asserting that it holds no NUL). Its binary form shows both exactly as stored: a node written
// alone is "bplist00", the node's object, a one-entry offset table and the 32-byte trailer.

constexpr std::string_view kBinaryMagic = "bplist00";
constexpr std::size_t kTrailerSize = 32;
constexpr unsigned char kDateMarker = 0x33;   // 8-byte big-endian double: seconds since the reference date
constexpr unsigned char kASCIIMarker = 0x50;  // low nibble: length in bytes, or 0xF and an integer object
constexpr unsigned char kUTF16Marker = 0x60;  // length in big-endian 16-bit units
constexpr unsigned char kIntegerMarker = 0x10; // low nibble N: 2^N big-endian bytes

std::uint64_t bigEndian(const unsigned char* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i)
        v = (v << 8) | p[i];
    return v;
}

// The object of a node written alone as a binary list: its bytes up to the offset table.
std::string singleObject(plist_t node) {
    char* out = nullptr;
    std::uint32_t length = 0;
    plist_to_bin(node, &out, &length);
    std::string object;
    if (out && length > kBinaryMagic.size() + kTrailerSize) {
        std::string_view bytes(out, length);
        auto offsetTable = bigEndian(reinterpret_cast<const unsigned char*>(bytes.data()) + length - 8, 8);
        if (bytes.starts_with(kBinaryMagic) && offsetTable > kBinaryMagic.size() && offsetTable <= length - kTrailerSize)
            object.assign(bytes.substr(kBinaryMagic.size(), offsetTable - kBinaryMagic.size()));
    }
    plist_to_bin_free(out);
    return object;
}

// The seconds since the reference date exactly as stored.
std::optional<double> storedDate(plist_t node) {
    std::string object = singleObject(node);
    if (object.size() != 9 || static_cast<unsigned char>(object[0]) != kDateMarker)
        return std::nullopt;
    std::uint64_t bits = bigEndian(reinterpret_cast<const unsigned char*>(object.data()) + 1, 8);
    double seconds = 0;
    std::memcpy(&seconds, &bits, sizeof seconds);
    return seconds;
}

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t daysFromCivil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto yearOfEra = static_cast<unsigned>(year - era * 400);
    const unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<std::int64_t>(dayOfEra) - 719468;
}

// The seconds since the reference date a binary list keeps for a date: those it was read with, while
// they still name it, else the nearest double to its seconds since 1970 less the reference date.
double sinceReferenceDate(const Date& date) {
    if (date.storedSince2001 && kReferenceDate + *date.storedSince2001 == date.secondsSince1970)
        return *date.storedSince2001;
    return date.secondsSince1970 - kReferenceDate;
}

// A binary list keeps a date as any finite double of seconds since the reference date. The XML form
// writes the second it lies in (its seconds since 1970 rounded down) as a four-digit year, and the
// fraction after it: from 0000-01-01 to the end of 9999.
bool isWritableDate(const Date& date, PropertyList::Format format) {
    if (!std::isfinite(date.secondsSince1970) || !std::isfinite(sinceReferenceDate(date)))
        return false;
    if (format == PropertyList::Format::Binary)
        return true;
    const double whole = std::floor(date.secondsSince1970);
    return whole >= static_cast<double>(daysFromCivil(0, 1, 1) * 86400)
        && whole < static_cast<double>(daysFromCivil(10000, 1, 1) * 86400);
}

// Whether an integer node was stored in sixteen bytes.
bool isSixteenByteInteger(plist_t node) {
    const std::string object = singleObject(node);
    return !object.empty() && static_cast<unsigned char>(object[0]) == (kIntegerMarker | 4);
}

// Whether a key node can be handed out as a C string: its stored text holds no NUL.
bool isCStringKey(plist_t key) {
    std::string object = singleObject(key);
    if (object.empty())
        return false;
    const auto* p = reinterpret_cast<const unsigned char*>(object.data());
    const unsigned char marker = p[0] & 0xF0;
    if (marker != kASCIIMarker && marker != kUTF16Marker)
        return false;
    std::string_view text = std::string_view(object).substr(1);
    if ((p[0] & 0x0F) == 0x0F) {
        // The length follows as an integer object: 0x1N and 2^N big-endian bytes.
        std::size_t lengthBytes = text.empty() ? 0 : std::size_t{1} << (static_cast<unsigned char>(text[0]) & 0x0F);
        if (text.empty() || (static_cast<unsigned char>(text[0]) & 0xF0) != 0x10 || text.size() < 1 + lengthBytes)
            return false;
        text.remove_prefix(1 + lengthBytes);
    }
    if (marker == kASCIIMarker)
        return text.find('\0') == std::string_view::npos;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        if (text[i] == '\0' && text[i + 1] == '\0')
            return false;
    return true;
}

// ---- Bounding what libplist reads ----
//
// libplist builds a binary list by recursion, one call per nesting level, and an object shared by several
// references is copied once per reference. Property lists come from other applications (pasteboards,
// keychain items) and from files, so a binary list's shape and cost are checked before libplist sees it,
// in constant stack and in time linear in the list: each object is read once, and what it expands to is
// kept for its further references. XML lists never reach libplist's reader: libxml2 reads them (see
// XMLListReader below).

// Nodes a binary list may expand to through shared objects: one per byte of the list (every reference
// takes at least a byte, so a list whose objects are each held once always fits), at least
// PropertyList::kMinExpandedNodes (or the caller's floor).
// Values any list from outside may hold in all, in either form: each costs libplist and the values made
// from it a microsecond and a hundred bytes or more, and a binary list of one-byte references to one
// object holds one per byte (a 64 MiB pasteboard would be 64 million, gigabytes and a minute; a
// million took a second): PropertyList::kMaxNodes, unless the caller names more for its own files.
// Bytes of text and data a binary list may expand to, a shared string or data object counting at every
// reference: four times the list, or PropertyList::kMinExpandedBytes (or the caller's floor) for a
// smaller one. Without it, a megabyte of one-byte references to one long string would be gigabytes.
constexpr std::uint64_t kExpandedBytesPerByte = 4;
// Text stored as UTF-16 counts the bytes of its UTF-8 form at most: 3 per unit.
constexpr std::uint64_t kUTF8BytesPerUnit = 3;
constexpr unsigned char kMarkerMask = 0xF0;
constexpr unsigned char kDataMarker = 0x40;
constexpr unsigned char kArrayMarker = 0xA0;
constexpr unsigned char kOrderedSetMarker = 0xB0;
constexpr unsigned char kSetMarker = 0xC0;
constexpr unsigned char kDictMarker = 0xD0;

struct BinaryLayout {
    const unsigned char* data = nullptr;
    std::size_t size = 0;
    std::size_t offsetSize = 0;
    std::size_t refSize = 0;
    std::uint64_t objects = 0;
    std::uint64_t top = 0;
    std::uint64_t table = 0; // where the offset table begins: every object lies before it
};

// What one object is made of.
struct ObjectShape {
    std::uint64_t first = 0; // where a container's references begin
    std::uint64_t count = 0; // its references (none for a leaf)
    std::uint64_t bytes = 0; // the bytes of text or data a leaf reads as
    bool holdsUTF16Nul = false;
    bool emptyUTF16 = false; // text stored as UTF-16 of no unit, which libplist refuses
    const char* refusal = nullptr; // what makes a well-formed object unreadable
};

// The length after a marker at `at`: its low nibble, or, when that is 0xF, the integer object that
// follows (0x1N and 2^N big-endian bytes). `next` is where the object's contents begin. False when the
// length cannot be read before the offset table.
bool objectLength(const BinaryLayout& l, std::uint64_t at, std::uint64_t& length, std::uint64_t& next) {
    length = l.data[at] & 0x0F;
    next = at + 1;
    if (length != 0x0F)
        return true;
    if (next >= l.table || (l.data[next] & kMarkerMask) != kIntegerMarker || (l.data[next] & 0x0F) > 3)
        return false;
    const std::size_t lengthBytes = std::size_t{1} << (l.data[next] & 0x0F);
    if (l.table - next - 1 < lengthBytes)
        return false;
    length = bigEndian(l.data + next + 1, lengthBytes);
    next += 1 + lengthBytes;
    return true;
}

// Reads the object of the table's entry `index`. False when it cannot be followed: outside the objects,
// or longer than the bytes before the offset table.
bool readObject(const BinaryLayout& l, std::uint64_t index, ObjectShape& shape) {
    const std::uint64_t at = bigEndian(l.data + l.table + index * l.offsetSize, l.offsetSize);
    if (at < kBinaryMagic.size() || at >= l.table)
        return false;
    shape = ObjectShape{};
    const unsigned char marker = l.data[at] & kMarkerMask;
    std::uint64_t length = 0, next = 0;
    switch (marker) {
    case kDataMarker:
    case kASCIIMarker:
        if (!objectLength(l, at, length, next) || length > l.table - next)
            return false;
        shape.bytes = length;
        // libplist ends text stored as bytes at its first NUL: refused rather than read cut.
        if (marker == kASCIIMarker && std::memchr(l.data + next, 0, length))
            shape.refusal = "a string stored as bytes holding a NUL character";
        return true;
    case kIntegerMarker:
        // 1, 2, 4 or 8 bytes, or 16 holding an unsigned integer: libplist reads only the low 8 of them.
        if ((l.data[at] & 0x0F) == 4) {
            if (l.table - at - 1 < 16)
                return false;
            if (bigEndian(l.data + at + 1, 8) != 0)
                shape.refusal = "a 16-byte integer beyond 0 to 2^64 - 1";
        }
        return true;
    case kUTF16Marker: {
        if (!objectLength(l, at, length, next) || length > (l.table - next) / 2)
            return false;
        shape.bytes = length * kUTF8BytesPerUnit;
        shape.emptyUTF16 = length == 0;
        // U+0000 is the one way libplist reads a key with a NUL inside (text stored as bytes ends at its
        // first NUL), and libplist asserts on handing such a key out: noted, so that keys are checked.
        for (std::uint64_t u = 0; u < length && !shape.holdsUTF16Nul; ++u)
            shape.holdsUTF16Nul = l.data[next + 2 * u] == 0 && l.data[next + 2 * u + 1] == 0;
        return true;
    }
    case kArrayMarker:
    case kOrderedSetMarker:
    case kSetMarker:
    case kDictMarker: {
        if (!objectLength(l, at, length, next))
            return false;
        const std::uint64_t room = (l.table - next) / l.refSize;
        if (length > room || (marker == kDictMarker && length > room / 2))
            return false;
        shape.first = next;
        shape.count = marker == kDictMarker ? 2 * length : length;
        return true;
    }
    default:
        return true; // a number, date, boolean or UID: a node and nothing more
    }
}

// Whether libplist may be given a binary list: its offset table can be followed, its references do
// not loop, no object lies deeper than kMaxDepth, and it expands to a bounded number of nodes and bytes.
// Each object is read once; the stack of open containers never grows past kMaxDepth + 1, and the tables
// kept per object are sized from the bytes present (every object takes a byte before the offset table,
// and an entry of the table can name no more objects than its size counts), whatever the trailer claims.
struct BinaryScan {
    bool bounded = false;
    bool holdsUTF16Nul = false; // some text the list reads holds U+0000
    const char* refusal = nullptr; // why a list that can be followed is not read
    BinaryLayout layout;
    std::vector<std::uint64_t> emptyUTF16; // the objects the list reads that are empty UTF-16 text
};

BinaryScan scanBinaryList(std::string_view bytes, PropertyList::Expansion expansion) {
    BinaryScan scan;
    BinaryLayout l;
    l.data = reinterpret_cast<const unsigned char*>(bytes.data());
    l.size = bytes.size();
    if (l.size < kBinaryMagic.size() + kTrailerSize)
        return scan;
    const unsigned char* trailer = l.data + l.size - kTrailerSize;
    l.offsetSize = trailer[6];
    l.refSize = trailer[7];
    l.objects = bigEndian(trailer + 8, 8);
    l.top = bigEndian(trailer + 16, 8);
    l.table = bigEndian(trailer + 24, 8);
    if (l.offsetSize < 1 || l.offsetSize > 8 || l.refSize < 1 || l.refSize > 8 || l.table < kBinaryMagic.size()
        || l.table > l.size - kTrailerSize || l.objects > (l.size - kTrailerSize - l.table) / l.offsetSize
        || l.objects > l.table - kBinaryMagic.size()
        || (l.offsetSize < 8 && l.objects > std::uint64_t{1} << (8 * l.offsetSize)) || l.top >= l.objects)
        return scan;
    // (Both kept in 32 bits: no list this platform reads expands to 4 GiB or 4 billion nodes.)
    const std::uint64_t maxNodes = std::min<std::uint64_t>(
        std::numeric_limits<std::uint32_t>::max() - 1,
        std::max(expansion.minNodes, std::min(expansion.maxNodes, l.size)));
    const std::uint64_t maxBytes = std::min<std::uint64_t>(std::numeric_limits<std::uint32_t>::max() - 1,
                                                           std::max(expansion.minBytes, kExpandedBytesPerByte * l.size));

    constexpr std::int32_t kUnseen = -1;
    constexpr std::int32_t kOpen = -2;
    // Per object: the levels below it (or unseen, or open on the path), and the nodes and bytes it
    // expands to (at most one past their bound).
    struct Seen {
        std::int32_t height = kUnseen;
        std::uint32_t nodes = 0;
        std::uint32_t bytes = 0;
    };
    std::vector<Seen> seen(l.objects);
    struct Frame {
        std::uint64_t index, first, count, next;
        std::int32_t height;
        std::uint64_t nodes, bytes;
    };
    std::vector<Frame> path;
    path.reserve(kMaxDepth + 1);

    const auto open = [&](std::uint64_t index) {
        ObjectShape shape;
        if (!readObject(l, index, shape))
            return false;
        if (shape.refusal) {
            scan.refusal = shape.refusal;
            return false;
        }
        scan.holdsUTF16Nul = scan.holdsUTF16Nul || shape.holdsUTF16Nul;
        if (shape.emptyUTF16)
            scan.emptyUTF16.push_back(index);
        seen[index].height = kOpen;
        path.push_back(Frame{index, shape.first, shape.count, 0, 0, 1, std::min(shape.bytes, maxBytes + 1)});
        return path.back().bytes <= maxBytes;
    };
    // Adds what a child expands to; false past a bound.
    const auto add = [&](Frame& frame, std::int32_t height, std::uint64_t nodes, std::uint64_t bytes) {
        frame.height = std::max(frame.height, height + 1);
        frame.nodes = std::min(maxNodes + 1, frame.nodes + nodes);
        frame.bytes = std::min(maxBytes + 1, frame.bytes + bytes);
        return frame.nodes <= maxNodes && frame.bytes <= maxBytes;
    };
    if (!open(l.top))
        return scan;
    while (!path.empty()) {
        Frame& frame = path.back();
        if (frame.next == frame.count) {
            const Frame done = frame;
            path.pop_back();
            seen[done.index] = Seen{done.height, static_cast<std::uint32_t>(done.nodes), static_cast<std::uint32_t>(done.bytes)};
            if (!path.empty() && !add(path.back(), done.height, done.nodes, done.bytes))
                return scan;
            continue;
        }
        const std::uint64_t child = bigEndian(l.data + frame.first + frame.next * l.refSize, l.refSize);
        ++frame.next;
        if (child >= l.objects || seen[child].height == kOpen)
            return scan;
        // The child sits at depth path.size(); its deepest descendant its height below that.
        const auto depth = static_cast<std::int64_t>(path.size());
        if (seen[child].height != kUnseen) {
            if (depth + seen[child].height > kMaxDepth || !add(frame, seen[child].height, seen[child].nodes, seen[child].bytes))
                return scan;
            continue;
        }
        if (depth > kMaxDepth || !open(child))
            return scan;
    }
    scan.bounded = true;
    scan.layout = l;
    return scan;
}

// The list with each of these objects (empty text stored as UTF-16) read from an empty string stored as
// bytes instead, which libplist takes: one such string is put after the objects, and the offset table is
// written again after it with these objects' entries naming it. No byte of another object changes (an
// object may lie inside another's bytes). Linear in the list.
std::string withEmptyUTF16AsBytes(const BinaryLayout& l, const std::vector<std::uint64_t>& objects) {
    std::vector<bool> replaced(l.objects, false);
    for (std::uint64_t index : objects)
        replaced[index] = true;
    const std::uint64_t emptyText = l.table;
    const std::uint64_t table = emptyText + 1;
    std::size_t offsetSize = 1;
    while (offsetSize < 8 && emptyText >> (8 * offsetSize) != 0)
        ++offsetSize;
    std::string out(reinterpret_cast<const char*>(l.data), l.table);
    out.reserve(l.table + 1 + l.objects * offsetSize + kTrailerSize);
    out += static_cast<char>(kASCIIMarker);
    for (std::uint64_t index = 0; index < l.objects; ++index) {
        const std::uint64_t at = replaced[index] ? emptyText : bigEndian(l.data + l.table + index * l.offsetSize, l.offsetSize);
        for (std::size_t i = offsetSize; i > 0; --i)
            out += static_cast<char>((at >> (8 * (i - 1))) & 0xFF);
    }
    std::string trailer(reinterpret_cast<const char*>(l.data) + l.size - kTrailerSize, kTrailerSize);
    trailer[6] = static_cast<char>(offsetSize);
    for (int i = 0; i < 8; ++i)
        trailer[24 + i] = static_cast<char>((table >> (56 - 8 * i)) & 0xFF);
    return out + trailer;
}

// ---- Reading XML ----
//
// An XML list is read by libxml2 (through XMLParser), and the values are built from its events with an
// explicit stack: what is counted is what is read, nothing recurses per level, and an element nested
// deeper than a list of kMaxDepth containers can be (the plist element and a leaf add two) stops the
// parser at once. No libplist tree is made, so none is freed or copied.

bool isXMLSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && isXMLSpace(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && isXMLSpace(text.back()))
        text.remove_suffix(1);
    return text;
}

// Decimal, or hexadecimal after "0x", with an optional sign: from -2^63 to 2^64 - 1, those above the
// signed range as unsigned integers. `beyond` tells a well-formed number past that range.
std::optional<Value> xmlInteger(std::string_view text, bool& beyond) {
    beyond = false;
    text = trimmed(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    int base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        text.remove_prefix(2);
    }
    std::uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
    if (text.empty() || end != text.data() + text.size() || (ec != std::errc() && ec != std::errc::result_out_of_range))
        return std::nullopt;
    if (ec == std::errc::result_out_of_range || (negative && magnitude > std::uint64_t{1} << 63)) {
        beyond = true;
        return std::nullopt;
    }
    if (!negative)
        return Value::unsignedInteger(magnitude);
    return Value(static_cast<std::int64_t>(0 - magnitude));
}

std::optional<double> xmlReal(std::string_view text) {
    text = trimmed(text);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

unsigned daysInMonth(unsigned year, unsigned month) {
    static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    return kDays[month - 1] + (month == 2 && leap);
}

// "YYYY-MM-DDTHH:MM:SS", an optional fraction, then "Z": seconds since 1970, the whole ones and the
// fraction added once (a fraction the writer took from a date adds up to that date exactly), and seconds
// since 2001 the same way (the whole ones less the reference date, then the fraction added once), so that
// a date the writer took from a binary list's number reads back as that very number.
std::optional<Date> xmlDate(std::string_view text) {
    text = trimmed(text);
    const auto number = [&text](std::size_t at, std::size_t digits) -> std::optional<unsigned> {
        unsigned value = 0;
        if (at + digits > text.size())
            return std::nullopt;
        const auto [end, ec] = std::from_chars(text.data() + at, text.data() + at + digits, value);
        if (ec != std::errc() || end != text.data() + at + digits)
            return std::nullopt;
        return value;
    };
    const auto year = number(0, 4), month = number(5, 2), day = number(8, 2), hour = number(11, 2),
               minute = number(14, 2), second = number(17, 2);
    if (!year || !month || !day || !hour || !minute || !second || text[4] != '-' || text[7] != '-' || text[10] != 'T'
        || text[13] != ':' || text[16] != ':' || *month < 1 || *month > 12 || *day < 1 || *day > 31 || *hour > 23
        || *minute > 59 || *second > 60 || text.back() != 'Z' || *day > daysInMonth(*year, *month))
        return std::nullopt;
    double fraction = 0;
    std::string_view rest = text.substr(19, text.size() - 20);
    if (!rest.empty()) {
        if (rest.front() != '.' || rest.size() < 2
            || rest.substr(1).find_first_not_of("0123456789") != std::string_view::npos)
            return std::nullopt;
        // (from_chars: the decimal point is a point whatever the locale.)
        const std::string decimal = "0" + std::string(rest);
        if (std::from_chars(decimal.data(), decimal.data() + decimal.size(), fraction).ec != std::errc())
            return std::nullopt;
    }
    const std::int64_t days = daysFromCivil(*year, *month, *day);
    const std::int64_t whole = days * 86400 + *hour * 3600 + *minute * 60 + *second;
    return Date{static_cast<double>(whole) + fraction,
                static_cast<double>(whole - static_cast<std::int64_t>(kReferenceDate)) + fraction};
}

std::optional<Bytes> xmlData(std::string_view text) {
    std::string compact;
    compact.reserve(text.size());
    for (char c : text)
        if (!isXMLSpace(c))
            compact += c;
    return Crypto::base64Decode(compact);
}

class XMLListReader final : public XMLParserDelegate {
public:
    // maxNodes: the values and keys it may hold, counted as a binary list's nodes are.
    explicit XMLListReader(std::uint64_t maxNodes) : m_maxNodes(maxNodes) {}

    Result<Value> read(std::string_view bytes) {
        XMLParser parser{std::string(bytes)};
        parser.setDelegate(this);
        parser.refuseNamespaceDeclarations(); // lists have none, and each costs libxml2 a look-up per prefix
        const bool parsed = parser.parse();
        if (!m_failure.empty())
            return readError("Corrupt XML property list: " + m_failure);
        if (!parsed) {
            const auto& error = parser.parserError();
            return readError("Corrupt or unreadable XML property list"
                             + (error ? ": " + error->localizedDescription() : std::string()));
        }
        if (!m_result)
            return readError("Corrupt XML property list: no value");
        return std::move(*m_result);
    }

    void didStartElement(XMLParser& parser, const std::string& name, const Dictionary&) override {
        if (m_open.size() >= static_cast<std::size_t>(kMaxDepth) + 2)
            return fail(parser, "nested too deeply");
        if (m_open.empty()) {
            if (name != "plist")
                return fail(parser, "the root element is not plist");
            m_open.push_back(Frame{Kind::Plist});
            return;
        }
        Frame& parent = m_open.back();
        const std::optional<Kind> kind = kindOf(name);
        if (!kind)
            return fail(parser, "unknown element " + name);
        if (++m_nodes > m_maxNodes)
            return fail(parser, "more than " + std::to_string(m_maxNodes) + " values and keys");
        switch (parent.kind) {
        case Kind::Plist:
            if (parent.done)
                return fail(parser, "more than one value");
            if (*kind == Kind::Key)
                return fail(parser, "a key outside a dictionary");
            break;
        case Kind::Array:
            if (*kind == Kind::Key)
                return fail(parser, "a key in an array");
            break;
        case Kind::Dict:
            if ((*kind == Kind::Key) == parent.key.has_value())
                return fail(parser, parent.key ? "a key without a value" : "a value without a key");
            break;
        default:
            return fail(parser, "an element inside " + std::string(nameOf(parent.kind)));
        }
        m_open.push_back(Frame{*kind});
    }

    void foundCharacters(XMLParser& parser, const std::string& text) override {
        if (m_open.empty())
            return;
        Frame& frame = m_open.back();
        if (isContainer(frame.kind)) {
            if (!trimmed(text).empty())
                fail(parser, "text inside " + std::string(nameOf(frame.kind)));
            return;
        }
        frame.text += text;
    }

    void didEndElement(XMLParser& parser, const std::string&) override {
        if (m_open.empty())
            return;
        Frame frame = std::move(m_open.back());
        m_open.pop_back();
        if (frame.kind == Kind::Plist) {
            if (!frame.done)
                return fail(parser, "no value");
            return;
        }
        if (frame.kind == Kind::Key) {
            m_open.back().key = std::move(frame.text);
            return;
        }
        if (frame.kind == Kind::Dict && frame.key)
            return fail(parser, "a key without a value");
        bool beyond = false;
        if (frame.kind == Kind::Integer && !xmlInteger(frame.text, beyond) && beyond)
            return fail(parser, "an integer beyond the 64-bit ranges (-2^63 to 2^64 - 1): "
                                   + std::string(trimmed(frame.text).substr(0, 40)));
        const Kind kind = frame.kind;
        std::optional<Value> value = valueOf(std::move(frame));
        if (!value)
            return fail(parser, "a malformed " + std::string(nameOf(kind)));
        Frame& parent = m_open.back();
        if (parent.kind == Kind::Plist) {
            m_result = std::move(*value);
            parent.done = true;
        } else if (parent.kind == Kind::Array) {
            parent.array.push_back(std::move(*value));
        } else {
            parent.dict.set(std::move(*parent.key), std::move(*value));
            parent.key.reset();
        }
    }

private:
    enum class Kind { Plist, Array, Dict, Key, String, Integer, Real, True, False, Date, Data };

    struct Frame {
        Kind kind;
        Array array;
        Dictionary dict;
        std::optional<std::string> key; // read, waiting for its value
        std::string text;
        bool done = false;
    };

    static constexpr std::pair<Kind, std::string_view> kNames[] = {
        {Kind::Array, "array"}, {Kind::Dict, "dict"}, {Kind::Key, "key"},       {Kind::String, "string"},
        {Kind::Integer, "integer"}, {Kind::Real, "real"}, {Kind::True, "true"}, {Kind::False, "false"},
        {Kind::Date, "date"},   {Kind::Data, "data"},  {Kind::Plist, "plist"},
    };

    static std::optional<Kind> kindOf(std::string_view name) {
        for (const auto& [kind, text] : kNames)
            if (text == name && kind != Kind::Plist)
                return kind;
        return std::nullopt;
    }

    static std::string_view nameOf(Kind kind) {
        for (const auto& [k, text] : kNames)
            if (k == kind)
                return text;
        return "";
    }

    static bool isContainer(Kind kind) { return kind == Kind::Plist || kind == Kind::Array || kind == Kind::Dict; }

    static std::optional<Value> valueOf(Frame frame) {
        switch (frame.kind) {
        case Kind::Array: return Value(std::move(frame.array));
        case Kind::Dict: return Value(std::move(frame.dict));
        case Kind::String: return Value(std::move(frame.text));
        case Kind::True:
        case Kind::False:
            if (!trimmed(frame.text).empty())
                return std::nullopt;
            return Value(frame.kind == Kind::True);
        case Kind::Integer: {
            bool beyond = false;
            return xmlInteger(frame.text, beyond);
        }
        case Kind::Real:
            if (auto real = xmlReal(frame.text))
                return Value(*real);
            return std::nullopt;
        case Kind::Date:
            if (auto date = xmlDate(frame.text))
                return Value(std::move(*date));
            return std::nullopt;
        case Kind::Data:
            if (auto bytes = xmlData(frame.text))
                return Value(std::move(*bytes));
            return std::nullopt;
        default: return std::nullopt;
        }
    }

    void fail(XMLParser& parser, std::string why) {
        if (m_failure.empty())
            m_failure = std::move(why);
        parser.abortParsing();
    }

    std::vector<Frame> m_open;
    std::optional<Value> m_result;
    std::string m_failure;
    const std::uint64_t m_maxNodes;
    std::uint64_t m_nodes = 0;
};

// ---- Reading binary ----

// checkKeys: whether a key may hold a NUL (BinaryScan::holdsUTF16Nul), so that each must be checked first.
std::optional<Value> toValue(plist_t node, int depth, bool checkKeys) {
    if (depth > kMaxDepth)
        return std::nullopt;
    switch (plist_get_node_type(node)) {
    case PLIST_BOOLEAN: {
        std::uint8_t b = 0;
        plist_get_bool_val(node, &b);
        return Value(b != 0);
    }
    case PLIST_UINT: {
        // Eight bytes hold a signed integer, sixteen an unsigned one (their high half zero: scanned).
        std::uint64_t u = 0;
        plist_get_uint_val(node, &u);
        if (u > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) && isSixteenByteInteger(node))
            return Value::unsignedInteger(u);
        return Value(static_cast<std::int64_t>(u));
    }
    case PLIST_REAL: {
        double d = 0;
        plist_get_real_val(node, &d);
        return Value(d);
    }
    case PLIST_STRING:
    case PLIST_KEY: {
        std::uint64_t length = 0;
        const char* s = plist_get_string_ptr(node, &length);
        return Value(decodeUTF8OrLatin1(std::string_view(s ? s : "", s ? length : 0)));
    }
    case PLIST_DATA: {
        std::uint64_t length = 0;
        const char* p = plist_get_data_ptr(node, &length);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(p);
        return Value(Bytes(bytes, bytes + (p ? length : 0)));
    }
    case PLIST_DATE: {
        std::optional<double> seconds = storedDate(node);
        if (!seconds || !std::isfinite(*seconds))
            return std::nullopt;
        return Value(Date{kReferenceDate + *seconds, *seconds});
    }
    case PLIST_UID: {
        std::uint64_t uid = 0;
        plist_get_uid_val(node, &uid);
        return Value(Dictionary{{"CF$UID", Value(static_cast<std::int64_t>(uid))}});
    }
    case PLIST_ARRAY: {
        // Walked with an iterator: libplist's binary reader keeps no index, so reading by position would
        // walk the list again for every item.
        Array items;
        items.reserve(plist_array_get_size(node));
        plist_array_iter iter = nullptr;
        plist_array_new_iter(node, &iter);
        if (!iter)
            return std::nullopt;
        bool ok = true;
        for (;;) {
            plist_t child = nullptr;
            plist_array_next_item(node, iter, &child);
            if (!child)
                break;
            auto item = toValue(child, depth + 1, checkKeys);
            if (!item) {
                ok = false;
                break;
            }
            items.push_back(std::move(*item));
        }
        std::free(iter);
        if (!ok)
            return std::nullopt;
        return Value(std::move(items));
    }
    case PLIST_DICT: {
        Dictionary members;
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        if (!iter)
            return std::nullopt;
        bool ok = true;
        for (;;) {
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, nullptr, &child);
            if (!child)
                break;
            // libplist asserts that a key holds no NUL when it hands it out; a binary list can store one.
            plist_t keyNode = plist_dict_item_get_key(child);
            if (!keyNode || (checkKeys && !isCStringKey(keyNode))) {
                ok = false;
                break;
            }
            char* key = nullptr;
            plist_get_key_val(keyNode, &key);
            std::string name = key ? decodeUTF8OrLatin1(key) : std::string();
            std::free(key);
            auto item = toValue(child, depth + 1, checkKeys);
            if (!item) {
                ok = false;
                break;
            }
            members.set(std::move(name), std::move(*item));
        }
        std::free(iter);
        if (!ok)
            return std::nullopt;
        return Value(std::move(members));
    }
    case PLIST_NONE: break;
    }
    return std::nullopt;
}

// ---- Writing ----
//
// Both forms are written here, in time and memory linear in what is written, without recursion: a check
// walks the value first (what a list cannot hold fails before anything is written) and counts its
// nodes, then one walk writes. The binary form writes every container as an object of its own after its
// children, shares equal strings (keys among them) and equal numbers, dates and booleans through a table
// of the process's seeded hash (SeededHash.h), and never shares data, arrays or dictionaries (readers
// bound what shared objects expand to).

bool isXMLSafe(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c < 0x20 && c != '\t' && c != '\n' && c != '\r')
            return false;
        // U+FFFE and U+FFFF, which XML 1.0 does not allow either.
        if (c == 0xEF && i + 2 < s.size() && static_cast<unsigned char>(s[i + 1]) == 0xBF
            && (static_cast<unsigned char>(s[i + 2]) & 0xFE) == 0xBE)
            return false;
    }
    return true;
}

// What a value holds, for the walks below: its children (a dictionary's values; its keys apart).
std::size_t childCount(const Value& v) {
    if (const Array* array = v.getArray())
        return array->size();
    if (const Dictionary* dictionary = v.getDictionary())
        return dictionary->size();
    return 0;
}

const Value& childAt(const Value& v, std::size_t i) {
    if (const Array* array = v.getArray())
        return (*array)[i];
    return (v.getDictionary()->begin() + static_cast<std::ptrdiff_t>(i))->value;
}

// Whether the value can be written in the format; counts its nodes (values and keys) in `nodes`.
std::optional<Error> checkWritable(const Value& root, PropertyList::Format format, std::uint64_t& nodes) {
    const auto fail = [](const std::string& why) {
        return std::optional<Error>(writeError("Property list invalid for format: " + why));
    };
    // A string may hold NUL in the binary form (written as UTF-16, which reads back whole); a key may not
    // (readers refuse it).
    const auto checkText = [&](const std::string& s, bool key) -> std::optional<Error> {
        if (key && s.find('\0') != std::string::npos)
            return fail("key with a NUL character");
        if (!isValidUTF8(s))
            return fail("string that is not valid UTF-8");
        if (format == PropertyList::Format::XML && !isXMLSafe(s))
            return fail("control character in an XML property list string");
        return std::nullopt;
    };
    nodes = 0;
    std::vector<std::pair<const Value*, int>> pending{{&root, 0}};
    while (!pending.empty()) {
        const auto [v, depth] = pending.back();
        pending.pop_back();
        ++nodes;
        if (depth > kMaxDepth)
            return fail("nesting too deep");
        switch (v->type()) {
        case Value::Type::Null: return fail("null cannot be written in a property list");
        case Value::Type::Double:
            if (format == PropertyList::Format::XML && !std::isfinite(*v->getDouble()))
                return fail("infinite or NaN real in an XML property list");
            break;
        case Value::Type::String:
            if (auto error = checkText(*v->getString(), false))
                return error;
            break;
        case Value::Type::Date:
            if (!isWritableDate(*v->getDate(), format))
                return fail("date out of range for a property list");
            break;
        case Value::Type::Array:
            for (const Value& item : *v->getArray())
                pending.emplace_back(&item, depth + 1);
            break;
        case Value::Type::Dictionary:
            for (const auto& entry : *v->getDictionary()) {
                if (auto error = checkText(entry.key, true))
                    return error;
                ++nodes;
                pending.emplace_back(&entry.value, depth + 1);
            }
            break;
        default: break;
        }
    }
    return std::nullopt;
}

void appendBigEndian(std::string& out, std::uint64_t value, std::size_t bytes) {
    for (std::size_t i = bytes; i > 0; --i)
        out += static_cast<char>((value >> (8 * (i - 1))) & 0xFF);
}

// The fewest bytes (1, 2, 4 or 8) that hold `value`.
std::size_t bytesFor(std::uint64_t value) {
    return value <= 0xFF ? 1 : value <= 0xFFFF ? 2 : value <= 0xFFFFFFFF ? 4 : 8;
}

// An integer object: 1, 2 or 4 bytes for what they hold unsigned, else 8 (negative numbers among them).
void appendIntegerObject(std::string& out, std::int64_t value) {
    const std::size_t bytes = value < 0 ? 8 : bytesFor(static_cast<std::uint64_t>(value));
    out += static_cast<char>(kIntegerMarker | std::countr_zero(bytes));
    appendBigEndian(out, static_cast<std::uint64_t>(value), bytes);
}

// A marker with a count: in its low nibble below 15, else 0xF and an integer object.
void appendMarker(std::string& out, unsigned char marker, std::uint64_t count) {
    if (count < 0x0F) {
        out += static_cast<char>(marker | count);
        return;
    }
    out += static_cast<char>(marker | 0x0F);
    appendIntegerObject(out, static_cast<std::int64_t>(count));
}

void appendDouble(std::string& out, unsigned char marker, double value) {
    out += static_cast<char>(marker);
    appendBigEndian(out, std::bit_cast<std::uint64_t>(value), 8);
}

// Text as bytes when it is ASCII without NUL, else as big-endian UTF-16 (it is valid UTF-8: checked
// before): libplist ends text stored as bytes at its first NUL, and keeps U+0000 of UTF-16 text.
void appendStringObject(std::string& out, std::string_view text) {
    if (std::all_of(text.begin(), text.end(), [](char c) { return c != '\0' && static_cast<unsigned char>(c) < 0x80; })) {
        appendMarker(out, kASCIIMarker, text.size());
        out += text;
        return;
    }
    appendMarker(out, kUTF16Marker, utf16Length(text));
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    for (std::size_t at = 0; at < text.size();) {
        std::uint32_t codePoint = 0;
        const std::size_t length = utf8SequenceLength(p + at, text.size() - at, codePoint);
        at += length ? length : 1;
        if (codePoint >= 0x10000) {
            codePoint -= 0x10000;
            appendBigEndian(out, 0xD800 | (codePoint >> 10), 2);
            appendBigEndian(out, 0xDC00 | (codePoint & 0x3FF), 2);
        } else {
            appendBigEndian(out, codePoint, 2);
        }
    }
}

class BinaryWriter {
public:
    // How far equal strings are shared: every time (the smallest list), or only while the list stays
    // within what readers let it expand to, whatever comes after (see shared()).
    enum class Sharing { Always, WithinReadersBound };

    // `nodes`: the values and keys of the list (as counted by checkWritable), which bound its objects.
    BinaryWriter(std::uint64_t nodes, Sharing sharing)
        : m_refSize(bytesFor(nodes > 0 ? nodes - 1 : 0)), m_sharing(sharing), m_shared(16, SpanHash{&m_out}, SpanEqual{&m_out}) {
        m_shared.reserve(static_cast<std::size_t>(nodes / 2));
        m_offsets.reserve(static_cast<std::size_t>(nodes));
    }

    std::string write(const Value& root) {
        m_out.assign(kBinaryMagic);
        // Open containers, and the references of their children so far (a dictionary's keys first).
        struct Frame {
            const Value* value;
            std::size_t next;
            std::size_t refsAt;
        };
        std::vector<Frame> open;
        std::vector<std::uint64_t> refs;
        const auto enter = [&](const Value& v) {
            if (const Dictionary* dictionary = v.getDictionary()) {
                open.push_back(Frame{&v, 0, refs.size()});
                for (const auto& entry : *dictionary)
                    refs.push_back(stringObject(entry.key));
            } else if (v.isArray()) {
                open.push_back(Frame{&v, 0, refs.size()});
            } else {
                refs.push_back(leaf(v));
            }
        };
        enter(root);
        while (!open.empty()) {
            Frame& frame = open.back();
            if (frame.next < childCount(*frame.value)) {
                enter(childAt(*frame.value, frame.next++));
                continue;
            }
            const std::uint64_t id = beginObject();
            const std::size_t count = childCount(*frame.value);
            appendMarker(m_out, frame.value->isDictionary() ? kDictMarker : kArrayMarker, count);
            for (std::size_t i = frame.refsAt; i < refs.size(); ++i)
                appendBigEndian(m_out, refs[i], m_refSize);
            refs.resize(frame.refsAt);
            refs.push_back(id);
            open.pop_back();
        }
        // The offset table and the trailer.
        const std::uint64_t table = m_out.size();
        const std::size_t offsetSize = bytesFor(m_offsets.empty() ? 0 : m_offsets.back());
        m_out.reserve(m_out.size() + m_offsets.size() * offsetSize + kTrailerSize);
        for (std::uint64_t offset : m_offsets)
            appendBigEndian(m_out, offset, offsetSize);
        m_out.append(6, '\0');
        m_out += static_cast<char>(offsetSize);
        m_out += static_cast<char>(m_refSize);
        appendBigEndian(m_out, m_offsets.size(), 8);
        appendBigEndian(m_out, refs.back(), 8);
        appendBigEndian(m_out, table, 8);
        m_written = m_out.size();
        return std::move(m_out);
    }

    // Whether the list written expands to no more than a reader with this floor takes (scanBinaryList):
    // four bytes of text and data a byte of it, or `minBytes`. Always so when shared within that bound.
    bool readsBack(std::uint64_t minBytes) const {
        return m_expanded <= std::max(minBytes, kExpandedBytesPerByte * m_written);
    }

private:
    // An object already written, by where its bytes lie in the output.
    struct Span {
        std::size_t at, length;
    };
    struct SpanHash {
        using is_transparent = void;
        const std::string* out;
        std::size_t operator()(std::string_view bytes) const { return SeededHash()(bytes); }
        std::size_t operator()(Span span) const { return (*this)(std::string_view(*out).substr(span.at, span.length)); }
    };
    struct SpanEqual {
        using is_transparent = void;
        const std::string* out;
        std::string_view bytes(Span span) const { return std::string_view(*out).substr(span.at, span.length); }
        std::string_view bytes(std::string_view view) const { return view; }
        bool operator()(const auto& a, const auto& b) const { return bytes(a) == bytes(b); }
    };

    std::uint64_t beginObject() {
        m_offsets.push_back(m_out.size());
        return m_offsets.size() - 1;
    }

    // The object of these bytes: the one written before with the same bytes, or a new one. A string
    // `expandsTo` its bytes of text at every reference, as readers count them (scanBinaryList). Shared
    // within the readers' bound: an object written once counts at most 1.5 a byte of itself (UTF-16 text,
    // kUTF8BytesPerUnit for its two bytes), which leaves 2.5 of the kExpandedBytesPerByte a byte of the
    // list for the further references to shared strings; past that, a string is written again and its
    // new copy shared.
    std::uint64_t shared(std::string_view bytes, std::uint64_t expandsTo = 0) {
        m_expanded += expandsTo;
        const auto found = m_shared.find(bytes);
        if (found != m_shared.end()
            && (m_sharing == Sharing::Always
                || 2 * (m_sharedExpansion + expandsTo) <= (2 * kExpandedBytesPerByte - kUTF8BytesPerUnit) * m_out.size())) {
            m_sharedExpansion += expandsTo;
            return found->second;
        }
        const std::uint64_t id = beginObject();
        m_out += bytes;
        if (found != m_shared.end())
            found->second = id;
        else
            m_shared.emplace(Span{m_offsets.back(), bytes.size()}, id);
        return id;
    }

    std::uint64_t stringObject(std::string_view text) {
        m_scratch.clear();
        appendStringObject(m_scratch, text);
        const bool ascii = (static_cast<unsigned char>(m_scratch[0]) & kMarkerMask) == kASCIIMarker;
        return shared(m_scratch, ascii ? text.size() : kUTF8BytesPerUnit * utf16Length(text));
    }

    std::uint64_t leaf(const Value& v) {
        m_scratch.clear();
        switch (v.type()) {
        case Value::Type::Bool: m_scratch += static_cast<char>(*v.getBool() ? 0x09 : 0x08); break;
        case Value::Type::Integer: appendIntegerObject(m_scratch, *v.getInteger()); break;
        case Value::Type::UnsignedInteger: // past the signed range: sixteen bytes, the high half zero
            m_scratch += static_cast<char>(kIntegerMarker | 4);
            appendBigEndian(m_scratch, 0, 8);
            appendBigEndian(m_scratch, *v.getUnsignedInteger(), 8);
            break;
        case Value::Type::Double: appendDouble(m_scratch, 0x23, *v.getDouble()); break;
        case Value::Type::Date: appendDouble(m_scratch, kDateMarker, sinceReferenceDate(*v.getDate())); break;
        case Value::Type::String: return stringObject(*v.getString());
        case Value::Type::Bytes: {
            const Bytes& bytes = *v.getBytes();
            m_expanded += bytes.size();
            const std::uint64_t id = beginObject();
            appendMarker(m_out, kDataMarker, bytes.size());
            m_out.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
            return id;
        }
        default: break; // refused by checkWritable
        }
        return shared(m_scratch);
    }

    std::string m_out;
    std::vector<std::uint64_t> m_offsets;
    std::size_t m_refSize;
    Sharing m_sharing;
    std::unordered_map<Span, std::uint64_t, SpanHash, SpanEqual> m_shared;
    // The bytes of text and data the list expands to, and of them those of the references to strings
    // written before.
    std::uint64_t m_expanded = 0;
    std::uint64_t m_sharedExpansion = 0;
    std::uint64_t m_written = 0;
    std::string m_scratch;
};

// Days from 1970-01-01 to year, month and day of the proleptic Gregorian calendar.
void civilFromDays(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    year = static_cast<std::int64_t>(yearOfEra) + era * 400 + (month <= 2);
}

// The decimal fraction of a number in fixed notation, the shortest that reads back as it: the digits after
// its point (none for a whole number). At most a few hundred, for a denormal.
std::string fixedFraction(double value) {
    char text[1200];
    const auto written = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed);
    if (written.ec != std::errc())
        return {};
    const std::string_view fixed(text, static_cast<std::size_t>(written.ptr - text));
    const std::size_t point = fixed.find('.');
    return point == std::string_view::npos ? std::string() : std::string(fixed.substr(point + 1));
}

// Whether the XML reader reads this fraction past the second as the date (xmlDate: the second's whole
// number plus the fraction).
bool readsAs(double wholeSecond, const std::string& digits, double since1970) {
    const std::string decimal = "0." + digits;
    double fraction = 0;
    const auto [end, ec] = std::from_chars(decimal.data(), decimal.data() + decimal.size(), fraction);
    return ec == std::errc() && end == decimal.data() + decimal.size() && wholeSecond + fraction == since1970;
}

// The fraction of a second an XML date writes after the second it lies in, as ".<digits>" (nothing for a
// whole second): the shortest decimal of the date's own, when it reads back as the date (a clock date to
// the microsecond writes six digits), else the exact fraction, which always does for a date at or after
// 1970, or a second or more before (the whole second and it add up to the date exactly); within a second
// before 1970 the nearest date.
std::string xmlDateFraction(double since1970, double wholeSecond) {
    if (since1970 == wholeSecond)
        return {};
    std::string digits = fixedFraction(since1970);
    if (since1970 < 0 && !digits.empty()) {
        // -12.25 lies 0.75 past the second -13: a negative date's fraction past its second is one less
        // its own digits (their ten's complement).
        bool last = true;
        for (auto it = digits.rbegin(); it != digits.rend(); ++it) {
            *it = static_cast<char>('0' + (last ? 10 : 9) - (*it - '0'));
            last = false;
        }
    }
    if (digits.empty() || !readsAs(wholeSecond, digits, since1970)) {
        const double fraction = since1970 - wholeSecond;
        if (!(fraction > 0 && fraction < 1))
            return {};
        digits = fixedFraction(fraction);
        if (digits.empty())
            return {};
    }
    return "." + digits;
}

// A date a binary list stored (Date::storedSince2001, while it still names the date) as the second since
// 1970 it lies in and the shortest decimal fraction past it, when the XML reader reads that text back as
// the very number stored: the fraction is exact (Sterbenz) for a number of a second or more from 2001, the
// whole second is an integer and the reader adds the fraction once. Nothing for other dates.
std::optional<std::pair<double, std::string>> storedDateText(const Date& date) {
    if (!date.storedSince2001 || kReferenceDate + *date.storedSince2001 != date.secondsSince1970)
        return std::nullopt;
    const double stored = *date.storedSince2001;
    const double floor2001 = std::floor(stored);
    if (std::fabs(floor2001) >= 9007199254740992.0 - kReferenceDate) // beyond exact integers
        return std::nullopt;
    const double wholeSince1970 = floor2001 + kReferenceDate;
    if (wholeSince1970 < static_cast<double>(daysFromCivil(0, 1, 1) * 86400)
        || wholeSince1970 >= static_cast<double>(daysFromCivil(10000, 1, 1) * 86400))
        return std::nullopt;
    const double fraction = stored - floor2001;
    std::string digits = fraction == 0 ? std::string() : fixedFraction(fraction);
    if (fraction != 0 && digits.empty())
        return std::nullopt;
    const auto read = xmlDate("1970-01-01T00:00:00" + (digits.empty() ? std::string() : "." + digits) + "Z");
    if (!read || (wholeSince1970 - kReferenceDate) + read->secondsSince1970 != stored
        || wholeSince1970 + read->secondsSince1970 != date.secondsSince1970)
        return std::nullopt;
    return std::pair{wholeSince1970, digits.empty() ? std::string() : "." + digits};
}

// Whether the XML text of this whole second since 1970 and fraction (".<digits>" or nothing) reads back
// as the number of seconds since 2001 the date was read with (always, for a date without one).
bool readsAsStored(const Date& date, double wholeSince1970, const std::string& fraction) {
    if (!date.storedSince2001 || kReferenceDate + *date.storedSince2001 != date.secondsSince1970)
        return true;
    const auto read = xmlDate("1970-01-01T00:00:00" + fraction + "Z");
    return read && (wholeSince1970 - kReferenceDate) + read->secondsSince1970 == *date.storedSince2001;
}

class XMLWriter {
public:
    std::string write(const Value& root) {
        m_out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n";
        struct Frame {
            const Value* value;
            std::size_t next;
        };
        std::vector<Frame> open;
        const auto enter = [&](const Value& v) {
            indent(open.size());
            if (!v.isArray() && !v.isDictionary()) {
                leaf(v);
                return;
            }
            const char* name = v.isArray() ? "array" : "dict";
            if (childCount(v) == 0) {
                m_out += std::string("<") + name + "/>\n";
                return;
            }
            m_out += std::string("<") + name + ">\n";
            open.push_back(Frame{&v, 0});
        };
        enter(root);
        while (!open.empty()) {
            Frame& frame = open.back();
            if (frame.next < childCount(*frame.value)) {
                const std::size_t i = frame.next++;
                if (const Dictionary* dictionary = frame.value->getDictionary()) {
                    indent(open.size());
                    m_out += "<key>";
                    appendEscaped((dictionary->begin() + static_cast<std::ptrdiff_t>(i))->key);
                    m_out += "</key>\n";
                }
                enter(childAt(*frame.value, i));
                continue;
            }
            const bool dictionary = frame.value->isDictionary();
            open.pop_back();
            indent(open.size());
            m_out += dictionary ? "</dict>\n" : "</array>\n";
        }
        m_out += "</plist>\n";
        return std::move(m_out);
    }

private:
    void indent(std::size_t depth) { m_out.append(depth, '\t'); }

    // Text as element content: markup characters as entities, and a carriage return as a character
    // reference (a reader turns a bare one into a line feed).
    void appendEscaped(std::string_view text) {
        for (char c : text) {
            switch (c) {
            case '&': m_out += "&amp;"; break;
            case '<': m_out += "&lt;"; break;
            case '>': m_out += "&gt;"; break;
            case '\r': m_out += "&#13;"; break;
            default: m_out += c;
            }
        }
    }

    void leaf(const Value& v) {
        switch (v.type()) {
        case Value::Type::Bool: m_out += *v.getBool() ? "<true/>\n" : "<false/>\n"; return;
        case Value::Type::Integer: m_out += "<integer>" + std::to_string(*v.getInteger()) + "</integer>\n"; return;
        case Value::Type::UnsignedInteger: m_out += "<integer>" + std::to_string(*v.getUnsignedInteger()) + "</integer>\n"; return;
        case Value::Type::Double: {
            char text[64];
            const auto written = std::to_chars(text, text + sizeof text, *v.getDouble());
            m_out += "<real>";
            m_out.append(text, written.ptr);
            m_out += "</real>\n";
            return;
        }
        case Value::Type::String:
            m_out += "<string>";
            appendEscaped(*v.getString());
            m_out += "</string>\n";
            return;
        case Value::Type::Bytes:
            m_out += "<data>" + Crypto::base64Encode(*v.getBytes()) + "</data>\n";
            return;
        case Value::Type::Date: {
            // The second the date lies in, and the fraction of a second past it (xmlDateFraction).
            const Date& date = *v.getDate();
            const double since1970 = date.secondsSince1970;
            double wholeSeconds = std::floor(since1970);
            if (since1970 - wholeSeconds >= 1) // a date within a second before 1970 too close to it to tell
                wholeSeconds += 1;
            std::string fraction = xmlDateFraction(since1970, wholeSeconds);
            // A date read from a list writes the number it was read with: the text above when it reads back
            // as that number too (the shortest: a date read from XML keeps its text), else storedDateText's.
            if (!readsAsStored(date, wholeSeconds, fraction)) {
                if (auto stored = storedDateText(date)) {
                    wholeSeconds = stored->first;
                    fraction = std::move(stored->second);
                }
            }
            const auto seconds = static_cast<std::int64_t>(wholeSeconds);
            const std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
            const std::int64_t ofDay = seconds - days * 86400;
            std::int64_t year = 0;
            unsigned month = 0, day = 0;
            civilFromDays(days, year, month, day);
            char text[96]; // (the compiler cannot see that every field fits its width)
            std::snprintf(text, sizeof text, "<date>%04lld-%02u-%02uT%02lld:%02lld:%02lld", static_cast<long long>(year),
                          month, day, static_cast<long long>(ofDay / 3600), static_cast<long long>(ofDay / 60 % 60),
                          static_cast<long long>(ofDay % 60));
            m_out += text;
            m_out += fraction;
            m_out += "Z</date>\n";
            return;
        }
        default: return; // refused by checkWritable
        }
    }

    std::string m_out;
};

Status writeAtomically(const std::string& path, std::string_view bytes) {
    // Named with this process's pid, so that one left by a writer that ended can be told (removeLeftOvers).
    std::string temp = PrivateFile::temporaryTemplate(path);
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return posixError(errno, "Cannot create a temporary file for", path);
    auto failWith = [&](int code, const char* what) -> Status {
        ::close(fd);
        ::unlink(temp.c_str());
        return posixError(code, what, path);
    };
    if (!writeAll(fd, bytes.data(), bytes.size()))
        return failWith(errno, "Cannot write");
    mode_t mask = ::umask(0);
    ::umask(mask);
    if (::fchmod(fd, 0666 & ~mask) != 0 || ::fsync(fd) != 0)
        return failWith(errno, "Cannot flush");
    if (::close(fd) != 0) {
        int code = errno;
        ::unlink(temp.c_str());
        return posixError(code, "Cannot close", path);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        int code = errno;
        ::unlink(temp.c_str());
        return posixError(code, "Cannot replace", path);
    }
    return {};
}

} // namespace

Result<Value> PropertyList::read(std::string_view bytes, Format* detectedFormat) {
    return read(bytes, Expansion{}, detectedFormat);
}

Result<Value> PropertyList::read(std::string_view bytes, Expansion expansion, Format* detectedFormat) {
    if (bytes.size() > std::numeric_limits<std::uint32_t>::max())
        return readError("Property list too large");
    const bool binary = bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist00", 8) == 0;
    if (!binary) {
        auto value = XMLListReader(expansion.maxNodes).read(bytes);
        if (value && detectedFormat)
            *detectedFormat = Format::XML;
        return value;
    }
    const BinaryScan scan = scanBinaryList(bytes, expansion);
    if (scan.refusal)
        return readError(std::string("Binary property list not read: it holds ") + scan.refusal);
    if (!scan.bounded)
        return readError("Corrupt binary property list, nested too deeply or expanding too far");
    std::string rewritten;
    if (!scan.emptyUTF16.empty()) {
        rewritten = withEmptyUTF16AsBytes(scan.layout, scan.emptyUTF16);
        if (rewritten.size() > std::numeric_limits<std::uint32_t>::max())
            return readError("Property list too large");
        bytes = rewritten;
    }
    plist_t root = nullptr;
    plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
    if (!root)
        return readError("Corrupt binary property list");
    PlistPtr owner(root);
    auto value = toValue(root, 0, scan.holdsUTF16Nul);
    if (!value)
        return readError("Property list nested too deeply or holding an unknown type");
    if (detectedFormat)
        *detectedFormat = Format::Binary;
    return std::move(*value);
}

Result<Value> PropertyList::readFile(const std::string& path, Format* detectedFormat) {
    // Not blocking: a FIFO put in the file's place would wait for a writer at open.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return FileManager::defaultManager().contentsOfFile(path).error(); // the file manager's error for it
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool folder = S_ISDIR(st.st_mode);
        ::close(fd);
        if (folder)
            return FileManager::defaultManager().contentsOfFile(path).error();
        // A FIFO or a device (a link to /dev/zero) has no size to bound it by.
        return readError("Property list file is not a regular file: " + path);
    }
    if (static_cast<std::uint64_t>(st.st_size) > kMaxFileBytes) {
        ::close(fd);
        return readError("Property list file too large: " + path);
    }
    Bytes bytes;
    bytes.reserve(static_cast<std::size_t>(st.st_size));
    const bool read = readAll(fd, bytes, static_cast<std::size_t>(kMaxFileBytes) + 1); // it may grow meanwhile
    const int error = errno;
    ::close(fd);
    if (!read)
        return posixError(error, "Could not read", path);
    if (bytes.size() > kMaxFileBytes)
        return readError("Property list file too large: " + path);
    return PropertyList::read(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()), detectedFormat);
}

Result<Value> PropertyList::readRegularFile(const std::string& path, std::size_t maxBytes) {
    auto bytes = FileManager::defaultManager().contentsOfRegularFile(path, maxBytes);
    if (!bytes)
        return bytes.error();
    return read(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
}

Result<std::string> PropertyList::write(const Value& value, Format format) { return write(value, format, Expansion{}); }

Result<std::string> PropertyList::write(const Value& value, Format format, Expansion readBack) {
    std::uint64_t nodes = 0;
    if (std::optional<Error> refused = checkWritable(value, format, nodes))
        return std::move(*refused);
    // Counted as readers count them: written, a list of more would read back as nothing.
    if (nodes > readBack.maxNodes)
        return writeError("Property list of " + std::to_string(nodes) + " values and keys is more than the " +
                          std::to_string(readBack.maxNodes) + " it is read back with");
    if (format == Format::XML)
        return XMLWriter().write(value);
    // Equal strings shared every time make the smallest list; when that list would expand past what a
    // reader takes (a registry of many entries holding one long text, read back as no registry at all),
    // it is written again, sharing only within that bound.
    BinaryWriter smallest(nodes, BinaryWriter::Sharing::Always);
    std::string written = smallest.write(value);
    if (smallest.readsBack(readBack.minBytes))
        return written;
    return BinaryWriter(nodes, BinaryWriter::Sharing::WithinReadersBound).write(value);
}

Status PropertyList::writeFile(const Value& value, const std::string& path, Format format, std::uint64_t readBound) {
    auto bytes = write(value, format);
    if (!bytes)
        return bytes.error();
    if (bytes->size() > readBound)
        return writeError("Property list of " + std::to_string(bytes->size()) + " bytes is larger than the " +
                          std::to_string(readBound) + " its file is read back to");
    return writeAtomically(path, bytes.value());
}

} // namespace platform
