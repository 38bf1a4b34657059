// platform's web view on the real engine (WebKitGTK 4.1): what the runtime sees when the application runs.
//
// Beyond WebView's guarantees, on this engine:
// - Frames: WebKit reports only the main frame's load, so the delegate sees one start and one finish (or
//   failure) per top-level load and no per-frame starts. WebKit does not say which frame asks a navigation
//   question: one not surely the page's (the view's own load, the first load's redirects, a change of the
//   page's fragment) carries the page shown as mainDocumentURL, as a frame's does; should the main frame
//   start loading it (or be led on to it), the delegate is asked again, with its own URL as mainDocumentURL,
//   before it hears the start (refused then, the load stops unheard).
// - The sub-resources the application answers (its schemes such as "hybfile:", files, whitelist refusals,
//   the web loads of its own file pages and their workers) load through platform's URL loading: the URL
//   protocol registry first, then the built-in loaders. A web page's loads (and a frame of another site's
//   in the application's page) go through the engine's own network stack, with its cookie jar (kept in
//   Library/WebKit/cookies.sqlite). Documents load in WebKit itself once the delegate allowed them.
// - A new navigation or stopLoading ends the open load with didFailLoadWithError(-999), after
//   stopLoading has returned (WebKit reports it from the main loop).
// - A load whose answer would be a download (an attachment, a type no web view shows, a link's "download")
//   fails with WebKitErrorDomain 102, as on the phone; nothing is saved. A page's new windows open in the
//   view itself.
// - Script evaluation waits in a nested loop (time-out 10 s, then ""); it answers "" at once while a
//   sub-resource request of this view is being handed to a URL protocol, while the delegate decides a
//   change of the URL fragment (the page's script waits for that decision) and inside the wait of another
//   evaluation. evaluateJavaScript sends the scripts asked for within one main-loop pass in one
//   evaluation; completions come from the main loop, in order.
// - Website data (local storage, databases) lives under the application's Library (Library/WebKit, caches
//   in Library/Caches/WebKit) of the folders current when the view is made.
// - Top-level loads send the request's headers (http, https) but not its method and body: WebKit loads
//   documents with GET.
// - The requests of its pages (sub-resources and bridge requests) carry the view's identifier; a view that
//   shows foreign pages confines them as WebKitEngine::setForeignPages says.
// - The page's script dialogs are the platform's alerts (WebView.h); while one waits for its answer,
//   script evaluation answers "" at once.
#pragma once

#include "platform/web/WebView.h"
#include "webengine/EngineClient.h"
#include "webengine/WebKitEngine.h"

#include <memory>

typedef struct _GtkWidget GtkWidget;

namespace webengine {

class WebKitGtkWebView final : public platform::WebView, private EngineClient {
public:
    static std::shared_ptr<WebKitGtkWebView> create(platform::Rect frame = {});
    // Makes this engine the one platform::WebView::create uses.
    static void installAsEngine();

    ~WebKitGtkWebView() override;

    // The GTK widget to put in a window.
    GtkWidget* widget() const { return m_engine->widget(); }
    WebKitEngine& engine() { return *m_engine; }

    std::string defaultUserAgent() const override;
    // The agent of the view's settings, which its page reads; no web process is started for it. A load
    // sets it from currentUserAgent().
    std::string userAgentBeforeFirstLoad() override;
    // The application's Library/WebKit; in use once a web view of this process has loaded a page.
    std::optional<WebStorageLocation> webStorageLocation() const override;

protected:
    void doLoadRequest(const platform::URLRequest& request, platform::WebViewNavigationType type) override;
    void doLoadHTMLString(std::string html, std::string baseURL) override;
    void doStopLoading() override;
    void doReload() override;
    bool doCanGoBack() const override;
    bool doCanGoForward() const override;
    void doGoBack() override;
    void doGoForward() override;
    bool doIsLoading() const override;
    const platform::URLRequest* doRequest() const override { return m_request.get(); }
    std::string doEvaluateScript(std::string_view script) override;
    void doEvaluateScriptLater(std::string script, EvaluationCompletion completion) override;
    void doEvaluateScriptPromptly(std::string script, EvaluationCompletion completion) override;
    void doEvaluateScriptInEngineWorld(std::string script, EvaluationCompletion completion) override;
    void doEvaluateScriptForValue(std::string script, EvaluationCompletion completion) override;
    void settingsDidChange() override;
    void foreignPagesDidChange() override;

private:
    explicit WebKitGtkWebView(platform::Rect frame);

    bool shouldStartLoad(const NavigationRequest& request) override;
    void didStartLoad() override;
    void didCommitLoad(bool refused) override;
    void didFinishLoad() override;
    void didFailLoad(const platform::Error& error) override;
    void didRedirectLoad(const std::string& url) override;
    bool handleResourceRequest(const std::shared_ptr<RoutedRequest>&) override { return false; }
    void scriptDialogOpened(const std::shared_ptr<platform::ScriptDialog>& dialog) override { showScriptDialog(dialog); }
    std::uint64_t webViewIdentifier() const override { return identifier(); }

    std::shared_ptr<WebKitGtkWebView> protect();

    const WebsiteDataLocation m_dataLocation;
    std::unique_ptr<WebKitEngine> m_engine;
    // The top-level request allowed last, waiting for its start; then the current one.
    std::shared_ptr<platform::URLRequest> m_provisionalRequest;
    std::shared_ptr<platform::URLRequest> m_request;
    // The request of the document shown (none before one came, or after WebKit put an empty one in a
    // refused load's place), and whether the current request's load has ended or brought its document.
    std::shared_ptr<platform::URLRequest> m_committedRequest;
    bool m_requestSettled = true;
    bool m_loadOpen = false; // a top-level load started and has not ended
};

} // namespace webengine
