// The reward-points cell and the form's answer to its height changes.
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/cells/BCPointCell.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/views/BCTextSize.h"

#include <gtest/gtest.h>

using namespace cardpay;
using platform::Array;
using platform::Dictionary;
using platform::Rect;

namespace {

struct Screen : BCTextFieldDelegate, BCPointCellObserver {
    void textFieldChangeType(int) override {}
    void pointCellKeyPathChanged(BCPointCell&, double offset) override { offsets.push_back(offset); }
    std::vector<double> offsets;
};

const Dictionary kPoints{{"type", "point"}, {"name", "points"}, {"placeholder", "Points"}, {"max_use_point", "500"},
                         {"ordr_amnt", "100.00"}, {"point", "1200"}, {"ratio", "0.01"}};

std::string localized(int id) { return BCLocale::instance()->getStringById(id); }

class CardPayPoints : public ::testing::Test {
protected:
    void SetUp() override { BCDataContainer::destory(); }
    void TearDown() override { BCDataContainer::destory(); }
    std::shared_ptr<Screen> screen = std::make_shared<Screen>();
};

} // namespace

TEST_F(CardPayPoints, NumbersTheCellAccepts) {
    EXPECT_DOUBLE_EQ(BCPointCell::floatFromString(std::string("12.5")), 12.5);
    for (const char* odd : {"abc", "12abc", " 12", "", "inf", "nan", "1e999"})
        EXPECT_DOUBLE_EQ(BCPointCell::floatFromString(std::string(odd)), 0) << odd;
    EXPECT_DOUBLE_EQ(BCPointCell::floatFromString(std::nullopt), 0);

    {
        auto cell = BCBaseCell::create<BCPointCell>(Rect(0, 0, 375, 0), kPoints, screen);
        EXPECT_DOUBLE_EQ(BCDataContainer::instance()->maxCanUsePoint(), 500);
        EXPECT_EQ(cell->textField()->tag(), BCPointCell::kTag);
        EXPECT_EQ(cell->textField()->keyboardType(), platform::KeyboardType::DecimalPad);
        EXPECT_TRUE(cell->isLegalLength());  // empty
        EXPECT_EQ(cell->param(), std::nullopt);
        const auto legal = [&](const std::string& text) {
            cell->setText(text);
            return cell->isLegalLength();
        };
        EXPECT_FALSE(legal("12.345"));
        EXPECT_TRUE(legal("12.34"));
        EXPECT_TRUE(legal("500"));
        EXPECT_FALSE(legal("500.01"));
        EXPECT_TRUE(legal("."));
        EXPECT_EQ(cell->param(), std::nullopt);  // a lone point is worth 0
        for (const char* bad : {"1e5", "-1", "abc"})
            EXPECT_FALSE(legal(bad)) << bad;
        cell->setText("0");
        EXPECT_EQ(cell->param(), std::nullopt);
        cell->setText("12.5");
        EXPECT_EQ(cell->param(), "\"points\":\"12.50\"");
    }
    EXPECT_DOUBLE_EQ(BCDataContainer::instance()->maxCanUsePoint(), 0);  // the cell went

    Dictionary odd = kPoints;
    odd.set("max_use_point", "lots");
    odd.set("ordr_amnt", 7);
    auto cell = BCBaseCell::create<BCPointCell>(Rect(0, 0, 375, 0), odd, screen);
    EXPECT_DOUBLE_EQ(BCDataContainer::instance()->maxCanUsePoint(), 0);
    cell->setText("1");
    EXPECT_FALSE(cell->isLegalLength());
}

TEST_F(CardPayPoints, CaptionShowsTheRestToPay) {
    auto cell = BCBaseCell::create<BCPointCell>(Rect(0, 0, 375, 0), kPoints, screen);
    ASSERT_TRUE(cell->captionView());
    ASSERT_TRUE(cell->hintView());
    EXPECT_EQ(cell->captionView()->label()->text(), formatText(localized(13016), "500"));
    EXPECT_EQ(cell->hintView()->label()->text(), formatText(formatText(localized(13018), "1200"), "0.01"));
    EXPECT_DOUBLE_EQ(cell->frame().size.height, cell->hintView()->frame().maxY());
    EXPECT_DOUBLE_EQ(cell->bgView()->frame().origin.y, cell->captionView()->frame().size.height + 5);
    EXPECT_DOUBLE_EQ(cell->textField()->frame().origin.y, cell->bgView()->frame().origin.y);

    const auto caption = cell->changeAmount(500);
    ASSERT_TRUE(caption);
    const std::string head = formatText(localized(13016), "500") + localized(13017);
    EXPECT_EQ(caption->string(), head + "95.00 " + localized(13019));  // "95.00 yuan": the word set off by a blank
    // Green head, red rest, green currency word.
    bool red = false;
    for (const auto& run : caption->runs())
        if (run.foregroundColor && *run.foregroundColor == BCUtils::redTextColor())
            red = true;
    EXPECT_TRUE(red);
    EXPECT_FALSE(cell->changeAmount(0));
}

