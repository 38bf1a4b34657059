#include "plugins/HYBInAppBrowserViewController.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/net/URLRequest.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"
#include "platform/ui/Font.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Window.h"
#include "platform/web/LoadFailure.h"
#include "plugins/HYBInAppBrowser.h"
#include "runtime/HYBUserAgentUtil.h"

#include <algorithm>
#include <cstdio>

namespace plugins {

namespace {

bool isSystemAtLeast(const char* version) {
    return platform::isVersionAtLeast(platform::Device::current().systemVersion(), version);
}

std::string localized(const std::string& text) { return platform::Bundle::main().localizedString(text); }

// The words a failed load leaves on the screen's ground: a heading, and the reason in up to three lines.
constexpr double kFailureMargin = 20;
constexpr double kFailureTitleFontSize = 20;
constexpr double kFailureTitleHeight = 30;
constexpr double kFailureReasonFontSize = 15;
constexpr int kFailureReasonLines = 3;
constexpr double kFailureReasonHeight = 60;

platform::Rect withY(platform::Rect rect, double y) {
    rect.origin.y = y;
    return rect;
}

std::string describe(platform::Rect rect) {
    char text[160];
    std::snprintf(text, sizeof text, "{{%g, %g}, {%g, %g}}", rect.minX(), rect.minY(), rect.width(), rect.height());
    return text;
}

// The orientation answers of a screen: its delegate's, else autorotation to portrait only.
bool autorotates(const std::shared_ptr<runtime::HYBScreenOrientationDelegate>& delegate) {
    return delegate ? delegate->shouldAutorotate() : true;
}

platform::InterfaceOrientationMask supportedOrientations(const std::shared_ptr<runtime::HYBScreenOrientationDelegate>& delegate) {
    return delegate ? delegate->supportedInterfaceOrientations() : platform::kInterfaceOrientationMaskPortrait;
}

bool autorotatesTo(const std::shared_ptr<runtime::HYBScreenOrientationDelegate>& delegate, platform::InterfaceOrientation orientation) {
    return delegate ? delegate->shouldAutorotateToInterfaceOrientation(orientation) : true;
}

} // namespace

std::shared_ptr<HYBInAppBrowserViewController> HYBInAppBrowserViewController::create(std::string userAgent, std::string prevUserAgent,
                                                                                     const HYBInAppBrowserOptions& browserOptions) {
    auto controller = std::make_shared<HYBInAppBrowserViewController>(std::move(userAgent), std::move(prevUserAgent), browserOptions);
    controller->m_webViewDelegate = std::make_shared<runtime::HYBWebViewDelegate>(
        std::static_pointer_cast<platform::WebViewDelegate>(controller));
    controller->createViews();
    return controller;
}

HYBInAppBrowserViewController::HYBInAppBrowserViewController(std::string userAgent, std::string prevUserAgent,
                                                             const HYBInAppBrowserOptions& browserOptions)
    : m_userAgent(std::move(userAgent)), m_prevUserAgent(std::move(prevUserAgent)), m_browserOptions(browserOptions),
      m_toolbarPosition(browserOptions.toolbarposition) {}

HYBInAppBrowserViewController::~HYBInAppBrowserViewController() {
    dismissFailureAlert();
    if (m_webView)
        m_webView->setDelegate({});
    // A screen dropped while it held the lock (never closed) must not keep other web views waiting.
    if (m_userAgentLockToken != 0) {
        runtime::HYBUserAgentUtil::setUserAgent(m_prevUserAgent, m_userAgentLockToken);
        runtime::HYBUserAgentUtil::releaseLock(m_userAgentLockToken);
    }
}

void HYBInAppBrowserViewController::target(platform::BarButtonItem& item, void (HYBInAppBrowserViewController::*action)()) {
    std::weak_ptr<ViewController> weak = weak_from_this();
    item.setTarget(weak, [weak, action](platform::BarButtonItem&) {
        if (auto self = std::static_pointer_cast<HYBInAppBrowserViewController>(weak.lock()))
            ((*self).*action)();
    });
}

void HYBInAppBrowserViewController::createViews() {
    const std::shared_ptr<platform::View>& root = view();
    const platform::Rect bounds = root->bounds();
    const double width = bounds.width();
    const bool toolbarAtTop = m_toolbarPosition == "top";

    m_webView = platform::WebView::create(bounds);
    // Whatever the page opens here is the page's choice.
    m_webView->setShowsForeignPages(true);
    m_webView->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleHeight);
    root->addSubview(m_webView);
    root->sendSubviewToBack(m_webView);
    m_webView->setDelegate(m_webViewDelegate);
    m_webView->setBackgroundColor(platform::Color::white());
    m_webView->setClipsToBounds(true);
    m_webView->setContentMode(platform::ContentMode::ScaleToFill);
    m_webView->setOpaque(true);
    // An engine's view with no page drawn lets the application's page below show through it: hidden, the
    // screen's own ground takes its place until a page has loaded.
    m_webView->setHidden(true);
    m_webView->setScalesPageToFit(false);
    m_webView->setUserInteractionEnabled(true);

