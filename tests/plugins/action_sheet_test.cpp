#include "InterfaceFixture.h"

#include "platform/ui/ScrollView.h"
#include "platform/ui/TouchDriver.h"
#include "plugins/ActionSheet.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <vector>

using namespace platform;
using Plugin = plugins::ActionSheet;

namespace {

class ActionSheetTest : public pluginstest::InterfaceTest<Plugin> {
protected:
    // Shows the sheet of the options under the callback id and lets it come up.
    std::shared_ptr<platform::ActionSheet> showSheet(const Value& options, const std::string& callbackId = "cb") {
        call("show", {options}, callbackId);
        settle();
        return Plugin::currentSheet();
    }
    // Taps the button `index` of the sheet and answers the number the page heard.
    std::int64_t choose(const std::shared_ptr<platform::ActionSheet>& sheet, long index) {
        const std::size_t before = answers().size();
        EXPECT_TRUE(TouchDriver::tap(*sheet->buttonViews().at(static_cast<std::size_t>(index))));
        settle();
        if (answers().size() != before + 1)
            return -100;
        return answers().back().message().integerValue();
    }
    static Dictionary options(Array labels, std::optional<std::string> cancel, std::optional<std::string> destructive) {
        Dictionary d{{"title", "标题"}, {"buttonLabels", std::move(labels)}};
        if (cancel)
            d.set("addCancelButtonWithLabel", *cancel);
        if (destructive)
            d.set("addDestructiveButtonWithLabel", *destructive);
        return d;
    }
};

} // namespace

TEST_F(ActionSheetTest, ButtonsAreNumberedInDisplayOrder) {
    start();
    const Dictionary all = options({"A", "B"}, "Cancel", "Delete");
    for (long index = 0; index < 4; ++index) {
        auto sheet = showSheet(all);
        ASSERT_TRUE(sheet && sheet->isVisible());
        EXPECT_EQ(sheet->title(), "标题");
        EXPECT_EQ(sheet->destructiveButtonIndex(), 0);
        EXPECT_EQ(sheet->cancelButtonIndex(), 3);
        EXPECT_EQ(choose(sheet, index), index + 1) << "button " << sheet->buttonTitleAtIndex(index);
    }
    const Dictionary cancelOnly = options({"A", "B"}, "Cancel", std::nullopt);
    for (long index = 0; index < 3; ++index) {
        auto sheet = showSheet(cancelOnly);
        EXPECT_EQ(sheet->cancelButtonIndex(), 2);
        EXPECT_EQ(choose(sheet, index), index + 1);
    }
    ASSERT_EQ(answers().size(), 7u);
    for (const auto& answer : answers()) {
        EXPECT_EQ(answer.status(), runtime::HYBCommandStatus::Ok);
        EXPECT_EQ(answer.callbackId, "cb");
    }
}

TEST_F(ActionSheetTest, HideAnswersOkThenMinusOneToTheShowCall) {
    start();
    auto sheet = showSheet(options({"A"}, "Cancel", std::nullopt), "show-cb");
    call("hide", {}, "hide-cb");
    settle();
    EXPECT_FALSE(sheet->isVisible());
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(answers()[0].callbackId, "show-cb");
    EXPECT_EQ(answers()[0].status(), runtime::HYBCommandStatus::Ok);
    EXPECT_TRUE(answers()[0].message().isNull()) << "OK without a message";
    EXPECT_EQ(answers()[1].callbackId, "show-cb");
    EXPECT_EQ(answers()[1].message(), Value(-1));

    // The sheet answered: a later hide has nothing to answer.
    call("hide", {}, "hide-cb");
    settle();
    EXPECT_EQ(answers().size(), 2u);
}

TEST_F(ActionSheetTest, EachSheetAnswersItsOwnCall) {
    start();
    auto first = showSheet(options({"A"}, std::nullopt, std::nullopt), "first");
    auto second = showSheet(options({"B", "C"}, std::nullopt, std::nullopt), "second");
    ASSERT_NE(first, second);
    EXPECT_EQ(choose(second, 1), 2);
    EXPECT_EQ(answers().back().callbackId, "second");
    EXPECT_EQ(choose(first, 0), 1);
    EXPECT_EQ(answers().back().callbackId, "first");
    EXPECT_EQ(answers().size(), 2u);
}

