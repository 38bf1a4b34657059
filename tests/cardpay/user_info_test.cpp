// The user-information screen: its bodies (bound card with form and agreement, the "empty_info" text, the
// add-card field), the card list and the card change, Next in each body with the "pay" command and its
// result poll, the phone change, the events and failures it answers, leaving, the answer's bad members,
// rotation and pictures.
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/core/BCReplyMapper.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCUserInfoViewController.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "platform/application/Application.h"
#include "platform/device/Reachability.h"
#include "platform/ui/NavigationController.h"
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

class RootDouble : public BCBaseViewController {};
class EntrustDouble : public BCBaseViewController {};
class SuccessDouble : public BCBaseViewController {};

const Array kTwoCards{Array{"card-7001", "招商银行 China Merchants Bank", "**** 1234"}, Array{"card-7002", "Bank of Example", "**** 5678"}};
// A card form without an entrust step: a phone with its change button and an SMS code.
const Dictionary kCardForm{
    {"rules", Array{Dictionary{{"type", "mobile"}, {"name", "mobile"}, {"placeholder", "Phone"}, {"value", "13800138000"},
                               {"button_label", "Change"}, {"button_action", "modifyphone"}},
                    Dictionary{{"type", "sms"}, {"name", "sms"}, {"placeholder", "Code"}}}}};

class CardPayUserInfo : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        auto& screens = BCScreenRegistry::shared();
        BCPayingViewController::registerScreen();
        screens.registerClass<EntrustDouble>("BCEntrustViewController");
        screens.registerClass<SuccessDouble>("BCSucceedViewController");
        BCUserInfoViewController::registerScreen();
        const platform::Dictionary replies = sampleReplies();
        m_init = replies["init"].dictionaryOrEmpty();
        m_user = replies["getuserinfo"].dictionaryOrEmpty();
        m_promotion = *m_user["promotion"].getDictionary();
        m_instalment = *m_user["instalment"].getDictionary();
        m_user.remove("promotion");
        m_user.remove("instalment");
        m_server.setReply("rules", kCardForm);
        m_server.setReply("modifyphone", kCardForm);
        m_server.setReply("bindcardrules", kCardForm);
    }
    void TearDown() override {
        platform::Reachability::setOverrideFlags(std::nullopt);
        for (const char* name : {"BCPayingViewController", "BCEntrustViewController", "BCSucceedViewController"})
            BCScreenRegistry::shared().unregisterClass(name);
        BCScreenRegistry::shared().unregisterClass(kUserInfoScreenClass);
        CardPayRoadFixture::TearDown();
    }

    // The init and user-information answers (with the test's changes) applied, then the screen pushed
    // over a root screen, made by its class name as the start and order screens make it.
    std::shared_ptr<BCUserInfoViewController> open() {
        container()->apply(BCReplyMapper::initReply(m_init));
        container()->apply(BCReplyMapper::userInfoReply(m_user));
        present(std::make_shared<RootDouble>(), true);
        auto screen = std::dynamic_pointer_cast<BCUserInfoViewController>(makeScreen(kUserInfoScreenClass));
        EXPECT_TRUE(screen);
        if (!screen)
            return nullptr;
        m_nav->pushViewController(screen, false);
        hybtest::runMainUntil([&] { return !m_nav->isBeingTransitioned(); });
        screen->view();
        return screen;
    }
    template <class Screen>
    bool waitForTop() {
        return hybtest::runMainUntil([&] { return std::dynamic_pointer_cast<Screen>(m_nav->topViewController()) != nullptr; });
    }
    bool waitForBoxGone(const BCBaseViewController& screen) {
        return hybtest::runMainUntil([&] { return !screen.mAlertView(); });
    }
    static std::string alertText(const BCBaseViewController& screen) {
        return screen.mAlertView() && screen.mAlertView()->messageLabel() ? screen.mAlertView()->messageLabel()->text() : "";
    }
    static std::string text(int id) { return BCLocale::instance()->getStringById(id); }
    static bool tracked(const std::string& event) {
        for (const auto& call : YLUniTracker::recordedCalls())
            if (call.operation == "trackEvent" && call.arguments[0] == Value(event))
                return true;
        return false;
    }
    static std::vector<std::string> toasts(BCBaseViewController& screen) {
        std::vector<std::string> messages;
        for (const auto& child : screen.view()->subviews())
            if (const auto toast = std::dynamic_pointer_cast<BCToast>(child))
                messages.push_back(toast->message());
        return messages;
    }
    template <class Cell>
    static std::shared_ptr<Cell> formCell(const BCBaseViewController& screen) {
        for (const auto& view : screen.paymentElementsView()->elementArray())
            if (auto cell = std::dynamic_pointer_cast<Cell>(view))
                return cell;
        return nullptr;
    }
    // Answers "rules" for the card at `index` of the list and waits until its form is shown.
    void chooseCard(BCUserInfoViewController& screen, long index) {
        screen.showBindCardsList();
        ASSERT_TRUE(screen.cardListView());
        screen.cardListView()->selectRow(index);
        ASSERT_TRUE(waitForBoxGone(screen));
    }

    // The sample's promotion and instalment offered, then the screen opened.
    std::shared_ptr<BCUserInfoViewController> openWithChoosers() {
        m_user.set("promotion", m_promotion);
        m_user.set("instalment", m_instalment);
        return open();
    }
    // The SMS code and the PIN typed.
    static void fillForm(BCUserInfoViewController& screen) {
        formCell<BCSmsCodeCell>(screen)->setText("123456");
        auto pin = formCell<BCPasswordCell>(screen);
        for (const char c : std::string("123456"))
            pin->keyboard()->digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    }
    bool waitForInstalmentRequests(std::size_t count) {
        return hybtest::runMainUntil([&] { return m_server.commands("instalment").size() == count; });
    }

    Dictionary m_init;
    Dictionary m_user;
    Dictionary m_promotion;
    Dictionary m_instalment;
};

