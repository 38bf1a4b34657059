// The card-entry screen: the number check, the two commands and the move on by the rules answer.
#include "cardpay/cells/BCInputCells.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/screens/BCInputCardViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/Window.h"
#include "support/CardPayTestServer.h"
#include "support/RunLoopWait.h"
#include "support/Snapshot.h"
#include "support/TempHome.h"

#include "CardPayFixture.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Rect;

namespace {

class PayingDouble : public BCBaseViewController {};
class EntrustDouble : public BCBaseViewController {};

class CardPayEntry : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        BCScreenRegistry::shared().registerClass<PayingDouble>("BCPayingViewController");
        BCScreenRegistry::shared().registerClass<EntrustDouble>("BCEntrustViewController");
        auto scenario = testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath());
        ASSERT_TRUE(scenario.ok());
        const platform::Dictionary& init = *(*scenario)["replies"]["init"].getDictionary();
        container()->apply({{"mInputInfoItem", init["input_info"]}, {"orderViewAction", init["init_button"]},
                            {"mOrderInfoArray", init["order_info"]}, {"orderViewTitle", init["title"]}});
    }
    void TearDown() override {
        BCScreenRegistry::shared().unregisterClass("BCPayingViewController");
        BCScreenRegistry::shared().unregisterClass("BCEntrustViewController");
        CardPayRoadFixture::TearDown();
    }

    std::shared_ptr<BCInputCardViewController> open(bool forAccount) {
        auto screen = BCInputCardViewController::initForAccount(forAccount);
        present(screen, true);  // the start screen leaves the bar hidden on the road
        return screen;
    }
    template <class Screen>
    bool waitForTop() {
        return hybtest::runMainUntil([&] { return std::dynamic_pointer_cast<Screen>(m_nav->topViewController()) != nullptr; });
    }

};

} // namespace

TEST_F(CardPayEntry, IllegalNumberIsRefusedAndNothingSent) {
    auto screen = open(false);
    ASSERT_TRUE(screen->cardCell() && screen->cardCell()->bankCell());
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());
    // Next follows the card field, on with the first digit and off again once it is emptied.
    const auto field = screen->cardCell()->bankCell();
    field->keyboard()->digitKey(6)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
    field->keyboard()->deleteKey()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(field->text(), "");
    screen->textFieldShouldEndEditing(*field->textField());
    EXPECT_FALSE(screen->mBtnNext()->isEnabled());

    field->setText("6222 0212");
    screen->nextAction();
    ASSERT_TRUE(screen->mAlertView());
    EXPECT_EQ(screen->mAlertView()->messageLabel()->text(), BCLocale::instance()->getStringById(12014));
    turns(10);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPayEntry, OrderRoadAsksForRulesAndMovesOnToPaying) {
    m_server.setReply("rules", platform::Dictionary{{"rules", platform::Array{platform::Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}}});
    auto screen = open(false);
    screen->cardCell()->bankCell()->setText("6222 0212 3456 7894");
    screen->nextAction();
    EXPECT_TRUE(screen->mAlertView() && screen->mAlertView()->isLoadingStyle());
    ASSERT_TRUE(waitForTop<PayingDouble>());
    const auto rules = m_server.commands("rules");
    ASSERT_EQ(rules.size(), 1u);
    EXPECT_EQ(rules[0].params["pan"], platform::Value("6222021234567894"));
    EXPECT_EQ(rules[0].params["first_pay_flag"], platform::Value("0"));
    EXPECT_EQ(BCDataContainer::instance()->mEntrustedCard(), "6222021234567894");
    EXPECT_FALSE(screen->mAlertView());
}

TEST_F(CardPayEntry, AccountRoadAsksForBindCardRulesAndTheEntrustStep) {
    m_server.setReply("bindcardrules", platform::Dictionary{{"entrust_rules", platform::Array{platform::Dictionary{{"type", "mobile"}, {"name", "mobile"}}}}});
    auto screen = open(true);
    screen->cardCell()->bankCell()->setText("6222021234567894");
    screen->nextAction();
    ASSERT_TRUE(waitForTop<EntrustDouble>());
    EXPECT_TRUE(m_server.commands("rules").empty());
    const auto bind = m_server.commands("bindcardrules");
    ASSERT_EQ(bind.size(), 1u);
    EXPECT_EQ(bind[0].params["pan"], platform::Value("6222021234567894"));
}

TEST_F(CardPayEntry, RotationWidensTheCardCellOnce) {
    auto screen = open(false);
    BCDataContainer::instance()->setToRotationSize({667, 375});
    for (int i = 0; i < 2; ++i)  // the transition and the older callback may both come
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    EXPECT_EQ(screen->cardCell()->frame().size.width, 667);
    EXPECT_EQ(screen->cardCell()->bankCell()->frame().size.width, 667);
}

// Back with the card-number keypad up takes the keypad along with the screen.
TEST_F(CardPayEntry, BackTakesTheKeypadAlong) {
    auto order = std::make_shared<EntrustDouble>();
    present(order, true);
    auto screen = BCInputCardViewController::initForAccount(false);
    m_nav->pushViewController(screen, false);
    ASSERT_TRUE(waitForTop<BCInputCardViewController>());
    const auto field = screen->cardCell()->bankCell();
    ASSERT_TRUE(field->textField()->becomeFirstResponder());
    field->keyboard()->digitKey(6)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_TRUE(platform::KeyboardManager::shared().isVisible());
    screen->navigationBar()->leftButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_FALSE(platform::KeyboardManager::shared().isVisible());
    EXPECT_FALSE(field->textField()->isFirstResponder());
    ASSERT_TRUE(waitForTop<EntrustDouble>());
    EXPECT_FALSE(platform::KeyboardManager::shared().isVisible());
    EXPECT_EQ(screen->mScrollView()->frame(), screen->scrollViewFrame());  // the body at rest again
}

TEST_F(CardPayEntry, Picture) {
    auto screen = open(false);
    hybtest::expectSnapshot(*m_nav->view(), "card_entry");
}
