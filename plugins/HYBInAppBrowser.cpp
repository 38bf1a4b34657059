#include "plugins/HYBInAppBrowser.h"

#include "platform/Application.h"
#include "platform/Device.h"
#include "platform/DispatchQueue.h"
#include "platform/HTTPCookieStorage.h"
#include "platform/JSON.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/Text.h"
#include "platform/ui/ScrollView.h"
#include "platform/ui/ViewController.h"
#include "runtime/HYBCommandBatch.h"
#include "runtime/HYBScreenOrientationDelegate.h"
#include "runtime/HYBUserAgentUtil.h"
#include "runtime/TextCase.h"

namespace plugins {

namespace {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

// Answers leave the page as navigations of one hidden frame. A frame navigated again before its last
// navigation reached us drops that one, so the page queues its answers: _hybIabSend navigates only when
// nothing is in flight, and each answer we read calls _hybIabSent, which sends the next. An answer longer
// than kMaxAnswerURLBytes (the number written in the script) goes as the error kAnswerTooLarge instead.
constexpr std::size_t kMaxAnswerURLBytes = 1 << 20;
constexpr const char* kAnswerTooLarge = "The answer is too large";
constexpr const char* kBridgeScript =
    "(function(d){_hybIframeBridge=d.getElementById('_hybIframeBridge');if(!_hybIframeBridge) {var e = _hybIframeBridge = "
    "d.createElement('iframe');e.id='_hybIframeBridge'; e.style.display='none';d.body.appendChild(e);}"
    "if(!window._hybIabSend){var q=[];"
    "window._hybIabSend=function(u){if(u.length>1048576){u=u.substring(0,u.indexOf('/',10)+1)+"
    "encodeURIComponent(JSON.stringify({error:'The answer is too large'}));}"
    "q.push(u);if(q.length===1){_hybIframeBridge.src=u;}};"
    "window._hybIabSent=function(){q.shift();if(q.length){_hybIframeBridge.src=q[0];}};}})(document)";
constexpr const char* kAnswerReadScript = "window._hybIabSent&&_hybIabSent()";
// Injections awaiting their answer at once; one more is answered with kTooManyAwaited and not injected.
constexpr std::size_t kMaxAwaitedAnswers = 1024;
constexpr const char* kTooManyAwaited = "too many injections await their answer";

// The with-callback wrappers answer a failure too: a script that throws (or whose value JSON cannot hold)
// and a file or style that does not load navigate the bridge frame to {"error": text}.
constexpr const char* kScriptCodeWithCallback =
    "try{_hybIabSend('hyb-iab://%@/'+encodeURIComponent(JSON.stringify([eval(%%@)])));}"
    "catch(e){_hybIabSend('hyb-iab://%@/'+encodeURIComponent(JSON.stringify({error:"
    "(function(){try{return 'The script threw '+e;}catch(x){return 'The script threw';}})()})));}";
constexpr const char* kScriptFileWithCallback =
    "(function(d) { var c = d.createElement('script'); c.src = %%@; c.onload = function() { _hybIabSend('hyb-iab://%@'); }; "
    "c.onerror = function() { _hybIabSend('hyb-iab://%@/'+encodeURIComponent(JSON.stringify({error:"
    "'The script file could not be loaded: '+c.src}))); }; d.body.appendChild(c); })(document)";
constexpr const char* kScriptFileWithoutCallback =
    "(function(d) { var c = d.createElement('script'); c.src = %@; d.body.appendChild(c); })(document)";
constexpr const char* kStyleCodeWithCallback =
    "(function(d) { var c = d.createElement('style'); c.innerHTML = %%@; c.onload = function() { _hybIabSend('hyb-iab://%@'); }; "
    "c.onerror = function() { _hybIabSend('hyb-iab://%@/'+encodeURIComponent(JSON.stringify({error:"
    "'The style could not be loaded'}))); }; d.body.appendChild(c); })(document)";
constexpr const char* kStyleCodeWithoutCallback =
    "(function(d) { var c = d.createElement('style'); c.innerHTML = %@; d.body.appendChild(c); })(document)";
constexpr const char* kStyleFileWithCallback =
    "(function(d) { var c = d.createElement('link'); c.rel='stylesheet'; c.type='text/css'; c.href = %%@; c.onload = function() { "
    "_hybIabSend('hyb-iab://%@'); }; c.onerror = function() { _hybIabSend('hyb-iab://%@/'+encodeURIComponent("
    "JSON.stringify({error:'The style sheet could not be loaded: '+c.href}))); }; d.body.appendChild(c); })(document)";
constexpr const char* kStyleFileWithoutCallback =
    "(function(d) { var c = d.createElement('link'); c.rel='stylesheet', c.type='text/css'; c.href = %@; d.body.appendChild(c); "
    "})(document)";

constexpr std::string_view kCallbackIdPrefix = "InAppBrowser";

bool isSystemAtLeast(const char* version) {
    return platform::isVersionAtLeast(platform::Device::current().systemVersion(), version);
}

// The with-callback format filled: its "%@" takes the id, its "%%@" becomes the "%@" for the source.
std::string fillCallbackId(std::string_view format, std::string_view callbackId) {
    std::string out;
    for (std::size_t i = 0; i < format.size(); ++i) {
        if (format.substr(i, 3) == "%%@") {
            out += "%@";
            i += 2;
        } else if (format.substr(i, 2) == "%@") {
            out += callbackId;
            i += 1;
        } else {
            out += format[i];
        }
    }
    return out;
}

// Deletes the cookies that `matches` picks, in the shared store and the engine's, except those of file pages.
void deleteCookies(bool (*matches)(const platform::HTTPCookie&)) {
    platform::HTTPCookieStorage::shared().deleteCookies(
        [matches](const platform::HTTPCookie& cookie) { return cookie.domain() != kHYBFileCookiesDomain && matches(cookie); });
}

HYBPluginResult kept(HYBPluginResult result) {
    result.setKeepCallbackAsBool(true);
    return result;
}

HYBPluginResult event(HYBCommandStatus status, platform::Dictionary message) {
    return kept(HYBPluginResult::messageAsDictionary(status, std::move(message)));
}

std::string currentURLText(platform::WebView& webView) {
    const platform::URLRequest* request = webView.request();
    return request && request->url() ? request->url()->absoluteString() : std::string();
}

} // namespace

void HYBInAppBrowser::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBInAppBrowser>("HYBInAppBrowser");
    (void)registered;
}