TEST_F(CardPayUserInfo, TheRoadRegistersTheScreenByName) {
    BCScreenRegistry::shared().unregisterClass(kUserInfoScreenClass);
    ASSERT_TRUE(BCPayRoad::start(m_root, "201712010001", m_server.url(), m_host));
    EXPECT_TRUE(BCScreenRegistry::shared().contains(kUserInfoScreenClass));
    EXPECT_TRUE(std::dynamic_pointer_cast<BCUserInfoViewController>(makeScreen(kUserInfoScreenClass)));
    m_root->dismissViewController(false);
}

TEST_F(CardPayUserInfo, BoundCardBody) {
    m_user.set("user_cards", kTwoCards);
    auto screen = open();
    ASSERT_TRUE(screen);
    EXPECT_FALSE(screen->noBindCards());
    EXPECT_EQ(screen->navigationBar()->barTitle()->text(), text(11021));
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Start Pay");
    EXPECT_EQ(container()->mFirstPayFlag(), "1");
    ASSERT_EQ(screen->bindCardDescriptions().size(), 2u);
    EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "招商银行 China Merchants Bank **** 1234");
    EXPECT_EQ(screen->userInfoView()->elementArray().size(), 1u);

    // Stacked in the body: user information, card (its bottom line shared with the form), form, indicator, Next.
    const double info = screen->userInfoView()->frame().size.height;
    EXPECT_DOUBLE_EQ(screen->defaultCardView()->frame().origin.y, info);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, info + 44 - 2);
    const double formBottom = screen->paymentElementsView()->frame().maxY();
    EXPECT_DOUBLE_EQ(screen->indicatorView()->frame().origin.y, formBottom + 13);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, screen->indicatorView()->frame().maxY() + 12);
    EXPECT_DOUBLE_EQ(screen->mainView()->frame().size.height, screen->mBtnNext()->frame().maxY());
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, screen->mainView()->frame().maxY() + 30);

    // The agreement box starts ticked; the account-pay link opens its page under text 11023.
    auto box = std::dynamic_pointer_cast<BCCheckBoxView>(screen->mScrollView()->viewWithTag(BCBaseViewController::kAgreementTag));
    ASSERT_TRUE(box);
    EXPECT_TRUE(box->mSelected());
    EXPECT_EQ(box->errorInfo(), text(12006));
    ASSERT_TRUE(screen->bindLink());
    EXPECT_EQ(screen->bindLink()->titleLabel()->text(), "Bind a card");
    screen->pushViewToBindUrlViewContriller();
    ASSERT_TRUE(waitForTop<BCWebViewController>());
    auto page = std::static_pointer_cast<BCWebViewController>(m_nav->topViewController());
    EXPECT_EQ(page->barTitle(), "About Account Pay");
    EXPECT_EQ(page->webViewUrl(), m_server.url("/pages/bind.html"));
}

