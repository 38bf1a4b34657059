#include "cardpay/screens/BCBaseViewController.h"
#include "cardpay/views/BCTextSize.h"

#include "cardpay/cells/BCInputCells.h"
#include "cardpay/cells/BCPaymentElementsView.h"
#include "cardpay/cells/BCPointCell.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCHttpsConnect.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCPReachability.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCEntrustViewController.h"
#include "cardpay/screens/BCPayRoad.h"
#include "cardpay/screens/BCPayingViewController.h"
#include "cardpay/screens/BCSucceedViewController.h"
#include "cardpay/screens/BCWebViewController.h"
#include "cardpay/views/BCCheckBoxViews.h"
#include "cardpay/views/BCViews.h"
#include "cardpay/views/BCWidgets.h"
#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/Timer.h"
#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/Layer.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/Window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <utility>

namespace cardpay {

namespace {

double systemVersion() { return std::strtod(platform::Device::current().systemVersion().c_str(), nullptr); }

std::string text(int id) { return BCLocale::instance()->getStringById(id); }

std::string payTypeEvent(const char* card, const char* login) {
    return std::string(BCDataContainer::instance()->payType() == 101 ? card : login);
}

// The prefix form of an event when the road has a prefix, else its card or login form.
std::string prefixedEvent(const std::string& suffix) {
    if (const auto prefix = BCDataContainer::instance()->bcPayPrefix(); prefix && !prefix->empty())
        return *prefix + suffix;
    return payTypeEvent(("bankpay_" + suffix).c_str(), ("loginpay_" + suffix).c_str());
}

std::shared_ptr<platform::Window> windowOf(const std::shared_ptr<platform::ViewController>& controller) {
    if (!controller || !controller->isViewLoaded())
        return nullptr;
    return std::dynamic_pointer_cast<platform::Window>(controller->view()->rootView());
}

platform::Rect restingScrollFrame() {
    return {0, BCUtils::viewControllerBoundsOriginY() + BCBaseViewController::kBarHeight, BCUtils::displayWidth(),
            BCUtils::displayHeight() - BCUtils::statusBarHeight() - BCBaseViewController::kBarHeight};
}

double keyboardDuration(const platform::Notification& notification) {
    return notification.userInfo[platform::kKeyboardAnimationDurationUserInfoKey].doubleValue();
}

} // namespace

BCBaseViewController::BCBaseViewController() = default;

BCBaseViewController::~BCBaseViewController() {
    m_pullListView.reset();
    m_textFieldsArray.clear();
    for (const auto& view : {m_promotionView, m_instalmentView}) {
        if (view) {
            view->checkBox()->setLinkBlock({});
            view->checkBox()->setActionBlcok({});
        }
    }
}

platform::StatusBarStyle BCBaseViewController::preferredStatusBarStyle() { return platform::StatusBarStyle::LightContent; }

platform::Color BCBaseViewController::createBackgroundColor() { return BCNavigationBar::createBackgroundColor(); }

void BCBaseViewController::viewDidLoad() {
    platform::ViewController::viewDidLoad();
    view()->setBackgroundColor(platform::Color::fromRGBA255(240, 240, 240));
    view()->setOpaque(true);
    initBCMPService();
    resetStatusBar();
    addContentScrollView();
    addNavigationBar();
    addAdBar();
}

void BCBaseViewController::viewDidAppear(bool animated) {
    platform::ViewController::viewDidAppear(animated);
    if (m_pullListView)
        m_pullListView->setUserInteractionEnabled(true);
    paymentResultKnown();  // settled while another screen was on top
}

void BCBaseViewController::viewWillDisappear(bool animated) {
    platform::ViewController::viewWillDisappear(animated);
    if (m_focusTextField)
        m_focusTextField->endEditing(true);
    m_focusTextField.reset();
    if (m_offsetBeforeKeyboard)  // raised for a keyboard whose going the screen on top hears
        restoreBodyAfterKeyboard(0);
}

void BCBaseViewController::initBCMPService() {
    const auto tn = BCDataContainer::instance()->mTN();
    if (!tn || tn->empty())
        return;
    m_service = BCMPServiceConsumption::create();
    m_service->setDelegate(std::static_pointer_cast<BCMPServiceDelegate>(self()));
}

void BCBaseViewController::resetStatusBar() {
    if (!BCUtils::iOS7Device())
        return;
    m_statusBarBackgroundView = std::make_shared<platform::View>(
        platform::Rect(0, 0, BCUtils::displayWidth(), BCUtils::viewControllerBoundsOriginY()));
    m_statusBarBackgroundView->setBackgroundColor(createBackgroundColor());
    view()->addSubview(m_statusBarBackgroundView);
    setEdgesForExtendedLayout(platform::kRectEdgeNone);
}

void BCBaseViewController::addContentScrollView() {
    m_scrollViewFrame = restingScrollFrame();
    m_scrollView = std::make_shared<platform::ScrollView>(m_scrollViewFrame);
    m_scrollView->setDelegate(std::static_pointer_cast<platform::ScrollViewDelegate>(self()));
    m_scrollView->setShowsVerticalScrollIndicator(false);
    m_scrollView->setShowsHorizontalScrollIndicator(false);
    m_scrollView->setClipsToBounds(true);
    m_scrollView->setBackgroundColor(platform::Color::clear());
    view()->insertSubviewAt(m_scrollView, 0);
    const double height = m_scrollViewFrame.size.height;
    auto backdrop = std::make_shared<platform::View>(platform::Rect(0, -height, 3 * BCUtils::displayWidth(), height));
    backdrop->setBackgroundColor(platform::Color::white());
    m_scrollView->addSubview(backdrop);
}

void BCBaseViewController::addAdBar() {
    const double width = m_scrollView->frame().size.width;
    double y = 0;
    auto* container = BCDataContainer::instance().get();
    if (const auto warning = container->warningInfo(); warning && !warning->empty()) {
        m_warningBar = std::make_shared<BCADBar>(platform::Rect(0, 0, width, 0), *warning);
        y = m_warningBar->frame().size.height;
    }
    if (const auto ad = container->ADString(); ad && !ad->empty()) {
        m_adBar = std::make_shared<BCADBar>(platform::Rect(0, y, BCUtils::displayWidth(), 0), *ad);
        y += m_adBar->frame().size.height;
    }
    if (y <= 0)
        return;
    m_barBackgroundViewFrame = platform::Rect(0, 0, width, y);
    m_barBackgroundView = std::make_shared<platform::View>(m_barBackgroundViewFrame);
    // The bars are translucent; pinned over the content they would let it show through.
    m_barBackgroundView->setBackgroundColor(platform::Color::white());
    m_scrollView->addSubview(m_barBackgroundView);
    if (m_adBar)
        m_barBackgroundView->addSubview(m_adBar);
    if (m_warningBar)
        m_barBackgroundView->addSubview(m_warningBar);
}

void BCBaseViewController::scrollViewDidScroll(platform::ScrollView& scrollView) {
    if (!m_adBar || !m_barBackgroundView)
        return;
    const double d = scrollView.contentOffset().y - (m_warningBar ? m_warningBar->frame().size.height : 0);
    if (d > 0) {
        m_scrollView->bringSubviewToFront(m_barBackgroundView);
        platform::Rect moved = m_barBackgroundViewFrame;
        moved.origin.y += d;
        m_barBackgroundView->setFrame(moved);
    } else {
        m_barBackgroundView->setFrame(m_barBackgroundViewFrame);
    }
}

double BCBaseViewController::addOrderViewWithStyle(int style) {
    const double y0 = m_barBackgroundView ? m_barBackgroundView->frame().maxY() : 0;
    m_pullListView = std::make_shared<BCPullListView>(platform::Rect(0, y0, BCUtils::displayWidth(), 0),
                                                      std::static_pointer_cast<BCPullListViewDelegate>(self()), style);
    m_scrollView->addSubview(m_pullListView);
    return y0 + m_pullListView->frame().size.height;
}

void BCBaseViewController::setColors(platform::View& view) {
    auto gradient = std::make_shared<platform::GradientLayer>();
    gradient->setFrame(view.bounds());
    gradient->setColors({platform::Color::fromRGBA255(0, 122, 229), platform::Color::fromRGBA255(0, 73, 137)});
    view.layer()->insertSublayerAt(gradient, 0);
}

void BCBaseViewController::backAction() {
    if (const auto navigation = navigationController())
        navigation->popViewController(true);
}

void BCBaseViewController::addBackNavigationBar(const std::optional<std::string>& title) {
    const std::weak_ptr<BCBaseViewController> weak = self();
    const platform::Rect frame(0, BCUtils::viewControllerBoundsOriginY(), BCUtils::displayWidth(), 44);
    auto bar = std::make_shared<BCNavigationBar>(frame, title, text(10006), weak, [weak] {
        if (const auto screen = weak.lock())
            screen->backAction();
    }, true);
    setNavigationBar(bar);
    view()->addSubview(bar);
}

void BCBaseViewController::addBtnNextWithTitle(const std::string& title, platform::Rect frame, bool enabled, platform::View& onView) {
    m_btnNext = platform::Button::create(platform::ButtonType::Custom, frame);
    m_btnNext->setClipsToBounds(true);
    m_btnNext->setExclusiveTouch(true);
    m_btnNext->layer()->setCornerRadius(4);
    m_btnNext->setTitle(cutForLayout(title), platform::kControlStateNormal);
    m_btnNext->titleLabel()->setFont(platform::Font::boldSystemFont(20));
    const bool configured = BCDataContainer::instance()->BundleConfig().has_value();
    const auto white = platform::Color::white();
    if (configured) {
        auto images = BCImageManager::instance();
        m_btnNext->setBackgroundImage(images->imageNamed(20012), platform::kControlStateNormal);
        m_btnNext->setBackgroundImage(images->imageNamed(20013), platform::kControlStateHighlighted);
        m_btnNext->setBackgroundImage(images->imageNamed(20014), platform::kControlStateDisabled);
        m_btnNext->setTitleColor(white, platform::kControlStateNormal);
        m_btnNext->setTitleColor(platform::Color::fromRGBA255(217, 164, 38), platform::kControlStateHighlighted);
        m_btnNext->setTitleColor(platform::Color::fromRGBA255(255, 229, 167), platform::kControlStateDisabled);
    } else {
        m_btnNext->setBackgroundImage(BCViews::imageWithR(92, 163, 218, 1), platform::kControlStateNormal);
        m_btnNext->setBackgroundImage(BCViews::imageWithR(64, 133, 187, 1), platform::kControlStateHighlighted);
        m_btnNext->setBackgroundImage(BCViews::imageWithR(153, 153, 153, 1), platform::kControlStateDisabled);
        for (unsigned state : {platform::kControlStateNormal, platform::kControlStateHighlighted, platform::kControlStateDisabled})
            m_btnNext->setTitleColor(white, state);
    }
    const std::weak_ptr<BCBaseViewController> weak = self();
    m_btnNext->addTarget(weak, [weak](platform::Control&) {
        if (const auto screen = weak.lock())
            screen->nextAction();
    }, platform::kControlEventTouchUpInside);
    m_btnNext->setEnabled(enabled);
    onView.addSubview(m_btnNext);
}

void BCBaseViewController::nextAction() { endEditing(); }

void BCBaseViewController::endEditing() {
    if (m_focusTextField)
        m_focusTextField->resignFirstResponder();
    m_focusTextField.reset();
}

// --- Boxes ----------------------------------------------------------------------------------------

void BCBaseViewController::setSwipeBackEnabled(bool enabled) {
    if (!BCUtils::iOS7Device())
        return;
    if (const auto navigation = navigationController(); navigation && navigation->interactivePopGestureRecognizer())
        navigation->interactivePopGestureRecognizer()->setEnabled(enabled);
}

void BCBaseViewController::showAlertViewWithTitle(const std::optional<std::string>& title, const std::optional<std::string>& msg,
                                                  const std::optional<std::string>& btnCancel, const std::optional<std::string>& btnOK) {
    dismissAlertView();
    m_alertView = std::make_shared<BCAlertViewEx>(platform::Rect(0, 0, BCUtils::displayWidth(), BCUtils::displayHeight()));
    view()->addSubview(m_alertView);
    setSwipeBackEnabled(false);
    m_alertView->showAlertViewWithTitle(title, msg, btnOK, btnCancel, std::static_pointer_cast<BCAlertViewExDelegate>(self()));
}

void BCBaseViewController::showAlertViewWithMessage(const std::optional<std::string>& message) {
    showAlertViewWithTitle(text(12001), message.value_or(""), std::nullopt, text(10001));
}

void BCBaseViewController::showNoticeWithMessage(const std::string& message) {
    showAlertViewWithTitle(text(12020), message, std::nullopt, text(10001));
}

void BCBaseViewController::showLoadingAlertView() { showLoadingAlertViewWithMessage(text(13002)); }

void BCBaseViewController::showLoadingAlertViewWithMessage(const std::string& message) {
    dismissAlertView();
    m_alertView = std::make_shared<BCAlertViewEx>(platform::Rect(0, 0, BCUtils::displayWidth(), BCUtils::displayHeight()));
    view()->addSubview(m_alertView);
    setSwipeBackEnabled(false);
    m_alertView->showLoadingViewWithMessage(message, std::static_pointer_cast<BCAlertViewExDelegate>(self()));
}

void BCBaseViewController::showAlertWithAlertBox(const std::optional<platform::Dictionary>& alertBox, BCAlertViewEx::ActionBlock actionBlock) {
    dismissAlertView();
    if (!alertBox)
        return;
    m_alertView = std::make_shared<BCAlertViewEx>(platform::Rect(0, 0, BCUtils::displayWidth(), BCUtils::displayHeight()));
    view()->addSubview(m_alertView);
    setSwipeBackEnabled(false);
    m_alertView->showAlertViewWithItem(*alertBox, std::move(actionBlock));
}

void BCBaseViewController::dismissAlertView() {
    if (m_alertView) {
        m_alertView->dismissAlertView();
        // Released on a later turn: the box's own button may be what dismisses it.
        platform::RunLoop::main().perform([box = std::move(m_alertView)] {});
        m_alertView.reset();
    }
    setSwipeBackEnabled(true);
}

void BCBaseViewController::buttonCancelClicked() { dismissAlertView(); }

void BCBaseViewController::buttonOKClicked() {
    dismissAlertView();
    if (m_clientMustBeTerminated)
        exitWithResult("fail");
}

// --- Server alert boxes ---------------------------------------------------------------------------

std::optional<platform::Dictionary> BCBaseViewController::alertBox() {
    const auto container = BCDataContainer::instance();
    if (auto box = container->openAlertBox())
        return box;
    if (auto box = container->expiredAlertBox())
        return box;
    return container->tempAlertBox();
}

void BCBaseViewController::cleanAlertBox() {
    const auto container = BCDataContainer::instance();
    container->setOpenAlertBox(std::nullopt);
    container->setExpiredAlertBox(std::nullopt);
    container->setTempAlertBox(std::nullopt);
}

void BCBaseViewController::handleAlertBoxWithDefaultAction(DefaultAction defaultAction) {
    const std::weak_ptr<BCBaseViewController> weak = self();
    showAlertWithAlertBox(alertBox(), [weak, defaultAction](const std::optional<std::string>& action) {
        const std::optional<std::string> chosen = action;  // the box that holds `action` goes now
        if (const auto screen = weak.lock())
            screen->handleAlertBoxWithCancelAction(defaultAction, chosen);
    });
    cleanAlertBox();
}

void BCBaseViewController::handleAlertBoxWithCancelAction(DefaultAction defaultAction, const std::optional<std::string>& actionStr) {
    dismissAlertView();
    if (actionStr == "init") {
        if (const auto navigation = navigationController())
            navigation->popToRootViewController(true);
    } else if (actionStr && BCMPService::isResultQuery(*actionStr)) {
        // The result poll's own command asks for the outstanding payment's result (as the client's own
        // box does); it is never sent as a payment command, whose "00" would stand for a payment.
        if (BCDataContainer::instance()->paymentOutstanding())
            checkPaymentResult();
    } else if (actionStr && !actionStr->empty()) {
        showLoadingAlertView();
        if (m_service)
            m_service->postTempRequestWithCmd(*actionStr, paymentParams());
    } else if (defaultAction) {
        const std::weak_ptr<BCBaseViewController> weak = self();
        platform::RunLoop::main().perform([weak, defaultAction] {
            if (weak.lock())
                defaultAction();
        });
    }
}

void BCBaseViewController::pushRoadScreen(std::string_view className, bool newCard) {
    endEditing();
    const auto navigation = navigationController();
    if (const auto screen = navigation ? makeRoadScreen(className, newCard) : nullptr)
        navigation->pushViewController(screen, true);
}

void BCBaseViewController::moveOnAfterAlertBox(std::string_view className, bool newCard) {
    const std::weak_ptr<BCBaseViewController> weak = self();
    auto push = [weak, name = std::string(className), newCard] {
        if (const auto screen = weak.lock())
            screen->pushRoadScreen(name, newCard);
    };
    if (alertBox())
        handleAlertBoxWithDefaultAction(push);
    else
        push();
}

// --- Service answers ------------------------------------------------------------------------------

void BCBaseViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    dismissAlertView();
    paymentResultKnown();
    if (event == kBCEventPaySucceeded)
        paymentSucceeded();
}

