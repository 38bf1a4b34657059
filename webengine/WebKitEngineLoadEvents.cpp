// The main frame's load as the client hears it: its start, redirects, commit and one end, its time-out, and
// the ends WebKit does not report.
#include "webengine/WebKitEngine.h"

#include "platform/net/URLError.h"
#include "webengine/LoadError.h"
#include "webengine/LoopbackRoute.h"
#include "webengine/WebKitEngineInternal.h"
#include "webprocess/Messages.h"

#include <webkit2/webkit2.h>

#include <utility>

namespace webengine {

namespace {

// How long after WebKit stops loading a started load may still report its end before it is ended for it.
constexpr unsigned kSilentEndWaitMs = 250;

} // namespace

void WebKitEngine::onLoadTimeout(unsigned load)
{
    if (load != m_loadsStarted || m_loadState != LoadState::Started || m_loadCommitted)
        return;
    // WebKit reports the stopped load as failed; loadErrorOf gives it the time-out code.
    m_loadTimedOut = true;
    webkit_web_view_stop_loading(m_view);
}

void WebKitEngine::startLoadTimer()
{
    const auto timeout = std::exchange(m_loadTimeout, std::chrono::milliseconds(0));
    if (timeout.count() <= 0)
        return;
    m_loadTimer = timerForLoad(static_cast<unsigned>(timeout.count()), &WebKitEngine::m_loadTimer, &WebKitEngine::onLoadTimeout);
}

unsigned WebKitEngine::timerForLoad(unsigned ms, unsigned WebKitEngine::*source, void (WebKitEngine::*fire)(unsigned load))
{
    struct Armed {
        WebKitEngine* engine;
        unsigned WebKitEngine::*source;
        void (WebKitEngine::*fire)(unsigned);
        unsigned load;
    };
    return g_timeout_add_full(G_PRIORITY_DEFAULT, ms, [](gpointer data) -> gboolean {
        const Armed armed = *static_cast<Armed*>(data);
        armed.engine->*armed.source = 0;
        // In its turn among the load events held during a wait: one of them may be the load's end, or the next
        // load's start.
        if (armed.engine->isDeferring())
            armed.engine->defer([armed] { (armed.engine->*armed.fire)(armed.load); });
        else
            (armed.engine->*armed.fire)(armed.load);
        return G_SOURCE_REMOVE;
    }, new Armed{this, source, fire, m_loadsStarted}, [](gpointer data) { delete static_cast<Armed*>(data); });
}

void WebKitEngine::heardMainFrameAddress(WebKitUserMessage* message)
{
    // Kept as it comes, in order with the engine's load events that follow it (each of which takes the address
    // it finds, deferred or not).
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_STRING))
        m_mainFrameAddress = g_variant_get_string(parameters, nullptr);
}

void WebKitEngine::onURIChanged(WebKitWebView*, void*, WebKitEngine* self)
{
    // In its turn among the load events held during a wait: whether a load is under way is theirs to say.
    if (self->isDeferring()) {
        self->defer([self, uri = self->url()] { self->shownDocumentChanged(uri); });
        return;
    }
    self->shownDocumentChanged(self->url());
}

void WebKitEngine::shownDocumentChanged(const std::string& uri)
{
    // The view names the document it loads while it loads one (the one it was asked for as soon as it was
    // asked): only a change while none loads is the shown document's own (a fragment, a history entry of its).
    const bool loading = m_requestedDocument || m_loadState == LoadState::Allowed || (m_loadState == LoadState::Started && !m_loadCommitted);
    if (m_documentShown && !loading)
        m_shownDocument = uri;
}

void WebKitEngine::onLoadChanged(WebKitWebView*, int event, WebKitEngine* self)
{
    const unsigned document = event == WEBKIT_LOAD_COMMITTED ? ++self->m_documents : self->m_documents;
    // A refusal is of the answer of the load under way (a new one's start leaves an earlier one's behind).
    if (event == WEBKIT_LOAD_STARTED)
        self->m_refusedAnswer.reset();
    // At a start or a redirect the view may still name the page it shows: the address the main frame loads is
    // the one the web-process module told just before (it tells none when the address stays the same).
    std::string uri = self->url();
    if ((event == WEBKIT_LOAD_STARTED || event == WEBKIT_LOAD_REDIRECTED) && !self->m_mainFrameAddress.empty())
        uri = self->m_mainFrameAddress;
    // A deferred event runs in its turn: it must not queue itself again behind the events after it.
    if (self->isDeferring()) {
        self->defer([self, event, uri, document] { self->loadChanged(event, uri, document); });
        return;
    }
    self->loadChanged(event, uri, document);
}

