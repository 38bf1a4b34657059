// The paying screen with promotion and instalment views: where they sit, what "pay" carries, when the
// plans are asked for, and how the instalment is undone.
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/promotion/BCPromotionPannelViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "platform/device/Reachability.h"

#include "CardPayFixture.h"

using namespace cardpay;
using platform::Array;
using platform::Dictionary;

namespace {

class RootDouble : public BCBaseViewController {};

const Dictionary kDiscount{{"label", "立减5元"}, {"value", "d-5"}, {"rel_label", "实付 "}, {"rel_value", "123.00"}};

Dictionary promotionElement() {
    return Dictionary{{"label", "优惠"}, {"name", "promotion"}, {"checked", "0"}, {"default_item_idx", "0"},
                      {"items", Array{Dictionary{{"type", "discount"}, {"label", "立减"}, {"options", Array{kDiscount}}}}}};
}

Dictionary instalmentElement() {
    return Dictionary{{"label", "分期"}, {"name", "instalment"}, {"checked", "1"},
                      {"options", Array{Dictionary{{"label", "3 期"}, {"value", "3"}}, Dictionary{{"label", "6 期"}, {"value", "6"}}}}};
}

class PayingPromotion : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable);
        BCPayingViewController::registerScreen();
        container()->apply({{"mPayElementArray", Array{Dictionary{{"type", "cvn2"}, {"name", "cvn2"}}}},
                            {"promotion", promotionElement()},
                            {"instalment", instalmentElement()},
                            {"promotionChangeInfo", "金额已变化，分期已关闭"}});
        container()->setMCardId(std::string("card-7001"));
    }
    void TearDown() override {
        platform::Reachability::setOverrideFlags(std::nullopt);
        BCScreenRegistry::shared().unregisterClass("BCPayingViewController");
        CardPayRoadFixture::TearDown();
    }

    std::shared_ptr<BCPayingViewController> open() {
        present(std::make_shared<RootDouble>(), true);
        auto screen = std::static_pointer_cast<BCPayingViewController>(makeScreen(kPayingScreenClass));
        m_nav->pushViewController(screen, false);
        screen->view();
        return screen;
    }

    static std::vector<std::string> toasts(BCPayingViewController& screen) {
        std::vector<std::string> messages;
        for (const auto& view : screen.view()->subviews())
            if (auto toast = std::dynamic_pointer_cast<BCToast>(view))
                messages.push_back(toast->message());
        return messages;
    }

    bool waitForInstalmentReply(BCPayingViewController& screen) {
        return hybtest::runMainUntil([&] { return !screen.mAlertView(); });
    }
};

} // namespace

TEST_F(PayingPromotion, ViewsSitBetweenTheHeaderAndTheFormAndFeedThePayment) {
    auto screen = open();
    EXPECT_FALSE(container()->promotion());
    EXPECT_FALSE(container()->instalment());
    const auto promotion = screen->promotionView();
    const auto instalment = screen->instalmentView();
    ASSERT_TRUE(promotion && instalment);
    EXPECT_EQ(promotion->superview(), screen->mScrollView());
    EXPECT_EQ(instalment->frame().origin.y, promotion->frame().maxY() + 12);
    EXPECT_EQ(screen->paymentElementsView()->frame().origin.y, instalment->frame().maxY());
    EXPECT_EQ(instalment->frame().size.height, 45);
    EXPECT_GT(screen->mBtnNext()->frame().origin.y, screen->paymentElementsView()->frame().maxY());
    EXPECT_EQ(screen->paymentParams(),
              R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001","promotion":"d-5")");

    // Unfolding the order header moves the whole stack.
    const double before = promotion->frame().origin.y;
    const double formBefore = screen->paymentElementsView()->frame().origin.y;
    screen->pullListAnimationDidStart(30);
    EXPECT_EQ(promotion->frame().origin.y, before + 30);
    EXPECT_EQ(screen->paymentElementsView()->frame().origin.y, formBefore + 30);
}

