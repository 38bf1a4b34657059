// The web view: one page shown by a web engine, loaded from requests or HTML text, with a script
// evaluation that answers synchronously. Two engines implement it: the real one (WebKitGTK, in its own
// library) and HeadlessWebView, a scripted page for unit tests. Runtime code sees only this class.
//
// Guarantees (both engines):
// - Main thread only. Every delegate callback comes on the main thread, from the main run loop, never
//   from inside loadRequest/loadHTMLString/reload/goBack/goForward (they only schedule the load).
// - The loads the application answers (its protocols' schemes, its files, the whitelist's refusals, the web
//   loads of its own file pages) pass through the platform's URL protocol registry, as on the phone. The
//   headless engine passes every load there; the real engine makes a web page's other loads itself, as a
//   browser does (webengine/WebKitGtkWebView.h).
// - Load sequence of one top-level navigation, as the delegate sees it:
//     shouldStartLoadWithRequest(request, type)  -- false ends it here, nothing else comes
//     webViewDidStartLoad                         -- main frame
//       [shouldStartLoadWithRequest(redirected)]  -- per redirect; no new start
//       shouldStartLoadWithRequest(frame request), webViewDidStartLoad
//                                                 -- per nested frame, as the document asks for them
//       webViewDidFinishLoad | didFailLoadWithError -- per nested frame
//     webViewDidFinishLoad | didFailLoadWithError -- main frame, after all its frames ended
//   A nested frame's request carries the top-level URL as mainDocumentURL; a top-level request carries
//   its own URL. A new top-level navigation or stopLoading ends every open load of the old one with
//   didFailLoadWithError(kURLErrorCancelled, -999), innermost frames first. A change of the URL fragment
//   only asks shouldStartLoadWithRequest and, when allowed, changes location.href with no start/finish;
//   that question, and only it, is marked isMainDocumentFragmentChange.
// - `request()` is the current top-level request: the committed page's, or the one being loaded once it
//   started, led on by each redirect the delegate allowed (its URL the target's); it stays the same object
//   until the next top-level load starts, so delegates may compare addresses. A top-level load that fails
//   (or is cancelled) before its document came gives way, once its failure was told, to the committed
//   page's request again (none when no page came): the page shown is still that one, and a load of the
//   failed address next is a load of its own, not a change of fragment.
// - stopLoading ends the open loads with didFailLoadWithError(-999); the headless engine reports them
//   before stopLoading returns.
// - stringByEvaluatingJavaScriptFromString runs the script in the main frame and returns its result as
//   text ("" for undefined, null, or failure). It may be called from inside any delegate callback. The
//   real engine waits in a nested turn of the main loop, so other main-loop work may run during it.
// - evaluateJavaScript runs the script after every evaluation asked before it (either kind) and does not
//   wait: the result text comes to the completion later, on the main run loop, never inline. The real
//   engine sends the scripts asked for within one main-loop pass to the page together.
//   evaluateJavaScriptPromptly is the same for a script the page's next step waits for (the fetch of its
//   queued commands): the real engine sends it, with everything asked before it, at once instead of at the
//   end of the pass; the order of the scripts and of their results stays the order they were asked in.
// - evaluateJavaScriptForValue runs the script as evaluateJavaScript does and gives its completion value as
//   JSON text: "[<value>]" (null for a value JSON cannot write), or {"error": "<why>"} when the script threw
//   or its value cannot be written. The real engine's web-process module writes it with a writer made before
//   any script of the page ran, never with a function the page can replace or add (its eval, its
//   JSON.stringify, a toJSON on a prototype the engine made); the headless engine's page answers a script
//   that writes it.
// - evaluateJavaScriptInEngineWorld runs the script in a script world of the engine's own: it sees the
//   page's document, but none of the page script's objects, and the page's script cannot reach its objects
//   (what it keeps on its `window` stays between its scripts for the same document). It does not wait; the
//   result text comes to the completion later, on the main run loop. The real engine runs it ahead of the
//   page's scripts still waiting to be sent. The headless engine has no worlds: its page answers it as any
//   script.
// - The process-wide user agent is read at the start of each top-level load: the registration-domain
//   user default "UserAgent" when set, else the engine's own agent (defaultUserAgent()).
// - The dialogs the page's script opens (alert, confirm, prompt, the question whether to leave the page)
//   are shown as the platform's alerts above every screen (ScriptDialogPresenter), and the page gets the
//   person's answer; its script waits for it, the main loop does not. A web view that goes away answers
//   its dialogs as cancelled.
#pragma once

#include "platform/core/Error.h"
#include "platform/web/ScriptDialog.h"
#include "platform/ui/ScrollView.h"
#include "platform/net/URLRequest.h"
#include "platform/web/WebLoadRules.h"
#include "platform/ui/View.h"
#include "platform/web/WebViewDelegate.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class PaginationMode { Unpaginated = 0, LeftToRight = 1, TopToBottom = 2, BottomToTop = 3, RightToLeft = 4 };
enum class PaginationBreakingMode { Page = 0, Column = 1 };

