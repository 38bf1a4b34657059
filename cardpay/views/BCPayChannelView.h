// The pay-channel chooser under a payment screen's body: one tappable row per channel title, stacked with
// a gap above and separator lines between. The data source gives the titles; the delegate hears the
// tapped row's index and, once per layout, that the view's height is final (the rows' total).
//
// Setting the data source lays the rows out (the delegate should be set first); `reloadData` does it
// again. Delegate and data source are held weakly. Main thread only.
#pragma once

#include "platform/ui/Button.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewController.h"

#include <memory>
#include <string>
#include <vector>

namespace cardpay {

class BCPayChannelView;

class BCPayChannelViewDataSource {
public:
    virtual ~BCPayChannelViewDataSource() = default;
    virtual int numberOfSectionsInPayChannelView() = 0;
    virtual std::string titleOfSectionsAtIndex(int index) = 0;
};

class BCPayChannelViewDelegate {
public:
    virtual ~BCPayChannelViewDelegate() = default;
    virtual void didChoosedChannelAtIndex(int index) = 0;
    virtual void didPayChannelViewFinishedLayout(BCPayChannelView& view) = 0;
};

class BCPayChannelView : public platform::View {
public:
    static constexpr double kRowHeight = 44;
    static constexpr double kTopGap = 10;

    explicit BCPayChannelView(platform::Rect frame);

    void setDelegate(std::weak_ptr<BCPayChannelViewDelegate> delegate) { m_delegate = std::move(delegate); }
    void setDataSource(std::weak_ptr<BCPayChannelViewDataSource> dataSource);
    void reloadData();
    // The rows are laid out again at the view's (already changed) width; no height report.
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

    const std::vector<std::shared_ptr<platform::Button>>& rows() const { return m_rows; }

private:
    void layoutRows();

    std::weak_ptr<BCPayChannelViewDelegate> m_delegate;
    std::weak_ptr<BCPayChannelViewDataSource> m_dataSource;
    std::vector<std::shared_ptr<platform::Button>> m_rows;
    std::vector<std::shared_ptr<platform::View>> m_lines;
};

} // namespace cardpay
