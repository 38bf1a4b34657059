#include "webengine/WebKitGtkWebView.h"

#include "webengine/WebContext.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"

#include <chrono>
#include <utility>

namespace webengine {

namespace {

WebsiteDataLocation currentDataLocation()
{
    const platform::AppFolders folders = platform::AppFolders::current();
    return WebsiteDataLocation{folders.library() + "/WebKit", folders.caches() + "/WebKit"};
}

platform::URLRequest platformRequestFor(const NavigationRequest& navigation, const std::string& mainDocumentURL)
{
    platform::URLRequest request(navigation.url);
    request.setHTTPMethod(navigation.method);
    for (const auto& [name, value] : navigation.headers)
        (void)request.addValue(value, name);
    request.setMainDocumentURL(platform::URL::fromString(mainDocumentURL));
    // Only the main frame's change of fragment is told as one: a frame's own never is (see WebKitEngine.h).
    request.setMainDocumentFragmentChange(navigation.isFragmentChange && !navigation.isSubFrame);
    return request;
}

} // namespace

std::shared_ptr<WebKitGtkWebView> WebKitGtkWebView::create(platform::Rect frame)
{
    return std::shared_ptr<WebKitGtkWebView>(new WebKitGtkWebView(frame));
}

void WebKitGtkWebView::installAsEngine()
{
    platform::WebView::setFactory([](platform::Rect frame) -> std::shared_ptr<platform::WebView> { return create(frame); });
    platform::HTTPCookieStorage::setDocumentCookieEraser(WebContext::deleteDocumentCookies);
}

WebKitGtkWebView::WebKitGtkWebView(platform::Rect frame)
    : WebView(frame)
    , m_dataLocation(currentDataLocation())
    , m_engine(std::make_unique<WebKitEngine>(static_cast<EngineClient&>(*this), m_dataLocation))
{
    settingsDidChange();
}

WebKitGtkWebView::~WebKitGtkWebView() = default;

std::shared_ptr<WebKitGtkWebView> WebKitGtkWebView::protect()
{
    return std::static_pointer_cast<WebKitGtkWebView>(shared_from_this());
}

std::optional<platform::WebView::WebStorageLocation> WebKitGtkWebView::webStorageLocation() const
{
    return WebStorageLocation{m_dataLocation.dataFolder, WebContext::isStorageInUse(m_dataLocation.dataFolder)};
}

std::string WebKitGtkWebView::defaultUserAgent() const
{
    static const std::string agent = WebKitEngine::defaultUserAgent();
    return agent;
}

std::string WebKitGtkWebView::userAgentBeforeFirstLoad()
{
    return m_engine->userAgent();
}

void WebKitGtkWebView::doLoadRequest(const platform::URLRequest& request, platform::WebViewNavigationType)
{
    m_engine->setUserAgent(currentUserAgent());
    const auto timeout = std::chrono::milliseconds(static_cast<long long>(request.timeoutInterval() * 1000));
    // A request a page made (URLRequest::webViewIdentifier) loads the page's choice, not the application's.
    m_engine->load(request.urlString(), timeout, request.allHTTPHeaderFields().fields(), request.webViewIdentifier() != 0);
}

void WebKitGtkWebView::doLoadHTMLString(std::string html, std::string baseURL)
{
    m_engine->setUserAgent(currentUserAgent());
    m_engine->loadHTML(html, baseURL);
}

void WebKitGtkWebView::doStopLoading()
{
    m_engine->stop();
}

void WebKitGtkWebView::doReload()
{
    m_engine->reload();
}

bool WebKitGtkWebView::doCanGoBack() const
{
    return m_engine->canGoBack();
}

bool WebKitGtkWebView::doCanGoForward() const
{
    return m_engine->canGoForward();
}

void WebKitGtkWebView::doGoBack()
{
    m_engine->goBack();
}

void WebKitGtkWebView::doGoForward()
{
    m_engine->goForward();
}

bool WebKitGtkWebView::doIsLoading() const
{
    return m_engine->isLoading();
}

std::string WebKitGtkWebView::doEvaluateScript(std::string_view script)
{
    auto result = m_engine->evaluate(std::string(script));
    if (!result.ok()) {
        // A page stopped in a dialog answers nothing until the person does: "" without a word.
        if (result.error().code != kEvaluationStoppedInDialog)
            platform::Log::write("Web view: " + result.error().localizedDescription());
        return {};
    }
    return std::move(*result);
}

void WebKitGtkWebView::doEvaluateScriptLater(std::string script, EvaluationCompletion completion)
{
    m_engine->evaluateLater(std::move(script), std::move(completion));
}

void WebKitGtkWebView::doEvaluateScriptPromptly(std::string script, EvaluationCompletion completion)
{
    m_engine->evaluatePromptly(std::move(script), std::move(completion));
}

void WebKitGtkWebView::doEvaluateScriptInEngineWorld(std::string script, EvaluationCompletion completion)
{
    m_engine->evaluateInEngineWorld(std::move(script), std::move(completion));
}

void WebKitGtkWebView::doEvaluateScriptForValue(std::string script, EvaluationCompletion completion)
{
    m_engine->evaluateForValue(std::move(script), std::move(completion));
}

void WebKitGtkWebView::settingsDidChange()
{
    const platform::WebViewSettings& s = settings();
    m_engine->applySettings(EngineSettings{s.allowsInlineMediaPlayback, s.mediaPlaybackRequiresUserAction, s.suppressesIncrementalRendering});
}

void WebKitGtkWebView::foreignPagesDidChange()
{
    m_engine->setForeignPages(showsForeignPages());
}

bool WebKitGtkWebView::shouldStartLoad(const NavigationRequest& navigation)
{
    auto self = protect();
    auto request = std::make_shared<platform::URLRequest>(platformRequestFor(navigation, navigation.mainDocumentURL));
    bool allowed = true;
    if (auto delegate = this->delegate())
        allowed = delegate->shouldStartLoadWithRequest(*this, *request, static_cast<platform::WebViewNavigationType>(navigation.type));
    if (allowed && !navigation.isFragmentChange && !navigation.isSubFrame && navigation.isRedirect && m_request) {
        // The started load goes on at the redirect's target: its request becomes the one allowed for it, in
        // place (delegates may compare its address).
        *m_request = std::move(*request);
    } else if (allowed && !navigation.isFragmentChange && !navigation.isSubFrame) {
        m_provisionalRequest = std::move(request);
        // The process-wide agent is read when a top-level load starts.
        m_engine->setUserAgent(currentUserAgent());
    }
    return allowed;
}

void WebKitGtkWebView::didStartLoad()
{
    auto self = protect();
    m_request = m_provisionalRequest ? std::move(m_provisionalRequest)
                                     : std::make_shared<platform::URLRequest>(m_engine->url());
    m_requestSettled = false;
    m_loadOpen = true;
    if (auto delegate = this->delegate())
        delegate->webViewDidStartLoad(*this);
}

void WebKitGtkWebView::didCommitLoad(bool refused)
{
    if (refused) {
        m_committedRequest.reset();
        return;
    }
    m_committedRequest = m_request;
    m_requestSettled = true;
}

void WebKitGtkWebView::didRedirectLoad(const std::string& url)
{
    // A redirect the client was not asked about (none is known): the request still names where the load is.
    if (m_request && m_request->urlString() != url) {
        m_request->setURL(platform::URL::fromString(url));
        m_request->setMainDocumentURL(platform::URL::fromString(url));
    }
}

void WebKitGtkWebView::didFinishLoad()
{
    auto self = protect();
    m_committedRequest = m_request;
    m_requestSettled = true;
    m_loadOpen = false;
    if (auto delegate = this->delegate())
        delegate->webViewDidFinishLoad(*this);
}

void WebKitGtkWebView::didFailLoad(const platform::Error& error)
{
    auto self = protect();
    // A load that failed before its start never becomes the current one. A started load's failure leaves the
    // request of the navigation that ends it (asked before this end comes) for that navigation's start.
    if (!std::exchange(m_loadOpen, false))
        m_provisionalRequest.reset();
    // A load that ends before its document came leaves the page shown, and that page's request current
    // again once the failure was told (WebView.h).
    const std::shared_ptr<platform::URLRequest> ended = std::exchange(m_requestSettled, true) ? nullptr : m_request;
    if (auto delegate = this->delegate())
        delegate->didFailLoadWithError(*this, error);
    if (ended && m_request == ended)
        m_request = m_committedRequest;
}

} // namespace webengine