// The settings a page's owner can change; engines apply what they can and keep every value readable.
struct WebViewSettings {
    bool scalesPageToFit = false;
    bool allowsInlineMediaPlayback = false;
    bool mediaPlaybackRequiresUserAction = true;
    bool keyboardDisplayRequiresUserAction = true;
    bool suppressesIncrementalRendering = false;
    double gapBetweenPages = 0;
    double pageLength = 0;
    PaginationBreakingMode paginationBreakingMode = PaginationBreakingMode::Page;
    PaginationMode paginationMode = PaginationMode::Unpaginated;
    friend bool operator==(const WebViewSettings&, const WebViewSettings&) = default;
};

class WebView : public View {
public:
    using Factory = std::function<std::shared_ptr<WebView>(Rect frame)>;

    // A new web view of the installed engine. Runtime code makes its web views here, so it does not
    // change between engines: the application installs the real engine's factory at start-up; without
    // one (unit tests) the engine is HeadlessWebView.
    static std::shared_ptr<WebView> create(Rect frame);
    // Installs the engine's factory (an empty one goes back to the headless engine). Main thread.
    static void setFactory(Factory factory);

    ~WebView() override;

    // A number that names this web view for the life of the process (never given to another one): the
    // engines stamp it on the requests of its pages (URLRequest::webViewIdentifier).
    std::uint64_t identifier() const { return m_identifier; }

    // Whether the view shows pages the application does not vouch for (the in-app browser's, the payment
    // road's, sign-in pages): every document it loads is then the page's choice, not the application's,
    // so a file URL, loaded or read by its pages, reaches only the application's bundle and home (no
    // document opens its folder), and the engine gives its pages no file access beyond that rule. Off
    // unless set; set it before the first load.
    bool showsForeignPages() const { return m_showsForeignPages; }
    void setShowsForeignPages(bool foreign);

    // The delegate is held weakly; callbacks stop when it is gone.
    std::shared_ptr<WebViewDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(std::weak_ptr<WebViewDelegate> delegate) { m_delegate = std::move(delegate); }

    // A top-level navigation (or a redirect of one) the delegate allowed, to a scheme that no URL loader
    // serves (URLConnection::canHandleRequest) and the engine does not load itself (about, data, blob,
    // javascript), belongs to another application: both engines hand it to Application::openURL and load
    // nothing. True when `request` was such a navigation. Main thread.
    static bool handOverToApplication(const URLRequest& request);

    // Loading.
    void loadRequest(const URLRequest& request);
    // Shows the HTML text as the document of baseURL ("about:blank" when empty). The load asks the
    // delegate first, like any top-level load.
    void loadHTMLString(std::string_view html, std::string_view baseURL);
    void stopLoading();
    void reload();
    bool canGoBack() const;
    bool canGoForward() const;
    void goBack();
    void goForward();
    bool isLoading() const;
    // The current top-level request, or nullptr before the first load started.
    const URLRequest* request() const;

    // Script, in the main frame; "" for no value.
    std::string stringByEvaluatingJavaScriptFromString(std::string_view script);
    // The same without waiting: `completion` gets the result text later (see the header comment).
    using EvaluationCompletion = std::function<void(std::string result)>;
    void evaluateJavaScript(std::string script, EvaluationCompletion completion);
    void evaluateJavaScriptPromptly(std::string script, EvaluationCompletion completion);
    void evaluateJavaScriptInEngineWorld(std::string script, EvaluationCompletion completion);
    void evaluateJavaScriptForValue(std::string script, EvaluationCompletion completion);

    // Settings (platform-needs H).
    const WebViewSettings& settings() const { return m_settings; }
    void setSettings(const WebViewSettings& settings);
    bool scalesPageToFit() const { return m_settings.scalesPageToFit; }
    void setScalesPageToFit(bool on);
    bool allowsInlineMediaPlayback() const { return m_settings.allowsInlineMediaPlayback; }
    void setAllowsInlineMediaPlayback(bool on);
    bool mediaPlaybackRequiresUserAction() const { return m_settings.mediaPlaybackRequiresUserAction; }
    void setMediaPlaybackRequiresUserAction(bool on);
    bool keyboardDisplayRequiresUserAction() const { return m_settings.keyboardDisplayRequiresUserAction; }
    void setKeyboardDisplayRequiresUserAction(bool on);
    bool suppressesIncrementalRendering() const { return m_settings.suppressesIncrementalRendering; }
    void setSuppressesIncrementalRendering(bool on);
    double gapBetweenPages() const { return m_settings.gapBetweenPages; }
    void setGapBetweenPages(double gap);
    double pageLength() const { return m_settings.pageLength; }
    void setPageLength(double length);
    PaginationBreakingMode paginationBreakingMode() const { return m_settings.paginationBreakingMode; }
    void setPaginationBreakingMode(PaginationBreakingMode mode);
    PaginationMode paginationMode() const { return m_settings.paginationMode; }
    void setPaginationMode(PaginationMode mode);

