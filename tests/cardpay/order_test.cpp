// The order-information screen: the body chosen from the init answer and the pay mode, what Next sends
// from each body, the channels, the bound-card upkeep, the login name kept between payments, the
// cancel confirmation and pictures of each body.
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/core/BCReplyMapper.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "support/CardPayTestServer.h"
#include "support/RunLoopWait.h"
#include "support/Snapshot.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

class PayingDouble : public BCBaseViewController {};
class EntrustDouble : public BCBaseViewController {};
class MediumDouble : public BCBaseViewController {};

constexpr int kAccount = BCOrderInfoViewController::kAccountPay;
constexpr int kCard = BCOrderInfoViewController::kCardPay;

class CardPayOrder : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        auto& screens = BCScreenRegistry::shared();
        screens.registerClass<PayingDouble>("BCPayingViewController");
        screens.registerClass<EntrustDouble>("BCEntrustViewController");
        BCUserInfoViewController::registerScreen();
        screens.registerClass<MediumDouble>("MediumDouble");
        BCOrderInfoViewController::registerScreen();
        const platform::Dictionary replies = sampleReplies();
        m_init = replies["init"].dictionaryOrEmpty();
    }
    void TearDown() override {
        for (const char* name : {"BCPayingViewController", "BCEntrustViewController", "BCUserInfoViewController", "MediumDouble"})
            BCScreenRegistry::shared().unregisterClass(name);
        BCOrderScreenRegistry::shared().unregisterClass(kOrderScreenClass);
        CardPayRoadFixture::TearDown();
    }

    // The init answer (with the test's changes) applied, then the screen shown as the root or pushed.
    std::shared_ptr<BCOrderInfoViewController> open(int payMode, bool isRoot = true) {
        container()->apply(BCReplyMapper::initReply(m_init));
        auto screen = std::make_shared<BCOrderInfoViewController>(payMode, isRoot);
        present(screen, true);
        return screen;
    }
    void setMerchantCard(const std::string& value) {
        m_init.set("input_info", Array{Dictionary{{"type", "pan"}, {"name", "pan"}, {"label", "Card"}, {"value", value}, {"readonly", "true"}}});
    }
    template <class Screen>
    bool waitForTop() {
        return hybtest::runMainUntil([&] { return std::dynamic_pointer_cast<Screen>(m_nav->topViewController()) != nullptr; });
    }
    static std::string alertText(const BCOrderInfoViewController& screen) {
        return screen.mAlertView() && screen.mAlertView()->messageLabel() ? screen.mAlertView()->messageLabel()->text() : "";
    }
    static std::string text(int id) { return BCLocale::instance()->getStringById(id); }

    Dictionary m_init;
};

TEST_F(CardPayOrder, BodyFollowsTheInitAnswerAndPayMode) {
    {
        m_init.set("sup_pay_method", "001");
        auto screen = open(kCard);
        EXPECT_FALSE(screen->mSubView());
        EXPECT_FALSE(screen->mBtnNext());
    }
    {
        m_init.set("sup_pay_method", "01");
        auto screen = open(kAccount);
        EXPECT_EQ(screen->payChannels(), std::vector<std::string>{"Pay with a card reader"});
        EXPECT_TRUE(screen->paymentElementsView());  // the login form
    }
    {
        m_init.set("sup_pay_method", "11");
        auto screen = open(kCard);
        ASSERT_EQ(screen->payChannels().size(), 2u);
        EXPECT_EQ(screen->payChannels()[0], text(17002));
        ASSERT_TRUE(screen->mPayChannelView());
        EXPECT_EQ(screen->mPayChannelView()->rows().size(), 2u);
        ASSERT_TRUE(screen->defaultCardView());  // bound cards come first in card pay
        EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "招商银行 China Merchants Bank **** 1234");
        EXPECT_FALSE(screen->mNewCard());
    }
    {
        auto screen = open(kAccount, false);  // a pushed order screen: no channels even with titles
        EXPECT_EQ(screen->payChannels().size(), 2u);
        EXPECT_FALSE(screen->mPayChannelView());
    }
    {
        // Only arrays of three texts are cards; the others are left out of the list.
        m_init.set("cards", Array{"card-1", Array{"card-2", "Bank", "**** 1"}, Array{"card-3", 5, "**** 2"}, Array{"card-4", "Bank"},
                                  Array{"card-5", "Other Bank", "**** 3"}});
        auto screen = open(kCard);
        screen->showBindCardsList();
        ASSERT_TRUE(screen->listView());
        EXPECT_EQ(container()->mBindCardArray()->size(), 2u);
        screen->listViewDidSelectedAtIndex(*screen->listView(), 1);
        EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "Other Bank **** 3");
    }
    {
        m_init.set("cards", "not a list");
        m_init.set("kalefu_info", Dictionary{{"label", 7}});
        auto screen = open(kCard);
        EXPECT_EQ(screen->payChannels(), std::vector<std::string>{text(17002)});
        ASSERT_TRUE(screen->mBankCell());  // no usable card: the new-card body
        EXPECT_TRUE(screen->mNewCard());
        EXPECT_FALSE(screen->mBtnNext()->isEnabled());
    }
    {
        setMerchantCard("6222 0212 3456 7894");  // the merchant's card wins over account pay
        auto screen = open(kAccount);
        EXPECT_FALSE(screen->paymentElementsView());
        ASSERT_TRUE(screen->mBankCell());
        EXPECT_TRUE(screen->mBtnNext()->isEnabled());
        EXPECT_FALSE(screen->mPayChannelView());
    }
}