TEST_F(CardPayUserInfo, CardListAndCardChange) {
    m_user.set("user_cards", kTwoCards);
    auto screen = open();
    screen->showBindCardsList();
    auto list = screen->cardListView();
    ASSERT_TRUE(list);
    EXPECT_TRUE(list->deleteButtons().empty());
    EXPECT_NE(list->headerLabel()->text().find("exchange card"), std::string::npos);
    ASSERT_TRUE(list->footer());
    EXPECT_EQ(list->selectedIndex(), 0);

    // The card already shown still asks for its form.
    list->selectRow(0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("rules").size() == 1; }));
    const auto rules = m_server.commands("rules")[0].params;
    EXPECT_EQ(rules, (Dictionary{{"first_pay_flag", "1"}, {"card", "card-7001"}, {"pay_type", "1"}, {"pay_mode", "2"}}));
    EXPECT_TRUE(tracked("loginpay_choose_bankcard"));
    ASSERT_TRUE(waitForBoxGone(*screen));

    // Another card: its form replaces the old one in place, under the new card line.
    const auto oldForm = screen->paymentElementsView();
    chooseCard(*screen, 1);
    EXPECT_EQ(m_server.commands("rules").back().params["card"], Value("card-7002"));
    EXPECT_EQ(screen->selectedCardIndex(), 1);
    EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "Bank of Example **** 5678");
    EXPECT_NE(screen->paymentElementsView(), oldForm);
    EXPECT_FALSE(oldForm->superview());
    EXPECT_EQ(screen->paymentElementsView()->superview(), screen->mainView());
    EXPECT_EQ(screen->paymentElementsView()->elementArray().size(), 2u);
    EXPECT_EQ(screen->mTextFieldsArray().size(), 2u);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, screen->defaultCardView()->frame().maxY() - 2);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, screen->indicatorView()->frame().maxY() + 12);
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Start Pay");
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, screen->mainView()->frame().maxY());
    std::size_t boxes = 0;
    for (const auto& child : screen->mainView()->subviews())
        boxes += std::dynamic_pointer_cast<platform::Button>(child) == screen->mBtnNext();
    EXPECT_EQ(boxes, 1u);

    // An index outside the list sends nothing; the footer opens card entry for the account.
    const std::size_t sent = m_server.commands().size();
    for (long outside : {-1L, 3L, 99L})
        screen->listViewDidSelectedAtIndex(*list, outside);
    turns(5);
    EXPECT_EQ(m_server.commands().size(), sent);
    EXPECT_FALSE(screen->mAlertView());
    screen->showBindCardsList();
    screen->cardListView()->selectRow(2);
    ASSERT_TRUE(waitForTop<BCInputCardViewController>());
    EXPECT_TRUE(std::static_pointer_cast<BCInputCardViewController>(m_nav->topViewController())->isForAccount());
}

TEST_F(CardPayUserInfo, EntrustStepAndServerAlertBox) {
    auto screen = open();
    m_server.setReply("rules", Dictionary{{"rules", Array{}}, {"entrust_rules", Array{Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}},
                                          {"temp_alert_box", Dictionary{{"title", "Note"}, {"text", "Check the card"}}}});
    screen->showBindCardsList();
    screen->cardListView()->selectRow(0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == "Check the card"; }));
    EXPECT_FALSE(container()->tempAlertBox());
    screen->mAlertView()->buttonOKClicked();
    ASSERT_TRUE(waitForTop<EntrustDouble>());
}

TEST_F(CardPayUserInfo, PhoneChangeGoesOnToPaying) {
    m_user.set("rules", kCardForm["rules"]);
    m_user.set("user_cards", kTwoCards);
    auto screen = open();
    auto phone = formCell<BCTelephoneCell>(*screen);
    ASSERT_TRUE(phone && phone->resetPhoneButton());
    phone->resetPhoneButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_TRUE(screen->handleModifyPhone());
    EXPECT_EQ(container()->bcPayPrefix(), "loginpay_phoneNO_change_");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("modifyphone").size() == 1; }));
    EXPECT_EQ(m_server.commands("modifyphone")[0].params, (Dictionary{{"card", "card-7001"}}));
    ASSERT_TRUE(waitForTop<BCPayingViewController>());
    EXPECT_FALSE(std::static_pointer_cast<BCPayingViewController>(m_nav->topViewController())->mNewCard());
    EXPECT_EQ(container()->mCardId(), "card-7001");
    EXPECT_FALSE(screen->handleModifyPhone());
}

TEST_F(CardPayUserInfo, AFailedPhoneChangeLeavesCardChangesOnTheScreen) {
    m_user.set("rules", kCardForm["rules"]);
    m_user.set("user_cards", kTwoCards);
    auto screen = open();
    m_server.setEnvelope("modifyphone", Dictionary{{"resp", "01"}, {"msg", "Not now"}});
    screen->modifyAction("modifyphone");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == "Not now"; }));
    EXPECT_FALSE(screen->handleModifyPhone());
    screen->mAlertView()->buttonOKClicked();
    chooseCard(*screen, 1);
    EXPECT_EQ(m_nav->topViewController(), screen);
    EXPECT_EQ(screen->selectedCardIndex(), 1);
}

