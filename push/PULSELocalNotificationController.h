// The application's local notifications as the push client schedules, finds and cancels them: built on
// the platform application's scheduled list, each marked with the caller's identifier under
// "__PULSENotificationKey" in its user information.
//
// Guarantees:
// - At most 64 scheduled notifications over the application's whole list; one beyond that is built and
//   returned but not scheduled, with the error "设置本地通知不能大于64个".
// - Every refusal (no date, a date in the past, no identifier, no notification) logs one error line and
//   returns none or does nothing. A date equal to the current time is accepted.
// - Region, triggers-once and category are set only on system version 8.0 and later.
// - No state of its own; runs on the caller's thread (the main thread, through the public API).
#pragma once

#include "platform/application/LocalNotification.h"

#include <cstdint>
#include <memory>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class AlertView;
}

namespace push {

class PULSELocalNotificationController {
public:
    static constexpr const char* kNotificationKey = "__PULSENotificationKey";
    static constexpr std::size_t kMaxScheduled = 64;

    PULSELocalNotificationController() = delete;

    static std::optional<platform::LocalNotification> setLocalNotification(
        const std::optional<platform::Date>& fireDate, const std::optional<std::string>& alertBody, std::int32_t badge,
        const std::optional<std::string>& alertAction, const std::optional<std::string>& identifierKey,
        const std::optional<platform::Dictionary>& userInfo, const std::optional<std::string>& soundName,
        const std::optional<platform::Dictionary>& region, bool regionTriggersOnce,
        const std::optional<std::string>& category);
    static void addNotificationToCacheWithNotification(const platform::LocalNotification& notification,
                                                       const std::optional<std::string>& key);
    // None without an identifier; else the scheduled ones carrying it, in list order.
    static std::optional<std::vector<platform::LocalNotification>> findLocalNotificationWithIdentifier(
        const std::optional<std::string>& identifier);
    static void deleteLocalNotificationWithIdentifierKey(const std::optional<std::string>& identifier);
    static void deleteLocalNotification(const std::optional<platform::LocalNotification>& notification);
    static void clearAllLocalNotifications();
    // Shows the notification's text in an alert (empty title, the body, "关闭" and, with an action, a
    // button of that title) when no identifier is given or the notification carries that identifier;
    // pressing a button only closes it. The alert shown, or none. Main thread.
    static std::shared_ptr<platform::AlertView> showLocalNotificationAtFront(
        const std::optional<platform::LocalNotification>& notification, const std::optional<std::string>& identifierKey);

private:
    static void p_deleteCacheObjectWithKey(const std::string& identifier,
                                           const std::function<void(const platform::LocalNotification&, bool& stop)>& block);
};

} // namespace push