void BCBaseViewController::paymentSucceeded() {
    const auto container = BCDataContainer::instance();
    if (container->orderPaid()) {
        if (screenClassName() == kSucceedScreenClass)
            return;
        container->setMMessageBlock(std::nullopt);
        cleanSecretParams();
        willShowPaymentSuccess();
        pushRoadScreen(kSucceedScreenClass, false);
        return;
    }
    if (paymentMeaning() == BCPayment::Meaning::Authorised && container->orderAuthorised()) {
        // The order's authorisation is confirmed, by whichever screen sent it (one gone since, say):
        // this authorisation screen goes on from it, and never sends another.
        authorisationConfirmed();
        return;
    }
    const auto& settled = container->lastSettledPayment();
    if (!settled || settled->paysTheOrder())
        return;
    if (sentHere(*settled))
        authorisationConfirmed();
    else
        showNoticeWithMessage(text(12019));  // an authorisation sent elsewhere: nothing is paid yet
}

void BCBaseViewController::authorisationConfirmed() { showNoticeWithMessage(text(12019)); }

bool BCBaseViewController::sentHere(const BCPayment& payment) const { return m_service && payment.sender == m_service->serial(); }

void BCBaseViewController::comunicateToBCMPDidSucceedWithEvent(int, const platform::Value&) { dismissAlertView(); }

