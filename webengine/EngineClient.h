// What the WebKit engine tells the object that owns it: navigation questions, the page's load events, the
// page's sub-resource loads and its script dialogs. The owner (the web view of platform/, or a test) outlives the engine.
//
// Every call comes on the main thread (the GLib default main context), from inside the engine's signal
// handlers: the owner must not destroy the engine from inside a call.
#pragma once

#include "platform/core/Error.h"
#include "platform/web/ScriptDialog.h"
#include "webengine/RoutedRequest.h"

#include <cstdint>
#include <memory>
#include <string>

namespace webengine {

// The kinds of navigation, numbered as the web view's delegate knows them.
enum class NavigationType { LinkClicked = 0, FormSubmitted = 1, BackForward = 2, Reload = 3, FormResubmitted = 4, Other = 5 };

struct NavigationRequest {
    std::string url;
    std::string method;
    HeaderList headers;
    NavigationType type = NavigationType::Other;
    // The URL of the document of the main frame after this navigation: the request's own for a top-level
    // navigation, the shown page's for a change of fragment and for a navigation asked as a frame's (see
    // WebKitEngine.h), none for one asked as a frame's of the very address shown.
    std::string mainDocumentURL;
    // True for a navigation asked as a frame's: one not surely the main frame's (top-level otherwise). The main
    // frame's own is asked again, top-level, as its load starts.
    bool isSubFrame = false;
    // True when only the fragment changes (same document).
    bool isFragmentChange = false;
    // True when a server's redirect leads a started load on to this URL (no new load starts).
    bool isRedirect = false;
};

class EngineClient {
public:
    virtual ~EngineClient() = default;

    // Every navigation (top-level, frame, fragment change, "hyb:" and other schemes): true lets it load.
    virtual bool shouldStartLoad(const NavigationRequest& request) = 0;
    // One start, then one finish or one failure, per top-level page load.
    virtual void didStartLoad() = 0;
    // The started load's document came in place of the page shown (between its start and its end); for a
    // load WebKit refused without a failure (`refused`), an empty document came instead of it.
    virtual void didCommitLoad(bool /*refused*/) {}
    virtual void didFinishLoad() = 0;
    virtual void didFailLoad(const platform::Error& error) = 0;
    // The started top-level load was led on to `url` (a server's redirect, after the client allowed it).
    virtual void didRedirectLoad(const std::string& /*url*/) {}
    // A sub-resource load of the page that the application answers (see WebKitEngine.h). Return true when the request is (or will be) answered by the client;
    // false lets the engine load it through platform's URL loading: the URL protocol registry, then the
    // built-in loaders (http, https, file).
    virtual bool handleResourceRequest(const std::shared_ptr<RoutedRequest>& request) = 0;
    // A bridge request of the page (path "/!hyb_exec"): the engine answers it itself (200, empty
    // "text/plain", after the answers of its commands) and hands over its URL and headers ("User-Agent"
    // included). By default it goes to the URL protocol registry as a sub-resource load would, carrying
    // webViewIdentifier(), where the bridge's protocol takes its commands or its poke; nothing is loaded.
    virtual void handleBridgeRequest(const std::string& url, const HeaderList& headers, const std::string& mainDocumentURL);
    // A dialog the page's script opened (alert, confirm, prompt, the question whether to leave the page);
    // the page's script waits for its answer. By default it is dropped, which answers it as cancelled.
    virtual void scriptDialogOpened(const std::shared_ptr<platform::ScriptDialog>& /*dialog*/) {}
    // The identifier of the platform web view the engine shows (platform::WebView::identifier()), which
    // every request of its pages carries into platform's URL loading; 0 when it is none.
    virtual std::uint64_t webViewIdentifier() const { return 0; }
};

} // namespace webengine
