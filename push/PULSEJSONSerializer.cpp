#include "push/PULSEJSONSerializer.h"

#include "platform/text/TextEncoding.h"

#include <atomic>
#include <cctype>
#include <cstdint>
#include <map>
#include <mutex>
#include <utility>

namespace push {

using platform::ArchiveValue;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kClassName = "className";
constexpr const char* kHasCustomObject = "hasCustomObject";
constexpr const char* kDictionaryObject = "dictionaryObject";
constexpr const char* kArrayObject = "arrayObject";
constexpr const char* kSetObject = "setObject";
constexpr const char* kDataObject = "dataObject";
constexpr const char* kNumberObject = "numberObject";
constexpr const char* kStringObject = "stringObject";
constexpr const char* kNumberPropertyTypes = "numberProperyTypes";
// The class name dates are written under (no registered class reads it).
constexpr const char* kDateClassName = "Date";

std::atomic<PULSEDataEncoding> g_dataEncoding{PULSEDataEncoding::ISOLatin1};

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<const PULSEJSONClass>, std::less<>> classes;
};

Registry& registry() {
    static auto* shared = new Registry; // used until exit
    return *shared;
}

std::shared_ptr<const PULSEJSONClass> lookUpClass(const std::string& name) {
    auto& shared = registry();
    std::lock_guard lock(shared.mutex);
    auto it = shared.classes.find(name);
    return it == shared.classes.end() ? nullptr : it->second;
}

// ---- bytes as text ----

