// The pay-channel chooser: rows from the data source, taps and the final-height report.
#include "cardpay/views/BCPayChannelView.h"
#include "support/Snapshot.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

using namespace cardpay;

namespace {

class Channels : public BCPayChannelViewDataSource, public BCPayChannelViewDelegate {
public:
    int numberOfSectionsInPayChannelView() override { return int(titles.size()); }
    std::string titleOfSectionsAtIndex(int index) override { return titles.at(std::size_t(index)); }
    void didChoosedChannelAtIndex(int index) override { chosen.push_back(index); }
    void didPayChannelViewFinishedLayout(BCPayChannelView& view) override { heights.push_back(view.frame().size.height); }
    std::vector<std::string> titles;
    std::vector<int> chosen;
    std::vector<double> heights;
};

} // namespace

class CardPayChannelView : public hybtest::TempHomeTest {};

TEST_F(CardPayChannelView, OneRowPerTitleAndTheHeightReportedOnce) {
    auto channels = std::make_shared<Channels>();
    channels->titles = {"PayDirectly", "Pay with a card reader"};
    auto view = std::make_shared<BCPayChannelView>(platform::Rect(0, 100, 375, 0));
    view->setDelegate(channels);
    view->setDataSource(channels);
    ASSERT_EQ(view->rows().size(), 2u);
    const double height = BCPayChannelView::kTopGap + 2 * BCPayChannelView::kRowHeight;
    EXPECT_EQ(channels->heights, std::vector<double>{height});
    EXPECT_EQ(view->frame(), platform::Rect(0, 100, 375, height));

    view->rows()[1]->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    view->rows()[0]->sendActionsForControlEvents(platform::kControlEventTouchUpInside);
    EXPECT_EQ(channels->chosen, (std::vector<int>{1, 0}));

    view->setFrame(platform::Rect(0, 100, 667, height));
    view->willRotateToInterfaceOrientation(platform::InterfaceOrientation::LandscapeLeft, 0.3);
    EXPECT_EQ(view->rows()[1]->frame().size.width, 667);
    EXPECT_EQ(channels->heights.size(), 1u);  // the height did not change
    hybtest::expectSnapshot(*view, "pay_channels");
}

TEST_F(CardPayChannelView, NoTitlesNoHeightAndAGoneDelegateIsNotCalled) {
    auto channels = std::make_shared<Channels>();
    auto view = std::make_shared<BCPayChannelView>(platform::Rect(0, 0, 375, 0));
    view->setDelegate(channels);
    view->setDataSource(channels);
    EXPECT_TRUE(view->rows().empty());
    EXPECT_EQ(channels->heights, std::vector<double>{0});

    channels->titles = {"PayAccount"};
    view->reloadData();
    std::weak_ptr<Channels> weak = channels;
    auto row = view->rows().at(0);
    channels.reset();
    EXPECT_TRUE(weak.expired());
    row->sendActionsForControlEvents(platform::kControlEventTouchUpInside);  // nothing to tell: no crash
}
