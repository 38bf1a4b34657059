// The promotion panel: opening and closing, its tabs, the points query with its re-queries, the coupon
// check and the hand-over of the chosen option, against the loopback payment server.
#include "PromotionPanelFixture.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/promotion/BCPromotionNotifications.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Device.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TouchDriver.h"

#include <gtest/gtest.h>

using namespace cardpay;
using namespace cardpaytest;

namespace {

constexpr double kScreenHeight = 667;

class PromotionPanel : public PromotionPanelFixture {
protected:
    void SetUp() override {
        PromotionPanelFixture::SetUp();
        m_server.setReply("querypoints", Dictionary{{"status", "01"}, {"uuid", "first"}});
        m_server.setReply("checkcoupon", Dictionary{{"options", Array{option("立减券 10元", "C10", "¥ 90.00")}}});
    }

    std::shared_ptr<BCPromotionPannelViewController> threeTabs(const std::string& defaultIndex = "0", bool pointLogin = false) {
        return openPanel(promotionElement(Array{discountItem(), couponItem(), pointItem(pointLogin)}, defaultIndex));
    }

    static std::string messageOf(const BCPromotionPannelViewController& panel) {
        const auto& label = panel.myContentView()->scoreMessageLabel();
        return label && label->superview() ? label->text() : "";
    }

    static void tapTab(BCPromotionPannelViewController& panel, std::size_t index) {
        panel.myTabBar()->tabButtonArray().at(index)->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    }

    // Waits for the points replies counted so far to reach `count`.
    bool waitForPointsReplies(const BCPromotionPannelViewController& panel, int count) {
        return hybtest::runMainUntil([&] { return panel.scoreRequestCount() >= count; });
    }

    static std::optional<std::string> alertMessage(const BCPromotionPannelViewController& panel) {
        const auto& box = panel.mAlertView();
        if (!box || !box->messageLabel())
            return std::nullopt;
        return box->messageLabel()->text();
    }
};

} // namespace

TEST_F(PromotionPanel, OpensAsASheetOverTheMaskAndClosesOutOfItsSuperview) {
    auto panel = threeTabs();
    const platform::Rect sheet = panel->pannelView()->frame();
    EXPECT_EQ(sheet, platform::Rect(0, kScreenHeight - 420, 375, 420));
    EXPECT_DOUBLE_EQ(panel->maskView()->alpha(), 0.5);
    EXPECT_DOUBLE_EQ(panel->closeButton()->frame().minY(), sheet.minY() - 16);
    EXPECT_DOUBLE_EQ(panel->closeButton()->frame().minX(), 375 - 38);
    EXPECT_EQ(panel->myContentView()->frame(), platform::Rect(0, 44, 375, 420 - 44));
    EXPECT_EQ(panel->view()->superview(), m_root->view());

    panel->closeButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(panel->view()->superview(), m_root->view()) << "the sheet slides away first";
    settle();
    EXPECT_FALSE(panel->view()->superview());
    EXPECT_DOUBLE_EQ(panel->pannelView()->frame().minY(), kScreenHeight);
    EXPECT_DOUBLE_EQ(panel->maskView()->alpha(), 0);
    EXPECT_TRUE(m_controller->chosen.empty());

    // Shown again on the next tap of the chooser row; a tap on the mask closes it too.
    m_root->view()->addSubview(panel->view());
    panel->showPannel();
    settle();
    EXPECT_DOUBLE_EQ(panel->pannelView()->frame().minY(), kScreenHeight - 420);
    platform::TouchDriver::tapAt(m_window, {180, 100});
    settle();
    EXPECT_FALSE(panel->view()->superview());
    EXPECT_TRUE(m_controller->chosen.empty());
}

TEST_F(PromotionPanel, OnATabletTheSheetIsTaller) {
    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    auto panel = threeTabs();
    EXPECT_DOUBLE_EQ(panel->pannelHeight(), 600);
    EXPECT_EQ(panel->pannelView()->frame(), platform::Rect(0, kScreenHeight - 600, 375, 600));
    EXPECT_EQ(panel->myContentView()->frame().height(), 600 - 44);
    platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Phone);
}