void BCBaseViewController::trackFailure(const std::string& message) const {
    if (!m_service)
        return;
    const platform::Dictionary parameters{{"errorDesc", message}};
    switch (m_service->currentCMD()) {
    case 1035:
    case 1008:
        BCTrackerManager::trackEvent(payTypeEvent("bankpay_cardNO_fail", "loginpay_cardNO_fail"), parameters);
        break;
    case 1039:
        BCTrackerManager::trackEvent("login_fail", parameters);
        break;
    case 1004:
    case 1001:
        BCTrackerManager::trackEvent(payTypeEvent("bankpay_fail", "loginpay_fail"), parameters);
        break;
    default:
        break;
    }
}

void BCBaseViewController::enableSmsButton() const {
    if (!m_paymentElementsView)
        return;
    for (const auto& view : m_paymentElementsView->subviews())
        if (const auto sms = std::dynamic_pointer_cast<BCSmsCodeCell>(view)) {
            sms->enableButton();
            return;
        }
}

void BCBaseViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    dismissAlertView();  // a failure answers the request the loading box waits for, whatever it shows
    paymentResultKnown();
    if (error)
        trackFailure(*error);
    // Plans that never came: the switch goes back off (the view is still closed) and the next switch-on
    // asks again.
    if (m_service && m_service->currentCMD() == kBCCmdInstalment) {
        m_savedPromotion.reset();
        if (m_instalmentView) {
            m_instalmentView->checkBox()->setSelected(false);
            m_instalmentView->setDidSelected(false);
        }
    }
    enableSmsButton();
    switch (type) {
    case 2000:
    case 2006:
        showAlertViewWithMessage(text(12003));
        break;
    case 2001:
        showAlertViewWithMessage(error);
        break;
    case 2002:
        m_clientMustBeTerminated = true;
        showAlertViewWithMessage(text(12008));
        break;
    case 2003:
        showAlertViewWithMessage(text(12002));
        break;
    case 2004:
        m_clientMustBeTerminated = true;
        showAlertViewWithMessage(error);
        break;
    default:
        break;
    }
}

