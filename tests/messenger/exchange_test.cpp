// End to end across processes: the stand-in messaging app (tests/support/messenger_app) is installed for
// "messenger"; what the client opens starts it, and what it answers comes back into the application.
#include "MessengerFixture.h"

#include "messenger/AppCommunicateData.h"
#include "messenger/MessengerPayPlugin.h"
#include "platform/formats/JSON.h"
#include "runtime/AppDelegate.h"
#include "runtime/BridgeFixture.h"
#include "support/RunLoopWait.h"
#include "support/StatsCollector.h"
#include "platform/device/Reachability.h"
#include "stats/MXStatConfig.h"

#include <gtest/gtest.h>

using namespace messenger;

namespace {

// Hands every URL opened into the application to the client with a recording delegate.
class HandingDelegate : public platform::ApplicationDelegate {
public:
    bool openURL(platform::Application&, const std::string& url, const std::string&, const platform::Value&) override {
        urls.push_back(url);
        handled.push_back(MXApi::handleOpenURL(url, &recorder));
        return handled.back();
    }
    messengertest::RecordingDelegate recorder;
    std::vector<std::string> urls;
    std::vector<bool> handled;
};

class ExchangeTest : public messengertest::MessengerTest {
protected:
    ExchangeTest() { platform::Application::shared().setProgramForScheme("messenger", MESSENGER_APP_PATH); }
    ~ExchangeTest() override {
        // Every started stand-in has exited, and none complained.
        EXPECT_TRUE(hybtest::runMainUntil([] { return platform::Application::shared().runningProgramCount() == 0; }));
        EXPECT_EQ(platform::Application::shared().programFailures(), std::vector<std::string>{});
        for (const char* name : {"MESSENGER_APP_SYSTEM_VERSION", "MESSENGER_APP_PAY_RET", "MESSENGER_APP_RESP_COMMAND", "MESSENGER_APP_RESP_RESULT"})
            ::unsetenv(name);
    }
    // Runs the stand-in for the system version given, with the client registered as mxabc.
    std::shared_ptr<HandingDelegate> handOver(const std::string& systemVersion) {
        useSystem(systemVersion);
        ::setenv("MESSENGER_APP_SYSTEM_VERSION", systemVersion.c_str(), 1);
        auto delegate = std::make_shared<HandingDelegate>();
        platform::Application::shared().setDelegate(delegate);
        MXApi::registerApp(std::string("mxabc"));
        return delegate;
    }
};

class PagePayTest : public ExchangeTest {
protected:
    PagePayTest() {
        platform::Application::shared().setDelegate(std::make_shared<runtime::AppDelegate>());
        bridge.host->preferences.set("messenger_appkey", "mxabc");
        plugin = std::make_shared<MessengerPayPlugin>(bridge.host->view);
        plugin->setCommandDelegate(bridge.delegate);
        plugin->pluginInitialize();
        bridge.host->plugins["messengerpay"] = plugin;
    }
    // The page calls pay with the order; true once the page got an answer for the callback.
    bool payFromPage(const std::string& callbackId) {
        const std::string order =
            R"({"partnerId":"4711","prepayId":"pp20","packageValue":"Sign=Pay","nonceStr":"n0","timeStamp":1700000000,"sign":"S1"})";
        std::string argument;
        platform::JSON::appendQuoted(argument, order);
        bridge.queue->enqueueCommandBatch("[[\"" + callbackId + "\",\"MessengerPay\",\"pay\",[" + argument + "]]]");
        bridge.queue->executePending();
        return hybtest::runMainUntil([&] { return !answerFor(callbackId).empty(); });
    }
    std::string answerFor(const std::string& callbackId) const {
        for (const std::string& script : bridge.evaluated())
            if (script.find("nativeCallback('" + callbackId + "'") != std::string::npos)
                return script;
        return {};
    }

