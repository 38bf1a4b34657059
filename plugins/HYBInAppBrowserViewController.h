// The in-app browser's screen: a second web view (WebView::create: the real engine in the application,
// the headless one in unit tests) with a toolbar (close, back, forward), a one-line location bar and a
// spinner; and the navigation controller the screen is presented in, with a bar behind the status bar.
//
// Layout, in the view's bounds: the status bar's height (getStatusBarOffset: the navigation controller's
// bar lies behind it) stays clear at the top; below it the toolbar (44 points) when it is at the top; the
// location bar (21, 5 points from the left) at the foot, above the toolbar when that is at the bottom; the
// web view fills what is left, so that no bar covers any of the page. Showing or hiding a bar, or the
// screen appearing, lays it all out again.
//
// Words: the location bar reads "Loading..." while a load runs, then the address of the page shown (a
// failed load leaves the page that was shown, and its address); with no page to show, the address that
// failed. A failure (a cancellation is none) is said in the phone's words (platform::describeLoadFailure):
// with no page to show, a heading and the reason in the middle of the screen's ground; with a page still
// shown, an alert above the screen while it is on the screen (one at a time, gone when the screen closes).
//
// Guarantees:
// - Main thread only.
// - The web view's events reach the screen through its own HYBWebViewDelegate (one start, then one
//   finish or failure per page), and then the navigation delegate (the plug-in, held weakly); without
//   a navigation delegate every load is refused.
// - The user-agent lock (HYBUserAgentUtil): the screen takes it at its first navigation and loads with
//   its own agent; later navigations load at once; `close` and `viewDidUnload` set the application's
//   agent back and release it. A navigation that waits for the lock loads when it is handed over.
// - `close` tells the navigation delegate (browserExit) at once and dismisses the screen on a later turn
//   of the main queue (the screen held weakly by that task), once a presentation still under way has
//   ended (a dismissal asked meanwhile would be refused).
#pragma once

#include "platform/ui/ActivityIndicatorView.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/BarButtonItem.h"
#include "platform/ui/Label.h"
#include "platform/ui/NavigationController.h"
#include "platform/ui/Toolbar.h"
#include "platform/ui/ViewController.h"
#include "platform/web/LoadFailure.h"
#include "platform/web/WebView.h"
#include "platform/web/WebViewDelegate.h"
#include "plugins/HYBInAppBrowserOptions.h"
#include "runtime/HYBScreenOrientationDelegate.h"
#include "runtime/HYBWebViewDelegate.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace plugins {

class HYBInAppBrowser;

inline constexpr double kHYBInAppBrowserToolbarHeight = 44;
inline constexpr double kHYBInAppBrowserLocationBarHeight = 21;
inline constexpr double kHYBInAppBrowserBarsHeight = 65;

class HYBInAppBrowserViewController : public platform::ViewController,
                                      public platform::WebViewDelegate,
                                      public runtime::HYBScreenOrientationDelegate {
public:
    // initWithUserAgent:prevUserAgent:browserOptions: - the agent for the browser's loads, the
    // application's agent, and the options; builds the views.
    static std::shared_ptr<HYBInAppBrowserViewController> create(std::string userAgent, std::string prevUserAgent,
                                                                 const HYBInAppBrowserOptions& browserOptions);
    ~HYBInAppBrowserViewController() override;

    void navigateTo(const platform::URL& url);
    void close();
    void goBack();
    void goForward();
    void showLocationBar(bool show);
    void showToolBar(bool show, const std::string& toolbarPosition);
    void setCloseButtonTitle(const std::string& title);
    void setWebViewFrame(platform::Rect frame);
    // Lays the bars and the web view out (see above).
    void rePositionViews();
    double getStatusBarOffset() const;

    // Web view events (through the screen's HYBWebViewDelegate).
    bool shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                    platform::WebViewNavigationType navigationType) override;
    void webViewDidStartLoad(platform::WebView& webView) override;
    void webViewDidFinishLoad(platform::WebView& webView) override;
    void didFailLoadWithError(platform::WebView& webView, const platform::Error& error) override;

    void viewWillAppear(bool animated) override;
    void viewDidUnload() override;
    platform::StatusBarStyle preferredStatusBarStyle() override;
    bool prefersStatusBarHidden() override { return false; }
    bool shouldAutorotate() override;
    platform::InterfaceOrientationMask supportedInterfaceOrientations() override;
    bool shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) override;

    std::shared_ptr<HYBInAppBrowser> navigationDelegate() const { return m_navigationDelegate.lock(); }
    void setNavigationDelegate(std::weak_ptr<HYBInAppBrowser> delegate) { m_navigationDelegate = std::move(delegate); }
    std::shared_ptr<runtime::HYBScreenOrientationDelegate> orientationDelegate() const { return m_orientationDelegate.lock(); }
    void setOrientationDelegate(std::weak_ptr<runtime::HYBScreenOrientationDelegate> delegate) { m_orientationDelegate = std::move(delegate); }

    const std::optional<platform::URL>& currentURL() const { return m_currentURL; }
    const HYBInAppBrowserOptions& browserOptions() const { return m_browserOptions; }
    std::int64_t userAgentLockToken() const { return m_userAgentLockToken; }
    const std::shared_ptr<platform::WebView>& webView() const { return m_webView; }
    const std::shared_ptr<platform::Toolbar>& toolbar() const { return m_toolbar; }
    const std::shared_ptr<platform::Label>& addressLabel() const { return m_addressLabel; }
    const std::shared_ptr<platform::ActivityIndicatorView>& spinner() const { return m_spinner; }
    // The failure's heading and reason on the ground (hidden while there is none to tell).
    const std::shared_ptr<platform::Label>& failureTitleLabel() const { return m_failureTitleLabel; }
    const std::shared_ptr<platform::Label>& failureReasonLabel() const { return m_failureReasonLabel; }
    // The alert telling why a load failed while a page stays shown, while it shows.
    std::shared_ptr<platform::AlertView> failureAlert() const { return m_failureAlert.lock(); }
    const std::shared_ptr<platform::BarButtonItem>& closeButton() const { return m_closeButton; }
    const std::shared_ptr<platform::BarButtonItem>& backButton() const { return m_backButton; }
    const std::shared_ptr<platform::BarButtonItem>& forwardButton() const { return m_forwardButton; }

    HYBInAppBrowserViewController(std::string userAgent, std::string prevUserAgent, const HYBInAppBrowserOptions& browserOptions);

