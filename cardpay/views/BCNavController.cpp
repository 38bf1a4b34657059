#include "cardpay/views/BCNavController.h"

#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCPullListView.h"
#include "platform/application/Application.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>

namespace cardpay {

// MARK: - BCNavController

std::shared_ptr<BCNavController> BCNavController::initWithRootViewController(const std::shared_ptr<platform::ViewController>& root) {
    auto controller = std::make_shared<BCNavController>();
    if (root)
        controller->setViewControllers({root}, false);
    controller->navigationBar()->setBackgroundImage(BCImageManager::instance()->imageNamed(20008));
    return controller;
}

BCNavController::~BCNavController() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void BCNavController::viewDidLoad() {
    platform::NavigationController::viewDidLoad();
    auto& center = platform::NotificationCenter::defaultCenter();
    const std::weak_ptr<BCNavController> weak = std::static_pointer_cast<BCNavController>(shared_from_this());
    const auto observe = [&](const char* name, void (BCNavController::*handler)(const platform::Notification&)) {
        center.addObserver(this, name, nullptr, [weak, handler](const platform::Notification& n) {
            if (auto self = weak.lock())
                ((*self).*handler)(n);
        });
    };
    observe("UIKeyboardWillChangeFrameNotification", &BCNavController::keyboareWillShow);
    observe("UIKeyboardDidShowNotification", &BCNavController::keyboareDidShow);
    observe("UIKeyboardWillHideNotification", &BCNavController::keyboareWillHide);
    observe("UIKeyboardDidHideNotification", &BCNavController::keyboareDidHide);
}

platform::StatusBarStyle BCNavController::preferredStatusBarStyle() { return platform::StatusBarStyle::LightContent; }

bool BCNavController::shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) {
    if (BCUtils::iPadDevice())
        return orientation == BCDataContainer::instance()->defaultOrientation();
    return orientation == platform::InterfaceOrientation::Portrait;
}

platform::InterfaceOrientationMask BCNavController::supportedInterfaceOrientations() {
    if (BCUtils::iPadDevice())
        return 1u << static_cast<unsigned>(BCDataContainer::instance()->defaultOrientation());
    return 1u << static_cast<unsigned>(platform::InterfaceOrientation::Portrait);
}

void BCNavController::viewWillTransitionToSize(platform::Size size, platform::TransitionCoordinator& coordinator) {
    m_nowOrientating = true;
    const std::weak_ptr<BCNavController> weak = std::static_pointer_cast<BCNavController>(shared_from_this());
    coordinator.animateAlongsideTransition([size] { BCDataContainer::instance()->setToRotationSize(size); },
                                           [weak] {
                                               if (auto self = weak.lock())
                                                   self->m_nowOrientating = false;
                                           });
    platform::NavigationController::viewWillTransitionToSize(size, coordinator);
}

void BCNavController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    m_nowOrientating = true;
    if (!BCUtils::shouldChangeOrientation(orientation))
        return;
    for (const auto& controller : viewControllers())
        controller->willRotateToInterfaceOrientation(orientation, duration);
}

void BCNavController::didRotateFromInterfaceOrientation(platform::InterfaceOrientation) { m_nowOrientating = false; }

BCNavScreen* BCNavController::topScreen() const {
    return dynamic_cast<BCNavScreen*>(topViewController().get());
}

void BCNavController::setPullListTouches(bool enabled) const {
    if (BCNavScreen* screen = topScreen())
        if (auto pull = screen->pullListView())
            pull->setUserInteractionEnabled(enabled);
}

void BCNavController::keyboareWillShow(const platform::Notification& notification) {
    setPullListTouches(false);
    if (!m_nowOrientating)
        if (BCNavScreen* screen = topScreen())
            screen->keyBoardWillChangeFrame(notification);
}

void BCNavController::keyboareDidShow(const platform::Notification&) {
    setPullListTouches(true);
    if (!m_nowOrientating)
        m_keyBoardShowwing = true;
}

void BCNavController::keyboareWillHide(const platform::Notification& notification) {
    if (!m_nowOrientating)
        if (BCNavScreen* screen = topScreen())
            screen->keyboareWillHide(notification);
}

void BCNavController::keyboareDidHide(const platform::Notification&) {
    setPullListTouches(true);
    if (!m_nowOrientating)
        m_keyBoardShowwing = false;
}

// MARK: - BCNavigationBar

BCNavigationBar::BCNavigationBar(platform::Rect frame, const std::optional<std::string>& barTitle, const std::string&,
                                 std::weak_ptr<void> target, Action action, bool shouldBack)
    : platform::View(frame), m_shouldBack(shouldBack) {
    setBackgroundColor(createBackgroundColor());
    if (barTitle)
        addBarTitle(*barTitle);
    else
        addLoadingIndicator();
    addCardPaylogo();
    if (!target.expired() && action)
        addLeftButton(std::move(target), std::move(action));
}