TEST_F(CardPayUserInfo, UnfoldingTheOrderHeaderMovesTheBody) {
    auto screen = open();
    const double top = screen->mainView()->frame().origin.y;
    const double content = screen->mScrollView()->contentSize().height;
    screen->pullListAnimationDidStart(40);
    EXPECT_DOUBLE_EQ(screen->mainView()->frame().origin.y, top + 40);
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, content + 40);
}

TEST_F(CardPayUserInfo, NoCardsNoTip) {
    m_user.set("user_cards", Array{});
    m_user.remove("add_card_tip");
    auto screen = open();
    EXPECT_TRUE(screen->noBindCards());
    ASSERT_TRUE(screen->noCardLabel());
    EXPECT_EQ(screen->noCardLabel()->text(), "No bound card yet.");
    EXPECT_FALSE(screen->indicatorView());
    EXPECT_FALSE(screen->mScrollView()->viewWithTag(BCBaseViewController::kAgreementTag));
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "  Back");
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
    EXPECT_EQ(screen->navigationBar()->leftButton()->imageForState(0), BCImageManager::instance()->imageNamed(20002));  // back arrow
    screen->mBtnNext()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_TRUE(waitForTop<RootDouble>());
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayUserInfo, AccountOnlyAsksBeforeLeaving) {
    m_init.set("sup_pay_method", "01");
    m_init.set("user_id", "u-10086");
    m_user.set("user_cards", Array{});
    m_user.remove("add_card_tip");
    auto screen = open();
    EXPECT_EQ(screen->navigationBar()->leftButton()->imageForState(0), BCImageManager::instance()->imageNamed(20003));
    screen->nextAction();
    EXPECT_TRUE(screen->mExitPlugin());
    EXPECT_EQ(alertText(*screen), text(13003));
    EXPECT_EQ(screen->mAlertView()->titleLabel()->text(), text(12020));  // a question, not an error
    screen->mAlertView()->buttonCancelClicked();
    EXPECT_FALSE(screen->mExitPlugin());
    EXPECT_EQ(m_nav->topViewController(), screen);

    screen->navigationBar()->leftButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(alertText(*screen), text(13003));
    screen->mAlertView()->buttonOKClicked();
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(m_host->results[0], (Dictionary{{"code", "cancel"}, {"data", ""}}));
}

TEST_F(CardPayUserInfo, BCMPTransactionWithoutCards) {
    m_user.set("user_cards", Array{});
    container()->setMTN("201712010002");
    auto screen = open();
    EXPECT_TRUE(screen->isBCMP());
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Use Other Pay Channel");
    ASSERT_TRUE(screen->noCardLabel());
    EXPECT_FALSE(screen->cardInputCell());
    ASSERT_TRUE(screen->indicatorView());
    screen->nextAction();
    ASSERT_TRUE(waitForTop<RootDouble>());
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayUserInfo, BCMPCardListHasNoAddCardRow) {
    container()->setMTN("201712010002");
    m_user.set("user_cards", kTwoCards);
    auto screen = open();
    screen->showBindCardsList();
    EXPECT_FALSE(screen->cardListView()->footer());
    screen->listViewDidSelectedAtIndex(*screen->cardListView(), 2);  // where the footer would be
    turns(5);
    EXPECT_EQ(m_nav->topViewController(), screen);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayUserInfo, AddCardField) {
    m_user.set("user_cards", Array{});
    auto screen = open();
    auto field = screen->cardInputCell() ? screen->cardInputCell()->bankCell() : nullptr;
    ASSERT_TRUE(field);
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "Add a card");
    EXPECT_EQ(field->labelCell()->label()->text(), "PayAccount");
    EXPECT_EQ(screen->mTextFieldsArray().size(), 1u);
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());
    ASSERT_TRUE(screen->supportedBanksLink());
    EXPECT_EQ(screen->supportedBanksLink()->titleLabel()->text(), "Supported Banks");
    screen->showSupportedBank();
    ASSERT_TRUE(waitForTop<BCWebViewController>());
    EXPECT_EQ(std::static_pointer_cast<BCWebViewController>(m_nav->topViewController())->webViewUrl(), m_server.url("/pages/banks.html"));
    EXPECT_TRUE(tracked("loginpay_support_bank"));
    m_nav->popViewController(false);
    ASSERT_TRUE(waitForTop<BCUserInfoViewController>());

    // A number that fails its check: 12014, nothing sent.
    field->setText("6222 0212");
    screen->nextAction();
    EXPECT_EQ(alertText(*screen), "Bank Card Error");
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());
    screen->mAlertView()->buttonOKClicked();

    field->setText("6222 0212 3456 7894");
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("bindcardrules").size() == 1; }));
    EXPECT_EQ(m_server.commands("bindcardrules")[0].params, (Dictionary{{"pan", "6222021234567894"}}));
    EXPECT_TRUE(tracked("bankpay_input_cardNO_next"));
    ASSERT_TRUE(waitForTop<BCPayingViewController>());
    EXPECT_TRUE(std::static_pointer_cast<BCPayingViewController>(m_nav->topViewController())->mNewCard());
    EXPECT_EQ(container()->mEntrustedCard(), "6222021234567894");
}

