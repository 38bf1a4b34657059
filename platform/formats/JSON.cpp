#include "platform/formats/JSON.h"

#include "platform/text/TextEncoding.h"

#include <simdjson.h>

#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

namespace platform {

namespace {

namespace od = simdjson::ondemand;
using simdjson::error_code;

constexpr int kMaxDepth = 1024;
// The on-demand walker must stop before its parser's own depth limit, which it asserts rather than reports.
constexpr int kMaxOnDemandDepth = 1000;

// Reads the whole document into a Value; the first fault stops the walk and is kept with its place.
class Reader {
public:
    error_code readArray(od::array array, Value& out, int depth) {
        Array items;
        for (auto element : array) {
            od::value child;
            if (auto e = std::move(element).get(child))
                return e;
            Value item;
            if (auto e = readValue(child, item, depth))
                return e;
            items.push_back(std::move(item));
        }
        out = Value(std::move(items));
        return simdjson::SUCCESS;
    }

    error_code readObject(od::object object, Value& out, int depth) {
        Dictionary members;
        for (auto member : object) {
            od::field field;
            if (auto e = std::move(member).get(field))
                return e;
            std::string_view keyView;
            if (auto e = field.unescaped_key().get(keyView))
                return e;
            std::string key(keyView);
            Value item;
            if (auto e = readValue(field.value(), item, depth))
                return e;
            members.set(std::move(key), std::move(item));
        }
        out = Value(std::move(members));
        return simdjson::SUCCESS;
    }

    error_code readValue(od::value value, Value& out, int depth) {
        od::json_type type;
        if (auto e = value.type().get(type))
            return e;
        switch (type) {
        case od::json_type::array: {
            if (depth >= kMaxOnDemandDepth)
                return simdjson::DEPTH_ERROR;
            od::array array;
            if (auto e = value.get_array().get(array))
                return e;
            return readArray(array, out, depth + 1);
        }
        case od::json_type::object: {
            if (depth >= kMaxOnDemandDepth)
                return simdjson::DEPTH_ERROR;
            od::object object;
            if (auto e = value.get_object().get(object))
                return e;
            return readObject(object, out, depth + 1);
        }
        case od::json_type::number: return readNumber(value, out);
        case od::json_type::string: {
            std::string_view s;
            if (auto e = value.get_string().get(s))
                return e;
            out = Value(std::string(s));
            return simdjson::SUCCESS;
        }
        case od::json_type::boolean: {
            bool b = false;
            if (auto e = value.get_bool().get(b))
                return e;
            out = Value(b);
            return simdjson::SUCCESS;
        }
        case od::json_type::null: {
            bool isNull = false;
            if (auto e = value.is_null().get(isNull))
                return e;
            if (!isNull)
                return simdjson::N_ATOM_ERROR;
            out = Value();
            return simdjson::SUCCESS;
        }
        }
        return simdjson::TAPE_ERROR;
    }

