// The page's "InAppBrowser" service: opens a URL in the application's own web view ("_self"), in the
// system ("_system") or in a modal browser screen with a web view of its own (any other target, see
// HYBInAppBrowserViewController); reports the browser's loads and its closing as events on the callback
// of the last `open`; injects script and style into the browser's page and answers with their outcome.
//
// Events, each on the kept callback of the last `open`: {"type": "loadstart", "url"} for every top-level
// navigation, {"type": "loadstop", "url"}, status 9 {"type": "loaderror", "url", "code", "message"},
// and, not kept, {"type": "exit"} when the browser closes. A load's "loadstop" and "loaderror" name the URL
// it is at when it ends: after a server's redirect, the redirect's target, as the last "loadstart" of that
// load did. A load that fails names its own URL, never the page still shown (a link that is a download).
//
// Guarantees:
// - Main thread only; the presentation comes on a later turn of the main queue, once the presenter is in no
//   transition (a browser closed just before has gone).
// - `open` answers once, keeping the callback: status 1, or status 9 "incorrect number of arguments"
//   when argument 0 is not a string, or status 9 "invalid URL" when it cannot be resolved to an
//   absolute URL (nothing is opened then). A target or option string that is not a string takes its
//   default ("_self", "").
// - A URL on the platform's app-store web host (kHYBAppStoreHost) goes to the system whatever the target.
// - Injection: the source always enters the wrapper as a JSON string literal. With a callback id of the
//   page's form ("InAppBrowser" and 1 to 10 digits) the page is answered once: when the script ran or the
//   element loaded, or with status 9 and the reason when the script threw (or its value cannot be written
//   as JSON) or the file, style or style sheet failed to load. With another id (or none) the source is
//   injected (in its turn, also into a page stopped in a dialog: it runs once that is answered) and
//   nothing is answered. Argument 0 missing or not a string: status 9 "the script or style
//   argument is missing"; no browser open: status 9 "no browser is open"; nothing is injected then.
// - Only the injection answers itself; nothing the browser's page sends reaches the application's page.
//   Script code runs in the page's world and is answered with that evaluation's own result: status 1 with
//   the array of the value's JSON, status 9 with the reason of a failure, status 8 "JSON error" for any
//   other text, status 9 when the page did not run it. A file or style is added by a script of the
//   engine's own world (WebView::evaluateJavaScriptInEngineWorld) and answered from the engine's own load
//   or error event of its element (never one the page dispatches), read on a 50 ms timer while one awaits:
//   a load of a URL the page put in its place is status 9, and so is an element the page removed, one that
//   could not be added, or one no longer in the page (its id neither done nor waiting when read). Script
//   code's value leaves the page only as a string (else status 9 "The answer is not JSON text").
//   An answer longer than 1 MiB is status 9 "The answer is too large". At most 1024 injections await their
//   answer at once: one more, or one reusing an id still awaited, is answered with status 9 and not
//   injected. Injected files and styles still awaited when a new page starts loading in the browser, and
//   every injection still awaited when the browser closes, are answered with status 9 and the reason;
//   what comes later for them is dropped.
// - "hyb-iab" navigations are refused (never loaded, answering nothing). A top-level navigation to a
//   scheme of another application (WebView::handOverToApplication) is handed over without a "loadstart";
//   every "loadstart" of a load that starts is followed by its "loadstop" or "loaderror".
// - The browser's web view shows foreign pages (platform::WebView::showsForeignPages): its loads open
//   no folder to its pages, which read files of the application's bundle and home only.
// - Made by the name "HYBInAppBrowser" once registerClass() ran.
#pragma once

#include "platform/core/Error.h"
#include "platform/net/URLRequest.h"
#include "platform/text/URL.h"
#include "platform/web/WebView.h"
#include "plugins/HYBInAppBrowserViewController.h"
#include "runtime/HYBPlugin.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace plugins {

