// The push client as an application uses it: static entry points that set the client up, pass it the
// device token and remote notifications, tags and alias, page views, locations and the badge, switch
// logging and crash logs, and manage local notifications.
//
// Guarantees:
// - Behind the entry points stands one shared service, made on first use. It owns the client thread and
//   follows the application's lifecycle notifications on the default centre.
// - Work that touches the client's network or stored state is posted to the client thread's run loop:
//   calls return at once and take effect in the order they were made. registrationID, the local
//   notifications, platform registration and the lifecycle flag run on the calling thread.
// - The main thread never waits for the client thread: it asks for the registration id with the
//   asynchronous form, which is answered once per call, also when the client thread ends first.
// - Set-up and logger set-up run once per process; a second set-up does nothing, whatever its key.
// - Failures are log lines; setBadge alone answers whether it took the value.
#pragma once

#include "push/PULSEMessageCenter.h"
#include "push/PULSETagAlias.h"

#include "platform/application/LocalNotification.h"
#include "platform/core/Value.h"
#include "platform/runloop/RunLoop.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform {
class AlertView;
}

namespace push {

class PULSEThread;

// A location fix as the platform's location service gives it.
struct PULSELocationFix {
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    double horizontalAccuracy = 0;
    double verticalAccuracy = 0;
};

class PULSEService {
public:
    // Open codes of remote-notification reports.
    static constexpr std::uint16_t kOpenOther = 2000;
    static constexpr std::uint16_t kOpenActive = 2001;
    static constexpr std::uint16_t kOpenFromBackground = 2002;
    static constexpr std::uint16_t kOpenLaunch = 2003;
    static constexpr std::uint16_t kOpenInBackground = 2004;
    static constexpr std::int64_t kMaxBadge = 99999;
    static constexpr std::uint32_t kBuildNumber = 346;
    static constexpr const char* kEndpointsFileName = "PushEndpoints";
    static constexpr const char* kClientThreadName = "pulse.client";
    // How long the application's end waits for the client thread's last work (reports, stored state).
    static constexpr std::chrono::milliseconds kFinishLimit{3000};

    static PULSEService& sharedService();
    // Tests: a fresh service whose client thread is the given run loop (the once guards start over).
    static void resetForTesting(std::shared_ptr<platform::RunLoop> clientLoop);

    // ---- set-up ----
    static void setupWithOption(const platform::Dictionary& launchOptions, const std::string& appKey,
                                const std::string& channel, bool apsForProduction);
    // The key, channel and environment come from the bundle's "PushConfig.plist".
    static void setupWithOption(const platform::Dictionary& launchOptions);
    static void setupPulseLogger();

    // ---- the platform's side ----
    static void registerDeviceToken(const platform::Bytes& deviceToken);
    static void registerForRemoteNotificationTypes(unsigned types, const std::optional<std::set<std::string>>& categories);
    static void handleRemoteNotification(const platform::Dictionary& payload);

    // ---- pushed messages for the page (main thread) ----
    // The messages that wait for their receiver, oldest first, handed to `done` on the main queue (none
    // when there is no client thread).
    static void heldMessages(std::function<void(std::vector<PULSEMessageCenter::HeldMessage>)> done);
    // These messages reached their receiver: they wait no more.
    static void messagesHandedOver(std::vector<std::uint64_t> messageIDs);

    // ---- tags and alias ----
    // With a callback looked up by name on the target (both needed; else the request has none).
    static void setTags(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias,
                        const std::optional<std::string>& callbackName,
                        const std::shared_ptr<PULSETagAliasCallbackTarget>& target);
    static void setTags(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias,
                        PULSETagAliasCallback completion);
    // No callback at all.
    static void setTagsInBackground(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias);
    static void setAlias(const platform::ArchiveValue& alias, const std::optional<std::string>& callbackName,
                         const std::shared_ptr<PULSETagAliasCallbackTarget>& target);
    static std::optional<platform::ArchiveSet> filterValidTags(const platform::ArchiveValue& tags);

