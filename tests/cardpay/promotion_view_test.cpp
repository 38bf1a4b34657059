// The promotion and instalment views: building from the server's elements, the switch, opening and
// closing, the parameter text, the plan list and the panel's choice.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/promotion/BCPromotionPannelViewController.h"
#include "cardpay/promotion/BCPromotionView.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "cardpay/views/BCTextSize.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"
#include "support/RunLoopWait.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;

namespace {

// A screen that records what its promotion views tell it.
class RecordingScreen : public platform::ViewController, public BCPromotionViewDelegate {
public:
    void promotionAndInstalmentCooperate(BCPromotionView& view) override { switches.push_back(view.didSelected()); }
    void promotionViewWillChangeFrameWithOffset(BCPromotionView&, double offset) override { offsets.push_back(offset); }
    void promotionViewWillChange(BCPromotionView&) override { ++willChange; }
    void promotionViewOpenUrl(const std::string& href, const std::string& title) override { links.push_back(href + "|" + title); }
    void promotionRealPayAmountChange() override { ++amountChanges; }

    std::vector<bool> switches;
    std::vector<double> offsets;
    std::vector<std::string> links;
    int willChange = 0;
    int amountChanges = 0;
};

Dictionary option(const std::string& label, const std::string& value, const std::string& relLabel = "", const std::string& relValue = "") {
    Dictionary o{{"label", label}, {"value", value}};
    if (!relLabel.empty())
        o.set("rel_label", relLabel);
    if (!relValue.empty())
        o.set("rel_value", relValue);
    return o;
}

Dictionary promotionElement(Array options, const char* checked = "0") {
    Dictionary element{{"label", "参加优惠活动"},
                       {"name", "promotion"},
                       {"default_item_idx", "0"},
                       {"items", Array{Dictionary{{"label", "立减"}, {"type", "discount"}, {"options", std::move(options)}},
                                       Dictionary{{"label", "积分"}, {"type", "point"}}}}};
    if (checked)
        element.set("checked", checked);
    return element;
}

Dictionary instalmentElement(Array plans, const char* checked = "0") {
    Dictionary element{{"label", "分期付款"}, {"name", "instalment"}, {"options", std::move(plans)}};
    if (checked)
        element.set("checked", checked);
    return element;
}

Array threePlans() {
    return Array{option("不分期", "0"), option("3期", "3", "每期 ", "¥34.00"), option("6期", "6", "每期 ", "¥17.50")};
}

std::vector<std::string> trackedEvents() {
    std::vector<std::string> names;
    for (const auto& call : YLUniTracker::recordedCalls())
        if (call.operation == "trackEvent")
            names.push_back(call.arguments[0].stringOr(""));
    return names;
}

double amountHeight(const std::string& text) { return sizeWithFontSize(text, 16, 375 - 24).height; }

class PromotionViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_clock.install();
        BCDataContainer::destory();
        YLUniTracker::resetRecord();
        platform::ViewAnimation::clearRecords();
        m_window = platform::Window::create(Rect(0, 0, 375, 667));
        m_window->setRootViewController(m_screen);
        m_window->makeKeyAndVisible();
    }
    void TearDown() override { BCDataContainer::destory(); }

    std::shared_ptr<BCPromotionView> make(const Dictionary& element, unsigned type, double margin = 0) {
        auto view = BCPromotionView::create(Rect(0, 100, 375, 0), element, margin, type);
        view->setDelegate(m_screen);
        m_screen->view()->addSubview(view);
        return view;
    }

    static bool open(const BCPromotionView& view) { return view.frame().size.height > BCPromotionView::kHideHeight; }

    platform::VirtualClock m_clock;
    std::shared_ptr<RecordingScreen> m_screen = std::make_shared<RecordingScreen>();
    std::shared_ptr<platform::Window> m_window;
};

} // namespace