    m_spinner = std::make_shared<platform::ActivityIndicatorView>(platform::ActivityIndicatorViewStyle::Gray);
    m_spinner->setFrame(platform::Rect(0, 0, 20, 20));
    m_spinner->setAutoresizingMask(platform::kAutoresizingFlexibleLeftMargin | platform::kAutoresizingFlexibleRightMargin |
                                   platform::kAutoresizingFlexibleTopMargin | platform::kAutoresizingFlexibleBottomMargin);
    m_spinner->setHidesWhenStopped(true);
    m_spinner->setOpaque(false);
    m_spinner->setUserInteractionEnabled(false);
    m_spinner->stopAnimating();

    m_closeButton = platform::BarButtonItem::system(platform::BarButtonSystemItem::Done);
    target(*m_closeButton, &HYBInAppBrowserViewController::close);
    m_closeButton->setEnabled(true);

    std::shared_ptr<platform::BarButtonItem> flexibleSpace = platform::BarButtonItem::flexibleSpace();
    std::shared_ptr<platform::BarButtonItem> fixedSpace = platform::BarButtonItem::fixedSpace(20);

    m_toolbar = std::make_shared<platform::Toolbar>(platform::Rect(0, 0, width, kHYBInAppBrowserToolbarHeight));
    m_toolbar->setAutoresizingMask(toolbarAtTop ? platform::kAutoresizingFlexibleWidth
                                                : platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleTopMargin);
    m_toolbar->setBarStyle(platform::BarStyle::Black);
    m_toolbar->setOpaque(false);
    m_toolbar->setHidden(false);
    m_toolbar->setUserInteractionEnabled(true);

    m_addressLabel = std::make_shared<platform::Label>(platform::Rect(5, 0, width - 5, kHYBInAppBrowserLocationBarHeight));
    m_addressLabel->setAutoresizingMask(platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleRightMargin |
                                        platform::kAutoresizingFlexibleTopMargin);
    m_addressLabel->setBackgroundColor(platform::Color::clear());
    m_addressLabel->setNumberOfLines(1);
    m_addressLabel->setBaselineAdjustment(platform::BaselineAdjustment::AlignCenters);
    m_addressLabel->setLineBreakMode(platform::LineBreakMode::TruncateTail);
    m_addressLabel->setAdjustsFontSizeToFitWidth(false);
    m_addressLabel->setMinimumScaleFactor(10 / platform::Font::kDefaultSize);
    m_addressLabel->setShadowOffset(platform::Size{0, -1});
    m_addressLabel->setTextAlignment(platform::TextAlignment::Left);
    m_addressLabel->setTextColor(platform::Color::white());
    m_addressLabel->setUserInteractionEnabled(false);
    m_addressLabel->setOpaque(false);
    m_addressLabel->setText(localized("Loading..."));