TEST_F(CardPayOrder, CardMediumOnly) {
    m_init.set("trade_privilege", "0");
    {
        m_init.set("upcard_support_type", "001");  // too short to allow the medium
        container()->setShouldSupportMedium(true);
        auto screen = open(kCard);
        EXPECT_TRUE(screen->mClientMustBeTerminated());
        EXPECT_EQ(alertText(*screen), "No card reader is connected.");
        EXPECT_FALSE(screen->mSubView());
    }
    {
        m_init.set("upcard_support_type", "0001");
        auto screen = open(kCard);
        EXPECT_FALSE(screen->mClientMustBeTerminated());
        ASSERT_TRUE(screen->mSubView());
        ASSERT_TRUE(screen->mPayChannelView());
        EXPECT_EQ(screen->mSubView()->frame().size.height, screen->mPayChannelView()->frame().size.height);
        hybtest::expectSnapshot(*screen->view(), "order_medium_only");
        container()->setMediumViewClassName(std::string("NoSuchScreen"));
        screen->didChoosedChannelAtIndex(0);  // unknown class: nothing happens
        turns(3);
        EXPECT_EQ(m_nav->topViewController(), screen);
        container()->setMediumViewClassName(std::string("MediumDouble"));
        screen->didChoosedChannelAtIndex(0);
        EXPECT_TRUE(waitForTop<MediumDouble>());
    }
}

TEST_F(CardPayOrder, ANumberAsTradePrivilegeCountsAsAbsent) {
    m_init.set("trade_privilege", 0);
    container()->setShouldSupportMedium(true);
    auto screen = open(kCard);
    EXPECT_FALSE(screen->mClientMustBeTerminated());
    EXPECT_TRUE(screen->defaultCardView());  // the bound-card body, not the card reader alone
    EXPECT_EQ(screen->payChannels().size(), 2u);
}

TEST_F(CardPayOrder, ChannelHeightIsInTheBodyOnce) {
    auto screen = open(kCard);
    ASSERT_TRUE(screen->mPayChannelView());
    const double body = screen->mSubView()->frame().size.height;
    const double content = screen->mScrollView()->contentSize().height;
    screen->mPayChannelView()->reloadData();  // a second report of the same height
    EXPECT_EQ(screen->mSubView()->frame().size.height, body);
    EXPECT_EQ(screen->mScrollView()->contentSize().height, content);

    // A channel view that is not the body's own changes nothing.
    BCPayChannelView stray(platform::Rect(0, 0, 375, 300));
    screen->didPayChannelViewFinishedLayout(stray);
    EXPECT_EQ(screen->mSubView()->frame().size.height, body);
}

TEST_F(CardPayOrder, ChannelsSwitchPayModeOrOpenTheMedium) {
    auto screen = open(kCard);
    container()->setMediumViewClassName(std::string("MediumDouble"));
    container()->setShouldSupportMedium(false);
    screen->didChoosedChannelAtIndex(1);
    screen->didChoosedChannelAtIndex(2);
    turns(3);
    EXPECT_EQ(m_nav->topViewController(), screen);
    screen->didChoosedChannelAtIndex(0);
    ASSERT_TRUE(waitForTop<BCOrderInfoViewController>() && m_nav->topViewController() != screen);
    auto pushed = std::dynamic_pointer_cast<BCOrderInfoViewController>(m_nav->topViewController());
    EXPECT_EQ(pushed->payMode(), kAccount);
    EXPECT_FALSE(pushed->isRootViewController());
    EXPECT_EQ(container()->payType(), kAccount);
    container()->setShouldSupportMedium(true);
    screen->didChoosedChannelAtIndex(1);
    EXPECT_TRUE(waitForTop<MediumDouble>());
}

