#include "push/PULSEUserDefaultsController.h"

#include "push/PULSEAES.h"
#include "push/PULSEClientController.h"
#include "push/PULSEEndpoints.h"
#include "push/PULSEFileCacheController.h"
#include "push/PULSELogging.h"
#include "push/PULSEUtilities.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/system/UserDefaults.h"

#include <charconv>
#include <optional>
#include <utility>
#include <vector>

namespace push {

using platform::ArchiveValue;
using Store = PULSEFileCacheController;

namespace {

// Keys of each store, in the order they are written.
constexpr const char* kCacheStoreKeys[] = {
    PULSEUserDefaultsController::kUIDKey,
    PULSEUserDefaultsController::kPasswordKey,
    PULSEUserDefaultsController::kRegistrationIdKey,
    PULSEUserDefaultsController::kUploadedDeviceTokenKey,
    PULSEUserDefaultsController::kAppKey,
};
constexpr const char* kDocumentStoreKeys[] = {
    PULSEUserDefaultsController::kDeviceIdKey,
    PULSEUserDefaultsController::kAttributeReportAddressKey,
    PULSEUserDefaultsController::kHttpBackupReportAddressKey,
    PULSEUserDefaultsController::kBackupReportAddressKey,
    PULSEUserDefaultsController::kDefaultConnectionAddressKey,
};

std::shared_ptr<Store> cacheStore() {
    return Store::shareInstanceWithType(Store::kCacheTypeCache);
}

std::shared_ptr<Store> documentStore() {
    return Store::shareInstanceWithType(Store::kCacheTypeDocument);
}

ArchiveValue storedValue(const std::shared_ptr<Store>& store, const char* key) {
    return store ? store->objectForKey(key) : ArchiveValue();
}

// Decimal digits only, within 64 bits.
std::optional<std::uint64_t> parseUid(const std::string& text) {
    std::uint64_t uid = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), uid);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return uid;
}

// Enciphered text stored as bytes, deciphered; nothing when it is absent, of another type or does not
// decipher.
std::optional<std::string> decipheredText(const ArchiveValue& stored, const char* keyString) {
    const platform::Bytes* bytes = stored.getBytes();
    if (!bytes || bytes->empty())
        return std::nullopt;
    return PULSEAES::decrypt(*bytes, keyString);
}

bool isNonEmptyString(const ArchiveValue& value) {
    return value.isString() && !value.getString()->empty();
}

std::string hostPort(const PULSEHostPort& address) {
    return address.host + ":" + std::to_string(address.port);
}

std::optional<std::string> stringOf(const ArchiveValue& value) {
    const std::string* text = value.getString();
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

ArchiveValue valueOf(const std::optional<std::string>& text) {
    return text ? ArchiveValue(*text) : ArchiveValue();
}

} // namespace

PULSEUserDefaultsController::PULSEUserDefaultsController(const std::string& bundleIdentifier, const std::string& appKey)
    : m_appKey(appKey) {
    auto& defaults = platform::UserDefaults::standard();
    if (!defaults.boolean(kNotFirstStartKey)) {
        m_defaultKeychain = std::make_unique<PULSEKeychain>(bundleIdentifier, std::string(), kKeychainAccessibility);
        m_isFirstStart = true;
    }
    m_infoDictionary = readFromFile();
    if (m_infoDictionary[kAppKey] != ArchiveValue(m_appKey)) {
        // A new installation, or another app key: its registration and its device id are not ours.
        invalidate();
        m_infoDictionary.set(kAppKey, m_appKey);
    }
    verifyUserDefaults();
    if (!m_isFirstStart)
        return;
    if (m_defaultKeychain->dataForKey(kOlderKeychainKey))
        m_defaultKeychain->removeObjectForKey(kOlderKeychainKey);
    auto marked = defaults.set(kNotFirstStartKey, true);
    if (marked)
        marked = defaults.synchronize();
    if (!marked)
        PULSE_LOG_ERROR("save %s failed: %s", kNotFirstStartKey, marked.error().localizedDescription().c_str());
}

