// The success screen: its two layouts, the message's colour markup, the notes and the temporary-payment
// notice, the lucky draw and the way back to the merchant.
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/screens/BCSuccessMarkup.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCTextSize.h"
#include "support/Snapshot.h"

#include "CardPayFixture.h"
#include "ScreenHelpers.h"

using namespace cardpay;
using cardpaytest::trackerCalls;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

class RootDouble : public BCBaseViewController {};

const Array kOptions{
    Dictionary{{"label", "转盘抽奖 Spin the wheel"}, {"url", "http://127.0.0.1/draw.html"}},
    Dictionary{{"label", "Scratch card"}, {"url", "http://127.0.0.1/scratch.html"}},
    Dictionary{{"label", "Red packet"}, {"url", "http://127.0.0.1/packet.html"}},
};

class CardPaySuccess : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        BCSucceedViewController::registerScreen();
        container()->apply({{"viewControllerTitle", "支付成功 Paid"},
                            {"mOrderInfoArray", Array{Dictionary{{"label", "商户名称"}, {"value", "示例商城"}},
                                                      Dictionary{{"label", "Amount"}, {"value", "CNY 10.00"}}}}});
        m_server.setReply("bingopromotion", Dictionary{{"luck_draw", Dictionary{{"label", "幸运抽奖 Lucky draw"}, {"options", kOptions}}}});
    }
    void TearDown() override {
        BCScreenRegistry::shared().unregisterClass(kSucceedScreenClass);
        CardPayRoadFixture::TearDown();
    }

    // The success screen pushed over a root screen, shown.
    std::shared_ptr<BCSucceedViewController> open() {
        present(std::make_shared<RootDouble>(), true);
        auto screen = std::static_pointer_cast<BCSucceedViewController>(makeScreen(kSucceedScreenClass));
        m_nav->pushViewController(screen, false);
        EXPECT_TRUE(cardpaytest::waitForTop<BCSucceedViewController>(m_nav));
        turns(2);  // the push ends on a later turn
        return screen;
    }
    void newerLayout(const std::string& message) {
        container()->apply({{"paySuccessMessage", message},
                            {"promotionMessage", "已享受立减优惠 5.00 元 Saved 5.00 with a promotion"},
                            {"instalmentMessage", "分3期，每期 3.34 元 3 instalments of 3.34"},
                            {"mTemporaryFlag", "0"},
                            {"mTemporaryInfo", "这是一笔临时付款，将在两个工作日内确认。 This is a temporary payment; it is confirmed within two working days."}});
    }
    bool waitForTable(const BCSucceedViewController& screen) {
        return hybtest::runMainUntil([&] { return screen.tableView() != nullptr; });
    }
    static std::size_t runsOf(const platform::AttributedString& text) { return text.runs().size(); }
};

} // namespace

TEST(CardPaySuccessMarkup, OneStretchInUtf16Units) {
    const auto plain = parseSuccessMarkup("You paid <FF0000#10.00> today");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->text, "You paid 10.00 today");
    EXPECT_EQ(plain->location, 9u);
    EXPECT_EQ(plain->length, 5u);
    EXPECT_EQ(plain->colour, "FF0000");
    // Chinese characters take one unit each, an emoji two.
    const auto chinese = parseSuccessMarkup("支付😀<FF5252#¥10元>成功");
    ASSERT_TRUE(chinese);
    EXPECT_EQ(chinese->text, "支付😀¥10元成功");
    EXPECT_EQ(chinese->location, 4u);
    EXPECT_EQ(chinese->length, 4u);
    // "<" signs inside the stretch are dropped; an empty text part is a stretch of nothing.
    EXPECT_EQ(parseSuccessMarkup("a<<00FF00#b>c")->text, "abc");
    EXPECT_EQ(parseSuccessMarkup("a<00FF00#>c")->length, 0u);
    // Invalid UTF-8 is counted as the label shows it.
    const auto invalid = parseSuccessMarkup("\xff<FF0000#x>");
    ASSERT_TRUE(invalid);
    EXPECT_EQ(invalid->location, 1u);
    EXPECT_EQ(invalid->text, "\xEF\xBF\xBDx");
}