// --- Leaving the road -----------------------------------------------------------------------------

void BCBaseViewController::exitWithResult(const std::string& result) {
    if (m_exiting)
        return;
    m_exiting = true;
    BCDataContainer::instance()->setRoadEnding();
    if (result == "success" || !BCPayRoad::orderPaymentUnsettled()) {
        leaveRoad(BCPayRoad::resultAfterAsking(result, std::nullopt));
        return;
    }
    // A payment of the order may have been taken: its result is asked once, under the loading box, for
    // at most BCPayRoad::kResultWaitOnExit seconds; no screen hears the road's requests any more.
    BCMPService::releaseCommon();
    showLoadingAlertView();
    struct Asking {
        std::function<void()> cancel;
        std::shared_ptr<platform::Timer> timer;
        bool over = false;
    };
    const auto asking = std::make_shared<Asking>();
    const auto over = [weak = std::weak_ptr<BCBaseViewController>(self()), asking, result](std::optional<bool> answer) {
        if (asking->over)
            return;
        asking->over = true;
        if (asking->timer)
            asking->timer->invalidate();
        if (asking->cancel)
            asking->cancel();
        const auto screen = weak.lock();
        if (!screen)
            return;
        screen->dismissAlertView();
        screen->leaveRoad(BCPayRoad::resultAfterAsking(result, answer));
    };
    asking->timer = platform::RunLoop::main().scheduleTimer(platform::seconds(BCPayRoad::kResultWaitOnExit), [over] { over(std::nullopt); });
    asking->cancel = BCMPService::askPaymentResultOnce(over);
}

