// One web view of the real engine (WebKitGTK 4.1, GTK3). Its work is in files by concern: WebKitEngine.cpp
// (the view, its settings, loads asked for, evaluation and the events held during a wait),
// WebKitEngineNavigation.cpp (navigation and response questions, new windows, fragment signals),
// WebKitEngineLoadEvents.cpp (the main frame's load events, time-out and silent ends), WebKitEngineRoutes.cpp
// (routed loads and bridge requests), WebKitEngineDialogs.cpp and WebKitEngineSnapshot.cpp.
//
// Guarantees:
// - Main thread only (the GLib default main context); every client call comes from the engine's signal
//   handlers on that thread.
// - Every navigation is put to the client's shouldStartLoad (decide-policy), fragment changes included
//   (but the engine's own putting back of a refused one; a reload, never a fragment change, and the document
//   this view was asked to load are always put to it);
//   navigation questions (but fragment changes) and load events that come while an evaluation waits reach
//   the client after the wait, in order, so that nothing the client does runs inside it;
//   every sub-resource load the application answers comes to the client's handleResourceRequest (files
//   and schemes other than the web's, web loads the whitelist refuses or that the application's own
//   documents and workers make; the web-process module decides, see webprocess/LoadRouting.c; every other
//   load goes out through the engine's own network stack, at most 1,024 of a page at once), and what the
//   client leaves goes through platform's URL loading (the URL protocol registry, then http, https and
//   file), a bounded number at a time (LoadSlots: the rest wait in order, and a view with too many waiting
//   has the next one fail at once); a load the engine no longer waits for (its page or frame went, or it
//   cancelled it) is stopped or leaves the queue, and the view's loads go with the view,
//   except the bridge's requests ("/!hyb_exec"), which the engine answers itself (200, empty
//   "text/plain") and hands to the client's handleBridgeRequest (in a view of foreign pages, and for a
//   document of another origin than the page's, it fails them and hands over nothing);
//   a "%01"/"%02" fragment signal counts only on the page's own document, changed by a document of its
//   origin; any other is refused without a question (and the page's URL put back), but a reload or a step
//   in history, which is no signal, is asked about as any load.
// - A frame's loads are never the page's. WebKit does not say which frame asks a navigation question; the
//   web-process module says which address the main frame loads, in order, ahead of WebKit's own word of
//   that load (webprocess/Messages.h, HYB_MAIN_FRAME_MESSAGE). So a question is asked as the page's
//   (top-level) only when it surely is: the document this view was asked to load, any question while no
//   document is shown (nothing else is there to ask: the first load's redirects), and a change of the page's
//   fragment. Every other (a frame's, and the page's own navigations and redirects, which no question
//   tells apart) is asked as a frame's: isSubFrame, with the shown page's URL as main document. Should the
//   main frame then start loading it, or be led on to it by a redirect, the client is asked again, as the
//   page's load, before it hears the start (or the redirect); refused then (or handed over to another
//   application), the load stops and its document never comes (for a start, the client hears nothing of
//   it). So nothing a frame does (its navigations, redirects, refused answers, downloads) starts, ends or
//   fails the page's load for the client, and nothing waits for the page to say which frame asks.
// - A top-level navigation or redirect the client allowed, to a scheme nothing here loads, is handed to
//   Application::openURL (platform::WebView::handOverToApplication) and not loaded.
// - One didStartLoad, then one didFinishLoad or didFailLoad, per top-level page load. A failure carries
//   the engine's fault in the URL loading system's terms (LoadError.h); a load WebKit refuses outright (a
//   restricted port or address), for which it shows an empty document and reports no failure, fails with
//   WebKit's code 103.
// - Nothing is saved to disk: an answer that is an attachment, or of a type no web view shows, is refused
//   (a frame's stays empty; the page's load fails with WebKit's code 102, saying why), and a download
//   WebKit starts anyway (a link's "download", a blob: or data: URL) is cancelled before it makes a file; a
//   top-level navigation the client allowed that became one fails the same way (UserPrompts.h).
// - A PDF shows in WebKit's own viewer: a frame of the PDF's document on a scheme of its own
//   (HYB_PDF_VIEWER_SCHEME, webprocess/Messages.h) that the engine serves and loads without asking. Every
//   navigation question on the viewer's origin (its Save button leads its frame to a blob: URL of its own; a
//   page may lead a frame or itself there) is refused before the client is asked: nothing is saved, no load
//   is reported, and the refusal is written in the log once a view.
// - One window: a navigation to a new window (a link's target, window.open, a form's target) of an http or
//   https URL loads in this view as a GET of that URL alone, asked about as any navigation, one at a time;
//   any other URL (a "javascript:" one, which would run in this view's page whichever frame asked, data:,
//   blob:, file:, a local scheme) opens nothing. The page's other questions for the person are answered as
//   UserPrompts.h says.
// - evaluate() returns the script's string result synchronously (see ScriptEvaluator.h); it refuses to run
//   while a sub-resource request of this view is being handed to the client, because the page may be
//   blocked in a synchronous XHR waiting for exactly that answer, while the client decides a fragment
//   change (WebKit holds the page's script until that decision), and inside the wait of another
//   evaluation or snapshot of this view (no evaluation starts inside another one's wait).
// - evaluateLater() does not wait (see EvaluationQueue.h): scripts asked for within one turn of the main
//   loop go to the page in one evaluation; nothing is sent during a synchronous wait, and a synchronous
//   evaluation runs after every script asked for before it. evaluatePromptly() is the same, but what waits
//   (that script included) goes to the page at once, not at the end of the turn; it waits for the end of a
//   synchronous wait, and for the turn's end while the client decides a fragment change (what the refusal
//   sends goes first).
// - A script dialog of the page (alert, confirm, prompt, a leave question) goes to the client's
//   scriptDialogOpened from a later turn of the main loop (after a synchronous wait, like the load events),
//   never inside the engine's own signal, and is answered whenever the client answers it (at once
//   included), without blocking the main loop; the page's script waits for it meanwhile. While one waits,
//   evaluate() answers at once (a wait under way gives up when one comes: the page cannot answer), and a
//   snapshot is what the view last drew. A dialog of a document that went (another one committed, the web
//   process ended) or of an engine destroyed is answered as cancelled. The page's print() prints nothing
//   and returns at once.
// - The client is held by reference and must outlive the engine. Destroying the engine disconnects every
//   signal; routed requests still pending are answered as cancelled when their holders drop them.
#pragma once

