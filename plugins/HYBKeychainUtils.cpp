#include "plugins/HYBKeychainUtils.h"

#include "platform/core/Log.h"
#include "platform/system/Keychain.h"
#include "platform/text/TextEncoding.h"

namespace plugins {

namespace {

using platform::Dictionary;
using platform::Keychain;
using platform::OSStatus;

Dictionary baseQuery(const std::string& username, const std::string& serviceName) {
    return Dictionary{
        {platform::kSecClass, platform::kSecClassGenericPassword},
        {platform::kSecAttrAccount, username},
        {platform::kSecAttrService, serviceName},
        {platform::kSecAttrSynchronizable, true},
    };
}

platform::Bytes bytesOf(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

} // namespace

platform::Error HYBKeychainUtils::error(long long code) {
    std::string description;
    if (code == platform::errSecItemTooLarge)
        description = "The item is too large for the keychain: its key, service name and value take at most " +
                      std::to_string(Keychain::kMaxItemLength) + " bytes with the keychain's own attributes.";
    else if (code == platform::errSecKeychainFull)
        description = "The keychain is full: its items hold at most " + std::to_string(Keychain::kMaxTotalLength) +
                      " bytes in all.";
    return platform::Error(kHYBKeychainUtilsErrorDomain, code, std::move(description));
}

platform::Result<std::optional<std::string>> HYBKeychainUtils::getPasswordForUsername(const std::optional<std::string>& username,
                                                                                       const std::optional<std::string>& serviceName) {
    if (!username || !serviceName)
        return error(kMissingArgumentError);
    Keychain& keychain = Keychain::shared();
    Dictionary attributesQuery = baseQuery(*username, *serviceName);
    attributesQuery.set(platform::kSecReturnAttributes, true);
    platform::Value attributes;
    if (OSStatus status = keychain.copyMatching(attributesQuery, &attributes); status != platform::errSecSuccess) {
        if (status == platform::errSecItemNotFound)
            return std::optional<std::string>();
        return error(status);
    }

    Dictionary dataQuery = baseQuery(*username, *serviceName);
    dataQuery.set(platform::kSecReturnData, true);
    platform::Value data;
    const OSStatus status = keychain.copyMatching(dataQuery, &data);
    if (status == platform::errSecItemNotFound)
        return error(kUnreadableItemError);
    if (status != platform::errSecSuccess)
        return error(status);
    const platform::Bytes* bytes = data.getBytes();
    if (!bytes)
        return error(kUnreadableItemError);
    std::string text(bytes->begin(), bytes->end());
    // Bytes that are not UTF-8 text make no string: the item is unreadable, so a store replaces it.
    if (!platform::isValidUTF8(text))
        return error(kUnreadableItemError);
    return std::optional<std::string>(std::move(text));
}

platform::Status HYBKeychainUtils::storeUsername(const std::optional<std::string>& username, const std::optional<std::string>& password,
                                                  const std::optional<std::string>& serviceName, bool updateExisting) {
    if (!username || !password || !serviceName)
        return error(kMissingArgumentError);
    if (password->size() > Keychain::kMaxDataLength)
        return platform::Error(kHYBKeychainUtilsErrorDomain, platform::errSecItemTooLarge,
                               "The value is too large for the keychain: a value holds at most " + std::to_string(Keychain::kMaxDataLength) +
                                   " bytes.");
    auto existing = getPasswordForUsername(username, serviceName);
    std::optional<std::string> current;
    if (!existing) {
        if (existing.error().code != kUnreadableItemError)
            return existing.error();
        if (platform::Status deleted = deleteItemForUsername(username, serviceName); !deleted)
            return deleted;
    } else {
        current = std::move(*existing);
    }

    Keychain& keychain = Keychain::shared();
    OSStatus status = platform::errSecSuccess;
    if (current) {
        if (*current != *password && updateExisting) {
            Dictionary query{
                {platform::kSecClass, platform::kSecClassGenericPassword},
                {platform::kSecAttrService, *serviceName},
                {platform::kSecAttrLabel, *serviceName},
                {platform::kSecAttrAccount, *username},
                {platform::kSecAttrSynchronizable, true},
            };
            status = keychain.update(query, Dictionary{{platform::kSecValueData, bytesOf(*password)}});
        }
    } else {
        Dictionary item{
            {platform::kSecClass, platform::kSecClassGenericPassword},
            {platform::kSecAttrService, *serviceName},
            {platform::kSecAttrLabel, *serviceName},
            {platform::kSecAttrAccount, *username},
            {platform::kSecValueData, bytesOf(*password)},
            {platform::kSecAttrSynchronizable, true},
        };
        status = keychain.add(item);
    }
    platform::Log::write("save keychain status: " + std::to_string(status));
    if (status != platform::errSecSuccess)
        return error(status);
    return {};
}

platform::Status HYBKeychainUtils::deleteItemForUsername(const std::optional<std::string>& username,
                                                          const std::optional<std::string>& serviceName) {
    if (!username || !serviceName)
        return error(kMissingDeleteArgumentError);
    Dictionary query = baseQuery(*username, *serviceName);
    query.set(platform::kSecReturnAttributes, true);
    if (OSStatus status = Keychain::shared().deleteItems(query); status != platform::errSecSuccess)
        return error(status);
    return {};
}

} // namespace plugins