void BCBaseViewController::leaveRoad(const std::string& result) {
    auto& defaults = platform::UserDefaults::standard();
    const bool pluginClient = defaults.string("BCPayPluginClient") == "YES";
    const auto container = BCDataContainer::instance();
    const auto root = container->rootViewController();
    if (const auto config = container->BundleConfig()) {
        if (const std::string* loading = (*config)["StandardPluginLoading"].getString()) {
            std::string lower = *loading;
            std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == "no")
                if (const auto window = windowOf(root); window && window->rootViewController())
                    window->rootViewController()->setModalPresentationStyle(
                        static_cast<platform::ModalPresentationStyle>(container->rootViewControllerPresentationStyle()));
        }
    }
    (void)defaults.set("BCPayPluginCheckeCode", platform::Value(""));
    (void)defaults.set("BCPayPluginClient", platform::Value(""));
    const auto finish = [screen = self(), result] {
        const auto state = BCDataContainer::instance();
        if (const auto window = windowOf(state->rootViewController()))
            window->setBackgroundColor(state->windowColor());
        state->didFinishedWithResult(result);
        BCDataContainer::destory();
        BCImageManager::releaseInstance();
        BCHttpsConnect::releaseInstance();
        BCJsonService::releaseInstance();
        if (screen->m_service)
            BCMPService::releaseCommon();
    };
    if (const auto navigation = navigationController())
        navigation->dismissViewController(!pluginClient, finish);
    else
        dismissViewController(!pluginClient, finish);
}

// --- Rotation -------------------------------------------------------------------------------------

void BCBaseViewController::viewWillTransitionToSize(platform::Size size, platform::TransitionCoordinator& coordinator) {
    const std::weak_ptr<BCBaseViewController> weak = self();
    const double duration = coordinator.transitionDuration();
    coordinator.animateAlongsideTransition([weak, duration] {
        if (const auto screen = weak.lock())
            screen->willRotateToInterfaceOrientation(platform::Application::shared().statusBarOrientation(), duration);
    }, {});
    platform::ViewController::viewWillTransitionToSize(size, coordinator);
}

void BCBaseViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    // Both roads (the transition and the older callback) may come for one rotation: lay out once.
    if (!m_scrollView || m_scrollView->frame().size.width == BCUtils::rotatedWidth())
        return;
    const double d = BCUtils::rotatedOffset();
    platform::ViewAnimation::beginAnimations("BaseView");
    platform::ViewAnimation::setAnimationDuration(duration);
    platform::Rect frame = m_scrollView->frame();
    frame.size.width = BCUtils::rotatedWidth();
    frame.size.height -= d;
    m_scrollView->setFrame(frame);
    m_scrollViewFrame = frame;
    const platform::Size content = m_scrollView->contentSize();
    m_scrollView->setContentSize({content.width + d, content.height});
    // The form and the order header widen themselves (and what they hold) with their rotation calls below.
    for (const std::shared_ptr<platform::View>& view : {std::static_pointer_cast<platform::View>(m_navigationBar),
                                                       m_statusBarBackgroundView, std::static_pointer_cast<platform::View>(m_btnNext)})
        if (view)
            growWidth(*view, d);
    if (m_alertView) {
        platform::Rect box = m_alertView->frame();
        box.size.width = BCUtils::rotatedWidth();
        box.size.height -= d;
        m_alertView->setFrame(box);
    }
    platform::ViewAnimation::commitAnimations();
    if (m_adBar)
        m_adBar->willRotateToChangeOffset(d, duration);
    if (m_alertView)
        m_alertView->willRotateToInterfaceOrientation(orientation, duration);
    if (m_navigationBar)
        m_navigationBar->willRotateToInterfaceOrientation(orientation, duration);
    if (m_pullListView)
        m_pullListView->willRotateToInterfaceOrientation(orientation, duration);
    if (m_paymentElementsView)
        m_paymentElementsView->willRotateToInterfaceOrientation(orientation, duration);
}

void BCBaseViewController::viewControllerPresentModalViewController(const std::shared_ptr<platform::ViewController>& presenting,
                                                                    const std::shared_ptr<platform::ViewController>& controller) {
    if (systemVersion() >= 8.0) {
        controller->setModalPresentationStyle(platform::ModalPresentationStyle::OverCurrentContext);
    } else {
        if (const auto window = windowOf(presenting); window && window->rootViewController())
            window->rootViewController()->setModalPresentationStyle(platform::ModalPresentationStyle::CurrentContext);
        controller->setModalPresentationStyle(platform::ModalPresentationStyle::CurrentContext);
    }
    presenting->presentViewController(controller, true);
}

// --- Form handling --------------------------------------------------------------------------------

void BCBaseViewController::initTextFieldArray() {
    if (m_paymentElementsView)
        m_textFieldsArray = m_paymentElementsView->elementArray();
}

bool BCBaseViewController::canEnableNextButton() const {
    return std::none_of(m_textFieldsArray.begin(), m_textFieldsArray.end(), [](const auto& view) {
        const auto cell = std::dynamic_pointer_cast<BCBaseCell>(view);
        return cell && cell->isEmpty() && !std::dynamic_pointer_cast<BCPointCell>(view);
    });
}

void BCBaseViewController::enableNextButton(bool enabled) const {
    if (m_btnNext)
        m_btnNext->setEnabled(enabled || m_awaitingResult);
}

void BCBaseViewController::textFieldWillChange(platform::TextField&) { endEditing(); }

