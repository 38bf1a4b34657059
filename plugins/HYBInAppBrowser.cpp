#include "plugins/HYBInAppBrowser.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"
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

// The answers to injections never travel as anything the browser's page can send. Script code runs in the
// page's world (it sees the page's script, as it should) and its answer is that evaluation's own value,
// written as JSON by the engine (platform::WebView::evaluateJavaScriptForValue), not by the page's functions
// (nor with a toJSON the page put on a prototype).
// Files and styles are added by a script of the engine's own world, which the page's script cannot reach:
// only a load or error event of the engine's (never one the page dispatches) notes the outcome, in a table
// of that world, which the plug-in reads while such injections await. An answer is JSON text: an array
// (status 1) or {"error": text} (status 9); longer than kMaxAnswerBytes it reads as kAnswerTooLarge.
constexpr std::size_t kMaxAnswerBytes = 1 << 20;
constexpr const char* kAnswerTooLarge = "The answer is too large";
constexpr const char* kNotRun = "The script did not run in the browser's page";
constexpr const char* kPageLeft = "The browser's page was left before the injection ended";
constexpr const char* kBrowserClosed = "The browser was closed before the injection ended";
// Injections awaiting their answer at once; one more is answered with kTooManyAwaited and not injected.
constexpr std::size_t kMaxAwaitedAnswers = 1024;
constexpr const char* kTooManyAwaited = "too many injections await their answer";
constexpr const char* kIdAwaited = "an injection with this callback id awaits its answer";
// How often the outcomes of injected files and styles are read while one awaits it, in seconds.
constexpr double kOutcomeReadInterval = 0.05;

// Files and styles with a callback, in the engine's world: "%@" takes the source, "%%@" the id (both JSON
// string literals). Only the engine's own events (isTrusted) note an outcome, once. The element's snippet
// keeps `u`, the URL it was given, and `now`, the URL it has when its event comes: the page may change the
// element's attributes, but a load of another URL is no load of the injected one, and a failure names the
// injected URL, not the page's text. Until its outcome the element waits in the world's `_hybIabWaiting`;
// one that cannot be added (the page removed its document's root) notes its failure at once.
constexpr const char* kElementWithCallback =
    "(function(d,id){%s"
    "var W=window._hybIabWaiting||(window._hybIabWaiting={});"
    "function note(t){delete W[id];(window._hybIabDone||(window._hybIabDone={}))[id]=t;}"
    "function end(a){return function(e){if(e.isTrusted&&W[id]===c){note(a());}};}"
    "c.addEventListener('load',end(function(){return now()===u?'[]':JSON.stringify({error:'The page changed the injected element'});}));"
    "c.addEventListener('error',end(function(){return JSON.stringify({error:%s});}));"
    "W[id]=c;"
    "try{(d.body||d.documentElement).appendChild(c);}"
    "catch(x){note(JSON.stringify({error:'The injected element could not be added to the page'}));}})(document,%%@)";
constexpr const char* kScriptFileElement = "var c=d.createElement('script');c.src=%@;var u=c.src,now=function(){return c.src;};";
constexpr const char* kScriptFileFailure = "'The script file could not be loaded: '+u";
constexpr const char* kStyleCodeElement = "var c=d.createElement('style');c.innerHTML = %@;var u='',now=function(){return '';};";
constexpr const char* kStyleCodeFailure = "'The style could not be loaded'";
constexpr const char* kStyleFileElement =
    "var c=d.createElement('link');c.rel='stylesheet';c.type='text/css';c.href=%@;var u=c.href,now=function(){return c.href;};";
constexpr const char* kStyleFileFailure = "'The style sheet could not be loaded: '+u";
// Takes the outcomes noted so far (engine's world), noting first that of each waiting element the page
// removed from its document (it will have no event): {"done": {"<id>": "<answer's JSON text>", ...},
// "waiting": ["<id>", ...]}. An awaited id neither done nor waiting was injected into a page since left.
constexpr const char* kTakeOutcomesScript =
    "(function(){var t=window._hybIabDone||{},w=window._hybIabWaiting||{};window._hybIabDone={};"
    "for(var id in w){if(!w[id].isConnected){delete w[id];t[id]=JSON.stringify({error:'The page removed the injected element'});}}"
    "return JSON.stringify({done:t,waiting:Object.keys(w)});})()";
