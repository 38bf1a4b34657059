#include "cardpay/screens/BCWebViewController.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCViews.h"
#include "platform/URL.h"
#include "platform/URLError.h"
#include "platform/URLRequest.h"

namespace cardpay {

std::shared_ptr<BCWebViewController> BCWebViewController::initWithUrl(const std::string& url, const std::string& barTitle) {
    auto screen = std::shared_ptr<BCWebViewController>(new BCWebViewController());
    screen->m_webViewUrl = url;
    screen->m_barTitle = barTitle;
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
    m_webView->setBackgroundColor(platform::Color::white());
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

bool BCWebViewController::shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                                     platform::WebViewNavigationType) {
    const std::string address = request.url() ? request.url()->absoluteString() : std::string();
    if (request.url() && (BCUtils::isWebAddress(address) || address.starts_with("about:")))
        return true;
    // The page itself (not one of its frames) is led somewhere refused: a redirect's load ends cancelled
    // next; a new navigation ends here, with nothing else to come.
    if (request.mainDocumentURL() && request.url() && request.mainDocumentURL()->absoluteString() == address) {
        m_refused = true;
        if (m_openLoads == 0)
            pageEnded(webView, BCLocale::instance()->getStringById(12003));
    }
    return false;
}

void BCWebViewController::webViewDidStartLoad(platform::WebView&) { ++m_openLoads; }

bool BCWebViewController::loadEnded(platform::WebView& webView) {
    if (m_openLoads > 0)
        --m_openLoads;
    if (m_openLoads > 0 && webView.isLoading())
        return false; // a frame's end; the page's comes last
    m_openLoads = 0;
    return true;
}

void BCWebViewController::webViewDidFinishLoad(platform::WebView& webView) {
    if (loadEnded(webView))
        pageEnded(webView, std::nullopt);
}

void BCWebViewController::didFailLoadWithError(platform::WebView& webView, const platform::Error& error) {
    if (!loadEnded(webView))
        return; // a frame failed; the page goes on
    if (m_refused)
        pageEnded(webView, BCLocale::instance()->getStringById(12003));
    else if (error.code == platform::kURLErrorCancelled)
        pageEnded(webView, std::nullopt); // stopped (by the page itself, say), or a new load replaces it: no fault
    else
        pageEnded(webView, BCLocale::instance()->getStringById(12002));
}

void BCWebViewController::pageEnded(platform::WebView& webView, std::optional<std::string> failure) {
    m_refused = false;
    if (navigationBar()) {
        std::string title = m_barTitle;
        if (title.empty() && !failure)
            title = webView.stringByEvaluatingJavaScriptFromString("document.title");
        navigationBar()->resetBarTitle(title);
    }
    if (failure)
        showAlertViewWithMessage(*failure);
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