TEST_F(ActionSheetTest, HideDismissesEverySheetOnScreenAndAnswersEachCall) {
    start();
    auto first = showSheet(options({"A"}, "Cancel", std::nullopt), "first");
    auto second = showSheet(options({"B"}, "Cancel", std::nullopt), "second");
    ASSERT_TRUE(first->isVisible() && second->isVisible());
    call("hide", {}, "hide-cb");
    settle();
    EXPECT_FALSE(first->isVisible()) << "no sheet is left over the page";
    EXPECT_FALSE(second->isVisible());
    std::map<std::string, std::vector<Value>> heard;
    for (const auto& answer : answers())
        heard[answer.callbackId.value_or("")].push_back(answer.message());
    EXPECT_EQ(heard["first"], (std::vector<Value>{Value(), Value(-1)}));
    EXPECT_EQ(heard["second"], (std::vector<Value>{Value(), Value(-1)}));
    EXPECT_EQ(heard.size(), 2u) << "nothing to the hide call's own id";

    // The user answers the sheet on top; the one below it is still there for the user, and hide
    // answers only that one.
    auto below = showSheet(options({"C"}, std::nullopt, std::nullopt), "below");
    auto top = showSheet(options({"D"}, std::nullopt, std::nullopt), "top");
    EXPECT_EQ(choose(top, 0), 1);
    EXPECT_EQ(answers().back().callbackId, "top");
    EXPECT_TRUE(below->isVisible());
    const std::size_t before = answers().size();
    call("hide", {}, "hide-cb");
    settle();
    ASSERT_EQ(answers().size(), before + 2);
    EXPECT_EQ(answers()[before].callbackId, "below");
    EXPECT_EQ(answers()[before + 1].callbackId, "below");
    EXPECT_FALSE(below->isVisible());
}

TEST_F(ActionSheetTest, ASheetTallerThanThePhoneScrollsToEveryButton) {
    start();
    m_webView->setBackgroundColor(Color::white());
    Array labels;
    for (int i = 1; i <= 10; ++i)
        labels.push_back("选项 " + std::to_string(i));
    std::string title;
    for (int i = 0; i < 12; ++i)
        title += "A long title that wraps onto many lines of the sheet. ";
    Dictionary tall = options(labels, "取消", "删除");
    tall.set("title", title);
    auto sheet = showSheet(tall);
    ASSERT_TRUE(sheet && sheet->isVisible());
    EXPECT_GE(sheet->sheetFrame().minY(), 20) << "the title and Delete are on the screen";
    expectScreen("action_sheet_plugin_tall");
    auto buttons = sheet->buttonViews();
    EXPECT_EQ(TouchDriver::tap(*buttons[0]), buttons[0]) << "Delete, at the top";
    settle();
    EXPECT_EQ(answers().back().message(), Value(1));

    sheet = showSheet(tall);
    buttons = sheet->buttonViews();
    std::shared_ptr<ScrollView> rows = sheet->rowsView();
    ASSERT_TRUE(rows);
    rows->userScroll(rows->maximumOffset());
    EXPECT_EQ(choose(sheet, 10), 11) << "the last label, once scrolled to";
    sheet = showSheet(tall);
    EXPECT_EQ(choose(sheet, 11), 12) << "the cancel button, without scrolling";
}

TEST_F(ActionSheetTest, AVeryLongTitleShowsAndTheSheetStillAnswers) {
    start();
    // One word of 64 KiB: laid out once per width, in time linear in its length.
    auto sheet = showSheet(Dictionary{{"title", std::string(64 * 1024, 'w')}, {"addCancelButtonWithLabel", "Cancel"}});
    ASSERT_TRUE(sheet && sheet->isVisible());
    EXPECT_GE(sheet->sheetFrame().minY(), 20);
    EXPECT_GT(sheet->rowsView()->contentSize().height, 10000);
    EXPECT_EQ(choose(sheet, 0), 1);
}

TEST_F(ActionSheetTest, DisposeTakesThePluginsSheetsAway) {
    start();
    auto sheet = showSheet(options({"A"}, "Cancel", std::nullopt), "shown");
    m_plugin->dispose();
    EXPECT_FALSE(sheet->isVisible());
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].callbackId, "shown");
    EXPECT_EQ(answers()[0].message(), Value(-1));
}

