#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Image.h"
#include "platform/ui/Screen.h"
#include "platform/ui/TableView.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/Window.h"

#include "support/LogCapture.h"
#include "support/Snapshot.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

using Events = std::vector<std::string>;

class Rows : public TableViewDataSource, public TableViewDelegate {
public:
    long numberOfSections(TableView&) override { return static_cast<long>(counts.size()); }
    long numberOfRows(TableView&, long section) override { return counts[static_cast<std::size_t>(section)]; }
    std::shared_ptr<TableViewCell> cellForRow(TableView& table, IndexPath p) override {
        auto cell = table.dequeueReusableCell("row");
        if (!cell) {
            cell = std::make_shared<TableViewCell>(TableViewCellStyle::Default, "row");
            ++made;
        }
        cell->textLabel()->setText("Row " + std::to_string(p.section) + "." + std::to_string(p.row));
        ++asked;
        return cell;
    }
    std::optional<IndexPath> willSelectRow(TableView&, IndexPath p) override {
        events.push_back("willSelect " + std::to_string(p.section) + "." + std::to_string(p.row));
        if (p.row == 1)
            return std::nullopt;
        return p;
    }
    void didSelectRow(TableView&, IndexPath p) override { events.push_back("didSelect " + std::to_string(p.section) + "." + std::to_string(p.row)); }
    void didDeselectRow(TableView&, IndexPath p) override { events.push_back("didDeselect " + std::to_string(p.section) + "." + std::to_string(p.row)); }

    std::vector<long> counts{3, 2, 4};
    int made = 0, asked = 0;
    Events events;
};

class ScrollRecorder : public ScrollViewDelegate {
public:
    void scrollViewDidScroll(ScrollView&) override { events.push_back("scroll"); }
    void scrollViewWillBeginDragging(ScrollView&) override { events.push_back("willBeginDragging"); }
    void scrollViewDidEndDragging(ScrollView&, bool decelerate) override { events.push_back(decelerate ? "endDragging+" : "endDragging"); }
    void scrollViewDidEndDecelerating(ScrollView&) override { events.push_back("endDecelerating"); }
    Events events;
};

} // namespace

TEST(TableViewTest, TapRowSelectsOnceAndDeselectsThePrevious) {
    auto rows = std::make_shared<Rows>();
    auto table = std::make_shared<TableView>(Rect(0, 0, 320, 480), TableViewStyle::Plain);
    table->setDataSource(rows);
    table->setTableDelegate(rows);
    table->reloadData();
    EXPECT_EQ(table->numberOfSections(), 3);

    EXPECT_TRUE(table->tapRow(2, 0));
    EXPECT_EQ(rows->events, (Events{"willSelect 2.0", "didSelect 2.0"}));
    EXPECT_EQ(table->indexPathForSelectedRow(), (IndexPath{2, 0}));
    EXPECT_TRUE(table->cellForRow({2, 0})->isSelected());

    rows->events.clear();
    EXPECT_FALSE(table->tapRow(0, 1)) << "willSelect refused";
    EXPECT_TRUE(table->tapRow(0, 2));
    EXPECT_EQ(rows->events, (Events{"willSelect 0.1", "willSelect 0.2", "didDeselect 2.0", "didSelect 0.2"}));
    EXPECT_FALSE(table->cellForRow({2, 0})->isSelected());

    hybtest::LogCapture log;
    rows->events.clear();
    EXPECT_FALSE(table->tapRow(1, 2));
    EXPECT_FALSE(table->tapRow(-1, 0));
    table->selectRow(IndexPath{7, 0}, false);
    EXPECT_TRUE(rows->events.empty());
    EXPECT_EQ(table->indexPathForSelectedRow(), (IndexPath{0, 2}));
    EXPECT_TRUE(log.contains("does not exist"));

    table->deselectRow({0, 2}, true);
    EXPECT_FALSE(table->indexPathForSelectedRow());
    EXPECT_TRUE(rows->events.empty()) << "selection from code tells no one";
}

