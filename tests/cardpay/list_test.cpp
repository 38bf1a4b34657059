// The full-screen list and the selection cells that open it.
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCListView.h"
#include "platform/formats/JSON.h"
#include "platform/ui/Label.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/TextLayout.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;

namespace {

struct Listener : BCListViewDelegate {
    void listViewDidSelectedAtIndex(BCListView&, long index) override { selected.push_back(index); }
    void listViewDidDeletedAtIndex(BCListView& list, long index) override {
        deleted.push_back(index);
        list.refreshListAfterDeleted();
    }
    std::vector<long> selected, deleted;
};

struct Screen : BCTextFieldDelegate {
    void textFieldChangeType(int) override {}
    void textFieldWillChange(platform::TextField&) override { ++willChange; }
    int willChange = 0;
};

void tap(const std::shared_ptr<platform::Control>& control) {
    ASSERT_TRUE(control);
    control->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
}

} // namespace

TEST(CardPayList, RowsFooterAndDeletion) {
    auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
    auto listener = std::make_shared<Listener>();
    auto list = std::make_shared<BCListView>(host->bounds(), std::vector<std::string>{"ID card", "Passport", "Officer card"});
    list->setDelegate(listener);
    list->setHeaderTitle(std::string("Certificate"));
    list->setFooterTitle(std::string("Other"));
    list->setSelectedIndex(1);
    host->addSubview(list);
    ASSERT_EQ(list->rows().size(), 3u);
    EXPECT_EQ(list->rows()[0]->convertRectTo(list->rows()[0]->bounds(), list.get()).minY(),
              list->headerLabel()->frame().maxY());  // under the header
    EXPECT_EQ(list->rows()[1]->subviews().size(), 3u);  // text, mark, line
    EXPECT_EQ(list->rows()[0]->subviews().size(), 2u);
    EXPECT_TRUE(list->deleteButtons().empty());

    list->setEditable(true);
    ASSERT_EQ(list->deleteButtons().size(), 3u);
    tap(list->deleteButtons()[0]);
    EXPECT_EQ(listener->deleted, std::vector<long>{0});
    EXPECT_EQ(list->list(), (std::vector<std::string>{"Passport", "Officer card"}));
    EXPECT_EQ(list->selectedIndex(), 0);  // the marked row moved up with its text
    tap(list->footer());
    EXPECT_EQ(listener->selected, std::vector<long>{2});  // the footer tells the row count
    EXPECT_FALSE(list->superview());

    auto again = std::make_shared<BCListView>(host->bounds(), std::vector<std::string>{"a", "b"});
    again->setDelegate(listener);
    host->addSubview(again);
    tap(again->rows()[1]);
    EXPECT_EQ(listener->selected, (std::vector<long>{2, 1}));
    EXPECT_TRUE(host->subviews().empty());
}

