// The push client's start-up road and the application delegate's routes, on the main run loop as the
// client thread: "PushConfig.plist" read at launch (a bundle without it, or without an app key, ends the
// application), the launching notification as the first plug-in's event, and the token and the remote and
// local notifications handed to the client instead of the shell's notifications.
#include "PushTest.h"

#include "push/PULSEPushConfigController.h"
#include "push/PULSEService.h"
#include "push/PulseAppDelegate.h"
#include "push/PulsePlugin.h"

#include "runtime/RecordingCommandDelegate.h"

#include "support/LogCapture.h"
#include "support/RunLoopWait.h"

#include "platform/application/Application.h"
#include "platform/device/Reachability.h"
#include "platform/runloop/RunLoop.h"
#include "platform/ui/Window.h"
#include "platform/web/HeadlessWebView.h"

namespace {

using platform::Dictionary;
using platform::Value;
using push::PULSEService;
using push::PulsePlugin;

constexpr const char* kAppKey = "0123456789abcdef01234567";

std::string pushConfig(const std::string& entries) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>" + entries + "</dict></plist>\n";
}

class PulseStartUp : public pushtest::PushTest {
protected:
    PulseStartUp() {
        platform::Application::shared().resetForTesting();
        PULSEService::resetForTesting(platform::RunLoop::currentShared());
        PulsePlugin::resetForTesting();
        // No network: once it has a token the client would look its servers up, and nothing here answers.
        platform::Reachability::setOverrideFlags(platform::ReachabilityFlags{});
        m_home.writeBundleFile("config.xml", "<widget><feature name=\"PulsePlugin\"><param name=\"ios-package\" "
                                             "value=\"PulsePlugin\"/></feature></widget>");
        m_home.writeBundleFile("www/index.html", "<html><body>push</body></html>");
        m_home.writeBundleFile("Info.plist", pushConfig("<key>CFBundleIdentifier</key><string>org.test.pulse</string>"
                                                        "<key>CFBundleVersion</key><string>3</string>"));
    }
    ~PulseStartUp() override {
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        m_plugin.reset();
        push::PULSEClientController::sharedClient().close();
        PULSEService::resetForTesting(nullptr);
        PulsePlugin::resetForTesting();
        platform::Application::shared().resetForTesting();
        platform::Reachability::setOverrideFlags(std::nullopt);
    }
    void writeConfig(const std::string& entries) { m_home.writeBundleFile("PushConfig.plist", pushConfig(entries)); }
    void drainPosted() {
        bool done = false;
        platform::RunLoop::main().perform([&] { platform::RunLoop::main().perform([&] { done = true; }); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }
    // The first plug-in instance, made as the runtime makes it.
    void makePlugin() {
        m_plugin = std::make_shared<PulsePlugin>(platform::HeadlessWebView::create());
        m_plugin->setCommandDelegate(m_delegate);
        m_plugin->pluginInitialize();
        drainPosted();
    }
    static Dictionary launchedFrom(Value entry) {
        Dictionary options;
        options.set(platform::kApplicationLaunchOptionsRemoteNotificationKey, std::move(entry));
        return options;
    }
    void observe(const char* name) {
        platform::NotificationCenter::defaultCenter().addObserver(this, name, nullptr, [this](const platform::Notification& note) {
            m_posted.push_back(note.name);
            if (note.name == push::kPulsePluginReceiveNotification && note.object)
                m_payloads.push_back(*static_cast<const Dictionary*>(note.object));
        });
    }

    hybtest::LogCapture m_console;
    std::shared_ptr<runtime::testing::RecordingCommandDelegate> m_delegate = std::make_shared<runtime::testing::RecordingCommandDelegate>();
    std::shared_ptr<PulsePlugin> m_plugin;
    std::vector<std::string> m_posted;
    std::vector<Dictionary> m_payloads;
};

TEST_F(PulseStartUp, LaunchOptionsSetTheClientUpAndTheLaunchingNotificationOpensOnTheFirstPlugin) {
    writeConfig("<key>APP_KEY</key><string>" + std::string(kAppKey) + "</string><key>CHANNEL</key><string>web</string>"
                "<key>IsProduction</key><true/>");
    platform::Device::current().setSystemVersion("8.0");
    const Dictionary payload{{"aps", Dictionary{{"alert", "hello"}}}, {"_p_msgid", "77"}};
    PulsePlugin::setLaunchOptions(launchedFrom(Value(payload)));
    EXPECT_EQ(PulsePlugin::launchOptions(), std::optional<Dictionary>(launchedFrom(Value(payload))));
    EXPECT_TRUE(platform::Application::shared().isRegisteredForRemoteNotifications());
    EXPECT_EQ(platform::Application::shared().currentUserNotificationSettingsTypes(), 7u);
    // Debug mode chosen on the start-up road lasts until the logger set-up, whose level is info: the
    // terminal shows no debug lines unless they are asked for afterwards.
    EXPECT_EQ(PULSEService::currentLogLevel(), 7u);
    drainPosted();
    auto config = push::PULSEClientController::sharedClient().pushConfig();
    ASSERT_NE(config, nullptr);
    EXPECT_EQ(config->applicationKey(), kAppKey);
    EXPECT_EQ(countLines("report result: 2003"), 1);

    EXPECT_TRUE(m_delegate->scripts.empty());
    makePlugin();
    ASSERT_EQ(m_delegate->scripts.size(), 1u);
    EXPECT_EQ(m_delegate->scripts[0], "hybrid.fireDocumentEvent('pulse.openNotification',"
                                      "{\"aps\":{\"alert\":\"hello\"},\"_p_msgid\":\"77\"})");
    // Each instance fires it when made (one per web view).
    m_delegate->scripts.clear();
    makePlugin();
    EXPECT_EQ(m_delegate->scripts.size(), 1u);
}

TEST_F(PulseStartUp, OnlyALaunchEntryHoldingADictionaryWithKeysFiresAnEvent) {
    writeConfig("<key>APP_KEY</key><string>" + std::string(kAppKey) + "</string>");
    platform::Device::current().setSystemVersion("7.1");
    PulsePlugin::setLaunchOptions(launchedFrom(Value(Dictionary{})));
    EXPECT_FALSE(platform::Application::shared().isRegisteredForRemoteNotifications());
    makePlugin();
    for (Value entry : {Value("not a dictionary"), Value(platform::Array{1}), Value()}) {
        PulsePlugin::setLaunchOptions(launchedFrom(entry));
        makePlugin();
    }
    PulsePlugin::setLaunchOptions(Dictionary{});
    makePlugin();
    EXPECT_TRUE(m_delegate->scripts.empty());
    // A payload JSON cannot hold gives no event either.
    PulsePlugin::setLaunchOptions(launchedFrom(Value(Dictionary{{"when", platform::Date{1}}})));
    makePlugin();
    EXPECT_TRUE(m_delegate->scripts.empty());
    EXPECT_TRUE(m_console.contains("The launching notification cannot be written as JSON"));
}

using PulseStartUpDeathTest = PulseStartUp;

TEST_F(PulseStartUpDeathTest, ABundleWithoutItsPushConfigurationEndsTheApplication) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // The console lines go to standard error, where the death test reads them.
    platform::Log::setCaptureHook({});
    EXPECT_EXIT(PulsePlugin::setLaunchOptions(Dictionary{}), ::testing::ExitedWithCode(PulsePlugin::kConfigurationExitStatus),
                "error: PushConfig\\.plist not found");
    writeConfig("<key>CHANNEL</key><string>web</string>");
    EXPECT_EXIT(PulsePlugin::setLaunchOptions(Dictionary{}), ::testing::ExitedWithCode(PulsePlugin::kConfigurationExitStatus),
                "error: app key not found in PushConfig\\.plist ");
    writeConfig("<key>APP_KEY</key><string></string>");
    EXPECT_EXIT(PulsePlugin::setLaunchOptions(Dictionary{}), ::testing::ExitedWithCode(PulsePlugin::kConfigurationExitStatus),
                "error: app key not found in PushConfig\\.plist ");
    writeConfig("<key>APP_KEY</key><integer>12</integer>");
    EXPECT_EXIT(PulsePlugin::setLaunchOptions(Dictionary{}), ::testing::ExitedWithCode(PulsePlugin::kConfigurationExitStatus),
                "error: app key not found in PushConfig\\.plist ");
    m_home.writeBundleFile("PushConfig.plist", "not a property list");
    EXPECT_EXIT(PulsePlugin::setLaunchOptions(Dictionary{}), ::testing::ExitedWithCode(PulsePlugin::kConfigurationExitStatus),
                "error: PushConfig\\.plist is not a property-list dictionary");
    m_home.writeBundleFile("PushConfig.plist", pushConfig("<key>APP_KEY</key><string>" + std::string(70000, 'a') + "</string>"));
    EXPECT_EXIT(PulsePlugin::setLaunchOptions(Dictionary{}), ::testing::ExitedWithCode(PulsePlugin::kConfigurationExitStatus),
                "error: PushConfig\\.plist cannot be read or is larger than 64 KiB");
}

TEST_F(PulseStartUp, TheDelegateStartsTheClientAtLaunchAndRoutesTokensAndNotifications) {
    writeConfig("<key>APP_KEY</key><string>" + std::string(kAppKey) + "</string>");
    for (const char* name : {runtime::kHYBRemoteNotification, runtime::kHYBLocalNotification, runtime::kHYBRemoteNotificationError,
                             push::kPulsePluginReceiveNotification})
        observe(name);
    auto delegate = std::make_shared<push::PulseAppDelegate>();
    auto& application = platform::Application::shared();
    const Dictionary launchPayload{{"aps", Dictionary{}}, {"_p_msgid", "5"}};
    ASSERT_TRUE(application.launch(delegate, launchedFrom(Value(launchPayload))));
    EXPECT_EQ(PulsePlugin::launchOptions(), std::optional<Dictionary>(launchedFrom(Value(launchPayload))));
    EXPECT_NE(delegate->viewController(), nullptr) << "the shell's launch still runs";
    drainPosted();
    ASSERT_NE(push::PULSEClientController::sharedClient().userDefaults(), nullptr);

    // The token reaches the client (the platform delivers it after registering, on a later turn).
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        return push::PULSEClientController::sharedClient().userDefaults()->currentDeviceToken().has_value();
    }));
    EXPECT_EQ(push::PULSEClientController::sharedClient().userDefaults()->currentDeviceToken(),
              std::optional<std::string>(runtime::AppDelegate::deviceTokenText(application.deviceToken())));

    // A remote notification is reported, then posted with the payload; the fetch variant answers new data.
    application.setApplicationState(platform::ApplicationState::Active);
    const Dictionary payload{{"aps", Dictionary{{"alert", "hi"}}}, {"_p_msgid", "6"}};
    std::optional<platform::BackgroundFetchResult> fetched;
    application.deliverRemoteNotification(payload, [&](platform::BackgroundFetchResult result) { fetched = result; });
    EXPECT_EQ(fetched, platform::BackgroundFetchResult::NewData);
    delegate->didReceiveRemoteNotification(application, payload);
    EXPECT_EQ(m_payloads, (std::vector<Dictionary>{payload, payload}));
    EXPECT_EQ(countLines("report result: 2001"), 2);

    // A local notification is shown in front.
    const std::size_t windows = platform::Window::visibleWindows().size();
    platform::LocalNotification reminder;
    reminder.alertBody = "Wake up";
    application.deliverLocalNotification(reminder);
    EXPECT_EQ(platform::Window::visibleWindows().size(), windows + 1);

    // A failed registration is still the shell's.
    delegate->didFailToRegisterForRemoteNotificationsWithError(application, platform::Error("Test", 3010, "no push here"));
    EXPECT_EQ(m_posted, (std::vector<std::string>{push::kPulsePluginReceiveNotification, push::kPulsePluginReceiveNotification,
                                                  runtime::kHYBRemoteNotificationError}));
}

} // namespace
