#include "platform/formats/ArchiveValue.h"

#include "platform/formats/KeyedArchiver.h"

#include <algorithm>
#include <bit>
#include <functional>
#include <iterator>

namespace platform {

namespace {

std::size_t combineHash(std::size_t seed, std::size_t value) {
    return seed ^ (value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2));
}

} // namespace

// ---- ArchiveDictionary ----

ArchiveDictionary::ArchiveDictionary(std::initializer_list<std::pair<std::string, ArchiveValue>> entries) {
    for (const auto& [key, value] : entries)
        set(key, value);
}

ArchiveDictionary::ArchiveDictionary(const ArchiveDictionary& other) = default;
ArchiveDictionary::ArchiveDictionary(ArchiveDictionary&&) noexcept = default;
ArchiveDictionary& ArchiveDictionary::operator=(const ArchiveDictionary& other) = default;
ArchiveDictionary& ArchiveDictionary::operator=(ArchiveDictionary&&) noexcept = default;
ArchiveDictionary::~ArchiveDictionary() = default;

void ArchiveDictionary::clear() {
    m_entries.clear();
}

std::vector<ArchiveDictionary::Entry>::iterator ArchiveDictionary::lowerBound(std::string_view key) {
    return std::lower_bound(m_entries.begin(), m_entries.end(), key,
                            [](const Entry& entry, std::string_view k) { return entry.key < k; });
}

std::vector<ArchiveDictionary::Entry>::const_iterator ArchiveDictionary::lowerBound(std::string_view key) const {
    return std::lower_bound(m_entries.begin(), m_entries.end(), key,
                            [](const Entry& entry, std::string_view k) { return entry.key < k; });
}

const ArchiveValue* ArchiveDictionary::find(std::string_view key) const {
    auto it = lowerBound(key);
    return it != m_entries.end() && it->key == key ? &it->value : nullptr;
}

ArchiveValue* ArchiveDictionary::find(std::string_view key) {
    auto it = lowerBound(key);
    return it != m_entries.end() && it->key == key ? &it->value : nullptr;
}

const ArchiveValue& ArchiveDictionary::operator[](std::string_view key) const {
    const ArchiveValue* value = find(key);
    return value ? *value : ArchiveValue::null();
}

ArchiveValue& ArchiveDictionary::set(std::string key, ArchiveValue value) {
    auto it = lowerBound(key);
    if (it != m_entries.end() && it->key == key) {
        it->value = std::move(value);
        return it->value;
    }
    return m_entries.insert(it, Entry{std::move(key), std::move(value)})->value;
}

void ArchiveDictionary::setAll(std::vector<std::pair<std::string, ArchiveValue>> entries) {
    std::vector<Entry> merged;
    merged.reserve(m_entries.size() + entries.size());
    std::move(m_entries.begin(), m_entries.end(), std::back_inserter(merged));
    for (auto& [key, value] : entries)
        merged.push_back(Entry{std::move(key), std::move(value)});
    // Stable: of the entries of one key, those here already come first and the given ones in their order.
    std::stable_sort(merged.begin(), merged.end(), [](const Entry& a, const Entry& b) { return a.key < b.key; });
    m_entries.clear();
    m_entries.reserve(merged.size());
    for (std::size_t i = 0; i < merged.size(); ++i)
        if (i + 1 == merged.size() || merged[i + 1].key != merged[i].key)
            m_entries.push_back(std::move(merged[i]));
}

bool ArchiveDictionary::remove(std::string_view key) {
    auto it = lowerBound(key);
    if (it == m_entries.end() || it->key != key)
        return false;
    m_entries.erase(it);
    return true;
}

bool operator==(const ArchiveDictionary& a, const ArchiveDictionary& b) {
    return a.m_entries == b.m_entries;
}

// ---- ArchiveSet ----

ArchiveSet::ArchiveSet(std::initializer_list<ArchiveValue> items) {
    for (const auto& item : items)
        insert(item);
}

ArchiveSet::ArchiveSet(const ArchiveSet& other) = default;
ArchiveSet::ArchiveSet(ArchiveSet&&) noexcept = default;
ArchiveSet& ArchiveSet::operator=(const ArchiveSet& other) = default;
ArchiveSet& ArchiveSet::operator=(ArchiveSet&&) noexcept = default;
ArchiveSet::~ArchiveSet() = default;

std::optional<std::size_t> ArchiveSet::indexOf(const ArchiveValue& value, std::size_t hash) const {
    auto [first, last] = m_index.equal_range(hash);
    for (auto it = first; it != last; ++it) {
        if (m_items[it->second] == value)
            return it->second;
    }
    return std::nullopt;
}

// Whether a value can be found by ==: one unequal to itself (a NaN inside) never is, and all such values
// of one shape share a hash (the bits of the NaN), so indexing them would make one chain of them all and
// filling a set of them from an archive quadratic.
bool ArchiveSet::isFindable(const ArchiveValue& value) {
    return value == value;
}

bool ArchiveSet::insert(ArchiveValue value) {
    if (!isFindable(value)) {
        m_items.push_back(std::move(value));
        return true;
    }
    const std::size_t hash = value.hash();
    if (indexOf(value, hash))
        return false;
    m_index.emplace(hash, m_items.size());
    m_items.push_back(std::move(value));
    return true;
}

bool ArchiveSet::contains(const ArchiveValue& value) const {
    return indexOf(value, value.hash()).has_value();
}

bool ArchiveSet::remove(const ArchiveValue& value) {
    auto position = indexOf(value, value.hash());
    if (!position)
        return false;
    m_items.erase(m_items.begin() + static_cast<std::ptrdiff_t>(*position));
    rebuildIndex();
    return true;
}

