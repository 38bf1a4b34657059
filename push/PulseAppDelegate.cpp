#include "push/PulseAppDelegate.h"

#include "push/PULSEService.h"
#include "push/PulsePlugin.h"

#include "platform/runloop/NotificationCenter.h"

namespace push {

PulseAppDelegate::PulseAppDelegate() {
    platform::NotificationCenter::defaultCenter().addObserver(this, platform::kApplicationDidFinishLaunchingNotification, nullptr,
                                                              [this](const platform::Notification& note) { applicationDidLaunch(note); });
}

PulseAppDelegate::~PulseAppDelegate() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void PulseAppDelegate::applicationDidLaunch(const platform::Notification& notification) {
    PulsePlugin::setLaunchOptions(notification.userInfo);
}

void PulseAppDelegate::didRegisterForRemoteNotificationsWithDeviceToken(platform::Application& /*app*/, const platform::Bytes& token) {
    PULSEService::registerDeviceToken(token);
}

void PulseAppDelegate::didReceiveRemoteNotification(platform::Application& /*app*/, const platform::Dictionary& userInfo) {
    PULSEService::handleRemoteNotification(userInfo);
    platform::NotificationCenter::defaultCenter().post(kPulsePluginReceiveNotification, &userInfo);
}

void PulseAppDelegate::didReceiveRemoteNotificationWithFetchCompletion(platform::Application& app, const platform::Dictionary& userInfo,
                                                                       std::function<void(platform::BackgroundFetchResult)> completion) {
    didReceiveRemoteNotification(app, userInfo);
    if (completion)
        completion(platform::BackgroundFetchResult::NewData);
}

void PulseAppDelegate::didReceiveLocalNotification(platform::Application& /*app*/, const platform::LocalNotification& notification) {
    (void)PULSEService::showLocalNotificationAtFront(notification, std::nullopt);
}

} // namespace push