TEST_F(PromotionPanel, ASheetOpenedAgainWhileClosingStays) {
    auto panel = threeTabs();
    panel->closeAction();
    m_clock.advance(0.2);
    panel->showPannel();
    settle();
    EXPECT_EQ(panel->view()->superview(), m_root->view());
    EXPECT_DOUBLE_EQ(panel->pannelView()->frame().minY(), kScreenHeight - 420);
}

TEST_F(PromotionPanel, TabsStartAtTwentyThirtyPointsApartAndThePastTheEndIndexChangesNothing) {
    auto panel = threeTabs();
    const auto& tabs = panel->myTabBar()->tabButtonArray();
    ASSERT_EQ(tabs.size(), 3u);
    EXPECT_DOUBLE_EQ(tabs[0]->frame().minX(), 20);
    for (std::size_t i = 1; i < tabs.size(); ++i)
        EXPECT_DOUBLE_EQ(tabs[i]->frame().minX(), tabs[i - 1]->frame().maxX() + 30);
    EXPECT_EQ(tabs[1]->currentTitle(), "立减券");

    auto bar = panel->myTabBar();
    const platform::Rect cursor = bar->cursorline()->frame();
    bar->selectButtonAtIndex(3);
    bar->selectButtonAtIndex(static_cast<unsigned long>(-1));
    EXPECT_EQ(bar->selectIndex(), 0u);
    EXPECT_EQ(bar->cursorline()->frame(), cursor);
    EXPECT_EQ(tabs[0]->titleColorForState(platform::kControlStateNormal), BCPromotionTabBarViewController::selectedColor());
    EXPECT_EQ(tabs[1]->titleColorForState(platform::kControlStateNormal), platform::Color::black());
}

TEST_F(PromotionPanel, TheDefaultTabIsUnderlinedAndPointsAreQueriedOnlyOnTheFirstOpeningOfThePointsTab) {
    auto panel = threeTabs("1");
    auto bar = panel->myTabBar();
    const auto& tabs = bar->tabButtonArray();
    EXPECT_EQ(bar->selectIndex(), 1u);
    EXPECT_EQ(tabs[1]->titleColorForState(platform::kControlStateNormal), BCPromotionTabBarViewController::selectedColor());
    EXPECT_EQ(tabs[0]->titleColorForState(platform::kControlStateNormal), platform::Color::black());
    const platform::Rect under = tabs[1]->frame();
    EXPECT_EQ(bar->cursorline()->frame(), platform::Rect(under.minX() - 3, under.maxY() - 2, under.width() + 6, 2));
    EXPECT_DOUBLE_EQ(panel->myContentView()->contentOffset().x, 375);
    // The coupon item keeps no list: no row of the discounts is chosen.
    EXPECT_EQ(panel->myContentView()->list("discount")->selectedIndex(), -1);

    turns(5);
    EXPECT_EQ(m_server.commands().size(), 0u);
    tapTab(*panel, 2);
    EXPECT_DOUBLE_EQ(panel->myContentView()->contentOffset().x, 750);
    EXPECT_EQ(messageOf(*panel), BCPromotionPannelViewController::kQueryingMessage);
    ASSERT_TRUE(waitForPointsReplies(*panel, 1));
    ASSERT_EQ(sent("querypoints"), 1u);
    EXPECT_TRUE(m_server.commands("querypoints")[0].params.empty()) << "no token yet";

    tapTab(*panel, 0);
    EXPECT_DOUBLE_EQ(panel->myContentView()->contentOffset().x, 0);
    tapTab(*panel, 2);
    turns(5);
    EXPECT_EQ(sent("querypoints"), 1u);
}

TEST_F(PromotionPanel, APointsItemWithAButtonIsNeverQueried) {
    auto panel = threeTabs("2", true);
    tapTab(*panel, 0);
    tapTab(*panel, 2);
    turns(5);
    EXPECT_EQ(sent("querypoints"), 0u);
    EXPECT_TRUE(std::dynamic_pointer_cast<BCPromotionLoginView>(panel->myContentView()->page(2)));
}

