#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "platform/NotificationCenter.h"
#include "platform/ui/NavigationController.h"

namespace cardpay {

void BCPayingViewController::registerScreen() {
    BCScreenRegistry::shared().registerClass<BCPayingViewController>(std::string(kPayingScreenClass));
}

std::shared_ptr<BCBaseViewController> makeRoadScreen(std::string_view className, bool newCard) {
    auto screen = makeScreen(className);
    if (const auto paying = std::dynamic_pointer_cast<BCPayingViewController>(screen))
        paying->setMNewCard(newCard);
    return screen;
}

BCPayingViewController::~BCPayingViewController() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void BCPayingViewController::viewDidLoad() {
    BCFormScreen::viewDidLoad();
    const auto container = BCDataContainer::instance();
    // The PIN block is bound to the typed card's number.
    if (const auto card = container->mEntrustedCard(); m_newCard && card)
        container->setMMessageBlock(card);
    const std::weak_ptr<BCBaseViewController> weak = self();
    platform::NotificationCenter::defaultCenter().addObserver(this, kLoginNotification, nullptr, [weak](const platform::Notification&) {
        if (const auto screen = std::static_pointer_cast<BCPayingViewController>(weak.lock()))
            screen->loginDidChange();
    });
    addSubViews();
}

void BCPayingViewController::addSubViews() {
    const auto container = BCDataContainer::instance();
    std::string title = container->actionButton().value_or(platform::Dictionary{})["label"].stringOr("");
    if (title.empty())
        title = BCLocale::instance()->getStringById(10002);
    addFormBody(container->mPayElementArray().value_or(platform::Array{}), container->serviceCheckBox(), title);
}

std::string BCPayingViewController::paymentParams() const {
    const auto container = BCDataContainer::instance();
    std::string params = BCJsonService::member("pay_type", "1");
    const auto add = [&params](const std::string& member) {
        if (!member.empty())
            params += "," + member;
    };
    add(BCJsonService::member("pay_mode", container->defaultPayMode().value_or("1")));
    add(BCJsonService::member("first_pay_flag", container->mFirstPayFlag().value_or(m_newCard ? "0" : "1")));
    if (m_newCard) {
        if (const auto card = container->mEntrustedCard())
            add(BCJsonService::member("pan", *card));
    } else if (const auto card = container->mCardId()) {
        add(BCJsonService::member("card", *card));
    }
    add(BCFormScreen::paymentParams());
    if (licenseBox() && !licenseBox()->boxContent()["name"].stringOr("").empty())
        add(licenseBox()->checkBoxParams());
    return params;
}

void BCPayingViewController::nextAction() {
    BCFormScreen::nextAction();
    if (!service() || !checkPaymentParams())
        return;
    showLoadingAlertView();
    service()->postRequestWithCmd("pay", paymentParams());
}

void BCPayingViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCFormScreen::comunicateToBCMPDidSucceedWithEvent(event);
    switch (event) {
    case kBCEventSmsSent:
        smsCodeSucceed();
        break;
    case kBCEventPaySucceeded:
        BCDataContainer::instance()->setMMessageBlock(std::nullopt);
        cleanSecretParams();
        pushScreenNamed(kSucceedScreenClass);
        break;
    case kBCEventRulesWithEntrust:
        moveOnAfterAlertBox(kEntrustScreenClass);
        break;
    default:
        break;
    }
}

void BCPayingViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    BCFormScreen::comunicateToBCMPDidFailWithErrorType(type, error);
    if (type == kBCFailurePayment) {
        cleanSecretParams();
        showAlertViewWithMessage(error);
    } else if (type == kBCFailurePollTimeout) {
        setMClientMustBeTerminated(true);
        showAlertViewWithMessage(error);
    }
}

void BCPayingViewController::loginDidChange() {
    dismissAlertView();
    endEditing();
    if (const auto navigation = navigationController())
        navigation->popToRootViewController(true);
}

} // namespace cardpay
