#include "stats/MXStatHelper.h"

#include "stats/MXStatKeyChain.h"
#include "stats/MXStatLog.h"
#include "stats/MXStatPasteboard.h"
#include "stats/MXStatSharedUDID.h"

#include "platform/core/Log.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/device/InterfaceHardwareAddress.h"
#include "platform/formats/JSON.h"
#include "platform/net/NetworkInfo.h"
#include "platform/runloop/Clock.h"

#include <net/if.h>

#include <atomic>
#include <cmath>
#include <ctime>

namespace stats {

namespace {
std::atomic<std::uint64_t>& eventIndex() {
    static std::atomic<std::uint64_t> index{0};
    return index;
}

// Whether the saved index has been read in this process, and the lock of that one read.
std::atomic<bool> eventIndexLoaded{false};
std::mutex eventIndexLoadMutex;

// The highest index that is still followed by index + 1.
constexpr std::uint64_t kMaxEventIndexBeforeWrap = (std::uint64_t{1} << 63) - 10001;

std::uint32_t nowInSeconds() {
    return static_cast<std::uint32_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970));
}

// The local day of the year (0-365) of a time.
int localDayOfYear(std::uint32_t seconds) {
    const auto time = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&time, &local))
        return -1;
    return local.tm_yday;
}

// The company-domain keychain dictionary; an item that is not a dictionary counts as none.
std::optional<platform::Dictionary> companyKeychainDictionary() {
    const std::string domain = MXStatPasteboard::getCompanyDomain();
    if (domain.empty())
        return std::nullopt;
    auto item = MXStatKeyChain::load(domain);
    if (!item || !item->isDictionary())
        return std::nullopt;
    return *item->getDictionary();
}
} // namespace

MXStatHelper& MXStatHelper::getInstance() {
    static auto* instance = new MXStatHelper; // read from every queue until the process ends
    return *instance;
}

MXStatHelper::MXStatHelper() : m_env(MXStatEnv::collect()) {}

void MXStatHelper::setStore(std::shared_ptr<MXStatStoreProtocol> store) {
    std::lock_guard lock(m_mutex);
    m_store = std::move(store);
}

bool MXStatHelper::refreshUserType(MXStatUser& user) const {
    const std::int32_t before = user.userType;
    const std::uint32_t now = nowInSeconds();
    if (now > user.tagTime && localDayOfYear(now) != localDayOfYear(user.tagTime))
        user.userType = MXStatUserTypeReturning;
    if (user.appVer != m_env.app_version) {
        user.userType |= MXStatUserTypeAppVersionChanged;
        user.appVer = m_env.app_version;
    }
    if (user.userType == before)
        return false;
    user.tagTime = now;
    return true;
}

std::optional<MXStatUser> MXStatHelper::getUser() {
    std::shared_ptr<MXStatStoreProtocol> store;
    bool held = false;
    {
        std::lock_guard lock(m_mutex);
        store = m_store;
        held = m_user.has_value();
    }
    if (!held) {
        // Loaded outside the lock: the store's queue may itself ask for the user meanwhile.
        std::optional<MXStatUser> loaded = store ? store->loadUser() : std::nullopt;
        std::lock_guard lock(m_mutex);
        if (!m_user)
            m_user = std::move(loaded);
    }
    MXStatUser user;
    bool changed = false;
    {
        std::lock_guard lock(m_mutex);
        if (!m_user)
            return std::nullopt;
        changed = refreshUserType(*m_user);
        user = *m_user;
    }
    if (changed && store)
        store->storeUser(user);
    return user;
}

bool MXStatHelper::checkMSTEnable() const {
    const bool enabled = m_enableFlag.load();
    if (!enabled)
        MXStatDebugLog("MST is not enabled , because of the online config");
    return enabled;
}

std::uint64_t MXStatHelper::currentIndex() {
    return eventIndex().load();
}

void MXStatHelper::setCurrentIndex(std::uint64_t index) {
    if (index == 0) {
        MXStatLog("Warning:set idx failed!");
        return;
    }
    eventIndex().store(index);
}

std::uint64_t MXStatHelper::nextEventIndex() {
    if (!eventIndexLoaded.load(std::memory_order_acquire)) {
        std::lock_guard lock(eventIndexLoadMutex);
        if (!eventIndexLoaded.load(std::memory_order_relaxed)) {
            const auto saved = MXStatKeyChain::load(kMXStatEventIndexKeychainKey);
            // Only a number counts; the archive may hold anything.
            if (saved && saved->isNumber() && saved->integerValue() >= 2)
                eventIndex().store(static_cast<std::uint64_t>(saved->integerValue()) + 100);
            eventIndexLoaded.store(true, std::memory_order_release);
        }
    }
    std::uint64_t current = eventIndex().load();
    std::uint64_t next = 0;
    do {
        next = current <= kMaxEventIndexBeforeWrap ? current + 1 : 1;
    } while (!eventIndex().compare_exchange_weak(current, next));
    return next;
}

