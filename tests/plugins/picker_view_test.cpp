#include "InterfaceFixture.h"

#include "platform/system/FoundationVersion.h"
#include "platform/ui/TextLayout.h"
#include "platform/ui/TouchDriver.h"
#include "plugins/PickerViewPlugin.h"

#include <gtest/gtest.h>

using namespace platform;
using plugins::PickerViewPlugin;

namespace {

Value item(const std::string& text, Array subItems = {}, std::optional<std::string> subtext = std::nullopt) {
    Dictionary d{{"text", text}};
    if (!subItems.empty())
        d.set("subItems", std::move(subItems));
    if (subtext)
        d.set("subtext", *subtext);
    return d;
}

// Province -> city -> district.
Array threeLevels() {
    return {
        item("广东", {item("广州", {item("天河", {}, "广州市天河区"), item("越秀")}), item("深圳", {item("南山", {}, "深圳市南山区")})}),
        item("浙江", {item("杭州", {item("西湖"), item("余杭")}), item("宁波", {item("鄞州")})}),
    };
}

class PickerViewTest : public pluginstest::InterfaceTest<PickerViewPlugin> {
protected:
    PickerView& wheel() { return *plugin().pickerView(); }
    std::vector<std::string> titles(long component) {
        std::vector<std::string> out;
        for (long row = 0; row < wheel().numberOfRows(component); ++row)
            out.push_back(plugin().titleForRow(wheel(), row, component).value_or("?"));
        return out;
    }
    // The toolbar's button titled `title`, tapped.
    void tapButton(const std::string& title) {
        for (const auto& barItem : plugin().toolbar()->items())
            if (barItem->title() == title) {
                TouchDriver::tap(*barItem->viewForBar());
                return;
            }
        ADD_FAILURE() << "no button " << title;
    }
    std::size_t viewsOverThePage() { return controller->view()->subviews().size() - 1; }
    void expectError(Array arguments) {
        const std::size_t before = answers().size();
        call("show", std::move(arguments));
        ASSERT_EQ(answers().size(), before + 1) << "answered at once";
        EXPECT_EQ(answers().back().status(), runtime::HYBCommandStatus::Error);
        EXPECT_TRUE(answers().back().message().isString());
        EXPECT_FALSE(plugin().maskView()) << "nothing shown";
    }
};

} // namespace

TEST_F(PickerViewTest, LevelOneAnswersTheFirstItemOnDone) {
    start();
    const Array items{item("A"), item("B"), item("C")};
    call("show", {items, Dictionary{{"level", 1}}});
    ASSERT_TRUE(plugin().maskView());
    EXPECT_TRUE(answers().empty());
    EXPECT_EQ(viewsOverThePage(), 3u) << "mask, toolbar, wheel";
    const auto& barItems = plugin().toolbar()->items();
    ASSERT_EQ(barItems.size(), 5u);
    EXPECT_EQ(barItems.front()->title(), "Cancel");
    EXPECT_EQ(barItems.back()->title(), "Done");
    EXPECT_EQ(plugin().toolbar()->frame(), Rect(0, 568 - 260, 320, 44));
    EXPECT_EQ(wheel().frame(), Rect(0, 568 - 216, 320, 216));
    EXPECT_EQ(plugin().maskView()->frame(), Rect(0, 0, 320, 568));
    EXPECT_EQ(titles(0), (std::vector<std::string>{"A", "B", "C"}));
    EXPECT_EQ(plugin().widthForComponent(wheel(), 0), 320);
    EXPECT_EQ(ViewAnimation::records().back(), (AnimationRecord{"transition", 0.5, 0, 4}));

    settle();
    tapButton("Done");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].status(), runtime::HYBCommandStatus::Ok);
    EXPECT_EQ(answers()[0].message(), Value(Array{items[0]}));
    EXPECT_EQ(viewsOverThePage(), 0u) << "the views went";

    call("show", {items, Dictionary{{"level", "1"}, {"doneButton", Dictionary{{"text", "确定"}}}, {"cancelButton", Dictionary{{"text", 7}}}}});
    EXPECT_EQ(plugin().toolbar()->items().back()->title(), "确定");
    EXPECT_EQ(plugin().toolbar()->items().front()->title(), "Cancel") << "a title that is not text keeps the default";
    settle();  // touches wait for the wheel's transition
    tapButton("Cancel");
    EXPECT_EQ(answers().back().message(), Value("cancel"));
    EXPECT_EQ(viewsOverThePage(), 0u);
}