TEST_F(CardPayUserInfo, PayWithTheBoundCard) {
    m_user.set("rules", kCardForm["rules"]);
    auto screen = open();
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());  // the SMS code is empty
    auto sms = formCell<BCSmsCodeCell>(*screen);
    ASSERT_TRUE(sms);

    // The SMS code asked for: 3003 disables its button.
    sms->mBtnSmsCode()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("sms").size() == 1; }));
    ASSERT_TRUE(waitForBoxGone(*screen));
    EXPECT_FALSE(sms->mBtnSmsCode()->isEnabled());
    sms->setText("123456");

    // The agreement unticked blocks the payment with its own message.
    auto box = std::dynamic_pointer_cast<BCCheckBoxView>(screen->mScrollView()->viewWithTag(BCBaseViewController::kAgreementTag));
    box->checkboxClick();
    screen->nextAction();
    EXPECT_EQ(alertText(*screen), text(12006));
    screen->mAlertView()->buttonOKClicked();
    box->checkboxClick();

    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("pay").size() == 1; }));
    EXPECT_TRUE(tracked("loginpay_apply"));
    const auto pay = m_server.commands("pay")[0];
    EXPECT_NE(pay.body.find(R"("params":{"pay_type":"1","pay_mode":"2","bind":"yes","mobile":"13800138000","sms":"123456"})"),
              std::string::npos)
        << pay.body;
    ASSERT_TRUE(hybtest::runMainUntil([&] { return screen->service()->pollsAnswered() == 1; }));
    m_clock.advance(std::chrono::seconds(1));
    ASSERT_TRUE(waitForTop<SuccessDouble>());
    EXPECT_EQ(m_server.commands("query").size(), 2u);
    EXPECT_TRUE(tracked("loginpay_succeed"));
    EXPECT_FALSE(container()->mMessageBlock());
}

TEST_F(CardPayUserInfo, FailedAndTimedOutPayments) {
    auto screen = open();
    auto pin = formCell<BCPasswordCell>(*screen);
    ASSERT_TRUE(pin);
    auto sms = formCell<BCSmsCodeCell>(*screen);
    ASSERT_TRUE(sms);
    auto typePin = [&] {
        sms->setText("123456");
        for (const char c : std::string("123456"))
            pin->keyboard()->digitKey(c - '0')->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    };
    typePin();
    m_server.setReply("query", Array{Dictionary{{"status", "03"}, {"fail_msg", "Insufficient funds"}}});
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == "Insufficient funds"; }));
    EXPECT_TRUE(pin->isEmpty());
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());
    screen->mAlertView()->buttonOKClicked();
    EXPECT_TRUE(m_host->results.empty());

    // Still "01" at the last poll: the payment reply's time-out text, and OK ends the road with "fail":
    // asked once more on the way out, still "01", the payment's result is unconfirmed.
    typePin();
    m_server.setReply("query", Array{Dictionary{{"status", "01"}}});
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("pay").size() == 2; }));
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        if (alertText(*screen) == "We could not confirm the payment yet.")
            return true;
        m_clock.advance(std::chrono::seconds(1));
        return false;
    }));
    EXPECT_TRUE(screen->mClientMustBeTerminated());
    const std::size_t polls = m_server.commands("query").size();
    screen->mAlertView()->buttonOKClicked();
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        if (!m_host->results.empty())
            return true;
        m_clock.advance(std::chrono::milliseconds(250));
        return false;
    }));
    EXPECT_EQ(m_host->results, (std::vector<Dictionary>{{{"code", "fail"}, {"data", cardpay::BCPayRoad::kUnconfirmed}}}));
    EXPECT_EQ(m_server.commands("query").size(), polls + 1);
    EXPECT_EQ(m_server.commands("pay").size(), 2u);
}

