#include "messenger/MXUIWebViewControll.h"

#include "platform/core/Log.h"
#include "platform/net/URLRequest.h"
#include "platform/text/URL.h"
#include "platform/ui/Screen.h"

namespace messenger {

std::shared_ptr<MXUIWebViewControll> MXUIWebViewControll::initWithDelegate(const std::shared_ptr<MXUIWebViewControllDelegate>& delegate) {
    auto controller = std::make_shared<MXUIWebViewControll>();
    controller->m_delegate = delegate;
    return controller;
}

void MXUIWebViewControll::viewDidLoad() {
    m_webView = platform::WebView::create(platform::Screen::main().bounds());
    // The sign-in service's pages are not the application's.
    m_webView->setShowsForeignPages(true);
    m_webView->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleHeight);
    m_webView->setDelegate(std::static_pointer_cast<MXUIWebViewControll>(shared_from_this()));
    m_webView->setUserInteractionEnabled(true);
    // An engine's view with no page drawn lets what lies below show through it: until a page has loaded
    // (none may, when the address is bad or the service is down) the screen's own white ground shows.
    view()->setBackgroundColor(platform::Color::white());
    m_webView->setHidden(true);
    view()->addSubview(m_webView);
}

void MXUIWebViewControll::webViewDidFinishLoad(platform::WebView& webView) { webView.setHidden(false); }

void MXUIWebViewControll::refresh(const std::string& url) {
    auto parsed = platform::URL::fromString(url);
    if (!parsed) {
        platform::Log::writef("The sign-in page's address is not a URL: %s", url.c_str());
        return;
    }
    view(); // the web view comes with the view
    m_webView->loadRequest(platform::URLRequest(*parsed));
}

} // namespace messenger