TEST_F(CardPayOrder, NextSendsTheBodysCard) {
    {
        m_server.setReply("rules", Dictionary{{"rules", Array{Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}}});
        auto screen = open(kCard);
        screen->listViewDidSelectedAtIndex(*std::make_shared<BCListView>(platform::Rect(0, 0, 10, 10), std::vector<std::string>{}), 1);
        EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "Bank of Example **** 5678");
        ASSERT_FALSE(YLUniTracker::recordedCalls().empty());
        const auto& chosen = YLUniTracker::recordedCalls().back();
        ASSERT_EQ(chosen.arguments.size(), 3u);
        EXPECT_EQ(chosen.arguments[0], Value("bankpay_choose_bankcard"));
        EXPECT_EQ(chosen.arguments[2], Value(Dictionary{{"pos", "1"}}));
        screen->nextAction();
        EXPECT_TRUE(screen->mAlertView() && screen->mAlertView()->isLoadingStyle());
        ASSERT_TRUE(waitForTop<PayingDouble>());
        const auto rules = m_server.commands("rules");
        ASSERT_EQ(rules.size(), 1u);
        EXPECT_EQ(rules[0].params["card"], Value("card-7002"));
        EXPECT_EQ(rules[0].params["first_pay_flag"], Value("1"));
        EXPECT_EQ(container()->mCardId(), "card-7002");
    }
    {
        setMerchantCard("6222-0212 3456 7890");
        auto screen = open(kAccount);
        m_server.setReply("rules", Dictionary{{"entrust_rules", Array{Dictionary{{"type", "mobile"}, {"name", "mobile"}}}}});
        screen->nextAction();
        ASSERT_TRUE(waitForTop<EntrustDouble>());
        const auto rules = m_server.commands("rules");
        ASSERT_EQ(rules.size(), 2u);
        EXPECT_EQ(rules[1].params["pan"], Value("6222-021234567890"));  // blanks out, the rest as given
        EXPECT_EQ(rules[1].params["first_pay_flag"], Value("0"));
    }
    {
        setMerchantCard("6222 ab\"\\ 12");  // letters, a quote and a backslash travel escaped
        auto screen = open(kCard);
        screen->nextAction();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("rules").size() == 3; }));
        EXPECT_EQ(m_server.commands("rules")[2].params["pan"], Value("6222ab\"\\12"));
        EXPECT_TRUE(m_server.malformed().empty());
    }
}

TEST_F(CardPayOrder, TypedCardAndItsRefusal) {
    m_init.set("cards", Array{});
    auto screen = open(kCard);
    const auto cell = screen->mBankCell()->bankCell();
    cell->setText("6222 0212");
    screen->nextAction();
    EXPECT_EQ(alertText(*screen), text(12014));
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());
    m_server.setReply("rules", Dictionary{{"rules", Array{Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}}});
    cell->setText("6222 0212 3456 7894");
    screen->nextAction();
    ASSERT_TRUE(waitForTop<PayingDouble>());
    const auto rules = m_server.commands("rules");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].params["pan"], Value("6222021234567894"));
    EXPECT_EQ(rules[0].params["first_pay_flag"], Value("0"));
}