std::optional<std::string> textOfBytes(const platform::Bytes& bytes, PULSEDataEncoding encoding) {
    std::string_view view(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    if (encoding == PULSEDataEncoding::ISOLatin1)
        return platform::decodeISOLatin1(view);
    return platform::decodeUTF8(view);
}

std::optional<platform::Bytes> bytesOfText(const std::string& text, PULSEDataEncoding encoding) {
    if (encoding == PULSEDataEncoding::UTF8) {
        if (!platform::isValidUTF8(text))
            return std::nullopt;
        return platform::Bytes(text.begin(), text.end());
    }
    platform::Bytes bytes;
    bytes.reserve(text.size());
    const auto* p = reinterpret_cast<const unsigned char*>(text.data());
    std::size_t left = text.size();
    while (left > 0) {
        std::uint32_t codePoint = 0;
        std::size_t length = platform::utf8SequenceLength(p, left, codePoint);
        if (length == 0 || codePoint > 0xFF)
            return std::nullopt; // a character ISO 8859-1 does not have
        bytes.push_back(static_cast<std::uint8_t>(codePoint));
        p += length;
        left -= length;
    }
    return bytes;
}

// ---- encoding ----

class Encoder {
public:
    explicit Encoder(PULSEDataEncoding encoding) : m_encoding(encoding) {}

    platform::Result<Value> topLevel(const ArchiveValue& object) {
        Value result = topLevelForm(object);
        if (m_tooDeep)
            return platform::Error(kPULSEJSONSerializerErrorDomain, PULSEJSONSerializer::kTooDeepError,
                                   "The object graph nests deeper than " + std::to_string(PULSEJSONSerializer::kMaxDepth)
                                       + " levels (a cycle?).");
        if (object.isBytes() && result.isNull())
            return platform::Error(kPULSEJSONSerializerErrorDomain, PULSEJSONSerializer::kUnwritableDataError,
                                   "The data cannot be written as text in the data encoding.");
        if (result.isNull())
            return result;
        result.getDictionary()->set(kNumberPropertyTypes, m_numberTypes);
        return result;
    }

private:
    struct Form {
        std::optional<Value> value; // nothing: left out
        bool custom = false;
    };

    Value topLevelForm(const ArchiveValue& object) {
        switch (object.type()) {
        case ArchiveValue::Type::Null: return Value();
        case ArchiveValue::Type::Bool:
        case ArchiveValue::Type::Integer:
        case ArchiveValue::Type::Double: return Value(Dictionary{{kHasCustomObject, 0}, {kNumberObject, *object.toValue()}});
        case ArchiveValue::Type::String: return Value(Dictionary{{kHasCustomObject, 0}, {kStringObject, *object.getString()}});
        case ArchiveValue::Type::Bytes:
        case ArchiveValue::Type::Set: return form(object, 0).value.value_or(Value());
        case ArchiveValue::Type::Array:
        case ArchiveValue::Type::Dictionary: {
            // Always wrapped, so that the decoder gives the container back.
            Form inner = form(object, 0);
            if (inner.custom)
                return inner.value.value_or(Value(Dictionary{}));
            return Value(Dictionary{{object.isArray() ? kArrayObject : kDictionaryObject, inner.value.value_or(Value())}});
        }
        case ArchiveValue::Type::Date:
        case ArchiveValue::Type::Object: {
            Value result = customObject(object, 0);
            Dictionary* members = result.getDictionary();
            for (const auto& entry : m_superclassProperties) {
                if (members && !members->contains(entry.key))
                    members->set(entry.key, entry.value);
            }
            return result;
        }
        }
        return Value();
    }

    template <class Items>
    std::pair<platform::Array, bool> itemForms(const Items& items, int depth) {
        platform::Array forms;
        bool custom = false;
        for (const auto& item : items) {
            Form f = form(item, depth + 1);
            custom = custom || f.custom;
            if (f.value)
                forms.push_back(std::move(*f.value));
        }
        return {std::move(forms), custom};
    }

    Form form(const ArchiveValue& value, int depth) {
        if (depth > PULSEJSONSerializer::kMaxDepth) {
            m_tooDeep = true;
            return {};
        }
        switch (value.type()) {
        case ArchiveValue::Type::Null: return {};
        case ArchiveValue::Type::Bool:
        case ArchiveValue::Type::Integer:
        case ArchiveValue::Type::Double:
        case ArchiveValue::Type::String: return {value.toValue(), false};
        case ArchiveValue::Type::Array: {
            auto [forms, custom] = itemForms(*value.getArray(), depth);
            if (!custom)
                return {Value(std::move(forms)), false};
            return {Value(Dictionary{{kHasCustomObject, true}, {kArrayObject, std::move(forms)}}), true};
        }
        case ArchiveValue::Type::Dictionary: {
            Dictionary members;
            bool custom = false;
            for (const auto& entry : *value.getDictionary()) {
                Form f = form(entry.value, depth + 1);
                custom = custom || f.custom;
                if (f.value)
                    members.set(entry.key, std::move(*f.value));
            }
            if (!custom)
                return {Value(std::move(members)), false};
            return {Value(Dictionary{{kHasCustomObject, true}, {kDictionaryObject, std::move(members)}}), true};
        }
        case ArchiveValue::Type::Set: {
            auto [forms, custom] = itemForms(*value.getSet(), depth);
            return {Value(Dictionary{{kHasCustomObject, custom}, {kSetObject, std::move(forms)}}), true};
        }
        case ArchiveValue::Type::Bytes: {
            auto text = textOfBytes(*value.getBytes(), m_encoding);
            if (!text)
                return {};
            return {Value(Dictionary{{kHasCustomObject, 0}, {kDataObject, std::move(*text)}}), true};
        }
        case ArchiveValue::Type::Date:
        case ArchiveValue::Type::Object: return {customObject(value, depth), true};
        }
        return {};
    }

    Value customObject(const ArchiveValue& value, int depth) {
        auto object = value.object();
        Dictionary members{{kClassName, object ? object->archiveClassName() : std::string(kDateClassName)}};
        auto cls = object ? lookUpClass(object->archiveClassName()) : nullptr;
        if (!cls)
            return Value(std::move(members));
        for (const auto& property : cls->properties) {
            Form f = form(property.get ? property.get(*object) : ArchiveValue(), depth + 1);
            if (f.value)
                members.set(property.name, std::move(*f.value));
        }
        walkSuperclass(cls->superclassName, *object, depth + 1);
        return Value(std::move(members));
    }

    // Collects the inherited properties of every object in the graph; only the top level merges them.
    void walkSuperclass(const std::string& name, const platform::KeyedArchivable& object, int depth) {
        for (auto cls = lookUpClass(name); cls; cls = lookUpClass(cls->superclassName)) {
            if (++depth > PULSEJSONSerializer::kMaxDepth) {
                m_tooDeep = true; // a registry whose superclasses form a loop
                return;
            }
            for (const auto& property : cls->properties) {
                if (property.name == kClassName)
                    continue;
                Form f = form(property.get ? property.get(object) : ArchiveValue(), depth + 1);
                if (f.value)
                    m_superclassProperties.set(property.name, std::move(*f.value));
                else
                    m_superclassProperties.remove(property.name);
            }
        }
    }

    PULSEDataEncoding m_encoding;
    Dictionary m_numberTypes;
    Dictionary m_superclassProperties;
    bool m_tooDeep = false;
};

// ---- decoding ----

// The number converted as the typed setter of the type code receives it; other codes pass it on.
ArchiveValue numberOfType(const Value& number, const std::string& code) {
    const std::int64_t n = number.integerValue();
    if (code == "C") return ArchiveValue(static_cast<std::uint8_t>(n));
    if (code == "S") return ArchiveValue(static_cast<std::uint16_t>(n));
    if (code == "I") return ArchiveValue(static_cast<std::uint32_t>(n));
    if (code == "Q") return ArchiveValue(static_cast<unsigned long long>(n));
    if (code == "c") return ArchiveValue(static_cast<std::int8_t>(n));
    if (code == "s") return ArchiveValue(static_cast<std::int16_t>(n));
    if (code == "i") return ArchiveValue(static_cast<std::int32_t>(n));
    if (code == "q") return ArchiveValue(static_cast<long long>(n));
    return ArchiveValue(number);
}

bool isNumber(const Value& value) {
    return value.isNumber() || value.isBool();
}

class Decoder {
public:
    Decoder(const Value& json, PULSEDataEncoding encoding)
        : m_numberTypes(json[kNumberPropertyTypes].dictionaryOrEmpty()), m_encoding(encoding) {}

    ArchiveValue decode(const Value& value, int depth) {
        if (depth > PULSEJSONSerializer::kMaxDepth)
            return {};
        switch (value.type()) {
        case Value::Type::Null: return {};
        case Value::Type::Dictionary: return decodeObject(*value.getDictionary(), depth);
        default: return ArchiveValue(value);
        }
    }

private:
    ArchiveValue decodeObject(const Dictionary& object, int depth) {
        const Value& className = object[kClassName];
        if (className.isString() && !className.getString()->empty())
            return decodeCustomObject(*className.getString(), object, depth);
        const bool hasCustomObject = object.contains(kHasCustomObject);
        if (const Value* inner = object.find(kDictionaryObject)) {
            if (!inner->isDictionary())
                return {};
            if (!hasCustomObject)
                return ArchiveValue(*inner);
            std::vector<std::pair<std::string, ArchiveValue>> decoded;
            decoded.reserve(inner->getDictionary()->size());
            for (const auto& entry : *inner->getDictionary()) {
                ArchiveValue member = decode(entry.value, depth + 1);
                if (!member.isNull())
                    decoded.emplace_back(entry.key, std::move(member));
            }
            platform::ArchiveDictionary members;
            members.setAll(std::move(decoded));
            return members;
        }
        if (const Value* inner = object.find(kArrayObject)) {
            if (!inner->isArray())
                return {};
            if (!hasCustomObject)
                return ArchiveValue(*inner);
            platform::ArchiveArray items;
            for (const auto& item : *inner->getArray()) {
                ArchiveValue decoded = decode(item, depth + 1);
                if (!decoded.isNull())
                    items.push_back(std::move(decoded));
            }
            return items;
        }
        if (const Value* inner = object.find(kSetObject)) {
            if (!inner->isArray())
                return {};
            const bool decodeItems = object[kHasCustomObject].boolValue();
            platform::ArchiveSet items;
            for (const auto& item : *inner->getArray()) {
                ArchiveValue decoded = decodeItems ? decode(item, depth + 1) : ArchiveValue(item);
                if (!decoded.isNull())
                    items.insert(std::move(decoded));
            }
            return items;
        }
        if (const Value* inner = object.find(kDataObject)) {
            const std::string* text = inner->getString();
            auto bytes = text ? bytesOfText(*text, m_encoding) : std::nullopt;
            return bytes ? ArchiveValue(std::move(*bytes)) : ArchiveValue();
        }
        if (const Value* inner = object.find(kNumberObject))
            return ArchiveValue(*inner);
        if (const Value* inner = object.find(kStringObject))
            return ArchiveValue(*inner);
        return {};
    }

    ArchiveValue decodeCustomObject(const std::string& className, const Dictionary& members, int depth) {
        auto cls = lookUpClass(className);
        if (!cls || !cls->make)
            return {};
        std::shared_ptr<platform::KeyedArchivable> object = cls->make();
        if (!object)
            return {};
        for (const auto& entry : members) {
            if (entry.key == kClassName || entry.key == kHasCustomObject || entry.value.isNull())
                continue;
            const PULSEJSONProperty* property = settableProperty(*cls, entry.key);
            if (!property)
                continue;
            const std::string* typeCode = m_numberTypes[entry.key].getString();
            if (typeCode && isNumber(entry.value)) {
                property->set(*object, numberOfType(entry.value, *typeCode));
                continue;
            }
            ArchiveValue decoded = decode(entry.value, depth + 1);
            if (!decoded.isNull())
                property->set(*object, decoded);
        }
        return ArchiveValue(std::move(object));
    }

    // The property of that name with a setter, in the class or its superclasses.
    static const PULSEJSONProperty* settableProperty(const PULSEJSONClass& start, const std::string& name) {
        std::shared_ptr<const PULSEJSONClass> held;
        const PULSEJSONClass* cls = &start;
        for (int depth = 0; cls && depth <= PULSEJSONSerializer::kMaxDepth; ++depth) {
            for (const auto& property : cls->properties) {
                if (property.name == name && property.set)
                    return &property;
            }
            held = lookUpClass(cls->superclassName);
            cls = held.get();
        }
        return nullptr;
    }

    Dictionary m_numberTypes;
    PULSEDataEncoding m_encoding;
};

} // namespace