constexpr const char* kNotInPage = "The injected element is not in the browser's page";

constexpr const char* kScriptFileWithoutCallback =
    "(function(d) { var c = d.createElement('script'); c.src = %@; d.body.appendChild(c); })(document)";
constexpr const char* kStyleCodeWithoutCallback =
    "(function(d) { var c = d.createElement('style'); c.innerHTML = %@; d.body.appendChild(c); })(document)";
constexpr const char* kStyleFileWithoutCallback =
    "(function(d) { var c = d.createElement('link'); c.rel='stylesheet', c.type='text/css'; c.href = %@; d.body.appendChild(c); "
    "})(document)";

constexpr std::string_view kCallbackIdPrefix = "InAppBrowser";

bool isSystemAtLeast(const char* version) {
    return platform::isVersionAtLeast(platform::Device::current().systemVersion(), version);
}

// `format` with its first `placeholder` replaced by `value`.
std::string filled(std::string format, std::string_view placeholder, std::string_view value) {
    if (const std::size_t at = format.find(placeholder); at != std::string::npos)
        format.replace(at, placeholder.size(), value);
    return format;
}

std::string quoted(std::string_view text) {
    std::string literal;
    platform::JSON::appendQuoted(literal, text);
    return literal;
}

// The engine's-world script adding a file or style element for the id; "%@" stays for the source.
std::string elementWithCallback(const char* element, const char* failure, std::string_view callbackId) {
    return filled(filled(filled(kElementWithCallback, "%s", element), "%s", failure), "%%@", quoted(callbackId));
}

// Deletes the cookies that `matches` picks, in the shared store, the store of foreign content and the
// engine's, except those of file pages.
void deleteCookies(bool (*matches)(const platform::HTTPCookie&)) {
    auto pick = [matches](const platform::HTTPCookie& cookie) { return cookie.domain() != kHYBFileCookiesDomain && matches(cookie); };
    platform::HTTPCookieStorage::forForeignContent().deleteCookies(pick);
    platform::HTTPCookieStorage::shared().deleteCookies(pick);
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
    platform::DispatchQueue::main()->async([weak, navigation, generation = m_browserGeneration] {
        if (auto self = std::static_pointer_cast<HYBInAppBrowser>(weak.lock()))
            self->presentBrowser(navigation, generation);
    });
}

void HYBInAppBrowser::presentBrowser(const std::shared_ptr<HYBInAppBrowserNavigationController>& navigation, std::uint64_t generation) {
    if (!m_inAppBrowserViewController || generation != m_browserGeneration)
        return;
    std::shared_ptr<platform::ViewController> presenter = viewController();
    if (!presenter)
        return;
    // A browser closed just before is still going away (the presenter refuses a presentation meanwhile): this
    // one shows once it has gone.
    if (presenter->isBeingTransitioned()) {
        std::weak_ptr<HYBPlugin> weak = weak_from_this();
        platform::RunLoop::main().performAfterDelay(platform::kModalTransitionDuration, [weak, navigation, generation] {
            if (auto self = std::static_pointer_cast<HYBInAppBrowser>(weak.lock()))
                self->presentBrowser(navigation, generation);
        });
        return;
    }
    presenter->presentViewController(navigation, true);
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
    answerAwaited(m_awaitedAnswers, kBrowserClosed);
    ++m_browserGeneration;
    // A read under way goes with the browser's web view, which may drop its completion: the next browser's
    // reads start anew.
    m_outcomeReadScheduled = false;
    if (m_callbackId) {
        sendEvent(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, platform::Dictionary{{"type", "exit"}}));
        m_callbackId.reset();
    }
    if (m_inAppBrowserViewController)
        m_inAppBrowserViewController->setNavigationDelegate({});
    m_inAppBrowserViewController.reset();
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
        // Injections are answered by the engine, never by a navigation of the page: such a navigation is
        // neither loaded nor handed to another application, and answers nothing.
        platform::Log::write("Refused an in-app browser navigation to " + url.scheme() + "://" + url.host().value_or(""));
        return false;
    }
    // The store's pages open in the system for the page itself, never for a frame of it (nothing loads them
    // there): the page's own navigation that its engine could only ask as a frame's is asked again as the page's
    // once its load starts.
    if (url.scheme() == "itms-appss" || url.scheme() == "itms-apps") {
        if (!topLevel)
            return true;
        browserWebView.stopLoading();
        openInSystem(url);
        return false;
    }
    // A scheme of another application opens there: the browser loads nothing, so it reports no load that
    // would never end (a server's redirect there fails the load it ends).
    if (topLevel && platform::WebView::handOverToApplication(request))
        return false;
    if (m_callbackId && topLevel)
        sendEvent(event(HYBCommandStatus::Ok, platform::Dictionary{{"type", "loadstart"}, {"url", url.absoluteString()}}));
    return true;
}

