// The order-information screen, first payment screen of the road. Under the order header it shows one
// body chosen from the init answer and the pay mode (100 account pay, 101 card pay): the login form, the
// default bound card, a card-number field, the merchant's fixed card, or only the card-medium channel;
// the root screen adds the pay channels (the other pay mode first, then the card medium). Next posts the
// body's command ("rules" by card id or number, "getuserinfo" with the login form) and moves on by the
// answer: 3006 paying, 3008 entrust, 3016 user information (after storing the typed login name
// enciphered), 3005 refreshes the bound cards after an unbind. The root screen's Cancel asks first.
//
// Main thread only.
#pragma once

#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/views/BCListView.h"
#include "cardpay/views/BCOrderViews.h"
#include "cardpay/views/BCPayChannelView.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace cardpay {

class BCOrderInfoViewController : public BCBaseViewController,
                                  public BCPayChannelViewDelegate,
                                  public BCPayChannelViewDataSource,
                                  public BCListViewDelegate {
public:
    static constexpr int kAccountPay = 100;
    static constexpr int kCardPay = 101;

    BCOrderInfoViewController(int payMode, bool isRoot) : m_payMode(payMode), m_isRootViewController(isRoot) {}
    // Registers this class under its name for the start screen and the pay-mode switch.
    static void registerScreen();

    void viewDidLoad() override;
    void viewDidAppear(bool animated) override;
    void viewDidDisappear(bool animated) override;
    void addNavigationBar() override;
    void addSubViews() override;
    void makeDatas();

    void nextAction() override;
    void cancelAction();
    void buttonOKClicked() override;
    void buttonCancelClicked() override;
    void comunicateToBCMPDidSucceedWithEvent(int event) override;
    void comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;
    void pullListAnimationDidStart(double offset) override;

    int numberOfSectionsInPayChannelView() override { return static_cast<int>(m_payChannels.size()); }
    std::string titleOfSectionsAtIndex(int index) override;
    void didChoosedChannelAtIndex(int index) override;
    void didPayChannelViewFinishedLayout(BCPayChannelView& view) override;
    void listViewDidSelectedAtIndex(BCListView& list, long index) override;
    void listViewDidDeletedAtIndex(BCListView& list, long index) override;

    void showBindCardsList();
    void showSupportedBank();
    void showFindPwd();
    void showReg();
    void refreshCommCard();

    int payMode() const { return m_payMode; }
    bool isRootViewController() const { return m_isRootViewController; }
    bool mNewCard() const { return m_newCard; }
    const std::vector<std::string>& payChannels() const { return m_payChannels; }
    const std::shared_ptr<platform::View>& mSubView() const { return m_subView; }
    const std::shared_ptr<BCPayChannelView>& mPayChannelView() const { return m_payChannelView; }
    const std::shared_ptr<BCNewBankCardCell>& mBankCell() const { return m_bankCell; }
    const std::shared_ptr<BCDefaultCardView>& defaultCardView() const { return m_defaultCardView; }
    const std::shared_ptr<BCListView>& listView() const { return m_listView; }
    long commCardIndex() const { return m_commCardIndex; }

private:
    std::weak_ptr<BCOrderInfoViewController> weakSelf();
    double beginBody();
    void endBody(double height);
    std::shared_ptr<BCLableCell> addTitle(int textId);
    void addNext(double y, bool enabled);
    void addPayChannelView(double y);
    std::shared_ptr<BCUnderLineButton> addLink(const std::string& title, const platform::Font& font, platform::Rect frame,
                                               void (BCOrderInfoViewController::*action)());
    void addBankCell(const platform::Array& inputs);
    void addSupportedBanksLink(const platform::Font& font, const std::function<double(double)>& xForWidth, double y);
    void addSubViewsWithAccount();
    void addSubViewsWithCommCards();
    void addSubViewsWithNewCard();
    void addSubViewsWithMerchantCard();
    void addOnlySupportCardMediumView();
    void shouldDismissCommCardList();
    void removeSubViews();
    // The card-medium screen when the host offers one (BCDataContainer shouldSupportMedium and a
    // registered class name); else the message alert says it is not available ("upcard_msg", or text 12018).
    void openCardMedium();
    void pushOrderScreen(int payMode, const char* event);
    void pushWebPage(const std::string& url, const std::string& title);

    int m_payMode;
    bool m_isRootViewController;
    bool m_exitPlugin = false;
    bool m_newCard = false;
    long m_shouldDeletedCardId = -1;
    double m_subviewOriginY = 0;
    double m_scrollViewHeight = 0;
    std::shared_ptr<platform::View> m_subView;
    std::shared_ptr<BCPayChannelView> m_payChannelView;
    double m_payChannelHeight = 0;  // what the channel view has added to the body
    std::shared_ptr<BCNewBankCardCell> m_bankCell;
    std::shared_ptr<BCDefaultCardView> m_defaultCardView;
    std::shared_ptr<BCListView> m_listView;
    std::vector<std::shared_ptr<platform::View>> m_links;
    bool m_onlySupportCardMedium = false;
    bool m_supportAccountPayMode = false;
    long m_commCardIndex = 0;
    std::vector<std::string> m_payChannels;
    platform::Array m_loginRules;
    std::vector<std::string> m_bindCardDescriptions;
};

} // namespace cardpay
