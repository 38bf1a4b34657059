// The push client's hub: one object per process that holds the device facts, the configuration, the
// stored identity, the managers and the network controller, through which the client's parts reach each
// other (PULSEClientController::sharedClient().networkService()...).
//
// Guarantees:
// - One instance per process, made on first use; resetForTesting() replaces it with a fresh one (tests
//   only, while no other thread uses it).
// - Its fields belong to the client thread, which alone sets them; the managers and controllers are
//   empty until the client's set-up makes them.
// - Two sources that parts of the client read from any thread are replaceable (guarded by a lock): the
//   current network status (the network controller's reachability installs its own; until then the
//   platform's reachability of the network in general answers) and the server-time offset in whole
//   seconds (the session's correction; 0 until a session installs it).
#pragma once

#include "push/PULSERequestSession.h"
#include "push/PULSEThreadController.h"

#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {
class NotificationCenter;
class Timer;
}

namespace push {

class PULSEPushConfigController;
class PULSEUserDefaultsController;
class PULSETagAlias;
class PULSESetTagAliasArg;
class PULSEMessageCenter;
class PULSEPageFlowSession;
class PULSENetworkController;
class PULSEHttpSessionController;
class PULSEReportCacheController;
class PULSEReportSession;

class PULSEClientController {
public:
    using NetworkStatusSource = std::function<int()>;
    using ServerTimeOffsetSource = std::function<std::int32_t()>;

    static PULSEClientController& sharedClient();
    static void resetForTesting();

    PULSEClientController(const PULSEClientController&) = delete;
    PULSEClientController& operator=(const PULSEClientController&) = delete;
    ~PULSEClientController();

    // ---- device facts (set by the client's set-up) ----
    const std::string& systemVersion() const { return m_systemVersion; }
    void setSystemVersion(std::string value) { m_systemVersion = std::move(value); }
    const std::string& bundleIdentifier() const { return m_bundleIdentifier; }
    void setBundleIdentifier(std::string value) { m_bundleIdentifier = std::move(value); }
    const platform::Value& bundleVersion() const { return m_bundleVersion; }
    void setBundleVersion(platform::Value value) { m_bundleVersion = std::move(value); }
    const std::optional<std::string>& emProvisionUrl() const { return m_emProvisionUrl; }
    void setEmProvisionUrl(std::optional<std::string> value) { m_emProvisionUrl = std::move(value); }
    const std::string& modelName() const { return m_modelName; }
    void setModelName(std::string value) { m_modelName = std::move(value); }
    // Push environment of the build (from its provisioning profile; 0 until determined).
    std::int32_t apsEvironment() const { return m_apsEvironment; }
    void setApsEvironment(std::int32_t value) { m_apsEvironment = value; }

    // ---- what the client is made of (empty until set-up) ----
    const std::shared_ptr<PULSEPushConfigController>& pushConfig() const { return m_pushConfig; }
    void setPushConfig(std::shared_ptr<PULSEPushConfigController> config) { m_pushConfig = std::move(config); }
    const std::shared_ptr<PULSEUserDefaultsController>& userDefaults() const { return m_userDefaults; }
    void setUserDefaults(std::shared_ptr<PULSEUserDefaultsController> userDefaults) { m_userDefaults = std::move(userDefaults); }
    const std::shared_ptr<PULSETagAlias>& tagAliasMng() const { return m_tagAliasMng; }
    void setTagAliasMng(std::shared_ptr<PULSETagAlias> manager) { m_tagAliasMng = std::move(manager); }
    const std::shared_ptr<PULSEMessageCenter>& messageCenter() const { return m_messageCenter; }
    void setMessageCenter(std::shared_ptr<PULSEMessageCenter> center) { m_messageCenter = std::move(center); }
    const std::shared_ptr<PULSEPageFlowSession>& pageFlowController() const { return m_pageFlowController; }
    void setPageFlowController(std::shared_ptr<PULSEPageFlowSession> pages) { m_pageFlowController = std::move(pages); }
    const std::shared_ptr<platform::NotificationCenter>& clientNotificationCenter() const { return m_clientNotificationCenter; }
    void setClientNotificationCenter(std::shared_ptr<platform::NotificationCenter> center) {
        m_clientNotificationCenter = std::move(center);
    }
    const std::shared_ptr<PULSENetworkController>& networkService() const { return m_networkService; }
    void setNetworkService(std::shared_ptr<PULSENetworkController> service) { m_networkService = std::move(service); }
    // The HTTP statistics session's report cache and the session itself (held weakly), which the
    // network controller will hold once it exists.
    const std::shared_ptr<PULSEReportCacheController>& reportCache() const { return m_reportCache; }
    void setReportCache(std::shared_ptr<PULSEReportCacheController> cache) { m_reportCache = std::move(cache); }
    std::shared_ptr<PULSEReportSession> reportSession() const { return m_reportSession.lock(); }
    void setReportSession(std::weak_ptr<PULSEReportSession> session) { m_reportSession = std::move(session); }
    PULSEThreadController& PulseThreadManager() const { return m_pulseThreadManager; }

    // Crash-log capture is on (goes from false to true once; setCrashLogON installs the handlers).
    bool isReportCrash() const { return m_isReportCrash; }
    void setCrashLogON();
    void removeCrashReport();