TEST_F(PromotionViewTest, CheckedZeroStartsOpenAnythingElseClosed) {
    auto on = make(promotionElement(Array{option("立减5元", "D5", "优惠后 ", "¥95.00")}, "0"), BCPromotionView::Promotion);
    EXPECT_TRUE(on->didSelected());
    EXPECT_TRUE(on->checkBox()->selected());
    EXPECT_DOUBLE_EQ(on->frame().size.height, on->totalHeight());
    EXPECT_DOUBLE_EQ(on->totalHeight(), 44 + 44 + amountHeight("优惠后 ¥95.00") + 10);
    EXPECT_TRUE(on->promotionRow()->isUserInteractionEnabled());
    EXPECT_TRUE(on->clipsToBounds());
    EXPECT_EQ(on->frame().origin, (platform::Point{0, 100}));

    // "1", absent, and a number 0 (not the text "0") all start closed with the row untouchable.
    Dictionary numeric = promotionElement(Array{option("立减5元", "D5")}, nullptr);
    numeric.set("checked", 0);
    for (const Dictionary& element : {promotionElement(Array{option("立减5元", "D5")}, "1"), promotionElement(Array{option("立减5元", "D5")}, nullptr), numeric}) {
        auto off = make(element, BCPromotionView::Promotion);
        EXPECT_FALSE(off->didSelected());
        EXPECT_DOUBLE_EQ(off->frame().size.height, 45);
        EXPECT_FALSE(off->promotionRow()->isUserInteractionEnabled());
        EXPECT_EQ(off->optionParams(), "");
    }
}

TEST_F(PromotionViewTest, AmountLineOfAPromotionIsNeverMissingThatOfAPlanMayBe) {
    auto promotion = make(promotionElement(Array{option("立减", "D")}), BCPromotionView::Promotion);
    ASSERT_TRUE(promotion->promotionAmountLabel());
    EXPECT_EQ(promotion->promotionAmountLabel()->text(), " ");
    EXPECT_DOUBLE_EQ(promotion->totalHeight(), 44 + 44 + amountHeight(" ") + 10);
    EXPECT_EQ(promotion->bottomLine()->frame(), Rect(0, promotion->totalHeight() - 1, 375, 1));

    auto plan = make(instalmentElement(Array{option("不分期", "0")}), BCPromotionView::Instalment, 12);
    EXPECT_FALSE(plan->promotionAmountLabel());
    EXPECT_FALSE(plan->bottomLine());
    EXPECT_DOUBLE_EQ(plan->totalHeight(), 44 + 44);
    EXPECT_DOUBLE_EQ(plan->frame().size.height, 88);
    EXPECT_EQ(plan->promotionRow()->textLabel()->text(), "不分期");
}

