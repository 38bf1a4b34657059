// The statistics client's device and application helper: the environment gathered once, the user record
// with its user type, the kill switch, the running event index and the device identifiers (SharedUDID in
// the keychain, the push token, the Wi-Fi MAC address and network).
//
// Guarantees:
// - Thread: every call from any queue. The environment is fixed when the helper is made; the held user is
//   guarded by a mutex and handed out as a copy; the kill switch and the event index are atomic.
// - getInstance() is made once, on first use, and lives until the process ends.
// - getUser() loads the user through the store (it waits for the store's queue, so the first call must
//   not come from there) and writes a changed user type back through it.
// - Missing identifiers read as empty or placeholder texts; nothing throws.
#pragma once

#include "stats/MXStatDataConfigHolderProtocol.h"
#include "stats/MXStatEnv.h"
#include "stats/MXStatStoreProtocol.h"
#include "stats/MXStatUser.h"

#include "platform/core/Value.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace stats {

inline constexpr const char* kMXStatSharedUDIDKeychainKey = "mstsharedudid";
inline constexpr const char* kMXStatXGTokenKeychainKey = "xgtoken";
inline constexpr const char* kMXStatXGDeviceTokenPasteboardKey = "xgDeviceToken";
inline constexpr const char* kMXStatNotFound = "Not Found";
inline constexpr const char* kMXStatEventIndexKeychainKey = "MST.EventIndex.Key";

class MXStatHelper {
public:
    static MXStatHelper& getInstance();

    // Gathers the environment now.
    MXStatHelper();
    MXStatHelper(const MXStatHelper&) = delete;
    MXStatHelper& operator=(const MXStatHelper&) = delete;

    const MXStatEnv& getEnv() const { return m_env; }

    // The store the user record lives in (the statistics start sets it).
    void setStore(std::shared_ptr<MXStatStoreProtocol> store);
    // The user with its type brought up to date; nothing when the store cannot give one.
    std::optional<MXStatUser> getUser();

    bool checkMSTEnable() const;
    bool MSTEnableFlag() const { return m_enableFlag.load(); }
    void setMSTEnableFlag(bool enable) { m_enableFlag.store(enable); }

    static std::uint64_t currentIndex();
    // 0 is refused ("Warning:set idx failed!").
    static void setCurrentIndex(std::uint64_t index);
    // The index of a new event. Before the first one of the process, an index of at least 2 saved under
    // "MST.EventIndex.Key" moves the current index to it + 100. Past 2^63 - 10001 the index starts
    // again at 1.
    static std::uint64_t nextEventIndex();
    // Index 0, and the keychain read again before the next event (for tests).
    static void forgetEventIndex();

    // The online configuration holder whose versions session-environment events carry (held weakly).
    void setConfigHolder(std::weak_ptr<MXStatDataConfigHolderProtocol> holder);
    std::shared_ptr<MXStatDataConfigHolderProtocol> configHolder() const;

    // The Wi-Fi interface's hardware address "AA:BB:CC:DD:EE:FF", or the text of what failed ("Error: ..." is
    // logged when a failure first appears, not again while it lasts).
    static std::string getMacAddress();
    // Some interface named "en0" has an IPv4 address and is not a loopback.
    static bool isWiFiAvailable();
    // {"ss": SSID, "bs": BSSID} as JSON text; both "Not Found" when the network is unknown.
    std::string fetchSSIDInfo() const;
    // Compact JSON text; "" (and "error json format") for a value JSON cannot hold.
    static std::string getJson(const platform::Value& object);

    // Upload codecs (MXStatCodec.cpp). RC4 in place with the collector's key; deciphering is the same.
    static void ChiperRC4(platform::Bytes& data);
    // gzip (window bits 31) of the input; 0 on success, -1 for empty input, no out or a zlib failure.
    static int GZip(std::span<const std::uint8_t> data, platform::Bytes* out);
    // Inflates a gzip or zlib stream that ends cleanly; 0 on success, -1 otherwise. The output is bounded
    // by maxOutput (a larger result is a failure).
    static int GUnzip(std::span<const std::uint8_t> data, platform::Bytes* out,
                      std::size_t maxOutput = kMXStatGUnzipMaxOutput);
    static constexpr std::size_t kMXStatGUnzipMaxOutput = 64u << 20;

    // "xgtoken" of the company-domain keychain dictionary.
    std::optional<std::string> getXGDeviceToken() const;
    // "mstsharedudid" of the company-domain keychain dictionary; other products write that item too, so
    // an id that is not well-formed (MXStatSharedUDID::isWellFormedId) reads as none.
    static std::optional<std::string> getSharedUDID();
    // Stores the id as "mstsharedudid" of the company-domain keychain dictionary (other entries kept); an
    // id that is not well-formed is not stored.
    static void saveSharedUDID(const std::string& sharedUDID);
    // The company pasteboard's "xgDeviceToken", else "0".
    std::string getMid() const;
    void saveMid(const std::string& mid);

private:
    // Brings the user's type up to date; true when it changed.
    bool refreshUserType(MXStatUser& user) const;

    const MXStatEnv m_env;
    std::atomic<bool> m_enableFlag{false};
    mutable std::mutex m_mutex;
    std::shared_ptr<MXStatStoreProtocol> m_store;
    std::optional<MXStatUser> m_user;
    std::weak_ptr<MXStatDataConfigHolderProtocol> m_configHolder;
};

} // namespace stats
