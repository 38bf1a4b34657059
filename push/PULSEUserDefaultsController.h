// What the push client remembers across launches: the app key its values belong to, the device id, the
// uid, password and registration id that registration granted, the device token the server last
// accepted, and the server addresses the address lookup chose. They live in one table in memory
// (infoDictionary) and are written into the two file stores: the identity into the cache store (uid and
// password enciphered with PULSEAES, as raw bytes), the device id and addresses into the document store.
//
// Start-up reads the stores; values stored under another app key are not read (a new app key is a new
// registration with a new device id). The first verification (always part of start-up) makes a device
// id when there is none, stores it, and posts "PULSEUserDefaultsVerifiedNotification" synchronously on
// the client's private notification centre. The first start after installation is marked with
// "kPULSEServerIsNotFirstStart" in the standard user defaults and removes the keychain entry
// "APKeychainUserDefaultsKey" an older version left.
//
// Writing: a synchronisation puts all values of a store in at once and saves each store once (a store
// the values did not change is saved only when it is the one asked for), rather than once per key.
//
// Failure handling: stored values of the wrong type, or uid and password bytes that do not decipher,
// count as absent (uid 0: the client registers again). A failed save logs "Save UserDefault Cache Data
// Failed" or "Save UserDefault Documetn Data Failed" and synchronizeTarget answers false; the values stay
// in memory. Stores that were not started read as empty and ignore writes.
//
// Thread: no lock; the controller belongs to the client thread.
#pragma once

#include "push/PULSEKeychain.h"

#include "platform/formats/ArchiveValue.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace push {

class PULSEUserDefaultsController {
public:
    static constexpr const char* kAppKey = "APP_KEY";
    static constexpr const char* kUIDKey = "kUIDKey";
    static constexpr const char* kPasswordKey = "kPasswordKey";
    static constexpr const char* kRegistrationIdKey = "kRegistrationId";
    static constexpr const char* kUploadedDeviceTokenKey = "kUploadedDeviceTokenKey";
    static constexpr const char* kDeviceIdKey = "APDeviceId";
    static constexpr const char* kDefaultConnectionAddressKey = "kDefaultConnectionAddress";
    static constexpr const char* kBackupReportAddressKey = "kPULSEBackupReportAddress";
    static constexpr const char* kHttpBackupReportAddressKey = "kPULSEHttpBackupReportAddress";
    static constexpr const char* kAttributeReportAddressKey = "kAttributeReportAddress";
    static constexpr const char* kLastSucceedConnectionAddressKey = "kPULSELastSucceedConnectionAddress";

    static constexpr const char* kUIDKeyString = "QVARN_LOCKWORD_BXE_ORT_MILDA_EX";
    static constexpr const char* kPasswordKeyString = "QVARN_LOCKWORD_BXE_ULF_MILDA_EX";
    static constexpr const char* kNotFirstStartKey = "kPULSEServerIsNotFirstStart";
    static constexpr const char* kOlderKeychainKey = "APKeychainUserDefaultsKey";
    static constexpr const char* kVerifiedNotification = "PULSEUserDefaultsVerifiedNotification";
    static constexpr std::int64_t kKeychainAccessibility = 4;

    // Synchronisation targets.
    static constexpr std::int64_t kTargetCache = 0;
    static constexpr std::int64_t kTargetDocument = 1;
    static constexpr std::int64_t kTargetBoth = 2;

    // Start-up (both file stores must have been started).
    PULSEUserDefaultsController(const std::string& bundleIdentifier, const std::string& appKey);

    std::uint64_t uid() const { return m_uid; }
    const std::optional<std::string>& password() const { return m_password; }
    const std::optional<std::string>& registrationID() const { return m_registrationID; }
    const std::string& sharedUdid() const { return m_sharedUdid; }
    const std::string& appKey() const { return m_appKey; }
    bool verified() const { return m_verified; }
    bool isFirstStart() const { return m_isFirstStart; }
    const platform::ArchiveDictionary& infoDictionary() const { return m_infoDictionary; }
    // The keychain of the first start; nullptr on later starts.
    const PULSEKeychain* defaultKeychain() const { return m_defaultKeychain.get(); }

    // Whether registration granted a uid (not 0).
    bool isAppRegisted() const { return m_uid != 0; }
    // Records a registration; nothing happens when it is the one held.
    void setUid(std::uint64_t uid, std::optional<std::string> password, std::optional<std::string> registrationID);

    // The device token of this process (kept in memory only), then the verification.
    void setCurrentDeviceToken(std::optional<std::string> token);
    const std::optional<std::string>& currentDeviceToken() const { return m_currentDeviceToken; }
    // Stores the token the server accepted when it differs from the stored one.
    void setUploadedDeviceToken(std::optional<std::string> token);

    // Addresses: a "host:port" text or an address object; a null value removes the address.
    void setDefaultConAddress(platform::ArchiveValue address);
    void setBackupUdpReportAddress(platform::ArchiveValue address);
    void setBackupHttpReportAddress(platform::ArchiveValue address);
    void setBackupUserReportAddress(platform::ArchiveValue address);
    // The stored connect address, else the built-in one (port 7000).
    std::string defaultConAddress() const;
    // The stored backup UDP report address, else the built-in one (port 9001).
    std::string backupUdpReportAddress() const;
    std::optional<std::string> backupHttpReportAddress() const;
    std::optional<std::string> backupUserReportAddress() const;
    // Memory only; setting it still synchronises the document store.
    void setLastSucceedConnectionAddress(platform::ArchiveValue address);
    platform::ArchiveValue lastSucceedConnectionAddress() const;

    bool synchronize() { return synchronizeTarget(kTargetBoth); }
    // Writes the values into the stores, then saves the cache store (0), the document store (1) or both
    // (2, cache first); false when writing or saving fails, and for any other target.
    bool synchronizeTarget(std::int64_t target);
    // Empties both file stores; the values in memory stay.
    void clearAllCache();

private:
    platform::ArchiveDictionary readFromFile() const;
    void verifyUserDefaults();
    // Puts the values into both stores; each store that changed is saved once. None when there is
    // nothing to write; else, per store, the answer of its save (none when it did not change).
    struct Written {
        std::optional<bool> cache;
        std::optional<bool> document;
    };
    std::optional<Written> writeToFile();
    void invalidate();
    void setOrRemove(const std::string& key, platform::ArchiveValue value);
    void setAddress(const char* key, platform::ArchiveValue address);
    std::optional<std::string> addressText(const char* key) const;

    std::string m_appKey;
    std::optional<std::string> m_currentDeviceToken;
    std::string m_sharedUdid;
    std::uint64_t m_uid = 0;
    std::optional<std::string> m_password;
    std::optional<std::string> m_registrationID;
    bool m_verified = false;
    bool m_isFirstStart = false;
    std::unique_ptr<PULSEKeychain> m_defaultKeychain;
    platform::ArchiveDictionary m_infoDictionary;
};

} // namespace push