TEST_F(CardPayOrder, AccountModeWithoutLabelAnswersAtOnce) {
    m_init.set("account_info", Dictionary{{"label", ""}});
    m_init.set("cards", Array{});
    auto screen = open(kAccount);
    screen->nextAction();
    EXPECT_EQ(alertText(*screen), text(12003));
    EXPECT_FALSE(screen->mAlertView()->isLoadingStyle());
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayOrder, LoginNameIsKeptEncipheredForTheNextPayment) {
    auto nameCell = [](const BCOrderInfoViewController& screen) {
        for (const auto& field : screen.mTextFieldsArray())
            if (auto cell = std::dynamic_pointer_cast<BCUserNameCell>(field))
                return cell;
        return std::shared_ptr<BCUserNameCell>();
    };
    auto passwordCell = [](const BCOrderInfoViewController& screen) {
        return std::dynamic_pointer_cast<BCBaseCell>(screen.mTextFieldsArray().back());
    };
    auto screen = open(kAccount);
    ASSERT_TRUE(nameCell(*screen));
    EXPECT_EQ(nameCell(*screen)->text(), "");
    passwordCell(*screen)->setText("demo1234");  // the sample order's login
    for (const std::string& bad : {std::string(65, 'a'), std::string("name with blanks")}) {
        nameCell(*screen)->setText(bad);
        screen->nextAction();
        const std::string complaint = text(12007);
        EXPECT_EQ(alertText(*screen).rfind(complaint.substr(0, complaint.find("%@")), 0), 0u) << bad;
    }
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());

    // A name the server does not know: its message, and the login form stays.
    nameCell(*screen)->setText("buyer@example.com");
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == testsupport::CardPayTestServer::kWrongLogin; }));
    EXPECT_EQ(m_nav->topViewController(), screen);
    screen->mAlertView()->buttonOKClicked();

    nameCell(*screen)->setText("demo");
    screen->nextAction();
    ASSERT_TRUE(waitForTop<BCUserInfoViewController>());
    EXPECT_EQ(m_server.commands("getuserinfo").size(), 2u);
    const auto& calls = YLUniTracker::recordedCalls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const auto& call) {
        return call.operation == "trackEvent" && call.arguments.size() > 2 && call.arguments[0] == Value("login") &&
               call.arguments[2] == Value(Dictionary{{"sysid", "u-10086"}});
    }));
    const auto stored = BCUtils::readUserIdFromFile("UserAccount");
    ASSERT_TRUE(stored);
    EXPECT_NE(*stored, "demo");
    EXPECT_EQ(BCMPServiceConsumption::decryptString(*stored), "demo");
    EXPECT_EQ(nameCell(*open(kAccount))->text(), "demo");

    BCUtils::writeUserIdToFile("not enciphered", "UserAccount");
    EXPECT_EQ(nameCell(*open(kAccount))->text(), "");
}

TEST_F(CardPayOrder, UnbindingTheOnlyCardTurnsTheBodyIntoANewCard) {
    m_init.set("cards", Array{Array{"card-7001", "Bank", "**** 1234"}});
    auto screen = open(kCard);
    screen->showBindCardsList();
    ASSERT_TRUE(screen->listView());
    const double top = screen->mSubView()->frame().origin.y;
    screen->listViewDidDeletedAtIndex(*screen->listView(), 0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mBankCell() != nullptr; }));
    const auto unbind = m_server.commands("unbindcard");
    ASSERT_EQ(unbind.size(), 1u);
    EXPECT_EQ(unbind[0].params["card"], Value("card-7001"));
    EXPECT_FALSE(screen->defaultCardView());
    EXPECT_EQ(screen->mSubView()->frame().origin.y, top);
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());
    EXPECT_FALSE(container()->mOtherCard_info());
    EXPECT_TRUE(container()->mBindCardArray()->empty());
    // The list stays open over the new body (its footer leads to card entry); a first digit from the
    // card cell's keyboard enables Next.
    EXPECT_TRUE(screen->listView()->superview());
    screen->mBankCell()->bankCell()->keyboard()->digitKey(6)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(screen->mBankCell()->bankCell()->text(), "6");
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
}

TEST_F(CardPayOrder, AFailedUnbindLeavesTheListAndTheCards) {
    auto screen = open(kCard);
    screen->showBindCardsList();
    m_server.setFault("unbindcard", testsupport::CardPayTestServer::Fault::HTTP500);
    screen->listView()->deleteRow(0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mAlertView() && !screen->mAlertView()->isLoadingStyle(); }));
    EXPECT_EQ(alertText(*screen), text(12002));
    turns(5);
    EXPECT_EQ(container()->mBindCardArray()->size(), 2u);
    EXPECT_EQ(screen->listView()->list().size(), 2u);
    EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "招商银行 China Merchants Bank **** 1234");
    screen->dismissAlertView();

    // The next unbind takes its own row.
    m_server.setFault("unbindcard", testsupport::CardPayTestServer::Fault::None);
    screen->listView()->deleteRow(1);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return container()->mBindCardArray()->size() == 1; }));
    ASSERT_FALSE(m_server.commands("unbindcard").empty());
    EXPECT_EQ(m_server.commands("unbindcard").back().params["card"], Value("card-7002"));
    EXPECT_EQ(screen->listView()->list(), std::vector<std::string>{"招商银行 China Merchants Bank **** 1234"});
}

