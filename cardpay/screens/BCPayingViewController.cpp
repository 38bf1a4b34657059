#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/NavigationController.h"

namespace cardpay {

namespace {

constexpr double kPromotionGap = 12;

} // namespace

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
    // The PIN block is bound to the typed card's number; a bound card's to none (a number typed
    // earlier on the road is not this card's).
    container->setMMessageBlock(firstPayFlag() != "1" ? container->mEntrustedCard() : std::nullopt);
    const std::weak_ptr<BCBaseViewController> weak = self();
    platform::NotificationCenter::defaultCenter().addObserver(this, kNotificationLogin, nullptr, [weak](const platform::Notification&) {
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
    addPromotionViews();
}

void BCPayingViewController::addPromotionViews() {
    const auto container = BCDataContainer::instance();
    if (!promotion() && container->promotion()) {
        setPromotion(container->promotion());
        container->setPromotion(std::nullopt);
    }
    if (!instalment() && container->instalment()) {
        setInstalment(container->instalment());
        container->setInstalment(std::nullopt);
    }
    if (!promotion() && !instalment())
        return;
    double y = paymentElementsView()->frame().origin.y;
    if (const double height = makePromotionViewAtY(y); height > 0) {
        moveStackDown(2, height + kPromotionGap);
        y += height + kPromotionGap;
    }
    if (const double height = makeInstalmentViewAtY(y); height > 0)
        moveStackDown(2, height);
}

void BCPayingViewController::moveStackDown(std::size_t first, double offset) {
    const std::shared_ptr<platform::View> stack[] = {promotionView(), instalmentView(), paymentElementsView(), licenseBox(), mBtnNext()};
    moveDown(std::span(stack).subspan(first), offset);
}

void BCPayingViewController::pullListAnimationDidStart(double offset) {
    endEditing();
    moveStackDown(0, offset);
}

void BCPayingViewController::promotionViewWillChangeFrameWithOffset(BCPromotionView& view, double offset) {
    if (&view == promotionView().get())
        moveStackDown(1, offset);
    else if (&view == instalmentView().get())
        moveStackDown(2, offset);
}

std::string BCPayingViewController::firstPayFlag() const {
    // The road's own record of the card wins: the entrust step opens this screen as for a new card
    // even when a bound card is being authorised.
    return BCDataContainer::instance()->mFirstPayFlag().value_or(m_newCard ? "0" : "1");
}

std::string BCPayingViewController::paymentParams() const {
    const auto container = BCDataContainer::instance();
    std::string params = BCJsonService::member("pay_type", "1");
    const auto add = [&params](const std::string& member) {
        if (!member.empty())
            params += "," + member;
    };
    add(BCJsonService::member("pay_mode", container->defaultPayMode().value_or("1")));
    const std::string flag = firstPayFlag();
    add(BCJsonService::member("first_pay_flag", flag));
    if (const auto id = container->mCardId(); flag == "1" && id)
        add(BCJsonService::member("card", *id));
    else if (const auto number = container->mEntrustedCard())
        add(BCJsonService::member("pan", *number));
    add(BCFormScreen::paymentParams());
    if (licenseBox() && !licenseBox()->boxContent()["name"].stringOr("").empty())
        add(licenseBox()->checkBoxParams());
    for (const auto& view : {promotionView(), instalmentView()})
        if (view)
            add(view->optionParams());
    return params;
}

void BCPayingViewController::nextAction() {
    BCFormScreen::nextAction();
    if (askForPaymentResultInstead() || !service() || !checkPaymentParams())
        return;
    showLoadingAlertView();
    service()->postRequestWithCmd("pay", paymentParams());
}

void BCPayingViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    BCFormScreen::comunicateToBCMPDidSucceedWithEvent(event);
    paymentScreenDidSucceedWithEvent(event);
}

void BCPayingViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    BCFormScreen::comunicateToBCMPDidFailWithErrorType(type, error);
    paymentDidFail(type, error);
}

void BCPayingViewController::loginDidChange() {
    dismissAlertView();
    endEditing();
    if (const auto navigation = navigationController())
        navigation->popToRootViewController(true);
}

} // namespace cardpay
