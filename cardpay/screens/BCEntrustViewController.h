// The card-authorisation step ("entrust"): pushed when a rules-type answer carries "entrust_rules". Under
// the order header it shows the authorisation form of "entrust_rules", the answer's agreement box when it
// has one, and a Next button whose text and command come from the answer's button ("label", "action").
//
// Next checks the form and posts the button's command as a pre-command with the form's parameters; the
// service polls its result. Authorised (3004 for this screen's own pre-command): "followrules" with the
// same parameters; its answer (3009) pushes the paying screen for the new card, after a pending server
// alert box when there is one. A "pay" of the order confirmed here (asked for while it was outstanding)
// opens the success screen instead, and an authorisation another screen sent says only that nothing is
// paid yet (BCBaseViewController::paymentSucceeded). Refused (2007 for this screen's own pre-command):
// when the answer allowed going on ("fail_continue" "0") a Retry / Skip alert, Skip asking for
// "followrules" as after an authorisation and Retry leaving the form to correct; otherwise (and for any
// other payment) the secret fields are cleared and the message shown. A poll that timed out (2008) shows
// its message. A button without an "action" text sends nothing: Next shows text 12003. A server alert
// box's command is what its name makes it (BCMPService::moneyMovingCommand). Once the order's
// authorisation with this step's card is confirmed, here or on a screen gone since (its late answer had by asking the result),
// the screen goes on with "followrules" and Next never authorises the order again.
//
// Once shown, the screen takes the lowest paying or user-information screen out of the stack (Back skips
// it), tracks the page "entrust_View" and sets the tracking prefix "entrust_" while it is on top.
//
// Main thread only.
#pragma once

#include "cardpay/screens/BCFormScreen.h"

#include <optional>
#include <string_view>

namespace cardpay {

inline constexpr std::string_view kEntrustScreenClass = "BCEntrustViewController";

class BCEntrustViewController : public BCFormScreen {
public:
    static void registerScreen();

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void addSubViews() override;
    void nextAction() override;
    void buttonOKClicked() override;
    void buttonCancelClicked() override;
    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;
    void authorisationConfirmed() override;
    BCPayment::Meaning paymentMeaning() const override { return BCPayment::Meaning::Authorised; }
    std::string_view screenClassName() const override { return kEntrustScreenClass; }

    // The answer's button as it was when the screen loaded.
    const platform::Dictionary& entrustActionButton() const { return m_entrustActionButton; }
    bool canGetFollowRules() const { return m_canGetFollowRules; }

private:
    void initActions();
    void postFollowRules();

    bool m_canGetFollowRules = false;
    platform::Dictionary m_entrustActionButton;
};

} // namespace cardpay