TEST(TableViewTest, TouchesOnACellSelectItsRow) {
    VirtualClock clock;
    clock.install();
    auto rows = std::make_shared<Rows>();
    auto window = Window::create(Screen::main().bounds());
    auto table = std::make_shared<TableView>(window->bounds(), TableViewStyle::Plain);
    table->setDataSource(rows);
    table->setTableDelegate(rows);
    window->addSubview(table);
    window->makeKeyAndVisible();
    table->layoutIfNeeded();
    EXPECT_EQ(table->visibleCells().size(), 9u);
    auto hit = TouchDriver::tapAt(window, Point(100, 44 * 3 + 10));  // row 0 of section 1
    EXPECT_TRUE(hit && hit->isDescendantOf(*table));
    EXPECT_EQ(rows->events, (Events{"willSelect 1.0", "didSelect 1.0"}));
    window->setHidden(true);
    clock.uninstall();
}

TEST(TableViewTest, OnlyVisibleRowsHaveCellsWhileScrollingAHugeTable) {
    auto rows = std::make_shared<Rows>();
    rows->counts = {100000};
    auto table = std::make_shared<TableView>(Rect(0, 0, 320, 440), TableViewStyle::Plain);
    table->setDataSource(rows);
    table->reloadData();
    EXPECT_EQ(table->contentSize().height, 100000 * 44.0);
    EXPECT_EQ(table->visibleCells().size(), 10u);
    for (int step = 0; step < 10000; ++step)
        table->userScroll(Point(0, step * 44.0 * 10 + 22));
    EXPECT_LE(table->visibleCells().size(), 11u);
    EXPECT_LE(rows->made, 12) << "cells are reused";
    EXPECT_EQ(table->cellForRow({0, 99990 + 1})->textLabel()->text(), "Row 0.99991");
    EXPECT_FALSE(table->cellForRow({0, 0}));
    EXPECT_EQ(table->indexPathForRow(Point(5, 44 * 500 + 1)), (IndexPath{0, 500}));
}

TEST(TableViewTest, BadCountsAreReadAsZero) {
    hybtest::LogCapture log;
    auto rows = std::make_shared<Rows>();
    rows->counts = {-5, 2};
    auto table = std::make_shared<TableView>(Rect(0, 0, 320, 440), TableViewStyle::Plain);
    table->setDataSource(rows);
    table->reloadData();
    EXPECT_EQ(table->numberOfRows(0), 0);
    EXPECT_EQ(table->numberOfRows(1), 2);
    EXPECT_TRUE(log.contains("gave -5 rows in section 0"));
}

TEST(TableViewTest, MissingCellIsAnInternalInconsistency) {
    struct NoCells : TableViewDataSource {
        long numberOfRows(TableView&, long) override { return 1; }
        std::shared_ptr<TableViewCell> cellForRow(TableView&, IndexPath) override { return nullptr; }
    };
    auto source = std::make_shared<NoCells>();
    auto table = std::make_shared<TableView>(Rect(0, 0, 320, 440), TableViewStyle::Plain);
    table->setDataSource(source);
    EXPECT_DEATH(table->reloadData(), "no cell for row 0 of section 0");
}

