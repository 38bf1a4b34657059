// Property lists (XML and binary "bplist00") to and from values: binary lists are read over libplist, XML
// lists over libxml2, and both are written here.
//
// Guarantees:
// - Types map one to one: dict <-> Dictionary (key order kept), array <-> Array, string <-> String,
//   data <-> Bytes, integer <-> Integer (signed 64-bit) or, from 2^63 to 2^64 - 1, UnsignedInteger
//   (Value::unsignedInteger; a binary list stores those in 16 bytes), real <-> Double, true/false <-> Bool
//   (never a number), date <-> Date. A keyed-archive UID reads as the dictionary {"CF$UID": n}.
// - Reading detects the format from the bytes. Malformed input gives an Error (kCocoaErrorDomain,
//   kReadCorruptError), never a crash: dictionary keys holding a NUL character, binary dates that are
//   not finite, XML dates that are not a day of the calendar, and integers beyond -2^63 to 2^64 - 1 are
//   malformed; so are, in a binary list, text stored as bytes holding NUL and 16-byte integers whose high
//   half is not zero (refused rather than read cut or wrapped). Any finite binary date reads; strings
//   stored as UTF-16 read whole, U+0000 among them, and empty ones (marker 0x60 with no unit) as the
//   empty string. Strings of a binary list that are not valid
//   UTF-8 read as ISO Latin-1; an XML list must be well-formed XML in the encoding it declares (UTF-8
//   when it declares none; a list declaring entities, attribute defaults or namespaces is refused), and
//   its root element is plist, holding one value.
// - Bounds, for lists from other applications: nesting deeper than 512 levels below the top is refused
//   in either form, without recursion per level. A binary list's references must not loop, and it may
//   expand (through objects shared by several references, each counting at every reference) to at most
//   one node per byte of the list, or 4,096 nodes, and to at most four bytes of text and data per byte
//   of the list, or kMinExpandedBytes (text stored as UTF-16 counts 3 bytes a unit); its offset table may
//   name no more objects than the bytes before it hold. Reading costs time linear in the list's bytes
//   whatever its shape. No list holds more than 2^18 (262,144) nodes, counted the same in either form:
//   every value and every dictionary key (a binary list's shared object at each reference), unless the
//   caller names more for its own files (Expansion::maxNodes).
// - Writing fails with kWriteInvalidError, and writes nothing, for more nodes than the list is read back
//   with (kMaxNodes, or the Expansion named), counted as readers count them, and for what a property list
//   cannot hold: null, keys containing a NUL byte, strings or keys of invalid UTF-8, dates that are not
//   finite; in the XML form also text that XML 1.0 cannot carry (control characters and NUL, U+FFFE, U+FFFF), infinite and
//   NaN reals, and dates outside the four-digit years (0000-01-01 to the end of 9999). The binary form
//   writes a string holding NUL as UTF-16, so that it reads back whole.
// - Writing costs time and memory linear in what it writes, whatever the keys and strings: the binary
//   form shares equal strings (and keys) and equal numbers, dates and booleans through a table of the
//   process's seeded hash, never data, arrays or dictionaries; when that would make a list that
//   expands past what reading takes (four bytes of text a byte of it, or the floor a caller names for
//   its own files), strings are shared only within
//   that bound, so that a list written here always reads back, however often it holds one long string.
//   The XML form writes a carriage return in text as a character reference, so that it reads back as
//   written.
// - The binary form keeps a date as the double of its seconds since 2001, never rounded to microseconds:
//   dates from 1985 until 2^60 seconds after 1970 (some 36 billion years on) read back exactly, any
//   other within a unit in the last place of its seconds since 2001 (2^-52 of its distance from 2001:
//   under 0.24 microseconds from 1900 to 1985), and a date read from a
//   binary list is written back with the very double it was read with (Date::storedSince2001), bit for
//   bit. The XML form keeps the fraction of a second: after the second a date lies in, the shortest
//   decimal fraction that reads back as it (six digits for a clock's microseconds), exact for any date
//   from 1970 on or a second or more before it (within a second before 1970, the nearest double); a date
//   read from XML is written back as the same text when that text is the shortest.
// - writeFile is atomic: the bytes go to a temporary file in the same folder, are flushed to disk and then
//   renamed over the target, so readers see the old file or the new one, never a part.
// - All functions are thread-safe.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace platform {

class PropertyList {
public:
    static constexpr long long kReadCorruptError = 3840;
    static constexpr long long kWriteInvalidError = 3851;
    // readFile refuses a larger file (kReadCorruptError) from its size, before reading it, and stops
    // reading one that grows past it meanwhile; anything but a regular file or a folder (a FIFO, a link to
    // a device) is refused the same way, without waiting on it or reading it.
    static constexpr std::uint64_t kMaxFileBytes = std::uint64_t{64} << 20;
    // The bytes of text and data any binary list may expand to through shared objects, however small.
    static constexpr std::uint64_t kMinExpandedBytes = std::uint64_t{1} << 20;
    // The nodes any binary list may expand to, however small, and those a list may hold at most (values
    // and dictionary keys, in either form; writers refuse more).
    static constexpr std::uint64_t kMinExpandedNodes = std::uint64_t{1} << 12;
    static constexpr std::uint64_t kMaxNodes = std::uint64_t{1} << 18;

    // What a binary list may expand to: four bytes of text and data a byte of it, and a node a byte of it
    // up to maxNodes, or the floors whatever its size. A file this platform writes itself names its own:
    // writers share equal strings and data (never arrays or dictionaries), so that a list of many items
    // holding the same value expands past four times its size, and a store of many small items holds more
    // nodes than a list from another application may; a file of many lists read in turn names lower
    // floors for each, so that their floors do not add up.
    struct Expansion {
        std::uint64_t minBytes = kMinExpandedBytes;
        std::uint64_t minNodes = kMinExpandedNodes;
        std::uint64_t maxNodes = kMaxNodes;
    };

    enum class Format { XML, Binary };

    static Result<Value> read(std::string_view bytes, Format* detectedFormat = nullptr);
    // The same with floors of its own for what a binary list expands to (see Expansion).
    static Result<Value> read(std::string_view bytes, Expansion expansion, Format* detectedFormat = nullptr);
    static Result<Value> readFile(const std::string& path, Format* detectedFormat = nullptr);
    // A configuration file: read only when it is a regular file of at most `maxBytes`
    // (FileManager::contentsOfRegularFile, whose refusals it returns).
    static Result<Value> readRegularFile(const std::string& path, std::size_t maxBytes);

    static Result<std::string> write(const Value& value, Format format);
    // The same for a reader that names floors of its own (a binary list shares strings as far as they let
    // it expand).
    static Result<std::string> write(const Value& value, Format format, Expansion readBack);
    // Refuses (kWriteInvalidError, the file left as it was) a list larger than readBound, the most its
    // reader takes: written, it would read back as nothing.
    static Status writeFile(const Value& value, const std::string& path, Format format, std::uint64_t readBound = kMaxFileBytes);
};

} // namespace platform
