#include "platform/formats/KeyedArchiver.h"

#include "platform/formats/PropertyList.h"

#include <algorithm>
#include <string>
#include <utility>

namespace platform {

namespace {

constexpr const char* kArchiverKey = "$archiver";
constexpr const char* kArchiverName = "KeyedArchiver";
constexpr const char* kVersionKey = "$version";
constexpr std::int64_t kVersion = 1;
constexpr const char* kTopKey = "$top";
constexpr const char* kNullKey = "$null";
constexpr const char* kDictionaryKey = "$dict";
constexpr const char* kSetKey = "$set";
constexpr const char* kClassKey = "$class";
constexpr const char* kFieldsKey = "$fields";

Error archiveError(long long code, std::string description) {
    return Error(kKeyedArchiveErrorDomain, code, std::move(description));
}

Error tooDeep() {
    return archiveError(KeyedArchiver::kTooDeep,
                        "The archive nests deeper than " + std::to_string(KeyedArchiver::kMaxDepth) + " levels.");
}

// ---- writing: archive values to property-list nodes ----

Result<Value> toNode(const ArchiveValue& value, int depth);

Result<Dictionary> toNodes(const ArchiveDictionary& entries, int depth) {
    Dictionary nodes;
    for (const auto& entry : entries) {
        auto node = toNode(entry.value, depth + 1);
        if (!node)
            return node.error();
        nodes.set(entry.key, std::move(node).value());
    }
    return nodes;
}

template <class Items>
Result<Array> toNodeArray(const Items& items, int depth) {
    Array nodes;
    nodes.reserve(items.size());
    for (const auto& item : items) {
        auto node = toNode(item, depth + 1);
        if (!node)
            return node.error();
        nodes.push_back(std::move(node).value());
    }
    return nodes;
}

Result<Value> toNode(const ArchiveValue& value, int depth) {
    if (depth > KeyedArchiver::kMaxDepth)
        return tooDeep();
    switch (value.type()) {
    case ArchiveValue::Type::Null: return Value(Dictionary{{kNullKey, true}});
    case ArchiveValue::Type::Bool:
    case ArchiveValue::Type::Integer:
    case ArchiveValue::Type::Double:
    case ArchiveValue::Type::String:
    case ArchiveValue::Type::Bytes:
    case ArchiveValue::Type::Date: return *value.toValue();
    case ArchiveValue::Type::Array: {
        auto nodes = toNodeArray(*value.getArray(), depth);
        if (!nodes)
            return nodes.error();
        return Value(std::move(nodes).value());
    }
    case ArchiveValue::Type::Dictionary: {
        auto nodes = toNodes(*value.getDictionary(), depth);
        if (!nodes)
            return nodes.error();
        return Value(Dictionary{{kDictionaryKey, std::move(nodes).value()}});
    }
    case ArchiveValue::Type::Set: {
        auto nodes = toNodeArray(*value.getSet(), depth);
        if (!nodes)
            return nodes.error();
        return Value(Dictionary{{kSetKey, std::move(nodes).value()}});
    }
    case ArchiveValue::Type::Object: {
        auto object = value.object();
        KeyedArchiver coder;
        object->encodeWithCoder(coder);
        auto fields = toNodes(coder.fields(), depth);
        if (!fields)
            return fields.error();
        return Value(Dictionary{{kClassKey, object->archiveClassName()}, {kFieldsKey, std::move(fields).value()}});
    }
    }
    return archiveError(KeyedArchiver::kNotWritable, "Unknown value type.");
}

// ---- reading: property-list nodes to archive values ----

class Reader {
public:
    explicit Reader(std::vector<std::string>* droppedClassNames) : m_droppedClassNames(droppedClassNames) {}

    Result<ArchiveValue> read(const Value& node, int depth) {
        if (depth > KeyedArchiver::kMaxDepth)
            return tooDeep();
        switch (node.type()) {
        case Value::Type::Null: return corrupt("a null node");
        case Value::Type::Array: {
            ArchiveArray items;
            items.reserve(node.getArray()->size());
            for (const auto& child : *node.getArray()) {
                auto item = read(child, depth + 1);
                if (!item)
                    return item.error();
                items.push_back(std::move(item).value());
            }
            return ArchiveValue(std::move(items));
        }
        case Value::Type::Dictionary: return readTagged(*node.getDictionary(), depth);
        default: return ArchiveValue(node);
        }
    }

private:
    static Error corrupt(const std::string& what) {
        return archiveError(KeyedArchiver::kNotAnArchive, "The keyed archive is damaged: " + what + ".");
    }

