// Property lists another application could leave where this one reads them (pasteboards, keychain items):
// binary lists built object by object, nested, flat or wide, XML that a tag scan would miscount, and
// dictionaries (and JSON objects) of many keys with one hash value; and
// a thread with the small stack of an application's secondary thread to read them on.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
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

// A container's marker (0xA0 array, 0xD0 dictionary) with its count: in the low nibble, or after it.
inline std::string containerMarker(unsigned char marker, std::size_t count) {
    std::string object;
    if (count < 15) {
        object += static_cast<char>(marker | count);
    } else {
        object += static_cast<char>(marker | 0x0F);
        object += '\x12';
        appendBigEndian(object, count, 4);
    }
    return object;
}

// An array object of these references (4 bytes each).
inline std::string arrayObject(const std::vector<std::uint32_t>& refs) {
    std::string object = containerMarker(0xA0, refs.size());
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

// ---- Many keys with one hash value ----

// Keys that the standard library's fixed hash of text (libstdc++, 64 bits) maps to one value. It takes
// 8-byte blocks b into its state as state = (state ^ f(b)) * m, with f(b) = mix(b * m) * m (mix(v) =
// v ^ v >> 47, its own inverse; m odd): flipping the top bit of f(b) flips only the top bit of the state,
// and a next block with the top bit of its f flipped takes it back. So two 16-byte pieces, x twice and y
// twice with f(y) = f(x) ^ 2^63 (both UTF-8 text needing no escapes), leave the state alike whatever it was, and
// keys made of the same number of them, after a common prefix and before a common suffix, all share one
// hash: `count` keys of at least `length` bytes.
inline std::vector<std::string> stdHashCollidingKeys(std::size_t count, std::size_t length = 0) {
    constexpr std::uint64_t m = 0xc6a4a7935bd1e995ULL;
    std::uint64_t inverse = m; // Newton's iteration: each step doubles the bits that hold
    for (int i = 0; i < 6; ++i)
        inverse *= 2 - m * inverse;
    const auto mix = [](std::uint64_t v) { return v ^ (v >> 47); };
    const auto load = [](const std::string& block) {
        std::uint64_t v = 0;
        for (int i = 7; i >= 0; --i)
            v = (v << 8) | static_cast<unsigned char>(block[static_cast<std::size_t>(i)]);
        return v;
    };
    const auto store = [](std::uint64_t v) {
        std::string block(8, '\0');
        for (std::size_t i = 0; i < 8; ++i)
            block[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
        return block;
    };
    // Blocks of six plain characters and one two-byte UTF-8 character, so that both are text in any of
    // the forms (y holds about x + 2^63: its last byte at least leaves ASCII).
    const std::string plainCharacters = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_.:;=+*/!?#$%()[]{}";
    const auto isText = [&](const std::string& block) {
        for (std::size_t i = 0; i < block.size(); ++i) {
            const auto c = static_cast<unsigned char>(block[i]);
            if (c >= 0xC2 && c <= 0xDF && i + 1 < block.size() && (static_cast<unsigned char>(block[i + 1]) & 0xC0) == 0x80)
                ++i;
            else if (plainCharacters.find(static_cast<char>(c)) == std::string::npos)
                return false;
        }
        return true;
    };
    std::string x, y;
    for (std::uint64_t state = 1; y.empty();) {
        x.clear();
        const auto next = [&state](std::uint64_t range) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            return (state >> 33) % range;
        };
        for (int i = 0; i < 6; ++i)
            x += plainCharacters[next(plainCharacters.size())];
        x += static_cast<char>(0xC2 + next(30));
        x += static_cast<char>(0x80 + next(64));
        const std::uint64_t fx = mix(load(x) * m) * m;
        const std::string candidate = store(mix((fx ^ (std::uint64_t{1} << 63)) * inverse) * inverse);
        if (isText(candidate))
            y = candidate;
    }
    std::size_t pieces = 1;
    while ((std::size_t{1} << pieces) < count)
        ++pieces;
    const std::size_t extra = length > 16 * pieces ? length - 16 * pieces : 0;
    const std::string prefix(extra / 8 * 8, 'p'), suffix(extra % 8, 's');
    std::vector<std::string> keys;
    keys.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::string key = prefix;
        for (std::size_t piece = 0; piece < pieces; ++piece)
            key += (k >> piece) & 1 ? y + y : x + x;
        keys.push_back(key + suffix);
    }
    return keys;
}