#include "platform/core/Error.h"
#include "webengine/EngineClient.h"
#include "webengine/EvaluationQueue.h"
#include "webengine/ScriptEvaluator.h"
#include "webengine/WebContext.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _WebKitWebView WebKitWebView;
typedef struct _WebKitBackForwardListItem WebKitBackForwardListItem;
typedef struct _WebKitUserMessage WebKitUserMessage;
typedef struct _GtkWidget GtkWidget;
typedef struct _cairo_surface cairo_surface_t;

namespace webengine {

class RoutedLoad;

// The web view settings that WebKitGTK has a counterpart for: inline media playback, media playback on a
// user gesture only, and incremental rendering (WebKit's "SuppressesIncrementalRendering" feature: the page
// is shown once loaded, not piece by piece). The rest of the web view's settings have none and are kept by
// the web view only: fit-to-width scaling (WebKitGTK lays pages out at the view's width), paging (not
// offered by WebKitGTK), scroll bouncing and deceleration (GTK scrolls without rubber-banding), the
// keyboard rule (there is no on-screen keyboard).
struct EngineSettings {
    bool allowsInlineMediaPlayback = false;
    bool mediaPlaybackRequiresUserAction = true;
    bool suppressesIncrementalRendering = false;
};

class WebKitEngine {
public:
    WebKitEngine(EngineClient& client, const WebsiteDataLocation& location);
    ~WebKitEngine();
    WebKitEngine(const WebKitEngine&) = delete;
    WebKitEngine& operator=(const WebKitEngine&) = delete;

    // The engine of a WebKit view made by this class, or null.
    static WebKitEngine* fromView(WebKitWebView* view);

    WebKitWebView* view() const { return m_view; }
    GtkWidget* widget() const;