TEST_F(PayingPromotion, TwoSwitchOnsWithTheSamePromotionAskForPlansOnce) {
    auto screen = open();
    const auto instalment = screen->instalmentView();
    instalment->checkBox()->tapAction();  // on
    ASSERT_TRUE(screen->mAlertView());   // the loading box
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    auto sent = m_server.commands("instalment");
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].params, (Dictionary{{"promotion", "d-5"}}));
    // The sample's plans arrive and the view opens on them.
    EXPECT_EQ(instalment->promotionLabels(), std::vector<std::string>{"12 期 12 months"});
    EXPECT_GT(instalment->frame().size.height, 45);
    const double formTop = screen->paymentElementsView()->frame().origin.y;
    EXPECT_EQ(formTop, instalment->frame().maxY());

    instalment->checkBox()->tapAction();  // off: closes, nothing sent
    EXPECT_EQ(instalment->frame().size.height, 45);
    EXPECT_EQ(screen->paymentElementsView()->frame().origin.y, instalment->frame().maxY());
    instalment->checkBox()->tapAction();  // on again with the same promotion: opens at once
    EXPECT_GT(instalment->frame().size.height, 45);
    EXPECT_FALSE(screen->mAlertView());
    // What is shown is what is sent: the new plan, its amount per period.
    EXPECT_EQ(instalment->promotionRow()->textLabel()->text(), "12 期 12 months");
    EXPECT_EQ(instalment->promotionAmountLabel()->text(), "每期 Each 10.67");
    EXPECT_EQ(screen->paymentParams(),
              R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001","promotion":"d-5","instalment":"12")");

    // Another promotion choice: the next switch-on asks again (the server seeing only two requests in all
    // shows that the second switch-on sent none).
    instalment->checkBox()->tapAction();
    screen->promotionView()->panelViewWithCoupon(Dictionary{{"label", "券"}, {"value", "c-1"}, {"rel_value", "123.00"}});
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    sent = m_server.commands("instalment");
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].params, (Dictionary{{"promotion", "c-1"}}));
}

TEST_F(PayingPromotion, ChangedAmountWithTheInstalmentOnUnticksIt) {
    auto screen = open();
    const auto instalment = screen->instalmentView();
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    ASSERT_TRUE(instalment->didSelected());

    screen->promotionView()->panelViewWithCoupon(Dictionary{{"label", "立减10元"}, {"value", "d-10"}, {"rel_value", "118.00"}});
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_EQ(instalment->frame().size.height, 45);
    EXPECT_EQ(toasts(*screen), std::vector<std::string>{"金额已变化，分期已关闭"});
    EXPECT_EQ(screen->paymentParams(),
              R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001","promotion":"d-10")");

    // With the instalment off a changed amount says nothing.
    screen->promotionView()->panelViewWithCoupon(Dictionary{{"label", "立减20元"}, {"value", "d-20"}, {"rel_value", "108.00"}});
    EXPECT_EQ(toasts(*screen).size(), 1u);

    // Without the server's text the instalment still goes off, with no empty toast.
    container()->apply({{"promotionChangeInfo", platform::Value()}});
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    ASSERT_TRUE(instalment->didSelected());
    screen->promotionView()->panelViewWithCoupon(Dictionary{{"label", "立减30元"}, {"value", "d-30"}, {"rel_value", "98.00"}});
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_EQ(toasts(*screen).size(), 1u);
}

TEST_F(PayingPromotion, WithoutNetworkTheSwitchIsUndone) {
    auto screen = open();
    platform::Reachability::setOverrideFlags(platform::ReachabilityFlags{});
    const auto instalment = screen->instalmentView();
    instalment->checkBox()->tapAction();
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_EQ(instalment->frame().size.height, 45);
    EXPECT_EQ(toasts(*screen), std::vector<std::string>{"网络连接异常，请连接网络重试！"});
    EXPECT_FALSE(screen->mAlertView());

    // Back on line, the first request is the one that goes out.
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable);
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    EXPECT_EQ(m_server.commands("instalment").size(), 1u);
}

TEST_F(PayingPromotion, NoPlansForThisPromotion) {
    m_server.setReply("instalment", Dictionary{{"instalment_empty_info", "此优惠不支持分期"}});
    auto screen = open();
    const auto instalment = screen->instalmentView();
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    EXPECT_EQ(toasts(*screen), std::vector<std::string>{"此优惠不支持分期"});
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_EQ(instalment->frame().size.height, 45);
    EXPECT_EQ(screen->paymentParams(), R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001","promotion":"d-5")");
}

TEST_F(PayingPromotion, WithoutElementsNothingChanges) {
    container()->setPromotion(std::nullopt);
    container()->setInstalment(std::nullopt);
    auto screen = open();
    EXPECT_FALSE(screen->promotionView());
    EXPECT_FALSE(screen->instalmentView());
    EXPECT_EQ(screen->paymentParams(), R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001")");
}

