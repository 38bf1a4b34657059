// The entrust screen: the authorisation form, its server-named command and result, the follow-up form,
// Retry and Skip, the stack it leaves behind and its tracking.
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "support/Snapshot.h"

#include "CardPayFixture.h"
#include "ScreenHelpers.h"

using namespace cardpay;
using cardpaytest::alertText;
using cardpaytest::formCell;
using cardpaytest::trackerCalls;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

class RootDouble : public BCBaseViewController {};

const Array kEntrustForm{
    Dictionary{{"type", "mobile"}, {"name", "mobile"}, {"placeholder", "Phone"}, {"regexp", "1\\d{10}"}},
    Dictionary{{"type", "cvn2"}, {"name", "cvn2"}, {"placeholder", "CVN2"}},
};

class CardPayEntrust : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        BCEntrustViewController::registerScreen();
        BCPayingViewController::registerScreen();
        container()->apply({{"mEntrustElementArray", kEntrustForm},
                            {"mPayElementArray", Array{Dictionary{{"type", "pwd"}, {"name", "pin"}, {"placeholder", "PIN"}}}},
                            {"viewControllerTitle", "授权 Authorise"},
                            {"actionButton", Dictionary{{"label", "Authorise"}, {"action", "prepay"}}},
                            {"mFailContinue", "0"},
                            {"mOrderInfoArray", Array{Dictionary{{"label", "商户名称"}, {"value", "示例商城"}},
                                                      Dictionary{{"label", "Amount"}, {"value", "CNY 128.00"}}}}});
        container()->setMEntrustedCard(std::string("6222021234567894"));
        container()->setPayType(101);
        m_server.setReply("query", Array{Dictionary{{"status", "01"}}, Dictionary{{"status", "00"}}});
        m_server.setReply("followrules", Dictionary{{"title", "付款 Pay"}, {"rules", Array{Dictionary{{"type", "pwd"}, {"name", "pin"}}}}});
    }
    void TearDown() override {
        for (const auto name : {kEntrustScreenClass, kPayingScreenClass})
            BCScreenRegistry::shared().unregisterClass(name);
        CardPayRoadFixture::TearDown();
    }

    // The screens below the entrust screen, then the entrust screen, shown.
    std::shared_ptr<BCEntrustViewController> open(std::vector<std::shared_ptr<platform::ViewController>> below = {}) {
        if (m_nav)
            cardpaytest::dismissRoad(m_root);
        below.insert(below.begin(), std::make_shared<RootDouble>());
        present(below.front(), true);
        auto screen = std::static_pointer_cast<BCEntrustViewController>(makeScreen(kEntrustScreenClass));
        below.push_back(screen);
        m_nav->setViewControllers(below);
        screen->view();
        turns(2);  // the change ends on a later turn
        return screen;
    }
    static void fill(BCEntrustViewController& screen) {
        formCell(screen, 0)->setText("13800138000");
        formCell(screen, 1)->setText("123");
        screen.textFieldChangeType(BCTextFieldDelegate::kChangeTypeFirstCharacter);  // as a cell reports typing
    }
    std::vector<std::string> commandNames() const {
        std::vector<std::string> names;
        for (const auto& command : m_server.commands())
            names.push_back(command.cmd);
        return names;
    }
    // Turns the loop and the virtual clock until the server has seen `count` commands.
    bool waitForCommands(std::size_t count) {
        return hybtest::runMainUntil([&] {
            if (m_server.commands().size() < count)
                stepUnlessAsking();
            return m_server.commands().size() >= count;
        });
    }
    static const Dictionary kFormParams;
};

const Dictionary CardPayEntrust::kFormParams{{"mobile", "13800138000"}, {"cvn2", "123"}};

} // namespace