const runtime::HYBActionTable& HYBInAppBrowser::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBInAppBrowser>({
        {"open", &HYBInAppBrowser::open},
        {"close", &HYBInAppBrowser::close},
        {"show", &HYBInAppBrowser::show},
        {"injectScriptCode", &HYBInAppBrowser::injectScriptCode},
        {"injectScriptFile", &HYBInAppBrowser::injectScriptFile},
        {"injectStyleCode", &HYBInAppBrowser::injectStyleCode},
        {"injectStyleFile", &HYBInAppBrowser::injectStyleFile},
    });
    return table;
}

void HYBInAppBrowser::pluginInitialize() { m_previousStatusBarStyle = -1; }

void HYBInAppBrowser::onReset() { closeBrowser(); }

bool HYBInAppBrowser::isValidCallbackId(std::string_view callbackId) {
    if (!callbackId.starts_with(kCallbackIdPrefix))
        return false;
    const std::string_view digits = callbackId.substr(kCallbackIdPrefix.size());
    if (digits.empty() || digits.size() > 10)
        return false;
    for (char c : digits)
        if (c < '0' || c > '9')
            return false;
    return true;
}

bool HYBInAppBrowser::isSystemUrl(const platform::URL& url) { return url.host() == std::optional<std::string>(kHYBAppStoreHost); }

// ---- open ----

void HYBInAppBrowser::open(const runtime::HYBInvokedUrlCommand& command) {
    m_callbackId = command.callbackId();
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    auto answer = [&](HYBPluginResult result) {
        if (delegate)
            delegate->sendPluginResult(kept(std::move(result)), command.callbackId());
    };

    const platform::Value urlArgument = command.argumentAtIndex(0);
    const std::string* urlText = urlArgument.getString();
    if (!urlText) {
        answer(HYBPluginResult::messageAsString(HYBCommandStatus::Error, "incorrect number of arguments"));
        return;
    }
    std::optional<platform::URL> url;
    std::shared_ptr<platform::WebView> appWebView = webView();
    const platform::URLRequest* appRequest = appWebView ? appWebView->request() : nullptr;
    if (appRequest && appRequest->url())
        url = platform::URL::fromString(*urlText, *appRequest->url());
    else
        url = platform::URL::fromString(*urlText);
    if (!url || url->scheme().empty()) {
        answer(HYBPluginResult::messageAsString(HYBCommandStatus::Error, "invalid URL"));
        return;
    }

    const platform::Value targetArgument = command.argumentAtIndex(1);
    std::string target = targetArgument.getString() ? *targetArgument.getString() : "_self";
    const platform::Value optionsArgument = command.argumentAtIndex(2);
    const std::string options = optionsArgument.getString() ? *optionsArgument.getString() : std::string();

    if (isSystemUrl(*url))
        target = "_system";
    if (target == "_self")
        openInHybridWebView(*url, options);
    else if (target == "_system")
        openInSystem(*url);
    else
        openInInAppBrowser(*url, options);

    answer(HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok));
}

