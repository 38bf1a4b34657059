// The payment road against a server that answers what no server should: texts of a hundred thousand
// characters in every field a screen shows, ten thousand bound cards, an error message of a megabyte.
// The screens stay usable: every text is cut before layout, each list row is built once, the list can be
// closed without a choice and an alert keeps its buttons on screen. And the dead ends of the sample
// order: the card-reader channel tells the user it is not available, and the lucky draw's pages open.
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCOrderInfoViewController.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "cardpay/views/BCTextSize.h"
#include "platform/ui/Label.h"
#include "platform/ui/TextField.h"

#include "CardPayFixture.h"
#include "ScreenHelpers.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Value;

namespace {

constexpr const char* kNext = "下一步 Next";

class RootDouble : public BCBaseViewController {};

std::size_t characters(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

// The longest text a label or a field shows anywhere under `view`, in characters.
std::size_t longestShownText(const platform::View& view) {
    std::size_t longest = 0;
    if (const auto* label = dynamic_cast<const platform::Label*>(&view))
        longest = characters(label->text());
    if (const auto* field = dynamic_cast<const platform::TextField*>(&view))
        longest = std::max({longest, characters(field->text()), characters(field->placeholder())});
    for (const auto& child : view.subviews())
        longest = std::max(longest, longestShownText(*child));
    return longest;
}

class CardPayHostileServer : public cardpaytest::CardPayRoadFixture {
protected:
    void SetUp() override {
        CardPayRoadFixture::SetUp();
        m_replies = sampleReplies();
    }
    void TearDown() override {
        for (const auto name : {kPayingScreenClass, kEntrustScreenClass, kSucceedScreenClass, kUserInfoScreenClass,
                                std::string_view("BCInputCardViewController")})
            BCScreenRegistry::shared().unregisterClass(name);
        BCOrderScreenRegistry::shared().unregisterClass(kOrderScreenClass);
        CardPayRoadFixture::TearDown();
    }
    ::testing::AssertionResult openOrderScreen(const Dictionary& init) { return openRoadOnOrderScreen(init, "201712010011"); }
    static std::string text(int id) { return BCLocale::instance()->getStringById(id); }

    Dictionary m_replies;
};

} // namespace

TEST_F(CardPayHostileServer, LongTextsAreCutBeforeLayoutAndTheCardListClosesWithoutAChoice) {
    const std::string longText(50'000, 'W');
    Dictionary init = m_replies["init"].dictionaryOrEmpty();
    init.set("title", longText);
    init.set("order_info", Array{Dictionary{{"label", longText}, {"value", longText}}, Dictionary{{"label", "Amount"}, {"value", longText}}});
    init.set("risk_info", Dictionary{{"label", longText}, {"value", longText}});
    init.set("pay_tip", longText);
    init.set("ad", longText);
    init.set("cards", Array{Array{"card-1", longText, longText}, Array{"card-2", "Bank", longText}});
    init.set("other_card_info", Dictionary{{"label", longText}});
    init.set("init_button", Dictionary{{"label", longText}});
    ASSERT_TRUE(openOrderScreen(init));
    const auto order = road().top<BCOrderInfoViewController>();
    EXPECT_LE(longestShownText(*m_window), kMaxLayoutCharacters + 1);
    // The bar's title ends in an ellipsis clear of the buttons; the notice bars show whole lines.
    road().expectScreenSnapshot("hostile_long_texts");
    // The card line stays clear of its arrow: cut in its middle within its own frame.
    ASSERT_TRUE(order->defaultCardView());
    order->mScrollView()->scrollRectToVisible(order->defaultCardView()->convertRectTo(order->defaultCardView()->bounds(),
                                                                                      order->mScrollView().get()), false);
    const auto line = order->defaultCardView()->textLabel();
    EXPECT_LE(line->frame().maxX(), order->defaultCardView()->indicatorImageView()->frame().minX());
    road().expectScreenSnapshot("hostile_long_card_line");

    // The list of bound cards: rows cut too, and a way out that chooses nothing.
    ASSERT_TRUE(road().tapOn(*order->defaultCardView(), "the bound card"));
    ASSERT_TRUE(order->listView());
    EXPECT_LE(longestShownText(*order->listView()), kMaxLayoutCharacters + 1);
    const std::size_t sent = m_server.commands().size();
    ASSERT_TRUE(road().tap(text(10004)));
    ASSERT_TRUE(road().settle());
    EXPECT_FALSE(order->listView()->superview());
    EXPECT_EQ(order->commCardIndex(), 0);
    EXPECT_EQ(m_server.commands().size(), sent);
    EXPECT_EQ(road().topScreen(), order);
}

TEST_F(CardPayHostileServer, TenThousandBoundCardsAreListedRowByRowOnce) {
    Array cards;
    for (int i = 0; i < 10'000; ++i)
        cards.push_back(Array{"card-" + std::to_string(i), "Bank " + std::to_string(i), "**** " + std::to_string(1000 + i % 9000)});
    Dictionary init = m_replies["init"].dictionaryOrEmpty();
    init.set("cards", cards);
    ASSERT_TRUE(openOrderScreen(init));
    const auto order = road().top<BCOrderInfoViewController>();
    ASSERT_TRUE(road().tapOn(*order->defaultCardView(), "the bound card"));
    const auto list = order->listView();
    ASSERT_TRUE(list);
    EXPECT_EQ(list->builds(), 1);
    EXPECT_EQ(list->rows().size(), 10'000u);
    EXPECT_EQ(list->builds(), 1);
    // The status strip stays in view above the list.
    EXPECT_GE(list->rows().front()->convertRectTo(list->rows().front()->bounds(), order->view().get()).minY(),
              BCUtils::viewControllerBoundsOriginY());
    ASSERT_TRUE(road().tap(text(10004)));
    EXPECT_FALSE(list->superview());
}

TEST_F(CardPayHostileServer, AMegabyteErrorMessageScrollsAndItsOKStaysOnScreen) {
    // The card's rules are refused with a message as long as a reply may be.
    m_server.setEnvelope("rules", Dictionary{{"resp", "12"}, {"msg", std::string(BCJsonService::kMaxReplyLength - 100, 'W')}});
    ASSERT_TRUE(openOrderScreen(m_replies["init"].dictionaryOrEmpty()));
    ASSERT_TRUE(road().tap(kNext));
    ASSERT_TRUE(road().waitUntil([&] { return road().alertBox() != nullptr && !road().isLoading(); }, "the error alert"));
    const auto box = road().alertBox();
    EXPECT_LE(box->baseView()->frame().maxY(), 667);
    EXPECT_GE(box->baseView()->frame().minY(), 0);
    ASSERT_TRUE(box->textScrollView());
    EXPECT_EQ(characters(box->messageLabel()->text()), kMaxLayoutCharacters + 1);
    // The user can scroll to the end of the message, and OK closes the box.
    const auto scroll = box->textScrollView();
    scroll->setContentOffset({0, scroll->contentSize().height - scroll->frame().size.height});
    ASSERT_TRUE(road().tap(text(10001)));
    EXPECT_FALSE(road().alertBox());
}

TEST_F(CardPayHostileServer, TheCardReaderChannelSaysItIsNotAvailableHere) {
    // The sample order offers the channel; this application has no card-reader screen.
    ASSERT_TRUE(openOrderScreen(m_replies["init"].dictionaryOrEmpty()));
    ASSERT_TRUE(road().tap("Pay with a card reader"));
    EXPECT_EQ(road().alertMessage(), "No card reader is connected.");
    ASSERT_TRUE(road().tap(text(10001)));
    EXPECT_TRUE(road().top<BCOrderInfoViewController>());

    // Without the server's text, the road's own.
    const auto order = road().top<BCOrderInfoViewController>();
    container()->apply({{"noMediumMessage", Value()}});
    order->didChoosedChannelAtIndex(1);
    EXPECT_EQ(road().alertMessage(), text(12018));
}

TEST_F(CardPayHostileServer, TheLuckyDrawsPagesOpenFromTheLoopbackServer) {
    // The success screen of the sample order, its draw's options fetched from the server.
    container()->apply({{"paySuccessMessage", "Paid"}, {"luckRrawFlag", "0"}});
    BCSucceedViewController::registerScreen();
    present(std::make_shared<RootDouble>(), true);
    auto success = std::static_pointer_cast<BCSucceedViewController>(makeScreen(kSucceedScreenClass));
    m_nav->pushViewController(success, false);
    ASSERT_TRUE(road().waitUntil([&] { return success->tableView() != nullptr; }, "the lucky draw"));
    ASSERT_TRUE(road().settle());
    ASSERT_TRUE(success->tableView()->tapRow(0, 0));  // "转盘抽奖 Spin the wheel"
    ASSERT_TRUE(road().waitForScreen<BCWebViewController>());
    const auto page = road().top<BCWebViewController>();
    EXPECT_EQ(page->webViewUrl(), m_server.url("/pages/draw.html"));
    // The server answers the page: the web view finishes its load (no endless spinner).
    ASSERT_TRUE(road().waitUntil([&] { return page->navigationBar()->barTitle() != nullptr; }, "the page's load"));
    const auto html = m_server.page("/pages/draw.html");
    ASSERT_TRUE(html);
    EXPECT_NE(html->find("<title>转盘抽奖 Spin the wheel</title>"), std::string::npos);
}
