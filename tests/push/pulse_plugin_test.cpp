// The page's push service on a headless web view with a recording command delegate, the client logged in
// to the loopback push server on the main run loop: answers, document events by application state,
// tags and alias through the server, and every action's argument checks.
#include "SessionTest.h"

#include "push/PULSEPageFlow.h"
#include "push/PULSEService.h"
#include "push/PULSEMessageCenter.h"
#include "push/PulsePlugin.h"

#include "runtime/HYBHandleOpenURL.h"

#include "runtime/RecordingCommandDelegate.h"

#include "support/LogCapture.h"

#include "platform/application/Application.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/RunLoopThread.h"
#include "platform/web/HeadlessWebView.h"

#include <algorithm>
#include <future>

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using push::PULSEService;
using push::PulsePlugin;
using runtime::HYBCommandStatus;

class PulsePluginTest : public pushtest::SessionTest {
protected:
    PulsePluginTest() {
        // A page without the page's script: it has heard each message once it ran its scripts.
        headless().setAnswer(PulsePlugin::kHeardScript, "complete");
        platform::Application::shared().resetForTesting();
        PULSEService::resetForTesting(platform::RunLoop::currentShared());
        PulsePlugin::resetForTesting();
    }
    ~PulsePluginTest() override {
        m_plugin.reset();
        PULSEService::resetForTesting(nullptr);
        PulsePlugin::resetForTesting();
        platform::Application::shared().resetForTesting();
    }

    // The plug-in, made (by default) for a web view whose page has loaded: the page listens.
    PulsePlugin& plugin(bool pageLoaded = true) {
        if (!m_plugin) {
            if (pageLoaded)
                loadPage();
            m_plugin = std::make_shared<PulsePlugin>(m_webView);
            m_plugin->setCommandDelegate(m_delegate);
            m_plugin->pluginInitialize();
        }
        return *m_plugin;
    }
    void loadPage() {
        m_webView->loadHTMLString("<html><body>page</body></html>", "");
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_webView->request() && !m_webView->isLoading(); }));
    }
    // The contents of the pushed messages evaluated so far, in order.
    std::vector<std::string> messageContents() const {
        const std::string prefix = "hybrid.fireDocumentEvent('pulse.receiveMessage',";
        std::vector<std::string> contents;
        for (const auto& script : scripts()) {
            if (script.rfind(prefix, 0) != 0)
                continue;
            auto parsed = platform::JSON::parse(script.substr(prefix.size(), script.size() - prefix.size() - 1),
                                                platform::JSON::ReadMode::Fragment);
            contents.push_back(parsed.ok() ? (*parsed)["content"].stringOr("?") : "?");
        }
        return contents;
    }
    void call(const std::string& action, Array arguments = {}) {
        ASSERT_TRUE(plugin().performAction(action, runtime::HYBInvokedUrlCommand(std::move(arguments), "PulsePlugin1",
                                                                                  "PulsePlugin", action)));
        drainPosted();
    }
    // Turns the main loop until the blocks posted so far (and those they post at once) have run.
    void drainPosted() {
        bool done = false;
        platform::RunLoop::main().perform([&] { platform::RunLoop::main().perform([&] { done = true; }); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }
    // The one answer sent so far, as (status, message).
    std::pair<HYBCommandStatus, Value> onlyAnswer() {
        EXPECT_EQ(m_delegate->results.size(), 1u);
        if (m_delegate->results.empty() || !m_delegate->results[0].first)
            return {HYBCommandStatus::NoResult, Value()};
        EXPECT_EQ(m_delegate->results[0].second, std::optional<std::string>("PulsePlugin1"));
        const auto& result = *m_delegate->results[0].first;
        return {result.status(), result.message()};
    }
    const std::vector<std::string>& scripts() const { return m_delegate->scripts; }
    platform::ScriptedPage& headless() { return static_cast<platform::HeadlessWebView&>(*m_webView).page(); }
    // The data of the one document event of that name evaluated so far (null text when none or several).
    Value eventData(const std::string& name) {
        const std::string prefix = "hybrid.fireDocumentEvent('" + name + "',";
        std::vector<std::string> found;
        for (const auto& script : scripts())
            if (script.rfind(prefix, 0) == 0)
                found.push_back(script.substr(prefix.size(), script.size() - prefix.size() - 1));
        EXPECT_EQ(found.size(), 1u) << name;
        if (found.size() != 1)
            return Value();
        auto parsed = platform::JSON::parse(found[0], platform::JSON::ReadMode::Fragment);
        EXPECT_TRUE(parsed.ok()) << found[0];
        return parsed.ok() ? *parsed : Value();
    }
    std::string registrationIdNotified() {
        for (const auto& note : notes())
            if (note.name == push::kPULSENetworkDidRegisterNotification)
                return note.userInfo["RegistrationID"].stringOr("");
        return {};
    }

    hybtest::LogCapture m_console;
    std::shared_ptr<platform::WebView> m_webView = platform::HeadlessWebView::create();
    std::shared_ptr<runtime::testing::RecordingCommandDelegate> m_delegate = std::make_shared<runtime::testing::RecordingCommandDelegate>();
    std::shared_ptr<PulsePlugin> m_plugin;
};

TEST_F(PulsePluginTest, RegistrationFollowsTheSystemVersionAndIsPushStoppedAnswersIt) {
    auto& application = platform::Application::shared();
    platform::Device::current().setSystemVersion("7.1");
    call("resumePush");
    EXPECT_FALSE(application.isRegisteredForRemoteNotifications());
    EXPECT_EQ(application.enabledRemoteNotificationTypes(), 0u);
    call("isPushStopped");
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value(1)));

    platform::Device::current().setSystemVersion("8.0");
    call("resumePush");
    EXPECT_TRUE(application.isRegisteredForRemoteNotifications());
    EXPECT_EQ(application.currentUserNotificationSettingsTypes(), PulsePlugin::kRemoteNotificationTypes);
    m_delegate->results.clear();
    call("isPushStopped");
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value(0)));

    call("stopPush");
    EXPECT_FALSE(application.isRegisteredForRemoteNotifications());
}

