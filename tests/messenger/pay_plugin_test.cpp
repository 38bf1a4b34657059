// The page's pay service: what it sends, what it answers, and the orders it refuses.
#include "MessengerFixture.h"

#include "messenger/MessengerPayPlugin.h"
#include "platform/web/HeadlessWebView.h"
#include "plugins/PluginFixture.h"

#include <gtest/gtest.h>

using namespace messenger;
using runtime::HYBCommandStatus;

namespace {

const std::string kOrder =
    R"({"partnerId":"4711","prepayId":"pp20","packageValue":"Sign=Pay","nonceStr":"n0","timeStamp":"1700000000","sign":"S1"})";

class PayPluginTest : public messengertest::MessengerTest {
protected:
    PayPluginTest() {
        platform::Application::shared().addInstalledScheme("messenger");
        log->preferences.set("messenger_appkey", "mxabc");
    }
    MessengerPayPlugin& plugin() {
        if (!m_plugin) {
            m_plugin = std::make_shared<MessengerPayPlugin>(m_webView);
            m_plugin->setCommandDelegate(log);
            m_plugin->pluginInitialize();
        }
        return *m_plugin;
    }
    void call(const std::string& action, platform::Array arguments, const std::string& callbackId) {
        ASSERT_TRUE(plugin().performAction(action, runtime::HYBInvokedUrlCommand(std::move(arguments), callbackId, "MessengerPay", action)));
    }
    void openURL(const std::string& url) {
        platform::Notification notification{runtime::kHYBPluginHandleOpenURLNotification, nullptr, {}};
        notification.userInfo.set(runtime::kHYBPluginHandleOpenURLKey, url);
        plugin().handleOpenURL(notification);
    }
    std::string lastMessage() const { return log->answers.back().message().stringOr("<none>"); }

