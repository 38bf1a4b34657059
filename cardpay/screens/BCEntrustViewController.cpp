#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "platform/ui/NavigationController.h"

#include <algorithm>

namespace cardpay {

namespace {

constexpr const char* kPage = "entrust_View";

std::string text(int id) { return BCLocale::instance()->getStringById(id); }

} // namespace

void BCEntrustViewController::registerScreen() {
    BCScreenRegistry::shared().registerClass<BCEntrustViewController>(std::string(kEntrustScreenClass));
}

void BCEntrustViewController::viewDidLoad() {
    BCFormScreen::viewDidLoad();
    initActions();
    addSubViews();
}

void BCEntrustViewController::initActions() {
    if (auto button = BCDataContainer::instance()->actionButton())
        m_entrustActionButton = std::move(*button);
}

void BCEntrustViewController::addSubViews() {
    const auto container = BCDataContainer::instance();
    addFormBody(container->mEntrustElementArray().value_or(platform::Array{}), container->serviceCheckBox(),
                m_entrustActionButton["label"].stringOr(""));
}

void BCEntrustViewController::viewDidAppear(bool animated) {
    BCFormScreen::viewDidAppear(animated);
    if (const auto navigation = navigationController()) {
        auto stack = navigation->viewControllers();
        const auto skipped = std::find_if(stack.begin(), stack.end(), [](const auto& controller) {
            const auto screen = std::dynamic_pointer_cast<BCBaseViewController>(controller);
            return screen && (screen->screenClassName() == kPayingScreenClass || screen->screenClassName() == kUserInfoScreenClass);
        });
        if (skipped != stack.end()) {
            stack.erase(skipped);
            navigation->setViewControllers(std::move(stack));
        }
    }
    BCTrackerManager::trackPageBegin(kPage);
    BCDataContainer::instance()->setBcPayPrefix(std::string("entrust_"));
}

void BCEntrustViewController::viewDidDisappear(bool animated) {
    BCTrackerManager::trackPageEnd(kPage);
    BCDataContainer::instance()->setBcPayPrefix(std::nullopt);
    BCFormScreen::viewDidDisappear(animated);
}

void BCEntrustViewController::nextAction() {
    BCFormScreen::nextAction();
    if (askForPaymentResultInstead() || !service() || !checkPaymentParams())
        return;
    const std::string* action = m_entrustActionButton["action"].getString();
    if (!action || action->empty()) {
        // An answer without a command leaves nothing to send.
        showAlertViewWithMessage(text(12003));
        return;
    }
    showLoadingAlertView();
    service()->postPreCmd(*action, paymentParams());
}

void BCEntrustViewController::postFollowRules() {
    showLoadingAlertView();
    if (service())
        service()->postFollowRulesRequestWithParams(paymentParams());
}

void BCEntrustViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCFormScreen::comunicateToBCMPDidSucceedWithEvent(event);
    switch (event) {
    case kBCEventSmsSent:
        smsCodeSucceed();
        break;
    case kBCEventFollowRules:
        moveOnAfterAlertBox(kPayingScreenClass);
        break;
    default:
        break;
    }
}

void BCEntrustViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    BCFormScreen::comunicateToBCMPDidFailWithErrorType(type, error);
    if (type == kBCFailurePayment) {
        // Going on without the authorisation is offered for this screen's own authorisation only.
        const auto container = BCDataContainer::instance();
        const auto& settled = container->lastSettledPayment();
        const bool ownAuthorisation = settled && !settled->paysTheOrder() && sentHere(*settled);
        if (ownAuthorisation && container->mFailContinue() == "0") {
            showAlertViewWithTitle(text(12001), error.value_or(""), text(10017), text(10018));
            m_canGetFollowRules = true;
        } else {
            cleanSecretParams();
            showAlertViewWithMessage(error);
        }
    } else if (type == kBCFailurePollTimeout) {
        showAlertViewWithMessage(error);
    } else if (type == kBCFailureResultUnknown) {
        paymentResultUnknown(error);
    }
}

void BCEntrustViewController::authorisationConfirmed() { postFollowRules(); }

void BCEntrustViewController::buttonOKClicked() {
    BCFormScreen::buttonOKClicked();
    if (!m_canGetFollowRules)
        return;
    // Skip: once. A later alert's OK (a failed "followrules", say) must not send it again.
    m_canGetFollowRules = false;
    postFollowRules();
}

void BCEntrustViewController::buttonCancelClicked() {
    BCFormScreen::buttonCancelClicked();
    m_canGetFollowRules = false;
}

} // namespace cardpay