void HYBInAppBrowser::openInHybridWebView(const platform::URL& url, const std::string& options) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    std::shared_ptr<platform::WebView> appWebView = webView();
    if (delegate && appWebView && delegate->URLIsWhitelisted(url)) {
        // The page's choice, not the application's own document: it opens no folder to the page.
        platform::URLRequest request(url);
        request.setWebViewIdentifier(appWebView->identifier());
        appWebView->loadRequest(request);
    } else {
        openInInAppBrowser(url, options);
    }
}

void HYBInAppBrowser::openInSystem(const platform::URL& url) {
    platform::Application& application = platform::Application::shared();
    if (application.canOpenURL(url.absoluteString())) {
        application.openURL(url.absoluteString());
        return;
    }
    platform::Dictionary userInfo;
    userInfo.set(runtime::kHYBPluginHandleOpenURLKey, url.absoluteString());
    platform::NotificationCenter::defaultCenter().post(runtime::kHYBPluginHandleOpenURLNotification, nullptr, std::move(userInfo));
}

void HYBInAppBrowser::openInInAppBrowser(const platform::URL& url, const std::string& optionText) {
    const HYBInAppBrowserOptions options = HYBInAppBrowserOptions::parseOptions(optionText);

    if (options.clearcache)
        deleteCookies([](const platform::HTTPCookie&) { return true; });
    if (options.clearsessioncache)
        deleteCookies([](const platform::HTTPCookie& cookie) { return cookie.isSessionOnly(); });

    if (!m_inAppBrowserViewController) {
        std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
        m_inAppBrowserViewController = HYBInAppBrowserViewController::create(runtime::HYBUserAgentUtil::originalUserAgent(),
                                                                             delegate ? delegate->userAgent() : std::string(), options);
        m_inAppBrowserViewController->setNavigationDelegate(std::static_pointer_cast<HYBInAppBrowser>(shared_from_this()));
        if (auto orientation = std::dynamic_pointer_cast<runtime::HYBScreenOrientationDelegate>(viewController()))
            m_inAppBrowserViewController->setOrientationDelegate(orientation);
    }
    HYBInAppBrowserViewController& screen = *m_inAppBrowserViewController;
    screen.showLocationBar(options.location);
    screen.showToolBar(options.toolbar, options.toolbarposition);
    if (options.closebuttoncaption)
        screen.setCloseButtonTitle(*options.closebuttoncaption);

    const std::string presentation = runtime::lowercased(options.presentationstyle.value_or(""));
    screen.setModalPresentationStyle(presentation == "pagesheet"   ? platform::ModalPresentationStyle::PageSheet
                                     : presentation == "formsheet" ? platform::ModalPresentationStyle::FormSheet
                                                                   : platform::ModalPresentationStyle::FullScreen);
    const std::string transition = runtime::lowercased(options.transitionstyle.value_or(""));
    screen.setModalTransitionStyle(transition == "fliphorizontal" ? platform::ModalTransitionStyle::FlipHorizontal
                                   : transition == "crossdissolve" ? platform::ModalTransitionStyle::CrossDissolve
                                                                   : platform::ModalTransitionStyle::CoverVertical);

    platform::WebView& browserWebView = *screen.webView();
    if (options.disallowoverscroll)
        browserWebView.scrollView().setBounces(false);
    browserWebView.setScalesPageToFit(options.enableviewportscale);
    browserWebView.setMediaPlaybackRequiresUserAction(options.mediaplaybackrequiresuseraction);
    browserWebView.setAllowsInlineMediaPlayback(options.allowinlinemediaplayback);
    if (isSystemAtLeast("6.0")) {
        browserWebView.setKeyboardDisplayRequiresUserAction(options.keyboarddisplayrequiresuseraction);
        browserWebView.setSuppressesIncrementalRendering(options.suppressesincrementalrendering);
    }

    screen.navigateTo(url);
    if (!options.hidden)
        showBrowser();
}