TEST_F(CardPayEntrust, FormAgreementBoxAndNextFromTheAnswer) {
    container()->apply({{"serviceCheckBox", Dictionary{{"label", "I agree"}, {"checked", "0"}, {"href_label", "Terms"},
                                                       {"href_url", "http://127.0.0.1/terms.html"}}}});
    auto screen = open();
    EXPECT_EQ(screen->paymentElementsView()->elementArray().size(), 2u);
    ASSERT_TRUE(screen->licenseBox());
    EXPECT_EQ(screen->licenseBox()->tag(), 10001);
    EXPECT_TRUE(screen->licenseBox()->mSelected());
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Authorise");
    EXPECT_EQ(screen->navigationBar()->barTitle()->text(), "授权 Authorise");
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, screen->mBtnNext()->frame().maxY() + 30);
    fill(*screen);
    hybtest::expectSnapshot(*m_nav->view(), "entrust");

    // Unfolding the order header moves the form, the box and Next down and grows the content.
    const double formY = screen->paymentElementsView()->frame().origin.y;
    const double boxY = screen->licenseBox()->frame().origin.y;
    const double nextY = screen->mBtnNext()->frame().origin.y;
    const double contentHeight = screen->mScrollView()->contentSize().height;
    screen->pullListAnimationDidStart(36);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, formY + 36);
    EXPECT_DOUBLE_EQ(screen->licenseBox()->frame().origin.y, boxY + 36);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, nextY + 36);
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, contentHeight + 36);
}

TEST_F(CardPayEntrust, NextAuthorisesThenAsksForTheFollowUpFormAndPays) {
    auto screen = open();
    fill(*screen);
    screen->nextAction();
    EXPECT_TRUE(screen->mAlertView() && screen->mAlertView()->isLoadingStyle());
    ASSERT_TRUE(waitForCommands(4));
    ASSERT_TRUE(cardpaytest::waitForTop<BCPayingViewController>(m_nav));
    ASSERT_EQ(commandNames(), (std::vector<std::string>{"prepay", "query", "query", "followrules"}));
    EXPECT_EQ(m_server.commands("prepay")[0].params, kFormParams);
    EXPECT_EQ(m_server.commands("followrules")[0].params, kFormParams);
    auto paying = std::static_pointer_cast<BCPayingViewController>(m_nav->topViewController());
    EXPECT_TRUE(paying->mNewCard());
    EXPECT_EQ(paying->navigationBar()->barTitle()->text(), "付款 Pay");
}

TEST_F(CardPayEntrust, APendingServerBoxComesBeforeThePayingScreen) {
    m_server.setReply("followrules", Dictionary{{"rules", Array{Dictionary{{"type", "pwd"}, {"name", "pin"}}}},
                                                {"open_alert_box", Dictionary{{"title", "Notice"}}}});
    auto screen = open();
    fill(*screen);
    screen->nextAction();
    ASSERT_TRUE(waitForCommands(4));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->mAlertView() && !screen->mAlertView()->isLoadingStyle(); }));
    turns(5);
    EXPECT_EQ(m_nav->topViewController(), screen);
    EXPECT_EQ(screen->mAlertView()->titleLabel()->text(), "Notice");
    screen->mAlertView()->buttonOKClicked();
    ASSERT_TRUE(cardpaytest::waitForTop<BCPayingViewController>(m_nav));
    EXPECT_EQ(m_nav->viewControllers().size(), 3u);  // pushed once
    EXPECT_EQ(commandNames(), (std::vector<std::string>{"prepay", "query", "query", "followrules"}));
}

