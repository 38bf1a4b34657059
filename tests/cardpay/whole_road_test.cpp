// Both payment roads walked whole against the loopback server with the sample order, as a user walks
// them: the account road (login, user information with promotion and instalment, SMS code and PIN, pay,
// result poll, success with its lucky draw, back to the merchant) with a picture of each screen, and the card road with a
// promotion chosen on the paying screen. Each checks what the server received, in order.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCInitViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "platform/formats/JSON.h"
#include "support/CardPayRoadDriver.h"
#include "support/CardPayTestServer.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kNext = "下一步 Next";

class CardPayWholeRoad : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        m_replies = sampleReplies();
        // The result poll answers "01" twice, then the sample's result.
        const Value paid = (*m_replies["query"].getArray()).back();
        m_server.setReply("query", Array{Dictionary{{"status", "01"}}, Dictionary{{"status", "01"}}, paid});
    }

    // The road opened over the host as the application opens it.
    ::testing::AssertionResult openRoad() {
        m_nav = BCPayRoad::start(m_root, "201712010009", m_server.url(), m_host);
        if (!m_nav)
            return ::testing::AssertionFailure() << "the road did not open";
        return ::testing::AssertionSuccess();
    }
    // The body scrolled so that `view` shows, as a user scrolls to reach it.
    static void scrollTo(BCBaseViewController& screen, platform::View& view) {
        screen.mScrollView()->scrollRectToVisible(view.convertRectTo(view.bounds(), screen.mScrollView().get()), false);
    }
    // The result poll answered until the success screen shows.
    ::testing::AssertionResult pollToSuccess() {
        return road().waitUntil(
            [&] {
                if (road().top<BCSucceedViewController>() && !road().isInTransition())
                    return true;
                if (!road().isLoading() || m_server.commands("query").size() >= 3)
                    return false;
                if (const auto screen = std::dynamic_pointer_cast<BCBaseViewController>(road().topScreen());
                    screen && screen->service() && static_cast<std::size_t>(screen->service()->pollsAnswered()) == m_server.commands("query").size())
                    road().advance(BCMPService::kPollInterval);
                return false;
            },
            "the success screen after three polls");
    }
    ::testing::AssertionResult backToTheMerchant() {
        if (auto tapped = road().tap(BCLocale::instance()->getStringById(10005)); !tapped)
            return tapped;
        return road().waitUntil([&] { return !m_host->results.empty(); }, "the road's result");
    }
    std::vector<std::string> commandNames() const {
        std::vector<std::string> names;
        for (const auto& command : m_server.commands())
            names.push_back(command.cmd);
        return names;
    }
    static std::string text(int id) { return BCLocale::instance()->getStringById(id); }

    Dictionary m_replies;
};

