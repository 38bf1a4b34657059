// hybridhost --cardpay-demo: the road opened over the host, the order screen reported once it shows, and
// the result written as one JSON line when the road ends.
#include "app/CardPayDemo.h"

#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "platform/JSON.h"
#include "platform/VirtualClock.h"
#include "platform/ui/Window.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

class CardPayDemoTest : public hybtest::TempHomeTest {
protected:
    void SetUp() override {
        m_clock.install();
        auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
        ASSERT_TRUE(scenario.ok());
        m_server.setScenario(*scenario);
        cardpay::BCDataContainer::destory();
        m_window = platform::Window::create(platform::Rect(0, 0, 375, 667));
        m_host = std::make_shared<platform::ViewController>();
        m_window->setRootViewController(m_host);
        m_window->makeKeyAndVisible();
        m_output = std::tmpfile();
        ASSERT_TRUE(m_output);
    }
    void TearDown() override {
        if (m_output)
            std::fclose(m_output);
        m_server.releaseHeldReplies();
        cardpay::BCMPService::releaseCommon();
        cardpay::BCHttpsConnect::releaseInstance();
        cardpay::BCDataContainer::destory();
    }
    std::string output() const {
        std::rewind(m_output);
        std::string text;
        char buffer[512];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, m_output)) > 0)
            text.append(buffer, n);
        return text;
    }

    platform::VirtualClock m_clock;
    testsupport::CardPayTestServer m_server;
    std::shared_ptr<platform::Window> m_window;
    std::shared_ptr<platform::ViewController> m_host;
    std::FILE* m_output = nullptr;
};

TEST_F(CardPayDemoTest, OrderScreenReportedThenTheResultWrittenOnce) {
    hybtest::CardPayRoadDriver road(m_window, &m_clock);
    auto demo = app::CardPayDemo::create(m_server.url(), m_output);
    ASSERT_TRUE(demo->open(m_host).ok());
    int shown = 0;
    demo->whenOrderScreenShows([&] { ++shown; });
    ASSERT_TRUE(road.waitForScreen<cardpay::BCOrderInfoViewController>());
    ASSERT_TRUE(road.waitUntil([&] {
        m_clock.advance(app::CardPayDemo::kOrderScreenPollSeconds);
        return shown == 1;
    }, "the order screen's report"));
    EXPECT_TRUE(demo->isOrderScreenShown());
    EXPECT_EQ(m_server.commands("init").at(0).params["tn"], platform::Value(app::CardPayDemo::kTransactionNumber));
    road.advance(1);
    EXPECT_EQ(shown, 1);
    EXPECT_EQ(output(), "");

    // The user leaves: one line of JSON, and the page (the host) shows again.
    const auto bar = road.top<cardpay::BCOrderInfoViewController>()->navigationBar();
    ASSERT_TRUE(road.tapOn(*bar->leftButton(), "the bar's Cancel"));
    ASSERT_TRUE(road.tap(cardpay::BCLocale::instance()->getStringById(10001)));
    ASSERT_TRUE(road.waitUntil([&] { return demo->hasEnded(); }, "the end of the road"));
    ASSERT_TRUE(road.settle());
    EXPECT_EQ(road.topScreen(), m_host);
    const std::string line = output();
    ASSERT_FALSE(line.empty());
    EXPECT_EQ(line.back(), '\n');
    auto result = platform::JSON::parse(line);
    ASSERT_TRUE(result.ok()) << line;
    EXPECT_EQ((*result)["code"], platform::Value("cancel"));
    EXPECT_FALSE(demo->isOrderScreenShown());
}

TEST_F(CardPayDemoTest, AHostOutsideAWindowIsRefused) {
    auto demo = app::CardPayDemo::create(m_server.url(), m_output);
    auto opened = demo->open(std::make_shared<platform::ViewController>());
    ASSERT_FALSE(opened.ok());
    EXPECT_NE(opened.error().localizedDescription().find("not in a window"), std::string::npos);
    bool shown = false;
    demo->whenOrderScreenShows([&] { shown = true; });
    m_clock.advance(1);
    EXPECT_FALSE(shown);
    EXPECT_TRUE(m_server.commands().empty());
}

} // namespace
