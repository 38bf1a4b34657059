#include "plugins/HYBInAppBrowserViewController.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/net/URLRequest.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"
#include "platform/ui/Font.h"
#include "platform/ui/Screen.h"
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

platform::Rect withHeight(platform::Rect rect, double height) {
    rect.size.height = height;
    return rect;
}

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
    : m_userAgent(std::move(userAgent)), m_prevUserAgent(std::move(prevUserAgent)), m_browserOptions(browserOptions) {}

HYBInAppBrowserViewController::~HYBInAppBrowserViewController() {
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
    const double height = bounds.height();
    const bool toolbarAtTop = m_browserOptions.toolbarposition == "top";

    m_webView = platform::WebView::create(
        withHeight(bounds, height - (m_browserOptions.location ? kHYBInAppBrowserBarsHeight : kHYBInAppBrowserToolbarHeight)));
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
    const platform::Point centre = m_webView->frame().center();
    m_spinner->setFrame(platform::Rect(centre.x, centre.y, 20, 20));
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

    m_toolbar = std::make_shared<platform::Toolbar>(
        platform::Rect(0, toolbarAtTop ? 0 : height - kHYBInAppBrowserToolbarHeight, width, kHYBInAppBrowserToolbarHeight));
    m_toolbar->setAutoresizingMask(toolbarAtTop ? platform::kAutoresizingFlexibleWidth
                                                : platform::kAutoresizingFlexibleWidth | platform::kAutoresizingFlexibleTopMargin);
    m_toolbar->setBarStyle(platform::BarStyle::Black);
    m_toolbar->setOpaque(false);
    m_toolbar->setHidden(false);
    m_toolbar->setUserInteractionEnabled(true);

    const double labelY = toolbarAtTop ? height - kHYBInAppBrowserLocationBarHeight : height - kHYBInAppBrowserBarsHeight;
    m_addressLabel = std::make_shared<platform::Label>(platform::Rect(5, labelY, width - 5, kHYBInAppBrowserLocationBarHeight));
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

    root->setBackgroundColor(platform::Color::grey(0.5));
    root->addSubview(m_toolbar);
    root->addSubview(m_addressLabel);
    root->addSubview(m_spinner);
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
    if (show == !m_addressLabel->isHidden())
        return;
    const platform::Rect bounds = view()->bounds();
    const double height = bounds.height();
    if (show) {
        m_addressLabel->setHidden(false);
        const double webViewHeight = height - (m_toolbar->isHidden() ? kHYBInAppBrowserLocationBarHeight : kHYBInAppBrowserBarsHeight);
        setWebViewFrame(withHeight(bounds, webViewHeight));
        m_addressLabel->setFrame(withY(m_addressLabel->frame(), webViewHeight));
    } else {
        m_addressLabel->setHidden(true);
        setWebViewFrame(m_toolbar->isHidden() ? bounds : withHeight(bounds, height - kHYBInAppBrowserToolbarHeight));
    }
}

void HYBInAppBrowserViewController::showToolBar(bool show, const std::string& toolbarPosition) {
    if (show == !m_toolbar->isHidden())
        return;
    const platform::Rect bounds = view()->bounds();
    const double height = bounds.height();
    if (show) {
        m_toolbar->setHidden(false);
        platform::Rect frame = bounds;
        if (!m_addressLabel->isHidden()) {
            frame.size.height = height - kHYBInAppBrowserBarsHeight;
            m_addressLabel->setFrame(withY(m_addressLabel->frame(), frame.height()));
        } else {
            frame.size.height = height - kHYBInAppBrowserToolbarHeight;
        }
        if (toolbarPosition == "top")
            frame.origin.y += m_toolbar->frame().height();
        setWebViewFrame(frame);
    } else {
        m_toolbar->setHidden(true);
        if (!m_addressLabel->isHidden()) {
            setWebViewFrame(withHeight(bounds, height - kHYBInAppBrowserLocationBarHeight));
            m_addressLabel->setFrame(withY(m_addressLabel->frame(), height - kHYBInAppBrowserLocationBarHeight));
        } else {
            setWebViewFrame(bounds);
        }
    }
}

void HYBInAppBrowserViewController::viewWillAppear(bool animated) {
    if (isSystemAtLeast("7.0"))
        platform::Application::shared().setStatusBarStyle(preferredStatusBarStyle());
    rePositionViews();
    ViewController::viewWillAppear(animated);
}

void HYBInAppBrowserViewController::rePositionViews() {
    if (m_browserOptions.toolbarposition != "top")
        return;
    m_webView->setFrame(withY(m_webView->frame(), kHYBInAppBrowserToolbarHeight));
    m_toolbar->setFrame(withY(m_toolbar->frame(), getStatusBarOffset()));
}

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
    restoreUserAgent();
    runtime::HYBUserAgentUtil::releaseLock(m_userAgentLockToken);
    m_currentURL.reset();
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->browserExit();
    std::weak_ptr<ViewController> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak] {
        std::shared_ptr<ViewController> self = weak.lock();
        if (!self)
            return;
        if (std::shared_ptr<ViewController> presenting = self->presentingViewController())
            presenting->dismissViewController(true);
        else if (std::shared_ptr<ViewController> parent = self->parentViewController())
            parent->dismissViewController(true);
    });
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
    m_addressLabel->setText(localized("Loading..."));
    updateButtons();
    m_spinner->startAnimating();
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->webViewDidStartLoad(webView);
}

void HYBInAppBrowserViewController::webViewDidFinishLoad(platform::WebView& webView) {
    m_addressLabel->setText(m_currentURL ? m_currentURL->absoluteString() : std::string());
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
    m_addressLabel->setText(localized("Load Error"));
    if (std::shared_ptr<HYBInAppBrowser> delegate = navigationDelegate())
        delegate->webViewDidFailLoadWithError(webView, error);
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
