#include "platform/web/WebView.h"

#include "platform/application/Application.h"
#include "platform/formats/JSON.h"
#include "platform/net/URLConnection.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/UserDefaults.h"
#include "platform/web/HeadlessWebView.h"
#include "platform/web/ScriptDialogPresenter.h"

#include <atomic>

namespace platform {

namespace {
std::atomic<bool> g_inputAccessoryBarHidden{false};
std::atomic<std::uint64_t> g_lastIdentifier{0};

WebView::Factory& installedFactory() {
    static WebView::Factory factory;
    return factory;
}
} // namespace

std::shared_ptr<WebView> WebView::create(Rect frame) {
    if (installedFactory())
        return installedFactory()(frame);
    return HeadlessWebView::create(frame);
}

void WebView::setFactory(Factory factory) { installedFactory() = std::move(factory); }

namespace {
WebView::LoadRulesProvider& installedLoadRules() {
    static WebView::LoadRulesProvider provider;
    return provider;
}
} // namespace

void WebView::setLoadRulesProvider(LoadRulesProvider provider) { installedLoadRules() = std::move(provider); }

std::optional<WebLoadRules> WebView::loadRulesFor(std::string_view userAgent) {
    return installedLoadRules() ? installedLoadRules()(userAgent) : std::nullopt;
}

WebView::WebView(Rect frame)
    : View(frame), m_scrollView(std::make_shared<ScrollView>(Rect(Point{}, frame.size))), m_identifier(++g_lastIdentifier) {}

void WebView::setShowsForeignPages(bool foreign) {
    if (foreign == m_showsForeignPages)
        return;
    m_showsForeignPages = foreign;
    foreignPagesDidChange();
}

WebView::~WebView() {
    if (m_hadScriptDialogs)
        ScriptDialogPresenter::shared().closeDialogsOf(m_identifier);
}

void WebView::showScriptDialog(std::shared_ptr<ScriptDialog> dialog) {
    m_hadScriptDialogs = true;
    ScriptDialogPresenter::shared().present(*this, std::move(dialog));
}

bool WebView::handOverToApplication(const URLRequest& request) {
    const std::string scheme = request.scheme();
    if (scheme.empty() || scheme == "about" || scheme == "data" || scheme == "blob" || scheme == "javascript")
        return false;
    if (URLConnection::canHandleRequest(request))
        return false;
    (void)Application::shared().openURL(request.urlString());
    return true;
}

void WebView::pageEditingChanged(bool editing) {
    if (editing == m_pageEditing)
        return;
    m_pageEditing = editing;
    if (editing)
        becomeFirstResponder();
    else
        resignFirstResponder();
}

void WebView::didResignFirstResponder() {
    if (!m_pageEditing)
        return;  // the page blurred itself
    m_pageEditing = false;
    blurActiveElement();
}

void WebView::blurActiveElement() {
    // Without waiting: the real engine's wait turns the main loop, which must not run in the middle of a
    // change of first responder.
    evaluateJavaScript("document.activeElement && document.activeElement.blur && document.activeElement.blur()", [](std::string) {});
}

void WebView::loadRequest(const URLRequest& request) { doLoadRequest(request, WebViewNavigationType::Other); }

void WebView::loadHTMLString(std::string_view html, std::string_view baseURL) {
    doLoadHTMLString(std::string(html), baseURL.empty() ? std::string("about:blank") : std::string(baseURL));
}

void WebView::stopLoading() { doStopLoading(); }
void WebView::reload() { doReload(); }
bool WebView::canGoBack() const { return doCanGoBack(); }
bool WebView::canGoForward() const { return doCanGoForward(); }

void WebView::goBack() {
    if (doCanGoBack())
        doGoBack();
}

void WebView::goForward() {
    if (doCanGoForward())
        doGoForward();
}

bool WebView::isLoading() const { return doIsLoading(); }
const URLRequest* WebView::request() const { return doRequest(); }

std::string WebView::stringByEvaluatingJavaScriptFromString(std::string_view script) { return doEvaluateScript(script); }

void WebView::evaluateJavaScript(std::string script, EvaluationCompletion completion) {
    doEvaluateScriptLater(std::move(script), std::move(completion));
}

void WebView::evaluateJavaScriptPromptly(std::string script, EvaluationCompletion completion) {
    doEvaluateScriptPromptly(std::move(script), std::move(completion));
}

void WebView::doEvaluateScriptPromptly(std::string script, EvaluationCompletion completion) {
    doEvaluateScriptLater(std::move(script), std::move(completion));
}

void WebView::evaluateJavaScriptInEngineWorld(std::string script, EvaluationCompletion completion) {
    doEvaluateScriptInEngineWorld(std::move(script), std::move(completion));
}

void WebView::evaluateJavaScriptForValue(std::string script, EvaluationCompletion completion) {
    doEvaluateScriptForValue(std::move(script), std::move(completion));
}

void WebView::doEvaluateScriptForValue(std::string script, EvaluationCompletion completion) {
    // Only a string (typeof cannot be replaced) of at most 1 MiB leaves the page; anything else becomes an
    // answer of fixed text.
    std::string source;
    JSON::appendQuoted(source, script);
    std::string wrapped =
        "try{(function(v){return typeof v!=='string'?'{\"error\":\"The answer is not JSON text\"}':"
        "v.length>1048576?'{\"error\":\"The answer is too large\"}':v;})"
        "(JSON.stringify([eval(" + source + ")]))}"
        "catch(e){(function(v){return typeof v!=='string'?'{\"error\":\"The script threw\"}':"
        "v.length>1048576?'{\"error\":\"The answer is too large\"}':v;})"
        "((function(){try{return JSON.stringify({error:'The script threw '+e});}catch(x){return '{\"error\":\"The script threw\"}';}})())}";
    doEvaluateScriptLater(std::move(wrapped), std::move(completion));
}

void WebView::doEvaluateScriptInEngineWorld(std::string script, EvaluationCompletion completion) {
    doEvaluateScriptLater(std::move(script), std::move(completion));
}

void WebView::doEvaluateScriptLater(std::string script, EvaluationCompletion completion) {
    std::string result = doEvaluateScript(script);
    if (completion)
        RunLoop::main().perform([completion = std::move(completion), result = std::move(result)] { completion(result); });
}

void WebView::setSettings(const WebViewSettings& settings) {
    if (settings == m_settings)
        return;
    m_settings = settings;
    settingsDidChange();
}

#define HYB_WEBVIEW_SETTER(Name, field, Type)  \
    void WebView::set##Name(Type value) {      \
        WebViewSettings s = m_settings;        \
        s.field = value;                       \
        setSettings(s);                        \
    }
