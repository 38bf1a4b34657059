#include "cardpay/promotion/BCPromotionPannelViewController.h"

#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCJsonService.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/promotion/BCPromotionNotifications.h"
#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewAnimation.h"

namespace cardpay {

namespace {

platform::Size screenSize() { return platform::Screen::main().bounds().size; }

const std::string* textOf(const platform::Value& value) { return value.getString(); }

} // namespace

std::shared_ptr<BCPromotionPannelViewController> BCPromotionPannelViewController::initWithContent(const platform::Dictionary& content) {
    auto panel = std::make_shared<BCPromotionPannelViewController>(content);
    panel->observePages();
    return panel;
}

BCPromotionPannelViewController::BCPromotionPannelViewController(platform::Dictionary content)
    : m_myContentDic(std::move(content)), m_pannelHeight(BCUtils::iPadDevice() ? kTabletHeight : kPhoneHeight) {}

BCPromotionPannelViewController::~BCPromotionPannelViewController() {
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    if (m_maskView && m_maskGesture)
        m_maskView->removeGestureRecognizer(m_maskGesture);
}

void BCPromotionPannelViewController::observePages() {
    auto& center = platform::NotificationCenter::defaultCenter();
    const std::weak_ptr<BCPromotionPannelViewController> weak =
        std::static_pointer_cast<BCPromotionPannelViewController>(shared_from_this());
    const auto handler = [weak](void (BCPromotionPannelViewController::*method)(const platform::Notification&)) {
        return [weak, method](const platform::Notification& notification) {
            if (const auto panel = weak.lock())
                ((*panel).*method)(notification);
        };
    };
    center.addObserver(this, kNotificationListViewCoupon, nullptr, handler(&BCPromotionPannelViewController::panelViewSelectCoupon));
    center.addObserver(this, kNotificationVerifyCoupon, nullptr, handler(&BCPromotionPannelViewController::couponViewVerify));
    center.addObserver(this, kNotificationCouponErr, nullptr, handler(&BCPromotionPannelViewController::couponFormatErr));
}

const platform::Dictionary* BCPromotionPannelViewController::item(std::size_t index) const {
    return index < items().size() ? items()[index].getDictionary() : nullptr;
}

std::optional<std::size_t> BCPromotionPannelViewController::defaultItemIndex() const {
    const std::int64_t index = m_myContentDic["default_item_idx"].integerValue();
    if (index < 0 || static_cast<std::uint64_t>(index) >= items().size())
        return std::nullopt;
    return static_cast<std::size_t>(index);
}

// --- Building, opening and closing ----------------------------------------------------------------

void BCPromotionPannelViewController::viewDidLoad() {
    BCBaseViewController::viewDidLoad();
    const platform::Size screen = screenSize();
    std::vector<std::string> titles;
    for (const platform::Value& each : items())
        titles.push_back(each["label"].stringOr(""));

    setView(std::make_shared<platform::View>(platform::Rect(0, 0, screen.width, screen.height)));
    const auto& root = view();

    m_maskView = std::make_shared<platform::View>(root->bounds());
    m_maskView->setBackgroundColor(platform::Color::black());
    m_maskView->setAlpha(0);
    root->addSubview(m_maskView);
    m_maskGesture = std::make_shared<platform::TapGestureRecognizer>();
    const std::weak_ptr<BCPromotionPannelViewController> weak =
        std::static_pointer_cast<BCPromotionPannelViewController>(shared_from_this());
    m_maskGesture->addTarget(weak, [weak](platform::GestureRecognizer&) {
        if (const auto panel = weak.lock())
            panel->closeAction();
    });
    m_maskView->addGestureRecognizer(m_maskGesture);

    m_pannelView = std::make_shared<platform::View>(platform::Rect(0, screen.height, screen.width, m_pannelHeight));
    m_pannelView->setBackgroundColor(platform::Color::black());

    m_myTabBar = BCPromotionTabBarViewController::initWithButtonNames(std::move(titles));
    m_myTabBar->view()->setBackgroundColor(platform::Color::white());
    m_myTabBar->setMyDelegate(std::static_pointer_cast<BCPromotionTabBarViewDelegate>(weak.lock()));
    m_pannelView->addSubview(m_myTabBar->view());

    const double tabHeight = m_myTabBar->view()->frame().height();
    m_myContentView = std::make_shared<BCPromotionContentView>(
        platform::Rect(0, tabHeight, root->bounds().width(), m_pannelHeight - tabHeight), items());
    m_pannelView->addSubview(m_myContentView);
    root->addSubview(m_pannelView);

    if (const auto index = defaultItemIndex()) {
        m_myTabBar->selectButtonAtIndex(*index);
        promotionTabBarSelect(*index);
    }

    m_closeButton = platform::Button::create(platform::ButtonType::Custom);
    const auto image = BCImageManager::instance()->imageNamed(20021);
    const platform::Size size = image ? realSize(*image) : platform::Size{};
    m_closeButton->setBackgroundImage(image, platform::kControlStateNormal);
    m_closeButton->setFrame(platform::Rect(0, 0, size.width, size.height));
    placeCloseButton();
    m_closeButton->addTarget(weak, [weak](platform::Control&) {
        if (const auto panel = weak.lock())
            panel->closeAction();
    }, platform::kControlEventTouchUpInside);
    root->addSubview(m_closeButton);
}

void BCPromotionPannelViewController::placeCloseButton() {
    const platform::Rect sheet = m_pannelView->frame();
    platform::Rect frame = m_closeButton->frame();
    frame.origin = {sheet.width() - 38, sheet.minY() - 16};
    m_closeButton->setFrame(frame);
}

void BCPromotionPannelViewController::showPannel() {
    view();
    const platform::Size screen = screenSize();
    const std::weak_ptr<BCPromotionPannelViewController> weak =
        std::static_pointer_cast<BCPromotionPannelViewController>(shared_from_this());
    platform::ViewAnimation::animate(kAnimationDuration, [weak, screen] {
        if (const auto panel = weak.lock()) {
            panel->m_pannelView->setFrame(platform::Rect(0, screen.height - panel->m_pannelHeight, screen.width, panel->m_pannelHeight));
            panel->m_maskView->setAlpha(0.5);
            panel->placeCloseButton();
        }
    });
}

void BCPromotionPannelViewController::closeAction() {
    if (!isViewLoaded())
        return;
    const platform::Size screen = screenSize();
    const std::weak_ptr<BCPromotionPannelViewController> weak =
        std::static_pointer_cast<BCPromotionPannelViewController>(shared_from_this());
    platform::ViewAnimation::animate(kAnimationDuration, [weak, screen] {
        if (const auto panel = weak.lock()) {
            panel->m_pannelView->setFrame(platform::Rect(0, screen.height, screen.width, panel->m_pannelHeight));
            panel->m_maskView->setAlpha(0);
            panel->placeCloseButton();
        }
    }, [weak](bool finished) {
        // A sheet opened again before it was gone stays.
        if (const auto panel = weak.lock(); panel && finished)
            panel->view()->removeFromSuperview();
    });
}

// --- Tabs and points ------------------------------------------------------------------------------

void BCPromotionPannelViewController::promotionTabBarSelect(unsigned long index) {
    if (index >= items().size() || !m_myContentView)
        return;
    const platform::Dictionary& selected = items()[index].dictionaryOrEmpty();
    m_myContentView->showPage(index);
    if (m_firstOpenPannel) {
        if (const auto defaultIndex = defaultItemIndex())
            if (const platform::Dictionary* first = item(*defaultIndex))
                m_myContentView->selectListViewDefaultCell((*first)["type"].stringOr(""));
        m_firstOpenPannel = false;
    }
    if (selected["type"].stringOr("") == "point" && !selected.contains("button") && m_firstGetPoints) {
        m_firstGetPoints = false;
        if (const std::string* action = textOf(selected["action"]))
            getScore(*action, m_uuid);
        else
            platform::Log::write("BCPromotionPannelViewController: the points item names no query");
    }
}

void BCPromotionPannelViewController::getScore(const std::string& command, const std::optional<std::string>& uuid) {
    if (const auto& service = this->service())
        service->postPromotionScore(command, uuid);
    if (m_myContentView)
        m_myContentView->showScoreMessage(kQueryingMessage);
}

void BCPromotionPannelViewController::getCoupon(const std::string& command, const std::string& element) {
    if (const auto& service = this->service())
        service->postPromotionCoupon(command, element);
}

void BCPromotionPannelViewController::handlePoints(const platform::Dictionary& params) {
    if (m_scoreRequestCount++ >= kMaxPointsReplies) {
        m_myContentView->showScoreMessage(kNoPointsMessage);
        return;
    }
    if (params["status"].stringOr("") == "01") {
        const std::string* token = textOf(params["uuid"]);
        m_uuid = token ? std::optional<std::string>(*token) : std::nullopt;
        schedulePointsRequery();
    } else if (const std::string* empty = textOf(params["empty_info"])) {
        m_myContentView->showScoreMessage(*empty);
    } else if (params["options"].isArray()) {
        m_myContentView->hideScoreMessage();
        m_myContentView->refreshScoreListWithData(params["options"]);
    }
}

void BCPromotionPannelViewController::schedulePointsRequery() {
    const platform::Dictionary* points = nullptr;
    for (const platform::Value& each : items())
        if (each["type"].stringOr("") == "point") {
            points = each.getDictionary();
            break;
        }
    const std::string* action = points ? textOf((*points)["action"]) : nullptr;
    if (!action)
        return;
    const std::weak_ptr<BCPromotionPannelViewController> weak =
        std::static_pointer_cast<BCPromotionPannelViewController>(shared_from_this());
    platform::DispatchQueue::main()->after(kPointsRequeryDelay, [weak, command = *action] {
        if (const auto panel = weak.lock())
            panel->getScore(command, panel->m_uuid);
    });
}

// --- Pages' notifications -------------------------------------------------------------------------

bool BCPromotionPannelViewController::fromOwnPage(const platform::Notification& notification) const {
    return m_myContentView && m_myContentView->isPage(notification.object);
}

void BCPromotionPannelViewController::panelViewSelectCoupon(const platform::Notification& notification) {
    if (!fromOwnPage(notification))
        return;
    m_myContentView->deselectAllListView();
    if (const auto controller = myController()) {
        const platform::Dictionary option = notification.userInfo;  // the controller may let go of the poster
        controller->panelViewWithCoupon(option);
        closeAction();
    }
}

void BCPromotionPannelViewController::couponViewVerify(const platform::Notification& notification) {
    if (!fromOwnPage(notification))
        return;
    const platform::Dictionary& check = notification.userInfo;
    const std::string* action = textOf(check["button_action"]);
    if (!action) {
        platform::Log::write("BCPromotionPannelViewController: the coupon field names no check");
        return;
    }
    const std::string parameter = BCJsonService::member(check["name"].stringOr(""), check["value"].stringOr(""));
    getCoupon(*action, parameter);
    showLoadingAlertView();
}

void BCPromotionPannelViewController::couponFormatErr(const platform::Notification& notification) {
    if (!fromOwnPage(notification))
        return;
    showAlertViewWithMessage(BCLocale::instance()->getStringById(12016));
}

// --- Service answers ------------------------------------------------------------------------------

void BCPromotionPannelViewController::comunicateToBCMPDidSucceedWithEvent(int event, const platform::Value& data) {
    if (!m_myContentView)
        return;
    const platform::Dictionary& params = data["params"].dictionaryOrEmpty();
    if (event == kBCEventPoints) {
        handlePoints(params);
    } else if (event == kBCEventCoupon) {
        dismissAlertView();
        m_myContentView->refreshCouponViewWithData(params["options"]);
    }
}

void BCPromotionPannelViewController::comunicateToBCMPDidFailWithErrorType(int type, const std::optional<std::string>& error) {
    dismissAlertView();
    if (m_myContentView)
        m_myContentView->hideScoreMessage();
    BCBaseViewController::comunicateToBCMPDidFailWithErrorType(type, error);
}

} // namespace cardpay