TEST_F(CardPayEntrust, SkipAfterARefusalAsksForTheFollowUpFormWithTheCurrentForm) {
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Authorisation refused"}});
    auto screen = open();
    fill(*screen);
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == "Authorisation refused"; }));
    EXPECT_TRUE(screen->canGetFollowRules());
    const auto locale = BCLocale::instance();
    ASSERT_TRUE(screen->mAlertView()->cancelButton() && screen->mAlertView()->okButton());
    EXPECT_EQ(screen->mAlertView()->cancelButton()->titleForState(platform::kControlStateNormal), locale->getStringById(10017));
    EXPECT_EQ(screen->mAlertView()->okButton()->titleForState(platform::kControlStateNormal), locale->getStringById(10018));
    EXPECT_EQ(formCell(*screen, 1)->text(), "123");  // the form is kept for Skip
    hybtest::expectSnapshot(*m_nav->view(), "entrust_retry_skip");

    formCell(*screen, 1)->setText("456");
    screen->buttonOKClicked();
    EXPECT_FALSE(screen->canGetFollowRules());
    ASSERT_TRUE(cardpaytest::waitForTop<BCPayingViewController>(m_nav));
    const auto follow = m_server.commands("followrules");
    ASSERT_EQ(follow.size(), 1u);
    EXPECT_EQ(follow[0].params, (Dictionary{{"mobile", "13800138000"}, {"cvn2", "456"}}));
}

TEST_F(CardPayEntrust, RetrySendsNothingAndTheNextNextAuthorisesAgain) {
    m_server.setReply("query", Dictionary{{"status", "03"}, {"fail_msg", "Authorisation refused"}});
    auto screen = open();
    fill(*screen);
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->canGetFollowRules(); }));
    screen->buttonCancelClicked();
    EXPECT_FALSE(screen->canGetFollowRules());
    EXPECT_FALSE(screen->mAlertView());
    turns(10);
    EXPECT_EQ(commandNames(), (std::vector<std::string>{"prepay", "query"}));
    // A later message's OK does not send the follow-up request.
    screen->showAlertViewWithMessage(std::string("later"));
    screen->buttonOKClicked();
    turns(5);
    screen->nextAction();
    ASSERT_TRUE(waitForCommands(4));
    EXPECT_EQ(commandNames(), (std::vector<std::string>{"prepay", "query", "prepay", "query"}));
}

TEST_F(CardPayEntrust, RefusalWithoutGoingOnClearsTheSecretsAndTimeoutOnlySays) {
    container()->apply({{"mFailContinue", "1"}});
    auto screen = open();
    fill(*screen);
    screen->comunicateToBCMPDidFailWithErrorType(kBCFailurePayment, std::string("Refused"));
    EXPECT_EQ(alertText(*screen), "Refused");
    EXPECT_FALSE(screen->canGetFollowRules());
    EXPECT_TRUE(formCell(*screen, 1)->isEmpty());          // CVN2 is secret
    EXPECT_EQ(formCell(*screen, 0)->text(), "13800138000");  // the phone is not
    EXPECT_FALSE(screen->mAlertView()->cancelButton() && !screen->mAlertView()->cancelButton()->isHidden());

    fill(*screen);
    screen->comunicateToBCMPDidFailWithErrorType(kBCFailurePollTimeout, std::string("Still waiting"));
    EXPECT_EQ(alertText(*screen), "Still waiting");
    EXPECT_EQ(formCell(*screen, 1)->text(), "123");
    screen->buttonOKClicked();
    turns(5);
    EXPECT_TRUE(m_host->results.empty());
    EXPECT_EQ(m_nav->topViewController(), screen);
}

TEST_F(CardPayEntrust, SmsCodeSentStartsTheCountdownAndAFailureEndsIt) {
    container()->apply({{"mEntrustElementArray", Array{Dictionary{{"type", "mobile"}, {"name", "mobile"}, {"regexp", "1\\d{10}"}},
                                                       Dictionary{{"type", "sms"}, {"name", "sms"}, {"placeholder", "Code"}}}}});
    auto screen = open();
    const auto sms = std::dynamic_pointer_cast<BCSmsCodeCell>(formCell(*screen, 1));
    ASSERT_TRUE(sms);
    screen->showLoadingAlertView();
    screen->comunicateToBCMPDidSucceedWithEvent(kBCEventSmsSent);
    EXPECT_FALSE(screen->mAlertView());
    EXPECT_FALSE(sms->mBtnSmsCode()->isEnabled());
    screen->comunicateToBCMPDidFailWithErrorType(kBCFailurePollTimeout, std::string("Later"));
    EXPECT_TRUE(sms->mBtnSmsCode()->isEnabled());
}