TEST_F(PickerViewTest, ColumnsFollowTheirLeftNeighbour) {
    start();
    call("show", {threeLevels(), Dictionary{{"level", 3}}});
    EXPECT_EQ(titles(1), (std::vector<std::string>{"广州", "深圳"}));
    EXPECT_EQ(titles(2), (std::vector<std::string>{"天河", "越秀"}));
    EXPECT_EQ(plugin().label()->text(), "广州市天河区");
    EXPECT_EQ(plugin().widthForComponent(wheel(), 2), 106) << "320 / 3, whole";

    ASSERT_TRUE(wheel().spin(1, 1));  // 深圳
    wheel().spin(2, 0);
    ASSERT_TRUE(wheel().spin(0, 1));  // 浙江
    EXPECT_EQ(titles(1), (std::vector<std::string>{"杭州", "宁波"}));
    EXPECT_EQ(wheel().selectedRowInComponent(1), 0);
    EXPECT_EQ(titles(2), (std::vector<std::string>{"南山"})) << "column 2 keeps its list until column 1 moves";
    EXPECT_EQ(plugin().label()->text(), "深圳市南山区");

    ASSERT_TRUE(wheel().spin(1, 1));  // 宁波
    EXPECT_EQ(titles(2), (std::vector<std::string>{"鄞州"}));
    EXPECT_EQ(plugin().label()->text(), "深圳市南山区") << "an item without subtext leaves the caption";

    call("hide");  // changes nothing
    EXPECT_TRUE(plugin().maskView());
    tapButton("Done");
    ASSERT_EQ(answers().size(), 1u);
    const Array& chosen = answers()[0].message().arrayOrEmpty();
    ASSERT_EQ(chosen.size(), 3u);
    EXPECT_EQ(chosen[0]["text"], Value("浙江"));
    EXPECT_EQ(chosen[1]["text"], Value("宁波"));
    EXPECT_EQ(chosen[2], item("鄞州")) << "whole item dictionaries";
}

TEST_F(PickerViewTest, ArgumentsThatCannotBeShownAnswerErrorAtOnce) {
    start();
    expectError({"items", Dictionary{{"level", 1}}});
    expectError({Array{}, Dictionary{{"level", 1}}});
    expectError({Array{item("A"), 5}, Dictionary{{"level", 1}}});
    expectError({Array{item("A")}, "level 1"});
    expectError({Array{item("A")}});
    expectError({Array{item("A")}, Dictionary{{"level", 0}}});
    expectError({Array{item("A")}, Dictionary{{"level", -3}}});
    expectError({Array{item("A")}, Dictionary{}});
    expectError({Array{item("A")}, Dictionary{{"level", 2}}});  // no subItems
    expectError({Array{item("A", {item("a")}), Dictionary{{"text", "B"}, {"subItems", Array{}}}}, Dictionary{{"level", 2}}});
    expectError({Array{item("A", {item("a")}), Dictionary{{"text", "B"}, {"subItems", "x"}}}, Dictionary{{"level", 2}}});
    expectError({threeLevels(), Dictionary{{"level", 4}}});  // the third column's items lead nowhere
    expectError({Array{item("A", {Value(1)})}, Dictionary{{"level", 2}}});

    // Items past the last column need nothing; texts that are not strings show as their text.
    call("show", {Array{item("A", {item("a")}), Dictionary{{"text", 42}, {"subItems", Array{Dictionary{}}}}}, Dictionary{{"level", 2}}});
    ASSERT_TRUE(plugin().maskView());
    EXPECT_EQ(titles(0), (std::vector<std::string>{"A", "42"}));
    wheel().spin(0, 1);
    EXPECT_EQ(titles(1), (std::vector<std::string>{"?"}));
    EXPECT_FALSE(wheel().spin(1, 5));
    tapButton("Done");
    EXPECT_EQ(answers().back().message(), Value(Array{Dictionary{{"text", 42}, {"subItems", Array{Dictionary{}}}}, Dictionary{}}));
}