TEST_F(PulsePluginTest, TheRegistrationIdIsEmptyBeforeRegistrationAndTheServersAfter) {
    call("getRegistrationID");
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value("")));

    startLoggedIn();
    drainPosted();
    const std::string issued = registrationIdNotified();
    ASSERT_FALSE(issued.empty());
    m_delegate->results.clear();
    call("getRegistrationID");
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value(issued)));
}

// The page's call never waits for a busy client thread: the answer comes once that thread has read the
// id. A call the client thread leaves unread when it ends (the application's end) is answered all the
// same, and later calls (and readers on any thread) get the id at once from what the thread left.
TEST_F(PulsePluginTest, TheRegistrationIdNeverWaitsForTheClientThread) {
    m_identity->setUid(77, "pw", "reg-77");
    plugin();
    platform::RunLoopThread client("pulse.test.client");
    std::promise<void> release;
    client.runLoop().perform([busy = release.get_future().share()] { busy.wait(); });
    PULSEService::resetForTesting(client.sharedRunLoop());
    call("getRegistrationID");
    EXPECT_TRUE(m_delegate->results.empty()) << "answered before the client thread read the id";
    release.set_value();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_delegate->results.empty(); }));
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value("reg-77")));

    client.requestExit();
    client.join();
    m_delegate->results.clear();
    call("getRegistrationID");
    EXPECT_TRUE(m_delegate->results.empty());
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillTerminateNotification);
    drainPosted();
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value("reg-77")));
    m_delegate->results.clear();
    call("getRegistrationID");
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value("reg-77")));
    EXPECT_EQ(PULSEService::registrationID(), "reg-77");
}