    // Loads a top-level URL (with extra headers for http and https). With a time-out, a load whose document
    // has not come that long after its start is stopped and fails with the URL loading system's time-out code
    // (-1001). `pagesChoice`: the URL is what a page asked for (an in-app browser's "_self"), not the
    // application's own document: it is loaded as in a view of foreign pages (see setForeignPages).
    void load(const std::string& url, std::chrono::milliseconds timeout = std::chrono::milliseconds(0),
              const HeaderList& headers = {}, bool pagesChoice = false);
    void loadHTML(const std::string& html, const std::string& baseURL);
    void stop();
    void reload();
    bool canGoBack() const;
    bool canGoForward() const;
    void goBack();
    void goForward();
    bool isLoading() const;
    // The URL of the document shown (with its fragment), or "" before the first load.
    std::string url() const;

    platform::Result<std::string> evaluate(const std::string& script,
                                           std::chrono::milliseconds timeout = std::chrono::seconds(10));
    void evaluateLater(std::string script, EvaluationQueue::Completion completion);
    void evaluatePromptly(std::string script, EvaluationQueue::Completion completion);
    // As evaluateLater, but the completion gets the script's value as JSON text written by the web-process
    // module, never by a function the page can replace: "[<value>]" (null for a value JSON cannot write),
    // or {"error": "<why>"} (it threw, its value cannot be written, or the text would pass 1 MiB).
    void evaluateForValue(std::string script, EvaluationQueue::Completion completion);
    // A script of the engine's own world (which the page's script cannot reach), without waiting: it goes to
    // the page with the next message, ahead of the page's scripts waiting in it (EvaluationQueue::addAhead).
    void evaluateInEngineWorld(std::string script, EvaluationQueue::Completion completion);

    // The engine's own user agent (what a fresh web view sends).
    static std::string defaultUserAgent();
    void setUserAgent(const std::string& userAgent);
    std::string userAgent() const;

    void applySettings(const EngineSettings& settings);
    const EngineSettings& settings() const { return m_settings; }

    // Foreign pages (platform::WebView::showsForeignPages): no load opens a folder to the pages (they read
    // files of the application's bundle and home only), a file the view is asked to load outside them is
    // not loaded (on a later turn the client is asked about it, then told it failed with
    // kURLErrorNoPermissionsToReadFile, with no start). (No view's pages have universal access: the engine
    // decides who reads what by each asker's own origin.) Its pages' web loads go through the engine's own
    // network stack, a file page's too. While the view shows no file document, its pages' routed requests
    // reach the web only (http, https): a file, a file system URL or another of the application's protocols
    // fails with kURLErrorNoPermissionsToReadFile.
    void setForeignPages(bool foreign);
    bool showsForeignPages() const { return m_foreignPages; }
    // The identifier of the web view this engine shows (EngineClient::webViewIdentifier), which its page's loads carry.
    std::uint64_t webViewIdentifier() const { return m_client.webViewIdentifier(); }

