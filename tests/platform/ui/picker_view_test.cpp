#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Label.h"
#include "platform/ui/PickerView.h"

#include "support/LogCapture.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

class Wheels : public PickerViewDataSource, public PickerViewDelegate {
public:
    long numberOfComponents(PickerView&) override { return static_cast<long>(rows.size()); }
    long numberOfRows(PickerView&, long c) override { return rows[static_cast<std::size_t>(c)]; }
    std::optional<std::string> titleForRow(PickerView&, long row, long c) override {
        static const char* provinces[] = {"北京", "上海", "广东", "浙江", "江苏", "四川"};
        if (c == 0)
            return std::string(provinces[row % 6]);
        return (c == 1 ? "Row " : "") + std::to_string(row + 1);
    }
    std::shared_ptr<View> viewForRow(PickerView&, long row, long c, std::shared_ptr<View> reusing) override {
        if (!useViews)
            return nullptr;
        reused += reusing ? 1 : 0;
        auto label = reusing ? std::static_pointer_cast<Label>(reusing) : std::make_shared<Label>();
        label->setText(std::to_string(c) + ":" + std::to_string(row));
        return label;
    }
    std::optional<double> widthForComponent(PickerView&, long c) override {
        return c == 2 ? std::optional<double>(60) : std::nullopt;
    }
    void didSelectRow(PickerView&, long row, long c) override { selections.emplace_back(row, c); }

    std::vector<long> rows{6, 20, 31};
    std::vector<std::pair<long, long>> selections;
    bool useViews = false;
    int reused = 0;
};

} // namespace

TEST(PickerViewTest, SpinTellsTheDelegateAndSelectRowFromCodeDoesNot) {
    auto wheels = std::make_shared<Wheels>();
    PickerView picker;
    picker.setDataSource(wheels);
    picker.setDelegate(wheels);
    EXPECT_EQ(picker.numberOfComponents(), 3);
    EXPECT_EQ(picker.selectedRowInComponent(1), 0);

    picker.selectRow(5, 1, true);
    EXPECT_EQ(picker.selectedRowInComponent(1), 5);
    EXPECT_TRUE(wheels->selections.empty());

    EXPECT_TRUE(picker.spin(2, 30));
    EXPECT_EQ(picker.selectedRowInComponent(2), 30);
    EXPECT_EQ(wheels->selections, (std::vector<std::pair<long, long>>{{30, 2}}));

    hybtest::LogCapture log;
    EXPECT_FALSE(picker.spin(2, 31));
    EXPECT_FALSE(picker.spin(3, 0));
    picker.selectRow(-1, 0, false);
    EXPECT_EQ(picker.selectedRowInComponent(0), 0);
    EXPECT_EQ(wheels->selections.size(), 1u);
    EXPECT_TRUE(log.contains("does not exist"));
    EXPECT_EQ(picker.selectedRowInComponent(7), -1);

    // Fewer rows after a reload: the selection moves to the last row; no rows: -1. Negative counts are 0.
    wheels->rows = {6, 3, -2};
    picker.reloadComponent(1);
    EXPECT_EQ(picker.selectedRowInComponent(1), 2);
    picker.reloadAllComponents();
    EXPECT_EQ(picker.numberOfRows(2), 0);
    EXPECT_EQ(picker.selectedRowInComponent(2), -1);
    EXPECT_TRUE(log.contains("gave -2 rows in component 2"));
    EXPECT_EQ(picker.rowSizeForComponent(2).width, 60);
}

TEST(PickerViewTest, RowViewsAreAskedForOnScreenRowsAndReused) {
    auto wheels = std::make_shared<Wheels>();
    wheels->useViews = true;
    PickerView picker;
    picker.setDataSource(wheels);
    picker.setDelegate(wheels);
    auto shown = picker.viewForRow(0, 1);
    ASSERT_TRUE(shown);
    EXPECT_EQ(std::static_pointer_cast<Label>(shown)->text(), "1:0");
    EXPECT_FALSE(picker.viewForRow(15, 1)) << "far off screen";
    picker.selectRow(15, 1, false);
    EXPECT_TRUE(picker.viewForRow(15, 1));
    EXPECT_GT(wheels->reused, 0);
    EXPECT_LE(picker.subviews().size(), 3u * 9u);
}

TEST(PickerViewTest, AnAnimatedSelectionTurnsTheWheelOnTheClockWhileTheSelectionChangesAtOnce) {
    VirtualClock clock;
    clock.install();
    auto wheels = std::make_shared<Wheels>();
    wheels->useViews = true;
    PickerView picker;
    picker.setDataSource(wheels);
    picker.setDelegate(wheels);
    picker.layoutIfNeeded();
    EXPECT_TRUE(picker.spin(1, 8));
    EXPECT_EQ(picker.selectedRowInComponent(1), 8);
    EXPECT_EQ(picker.wheelPosition(1), 0);
    EXPECT_TRUE(picker.layer()->animationForKey("spin.1"));
    auto row8 = picker.viewForRow(8, 1);
    ASSERT_TRUE(row8);
    const double settled = row8->frame().minY();
    clock.advance(PickerView::kSpinDuration / 2);
    EXPECT_NEAR(picker.wheelPosition(1), 4, 0.01);
    EXPECT_NEAR(row8->presentation(clock.now()).center.y - row8->frame().height() / 2, settled + 4 * PickerView::kDefaultRowHeight, 0.5);
    // Another selection turns on from where the wheel stands.
    picker.selectRow(2, 1, true);
    EXPECT_NEAR(picker.wheelPosition(1), 4, 0.01);
    clock.advance(PickerView::kSpinDuration);
    EXPECT_EQ(picker.wheelPosition(1), 2);
    // From code without animation: at once.
    picker.selectRow(12, 1, false);
    EXPECT_EQ(picker.wheelPosition(1), 12);
    EXPECT_EQ(picker.wheelPosition(5), -1);
    clock.uninstall();
}

TEST(PickerViewRenderTest, ThreeColumns) {
    auto wheels = std::make_shared<Wheels>();
    auto picker = std::make_shared<PickerView>(Rect(0, 0, 320, 216));
    picker->setDataSource(wheels);
    picker->setDelegate(wheels);
    picker->selectRow(2, 0, false);
    picker->selectRow(7, 1, false);
    picker->selectRow(0, 2, false);
    picker->setShowsSelectionIndicator(true);
    hybtest::expectSnapshot(*picker, "picker_three_columns");
}
