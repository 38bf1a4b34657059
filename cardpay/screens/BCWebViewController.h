// One web page inside the payment road (agreements, bank lists, help pages): the bar shows its spinner
// until the page (its frames included) has finished loading, then the title it was opened with, or,
// opened without one, the page's own title, else (a page without a title, a page that failed) the host
// of its address, else text 13001: the bar is never left empty. A page that fails to load, or whose
// address leads somewhere refused, stops the spinner and shows the error alert saying what happened
// (platform::describeLoadFailure): a fault of the network or the server that may pass asks for another
// try (text 12002); a page that is a download (12021), or an address refused or that no try will open
// (12022), says so and offers none. A load stopped without a fault (by the page itself, say) stops the
// spinner too, with the title and no alert. The screen is opaque:
// the web view is, and it is hidden while no page shows (none has loaded yet, or a load was led somewhere
// refused), so that nothing behind the road shows through a view with no page drawn. Only web addresses load (BCUtils::isWebAddress): another address
// loads nothing (the spinner stops with the error alert at once), and a page cannot lead itself or its
// frames anywhere else (an empty frame's "about:" address aside). Screens open it through
// BCBaseViewController::openWebPage.
//
// Main thread only.
#pragma once
#include "cardpay/screens/BCBaseViewController.h"
#include "platform/web/LoadFailure.h"
#include "platform/web/WebView.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>

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
    // The page's loads ended: the title (and, after a failure, the error alert) replaces the spinner.
    // `pageLost`: the load was led somewhere refused after it started, which leaves no page drawn.
    void pageEnded(platform::WebView& webView, std::optional<std::string> failure, bool pageLost = false);
    // The alert's text for a failed load (see above).
    static std::string failureText(const platform::LoadFailure& failure);
    // The bar's title once the page's loads ended (see above).
    std::string shownTitle(platform::WebView& webView, bool failed) const;
    // A title as one line: runs of blanks and line breaks one space, none at the ends, cut for the bar.
    static std::string oneLine(std::string_view text);

    static constexpr std::size_t kMaxTitleCharacters = 200;
    static constexpr int kIsADownload = 12021;
    static constexpr int kCannotBeOpened = 12022;

    std::string m_barTitle;
    int m_openLoads = 0;      // started and not yet ended (the page's and its frames')
    bool m_refused = false;   // the page's address led somewhere refused; its load ends cancelled
    bool m_pageShown = false; // a page has loaded: the web view shows it
    std::string m_webViewUrl;
    std::shared_ptr<platform::WebView> m_webView;
};

} // namespace cardpay