platform::ArchiveDictionary PULSEUserDefaultsController::readFromFile() const {
    platform::ArchiveDictionary values;
    auto cache = cacheStore();
    auto document = documentStore();
    if (storedValue(cache, kAppKey) != ArchiveValue(m_appKey))
        return values;

    if (auto text = decipheredText(storedValue(cache, kUIDKey), kUIDKeyString)) {
        if (auto uid = parseUid(*text))
            values.set(kUIDKey, static_cast<unsigned long long>(*uid));
    }
    if (auto password = decipheredText(storedValue(cache, kPasswordKey), kPasswordKeyString))
        values.set(kPasswordKey, std::move(*password));
    for (const char* key : {kRegistrationIdKey, kUploadedDeviceTokenKey, kAppKey}) {
        ArchiveValue value = storedValue(cache, key);
        if (value.isString())
            values.set(key, std::move(value));
    }
    if (ArchiveValue deviceId = storedValue(document, kDeviceIdKey); isNonEmptyString(deviceId))
        values.set(kDeviceIdKey, std::move(deviceId));
    for (const char* key : {kAttributeReportAddressKey, kHttpBackupReportAddressKey, kBackupReportAddressKey,
                            kDefaultConnectionAddressKey}) {
        ArchiveValue address = storedValue(document, key);
        if (address.isString() || address.isObject())
            values.set(key, std::move(address));
    }
    return values;
}

void PULSEUserDefaultsController::verifyUserDefaults() {
    if (m_verified)
        return;
    m_verified = true;
    bool isNewDeviceId = false;
    if (const std::string* deviceId = m_infoDictionary[kDeviceIdKey].getString()) {
        m_sharedUdid = *deviceId;
    } else {
        m_sharedUdid = PULSERandomDeviceID();
        m_infoDictionary.set(kDeviceIdKey, m_sharedUdid);
        isNewDeviceId = true;
    }
    const std::int64_t* uid = m_infoDictionary[kUIDKey].getInteger();
    m_uid = uid ? static_cast<std::uint64_t>(*uid) : 0;
    m_password = stringOf(m_infoDictionary[kPasswordKey]);
    m_registrationID = stringOf(m_infoDictionary[kRegistrationIdKey]);
    if (isNewDeviceId)
        synchronize();
    if (auto center = PULSEClientController::sharedClient().clientNotificationCenter())
        center->post(kVerifiedNotification);
}

void PULSEUserDefaultsController::invalidate() {
    for (const char* key : {kUIDKey, kPasswordKey, kRegistrationIdKey, kUploadedDeviceTokenKey})
        m_infoDictionary.remove(key);
}

void PULSEUserDefaultsController::setOrRemove(const std::string& key, ArchiveValue value) {
    if (value.isNull())
        m_infoDictionary.remove(key);
    else
        m_infoDictionary.set(key, std::move(value));
}

void PULSEUserDefaultsController::setUid(std::uint64_t uid, std::optional<std::string> password,
                                         std::optional<std::string> registrationID) {
    const bool bothPasswordsNull = !password && !m_password;
    const bool samePassword = password && m_password && *password == *m_password;
    const bool sameRegistration = registrationID == m_registrationID;
    if (uid == m_uid && (bothPasswordsNull || (samePassword && sameRegistration)))
        return;
    m_uid = uid;
    m_password = std::move(password);
    m_registrationID = std::move(registrationID);
    m_infoDictionary.set(kUIDKey, static_cast<unsigned long long>(uid));
    setOrRemove(kPasswordKey, valueOf(m_password));
    setOrRemove(kRegistrationIdKey, valueOf(m_registrationID));
    synchronizeTarget(kTargetDocument);
}

void PULSEUserDefaultsController::setCurrentDeviceToken(std::optional<std::string> token) {
    PULSE_LOG_DEBUG("current device token: %s", token ? token->c_str() : "(null)");
    m_currentDeviceToken = std::move(token);
    verifyUserDefaults();
}

void PULSEUserDefaultsController::setUploadedDeviceToken(std::optional<std::string> token) {
    const std::string* stored = m_infoDictionary[kUploadedDeviceTokenKey].getString();
    if (stored && token && *stored == *token)
        return;
    setOrRemove(kUploadedDeviceTokenKey, valueOf(token));
    synchronizeTarget(kTargetCache);
}

void PULSEUserDefaultsController::setAddress(const char* key, ArchiveValue address) {
    setOrRemove(key, std::move(address));
    synchronizeTarget(kTargetDocument);
}

void PULSEUserDefaultsController::setDefaultConAddress(ArchiveValue address) {
    setAddress(kDefaultConnectionAddressKey, std::move(address));
}

void PULSEUserDefaultsController::setBackupUdpReportAddress(ArchiveValue address) {
    setAddress(kBackupReportAddressKey, std::move(address));
}

void PULSEUserDefaultsController::setBackupHttpReportAddress(ArchiveValue address) {
    setAddress(kHttpBackupReportAddressKey, std::move(address));
}

