// The dynamic value every layer passes around: null, bool, integer, double, string, bytes, date, array
// and dictionary.
//
// Guarantees:
// - Integers are signed 64-bit; only property lists hold larger ones (Value::unsignedInteger).
// - Bool stays apart from numbers: Value(true) is never equal to Value(1), and JSON and property lists
//   keep the difference.
// - A dictionary enumerates in insertion order; setting an existing key keeps its place. Query strings,
//   multipart bodies and headers built from dictionaries therefore come out in a fixed order.
// - Values are plain C++ values: copying copies, there is no shared mutable state. Not thread-safe; a
//   value belongs to whoever holds it.
#pragma once

#include "platform/core/SeededHash.h"

#include <cstdint>
#include <functional>
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

class Value;

using Bytes = std::vector<std::uint8_t>;

// A point in time, in seconds since 1970-01-01 00:00:00 UTC.
struct Date {
    double secondsSince1970 = 0;
    // For a date read from a property list: its seconds since 2001-01-01 exactly as the list stored them.
    // Seconds since 1970 cannot hold every such double (the further from 2001, the fewer bits of the
    // fraction they keep), so a list writes back the number it read; it counts only while
    // secondsSince1970 is still the date it names.
    std::optional<double> storedSince2001;
    // The same instant: equal seconds since 1970.
    friend bool operator==(const Date& a, const Date& b) { return a.secondsSince1970 == b.secondsSince1970; }
};

using Array = std::vector<Value>;

// An insertion-ordered map from string keys to values. Lookups are linear while small and go through a
// hash index once the dictionary grows, so parsing a large object stays linear: the index hashes with the
// process's seeded hash (SeededHash.h), so no keys from outside can be chosen to share one bucket.
class Dictionary {
public:
    struct Entry;
    using const_iterator = std::vector<Entry>::const_iterator;
    using iterator = std::vector<Entry>::iterator;

    Dictionary() = default;
    Dictionary(std::initializer_list<std::pair<std::string, Value>> entries);
    Dictionary(const Dictionary& other);
    Dictionary(Dictionary&&) noexcept;
    Dictionary& operator=(const Dictionary& other);
    Dictionary& operator=(Dictionary&&) noexcept;
    ~Dictionary();

    std::size_t size() const;
    bool empty() const;
    bool contains(std::string_view key) const { return indexOf(key).has_value(); }

    // The value for a key, or nullptr when absent.
    const Value* find(std::string_view key) const;
    Value* find(std::string_view key);
    // The value for a key, or a null value when absent.
    const Value& operator[](std::string_view key) const;

    // Sets a key: an existing key keeps its place, a new one goes last.
    Value& set(std::string key, Value value);
    bool remove(std::string_view key);
    void clear();

    std::vector<std::string> keys() const;

    const_iterator begin() const;
    const_iterator end() const;
    iterator begin();
    iterator end();

    friend bool operator==(const Dictionary& a, const Dictionary& b);

private:
    std::optional<std::size_t> indexOf(std::string_view key) const;
    void rebuildIndex();

    std::vector<Entry> m_entries;
    using Index = std::unordered_map<std::string, std::size_t, SeededHash, std::equal_to<>>;
    std::unique_ptr<Index> m_index;
};

// What Value and ArchiveValue (ArchiveValue.h) share: the kinds both hold, in this order (null, bool,
// integer, double, string, bytes, date, their own array and dictionary, then the extra kinds of the
// value), the constructors of those kinds, their type tests and their strict accessors.
template <class ArrayType, class DictionaryType, class... Extra>
class BasicValue {
public:
    BasicValue() = default;
    BasicValue(std::nullptr_t) {}
    BasicValue(bool b) : m_data(b) {}
    BasicValue(int i) : m_data(static_cast<std::int64_t>(i)) {}
    BasicValue(long i) : m_data(static_cast<std::int64_t>(i)) {}
    BasicValue(long long i) : m_data(static_cast<std::int64_t>(i)) {}
    BasicValue(unsigned i) : m_data(static_cast<std::int64_t>(i)) {}
    BasicValue(unsigned long i) : m_data(static_cast<std::int64_t>(i)) {}
    BasicValue(unsigned long long i) : m_data(static_cast<std::int64_t>(i)) {}
    BasicValue(double d) : m_data(d) {}
    BasicValue(const char* s) : m_data(std::string(s)) {}
    BasicValue(std::string s) : m_data(std::move(s)) {}
    BasicValue(std::string_view s) : m_data(std::string(s)) {}
    BasicValue(platform::Bytes b) : m_data(std::move(b)) {}
    BasicValue(platform::Date d) : m_data(d) {}
    BasicValue(ArrayType a) : m_data(std::move(a)) {}
    BasicValue(DictionaryType d) : m_data(std::move(d)) {}

