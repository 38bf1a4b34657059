// The shared application: its delegate, its state and lifecycle, opening URLs in other applications,
// the badge, background tasks, remote-notification registration, the status bar and the facts of the
// bundle's Info.plist.
//
// Guarantees:
// - Lifecycle calls (launch, the system-event drivers, URL delivery) run on the main thread. For each
//   event the delegate is called first, then the notification is posted on the default centre with the
//   application as sender. States as the platform has them: inactive while launching and during
//   willEnterForeground/didEnterBackground transitions, active after didBecomeActive, background after
//   didEnterBackground.
// - launch: didFinishLaunchingWithOptions, then "UIApplicationDidFinishLaunchingNotification" with the
//   launch options as user info (after the delegate returned), then the application becomes active.
// - openURL/canOpenURL answer from the set of installed schemes (default: http, https and the settings
//   URL "app-settings:"); every URL opened is recorded, so tests can play the other application, and
//   logged ("Opened URL in another application: <url>"), as the desktop has none of those applications. When
//   desktop opening is on (the real application), http and https URLs open in the desktop's browser
//   through xdg-open.
// - Programs can play installed applications (setProgramForScheme): opening a URL of such a scheme
//   starts the program with the URL as its one argument and this process's environment (so it shares
//   the pasteboard folder); every line "open <url>" it prints comes back into this application through
//   deliverOpenURL on the main run loop, in the order printed. Other lines are ignored.
// - A URL of one of the application's own schemes (Info.plist CFBundleURLSchemes) can be opened and
//   comes back into the application through deliverOpenURL on a later turn of the main run loop.
// - Getters may be called from any thread (the state, badge and flags are guarded by a lock).
// - Background tasks: ids start at 1 (kBackgroundTaskInvalid is 0); expireBackgroundTasks (test hook,
//   main thread) calls the expiry handler of every task not yet ended, in the order they began.
// - The delegate is kept strongly, as the application main keeps it.
#pragma once

#include "platform/application/ApplicationDelegate.h"
#include "platform/application/LocalNotification.h"
#include "platform/core/Error.h"
#include "platform/core/Geometry.h"
#include "platform/core/Value.h"
#include "platform/system/InterfaceOrientation.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform {

class Timer;
class Window;

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };
enum class StatusBarStyle { Default = 0, LightContent = 1 };

using BackgroundTaskIdentifier = std::uint64_t;
inline constexpr BackgroundTaskIdentifier kBackgroundTaskInvalid = 0;

// Notification types for registration (badge 1, sound 2, alert 4).
inline constexpr unsigned kUserNotificationTypeNone = 0;
inline constexpr unsigned kUserNotificationTypeBadge = 1;
inline constexpr unsigned kUserNotificationTypeSound = 2;
inline constexpr unsigned kUserNotificationTypeAlert = 4;

inline constexpr const char* kApplicationOpenSettingsURLString = "app-settings:";
// Launch-option keys.
inline constexpr const char* kApplicationLaunchOptionsURLKey = "UIApplicationLaunchOptionsURLKey";
inline constexpr const char* kApplicationLaunchOptionsRemoteNotificationKey = "UIApplicationLaunchOptionsRemoteNotificationKey";

class Application {
public:
    static Application& shared();

    // ---- start-up and the system's events (main thread) ----
    bool launch(std::shared_ptr<ApplicationDelegate> delegate, const Dictionary& launchOptions = {});
    std::shared_ptr<ApplicationDelegate> delegate() const;
    void setDelegate(std::shared_ptr<ApplicationDelegate> delegate);

    ApplicationState applicationState() const;
    // Sets the state without any event (tests).
    void setApplicationState(ApplicationState state);
    // Active -> background: willResignActive, (inactive), didEnterBackground, (background).
    void enterBackground();
    // Background -> active: willEnterForeground, (inactive), didBecomeActive, (active).
    void enterForeground();
    // An interruption (a call, a system alert): willResignActive only, and back with becomeActive.
    void resignActive();
    void becomeActive();
    void terminate();
    void receiveMemoryWarning();
    // Another application opens a URL into this one: the delegate's openURL answers.
    bool deliverOpenURL(const std::string& url, const std::string& sourceApplication = {}, const Value& annotation = {});

    // ---- other applications ----
    bool openURL(const std::string& url);
    bool canOpenURL(const std::string& url) const;
    void setInstalledSchemes(std::set<std::string> schemes);
    void addInstalledScheme(const std::string& scheme);
    void removeInstalledScheme(const std::string& scheme);
    std::vector<std::string> openedURLs() const;
    void clearOpenedURLs();
    void setOpensWebURLsOnDesktop(bool on);
    // The program that plays the application of a scheme; an empty path removes it.
    void setProgramForScheme(const std::string& scheme, const std::string& path);
    // Programs started by openURL that have not exited yet.
    std::size_t runningProgramCount() const;
    // Each started program that failed (could not start, exited non-zero or by a signal), described.
    std::vector<std::string> programFailures() const;

