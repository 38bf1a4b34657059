// The road as a user walks it, from the host's view controller through the start screen to the order
// screen and on, driven by taps, typing and the digit keyboard on screen (support/CardPayRoadDriver.h);
// and the driver's own reports when what it is asked for is not there.
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCInitViewController.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

class PayingDouble : public BCBaseViewController {};

constexpr const char* kNext = "下一步 Next";
constexpr const char* kCardNumber = "银行卡号 Card number";

class CardPayRoad : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        BCScreenRegistry::shared().registerClass<PayingDouble>("BCPayingViewController");
        const platform::Dictionary replies = sampleReplies();
        m_init = replies["init"].dictionaryOrEmpty();
    }
    void TearDown() override {
        BCScreenRegistry::shared().unregisterClass("BCPayingViewController");
        CardPayRoadFixture::TearDown();
    }

    ::testing::AssertionResult openOrderScreen() { return openRoadOnOrderScreen(m_init, "201712010009"); }
    static std::string text(int id) { return BCLocale::instance()->getStringById(id); }

    Dictionary m_init;
};

} // namespace

TEST_F(CardPayRoad, BoundCardFromTheStartScreenToPaying) {
    ASSERT_TRUE(openOrderScreen());
    EXPECT_EQ(m_server.commands("init").at(0).params["tn"], Value("201712010009"));
    const auto titles = road().shownTitles();
    EXPECT_NE(std::find(titles.begin(), titles.end(), "招商银行 China Merchants Bank **** 1234"), titles.end());
    EXPECT_NE(std::find(titles.begin(), titles.end(), "Pay with a card reader"), titles.end());

    m_server.setReply("rules", Dictionary{{"rules", Array{Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}}});
    ASSERT_TRUE(road().tap(kNext));
    EXPECT_TRUE(road().isLoading());
    ASSERT_TRUE(road().waitForScreen<PayingDouble>());
    const auto rules = m_server.commands("rules");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].params["card"], Value("card-7001"));
    EXPECT_EQ(rules[0].params["first_pay_flag"], Value("1"));
}

// A known user: the order screen goes under the user-information screen, the start screen leaves the
// stack, and going back from the user information lands on the order screen.
TEST_F(CardPayRoad, KnownUserLandsOnUserInformationOverTheOrderScreen) {
    m_init.set("user_id", "u-10086");
    m_server.setReply("init", m_init);
    m_nav = BCPayRoad::start(m_root, "201712010009", m_server.url(), m_host);
    ASSERT_TRUE(m_nav);
    ASSERT_TRUE(road().waitUntil([&] {
        const auto& calls = YLUniTracker::recordedCalls();
        return !calls.empty() && calls.back().arguments[0] == Value("_login");
    }, "the user information"));
    road().advance(BCInitViewController::kUserInfoDelay);
    ASSERT_TRUE(road().waitForScreen<BCUserInfoViewController>());
    const auto stack = m_nav->viewControllers();
    ASSERT_EQ(stack.size(), 2u);
    const auto order = std::dynamic_pointer_cast<BCOrderInfoViewController>(stack[0]);
    ASSERT_TRUE(order);
    EXPECT_TRUE(order->isRootViewController());
    EXPECT_EQ(order->payMode(), BCOrderInfoViewController::kCardPay);

    const auto bar = road().top<BCUserInfoViewController>()->navigationBar();
    ASSERT_TRUE(bar && bar->leftButton());
    ASSERT_TRUE(road().tapOn(*bar->leftButton(), "the bar's Back"));
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);
}