// ---- show and close ----

void HYBInAppBrowser::show(const runtime::HYBInvokedUrlCommand&) { showBrowser(); }

void HYBInAppBrowser::showBrowser() {
    if (!m_inAppBrowserViewController) {
        platform::Log::write("Tried to show IAB after it was closed.");
        return;
    }
    if (m_previousStatusBarStyle != -1) {
        platform::Log::write("Tried to show IAB while already shown");
        return;
    }
    m_previousStatusBarStyle = static_cast<int>(platform::Application::shared().statusBarStyle());

    const std::shared_ptr<HYBInAppBrowserViewController>& screen = m_inAppBrowserViewController;
    std::shared_ptr<HYBInAppBrowserNavigationController> navigation = HYBInAppBrowserNavigationController::create(screen);
    navigation->setOrientationDelegate(screen);
    navigation->setNavigationBarHidden(true);
    // The presented controller carries the screen's presentation and transition.
    navigation->setModalPresentationStyle(screen->modalPresentationStyle());
    navigation->setModalTransitionStyle(screen->modalTransitionStyle());

    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    platform::DispatchQueue::main()->async([weak, navigation] {
        auto self = std::static_pointer_cast<HYBInAppBrowser>(weak.lock());
        if (!self || !self->m_inAppBrowserViewController)
            return;
        if (std::shared_ptr<platform::ViewController> presenter = self->viewController())
            presenter->presentViewController(navigation, true);
    });
}

void HYBInAppBrowser::close(const runtime::HYBInvokedUrlCommand&) { closeBrowser(); }

void HYBInAppBrowser::closeBrowser() {
    if (!m_inAppBrowserViewController) {
        platform::Log::write("IAB.close() called but it was already closed.");
        return;
    }
    m_inAppBrowserViewController->close();
}

void HYBInAppBrowser::browserExit() {
    if (m_callbackId) {
        sendEvent(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, platform::Dictionary{{"type", "exit"}}));
        m_callbackId.reset();
    }
    if (m_inAppBrowserViewController)
        m_inAppBrowserViewController->setNavigationDelegate({});
    m_inAppBrowserViewController.reset();
    m_awaitedAnswers.clear();
    if (isSystemAtLeast("7.0") && m_previousStatusBarStyle != -1)
        platform::Application::shared().setStatusBarStyle(static_cast<platform::StatusBarStyle>(m_previousStatusBarStyle));
    m_previousStatusBarStyle = -1;
}

// ---- events ----

void HYBInAppBrowser::sendEvent(HYBPluginResult result) {
    if (!m_callbackId)
        return;
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), m_callbackId);
}

bool HYBInAppBrowser::shouldStartLoadWithRequest(platform::WebView& browserWebView, const platform::URLRequest& request,
                                                 platform::WebViewNavigationType) {
    if (!request.url())
        return true;
    const platform::URL& url = *request.url();
    const bool topLevel = request.url() == request.mainDocumentURL();

    if (url.scheme() == "hyb-iab") {
        browserWebView.evaluateJavaScript(kAnswerReadScript, {});
        const std::string callbackId = url.host().value_or("");
        if (!isValidCallbackId(callbackId))
            return true;
        // Only the answer to an injection of this browser, once: the browser's page cannot answer (or
        // answer again) any other call of the application's page.
        const bool ownView = m_inAppBrowserViewController && m_inAppBrowserViewController->webView().get() == &browserWebView;
        if (!ownView || m_awaitedAnswers.erase(callbackId) == 0) {
            platform::Log::write("Refused an in-app browser answer that no injection awaits: " + callbackId);
            return false;
        }
        HYBPluginResult result = HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, {});
        const std::string path = url.path();
        if (path.size() > kMaxAnswerURLBytes) {
            result = HYBPluginResult::messageAsString(HYBCommandStatus::Error, kAnswerTooLarge);
        } else if (path.size() >= 2) {
            // A lone surrogate in the page's text reads as U+FFFD, as it does in the page's own calls.
            const std::string_view answer = std::string_view(path).substr(1);
            const std::optional<std::string> mended = runtime::replaceLoneSurrogateEscapes(answer);
            platform::Result<platform::Value> parsed = platform::JSON::parse(mended ? std::string_view(*mended) : answer);
            const std::string* failure = parsed.ok() ? parsed->dictionaryOrEmpty()["error"].getString() : nullptr;
            if (parsed.ok() && parsed->isArray())
                result = HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, parsed->arrayOrEmpty());
            else if (failure)
                result = HYBPluginResult::messageAsString(HYBCommandStatus::Error, *failure);
            else
                result = HYBPluginResult::resultWithStatus(HYBCommandStatus::JSONError);
        }
        if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(std::move(result), callbackId);
        return false;
    }
    if (url.scheme() == "itms-appss" || url.scheme() == "itms-apps") {
        browserWebView.stopLoading();
        openInSystem(url);
        return false;
    }
    if (m_callbackId && topLevel)
        sendEvent(event(HYBCommandStatus::Ok, platform::Dictionary{{"type", "loadstart"}, {"url", url.absoluteString()}}));
    return true;
}