    // The scroll view showing the page.
    ScrollView& scrollView() { return *m_scrollView; }
    const std::shared_ptr<ScrollView>& scrollViewPointer() const { return m_scrollView; }

    // Process-wide: whether the bar of form helpers above the keyboard is hidden for every web view.
    // The desktop has no such bar: the flag is kept and read back.
    static void setInputAccessoryBarHidden(bool hidden);
    static bool isInputAccessoryBarHidden();

    // Editing in the page. Engines call pageEditingChanged when an editable element of the page gains
    // focus (true) or the page's focus leaves the editable elements (false). While the page edits, the
    // web view is the first responder of its window, so the keyboard shows with its notifications; when
    // native code ends the editing (endEditing, another responder), the page's active element is blurred.
    void pageEditingChanged(bool editing);
    bool isPageEditing() const { return m_pageEditing; }
    bool canBecomeFirstResponder() const override { return m_pageEditing; }

    // The process-wide user agent for a load starting now (see the header comment).
    std::string currentUserAgent() const;

    // The rules that refuse web loads of pages loading under a user agent (the runtime's whitelist judges
    // the requests naming one of its view controllers, which their agent does): an engine that makes web
    // loads without the URL protocol registry judges them by these. None when nothing refuses them. Installed
    // by the runtime (an empty provider: none); main thread.
    using LoadRulesProvider = std::function<std::optional<WebLoadRules>(std::string_view userAgent)>;
    static void setLoadRulesProvider(LoadRulesProvider provider);
    static std::optional<WebLoadRules> loadRulesFor(std::string_view userAgent);
    // The engine's own agent, used when no "UserAgent" default is registered.
    virtual std::string defaultUserAgent() const = 0;
    // What navigator.userAgent gives in this view while it has loaded nothing yet. Evaluated here unless
    // the engine knows it without starting a page (the real engine answers from the view's settings,
    // without a web process).
    virtual std::string userAgentBeforeFirstLoad();

    // Where the engine keeps the pages' web storage on disk (local storage, databases), when it does:
    // `inUse` says a page of this process may have those files open, so they must not be replaced.
    struct WebStorageLocation {
        std::string dataFolder;
        bool inUse = false;
    };
    virtual std::optional<WebStorageLocation> webStorageLocation() const { return std::nullopt; }

protected:
    explicit WebView(Rect frame);

    // Engine work, called by the public methods above after their checks.
    virtual void doLoadRequest(const URLRequest& request, WebViewNavigationType type) = 0;
    virtual void doLoadHTMLString(std::string html, std::string baseURL) = 0;
    virtual void doStopLoading() = 0;
    virtual void doReload() = 0;
    virtual bool doCanGoBack() const = 0;
    virtual bool doCanGoForward() const = 0;
    virtual void doGoBack() = 0;
    virtual void doGoForward() = 0;
    virtual bool doIsLoading() const = 0;
    virtual const URLRequest* doRequest() const = 0;
    virtual std::string doEvaluateScript(std::string_view script) = 0;
    // By default the script is evaluated at once and the completion posted to the main run loop.
    virtual void doEvaluateScriptLater(std::string script, EvaluationCompletion completion);
    // By default the same as doEvaluateScriptLater.
    virtual void doEvaluateScriptPromptly(std::string script, EvaluationCompletion completion);
    // By default the same as doEvaluateScriptLater (an engine without script worlds).
    virtual void doEvaluateScriptInEngineWorld(std::string script, EvaluationCompletion completion);
    // By default doEvaluateScriptLater of a script that writes the value with the page's JSON.stringify.
    virtual void doEvaluateScriptForValue(std::string script, EvaluationCompletion completion);
    // The settings changed; the real engine applies them.
    virtual void settingsDidChange() {}
    // showsForeignPages changed; the real engine confines its pages.
    virtual void foreignPagesDidChange() {}
    // Keeps the scroll view the size of the web view.
    void layoutSubviews() override;
    // Native code took the focus from the page: blurs the page's active element.
    void didResignFirstResponder() override;
    virtual void blurActiveElement();
    // The engine's page opened a dialog: shown once the dialogs before it are answered. (An engine that
    // tears its page down before this class's destructor, which answers what is left, answers its own.)
    void showScriptDialog(std::shared_ptr<ScriptDialog> dialog);

private:
    std::weak_ptr<WebViewDelegate> m_delegate;
    WebViewSettings m_settings;
    std::shared_ptr<ScrollView> m_scrollView;
    bool m_pageEditing = false;
    bool m_showsForeignPages = false;
    bool m_hadScriptDialogs = false;
    const std::uint64_t m_identifier;
};

} // namespace platform
