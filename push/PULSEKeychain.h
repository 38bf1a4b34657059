// Small values kept as generic-password items of the platform's keychain, one item per key, inside one
// service (and optionally one access group).
//
// Stored data: a string as its UTF-8 bytes (unless those bytes read as a binary property list: then, like
// every other value, as a binary property list); other property-list values as a binary property list.
// A value that a property list cannot hold deletes the key's item instead.
//
// Guarantees:
// - Every failure of the keychain is logged once at error level with the key and the status and answered
//   as false or nothing; nothing is retried. Reading a key without an item is no failure; deleting one is.
// - Thread: any thread (the platform's keychain serialises its calls).
#pragma once

#include "platform/core/Value.h"
#include "platform/formats/ArchiveValue.h"
#include "platform/system/Keychain.h"

#include <cstdint>
#include <optional>
#include <string>

namespace push {

class PULSEKeychain {
public:
    // Accessibility codes 0-5: when an item may be read.
    static constexpr std::int64_t kAccessibilityCodeCount = 6;

    // `keychain` is the platform's keychain the items live in (the application's own by default).
    PULSEKeychain(std::string service, std::string accessGroup, std::int64_t accessibility,
                  platform::Keychain& keychain = platform::Keychain::shared());

    const std::string& service() const { return m_service; }
    const std::string& accessGroup() const { return m_accessGroup; }
    std::int64_t accessibility() const { return m_accessibility; }

    // The item's data, or nothing.
    std::optional<platform::Bytes> dataForKey(const std::string& key) const;
    // The decoded value, or a null value.
    platform::ArchiveValue objectForKey(const std::string& key) const;
    // Stores the value, or deletes the item for a null value or one that is not a property list.
    bool setObject(const platform::ArchiveValue& value, const std::string& key);
    bool removeObjectForKey(const std::string& key) { return setObject(platform::ArchiveValue(), key); }

    // The item query of a key: class, account, and service and access group when not empty.
    platform::Dictionary itemQuery(const std::string& key) const;

private:
    std::string m_service;
    std::string m_accessGroup;
    std::int64_t m_accessibility;
    platform::Keychain& m_keychain;
};

} // namespace push
