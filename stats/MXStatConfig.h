// Every setting of the statistics client, with its built-in default. The host application, the API, the
// online configuration and the upload's reply handling change them at run time; nothing persists them.
//
// Guarantees:
// - Thread: every getter and setter from any thread. The settings are guarded by one mutex and every
//   getter returns a copy, so a queue reading a text while another assigns it never sees a torn value.
// - getInstance() is made once, on first use, and lives until the process ends.
// - Strings that may be "not set" are optionals (nullopt is nil).
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace stats {

// Report strategies (the values of reportStrategy and of the online configuration's "rs").
enum MXStatReportStrategyValue : std::int32_t {
    MXStatReportInstant = 1,
    MXStatReportBatch = 2,
    MXStatReportAtLaunch = 3,
    MXStatReportWiFiInstant = 4,
    MXStatReportPeriodic = 5,
    MXStatReportDeveloper = 6,
    MXStatReportWiFiOnlyNoStore = 7,
};

class MXStatConfig {
public:
    using CrashCallback = std::function<void()>;
    // The online application property for a key, or a null value when there is none.
    using AppPropertySource = std::function<platform::Value(const std::string& key)>;

    static MXStatConfig& getInstance();

    MXStatConfig() = default;
    MXStatConfig(const MXStatConfig&) = delete;
    MXStatConfig& operator=(const MXStatConfig&) = delete;

    // Every setting back to its default, and no application property source (for tests).
    void resetToDefaults();

    // The online application property for the key, else the default.
    platform::Value getCustomProperty(const std::string& key, const platform::Value& defaultValue) const;
    void setAppPropertySource(AppPropertySource source);

    bool debugEnable() const { return get(&Settings::debugEnable); }
    void setDebugEnable(bool v) { set(&Settings::debugEnable, v); }
    std::uint32_t sessionTimeoutSecs() const { return get(&Settings::sessionTimeoutSecs); }
    void setSessionTimeoutSecs(std::uint32_t v) { set(&Settings::sessionTimeoutSecs, v); }
    std::int32_t reportStrategy() const { return get(&Settings::reportStrategy); }
    void setReportStrategy(std::int32_t v) { set(&Settings::reportStrategy, v); }
    std::optional<std::string> appkey() const { return get(&Settings::appkey); }
    void setAppkey(std::optional<std::string> v) { set(&Settings::appkey, std::move(v)); }
    std::optional<std::string> channel() const { return get(&Settings::channel); }
    void setChannel(std::optional<std::string> v) { set(&Settings::channel, std::move(v)); }
    std::uint32_t maxStoreEventCount() const { return get(&Settings::maxStoreEventCount); }
    void setMaxStoreEventCount(std::uint32_t v) { set(&Settings::maxStoreEventCount, v); }
    std::uint32_t maxLoadEventCount() const { return get(&Settings::maxLoadEventCount); }
    void setMaxLoadEventCount(std::uint32_t v) { set(&Settings::maxLoadEventCount, v); }
    std::uint32_t minBatchReportCount() const { return get(&Settings::minBatchReportCount); }
    void setMinBatchReportCount(std::uint32_t v) { set(&Settings::minBatchReportCount, v); }
    std::uint32_t maxSendRetryCount() const { return get(&Settings::maxSendRetryCount); }
    void setMaxSendRetryCount(std::uint32_t v) { set(&Settings::maxSendRetryCount, v); }
    std::uint32_t sendPeriodMinutes() const { return get(&Settings::sendPeriodMinutes); }
    void setSendPeriodMinutes(std::uint32_t v) { set(&Settings::sendPeriodMinutes, v); }
    std::uint32_t maxParallelTimingEvents() const { return get(&Settings::maxParallelTimingEvents); }
    void setMaxParallelTimingEvents(std::uint32_t v) { set(&Settings::maxParallelTimingEvents, v); }
    bool smartReporting() const { return get(&Settings::smartReporting); }
    void setSmartReporting(bool v) { set(&Settings::smartReporting, v); }
    bool autoExceptionCaught() const { return get(&Settings::autoExceptionCaught); }
    void setAutoExceptionCaught(bool v) { set(&Settings::autoExceptionCaught, v); }
    std::uint32_t maxReportEventLength() const { return get(&Settings::maxReportEventLength); }
    void setMaxReportEventLength(std::uint32_t v) { set(&Settings::maxReportEventLength, v); }
    std::optional<std::string> im() const { return get(&Settings::im); }
    void setIm(std::optional<std::string> v) { set(&Settings::im, std::move(v)); }
    std::optional<std::string> account() const { return get(&Settings::account); }
    void setAccount(std::optional<std::string> v) { set(&Settings::account, std::move(v)); }
    std::int8_t accountType() const { return get(&Settings::accountType); }
    void setAccountType(std::int8_t v) { set(&Settings::accountType, v); }
    std::optional<std::string> accountExt() const { return get(&Settings::accountExt); }
    void setAccountExt(std::optional<std::string> v) { set(&Settings::accountExt, std::move(v)); }
    bool statEnable() const { return get(&Settings::statEnable); }
    void setStatEnable(bool v) { set(&Settings::statEnable, v); }
    std::optional<std::string> customerUserID() const { return get(&Settings::customerUserID); }
    void setCustomerUserID(std::optional<std::string> v) { set(&Settings::customerUserID, std::move(v)); }
    std::optional<std::string> customerAppVersion() const { return get(&Settings::customerAppVersion); }
    void setCustomerAppVersion(std::optional<std::string> v) { set(&Settings::customerAppVersion, std::move(v)); }
    std::optional<std::string> ifa() const { return get(&Settings::ifa); }
    void setIfa(std::optional<std::string> v) { set(&Settings::ifa, std::move(v)); }
    std::optional<std::string> pushDeviceToken() const { return get(&Settings::pushDeviceToken); }
    void setPushDeviceToken(std::optional<std::string> v) { set(&Settings::pushDeviceToken, std::move(v)); }
    std::optional<std::string> statReportURL() const { return get(&Settings::statReportURL); }
    void setStatReportURL(std::optional<std::string> v) { set(&Settings::statReportURL, std::move(v)); }
    std::int32_t maxSessionStatReportCount() const { return get(&Settings::maxSessionStatReportCount); }
    void setMaxSessionStatReportCount(std::int32_t v) { set(&Settings::maxSessionStatReportCount, v); }
    std::optional<std::string> op() const { return get(&Settings::op); }
    void setOp(std::optional<std::string> v) { set(&Settings::op, std::move(v)); }
    std::optional<std::string> cn() const { return get(&Settings::cn); }
    void setCn(std::optional<std::string> v) { set(&Settings::cn, std::move(v)); }
    std::optional<std::string> sp() const { return get(&Settings::sp); }
    void setSp(std::optional<std::string> v) { set(&Settings::sp, std::move(v)); }
    CrashCallback crashCallback() const { return get(&Settings::crashCallback); }
    void setCrashCallback(CrashCallback v) { set(&Settings::crashCallback, std::move(v)); }

private:
    // The settings in declaration order, with their defaults.
    struct Settings {
        bool debugEnable = false;
        std::uint32_t sessionTimeoutSecs = 30;
        std::int32_t reportStrategy = MXStatReportAtLaunch;
        std::optional<std::string> appkey;
        std::optional<std::string> channel = "appstore";
        std::uint32_t maxStoreEventCount = 1024;
        std::uint32_t maxLoadEventCount = 30;
        std::uint32_t minBatchReportCount = 30;
        std::uint32_t maxSendRetryCount = 3;
        std::uint32_t sendPeriodMinutes = 1440;
        std::uint32_t maxParallelTimingEvents = 1024;
        bool smartReporting = true;
        bool autoExceptionCaught = true;
        std::uint32_t maxReportEventLength = 4096;
        std::optional<std::string> im;
        std::optional<std::string> account;
        std::int8_t accountType = 0;
        std::optional<std::string> accountExt;
        bool statEnable = true;
        std::optional<std::string> customerUserID;
        std::optional<std::string> customerAppVersion;
        std::optional<std::string> ifa;
        std::optional<std::string> pushDeviceToken;
        std::optional<std::string> statReportURL;
        std::int32_t maxSessionStatReportCount = -1;
        std::optional<std::string> op;
        std::optional<std::string> cn;
        std::optional<std::string> sp;
        CrashCallback crashCallback;
    };

    template <class T>
    T get(T Settings::*field) const {
        std::lock_guard lock(m_mutex);
        return m_settings.*field;
    }
    template <class T, class V>
    void set(T Settings::*field, V&& value) {
        std::lock_guard lock(m_mutex);
        m_settings.*field = std::forward<V>(value);
    }

    mutable std::mutex m_mutex;
    Settings m_settings;
    AppPropertySource m_appPropertySource;
};

} // namespace stats