    // ---- page views, location, badge, crash logs ----
    static void startLogPageView(const std::optional<std::string>& pageName);
    static void stopLogPageView(const std::optional<std::string>& pageName);
    static void beginLogPageView(const std::string& pageName, std::int32_t seconds);
    static void setLatitude(double latitude, double longitude);
    // None: an error line, nothing sent.
    static void setLocation(const std::optional<PULSELocationFix>& location);
    // True when 0..99999 was taken; anything else is refused and nothing is sent.
    static bool setBadge(std::int64_t value);
    static void resetBadge();
    static void crashLogON();
    // The stored registration id, "" before registration. Read on the client thread: a caller on
    // another thread waits for it at most 2 s (then ""); once that thread has ended, read at once.
    static std::string registrationID();
    // The same for the main thread, which must not wait: handed to `done` on a later turn of the main
    // queue, read on the client thread, or at once when there is none or it has ended (a call still
    // waiting for it then is answered too).
    static void registrationID(std::function<void(std::string)> done);
    static void close() {}

    // ---- logging ----
    static void setDebugMode();
    static void setLogOFF();
    // Replaces the terminal and system-log loggers' registrations with one at the level.
    static void changeLoggerLevel(std::uint64_t level);
    // The level last given to the terminal and system-log loggers (0 before any).
    static std::uint64_t currentLogLevel();

    // ---- local notifications (calling thread) ----
    static std::optional<platform::LocalNotification> setLocalNotification(
        const std::optional<platform::Date>& fireDate, const std::optional<std::string>& alertBody, std::int32_t badge,
        const std::optional<std::string>& alertAction, const std::optional<std::string>& identifierKey,
        const std::optional<platform::Dictionary>& userInfo, const std::optional<std::string>& soundName,
        const std::optional<platform::Dictionary>& region = std::nullopt, bool regionTriggersOnce = false,
        const std::optional<std::string>& category = std::nullopt);
    static std::optional<std::vector<platform::LocalNotification>> findLocalNotificationWithIdentifier(
        const std::optional<std::string>& identifierKey);
    static void deleteLocalNotificationWithIdentifierKey(const std::optional<std::string>& identifierKey);
    static void deleteLocalNotification(const std::optional<platform::LocalNotification>& notification);
    static void clearAllLocalNotifications();
    static std::shared_ptr<platform::AlertView> showLocalNotificationAtFront(
        const std::optional<platform::LocalNotification>& notification, const std::optional<std::string>& identifierKey);

    PULSEService(const PULSEService&) = delete;
    PULSEService& operator=(const PULSEService&) = delete;
    ~PULSEService();

    // The client thread's run loop (none once the thread has ended).
    std::shared_ptr<platform::RunLoop> clientLoop() const;
    bool isFromBackground() const { return m_isFromBackground; }

private:
    explicit PULSEService(std::shared_ptr<platform::RunLoop> clientLoop);
    void commonSetup(const platform::Dictionary& launchOptions, const std::optional<std::string>& appKey,
                     const std::string& channel, bool apsForProduction);
    void setupClient();
    void handleRemoteNotification(const platform::Dictionary& payload, bool atLaunch);
    void setTagsAlias(const platform::ArchiveValue& tags, const platform::ArchiveValue& alias,
                      std::shared_ptr<PULSESetTagAliasArg> arg);
    // Posts to the client thread, in call order, without waiting.
    void onClient(std::function<void()> block) const;
    void observeLifecycle();
    void reportLaunch() const;
    void reportInactive() const;
    void synchronize() const;
    // Ends the client thread once its work so far has run (at the application's end).
    void finishClientThread();
    // After the client thread's end: the asynchronous registration-id reads it left (main thread).
    void answerPendingIdReads();

    // The client thread is no more (or never was one): its state is read on the calling thread.
    bool clientEnded() const;

    std::shared_ptr<PULSEThread> m_clientThread;
    std::shared_ptr<platform::RunLoop> m_clientLoop;
    std::atomic<bool> m_clientEnded{false};
    // The asynchronous registration-id reads not answered yet (main thread).
    std::vector<std::shared_ptr<std::function<void(std::string)>>> m_pendingIdReads;
    bool m_isFromBackground = false; // main thread

    std::mutex m_onceMutex;
    bool m_setupDone = false;
    std::uint64_t m_launchMessageId = 0;
    bool m_launchHandled = false;
};

} // namespace push