TEST_F(PulsePluginTest, TagsAndAliasGoToTheServerAndComeBackAsOneEvent) {
    startLoggedIn();
    // One argument: the console line, nothing sent, no event.
    call("setTagsWithAlias", {"alias1"});
    EXPECT_TRUE(m_console.contains("#### setTagsWithAlias param is less"));

    call("setTagsWithAlias", {"alias1", Array{"t1", "t2", "t1"}});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !scripts().empty(); }));
    EXPECT_EQ(m_server.packets(10).size(), 1u);
    const Value answer = eventData("pulse.setTagsWithAlias");
    EXPECT_EQ(answer["resultCode"], Value(0));
    EXPECT_EQ(answer["tags"], Value(Array{"t1", "t2"}));
    EXPECT_EQ(answer["alias"], Value("alias1"));
    EXPECT_EQ(testsupport::PushTestServer::tagRequestJson(m_server.packets(10)[0]),
              R"({"platform":"i","tags":"t1,t2","alias":"alias1"})");
    EXPECT_TRUE(m_delegate->results.empty()) << "the command itself is never answered";
}

TEST_F(PulsePluginTest, AResultWithoutTagsAndAliasCarriesNullForBoth) {
    startLoggedIn();
    call("setTagsWithAlias", {Value(), Value()});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !scripts().empty(); }));
    const Value answer = eventData("pulse.setTagsWithAlias");
    EXPECT_EQ(answer["resultCode"], Value(push::kPULSETagAliasNone));
    ASSERT_NE(answer.getDictionary(), nullptr);
    EXPECT_TRUE(answer.getDictionary()->contains("tags"));
    EXPECT_TRUE(answer["tags"].isNull());
    EXPECT_TRUE(answer.getDictionary()->contains("alias"));
    EXPECT_TRUE(answer["alias"].isNull());
    EXPECT_TRUE(m_server.packets(10).empty());

    // setTags: every argument one tag; an empty list clears them (an empty array comes back).
    m_delegate->scripts.clear();
    call("setTags", {});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !scripts().empty(); }));
    EXPECT_EQ(eventData("pulse.setTagsWithAlias")["tags"], Value(Array{}));
    m_delegate->scripts.clear();
    call("setAlias", {"only"});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !scripts().empty(); }));
    EXPECT_EQ(eventData("pulse.setTagsWithAlias")["alias"], Value("only"));
    EXPECT_TRUE(eventData("pulse.setTagsWithAlias")["tags"].isNull());
}

TEST_F(PulsePluginTest, ARemoteNotificationFiresReceiveWhileActiveAndOpenOtherwise) {
    plugin();
    const Dictionary payload{{"aps", Dictionary{{"alert", "it's \"here\" \\ </script>"}}}, {"_p_msgid", 5}};
    auto deliver = [&](platform::ApplicationState state) {
        platform::Application::shared().setApplicationState(state);
        platform::NotificationCenter::defaultCenter().post(push::kPulsePluginReceiveNotification, &payload);
        EXPECT_TRUE(scripts().empty()) << "events wait for a later turn of the main queue";
        drainPosted();
    };
    deliver(platform::ApplicationState::Active);
    EXPECT_EQ(eventData("pulse.receiveNotification"), Value(payload));
    m_delegate->scripts.clear();
    deliver(platform::ApplicationState::Inactive);
    EXPECT_EQ(eventData("pulse.openNotification"), Value(payload));
    m_delegate->scripts.clear();
    deliver(platform::ApplicationState::Background);
    EXPECT_EQ(eventData("pulse.openNotification"), Value(payload));
    const auto consoleLines = m_console.lines();
    for (const char* state : {"0", "1", "2"})
        EXPECT_NE(std::find(consoleLines.begin(), consoleLines.end(), state), consoleLines.end()) << "state " << state;

    // Without a payload nothing fires; a plug-in that is gone evaluates nothing.
    m_delegate->scripts.clear();
    platform::NotificationCenter::defaultCenter().post(push::kPulsePluginReceiveNotification, nullptr);
    platform::NotificationCenter::defaultCenter().post(push::kPulsePluginReceiveNotification, &payload);
    m_plugin.reset();
    drainPosted();
    EXPECT_TRUE(scripts().empty());
}