void WebKitEngine::loadChanged(int event, const std::string& uri, unsigned document)
{
    switch (static_cast<WebKitLoadEvent>(event)) {
    case WEBKIT_LOAD_STARTED: {
        // A check armed for the load before this one has nothing left to end. Should WebKit have left that
        // load without an end, it ends here, as the new navigation cancelled it: each start has one end.
        ++m_loadsStarted;
        if (m_silentEndCheck) {
            g_source_remove(m_silentEndCheck);
            m_silentEndCheck = 0;
        }
        m_pageLoadRefused = false;
        m_refusedRedirect.reset();
        // A load the client allowed as the page's starts; any other (the page's own navigation, asked as a
        // frame's) is asked about as the page's now, before the client hears of it.
        const bool asked = m_pageLoadAllowed == uri;
        m_pageLoadAllowed.reset();
        std::weak_ptr<bool> alive = m_alive;
        const bool allowed = asked || askAsPageLoad(uri, false);
        if (!alive.lock())
            return;
        if (m_loadState == LoadState::Started) {
            m_loadState = LoadState::Idle;
            m_client.didFailLoad(platform::makeURLError(platform::kURLErrorCancelled, "The load was cancelled by a newer one.", m_loadingURL));
            if (!alive.lock())
                return;
        }
        m_requestedDocument.reset();
        m_reloadRequested = false;
        if (!allowed) {
            // Stopped: nothing of it reaches the client (its end comes to no started load).
            m_loadState = LoadState::Idle;
            cancelLoadTimer();
            break;
        }
        m_unnamedSignalLogged = false;
        m_refusedFragmentURLs.clear();
        m_loadState = LoadState::Started;
        m_loadingURL = uri;
        m_loadRefused = false;
        m_loadCommitted = false;
        m_loadTimedOut = false;
        cancelLoadTimer();
        startLoadTimer();
        m_client.didStartLoad();
        break;
    }
    case WEBKIT_LOAD_REDIRECTED:
        m_loadingURL = uri;
        // A redirect asked about as the page's (of the view's first load) goes on; any other's question came as
        // a frame's (WebKit does not say whose it is): it is the page's, asked as such now. Refused, the load
        // stops and fails for the client.
        if (m_loadState == LoadState::Started) {
            const bool asked = std::exchange(m_pageLoadAllowed, std::nullopt) == uri;
            if (asked || askAsPageLoad(uri, true))
                m_client.didRedirectLoad(uri);
        }
        break;
    case WEBKIT_LOAD_COMMITTED:
        // WebKit refuses a restricted port or address (127.0.0.1:9, 0.0.0.0) without a failure: it commits
        // an empty document in its place.
        m_loadRefused = uri == "about:blank" && !m_loadingURL.starts_with("about:");
        m_loadCommitted = true;
        m_documentShown = true;
        m_shownDocument = uri;
        // The time-out is the document's request's: once the document came, the page is not stopped for the
        // time its pictures or frames take (nor is a navigation it asks for meanwhile).
        cancelLoadTimer();
        // The documents before this one are gone, and with them whatever their dialogs waited for.
        cancelScriptDialogs(document - 1);
        if (m_loadState == LoadState::Started)
            m_client.didCommitLoad(m_loadRefused);
        break;
    case WEBKIT_LOAD_FINISHED:
        cancelLoadTimer();
        m_loadTimedOut = false;
        if (m_loadState == LoadState::Started) {
            m_loadState = LoadState::Idle;
            if (std::exchange(m_loadRefused, false))
                m_client.didFailLoad(refusedLoadError(m_loadingURL));
            else
                m_client.didFinishLoad();
        }
        break;
    }
}

void WebKitEngine::onIsLoadingChanged(WebKitWebView* view, void*, WebKitEngine* self)
{
    if (webkit_web_view_is_loading(view))
        return;
    // In its turn among the load events held during a wait: the load it may end is the one they leave started.
    if (self->isDeferring()) {
        self->defer([self] { self->watchForSilentEnd(); });
        return;
    }
    self->watchForSilentEnd();
}

void WebKitEngine::watchForSilentEnd()
{
    if (webkit_web_view_is_loading(m_view) || m_loadState != LoadState::Started || m_silentEndCheck)
        return;
    // A finish or a failure comes right after this (in the same turn, as a rule); give it time to come. The
    // check is of this load only: a later one (started while the check waits, or before its turn among the
    // held events) is not ended by it.
    m_silentEndCheck = timerForLoad(kSilentEndWaitMs, &WebKitEngine::m_silentEndCheck, &WebKitEngine::endSilentlyStoppedLoad);
}

