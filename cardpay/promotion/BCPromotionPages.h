// The pages that fill the tabs of the promotion panel: an option list (discounts, and points once they
// are known), the coupon page and the login page. They talk to the panel and to the paying screen only
// through the notifications of BCPromotionNotifications.h.
//
// An option is a dictionary with "label", "value", "rel_label", "rel_value", "rel_value_style" and
// "available"; values that are not texts count as absent. Main thread only.
#pragma once

#include "cardpay/cells/BCBaseCell.h"
#include "cardpay/cells/BCInputCells.h"
#include "platform/core/Value.h"
#include "platform/ui/Button.h"
#include "platform/ui/Label.h"
#include "platform/ui/TableView.h"

#include <memory>
#include <optional>
#include <string>

namespace cardpay {

// One row of an option list, with its mark at the right:
//   state 0  not selectable       no mark
//   state 1  the chosen row       image 20004
//   state 2  selectable, free     image 20011
class BCPromotionListCell : public platform::TableViewCell {
public:
    static constexpr const char* kReuseIdentifier = "PromotionItem";

    BCPromotionListCell(platform::TableViewCellStyle style, const std::string& reuseIdentifier);

    const std::shared_ptr<platform::ImageView>& indicatorImageView() const { return m_indicatorImageView; }
    const platform::Image::Ptr& indicatorImage() const { return m_indicatorImage; }
    void setIndicatorImage(platform::Image::Ptr image);
    unsigned cellState() const { return m_cellState; }
    void setCellState(unsigned state);

protected:
    void layoutSubviews() override;

private:
    std::shared_ptr<platform::ImageView> m_indicatorImageView;
    platform::Image::Ptr m_indicatorImage;
    unsigned m_cellState = 0;
    std::shared_ptr<platform::View> m_bottomLine;
};

// The state of a row: 0 when the integer value of the option's "available" is 1, else 1 for the
// chosen row and 2 for the others.
unsigned promotionCellState(const platform::Value& option, long row, long selectedIndex);

// A list of options. A tap on a selectable row posts "NotificationListViewCoupon" with the option at
// once; half a second later (main queue, only while the list lives) the row becomes the chosen one.
class BCPromotionListViewController : public platform::TableViewController,
                                      public platform::TableViewDataSource,
                                      public platform::TableViewDelegate {
public:
    static constexpr double kRowHeight = 44;
    static constexpr double kMarkDelay = 0.5;

    static std::shared_ptr<BCPromotionListViewController> initWithFrame(platform::Rect frame);
    explicit BCPromotionListViewController(platform::Rect frame);

    void viewDidLoad() override;
    long numberOfSections(platform::TableView&) override { return 1; }
    long numberOfRows(platform::TableView&, long section) override;
    std::shared_ptr<platform::TableViewCell> cellForRow(platform::TableView&, platform::IndexPath indexPath) override;
    void didSelectRow(platform::TableView&, platform::IndexPath indexPath) override;
    void tableReload();

    const platform::Array& myDataSource() const { return m_myDataSource; }
    void setMyDataSource(platform::Array options) { m_myDataSource = std::move(options); }
    long selectedIndex() const { return m_selectedIndex; }
    void setSelectedIndex(long index) { m_selectedIndex = index; }

private:
    platform::Rect m_myFrame;
    platform::Array m_myDataSource;
    long m_selectedIndex = -1;
};

// The coupon page of a "coupon" item: "rules" (rule 0 the code field, a form element of type
// "coupon_code" with "button_label", "button_action" and "name"; rule 1 a hint of type "string" with
// "label" and "value") and "use_button" with "label".
//
// Two states: entering (check button titled by the server, use button disabled) and confirmed (check
// button "换一张", use button enabled). A code is valid when it is 8 to 32 ASCII letters and digits.
class BCPromotionCouponView : public platform::View, public BCTextFieldDelegate {
public:
    static constexpr const char* kCodePattern = "[A-Za-z0-9]{8,32}";
    static constexpr const char* kChangeTitle = "换一张";

    // Builds the page at once.
    static std::shared_ptr<BCPromotionCouponView> initWithFrame(platform::Rect frame, const platform::Dictionary& content);
    BCPromotionCouponView(platform::Rect frame, platform::Dictionary content);

    static bool isValidCode(const std::string& code);

    void addUseButtonWithTitle(const std::string& title);
    void verifyAction();
    // The confirmed coupon (the first option of the coupon reply); none changes nothing.
    void refreshViewWithData(const std::optional<platform::Dictionary>& coupon);
    void changeCoupon();
    void useCouponAction();

    const std::optional<platform::Dictionary>& myCouponDic() const { return m_myCouponDic; }
    const std::shared_ptr<platform::Button>& verifyButton() const { return m_verifyButton; }
    const std::shared_ptr<platform::Button>& useButton() const { return m_useButton; }
    const std::shared_ptr<BCCouponCell>& myCouponCell() const { return m_myCouponCell; }
    const std::shared_ptr<platform::Label>& couponTipLabel() const { return m_couponTipLabel; }

    void textFieldChangeType(int) override {}

private:
    void addSubviews();
    platform::Size tipSize(const std::string& text) const;
    std::shared_ptr<platform::Label> makeTipLabel(const std::string& text) const;
    std::string hintText() const;
    std::optional<platform::Dictionary> rule(std::size_t index) const;
    void setVerifyTarget(bool confirmed);

    platform::Dictionary m_myContentDic;
    std::shared_ptr<platform::Button> m_verifyButton;
    std::shared_ptr<platform::Button> m_useButton;
    std::shared_ptr<BCCouponCell> m_myCouponCell;
    std::shared_ptr<platform::Label> m_couponTipLabel;
    std::optional<platform::Dictionary> m_myCouponDic;
};

// The login page of a points item that asks the user to log in first: "tip" and "button" with "label".
class BCPromotionLoginView : public platform::View {
public:
    static std::shared_ptr<BCPromotionLoginView> initWithFrame(platform::Rect frame, const platform::Dictionary& content);
    BCPromotionLoginView(platform::Rect frame, platform::Dictionary content);

    void loginAcition();

    const std::shared_ptr<platform::Label>& tipLabel() const { return m_tipLabel; }
    const std::shared_ptr<platform::Button>& loginButton() const { return m_loginButton; }

private:
    void addSubviews();

    platform::Dictionary m_myContentDic;
    std::shared_ptr<platform::Label> m_tipLabel;
    std::shared_ptr<platform::Button> m_loginButton;
};

// The background images of the pages' action buttons: images 20012-20014 with the configuration
// list, else solid blue, darker blue and grey.
void setPromotionButtonBackgrounds(platform::Button& button);

} // namespace cardpay
