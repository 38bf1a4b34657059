// The paying screen: its form, the "pay" command and what each answer leads to.
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/NotificationCenter.h"
#include "support/Snapshot.h"

#include "CardPayFixture.h"
#include "ScreenHelpers.h"

using namespace cardpay;
using cardpaytest::alertText;
using platform::Array;
using platform::Dictionary;

namespace {

class SucceedDouble : public BCBaseViewController {};
class EntrustDouble : public BCBaseViewController {};

const Array kPayForm{
    Dictionary{{"type", "cvn2"}, {"name", "cvn2"}, {"placeholder", "CVN2"}},
    Dictionary{{"type", "pwd"}, {"name", "pin"}, {"placeholder", "PIN"}},
};
const Dictionary kAgreement{{"label", "I agree"}, {"checked", "1"}, {"required", "1"}, {"error_info", "Please agree first"},
                            {"href_label", "Terms"}, {"href_url", "http://127.0.0.1/terms.html"}};

class CardPayPaying : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        BCPayingViewController::registerScreen();
        BCScreenRegistry::shared().registerClass<SucceedDouble>("BCSucceedViewController");
        BCScreenRegistry::shared().registerClass<EntrustDouble>("BCEntrustViewController");
        container()->apply({{"mPayElementArray", kPayForm},
                            {"viewControllerTitle", "付款 Pay"},
                            {"actionButton", Dictionary{{"label", "Pay now"}, {"action", "pay"}}}});
        container()->setDefaultPayMode(std::string("1"));
        container()->setMFirstPayFlag(std::string("0"));
        container()->setMEntrustedCard(std::string("6222021234567894"));
        container()->setPayType(101);
        m_server.setReply("query", Dictionary{{"status", "00"}, {"pay_msg", "Paid"}});
    }
    void TearDown() override {
        for (const char* name : {"BCPayingViewController", "BCSucceedViewController", "BCEntrustViewController"})
            BCScreenRegistry::shared().unregisterClass(name);
        CardPayRoadFixture::TearDown();
    }

    // A paying screen for a typed card over a root screen.
    std::shared_ptr<BCPayingViewController> open(bool newCard = true) {
        m_rootScreen = std::make_shared<EntrustDouble>();
        present(m_rootScreen, true);
        auto screen = std::static_pointer_cast<BCPayingViewController>(makeScreen(kPayingScreenClass));
        screen->setMNewCard(newCard);
        m_nav->pushViewController(screen, false);
        screen->view();
        return screen;
    }
    static std::shared_ptr<BCBaseCell> cell(BCPayingViewController& screen, std::size_t i) { return cardpaytest::formCell(screen, i); }
    static void fill(BCPayingViewController& screen) {
        cell(screen, 0)->setText("123");
        cardpaytest::typeDigits(*cell(screen, 1), "123456");
    }
    template <class Screen>
    bool waitForTop() {
        return cardpaytest::waitForTop<Screen>(m_nav);
    }

    std::shared_ptr<BCBaseViewController> m_rootScreen;
};

} // namespace

TEST_F(CardPayPaying, MadeByClassNameWithTheFormTheAgreementBoxAndNext) {
    EXPECT_TRUE(BCScreenRegistry::shared().contains("BCPayingViewController"));
    container()->apply({{"serviceCheckBox", kAgreement}});
    auto screen = open();
    ASSERT_TRUE(screen->paymentElementsView());
    EXPECT_EQ(screen->paymentElementsView()->elementArray().size(), 2u);
    EXPECT_EQ(screen->mTextFieldsArray().size(), 2u);
    ASSERT_TRUE(screen->licenseBox());
    EXPECT_EQ(screen->mScrollView()->viewWithTag(BCBaseViewController::kAgreementTag), screen->licenseBox());
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Pay now");
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());  // the form is empty
    EXPECT_EQ(screen->navigationBar()->barTitle()->text(), "付款 Pay");
    // The box sits under the form, Next under the box.
    EXPECT_DOUBLE_EQ(screen->licenseBox()->frame().origin.y, screen->paymentElementsView()->frame().maxY() + 12);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, screen->licenseBox()->frame().maxY() + 12);
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, screen->mBtnNext()->frame().maxY() + 30);
    // The PIN block is bound to the typed card.
    EXPECT_EQ(container()->mMessageBlock(), "6222021234567894");

    // Unfolding the order header moves the three down.
    const double formY = screen->paymentElementsView()->frame().origin.y;
    const double boxY = screen->licenseBox()->frame().origin.y;
    const double nextY = screen->mBtnNext()->frame().origin.y;
    screen->pullListAnimationDidStart(40);
    EXPECT_DOUBLE_EQ(screen->licenseBox()->frame().origin.y, boxY + 40);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, formY + 40);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, nextY + 40);
}