// Keys that djb2 (h = 33 h + c, which the property-list library's writer finds repeated strings by) maps
// to one value: "Aa" and "B@" add the same to it (65 * 33 + 97 = 66 * 33 + 64), so `count` keys of as
// many such pairs as they need, each either, share one hash.
inline std::vector<std::string> djb2CollidingKeys(std::size_t count) {
    std::size_t pairs = 1;
    while ((std::size_t{1} << pairs) < count)
        ++pairs;
    std::vector<std::string> keys;
    keys.reserve(count);
    for (std::size_t k = 0; k < count; ++k) {
        std::string key;
        for (std::size_t pair = 0; pair < pairs; ++pair)
            key += (k >> pair) & 1 ? "B@" : "Aa";
        keys.push_back(key);
    }
    return keys;
}

// Keys of the same lengths and characters as these that share no hash: each with its first 8 bytes (a
// block of the hashes above) replaced by its number in 8 digits.
inline std::vector<std::string> ordinaryKeysLike(const std::vector<std::string>& keys) {
    std::vector<std::string> ordinary;
    ordinary.reserve(keys.size());
    for (std::size_t k = 0; k < keys.size(); ++k) {
        std::string number = std::to_string(k);
        number.insert(0, number.size() < 8 ? 8 - number.size() : 0, '0');
        std::string key = keys[k];
        key.replace(0, std::min<std::size_t>(8, key.size()), number.substr(number.size() - std::min<std::size_t>(8, key.size())));
        ordinary.push_back(key);
    }
    return ordinary;
}

// A binary dictionary of these keys, each holding one shared true.
inline std::string binaryDictionaryOf(const std::vector<std::string>& keys) {
    std::string object = containerMarker(0xD0, keys.size());
    const auto count = static_cast<std::uint32_t>(keys.size());
    for (std::uint32_t i = 0; i < count; ++i)
        appendBigEndian(object, i + 1, 4);
    for (std::uint32_t i = 0; i < count; ++i)
        appendBigEndian(object, count + 1, 4);
    std::vector<std::string> objects{object};
    for (const std::string& key : keys)
        objects.push_back(leafObject(0x50, key));
    objects.push_back("\x09");
    return binaryList(objects);
}

// The same as an XML list and as a JSON object (for keys that need no escapes in either).
inline std::string xmlDictionaryOf(const std::vector<std::string>& keys) {
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict>\n";
    for (const std::string& key : keys)
        text += "\t<key>" + key + "</key>\n\t<true/>\n";
    return text + "</dict>\n</plist>\n";
}

inline std::string jsonObjectOf(const std::vector<std::string>& keys) {
    std::string text = "{";
    for (const std::string& key : keys)
        text += (text.size() > 1 ? ",\"" : "\"") + key + "\":true";
    return text + "}";
}

// Fuzz seeds of both shapes, named "<target>/<name>": dictionaries whose 4,096 keys share the library's
// string hash (binary and XML lists and a JSON object, under a megabyte), read by every reader of such
// lists, and a list of 16,384 keys that share one djb2 hash (750 KB), which the readers that write what
// they read write again. Under the fuzz build's limits (fuzz-check: 5 s an input for the readers, 10 s
// for JSON) each of them took many times longer while the tables of keys were one bucket, or the
// writer compared along one chain; a second or so since.
inline std::vector<std::pair<std::string, std::string>> collidingKeySeeds() {
    // The binary list goes to the general pasteboard in the message target, which takes an even size.
    std::vector<std::string> keys = stdHashCollidingKeys(4096, 192);
    std::string binary = binaryDictionaryOf(keys);
    if (binary.size() % 2 != 0) {
        keys.pop_back();
        keys.front() += "+"; // one key longer: no longer of the same hash, and the size changes by two
        binary = binaryDictionaryOf(keys);
    }
    const std::string xml = xmlDictionaryOf(keys);
    const std::string djb2 = binaryDictionaryOf(djb2CollidingKeys(16384));
    return {{"plist_fuzz/binary-keys-of-one-hash", binary},
            {"plist_fuzz/xml-keys-of-one-hash", xml},
            {"plist_fuzz/binary-keys-of-one-djb2-hash", djb2},
            {"messenger_registry_fuzz/keys-of-one-hash", binary},
            {"messenger_registry_fuzz/keys-of-one-djb2-hash", djb2},
            {"messenger_message_fuzz/keys-of-one-hash", binary},
            {"shared_store_fuzz/keys-of-one-hash", binary},
            {"json_fuzz/keys-of-one-hash", jsonObjectOf(keys)}};
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
