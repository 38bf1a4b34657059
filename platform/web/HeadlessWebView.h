// The headless web engine: a WebView whose page is a ScriptedPage. No HTML is parsed and no script is
// run; the page answers scripts as the test says, and its documents load (with nested frames, redirects,
// failures and cancellations) as the test says, through the platform's URL protocol registry.
//
// Guarantees, beyond WebView's:
// - Each step of a load (the navigation question, the start, each fetch result, the finish) is a
//   separate task on the main run loop, so a delegate may do anything in a callback (load again, stop,
//   evaluate scripts) and a test sees the same interleaving as with the real engine.
// - Loads are fetched with URLConnection, so they pass through the URL protocol registry first (then
//   http, https and file); "about:blank" and HTML strings need no fetch. Every request of the page (its
//   documents and its XHRs) carries the view's identifier. A scripted failure, redirect or
//   stall takes the place of the fetch. Any HTTP status loads as a document.
// - Built-in script answers: "document.readyState" ("loading" from the commit of a document until its
//   load finished, then "complete"; "" with no document), "location.href" (the committed URL, with
//   fragment changes), "window.__hybridLoadToken" and "window.__hybridLoadToken=N" (a value kept per
//   document), "navigator.userAgent" (read at the document's load start), "document.body==null".
// - Redirects are limited to 16 per load (then kURLErrorHTTPTooManyRedirects).
// - HTTP redirects within http and https are followed by the transport; one to another scheme is asked
//   like a scripted redirect, then handed over (see below) or, as the real engine does, failed with
//   kURLErrorUnsupportedURL: a server leads no load to a file or to the application's own protocols.
// - A top-level load or redirect the delegate allowed to a scheme nothing here loads goes to
//   Application::openURL (see WebView::handOverToApplication): a load keeps the current document, a
//   redirect ends its load as cancelled.
#pragma once

#include "platform/net/URLConnection.h"
#include "platform/net/URLResponse.h"
#include "platform/web/ScriptedPage.h"
#include "platform/web/WebView.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class HeadlessWebView : public WebView {
public:
    // The largest body a load of the page (a document, an XHR) is held to; a larger one fails the load.
    static constexpr std::size_t kMaxBodyBytes = 64u << 20;

    static std::shared_ptr<HeadlessWebView> create(Rect frame = {}, std::shared_ptr<ScriptedPage> page = nullptr);
    ~HeadlessWebView() override;

    // The stand-in keeps no web storage on disk unless told where an engine would (e.g. for the runtime's
    // web-storage backup).
    void setWebStorageLocation(std::optional<WebStorageLocation> location) { m_storageLocation = std::move(location); }
    std::optional<WebStorageLocation> webStorageLocation() const override { return m_storageLocation; }

    ScriptedPage& page() { return *m_page; }
    const std::shared_ptr<ScriptedPage>& pagePointer() const { return m_page; }

    // What the page's own script does (test drivers):
    // a navigation of the top-level document (a link, location.href=...); a URL that differs from the
    // current one only in its fragment is a fragment change.
    void pageNavigates(const std::string& url, WebViewNavigationType type = WebViewNavigationType::LinkClicked);
    // location.hash = fragment (without "#").
    void pageSetsFragment(const std::string& fragment);
    // An iframe the script adds to the current document.
    void pageLoadsFrame(const std::string& url);
    // An XHR of the page: through the registry like every load; the completion comes on the main run loop.
    struct XHRResult {
        std::optional<URLResponse> response;
        Bytes body;
        std::optional<Error> error;
    };
    void pageSendsRequest(URLRequest request, std::function<void(XHRResult)> completion);
    // A dialog the current document's script opens (alert, confirm, prompt, a leave question): shown as the
    // real engine's are (WebView.h); `reply` hears the answer, once.
    void pageOpensDialog(ScriptDialog::Kind kind, std::string_view message, std::string_view defaultText, ScriptDialog::Reply reply);

    // The current document.
    std::string location() const { return m_location; }
    std::string readyState() const;
    // The data of the committed top-level document (file bytes, or the HTML string).
    const Bytes& documentData() const { return m_documentData; }

    // Turns the main run loop until no step of this view is pending and no fetch is running (stalled
    // loads do not count) or the time-out passed. Returns whether it became idle.
    bool waitUntilIdle(double timeoutSeconds = 10);
    bool hasPendingWork() const { return m_pendingSteps > 0 || m_activeFetches > 0; }

    std::string defaultUserAgent() const override;