    // Works for od::value and od::document (a bare number at the top).
    template <class Source>
    static error_code readNumber(Source& source, Value& out) {
        od::number number;
        if (source.get_number().get(number) == simdjson::SUCCESS) {
            switch (number.get_number_type()) {
            case od::number_type::signed_integer: out = Value(number.get_int64()); break;
            case od::number_type::unsigned_integer: out = Value(static_cast<double>(number.get_uint64())); break;
            case od::number_type::floating_point_number: out = Value(number.get_double()); break;
            }
            return simdjson::SUCCESS;
        }
        // Integers beyond 64 bits: read as a double.
        double d = 0;
        if (auto e = source.get_double().get(d))
            return e;
        out = Value(d);
        return simdjson::SUCCESS;
    }
};

} // namespace

namespace {

namespace dom = simdjson::dom;

// The fast road: a validated DOM, converted to values.
Value convert(dom::element element) {
    switch (element.type()) {
    case dom::element_type::ARRAY: {
        dom::array array = element.get_array().value_unsafe();
        Array items;
        items.reserve(array.size());
        for (dom::element child : array)
            items.push_back(convert(child));
        return Value(std::move(items));
    }
    case dom::element_type::OBJECT: {
        dom::object object = element.get_object().value_unsafe();
        Dictionary members;
        for (dom::key_value_pair member : object)
            members.set(std::string(member.key), convert(member.value));
        return Value(std::move(members));
    }
    case dom::element_type::INT64: return Value(element.get_int64().value_unsafe());
    case dom::element_type::UINT64: return Value(static_cast<double>(element.get_uint64().value_unsafe()));
    case dom::element_type::DOUBLE: return Value(element.get_double().value_unsafe());
    case dom::element_type::STRING: return Value(element.get_string().value_unsafe());
    case dom::element_type::BOOL: return Value(element.get_bool().value_unsafe());
    case dom::element_type::NULL_VALUE: return Value();
    }
    return Value();
}

struct ParserState {
    dom::parser domParser;
    od::parser onDemandParser;
    std::vector<char> buffer;
};

constexpr std::size_t kLargeText = 1 << 20;

ParserState& threadParser() {
    thread_local ParserState state;
    return state;
}

Error readError(std::string_view message, std::size_t offset) {
    Error error(kCocoaErrorDomain, JSON::kReadCorruptError,
                std::string(message) + " around character " + std::to_string(offset) + ".");
    error.userInfo.set(kJSONErrorIndexKey, Value(static_cast<std::int64_t>(offset)));
    return error;
}

const char* kNotAContainer = "JSON text did not start with array or object and option to allow fragments not set";

// The slow road, taken only when the DOM rejected the text: walks it on demand, which reads integers
// beyond 64 bits as doubles and knows where a fault is. Gives the value, or the error and its offset.
struct SlowResult {
    error_code error = simdjson::SUCCESS;
    std::size_t offset = 0;
    Value value;
};

SlowResult readOnDemand(ParserState& state, simdjson::padded_string_view view, JSON::ReadMode mode) {
    SlowResult result;
    result.offset = view.size();
    od::document document;
    if (auto e = state.onDemandParser.iterate(view).get(document)) {
        result.error = e;
        return result;
    }
    auto locate = [&](error_code e) {
        result.error = e;
        const char* where = nullptr;
        if (document.current_location().get(where) == simdjson::SUCCESS && where >= view.data()
            && where <= view.data() + view.size())
            result.offset = static_cast<std::size_t>(where - view.data());
        return result;
    };
    Reader reader;
    od::json_type type;
    if (auto e = document.type().get(type))
        return locate(e);
    error_code e = simdjson::SUCCESS;
    switch (type) {
    case od::json_type::array: {
        od::array array;
        e = document.get_array().get(array);
        if (!e)
            e = reader.readArray(array, result.value, 1);
        break;
    }
    case od::json_type::object: {
        od::object object;
        e = document.get_object().get(object);
        if (!e)
            e = reader.readObject(object, result.value, 1);
        break;
    }
    default:
        if (mode != JSON::ReadMode::Fragment) {
            result.error = simdjson::TAPE_ERROR;
            result.offset = 0;
            return result;
        }
        // A bare scalar the DOM refused can only be a number it could not hold.
        if (type != od::json_type::number)
            return locate(simdjson::TAPE_ERROR);
        e = Reader::readNumber(document, result.value);
        break;
    }
    if (e)
        return locate(e);
    const char* rest = nullptr;
    if (document.current_location().get(rest) == simdjson::SUCCESS)
        return locate(simdjson::TRAILING_CONTENT);
    return result;
}

} // namespace

Result<Value> JSON::parse(std::string_view text, ReadMode mode) {
    // Large texts get parsers of their own, so that no thread keeps their buffers afterwards.
    std::unique_ptr<ParserState> ownState;
    if (text.size() > kLargeText)
        ownState = std::make_unique<ParserState>();
    ParserState& state = ownState ? *ownState : threadParser();
    std::size_t needed = text.size() + simdjson::SIMDJSON_PADDING;
    if (state.buffer.size() < needed)
        state.buffer.resize(needed);
    if (!text.empty())
        std::memcpy(state.buffer.data(), text.data(), text.size());
    std::memset(state.buffer.data() + text.size(), 0, simdjson::SIMDJSON_PADDING);

    dom::element root;
    error_code e = state.domParser.parse(state.buffer.data(), text.size(), false).get(root);
    if (!e) {
        if (mode != ReadMode::Fragment && !root.is_array() && !root.is_object())
            return readError(kNotAContainer, 0);
        return convert(root);
    }
    if (e == simdjson::CAPACITY || e == simdjson::MEMALLOC)
        return readError(simdjson::error_message(e), 0);

    simdjson::padded_string_view view(state.buffer.data(), text.size(), state.buffer.size());
    SlowResult slow = readOnDemand(state, view, mode);
    bool numberFault = e == simdjson::NUMBER_ERROR;
    if (!slow.error && numberFault)
        return std::move(slow.value);
    if (slow.error == simdjson::TAPE_ERROR && slow.offset == 0 && mode != ReadMode::Fragment)
        return readError(kNotAContainer, 0);
    return readError(simdjson::error_message(e), slow.offset);
}

// ---- Writing ----

namespace {

// 0: copied as is; 1: escaped; 2: first byte of a multi-byte sequence (checked).
constexpr std::array<std::uint8_t, 256> makeClasses() {
    std::array<std::uint8_t, 256> c{};
    for (int i = 0; i < 0x20; ++i)
        c[static_cast<std::size_t>(i)] = 1;
    c['"'] = 1;
    c['\\'] = 1;
    c['/'] = 1;
    for (int i = 0x80; i < 0x100; ++i)
        c[static_cast<std::size_t>(i)] = 2;
    return c;
}
constexpr std::array<std::uint8_t, 256> kClasses = makeClasses();

void appendDouble(std::string& out, double d) {
    // "-0" would read back as the integer 0; with a fraction it reads back as the double.
    if (d == 0 && std::signbit(d)) {
        out += "-0.0";
        return;
    }
    char buf[32];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, d);
    (void)ec;
    out.append(buf, end);
}

void appendInteger(std::string& out, std::int64_t i) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, i);
    (void)ec;
    out.append(buf, end);
}

