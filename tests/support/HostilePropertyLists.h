// Property lists another application could leave where this one reads them (pasteboards, keychain items):
// binary lists built object by object, nested, flat or wide, and XML that a tag scan would miscount; and
// a thread with the small stack of an application's secondary thread to read them on.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace hybtest {

// What a hand-written scan of tags takes for an attribute quote: ' opens a value that runs to the next '.
// An XML reader sees one array whose attribute holds a "<" (not well-formed); a reader that does not take
// ' as a quote sees `levels` nested arrays.
inline std::string quoteTrickXML(std::size_t levels) {
    std::string text = "<plist version=\"1.0\"><array x='>";
    for (std::size_t i = 0; i < levels; ++i)
        text += "<array>";
    return text + "'>";
}

inline void appendBigEndian(std::string& out, std::uint64_t value, int bytes) {
    for (int shift = 8 * (bytes - 1); shift >= 0; shift -= 8)
        out += static_cast<char>((value >> shift) & 0xFF);
}

// An array object of these references (4 bytes each).
inline std::string arrayObject(const std::vector<std::uint32_t>& refs) {
    std::string object;
    if (refs.size() < 15) {
        object += static_cast<char>(0xA0 | refs.size());
    } else {
        object += "\xAF\x12";
        appendBigEndian(object, refs.size(), 4);
    }
    for (std::uint32_t ref : refs)
        appendBigEndian(object, ref, 4);
    return object;
}

// A binary list of these objects (object 0 on top), with 4-byte offsets and references.
inline std::string binaryList(const std::vector<std::string>& objects) {
    std::string bytes = "bplist00";
    std::vector<std::uint64_t> offsets;
    for (const std::string& object : objects) {
        offsets.push_back(bytes.size());
        bytes += object;
    }
    const std::uint64_t table = bytes.size();
    for (std::uint64_t offset : offsets)
        appendBigEndian(bytes, offset, 4);
    bytes += std::string(6, '\0');
    bytes += '\x04';
    bytes += '\x04';
    appendBigEndian(bytes, objects.size(), 8);
    appendBigEndian(bytes, 0, 8);
    appendBigEndian(bytes, table, 8);
    return bytes;
}

// Arrays nested `levels` deep: each holds the next (or, shared, the next twice), the last is empty.
inline std::string nestedBinaryList(std::size_t levels, bool shared = false) {
    std::vector<std::string> objects;
    for (std::size_t i = 0; i + 1 < levels; ++i) {
        const auto next = static_cast<std::uint32_t>(i + 1);
        objects.push_back(shared ? arrayObject({next, next}) : arrayObject({next}));
    }
    objects.push_back(arrayObject({}));
    return binaryList(objects);
}

// A flat array of `count` references, all to one string "x", or each to its own integer (its index).
inline std::string flatBinaryList(std::uint32_t count, bool shared) {
    std::vector<std::string> objects;
    std::vector<std::uint32_t> refs;
    for (std::uint32_t i = 0; i < count; ++i)
        refs.push_back(shared ? 1 : i + 1);
    objects.push_back(arrayObject(refs));
    if (shared) {
        objects.push_back("\x51x");
    } else {
        for (std::uint32_t i = 0; i < count; ++i) {
            std::string integer = "\x12";
            appendBigEndian(integer, i, 4);
            objects.push_back(integer);
        }
    }
    return binaryList(objects);
}

// A dictionary of `count` keys "k<i>" holding i.
inline std::string wideBinaryDictionary(std::uint32_t count) {
    std::string object = "\xDF\x12";
    appendBigEndian(object, count, 4);
    for (std::uint32_t i = 0; i < 2 * count; ++i)
        appendBigEndian(object, i + 1, 4);
    std::vector<std::string> objects{object};
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::string key = "k" + std::to_string(i);
        objects.push_back(static_cast<char>(0x50 | key.size()) + key);
    }
    for (std::uint32_t i = 0; i < count; ++i) {
        std::string integer = "\x12";
        appendBigEndian(integer, i, 4);
        objects.push_back(integer);
    }
    return binaryList(objects);
}

// 300 KB of XML whose one declared entity of 1,000 elements is referred to 100,000 times.
inline std::string entityOfElementsXML() {
    std::string text = "<!DOCTYPE plist [<!ENTITY a \"";
    for (int i = 0; i < 1000; ++i)
        text += "<true/>";
    text += "\">]><plist><array>";
    for (int i = 0; i < 100000; ++i)
        text += "&a;";
    return text + "</array></plist>";
}

// One start tag of this many attributes, which libxml2 checks against each other pairwise.
inline std::string manyAttributesXML(std::size_t count) {
    std::string text = "<plist";
    for (std::size_t i = 0; i < count; ++i)
        text += " a" + std::to_string(i) + "=\"\"";
    return text + "><true/></plist>";
}