void WebKitEngine::onWebProcessTerminated(WebKitWebView*, int, WebKitEngine* self)
{
    const unsigned document = self->m_documents;
    if (self->isDeferring()) {
        self->defer([self, document] { self->webProcessTerminated(document); });
        return;
    }
    self->webProcessTerminated(document);
}

void WebKitEngine::webProcessTerminated(unsigned document)
{
    // The next web process's pages count their web loads afresh, and so are their ends.
    ++m_webProcesses;
    m_webLoadsEnded = 0;
    // Its loads through the engine went with it, unanswered.
    LoopbackRoute::shared().loadLetGoUnanswered(std::exchange(m_webLoadsOpen, 0));
    if (m_loadsEndedReport) {
        g_source_remove(m_loadsEndedReport);
        m_loadsEndedReport = 0;
    }
    cancelScriptDialogs(document);
    // Nothing is shown until the next document comes, and no frame is left to ask anything.
    m_documentShown = false;
    m_shownDocument.clear();
    if (m_loadState != LoadState::Started)
        return;
    cancelLoadTimer();
    m_loadState = LoadState::Idle;
    m_loadCommitted = false;
    m_loadRefused = false;
    m_client.didFailLoad(terminatedLoadError(m_loadingURL));
}

void WebKitEngine::endSilentlyStoppedLoad(unsigned load)
{
    if (load != m_loadsStarted || m_loadState != LoadState::Started || webkit_web_view_is_loading(m_view))
        return;
    cancelLoadTimer();
    m_loadState = LoadState::Idle;
    // The document came (a frame of it was stopped): the page is there. Else nothing was shown.
    if (std::exchange(m_loadCommitted, false) && !std::exchange(m_loadRefused, false))
        m_client.didFinishLoad();
    else
        m_client.didFailLoad(stoppedLoadError(m_loadingURL));
}

int WebKitEngine::onLoadFailed(WebKitWebView*, int, const char* uri, void* error, WebKitEngine* self)
{
    // WebKit fails the load whose answer was refused as interrupted by a decision, as one the client refused.
    std::optional<std::string> refused = std::exchange(self->m_refusedAnswer, std::nullopt);
    std::optional<NavigationRequest> refusedRedirect = std::exchange(self->m_refusedRedirect, std::nullopt);
    if (!g_error_matches(static_cast<GError*>(error), WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE)) {
        refused.reset();
        refusedRedirect.reset();
    }
    // A load that ends for a redirect refused as a frame's was led there itself: the client hears the question
    // as the page's (its answer changes nothing now) before the failure, as a refused redirect of the page's
    // comes to it.
    if (refused)
        refusedRedirect.reset();
    if (refusedRedirect && self->m_loadState == LoadState::Started) {
        refusedRedirect->isSubFrame = false;
        refusedRedirect->mainDocumentURL = refusedRedirect->url;
        const auto ask = [self, asked = *refusedRedirect] {
            std::weak_ptr<bool> alive = self->m_alive;
            (void)self->m_client.shouldStartLoad(asked);
            return !alive.expired();
        };
        if (self->isDeferring()) {
            self->defer([ask] { (void)ask(); });
        } else if (!ask()) {
            return TRUE;
        }
    }
    if (self->isDeferring()) {
        std::shared_ptr<GError> copy(g_error_copy(static_cast<GError*>(error)), g_error_free);
        self->defer([self, copy, refused, uri = std::string(uri ? uri : "")] { self->loadFailed(uri.c_str(), copy.get(), refused); });
        return TRUE;
    }
    self->loadFailed(uri, error, refused);
    // Handled: the phone's web view shows no error page of its own.
    return TRUE;
}

void WebKitEngine::loadFailed(const char* uri, void* error, const std::optional<std::string>& refusedAnswer)
{
    cancelLoadTimer();
    const bool timedOut = m_loadTimedOut;
    m_loadTimedOut = false;
    // WebKit reports failures of the main frame only; one that no allowed navigation announced is not the
    // client's (a load already ended).
    if (m_loadState == LoadState::Idle)
        return;
    m_loadState = LoadState::Idle;
    m_pageLoadAllowed.reset();
    m_client.didFailLoad(refusedAnswer ? refusedAnswerError(uri ? uri : m_loadingURL, *refusedAnswer)
                                       : loadErrorOf(static_cast<GError*>(error), uri, timedOut));
}

void WebKitEngine::cancelLoadTimer()
{
    if (m_loadTimer) {
        g_source_remove(m_loadTimer);
        m_loadTimer = 0;
    }
}

} // namespace webengine