void HYBInAppBrowser::webViewDidStartLoad(platform::WebView&) {
    // The files and styles injected into the page left are gone with it, and so are their outcomes.
    answerAwaited(m_awaitedOutcomes, kPageLeft);
}

void HYBInAppBrowser::webViewDidFinishLoad(platform::WebView& browserWebView) {
    sendEvent(event(HYBCommandStatus::Ok, platform::Dictionary{{"type", "loadstop"}, {"url", currentURLText(browserWebView)}}));
}

void HYBInAppBrowser::webViewDidFailLoadWithError(platform::WebView& browserWebView, const platform::Error& error) {
    // The load that failed, as its loadstart named it: not the page still shown (a link that turned out a
    // download fails without having become the current request).
    std::string url = error.userInfo[platform::kURLErrorFailingURLStringKey].stringOr("");
    if (url.empty())
        url = currentURLText(browserWebView);
    sendEvent(event(HYBCommandStatus::Error, platform::Dictionary{{"type", "loaderror"},
                                                                  {"url", std::move(url)},
                                                                  {"code", static_cast<std::int64_t>(error.code)},
                                                                  {"message", error.localizedDescription()}}));
}

// ---- injection ----

HYBPluginResult HYBInAppBrowser::readAnswer(std::string_view text) {
    if (text.size() > kMaxAnswerBytes)
        return HYBPluginResult::messageAsString(HYBCommandStatus::Error, kAnswerTooLarge);
    if (text.empty())
        return HYBPluginResult::messageAsString(HYBCommandStatus::Error, kNotRun);
    // A lone surrogate in the page's text reads as U+FFFD, as it does in the page's own calls.
    const std::optional<std::string> mended = runtime::replaceLoneSurrogateEscapes(text);
    platform::Result<platform::Value> parsed = platform::JSON::parse(mended ? std::string_view(*mended) : text);
    const std::string* failure = parsed.ok() ? parsed->dictionaryOrEmpty()["error"].getString() : nullptr;
    if (parsed.ok() && parsed->isArray())
        return HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, parsed->arrayOrEmpty());
    if (failure)
        return HYBPluginResult::messageAsString(HYBCommandStatus::Error, *failure);
    return HYBPluginResult::resultWithStatus(HYBCommandStatus::JSONError);
}


void HYBInAppBrowser::injectDeferredObject(const std::string& source, const std::optional<std::string>& wrapper) {
    if (!m_inAppBrowserViewController)
        return;
    platform::WebView& browserWebView = *m_inAppBrowserViewController->webView();
    // Not waited for: a page stopped in a dialog runs it once the dialog is answered (a question put to it
    // meanwhile would be given up, and the script with it).
    browserWebView.evaluateJavaScript(wrapper ? filled(*wrapper, "%@", quoted(source)) : source, [](std::string) {});
}

void HYBInAppBrowser::inject(const runtime::HYBInvokedUrlCommand& command, const char* element, const char* failure,
                             const char* withoutCallback) {
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
    // Only ids of the page's form are answered; others inject unanswered.
    const std::optional<std::string>& id = command.callbackId();
    if (!id || *id == "INVALID" || !isValidCallbackId(*id)) {
        injectDeferredObject(*source, withoutCallback ? std::optional<std::string>(withoutCallback) : std::nullopt);
        return;
    }
    if (m_awaitedAnswers.count(*id)) {
        // The page reused an id still awaited: the new injection's answer could not be told from the old one's.
        if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Error, kIdAwaited), id);
        return;
    }
    if (m_awaitedAnswers.size() >= kMaxAwaitedAnswers) {
        if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Error, kTooManyAwaited), id);
        return;
    }
    m_awaitedAnswers.insert(*id);
    platform::WebView& browserWebView = *m_inAppBrowserViewController->webView();
    if (!element) {
        std::weak_ptr<HYBPlugin> weak = weak_from_this();
        browserWebView.evaluateJavaScriptForValue(*source, [weak, callbackId = *id, generation = m_browserGeneration](std::string text) {
                                              if (auto self = std::static_pointer_cast<HYBInAppBrowser>(weak.lock()))
                                                  self->answerInjection(callbackId, generation, readAnswer(text));
                                          });
        return;
    }
    m_awaitedOutcomes.insert(*id);
    browserWebView.evaluateJavaScriptInEngineWorld(filled(elementWithCallback(element, failure, *id), "%@", quoted(*source)), {});
    scheduleOutcomeRead();
}

