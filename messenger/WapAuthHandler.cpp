#include "messenger/WapAuthHandler.h"

#include "messenger/MXApi.h"
#include "messenger/MessengerApiUtil.h"

#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/text/Format.h"

#include <cstdlib>

namespace messenger {

namespace {

std::string& serviceURLSetting() {
    static std::string url = WapAuthHandler::kDefaultServiceURL;
    return url;
}

} // namespace

std::shared_ptr<WapAuthHandler> WapAuthHandler::shareWapAuthHandlerInstance() {
    static auto* instance = new std::shared_ptr<WapAuthHandler>(std::make_shared<WapAuthHandler>());
    return *instance;
}

void WapAuthHandler::setServiceURL(std::string url) { serviceURLSetting() = std::move(url); }
std::string WapAuthHandler::serviceURL() { return serviceURLSetting(); }

bool WapAuthHandler::beginWapAuth(const std::shared_ptr<SendAuthReq>& req, const std::shared_ptr<platform::ViewController>& currentVC,
                                  const std::string& appId, MXApiDelegate* delegate) {
    if (!MessengerApiUtil::checkAppId(appId, "sendAuthReq"))
        return false;
    endWapAuth();
    m_delegate = delegate;
    m_running = true;
    m_timeStamp = static_cast<std::uint64_t>(::random());
    m_sendAuthReq = req;
    m_appId = appId;
    const std::uint64_t generation = ++m_generation;

    m_navigationController = platform::NavigationController::create(getWebViewController());
    if (m_closing)
        m_pendingPresentation = [this, presenter = std::weak_ptr(currentVC), page = m_navigationController] { present(presenter, page); };
    else
        present(currentVC, m_navigationController);

    platform::DispatchQueue::main()->after(kFirstLoadDelay, [weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (self && self->m_running && self->m_generation == generation && self->m_webViewController)
            self->m_webViewController->refresh(self->getMobileCheckUrl());
    });
    return true;
}

void WapAuthHandler::present(const std::weak_ptr<platform::ViewController>& presenter,
                             const std::shared_ptr<platform::NavigationController>& page) {
    auto controller = presenter.lock();
    const bool shown = controller && controller->presentViewController(page, true, [weak = weak_from_this(), page] {
        auto self = weak.lock();
        if (self && self->m_closeWhenShown == page) {
            self->m_closeWhenShown.reset();
            self->closePage(page);
        }
    });
    if (!shown)
        platform::Log::write("The sign-in page cannot be shown: no controller free to present it");
}

void WapAuthHandler::closePage(const std::shared_ptr<platform::NavigationController>& page) {
    if (!page || !page->presentingViewController())
        return;
    m_closing = true;
    if (page->isBeingTransitioned()) { // still appearing: it closes when it has appeared
        m_closeWhenShown = page;
        return;
    }
    page->dismissViewController(true, [weak = weak_from_this()] {
        auto self = weak.lock();
        if (!self)
            return;
        self->m_closing = false;
        if (auto presentation = std::exchange(self->m_pendingPresentation, {}))
            presentation();
    });
}

bool WapAuthHandler::handleWapOAuthOpenUrl(std::string_view url) {
    if (!m_running)
        return false;
    const std::string prefix = m_appId + "://wapoauth?";
    if (url.size() <= prefix.size() || url.substr(0, prefix.size()) != prefix)
        return false;
    // The rest goes into the next page's URL as it stands: bounded like every argument.
    if (url.size() - prefix.size() > MXApi::kMaxArgumentLength) {
        platform::Log::writef("wapoauth refused: its arguments are %zu bytes long, more than %zu", url.size() - prefix.size(),
                              MXApi::kMaxArgumentLength);
        return true; // it was the sign-in's URL: nobody else takes it
    }
    getWebViewController()->refresh(getSmsAuthorizeUrl(url.substr(prefix.size())));
    return true;
}

bool WapAuthHandler::endWapAuth() {
    if (!m_running)
        return false;
    onCancelOAuthWebView();
    return true;
}

void WapAuthHandler::onCancelOAuthWebView() {
    m_running = false;
    if (m_alert) // a question about a sign-in that is over
        std::exchange(m_alert, nullptr)->dismissWithClickedButtonIndex(0, false);
    closePage(std::exchange(m_navigationController, nullptr));
    m_webViewController.reset();
}

void WapAuthHandler::cancelWapOAuth() {
    m_alert = platform::AlertView::create("", "取消后将退出本次登录", shared_from_this(), std::string("继续登录"), {"退出登录"});
    m_alert->show();
}

void WapAuthHandler::clickedButtonAtIndex(platform::AlertView& alert, long index) {
    if (&alert == m_alert.get())
        m_alert.reset();
    // Only the question of the running sign-in counts; "继续登录" (the cancel button) changes nothing.
    if (!m_running || index != alert.firstOtherButtonIndex())
        return;
    if (m_delegate && m_delegate->respondsToResp()) {
        auto resp = std::make_shared<SendAuthResp>();
        resp->errCode = kMXErrCodeUserCancel;
        m_delegate->onResp(resp);
    }
    endWapAuth();
}

std::string WapAuthHandler::getMobileCheckUrl() const {
    return platform::formatString(std::string_view("%@/connect/mobilecheck?appid=%@&uid=%llu"),
                                  {serviceURL(), MessengerApiUtil::escapingForURLArgument(m_appId), m_timeStamp});
}

std::string WapAuthHandler::getSmsAuthorizeUrl(std::string_view rest) const {
    // The app's own texts are escaped: a "&" or "#" in them must not add arguments or end the query.
    const auto escaped = [](const OptString& text) -> OptString {
        return text ? OptString(MessengerApiUtil::escapingForURLArgument(*text)) : std::nullopt;
    };
    const OptString scope = escaped(m_sendAuthReq ? m_sendAuthReq->scope : std::nullopt);
    const OptString state = escaped(m_sendAuthReq ? m_sendAuthReq->state : std::nullopt);
    const std::string appId = MessengerApiUtil::escapingForURLArgument(m_appId);
    constexpr std::string_view format = "%@/connect/smsauthorize?appid=%@&redirect_uri=%@%%3A%%2F%%2Foauth&response_type=code"
                                        "&scope=%@&state=%@&uid=%llu&%@";
    return platform::formatString(format,
                                  {serviceURL(), appId, appId, scope, state, m_timeStamp, std::string(rest)});
}

std::shared_ptr<MXUIWebViewControll> WapAuthHandler::getWebViewController() {
    if (m_webViewController)
        return m_webViewController;
    m_webViewController = MXUIWebViewControll::initWithDelegate(shared_from_this());
    m_cancelItem = platform::BarButtonItem::withTitle("取消", platform::BarButtonItemStyle::Bordered);
    m_cancelItem->setTarget(weak_from_this(), [weak = weak_from_this()](platform::BarButtonItem&) {
        if (auto self = weak.lock())
            self->cancelWapOAuth();
    });
    m_webViewController->navigationItem()->setLeftBarButtonItem(m_cancelItem);
    m_webViewController->setTitle("信使登录");
    return m_webViewController;
}

void WapAuthHandler::onHiddenLeftBar() {
    if (m_webViewController)
        m_webViewController->navigationItem()->setLeftBarButtonItem(nullptr);
}

void WapAuthHandler::onShowLeftBar() {
    if (m_webViewController)
        m_webViewController->navigationItem()->setLeftBarButtonItem(m_cancelItem);
}

std::map<std::string, std::string> WapAuthHandler::parseURLParams(std::string_view query) { return MXApi::parseURLParams(query); }

} // namespace messenger