    // What the view shows (its visible part), as an image surface.
    using Surface = std::shared_ptr<cairo_surface_t>;
    platform::Result<Surface> snapshot(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // Writes what the view shows as a PNG file.
    platform::Result<void> writeSnapshot(const std::string& pngPath,
                                         std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // A sub-resource load of this view, from the route scheme handler.
    void routeResourceRequest(const std::shared_ptr<RoutedRequest>& request);
    // A bridge request of the page: handed to the client, and answered (200, empty "text/plain") from a
    // low-priority idle of the main loop, after the answers its commands send; past 16 waiting so, the oldest
    // is answered at once (what the engine keeps of a request not answered yet is some kilobytes: a page
    // sending thousands in one loop has no more than that held here). In a view of foreign pages, and from a
    // document of another origin than the page's (BridgeOrigin.h), it fails and is handed to nobody.
    void routeBridgeRequest(const std::shared_ptr<RoutedRequest>& request);
    // A download of this view's, of `url`, was cancelled (UserPrompts.h): a top-level navigation to it that the
    // client allowed and that WebKit made a download (a link's "download", a blob: or data: URL) never starts,
    // so it fails for the client with refusedAnswerError.
    void downloadRefused(const std::string& url);

private:
    // Runs a routed load in the slot `ticket` gave it; endRoutedLoad stops it (or takes it out of the queue)
    // and frees the slot.
    void startRoutedLoad(std::uint64_t ticket, const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL);
    void endRoutedLoad(std::uint64_t ticket);
    static int onDecidePolicy(WebKitWebView*, void* decision, int type, WebKitEngine* self);
    static void onLoadChanged(WebKitWebView*, int event, WebKitEngine* self);
    static int onLoadFailed(WebKitWebView*, int event, const char* uri, void* error, WebKitEngine* self);
    // `document`: the number of the document shown when the event came (a commit's is the new one's).
    void loadChanged(int event, const std::string& uri, unsigned document);
    static int onScriptDialog(WebKitWebView*, void* dialog, WebKitEngine* self);
    void openScriptDialog(void* dialog);
    // Whether a dialog of the page waits for its answer (the page's script is stopped in it).
    bool isDialogWaiting() const;
    // Answers as cancelled the dialogs of documents up to `document` (all of them with the default).
    void cancelScriptDialogs(unsigned document = ~0u);
    // What the view last drew (no message to the page), for a page stopped in a dialog.
    platform::Result<Surface> drawnSurface();
    // `refusedAnswer`: why the load's answer was refused, when that ended it (decideResponse).
    void loadFailed(const char* uri, void* error, const std::optional<std::string>& refusedAnswer);
    // WebKit stops some loads without a finish or a failure (a server's redirect to a file URL, a page whose
    // frame was led there): once it says it no longer loads, a started load it never ended is ended here.
    static void onIsLoadingChanged(WebKitWebView*, void* paramSpec, WebKitEngine* self);
    // The page's web process ended (it crashed, or WebKit ended it: a page led to a file URL from the web
    // is one way): a started load fails; the view is empty until the next load.
    static void onWebProcessTerminated(WebKitWebView*, int reason, WebKitEngine* self);
    void webProcessTerminated(unsigned document);
    // Arms the check of the started load numbered `load` (m_loadsStarted) once WebKit no longer loads; the
    // check ends it unless its end came meanwhile or a later load started.
    void watchForSilentEnd();
    void endSilentlyStoppedLoad(unsigned load);
    bool decideNavigation(void* decision);
    void answerNavigation(void* decision, const NavigationRequest& request);
    // An answer the view would have to save is refused: an attachment, or a type no view shows. A frame's
    // stays empty; the main frame's load fails with refusedAnswerError. The main frame's answer is judged
    // after the load events held during a wait (answerResponse in its turn).
    void decideResponse(void* decision);
    void answerResponse(void* decision);
    // downloadRefused's answer, in its turn: the allowed top-level load that became the download fails.
    void failDownloadedLoad(const std::string& url);
    // A view has one window: what a page would open in a new one (a link's target, window.open, a form's
    // target) loads in this view instead, as a GET of its URL, asked about as any navigation; one at a time.
    static void* onCreate(WebKitWebView*, void* navigationAction, WebKitEngine* self);
    void openHere(void* uriRequest);
    // Whether a new window's URL may open here: an http or https URL, whoever asks (WebKit does not say which
    // document does). This view's own load is held to none of the rules by which WebKit keeps a web page from
    // a file, a data: URL or a local scheme, and a "javascript:" URL would run in the page this view shows.
    static bool mayOpenHere(const std::string& target);
    // Whether a navigation question (not a change of fragment) is surely the main frame's: the document this
    // view was asked to load (load, loadHTML, reload, goBack, goForward, a new window's), until its load starts, or any while no document is shown (no frame is there to ask). Every other is asked as a
    // frame's (see the guarantees).
    bool isPageNavigation(const NavigationRequest& request) const;
    // The main frame started loading `url`, or was led on to it (`redirect`), and the client has not been
    // asked about it as the page's load: asks it so now. False when the client refused it, or it went to
    // another application; the load is then stopped, and its answer refused should it come.
    bool askAsPageLoad(const std::string& url, bool redirect);
    // The web-process module's word of the main frame's document address (HYB_MAIN_FRAME_MESSAGE).
    void heardMainFrameAddress(WebKitUserMessage* message);
    // The view's address changed: the shown document's, unless the main frame loads another (m_shownDocument).
    static void onURIChanged(WebKitWebView*, void* paramSpec, WebKitEngine* self);
    void shownDocumentChanged(const std::string& uri);
    // Notes the history item goBack() or goForward() goes to as the document asked for.
    void requestHistoryItem(WebKitBackForwardListItem* item);
    // Engine events that come during a synchronous wait (and those behind them) reach the client later,
    // in order, from a turn of their own.
    bool isDeferring() const;
    void defer(std::function<void()> event);
    void scheduleDeferred();
    void applyFileAccess();
    // Tells the page's web-process module, before the top-level document `documentURL` loads, how this view
    // routes its loads (webprocess/Messages.h): whether it shows foreign pages, and the whitelist's rules for
    // its web loads (platform::WebView::loadRulesFor its agent). Switches its shared and service workers on
    // for a web page no whitelist judges, off for anything else.
    void tellRouting(const std::string& documentURL);
    // The page's web loads through the engine: the module lets a page have only so many in flight, and
    // learns here of their ends (webprocess/Messages.h), counted over the life of its web process.
    static void onResourceLoadStarted(WebKitWebView*, void* resource, void* request, WebKitEngine* self);
    void webLoadEnded();

public:
    // Tells the page's module whether the engine's queue is slow (LoopbackRoute.h): its own loads then take the
    // scheme's road. Nothing for a view of foreign pages.
    void tellEngineCongested(bool congested);

private:
    // The module's words to this view: that it refused a web load past that bound, written in the log.
    static int onPageMessage(WebKitWebView*, void* message, WebKitEngine* self);
    void cancelLoadTimer();
    // Runs `delivered` once the routed answers' bytes this view handed the engine so far have reached the page's
    // web process: the engine sends them there as fast as it reads them, and what it has not sent yet it holds
    // in this process. A question the web-process module answers (HYB_DELIVERED_MESSAGE) tells; one left
    // unanswered for kDeliveryPatienceMs (the page waits in a synchronous load, or spins) makes bytes count as
    // delivered once handed over, until the page's process answers again.
    void afterDelivery(std::function<void()> delivered);
    void askDelivered();
    void deliveryAnswered(unsigned number);
    void deliveryOverdue(unsigned number);
    // Answers a bridge request once the main loop has nothing more urgent, holding a few at most.
    void holdBridgeAnswer(const std::shared_ptr<RoutedRequest>& request);
    void answerHeldBridgeRequests();
    // The time-out of the started load numbered `load` (m_loadsStarted).
    void onLoadTimeout(unsigned load);
    void startLoadTimer();
    // A timer for the load started last: once `ms` have passed, `source` (where its id is kept) is cleared and
    // `fire` gets that load's number, after the load events held by a wait, if any.
    unsigned timerForLoad(unsigned ms, unsigned WebKitEngine::*source, void (WebKitEngine::*fire)(unsigned load));
    // Runs `wait` as a synchronous wait of this view: nothing else is evaluated meanwhile.
    template <typename Wait> auto synchronously(Wait&& wait);
    // WebKit applies some refused fragment changes all the same: the URL changes, with a history entry and
    // a "hashchange" event. The URL is put back (without an event), so that the page's next change to that
    // fragment is a navigation again instead of no change at all.
    void undoRefusedFragmentChange(const std::string& url, const std::string& current);
    bool isUndoneFragmentChange(const std::string& url) const;

    EngineClient& m_client;
    // Its storage counts as in use from the first load on (reload and history need a load first).
    const WebsiteDataLocation m_location;
    WebKitWebView* m_view = nullptr;
    EngineSettings m_settings;
    bool m_foreignPages = false;
    std::uint64_t m_loopbackView = 0; // this view's number in the loopback route's marks
    bool m_workersEnabled = false;
    std::uint64_t m_webProcesses = 0;  // the web processes whose pages went (crashed or ended)
    std::uint64_t m_webLoadsEnded = 0; // of the web loads made through the engine in the current one
    std::uint64_t m_webLoadsOpen = 0;  // of those, sent and not ended, of any web process
    unsigned m_loadsEndedReport = 0;
    unsigned m_loadTimer = 0;
    std::chrono::milliseconds m_loadTimeout{0}; // for the load requested last, armed when it starts
    bool m_loadTimedOut = false;
    // The document load(), loadHTML(), reload(), goBack() or goForward() asked for, until the load starts or
    // stops, or the client refuses a navigation to it.
    std::optional<std::string> m_requestedDocument;
    // reload() asked for it: the reload's question is its (the page's URL may change meanwhile: a refused
    // fragment change WebKit applied, and its putting back).
    bool m_reloadRequested = false;
    // The main frame's load as the client sees it: allowed (asked, not started yet), then started; one
    // finish or failure ends it.
    enum class LoadState { Idle, Allowed, Started };
    LoadState m_loadState = LoadState::Idle;
    std::string m_allowedURL; // the last top-level navigation the client allowed
    // The top-level navigation the client allowed as the page's whose load has not started (or whose redirect
    // has not come) yet.
    std::optional<std::string> m_pageLoadAllowed;
    // The main frame's document address as the web-process module told it last: at a start or a redirect, the
    // address the main frame's load is for.
    std::string m_mainFrameAddress;
    // The address of the document the main frame shows (not one it loads meanwhile), which a frame's question
    // names as its main document.
    std::string m_shownDocument;
    // Navigations asked as a frame's and allowed, the newest last: should the main frame's load start at one,
    // it is asked again as the page's with what the first question named (method, headers, kind).
    std::deque<NavigationRequest> m_framesAllowed;
    // The client refused the main frame's load under way when asked late (askAsPageLoad): its answer is
    // refused too, so that its document never comes.
    bool m_pageLoadRefused = false;
    // A redirect the client refused as a frame's while the page's load was under way: should that load then fail
    // for the refusal, it was the page's, and the client is asked about it as such before it hears the failure.
    std::optional<NavigationRequest> m_refusedRedirect;
    std::string m_loadingURL; // the started load's URL, after its redirects
    // Why the main frame's answer was refused (a download), until the load's failure that follows is told.
    std::optional<std::string> m_refusedAnswer;
    bool m_loadRefused = false; // the engine put an empty document in the started load's place
    bool m_loadCommitted = false; // the started load's document came
    bool m_documentShown = false; // a document came since the view was made or its web process last ended
    // A fragment signal on the page's document without a referrer of its origin was refused and logged (once
    // for each document: a frame may send thousands).
    bool m_unnamedSignalLogged = false;
    unsigned m_silentEndCheck = 0; // the timer of the check armed for the load started last
    unsigned m_loadsStarted = 0;   // the main frame's loads started, as told to the client
    int m_routingDepth = 0;
    int m_fragmentDecisionDepth = 0; // > 0 while the client decides a fragment change
    std::deque<std::string> m_refusedFragmentURLs; // the last refused fragment changes' URLs
    std::string m_urlBeforeRefusals;                // the URL they would have left
    std::string m_undoTarget;                       // the fragment change that may put it back
    int m_undoing = 0;                              // > 0 while a refused change's undoing runs
    int m_waitDepth = 0;             // > 0 while an evaluation or a snapshot waits
    std::unique_ptr<EvaluationQueue> m_evaluations;
    // The page's dialogs waiting for their answer (the presenter keeps them), with the number of the
    // document that opened them: documents are counted as WebKit commits them.
    struct OpenDialog {
        std::weak_ptr<platform::ScriptDialog> dialog;
        unsigned document = 0;
    };
    std::vector<OpenDialog> m_dialogs;
    unsigned m_documents = 0;
    std::deque<std::function<void()>> m_deferred;
    unsigned m_deferredSource = 0;
    // Bridge requests handed over and not answered yet, oldest first (holdBridgeAnswer).
    std::deque<std::shared_ptr<RoutedRequest>> m_heldBridgeAnswers;
    unsigned m_bridgeAnswerSource = 0;
    // What waits for the page's process to have the bytes handed over (afterDelivery): for the next question,
    // and for each question asked and not answered, in the order asked.
    std::vector<std::function<void()>> m_undelivered;
    struct DeliveryQuestion {
        std::vector<std::function<void()>> waiting;
        unsigned timer = 0;
    };
    std::map<unsigned, DeliveryQuestion> m_deliveryQuestions;
    unsigned m_deliveryQuestionsAsked = 0;
    unsigned m_deliverySource = 0;
    bool m_pageSlowToAnswer = false;
    // Sub-resource loads on their way, by their slot (LoadSlots); cancelled when the engine goes.
    std::map<std::uint64_t, std::shared_ptr<RoutedLoad>> m_loads;
    // The owner, in LoadSlots, of the loads the application's own documents and workers ask for (its files and
    // schemes, which the engine lets no other origin load, and what an asker of its origin names): their slots
    // and waiting room are apart from the view's other loads, which a frame of another site in the page can
    // fill.
    const char m_applicationLoads = 0;
    // Declared last: callbacks holding a weak reference to it find the engine gone.
    std::shared_ptr<bool> m_alive = std::make_shared<bool>(true);
};

} // namespace webengine