void PULSEUserDefaultsController::setBackupUserReportAddress(ArchiveValue address) {
    setAddress(kAttributeReportAddressKey, std::move(address));
}

void PULSEUserDefaultsController::setLastSucceedConnectionAddress(ArchiveValue address) {
    setAddress(kLastSucceedConnectionAddressKey, std::move(address));
}

ArchiveValue PULSEUserDefaultsController::lastSucceedConnectionAddress() const {
    return m_infoDictionary[kLastSucceedConnectionAddressKey];
}

// The stored address as text. Address objects come with the address lookup; until a class of them
// exists, only texts are addresses.
std::optional<std::string> PULSEUserDefaultsController::addressText(const char* key) const {
    return stringOf(m_infoDictionary[key]);
}

std::string PULSEUserDefaultsController::defaultConAddress() const {
    auto text = addressText(kDefaultConnectionAddressKey);
    if (text && !text->empty())
        return *text;
    return hostPort(PULSEEndpoints::shared().defaultConnectAddress);
}

std::string PULSEUserDefaultsController::backupUdpReportAddress() const {
    auto text = addressText(kBackupReportAddressKey);
    if (text && !text->empty())
        return *text;
    return hostPort(PULSEEndpoints::shared().defaultReportAddress);
}

std::optional<std::string> PULSEUserDefaultsController::backupHttpReportAddress() const {
    return addressText(kHttpBackupReportAddressKey);
}

std::optional<std::string> PULSEUserDefaultsController::backupUserReportAddress() const {
    return addressText(kAttributeReportAddressKey);
}

std::optional<PULSEUserDefaultsController::Written> PULSEUserDefaultsController::writeToFile() {
    if (m_infoDictionary.empty())
        return std::nullopt;
    platform::ArchiveDictionary stored;
    if (const std::int64_t* uid = m_infoDictionary[kUIDKey].getInteger()) {
        const std::string digits = std::to_string(static_cast<std::uint64_t>(*uid));
        if (auto enciphered = PULSEAES::encrypt(digits, kUIDKeyString))
            stored.set(kUIDKey, std::move(*enciphered));
    }
    if (const std::string* password = m_infoDictionary[kPasswordKey].getString()) {
        if (auto enciphered = PULSEAES::encrypt(*password, kPasswordKeyString))
            stored.set(kPasswordKey, std::move(*enciphered));
    }
    for (const char* key : {kRegistrationIdKey, kUploadedDeviceTokenKey, kAppKey})
        stored.set(key, m_infoDictionary[key]);

    // All keys of a store go in together and the store saves once, only when they changed it: the same
    // files as a save per key, without rewriting (and flushing) a store ten times over.
    Written written;
    if (auto cache = cacheStore()) {
        std::vector<std::pair<std::string, ArchiveValue>> entries;
        for (const char* key : kCacheStoreKeys)
            entries.emplace_back(key, stored[key]);
        written.cache = cache->setObjects(std::move(entries));
    }
    if (auto document = documentStore()) {
        std::vector<std::pair<std::string, ArchiveValue>> entries;
        for (const char* key : kDocumentStoreKeys)
            entries.emplace_back(key, m_infoDictionary[key]);
        written.document = document->setObjects(std::move(entries));
    }
    return written;
}

bool PULSEUserDefaultsController::synchronizeTarget(std::int64_t target) {
    if (target != kTargetCache && target != kTargetDocument && target != kTargetBoth)
        return false;
    const auto written = writeToFile();
    if (!written)
        return false;
    // A store the writing saved just now is not saved again; its answer stands.
    const auto save = [](const std::shared_ptr<Store>& store, const std::optional<bool>& savedNow) {
        if (savedNow)
            return *savedNow;
        return store && store->synchronize();
    };
    bool saved = true;
    if (target == kTargetCache || target == kTargetBoth) {
        if (!save(cacheStore(), written->cache)) {
            PULSE_LOG_ERROR("Save UserDefault Cache Data Failed");
            saved = false;
        }
    }
    if (target == kTargetDocument || target == kTargetBoth) {
        if (!save(documentStore(), written->document)) {
            PULSE_LOG_ERROR("Save UserDefault Documetn Data Failed");
            saved = false;
        }
    }
    return saved;
}

void PULSEUserDefaultsController::clearAllCache() {
    if (auto cache = cacheStore())
        cache->clearFile();
    if (auto document = documentStore())
        document->clearFile();
}

} // namespace push