TEST(CardPaySuccessMarkup, AStretchPastTheCutIsNotColoured) {
    std::string message(kMaxLayoutCharacters - 2, 'a');
    message += "<FF0000#bcdef>";
    class Probe : public BCSucceedViewController {};
    const auto shown = Probe().atrributedStringFromInfo(message);
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->string(), std::string(kMaxLayoutCharacters - 2, 'a') + "bc…");
    ASSERT_EQ(shown->runs().size(), 2u);
    EXPECT_EQ(shown->string().substr(shown->runs()[1].begin, shown->runs()[1].end - shown->runs()[1].begin), "bc");
    const auto beyond = Probe().atrributedStringFromInfo(std::string(kMaxLayoutCharacters + 5, 'a') + "<FF0000#b>");
    ASSERT_TRUE(beyond);
    EXPECT_TRUE(beyond->string().ends_with("a…"));
}

TEST(CardPaySuccessMarkup, NoMarkup) {
    for (const char* message : {"Paid", "Paid <FF0000 10.00>", "Paid <FF0000#10#00>", "Paid >x< <FF0000#1>", "Paid <FF0000#1",
                                "Paid FF0000#1>", ""})
        EXPECT_FALSE(parseSuccessMarkup(message)) << message;
}

TEST_F(CardPaySuccess, MessageMarkupColoursTheStretchOnly) {
    newerLayout("支付 <FF0000#10.00> 成功");
    auto screen = open();
    const auto& label = screen->successLabel();
    ASSERT_TRUE(label);
    EXPECT_EQ(label->text(), "支付 10.00 成功");
    ASSERT_TRUE(label->attributedText());
    const auto& text = *label->attributedText();
    ASSERT_EQ(runsOf(text), 2u);
    EXPECT_EQ(text.runs()[0].foregroundColor, platform::Color::grey(0.2));
    EXPECT_EQ(text.runs()[0].begin, 0u);
    EXPECT_EQ(text.runs()[0].end, text.string().size());
    EXPECT_EQ(text.runs()[1].foregroundColor, platform::Color::fromRGBA255(255, 0, 0));
    EXPECT_EQ(text.string().substr(text.runs()[1].begin, text.runs()[1].end - text.runs()[1].begin), "10.00");
    EXPECT_EQ(text.paragraphStyle(), (platform::ParagraphStyle{platform::TextAlignment::Left, platform::LineBreakMode::WordWrap}));

    // Chinese text and emoji before, inside and after the stretch: the coloured run is the stretch's
    // text exactly.
    const auto wide = screen->atrributedStringFromInfo("🎉支付成功😀 <00FF00#¥10.00🧧元> 谢谢👍");
    ASSERT_TRUE(wide);
    EXPECT_EQ(wide->string(), "🎉支付成功😀 ¥10.00🧧元 谢谢👍");
    ASSERT_EQ(runsOf(*wide), 2u);
    const auto& stretch = wide->runs()[1];
    EXPECT_EQ(wide->string().substr(stretch.begin, stretch.end - stretch.begin), "¥10.00🧧元");
    EXPECT_EQ(stretch.foregroundColor, platform::Color::fromRGBA255(0, 255, 0));

    // A colour that is not six hex digits leaves the stretch in the label's colour.
    const auto odd = screen->atrributedStringFromInfo("a <red#1> b");
    ASSERT_TRUE(odd);
    EXPECT_EQ(odd->string(), "a 1 b");
    EXPECT_EQ(runsOf(*odd), 1u);
    // Without markup there is none and the message is shown as sent.
    for (const char* message : {"a <FF0000 1> b", "a <FF#00#1> b", "a >1< b"})
        EXPECT_FALSE(screen->atrributedStringFromInfo(message)) << message;
}

TEST_F(CardPaySuccess, InvalidMarkupIsShownUnchanged) {
    newerLayout("Paid >now< <FF0000#10.00>");
    auto screen = open();
    EXPECT_EQ(screen->successLabel()->text(), "Paid >now< <FF0000#10.00>");
    EXPECT_FALSE(screen->successLabel()->attributedText());
}