    m_forwardButton = platform::BarButtonItem::withTitle(localized("\u25BA"), platform::BarButtonItemStyle::Plain);
    target(*m_forwardButton, &HYBInAppBrowserViewController::goForward);
    m_forwardButton->setEnabled(true);
    m_backButton = platform::BarButtonItem::withTitle(localized("\u25C4"), platform::BarButtonItemStyle::Plain);
    target(*m_backButton, &HYBInAppBrowserViewController::goBack);
    m_backButton->setEnabled(true);

    m_toolbar->setItems({m_closeButton, flexibleSpace, m_backButton, fixedSpace, m_forwardButton});

    // What happened to a load that left no page to show, on the screen's ground where the page would be.
    m_failureTitleLabel = std::make_shared<platform::Label>(platform::Rect(0, 0, width, kFailureTitleHeight));
    m_failureTitleLabel->setFont(platform::Font::boldSystemFont(kFailureTitleFontSize));
    m_failureReasonLabel = std::make_shared<platform::Label>(platform::Rect(0, 0, width, kFailureReasonHeight));
    m_failureReasonLabel->setFont(platform::Font::systemFont(kFailureReasonFontSize));
    m_failureReasonLabel->setNumberOfLines(kFailureReasonLines);
    m_failureReasonLabel->setLineBreakMode(platform::LineBreakMode::WordWrap);
    for (const std::shared_ptr<platform::Label>& label : {m_failureTitleLabel, m_failureReasonLabel}) {
        label->setAutoresizingMask(platform::kAutoresizingFlexibleWidth);
        label->setBackgroundColor(platform::Color::clear());
        label->setTextAlignment(platform::TextAlignment::Center);
        label->setTextColor(platform::Color::white());
        label->setUserInteractionEnabled(false);
        label->setOpaque(false);
        label->setHidden(true);
    }

    root->setBackgroundColor(platform::Color::grey(0.5));
    root->addSubview(m_failureTitleLabel);
    root->addSubview(m_failureReasonLabel);
    root->addSubview(m_toolbar);
    root->addSubview(m_addressLabel);
    root->addSubview(m_spinner);
    layOutViews();
}

void HYBInAppBrowserViewController::setCloseButtonTitle(const std::string& title) {
    m_closeButton = platform::BarButtonItem::withTitle(title, platform::BarButtonItemStyle::Bordered);
    target(*m_closeButton, &HYBInAppBrowserViewController::close);
    m_closeButton->setEnabled(true);
    m_closeButton->setTintColor(platform::Color::fromRGBA(60 / 255.0, 136 / 255.0, 230 / 255.0, 1));
    std::vector<std::shared_ptr<platform::BarButtonItem>> items = m_toolbar->items();
    items.front() = m_closeButton;
    m_toolbar->setItems(std::move(items));
}

void HYBInAppBrowserViewController::setWebViewFrame(platform::Rect frame) {
    platform::Log::writef("Setting the WebView's frame to %s", describe(frame).c_str());
    m_webView->setFrame(frame);
}

void HYBInAppBrowserViewController::showLocationBar(bool show) {
    m_addressLabel->setHidden(!show);
    layOutViews();
}

void HYBInAppBrowserViewController::showToolBar(bool show, const std::string& toolbarPosition) {
    m_toolbar->setHidden(!show);
    m_toolbarPosition = toolbarPosition;
    m_toolbar->setAutoresizingMask(toolbarPosition == "top" ? platform::kAutoresizingFlexibleWidth
                                                            : platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleTopMargin);
    layOutViews();
}

