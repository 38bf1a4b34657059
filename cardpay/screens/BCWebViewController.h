// One web page inside the payment road (agreements, bank lists, help pages): the bar shows its spinner
// until the page (its frames included) has finished loading, then the title it was opened with, or the
// page's own title when it was opened without one. A page that fails to load, or whose address leads
// somewhere refused, stops the spinner and shows the error alert; a load stopped without a fault (by the
// page itself, say) stops it too, with the title and no alert; the web view is opaque, so nothing
// behind it shows through an empty page. Only web addresses load (BCUtils::isWebAddress): another
// address loads nothing, and a page cannot lead itself or its frames anywhere else (an empty frame's
// "about:" address aside). Screens open it through BCBaseViewController::openWebPage.
//
// Main thread only.
#pragma once
#include "cardpay/screens/BCBaseViewController.h"
#include "platform/WebView.h"

#include <memory>
#include <string>

namespace cardpay {

class BCWebViewController : public BCBaseViewController, public platform::WebViewDelegate {
public:
    static std::shared_ptr<BCWebViewController> initWithUrl(const std::string& url, const std::string& barTitle);

    void viewDidLoad() override;
    void addNavigationBar() override;
    void addAdBar() override {}
    bool shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                    platform::WebViewNavigationType navigationType) override;
    void webViewDidStartLoad(platform::WebView& webView) override;
    void webViewDidFinishLoad(platform::WebView& webView) override;
    void didFailLoadWithError(platform::WebView& webView, const platform::Error& error) override;
    void willRotateToInterfaceOrientation(platform::InterfaceOrientation orientation, double duration) override;

    const std::string& barTitle() const { return m_barTitle; }
    const std::string& webViewUrl() const { return m_webViewUrl; }
    const std::shared_ptr<platform::WebView>& webView() const { return m_webView; }

private:
    // One load (the page's or a frame's) ended: whether the page's loads are all over.
    bool loadEnded(platform::WebView& webView);
    // The page's loads ended: the title (or, after a failure, the error alert) replaces the spinner.
    void pageEnded(platform::WebView& webView, std::optional<std::string> failure);

    std::string m_barTitle;
    int m_openLoads = 0;      // started and not yet ended (the page's and its frames')
    bool m_refused = false;   // the page's address led somewhere refused; its load ends cancelled
    std::string m_webViewUrl;
    std::shared_ptr<platform::WebView> m_webView;
};

} // namespace cardpay
