#include "push/PULSELocalNotificationController.h"

#include "push/PULSELogging.h"

#include "platform/application/Application.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Device.h"
#include "platform/system/TimeZone.h"
#include "platform/ui/AlertView.h"

#include <cstdlib>

namespace push {

using platform::Application;
using platform::LocalNotification;

namespace {

bool systemIsAtLeast8() { return std::strtod(platform::Device::current().systemVersion().c_str(), nullptr) >= 8.0; }

const std::string* keyOf(const LocalNotification& notification) {
    if (!notification.userInfo)
        return nullptr;
    const platform::Value* key = notification.userInfo->find(PULSELocalNotificationController::kNotificationKey);
    return key ? key->getString() : nullptr;
}

} // namespace

std::optional<LocalNotification> PULSELocalNotificationController::setLocalNotification(
    const std::optional<platform::Date>& fireDate, const std::optional<std::string>& alertBody, std::int32_t badge,
    const std::optional<std::string>& alertAction, const std::optional<std::string>& identifierKey,
    const std::optional<platform::Dictionary>& userInfo, const std::optional<std::string>& soundName,
    const std::optional<platform::Dictionary>& region, bool regionTriggersOnce, const std::optional<std::string>& category) {
    if (!fireDate) {
        PULSE_LOG_ERROR("通知时间不能为空");
        return std::nullopt;
    }
    if (fireDate->secondsSince1970 < platform::Clock::current().wallNow().secondsSince1970) {
        PULSE_LOG_ERROR("设置LocalNotification通知时间小于当前时间");
        return std::nullopt;
    }
    LocalNotification notification;
    notification.fireDate = fireDate;
    notification.timeZone = platform::TimeZone::systemName();
    notification.soundName = soundName ? *soundName : std::string(platform::kLocalNotificationDefaultSoundName);
    notification.alertBody = alertBody;
    if (alertAction && !alertAction->empty())
        notification.alertAction = alertAction;
    if (badge != 0)
        notification.applicationIconBadgeNumber = badge;
    platform::Dictionary info = userInfo ? *userInfo : platform::Dictionary();
    if (identifierKey && !identifierKey->empty())
        info.set(kNotificationKey, *identifierKey);
    if (!info.empty())
        notification.userInfo = std::move(info);
    if (systemIsAtLeast8()) {
        if (region)
            notification.region = region;
        if (regionTriggersOnce)
            notification.regionTriggersOnce = true;
        if (category)
            notification.category = category;
    }
    addNotificationToCacheWithNotification(notification, identifierKey);
    return notification;
}

void PULSELocalNotificationController::addNotificationToCacheWithNotification(const LocalNotification& notification,
                                                                              const std::optional<std::string>&) {
    auto& application = Application::shared();
    if (application.scheduledLocalNotifications().size() < kMaxScheduled)
        application.scheduleLocalNotification(notification);
    else
        PULSE_LOG_ERROR("设置本地通知不能大于64个");
}

std::optional<std::vector<LocalNotification>> PULSELocalNotificationController::findLocalNotificationWithIdentifier(
    const std::optional<std::string>& identifier) {
    if (!identifier) {
        PULSE_LOG_ERROR("notificationKey参数错误，不能为空");
        return std::nullopt;
    }
    std::vector<LocalNotification> found;
    for (auto& notification : Application::shared().scheduledLocalNotifications()) {
        const std::string* key = keyOf(notification);
        if (key && *key == *identifier)
            found.push_back(std::move(notification));
    }
    return found;
}

void PULSELocalNotificationController::p_deleteCacheObjectWithKey(
    const std::string& identifier, const std::function<void(const LocalNotification&, bool& stop)>& block) {
    const auto found = findLocalNotificationWithIdentifier(identifier);
    if (!found)
        return;
    bool stop = false;
    for (const auto& notification : *found) {
        block(notification, stop);
        if (stop)
            break;
    }
}

void PULSELocalNotificationController::deleteLocalNotificationWithIdentifierKey(const std::optional<std::string>& identifier) {
    if (!identifier) {
        PULSE_LOG_ERROR("notificationKey参数错误,不能为空");
        return;
    }
    p_deleteCacheObjectWithKey(*identifier, [](const LocalNotification& notification, bool&) {
        Application::shared().cancelLocalNotification(notification);
    });
}

void PULSELocalNotificationController::deleteLocalNotification(const std::optional<LocalNotification>& notification) {
    if (!notification) {
        PULSE_LOG_ERROR("localNotification参数错误,不能为空");
        return;
    }
    Application::shared().cancelLocalNotification(*notification);
}

void PULSELocalNotificationController::clearAllLocalNotifications() { Application::shared().cancelAllLocalNotifications(); }

std::shared_ptr<platform::AlertView> PULSELocalNotificationController::showLocalNotificationAtFront(
    const std::optional<platform::LocalNotification>& notification, const std::optional<std::string>& identifierKey) {
    if (!notification) {
        PULSE_LOG_ERROR("notification参数错误，不能为空");
        return nullptr;
    }
    if (identifierKey) {
        const platform::Value* key = notification->userInfo ? notification->userInfo->find(kNotificationKey) : nullptr;
        const std::string* text = key ? key->getString() : nullptr;
        if (!text || *text != *identifierKey)
            return nullptr;
    }
    std::vector<std::string> others;
    if (notification->alertAction && !notification->alertAction->empty())
        others.push_back(*notification->alertAction);
    auto alert = platform::AlertView::create("", notification->alertBody.value_or(""), nullptr, std::string("关闭"),
                                             std::move(others));
    alert->show();
    return alert;
}

} // namespace push