TEST_F(PromotionPanel, TheDefaultListGetsItsFirstRowOnlyOnTheFirstOpening) {
    auto panel = threeTabs("0");
    auto list = panel->myContentView()->list("discount");
    EXPECT_EQ(list->selectedIndex(), 0);
    list->setSelectedIndex(2);
    panel->closeAction();
    settle();
    m_root->view()->addSubview(panel->view());
    panel->showPannel();
    tapTab(*panel, 0);
    EXPECT_EQ(list->selectedIndex(), 2);
}

TEST_F(PromotionPanel, ADefaultIndexOutsideTheItemsSelectsNoTabAndNoRow) {
    for (const std::string index : {"-1", "3", "99999999999999999999"}) {
        auto panel = threeTabs(index);
        EXPECT_FALSE(panel->myTabBar()->cursorline()) << index;
        EXPECT_EQ(panel->myContentView()->list("discount")->selectedIndex(), -1) << index;
        EXPECT_DOUBLE_EQ(panel->myContentView()->contentOffset().x, 0) << index;
        // A tab chosen later still works, and no default row appears then.
        tapTab(*panel, 0);
        EXPECT_EQ(panel->myTabBar()->selectIndex(), 0u) << index;
        EXPECT_EQ(panel->myContentView()->list("discount")->selectedIndex(), -1) << index;
        panel->view()->removeFromSuperview();
    }
    // Text that is no number counts as 0: the first tab.
    auto panel = threeTabs("x");
    EXPECT_TRUE(panel->myTabBar()->cursorline());
    EXPECT_EQ(panel->myContentView()->list("discount")->selectedIndex(), 0);
}

TEST_F(PromotionPanel, ATabIndexOutsideTheItemsIsIgnored) {
    auto panel = threeTabs("1");
    panel->promotionTabBarSelect(3);
    panel->promotionTabBarSelect(static_cast<unsigned long>(-1));
    EXPECT_DOUBLE_EQ(panel->myContentView()->contentOffset().x, 375);
    turns(3);
    EXPECT_EQ(m_server.commands().size(), 0u);
}

TEST_F(PromotionPanel, FiveRunningRepliesThenASixthOfAnyKindGiveUpWithTheMessage) {
    Array replies;
    for (int i = 1; i <= 5; ++i)
        replies.push_back(Dictionary{{"status", "01"}, {"uuid", "tok\"" + std::to_string(i) + "\\"}});
    replies.push_back(Dictionary{{"options", Array{option("使用500积分", "P500")}}});
    m_server.setReply("querypoints", replies);
    // The clock stands still until the first reply: each re-query is due ten seconds after a reply.
    auto panel = openPanel(promotionElement(Array{discountItem(), couponItem(), pointItem()}, "2"), false);
    ASSERT_TRUE(waitForPointsReplies(*panel, 1));
    for (int reply = 2; reply <= 6; ++reply) {
        EXPECT_EQ(messageOf(*panel), BCPromotionPannelViewController::kQueryingMessage);
        m_clock.advance(9.9);
        turns(3);
        EXPECT_EQ(sent("querypoints"), static_cast<std::size_t>(reply - 1)) << "not before ten seconds";
        m_clock.advance(0.1);
        ASSERT_TRUE(waitForPointsReplies(*panel, reply));
        // Each re-query carries the token of the reply before it, escaped in the parameter text.
        ASSERT_FALSE(m_server.commands("querypoints").empty());
        EXPECT_EQ(m_server.commands("querypoints").back().params["uuid"].stringOr(""), "tok\"" + std::to_string(reply - 1) + "\\");
    }
    EXPECT_EQ(messageOf(*panel), BCPromotionPannelViewController::kNoPointsMessage);
    EXPECT_TRUE(panel->myContentView()->list("point")->myDataSource().empty());
    m_clock.advance(30);
    turns(5);
    EXPECT_EQ(sent("querypoints"), 6u);
}