    bool isNull() const { return holds<std::monostate>(); }
    bool isBool() const { return holds<bool>(); }
    bool isInteger() const { return holds<std::int64_t>(); }
    bool isDouble() const { return holds<double>(); }
    bool isNumber() const { return isInteger() || isDouble(); }
    bool isString() const { return holds<std::string>(); }
    bool isBytes() const { return holds<platform::Bytes>(); }
    bool isDate() const { return holds<platform::Date>(); }
    bool isArray() const { return holds<ArrayType>(); }
    bool isDictionary() const { return holds<DictionaryType>(); }

    // Strict accessors: nullptr when the value is of another type.
    const bool* getBool() const { return std::get_if<bool>(&m_data); }
    const std::int64_t* getInteger() const { return std::get_if<std::int64_t>(&m_data); }
    const double* getDouble() const { return std::get_if<double>(&m_data); }
    const std::string* getString() const { return std::get_if<std::string>(&m_data); }
    std::string* getString() { return std::get_if<std::string>(&m_data); }
    const platform::Bytes* getBytes() const { return std::get_if<platform::Bytes>(&m_data); }
    const platform::Date* getDate() const { return std::get_if<platform::Date>(&m_data); }
    const ArrayType* getArray() const { return std::get_if<ArrayType>(&m_data); }
    ArrayType* getArray() { return std::get_if<ArrayType>(&m_data); }
    const DictionaryType* getDictionary() const { return std::get_if<DictionaryType>(&m_data); }
    DictionaryType* getDictionary() { return std::get_if<DictionaryType>(&m_data); }

protected:
    template <class T>
    bool holds() const {
        return std::holds_alternative<T>(m_data);
    }

    std::variant<std::monostate, bool, std::int64_t, double, std::string, platform::Bytes, platform::Date, ArrayType,
                 DictionaryType, Extra...>
        m_data;
};

// Beside the shared kinds, an integer above the signed 64-bit range (2^63 to 2^64 - 1), as property
// lists hold them: made only by unsignedInteger, which gives an Integer for what fits one, so that each
// number has one form and equality stays plain. It is no Integer and no number (isNumber) to callers
// that read those: only the lenient conversions below and the writers take it.
class Value : public BasicValue<Array, Dictionary, std::uint64_t> {
public:
    enum class Type { Null, Bool, Integer, Double, String, Bytes, Date, Array, Dictionary, UnsignedInteger };

    using BasicValue::BasicValue;
    Value() = default;

    static Value unsignedInteger(std::uint64_t value);
    bool isUnsignedInteger() const { return holds<std::uint64_t>(); }
    const std::uint64_t* getUnsignedInteger() const { return std::get_if<std::uint64_t>(&m_data); }

    Type type() const { return static_cast<Type>(m_data.index()); }

    // Lenient conversions, as the platform's number and string objects answer them:
    // numbers and bools convert between each other (an unsigned integer past the signed range gives
    // INT64_MAX as an integer); a string gives its leading number ("12abc" -> 12,
    // "abc" -> 0) and "true"/"yes" (any case) or a non-zero leading number give true.
    bool boolValue() const;
    std::int64_t integerValue() const;
    double doubleValue() const;

    // The value as text for "%@": strings as they are, numbers as their decimal text, bools as 1 or 0,
    // null as "<null>", containers in the platform's description format.
    std::string description() const;

    // Convenience: the string or an empty one; the array or an empty one; the dictionary or an empty one.
    const std::string& stringOr(const std::string& fallback) const;
    const platform::Array& arrayOrEmpty() const;
    const platform::Dictionary& dictionaryOrEmpty() const;

    // Dictionary lookup; a null value when this is not a dictionary or the key is absent.
    const Value& operator[](std::string_view key) const;
    // Array element; a null value when this is not an array or the index is out of range.
    const Value& operator[](std::size_t index) const;
    const Value& operator[](int index) const { return (*this)[static_cast<std::size_t>(index < 0 ? SIZE_MAX : index)]; }

    friend bool operator==(const Value& a, const Value& b);

    static const Value& null();
};

struct Dictionary::Entry {
    std::string key;
    Value value;
    friend bool operator==(const Entry&, const Entry&) = default;
};

// Defined here, where Entry is complete (some compilers need it for std::vector<Entry>).
inline Dictionary::Dictionary(Dictionary&&) noexcept = default;
inline Dictionary& Dictionary::operator=(Dictionary&&) noexcept = default;
inline std::size_t Dictionary::size() const { return m_entries.size(); }
inline bool Dictionary::empty() const { return m_entries.empty(); }
inline Dictionary::const_iterator Dictionary::begin() const { return m_entries.begin(); }
inline Dictionary::const_iterator Dictionary::end() const { return m_entries.end(); }
inline Dictionary::iterator Dictionary::begin() { return m_entries.begin(); }
inline Dictionary::iterator Dictionary::end() { return m_entries.end(); }

} // namespace platform