TEST_F(PromotionViewTest, ParameterFollowsAvailabilityAndTheSwitch) {
    // Anything but the text "0" may not be sent, a number 0 and a word included.
    for (const platform::Value& flag : {platform::Value("1"), platform::Value("abc"), platform::Value(0)}) {
        auto unavailable = make(promotionElement(Array{Dictionary{{"label", "满100减10"}, {"value", "M10"}, {"available", flag}}}),
                                BCPromotionView::Promotion);
        EXPECT_TRUE(unavailable->didSelected());
        EXPECT_EQ(unavailable->optionParams(), "");
        EXPECT_FALSE(unavailable->isAvailable());
    }

    for (const char* available : std::initializer_list<const char*>{"0", nullptr}) {
        Dictionary o = option("满100减10", "M10");
        if (available)
            o.set("available", available);
        auto view = make(promotionElement(Array{o}), BCPromotionView::Promotion);
        EXPECT_EQ(view->optionParams(), R"("promotion":"M10")");
        view->checkBox()->tapAction();  // off
        EXPECT_EQ(view->optionParams(), "");
        view->checkBox()->tapAction();  // on again
        EXPECT_EQ(view->optionParams(), R"("promotion":"M10")");
    }

    // Quotes and backslashes in the value (or the name) still give one member that parses.
    Dictionary tricky = promotionElement(Array{option("x", R"(a"b\c\)")});
    tricky.set("name", R"(pro"mo\)");
    auto view = make(tricky, BCPromotionView::Promotion);
    const std::string member = view->optionParams();
    auto parsed = platform::JSON::parse("{" + member + "}");
    ASSERT_TRUE(parsed.ok()) << member;
    EXPECT_EQ((*parsed)[R"(pro"mo\)"].stringOr(""), R"(a"b\c\)");
}

TEST_F(PromotionViewTest, DefaultItemOutsideTheItemsStartsWithNoOption) {
    for (const char* index : {"-1", "2", "99999999999999999999"}) {
        Dictionary element = promotionElement(Array{option("立减5元", "D5")});
        element.set("default_item_idx", index);
        auto view = make(element, BCPromotionView::Promotion);
        EXPECT_EQ(view->promotionRow()->textLabel()->text(), "") << index;
        EXPECT_FALSE(view->selectOption()) << index;
        EXPECT_EQ(view->optionParams(), R"("promotion":"")") << index;
    }
    // Text that is not a number reads as 0: the first item.
    Dictionary element = promotionElement(Array{option("立减5元", "D5")});
    element.set("default_item_idx", "x");
    EXPECT_EQ(make(element, BCPromotionView::Promotion)->optionParams(), R"("promotion":"D5")");
    // The second item (points) has no options.
    element.set("default_item_idx", "1");
    EXPECT_EQ(make(element, BCPromotionView::Promotion)->promotionRow()->textLabel()->text(), "");
}

TEST_F(PromotionViewTest, MalformedElementsBuildAnEmptyChoice) {
    const Dictionary elements[] = {
        Dictionary{{"items", "not an array"}, {"checked", "0"}},
        Dictionary{{"items", Array{"not a dictionary", 5}}, {"checked", "0"}, {"label", 7}},
        Dictionary{{"items", Array{Dictionary{{"options", Dictionary{{"label", "x"}}}}}}, {"checked", "0"}},
        Dictionary{{"items", Array{Dictionary{{"options", Array{7, Dictionary{{"label", 1}, {"value", Array{}}}}}}}}, {"name", 3}, {"checked", "0"}},
    };
    for (const Dictionary& element : elements) {
        auto view = make(element, BCPromotionView::Promotion);
        EXPECT_EQ(view->promotionRow()->textLabel()->text(), "");
        EXPECT_EQ(view->optionParams(), R"("":"")");
        EXPECT_EQ(view->checkBox()->titleLabel()->text(), "");
    }
}

TEST_F(PromotionViewTest, SwitchTracksOnlyWhenTurnedOnAndAlwaysTellsTheScreen) {
    BCDataContainer::instance()->setPayType(101);
    auto view = make(promotionElement(Array{option("立减5元", "D5")}, "1"), BCPromotionView::Promotion);
    auto box = view->checkBox()->imageViewCheckBox();
    EXPECT_EQ(box->image(), BCImageManager::instance()->imageNamed(20016));
    ASSERT_TRUE(platform::TouchDriver::tap(*box));
    EXPECT_TRUE(view->didSelected());
    EXPECT_EQ(box->image(), BCImageManager::instance()->imageNamed(20015));
    EXPECT_TRUE(view->promotionRow()->isUserInteractionEnabled());
    EXPECT_EQ(trackedEvents(), std::vector<std::string>{"bankpay_agree_reduce_activity"});
    // The switch alone does not open the view: that is the screen's call.
    EXPECT_DOUBLE_EQ(view->frame().size.height, 45);

    m_clock.advance(1);  // not a double tap
    platform::TouchDriver::tap(*box);
    EXPECT_FALSE(view->didSelected());
    EXPECT_FALSE(view->promotionRow()->isUserInteractionEnabled());
    EXPECT_EQ(trackedEvents().size(), 1u);
    EXPECT_EQ(m_screen->switches, (std::vector<bool>{true, false}));

    BCDataContainer::instance()->setPayType(100);
    auto plans = make(instalmentElement(threePlans(), "1"), BCPromotionView::Instalment);
    plans->checkBox()->tapAction();
    EXPECT_EQ(trackedEvents().back(), "loginpay_agree_installment");

    // Setting the state by code calls nothing.
    plans->checkBox()->setSelected(false);
    EXPECT_EQ(m_screen->switches.size(), 3u);
}

TEST_F(PromotionViewTest, OpeningAndClosingAnimateTheHeightAndTellTheScreen) {
    auto view = make(promotionElement(Array{option("立减5元", "D5", "优惠后 ", "¥95.00")}, "1"), BCPromotionView::Promotion);
    const double total = view->totalHeight();
    view->animationWithStatus(true);
    EXPECT_DOUBLE_EQ(view->frame().size.height, total);
    ASSERT_FALSE(platform::ViewAnimation::records().empty());
    EXPECT_DOUBLE_EQ(platform::ViewAnimation::records().back().duration, 0.25);
    EXPECT_EQ(m_screen->offsets, std::vector<double>{total - 45});
    EXPECT_DOUBLE_EQ(view->promotionAmountLabel()->alpha(), 1);

    // Opening an open view moves nothing.
    view->animationWithStatus(true);
    EXPECT_EQ(m_screen->offsets.size(), 1u);

    view->animationWithStatus(false);
    EXPECT_DOUBLE_EQ(view->frame().size.height, 45);
    EXPECT_EQ(m_screen->offsets.back(), 45 - total);
    EXPECT_DOUBLE_EQ(view->promotionAmountLabel()->alpha(), 0);
    view->animationWithStatus(false);
    EXPECT_EQ(m_screen->offsets.size(), 2u);
}

TEST_F(PromotionViewTest, LinkOfTheSwitchRowOpensThroughTheScreen) {
    Dictionary element = instalmentElement(threePlans());
    element.set("url", Dictionary{{"href", "https://bank.example/instalment"}, {"label", "分期说明"}});
    auto view = make(element, BCPromotionView::Instalment, 12);
    const auto& link = view->checkBox()->linkButton();
    ASSERT_TRUE(link);
    EXPECT_EQ(link->currentTitle(), "分期说明");
    link->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(m_screen->links, std::vector<std::string>{"https://bank.example/instalment|分期说明"});

    // No link dictionary, no button; a link block without a screen does nothing.
    auto plain = BCPromotionView::create(Rect(0, 0, 375, 0), instalmentElement(threePlans()), 12, BCPromotionView::Instalment);
    EXPECT_FALSE(plain->checkBox()->linkButton());
    plain->checkBox()->installmentDesAction();
}

TEST_F(PromotionViewTest, PlanListChoosesAPlan) {
    BCDataContainer::instance()->setPayType(101);
    auto view = make(instalmentElement(threePlans()), BCPromotionView::Instalment, 12);
    EXPECT_EQ(view->optionParams(), R"("instalment":"0")");
    ASSERT_TRUE(platform::TouchDriver::tap(*view->promotionRow()));
    EXPECT_EQ(m_screen->willChange, 1);
    std::shared_ptr<BCListView> list;
    for (const auto& sub : m_screen->view()->subviews())
        if (auto l = std::dynamic_pointer_cast<BCListView>(sub))
            list = l;
    ASSERT_TRUE(list);
    EXPECT_EQ(list->frame(), m_screen->view()->bounds());
    EXPECT_EQ(list->list(), (std::vector<std::string>{"不分期", "3期", "6期"}));
    EXPECT_EQ(list->selectedIndex(), 0);
    EXPECT_NE(list->headerLabel()->text().find("分期付款"), std::string::npos);

    list->selectRow(2);
    EXPECT_EQ(view->selectIndex(), 2);
    EXPECT_EQ(view->promotionRow()->textLabel()->text(), "6期");
    EXPECT_EQ(view->optionParams(), R"("instalment":"6")");
    const auto& call = YLUniTracker::recordedCalls().back();
    EXPECT_EQ(call.arguments[0].stringOr(""), "bankpay_select_installment");
    EXPECT_EQ(call.arguments[2], platform::Value(Dictionary{{"pos", "2"}}));
    // The amount line follows the plan chosen: the view, made without one (the first plan has no
    // amount), gets it under the chooser row and grows by it, telling the screen.
    ASSERT_TRUE(view->promotionAmountLabel());
    EXPECT_EQ(view->promotionAmountLabel()->text(), "每期 ¥17.50");
    EXPECT_DOUBLE_EQ(view->amountLabelBg()->frame().origin.y, 88);
    const double lineHeight = view->promotionAmountLabel()->frame().size.height;
    EXPECT_GT(lineHeight, 0);
    EXPECT_DOUBLE_EQ(view->frame().size.height, 88 + lineHeight + 10);
    EXPECT_EQ(m_screen->offsets.back(), lineHeight + 10);
    EXPECT_DOUBLE_EQ(view->bottomLine()->frame().origin.y, view->amountLabelBg()->frame().maxY() - 1);
    // Back to the plan without an amount: the line empties and shrinks to its margins.
    view->listViewDidSelectedAtIndex(*list, 0);
    EXPECT_EQ(view->promotionAmountLabel()->text(), "");
    EXPECT_DOUBLE_EQ(view->frame().size.height, 88 + 10);
    // An index outside the plans (the footer's) is ignored.
    view->listViewDidSelectedAtIndex(*list, 3);
    view->listViewDidSelectedAtIndex(*list, -1);
    EXPECT_EQ(view->selectIndex(), 0);
}

TEST_F(PromotionViewTest, NewPlansReplaceWhatIsShownAndSent) {
    auto view = make(instalmentElement(threePlans()), BCPromotionView::Instalment, 12);
    const auto list = std::make_shared<BCListView>(Rect(), std::vector<std::string>{});
    view->listViewDidSelectedAtIndex(*list, 1);
    EXPECT_EQ(view->promotionAmountLabel()->text(), "每期 ¥34.00");
    view->refreshInstalmentList(instalmentElement(Array{option("12期", "12", "每期 ", "¥10.67"), Dictionary{{"label", "24期"}, {"value", "24"}, {"available", "1"}}}));
    EXPECT_EQ(view->promotionLabels(), (std::vector<std::string>{"12期", "24期"}));
    EXPECT_EQ(view->selectIndex(), 0);
    // The row, the amount line and the value sent are the first new plan's.
    EXPECT_EQ(view->promotionRow()->textLabel()->text(), "12期");
    EXPECT_EQ(view->promotionAmountLabel()->text(), "每期 ¥10.67");
    EXPECT_EQ(view->optionParams(), R"("instalment":"12")");
    EXPECT_EQ(view->plans().size(), 2u);
    // Choosing among the new plans: their values and flags count (the second may not be sent).
    view->listViewDidSelectedAtIndex(*list, 1);
    EXPECT_EQ(view->optionParams(), "");
    view->listViewDidSelectedAtIndex(*list, 2);  // past the new plans: ignored
    EXPECT_EQ(view->selectIndex(), 1);

    // An element without plans: an empty list and chooser, nothing to send.
    view->refreshInstalmentList(Dictionary{{"options", "none"}});
    EXPECT_TRUE(view->promotionLabels().empty());
    EXPECT_EQ(view->promotionRow()->textLabel()->text(), "");
    EXPECT_EQ(view->optionParams(), "");
}

TEST_F(PromotionViewTest, InstalmentWithoutPlans) {
    // No plans: an empty list, a text, a dictionary or no "options" at all.
    Dictionary missing = instalmentElement(Array{});
    missing.remove("options");
    for (const Dictionary& element : {instalmentElement(Array{}), missing}) {
        auto view = make(element, BCPromotionView::Instalment, 12);
        EXPECT_TRUE(view->promotionLabels().empty());
        EXPECT_EQ(view->promotionRow()->textLabel()->text(), "");
        EXPECT_EQ(view->optionParams(), "");
        EXPECT_DOUBLE_EQ(view->totalHeight(), 88);
        view->checkBox()->tapAction();
        view->checkBox()->tapAction();
        view->showPromotionListView();  // an empty list opens
        view->listViewDidSelectedAtIndex(*std::make_shared<BCListView>(Rect(), std::vector<std::string>{}), 0);
        EXPECT_EQ(view->optionParams(), "");
    }
    for (const platform::Value& plans : {platform::Value("3期"), platform::Value(Dictionary{{"label", "3期"}, {"value", "3"}})}) {
        Dictionary element = instalmentElement(Array{});
        element.set("options", plans);
        auto view = make(element, BCPromotionView::Instalment, 12);
        EXPECT_TRUE(view->promotionLabels().empty());
        EXPECT_EQ(view->optionParams(), "");
    }
}

TEST_F(PromotionViewTest, PanelChoiceUpdatesTheRowTheParameterAndTheAmount) {
    BCDataContainer::instance()->setPayType(101);
    auto view = make(promotionElement(Array{option("不使用优惠", "", "", "")}), BCPromotionView::Promotion);
    const double total = view->totalHeight();
    const Dictionary first = option("立减5元", "D5", "优惠后 ", "¥95.00");
    view->panelViewWithCoupon(first);
    EXPECT_EQ(m_screen->amountChanges, 1);  // the first choice always tells
    EXPECT_EQ(view->promotionRow()->textLabel()->text(), "立减5元");
    EXPECT_EQ(view->optionParams(), R"("promotion":"D5")");
    EXPECT_EQ(view->promotionAmountLabel()->attributedText()->string(), "优惠后 ¥95.00");
    EXPECT_EQ(YLUniTracker::recordedCalls().back().arguments[0].stringOr(""), "bankpay_select_reduce_activity");
    EXPECT_EQ(YLUniTracker::recordedCalls().back().arguments[2], platform::Value(first));

    // Same amount: the row follows, the screen is not told.
    Dictionary coupon = option("优惠券 A1B2C3D4", "A1B2C3D4", "优惠后 ", "¥95.00");
    view->panelViewWithCoupon(coupon);
    EXPECT_EQ(m_screen->amountChanges, 1);
    EXPECT_EQ(view->promotionRow()->textLabel()->text(), "优惠券 A1B2C3D4");
    EXPECT_EQ(view->optionParams(), R"("promotion":"A1B2C3D4")");

    // A choice that may not be sent.
    Dictionary spent = option("积分抵扣", "P1", "优惠后 ", "¥90.00");
    spent.set("available", "2");
    view->panelViewWithCoupon(spent);
    EXPECT_EQ(m_screen->amountChanges, 2);
    EXPECT_EQ(view->optionParams(), "");

    // A long amount line grows the open view and tells the screen; the total stays.
    const std::string longCaption(200, 'x');
    const double before = view->frame().size.height;
    view->panelViewWithCoupon(option("长说明", "L", longCaption, "¥1.00"));
    ASSERT_FALSE(m_screen->offsets.empty());
    const double grow = m_screen->offsets.back();
    EXPECT_GT(grow, 0);
    EXPECT_DOUBLE_EQ(view->frame().size.height, before + grow);
    EXPECT_DOUBLE_EQ(view->totalHeight(), total);
    EXPECT_EQ(view->bottomLine()->frame().maxY(), view->amountLabelBg()->frame().maxY());
    // Closing and opening again keeps the grown line.
    view->animationWithStatus(false);
    view->animationWithStatus(true);
    EXPECT_DOUBLE_EQ(view->frame().size.height, before + grow);
}

TEST_F(PromotionViewTest, ChooserOpensThePanelAndTheChoiceComesBack) {
    auto view = make(promotionElement(Array{option("立减5元", "D5", "实付 ", "¥95.00"), option("立减8元", "D8", "实付 ", "¥92.00")}),
                     BCPromotionView::Promotion);
    const auto settle = [this] {
        m_clock.advance(0.6);
        int turns = 0;
        hybtest::runMainUntil([&] { return ++turns > 3; });
    };
    ASSERT_TRUE(platform::TouchDriver::tap(*view->promotionRow()));
    EXPECT_EQ(m_screen->willChange, 1);
    const auto panel = view->myPannel();
    ASSERT_TRUE(panel);
    EXPECT_EQ(panel->view()->superview(), m_screen->view());
    EXPECT_EQ(panel->myContentDic(), view->promotionContent());
    settle();

    panel->myContentView()->list("discount")->tableView()->tapRow(0, 1);
    EXPECT_EQ(view->promotionRow()->textLabel()->text(), "立减8元");
    EXPECT_EQ(view->optionParams(), R"("promotion":"D8")");
    EXPECT_EQ(view->promotionAmountLabel()->attributedText()->string(), "实付 ¥92.00");
    EXPECT_EQ(m_screen->amountChanges, 1);
    settle();
    EXPECT_FALSE(panel->view()->superview());

    // The next tap shows the same panel again; closing it by its button changes nothing.
    platform::TouchDriver::tap(*view->promotionRow());
    EXPECT_EQ(view->myPannel(), panel);
    EXPECT_EQ(panel->view()->superview(), m_screen->view());
    settle();
    panel->closeButton()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    settle();
    EXPECT_FALSE(panel->view()->superview());
    EXPECT_EQ(view->optionParams(), R"("promotion":"D8")");
    EXPECT_EQ(m_screen->amountChanges, 1);
}

TEST_F(PromotionViewTest, AmountLineMarksTheAmount) {
    const Dictionary o{{"rel_label", "实付 "}, {"rel_value", "¥95.00"}, {"rel_value_style", " ff5252 "}};
    const platform::AttributedString text = BCPromotionView::attributedStringFromInfo(o);
    EXPECT_EQ(text.string(), "实付 ¥95.00");
    ASSERT_EQ(text.runs().size(), 4u);
    // The amount's runs start after the caption (3 UTF-16 units, 7 bytes) and end with the text.
    EXPECT_EQ(text.runs()[2].begin, std::string("实付 ").size());
    EXPECT_EQ(text.runs()[2].end, text.string().size());
    EXPECT_EQ(text.runs()[2].foregroundColor, platform::Color::fromRGBA255(255, 82, 82));
    EXPECT_EQ(text.runs()[3].font, platform::Font::boldSystemFont(16));
    ASSERT_TRUE(text.paragraphStyle());
    EXPECT_EQ(text.paragraphStyle()->alignment, platform::TextAlignment::Left);

    // Without a usable colour, or on a system before 6.0: plain.
    for (const char* style : {"red", "FF525", ""}) {
        Dictionary plain = o;
        plain.set("rel_value_style", style);
        EXPECT_TRUE(BCPromotionView::attributedStringFromInfo(plain).runs().empty()) << style;
    }
    platform::Device::current().setSystemVersion("5.1");
    EXPECT_TRUE(BCPromotionView::attributedStringFromInfo(o).runs().empty());
    platform::Device::current().setSystemVersion("9.0");
}

// MARK: - Pictures

namespace {

std::shared_ptr<platform::View> canvasWith(const std::shared_ptr<BCPromotionView>& view, double height) {
    auto canvas = std::make_shared<platform::View>(Rect(0, 0, 375, height));
    canvas->setBackgroundColor(platform::Color::fromRGBA255(240, 240, 240));
    view->setFrame(Rect(0, 10, 375, view->frame().size.height));
    canvas->addSubview(view);
    return canvas;
}

Dictionary pictureElement(const char* checked) {
    Dictionary element = promotionElement(
        Array{Dictionary{{"label", "立减5元 Save 5"}, {"value", "d-5"}, {"rel_label", "实付金额 Pay "}, {"rel_value", "¥123.00"}, {"rel_value_style", "FF5252"}}},
        checked);
    element.set("url", Dictionary{{"href", "http://127.0.0.1/rules.html"}, {"label", "活动规则"}});
    return element;
}

} // namespace

TEST_F(PromotionViewTest, PicturePromotionClosedAndOpen) {
    auto closed = make(pictureElement("1"), BCPromotionView::Promotion);
    hybtest::expectSnapshot(*canvasWith(closed, 65), "promotion_closed");
    auto open = make(pictureElement("0"), BCPromotionView::Promotion);
    hybtest::expectSnapshot(*canvasWith(open, open->frame().size.height + 20), "promotion_open");
}

TEST_F(PromotionViewTest, PictureInstalmentOpenWithItsPlanList) {
    Dictionary element = instalmentElement(threePlans());
    auto view = make(element, BCPromotionView::Instalment, 12);
    view->listViewDidSelectedAtIndex(*std::make_shared<BCListView>(Rect(), std::vector<std::string>{}), 1);
    hybtest::expectSnapshot(*canvasWith(view, view->frame().size.height + 20), "instalment_open");
    auto screenView = m_screen->view();
    screenView->setBackgroundColor(platform::Color::fromRGBA255(240, 240, 240));
    view->setFrame(Rect(0, 100, 375, view->frame().size.height));
    screenView->addSubview(view);
    view->showPromotionListView();
    screenView->layoutIfNeeded();
    hybtest::expectSnapshot(*screenView, "instalment_plan_list");
}