    // ---- the client's life (client thread) ----
    static constexpr int kDeviceTokenChecks = 5;
    static constexpr double kDeviceTokenCheckInterval = 2.0;
    // Starts the client: file caches, private centre, managers, push environment, stored identity,
    // network controller, device-token check, launch report and the notification-state report. Without a
    // bundle identifier it logs "no bundle id set" and starts nothing.
    void setup();
    // Drops the network controller, stored identity, push configuration, message centre and page flows.
    void close();
    // Takes the first device token of the process; later ones are refused with a warning.
    void updateDeviceToken(const std::string& tokenBytes);
    // Push environment from the provisioning profile (see apsEvironment for the values).
    void loadApsEnvironment();
    // Lower-case hexadecimal, two digits per byte.
    static std::string stringWithDeviceToken(const std::string& tokenBytes);
    // A non-empty stored "kRegistrationId", else the identity's registration id; none without either.
    std::optional<std::string> readRegistrationID() const;
    // [open code, payload]: reports the message state with the payload's "_p_msgid" and "_p_flag"
    // (-10000 without one). Anything else does nothing.
    void handleRemoteNotification(const platform::Value& codeAndPayload);
    void reportLaunch(double time);
    void reportInactive(double time);
    void UDPReportAPNSState();
    void onDidBecomeActive();
    void onEnterBackground();

    // ---- forwarding onto the managers (client thread) ----
    void setTagAlias(const std::shared_ptr<PULSESetTagAliasArg>& arg);
    // The badge value the application shows, reported through the statistics session.
    void setBadgeNumberReport(std::int64_t badge);
    // A missing page name is refused with an error line.
    void setViewStart(const std::optional<std::string>& name);
    void setViewStop(const std::optional<std::string>& name);
    void setViewLogSecond(const platform::Array& view);
    // A location entry for the next location report; dropped while there is no statistics session.
    void setLatitude(const platform::Value& location);
    // Writes the stored identity and the application's standard defaults.
    void synchronizeData();
    double becomeActiveTime() const { return m_becomeActiveTime; }
    std::int64_t deviceTokenStatusCheckTimes() const { return m_deviceTokenStatusCheckTimes; }

    // Whether a device token has been taken in this process (only ever goes from false to true).
    bool deviceTokenUpdated() const { return m_deviceTokenUpdated; }
    void setDeviceTokenUpdated() { m_deviceTokenUpdated = true; }

    // The channel of the push configuration, "" while there is none.
    std::string pushChannel() const;

    // ---- the TCP session, as packets see it (client thread) ----
    // Held weakly; none until the session controller installs itself.
    std::shared_ptr<PULSERequestSession> requestSession() const { return m_requestSession.lock(); }
    void setRequestSession(std::weak_ptr<PULSERequestSession> session) { m_requestSession = std::move(session); }
    // The session's next request id; without a session, the next odd number of a plain counter (1, 3,
    // 5, ...).
    std::uint64_t getRId(int kind);
    // The session id of the last login; 0 without a session.
    std::uint32_t sessionID() const;
    // The stored push user id; 0 before registration or without stored identity.
    std::uint64_t uid() const;

    // ---- replaceable sources (any thread) ----
    // Reachability status: 0 not reachable, 2 Wi-Fi, 3 mobile network.
    int currentNetworkStatus() const;
    void setNetworkStatusSource(NetworkStatusSource source);
    // The session's server-time correction in whole seconds.
    std::int32_t proofTimeInterval() const;
    void setServerTimeOffsetSource(ServerTimeOffsetSource source);

private:
    PULSEClientController();
    void startDeviceTokenUpdatedCheckTimer();
    void stopDeviceTokenUpdatedCheckTimer();
    void checkDeviceTokenUpdated();
    std::shared_ptr<PULSEHttpSessionController> httpSession() const;

    std::string m_systemVersion;
    std::string m_bundleIdentifier;
    platform::Value m_bundleVersion;
    std::optional<std::string> m_emProvisionUrl;
    std::string m_modelName;
    std::int32_t m_apsEvironment = 0;
    bool m_deviceTokenUpdated = false;
    std::weak_ptr<platform::Timer> m_deviceTokenStatusCheckTimer;
    std::int64_t m_deviceTokenStatusCheckTimes = 0;
    double m_becomeActiveTime = 0;
    bool m_isReportCrash = false;

    std::shared_ptr<PULSEPushConfigController> m_pushConfig;
    std::shared_ptr<PULSEUserDefaultsController> m_userDefaults;
    std::shared_ptr<PULSETagAlias> m_tagAliasMng;
    std::shared_ptr<PULSEMessageCenter> m_messageCenter;
    std::shared_ptr<PULSEPageFlowSession> m_pageFlowController;
    std::shared_ptr<platform::NotificationCenter> m_clientNotificationCenter;
    std::shared_ptr<PULSENetworkController> m_networkService;
    std::shared_ptr<PULSEReportCacheController> m_reportCache;
    std::weak_ptr<PULSEReportSession> m_reportSession;
    PULSEThreadController& m_pulseThreadManager;
    std::weak_ptr<PULSERequestSession> m_requestSession;
    std::uint64_t m_plainRId = 0;

    mutable std::mutex m_sourcesMutex;
    NetworkStatusSource m_networkStatusSource;
    ServerTimeOffsetSource m_serverTimeOffsetSource;
};

} // namespace push