TEST_F(ActionSheetTest, OptionsOfTheWrongKindGiveWhatCanBeShown) {
    start();
    auto empty = showSheet("not options");
    ASSERT_TRUE(empty && empty->isVisible());
    EXPECT_EQ(empty->numberOfButtons(), 0);
    EXPECT_EQ(empty->title(), "");
    empty->dismissWithClickedButtonIndex(-2, false);
    settle();

    auto noLabels = showSheet(Dictionary{{"buttonLabels", "A"}, {"addCancelButtonWithLabel", "Cancel"}});
    EXPECT_EQ(noLabels->numberOfButtons(), 1);
    EXPECT_EQ(choose(noLabels, 0), 1);

    auto texts = showSheet(Dictionary{{"title", 12}, {"buttonLabels", Array{5, true, nullptr, "D"}}});
    EXPECT_EQ(texts->title(), "12");
    ASSERT_EQ(texts->numberOfButtons(), 4) << "the numbering stays the page's";
    EXPECT_EQ(texts->buttonTitleAtIndex(0), "5");
    EXPECT_EQ(texts->buttonTitleAtIndex(1), "1");
    EXPECT_EQ(texts->buttonTitleAtIndex(2), "");
    EXPECT_EQ(choose(texts, 3), 4);
}

TEST_F(ActionSheetTest, OnAPadThePositionAnchorsTheSheet) {
    EXPECT_EQ(Plugin::getPopupRectFromIPadPopupCoordinates(Array{100, 200}), Rect(100, 200, 0, 0));
    EXPECT_EQ(Plugin::getPopupRectFromIPadPopupCoordinates(Array{10, 20, 30, 40}), Rect(10, 20, 30, 40));
    EXPECT_EQ(Plugin::getPopupRectFromIPadPopupCoordinates(Array{10, 20, 30}), Rect());
    EXPECT_EQ(Plugin::getPopupRectFromIPadPopupCoordinates(Array{}), Rect());
    EXPECT_EQ(Plugin::getPopupRectFromIPadPopupCoordinates("100,200"), Rect());
    EXPECT_EQ(Plugin::getPopupRectFromIPadPopupCoordinates(Array{10.9, "20"}), Rect(10, 0, 0, 0)) << "integers; text reads 0";
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Rect clamped = Plugin::getPopupRectFromIPadPopupCoordinates(Array{nan, 1e300, -1e300, 5});
    EXPECT_EQ(clamped.origin.x, 0);
    EXPECT_EQ(clamped.origin.y, 2147483647.0);
    EXPECT_TRUE(std::isfinite(clamped.size.width));

    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    Screen::main().setBounds(Rect(0, 0, 768, 1024));
    window->setFrame(Screen::main().bounds());
    controller->view()->setFrame(window->bounds());
    start();
    Dictionary anchored = options({"A", "B"}, "Cancel", std::nullopt);
    anchored.set("position", Array{100, 200});
    auto sheet = showSheet(anchored);
    ASSERT_TRUE(sheet->isVisible());
    const Rect box = sheet->sheetFrame();
    EXPECT_LE(std::abs(box.midX() - 100), box.size.width / 2 + 1) << "the box points at (100, 200)";
    EXPECT_GE(box.minY(), 200) << "below the point";
    EXPECT_EQ(choose(sheet, 1), 2);
}

TEST_F(ActionSheetTest, SheetOnAPhone) {
    start();
    m_webView->setBackgroundColor(Color::white());
    showSheet(options({"拍照", "从相册选择"}, "取消", "删除照片"));
    expectScreen("action_sheet_plugin_phone");
}

TEST_F(ActionSheetTest, SheetOnAPadAtThePagesPoint) {
    Device::current().setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    Screen::main().setBounds(Rect(0, 0, 768, 1024));
    window->setFrame(Screen::main().bounds());
    controller->view()->setFrame(window->bounds());
    start();
    m_webView->setBackgroundColor(Color::white());
    Dictionary anchored = options({"拍照", "从相册选择"}, "取消", "删除照片");
    anchored.set("position", Array{300, 200});
    showSheet(anchored);
    expectScreen("action_sheet_plugin_pad");
}