TEST_F(CardPayRoad, AnotherCardFromTheListOpensCardEntry) {
    ASSERT_TRUE(openOrderScreen());
    ASSERT_TRUE(road().tap("招商银行 China Merchants Bank **** 1234"));  // the bound-card bar opens the list
    ASSERT_TRUE(road().tap("使用其他银行卡 Use another card"));
    ASSERT_TRUE(road().waitForScreen<BCInputCardViewController>());
    EXPECT_FALSE(road().top<BCInputCardViewController>()->isForAccount());

    // Its bar leads back to the order screen, and the list's footer opens card entry again.
    const auto bar = road().top<BCInputCardViewController>()->navigationBar();
    ASSERT_TRUE(bar && bar->leftButton());
    ASSERT_TRUE(road().tapOn(*bar->leftButton(), "the bar's Back"));
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().tap("招商银行 China Merchants Bank **** 1234"));
    ASSERT_TRUE(road().tap("使用其他银行卡 Use another card"));
    ASSERT_TRUE(road().waitForScreen<BCInputCardViewController>());

    // A number too short: 12014, nothing sent; the box goes with its button.
    ASSERT_TRUE(road().type(kCardNumber, "62220212"));
    ASSERT_TRUE(road().tap(kNext));
    EXPECT_EQ(road().alertMessage(), text(12014));
    ASSERT_TRUE(road().tap(text(10001)));
    EXPECT_FALSE(road().alertBox());
    EXPECT_TRUE(m_server.commands("rules").empty());

    // The rest of the number from the keyboard on screen (the field takes the focus again), one wrong
    // key taken back.
    EXPECT_FALSE(road().pressKeys("3"));
    ASSERT_TRUE(road().type(kCardNumber, ""));
    ASSERT_TRUE(road().pressKeys("345678949"));
    ASSERT_TRUE(road().pressDelete());
    m_server.setReply("rules", Dictionary{{"rules", Array{Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}}});
    ASSERT_TRUE(road().tap(kNext));
    ASSERT_TRUE(road().waitForScreen<PayingDouble>());
    const auto rules = m_server.commands("rules");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].params["pan"], Value("6222021234567894"));
}

TEST_F(CardPayRoad, NewCardBodyTypedWithTheKeyboardAndItsPicture) {
    m_init.set("cards", Array{});
    ASSERT_TRUE(openOrderScreen());
    EXPECT_FALSE(road().tap(kNext));  // disabled until a number is typed
    ASSERT_TRUE(road().type(kCardNumber, ""));  // the focus only: the digit keyboard comes up
    ASSERT_TRUE(road().pressKeys("6222021234567894"));
    ASSERT_TRUE(road().settle());
    road().expectScreenSnapshot("road_new_card_keyboard");
    ASSERT_TRUE(road().pressDone());
    m_server.setReply("rules", Dictionary{{"rules", Array{}}});
    ASSERT_TRUE(road().tap(kNext));
    ASSERT_TRUE(road().waitForScreen<PayingDouble>());
    EXPECT_EQ(m_server.commands("rules").at(0).params["pan"], Value("6222021234567894"));
}

TEST_F(CardPayRoad, CancelOnTheOrderScreenEndsTheRoad) {
    ASSERT_TRUE(openOrderScreen());
    const auto bar = road().top<BCOrderInfoViewController>()->navigationBar();
    ASSERT_TRUE(bar && bar->leftButton());
    ASSERT_TRUE(road().tapOn(*bar->leftButton(), "the bar's Cancel"));
    EXPECT_EQ(road().alertMessage(), text(13003));
    ASSERT_TRUE(road().tap(text(10001)));
    ASSERT_TRUE(road().waitUntil([&] { return !m_host->results.empty(); }, "the road's result"));
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "cancel");
    ASSERT_TRUE(road().settle());
    EXPECT_EQ(road().topScreen(), m_root);
}

TEST_F(CardPayRoad, DriverSaysWhatIsMissing) {
    m_server.setFault("init", testsupport::CardPayTestServer::Fault::Hold);
    BCDataContainer::instance();
    m_nav = BCPayRoad::start(m_root, "201712010009", m_server.url(), m_host, Dictionary{{"StandardPluginLoading", "no"}});
    ASSERT_TRUE(road().settle());
    EXPECT_TRUE(road().isLoading());

    const auto missing = road().tap("No such button");
    EXPECT_FALSE(missing);
    EXPECT_NE(std::string(missing.message()).find("nothing shown is titled \"No such button\""), std::string::npos) << missing.message();
    EXPECT_NE(std::string(missing.message()).find("a loading box is shown"), std::string::npos);
    EXPECT_FALSE(road().pressKeys("1"));
    EXPECT_FALSE(road().type("No such field", "1"));

    const auto late = road().waitForScreen<BCOrderInfoViewController>(std::chrono::milliseconds(50));
    EXPECT_FALSE(late);
    EXPECT_NE(std::string(late.message()).find("BCInitViewController"), std::string::npos) << late.message();
    m_server.releaseHeldReplies();
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
}

TEST_F(CardPayRoad, ABoxOverAButtonTakesItsTap) {
    ASSERT_TRUE(openOrderScreen());
    road().top<BCOrderInfoViewController>()->showLoadingAlertView();
    const auto covered = road().tap(kNext);
    EXPECT_FALSE(covered);
    EXPECT_NE(std::string(covered.message()).find("did not get the tap"), std::string::npos) << covered.message();
    EXPECT_TRUE(m_server.commands("rules").empty());
}
