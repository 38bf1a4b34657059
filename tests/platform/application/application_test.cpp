#include "platform/application/Application.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Bundle.h"
#include "platform/ui/Window.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

std::string stateName(ApplicationState s) {
    switch (s) {
    case ApplicationState::Active: return "active";
    case ApplicationState::Inactive: return "inactive";
    case ApplicationState::Background: return "background";
    }
    return "?";
}

// Records each delegate call with the state the application reports during it.
class RecordingDelegate : public ApplicationDelegate {
public:
    explicit RecordingDelegate(Events& events) : m_events(events) {}
    bool didFinishLaunchingWithOptions(Application& app, const Dictionary& options) override {
        log(app, "didFinishLaunching " + options["k"].stringOr(""));
        return true;
    }
    bool openURL(Application& app, const std::string& url, const std::string& source, const Value&) override {
        log(app, "openURL " + url + " from " + source);
        return !url.empty();
    }
    void applicationWillResignActive(Application& app) override { log(app, "willResignActive"); }
    void applicationDidEnterBackground(Application& app) override { log(app, "didEnterBackground"); }
    void applicationWillEnterForeground(Application& app) override { log(app, "willEnterForeground"); }
    void applicationDidBecomeActive(Application& app) override { log(app, "didBecomeActive"); }
    void applicationWillTerminate(Application& app) override { log(app, "willTerminate"); }
    void didRegisterForRemoteNotificationsWithDeviceToken(Application& app, const Bytes& token) override {
        log(app, "token " + std::to_string(token.size()));
    }
    void didReceiveLocalNotification(Application& app, const LocalNotification& n) override {
        log(app, "local " + n.alertBody.value_or(""));
    }
    void didFailToRegisterForRemoteNotificationsWithError(Application& app, const Error& e) override {
        log(app, "registrationError " + std::to_string(e.code));
    }

private:
    void log(Application& app, const std::string& what) { m_events.push_back(what + " (" + stateName(app.applicationState()) + ")"); }
    Events& m_events;
};

void drainMainLoop() {
    while (RunLoop::main().runOnce(std::chrono::milliseconds(0)) == RunLoop::RunResult::Handled) {
    }
}

class ApplicationTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        Application::shared().resetForTesting();
        for (const char* name : {kApplicationDidFinishLaunchingNotification, kApplicationWillResignActiveNotification,
                                 kApplicationDidEnterBackgroundNotification, kApplicationWillEnterForegroundNotification,
                                 kApplicationDidBecomeActiveNotification, kApplicationWillTerminateNotification}) {
            NotificationCenter::defaultCenter().addObserver(this, name, &Application::shared(), [this](const Notification& n) {
                std::string shortName = n.name.substr(std::string("UIApplication").size());
                events.push_back("posted " + shortName + (n.userInfo.empty() ? "" : " " + n.userInfo["k"].stringOr("")));
            });
        }
        delegate = std::make_shared<RecordingDelegate>(events);
    }
    void TearDown() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        Application::shared().resetForTesting();
    }

    Events events;
    std::shared_ptr<RecordingDelegate> delegate;
};

} // namespace

TEST_F(ApplicationTest, LaunchAndLifecycleCallTheDelegateThenPostInThePlatformsOrder) {
    Application& app = Application::shared();
    EXPECT_TRUE(app.launch(delegate, Dictionary{{"k", "opts"}}));
    EXPECT_EQ(events, (Events{"didFinishLaunching opts (inactive)", "posted DidFinishLaunchingNotification opts",
                              "didBecomeActive (active)", "posted DidBecomeActiveNotification"}));
    events.clear();
    app.enterBackground();
    app.enterBackground();  // already there: nothing
    EXPECT_EQ(app.applicationState(), ApplicationState::Background);
    app.enterForeground();
    EXPECT_EQ(events, (Events{"willResignActive (active)", "posted WillResignActiveNotification",
                              "didEnterBackground (background)", "posted DidEnterBackgroundNotification",
                              "willEnterForeground (background)", "posted WillEnterForegroundNotification",
                              "didBecomeActive (active)", "posted DidBecomeActiveNotification"}));
    events.clear();
    app.terminate();
    EXPECT_EQ(events, (Events{"willTerminate (active)", "posted WillTerminateNotification"}));
    EXPECT_TRUE(app.deliverOpenURL("myapp://result?code=0", "com.other"));
    EXPECT_EQ(events.back(), "openURL myapp://result?code=0 from com.other (active)");
}

TEST_F(ApplicationTest, OpenURLAnswersFromInstalledSchemesAndRecordsWhatOpened) {
    Application& app = Application::shared();
    EXPECT_TRUE(app.canOpenURL("https://example.com/"));
    EXPECT_TRUE(app.canOpenURL(kApplicationOpenSettingsURLString));
    EXPECT_FALSE(app.canOpenURL("messenger://app/x/"));
    EXPECT_FALSE(app.openURL("messenger://app/x/"));
    EXPECT_FALSE(app.canOpenURL("not a url"));
    app.addInstalledScheme("Messenger");
    EXPECT_TRUE(app.canOpenURL("messenger://app/x/"));
    EXPECT_TRUE(app.openURL("messenger://app/x/sendreq/?"));
    EXPECT_TRUE(app.openURL("http://example.com/"));
    EXPECT_EQ(app.openedURLs(), (std::vector<std::string>{"messenger://app/x/sendreq/?", "http://example.com/"}));
    app.removeInstalledScheme("messenger");
    EXPECT_FALSE(app.canOpenURL("messenger://"));
}