    runtime::testing::Bridge bridge;
    std::shared_ptr<MessengerPayPlugin> plugin;
};

TEST_F(PagePayTest, CancelledPaymentReachesTheErrorCallback) {
    ::setenv("MESSENGER_APP_PAY_RET", "-2", 1);
    ASSERT_TRUE(payFromPage("pay1"));
    std::string script = answerFor("pay1");
    EXPECT_NE(script.find("'pay1',9,"), std::string::npos) << script;
    EXPECT_NE(script.find("用户取消支付"), std::string::npos) << script;
    EXPECT_EQ(platform::Application::shared().openedURLs().at(0).rfind("messenger://app/mxabc/pay/?nonceStr=n0&", 0), 0u);
}

TEST_F(PagePayTest, PaidOrderReachesTheSuccessCallback) {
    ASSERT_TRUE(payFromPage("pay2"));
    EXPECT_NE(answerFor("pay2").find("'pay2',1,null"), std::string::npos) << answerFor("pay2");
    EXPECT_FALSE(plugin->currentCallbackId());
}

TEST_F(ExchangeTest, SendRequestBeforeAndFromSystem7) {
    for (const char* version : {"6.1", "9.0"}) {
        auto delegate = handOver(version);
        ::setenv("MESSENGER_APP_RESP_RESULT", "-3", 1);
        if (std::string(version) == "9.0")
            platform::Pasteboard::general()->setString("the user's copy");
        auto req = std::make_shared<SendMessageToMXReq>();
        req->message = MXMediaMessage::message();
        auto object = MXAppExtendObject::object();
        object->extInfo = "info";
        object->fileData = platform::Bytes(4096, 7);
        req->message->mediaObject = object;
        req->message->thumbData = pngThumb();
        ASSERT_TRUE(MXApi::sendReq(req)) << version;
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !delegate->recorder.resps.empty(); })) << version;
        auto resp = std::dynamic_pointer_cast<SendMessageToMXResp>(delegate->recorder.resps[0]);
        ASSERT_TRUE(resp) << version;
        EXPECT_EQ(resp->errCode, -3);
        EXPECT_EQ(resp->lang, "en");
        EXPECT_EQ(delegate->handled, std::vector<bool>{true});
        if (std::string(version) == "9.0") {
            EXPECT_EQ(platform::Pasteboard::general()->string(), std::optional<std::string>("the user's copy"));
        }
        ASSERT_TRUE(hybtest::runMainUntil([] { return platform::Application::shared().runningProgramCount() == 0; }));
    }
}

TEST_F(ExchangeTest, ShortResponseCarriesOnlyTheErrorCode) {
    auto delegate = handOver("9.0");
    ::setenv("MESSENGER_APP_RESP_COMMAND", "2020", 1);
    auto text = std::make_shared<SendMessageToMXReq>();
    text->bText = true;
    text->text = "hello";
    ASSERT_TRUE(MXApi::sendReq(text));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !delegate->recorder.resps.empty(); }));
    auto resp = std::dynamic_pointer_cast<SendMessageToMXResp>(delegate->recorder.resps[0]);
    ASSERT_TRUE(resp);
    EXPECT_EQ(resp->errCode, 0);
    EXPECT_FALSE(resp->lang);
}

TEST_F(ExchangeTest, RequestsBegunByTheMessagingApp) {
    for (const char* version : {"6.1", "9.0"}) {
        auto delegate = handOver(version);
        ASSERT_TRUE(platform::Application::shared().openURL("messenger://app/mxabc/begin/1010"));
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !delegate->recorder.reqs.empty(); })) << version;
        auto show = std::dynamic_pointer_cast<ShowMessageFromMXReq>(delegate->recorder.reqs[0]);
        ASSERT_TRUE(show) << version;
        EXPECT_EQ(show->openID, "openid-7");
        EXPECT_EQ(show->message->title, "From the messaging app");
        auto object = std::dynamic_pointer_cast<MXAppExtendObject>(show->message->mediaObject);
        ASSERT_TRUE(object);
        EXPECT_EQ(object->extInfo, "ext-info");
        EXPECT_EQ(object->fileData, platform::Bytes({1, 2, 3}));
        ASSERT_TRUE(hybtest::runMainUntil([] { return platform::Application::shared().runningProgramCount() == 0; }));
    }
    // One exchange at a time: both sides use the one pasteboard slot of the app id.
    auto delegate = handOver("9.0");
    ASSERT_TRUE(platform::Application::shared().openURL("messenger://app/mxabc/begin/2040"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return delegate->recorder.reqs.size() == 1; }));
    ASSERT_TRUE(platform::Application::shared().openURL("messenger://app/mxabc/begin/2000"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return delegate->recorder.reqs.size() == 2; }));
    auto launch = std::dynamic_pointer_cast<LaunchFromMXReq>(delegate->recorder.reqs[0]);
    auto get = std::dynamic_pointer_cast<GetMessageFromMXReq>(delegate->recorder.reqs[1]);
    ASSERT_TRUE(launch);
    ASSERT_TRUE(get);
    EXPECT_EQ(launch->message->messageAction, "launch-action");
    EXPECT_EQ(get->lang, "en");
}

