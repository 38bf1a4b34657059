// The card-entry screen: a bar titled as the order screen with a Back button, the order header, the card-number block made from the init answer's "input_info"
// and a Next button (the init answer's "init_button" label). Next checks the number's length (text 12014
// when it is not legal, nothing sent), then asks for the card's payment form: "rules" with the number as
// "pan" from the order road, "bindcardrules" with the card cell's parameter when made for the account
// (the user-information road). The answer moves on like the order screen: 3006 to the paying screen,
// 3008 to the entrust screen (made by class name), after a pending server alert box when there is one.
//
// Main thread only.
#pragma once

#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/screens/BCBaseViewController.h"

#include <memory>

namespace cardpay {

class BCInputCardViewController : public BCBaseViewController {
public:
    static std::shared_ptr<BCInputCardViewController> initForAccount(bool forAccount);
    // Registers the screen by its class name as the order road's card entry (not for the account).
    static void registerScreen();
    explicit BCInputCardViewController(bool forAccount) : m_forAccount(forAccount) {}

    void addNavigationBar() override;
    void addSubViews() override;
    void viewDidLoad() override;
    void nextAction() override;
    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

    bool isForAccount() const { return m_forAccount; }
    const std::shared_ptr<BCNewBankCardCell>& cardCell() const { return m_cardCell; }

private:
    bool m_forAccount;
    std::shared_ptr<BCNewBankCardCell> m_cardCell;
};

} // namespace cardpay