    // ---- badge, activity indicator, status bar, key window ----
    long long applicationIconBadgeNumber() const;
    void setApplicationIconBadgeNumber(long long number);
    bool isNetworkActivityIndicatorVisible() const;
    void setNetworkActivityIndicatorVisible(bool visible);
    StatusBarStyle statusBarStyle() const;
    void setStatusBarStyle(StatusBarStyle style, bool animated = false);
    bool isStatusBarHidden() const;
    void setStatusBarHidden(bool hidden, bool animated = false);
    // The key window's orientation (on the main thread, while there is one), else the one set here.
    InterfaceOrientation statusBarOrientation() const;
    void setStatusBarOrientation(InterfaceOrientation orientation);
    // 20 points high across the screen, zero when hidden.
    Rect statusBarFrame() const;
    std::shared_ptr<Window> keyWindow() const;

    // ---- background tasks ----
    BackgroundTaskIdentifier beginBackgroundTask(std::function<void()> expirationHandler);
    void endBackgroundTask(BackgroundTaskIdentifier identifier);
    std::size_t backgroundTaskCount() const;
    void expireBackgroundTasks();
    double backgroundTimeRemaining() const;

    // ---- remote notifications ----
    // Registers; the device token (or the error set for tests) reaches the delegate on a later turn of
    // the main run loop.
    void registerForRemoteNotifications();
    void unregisterForRemoteNotifications();
    bool isRegisteredForRemoteNotifications() const;
    // The older registration with types (also registers).
    void registerForRemoteNotificationTypes(unsigned types);
    unsigned enabledRemoteNotificationTypes() const;
    void registerUserNotificationSettings(unsigned types);
    unsigned currentUserNotificationSettingsTypes() const;
    void setDeviceToken(Bytes token);
    Bytes deviceToken() const;
    void setRemoteRegistrationError(std::optional<Error> error);
    // The push platform delivers a payload (main thread).
    void deliverRemoteNotification(const Dictionary& userInfo, std::function<void(BackgroundFetchResult)> completion = {});
    void deliverLocalNotification(const LocalNotification& notification);

    // ---- local notifications ----
    // The scheduled notifications in the order they were scheduled. A notification with a fire date
    // fires on the main run loop at that date (by Clock::current()'s wall time; a date in the past fires
    // on the next turn): it leaves the list and reaches the delegate's didReceiveLocalNotification.
    // Region notifications stay scheduled until cancelled.
    std::vector<LocalNotification> scheduledLocalNotifications() const;
    void scheduleLocalNotification(const LocalNotification& notification);
    // Cancels every scheduled notification equal to the given one.
    void cancelLocalNotification(const LocalNotification& notification);
    void cancelAllLocalNotifications();
    // Delivers at once, without scheduling.
    void presentLocalNotificationNow(const LocalNotification& notification);

    // ---- the bundle's Info.plist ----
    Value objectForInfoDictionaryKey(const std::string& key) const;
    // "UISupportedInterfaceOrientations" as a mask (portrait when absent or empty).
    InterfaceOrientationMask supportedInterfaceOrientationsFromInfoPlist() const;
    bool exitsOnSuspend() const;
    // The schemes of "CFBundleURLTypes" / "CFBundleURLSchemes", in order.
    std::vector<std::string> bundleURLSchemes() const;

    // Back to the state of a fresh process (tests).
    void resetForTesting();

private:
    Application();
    void post(const char* name, Dictionary userInfo = {});
    bool startProgram(const std::string& path, const std::string& url);
    void recordProgramFailure(std::string description);

    mutable std::mutex m_mutex;
    std::shared_ptr<ApplicationDelegate> m_delegate;
    ApplicationState m_state = ApplicationState::Inactive;
    std::set<std::string> m_installedSchemes;
    std::vector<std::string> m_openedURLs;
    bool m_desktopOpening = false;
    std::map<std::string, std::string> m_programs;
    std::size_t m_runningPrograms = 0;
    std::vector<std::string> m_programFailures;
    long long m_badge = 0;
    bool m_activityIndicator = false;
    StatusBarStyle m_statusBarStyle = StatusBarStyle::Default;
    bool m_statusBarHidden = false;
    InterfaceOrientation m_statusBarOrientation = InterfaceOrientation::Portrait;
    std::map<BackgroundTaskIdentifier, std::function<void()>> m_backgroundTasks;
    BackgroundTaskIdentifier m_nextBackgroundTask = 1;
    bool m_registeredForRemote = false;
    unsigned m_remoteTypes = 0;
    unsigned m_userNotificationTypes = 0;
    Bytes m_deviceToken;
    std::optional<Error> m_registrationError;
    struct Scheduled {
        std::uint64_t id;
        LocalNotification notification;
        std::shared_ptr<Timer> timer;
    };
    std::vector<Scheduled> m_scheduled;
    std::uint64_t m_nextScheduledId = 1;
};

} // namespace platform