TEST_F(ApplicationTest, BackgroundTaskExpiryReachesOnlyOpenTasks) {
    Application& app = Application::shared();
    std::vector<int> expired;
    BackgroundTaskIdentifier first = app.beginBackgroundTask([&] { expired.push_back(1); });
    BackgroundTaskIdentifier second = app.beginBackgroundTask([&] {
        expired.push_back(2);
        app.endBackgroundTask(2);
    });
    BackgroundTaskIdentifier third = app.beginBackgroundTask([&] { expired.push_back(3); });
    EXPECT_NE(first, kBackgroundTaskInvalid);
    EXPECT_EQ(second, 2u);
    app.endBackgroundTask(first);
    app.endBackgroundTask(kBackgroundTaskInvalid);  // harmless
    app.expireBackgroundTasks();
    EXPECT_EQ(expired, (std::vector<int>{2, 3}));
    EXPECT_EQ(app.backgroundTaskCount(), 1u);
    app.endBackgroundTask(third);
    EXPECT_EQ(app.backgroundTaskCount(), 0u);
}

TEST_F(ApplicationTest, RemoteRegistrationDeliversTheTokenOrTheErrorLater) {
    Application& app = Application::shared();
    app.setDelegate(delegate);
    EXPECT_FALSE(app.isRegisteredForRemoteNotifications());
    app.registerUserNotificationSettings(kUserNotificationTypeAlert | kUserNotificationTypeBadge | kUserNotificationTypeSound);
    app.registerForRemoteNotifications();
    EXPECT_TRUE(events.empty());
    drainMainLoop();
    EXPECT_EQ(events, (Events{"token 32 (inactive)"}));
    EXPECT_TRUE(app.isRegisteredForRemoteNotifications());
    EXPECT_EQ(app.currentUserNotificationSettingsTypes(), 7u);
    app.unregisterForRemoteNotifications();
    EXPECT_FALSE(app.isRegisteredForRemoteNotifications());

    app.setRemoteRegistrationError(Error(kCocoaErrorDomain, 3010, "no push here"));
    app.registerForRemoteNotificationTypes(7);
    drainMainLoop();
    EXPECT_EQ(events.back(), "registrationError 3010 (inactive)");
}

TEST_F(ApplicationTest, InfoPlistKeysComeFromTheBundle) {
    Application& app = Application::shared();
    EXPECT_EQ(app.supportedInterfaceOrientationsFromInfoPlist(), kInterfaceOrientationMaskPortrait) << "no Info.plist";
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>com.example.host</string>
<key>UIApplicationExitsOnSuspend</key><true/>
<key>UISupportedInterfaceOrientations</key><array>
  <string>UIInterfaceOrientationPortrait</string><string>UIInterfaceOrientationLandscapeLeft</string><string>Bogus</string>
</array>
<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>hostapp</string><string>second</string></array></dict></array>
</dict></plist>)");
    EXPECT_EQ(Bundle::main().bundleIdentifier(), "com.example.host");
    EXPECT_EQ(app.supportedInterfaceOrientationsFromInfoPlist(), maskFor(InterfaceOrientation::Portrait) | maskFor(InterfaceOrientation::LandscapeLeft));
    EXPECT_TRUE(app.exitsOnSuspend());
    EXPECT_EQ(app.bundleURLSchemes(), (std::vector<std::string>{"hostapp", "second"}));
    EXPECT_EQ(app.objectForInfoDictionaryKey("Missing"), Value());

    // The window asks the application's mask (the delegate's default reads Info.plist).
    app.setDelegate(delegate);
    auto window = Window::create(Rect{0, 0, 320, 480});
    window->setRootViewController(std::make_shared<ViewController>());
    window->makeKeyAndVisible();
    EXPECT_FALSE(window->rotateTo(InterfaceOrientation::PortraitUpsideDown));
    EXPECT_TRUE(window->rotateTo(InterfaceOrientation::LandscapeLeft));
    EXPECT_EQ(app.statusBarOrientation(), InterfaceOrientation::LandscapeLeft);
    EXPECT_EQ(app.keyWindow(), window);
    drainMainLoop();
}

TEST_F(ApplicationTest, LocalNotificationsFireAtTheirDateAndCanBeCancelled) {
    VirtualClock clock;
    clock.install();
    Application& app = Application::shared();
    app.setDelegate(delegate);
    double now = clock.wallNow().secondsSince1970;
    LocalNotification soon;
    soon.fireDate = Date{now + 60};
    soon.alertBody = "soon";
    soon.userInfo = Dictionary{{"__PULSENotificationKey", "a"}};
    LocalNotification later = soon;
    later.fireDate = Date{now + 3600};
    later.alertBody = "later";
    LocalNotification region;
    region.region = Dictionary{{"identifier", "home"}};
    region.alertBody = "region";
    app.scheduleLocalNotification(soon);
    app.scheduleLocalNotification(later);
    app.scheduleLocalNotification(region);
    ASSERT_EQ(app.scheduledLocalNotifications().size(), 3u);

    app.cancelLocalNotification(later);
    clock.advance(7200);
    drainMainLoop();
    EXPECT_EQ(events, (Events{"local soon (inactive)"}));
    EXPECT_EQ(app.scheduledLocalNotifications(), (std::vector<LocalNotification>{region}));
    app.cancelAllLocalNotifications();
    EXPECT_TRUE(app.scheduledLocalNotifications().empty());
    app.presentLocalNotificationNow(later);
    EXPECT_EQ(events.back(), "local later (inactive)");
    clock.uninstall();
}
