#include "platform/Keychain.h"

#include "platform/AppFolders.h"
#include "platform/Clock.h"
#include "platform/FileLock.h"
#include "platform/PrivateFile.h"
#include "platform/PropertyList.h"

#include <mutex>
#include <optional>

namespace platform {

namespace {
constexpr const char* kItemsKey = "items";
constexpr const char* kVersionKey = "version";

bool startsWith(const std::string& s, std::string_view prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

bool isStringAttribute(const std::string& key) {
    return key == kSecAttrAccount || key == kSecAttrService || key == kSecAttrLabel || key == kSecAttrDescription ||
           key == kSecAttrComment || key == kSecAttrAccessible || key == kSecAttrAccessGroup;
}

bool truthOf(const Value& v) { return v.isBool() ? *v.getBool() : (v.isInteger() && *v.getInteger() != 0); }

enum class Use { Query, Add, Update };

// Checks the keys and value types of a dictionary for one use.
OSStatus validate(const Dictionary& d, Use use) {
    for (const auto& [key, value] : d) {
        if (key == kSecClass) {
            if (!value.isString())
                return errSecParam;
            if (*value.getString() != kSecClassGenericPassword)
                return errSecUnimplemented;
            if (use == Use::Update)
                return errSecParam;
        } else if (isStringAttribute(key)) {
            if (!value.isString())
                return errSecParam;
        } else if (key == kSecAttrGeneric) {
            if (!value.isBytes() && !value.isString())
                return errSecParam;
        } else if (key == kSecAttrSynchronizable) {
            bool any = value.isString() && *value.getString() == kSecAttrSynchronizableAny;
            if (!value.isBool() && !value.isInteger() && !(any && use == Use::Query))
                return errSecParam;
        } else if (key == kSecValueData) {
            if (!value.isBytes() && use != Use::Query)
                return errSecParam;
        } else if (key == kSecReturnData || key == kSecReturnAttributes) {
            if (use == Use::Update || (!value.isBool() && !value.isInteger()))
                return errSecParam;
        } else if (key == kSecMatchLimit) {
            bool named = value.isString() && (*value.getString() == kSecMatchLimitOne || *value.getString() == kSecMatchLimitAll);
            if (use != Use::Query || !(named || (value.isInteger() && *value.getInteger() > 0)))
                return errSecParam;
        } else if (key == kSecAttrCreationDate || key == kSecAttrModificationDate) {
            if (use != Use::Query || !value.isDate())
                return errSecParam;
        } else {
            return errSecParam;
        }
    }
    if (use != Use::Update && !d.contains(kSecClass))
        return errSecParam;
    return errSecSuccess;
}

bool matches(const Dictionary& item, const Dictionary& query) {
    for (const auto& [key, value] : query) {
        if (key == kSecClass || key == kSecValueData || startsWith(key, "r_") || startsWith(key, "m_"))
            continue;
        if (key == kSecAttrSynchronizable) {
            if (value.isString())
                continue;  // any
            if (truthOf(item[kSecAttrSynchronizable]) != truthOf(value))
                return false;
            continue;
        }
        if (!(item[key] == value))
            return false;
    }
    if (!query.contains(kSecAttrSynchronizable) && truthOf(item[kSecAttrSynchronizable]))
        return false;
    return true;
}

bool sameIdentity(const Dictionary& a, const Dictionary& b) {
    return a[kSecAttrAccount] == b[kSecAttrAccount] && a[kSecAttrService] == b[kSecAttrService] &&
           truthOf(a[kSecAttrSynchronizable]) == truthOf(b[kSecAttrSynchronizable]);
}

Value resultFor(const Dictionary& item, bool wantData, bool wantAttributes) {
    if (!wantAttributes)
        return item[kSecValueData].isBytes() ? item[kSecValueData] : Value();
    Dictionary out;
    for (const auto& [key, value] : item)
        if (key != kSecValueData || wantData)
            out.set(key, value);
    return out;
}

Date now() {
    return Clock::current().wallNow();
}

// The items of the file, read under the caller's lock.
struct Store {
    std::string path;
    Array items;

    OSStatus load() {
        auto data = PrivateFile::read(path, Keychain::kMaxFileBytes);
        if (!data)
            return errSecIO;
        if (!data->has_value())
            return errSecSuccess;
        auto root = PropertyList::read(std::string_view(reinterpret_cast<const char*>((*data)->data()), (*data)->size()));
        if (!root || !root->isDictionary() || !(*root)[kItemsKey].isArray())
            return errSecDecode;
        for (const Value& item : (*root)[kItemsKey].arrayOrEmpty())
            if (item.isDictionary())
                items.push_back(item);
        return errSecSuccess;
    }

    OSStatus save() const {
        Dictionary root{{kVersionKey, 1}, {kItemsKey, items}};
        auto text = PropertyList::write(Value(std::move(root)), PropertyList::Format::Binary);
        if (!text)
            return errSecIO;
        return PrivateFile::writeAtomically(path, Bytes(text->begin(), text->end())) ? errSecSuccess : errSecIO;
    }
};

// Locks the item file (creating its folder, so that the lock file can exist) and reads its items.
OSStatus lockAndLoad(Store& store, FileLock& lock, FileLock::Mode mode) {
    auto slash = store.path.rfind('/');
    if (slash != std::string::npos && slash > 0 && !PrivateFile::makeFolders(store.path.substr(0, slash)))
        return errSecIO;
    if (!lock.lock(store.path + ".lock", mode).ok())
        return errSecIO;
    return store.load();
}

// Serialises the calls of this process (flock does the same between processes).
std::mutex& processMutex() {
    static std::mutex m;
    return m;
}

// Runs `body` on the items of the file at `path()`, read under this process's mutex and the file's lock
// (shared to read, exclusive to change); a file that cannot be locked or read gives its status instead.
template <class Body>
OSStatus withStore(const std::function<std::string()>& path, FileLock::Mode mode, Body&& body) {
    std::lock_guard guard(processMutex());
    Store store{path(), {}};
    FileLock lock;
    if (OSStatus s = lockAndLoad(store, lock, mode))
        return s;
    return body(store);
}
} // namespace

Keychain& Keychain::shared() {
    static Keychain keychain{std::function<std::string()>([] { return AppFolders::current().library() + "/Keychains/keychain.plist"; })};
    return keychain;
}

Keychain::Keychain(std::string filePath) : m_filePath([path = std::move(filePath)] { return path; }) {}

Keychain::Keychain(std::function<std::string()> filePath) : m_filePath(std::move(filePath)) {}

OSStatus Keychain::copyMatching(const Dictionary& query, Value* result) {
    if (result)
        *result = Value();
    if (OSStatus s = validate(query, Use::Query))
        return s;
    return withStore(m_filePath, FileLock::Mode::Shared, [&](Store& store) -> OSStatus {
        bool wantData = truthOf(query[kSecReturnData]);
        bool wantAttributes = truthOf(query[kSecReturnAttributes]);
        const Value& limit = query[kSecMatchLimit];
        std::size_t max = 1;
        if (limit.isString() && *limit.getString() == kSecMatchLimitAll)
            max = SIZE_MAX;
        else if (limit.isInteger())
            max = static_cast<std::size_t>(*limit.getInteger());
        bool asArray = !limit.isNull() && !(limit.isString() && *limit.getString() == kSecMatchLimitOne);

        Array found;
        for (const Value& item : store.items) {
            if (found.size() >= max)
                break;
            if (matches(item.dictionaryOrEmpty(), query))
                found.push_back(resultFor(item.dictionaryOrEmpty(), wantData, wantAttributes));
        }
        if (found.empty())
            return errSecItemNotFound;
        if (result && (wantData || wantAttributes))
            *result = asArray ? Value(std::move(found)) : std::move(found.front());
        return errSecSuccess;
    });
}

OSStatus Keychain::add(const Dictionary& attributes, Value* result) {
    if (result)
        *result = Value();
    if (OSStatus s = validate(attributes, Use::Add))
        return s;
    if (attributes.contains(kSecMatchLimit))
        return errSecParam;
    return withStore(m_filePath, FileLock::Mode::Exclusive, [&](Store& store) -> OSStatus {
        Dictionary item;
        for (const auto& [key, value] : attributes)
            if (!startsWith(key, "r_"))
                item.set(key, key == kSecAttrSynchronizable ? Value(truthOf(value)) : value);
        if (!item.contains(kSecAttrSynchronizable))
            item.set(kSecAttrSynchronizable, false);
        Date stamp = now();
        item.set(kSecAttrCreationDate, stamp);
        item.set(kSecAttrModificationDate, stamp);
        for (const Value& existing : store.items)
            if (sameIdentity(existing.dictionaryOrEmpty(), item))
                return errSecDuplicateItem;
        store.items.push_back(item);
        if (OSStatus s = store.save())
            return s;
        if (result)
            *result = resultFor(item, truthOf(attributes[kSecReturnData]), truthOf(attributes[kSecReturnAttributes]));
        return errSecSuccess;
    });
}

OSStatus Keychain::update(const Dictionary& query, const Dictionary& attributesToUpdate) {
    if (OSStatus s = validate(query, Use::Query))
        return s;
    if (OSStatus s = validate(attributesToUpdate, Use::Update))
        return s;
    return withStore(m_filePath, FileLock::Mode::Exclusive, [&](Store& store) -> OSStatus {
        Array changed = store.items;
        bool any = false;
        Date stamp = now();
        for (Value& item : changed) {
            Dictionary* d = item.getDictionary();
            if (!d || !matches(*d, query))
                continue;
            any = true;
            for (const auto& [key, value] : attributesToUpdate)
                d->set(key, key == kSecAttrSynchronizable ? Value(truthOf(value)) : value);
            d->set(kSecAttrModificationDate, stamp);
        }
        if (!any)
            return errSecItemNotFound;
        for (std::size_t i = 0; i < changed.size(); ++i)
            for (std::size_t j = i + 1; j < changed.size(); ++j)
                if (sameIdentity(changed[i].dictionaryOrEmpty(), changed[j].dictionaryOrEmpty()))
                    return errSecDuplicateItem;
        store.items = std::move(changed);
        return store.save();
    });
}

OSStatus Keychain::deleteItems(const Dictionary& query) {
    if (OSStatus s = validate(query, Use::Query))
        return s;
    return withStore(m_filePath, FileLock::Mode::Exclusive, [&](Store& store) -> OSStatus {
        Array kept;
        for (Value& item : store.items)
            if (!matches(item.dictionaryOrEmpty(), query))
                kept.push_back(std::move(item));
        if (kept.size() == store.items.size())
            return errSecItemNotFound;
        store.items = std::move(kept);
        return store.save();
    });
}

} // namespace platform