TEST_F(CardPayWholeRoad, AccountRoadFromTheStartScreenToTheMerchant) {
    // Start: the splash while the init answer is on its way.
    m_server.setFault("init", testsupport::CardPayTestServer::Fault::Hold);
    // With the promotion the plans cost less each month (the same plans, so the values sent stay theirs).
    m_server.setReply("instalment", Dictionary{{"instalment", Dictionary{{"label", "分期 Instalments"}, {"name", "instalment"}, {"options", Array{
        Dictionary{{"label", "3 期 3 months"}, {"value", "3"}, {"rel_label", "每期 Each "}, {"rel_value", "41.00"}},
        Dictionary{{"label", "6 期 6 months"}, {"value", "6"}, {"rel_label", "每期 Each "}, {"rel_value", "20.50"}}}}}}});
    ASSERT_TRUE(openRoad());
    ASSERT_TRUE(road().waitUntil([&] { return m_server.commands("init").size() == 1; }, "the init command"));
    ASSERT_TRUE(road().settle());
    road().expectScreenSnapshot("road-account/01-start");
    m_server.releaseHeldReplies();

    // Order: the bound card first; the account channel opens the login form.
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    road().expectScreenSnapshot("road-account/02-order");
    ASSERT_TRUE(road().tap(text(17002)));
    ASSERT_TRUE(road().waitForScreenWhere(
        [](platform::ViewController& screen) {
            const auto* order = dynamic_cast<BCOrderInfoViewController*>(&screen);
            return order && order->payMode() == BCOrderInfoViewController::kAccountPay;
        },
        typeid(BCOrderInfoViewController)));
    ASSERT_TRUE(road().type(text(17006), "demo"));
    ASSERT_TRUE(road().type(text(17007), "demo1234"));
    road().expectScreenSnapshot("road-account/03-order-login");
    ASSERT_TRUE(road().tap(kNext));

    // User information: promotion, bound card, instalment, the SMS code and PIN form, the agreement box.
    ASSERT_TRUE(road().waitForScreen<BCUserInfoViewController>());
    auto user = road().top<BCUserInfoViewController>();
    ASSERT_TRUE(user->promotionView() && user->instalmentView() && user->defaultCardView());
    road().expectScreenSnapshot("road-account/04-user-info");
    ASSERT_TRUE(road().tapOn(*user->promotionView()->checkBox()->imageViewCheckBox(), "the promotion's switch"));
    ASSERT_TRUE(road().settle());
    scrollTo(*user, *user->instalmentView());
    ASSERT_TRUE(road().tapOn(*user->instalmentView()->checkBox()->imageViewCheckBox(), "the instalment's switch"));
    ASSERT_TRUE(road().waitUntil([&] { return !road().isLoading() && user->instalmentView()->promotionLabels().size() == 2; },
                                 "the plans"));
    ASSERT_TRUE(road().settle());

    scrollTo(*user, *user->paymentElementsView());
    ASSERT_TRUE(road().tap("SMS Code"));
    ASSERT_TRUE(road().waitUntil([&] { return m_server.commands("sms").size() == 1 && !road().isLoading(); }, "the SMS code"));
    ASSERT_TRUE(road().type("验证码 Code", "123456"));
    ASSERT_TRUE(road().pressDone());
    ASSERT_TRUE(road().settle());
    ASSERT_TRUE(road().type("密码 PIN", ""));
    ASSERT_TRUE(road().pressKeys("123456"));
    ASSERT_TRUE(road().pressDone());
    ASSERT_TRUE(road().settle());
    auto agreement = std::dynamic_pointer_cast<BCCheckBoxView>(user->mScrollView()->viewWithTag(BCBaseViewController::kAgreementTag));
    ASSERT_TRUE(agreement);
    scrollTo(*user, *agreement);  // the body is back where it was before the keypad came
    ASSERT_TRUE(road().tapOn(*agreement->checkBoxButton(), "the agreement box"));  // ticked at first: off,
    ASSERT_TRUE(road().tapOn(*agreement->checkBoxButton(), "the agreement box"));  // and on again
    EXPECT_TRUE(agreement->mSelected());
    scrollTo(*user, *user->mBtnNext());
    ASSERT_TRUE(road().settle());
    road().expectScreenSnapshot("road-account/05-user-info-filled");

    // Pay, poll "01", "01", "00", success, back to the merchant.
    ASSERT_TRUE(road().tap(text(10002)));
    ASSERT_TRUE(pollToSuccess());
    // The lucky draw's answer comes from the server after the screen shows: the picture waits for it.
    const auto success = road().top<BCSucceedViewController>();
    ASSERT_TRUE(road().waitUntil([&] { return success->tableView() != nullptr; }, "the lucky draw"));
    road().expectScreenSnapshot("road-account/06-success");
    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, std::vector<Dictionary>{(Dictionary{{"code", "success"}, {"data", ""}})});
    ASSERT_TRUE(road().settle());
    EXPECT_EQ(road().topScreen(), m_root);

    ASSERT_EQ(commandNames(),
              (std::vector<std::string>{"init", "getuserinfo", "instalment", "sms", "pay", "query", "query", "query", "bingopromotion"}));
    EXPECT_EQ(m_server.commands("getuserinfo")[0].params, (Dictionary{{"user_name", "demo"}, {"password", "demo1234"}}));
    EXPECT_EQ(m_server.commands("instalment")[0].params, (Dictionary{{"promotion", "d-5"}}));
    EXPECT_EQ(m_server.commands("sms")[0].params, (Dictionary{{"first_pay_flag", "1"}}));
    const auto pay = m_server.commands("pay").at(0);
    const std::string pin = pay.params["pin"].stringOr("");
    EXPECT_EQ(pin.size(), 16u);
    EXPECT_EQ(pay.body, R"({"v":"1.4","cmd":"pay","params":{"pay_type":"1","pay_mode":"2","bind":"yes","sms":"123456","pin":")" + pin +
                            R"(","promotion":"d-5","instalment":"3"}})");
    for (const auto& query : m_server.commands("query"))
        EXPECT_EQ(query.params, (Dictionary{{"tn", "201712010009"}}));
}

