// The card road as a user walks it, end to end on the loopback server: the order screen with a new
// card, the card's authorisation (entrust) with its result poll, the follow-up payment form, the payment
// with its result poll, the success screen with a lucky draw, and back to the merchant. Each screen is
// written to the build tree (snapshots/cardpay/road-card/NN-<screen>.png) and compared with its
// reference; the server's commands are checked in order, with their bodies.
#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"
#include "support/SourceTree.h"
#include "platform/ui/KeyboardManager.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kTn = "201712010010";

class CardPayCardRoad : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        auto scenario = testsupport::CardPayTestServer::loadScenario(hybtest::sourcePath("tests/support/cardpay/card-road.json"));
        ASSERT_TRUE(scenario.ok()) << scenario.error().localizedDescription();
        m_server.setScenario(*scenario);
    }
    void TearDown() override {
        for (const auto name : {kPayingScreenClass, kEntrustScreenClass, kSucceedScreenClass})
            BCScreenRegistry::shared().unregisterClass(name);
        BCOrderScreenRegistry::shared().unregisterClass(kOrderScreenClass);
        CardPayRoadFixture::TearDown();
    }

    // Until the server has seen `count` result polls, the clock moving on while the road waits (the poll's
    // timer runs on it).
    ::testing::AssertionResult polls(std::size_t count) {
        return road().waitUntil([&] {
            if (m_server.commands("query").size() >= count)
                return true;
            stepUnlessAsking();
            return false;
        }, std::to_string(count) + " result polls");
    }
    // The keypad leaves the focused field and the screen's button below it in view (with a few points of room),
    // the screen scrolled to show them.
    void expectFieldAndButtonAboveTheKeypad() {
        ASSERT_TRUE(road().settle());
        const auto screen = road().top<BCBaseViewController>();
        ASSERT_TRUE(screen && screen->mFocusTextField() && screen->mBtnNext() && platform::KeyboardManager::shared().isVisible());
        const double keypadTop = platform::KeyboardManager::shared().frame().minY();
        const platform::Rect button = screen->mBtnNext()->convertRectTo(screen->mBtnNext()->bounds(), nullptr);
        const platform::Rect field = screen->mFocusTextField()->convertRectTo(screen->mFocusTextField()->bounds(), nullptr);
        const platform::Rect body = screen->mScrollView()->convertRectTo(screen->mScrollView()->bounds(), nullptr);
        EXPECT_LE(button.maxY() + 4, keypadTop);
        EXPECT_LE(field.maxY(), keypadTop);
        EXPECT_GE(field.minY(), body.minY());
    }
    std::vector<std::string> commandNames() const {
        std::vector<std::string> names;
        for (const auto& command : m_server.commands())
            names.push_back(command.cmd);
        return names;
    }
};

} // namespace

TEST_F(CardPayCardRoad, FromTheStartScreenToSuccessByCard) {
    m_nav = BCPayRoad::start(m_root, kTn, m_server.url(), m_host);
    ASSERT_TRUE(m_nav);

    // The order screen: a new card.
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().type("银行卡号 Card number", "6222021234567894"));
    ASSERT_TRUE(road().pressDone());
    road().expectScreenSnapshot("road-card/01-order");
    ASSERT_TRUE(road().tap("下一步 Next"));

    // The entrust screen: phone and CVN2, then the server's authorisation command and its poll.
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(road().type("手机号 Phone", "13800138000"));
    ASSERT_TRUE(road().type("CVN2", "123"));
    expectFieldAndButtonAboveTheKeypad();
    ASSERT_TRUE(road().pressDone());
    road().expectScreenSnapshot("road-card/02-entrust");
    ASSERT_TRUE(road().tap("授权 Authorise"));
    ASSERT_TRUE(polls(2));

    // The paying screen: the follow-up form (a PIN), then "pay" and its poll.
    ASSERT_TRUE(road().waitForScreen<BCPayingViewController>());
    EXPECT_TRUE(road().top<BCPayingViewController>()->mNewCard());
    ASSERT_TRUE(road().type("密码 PIN", "123456"));
    ASSERT_TRUE(road().pressDone());
    road().expectScreenSnapshot("road-card/03-paying");
    ASSERT_TRUE(road().tap("确认付款 Pay"));
    ASSERT_TRUE(polls(4));

    // The success screen, alone in the stack, with the lucky draw's three options.
    ASSERT_TRUE(road().waitForScreen<BCSucceedViewController>());
    const auto success = road().top<BCSucceedViewController>();
    ASSERT_TRUE(road().waitUntil([&] { return success->tableView() != nullptr; }, "the lucky draw"));
    EXPECT_EQ(success->tableView()->numberOfRows(0), 3);
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);
    road().expectScreenSnapshot("road-card/04-success");

    ASSERT_TRUE(road().tap("Back To Merchant"));
    ASSERT_TRUE(road().waitUntil([&] { return !m_host->results.empty(); }, "the host to hear the result"));
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "success"}, {"data", ""}}}));

    // What the server saw, in order, and the bodies.
    EXPECT_EQ(commandNames(), (std::vector<std::string>{"init", "rules", "prepay", "query", "query", "followrules", "pay", "query",
                                                        "query", "bingopromotion"}));
    const Dictionary entrustForm{{"mobile", "13800138000"}, {"cvn2", "123"}};
    EXPECT_EQ(m_server.commands("init").at(0).params["tn"], Value(kTn));
    EXPECT_EQ(m_server.commands("rules").at(0).params,
              (Dictionary{{"first_pay_flag", "0"}, {"pan", "6222021234567894"}, {"pay_type", "1"}, {"pay_mode", "1"}}));
    EXPECT_EQ(m_server.commands("prepay").at(0).params, entrustForm);
    EXPECT_EQ(m_server.commands("followrules").at(0).params, entrustForm);
    for (const auto& query : m_server.commands("query"))
        EXPECT_EQ(query.params, (Dictionary{{"tn", kTn}}));
    const Dictionary pay = m_server.commands("pay").at(0).params;
    const std::string pin = pay["pin"].stringOr("");
    EXPECT_EQ(pay, (Dictionary{{"pay_type", "1"}, {"pay_mode", "1"}, {"first_pay_flag", "0"}, {"pan", "6222021234567894"}, {"pin", pin}}));
    EXPECT_EQ(pin.size(), 16u);  // the PIN block, bound to the card, never the digits
    EXPECT_EQ(pin.find("123456"), std::string::npos);
    EXPECT_EQ(m_server.commands("bingopromotion").at(0).params, Dictionary{});
    EXPECT_TRUE(m_server.malformed().empty());
}