TEST_F(PulsePluginTest, APushedMessageReachesThePageTwiceWithTheSameTextWhateverItHolds) {
    plugin();
    const std::string text = "it's \\ \xE2\x80\xA8 \xE2\x80\xA9 </script>\nline two\r\nline three";
    platform::NotificationCenter::defaultCenter().post(push::kPULSENetworkDidReceiveMessageNotification, nullptr,
                                                       Dictionary{{"content", text}, {"title", "T"}});
    drainPosted();
    ASSERT_EQ(scripts().size(), 2u);
    const Value data = eventData("pulse.receiveMessage");
    EXPECT_EQ(data["content"], Value(text));
    // The callback gets the event's JSON text as one string literal.
    const std::string prefix = "window.plugins.pulsePlugin.receiveMessageIniOSCallback(";
    ASSERT_EQ(scripts()[1].rfind(prefix, 0), 0u);
    const std::string literal = scripts()[1].substr(prefix.size(), scripts()[1].size() - prefix.size() - 1);
    auto passed = platform::JSON::parse(literal, platform::JSON::ReadMode::Fragment);
    ASSERT_TRUE(passed.ok()) << literal;
    ASSERT_TRUE(passed->isString());
    const std::string eventJson = scripts()[0].substr(std::string("hybrid.fireDocumentEvent('pulse.receiveMessage',").size());
    EXPECT_EQ(*passed->getString() + ")", eventJson);
    for (const auto& script : scripts()) {
        EXPECT_EQ(script.find('\n'), std::string::npos);
        EXPECT_EQ(script.find("\xE2\x80\xA8"), std::string::npos);
        EXPECT_EQ(script.find("</script>"), std::string::npos);
    }

    // A message whose text was not JSON comes without user information: null in both scripts.
    m_delegate->scripts.clear();
    platform::NotificationCenter::defaultCenter().post(push::kPULSENetworkDidReceiveMessageNotification, nullptr, Dictionary{});
    drainPosted();
    EXPECT_EQ(scripts(), (std::vector<std::string>{"hybrid.fireDocumentEvent('pulse.receiveMessage',null)",
                                                   "window.plugins.pulsePlugin.receiveMessageIniOSCallback(null)"}));
}

TEST_F(PulsePluginTest, AMessagePushedByTheServerArrivesAsAnEvent) {
    plugin();
    startLoggedIn();
    m_server.pushMessage(1, 901, R"({"message":"hi 'there'","title":"T","extras":{"k":"v"}})");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return scripts().size() == 2; }));
    const Value data = eventData("pulse.receiveMessage");
    EXPECT_EQ(data["content"], Value("hi 'there'"));
    EXPECT_EQ(data["extras"], Value(Dictionary{{"k", "v"}}));
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.receipts().size() == 1; }));
}