TEST_F(CardPayPoints, AWrappingCaptionMovesTheViewsBelow) {
    BCPaymentElementsView form(Rect(0, 0, 230, 0), Array{kPoints, Dictionary{{"type", "text"}, {"name", "remark"}}}, screen);
    auto cell = std::static_pointer_cast<BCPointCell>(form.elementArray()[0]);
    auto below = form.elementArray()[1];
    EXPECT_EQ(BCDataContainer::instance()->pointCell(), cell);
    const double belowY = below->frame().origin.y;
    const double formHeight = form.frame().size.height;
    const double cellHeight = cell->frame().size.height;

    const std::string longer = formatText(localized(13016), "500") + localized(13017) + "95.00 " + localized(13019);
    const platform::Font font = platform::Font::systemFont(16);
    const double textWidth = 230 - 2 * BCPointCell::kTextInset;  // the caption's text keeps the insets free
    const double grow = newSizeWithFont(longer, font, textWidth, platform::LineBreakMode::WordWrap).height -
                        newSizeWithFont(formatText(localized(13016), "500"), font, textWidth, platform::LineBreakMode::WordWrap).height;
    ASSERT_GT(grow, 0);
    cell->shouldChangeAmout(500);
    EXPECT_DOUBLE_EQ(cell->keyPath(), grow);
    EXPECT_DOUBLE_EQ(below->frame().origin.y, belowY + grow);
    EXPECT_DOUBLE_EQ(form.frame().size.height, formHeight + grow);
    EXPECT_DOUBLE_EQ(cell->frame().size.height, cellHeight + grow);
    EXPECT_EQ(screen->offsets, std::vector<double>{grow});

    cell->shouldChangeAmout(500);  // the same caption: nothing moves
    EXPECT_EQ(screen->offsets.size(), 1u);
    cell->shouldChangeAmout(0);
    EXPECT_DOUBLE_EQ(cell->keyPath(), -grow);
    EXPECT_DOUBLE_EQ(below->frame().origin.y, belowY);
    EXPECT_DOUBLE_EQ(form.frame().size.height, formHeight);
}

TEST_F(CardPayPoints, TheRestToPayIsNeverNegativeAndTheTextsKeepTheirInsets) {
    // 500 points at 1 yuan against an order of 1.00: nothing left to pay, not "-499.00".
    Dictionary rich = kPoints;
    rich.set("ordr_amnt", "1.00");
    rich.set("ratio", "1");
    auto cell = BCBaseCell::create<BCPointCell>(Rect(0, 0, 375, 0), rich, screen);
    cell->shouldChangeAmout(500);
    const std::string caption = cell->captionView()->label()->text();
    EXPECT_NE(caption.find(localized(13017) + "0.00 " + localized(13019)), std::string::npos) << caption;
    EXPECT_EQ(caption.find('-'), std::string::npos) << caption;
    cell->shouldChangeAmout(0.5);
    EXPECT_NE(cell->captionView()->label()->text().find("0.50 "), std::string::npos);

    // The caption and the hint span the cell; their texts start 12 points in, like the other captions.
    for (const auto& view : {cell->captionView(), cell->hintView()}) {
        EXPECT_DOUBLE_EQ(view->frame().origin.x, 0);
        EXPECT_DOUBLE_EQ(view->frame().size.width, 375);
        EXPECT_DOUBLE_EQ(view->label()->leftTextInset(), BCPointCell::kTextInset);
        EXPECT_DOUBLE_EQ(view->label()->textRectForBounds(view->label()->bounds(), 0).origin.x, BCPointCell::kTextInset);
    }
}