void HYBInAppBrowser::answerInjection(const std::string& callbackId, std::uint64_t generation, HYBPluginResult result) {
    if (generation != m_browserGeneration || m_awaitedAnswers.erase(callbackId) == 0)
        return;
    m_awaitedOutcomes.erase(callbackId);
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), callbackId);
}

void HYBInAppBrowser::answerAwaited(const std::set<std::string>& callbackIds, const char* reason) {
    const std::set<std::string> ids = callbackIds;
    for (const std::string& id : ids)
        answerInjection(id, m_browserGeneration, HYBPluginResult::messageAsString(HYBCommandStatus::Error, reason));
}

void HYBInAppBrowser::scheduleOutcomeRead() {
    if (m_outcomeReadScheduled || m_awaitedOutcomes.empty())
        return;
    m_outcomeReadScheduled = true;
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    platform::RunLoop::main().performAfterDelay(kOutcomeReadInterval, [weak, generation = m_browserGeneration] {
        auto self = std::static_pointer_cast<HYBInAppBrowser>(weak.lock());
        if (self && generation == self->m_browserGeneration)
            self->readOutcomes();
    });
}

void HYBInAppBrowser::readOutcomes() {
    if (!m_inAppBrowserViewController || m_awaitedOutcomes.empty()) {
        m_outcomeReadScheduled = false;
        return;
    }
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    // Those injected before this read ran before it (the engine's world's scripts run in the order asked).
    m_inAppBrowserViewController->webView()->evaluateJavaScriptInEngineWorld(
        kTakeOutcomesScript, [weak, generation = m_browserGeneration, asked = m_awaitedOutcomes](std::string text) {
            auto self = std::static_pointer_cast<HYBInAppBrowser>(weak.lock());
            // A read of a closed browser's page: the reads of the browser open now are their own.
            if (!self || generation != self->m_browserGeneration)
                return;
            self->m_outcomeReadScheduled = false;
            platform::Result<platform::Value> outcomes = platform::JSON::parse(text);
            if (outcomes.ok()) {
                const platform::Dictionary& read = outcomes->dictionaryOrEmpty();
                for (const auto& [id, answer] : read["done"].dictionaryOrEmpty()) {
                    const std::string* answerText = answer.getString();
                    if (answerText && self->m_awaitedOutcomes.count(id))
                        self->answerInjection(id, generation, readAnswer(*answerText));
                }
                if (read["waiting"].isArray()) {
                    std::set<std::string> waiting;
                    for (const platform::Value& id : read["waiting"].arrayOrEmpty())
                        if (const std::string* text = id.getString())
                            waiting.insert(*text);
                    for (const std::string& id : asked)
                        if (self->m_awaitedOutcomes.count(id) && !waiting.count(id))
                            self->answerInjection(id, generation, HYBPluginResult::messageAsString(HYBCommandStatus::Error, kNotInPage));
                }
            }
            self->scheduleOutcomeRead();
        });
}

void HYBInAppBrowser::injectScriptCode(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, nullptr, nullptr, nullptr);
}

void HYBInAppBrowser::injectScriptFile(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kScriptFileElement, kScriptFileFailure, kScriptFileWithoutCallback);
}

void HYBInAppBrowser::injectStyleCode(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kStyleCodeElement, kStyleCodeFailure, kStyleCodeWithoutCallback);
}

void HYBInAppBrowser::injectStyleFile(const runtime::HYBInvokedUrlCommand& command) {
    inject(command, kStyleFileElement, kStyleFileFailure, kStyleFileWithoutCallback);
}

} // namespace plugins