void HYBInAppBrowserViewController::layOutViews() {
    const platform::Rect bounds = view()->bounds();
    // The page starts below the status bar, which the navigation controller's bar lies behind: its first
    // line is never under it.
    double top = bounds.minY() + getStatusBarOffset();
    double bottom = bounds.maxY();
    if (!m_toolbar->isHidden()) {
        if (m_toolbarPosition == "top") {
            m_toolbar->setFrame(withY(m_toolbar->frame(), top));
            top += kHYBInAppBrowserToolbarHeight;
        } else {
            bottom -= kHYBInAppBrowserToolbarHeight;
            m_toolbar->setFrame(withY(m_toolbar->frame(), bottom));
        }
    }
    if (!m_addressLabel->isHidden()) {
        bottom -= kHYBInAppBrowserLocationBarHeight;
        m_addressLabel->setFrame(withY(m_addressLabel->frame(), bottom));
    }
    const platform::Rect page(bounds.minX(), top, bounds.width(), std::max(0.0, bottom - top));
    if (m_webView->frame() != page)
        setWebViewFrame(page);
    const platform::Point centre = page.center();
    m_spinner->setFrame(platform::Rect(centre.x - 10, centre.y - 10, 20, 20));
    // The failure's words sit in the middle of the page's place, the heading above the reason.
    const double wordsWidth = std::max(0.0, page.width() - 2 * kFailureMargin);
    m_failureTitleLabel->setFrame(platform::Rect(page.minX() + kFailureMargin, centre.y - kFailureTitleHeight, wordsWidth, kFailureTitleHeight));
    m_failureReasonLabel->setFrame(platform::Rect(page.minX() + kFailureMargin, centre.y, wordsWidth, kFailureReasonHeight));
}

void HYBInAppBrowserViewController::viewWillAppear(bool animated) {
    if (isSystemAtLeast("7.0"))
        platform::Application::shared().setStatusBarStyle(preferredStatusBarStyle());
    rePositionViews();
    ViewController::viewWillAppear(animated);
}

void HYBInAppBrowserViewController::rePositionViews() { layOutViews(); }

double HYBInAppBrowserViewController::getStatusBarOffset() const {
    if (!isSystemAtLeast("7.0"))
        return 0;
    const platform::Rect frame = platform::Application::shared().statusBarFrame();
    return std::min(frame.width(), frame.height());
}

platform::StatusBarStyle HYBInAppBrowserViewController::preferredStatusBarStyle() { return platform::StatusBarStyle::Default; }

void HYBInAppBrowserViewController::navigateTo(const platform::URL& url) {
    platform::URLRequest request(url);
    if (m_userAgentLockToken != 0) {
        m_webView->loadRequest(request);
        return;
    }
    auto self = std::static_pointer_cast<HYBInAppBrowserViewController>(shared_from_this());
    std::weak_ptr<platform::WebView> weakWebView = m_webView;
    runtime::HYBUserAgentUtil::acquireLock([self, weakWebView, request](std::int64_t lockToken) {
        self->m_userAgentLockToken = lockToken;
        runtime::HYBUserAgentUtil::setUserAgent(self->m_userAgent, lockToken);
        if (std::shared_ptr<platform::WebView> webView = weakWebView.lock())
            webView->loadRequest(request);
    });
}

void HYBInAppBrowserViewController::restoreUserAgent() {
    if (m_userAgentLockToken != 0)
        runtime::HYBUserAgentUtil::setUserAgent(m_prevUserAgent, m_userAgentLockToken);
}

void HYBInAppBrowserViewController::close() {
    // browserExit lets the plug-in drop the screen: keep it alive to the end of this call.
    std::shared_ptr<ViewController> keepAlive = shared_from_this();
    dismissFailureAlert();
    restoreUserAgent();
    runtime::HYBUserAgentUtil::releaseLock(m_userAgentLockToken);
    m_currentURL.reset();
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->browserExit();
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] { dismissPresented(weak); });
}