TEST_F(CardPayPaying, WithoutAnAnswerButtonNextSaysStartPay) {
    container()->apply({{"actionButton", platform::Value()}});
    auto screen = open();
    EXPECT_FALSE(screen->licenseBox());
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), BCLocale::instance()->getStringById(10002));
}

TEST_F(CardPayPaying, FormAndBoxErrorsSendNothing) {
    container()->apply({{"serviceCheckBox", kAgreement}});
    auto screen = open();
    cell(*screen, 0)->setText("123");
    screen->nextAction();
    EXPECT_EQ(alertText(*screen), formatText(BCLocale::instance()->getStringById(12004), "PIN"));
    fill(*screen);
    screen->nextAction();
    EXPECT_EQ(alertText(*screen), "Please agree first");
    turns(10);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayPaying, NextPostsPayAndTheSuccessClearsTheCardAndThePin) {
    auto screen = open();
    fill(*screen);
    screen->nextAction();
    EXPECT_TRUE(screen->mAlertView() && screen->mAlertView()->isLoadingStyle());
    ASSERT_TRUE(waitForTop<SucceedDouble>());
    const auto pay = m_server.commands("pay");
    ASSERT_EQ(pay.size(), 1u);
    EXPECT_EQ(pay[0].params, (Dictionary{{"pay_type", "1"}, {"pay_mode", "1"}, {"first_pay_flag", "0"}, {"pan", "6222021234567894"},
                                         {"cvn2", "123"}, {"pin", pay[0].params["pin"]}}));
    EXPECT_EQ(pay[0].params["pin"].stringOr("").size(), 16u);
    EXPECT_EQ(m_server.commands("query").size(), 1u);
    EXPECT_EQ(container()->mMessageBlock(), std::nullopt);
    EXPECT_TRUE(cell(*screen, 0)->isEmpty());
    EXPECT_TRUE(cell(*screen, 1)->isEmpty());
    EXPECT_FALSE(screen->mAlertView());
}

TEST_F(CardPayPaying, BoundCardPaysByItsIdAndTheTickedBoxAddsItsMember) {
    container()->setMFirstPayFlag(std::nullopt);
    container()->setMCardId(std::string("card-7001"));
    Dictionary agreement = kAgreement;
    agreement.set("name", "agree_terms");
    agreement.set("value", "yes");
    agreement.set("checked", "0");
    container()->apply({{"serviceCheckBox", agreement}});
    auto screen = open(false);
    EXPECT_EQ(container()->mMessageBlock(), std::nullopt);
    const auto parsed = platform::JSON::parse("{" + screen->paymentParams() + "}");
    ASSERT_TRUE(parsed.ok()) << screen->paymentParams();
    const Dictionary params = *parsed->getDictionary();
    EXPECT_EQ(params["first_pay_flag"], platform::Value("1"));
    EXPECT_EQ(params["card"], platform::Value("card-7001"));
    EXPECT_FALSE(params.contains("pan"));
    EXPECT_EQ(params["agree_terms"], platform::Value("yes"));
}

TEST_F(CardPayPaying, EntrustAnswerPushesTheEntrustScreen) {
    auto screen = open();
    screen->comunicateToBCMPDidSucceedWithEvent(kBCEventRulesWithEntrust);
    ASSERT_TRUE(waitForTop<EntrustDouble>());
    EXPECT_EQ(m_nav->viewControllers().size(), 3u);

    // A pending server box first: the push is its default action.
    m_nav->popViewController(false);
    ASSERT_TRUE(waitForTop<BCPayingViewController>());
    container()->setOpenAlertBox(Dictionary{{"title", "Notice"}});
    screen->comunicateToBCMPDidSucceedWithEvent(kBCEventRulesWithEntrust);
    turns(5);
    EXPECT_EQ(m_nav->topViewController(), screen);
    ASSERT_TRUE(screen->mAlertView());
    EXPECT_EQ(screen->mAlertView()->titleLabel()->text(), "Notice");
    screen->mAlertView()->buttonOKClicked();
    ASSERT_TRUE(waitForTop<EntrustDouble>());
    EXPECT_EQ(m_nav->viewControllers().size(), 3u);
}