TEST_F(CardPayUserInfo, PageTrackingAndPendingAlertBox) {
    m_user.set("open_alert_box", Dictionary{{"title", "Welcome"}, {"text", "Pay with your account"}});
    auto screen = open();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == "Pay with your account"; }));
    EXPECT_FALSE(container()->openAlertBox());
    const auto& calls = YLUniTracker::recordedCalls();
    auto began = std::find_if(calls.begin(), calls.end(), [](const auto& call) {
        return call.operation == "trackPageBegin" && call.arguments[0] == Value("loginpay_View");
    });
    EXPECT_NE(began, calls.end());
    m_nav->pushViewController(std::make_shared<RootDouble>(), false);
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        const auto& now = YLUniTracker::recordedCalls();
        return !now.empty() && now.back().operation == "trackPageEnd" && now.back().arguments[0] == Value("loginpay_View");
    }));
}

TEST_F(CardPayUserInfo, BadMembersOfTheAnswer) {
    m_user.set("user_info", "demo");
    m_user.set("user_cards", Array{Array{"card-7001", "Bank"}, Array{"card-7002", 5, "**** 5678"}, "card-7003",
                                   Array{"card-7004", "Bank of Example", "**** 9999"}});
    m_user.set("service_url", Dictionary{{"label", "Service terms"}});
    m_user.set("bind_url", Dictionary{{"href", "http://127.0.0.1/bind.html"}});
    auto screen = open();
    EXPECT_TRUE(screen->userInfoView()->elementArray().empty());
    EXPECT_EQ(screen->bindCardDescriptions(), std::vector<std::string>{"Bank of Example **** 9999"});
    EXPECT_FALSE(screen->mScrollView()->viewWithTag(BCBaseViewController::kAgreementTag));
    EXPECT_FALSE(screen->bindLink());
    EXPECT_DOUBLE_EQ(screen->indicatorView()->frame().size.height, 0);

    m_user.set("user_cards", 7);
    m_user.set("add_card_tip", Dictionary{{"label", "Add"}});
    m_user.set("empty_info", 12);
    screen = open();
    EXPECT_TRUE(screen->noBindCards());
    EXPECT_FALSE(screen->cardInputCell());  // no tip: the text body
    ASSERT_TRUE(screen->noCardLabel());
    EXPECT_EQ(screen->noCardLabel()->text(), "");
    EXPECT_EQ(screen->mBtnNext()->titleForState(platform::kControlStateNormal), "  Back");
}

TEST_F(CardPayUserInfo, LeavingForgetsTheLinks) {
    {
        auto screen = open();
        EXPECT_TRUE(container()->UserBindUrl());
        m_root->dismissViewController(false);
        m_nav.reset();
        turns(5);
    }
    EXPECT_FALSE(container()->UserBindUrl());
    EXPECT_FALSE(container()->UserServiceUrl());
    EXPECT_TRUE(container()->mUserCards());
}

TEST_F(CardPayUserInfo, PointsCellGrowthMovesWhatLiesBelowInTheBody) {
    container()->setMaxCanUsePoint(500);
    m_user.set("rules", Array{Dictionary{{"type", "point"}, {"name", "points"}}, Dictionary{{"type", "pwd"}, {"name", "pin"}}});
    auto screen = open();
    auto cell = formCell<BCPointCell>(*screen);
    ASSERT_TRUE(cell);
    const double nextY = screen->mBtnNext()->frame().origin.y;
    const double indicatorY = screen->indicatorView()->frame().origin.y;
    const double cardY = screen->defaultCardView()->frame().origin.y;
    const double body = screen->mainView()->frame().size.height;
    const double content = screen->mScrollView()->contentSize().height;
    const double grow = 30;  // the caption took more lines
    screen->pointCellKeyPathChanged(*cell, grow);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, nextY + grow);
    EXPECT_DOUBLE_EQ(screen->indicatorView()->frame().origin.y, indicatorY + grow);
    EXPECT_DOUBLE_EQ(screen->defaultCardView()->frame().origin.y, cardY);
    EXPECT_DOUBLE_EQ(screen->mainView()->frame().size.height, body + grow);
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, content + grow);

    container()->setPointCell(nullptr);  // no points cell on the road: nothing moves
    screen->pointCellKeyPathChanged(*cell, grow);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, nextY + grow);
}

TEST_F(CardPayUserInfo, RotationLaysOutOnce) {
    m_user.set("user_cards", Array{});
    auto screen = open();
    container()->setToRotationSize({667, 375});
    for (int call = 0; call < 2; ++call)  // the transition and the older callback may both come
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    m_clock.advance(1.0);
    EXPECT_DOUBLE_EQ(screen->mainView()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->userInfoView()->frame().size.width, 667 - 24);
    EXPECT_DOUBLE_EQ(screen->cardInputCell()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().size.width, 667 - 24);
}