    Result<ArchiveDictionary> readEntries(const Value& node, int depth) {
        const Dictionary* nodes = node.getDictionary();
        if (!nodes)
            return corrupt("entries that are not a dictionary");
        // Put in their sorted places in key order, each at the end: in the archive's order, every key
        // before the others would move them all.
        std::vector<const Dictionary::Entry*> sorted;
        sorted.reserve(nodes->size());
        for (const auto& entry : *nodes)
            sorted.push_back(&entry);
        std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->key < b->key; });
        ArchiveDictionary entries;
        for (const Dictionary::Entry* entry : sorted) {
            auto value = read(entry->value, depth + 1);
            if (!value)
                return value.error();
            entries.set(entry->key, std::move(value).value());
        }
        return entries;
    }

    Result<ArchiveValue> readTagged(const Dictionary& tagged, int depth) {
        if (tagged.size() == 1 && tagged[kNullKey] == Value(true))
            return ArchiveValue();
        if (tagged.size() == 1 && tagged.contains(kDictionaryKey)) {
            auto entries = readEntries(tagged[kDictionaryKey], depth);
            if (!entries)
                return entries.error();
            return ArchiveValue(std::move(entries).value());
        }
        if (tagged.size() == 1 && tagged.contains(kSetKey)) {
            const Array* nodes = tagged[kSetKey].getArray();
            if (!nodes)
                return corrupt("a set that is not an array");
            ArchiveSet items;
            for (const auto& child : *nodes) {
                auto item = read(child, depth + 1);
                if (!item)
                    return item.error();
                items.insert(std::move(item).value());
            }
            return ArchiveValue(std::move(items));
        }
        const std::string* className = tagged[kClassKey].getString();
        if (tagged.size() == 2 && className && tagged.contains(kFieldsKey)) {
            auto fields = readEntries(tagged[kFieldsKey], depth);
            if (!fields)
                return fields.error();
            return makeObject(*className, fields.value());
        }
        return corrupt("a dictionary node of no known form");
    }

    ArchiveValue makeObject(const std::string& className, const ArchiveDictionary& fields) {
        std::unique_ptr<KeyedArchivable> object = KeyedArchivableRegistry::shared().create(className, KeyedUnarchiver(fields));
        if (!object) {
            if (m_droppedClassNames)
                m_droppedClassNames->push_back(className);
            return ArchiveValue();
        }
        return ArchiveValue(std::shared_ptr<KeyedArchivable>(std::move(object)));
    }

    std::vector<std::string>* m_droppedClassNames;
};

} // namespace

Result<Bytes> KeyedArchiver::archivedData(const ArchiveValue& root) {
    auto top = toNode(root, 0);
    if (!top)
        return top.error();
    Value archive(Dictionary{{kArchiverKey, kArchiverName}, {kVersionKey, kVersion}, {kTopKey, std::move(top).value()}});
    auto written = PropertyList::write(archive, PropertyList::Format::Binary);
    if (!written)
        return archiveError(kNotWritable, written.error().localizedDescription());
    const std::string& text = written.value();
    return Bytes(text.begin(), text.end());
}

Result<std::size_t> KeyedArchiver::archivedLength(const ArchiveValue& root) {
    auto bytes = archivedData(root);
    if (!bytes)
        return bytes.error();
    return bytes->size();
}

Result<ArchiveValue> KeyedUnarchiver::unarchive(ByteSpan bytes, std::vector<std::string>* droppedClassNames) {
    auto archive =
        PropertyList::read(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
    if (!archive)
        return archiveError(KeyedArchiver::kNotAnArchive, archive.error().localizedDescription());
    const Value& root = archive.value();
    if (root[kArchiverKey] != Value(kArchiverName) || root[kVersionKey] != Value(kVersion) || !root.isDictionary()
        || root.getDictionary()->size() != 3 || !root.getDictionary()->contains(kTopKey))
        return archiveError(KeyedArchiver::kNotAnArchive, "The data is not a keyed archive.");
    return Reader(droppedClassNames).read(root[kTopKey], 0);
}

std::int64_t KeyedUnarchiver::decodeInt64(std::string_view key, std::int64_t fallback) const {
    const std::int64_t* value = m_fields[key].getInteger();
    return value ? *value : fallback;
}

double KeyedUnarchiver::decodeDouble(std::string_view key, double fallback) const {
    const ArchiveValue& value = m_fields[key];
    if (const double* d = value.getDouble())
        return *d;
    if (const std::int64_t* i = value.getInteger())
        return static_cast<double>(*i);
    return fallback;
}

bool KeyedUnarchiver::decodeBool(std::string_view key, bool fallback) const {
    const bool* value = m_fields[key].getBool();
    return value ? *value : fallback;
}

std::optional<std::string> KeyedUnarchiver::decodeString(std::string_view key) const {
    const std::string* value = m_fields[key].getString();
    return value ? std::optional<std::string>(*value) : std::nullopt;
}

} // namespace platform