private:
    void createViews();
    void layOutViews();
    void updateButtons();
    // A failed load's end, once the web view has made the page still shown current again (the load that
    // failed was of `failedURL`; no `failure` for a cancellation).
    void failedLoadEnded(const std::string& failedURL, const std::optional<platform::LoadFailure>& failure);
    // The failure's words on the ground, or none.
    void showFailure(const std::optional<platform::LoadFailure>& failure);
    void dismissFailureAlert();
    // Dismisses the screen (or its navigation controller) from its presenter (see `close`).
    static void dismissPresented(const std::weak_ptr<ViewController>& weak);
    // Sets the application's agent back while the screen holds the lock.
    void restoreUserAgent();
    // A bar item calling `action` on this screen (held weakly).
    void target(platform::BarButtonItem& item, void (HYBInAppBrowserViewController::*action)());

    std::string m_userAgent;
    std::string m_prevUserAgent;
    std::int64_t m_userAgentLockToken = 0;
    HYBInAppBrowserOptions m_browserOptions;
    std::string m_toolbarPosition; // as showToolBar last gave it
    std::uint64_t m_loadsStarted = 0;
    int m_openLoads = 0; // started and not yet ended (the page's and its frames')
    std::shared_ptr<runtime::HYBWebViewDelegate> m_webViewDelegate;
    std::optional<platform::URL> m_currentURL;
    std::shared_ptr<platform::WebView> m_webView;
    std::shared_ptr<platform::BarButtonItem> m_closeButton;
    std::shared_ptr<platform::Label> m_addressLabel;
    std::shared_ptr<platform::BarButtonItem> m_backButton;
    std::shared_ptr<platform::BarButtonItem> m_forwardButton;
    std::shared_ptr<platform::ActivityIndicatorView> m_spinner;
    std::shared_ptr<platform::Toolbar> m_toolbar;
    std::shared_ptr<platform::Label> m_failureTitleLabel;
    std::shared_ptr<platform::Label> m_failureReasonLabel;
    std::weak_ptr<platform::AlertView> m_failureAlert;
    std::weak_ptr<runtime::HYBScreenOrientationDelegate> m_orientationDelegate;
    std::weak_ptr<HYBInAppBrowser> m_navigationDelegate;
};

// The navigation controller the browser screen is presented in (its navigation bar hidden).
class HYBInAppBrowserNavigationController : public platform::NavigationController {
public:
    static std::shared_ptr<HYBInAppBrowserNavigationController> create(const std::shared_ptr<platform::ViewController>& root);

    // Adds a toolbar behind the status bar (its frame: invertFrameIfNeeded of the status bar's frame).
    void viewDidLoad() override;
    // Below system 8.0 in landscape: origin (0, 0) with width and height exchanged; else unchanged.
    static platform::Rect invertFrameIfNeeded(platform::Rect rect);

    bool shouldAutorotate() override;
    platform::InterfaceOrientationMask supportedInterfaceOrientations() override;
    bool shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) override;

    std::shared_ptr<runtime::HYBScreenOrientationDelegate> orientationDelegate() const { return m_orientationDelegate.lock(); }
    void setOrientationDelegate(std::weak_ptr<runtime::HYBScreenOrientationDelegate> delegate) { m_orientationDelegate = std::move(delegate); }
    // The bar behind the status bar, once the view has loaded.
    const std::shared_ptr<platform::Toolbar>& statusBarBackground() const { return m_statusBarBackground; }

private:
    std::weak_ptr<runtime::HYBScreenOrientationDelegate> m_orientationDelegate;
    std::shared_ptr<platform::Toolbar> m_statusBarBackground;
};

} // namespace plugins
