#include "stats/MXStatKeyChain.h"

#include "stats/MXStatLog.h"

#include "platform/formats/PropertyList.h"
#include "platform/system/Keychain.h"

namespace stats {

namespace {
// The platform's value of "accessible after first unlock".
constexpr const char* kAccessibleAfterFirstUnlock = "ck";
} // namespace

platform::Dictionary MXStatKeyChain::getKeychainQuery(const std::string& key) {
    return platform::Dictionary{
        {platform::kSecClass, platform::kSecClassGenericPassword},
        {platform::kSecAttrService, key},
        {platform::kSecAttrAccount, key},
        {platform::kSecAttrAccessible, kAccessibleAfterFirstUnlock},
    };
}

bool MXStatKeyChain::save(const std::string& key, const platform::Value& value) {
    auto archive = platform::PropertyList::write(value, platform::PropertyList::Format::Binary);
    if (!archive.ok()) {
        MXStatLog("[ERROR]Archive of %s failed: %s", key.c_str(), archive.error().localizedDescription().c_str());
        return false;
    }
    platform::Keychain& keychain = platform::Keychain::shared();
    platform::Dictionary query = getKeychainQuery(key);
    (void)keychain.deleteItems(query);
    query.set(platform::kSecValueData, platform::Bytes(archive->begin(), archive->end()));
    return keychain.add(query) == platform::errSecSuccess;
}

std::optional<platform::Value> MXStatKeyChain::load(const std::string& key) {
    platform::Dictionary query = getKeychainQuery(key);
    query.set(platform::kSecReturnData, true);
    query.set(platform::kSecMatchLimit, platform::kSecMatchLimitOne);
    platform::Value result;
    if (platform::Keychain::shared().copyMatching(query, &result) != platform::errSecSuccess)
        return std::nullopt;
    const platform::Bytes* data = result.getBytes();
    if (!data)
        return std::nullopt;
    auto value = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(data->data()), data->size()));
    if (!value.ok()) {
        MXStatLog("Unarchive of %s failed: %s", key.c_str(), value.error().localizedDescription().c_str());
        return std::nullopt;
    }
    return std::move(value).value();
}

void MXStatKeyChain::deleteItem(const std::string& key) {
    (void)platform::Keychain::shared().deleteItems(getKeychainQuery(key));
}

} // namespace stats
