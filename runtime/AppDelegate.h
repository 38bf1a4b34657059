// The application's delegate: prepares the process-wide URL cache and cookie policy when it is made,
// shows one window whose root is a MainViewController at launch, and turns URLs opened into the
// application into the runtime's open-URL notification.
//
// Notifications it posts on the default centre:
// - "HYBPluginHandleOpenURLNotification" (object: none): user info {"url": <the URL's text>};
// - "HYBLocalNotification": object: the platform::LocalNotification received; user info: its own;
// - "HYBRemoteNotification" (object: none): user info {"deviceToken": <the token as bare lower-case
//   hexadecimal>};
// - "HYBRemoteNotificationError": object: the platform::Error received; user info {"error": <its
//   description>}.
// An object is valid while the post is delivered (posts are synchronous): observers copy what they keep.
//
// Guarantees: main thread (the platform calls its delegate there).
#pragma once

#include "platform/application/ApplicationDelegate.h"
#include "platform/ui/Window.h"
#include "runtime/HYBViewController.h"

#include <memory>
#include <optional>
#include <string>

namespace runtime {

inline constexpr const char* kHYBLocalNotification = "HYBLocalNotification";
inline constexpr const char* kHYBRemoteNotification = "HYBRemoteNotification";
inline constexpr const char* kHYBRemoteNotificationError = "HYBRemoteNotificationError";
inline constexpr const char* kHYBDeviceTokenKey = "deviceToken";
inline constexpr const char* kHYBErrorKey = "error";
// The shared URL cache the application installs: 8 MiB in memory, 32 MiB on disk in "nsurlcache".
inline constexpr std::uint64_t kHYBURLCacheMemoryCapacity = 0x800000;
inline constexpr std::uint64_t kHYBURLCacheDiskCapacity = 0x2000000;

class AppDelegate : public platform::ApplicationDelegate {
public:
    // Accept every cookie and install the application's URL cache.
    AppDelegate();

    bool didFinishLaunchingWithOptions(platform::Application& app, const platform::Dictionary& launchOptions) override;
    bool openURL(platform::Application& app, const std::string& url, const std::string& sourceApplication,
                 const platform::Value& annotation) override;
    void didReceiveLocalNotification(platform::Application& app, const platform::LocalNotification& notification) override;
    void didRegisterForRemoteNotificationsWithDeviceToken(platform::Application& app, const platform::Bytes& token) override;
    void didFailToRegisterForRemoteNotificationsWithError(platform::Application& app, const platform::Error& error) override;
    // Always all four orientations (30).
    platform::InterfaceOrientationMask supportedInterfaceOrientationsForWindow(platform::Application& app,
                                                                               const platform::Window& window) override;
    void applicationDidReceiveMemoryWarning(platform::Application& app) override;

    // The token as the platform describes it, without "<", ">" and blanks: bare hexadecimal digits.
    static std::string deviceTokenText(const platform::Bytes& token);

    // The settings of the bundle's config.xml as launchApplication read them: the view controller made at
    // launch takes them (without them it reads the file itself).
    void setLaunchSettings(HYBLoadedSettings settings) { m_launchSettings = std::move(settings); }

    const std::shared_ptr<platform::Window>& window() const { return m_window; }
    const std::shared_ptr<HYBViewController>& viewController() const { return m_viewController; }

private:
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<HYBViewController> m_viewController;
    std::optional<HYBLoadedSettings> m_launchSettings;
};

} // namespace runtime