void PULSEJSONSerializer::registerClass(PULSEJSONClass cls) {
    auto& shared = registry();
    std::lock_guard lock(shared.mutex);
    std::string name = cls.name;
    shared.classes[name] = std::make_shared<const PULSEJSONClass>(std::move(cls));
}

void PULSEJSONSerializer::unregisterClass(const std::string& name) {
    auto& shared = registry();
    std::lock_guard lock(shared.mutex);
    auto it = shared.classes.find(name);
    if (it != shared.classes.end())
        shared.classes.erase(it);
}

platform::Result<Value> PULSEJSONSerializer::getJSONDataFromObject(const ArchiveValue& object) {
    return Encoder(dataEncoding()).topLevel(object);
}

ArchiveValue PULSEJSONSerializer::getObjectFromJSON(const Value& json) {
    if (!json.isDictionary())
        return {};
    return Decoder(json, dataEncoding()).decode(json, 0);
}

platform::Result<Value> PULSEJSONSerializer::getJSONDataFromObject(const ArchiveValue& object,
                                                                   PULSEDataEncoding encoding) {
    setDataEncoding(encoding);
    return getJSONDataFromObject(object);
}

ArchiveValue PULSEJSONSerializer::getObjectFromJSON(const Value& json, PULSEDataEncoding encoding) {
    setDataEncoding(encoding);
    return getObjectFromJSON(json);
}

PULSEDataEncoding PULSEJSONSerializer::dataEncoding() {
    return g_dataEncoding.load();
}

void PULSEJSONSerializer::setDataEncoding(PULSEDataEncoding encoding) {
    g_dataEncoding.store(encoding);
}

} // namespace push