TEST_F(CardPayUserInfo, RotationWidensTheCardFormOnce) {
    auto screen = open();
    container()->setToRotationSize({667, 375});
    for (int call = 0; call < 2; ++call)
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    m_clock.advance(1.0);
    EXPECT_DOUBLE_EQ(screen->mainView()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->pullListView()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->navigationBar()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->userInfoView()->frame().size.width, 667 - 24);
}

TEST_F(CardPayUserInfo, Pictures) {
    {
        m_user.set("user_cards", kTwoCards);
        auto screen = open();
        hybtest::expectSnapshot(*screen->view(), "user_info_card_form");
        screen->showBindCardsList();
        hybtest::expectSnapshot(*screen->view(), "user_info_card_list");
    }
    {
        m_user.set("user_cards", Array{});
        auto screen = open();
        hybtest::expectSnapshot(*screen->view(), "user_info_add_card");
    }
    {
        m_user.remove("add_card_tip");
        auto screen = open();
        hybtest::expectSnapshot(*screen->view(), "user_info_empty");
    }
}

} // namespace

namespace {

TEST_F(CardPayUserInfo, PromotionAndInstalmentInTheBody) {
    auto screen = openWithChoosers();
    auto promotion = screen->promotionView();
    auto instalment = screen->instalmentView();
    ASSERT_TRUE(promotion && instalment);
    EXPECT_FALSE(container()->promotion());  // taken out of the state object
    EXPECT_FALSE(container()->instalment());
    EXPECT_EQ(promotion->superview(), screen->mainView());
    EXPECT_EQ(instalment->superview(), screen->mainView());
    EXPECT_EQ(instalment->promotionViewType(), BCPromotionView::Instalment);
    const double info = screen->userInfoView()->frame().size.height;
    EXPECT_DOUBLE_EQ(promotion->frame().origin.y, info);
    EXPECT_DOUBLE_EQ(screen->defaultCardView()->frame().origin.y, promotion->frame().maxY() + 12);
    EXPECT_DOUBLE_EQ(instalment->frame().origin.y, screen->defaultCardView()->frame().maxY() - 1);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, instalment->frame().maxY() - 1);

    // Opening the promotion moves everything below it and grows the body.
    const double cardY = screen->defaultCardView()->frame().origin.y;
    const double nextY = screen->mBtnNext()->frame().origin.y;
    const double body = screen->mainView()->frame().size.height;
    promotion->checkBox()->tapAction();
    m_clock.advance(1.0);
    const double grown = promotion->frame().size.height - BCPromotionView::kHideHeight;
    ASSERT_GT(grown, 0);
    EXPECT_DOUBLE_EQ(screen->defaultCardView()->frame().origin.y, cardY + grown);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, nextY + grown);
    EXPECT_DOUBLE_EQ(screen->mainView()->frame().size.height, body + grown);

    // The first plans request goes out with the promotion's choice; the answer opens the plans.
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(1));
    EXPECT_EQ(m_server.commands("instalment")[0].params, (Dictionary{{"promotion", "d-5"}}));
    ASSERT_TRUE(waitForBoxGone(*screen));
    m_clock.advance(1.0);
    EXPECT_EQ(instalment->promotionLabels(), std::vector<std::string>{"12 期 12 months"});
    EXPECT_GT(instalment->frame().size.height, BCPromotionView::kHideHeight);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, instalment->frame().maxY() - 1);

    // Both choices follow the form in "pay".
    fillForm(*screen);
    screen->nextAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("pay").size() == 1; }));
    const std::string body1 = m_server.commands("pay")[0].body;
    EXPECT_NE(body1.find(R"("bind":"yes","sms":"123456","pin":)"), std::string::npos) << body1;
    EXPECT_NE(body1.find(R"(,"promotion":"d-5","instalment":")"), std::string::npos) << body1;
}

TEST_F(CardPayUserInfo, InstalmentRequestsFollowThePromotionChoice) {
    auto screen = openWithChoosers();
    auto instalment = screen->instalmentView();
    // Unset at first: the first request goes out even with no promotion parameter.
    EXPECT_FALSE(screen->savedPromotion());
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(1));
    EXPECT_TRUE(m_server.commands("instalment")[0].params.empty());
    ASSERT_TRUE(waitForBoxGone(*screen));
    EXPECT_EQ(screen->savedPromotion(), "");

    // Off and on again with the same promotion options: the view opens, nothing is sent.
    instalment->checkBox()->tapAction();
    instalment->checkBox()->tapAction();
    m_clock.advance(1.0);
    turns(5);
    EXPECT_EQ(m_server.commands("instalment").size(), 1u);
    EXPECT_TRUE(instalment->didSelected());
    EXPECT_GT(instalment->frame().size.height, BCPromotionView::kHideHeight);

    // A reply without plans or notice fails (2006): the view stays closed with its old plans, the switch
    // goes back off, and the next switch-on asks again.
    instalment->checkBox()->tapAction();
    m_clock.advance(1.0);
    m_server.setReply("instalment", Dictionary{});
    screen->promotionView()->checkBox()->tapAction();  // the promotion's parameter changes
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(2));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertText(*screen) == text(12003); }));
    EXPECT_FALSE(screen->savedPromotion());
    EXPECT_EQ(instalment->promotionLabels().size(), 1u);  // the plans of the first answer
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_DOUBLE_EQ(instalment->frame().size.height, BCPromotionView::kHideHeight);
    screen->mAlertView()->buttonOKClicked();
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(3));
}