TEST_F(CardPayPaying, RefusedPaymentClearsTheSecretsAndTimeoutEndsTheRoadAtOk) {
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Card declined"}});
    auto screen = open();
    fill(*screen);
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == "Card declined"; }));
    EXPECT_TRUE(cell(*screen, 0)->isEmpty());
    EXPECT_TRUE(cell(*screen, 1)->isEmpty());
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());
    screen->buttonOKClicked();
    turns(5);
    EXPECT_TRUE(m_host->results.empty());  // a refusal leaves the road open

    screen->comunicateToBCMPDidFailWithErrorType(kBCFailurePollTimeout, std::string("Not confirmed yet"));
    EXPECT_EQ(alertText(*screen), "Not confirmed yet");
    screen->buttonOKClicked();
    m_clock.advance(std::chrono::seconds(1));  // the animated dismissal
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(m_host->results[0]["code"], platform::Value("fail"));
}

TEST_F(CardPayPaying, LoginElsewhereGoesBackToTheRootScreen) {
    auto screen = open();
    platform::NotificationCenter::defaultCenter().post(kNotificationLogin);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_nav->viewControllers().size() == 1 && !m_nav->isBeingTransitioned(); }));
    EXPECT_EQ(m_nav->topViewController(), m_rootScreen);
    // A screen that is gone hears nothing more.
    std::weak_ptr<BCPayingViewController> weak = screen;
    screen.reset();
    m_clock.advance(std::chrono::seconds(2));  // the animated pop lets the screen go when it ends
    turns(5);
    EXPECT_TRUE(weak.expired());
    platform::NotificationCenter::defaultCenter().post(kNotificationLogin);
    turns(2);
    EXPECT_EQ(m_nav->topViewController(), m_rootScreen);
}

TEST_F(CardPayPaying, CardEntryPushesItForTheTypedCard) {
    const Array regex{Dictionary{{"pattern", "62\\d{14,17}"}, {"isCheck", 1}}};
    container()->apply({{"mInputInfoItem", Array{Dictionary{{"type", "pan"}, {"name", "pan"}, {"regex", regex}}}}});
    m_server.setReply("rules", Dictionary{{"rules", kPayForm}});
    auto entry = BCInputCardViewController::initForAccount(false);
    present(entry, true);
    entry->cardCell()->bankCell()->setText("6222 0212 3456 7894");
    entry->nextAction();
    ASSERT_TRUE(waitForTop<BCPayingViewController>());
    EXPECT_TRUE(std::static_pointer_cast<BCPayingViewController>(m_nav->topViewController())->mNewCard());
}

TEST_F(CardPayPaying, Picture) {
    container()->apply({{"serviceCheckBox", kAgreement},
                        {"mOrderInfoArray", Array{Dictionary{{"label", "商户名称"}, {"value", "示例商城"}},
                                                  Dictionary{{"label", "Amount"}, {"value", "CNY 128.00"}}}}});
    auto screen = open();
    cell(*screen, 0)->setText("123");
    hybtest::runMainUntil([&] { return !m_nav->isBeingTransitioned(); });
    hybtest::expectSnapshot(*m_nav->view(), "paying");
}

TEST_F(CardPayPaying, ABoundCardsPinIsNotBoundToACardTypedEarlierOnTheRoad) {
    auto typed = open();  // a typed card first: its PIN goes with its number
    EXPECT_EQ(container()->mMessageBlock(), "6222021234567894");
    cardpaytest::dismissRoad(m_root);
    // Back on the order screen the user picks a bound card instead.
    container()->setMFirstPayFlag(std::string("1"));
    container()->setMCardId(std::string("card-7001"));
    auto bound = open(false);
    EXPECT_EQ(container()->mMessageBlock(), std::nullopt);
}

TEST_F(CardPayPaying, ABoundCardAuthorisedFirstStillPaysByItsId) {
    // The entrust step opens the paying screen as for a new card; the road's record says bound card.
    container()->setMFirstPayFlag(std::string("1"));
    container()->setMCardId(std::string("card-7002"));
    auto screen = open(true);
    EXPECT_EQ(container()->mMessageBlock(), std::nullopt);  // no PIN bound to an earlier typed number
    const auto parsed = platform::JSON::parse("{" + screen->paymentParams() + "}");
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ((*parsed->getDictionary())["card"], platform::Value("card-7002"));
    EXPECT_FALSE(parsed->getDictionary()->contains("pan"));
}

