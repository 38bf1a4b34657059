// The promotion panel: a sheet that slides up from the bottom of the screen over a dimming mask, with
// one tab per item of a promotion element (discounts, coupons, points). It posts the points query and
// the coupon check through the frame's service object, handles their replies, and hands the option the
// user picks to its controller (the promotion view that opened it), then closes.
//
// Use: `initWithContent` with the element; set `myController`; add `view()` to the screen's view and
// call `showPannel`. Closing (the mask, the close button, a choice) slides the sheet away and, when the
// animation completes, takes the view out of its superview. The panel can be shown again.
//
// The element: "items" (each with "label", "type", "options", "button", "action", "empty_info",
// "rules", "use_button") and "default_item_idx" (the integer value of a text: the tab shown first; an
// index outside the items selects no tab and no default row).
//
// Points: the first opening of a "point" tab without "button" queries the item's "action". While the
// reply's "status" is "01" the first "point" item's action is queried again 10 seconds later (main
// queue; nothing is sent when the panel is gone by then) with the reply's "uuid"; the sixth and later
// replies show "无行业积分可以使用". Coupons: a valid code posts the check with the loading box; the
// reply's first option confirms the coupon; an invalid code shows text 12016.
//
// Main thread only. The controller is held weakly.
#pragma once

#include "cardpay/promotion/BCPromotionContentView.h"
#include "cardpay/promotion/BCPromotionPannelViewDelegate.h"
#include "cardpay/promotion/BCPromotionTabBarViewController.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "platform/runloop/Notification.h"
#include "platform/ui/Touch.h"

#include <memory>
#include <optional>
#include <string>

namespace cardpay {

class BCPromotionPannelViewController : public BCBaseViewController, public BCPromotionTabBarViewDelegate {
public:
    static constexpr double kAnimationDuration = 0.5;
    static constexpr double kPointsRequeryDelay = 10;
    // Points replies answered normally; later ones show kNoPointsMessage.
    static constexpr int kMaxPointsReplies = 5;
    static constexpr double kPhoneHeight = 420;
    static constexpr double kTabletHeight = 600;
    static constexpr const char* kQueryingMessage = "正在查询...";
    static constexpr const char* kNoPointsMessage = "无行业积分可以使用";

    // Observes the pages' notifications from now until it is destroyed.
    static std::shared_ptr<BCPromotionPannelViewController> initWithContent(const platform::Dictionary& content);
    ~BCPromotionPannelViewController() override;

    void viewDidLoad() override;
    void showPannel();
    void closeAction();

    void promotionTabBarSelect(unsigned long index) override;
    void getScore(const std::string& command, const std::optional<std::string>& uuid);
    void getCoupon(const std::string& command, const std::string& element);

    // The pages' notifications (posts of other panels' pages are not this panel's).
    void panelViewSelectCoupon(const platform::Notification& notification);
    void couponViewVerify(const platform::Notification& notification);
    void couponFormatErr(const platform::Notification& notification);

    using BCBaseViewController::comunicateToBCMPDidSucceedWithEvent;
    void comunicateToBCMPDidSucceedWithEvent(int event, const platform::Value& data) override;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;

    std::shared_ptr<BCPromotionPannelViewDelegate> myController() const { return m_myController.lock(); }
    void setMyController(std::weak_ptr<BCPromotionPannelViewDelegate> controller) { m_myController = std::move(controller); }
    const std::shared_ptr<BCPromotionTabBarViewController>& myTabBar() const { return m_myTabBar; }
    const std::shared_ptr<BCPromotionContentView>& myContentView() const { return m_myContentView; }
    const std::optional<std::string>& uuid() const { return m_uuid; }
    const std::shared_ptr<platform::Button>& closeButton() const { return m_closeButton; }
    const std::shared_ptr<platform::View>& maskView() const { return m_maskView; }
    const std::shared_ptr<platform::TapGestureRecognizer>& maskGesture() const { return m_maskGesture; }
    const std::shared_ptr<platform::View>& pannelView() const { return m_pannelView; }
    const platform::Dictionary& myContentDic() const { return m_myContentDic; }
    double pannelHeight() const { return m_pannelHeight; }
    int scoreRequestCount() const { return m_scoreRequestCount; }

    explicit BCPromotionPannelViewController(platform::Dictionary content);

private:
    const platform::Array& items() const { return m_myContentDic["items"].arrayOrEmpty(); }
    // The item at an index, or none outside the items.
    const platform::Dictionary* item(std::size_t index) const;
    std::optional<std::size_t> defaultItemIndex() const;
    void observePages();
    // Whether one of this panel's own pages posted it.
    bool fromOwnPage(const platform::Notification& notification) const;
    void handlePoints(const platform::Dictionary& params);
    void schedulePointsRequery();
    void placeCloseButton();

    std::shared_ptr<platform::Button> m_closeButton;
    std::shared_ptr<platform::View> m_maskView;
    std::shared_ptr<platform::TapGestureRecognizer> m_maskGesture;
    std::shared_ptr<platform::View> m_pannelView;
    platform::Dictionary m_myContentDic;
    bool m_firstGetPoints = true;
    bool m_firstOpenPannel = true;
    double m_pannelHeight;
    int m_scoreRequestCount = 0;
    std::shared_ptr<BCPromotionTabBarViewController> m_myTabBar;
    std::shared_ptr<BCPromotionContentView> m_myContentView;
    std::weak_ptr<BCPromotionPannelViewDelegate> m_myController;
    std::optional<std::string> m_uuid;
};

} // namespace cardpay