// Messages that come before the page listens (at start-up, before its page loaded, or while a new page
// loads) are receipted once kept and wait: the page gets them, oldest first, once it has loaded, then
// the live ones as they come; each once, also across restarts of the application.
TEST_F(PulsePluginTest, MessagesThatComeBeforeThePageListensWaitForIt) {
    plugin(false);
    EXPECT_FALSE(plugin().pageListens());
    startLoggedIn();
    for (std::uint64_t id : {1, 2, 3})
        m_server.pushMessage(1, id, "{\"message\":\"held " + std::to_string(id) + "\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 3; }));
    drainPosted();
    EXPECT_TRUE(scripts().empty());

    // The application ends and starts again: the plug-in is made before its page loads, as the
    // messages the server held come again (their receipts may not have reached it).
    m_plugin.reset();
    auto& client = push::PULSEClientController::sharedClient();
    client.setMessageCenter(std::make_shared<push::PULSEMessageCenter>());
    plugin(false);
    m_server.pushMessage(1, 2, "{\"message\":\"held 2\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 4; }));
    drainPosted();
    EXPECT_TRUE(scripts().empty());
    loadPage();
    platform::NotificationCenter::defaultCenter().post(runtime::kHYBPageDidLoadNotification, m_webView.get());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return messageContents().size() == 3; }));
    EXPECT_EQ(messageContents(), (std::vector<std::string>{"held 1", "held 2", "held 3"}));
    EXPECT_EQ(scripts().size(), 6u);

    m_server.pushMessage(1, 4, "{\"message\":\"live\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return messageContents().size() == 4; }));
    // A new page begins to load: what comes meanwhile waits for it.
    plugin().onReset();
    m_server.pushMessage(1, 5, "{\"message\":\"during the load\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 6; }));
    drainPosted();
    EXPECT_EQ(messageContents().size(), 4u);
    platform::NotificationCenter::defaultCenter().post(runtime::kHYBPageDidLoadNotification, m_webView.get());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return messageContents().size() == 5; }));
    EXPECT_EQ(messageContents().back(), "during the load");

    // A third start: nothing waits any more.
    drainPosted();
    drainPosted();
    m_plugin.reset();
    m_delegate->scripts.clear();
    client.setMessageCenter(std::make_shared<push::PULSEMessageCenter>());
    EXPECT_TRUE(client.messageCenter()->heldMessages().empty());
    plugin();
    drainPosted();
    drainPosted();
    EXPECT_TRUE(messageContents().empty());

    // A page whose script has not heard a message yet (its listener comes late, or the event is still
    // to be dispatched) has not been handed it: it waits, also for the next start, until the page heard
    // it and its script called "initial".
    headless().setAnswer(PulsePlugin::kHeardScript, "0 1");
    m_server.pushMessage(1, 6, "{\"message\":\"late listener\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return messageContents().size() == 1; }));
    drainPosted();
    drainPosted();
    auto held = [&] {
        std::vector<std::uint64_t> ids;
        for (const auto& message : client.messageCenter()->heldMessages())
            ids.push_back(message.messageID);
        return ids;
    };
    EXPECT_EQ(held(), (std::vector<std::uint64_t>{6}));
    headless().setAnswer(PulsePlugin::kHeardScript, "1 0");
    call("initial");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return held().empty(); }));
}

TEST_F(PulsePluginTest, AnswersAndTheBadgeNumber) {
    call("getApplicationIconBadgeNumber");
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value(0)));
    call("setApplicationIconBadgeNumber", {12.7});
    EXPECT_EQ(platform::Application::shared().applicationIconBadgeNumber(), 12);

    // Strings are percent-escaped; none is an error.
    m_delegate->results.clear();
    runtime::HYBInvokedUrlCommand command({}, "PulsePlugin1", "PulsePlugin", "x");
    plugin().hanleResultWithValue(Value("a b/é"), command);
    EXPECT_EQ(onlyAnswer(), std::pair(HYBCommandStatus::Ok, Value("a%20b/%C3%A9")));
    m_delegate->results.clear();
    plugin().hanleResultWithValue(std::nullopt, command);
    EXPECT_EQ(onlyAnswer().first, HYBCommandStatus::Error);
    EXPECT_TRUE(m_console.contains("Hybrid callback block returned unrecognized type: (null)"));
}

TEST_F(PulsePluginTest, PageViewsLocalNotificationsAndTheLocation) {
    auto pages = std::make_shared<push::PULSEPageFlowSession>();
    pages->setupSession();
    push::PULSEClientController::sharedClient().setPageFlowController(pages);
    call("beginLogPageView", {"P", 30});
    EXPECT_EQ(pages->currentFlow()->pageFlow(), Array{Value(Dictionary{{"P", 30}})});

    // Null seconds: no fire date, which scheduling refuses; a null badge is 0 (no badge number).
    call("setLocalNotification", {Value(), "body", Value(), "k1", Value()});
    EXPECT_EQ(countLines("通知时间不能为空"), 1);
    EXPECT_TRUE(platform::Application::shared().scheduledLocalNotifications().empty());
    call("setLocalNotification", {60, "body", Value(), "k1", Dictionary{{"a", 1}}});
    auto scheduled = platform::Application::shared().scheduledLocalNotifications();
    ASSERT_EQ(scheduled.size(), 1u);
    EXPECT_EQ(scheduled[0].alertBody, std::optional<std::string>("body"));
    EXPECT_FALSE(scheduled[0].applicationIconBadgeNumber.has_value());
    EXPECT_EQ(scheduled[0].fireDate->secondsSince1970, platform::Clock::current().wallNow().secondsSince1970 + 60);
    EXPECT_EQ((*scheduled[0].userInfo)["a"], Value(1));
    call("setLocalNotification", {60, Value(), 3, Value(), Value()});
    ASSERT_EQ(platform::Application::shared().scheduledLocalNotifications().size(), 2u);
    EXPECT_EQ(platform::Application::shared().scheduledLocalNotifications()[1].applicationIconBadgeNumber, 3);
    call("deleteLocalNotificationWithIdentifierKey", {"k1"});
    EXPECT_EQ(platform::Application::shared().scheduledLocalNotifications().size(), 1u);
    call("clearAllLocalNotifications");
    EXPECT_TRUE(platform::Application::shared().scheduledLocalNotifications().empty());
}