HYB_WEBVIEW_SETTER(ScalesPageToFit, scalesPageToFit, bool)
HYB_WEBVIEW_SETTER(AllowsInlineMediaPlayback, allowsInlineMediaPlayback, bool)
HYB_WEBVIEW_SETTER(MediaPlaybackRequiresUserAction, mediaPlaybackRequiresUserAction, bool)
HYB_WEBVIEW_SETTER(KeyboardDisplayRequiresUserAction, keyboardDisplayRequiresUserAction, bool)
HYB_WEBVIEW_SETTER(SuppressesIncrementalRendering, suppressesIncrementalRendering, bool)
HYB_WEBVIEW_SETTER(GapBetweenPages, gapBetweenPages, double)
HYB_WEBVIEW_SETTER(PageLength, pageLength, double)
HYB_WEBVIEW_SETTER(PaginationBreakingMode, paginationBreakingMode, PaginationBreakingMode)
HYB_WEBVIEW_SETTER(PaginationMode, paginationMode, PaginationMode)
#undef HYB_WEBVIEW_SETTER

void WebView::layoutSubviews() { m_scrollView->setFrame(Rect(Point{}, bounds().size)); }

void WebView::setInputAccessoryBarHidden(bool hidden) { g_inputAccessoryBarHidden = hidden; }
bool WebView::isInputAccessoryBarHidden() { return g_inputAccessoryBarHidden; }

std::string WebView::userAgentBeforeFirstLoad() { return stringByEvaluatingJavaScriptFromString("navigator.userAgent"); }

std::string WebView::currentUserAgent() const {
    if (auto agent = UserDefaults::standard().string("UserAgent"); agent && !agent->empty())
        return *agent;
    return defaultUserAgent();
}

} // namespace platform
