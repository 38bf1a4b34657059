// The paying screen: the payment form of the last rules-type answer ("rules", or "followrules" after
// the entrust step) under the order header, with the answer's agreement box when it has one, and a Next
// button titled by the answer's button (text 10002 when it names none).
//
// Next checks the form and the agreement box, then posts "pay" and polls its result. The parameter text
// of "pay" (also what a server alert box's command is sent with) is, in this order:
//   "pay_type":"1", "pay_mode": the default pay mode ("1" when none is stored),
//   "first_pay_flag": BCDataContainer's flag ("0" for a new card, "1" for a bound one when none is stored),
//   "card": the bound card's id when the flag is "1", else "pan": the typed card number,
//   then the form's parameters and the agreement box's "name":"value" when the box names one.
// The PIN block is bound to the typed card's number, or to none for a bound card.
// Members whose value is unknown are left out.
//
// Answers are those every paying screen shares (BCBaseViewController::paymentScreenDidSucceedWithEvent
// and `paymentDidFail`): the success screen, the entrust step, a failed or timed-out payment, a result
// being confirmed (Next then asks for the result, never pays again). A login elsewhere on the road
// ("NotificationLogin") takes the stack back to its root order screen.
//
// Promotion and instalment: the screen shows the views of the elements it was given (`setPromotion`,
// `setInstalment`), else of those BCDataContainer holds, which it then takes out of the container. They
// sit between the order header and the form (promotion above instalment), and their parameters follow
// the form's in "pay". Switching the instalment on asks the server for the plans ("instalment" with the
// promotion's parameter) only when that parameter differs from the one sent last; otherwise the view
// just opens. Without network the switch is undone and a toast says so. When a promotion choice changes
// the amount to pay while the instalment is on, the instalment is switched off with the toast
// "promotion_change_info". A failed request for plans sets the switch back off.
//
// Screens are made by class name: `registerScreen` registers this one.
//
// Main thread only.
#pragma once

#include "cardpay/promotion/BCPromotionNotifications.h"
#include "cardpay/screens/BCFormScreen.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cardpay {

inline constexpr std::string_view kPayingScreenClass = "BCPayingViewController";

class BCPayingViewController : public BCFormScreen {
public:
    static void registerScreen();

    BCPayingViewController() = default;
    ~BCPayingViewController() override;

    // Whether the payment is for a card typed on the road (true) or a bound card (false, the default).
    void setMNewCard(bool newCard) { m_newCard = newCard; }
    bool mNewCard() const { return m_newCard; }
    std::string_view screenClassName() const override { return kPayingScreenClass; }

    void viewDidLoad() override;
    void addSubViews() override;
    void nextAction() override;
    std::string paymentParams() const override;
    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;
    void pullListAnimationDidStart(double offset) override;

    void promotionViewWillChangeFrameWithOffset(BCPromotionView& view, double offset) override;

private:
    void loginDidChange();
    // "1" when a bound card is paid with, "0" for a typed one.
    std::string firstPayFlag() const;
    void addPromotionViews();
    // Moves the views from `first` on in the stack (promotion, instalment, form, agreement box, Next)
    // down by `offset` and grows the content by it.
    void moveStackDown(std::size_t first, double offset);

    bool m_newCard = false;
};

// The screen of that class name (none when it is not registered); a paying screen is told whether its
// card is new.
std::shared_ptr<BCBaseViewController> makeRoadScreen(std::string_view className, bool newCard);

} // namespace cardpay