TEST_F(CardPayEntrust, AnswerButtonWithoutACommandSendsNothing) {
    for (const Value& button : {Value(Dictionary{{"label", "Go"}}), Value(Dictionary{{"label", "Go"}, {"action", 5}}),
                                Value(Dictionary{{"label", "Go"}, {"action", ""}})}) {
        container()->apply({{"actionButton", button}});
        auto screen = open();
        fill(*screen);
        screen->nextAction();
        EXPECT_EQ(alertText(*screen), BCLocale::instance()->getStringById(12003));
    }
    turns(10);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayEntrust, BackSkipsTheLowestPayingOrUserInformationScreen) {
    auto paying = makeScreen(kPayingScreenClass);
    auto screen = open({paying});
    EXPECT_EQ(m_nav->viewControllers().size(), 2u);
    EXPECT_EQ(m_nav->viewControllers()[1], screen);

    auto userInfo = std::make_shared<BCUserInfoViewController>();
    auto secondPaying = makeScreen(kPayingScreenClass);
    screen = open({userInfo, secondPaying});
    ASSERT_EQ(m_nav->viewControllers().size(), 3u);
    EXPECT_EQ(m_nav->viewControllers()[1], secondPaying);  // only the lowest goes

    screen = open();
    EXPECT_EQ(m_nav->viewControllers().size(), 2u);
}

TEST_F(CardPayEntrust, PageAndPrefixOnlyWhileOnTop) {
    auto screen = open();
    EXPECT_EQ(trackerCalls("trackPageBegin"), (std::vector<Array>{{"entrust_View"}}));
    EXPECT_EQ(container()->bcPayPrefix(), "entrust_");
    // A screen over it, then back.
    m_nav->pushViewController(std::make_shared<RootDouble>(), false);
    turns(2);  // the push ends on a later turn
    EXPECT_EQ(trackerCalls("trackPageEnd"), (std::vector<Array>{{"entrust_View"}}));
    EXPECT_EQ(container()->bcPayPrefix(), std::nullopt);
    m_nav->popViewController(false);
    turns(2);
    EXPECT_EQ(container()->bcPayPrefix(), "entrust_");
    // The road taken away with the screen on top leaves no prefix behind for the next one.
    cardpaytest::dismissRoad(m_root);
    EXPECT_EQ(trackerCalls("trackPageEnd").size(), 2u);
    EXPECT_EQ(container()->bcPayPrefix(), std::nullopt);
}

TEST_F(CardPayEntrust, AgreementBoxTracksWithThePrefixOrThePayType) {
    container()->apply({{"serviceCheckBox", Dictionary{{"label", "I agree"}, {"checked", "0"}}}});
    auto screen = open();
    YLUniTracker::resetRecord();
    screen->licenseBox()->checkboxClick();
    EXPECT_EQ(trackerCalls("trackEvent"), (std::vector<Array>{{"entrust_user_protocol"}}));

    container()->setBcPayPrefix(std::nullopt);
    YLUniTracker::resetRecord();
    screen->licenseBox()->checkboxClick();  // ticked again
    ASSERT_EQ(trackerCalls("trackEvent").size(), 1u);
    EXPECT_EQ(trackerCalls("trackEvent")[0][0], Value("bankpay_agree_user_protocol"));
    EXPECT_EQ(trackerCalls("trackEvent")[0][2], Value(Dictionary{{"agree", "Y"}}));
    container()->setPayType(100);
    YLUniTracker::resetRecord();
    screen->licenseBox()->checkboxClick();
    ASSERT_EQ(trackerCalls("trackEvent").size(), 1u);
    EXPECT_EQ(trackerCalls("trackEvent")[0][0], Value("loginpay_agree_user_protocol"));
    EXPECT_EQ(trackerCalls("trackEvent")[0][2], Value(Dictionary{{"agree", "N"}}));
}
