// The paying screen: the payment form of the last rules-type answer ("rules", or "followrules" after
// the entrust step) under the order header, with the answer's agreement box when it has one, and a Next
// button titled by the answer's button (text 10002 when it names none).
//
// Next checks the form and the agreement box, then posts "pay" and polls its result. The parameter text
// of "pay" (also what a server alert box's command is sent with) is, in this order:
//   "pay_type":"1", "pay_mode": the default pay mode ("1" when none is stored),
//   "first_pay_flag": BCDataContainer's flag ("0" for a new card, "1" for a bound one when none is stored),
//   "pan": the typed card number (a new card) or "card": the bound card's id,
//   then the form's parameters and the agreement box's "name":"value" when the box names one.
// Members whose value is unknown are left out.
//
// Answers: 3003 SMS code sent; 3004 paid: the PIN block's card number is forgotten, the secret fields are
// cleared and the success screen is pushed; 3008 the entrust step is pushed (after a pending server alert
// box). A failed payment (2007) clears the secret fields and shows the message; a timed-out one (2008)
// shows the message and its OK ends the road with "fail". A login elsewhere on the road
// ("NotificationLogin") takes the stack back to its root order screen.
//
// Screens are made by class name: `registerScreen` registers this one.
//
// Main thread only.
#pragma once

#include "cardpay/screens/BCFormScreen.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace cardpay {

inline constexpr std::string_view kPayingScreenClass = "BCPayingViewController";
inline constexpr const char* kLoginNotification = "NotificationLogin";

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

private:
    void loginDidChange();

    bool m_newCard = false;
};

// The screen of that class name (none when it is not registered); a paying screen is told whether its
// card is new.
std::shared_ptr<BCBaseViewController> makeRoadScreen(std::string_view className, bool newCard);

} // namespace cardpay