TEST_F(CardPaySuccess, NewerLayoutWithNotesAndTemporaryPayment) {
    newerLayout("您已成功支付 <FF0000#10.00> 元 You paid 10.00");
    auto screen = open();
    EXPECT_FALSE(screen->successTitleLabel());
    EXPECT_FALSE(screen->pullListView());
    ASSERT_TRUE(screen->tempPayInfoLabel());
    const auto& block = screen->successInfoView();
    // The block ends one line below the notice box, and Next 12 points below the block.
    const auto box = screen->tempPayInfoLabel()->superview();
    EXPECT_DOUBLE_EQ(block->frame().maxY(), box->frame().maxY() + 12 + 1);
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, block->frame().maxY() + 12);
    EXPECT_FALSE(screen->adBar());
    EXPECT_FALSE(screen->indicator());  // no draw announced
    hybtest::expectSnapshot(*m_nav->view(), "success_new");
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPaySuccess, OlderLayoutWithTheOrderSummary) {
    container()->apply({{"successInfo", "支付成功 Payment succeeded"}, {"luckRrawFlag", "1"}});
    auto screen = open();
    ASSERT_TRUE(screen->successTitleLabel());
    EXPECT_EQ(screen->successTitleLabel()->text(), "支付成功 Payment succeeded");
    ASSERT_TRUE(screen->pullListView());
    EXPECT_DOUBLE_EQ(screen->pullListView()->frame().origin.y, 48);
    EXPECT_FALSE(screen->pullListView()->isUserInteractionEnabled());
    EXPECT_DOUBLE_EQ(screen->mBtnNext()->frame().origin.y, 48 + screen->pullListView()->frame().size.height + 12 + 12);
    hybtest::expectSnapshot(*m_nav->view(), "success_old");
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());  // "1" announces no draw
}

TEST_F(CardPaySuccess, NonTextFlagsAndNoticeTextCountAsAbsent) {
    container()->apply({{"paySuccessMessage", "Paid"}, {"mTemporaryFlag", "0"}});
    auto screen = open();
    EXPECT_FALSE(screen->tempPayInfoLabel());  // the flag without a text
    cardpaytest::dismissRoad(m_root);

    container()->apply({{"luckRrawFlag", 0}, {"mTemporaryFlag", 0}, {"mTemporaryInfo", "Temporary"}});
    screen = open();
    EXPECT_FALSE(screen->tempPayInfoLabel());
    EXPECT_FALSE(screen->indicator());
    turns(5);
    EXPECT_TRUE(m_server.commands().empty());
}