void BCBaseViewController::textFieldChangeType(int type) {
    if (type == kChangeTypeFirstCharacter || type == kChangeTypeEmptied)
        enableNextButton(canEnableNextButton());
}

void BCBaseViewController::textFieldDidBeginEditing(platform::TextField& field) {
    m_keyboardWillHidden = false;
    m_focusTextField = std::static_pointer_cast<platform::TextField>(field.shared_from_this());
    if (const auto container = field.superview())
        container->layer()->setBorderColor(BCUtils::focusedTextFieldBorderColor());
    if (field.tag() == kPasswordTag && m_paymentElementsView)
        m_paymentElementsView->makeKeyboardRandom();
}

bool BCBaseViewController::textFieldShouldEndEditing(platform::TextField& field) {
    if (const auto container = field.superview())
        container->layer()->setBorderColor(BCUtils::borderColor());
    m_focusTextField.reset();
    enableNextButton(canEnableNextButton());
    m_keyboardWillHidden = true;
    return true;
}

bool BCBaseViewController::textFieldShouldClear(platform::TextField& field) {
    if (field.tag() == kPasswordTag && m_paymentElementsView)
        m_paymentElementsView->cleanupPassword();
    if (field.tag() == kPointsTag)
        if (const auto cell = std::dynamic_pointer_cast<BCPointCell>(BCDataContainer::instance()->pointCell()))
            cell->shouldChangeAmout(0);
    checkTextFieldClear(field);
    return true;
}

void BCBaseViewController::checkTextFieldClear(platform::TextField& field) {
    // Later, on the main run loop: neither the field nor the screen is kept alive for it.
    const std::weak_ptr<BCBaseViewController> weakScreen = self();
    const std::weak_ptr<platform::View> weakField = field.shared_from_this();
    platform::RunLoop::main().performAfterDelay(0.2, [weakScreen, weakField] {
        const auto screen = weakScreen.lock();
        const auto textField = std::dynamic_pointer_cast<platform::TextField>(weakField.lock());
        if (screen && textField && textField->text().empty())
            screen->enableNextButton(screen->canEnableNextButton());
    });
}

std::string BCBaseViewController::floatValueInTextField(const platform::TextField& field, platform::TextRange16 range, const std::string& string) {
    return textWithReplacedRange(field.text(), {range.location, range.length}, string);
}

bool BCBaseViewController::shouldChangeCharacters(platform::TextField& field, platform::TextRange16 range, const std::string& string) {
    bool accepted = true;
    if (field.tag() == kPointsTag) {
        const auto cell = std::dynamic_pointer_cast<BCPointCell>(BCDataContainer::instance()->pointCell());
        const std::string newText = floatValueInTextField(field, range, string);
        char* end = nullptr;
        const bool scans = !string.empty() && (std::strtod(string.c_str(), &end), end == string.c_str() + string.size());
        const double max = BCDataContainer::instance()->maxCanUsePoint();
        if (scans || string == ".") {
            if (!BCUtils::isValidateTextField(newText, "^[0-9]*\\.?[0-9]{0,2}$")) {
                accepted = false;
            } else if (max > 0) {
                const double value = BCPointCell::floatFromString(newText);
                if (value <= max) {
                    if (cell)
                        cell->shouldChangeAmout(value);
                } else {
                    accepted = false;
                    char maximum[64];
                    std::snprintf(maximum, sizeof maximum, "%.2f", max);
                    field.setText(maximum);
                    if (cell)
                        cell->shouldChangeAmout(max);
                }
            }
        } else if (string.empty()) {
            if (cell)
                cell->shouldChangeAmout(BCPointCell::floatFromString(newText));
        } else {
            accepted = false;
        }
    }
    if (accepted && range.location == 0) {
        const auto empties = std::count_if(m_textFieldsArray.begin(), m_textFieldsArray.end(), [](const auto& view) {
            const auto cell = std::dynamic_pointer_cast<BCBaseCell>(view);
            return cell && cell->isEmpty();
        });
        const bool points = field.tag() == kPointsTag;
        if (empties == 1 && field.text().empty() && !string.empty())
            enableNextButton(true);
        else if (field.length() == 1 && string.empty() && !points)
            enableNextButton(false);
        else if (range.length == field.length() && string.empty() && !points)
            enableNextButton(false);
    }
    checkTextFieldClear(field);
    return accepted;
}

void BCBaseViewController::keyBoardWillChangeFrame(const platform::Notification& notification) {
    if (m_keyboardWillHidden && !m_focusTextField)
        return;
    const auto end = platform::KeyboardManager::endFrame(notification);
    if (!end || !m_scrollView)
        return;
    const double k = std::min(end->size.width, end->size.height);
    if (!m_offsetBeforeKeyboard)
        m_offsetBeforeKeyboard = m_scrollView->contentOffset();
    platform::ViewAnimation::beginAnimations("keyboard");
    platform::ViewAnimation::setAnimationDuration(keyboardDuration(notification));
    platform::Rect frame = m_scrollView->frame();
    frame.size.height = BCUtils::displayHeight() - BCUtils::statusBarHeight() - kBarHeight - k;
    m_scrollView->setFrame(frame);
    platform::ViewAnimation::commitAnimations();
    if (!m_focusTextField)
        return;
    platform::Rect target = m_focusTextField->convertRectTo(m_focusTextField->bounds(), m_scrollView.get());
    // The screen's button below the field comes into view with it when both fit above the keyboard:
    // it is what the user taps once the field is filled.
    if (m_btnNext && !m_btnNext->isHidden() && m_btnNext->isDescendantOf(*m_scrollView)) {
        constexpr double kGap = 8; // between the button and the keyboard
        const platform::Rect button = m_btnNext->convertRectTo(m_btnNext->bounds(), m_scrollView.get());
        const double bottom = button.maxY() + kGap;
        if (button.minY() >= target.minY() && bottom - target.minY() <= frame.size.height) {
            target = platform::Rect(target.minX(), target.minY(), target.width(), bottom - target.minY());
            const platform::Size content = m_scrollView->contentSize();
            if (content.height < bottom)
                m_scrollView->setContentSize({content.width, bottom});
        }
    }
    m_scrollView->scrollRectToVisible(target, true);
}