TEST_F(PromotionPanel, PointsRepliesFillTheListShowTheEmptyTextOrChangeNothing) {
    struct Case {
        const char* what;
        Dictionary reply;
        std::string message;
        std::size_t rows;
    };
    const Case cases[] = {
        {"options", Dictionary{{"status", "00"}, {"options", Array{option("使用500积分", "P500"), option("使用1000积分", "P1000")}}}, "", 2},
        {"empty info", Dictionary{{"empty_info", "暂无可用积分"}, {"options", Array{option("x", "y")}}}, "暂无可用积分", 0},
        {"nothing", Dictionary{{"status", "00"}}, BCPromotionPannelViewController::kQueryingMessage, 0},
        {"status as a number", Dictionary{{"status", 1}}, BCPromotionPannelViewController::kQueryingMessage, 0},
        {"empty info not a text", Dictionary{{"empty_info", 7}}, BCPromotionPannelViewController::kQueryingMessage, 0},
        {"options not an array", Dictionary{{"options", "P500"}}, BCPromotionPannelViewController::kQueryingMessage, 0},
    };
    for (const Case& c : cases) {
        m_server.setReply("querypoints", c.reply);
        auto panel = threeTabs("2");
        ASSERT_TRUE(waitForPointsReplies(*panel, 1)) << c.what;
        EXPECT_EQ(messageOf(*panel), c.message) << c.what;
        EXPECT_EQ(panel->myContentView()->list("point")->myDataSource().size(), c.rows) << c.what;
        EXPECT_EQ(panel->myContentView()->list("point")->tableView()->numberOfRows(0), static_cast<long>(c.rows)) << c.what;
        const std::size_t before = sent("querypoints");
        m_clock.advance(10);
        turns(5);
        EXPECT_EQ(sent("querypoints"), before) << c.what << ": only a running query is asked again";
        panel->view()->removeFromSuperview();
    }
}

TEST_F(PromotionPanel, PointsRepliesWithoutParamsChangeNothingButCount) {
    m_server.setReply("querypoints", Dictionary{{"status", "00"}});
    auto panel = threeTabs("2");
    ASSERT_TRUE(waitForPointsReplies(*panel, 1));
    for (const platform::Value& reply : {platform::Value(Dictionary{}), platform::Value(Dictionary{{"params", "01"}}),
                                         platform::Value(Dictionary{{"params", Array{Dictionary{{"status", "01"}}}}}),
                                         platform::Value("not a reply")}) {
        panel->comunicateToBCMPDidSucceedWithEvent(kBCEventPoints, reply);
        EXPECT_EQ(messageOf(*panel), BCPromotionPannelViewController::kQueryingMessage);
        EXPECT_TRUE(panel->myContentView()->list("point")->myDataSource().empty());
    }
    EXPECT_EQ(panel->scoreRequestCount(), 5);
    m_clock.advance(10);
    turns(5);
    EXPECT_EQ(sent("querypoints"), 1u) << "none of them was a running query";
    // They count towards the five: the next reply gives up.
    panel->comunicateToBCMPDidSucceedWithEvent(kBCEventPoints, Dictionary{{"params", Dictionary{{"options", Array{option("x", "y")}}}}});
    EXPECT_EQ(messageOf(*panel), BCPromotionPannelViewController::kNoPointsMessage);
}

TEST_F(PromotionPanel, ARunningReplyWithoutATextTokenAsksAgainWithoutOne) {
    m_server.setReply("querypoints", Array{Dictionary{{"status", "01"}, {"uuid", 42}}, Dictionary{{"status", "00"}}});
    auto panel = threeTabs("2");
    ASSERT_TRUE(waitForPointsReplies(*panel, 1));
    EXPECT_FALSE(panel->uuid());
    m_clock.advance(10);
    ASSERT_TRUE(waitForPointsReplies(*panel, 2));
    ASSERT_FALSE(m_server.commands("querypoints").empty());
    EXPECT_TRUE(m_server.commands("querypoints").back().params.empty());
}

TEST_F(PromotionPanel, APanelReleasedBeforeItsRequerySendsNothing) {
    auto panel = threeTabs("2");
    ASSERT_TRUE(waitForPointsReplies(*panel, 1));
    EXPECT_EQ(panel->uuid(), "first");
    panel->closeAction();
    settle();
    const std::weak_ptr<BCPromotionPannelViewController> weak = panel;
    panel.reset();
    EXPECT_TRUE(weak.expired());
    m_clock.advance(10);
    turns(5);
    EXPECT_EQ(sent("querypoints"), 1u);
}