void HYBInAppBrowserViewController::dismissPresented(const std::weak_ptr<ViewController>& weak) {
    std::shared_ptr<ViewController> self = weak.lock();
    if (!self)
        return;
    // The controller presented: the screen itself, or the navigation controller it is in.
    std::shared_ptr<ViewController> shown = self->presentingViewController() ? self : self->parentViewController();
    std::shared_ptr<ViewController> presenter = shown ? shown->presentingViewController() : nullptr;
    if (!presenter)
        return; // never shown, or gone already
    // A presentation still under way refuses its dismissal: the screen goes once it has come.
    if (presenter->isBeingTransitioned() || shown->isBeingTransitioned()) {
        platform::RunLoop::main().performAfterDelay(platform::kModalTransitionDuration, [weak] { dismissPresented(weak); });
        return;
    }
    presenter->dismissViewController(true);
}

void HYBInAppBrowserViewController::viewDidUnload() {
    m_webView->loadHTMLString("", "");
    restoreUserAgent();
    runtime::HYBUserAgentUtil::releaseLock(m_userAgentLockToken);
    ViewController::viewDidUnload();
}

void HYBInAppBrowserViewController::goBack() { m_webView->goBack(); }

void HYBInAppBrowserViewController::goForward() { m_webView->goForward(); }

void HYBInAppBrowserViewController::updateButtons() {
    m_backButton->setEnabled(m_webView->canGoBack());
    m_forwardButton->setEnabled(m_webView->canGoForward());
    m_toolbar->setNeedsDisplay();
}

bool HYBInAppBrowserViewController::shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                                               platform::WebViewNavigationType navigationType) {
    if (request.url() && request.url() == request.mainDocumentURL())
        m_currentURL = request.url();
    std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate();
    return delegate && delegate->shouldStartLoadWithRequest(webView, request, navigationType);
}

void HYBInAppBrowserViewController::webViewDidStartLoad(platform::WebView& webView) {
    ++m_loadsStarted;
    ++m_openLoads;
    showFailure(std::nullopt);
    m_addressLabel->setText(localized("Loading..."));
    updateButtons();
    m_spinner->startAnimating();
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->webViewDidStartLoad(webView);
}

void HYBInAppBrowserViewController::webViewDidFinishLoad(platform::WebView& webView) {
    m_openLoads = std::max(m_openLoads, 1) - 1;
    const platform::URLRequest* shown = webView.request();
    m_addressLabel->setText(shown && shown->url() ? shown->url()->absoluteString()
                                                  : m_currentURL ? m_currentURL->absoluteString() : std::string());
    updateButtons();
    m_spinner->stopAnimating();
    webView.setHidden(false);
    if (webView.stringByEvaluatingJavaScriptFromString("document.body==null") == "true")
        restoreUserAgent();
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->webViewDidFinishLoad(webView);
}

void HYBInAppBrowserViewController::didFailLoadWithError(platform::WebView& webView, const platform::Error& error) {
    platform::Log::writef("webView:didFailLoadWithError - %ld: %s", static_cast<long>(error.code), error.localizedDescription().c_str());
    updateButtons();
    m_spinner->stopAnimating();
    // The page's own load, not a frame's: it ends after its frames' (a frame's failure leaves it going), and
    // it is of the address last asked for the page (a link that fails before it started, as a download
    // does, included). An error that names no address is taken for the page's.
    m_openLoads = std::max(m_openLoads, 1) - 1;
    const std::string failed = error.userInfo[platform::kURLErrorFailingURLStringKey].stringOr("");
    const std::optional<platform::URL> failedURL = platform::URL::fromString(failed);
    const bool pageLoad = failed.empty() || (failedURL && m_currentURL && failedURL->absoluteString() == m_currentURL->absoluteString());
    if (m_openLoads == 0) {
        // The web view makes the page still shown its current request again once this failure has been
        // told: the location bar names what it shows then, unless another load has started meanwhile. Only
        // the page's own failure is told.
        std::weak_ptr<ViewController> weak = weak_from_this();
        std::optional<platform::LoadFailure> failure = pageLoad ? platform::describeLoadFailure(error) : std::nullopt;
        platform::DispatchQueue::main()->async([weak, started = m_loadsStarted, failed, failure = std::move(failure)] {
            auto self = std::static_pointer_cast<HYBInAppBrowserViewController>(weak.lock());
            if (self && self->m_loadsStarted == started)
                self->failedLoadEnded(failed, failure);
        });
    }
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->webViewDidFailLoadWithError(webView, error);
}

