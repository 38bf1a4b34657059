// The block with which a payment screen offers one promotion (type 0) or one instalment plan (type 1):
// a switch row (`BCToggleView`) to take part, a chooser row naming the current choice, and a line with
// the amount the choice yields. The view turns the choice into the parameter text of the payment
// command (`optionParams`) and tells its screen when its height, its switch or the real amount changes.
//
// Elements come from the server: every key may be missing or of another type. A missing or malformed
// value counts as absent, except an option's "available": present and anything but the text "0", the
// option may not be sent. An index outside the items or plans chooses nothing. The parameter is always
// empty or one JSON member ("name":"value", both escaped).
//
// Opening and closing follow the switch through the screen, which calls `animationWithStatus`: an open
// view shows the three rows, a closed one its switch row only (45 points), the rest clipped.
//
// Main thread only. The screen (delegate) is held weakly; the toggle's blocks hold the view weakly.
#pragma once

#include "cardpay/promotion/BCPromotionPannelViewDelegate.h"
#include "cardpay/views/BCLabel.h"
#include "cardpay/views/BCListView.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/core/Value.h"
#include "platform/ui/AttributedString.h"
#include "platform/ui/Button.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace cardpay {

class BCPromotionPannelViewController;

// The switch row: a title, an optional link and a box showing image 20015 (on) or 20016 (off). A tap on
// the box flips the state and calls the action block with the new state.
class BCToggleView : public platform::View {
public:
    using ActionBlock = std::function<void(bool on)>;
    using LinkBlock = std::function<void()>;

    static double boxHeight() { return 44; }

    // The plain view.
    explicit BCToggleView(platform::Rect frame = {});
    // At `origin.x` (the row is 44 points high and the view centred in it; `origin.y` is not used),
    // reaching the main screen's right edge less `origin.x`. `urlDic`: "label" of the link button.
    BCToggleView(platform::Point origin, const std::string& title, const std::optional<platform::Dictionary>& urlDic,
                 ActionBlock actionBlock, LinkBlock linkBlock);
    BCToggleView(platform::Point origin, const std::string& title, ActionBlock actionBlock);

    // A touch flipped the state: the box changes and the action block runs.
    void tapAction();
    // Sets the state (and the box) without the block.
    void setSelected(bool selected);
    bool selected() const { return m_selected; }
    // The link was touched: the link block runs.
    void installmentDesAction();
    void chageBackgroundColor() {}

    const ActionBlock& actionBlcok() const { return m_actionBlcok; }
    void setActionBlcok(ActionBlock block) { m_actionBlcok = std::move(block); }
    const LinkBlock& linkBlock() const { return m_linkBlock; }
    void setLinkBlock(LinkBlock block) { m_linkBlock = std::move(block); }

    const std::shared_ptr<platform::ImageView>& imageViewCheckBox() const { return m_imageViewCheckBox; }
    const std::shared_ptr<BCLabel>& titleLabel() const { return m_titleLabel; }
    const std::shared_ptr<platform::Button>& linkButton() const { return m_linkButton; }

private:
    std::shared_ptr<platform::ImageView> m_imageViewCheckBox;
    std::shared_ptr<BCLabel> m_titleLabel;
    std::shared_ptr<platform::Button> m_linkButton;
    bool m_selected = false;
    ActionBlock m_actionBlcok;
    LinkBlock m_linkBlock;
    std::shared_ptr<BCToggleView*> m_alive = std::make_shared<BCToggleView*>(this);
};

class BCPromotionView;

// The screen's side; every call is optional (the defaults do nothing).
class BCPromotionViewDelegate {
public:
    virtual ~BCPromotionViewDelegate() = default;
    // The user flipped the switch (`view.didSelected()` is the new state). Opening or closing is the
    // screen's call (`animationWithStatus`).
    virtual void promotionAndInstalmentCooperate(BCPromotionView& /*view*/) {}
    // The view's height changes by `offset` (negative: shrinks); what lies below should move with it.
    // Called inside the view's animation when the change is animated.
    virtual void promotionViewWillChangeFrameWithOffset(BCPromotionView& /*view*/, double /*offset*/) {}
    // The chooser row was tapped; the plan list or the panel opens next.
    virtual void promotionViewWillChange(BCPromotionView& /*view*/) {}
    // The switch row's link was tapped.
    virtual void promotionViewOpenUrl(const std::string& /*href*/, const std::string& /*title*/) {}
    // The chosen panel option yields another amount than the one before.
    virtual void promotionRealPayAmountChange() {}
};

class BCPromotionView : public platform::View, public BCListViewDelegate, public BCPromotionPannelViewDelegate {
public:
    enum Type : unsigned { Promotion = 0, Instalment = 1 };
    static constexpr double kHideHeight = 45;
    static constexpr double kAnimationDuration = 0.25;

    // Builds the rows; the frame takes the given origin and width and the open or closed height.
    static std::shared_ptr<BCPromotionView> create(platform::Rect frame, const platform::Dictionary& promotion,
                                                   double leftMargin, unsigned type);
    ~BCPromotionView() override;