TEST_F(PayingPromotion, FrameMakesReplacesAndDropsTheViews) {
    auto screen = open();
    const auto first = screen->promotionView();
    const double width = screen->mScrollView()->frame().size.width;
    EXPECT_EQ(first->frame(), platform::Rect(0, first->frame().origin.y, width, first->totalHeight()));
    EXPECT_EQ(screen->instalmentView()->promotionViewType(), BCPromotionView::Instalment);
    EXPECT_EQ(screen->instalmentView()->checkBox()->superview()->subviews().back()->frame().origin.x, 12);  // the top line
    EXPECT_EQ(first->checkBox()->superview()->subviews().back()->frame().origin.x, 0);

    // A second call replaces the view; without an element there is none.
    EXPECT_EQ(screen->makePromotionViewAtY(500), first->totalHeight());
    EXPECT_FALSE(first->superview());
    EXPECT_EQ(screen->promotionView()->frame().origin.y, 500);
    screen->setInstalment(std::nullopt);
    EXPECT_EQ(screen->makeInstalmentViewAtY(600), 0);
    EXPECT_FALSE(screen->instalmentView());

    // Tapping the chooser ends editing first.
    auto field = std::static_pointer_cast<BCBaseCell>(screen->paymentElementsView()->elementArray()[0])->textField();
    ASSERT_TRUE(field->becomeFirstResponder());
    screen->promotionView()->showPromotionListView();
    EXPECT_FALSE(field->isFirstResponder());
    EXPECT_FALSE(screen->mFocusTextField());
}

TEST_F(PayingPromotion, AFailedPlanRequestLeavesTheInstalmentOffAndAsksAgainNextTime) {
    m_server.setFault("instalment", testsupport::CardPayTestServer::Fault::HTTP500);
    auto screen = open();
    const auto instalment = screen->instalmentView();
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("instalment").size() == 1 && screen->mAlertView() &&
                                                   screen->mAlertView()->messageLabel() &&
                                                   screen->mAlertView()->messageLabel()->text() != BCLocale::instance()->getStringById(13002); }));
    // No plan the user has not seen goes into the payment: the switch is off again and the view closed.
    EXPECT_FALSE(instalment->didSelected());
    EXPECT_FALSE(instalment->checkBox()->selected());
    EXPECT_EQ(instalment->frame().size.height, 45);
    EXPECT_EQ(screen->paymentParams(), R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001","promotion":"d-5")");

    // The same promotion is asked for again: the failed request brought no plans.
    screen->dismissAlertView();
    m_server.setFault("instalment", testsupport::CardPayTestServer::Fault::None);
    instalment->checkBox()->tapAction();
    ASSERT_TRUE(waitForInstalmentReply(*screen));
    EXPECT_EQ(m_server.commands("instalment").size(), 2u);
    EXPECT_TRUE(instalment->didSelected());
    EXPECT_GT(instalment->frame().size.height, 45);
}

TEST_F(PayingPromotion, ThePanelOpensOverTheWholeWindowAndItsChoiceJoinsThePayment) {
    Dictionary element = promotionElement();
    element.set("items", Array{Dictionary{{"type", "discount"}, {"label", "立减"},
                                          {"options", Array{kDiscount, Dictionary{{"label", "立减8元"}, {"value", "d-8"}, {"rel_value", "120.00"}}}}}});
    container()->setPromotion(element);
    auto screen = open();
    const auto promotion = screen->promotionView();
    ASSERT_TRUE(promotion->promotionRow()->isUserInteractionEnabled());
    promotion->promotionRow()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    const auto panel = promotion->myPannel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->view()->superview(), screen->view());
    m_clock.advance(0.6);
    turns(3);
    // The sheet sits on the window's bottom edge, whole.
    const platform::Rect window = m_window->bounds();
    const platform::Rect sheet = panel->pannelView()->convertRectTo(panel->pannelView()->bounds(), m_window.get());
    EXPECT_DOUBLE_EQ(sheet.maxY(), window.maxY());
    EXPECT_DOUBLE_EQ(sheet.height(), 420);

    panel->myContentView()->list("discount")->tableView()->tapRow(0, 1);
    m_clock.advance(0.6);
    turns(3);
    EXPECT_FALSE(panel->view()->superview());
    EXPECT_EQ(promotion->promotionRow()->textLabel()->text(), "立减8元");
    EXPECT_EQ(screen->paymentParams(), R"("pay_type":"1","pay_mode":"1","first_pay_flag":"1","card":"card-7001","promotion":"d-8")");
}