void HYBInAppBrowserViewController::failedLoadEnded(const std::string& failedURL, const std::optional<platform::LoadFailure>& failure) {
    const platform::URLRequest* shown = m_webView->request();
    const bool pageShown = !m_webView->isHidden() && shown && shown->url();
    // A page still shown keeps its address; with none, the address that failed, as it was asked for.
    m_addressLabel->setText(pageShown ? shown->url()->absoluteString() : failedURL);
    if (!failure)
        return; // a cancellation, or a frame's failure: nothing to tell
    if (!pageShown) {
        showFailure(failure);
        return;
    }
    // The page stays; the person hears why the link did not open, if the browser is on the screen.
    dismissFailureAlert();
    if (!std::dynamic_pointer_cast<platform::Window>(view()->rootView()))
        return;
    std::shared_ptr<platform::AlertView> alert =
        platform::AlertView::create(localized(platform::kLoadFailureTitle), localized(failure->reason), nullptr, localized("OK"));
    alert->show();
    m_failureAlert = alert;
}

void HYBInAppBrowserViewController::showFailure(const std::optional<platform::LoadFailure>& failure) {
    m_failureTitleLabel->setText(failure ? localized(platform::kLoadFailureTitle) : std::string());
    m_failureReasonLabel->setText(failure ? localized(failure->reason) : std::string());
    m_failureTitleLabel->setHidden(!failure);
    m_failureReasonLabel->setHidden(!failure);
}

void HYBInAppBrowserViewController::dismissFailureAlert() {
    if (std::shared_ptr<platform::AlertView> alert = m_failureAlert.lock())
        alert->dismissWithClickedButtonIndex(0, false);
    m_failureAlert.reset();
}

bool HYBInAppBrowserViewController::shouldAutorotate() { return autorotates(orientationDelegate()); }

platform::InterfaceOrientationMask HYBInAppBrowserViewController::supportedInterfaceOrientations() {
    return supportedOrientations(orientationDelegate());
}

bool HYBInAppBrowserViewController::shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) {
    return autorotatesTo(orientationDelegate(), orientation);
}

// ---- the navigation controller ----

std::shared_ptr<HYBInAppBrowserNavigationController> HYBInAppBrowserNavigationController::create(
    const std::shared_ptr<platform::ViewController>& root) {
    auto navigation = std::make_shared<HYBInAppBrowserNavigationController>();
    if (root)
        navigation->setViewControllers({root}, false);
    return navigation;
}

void HYBInAppBrowserNavigationController::viewDidLoad() {
    m_statusBarBackground = std::make_shared<platform::Toolbar>(invertFrameIfNeeded(platform::Application::shared().statusBarFrame()));
    m_statusBarBackground->setBarStyle(platform::BarStyle::Default);
    m_statusBarBackground->setAutoresizingMask(platform::kAutoresizingFlexibleWidth);
    view()->addSubview(m_statusBarBackground);
    NavigationController::viewDidLoad();
}

platform::Rect HYBInAppBrowserNavigationController::invertFrameIfNeeded(platform::Rect rect) {
    if (!isSystemAtLeast("8.0") && platform::isLandscape(platform::Application::shared().statusBarOrientation()))
        return platform::Rect(0, 0, rect.height(), rect.width());
    return rect;
}

bool HYBInAppBrowserNavigationController::shouldAutorotate() { return autorotates(orientationDelegate()); }

platform::InterfaceOrientationMask HYBInAppBrowserNavigationController::supportedInterfaceOrientations() {
    return supportedOrientations(orientationDelegate());
}

bool HYBInAppBrowserNavigationController::shouldAutorotateToInterfaceOrientation(platform::InterfaceOrientation orientation) {
    return autorotatesTo(orientationDelegate(), orientation);
}

} // namespace plugins