// A binary array of `count` one-byte references to one shared item (true, or the object given): one
// value per byte.
inline std::string oneByteSharedBinaryList(std::uint32_t count, const std::string& object = "\x09") {
    std::string bytes = "bplist00\xAF\x12";
    appendBigEndian(bytes, count, 4);
    bytes.append(count, '\x01');
    const std::size_t item = bytes.size();
    bytes += object;
    const std::size_t table = bytes.size();
    appendBigEndian(bytes, 8, 4);
    appendBigEndian(bytes, item, 4);
    std::string trailer(32, '\0');
    trailer[6] = 4;
    trailer[7] = 1;
    trailer[15] = 2;
    std::string offset;
    appendBigEndian(offset, table, 8);
    trailer.replace(24, 8, offset);
    return bytes + trailer;
}

// A string (marker 0x50), UTF-16 text (0x60, `text` holding big-endian units) or data (0x40) object.
inline std::string leafObject(unsigned char marker, const std::string& text) {
    const std::size_t length = marker == 0x60 ? text.size() / 2 : text.size();
    std::string object;
    if (length < 15) {
        object += static_cast<char>(marker | length);
    } else {
        object += static_cast<char>(marker | 0x0F);
        object += '\x12';
        appendBigEndian(object, length, 4);
    }
    return object + text;
}

// A binary list of one object and an offset table of `entries` entries (of `offsetBytes` bytes), every
// one naming it; the top is the object itself, or (referencing) an array of `entries` references to
// them all, one each.
inline std::string oneObjectManyEntries(const std::string& object, std::uint32_t entries, bool referencing,
                                        int offsetBytes = 4) {
    std::string bytes = "bplist00";
    bytes += object;
    const std::size_t array = bytes.size();
    if (referencing) {
        bytes += "\xAF\x12";
        appendBigEndian(bytes, entries, 4);
        for (std::uint32_t i = 0; i < entries; ++i)
            appendBigEndian(bytes, i, 4);
    }
    const std::size_t table = bytes.size();
    bytes.reserve(bytes.size() + (entries + 1) * static_cast<std::size_t>(offsetBytes) + 32);
    for (std::uint32_t i = 0; i < entries; ++i)
        appendBigEndian(bytes, 8, offsetBytes);
    if (referencing)
        appendBigEndian(bytes, array, offsetBytes);
    std::string trailer(32, '\0');
    trailer[6] = static_cast<char>(offsetBytes);
    trailer[7] = 4;
    std::string counts;
    appendBigEndian(counts, entries + (referencing ? 1 : 0), 8);
    appendBigEndian(counts, referencing ? entries : 0, 8);
    appendBigEndian(counts, table, 8);
    trailer.replace(8, 24, counts);
    return bytes + trailer;
}

// XML of `levels` nested arrays each declaring `prefixes` namespace prefixes, the innermost holding
// `elements` arrays with an attribute for each prefix of the outermost: libxml2 looks each up among all
// those in scope.
inline std::string namespacedXML(std::size_t levels, std::size_t prefixes, std::size_t elements = 1) {
    std::string text = "<plist version=\"1.0\">";
    for (std::size_t level = 0; level < levels; ++level) {
        text += "<array";
        for (std::size_t p = 0; p < prefixes; ++p)
            text += " xmlns:n" + std::to_string(level) + "x" + std::to_string(p) + "=\"u\"";
        text += ">";
    }
    for (std::size_t element = 0; element < elements; ++element) {
        text += "<array";
        for (std::size_t p = 0; p < prefixes; ++p)
            text += " n0x" + std::to_string(p) + ":a=\"\"";
        text += "/>";
    }
    for (std::size_t level = 0; level < levels; ++level)
        text += "</array>";
    return text + "</plist>";
}

// Lists that must be refused: 200,000 and 20,000 levels behind the quote, 100,000 binary levels, an
// entity expanding to 100 million values, 100,000 attributes on one tag, 2 million shared values; and,
// within a keychain item's megabyte: 3,500 references to one 900 KB string (3 GB), 100 arrays declaring
// 255 namespace prefixes each around 190 elements using them, and an offset table of 250,000 entries
// naming one byte of objects.
inline std::vector<std::string> hostilePropertyLists() {
    return {quoteTrickXML(200000),
            quoteTrickXML(20000),
            nestedBinaryList(100000),
            entityOfElementsXML(),
            manyAttributesXML(100000),
            oneByteSharedBinaryList(2000000),
            oneByteSharedBinaryList(3500, leafObject(0x50, std::string(900 * 1024, 's'))),
            namespacedXML(100, 255, 190),
            oneObjectManyEntries("\x09", 250000, false)};
}

// Runs the work on a thread with a stack of this many bytes and waits for it; false when no thread
// could be started.
inline bool runOnSmallStack(const std::function<void()>& work, std::size_t stackBytes = 512 * 1024) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, stackBytes);
    pthread_t thread;
    auto* job = new std::function<void()>(work);
    const int started = pthread_create(
        &thread, &attr,
        [](void* arg) -> void* {
            (*static_cast<std::function<void()>*>(arg))();
            return nullptr;
        },
        job);
    pthread_attr_destroy(&attr);
    if (started == 0)
        pthread_join(thread, nullptr);
    delete job;
    return started == 0;
}

} // namespace hybtest
