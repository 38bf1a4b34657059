// What the application tells its delegate, on the main thread. Every method has a default that means
// "not handled".
#pragma once

#include "platform/application/LocalNotification.h"
#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/system/InterfaceOrientation.h"

#include <functional>
#include <string>

namespace platform {

class Application;
class Window;

// What a remote-notification handler with a fetch completion reports.
enum class BackgroundFetchResult { NewData = 0, NoData = 1, Failed = 2 };

class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;

    virtual bool didFinishLaunchingWithOptions(Application& /*app*/, const Dictionary& /*launchOptions*/) { return true; }
    // Another application opened a URL into this one.
    virtual bool openURL(Application& /*app*/, const std::string& /*url*/, const std::string& /*sourceApplication*/,
                         const Value& /*annotation*/) {
        return false;
    }

    virtual void applicationWillResignActive(Application& /*app*/) {}
    virtual void applicationDidEnterBackground(Application& /*app*/) {}
    virtual void applicationWillEnterForeground(Application& /*app*/) {}
    virtual void applicationDidBecomeActive(Application& /*app*/) {}
    virtual void applicationWillTerminate(Application& /*app*/) {}
    virtual void applicationDidReceiveMemoryWarning(Application& /*app*/) {}

    virtual void didRegisterForRemoteNotificationsWithDeviceToken(Application& /*app*/, const Bytes& /*token*/) {}
    virtual void didFailToRegisterForRemoteNotificationsWithError(Application& /*app*/, const Error& /*error*/) {}
    virtual void didRegisterUserNotificationSettings(Application& /*app*/, unsigned /*types*/) {}
    virtual void didReceiveRemoteNotification(Application& /*app*/, const Dictionary& /*userInfo*/) {}
    // The variant with a fetch completion; by default it hands the notification to the plain variant
    // and reports no new data.
    virtual void didReceiveRemoteNotificationWithFetchCompletion(Application& app, const Dictionary& userInfo,
                                                                 std::function<void(BackgroundFetchResult)> completion) {
        didReceiveRemoteNotification(app, userInfo);
        if (completion)
            completion(BackgroundFetchResult::NoData);
    }
    virtual void didReceiveLocalNotification(Application& /*app*/, const LocalNotification& /*notification*/) {}

    virtual InterfaceOrientationMask supportedInterfaceOrientationsForWindow(Application& app, const Window& window);
};

} // namespace platform
