// The account-pay screen shown once the user is logged in. Under the order header its body (`mainView`)
// stacks the user's information, the bound card to pay with and that card's payment form, the agreement
// box and the account-pay link ("indicator"), and Next; without bound cards it shows the "empty_info"
// text, or the card-number field titled by "add_card_tip" (on a BCMP transaction the text again, with
// Next leading back to the first screen).
//
// Choosing a card in the list asks for that card's form at once ("rules", account pay mode "2") and
// rebuilds the body under the user information when it arrives (3006). Next sends the payment itself
// ("pay" with the form's parameters) and waits for the result poll: 3004 opens the success screen, 2007
// clears the secret fields, 2008 ends the road with "fail" at OK. A phone-number change asks for the
// card's form again and goes on to the paying screen. Without bound cards Next asks for the typed card's
// form ("bindcardrules") or leaves.
//
// A promotion and an instalment chooser are offered when the answer has their elements (taken out of the
// state object at each build); their choices join the payment's parameters.
//
// Made by class name ("BCUserInfoViewController", `registerScreen`). Main thread only.
#pragma once

#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/views/BCCheckBoxViews.h"
#include "cardpay/views/BCListView.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCWidgets.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace cardpay {

class BCUserInfoViewController : public BCBaseViewController, public BCListViewDelegate, public BCCheckBoxDelegate {
public:
    static constexpr char kPageName[] = "loginpay_View";

    BCUserInfoViewController() = default;
    ~BCUserInfoViewController() override;
    // Registers this class under its name for the start and order screens.
    static void registerScreen();
    std::string_view screenClassName() const override { return kUserInfoScreenClass; }

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void addNavigationBar() override;
    void addSubViews() override;
    // The promotion and instalment elements move from the state object into the screen; the card lines
    // are made from "user_cards".
    void initLocalDatas();
    // The body rebuilt from the user information down, for the card whose form has just arrived.
    void refreshCardRulesView();

    void showBindCardsList();
    void listViewDidSelectedAtIndex(BCListView& list, long index) override;
    void pullListAnimationDidStart(double offset) override;
    // The phone cell's change button: the shown card's form is asked for again.
    void modifyAction(const std::optional<std::string>& action) override;
    void pointCellKeyPathChanged(BCPointCell& cell, double offset) override;
    void checkBoxHref(const std::string& url, const std::string& title) override { BCBaseViewController::checkBoxHref(url, title); }
    void nextAction() override;
    void cancelAction();
    void buttonOKClicked() override;
    void buttonCancelClicked() override;
    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    using BCBaseViewController::comunicateToBCMPDidSucceedWithEvent;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;
    // A chooser grew or shrank: what lies below it in the body moves. The promotion changing while the
    // instalment is on switches the instalment off, with "promotion_change_info" half a second later.
    void promotionViewWillChangeFrameWithOffset(BCPromotionView& view, double offset) override;

    void showSupportedBank();
    void pushViewToBindUrlViewContriller();

    // The parts (each may be none).
    const std::shared_ptr<platform::View>& mainView() const { return m_mainView; }
    const std::shared_ptr<BCPaymentElementsView>& userInfoView() const { return m_userInfoView; }
    const std::shared_ptr<platform::View>& indicatorView() const { return m_indicatorView; }
    const std::shared_ptr<BCDefaultCardView>& defaultCardView() const { return m_defaultCardView; }
    const std::shared_ptr<BCListView>& cardListView() const { return m_cardListView; }
    const std::shared_ptr<BCNewBankCardCell>& cardInputCell() const { return m_cardInputCell; }
    const std::shared_ptr<BCLabel>& noCardLabel() const { return m_noCardLabel; }
    const std::shared_ptr<BCUnderLineButton>& bindLink() const { return m_bindLink; }
    const std::shared_ptr<BCUnderLineButton>& supportedBanksLink() const { return m_supportedBanksLink; }
    const std::vector<std::string>& bindCardDescriptions() const { return m_bindCardDescriptions; }
    bool noBindCards() const { return m_noBindCards; }
    bool isBCMP() const { return m_isBCMP; }
    bool mExitPlugin() const { return m_exitPlugin; }
    bool handleModifyPhone() const { return m_handleModifyPhone; }
    long long selectedCardIndex() const { return m_selectedCardIndex; }
    long long indexBeforeSelected() const { return m_indexBeforeSelected; }

private:
    std::weak_ptr<BCUserInfoViewController> weakSelf();
    std::shared_ptr<BCCheckBoxView> agreementBox() const;
    // Each answers the height it takes from `y` inside the body.
    double addCardListViewWithOriginY(double y);
    // The frame's promotion (or instalment) view for the element held, moved into the body at `y`.
    double addPromotionViewAtY(double y);
    double addInstalmentViewAtY(double y);
    double addCardRules(const platform::Array& rules, double y);
    double addIndicatorViewWithOriginY(double y);
    double showNoCardInfoAtY(double y);
    double makeInputAtY(double y);
    void addNextButton(const std::string& title, double y, bool enabled);
    std::shared_ptr<BCUnderLineButton> makeLink(platform::Rect frame, const std::string& title, void (BCUserInfoViewController::*action)());
    void postCommonCmd(const std::string& command);
    // The id of the bound card at `index`, none outside the list.
    std::optional<std::string> cardIdAtIndex(long long index) const;
    void willShowPaymentSuccess() override;
    void pushViewControllerToPayingViewController(bool newCard);
    void growBody(double offset);

    std::shared_ptr<BCPaymentElementsView> m_userInfoView;
    std::shared_ptr<platform::View> m_indicatorView;
    std::shared_ptr<platform::View> m_mainView;
    bool m_noBindCards = false;
    bool m_exitPlugin = false;
    bool m_isBCMP = false;
    bool m_handleModifyPhone = false;
    long long m_selectedCardIndex = 0;
    long long m_indexBeforeSelected = 0;
    std::shared_ptr<BCDefaultCardView> m_defaultCardView;
    std::shared_ptr<BCListView> m_cardListView;
    std::shared_ptr<BCNewBankCardCell> m_cardInputCell;
    std::vector<std::string> m_bindCardDescriptions;

    std::shared_ptr<BCLabel> m_noCardLabel;
    std::shared_ptr<BCUnderLineButton> m_bindLink;
    std::shared_ptr<BCUnderLineButton> m_supportedBanksLink;
    std::shared_ptr<platform::View> m_formTopLine;
    // The state object of the road this screen belongs to (not made anew when the screen goes after the
    // road has ended).
    std::weak_ptr<BCDataContainer> m_container;
};

} // namespace cardpay