TEST_F(CardPayUserInfo, ChangingThePromotionSwitchesTheInstalmentOff) {
    auto screen = openWithChoosers();
    auto instalment = screen->instalmentView();
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(1));
    ASSERT_TRUE(waitForBoxGone(*screen));
    m_clock.advance(1.0);
    ASSERT_TRUE(instalment->didSelected());

    screen->promotionView()->checkBox()->tapAction();
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    m_clock.advance(0.4);
    turns(3);
    EXPECT_TRUE(toasts(*screen).empty());
    m_clock.advance(0.1);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !toasts(*screen).empty(); }));
    EXPECT_EQ(toasts(*screen), std::vector<std::string>{"The amount changed; instalments were switched off."});
    m_clock.advance(1.0);
    EXPECT_DOUBLE_EQ(instalment->frame().size.height, BCPromotionView::kHideHeight);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, instalment->frame().maxY() - 1);

    // A panel choice that changes the amount does the same at once.
    m_clock.advance(3.0);  // the toast has gone
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(2));
    ASSERT_TRUE(waitForBoxGone(*screen));
    screen->promotionRealPayAmountChange();
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_EQ(toasts(*screen).size(), 1u);
}

TEST_F(CardPayUserInfo, NoPlansAndNoNetwork) {
    auto screen = openWithChoosers();
    auto instalment = screen->instalmentView();
    m_server.setReply("instalment", Dictionary{{"instalment_empty_info", "No instalments for this card."}});
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !toasts(*screen).empty(); }));
    EXPECT_EQ(toasts(*screen), std::vector<std::string>{"No instalments for this card."});
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_DOUBLE_EQ(instalment->frame().size.height, BCPromotionView::kHideHeight);
    m_clock.advance(3.0);

    platform::Reachability::setOverrideFlags(platform::ReachabilityFlags{});
    screen->promotionView()->checkBox()->tapAction();  // another parameter: a request would go out
    instalment->checkBox()->tapAction();
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_EQ(toasts(*screen), std::vector<std::string>{"网络连接异常，请连接网络重试！"});
    turns(5);
    EXPECT_EQ(m_server.commands("instalment").size(), 1u);
    EXPECT_FALSE(screen->mAlertView());
}

TEST_F(CardPayUserInfo, CardChangeKeepsTheChoosers) {
    m_user.set("user_cards", kTwoCards);
    auto screen = openWithChoosers();
    const auto oldPromotion = screen->promotionView();
    chooseCard(*screen, 1);
    ASSERT_TRUE(screen->promotionView() && screen->instalmentView());
    EXPECT_NE(screen->promotionView(), oldPromotion);
    EXPECT_FALSE(oldPromotion->superview());
    EXPECT_EQ(screen->promotionView()->superview(), screen->mainView());
    EXPECT_DOUBLE_EQ(screen->defaultCardView()->frame().origin.y, screen->promotionView()->frame().maxY() + 12);
    EXPECT_DOUBLE_EQ(screen->instalmentView()->frame().origin.y, screen->defaultCardView()->frame().maxY() - 1);
    EXPECT_DOUBLE_EQ(screen->paymentElementsView()->frame().origin.y, screen->instalmentView()->frame().maxY() - 2);
    EXPECT_EQ(screen->defaultCardView()->textLabel()->text(), "Bank of Example **** 5678");
}

TEST_F(CardPayUserInfo, PictureWithChoosers) {
    auto screen = openWithChoosers();
    screen->promotionView()->checkBox()->tapAction();
    screen->instalmentView()->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentRequests(1));
    ASSERT_TRUE(waitForBoxGone(*screen));
    m_clock.advance(1.0);
    // The whole body (it runs past the window's bottom), on the screen's background.
    screen->mainView()->setBackgroundColor(screen->view()->backgroundColor());
    hybtest::expectSnapshot(*screen->mainView(), "user_info_choosers");
}

} // namespace
