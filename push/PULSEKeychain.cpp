#include "push/PULSEKeychain.h"

#include "push/PULSELogging.h"

#include "platform/formats/PropertyList.h"
#include "platform/text/TextEncoding.h"

#include <array>
#include <utility>

namespace push {

namespace {

constexpr std::array<const char*, PULSEKeychain::kAccessibilityCodeCount> kAccessibilityValues = {
    platform::kSecAttrAccessibleWhenUnlocked,
    platform::kSecAttrAccessibleAfterFirstUnlock,
    platform::kSecAttrAccessibleAlways,
    platform::kSecAttrAccessibleWhenUnlockedThisDeviceOnly,
    platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly,
    platform::kSecAttrAccessibleAlwaysThisDeviceOnly,
};

std::string_view textOf(const platform::Bytes& bytes) {
    return {reinterpret_cast<const char*>(bytes.data()), bytes.size()};
}

bool isBinaryPropertyList(std::string_view bytes) {
    platform::PropertyList::Format format = platform::PropertyList::Format::XML;
    return platform::PropertyList::read(bytes, &format).ok() && format == platform::PropertyList::Format::Binary;
}

std::optional<platform::Bytes> binaryPropertyList(const platform::Value& value) {
    auto written = platform::PropertyList::write(value, platform::PropertyList::Format::Binary);
    if (!written)
        return std::nullopt;
    return platform::Bytes(written->begin(), written->end());
}

// The item data of a value; nothing for a null value or one that is not a property list.
std::optional<platform::Bytes> itemData(const platform::ArchiveValue& value) {
    if (const std::string* text = value.getString(); text && !isBinaryPropertyList(*text))
        return platform::Bytes(text->begin(), text->end());
    auto plain = value.toValue();
    if (!plain || plain->isNull())
        return std::nullopt;
    return binaryPropertyList(*plain);
}

} // namespace

PULSEKeychain::PULSEKeychain(std::string service, std::string accessGroup, std::int64_t accessibility,
                             platform::Keychain& keychain)
    : m_service(std::move(service)), m_accessGroup(std::move(accessGroup)), m_accessibility(accessibility),
      m_keychain(keychain) {}

platform::Dictionary PULSEKeychain::itemQuery(const std::string& key) const {
    platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword},
                               {platform::kSecAttrAccount, key}};
    if (!m_service.empty())
        query.set(platform::kSecAttrService, m_service);
    if (!m_accessGroup.empty())
        query.set(platform::kSecAttrAccessGroup, m_accessGroup);
    return query;
}

std::optional<platform::Bytes> PULSEKeychain::dataForKey(const std::string& key) const {
    platform::Dictionary query = itemQuery(key);
    query.set(platform::kSecMatchLimit, platform::kSecMatchLimitOne);
    query.set(platform::kSecReturnData, true);
    platform::Value result;
    const platform::OSStatus status = m_keychain.copyMatching(query, &result);
    if (status != platform::errSecSuccess) {
        if (status != platform::errSecItemNotFound)
            PULSE_LOG_ERROR("PULSEKeychain failed to retrieve data for key '%s', error: %ld", key.c_str(),
                            static_cast<long>(status));
        return std::nullopt;
    }
    if (const platform::Bytes* bytes = result.getBytes())
        return *bytes;
    return std::nullopt;
}

platform::ArchiveValue PULSEKeychain::objectForKey(const std::string& key) const {
    auto data = dataForKey(key);
    if (!data)
        return {};
    platform::PropertyList::Format format = platform::PropertyList::Format::Binary;
    auto parsed = platform::PropertyList::read(textOf(*data), &format);
    const std::string parseError = parsed ? "(null)" : parsed.error().localizedDescription();
    if (parsed && parsed->isDictionary() && parsed->getDictionary()->contains("$archiver")) {
        // Keyed archives of objects are not read back here.
        PULSE_LOG_ERROR("PULSEKeychain failed to decode data for key '%s', error: %s", key.c_str(), parseError.c_str());
        return {};
    }
    if (parsed && format == platform::PropertyList::Format::Binary)
        return platform::ArchiveValue(parsed.value());
    auto text = platform::decodeUTF8(textOf(*data));
    if (!text) {
        PULSE_LOG_ERROR("PULSEKeychain failed to decode data for key '%s', error: %s", key.c_str(), parseError.c_str());
        return {};
    }
    return platform::ArchiveValue(std::move(*text));
}

bool PULSEKeychain::setObject(const platform::ArchiveValue& value, const std::string& key) {
    const platform::Dictionary query = itemQuery(key);
    auto data = itemData(value);
    if (!data) {
        const platform::OSStatus status = m_keychain.deleteItems(query);
        if (status != platform::errSecSuccess) {
            PULSE_LOG_ERROR("PULSEKeychain failed to delete data for key '%s', error: %ld", key.c_str(),
                            static_cast<long>(status));
            return false;
        }
        return true;
    }
    platform::OSStatus status = platform::errSecParam; // an accessibility code outside 0-5
    if (m_accessibility >= 0 && m_accessibility < kAccessibilityCodeCount) {
        platform::Dictionary attributes{{platform::kSecValueData, std::move(*data)},
                                        {platform::kSecAttrAccessible,
                                         kAccessibilityValues[static_cast<std::size_t>(m_accessibility)]}};
        if (dataForKey(key)) {
            status = m_keychain.update(query, attributes);
        } else {
            platform::Dictionary item = query;
            for (const auto& entry : attributes)
                item.set(entry.key, entry.value);
            status = m_keychain.add(item);
        }
    }
    if (status != platform::errSecSuccess) {
        PULSE_LOG_ERROR("PULSEKeychain failed to store data for key '%s', error: %ld", key.c_str(),
                        static_cast<long>(status));
        return false;
    }
    return true;
}

} // namespace push