TEST_F(PickerViewTest, ASecondShowReplacesTheShownPickerAndCancelsItsCall) {
    start();
    call("show", {Array{item("A")}, Dictionary{{"level", 1}}}, "first");
    call("show", {threeLevels(), Dictionary{{"level", 2}}}, "second");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].callbackId, "first");
    EXPECT_EQ(answers()[0].message(), Value("cancel"));
    EXPECT_EQ(viewsOverThePage(), 3u) << "one set of views";
    settle();
    tapButton("Cancel");
    EXPECT_EQ(answers().back().callbackId, "second");
    EXPECT_EQ(viewsOverThePage(), 0u) << "the page is uncovered";

    // An invalid show leaves a shown picker alone.
    call("show", {Array{item("A")}, Dictionary{{"level", 1}}}, "third");
    call("show", {Array{}, Dictionary{{"level", 1}}}, "bad");
    EXPECT_TRUE(plugin().maskView());
    EXPECT_EQ(answers().back().callbackId, "bad");
}

TEST_F(PickerViewTest, HexColourStrings) {
    EXPECT_EQ(PickerViewPlugin::colorWithHexColorString("#FF8000"), Color::fromRGBA255(255, 128, 0));
    EXPECT_EQ(PickerViewPlugin::colorWithHexColorString("0x00ff00"), Color::fromRGBA255(0, 255, 0));
    EXPECT_EQ(PickerViewPlugin::colorWithHexColorString("0000ff"), Color::fromRGBA255(0, 0, 255));
    EXPECT_EQ(PickerViewPlugin::colorWithHexColorString("#fff"), Color::black());
    EXPECT_EQ(PickerViewPlugin::colorWithHexColorString("#ff00ff00"), Color::black());
    EXPECT_EQ(PickerViewPlugin::colorWithHexColorString("#zz0000"), Color::black());
}

TEST_F(PickerViewTest, LongButtonTextsLeaveTheCaptionAndDoneOnTheBar) {
    start();
    m_webView->setBackgroundColor(Color::white());
    Array items{item("A", {}, "The caption")};
    const std::string longCancel = "Cancel and go back to the page without choosing anything at all, please";
    call("show", {items, Dictionary{{"level", 1}, {"cancelButton", Dictionary{{"text", longCancel}}}}});
    settle();
    const Rect bar = plugin().toolbar()->bounds();
    const auto& barItems = plugin().toolbar()->items();
    auto cancel = barItems.front()->viewForBar(), done = barItems.back()->viewForBar();
    const Rect caption = plugin().label()->frame();
    EXPECT_GE(cancel->frame().minX(), 0);
    EXPECT_LE(cancel->frame().maxX(), caption.minX()) << "the cancel title is cut, not the bar";
    EXPECT_EQ(caption.width(), 180) << "the caption keeps its width";
    EXPECT_LE(caption.maxX(), done->frame().minX());
    EXPECT_LE(done->frame().maxX(), bar.maxX());
    EXPECT_GE(done->frame().width(), TextLayout::singleLineWidth("Done", Font::systemFont(17)));
    expectScreen("picker_long_cancel_text");
    tapButton("Done");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].message(), Value(Array{items[0]}));

    // Both texts long: they share what the caption leaves.
    call("show", {items, Dictionary{{"level", 1}, {"cancelButton", Dictionary{{"text", longCancel}}},
                                    {"doneButton", Dictionary{{"text", longCancel + " Done"}}}}});
    settle();
    cancel = plugin().toolbar()->items().front()->viewForBar();
    done = plugin().toolbar()->items().back()->viewForBar();
    EXPECT_NEAR(cancel->frame().width(), done->frame().width(), 1e-9);
    EXPECT_LE(done->frame().maxX(), plugin().toolbar()->bounds().maxX());
    tapButton(longCancel);
    EXPECT_EQ(answers().back().message(), Value("cancel"));
}

TEST_F(PickerViewTest, ThreeColumnsWithTheirCaption) {
    start();
    m_webView->setBackgroundColor(Color::white());
    call("show", {threeLevels(), Dictionary{{"level", 3}}});
    wheel().spin(1, 1);
    settle();
    EXPECT_EQ(plugin().label()->textColor(), Color::black());
    expectScreen("picker_three_columns_caption");
}