    std::shared_ptr<platform::WebView> m_webView = platform::HeadlessWebView::create();
    std::shared_ptr<pluginstest::AnswerLog> log = std::make_shared<pluginstest::AnswerLog>();
    std::shared_ptr<MessengerPayPlugin> m_plugin;
};

TEST_F(PayPluginTest, AnswersTheLatestPayFromTheReturnURL) {
    call("pay", {kOrder}, "first");
    call("pay", {kOrder}, "second");
    EXPECT_TRUE(log->answers.empty());
    EXPECT_EQ(platform::Application::shared().openedURLs().size(), 2u);
    openURL("mxabc://oauth?code=c"); // a sign-in answer leaves the pay waiting
    EXPECT_TRUE(log->answers.empty());
    openURL("mxabc://pay/?ret=-2");
    ASSERT_EQ(log->answers.size(), 1u);
    EXPECT_EQ(log->answers[0].callbackId, "second");
    EXPECT_EQ(log->answers[0].status(), HYBCommandStatus::Error);
    EXPECT_EQ(lastMessage(), "用户取消支付");
    openURL("mxabc://pay/?ret=0"); // nothing waits any more
    EXPECT_EQ(log->answers.size(), 1u);

    call("pay", {kOrder}, "third");
    openURL("mxabc://pay/?ret=0");
    EXPECT_EQ(log->answers.back().callbackId, "third");
    EXPECT_EQ(log->answers.back().status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(log->answers.back().message().isNull());

    call("pay", {kOrder}, "fourth");
    openURL("mxabc://pay/?ret=-1&notifyStr=bad%20sign");
    EXPECT_EQ(lastMessage(), "bad%20sign");
    call("pay", {kOrder}, "fifth");
    openURL("mxabc://pay/?ret=-1");
    EXPECT_TRUE(log->answers.back().message().isNull());
}

TEST_F(PayPluginTest, OnlyMxSchemesReachTheClient) {
    call("pay", {kOrder}, "p");
    openURL("other://pay/?ret=0");
    openURL("not a url at all");
    EXPECT_TRUE(log->answers.empty());
    EXPECT_EQ(plugin().currentCallbackId(), "p");
}

TEST_F(PayPluginTest, CheckAppInstalled) {
    call("checkAppInstalled", {}, "c1");
    EXPECT_EQ(lastMessage(), "true");
    platform::Application::shared().removeInstalledScheme("messenger");
    call("checkAppInstalled", {}, "c2");
    EXPECT_EQ(lastMessage(), "false");
    EXPECT_EQ(log->answers.back().status(), HYBCommandStatus::Ok);
}

TEST_F(PayPluginTest, WithoutAnAppKeyNothingIsInstalledAndPayIsRefused) {
    log->preferences = {};
    call("checkAppInstalled", {}, "c");
    EXPECT_EQ(lastMessage(), "false");
    call("pay", {kOrder}, "p");
    EXPECT_EQ(log->answers.back().status(), HYBCommandStatus::Error);
    EXPECT_NE(lastMessage().find("messenger_appkey"), std::string::npos);
    EXPECT_FALSE(plugin().currentCallbackId());
}

TEST_F(PayPluginTest, RefusedOrdersAreAnsweredAtOnceAndOpenNothing) {
    call("pay", {kOrder}, "waiting");
    platform::Application::shared().clearOpenedURLs();
    struct Case {
        platform::Array arguments;
        const char* cause;
    } cases[] = {
        {{}, "argument 0"},
        {{42}, "argument 0"},
        {{"{not json"}, "not valid JSON"},
        {{"[1,2]"}, "JSON object"},
        {{R"({"partnerId":"1","prepayId":"2","packageValue":"3","nonceStr":"4","sign":""})"}, "\"sign\""},
        {{R"({"partnerId":1,"prepayId":"2","packageValue":"3","nonceStr":"4","sign":"5"})"}, "\"partnerId\""},
        {{R"({"partnerId":")" + std::string(30u << 20, '7') + R"(","prepayId":"2","packageValue":"3","nonceStr":"4","sign":"5"})"},
         "\"partnerId\" is longer than 1024 characters"},
    };
    std::size_t count = 0;
    for (const Case& c : cases) {
        call("pay", c.arguments, "refused");
        ASSERT_EQ(log->answers.size(), ++count);
        EXPECT_EQ(log->answers.back().status(), HYBCommandStatus::Error);
        EXPECT_EQ(log->answers.back().callbackId, "refused");
        EXPECT_NE(lastMessage().find(c.cause), std::string::npos) << lastMessage();
    }
    platform::Application::shared().removeInstalledScheme("messenger");
    call("pay", {kOrder}, "refused");
    EXPECT_NE(lastMessage().find("not installed"), std::string::npos);
    EXPECT_TRUE(platform::Application::shared().openedURLs().empty());
    EXPECT_EQ(plugin().currentCallbackId(), "waiting");
}

TEST_F(PayPluginTest, TimeStampsConvertWithoutOverflow) {
    auto stampOf = [&](const std::string& stamp) {
        platform::Application::shared().clearOpenedURLs();
        call("pay", {R"({"partnerId":"1","prepayId":"2","packageValue":"3","nonceStr":"4","sign":"5","timeStamp":)" + stamp + "}"}, "t");
        std::string url = platform::Application::shared().openedURLs().at(0);
        auto start = url.find("timeStamp=") + 10;
        return url.substr(start, url.find('&', start) - start);
    };
    EXPECT_EQ(stampOf("\"123\""), "123");
    EXPECT_EQ(stampOf("123"), "123");
    EXPECT_EQ(stampOf("\"12abc\""), "12");
    EXPECT_EQ(stampOf("\"abc\""), "0");
    EXPECT_EQ(stampOf("1e12"), "2147483647");
    EXPECT_EQ(stampOf("-1"), "4294967295");
    EXPECT_EQ(stampOf("\"-99999999999\""), "2147483648");
    EXPECT_EQ(stampOf("true"), "0");
}

} // namespace