TEST_F(CardPaySuccess, LuckyDrawTableTakesTheSpinnersPlace) {
    newerLayout("Paid <FF0000#10.00>");
    container()->apply({{"luckRrawFlag", "0"}});
    m_server.setFault("bingopromotion", testsupport::CardPayTestServer::Fault::Hold);
    auto screen = open();
    ASSERT_TRUE(screen->indicator() && screen->waitLabel());
    hybtest::expectSnapshot(*m_nav->view(), "success_waiting_for_draw");
    m_server.setFault("bingopromotion", testsupport::CardPayTestServer::Fault::None);
    m_server.releaseHeldReplies();
    EXPECT_TRUE(screen->indicator()->isAnimating());
    const double spinnerY = screen->indicator()->frame().origin.y;
    EXPECT_DOUBLE_EQ(spinnerY, screen->mBtnNext()->frame().maxY() + 12);
    ASSERT_TRUE(waitForTable(*screen));
    EXPECT_EQ(m_server.commands("bingopromotion")[0].params, Dictionary{});
    EXPECT_FALSE(screen->indicator());
    EXPECT_FALSE(screen->waitLabel()) ;
    EXPECT_EQ(screen->tableView()->frame(), platform::Rect(0, spinnerY, 375, 154));
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, spinnerY + 154 + 12);
    EXPECT_EQ(screen->tableView()->numberOfRows(0), 3);
    // An answer nobody waits for any more changes nothing.
    const auto table = screen->tableView();
    screen->comunicateToBCMPDidSucceedWithEvent(kBCEventLuckyDraw);
    EXPECT_EQ(screen->tableView(), table);
    EXPECT_DOUBLE_EQ(table->frame().origin.y, spinnerY);
    hybtest::runMainUntil([&] { return !m_nav->isBeingTransitioned(); });
    hybtest::expectSnapshot(*m_nav->view(), "success_lucky_draw");

    YLUniTracker::resetRecord();
    EXPECT_TRUE(screen->tableView()->tapRow(0, 1));
    EXPECT_EQ(trackerCalls("trackEvent"),
              (std::vector<Array>{{"pay_success_click_activity", Value(), Dictionary{{"pos", "1"}, {"name", "Scratch card"}}}}));
    ASSERT_TRUE(cardpaytest::waitForTop<BCWebViewController>(m_nav));
    EXPECT_FALSE(screen->tableView()->indexPathForSelectedRow());

    // Back from the option's page: built anew, the draw asked again.
    m_nav->popViewController(false);
    ASSERT_TRUE(cardpaytest::waitForTop<BCSucceedViewController>(m_nav));
    EXPECT_TRUE(screen->indicator());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.commands("bingopromotion").size() == 2; }));
    ASSERT_TRUE(waitForTable(*screen));
    EXPECT_EQ(m_nav->viewControllers().size(), 1u);
}

TEST_F(CardPaySuccess, OptionsWithoutALabelOrAUsableUrl) {
    m_server.setReply("bingopromotion",
                      Dictionary{{"luck_draw", Dictionary{{"label", "Draw"}, {"options", Array{Dictionary{{"url", "http://127.0.0.1/a.html"}},
                                                                                               Dictionary{{"label", "No text"}, {"url", 5}},
                                                                                               Dictionary{{"label", "Bad"}, {"url", "http://[::1"}},
                                                                                               "not an option"}}}}});
    container()->apply({{"paySuccessMessage", "Paid"}, {"luckRrawFlag", "0"}});
    auto screen = open();
    ASSERT_TRUE(waitForTable(*screen));
    EXPECT_EQ(screen->tableView()->numberOfRows(0), 3);  // the text entry is no option
    YLUniTracker::resetRecord();
    screen->tableView()->tapRow(0, 1);
    screen->tableView()->tapRow(0, 2);
    turns(5);
    EXPECT_EQ(m_nav->topViewController(), screen);
    EXPECT_EQ(trackerCalls("trackEvent").size(), 2u);
    screen->tableView()->tapRow(0, 0);  // no label: opened untracked
    ASSERT_TRUE(cardpaytest::waitForTop<BCWebViewController>(m_nav));
    EXPECT_EQ(trackerCalls("trackEvent").size(), 2u);
}

TEST_F(CardPaySuccess, DrawWithoutOptionsOrAFailedRequestLeavesNoSpinnerAndNoBox) {
    container()->apply({{"paySuccessMessage", "Paid"}, {"luckRrawFlag", "0"}});
    for (const Value& draw : {Value(Dictionary{{"label", "Draw"}}), Value(Dictionary{{"options", Array{"a", 1}}})}) {
        m_server.setReply("bingopromotion", Dictionary{{"luck_draw", draw}});
        auto screen = open();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !screen->indicator(); }));
        EXPECT_FALSE(screen->waitLabel());
        EXPECT_FALSE(screen->tableView());
        cardpaytest::dismissRoad(m_root);
    }
    m_server.setFault("bingopromotion", testsupport::CardPayTestServer::Fault::HTTP500);
    auto screen = open();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !screen->indicator(); }));
    EXPECT_FALSE(screen->waitLabel());
    EXPECT_FALSE(screen->mAlertView());
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
}