void ArchiveSet::clear() {
    m_items.clear();
    m_index.clear();
}

void ArchiveSet::rebuildIndex() {
    m_index.clear();
    for (std::size_t i = 0; i < m_items.size(); ++i)
        if (isFindable(m_items[i]))
            m_index.emplace(m_items[i].hash(), i);
}

bool operator==(const ArchiveSet& a, const ArchiveSet& b) {
    if (a.size() != b.size())
        return false;
    return std::all_of(a.begin(), a.end(), [&b](const ArchiveValue& item) { return b.contains(item); });
}

// ---- ArchiveValue ----

ArchiveValue::ArchiveValue(const Value& value) {
    switch (value.type()) {
    case Value::Type::Null: break;
    case Value::Type::Bool: m_data = *value.getBool(); break;
    case Value::Type::Integer: m_data = *value.getInteger(); break;
    // An archive's integers are signed 64-bit: one past that range keeps its bits.
    case Value::Type::UnsignedInteger: m_data = static_cast<std::int64_t>(*value.getUnsignedInteger()); break;
    case Value::Type::Double: m_data = *value.getDouble(); break;
    case Value::Type::String: m_data = *value.getString(); break;
    case Value::Type::Bytes: m_data = *value.getBytes(); break;
    case Value::Type::Date: m_data = *value.getDate(); break;
    case Value::Type::Array: {
        ArchiveArray items;
        items.reserve(value.getArray()->size());
        for (const auto& item : *value.getArray())
            items.emplace_back(item);
        m_data = std::move(items);
        break;
    }
    case Value::Type::Dictionary: {
        std::vector<std::pair<std::string, ArchiveValue>> converted;
        converted.reserve(value.getDictionary()->size());
        for (const auto& entry : *value.getDictionary())
            converted.emplace_back(entry.key, ArchiveValue(entry.value));
        ArchiveDictionary entries;
        entries.setAll(std::move(converted));
        m_data = std::move(entries);
        break;
    }
    }
}

ArchiveValue::Object ArchiveValue::object() const {
    const Object* object = std::get_if<Object>(&m_data);
    return object ? *object : Object();
}

std::optional<Value> ArchiveValue::toValue() const {
    switch (type()) {
    case Type::Null: return Value();
    case Type::Bool: return Value(*getBool());
    case Type::Integer: return Value(static_cast<long long>(*getInteger()));
    case Type::Double: return Value(*getDouble());
    case Type::String: return Value(*getString());
    case Type::Bytes: return Value(*getBytes());
    case Type::Date: return Value(*getDate());
    case Type::Array: {
        Array items;
        items.reserve(getArray()->size());
        for (const auto& item : *getArray()) {
            auto converted = item.toValue();
            if (!converted)
                return std::nullopt;
            items.push_back(std::move(*converted));
        }
        return Value(std::move(items));
    }
    case Type::Dictionary: {
        Dictionary entries;
        for (const auto& entry : *getDictionary()) {
            auto converted = entry.value.toValue();
            if (!converted)
                return std::nullopt;
            entries.set(entry.key, std::move(*converted));
        }
        return Value(std::move(entries));
    }
    case Type::Set:
    case Type::Object: return std::nullopt;
    }
    return std::nullopt;
}

// Text, data and numbers hash with the process's seeded hash: a set read from an archive cannot be made
// of values that share one hash.
std::size_t ArchiveValue::hash() const {
    const SeededHash seeded;
    // Equal doubles hash alike: 0.0 and -0.0 are equal.
    const auto real = [&seeded](double d) { return d == 0 ? seeded(std::uint64_t{0}) : seeded(std::bit_cast<std::uint64_t>(d)); };
    std::size_t seed = seeded(static_cast<int>(type()));
    switch (type()) {
    case Type::Null: return seed;
    case Type::Bool: return combineHash(seed, *getBool() ? 1 : 0);
    case Type::Integer: return combineHash(seed, seeded(*getInteger()));
    case Type::Double: return combineHash(seed, real(*getDouble()));
    case Type::String: return combineHash(seed, seeded(*getString()));
    case Type::Bytes: {
        const Bytes& bytes = *getBytes();
        return combineHash(seed, seeded(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size())));
    }
    case Type::Date: return combineHash(seed, real(getDate()->secondsSince1970));
    case Type::Array:
        for (const auto& item : *getArray())
            seed = combineHash(seed, item.hash());
        return seed;
    case Type::Dictionary:
        for (const auto& entry : *getDictionary())
            seed = combineHash(combineHash(seed, seeded(entry.key)), entry.value.hash());
        return seed;
    case Type::Set: {
        // Order-free: equal sets may hold their items in different orders.
        std::size_t sum = 0;
        for (const auto& item : *getSet())
            sum += item.hash();
        return combineHash(seed, sum);
    }
    case Type::Object: return combineHash(seed, object()->equalityHash());
    }
    return seed;
}

bool operator==(const ArchiveValue& a, const ArchiveValue& b) {
    if (a.type() != b.type())
        return false;
    if (a.isObject()) {
        const auto& left = *std::get_if<ArchiveValue::Object>(&a.m_data);
        const auto& right = *std::get_if<ArchiveValue::Object>(&b.m_data);
        return left == right || left->isEqualTo(*right);
    }
    return a.m_data == b.m_data;
}

const ArchiveValue& ArchiveValue::null() {
    static const auto* value = new ArchiveValue; // shared for the process
    return *value;
}

} // namespace platform
