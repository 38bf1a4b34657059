// Keyed archives: a tree of archive values (ArchiveValue.h), objects included, written as one binary
// property list and read back.
//
// Objects: a class that archives itself derives from KeyedArchivable, writes its fields by key in
// encodeWithCoder, and is registered by name with a factory that reads them back from a
// KeyedUnarchiver (the constructor `explicit T(const KeyedUnarchiver&)` for registerClass<T>):
//
//     void Address::encodeWithCoder(KeyedArchiver& coder) const { coder.encode("host", m_host); }
//     Address::Address(const KeyedUnarchiver& coder) : m_host(coder.decodeString("host").value_or("")) {}
//     platform::KeyedArchiver::registerClass<Address>("Address");
//
// Format: the property list {"$archiver": "KeyedArchiver", "$version": 1, "$top": node}, where a node is
// a bool, integer, real, string, data or date as itself, an array of nodes, or a dictionary of one of
// the forms {"$null": true}, {"$dict": {key: node}}, {"$set": [node]},
// {"$class": name, "$fields": {key: node}}.
//
// Guarantees:
// - Reading never crashes and never trusts the bytes: anything that is not this format (another
//   property list, a damaged one, a node of no known form, nesting deeper than kMaxDepth) is an Error
//   in kKeyedArchiveErrorDomain.
// - An object of a class nobody registered (an archive of a newer program, a class this program does not
//   link), or whose factory refuses its fields (gives nullptr), reads as a null value in its place and
//   its class name is reported; the rest of the archive is kept. The reader asks the value's class when
//   it takes it out (ArchiveValue::objectOfClass, KeyedUnarchiver::decodeObjectOfClass), so a value of
//   another class under a key reads as absent, or as the caller's fallback.
// - Writing fails, writing nothing, for a tree deeper than kMaxDepth (objects that refer to each other
//   in a cycle end there) and for what a property list cannot hold (keys or strings with a NUL byte or
//   invalid UTF-8, dates beyond the property list's range).
// - Thread: archiving and unarchiving from any thread; the objects' own code runs on the calling
//   thread. The class registry is thread-safe.
#pragma once

#include "platform/core/ClassRegistry.h"
#include "platform/core/Crypto.h"
#include "platform/core/Error.h"
#include "platform/core/SeededHash.h"
#include "platform/formats/ArchiveValue.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

inline constexpr const char* kKeyedArchiveErrorDomain = "platform.keyedarchive";

class KeyedArchiver;
class KeyedUnarchiver;

// An object that archives itself by key.
class KeyedArchivable {
public:
    virtual ~KeyedArchivable() = default;
    // The name the class is registered under.
    virtual std::string archiveClassName() const = 0;
    virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
    // Equality of archive values holding two different objects; by default they differ.
    virtual bool isEqualTo(const KeyedArchivable&) const { return false; }
    // What sets find the object by: equal objects (isEqualTo) must hash alike, so a class that overrides
    // isEqualTo overrides this too. By default, the object itself (with the process's seeded hash: a set
    // of many objects of one class is no longer one chain).
    virtual std::size_t equalityHash() const { return SeededHash()(reinterpret_cast<std::uintptr_t>(this)); }
};

using KeyedArchivableRegistry = ClassRegistry<KeyedArchivable, const KeyedUnarchiver&>;

class KeyedArchiver {
public:
    enum ErrorCode : long long {
        kNotAnArchive = 1,  // the bytes are not a keyed archive
        kTooDeep = 2,       // nesting deeper than kMaxDepth
        kNotWritable = 3,   // a value the property list cannot hold
    };
    static constexpr int kMaxDepth = 256;

    // The archive's bytes (a binary property list).
    static Result<Bytes> archivedData(const ArchiveValue& root);
    // The length of those bytes (what a store of the tree takes on disk).
    static Result<std::size_t> archivedLength(const ArchiveValue& root);

    // Registers a class by name (false when the name is taken; the first registration stays).
    template <class T>
    static bool registerClass(std::string name) {
        return KeyedArchivableRegistry::shared().registerClass<T>(std::move(name));
    }
    static bool registerClass(std::string name, KeyedArchivableRegistry::Factory factory) {
        return KeyedArchivableRegistry::shared().registerClass(std::move(name), std::move(factory));
    }

    // ---- the coder an object writes its fields to ----
    // A later value under the same key replaces the earlier one; a null value is kept as null.
    void encode(std::string key, ArchiveValue value) { m_fields.set(std::move(key), std::move(value)); }
    const ArchiveDictionary& fields() const { return m_fields; }

private:
    ArchiveDictionary m_fields;
};

class KeyedUnarchiver {
public:
    // The tree of an archive. Class names of the objects dropped (unknown or refused) are appended to
    // droppedClassNames when given.
    static Result<ArchiveValue> unarchive(ByteSpan bytes, std::vector<std::string>* droppedClassNames = nullptr);

    // ---- the coder an object reads its fields from ----
    explicit KeyedUnarchiver(const ArchiveDictionary& fields) : m_fields(fields) {}

    bool containsValueForKey(std::string_view key) const { return m_fields.contains(key); }
    // The value under the key, or a null value.
    const ArchiveValue& decodeObject(std::string_view key) const { return m_fields[key]; }
    // Typed reads: the fallback when the key is absent or holds a value of another type (an integer
    // reads as a double; nothing else converts).
    std::int64_t decodeInt64(std::string_view key, std::int64_t fallback = 0) const;
    double decodeDouble(std::string_view key, double fallback = 0) const;
    bool decodeBool(std::string_view key, bool fallback = false) const;
    std::optional<std::string> decodeString(std::string_view key) const;
    template <class T>
    std::shared_ptr<T> decodeObjectOfClass(std::string_view key) const {
        return decodeObject(key).objectOfClass<T>();
    }

private:
    const ArchiveDictionary& m_fields;
};

} // namespace platform
