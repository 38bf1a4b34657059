#include "cardpay/screens/BCWebViewController.h"

#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCUtils.h"
#include "cardpay/views/BCTextSize.h"
#include "cardpay/views/BCViews.h"
#include "platform/net/URLError.h"
#include "platform/net/URLRequest.h"
#include "platform/text/URL.h"
#include "platform/web/LoadFailure.h"

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
    m_webView->setHidden(true);  // until a page shows (pageEnded)
    view()->addSubview(m_webView);
    if (const auto url = platform::URL::fromString(m_webViewUrl); url && BCUtils::isWebAddress(m_webViewUrl))
        m_webView->loadRequest(platform::URLRequest(*url));
    else
        pageEnded(*m_webView, BCLocale::instance()->getStringById(kCannotBeOpened));  // nothing to load: nothing will end
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
            pageEnded(webView, BCLocale::instance()->getStringById(kCannotBeOpened));
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
    const std::optional<platform::LoadFailure> failure = platform::describeLoadFailure(error);
    if (m_refused)
        pageEnded(webView, BCLocale::instance()->getStringById(kCannotBeOpened), true);  // led away mid-load: the page is gone
    else if (!failure)
        pageEnded(webView, std::nullopt); // stopped (by the page itself, say), or a new load replaces it: no fault
    else
        pageEnded(webView, failureText(*failure));
}

std::string BCWebViewController::failureText(const platform::LoadFailure& failure) {
    // Another try is offered only where it may go otherwise: a download or an address refused fails the
    // same way each time.
    switch (failure.kind) {
    case platform::LoadFailureKind::Download: return BCLocale::instance()->getStringById(kIsADownload);
    case platform::LoadFailureKind::Refused: return BCLocale::instance()->getStringById(kCannotBeOpened);
    default: return BCLocale::instance()->getStringById(12002);
    }
}

void BCWebViewController::pageEnded(platform::WebView& webView, std::optional<std::string> failure, bool pageLost) {
    m_refused = false;
    if (!failure)
        m_pageShown = true;
    else if (pageLost)
        m_pageShown = false;
    // An engine's view without a page drawn may let what lies below the road show through it: while no
    // page shows, the screen's own opaque ground takes its place.
    webView.setHidden(!m_pageShown);
    if (navigationBar())
        navigationBar()->resetBarTitle(shownTitle(webView, failure.has_value()));
    if (failure)
        showAlertViewWithMessage(*failure);
}

std::string BCWebViewController::shownTitle(platform::WebView& webView, bool failed) const {
    if (std::string title = oneLine(m_barTitle); !title.empty())
        return title;
    if (!failed)
        if (std::string title = oneLine(webView.stringByEvaluatingJavaScriptFromString("document.title")); !title.empty())
            return title;
    // No title of its own: where the page is (the address the page came from once loaded).
    const platform::URLRequest* loaded = failed ? nullptr : webView.request();
    auto url = loaded && loaded->url() ? std::optional<platform::URL>(*loaded->url()) : platform::URL::fromString(m_webViewUrl);
    if (url && url->host() && !oneLine(*url->host()).empty())
        return oneLine(*url->host());
    return BCLocale::instance()->getStringById(13001);
}

std::string BCWebViewController::oneLine(std::string_view text) {
    // Blanks and line breaks of any run become one space, none at the ends; at most a bar's worth.
    std::string line;
    bool blank = false;
    for (const char c : cutForLayout(text, kMaxTitleCharacters)) {
        if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
            blank = !line.empty();
            continue;
        }
        if (blank)
            line += ' ';
        blank = false;
        line += c;
    }
    return line;
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