const char* typeName(const Value& v) {
    switch (v.type()) {
    case Value::Type::Bytes: return "data";
    case Value::Type::Date: return "date";
    default: return "number";
    }
}

class Writer {
public:
    Writer(std::string& out, bool pretty) : m_out(out), m_pretty(pretty) {}

    bool write(const Value& v, int depth) {
        switch (v.type()) {
        case Value::Type::Null: m_out += "null"; return true;
        case Value::Type::Bool: m_out += *v.getBool() ? "true" : "false"; return true;
        case Value::Type::Integer: appendInteger(m_out, *v.getInteger()); return true;
        case Value::Type::UnsignedInteger: m_out += std::to_string(*v.getUnsignedInteger()); return true;
        case Value::Type::Double:
            if (!std::isfinite(*v.getDouble()))
                return fail(v, "Invalid number value (NaN or infinity) in JSON write");
            appendDouble(m_out, *v.getDouble());
            return true;
        case Value::Type::String: JSON::appendQuoted(m_out, *v.getString()); return true;
        case Value::Type::Bytes:
        case Value::Type::Date: return fail(v, std::string("Invalid type in JSON write (") + typeName(v) + ")");
        case Value::Type::Array: {
            if (depth >= kMaxDepth)
                return fail(v, "Nesting too deep in JSON write");
            const Array& a = *v.getArray();
            if (a.empty()) {
                m_out += "[]";
                return true;
            }
            m_out += '[';
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (i)
                    m_out += ',';
                newline(depth + 1);
                if (!write(a[i], depth + 1))
                    return false;
            }
            newline(depth);
            m_out += ']';
            return true;
        }
        case Value::Type::Dictionary: {
            if (depth >= kMaxDepth)
                return fail(v, "Nesting too deep in JSON write");
            const Dictionary& d = *v.getDictionary();
            if (d.empty()) {
                m_out += "{}";
                return true;
            }
            m_out += '{';
            bool first = true;
            for (const auto& entry : d) {
                if (!first)
                    m_out += ',';
                first = false;
                newline(depth + 1);
                JSON::appendQuoted(m_out, entry.key);
                m_out += m_pretty ? " : " : ":";
                if (!write(entry.value, depth + 1))
                    return false;
            }
            newline(depth);
            m_out += '}';
            return true;
        }
        }
        return false;
    }

    Error error() const { return m_error; }

private:
    void newline(int depth) {
        if (!m_pretty)
            return;
        m_out += '\n';
        m_out.append(static_cast<std::size_t>(depth) * 2, ' ');
    }

    bool fail(const Value&, std::string message) {
        m_error = Error(kCocoaErrorDomain, JSON::kWriteInvalidError, std::move(message));
        return false;
    }

    std::string& m_out;
    bool m_pretty;
    Error m_error;
};

} // namespace

void JSON::appendQuoted(std::string& out, std::string_view text) {
    static const char* const kHex = "0123456789abcdef";
    out.reserve(out.size() + text.size() + 2);
    out += '"';
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t n = text.size();
    std::size_t runStart = 0;
    std::size_t i = 0;
    while (i < n) {
        std::uint8_t cls = kClasses[p[i]];
        if (cls == 0) {
            ++i;
            continue;
        }
        if (cls == 2) {
            std::uint32_t codePoint = 0;
            std::size_t len = utf8SequenceLength(p + i, n - i, codePoint);
            if (len != 0 && codePoint != 0x2028 && codePoint != 0x2029) {
                i += len;
                continue;
            }
            out.append(text.data() + runStart, i - runStart);
            if (len == 0) {
                out += "\\ufffd";
                i += 1;
            } else {
                out += codePoint == 0x2028 ? "\\u2028" : "\\u2029";
                i += len;
            }
            runStart = i;
            continue;
        }
        out.append(text.data() + runStart, i - runStart);
        unsigned char c = p[i];
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '/': out += "\\/"; break;
        case '\b': out += "\\b"; break;
        case '\f': out += "\\f"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default: {
            char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 15]};
            out.append(esc, 6);
        }
        }
        ++i;
        runStart = i;
    }
    out.append(text.data() + runStart, n - runStart);
    out += '"';
}

Result<std::string> JSON::write(const Value& value, WriteStyle style) {
    std::string out;
    if (Status written = append(out, value, style); !written)
        return written.error();
    return out;
}

Status JSON::append(std::string& out, const Value& value, WriteStyle style) {
    const std::size_t before = out.size();
    Writer writer(out, style == WriteStyle::Pretty);
    if (!writer.write(value, 0)) {
        out.resize(before);
        return writer.error();
    }
    return {};
}

} // namespace platform