TEST_F(PromotionPanel, ChoosingARowHandsTheOptionOverAndClosesTheSheet) {
    auto panel = threeTabs("0");
    auto list = panel->myContentView()->list("discount");
    list->tableView()->tapRow(0, 2);
    ASSERT_EQ(m_controller->chosen.size(), 1u);
    EXPECT_EQ(m_controller->chosen[0]["value"].stringOr(""), "D2");
    EXPECT_EQ(list->selectedIndex(), -1) << "every list is cleared at once";
    settle();
    EXPECT_FALSE(panel->view()->superview());
    EXPECT_EQ(list->selectedIndex(), 2) << "the mark follows half a second later";

    // A row that cannot be chosen hands nothing over.
    m_root->view()->addSubview(panel->view());
    panel->showPannel();
    settle();
    list->tableView()->tapRow(0, 0);
    EXPECT_EQ(m_controller->chosen.size(), 1u);
    EXPECT_EQ(panel->view()->superview(), m_root->view());
}

TEST_F(PromotionPanel, WithoutAControllerAChoiceLeavesTheSheetOpen) {
    auto panel = threeTabs("0");
    m_controller.reset();
    panel->myContentView()->list("discount")->tableView()->tapRow(0, 1);
    settle();
    EXPECT_EQ(panel->view()->superview(), m_root->view());
}

TEST_F(PromotionPanel, AValidCodeIsCheckedWithTheLoadingBoxAndConfirmedByTheReply) {
    Dictionary element = promotionElement(Array{discountItem(), couponItem(), pointItem()}, "1");
    auto panel = openPanel(element);
    auto coupon = panel->myContentView()->couponView();
    coupon->myCouponCell()->setText("ABCD1234");
    coupon->verifyButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_TRUE(panel->mAlertView()) << "the loading box";
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !panel->mAlertView(); }));
    ASSERT_EQ(sent("checkcoupon"), 1u);
    EXPECT_EQ(m_server.commands("checkcoupon")[0].params, (Dictionary{{"coupon", "ABCD1234"}}));
    EXPECT_EQ(coupon->verifyButton()->currentTitle(), BCPromotionCouponView::kChangeTitle);
    EXPECT_TRUE(coupon->useButton()->isEnabled());

    coupon->useButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    ASSERT_EQ(m_controller->chosen.size(), 1u);
    EXPECT_EQ(m_controller->chosen[0]["value"].stringOr(""), "C10");
    settle();
    EXPECT_FALSE(panel->view()->superview());
}

TEST_F(PromotionPanel, TheCouponParameterNameIsEscaped) {
    Dictionary item = couponItem();
    Array rules = item["rules"].arrayOrEmpty();
    Dictionary code = rules[0].dictionaryOrEmpty();
    code.set("name", "cou\"pon\\");
    rules[0] = code;
    item.set("rules", rules);
    auto panel = openPanel(promotionElement(Array{item}));
    panel->myContentView()->couponView()->myCouponCell()->setText("ABCD1234");
    panel->myContentView()->couponView()->verifyAction();
    ASSERT_TRUE(m_server.waitForRequests(1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !panel->mAlertView(); }));
    ASSERT_EQ(sent("checkcoupon"), 1u);
    EXPECT_EQ(m_server.commands("checkcoupon")[0].params["cou\"pon\\"].stringOr(""), "ABCD1234");
    EXPECT_TRUE(m_server.malformed().empty());
}

TEST_F(PromotionPanel, AnInvalidCodeShowsTheCouponErrorAndSendsNothing) {
    auto panel = openPanel(promotionElement(Array{couponItem()}));
    auto coupon = panel->myContentView()->couponView();
    for (const std::string& code : std::vector<std::string>{"ABC1234", std::string(33, 'a'), "ABCD 1234", "ABCD-1234", "", std::string(100000, '7')}) {
        coupon->myCouponCell()->setText(code);
        coupon->verifyAction();
        EXPECT_EQ(alertMessage(*panel), BCLocale::instance()->getStringById(12016)) << code.size();
        panel->dismissAlertView();
    }
    turns(5);
    EXPECT_EQ(m_server.commands().size(), 0u);
}