TEST_F(CardPayOrder, PendingServerBoxDelaysThePush) {
    m_server.setReply("rules", Dictionary{{"rules", Array{}}, {"open_alert_box", Dictionary{{"title", "Notice"}}}});
    auto screen = open(kCard);
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mAlertView() && !screen->mAlertView()->isLoadingStyle(); }));
    turns(5);
    EXPECT_EQ(m_nav->topViewController(), screen);
    EXPECT_EQ(screen->mAlertView()->titleLabel()->text(), "Notice");
    screen->mAlertView()->buttonOKClicked();
    EXPECT_TRUE(waitForTop<PayingDouble>());
}

TEST_F(CardPayOrder, CancelAsksFirst) {
    auto screen = open(kCard);
    screen->cancelAction();
    EXPECT_EQ(alertText(*screen), text(13003));
    EXPECT_EQ(screen->mAlertView()->titleLabel()->text(), text(12020));  // a question, not an error
    screen->buttonCancelClicked();
    EXPECT_FALSE(screen->mAlertView());
    screen->buttonOKClicked();  // no question pending: the frame's OK only
    turns(5);
    EXPECT_TRUE(m_host->results.empty());
    screen->cancelAction();
    screen->buttonOKClicked();
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(*m_host->results[0]["code"].getString(), "cancel");
}

TEST_F(CardPayOrder, RoadOpensTheOrderScreenAlone) {
    BCOrderScreenRegistry::shared().unregisterClass(kOrderScreenClass);  // the road registers the screen itself
    m_nav = BCPayRoad::start(m_root, "201712010003", m_server.url(), m_host);
    ASSERT_TRUE(m_nav);
    ASSERT_TRUE(road().waitForScreen<BCOrderInfoViewController>());
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);
    const auto order = road().top<BCOrderInfoViewController>();
    EXPECT_TRUE(order->isRootViewController());
    EXPECT_EQ(order->payMode(), kCard);
}

TEST_F(CardPayOrder, FailuresAndLinks) {
    auto screen = open(kAccount);
    screen->comunicateToBCMPDidFailWithErrorType(2003, std::string("Card refused"));
    EXPECT_EQ(alertText(*screen), "Card refused");
    screen->comunicateToBCMPDidFailWithErrorType(2003, std::nullopt);
    EXPECT_EQ(alertText(*screen), text(12002));
    screen->dismissAlertView();

    screen->showFindPwd();
    ASSERT_TRUE(waitForTop<BCWebViewController>());
    const auto page = std::dynamic_pointer_cast<BCWebViewController>(m_nav->topViewController());
    EXPECT_EQ(page->webViewUrl(), m_server.url("/pages/find-password.html"));
    EXPECT_EQ(page->barTitle(), "Forgot password");
    const auto& calls = YLUniTracker::recordedCalls();
    EXPECT_TRUE(std::any_of(calls.begin(), calls.end(), [](const auto& call) {
        return call.operation == "trackEvent" && call.arguments[0] == Value("login_forget_pwd");
    }));
}

TEST_F(CardPayOrder, RotationWidensTheBodyOnce) {
    m_init.set("cards", Array{});
    auto screen = open(kCard);
    BCDataContainer::instance()->setToRotationSize({667, 375});
    for (int i = 0; i < 2; ++i)  // the transition and the older callback may both come
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    m_clock.advance(1.0);
    EXPECT_EQ(screen->mSubView()->frame().size.width, 667);
    EXPECT_EQ(screen->mBankCell()->frame().size.width, 667);
    ASSERT_TRUE(screen->mPayChannelView());
    EXPECT_EQ(screen->mPayChannelView()->frame().size.width, 667);
    EXPECT_EQ(screen->mPayChannelView()->rows().at(0)->frame().size.width, 667);
}

TEST_F(CardPayOrder, Pictures) {
    {
        auto screen = open(kAccount);
        hybtest::expectSnapshot(*screen->view(), "order_account");
    }
    {
        auto screen = open(kCard);
        hybtest::expectSnapshot(*screen->view(), "order_bound_card");
        screen->showBindCardsList();
        hybtest::expectSnapshot(*screen->view(), "order_bound_card_list");
    }
    {
        m_init.set("cards", Array{});
        auto screen = open(kCard);
        hybtest::expectSnapshot(*screen->view(), "order_new_card");
    }
    {
        m_init.set("sup_pay_method", "001");
        auto screen = open(kCard);
        hybtest::expectSnapshot(*screen->view(), "order_header_only");
    }
    {
        m_init.set("sup_pay_method", "11");
        setMerchantCard("6222 0212 3456 7894");
        auto screen = open(kCard);
        hybtest::expectSnapshot(*screen->view(), "order_merchant_card");
    }
}

} // namespace
