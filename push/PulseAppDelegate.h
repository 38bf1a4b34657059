// The application delegate of applications that carry the push client: the shell's delegate with the
// push client's start-up and its routes for the device token and for remote and local notifications.
//
// - Made: observes the end of launching; its launch options go to PulsePlugin::setLaunchOptions, which
//   sets the client up.
// - The device token goes to PULSEService::registerDeviceToken (the shell's "HYBRemoteNotification" is
//   not posted).
// - A remote notification is reported through PULSEService::handleRemoteNotification, then posted as
//   "PulsePluginReceiveNofication" with the payload as object; the fetch variant then answers new data.
// - A local notification is shown in front (PULSEService::showLocalNotificationAtFront, no identifier);
//   the shell's "HYBLocalNotification" is not posted.
// - A failed registration stays the shell's: "HYBRemoteNotificationError".
//
// Thread: main thread, as the platform calls its delegate.
#pragma once

#include "runtime/AppDelegate.h"

namespace push {

class PulseAppDelegate : public runtime::AppDelegate {
public:
    PulseAppDelegate();
    ~PulseAppDelegate() override;
    PulseAppDelegate(const PulseAppDelegate&) = delete;
    PulseAppDelegate& operator=(const PulseAppDelegate&) = delete;

    void didRegisterForRemoteNotificationsWithDeviceToken(platform::Application& app, const platform::Bytes& token) override;
    void didReceiveRemoteNotification(platform::Application& app, const platform::Dictionary& userInfo) override;
    void didReceiveRemoteNotificationWithFetchCompletion(platform::Application& app, const platform::Dictionary& userInfo,
                                                         std::function<void(platform::BackgroundFetchResult)> completion) override;
    void didReceiveLocalNotification(platform::Application& app, const platform::LocalNotification& notification) override;

    // The end of launching, with the launch options as user information.
    void applicationDidLaunch(const platform::Notification& notification);
};

} // namespace push
