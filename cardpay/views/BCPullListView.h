// The order header: the order rows and the risk notice (BCOrderView) in a white panel that folds to the
// first two rows and unfolds to all of them. Its frame's height is its current height; a fold or unfold
// animates for kAnimationDuration on the platform clock and tells the delegate the height change at its
// start.
//
// Styles: 0 starts folded, 1 starts unfolded, 2 (under the success title) shows everything and does not
// fold. A panel whose rows all fit the folded height has no fold control.
// Main thread only.
#pragma once

#include "cardpay/views/BCOrderViews.h"
#include "platform/ui/Button.h"

#include <memory>

namespace cardpay {

class BCPullListViewDelegate {
public:
    virtual ~BCPullListViewDelegate() = default;
    virtual void pullListAnimationDidStart(double /*heightChange*/) {}
};

class BCPullListView : public platform::View {
public:
    static constexpr double kPadding = 10;
    static constexpr double kToggleHeight = 24;
    static constexpr double kAnimationDuration = 0.3;

    // Rows from BCDataContainer's mOrderInfoArray, the notice from its riskInfo.
    BCPullListView(platform::Rect frame, std::weak_ptr<BCPullListViewDelegate> delegate, int style);

    bool isFolded() const { return m_folded; }
    bool canFold() const { return m_toggle != nullptr; }
    void setFolded(bool folded, bool animated = true);
    void toggle() { setFolded(!m_folded); }
    const std::shared_ptr<BCOrderView>& orderView() const { return m_orderView; }
    const std::shared_ptr<platform::Button>& toggleButton() const { return m_toggle; }
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration);

private:
    double heightFor(bool folded) const;
    void layout(bool folded);

    std::weak_ptr<BCPullListViewDelegate> m_delegate;
    int m_style = 0;
    bool m_folded = false;
    std::shared_ptr<platform::View> m_clip;
    std::shared_ptr<BCOrderView> m_orderView;
    std::shared_ptr<platform::Button> m_toggle;
    // Lives as long as the view: the fold control's action reaches the view through it.
    std::shared_ptr<BCPullListView*> m_alive = std::make_shared<BCPullListView*>(this);
};

} // namespace cardpay