BCNavigationBar::~BCNavigationBar() { m_actionTarget.reset(); }

platform::Color BCNavigationBar::createBackgroundColor() {
    if (const auto config = BCDataContainer::instance()->BundleConfig())
        if (const std::string* hex = (*config)["NavigationBarColors"].getString())
            if (const auto color = hexToColor(*hex))
                return *color;
    return BCUtils::navBarColor();
}

void BCNavigationBar::addBarTitle(const std::string& title) {
    m_barTitle = std::make_shared<BCLabel>(platform::Rect(0, 0, bounds().size.width, 44));
    m_barTitle->setText(title);
    // The title spans the bar but is drawn clear of the left button and the logo (the same room on both
    // sides, so that it stays centred), cut with an ellipsis when it is longer.
    const double side = std::max(kLeftButtonWidth, logoSize().width + 10);
    m_barTitle->setTextInsets(side, side);
    m_barTitle->setLineBreakMode(platform::LineBreakMode::TruncateTail);
    m_barTitle->setNumberOfLines(1);
    m_barTitle->setTextAlignment(platform::TextAlignment::Center);
    m_barTitle->setFont(platform::Font::boldSystemFont(20));
    m_barTitle->setBackgroundColor(platform::Color::clear());
    m_barTitle->setTextColor(BCUtils::navBarTitleColor());
    addSubview(m_barTitle);
}

void BCNavigationBar::resetBarTitle(const std::string& title) {
    if (m_loadingIndicator) {
        m_loadingIndicator->removeFromSuperview();
        m_loadingIndicator.reset();
    }
    if (m_barTitle)
        m_barTitle->removeFromSuperview();
    addBarTitle(title);
}

void BCNavigationBar::addLoadingIndicator() {
    m_loadingIndicator = std::make_shared<platform::ActivityIndicatorView>(platform::ActivityIndicatorViewStyle::White);
    m_loadingIndicator->setFrame(platform::Rect((bounds().size.width - 22) / 2, 11, 22, 22));
    m_loadingIndicator->startAnimating();
    addSubview(m_loadingIndicator);
}

platform::Size BCNavigationBar::logoSize() {
    const auto image = BCImageManager::instance()->imageNamed(20008);
    const platform::Size size = image ? image->size() : platform::Size{};
    const double scale = size.height > 0 ? size.height / 20 : 1;
    return {size.width / scale, size.height / scale};
}

platform::Rect BCNavigationBar::logoFrame() const {
    const platform::Size size = logoSize();
    return platform::Rect(bounds().size.width - size.width - 5, (bounds().size.height - size.height) / 2, size.width, size.height);
}

void BCNavigationBar::addCardPaylogo() {
    m_logoImage = std::make_shared<platform::ImageView>(BCImageManager::instance()->imageNamed(20008));
    m_logoImage->setFrame(logoFrame());
    m_logoImage->setBackgroundColor(platform::Color::clear());
    addSubview(m_logoImage);
}

void BCNavigationBar::hideCardPayLogo() { m_logoImage->setHidden(true); }

void BCNavigationBar::showCardPayLogo() { m_logoImage->setHidden(false); }

void BCNavigationBar::addLeftButton(std::weak_ptr<void> target, Action action) {
    m_actionTarget = target;
    m_leftButton = platform::Button::create(platform::ButtonType::Custom, platform::Rect(0, 0, 80, 44));
    m_leftButton->setExclusiveTouch(true);
    auto image = BCImageManager::instance()->imageNamed(m_shouldBack ? 20002 : 20003);
    m_leftButton->setImage(image, 0);
    // The image sits 15 points from the left edge, vertically centred: where insets of (44 - h) / 2 above
    // and below, 15 on the left and 80 - w - 15 on the right put it. This view system shifts a centred
    // image by the whole difference of opposite insets, so the same place is asked for from the left.
    m_leftButton->setContentHorizontalAlignment(platform::ContentHorizontalAlignment::Left);
    m_leftButton->setImageEdgeInsets({0, 15, 0, 0});
    m_leftButton->addTarget(std::move(target), [action = std::move(action)](platform::Control&) { action(); },
                            platform::kControlEventTouchUpInside);
    addSubview(m_leftButton);
}

void BCNavigationBar::willRotateToInterfaceOrientation(platform::InterfaceOrientation, double duration) {
    platform::ViewAnimation::beginAnimations("BaseView");
    platform::ViewAnimation::setAnimationDuration(duration);
    platform::ViewAnimation::setAnimationCurve(platform::AnimationCurve::EaseInOut);
    const double width = bounds().size.width;
    if (m_barTitle)
        m_barTitle->setFrame(platform::Rect(0, 0, width, 44));
    m_logoImage->setFrame(logoFrame());
    if (m_loadingIndicator)
        m_loadingIndicator->setFrame(platform::Rect((width - 22) / 2, 11, 22, 22));
    platform::ViewAnimation::commitAnimations();
}

} // namespace cardpay
