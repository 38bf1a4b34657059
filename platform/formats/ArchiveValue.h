// The values a keyed archive holds: null, bool, integer, double, string, bytes, date, array, dictionary,
// set, and objects of classes that archive themselves (KeyedArchiver.h).
//
// Guarantees:
// - Everything but objects is a plain C++ value: copying copies. Objects are shared, as the platform's
//   objects are: a copied value refers to the same object, and a store that keeps a value keeps the
//   object the caller may still change.
// - Bool stays apart from numbers and integers from doubles (as in platform::Value): 1, 1.0 and true are
//   three different values.
// - Dictionaries keep their keys sorted (so an archive's bytes do not depend on the order of sets);
//   sets hold distinct values (by ==) in the order they were first inserted. Equality of dictionaries
//   and sets is by content; objects are equal when they are the same object or isEqualTo says so.
// - Converting from platform::Value never fails; converting back fails (nothing) when the tree holds a
//   set or an object anywhere.
// - Not thread-safe; a value belongs to whoever holds it (objects say their own rules).
#pragma once

#include "platform/core/Value.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

namespace platform {

class ArchiveValue;
class KeyedArchivable;

using ArchiveArray = std::vector<ArchiveValue>;

// String keys to values, sorted by key.
class ArchiveDictionary {
public:
    struct Entry;
    using const_iterator = std::vector<Entry>::const_iterator;

    ArchiveDictionary() = default;
    ArchiveDictionary(std::initializer_list<std::pair<std::string, ArchiveValue>> entries);
    ArchiveDictionary(const ArchiveDictionary& other);
    ArchiveDictionary(ArchiveDictionary&&) noexcept;
    ArchiveDictionary& operator=(const ArchiveDictionary& other);
    ArchiveDictionary& operator=(ArchiveDictionary&&) noexcept;
    ~ArchiveDictionary();

    std::size_t size() const;
    bool empty() const;
    bool contains(std::string_view key) const { return find(key) != nullptr; }

    // The value for a key, or nullptr when absent.
    const ArchiveValue* find(std::string_view key) const;
    ArchiveValue* find(std::string_view key);
    // The value for a key, or a null value when absent.
    const ArchiveValue& operator[](std::string_view key) const;

    ArchiveValue& set(std::string key, ArchiveValue value);
    // Sets many keys at once, as set() one after another would (of a key given twice, the later value
    // wins), in time n log n whatever their order: set() moves the entries after the key's place, so the
    // keys of a large table from outside, given in falling order, would cost the square of their number.
    void setAll(std::vector<std::pair<std::string, ArchiveValue>> entries);
    bool remove(std::string_view key);
    void clear();

    const_iterator begin() const;
    const_iterator end() const;

    friend bool operator==(const ArchiveDictionary& a, const ArchiveDictionary& b);

private:
    std::vector<Entry>::iterator lowerBound(std::string_view key);
    std::vector<Entry>::const_iterator lowerBound(std::string_view key) const;

    std::vector<Entry> m_entries;
};

// Distinct values in the order of their first insertion, found by hash. A value unequal to itself (a NaN
// real, or a container holding one) equals no other either: it is always added, and kept out of the index.
class ArchiveSet {
public:
    using const_iterator = std::vector<ArchiveValue>::const_iterator;

    ArchiveSet() = default;
    ArchiveSet(std::initializer_list<ArchiveValue> items);
    ArchiveSet(const ArchiveSet& other);
    ArchiveSet(ArchiveSet&&) noexcept;
    ArchiveSet& operator=(const ArchiveSet& other);
    ArchiveSet& operator=(ArchiveSet&&) noexcept;
    ~ArchiveSet();

    std::size_t size() const;
    bool empty() const;
    // Adds the value unless an equal one is there; answers whether it was added.
    bool insert(ArchiveValue value);
    bool contains(const ArchiveValue& value) const;
    bool remove(const ArchiveValue& value);
    void clear();

    const_iterator begin() const;
    const_iterator end() const;

    friend bool operator==(const ArchiveSet& a, const ArchiveSet& b);

private:
    std::optional<std::size_t> indexOf(const ArchiveValue& value, std::size_t hash) const;
    void rebuildIndex();
    static bool isFindable(const ArchiveValue& value);

    std::vector<ArchiveValue> m_items;
    std::unordered_multimap<std::size_t, std::size_t> m_index; // hash -> position in m_items
};

class ArchiveValue : public BasicValue<ArchiveArray, ArchiveDictionary, ArchiveSet, std::shared_ptr<KeyedArchivable>> {
public:
    enum class Type { Null, Bool, Integer, Double, String, Bytes, Date, Array, Dictionary, Set, Object };
    using Object = std::shared_ptr<KeyedArchivable>;

    using BasicValue::BasicValue;
    ArchiveValue() = default;
    ArchiveValue(ArchiveSet s) { m_data = std::move(s); }
    // A null object gives a null value.
    template <class T>
    ArchiveValue(std::shared_ptr<T> object) {
        if (object)
            m_data = Object(std::move(object));
    }
    // The same tree (arrays and dictionaries become their archive forms).
    ArchiveValue(const Value& value);

    Type type() const { return static_cast<Type>(m_data.index()); }
    bool isSet() const { return holds<ArchiveSet>(); }
    bool isObject() const { return holds<Object>(); }

    // Strict accessors of the two kinds a plain Value does not have: nullptr for another type.
    const ArchiveSet* getSet() const { return std::get_if<ArchiveSet>(&m_data); }
    ArchiveSet* getSet() { return std::get_if<ArchiveSet>(&m_data); }
    // The object, or an empty pointer.
    Object object() const;
    // The object when it is a T (or derives from it), else an empty pointer: how code reading stored
    // values checks their class.
    template <class T>
    std::shared_ptr<T> objectOfClass() const {
        return std::dynamic_pointer_cast<T>(object());
    }

    // The platform::Value of the same tree; nothing when it holds a set or an object.
    std::optional<Value> toValue() const;

    // Consistent with ==: equal values hash alike (objects hash by their class name).
    std::size_t hash() const;

    friend bool operator==(const ArchiveValue& a, const ArchiveValue& b);

    static const ArchiveValue& null();
};

struct ArchiveDictionary::Entry {
    std::string key;
    ArchiveValue value;
    friend bool operator==(const Entry&, const Entry&) = default;
};

// Defined here, where the element types are complete.
inline std::size_t ArchiveDictionary::size() const { return m_entries.size(); }
inline bool ArchiveDictionary::empty() const { return m_entries.empty(); }
inline std::size_t ArchiveSet::size() const { return m_items.size(); }
inline bool ArchiveSet::empty() const { return m_items.empty(); }
inline ArchiveDictionary::const_iterator ArchiveDictionary::begin() const { return m_entries.begin(); }
inline ArchiveDictionary::const_iterator ArchiveDictionary::end() const { return m_entries.end(); }
inline ArchiveSet::const_iterator ArchiveSet::begin() const { return m_items.begin(); }
inline ArchiveSet::const_iterator ArchiveSet::end() const { return m_items.end(); }

} // namespace platform