void BCBaseViewController::keyboareWillHide(const platform::Notification& notification) {
    restoreBodyAfterKeyboard(keyboardDuration(notification));
}

void BCBaseViewController::restoreBodyAfterKeyboard(double duration) {
    if (!m_scrollView)
        return;
    platform::ViewAnimation::beginAnimations("keyboard");
    platform::ViewAnimation::setAnimationDuration(duration);
    m_scrollView->setFrame(restingScrollFrame());
    platform::ViewAnimation::commitAnimations();
    const auto before = std::exchange(m_offsetBeforeKeyboard, std::nullopt);
    if (!before)
        return;
    // Within the content as the body now is (it may have grown or shrunk while the keyboard was up).
    const platform::Point least = m_scrollView->minimumOffset(), most = m_scrollView->maximumOffset();
    m_scrollView->setContentOffset({std::clamp(before->x, least.x, most.x), std::clamp(before->y, least.y, most.y)});
}

void BCBaseViewController::pointCellKeyPathChanged(BCPointCell& cell, double offset) {
    if (!BCDataContainer::instance()->pointCell() || !m_scrollView || !cell.superview())
        return;
    const platform::Rect inScroll = cell.convertRectTo(cell.bounds(), m_scrollView.get());
    m_scrollView->scrollRectToVisible(inScroll, true);
    for (const auto& view : m_scrollView->subviews()) {
        if (view->frame().origin.y <= inScroll.maxY())
            continue;
        platform::Rect frame = view->frame();
        frame.origin.y += offset;
        view->setFrame(frame);
    }
    const platform::Size content = m_scrollView->contentSize();
    m_scrollView->setContentSize({content.width, content.height + offset});
}

void BCBaseViewController::smsCodeAction() {
    BCTrackerManager::trackEvent(prefixedEvent("click_get_msg"));
    if (m_focusTextField)
        m_focusTextField->resignFirstResponder();
    if (checkSmsParams()) {
        showLoadingAlertView();
        postSmsMessage(smsParams());
    }
}

void BCBaseViewController::postSmsMessage(const std::string& params) {
    if (m_service)
        m_service->postSmsRequestWithFlag(BCDataContainer::instance()->mFirstPayFlag().value_or(""), params);
}

void BCBaseViewController::smsCodeSucceed() {
    dismissAlertView();
    if (!m_paymentElementsView)
        return;
    for (const auto& view : m_paymentElementsView->subviews())
        if (const auto sms = std::dynamic_pointer_cast<BCSmsCodeCell>(view)) {
            sms->disableButton();
            return;
        }
}

bool BCBaseViewController::checkSmsParams() {
    if (!m_paymentElementsView)
        return true;
    if (const auto error = m_paymentElementsView->checkSmsParamsError()) {
        showAlertViewWithMessage(error);
        return false;
    }
    return true;
}

bool BCBaseViewController::checkPaymentParams() {
    if (m_paymentElementsView)
        if (const auto error = m_paymentElementsView->checkPaymentParamsError()) {
            showAlertViewWithMessage(error);
            return false;
        }
    if (m_scrollView)
        if (const auto box = std::dynamic_pointer_cast<BCCheckBoxView>(m_scrollView->viewWithTag(kAgreementTag)); box && !box->mSelected()) {
            // A box the server did not mark as required has no message and does not block the payment.
            if (const auto message = box->errorInfo()) {
                showAlertViewWithMessage(message);
                return false;
            }
        }
    return true;
}

std::string BCBaseViewController::smsParams() const { return m_paymentElementsView ? m_paymentElementsView->smsParams() : ""; }

std::string BCBaseViewController::paymentParams() const {
    return m_paymentElementsView ? m_paymentElementsView->paymentParams() : "";
}

void BCBaseViewController::cleanSecretParams() {
    if (m_paymentElementsView)
        m_paymentElementsView->cleanupSecretInfo();
    enableNextButton(canEnableNextButton());
}

void BCBaseViewController::checkBoxHref(const std::string& href, const std::string& title) {
    if (title == "用户协议")
        BCTrackerManager::trackEvent(prefixedEvent("open_user_protocol"));
    openWebPage(href, title);
}

void BCBaseViewController::openWebPage(const std::string& url, const std::string& title) {
    endEditing();
    if (!BCUtils::isWebAddress(url)) {
        platform::Log::write("BCBaseViewController: not a web address, not opened: " + url.substr(0, 200));
        showAlertViewWithMessage(text(12022));
        return;
    }
    if (const auto navigation = navigationController())
        navigation->pushViewController(BCWebViewController::initWithUrl(url, title), true);
}

// MARK: - Promotion and instalment views

void BCBaseViewController::promotionViewWillChange(BCPromotionView&) { endEditing(); }

double BCBaseViewController::makePromotionViewAtY(double y) {
    return placePromotionView(m_promotionView, m_promotion, y, 0, BCPromotionView::Promotion);
}

