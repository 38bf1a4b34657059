#include "platform/core/Value.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace platform {

namespace {
// Dictionaries up to this size are searched linearly; larger ones keep a hash index.
constexpr std::size_t kIndexThreshold = 16;

// The leading number of a text, as the platform's string objects read it: optional blanks, sign, digits,
// fraction and exponent; whatever follows is ignored, and no number at all gives 0.
double leadingNumber(const std::string& s) {
    const char* begin = s.c_str();
    char* end = nullptr;
    double d = std::strtod(begin, &end);
    if (end == begin || !std::isfinite(d))
        return 0;
    return d;
}
} // namespace

Dictionary::Dictionary(std::initializer_list<std::pair<std::string, Value>> entries) {
    for (const auto& [key, value] : entries)
        set(key, value);
}

Dictionary::Dictionary(const Dictionary& other) : m_entries(other.m_entries) {
    if (other.m_index)
        rebuildIndex();
}

Dictionary& Dictionary::operator=(const Dictionary& other) {
    if (this == &other)
        return *this;
    m_entries = other.m_entries;
    m_index.reset();
    if (other.m_index)
        rebuildIndex();
    return *this;
}

Dictionary::~Dictionary() = default;

std::optional<std::size_t> Dictionary::indexOf(std::string_view key) const {
    if (m_index) {
        auto it = m_index->find(key);
        if (it == m_index->end())
            return std::nullopt;
        return it->second;
    }
    for (std::size_t i = 0; i < m_entries.size(); ++i) {
        if (m_entries[i].key == key)
            return i;
    }
    return std::nullopt;
}

void Dictionary::rebuildIndex() {
    if (m_entries.size() <= kIndexThreshold) {
        m_index.reset();
        return;
    }
    m_index = std::make_unique<Index>();
    m_index->reserve(m_entries.size() * 2);
    for (std::size_t i = 0; i < m_entries.size(); ++i)
        (*m_index)[m_entries[i].key] = i;
}

const Value* Dictionary::find(std::string_view key) const {
    auto i = indexOf(key);
    return i ? &m_entries[*i].value : nullptr;
}

Value* Dictionary::find(std::string_view key) {
    auto i = indexOf(key);
    return i ? &m_entries[*i].value : nullptr;
}

const Value& Dictionary::operator[](std::string_view key) const {
    const Value* v = find(key);
    return v ? *v : Value::null();
}

Value& Dictionary::set(std::string key, Value value) {
    if (m_index) {
        // One look-up: the key's place is claimed for a new entry, or names the existing one.
        const auto [at, added] = m_index->try_emplace(key, m_entries.size());
        if (!added)
            return m_entries[at->second].value = std::move(value);
        m_entries.push_back(Entry{std::move(key), std::move(value)});
        return m_entries.back().value;
    }
    if (auto i = indexOf(key)) {
        m_entries[*i].value = std::move(value);
        return m_entries[*i].value;
    }
    m_entries.push_back(Entry{std::move(key), std::move(value)});
    if (m_entries.size() > kIndexThreshold)
        rebuildIndex();
    return m_entries.back().value;
}

bool Dictionary::remove(std::string_view key) {
    auto i = indexOf(key);
    if (!i)
        return false;
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(*i));
    if (m_index)
        rebuildIndex();
    return true;
}

void Dictionary::clear() {
    m_entries.clear();
    m_index.reset();
}

std::vector<std::string> Dictionary::keys() const {
    std::vector<std::string> out;
    out.reserve(m_entries.size());
    for (const auto& e : m_entries)
        out.push_back(e.key);
    return out;
}

bool operator==(const Dictionary& a, const Dictionary& b) {
    if (a.size() != b.size())
        return false;
    // Equality is by content, as for the platform's dictionaries: order does not matter.
    for (const auto& e : a.m_entries) {
        const Value* other = b.find(e.key);
        if (!other || !(*other == e.value))
            return false;
    }
    return true;
}

// The shared empty values are never destroyed: threads that outlive main (the URL-loading thread stops
// only when its transport is destroyed) may still read them while static objects are torn down.
const Value& Value::null() {
    static const Value& kNull = *new Value;
    return kNull;
}

Value Value::unsignedInteger(std::uint64_t value) {
    if (value <= static_cast<std::uint64_t>(INT64_MAX))
        return Value(static_cast<std::int64_t>(value));
    Value v;
    v.m_data = value;
    return v;
}

bool Value::boolValue() const {
    switch (type()) {
    case Type::Bool: return *getBool();
    case Type::UnsignedInteger: return true;
    case Type::Integer: return *getInteger() != 0;
    case Type::Double: return *getDouble() != 0;
    case Type::String: {
        const std::string& s = *getString();
        std::size_t i = s.find_first_not_of(" \t\n\r");
        if (i == std::string::npos)
            return false;
        const char* p = s.c_str() + i;
        if (strncasecmp(p, "true", 4) == 0 || strncasecmp(p, "yes", 3) == 0 || strncasecmp(p, "y", 1) == 0
            || strncasecmp(p, "t", 1) == 0)
            return true;
        return leadingNumber(s) != 0;
    }
    default: return false;
    }
}