void HYBInAppBrowser::webViewDidFinishLoad(platform::WebView& browserWebView) {
    sendEvent(event(HYBCommandStatus::Ok, platform::Dictionary{{"type", "loadstop"}, {"url", currentURLText(browserWebView)}}));
}

void HYBInAppBrowser::webViewDidFailLoadWithError(platform::WebView& browserWebView, const platform::Error& error) {
    sendEvent(event(HYBCommandStatus::Error, platform::Dictionary{{"type", "loaderror"},
                                                                  {"url", currentURLText(browserWebView)},
                                                                  {"code", static_cast<std::int64_t>(error.code)},
                                                                  {"message", error.localizedDescription()}}));
}

// ---- injection ----

void HYBInAppBrowser::injectDeferredObject(const std::string& source, const std::optional<std::string>& wrapper) {
    if (!m_inAppBrowserViewController)
        return;
    platform::WebView& browserWebView = *m_inAppBrowserViewController->webView();
    browserWebView.stringByEvaluatingJavaScriptFromString(kBridgeScript);
    if (!wrapper) {
        browserWebView.stringByEvaluatingJavaScriptFromString(source);
        return;
    }
    std::string literal;
    platform::JSON::appendQuoted(literal, source);
    std::string script = *wrapper;
    if (const std::size_t at = script.find("%@"); at != std::string::npos)
        script.replace(at, 2, literal);
    browserWebView.stringByEvaluatingJavaScriptFromString(script);
}

void HYBInAppBrowser::inject(const runtime::HYBInvokedUrlCommand& command, const char* withCallback, const char* withoutCallback) {
    const platform::Value argument = command.argumentAtIndex(0);
    const std::string* source = argument.getString();
    if (!source) {
        if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Error, "the script or style argument is missing"),
                                       command.callbackId());
        return;
    }
    if (!m_inAppBrowserViewController) {
        if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Error, "no browser is open"), command.callbackId());
        return;
    }
    // Only ids of the page's form can be answered (and enter the script safely); others inject unanswered.
    const std::optional<std::string>& id = command.callbackId();
    if (id && *id != "INVALID" && isValidCallbackId(*id)) {
        if (m_awaitedAnswers.size() >= kMaxAwaitedAnswers && !m_awaitedAnswers.count(*id)) {
            if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
                delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Error, kTooManyAwaited), id);
            return;
        }
        m_awaitedAnswers.insert(*id);
        injectDeferredObject(*source, fillCallbackId(withCallback, *id));
    } else {
        injectDeferredObject(*source, withoutCallback ? std::optional<std::string>(withoutCallback) : std::nullopt);
    }
}

void HYBInAppBrowser::injectScriptCode(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kScriptCodeWithCallback, nullptr);
}

void HYBInAppBrowser::injectScriptFile(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kScriptFileWithCallback, kScriptFileWithoutCallback);
}

void HYBInAppBrowser::injectStyleCode(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kStyleCodeWithCallback, kStyleCodeWithoutCallback);
}

void HYBInAppBrowser::injectStyleFile(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kStyleFileWithCallback, kStyleFileWithoutCallback);
}

} // namespace plugins