// The web host of the platform's app store: URLs on it open in the system.
inline constexpr const char* kHYBAppStoreHost = "apps.hybridhost.org"; // this platform's app store web host
// The domain of the cookies of file pages, which clearing the cookies keeps.
inline constexpr const char* kHYBFileCookiesDomain = ".^filecookies^";

class HYBInAppBrowser : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    void pluginInitialize() override;
    void onReset() override;

    // ---- page actions ----
    void open(const runtime::HYBInvokedUrlCommand& command);
    void close(const runtime::HYBInvokedUrlCommand& command);
    void show(const runtime::HYBInvokedUrlCommand& command);
    void injectScriptCode(const runtime::HYBInvokedUrlCommand& command);
    void injectScriptFile(const runtime::HYBInvokedUrlCommand& command);
    void injectStyleCode(const runtime::HYBInvokedUrlCommand& command);
    void injectStyleFile(const runtime::HYBInvokedUrlCommand& command);

    // ---- the browser screen's navigation delegate ----
    bool shouldStartLoadWithRequest(platform::WebView& webView, const platform::URLRequest& request,
                                    platform::WebViewNavigationType navigationType);
    void webViewDidStartLoad(platform::WebView& webView);
    void webViewDidFinishLoad(platform::WebView& webView);
    void webViewDidFailLoadWithError(platform::WebView& webView, const platform::Error& error);
    void browserExit();

    // ---- other operations ----
    void openInInAppBrowser(const platform::URL& url, const std::string& options);
    void openInHybridWebView(const platform::URL& url, const std::string& options);
    void openInSystem(const platform::URL& url);
    static bool isSystemUrl(const platform::URL& url);
    // Evaluates the source in the wrapper (its one "%@"), or the bare source, in the page (unanswered).
    void injectDeferredObject(const std::string& source, const std::optional<std::string>& wrapper);
    static bool isValidCallbackId(std::string_view callbackId);
    // An injection's answer from the JSON text its injection gave (see the guarantees above).
    static runtime::HYBPluginResult readAnswer(std::string_view text);

    const std::shared_ptr<HYBInAppBrowserViewController>& inAppBrowserViewController() const { return m_inAppBrowserViewController; }
    const std::optional<std::string>& callbackId() const { return m_callbackId; }
    // The application's status-bar style saved while the browser is shown; -1 when it is not.
    int previousStatusBarStyle() const { return m_previousStatusBarStyle; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBInAppBrowser"; }

private:
    void showBrowser();
    // Presents the browser of `generation` (none once it has exited), when the presenter is not in a transition.
    void presentBrowser(const std::shared_ptr<HYBInAppBrowserNavigationController>& navigation, std::uint64_t generation);
    void closeBrowser();
    void sendEvent(runtime::HYBPluginResult result);
    // The inject actions: with a callback, script code (no `element`) or the element a script of the engine's
    // world adds (`element` and the text of its `failure`); without, the source in `withoutCallback` (or bare).
    void inject(const runtime::HYBInvokedUrlCommand& command, const char* element, const char* failure, const char* withoutCallback);
    // Answers an awaited injection of the browser of `generation` once; anything else is dropped.
    void answerInjection(const std::string& callbackId, std::uint64_t generation, runtime::HYBPluginResult result);
    void answerAwaited(const std::set<std::string>& callbackIds, const char* reason);
    // Reads the outcomes of injected files and styles while one awaits it.
    void scheduleOutcomeRead();
    void readOutcomes();

    std::shared_ptr<HYBInAppBrowserViewController> m_inAppBrowserViewController;
    std::optional<std::string> m_callbackId;
    // The callback ids of the injections whose answer has not come yet (answered when the browser exits),
    // and those of them that wait for an injected file or style to load.
    std::set<std::string> m_awaitedAnswers;
    std::set<std::string> m_awaitedOutcomes;
    bool m_outcomeReadScheduled = false;
    // One more each time a browser exits: what comes for an older one is dropped.
    std::uint64_t m_browserGeneration = 0;
    int m_previousStatusBarStyle = -1;
};

} // namespace plugins