// Each action with too few or mistyped arguments: its console line, and nothing else.
TEST_F(PulsePluginTest, TooFewOrMistypedArgumentsAreRefusedWithTheirLine) {
    startLoggedIn();
    auto pages = std::make_shared<push::PULSEPageFlowSession>();
    pages->setupSession();
    push::PULSEClientController::sharedClient().setPageFlowController(pages);
    plugin();
    const std::vector<std::pair<std::string, std::vector<Array>>> cases = {
        {"setTagsWithAlias", {{"a", "t1"}, {"a", Array{"t1", 2}}, {5, Array{"t1"}}, {"a", Dictionary{}}}},
        {"setTags", {{"t1", Value()}, {Array{"t1"}}}},
        {"setAlias", {{}, {42}, {Array{}}}},
        {"startLogPageView", {{}, {7}, {Value()}}},
        {"stopLogPageView", {{}, {Dictionary{}}}},
        {"beginLogPageView", {{}, {"P"}, {"P", "30"}, {7, 30}, {"P", 1e12}, {"P", Value()}}},
        {"setBadge", {{}, {"3"}, {true}}},
        {"setApplicationIconBadgeNumber", {{}, {"3"}}},
        {"setLocalNotification",
         {{},
          {60, "b", 0, "k"},
          {"60", "b", 0, "k", Value()},
          {60, 5, 0, "k", Value()},
          {60, "b", "0", "k", Value()},
          {60, "b", 1e10, "k", Value()},
          {60, "b", 0, 9, Value()},
          {60, "b", 0, "k", "not a dictionary"}}},
        {"deleteLocalNotificationWithIdentifierKey", {{}, {1}, {Value()}}},
        {"setLocation", {{}, {52.5}, {"52.5", 13.4}, {52.5, Value()}}},
    };
    for (const auto& [action, argumentLists] : cases) {
        for (const auto& arguments : argumentLists) {
            m_console.clear();
            call(action, arguments);
            const std::string expected = action == "setTagsWithAlias" && arguments.size() < 2 ? "#### setTagsWithAlias param is less"
                                         : action == "setBadge" || action == "setApplicationIconBadgeNumber"
                                             ? "setBadge argument error!"
                                             : action + " argument  error";
            EXPECT_EQ(m_console.lines(), std::vector<std::string>{expected}) << action << " " << Value(arguments).description();
        }
    }
    drainPosted();
    EXPECT_TRUE(m_delegate->results.empty());
    EXPECT_TRUE(scripts().empty());
    EXPECT_TRUE(m_server.packets(10).empty());
    EXPECT_TRUE(pages->currentFlow()->pageFlow().empty());
    EXPECT_EQ(pages->currentPage(), nullptr);
    EXPECT_EQ(platform::Application::shared().applicationIconBadgeNumber(), 0);
    EXPECT_TRUE(platform::Application::shared().scheduledLocalNotifications().empty());
    EXPECT_EQ(countLines("参数错误"), 0);
    EXPECT_EQ(countLines("通知时间"), 0);
}

} // namespace