void MXStatHelper::forgetEventIndex() {
    std::lock_guard lock(eventIndexLoadMutex);
    eventIndex().store(0);
    eventIndexLoaded.store(false);
}

void MXStatHelper::setConfigHolder(std::weak_ptr<MXStatDataConfigHolderProtocol> holder) {
    std::lock_guard lock(m_mutex);
    m_configHolder = std::move(holder);
}

std::shared_ptr<MXStatDataConfigHolderProtocol> MXStatHelper::configHolder() const {
    std::lock_guard lock(m_mutex);
    return m_configHolder.lock();
}

std::string MXStatHelper::getMacAddress() {
    // Every event asks: a failure is logged when it first appears, not once per event.
    static std::atomic<const char*> lastLogged{nullptr};
    auto address = platform::InterfaceHardwareAddress::addressOf(platform::kWifiInterfaceName);
    if (!address.ok()) {
        const char* failure = address.error().code == platform::InterfaceHardwareAddress::kNoSuchInterface
                                  ? "if_nametoindex failure"
                                  : "sysctl mgmtInfoBase failure";
        if (lastLogged.exchange(failure) != failure)
            MXStatLog("Error: %s", failure);
        return failure;
    }
    lastLogged.store(nullptr);
    const auto& a = *address;
    return platform::formatString("%02X:%02X:%02X:%02X:%02X:%02X", a[0], a[1], a[2], a[3], a[4], a[5]);
}

bool MXStatHelper::isWiFiAvailable() {
    auto addresses = platform::InterfaceAddresses::list();
    if (!addresses.ok())
        return false;
    for (const platform::InterfaceAddress& address : *addresses) {
        if (address.name == platform::kWifiInterfaceName && address.family == platform::InterfaceAddress::Family::IPv4 &&
            !(address.flags & IFF_LOOPBACK))
            return true;
    }
    return false;
}

std::string MXStatHelper::fetchSSIDInfo() const {
    std::string ssid = kMXStatNotFound;
    std::string bssid = kMXStatNotFound;
    const auto network = platform::NetworkInfo::current().currentWiFiNetwork();
    if (network && network->ssid && network->bssid) {
        ssid = *network->ssid;
        bssid = *network->bssid;
    }
    return getJson(platform::Dictionary{{"ss", ssid}, {"bs", bssid}});
}

std::string MXStatHelper::getJson(const platform::Value& object) {
    auto text = platform::JSON::writeCompact(object);
    if (!text.ok()) {
        MXStatLog("error json format");
        return {};
    }
    return std::move(text).value();
}

std::optional<std::string> MXStatHelper::getXGDeviceToken() const {
    auto dictionary = companyKeychainDictionary();
    if (!dictionary)
        return std::nullopt;
    const std::string* token = (*dictionary)[kMXStatXGTokenKeychainKey].getString();
    return token ? std::optional<std::string>(*token) : std::nullopt;
}

std::optional<std::string> MXStatHelper::getSharedUDID() {
    auto dictionary = companyKeychainDictionary();
    if (!dictionary)
        return std::nullopt;
    const std::string* id = (*dictionary)[kMXStatSharedUDIDKeychainKey].getString();
    return id && MXStatSharedUDID::isWellFormedId(*id) ? std::optional<std::string>(*id) : std::nullopt;
}

void MXStatHelper::saveSharedUDID(const std::string& sharedUDID) {
    const std::string domain = MXStatPasteboard::getCompanyDomain();
    if (!MXStatSharedUDID::isWellFormedId(sharedUDID) || domain.empty())
        return;
    // The item is shared with the company's other products (the push token lives beside the id): their
    // entries are kept.
    platform::Dictionary item = companyKeychainDictionary().value_or(platform::Dictionary{});
    item.set(kMXStatSharedUDIDKeychainKey, sharedUDID);
    if (!MXStatKeyChain::save(domain, platform::Value(std::move(item))))
        MXStatLog("[WARN]Cannot save the SharedUDID in the keychain.");
}

std::string MXStatHelper::getMid() const {
    auto mid = MXStatPasteboard::get(kMXStatXGDeviceTokenPasteboardKey);
    return mid && !mid->empty() ? *mid : "0";
}

void MXStatHelper::saveMid(const std::string& mid) {
    if (!MXStatPasteboard::set(kMXStatXGDeviceTokenPasteboardKey, mid))
        MXStatLog("[WARN]Cannot save the mid on the company pasteboard.");
}

} // namespace stats