TEST_F(ExchangeTest, OwnSchemeOpensBackIntoTheApplication) {
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>CFBundleURLTypes</key><array><dict><key>CFBundleURLSchemes</key><array><string>mxabc</string></array></dict></array>
</dict></plist>)");
    auto delegate = handOver("9.0");
    EXPECT_TRUE(platform::Application::shared().canOpenURL("mxabc://pay/?ret=5"));
    ASSERT_TRUE(platform::Application::shared().openURL("mxabc://pay/?ret=5"));
    EXPECT_TRUE(delegate->recorder.resps.empty()); // a later turn of the main loop
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !delegate->recorder.resps.empty(); }));
    EXPECT_EQ(delegate->recorder.resps[0]->errCode, 5);
}

TEST_F(ExchangeTest, AStandInThatComplainsIsReported) {
    handOver("9.0");
    ASSERT_TRUE(platform::Application::shared().openURL("messenger://app/mxabc/unknown/"));
    ASSERT_TRUE(hybtest::runMainUntil([] { return platform::Application::shared().runningProgramCount() == 0; }));
    auto failures = platform::Application::shared().programFailures();
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("exit status 2"), std::string::npos) << failures[0];
    platform::Application::shared().resetForTesting(); // the failure was expected
    platform::Application::shared().setProgramForScheme("messenger", "/nonexistent/messenger_app");
    EXPECT_FALSE(platform::Application::shared().openURL("messenger://app/mxabc/pay/?x=1"));
    EXPECT_EQ(platform::Application::shared().programFailures().size(), 1u);
    platform::Application::shared().resetForTesting();
}

} // namespace

// Registration as the messaging app and the statistics collector see it, each from outside.
TEST_F(ExchangeTest, TheMessagingAppFindsTheRegisteredApplicationInItsRegistry) {
    m_home.writeBundleFile("Info.plist", R"(<?xml version="1.0"?><plist version="1.0"><dict>
<key>CFBundleName</key><string>Shop &amp; Go</string>
</dict></plist>)");
    auto delegate = handOver("9.0");
    ASSERT_TRUE(platform::Application::shared().openURL("messenger://app/mxabc/registry"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !delegate->urls.empty(); }));
    EXPECT_EQ(delegate->urls[0].rfind("mxabc://registered?name=Shop%20%26%20Go&first=", 0), 0u) << delegate->urls[0];
}

TEST_F(ExchangeTest, AMoveToTheBackgroundReachesTheCollectorAsOneRealTimeEvent) {
    testsupport::StatsCollector collector;
    stats::MXStatConfig::getInstance().setStatReportURL(collector.url());
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable);
    platform::Application::shared().setApplicationState(platform::ApplicationState::Active);
    ASSERT_TRUE(MXApi::registerApp(std::string("mxabc")));
    ASSERT_TRUE(MXApi::registerApp(std::string("mxabc")));
    platform::Application::shared().enterBackground();
    auto backgroundEvents = [&] {
        std::vector<platform::Value> found;
        for (const platform::Value& event : collector.events())
            if (event["ei"].stringOr("") == "onBackground_MX")
                found.push_back(event);
        return found;
    };
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !backgroundEvents().empty(); }));
    EXPECT_EQ(collector.problems(), std::vector<std::string>{});
    const auto events = backgroundEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["ky"].stringOr(""), "IMXOPmxabc");
    EXPECT_EQ(events[0]["et"].integerValue(), 1000);
    EXPECT_FALSE(events[0].getDictionary()->contains("kv"));
}