// The sample order that the application's demo serves reaches success with its bound card.
TEST_F(CardPayCardRoad, TheDemosSampleOrderReachesSuccessWithItsBoundCard) {
    auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
    ASSERT_TRUE(scenario.ok());
    m_server.setScenario(*scenario);
    m_nav = BCPayRoad::start(m_root, kTn, m_server.url(), m_host);
    ASSERT_TRUE(m_nav);
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().tap("下一步 Next"));
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(road().type("CVN2", "123"));
    expectFieldAndButtonAboveTheKeypad();
    road().expectScreenSnapshot("road_entrust_keypad");
    ASSERT_TRUE(road().pressDone());
    ASSERT_TRUE(road().tap("同意并付款 Agree and pay"));
    ASSERT_TRUE(polls(2));
    ASSERT_TRUE(road().waitForScreen<BCPayingViewController>());
    ASSERT_TRUE(road().type("密码 PIN", "123456"));
    ASSERT_TRUE(road().pressDone());
    ASSERT_TRUE(road().tap("确认付款 Pay"));
    ASSERT_TRUE(road().waitForScreen<BCSucceedViewController>());
    const auto success = road().top<BCSucceedViewController>();
    ASSERT_TRUE(road().waitUntil([&] { return success->tableView() != nullptr; }, "the lucky draw"));
    EXPECT_EQ(success->tableView()->numberOfRows(0), 3);
    ASSERT_TRUE(road().tap("Back To Merchant"));
    ASSERT_TRUE(road().waitUntil([&] { return !m_host->results.empty(); }, "the host to hear the result"));
    EXPECT_EQ(m_host->results.at(0)["code"], Value("success"));

    ASSERT_FALSE(m_server.commands("pay").empty());
    const Dictionary pay = m_server.commands("pay").back().params;
    EXPECT_EQ(pay["card"], Value("card-7001"));
    EXPECT_EQ(pay["first_pay_flag"], Value("1"));
    EXPECT_TRUE(pay.contains("pin"));
    EXPECT_TRUE(m_server.malformed().empty());
}

// The keypad belongs to the screen that brought it up. Back from the Pay screen with the PIN keypad up
// takes it along (the authorisation screen shows whole, with nothing of the keypad over it), the next Pay
// screen starts without one, and Done closes the one it brings up.
TEST_F(CardPayCardRoad, TheKeypadGoesWithTheScreenThatBroughtItUp) {
    auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
    ASSERT_TRUE(scenario.ok());
    m_server.setScenario(*scenario);
    m_nav = BCPayRoad::start(m_root, kTn, m_server.url(), m_host);
    ASSERT_TRUE(m_nav);
    const auto& keyboard = platform::KeyboardManager::shared();
    const auto back = [&] {
        const auto screen = road().top<BCBaseViewController>();
        if (!screen || !screen->navigationBar() || !screen->navigationBar()->leftButton())
            return ::testing::AssertionFailure() << "no Back on top";
        return road().tapOn(*screen->navigationBar()->leftButton(), "Back");
    };
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().tap("下一步 Next"));
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    ASSERT_TRUE(road().type("CVN2", "123"));
    ASSERT_TRUE(road().pressDone());
    EXPECT_FALSE(keyboard.isVisible());
    ASSERT_TRUE(road().tap("同意并付款 Agree and pay"));
    ASSERT_TRUE(polls(2));
    ASSERT_TRUE(road().waitForScreen<BCPayingViewController>());
    const auto firstPay = road().top<BCPayingViewController>();
    ASSERT_TRUE(road().type("密码 PIN", "12"));
    ASSERT_TRUE(keyboard.isVisible());

    ASSERT_TRUE(back());
    EXPECT_FALSE(keyboard.isVisible());  // at once, not after the slide
    ASSERT_TRUE(road().waitForScreen<BCEntrustViewController>());
    EXPECT_FALSE(keyboard.isVisible());
    road().expectScreenSnapshot("road_back_from_the_pin");

    ASSERT_TRUE(road().tap("同意并付款 Agree and pay"));
    ASSERT_TRUE(road().waitForScreen<BCPayingViewController>());
    EXPECT_NE(road().top<BCPayingViewController>(), firstPay);
    EXPECT_FALSE(keyboard.isVisible());
    ASSERT_TRUE(road().type("密码 PIN", "1"));
    EXPECT_TRUE(keyboard.isVisible());
    ASSERT_TRUE(road().pressDone());
    EXPECT_FALSE(keyboard.isVisible());
    EXPECT_TRUE(m_server.commands("pay").empty());
}
