// The frame every payment screen is built on: the strip under the status bar, the content scroll view
// with the notice bars pinned at its top, the order header, the Next button, the alert and loading
// boxes, the messages for service failures, the server's alert boxes, the form handling shared by the
// screens that show a server-driven form, the exit that hands the road's result to the host, and the
// re-layout on rotation.
//
// A screen derives from BCBaseViewController, lets `viewDidLoad` run the set-up first and then builds
// its content (`addSubViews`, `addNavigationBar`). Screens are made with `BCBaseViewController::create`
// or std::make_shared: the service, the scroll view and the cells hold the screen weakly.
//
// `exitWithResult` ends the road once: a second call while the result is asked or the dismissal runs is
// ignored.
//
// Main thread only.
#pragma once
#include "cardpay/cells/BCBaseCell.h"
#include "cardpay/cells/BCPointCell.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/promotion/BCPromotionView.h"
#include "cardpay/views/BCADBar.h"
#include "cardpay/views/BCAlertViewEx.h"
#include "cardpay/views/BCNavController.h"
#include "cardpay/views/BCPullListView.h"
#include "platform/ui/Button.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cardpay {

class BCPaymentElementsView;

class BCBaseViewController : public platform::ViewController,
                             public BCNavScreen,
                             public BCAlertViewExDelegate,
                             public BCTextFieldDelegate,
                             public BCPullListViewDelegate,
                             public BCMPServiceDelegate,
                             public BCPromotionViewDelegate,
                             public BCPointCellObserver,
                             public platform::ScrollViewDelegate {
public:
    static constexpr int kPasswordTag = 95516;
    static constexpr int kPointsTag = 9998;
    static constexpr int kAgreementTag = 10001;
    static constexpr double kBarHeight = 44;
    // What runs when a server alert box is closed with no action (the screen's default).
    using DefaultAction = std::function<void()>;

    ~BCBaseViewController() override;

    // Set-up (steps 1-7).
    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    // A screen that leaves (pushed over, popped, the road dismissed) takes its keyboard with it: the
    // focused field resigns and the body is laid out as without a keyboard (the keyboard's will-hide
    // goes to the screen on top by then).
    void viewWillDisappear(bool animated) override;
    platform::StatusBarStyle preferredStatusBarStyle() override;
    static platform::Color createBackgroundColor();
    virtual void resetStatusBar();
    virtual void addContentScrollView();
    virtual void addAdBar();
    virtual void initBCMPService();
    virtual void addSubViews() {}
    virtual void addNavigationBar() {}
    // The order header below the notice bars; answers the y below it.
    double addOrderViewWithStyle(int style);
    // A vertical gradient RGB 0,122,229 -> 0,73,137 as the view's bottom layer.
    static void setColors(platform::View& view);
    void backAction();
    // The screen's own bar at the top offset, titled `title`, whose button (text 10006, "  Back", with
    // the back arrow) runs `backAction`.
    void addBackNavigationBar(const std::optional<std::string>& title);

    // Notice-bar pinning.
    void scrollViewDidScroll(platform::ScrollView& scrollView) override;

    // Next button.
    void addBtnNextWithTitle(const std::string& title, platform::Rect frame, bool enabled, platform::View& onView);
    virtual void nextAction();

    // Boxes: one at a time, the swipe back switched off while one is up.
    void showAlertViewWithTitle(const std::optional<std::string>& title, const std::optional<std::string>& msg,
                                const std::optional<std::string>& btnCancel, const std::optional<std::string>& btnOK);
    // A failure's message under the error title (text 12001) with OK.
    void showAlertViewWithMessage(const std::optional<std::string>& message);
    // A message that reports no failure (what happened, a question) under the notice title (text
    // 12020) with OK.
    void showNoticeWithMessage(const std::string& message);
    void showAlertWithAlertBox(const std::optional<platform::Dictionary>& alertBox, BCAlertViewEx::ActionBlock actionBlock);
    virtual void showLoadingAlertView();
    void showLoadingAlertViewWithMessage(const std::string& message);
    void dismissAlertView();
    void buttonCancelClicked() override;
    void buttonOKClicked() override;

    // Server alert boxes: open, then expired, then temp.
    static std::optional<platform::Dictionary> alertBox();
    static void cleanAlertBox();
    void handleAlertBoxWithDefaultAction(DefaultAction defaultAction);
    // The box's chosen action: "init" back to the road's first screen; "query" (in any case, blanks
    // around it: BCMPService::isResultQuery) asks for the outstanding payment's result (nothing when none
    // is outstanding); any other command is sent as the temporary command, never a payment (one that moves
    // money, BCMPService::moneyMovingCommand, is not sent: a system failure); none runs `defaultAction` on
    // a later turn.
    void handleAlertBoxWithCancelAction(DefaultAction defaultAction, const std::optional<std::string>& actionStr);
    // Pushes the road's screen of that class name (a paying screen is told whether the card is new),
    // animated, after the focused field resigns; `moveOnAfterAlertBox` shows a pending server alert box
    // first, with the push as its default action.
    void pushRoadScreen(std::string_view className, bool newCard);
    void moveOnAfterAlertBox(std::string_view className, bool newCard);

    // Service answers. 3004 (a payment's result, succeeded): `paymentSucceeded`.
    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void comunicateToBCMPDidSucceedWithEvent(int event, const platform::Value& data) override;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;

    // Leaves the road with "success", "fail" or "cancel". Leaving with "cancel" or "fail" while a payment
    // of the order is sent and unsettled (BCPayRoad::orderPaymentUnsettled) asks its result once first,
    // under the loading box, for at most BCPayRoad::kResultWaitOnExit seconds (every screen's requests
    // stop): the road then ends with what BCPayRoad::resultAfterAsking makes of the answer ("success",
    // "fail", or "fail" with the reserved data "unconfirmed" when none came). A confirmed "pay" of the
    // order always leaves with "success".
    void exitWithResult(const std::string& result);

    // Rotation.
    void viewWillTransitionToSize(platform::Size size, platform::TransitionCoordinator& coordinator) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

    // Presents a controller over the current context, animated.
    void viewControllerPresentModalViewController(const std::shared_ptr<platform::ViewController>& presenting,
                                                  const std::shared_ptr<platform::ViewController>& controller);

    // Form handling.
    void initTextFieldArray();
    bool canEnableNextButton() const;
    void textFieldWillChange(platform::TextField& field) override;
    void textFieldChangeType(int type) override;
    void textFieldDidBeginEditing(platform::TextField& field) override;
    bool textFieldShouldEndEditing(platform::TextField& field) override;
    bool textFieldShouldClear(platform::TextField& field) override;
    bool shouldChangeCharacters(platform::TextField& field, platform::TextRange16 range, const std::string& string) override;
    void checkTextFieldClear(platform::TextField& field);
    static std::string floatValueInTextField(const platform::TextField& field, platform::TextRange16 range, const std::string& string);
    // The keyboard coming makes the body end above it and scrolls the focused field (and Next below it)
    // into view; its going gives the body its resting frame and the scroll offset it had before the
    // keyboard came (within the content), so the notice bars show again as they were.
    void keyBoardWillChangeFrame(const platform::Notification& notification) override;
    void keyboareWillHide(const platform::Notification& notification) override;
    // The points cell's caption grew by `offset`: what lies below it in the scroll view moves down.
    void pointCellKeyPathChanged(BCPointCell& cell, double offset) override;
    void smsCodeAction();
    void postSmsMessage(const std::string& params);
    void smsCodeSucceed();
    bool checkSmsParams();
    bool checkPaymentParams();
    std::string smsParams() const;
    virtual std::string paymentParams() const;
    void cleanSecretParams();
    void checkBoxHref(const std::string& href, const std::string& title);
    // Pushes the road's web page for `url` titled `title` (after the focused field resigns). Only web
    // addresses (BCUtils::isWebAddress) are opened; any other is refused with the error alert (text 12022: no
    // try will open it).
    void openWebPage(const std::string& url, const std::string& title);

    // The promotion and instalment views: each call replaces the view it makes (none without an
    // element), adds it to the scroll view at `y` and answers its height (0 without an element).
    void promotionViewWillChange(BCPromotionView& view) override;
    double makePromotionViewAtY(double y);
    double makeInstalmentViewAtY(double y);
    const std::optional<platform::Dictionary>& promotion() const { return m_promotion; }
    void setPromotion(std::optional<platform::Dictionary> promotion) { m_promotion = std::move(promotion); }
    const std::optional<platform::Dictionary>& instalment() const { return m_instalment; }
    void setInstalment(std::optional<platform::Dictionary> instalment) { m_instalment = std::move(instalment); }
    const std::shared_ptr<BCPromotionView>& promotionView() const { return m_promotionView; }
    const std::shared_ptr<BCPromotionView>& instalmentView() const { return m_instalmentView; }

    // What the screens offering both views share. Switching the instalment on asks the server for plans
    // ("instalment" with the promotion's parameter, "" without one) only when that parameter differs from
    // the one sent last (none before the first request); otherwise the view just opens. Without network
    // the view closes, its switch is flipped back and a toast says so (kNoNetworkMessage). Other switches
    // open or close their view.
    static constexpr const char* kNoNetworkMessage = "网络连接异常，请连接网络重试！";
    void promotionAndInstalmentCooperate(BCPromotionView& view) override;
    void promotionViewOpenUrl(const std::string& href, const std::string& title) override;
    // With the instalment on: switched off, and "promotion_change_info" as a toast. A failed plans request
    // sets the switch back off and is not counted as sent.
    void promotionRealPayAmountChange() override;
    // Event 3019: "instalment_empty_info" as a toast with the switch set off (without its block), else
    // the new plans in the instalment view, opened or closed as its switch says.
    void instalmentDidArrive();
    // Flips the instalment switch off when it is on (the view closes through its block); answers whether it was.
    bool switchInstalmentOff();
    void showToast(const std::string& message);
    // "promotion_change_info" as a toast (nothing when the server gave none).
    void showPromotionChangeInfo();
    const std::optional<std::string>& savedPromotion() const { return m_savedPromotion; }

    std::shared_ptr<BCPullListView> pullListView() const override { return m_pullListView; }
    // The class name a screen made by name is registered under (BCScreenRegistry.h); "" for the others.
    virtual std::string_view screenClassName() const { return {}; }

    // The parts (each may be none).
    bool mClientMustBeTerminated() const { return m_clientMustBeTerminated; }
    // A payment's result is being confirmed: Next asks for it (see `paymentResultUnknown`).
    bool awaitingPaymentResult() const { return m_awaitingResult.has_value(); }
    const std::shared_ptr<platform::TextField>& mFocusTextField() const { return m_focusTextField; }
    const std::shared_ptr<platform::ScrollView>& mScrollView() const { return m_scrollView; }
    const std::shared_ptr<BCAlertViewEx>& mAlertView() const { return m_alertView; }
    const std::shared_ptr<platform::Button>& mBtnNext() const { return m_btnNext; }
    const std::shared_ptr<BCNavigationBar>& navigationBar() const { return m_navigationBar; }
    const std::shared_ptr<platform::View>& statusBarBackgroundView() const { return m_statusBarBackgroundView; }
    const std::shared_ptr<BCADBar>& adBar() const { return m_adBar; }
    const std::shared_ptr<BCADBar>& warningBar() const { return m_warningBar; }
    const std::shared_ptr<platform::View>& barBackgroundView() const { return m_barBackgroundView; }
    platform::Rect barBackgroundViewFrame() const { return m_barBackgroundViewFrame; }
    platform::Rect scrollViewFrame() const { return m_scrollViewFrame; }
    const std::shared_ptr<BCMPServiceConsumption>& service() const { return m_service; }
    const std::shared_ptr<BCPaymentElementsView>& paymentElementsView() const { return m_paymentElementsView; }
    void setPaymentElementsView(std::shared_ptr<BCPaymentElementsView> form) { m_paymentElementsView = std::move(form); }
    const std::vector<std::shared_ptr<platform::View>>& mTextFieldsArray() const { return m_textFieldsArray; }

protected:
    BCBaseViewController();
    void setNavigationBar(std::shared_ptr<BCNavigationBar> bar) { m_navigationBar = std::move(bar); }
    // Ends editing: the focused field resigns and is forgotten.
    void endEditing();
    std::shared_ptr<BCBaseViewController> self() { return std::static_pointer_cast<BCBaseViewController>(shared_from_this()); }
    void setSwipeBackEnabled(bool enabled);
    void setTextFieldsArray(std::vector<std::shared_ptr<platform::View>> fields) { m_textFieldsArray = std::move(fields); }
    void setMClientMustBeTerminated(bool terminate) { m_clientMustBeTerminated = terminate; }
    // The payment's result poll failed (2007, or 2011 "open again": the secret fields are cleared) or
    // timed out (2008: OK ends the road with "fail"): the error text in the message alert. 2009 (the
    // result is being confirmed): see `paymentResultUnknown`. Other types do nothing.
    void paymentDidFail(int type, const std::optional<std::string>& error);
    // The answers the screens that send the payment share (user information, paying): 3003 the SMS
    // button counts down; 3019 the instalment plans; 3008 the entrust step, after a pending server alert
    // box. Other events do nothing (3004 is every screen's: see `comunicateToBCMPDidSucceedWithEvent`).
    void paymentScreenDidSucceedWithEvent(int event);
    virtual void willShowPaymentSuccess() {}
    // A payment's result came in as succeeded (3004), on whichever screen asked for it; what it means is
    // the payment BCDataContainer settled. The order paid (a "pay" of this order, confirmed): the PIN
    // block's card number is forgotten, the secret fields are cleared and the success screen is pushed
    // (after `willShowPaymentSuccess`), from any screen but the success screen. The order authorised
    // (BCDataContainer::orderAuthorised), on a screen that authorises: `authorisationConfirmed`, whoever
    // sent it. A card authorised otherwise: when this screen's service sent it, `authorisationConfirmed`;
    // otherwise text 12019 says that nothing is paid yet, and Next (with its own title back) pays.
    void paymentSucceeded();
    virtual void authorisationConfirmed();
    // Whether this screen's service sent the payment.
    bool sentHere(const BCPayment& payment) const;
    // What a "00" for this screen's own payment command means (Authorised: the screen authorises the card).
    virtual BCPayment::Meaning paymentMeaning() const { return BCPayment::Meaning::Paid; }
    // While a payment's result is awaited (BCDataContainer::paymentOutstanding) Next asks for the result
    // instead of paying again: answers whether it did so (under the loading box).
    bool askForPaymentResultInstead();
    // The result could not be had (2009): the secret fields are cleared, Next reads text 10019 ("Check
    // Result") and stays enabled until the result is known, and the box says the result is being
    // confirmed (the message, else text 12017) with Cancel and "Check Result", which asks again.
    void paymentResultUnknown(const std::optional<std::string>& message);

    double mYOffset = 0;

private:
    // The road's exit proper: the host's state given back, the road dismissed, `result` handed over.
    void leaveRoad(const std::string& result);
    void trackFailure(const std::string& message) const;
    void enableSmsButton() const;
    void enableNextButton(bool enabled) const;
    double placePromotionView(std::shared_ptr<BCPromotionView>& view, const std::optional<platform::Dictionary>& element,
                              double y, double leftMargin, unsigned type);

    void checkPaymentResult();
    // Once the result is known (no payment outstanding): Next gets its title back and follows the form.
    void paymentResultKnown();
    // The body back at rest after the keyboard: its resting frame, the offset from before the keyboard.
    void restoreBodyAfterKeyboard(double duration);

    bool m_clientMustBeTerminated = false;
    std::optional<std::string> m_awaitingResult;  // Next's own title while the result is awaited
    bool m_keyboardWillHidden = false;
    bool m_exiting = false;
    std::shared_ptr<platform::TextField> m_focusTextField;
    std::shared_ptr<platform::ScrollView> m_scrollView;
    std::optional<platform::Point> m_offsetBeforeKeyboard;  // the body's offset when the keyboard came
    std::shared_ptr<BCAlertViewEx> m_alertView;
    std::shared_ptr<platform::Button> m_btnNext;
    std::shared_ptr<BCPaymentElementsView> m_paymentElementsView;
    std::shared_ptr<BCNavigationBar> m_navigationBar;
    platform::Rect m_scrollViewFrame;
    std::shared_ptr<platform::View> m_statusBarBackgroundView;
    std::shared_ptr<BCMPServiceConsumption> m_service;
    std::shared_ptr<BCADBar> m_adBar;
    std::shared_ptr<BCADBar> m_warningBar;
    std::shared_ptr<platform::View> m_barBackgroundView;
    platform::Rect m_barBackgroundViewFrame;
    std::shared_ptr<BCPullListView> m_pullListView;
    std::vector<std::shared_ptr<platform::View>> m_textFieldsArray;
    std::optional<platform::Dictionary> m_promotion, m_instalment;
    std::shared_ptr<BCPromotionView> m_promotionView, m_instalmentView;
    std::optional<std::string> m_savedPromotion;  // the promotion parameter of the last instalment request
};

} // namespace cardpay