std::int64_t Value::integerValue() const {
    switch (type()) {
    case Type::Bool: return *getBool() ? 1 : 0;
    case Type::Integer: return *getInteger();
    case Type::UnsignedInteger: return INT64_MAX;
    case Type::Double: {
        double d = *getDouble();
        if (!std::isfinite(d))
            return 0;
        if (d >= 9.2233720368547758e18)
            return INT64_MAX;
        if (d <= -9.2233720368547758e18)
            return INT64_MIN;
        return static_cast<std::int64_t>(d);
    }
    case Type::String: {
        const std::string& s = *getString();
        errno = 0;
        char* end = nullptr;
        long long v = std::strtoll(s.c_str(), &end, 10);
        if (end == s.c_str())
            return 0;
        return v;
    }
    default: return 0;
    }
}

double Value::doubleValue() const {
    switch (type()) {
    case Type::Bool: return *getBool() ? 1 : 0;
    case Type::Integer: return static_cast<double>(*getInteger());
    case Type::UnsignedInteger: return static_cast<double>(*getUnsignedInteger());
    case Type::Double: return *getDouble();
    case Type::String: return leadingNumber(*getString());
    case Type::Date: return getDate()->secondsSince1970;
    default: return 0;
    }
}

namespace {
void describe(const Value& v, std::string& out, int indent) {
    auto pad = [&](int n) { out.append(static_cast<std::size_t>(n) * 4, ' '); };
    switch (v.type()) {
    case Value::Type::Null: out += "<null>"; return;
    case Value::Type::Bool: out += *v.getBool() ? "1" : "0"; return;
    case Value::Type::Integer: out += std::to_string(*v.getInteger()); return;
    case Value::Type::UnsignedInteger: out += std::to_string(*v.getUnsignedInteger()); return;
    case Value::Type::Double: {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%.17g", *v.getDouble());
        // Shortest text that reads back to the same double.
        for (int precision = 1; precision <= 17; ++precision) {
            char trial[32];
            std::snprintf(trial, sizeof trial, "%.*g", precision, *v.getDouble());
            if (std::strtod(trial, nullptr) == *v.getDouble()) {
                std::memcpy(buf, trial, sizeof trial);
                break;
            }
        }
        out += buf;
        return;
    }
    case Value::Type::String: out += *v.getString(); return;
    case Value::Type::Bytes: {
        static const char* hex = "0123456789abcdef";
        out += '<';
        const Bytes& b = *v.getBytes();
        for (std::size_t i = 0; i < b.size(); ++i) {
            if (i && i % 4 == 0)
                out += ' ';
            out += hex[b[i] >> 4];
            out += hex[b[i] & 15];
        }
        out += '>';
        return;
    }
    case Value::Type::Date: {
        // A date past what the calendar functions can break down (not a number, beyond the range of
        // time_t, or a year beyond int) has no calendar text.
        const double seconds = std::floor(v.getDate()->secondsSince1970);
        std::tm tm{};
        if (!std::isfinite(seconds) || seconds < -9.2e18 || seconds > 9.2e18) {
            out += "<invalid date>";
            return;
        }
        const auto t = static_cast<std::time_t>(seconds);
        if (gmtime_r(&t, &tm) == nullptr) {
            out += "<invalid date>";
            return;
        }
        char buf[40];
        std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S +0000", &tm);
        out += buf;
        return;
    }
    case Value::Type::Array: {
        out += "(\n";
        const Array& a = *v.getArray();
        for (std::size_t i = 0; i < a.size(); ++i) {
            pad(indent + 1);
            describe(a[i], out, indent + 1);
            out += i + 1 < a.size() ? ",\n" : "\n";
        }
        pad(indent);
        out += ')';
        return;
    }
    case Value::Type::Dictionary: {
        out += "{\n";
        for (const auto& e : *v.getDictionary()) {
            pad(indent + 1);
            out += e.key;
            out += " = ";
            describe(e.value, out, indent + 1);
            out += ";\n";
        }
        pad(indent);
        out += '}';
        return;
    }
    }
}
} // namespace

std::string Value::description() const {
    std::string out;
    describe(*this, out, 0);
    return out;
}

const std::string& Value::stringOr(const std::string& fallback) const {
    const std::string* s = getString();
    return s ? *s : fallback;
}

const Array& Value::arrayOrEmpty() const {
    static const Array& kEmpty = *new Array;
    const Array* a = getArray();
    return a ? *a : kEmpty;
}

const Dictionary& Value::dictionaryOrEmpty() const {
    static const Dictionary& kEmpty = *new Dictionary;
    const Dictionary* d = getDictionary();
    return d ? *d : kEmpty;
}

const Value& Value::operator[](std::string_view key) const {
    const Dictionary* d = getDictionary();
    return d ? (*d)[key] : null();
}

const Value& Value::operator[](std::size_t index) const {
    const Array* a = getArray();
    return a && index < a->size() ? (*a)[index] : null();
}

bool operator==(const Value& a, const Value& b) {
    return a.m_data == b.m_data;
}

} // namespace platform