TEST(ScrollViewTest, DragsBouncesPagingAndAnimatedOffsets) {
    VirtualClock clock;
    clock.install();
    auto scroll = std::make_shared<ScrollView>(Rect(0, 0, 100, 100));
    scroll->setContentSize(Size(100, 1000));
    auto recorder = std::make_shared<ScrollRecorder>();
    scroll->setDelegate(recorder);

    EXPECT_TRUE(scroll->drag(Point(0, 50)));
    EXPECT_EQ(recorder->events, (Events{"willBeginDragging", "scroll", "endDragging"}));
    EXPECT_EQ(scroll->contentOffset(), Point(0, 50));

    recorder->events.clear();
    scroll->drag(Point(0, -80));  // past the top: bounces back
    EXPECT_EQ(scroll->contentOffset(), Point(0, -30));
    EXPECT_EQ(recorder->events.back(), "endDragging+");
    clock.advance(ScrollView::kAnimationDuration);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 0));
    EXPECT_EQ(recorder->events.back(), "endDecelerating");

    scroll->setBounces(false);
    scroll->drag(Point(0, 5000));
    EXPECT_EQ(scroll->contentOffset(), Point(0, 900)) << "stops at the end";
    scroll->setContentInset({10, 0, 20, 0});
    scroll->userScroll(Point(0, -50));
    EXPECT_EQ(scroll->contentOffset(), Point(0, -10));
    scroll->userScroll(Point(0, 5000));
    EXPECT_EQ(scroll->contentOffset(), Point(0, 920));

    scroll->setScrollEnabled(false);
    EXPECT_FALSE(scroll->drag(Point(0, -100)));
    scroll->userScroll(Point(0, 0));
    EXPECT_EQ(scroll->contentOffset(), Point(0, 920));

    scroll->setScrollEnabled(true);
    scroll->setContentInset({});
    scroll->setContentOffset(Point(0, 0));
    scroll->setPagingEnabled(true);
    scroll->drag(Point(0, 140));
    clock.advance(ScrollView::kAnimationDuration);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 100)) << "snapped to the nearest page";

    recorder->events.clear();
    scroll->setContentOffset(Point(0, 500), true);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 100));
    clock.advance(0.1);
    double midway = scroll->contentOffset().y;
    EXPECT_GT(midway, 100);
    EXPECT_LT(midway, 500);
    clock.advance(0.25);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 500));
    EXPECT_GT(recorder->events.size(), 2u);

    scroll->scrollRectToVisible(Rect(0, 700, 100, 40), false);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 640));
    scroll->scrollRectToVisible(Rect(0, 10, 100, 40), false);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 10));
    scroll->scrollRectToVisible(Rect(0, 0, 100, 1e300), false);
    EXPECT_EQ(scroll->contentOffset(), Point(0, 0));
    clock.uninstall();
}

namespace {

// Four rows, one in each cell style, with accessories; a header per section in grouped style.
class StyleRows : public TableViewDataSource, public TableViewDelegate {
public:
    long numberOfSections(TableView& t) override { return t.style() == TableViewStyle::Grouped ? 2 : 1; }
    long numberOfRows(TableView& t, long) override { return t.style() == TableViewStyle::Grouped ? 2 : 4; }
    std::shared_ptr<TableViewCell> cellForRow(TableView& t, IndexPath p) override {
        long n = t.style() == TableViewStyle::Grouped ? p.section * 2 + p.row : p.row;
        auto style = static_cast<TableViewCellStyle>(n);
        static const char* names[] = {"Default 默认", "Value 1", "Value 2", "Subtitle 副标题"};
        auto cell = std::make_shared<TableViewCell>(style, "s");
        cell->textLabel()->setText(names[n]);
        if (cell->detailTextLabel())
            cell->detailTextLabel()->setText(n == 2 ? "订单金额 12.00" : "Detail");
        if (n == 0)
            cell->imageView()->setImage(Image::solidColor(Color::fromRGBA255(52, 120, 246), Size(24, 24)));
        cell->setAccessoryType(n == 1 ? TableViewCellAccessoryType::DisclosureIndicator
                                      : n == 3 ? TableViewCellAccessoryType::Checkmark : TableViewCellAccessoryType::None);
        return cell;
    }
};

} // namespace

TEST(TableViewRenderTest, PlainAndGroupedWithTheFourCellStyles) {
    auto rows = std::make_shared<StyleRows>();
    auto root = std::make_shared<View>(Rect(0, 0, 640, 260));
    root->setBackgroundColor(Color::grey(0.5));
    auto plain = std::make_shared<TableView>(Rect(0, 0, 315, 260), TableViewStyle::Plain);
    auto grouped = std::make_shared<TableView>(Rect(325, 0, 315, 260), TableViewStyle::Grouped);
    for (auto& t : {plain, grouped}) {
        t->setDataSource(rows);
        t->setTableDelegate(rows);
        root->addSubview(t);
        t->reloadData();
    }
    plain->selectRow(IndexPath{0, 2}, false);
    auto header = std::make_shared<View>(Rect(0, 0, 315, 30));
    header->setBackgroundColor(Color::fromRGBA255(250, 210, 0));
    grouped->setTableHeaderView(header);
    hybtest::expectSnapshot(*root, "tables_plain_grouped_cell_styles");
}