protected:
    void doLoadRequest(const URLRequest& request, WebViewNavigationType type) override;
    void doLoadHTMLString(std::string html, std::string baseURL) override;
    void doStopLoading() override;
    void doReload() override;
    bool doCanGoBack() const override;
    bool doCanGoForward() const override;
    void doGoBack() override;
    void doGoForward() override;
    bool doIsLoading() const override { return !m_loads.empty(); }
    const URLRequest* doRequest() const override { return m_request.get(); }
    std::string doEvaluateScript(std::string_view script) override;

private:
    struct Load;
    struct Fetched;
    HeadlessWebView(Rect frame, std::shared_ptr<ScriptedPage> page);

    // Posts a step to the main run loop; dropped when the view is gone.
    void post(std::function<void(HeadlessWebView&)> step);
    std::uint64_t openLoad(std::uint64_t parent, URLRequest request, bool isMain);
    Load* findLoad(std::uint64_t id);

    void navigate(URLRequest request, WebViewNavigationType type, std::optional<std::string> html, std::optional<std::size_t> historyIndex);
    void beginTopLevel(URLRequest request, WebViewNavigationType type, std::optional<std::string> html,
                       std::optional<std::size_t> historyIndex, std::uint64_t generation);
    void startFrame(std::uint64_t parent, const std::string& url);
    void fetch(std::uint64_t id);
    // Moves a load on to the target of a redirect (scripted, or a server's to another scheme: asked, then
    // handed over or failed).
    void redirect(std::uint64_t id, const std::string& target, bool fromServer = false);
    void fetched(std::uint64_t id, Fetched result);
    void bodyLoaded(std::uint64_t id, Bytes data);
    void maybeFinish(std::uint64_t id);
    void fail(std::uint64_t id, const Error& error);
    void cancelAll();
    void closeLoad(std::uint64_t id);
    // The request of a top-level load that has not committed its document, else none.
    std::shared_ptr<URLRequest> uncommittedTopLevelRequest(const Load& load) const;
    // Told that such a load ended: the committed document's request is the current one again.
    void forgetEndedRequest(const std::shared_ptr<URLRequest>& ended);
    void changeFragment(const std::string& url, WebViewNavigationType type);
    static std::shared_ptr<URLConnection> startConnection(const URLRequest& request, std::function<void(XHRResult)> done);

    std::shared_ptr<ScriptedPage> m_page;
    std::map<std::uint64_t, std::unique_ptr<Load>> m_loads;
    std::uint64_t m_nextLoadId = 1;
    std::uint64_t m_mainLoad = 0;
    std::uint64_t m_generation = 0;  // bumped by stop and by each top-level start: older steps drop
    int m_pendingSteps = 0;
    int m_activeFetches = 0;
    std::vector<std::shared_ptr<URLConnection>> m_requests;  // the page's own requests

    std::shared_ptr<URLRequest> m_request;
    std::shared_ptr<URLRequest> m_committedRequest;  // the shown document's; none before one came
    std::optional<WebStorageLocation> m_storageLocation;
    std::string m_location;
    bool m_hasDocument = false;
    bool m_documentComplete = false;
    std::optional<std::string> m_loadToken;
    std::string m_documentUserAgent;
    Bytes m_documentData;
    std::vector<std::string> m_history;
    std::size_t m_historyIndex = 0;
};

} // namespace platform