TEST_F(CardPayPaying, ALostResultPollIsAskedAgainNeverThePayment) {
    using Fault = testsupport::CardPayTestServer::Fault;
    auto screen = open();
    fill(*screen);
    // The payment goes out; its result poll hangs, then answers HTTP 500, then hangs again.
    m_server.setFault("query", Fault::Hold);
    ASSERT_TRUE(road().tap("Pay now"));
    ASSERT_TRUE(road().waitUntil([&] { return m_server.commands("query").size() == 1; }, "the first poll"));
    EXPECT_TRUE(road().isLoading());
    road().advance(BCHttpsConnect::kTimeout);  // no reply in time: asked again a second later
    ASSERT_TRUE(road().waitUntil([&] { return screen->service()->pollsLost() == 1; }, "the lost poll"));
    m_server.setFault("query", Fault::HTTP500);
    road().advance(BCMPService::kPollInterval);
    ASSERT_TRUE(road().waitUntil([&] { return screen->service()->pollsLost() == 2; }, "the second lost poll"));
    m_server.setFault("query", Fault::Hold);
    road().advance(BCMPService::kPollInterval);
    ASSERT_TRUE(road().waitUntil([&] { return m_server.commands("query").size() == 3; }, "the third poll"));
    road().advance(BCHttpsConnect::kTimeout);
    ASSERT_TRUE(road().waitUntil([&] { return road().alertBox() != nullptr; }, "the box"));

    // The screen says the result is being confirmed; the secret fields are empty and Next asks for the
    // result, enabled though the form is not filled.
    const std::string checkResult = BCLocale::instance()->getStringById(10019);
    EXPECT_EQ(road().alertMessage(), BCLocale::instance()->getStringById(12017));
    EXPECT_EQ(road().alertBox()->titleLabel()->text(), BCLocale::instance()->getStringById(12020));  // not known to have failed
    EXPECT_TRUE(cell(*screen, 0)->text().empty());
    EXPECT_TRUE(cell(*screen, 1)->text().empty());
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), checkResult);
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
    EXPECT_TRUE(screen->awaitingPaymentResult());
    ASSERT_TRUE(road().tap(BCLocale::instance()->getStringById(10004)));  // Cancel: the box goes, nothing sent
    EXPECT_FALSE(road().alertBox());
    EXPECT_EQ(m_server.commands("query").size(), 3u);

    // Next asks again; the server has the result by now: paid.
    m_server.releaseHeldReplies();
    m_server.setFault("query", Fault::None);
    ASSERT_TRUE(road().tap(checkResult));
    ASSERT_TRUE(waitForTop<SucceedDouble>());
    EXPECT_EQ(m_server.commands("pay").size(), 1u);
    EXPECT_EQ(m_server.commands("query").size(), 4u);
}

TEST_F(CardPayPaying, AResultBeingConfirmedThatFailedLetsTheUserPayAgain) {
    using Fault = testsupport::CardPayTestServer::Fault;
    auto screen = open();
    fill(*screen);
    m_server.setFault("query", Fault::NotJSON);
    screen->nextAction();
    for (int lost = 1; lost < BCMPService::kMaxLostPolls; ++lost) {
        ASSERT_TRUE(road().waitUntil([&] { return screen->service()->pollsLost() == lost; }, "a lost poll"));
        road().advance(BCMPService::kPollInterval);
    }
    ASSERT_TRUE(road().waitUntil([&] { return screen->awaitingPaymentResult() && !road().isLoading(); }, "the result being confirmed"));
    // "Check Result" in the box: the poll says the payment failed.
    m_server.setFault("query", Fault::None);
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Card declined"}});
    ASSERT_TRUE(road().tap(BCLocale::instance()->getStringById(10019)));
    ASSERT_TRUE(road().waitUntil([&] { return road().alertMessage() == std::optional<std::string>("Card declined"); }, "the failure"));
    EXPECT_FALSE(screen->awaitingPaymentResult());
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Pay now");
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());  // the form was cleared
    ASSERT_TRUE(road().tap(BCLocale::instance()->getStringById(10001)));
    // A new payment may go out.
    fill(*screen);
    m_server.setReply("query", Dictionary{{"status", "00"}});
    screen->nextAction();
    ASSERT_TRUE(waitForTop<SucceedDouble>());
    EXPECT_EQ(m_server.commands("pay").size(), 2u);
}