TEST_F(CardPaySuccess, AnOverlongDrawListsItsFirstOptionsOnly) {
    // Every row of the table is on screen at once: a reply of thousands of options must not make as
    // many cells.
    Array options;
    for (int i = 0; i < 5'000; ++i)
        options.push_back(Dictionary{{"label", "Option " + std::to_string(i)}, {"url", "http://127.0.0.1/o.html"}});
    m_server.setReply("bingopromotion", Dictionary{{"luck_draw", Dictionary{{"label", "Draw"}, {"options", options}}}});
    container()->apply({{"paySuccessMessage", "Paid"}, {"luckRrawFlag", "0"}});
    auto screen = open();
    ASSERT_TRUE(waitForTable(*screen));
    const auto shown = static_cast<long>(BCSucceedViewController::kMaxLuckyDrawOptions);
    EXPECT_EQ(screen->tableView()->numberOfRows(0), shown);
    EXPECT_DOUBLE_EQ(screen->tableView()->frame().size.height, static_cast<double>(shown) * 44 + 22);
    EXPECT_EQ(screen->tableView()->visibleCells().size(), static_cast<std::size_t>(shown));
    YLUniTracker::resetRecord();
    screen->tableView()->tapRow(0, shown - 1);
    EXPECT_EQ(trackerCalls("trackEvent").at(0).at(2), Value(Dictionary{{"pos", std::to_string(shown - 1)}, {"name", "Option " + std::to_string(shown - 1)}}));
}

TEST_F(CardPaySuccess, ShownAloneInTheStackAndBackToTheMerchant) {
    container()->apply({{"paySuccessMessage", "Paid"}, {"defaultPayMode", "2"}});
    auto screen = open();
    EXPECT_EQ(m_nav->viewControllers(), (std::vector<std::shared_ptr<platform::ViewController>>{screen}));
    EXPECT_EQ(trackerCalls("trackPageBegin"), (std::vector<Array>{{"result_View"}}));
    EXPECT_EQ(BCMPService::userDefaultPayMode(), "2");
    EXPECT_FALSE(screen->navigationBar()->leftButton());
    EXPECT_TRUE(screen->mBtnNext()->isEnabled());
    screen->mBtnNext()->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    m_clock.advance(std::chrono::seconds(1));  // the animated dismissal
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_host->results.empty(); }));
    EXPECT_EQ(m_host->results[0], (Dictionary{{"code", "success"}, {"data", ""}}));
    EXPECT_EQ(trackerCalls("trackEvent")[0][0], Value("pay_success_back_merchant"));
    EXPECT_EQ(trackerCalls("trackPageEnd"), (std::vector<Array>{{"result_View"}}));
}

TEST_F(CardPaySuccess, LongMessageWrapsIsCutForLayoutAndRotationWidensOnce) {
    std::string message;
    for (int i = 0; i < 1'000; ++i)
        message += i == 150 ? "<FF0000#10.00> " : "付款成功 paid ";  // ten characters, or a stretch
    newerLayout(message);
    auto screen = open();
    const auto& label = screen->successLabel();
    ASSERT_TRUE(label->attributedText());
    const auto& stretch = label->attributedText()->runs().at(1);
    EXPECT_EQ(label->text().substr(stretch.begin, stretch.end - stretch.begin), "10.00");
    EXPECT_LE(label->frame().maxX(), 375 - 12);
    EXPECT_GT(label->frame().size.height, 20 * 40.0);
    // Ten thousand characters: the first kMaxLayoutCharacters are laid out, and an ellipsis.
    EXPECT_EQ(label->text(), cutForLayout(parseSuccessMarkup(message)->text));
    EXPECT_TRUE(label->text().ends_with("…"));
    EXPECT_DOUBLE_EQ(screen->mScrollView()->contentSize().height, screen->mBtnNext()->frame().maxY() + 12);

    const double noticeWidth = screen->tempPayInfoLabel()->frame().size.width;
    container()->setToRotationSize({667, 375});
    for (int i = 0; i < 2; ++i)  // the transition and the older callback may both come
        screen->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0);
    EXPECT_DOUBLE_EQ(screen->successInfoView()->frame().size.width, 667);
    EXPECT_DOUBLE_EQ(screen->tempPayInfoLabel()->frame().size.width, noticeWidth + BCUtils::rotatedOffset());
}