    // The screen: a view controller that is also the delegate; its view hosts the plan list and the panel.
    template <class Screen>
    void setDelegate(const std::shared_ptr<Screen>& screen) {
        static_assert(std::is_base_of_v<platform::ViewController, Screen> && std::is_base_of_v<BCPromotionViewDelegate, Screen>);
        m_delegate = std::weak_ptr<BCPromotionViewDelegate>(screen);
        m_screen = std::weak_ptr<platform::ViewController>(screen);
    }
    std::shared_ptr<BCPromotionViewDelegate> delegate() const { return m_delegate.lock(); }

    // The parameter for the payment command: "name":"value" of the current choice, or "" while the
    // switch is off or the choice may not be sent.
    std::string optionParams();
    // Opens (true) or closes the view in a 0.25-second animation; opening an open view or closing a
    // closed one changes nothing.
    void animationWithStatus(bool open);
    // The plans of the screen's instalment request replace those shown: their labels, the values and
    // flags sent and the amount line; the choice goes back to the first plan. What the row shows, the
    // amount line and `optionParams` are always the same plan.
    void refreshInstalmentList(const platform::Dictionary& element);
    // `isAvailable` for that option: false when it has an "available" other than "0", else the switch.
    void checheAvailableWithContent(const std::optional<platform::Dictionary>& option);
    // The amount line: "rel_label" + "rel_value", the amount bold in the "rel_value_style" colour.
    static platform::AttributedString attributedStringFromInfo(const platform::Dictionary& option);
    // The chooser row was tapped: the panel (type 0) or the plan list (type 1) opens over the screen.
    void showPromotionListView();

    void listViewDidSelectedAtIndex(BCListView& list, long index) override;
    void panelViewWithCoupon(const platform::Dictionary& option) override;

    bool didSelected() const { return m_didSelected; }
    // Marks the switch's state without the box or the chooser row (see `BCToggleView::setSelected`).
    void setDidSelected(bool selected) { m_didSelected = selected; }
    bool isAvailable() const { return m_isAvailable; }
    const platform::Dictionary& promotionContent() const { return m_promotionContent; }
    unsigned promotionViewType() const { return m_promotionViewType; }
    void setPromotionViewType(unsigned type) { m_promotionViewType = type; }
    const std::shared_ptr<BCToggleView>& checkBox() const { return m_checkBox; }
    const std::shared_ptr<BCDefaultCardView>& promotionRow() const { return m_promotionView; }
    const std::shared_ptr<BCLabel>& promotionAmountLabel() const { return m_promotionAmountLabel; }
    const std::shared_ptr<platform::View>& amountLabelBg() const { return m_amountLabelBg; }
    const std::shared_ptr<BCLineView>& bottomLine() const { return m_bottomLine; }
    const std::vector<std::string>& promotionLabels() const { return m_promotionLabels; }
    // The instalment plans offered (type 1): the element's, then those of the last refresh.
    const platform::Array& plans() const { return m_plans; }
    long selectIndex() const { return m_selectIndex; }
    double hideHeight() const { return m_hideHeight; }
    double totalHeight() const { return m_totalHeight; }
    const std::optional<std::string>& selectValue() const { return m_selectValue; }
    const std::optional<platform::Dictionary>& selectOption() const { return m_selectOption; }
    const std::shared_ptr<BCPromotionPannelViewController>& myPannel() const { return m_myPannel; }

protected:
    BCPromotionView(platform::Rect frame, const platform::Dictionary& promotion, double leftMargin, unsigned type);

private:
    // Builds the rows; answers the height for the switch's state.
    double makePromotionAndInstalment();
    void switchFlipped(bool on);
    void openPannel(platform::View& host);
    // The amount line shows the option's caption and amount (made when the view has none yet); the view
    // grows or shrinks with it, telling the delegate while it is open. Empty amounts are shown as none.
    void showAmountOf(const platform::Dictionary& option);
    // The open height: the rows' total plus what the amount line grew by since.
    double openHeight() const { return m_totalHeight + m_amountGrowth; }
    std::string eventName(const char* suffix) const;

    std::shared_ptr<BCDefaultCardView> m_promotionView;
    std::shared_ptr<BCLabel> m_promotionAmountLabel;
    long m_selectIndex = 0;
    std::vector<std::string> m_promotionLabels;
    double m_hideHeight = kHideHeight;
    double m_totalHeight = 0;
    double m_amountGrowth = 0;
    double m_leftMargin = 0;
    std::shared_ptr<platform::View> m_amountLabelBg;
    std::shared_ptr<BCLineView> m_bottomLine;
    std::optional<std::string> m_selectValue;
    std::optional<platform::Dictionary> m_selectOption;
    std::optional<platform::Dictionary> m_selectCouponDic;
    platform::Array m_startOptions;
    platform::Array m_plans;
    bool m_didSelected = false;
    bool m_isAvailable = false;
    std::weak_ptr<BCPromotionViewDelegate> m_delegate;
    std::weak_ptr<platform::ViewController> m_screen;
    platform::Dictionary m_promotionContent;
    std::shared_ptr<BCToggleView> m_checkBox;
    unsigned m_promotionViewType = Promotion;
    std::shared_ptr<BCPromotionPannelViewController> m_myPannel;
};

} // namespace cardpay
