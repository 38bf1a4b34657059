#include "cardpay/screens/BCInitViewController.h"
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCTrackerManager.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/screens/BCScreenRegistry.h"
#include "cardpay/tracker/YLUniTracker.h"
#include "cardpay/views/BCViews.h"
#include "platform/application/Application.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/UserDefaults.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/ViewAnimation.h"

#include <algorithm>
#include <cctype>

namespace cardpay {

namespace {

constexpr double kSpinnerSide = 22;

std::string text(int id) { return BCLocale::instance()->getStringById(id); }

bool isPluginClient() { return platform::UserDefaults::standard().string("BCPayPluginClient").value_or("") == "YES"; }

bool known(const BCDataContainer::Text& value) { return value && !value->empty(); }

std::shared_ptr<platform::Label> footerLabel(platform::Rect frame, const std::string& caption) {
    auto label = std::make_shared<platform::Label>(frame);
    label->setText(caption);
    label->setTextAlignment(platform::TextAlignment::Center);
    label->setBackgroundColor(platform::Color::clear());
    label->setTextColor(platform::Color::white());
    return label;
}

} // namespace

void BCInitViewController::viewDidLoad() {
    BCBaseViewController::viewDidLoad();
    view()->setBackgroundColor(platform::Color::clear());
    if (const auto navigation = navigationController())
        navigation->setNavigationBarHidden(true);
    m_needUpgrade = false;
    std::string loading;
    if (const auto config = BCDataContainer::instance()->BundleConfig())
        if (const auto* value = config->find("StandardPluginLoading"); value && value->getString())
            loading = *value->getString();
    std::ranges::transform(loading, loading.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    if (loading == "no") {
        if (mScrollView())
            mScrollView()->setBackgroundColor(platform::Color::clear());
        showLoadingAlertView();
    } else {
        addSubViews();
    }
    postInitMessage();
}

void BCInitViewController::resetStatusBar() {
    if (BCUtils::iOS7Device())
        setEdgesForExtendedLayout(platform::kRectEdgeNone);
}

void BCInitViewController::showLoadingAlertView() { showLoadingAlertViewWithMessage(text(13015)); }

void BCInitViewController::setBgColors(platform::View& view, std::shared_ptr<platform::GradientLayer>& layer) {
    layer = std::make_shared<platform::GradientLayer>();
    layer->setFrame(view.frame());
    layer->setColors({platform::Color::fromRGBA255(25, 132, 193), platform::Color::fromRGBA255(16, 88, 157)});
    layer->removeAllAnimations();
    view.layer()->insertSublayerAt(layer, 0);
}

void BCInitViewController::addSubViews() {
    const double w = BCUtils::displayWidth();
    const double h = BCUtils::displayHeight();
    const platform::Point c = BCUtils::displayCenter();

    m_backGroundView = std::make_shared<platform::View>(platform::Rect(0, 0, w, h));
    setBgColors(*m_backGroundView, m_backGroundLayer);
    view()->addSubview(m_backGroundView);

    const auto logo = BCImageManager::instance()->imageNamed(20008);
    const platform::Size size = !logo ? platform::Size{} : BCUtils::iPadDevice() ? logo->size() : realSize(*logo);
    m_logoView = std::make_shared<platform::ImageView>(platform::Rect((w - size.width) / 2, c.y - 60 - size.height, size.width, size.height));
    m_logoView->setImage(logo);
    view()->addSubview(m_logoView);

    m_loadingView = BCViews::loadingImageViewWithOriginalPoint({(w - kSpinnerSide) / 2, m_logoView->frame().maxY() + 12});
    m_loadingView->setCenter({c.x, c.y - BCUtils::statusBarHeight()});
    view()->addSubview(m_loadingView);

    m_version = footerLabel(platform::Rect(0, h - 88, w, 44), BCMPService::kClientVersion);
    view()->addSubview(m_version);
    m_footer = footerLabel(platform::Rect(0, h - 56, w, 44), text(13001));
    view()->addSubview(m_footer);
}

void BCInitViewController::postInitMessage() {
    if (service())
        service()->postInitRequest(BCInitInfo::current());
}

void BCInitViewController::offerUpgrade(bool compulsory) {
    m_needUpgrade = true;
    if (compulsory)
        m_forceUpgrade = true;
    const auto info = BCDataContainer::instance()->mUpdateInfo().value_or(platform::Dictionary{});
    m_upgradeUrl = info["url"].stringOr("");
    showAlertViewWithTitle(text(11008), info["desc"].stringOr(""), text(10004), text(10014));
}

void BCInitViewController::startTracking() {
    const auto container = BCDataContainer::instance();
    if (BCTrackerManager::isTrack()) {
        YLUniTracker::setLogEnabled(false);
        YLUniTracker::setVersionWithCode(BCMPService::kClientVersion, "BCPayPluginCheckeCode");
        if (isPluginClient())
            YLUniTracker::setVersionWithCode(BCMPService::kClientVersion, "BCPayPluginClient");
        YLUniTracker::sessionStarted(kTrackerAppKey, container->merID().value_or(""));
    }
    if (const auto tn = container->mTN(); known(tn))
        BCTrackerManager::trackEvent("tn", {{"tn", *tn}});
    if (const auto merchant = container->merID(); known(merchant))
        BCTrackerManager::trackEvent("merch_id", {{"merchid", *merchant}});
    BCTrackerManager::trackEvent("package_version", {{"version", std::string(BCMPService::kClientVersion)}});
    if (const auto rows = container->mOrderInfoArray(); rows && !rows->empty())
        BCTrackerManager::trackEvent("basic_info", {{"info", *rows}});
}

void BCInitViewController::comunicateToBCMPDidSucceedWithEvent(int event) {
    const auto container = BCDataContainer::instance();
    switch (event) {
    case kBCEventUpgradeOffered:
        offerUpgrade(false);
        break;
    case kBCEventUpgradeRequired:
        offerUpgrade(true);
        break;
    case kBCEventInitDone:
        startTracking();
        m_needUpgrade = false;
        if (const auto user = container->mUser_id(); known(user)) {
            if (service())
                service()->postGetUserInfoRequestWithParams(BCJsonService::member("user_id", *user));
            break;
        }
        dismissAlertView();
        if (container->limitPayMethod().value_or("") == "01") {
            platform::RunLoop::main().perform(
                [weak = std::weak_ptr<BCInitViewController>(std::static_pointer_cast<BCInitViewController>(self()))] {
                    if (const auto screen = weak.lock())
                        screen->pushViewControllerToOrderViewController();
                });
        } else {
            pushViewControllerToOrderViewController();
        }
        break;
    case kBCEventUserInfo: {
        dismissAlertView();
        if (const auto user = container->mUser_id(); known(user))
            BCTrackerManager::trackEvent("_login", {{"sysid", *user}});
        platform::RunLoop::main().performAfterDelay(
            kUserInfoDelay, [weak = std::weak_ptr<BCInitViewController>(std::static_pointer_cast<BCInitViewController>(self()))] {
                if (const auto screen = weak.lock())
                    screen->pushViewToUserInfoViewController();
            });
        break;
    }
    default:
        break;
    }
}

int BCInitViewController::orderPayMode() {
    const auto container = BCDataContainer::instance();
    if (container->limitPayMethod().value_or("") == "01")
        return 100;
    if (known(container->mUser_id()))
        return 101;
    return BCMPService::userDefaultPayMode() == "2" ? 100 : 101;
}

void BCInitViewController::pushViewControllerToOrderViewController() {
    const auto navigation = navigationController();
    const auto order = makeOrderScreen(orderPayMode(), true);
    if (!navigation || !order)
        return;
    navigation->pushViewController(order, !known(BCDataContainer::instance()->mUser_id()));
}

void BCInitViewController::pushViewToUserInfoViewController() {
    pushViewControllerToOrderViewController();
    const auto navigation = navigationController();
    const auto user = makeScreen(kUserInfoScreenClass);
    if (!navigation || !user)
        return;
    navigation->pushViewController(user, true);
}

void BCInitViewController::buttonOKClicked() {
    dismissAlertView();
    if (m_needUpgrade) {
        m_needUpgrade = false;
        platform::Application::shared().openURL(m_upgradeUrl);
        exitWithResult("cancel");
    } else {
        exitWithResult("fail");
    }
}

void BCInitViewController::buttonCancelClicked() {
    dismissAlertView();
    if (!m_needUpgrade)
        return;
    if (m_forceUpgrade) {
        exitWithResult("cancel");
        return;
    }
    m_needUpgrade = false;
    platform::RunLoop::main().perform(
        [weak = std::weak_ptr<BCInitViewController>(std::static_pointer_cast<BCInitViewController>(self()))] {
            if (const auto screen = weak.lock())
                screen->pushViewControllerToOrderViewController();
        });
}

void BCInitViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    BCBaseViewController::willRotateToInterfaceOrientation(orientation, duration);
    if (!m_logoView)
        return;
    const double width = BCUtils::rotatedWidth();
    const double height = BCUtils::rotatedHeight();
    const platform::Point c = BCUtils::rotatedDisplayCenter();
    platform::ViewAnimation::beginAnimations("init");
    platform::ViewAnimation::setAnimationDuration(duration);
    platform::ViewAnimation::setAnimationCurve(platform::AnimationCurve::EaseInOut);
    platform::Rect logo = m_logoView->frame();
    logo.origin = {(width - logo.size.width) / 2, c.y - 60 - logo.size.height};
    m_logoView->setFrame(logo);
    m_loadingView->setFrame(platform::Rect((width - kSpinnerSide) / 2, logo.maxY() + 12, kSpinnerSide, kSpinnerSide));
    m_backGroundView->setFrame(platform::Rect(0, 0, width, height));
    m_backGroundLayer->setFrame(platform::Rect(0, 0, width, height));
    m_version->setFrame(platform::Rect(0, height - 88, width, 44));
    m_footer->setFrame(platform::Rect(0, height - 56, width, 44));
    platform::ViewAnimation::commitAnimations();
}

} // namespace cardpay
