#include "runtime/HYBPlugin.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/ViewController.h"
#include "platform/web/HeadlessWebView.h"

#include "RecordingCommandDelegate.h"

#include <gtest/gtest.h>

#include <vector>

using namespace runtime;
using runtime::testing::RecordingCommandDelegate;

namespace {

class EventPlugin : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    void onReset() override { events.push_back("reset"); }
    void onAppTerminate() override { events.push_back("terminate"); }
    void onMemoryWarning() override { events.push_back("memory"); }
    void handleOpenURL(const platform::Notification& notification) override {
        events.push_back("open " + notification.userInfo[kHYBPluginHandleOpenURLKey].stringOr(""));
    }
    void echo(const HYBInvokedUrlCommand& command) { events.push_back("echo " + command.argumentAtIndex(0).stringOr("")); }

    const HYBActionTable& actions() const override {
        static const HYBActionTable table = HYBActionTable::of<EventPlugin>({{"echo", &EventPlugin::echo}});
        return table;
    }

    std::vector<std::string> events;
};

class LoudPlugin : public EventPlugin {
public:
    using EventPlugin::EventPlugin;
    void shout(const HYBInvokedUrlCommand&) { events.push_back("shout"); }
    const HYBActionTable& actions() const override {
        static const HYBActionTable table =
            HYBActionTable::of<LoudPlugin>({{"shout", &LoudPlugin::shout}}, EventPlugin::actions());
        return table;
    }
};

HYBInvokedUrlCommand command(std::string action, platform::Array arguments = {}) {
    return HYBInvokedUrlCommand(std::move(arguments), "cb", "Events", std::move(action));
}

} // namespace

TEST(HYBPlugin, ResetReachesOnlyThePluginsOfThatWebView) {
    auto mine = platform::HeadlessWebView::create();
    auto other = platform::HeadlessWebView::create();
    auto plugin = std::make_shared<EventPlugin>(mine);
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(kHYBPluginResetNotification, other.get());
    EXPECT_TRUE(plugin->events.empty());
    center.post(kHYBPluginResetNotification, mine.get());
    EXPECT_EQ(plugin->events, std::vector<std::string>{"reset"});
}

TEST(HYBPlugin, OpenUrlTerminateAndMemoryWarningReachEveryLivePlugin) {
    auto first = std::make_shared<EventPlugin>(platform::HeadlessWebView::create());
    auto second = std::make_shared<EventPlugin>(platform::HeadlessWebView::create());
    auto& center = platform::NotificationCenter::defaultCenter();
    center.post(kHYBPluginHandleOpenURLNotification, nullptr, platform::Dictionary{{kHYBPluginHandleOpenURLKey, "app://x"}});
    center.post(platform::kApplicationWillTerminateNotification);
    center.post(platform::kApplicationDidReceiveMemoryWarningNotification);
    std::vector<std::string> expected{"open app://x", "terminate", "memory"};
    EXPECT_EQ(first->events, expected);
    EXPECT_EQ(second->events, expected);
}

TEST(HYBPlugin, DestroyedPluginStopsObserving) {
    auto view = platform::HeadlessWebView::create();
    auto plugin = std::make_shared<EventPlugin>(view);
    plugin.reset();
    // Nothing may reach the destroyed plug-in (AddressSanitizer would report it).
    platform::NotificationCenter::defaultCenter().post(kHYBPluginResetNotification, view.get());
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillTerminateNotification);
}

TEST(HYBPlugin, ActionsAreFoundByExactNameIncludingInheritedOnes) {
    LoudPlugin plugin(nullptr);
    EXPECT_TRUE(plugin.performAction("echo", command("echo", {"hi"})));
    EXPECT_TRUE(plugin.performAction("shout", command("shout")));
    EXPECT_FALSE(plugin.performAction("Echo", command("Echo")));
    EXPECT_FALSE(plugin.performAction("echo:", command("echo:")));
    EXPECT_FALSE(plugin.performAction("dispose", command("dispose")));
    EXPECT_EQ(plugin.events, (std::vector<std::string>{"echo hi", "shout"}));
    EXPECT_FALSE(HYBPlugin(nullptr).performAction("echo", command("echo")));
}

TEST(HYBPlugin, OldAnswerFormsEvaluateThroughTheDelegateAndReturnEmptyText) {
    auto delegate = std::make_shared<RecordingCommandDelegate>();
    EventPlugin plugin(nullptr);
    plugin.setCommandDelegate(delegate);
    EXPECT_EQ(plugin.success(HYBPluginResult::messageAsBool(HYBCommandStatus::Ok, true), "c1"), "");
    EXPECT_EQ(plugin.error(HYBPluginResult::resultWithStatus(HYBCommandStatus::Error), "c2"), "");
    ASSERT_EQ(delegate->scripts.size(), 2u);
    EXPECT_TRUE(delegate->scripts[0].starts_with("hybrid.callbackSuccess('c1',{"));
    EXPECT_TRUE(delegate->scripts[1].starts_with("hybrid.callbackError('c2',{"));
}

TEST(HYBPlugin, BackReferencesAreWeakAndDisposeClearsThem) {
    auto view = platform::HeadlessWebView::create();
    auto controller = std::make_shared<platform::ViewController>();
    auto delegate = std::make_shared<RecordingCommandDelegate>();
    EventPlugin plugin(view);
    plugin.setViewController(controller);
    plugin.setCommandDelegate(delegate);
    EXPECT_EQ(plugin.webView(), view);
    EXPECT_EQ(plugin.viewController(), controller);
    delegate.reset();
    EXPECT_EQ(plugin.commandDelegate(), nullptr);
    EXPECT_EQ(plugin.success(HYBPluginResult(), "c"), "") << "answers after the delegate is gone go nowhere";
    plugin.dispose();
    EXPECT_EQ(plugin.webView(), nullptr);
    EXPECT_EQ(plugin.viewController(), nullptr);
    EXPECT_EQ(plugin.writeJavascript("1+1"), "");
}

TEST(HYBPlugin, ClassNameIsTheBareClassName) {
    EXPECT_EQ(EventPlugin(nullptr).className(), "EventPlugin");
    EXPECT_EQ(HYBPlugin(nullptr).className(), "HYBPlugin");
}
