#include "cardpay/screens/BCWebViewController.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCViews.h"
#include "platform/URL.h"
#include "platform/URLRequest.h"

namespace cardpay {

std::shared_ptr<BCWebViewController> BCWebViewController::initWithUrl(const std::string& url, const std::string& barTitle) {
    auto screen = std::shared_ptr<BCWebViewController>(new BCWebViewController());
    screen->m_webViewUrl = url;
    screen->m_barTitle = barTitle;
    if (const auto parsed = platform::URL::fromString(url))
        screen->m_absoluteUrl = parsed->absoluteString();
    return screen;
}

void BCWebViewController::viewDidLoad() {
    BCBaseViewController::viewDidLoad();
    const double top = BCUtils::viewControllerBoundsOriginY();
    m_webView = platform::WebView::create(platform::Rect(0, top + kBarHeight, BCUtils::displayWidth(),
                                                         BCUtils::displayHeight() - kBarHeight - BCUtils::statusBarHeight()));
    // The payment server's pages (and wherever they lead) are not the application's.
    m_webView->setShowsForeignPages(true);
    m_webView->setDelegate(std::static_pointer_cast<platform::WebViewDelegate>(
        std::static_pointer_cast<BCWebViewController>(shared_from_this())));
    m_webView->setBackgroundColor(platform::Color::clear());
    if (const auto url = platform::URL::fromString(m_webViewUrl); url && BCUtils::isWebAddress(m_webViewUrl))
        m_webView->loadRequest(platform::URLRequest(*url));
    view()->addSubview(m_webView);
}

void BCWebViewController::addNavigationBar() {
    const std::weak_ptr<BCWebViewController> weak = std::static_pointer_cast<BCWebViewController>(shared_from_this());
    auto bar = std::make_shared<BCNavigationBar>(
        platform::Rect(0, BCUtils::viewControllerBoundsOriginY(), BCUtils::displayWidth(), kBarHeight), std::nullopt,
        BCLocale::instance()->getStringById(10006), weak,
        [weak] {
            if (const auto screen = weak.lock())
                screen->backAction();
        },
        true);
    setNavigationBar(bar);
    view()->addSubview(bar);
}

bool BCWebViewController::shouldStartLoadWithRequest(platform::WebView&, const platform::URLRequest& request,
                                                     platform::WebViewNavigationType) {
    if (!request.url())
        return false;
    const std::string address = request.url()->absoluteString();
    return BCUtils::isWebAddress(address) || address.starts_with("about:");
}

void BCWebViewController::webViewDidFinishLoad(platform::WebView& webView) {
    const platform::URLRequest* request = webView.request();
    if (m_absoluteUrl.empty() || !request || !request->url())
        return;
    if (request->url()->absoluteString().starts_with(m_absoluteUrl) && navigationBar())
        navigationBar()->resetBarTitle(m_barTitle);
}

void BCWebViewController::willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) {
    const bool rotates = mScrollView() && mScrollView()->frame().size.width != BCUtils::rotatedWidth();
    BCBaseViewController::willRotateToInterfaceOrientation(orientation, duration);
    if (!rotates || !m_webView)
        return;
    inBaseViewAnimation(duration, [this] {
        platform::Rect frame = m_webView->frame();
        frame.size.width = BCUtils::rotatedWidth();
        frame.size.height -= BCUtils::rotatedOffset();
        m_webView->setFrame(frame);
    });
}

} // namespace cardpay