// However many rows there are, the header row stays at the top while they scroll under it; over a
// screen's status-bar strip it starts below the strip.
TEST(CardPayList, TheHeaderStaysWhileTheRowsScroll) {
    for (const double y : {0.0, 64.0}) {
        auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
        std::vector<std::string> cards;
        for (int i = 0; i < 10'000; ++i)
            cards.push_back("Bank of Example **** " + std::to_string(1000 + i));
        auto list = std::make_shared<BCListView>(Rect(0, y, 375, 667 - y), cards);
        list->setHeaderTitle(std::string("Cards"));
        list->setFooterTitle(std::string("Add a card"));
        host->addSubview(list);
        const auto onScreen = [&](const std::shared_ptr<platform::View>& view) { return view->convertRectTo(view->bounds(), host.get()); };
        const Rect header = onScreen(list->headerLabel());
        EXPECT_EQ(header.minY(), std::max(y, BCUtils::viewControllerBoundsOriginY())) << y;
        ASSERT_EQ(list->rows().size(), 10'000u);
        const auto rows = std::dynamic_pointer_cast<platform::ScrollView>(list->rows()[0]->superview());
        ASSERT_TRUE(rows);
        rows->userScroll({0, rows->maximumOffset().y});
        ASSERT_GT(rows->contentOffset().y, 0);
        EXPECT_EQ(onScreen(list->headerLabel()), header) << y;
        EXPECT_EQ(onScreen(list->closeButton()), Rect(header.maxX(), header.minY(), 375 - header.maxX(), 44)) << y;
        // The last rows and the footer end at the list's bottom, below the header.
        EXPECT_EQ(onScreen(list->footer()).maxY(), 667) << y;
        EXPECT_GE(onScreen(list->rows().back()).minY(), header.maxY()) << y;
        // The close button still takes its tap, over the scrolled rows.
        const auto hit = host->hitTest(onScreen(list->closeButton()).center());
        EXPECT_TRUE(hit && (hit == list->closeButton() || hit->isDescendantOf(*list->closeButton()))) << y;
    }
}

TEST(CardPayList, ACardsMaskedNumberStaysWholeAndALongBankNameIsCut) {
    auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
    const Array cards{Array{"c1", "招商银行 China Merchants Bank of a very long name", "**** 1234"},
                      Array{"c2", "Bank of Example", "**** 5678"}};
    auto list = std::make_shared<BCListView>(host->bounds(), std::vector<std::string>{
        "招商银行 China Merchants Bank of a very long name **** 1234", "Bank of Example **** 5678"});
    list->setWholeEnds(BCListView::cardNumbers(cards));
    list->setEditable(true);
    host->addSubview(list);
    const auto textsOf = [](const platform::View& row) {
        std::vector<std::string> texts;
        for (const auto& view : row.subviews())
            if (const auto label = std::dynamic_pointer_cast<platform::Label>(view))
                texts.push_back(label->text());
        return texts;
    };
    ASSERT_EQ(list->rows().size(), 2u);
    // Too long for its line: the name, cut at its tail, then the number whole, inside the row's room.
    const auto texts = textsOf(*list->rows()[0]);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[1], "**** 1234");
    std::shared_ptr<platform::Label> name, number;
    for (const auto& view : list->rows()[0]->subviews())
        if (const auto label = std::dynamic_pointer_cast<platform::Label>(view))
            (label->text() == "**** 1234" ? number : name) = label;
    ASSERT_TRUE(name && number);
    EXPECT_EQ(name->lineBreakMode(), platform::LineBreakMode::TruncateTail);
    EXPECT_GE(number->frame().size.width, platform::TextLayout::singleLineWidth("**** 1234", number->font()));
    EXPECT_LE(number->frame().maxX(), 375 - 60 - 24);
    EXPECT_LE(name->frame().maxX(), number->frame().minX());
    // The cut name's ellipsis keeps a space's width from the number.
    EXPECT_GE(number->frame().minX() - name->frame().maxX(), platform::TextLayout::singleLineWidth(" ", number->font()));
    // A row that fits stays one text.
    EXPECT_EQ(textsOf(*list->rows()[1]), std::vector<std::string>{"Bank of Example **** 5678"});
    // A deleted row takes its end with it.
    auto listener = std::make_shared<Listener>();
    list->setDelegate(listener);
    tap(list->deleteButtons()[0]);
    ASSERT_EQ(list->rows().size(), 1u);
    EXPECT_EQ(textsOf(*list->rows()[0]), std::vector<std::string>{"Bank of Example **** 5678"});
}

TEST(CardPayList, SelectionCellsOpenTheirListAndSendTheChosenValue) {
    BCDataContainer::destory();
    auto screen = std::make_shared<Screen>();
    auto host = std::make_shared<platform::View>(Rect(0, 0, 375, 667));
    auto form = std::make_shared<BCPaymentElementsView>(
        Rect(0, 0, 375, 0),
        Array{Dictionary{{"type", "cert_type"}, {"name", "cert_type"}, {"value", "ID card"},
                         {"options", Array{Dictionary{{"label", "ID card"}, {"value", "01"}}, "junk",
                                           Dictionary{{"label", "Passport"}, {"value", "02"}}}}},
              Dictionary{{"type", "area_code"}, {"name", "area"}}},
        screen);
    host->addSubview(form);
    auto cert = std::static_pointer_cast<BCSelectCell>(form->elementArray()[0]);
    auto area = std::static_pointer_cast<BCSelectCell>(form->elementArray()[1]);
    EXPECT_EQ(cert->text(), "ID card");
    EXPECT_EQ(cert->param(), "\"cert_type\":\"ID card\"");
    tap(cert->tapArea());
    EXPECT_EQ(screen->willChange, 1);
    ASSERT_TRUE(cert->listView());
    EXPECT_EQ(cert->listView()->superview().get(), host.get());
    EXPECT_EQ(cert->listView()->list(), (std::vector<std::string>{"ID card", "Passport"}));
    tap(cert->listView()->rows()[1]);
    EXPECT_EQ(cert->text(), "Passport");
    EXPECT_EQ(cert->param(), "\"cert_type\":\"02\"");
    EXPECT_EQ(host->subviews().size(), 1u);  // the list went

    // Without options the list is empty; the area code is among the SMS parameters.
    tap(area->tapArea());
    ASSERT_TRUE(area->listView());
    EXPECT_TRUE(area->listView()->list().empty());
    area->setText("86");
    EXPECT_EQ(form->smsParams(), "\"area\":\"86\"");
    BCDataContainer::destory();
}