double BCBaseViewController::makeInstalmentViewAtY(double y) {
    const double height = placePromotionView(m_instalmentView, m_instalment, y, 12, BCPromotionView::Instalment);
    if (m_instalmentView)
        m_instalmentView->setPromotionViewType(BCPromotionView::Instalment);
    return height;
}

double BCBaseViewController::placePromotionView(std::shared_ptr<BCPromotionView>& view, const std::optional<platform::Dictionary>& element,
                                                double y, double leftMargin, unsigned type) {
    if (view)
        view->removeFromSuperview();
    view.reset();
    if (!element || !m_scrollView)
        return 0;
    view = BCPromotionView::create(platform::Rect(0, y, m_scrollView->frame().size.width, 0), *element, leftMargin, type);
    view->setDelegate(self());
    m_scrollView->addSubview(view);
    return view->frame().size.height;
}

void BCBaseViewController::promotionAndInstalmentCooperate(BCPromotionView& view) {
    if (&view != m_instalmentView.get() || !view.didSelected()) {
        view.animationWithStatus(view.didSelected());
        return;
    }
    if (!BCPReachability::reachabilityForInternetConnection()->isReachable()) {
        view.animationWithStatus(false);
        view.checkBox()->tapAction();
        showToast(kNoNetworkMessage);
        return;
    }
    const std::string options = m_promotionView ? m_promotionView->optionParams() : std::string();
    if (m_savedPromotion == options || !m_service) {
        view.animationWithStatus(true);
        return;
    }
    showLoadingAlertView();
    m_service->postGetInstalmentWithCmd("instalment", options);
    m_savedPromotion = options;
}

void BCBaseViewController::instalmentDidArrive() {
    if (!m_instalmentView)
        return;
    const auto container = BCDataContainer::instance();
    if (const auto empty = container->instalmentEmptyInfo()) {
        showToast(*empty);
        m_instalmentView->checkBox()->setSelected(false);
        m_instalmentView->setDidSelected(false);
        return;
    }
    // The new plans first, so that the view opens at the height of the plan it shows.
    if (const auto plans = container->updatedInstalment())
        m_instalmentView->refreshInstalmentList(*plans);
    m_instalmentView->animationWithStatus(m_instalmentView->didSelected());
}

void BCBaseViewController::promotionViewOpenUrl(const std::string& href, const std::string& title) { checkBoxHref(href, title); }

void BCBaseViewController::promotionRealPayAmountChange() {
    if (switchInstalmentOff())
        showPromotionChangeInfo();
}

void BCBaseViewController::showPromotionChangeInfo() {
    // Without a text from the server the switch alone says it: no empty toast.
    if (const auto info = BCDataContainer::instance()->promotionChangeInfo(); info && !info->empty())
        showToast(*info);
}

bool BCBaseViewController::switchInstalmentOff() {
    if (!m_instalmentView || !m_instalmentView->didSelected())
        return false;
    m_instalmentView->checkBox()->tapAction();
    return true;
}

void BCBaseViewController::showToast(const std::string& message) { std::make_shared<BCToast>(message, view())->show(); }

void BCBaseViewController::paymentDidFail(int type, const std::optional<std::string>& error) {
    if (type == kBCFailurePayment || type == kBCFailureReopen) {
        cleanSecretParams();
        showAlertViewWithMessage(error);
    } else if (type == kBCFailurePollTimeout) {
        m_clientMustBeTerminated = true;
        showAlertViewWithMessage(error);
    } else if (type == kBCFailureResultUnknown) {
        paymentResultUnknown(error);
    }
}

void BCBaseViewController::paymentScreenDidSucceedWithEvent(int event) {
    switch (event) {
    case kBCEventSmsSent:
        smsCodeSucceed();
        break;
    case kBCEventInstalment:
        instalmentDidArrive();
        break;
    case kBCEventRulesWithEntrust:
        moveOnAfterAlertBox(kEntrustScreenClass, true);
        break;
    default:
        break;
    }
}

bool BCBaseViewController::askForPaymentResultInstead() {
    if (!BCDataContainer::instance()->paymentOutstanding() || !m_service)
        return false;
    checkPaymentResult();
    return true;
}

void BCBaseViewController::checkPaymentResult() {
    showLoadingAlertView();
    if (m_service)
        m_service->queryPaymentResult();
}

void BCBaseViewController::paymentResultUnknown(const std::optional<std::string>& message) {
    if (m_btnNext && !m_awaitingResult) {
        m_awaitingResult = m_btnNext->titleForState(platform::kControlStateNormal).value_or("");
        m_btnNext->setTitle(text(10019), platform::kControlStateNormal);
    }
    cleanSecretParams();
    const platform::Dictionary box{{"title", text(12020)},
                                   {"text", message.value_or(text(12017))},
                                   {"func", platform::Dictionary{{"label", text(10019)}, {"action", "query"}}},
                                   {"cancel", platform::Dictionary{{"label", text(10004)}}}};
    const std::weak_ptr<BCBaseViewController> weak = self();
    showAlertWithAlertBox(box, [weak](const std::optional<std::string>& action) {
        const bool again = action == "query";  // the box that holds `action` goes now
        const auto screen = weak.lock();
        if (!screen)
            return;
        screen->dismissAlertView();
        if (again)
            screen->checkPaymentResult();
    });
}

void BCBaseViewController::paymentResultKnown() {
    if (!m_awaitingResult || BCDataContainer::instance()->paymentOutstanding())
        return;
    const std::string title = std::move(*m_awaitingResult);
    m_awaitingResult.reset();
    if (m_btnNext)
        m_btnNext->setTitle(title, platform::kControlStateNormal);
    enableNextButton(canEnableNextButton());
}

} // namespace cardpay