TEST_F(PromotionPanel, ACouponReplyWithoutOptionsLeavesThePageAsItWas) {
    for (const platform::Value& reply : {platform::Value(Dictionary{}), platform::Value(Dictionary{{"options", Array{}}}),
                                         platform::Value(Dictionary{{"options", "C10"}})}) {
        m_server.setReply("checkcoupon", reply);
        auto panel = openPanel(promotionElement(Array{couponItem()}));
        auto coupon = panel->myContentView()->couponView();
        coupon->myCouponCell()->setText("ABCD1234");
        coupon->verifyAction();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !panel->mAlertView(); }));
        EXPECT_EQ(coupon->verifyButton()->currentTitle(), "验证");
        EXPECT_FALSE(coupon->useButton()->isEnabled());
        EXPECT_FALSE(coupon->myCouponDic());
        panel->view()->removeFromSuperview();
    }
}

TEST_F(PromotionPanel, AFailedCheckDropsTheBoxAndTheWaitingTextAndShowsTheError) {
    m_server.setFault("checkcoupon", testsupport::CardPayTestServer::Fault::HTTP500);
    m_server.setReply("querypoints", Dictionary{{"status", "00"}});
    auto panel = openPanel(promotionElement(Array{couponItem(), pointItem()}, "1"));
    ASSERT_TRUE(waitForPointsReplies(*panel, 1));
    ASSERT_EQ(messageOf(*panel), BCPromotionPannelViewController::kQueryingMessage);
    auto coupon = panel->myContentView()->couponView();
    coupon->myCouponCell()->setText("ABCD1234");
    coupon->verifyAction();
    const std::string loading = BCLocale::instance()->getStringById(13002);
    ASSERT_EQ(alertMessage(*panel), loading);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return alertMessage(*panel) && alertMessage(*panel) != loading; }));
    EXPECT_EQ(alertMessage(*panel), BCLocale::instance()->getStringById(12002));
    EXPECT_EQ(messageOf(*panel), "");
    EXPECT_EQ(panel->view()->superview(), m_root->view()) << "the sheet stays open";
}

TEST_F(PromotionPanel, APanelHearsOnlyItsOwnPages) {
    auto first = threeTabs("0");
    auto otherController = std::make_shared<RecordingController>();
    auto second = BCPromotionPannelViewController::initWithContent(promotionElement(Array{discountItem(), couponItem()}));
    second->setMyController(otherController);
    m_root->view()->addSubview(second->view());
    second->showPannel();
    settle();

    second->myContentView()->list("discount")->tableView()->tapRow(0, 1);
    EXPECT_EQ(otherController->chosen.size(), 1u);
    EXPECT_TRUE(m_controller->chosen.empty());

    second->myContentView()->couponView()->myCouponCell()->setText("ABCD1234");
    second->myContentView()->couponView()->verifyAction();
    EXPECT_FALSE(first->mAlertView());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return sent("checkcoupon") == 1; }));

    // Posts that come from no page of a panel are not its business either.
    platform::NotificationCenter::defaultCenter().post(kNotificationCouponErr, nullptr);
    EXPECT_FALSE(first->mAlertView());
    turns(5);
    EXPECT_EQ(sent("checkcoupon"), 1u);
}

TEST_F(PromotionPanel, BadElementsMakeAPanelWithoutCrashing) {
    const Dictionary elements[] = {
        Dictionary{{"items", "discount"}},
        Dictionary{{"items", Array{7, "x", Dictionary{{"type", 3}}, Dictionary{{"type", "point"}, {"action", 9}}}}, {"default_item_idx", "3"}},
        Dictionary{{"items", Array{Dictionary{{"type", "discount"}, {"options", "none"}}, Dictionary{{"type", "coupon"}, {"rules", 5}}}}},
    };
    for (const Dictionary& element : elements) {
        auto panel = openPanel(element);
        for (std::size_t i = 0; i < panel->myTabBar()->tabButtonArray().size(); ++i)
            tapTab(*panel, i);
        turns(3);
        EXPECT_EQ(m_server.commands().size(), 0u);
        panel->view()->removeFromSuperview();
    }
}