TEST_F(CardPayWholeRoad, CardRoadWithAPromotionChosenOnThePayingScreen) {
    // The card's form comes without an entrust step and with the sample's promotion offer.
    const Dictionary promotion = *m_replies["getuserinfo"]["promotion"].getDictionary();
    m_server.setReply("rules", Dictionary{{"rules", Array{Dictionary{{"type", "pwd"}, {"name", "pin"}, {"placeholder", "密码 PIN"}}}},
                                          {"promotion", promotion}});
    Dictionary init = *m_replies["init"].getDictionary();
    init.set("cards", Array{});
    m_server.setReply("init", init);
    ASSERT_TRUE(openRoad());
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    ASSERT_TRUE(road().type("银行卡号 Card number", ""));
    ASSERT_TRUE(road().pressKeys("6222021234567894"));
    ASSERT_TRUE(road().pressDone());
    ASSERT_TRUE(road().tap(kNext));

    ASSERT_TRUE(road().waitForScreen<BCPayingViewController>());
    auto paying = road().top<BCPayingViewController>();
    ASSERT_TRUE(paying->promotionView());
    EXPECT_FALSE(paying->instalmentView());
    ASSERT_TRUE(road().tapOn(*paying->promotionView()->checkBox()->imageViewCheckBox(), "the promotion's switch"));
    ASSERT_TRUE(road().settle());
    EXPECT_TRUE(paying->promotionView()->didSelected());
    ASSERT_TRUE(road().type("密码 PIN", ""));
    ASSERT_TRUE(road().pressKeys("123456"));
    ASSERT_TRUE(road().pressDone());
    ASSERT_TRUE(road().settle());
    scrollTo(*paying, *paying->mBtnNext());
    ASSERT_TRUE(road().tap(text(10002)));
    ASSERT_TRUE(pollToSuccess());
    const auto success = road().top<BCSucceedViewController>();
    ASSERT_TRUE(road().waitUntil([&] { return success->tableView() != nullptr; }, "the lucky draw"));
    ASSERT_TRUE(backToTheMerchant());
    EXPECT_EQ(m_host->results, std::vector<Dictionary>{(Dictionary{{"code", "success"}, {"data", ""}})});

    ASSERT_EQ(commandNames(), (std::vector<std::string>{"init", "rules", "pay", "query", "query", "query", "bingopromotion"}));
    EXPECT_EQ(m_server.commands("rules")[0].params,
              (Dictionary{{"first_pay_flag", "0"}, {"pan", "6222021234567894"}, {"pay_type", "1"}, {"pay_mode", "1"}}));
    const auto pay = m_server.commands("pay").at(0);
    const std::string pin = pay.params["pin"].stringOr("");
    EXPECT_EQ(pin.size(), 16u);
    EXPECT_EQ(pay.body, R"({"v":"1.4","cmd":"pay","params":{"pay_type":"1","pay_mode":"1","first_pay_flag":"0","pan":"6222021234567894","pin":")" +
                            pin + R"(","promotion":"d-5"}})");
}

} // namespace
