// The main frame's load as the client hears it: its start, redirects, commit and one end, its time-out, and
// the ends WebKit does not report.
#include "webengine/WebKitEngine.h"

#include "platform/net/URLError.h"
#include "webengine/LoadError.h"
#include "webengine/LoopbackRoute.h"
#include "webengine/WebKitEngineInternal.h"

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

void WebKitEngine::onLoadChanged(WebKitWebView*, int event, WebKitEngine* self)
{
    const unsigned document = event == WEBKIT_LOAD_COMMITTED ? ++self->m_documents : self->m_documents;
    // A refusal is of the answer of the load under way (a new one's start leaves an earlier one's behind).
    if (event == WEBKIT_LOAD_STARTED)
        self->m_refusedAnswer.reset();
    // A deferred event runs in its turn: it must not queue itself again behind the events after it.
    if (self->isDeferring()) {
        self->defer([self, event, uri = self->url(), document] { self->loadChanged(event, uri, document); });
        return;
    }
    self->loadChanged(event, self->url(), document);
}

void WebKitEngine::loadChanged(int event, const std::string& uri, unsigned document)
{
    switch (static_cast<WebKitLoadEvent>(event)) {
    case WEBKIT_LOAD_STARTED:
        // A check armed for the load before this one has nothing left to end. Should WebKit have left that
        // load without an end, it ends here, as the new navigation cancelled it: each start has one end.
        ++m_loadsStarted;
        if (m_silentEndCheck) {
            g_source_remove(m_silentEndCheck);
            m_silentEndCheck = 0;
        }
        if (m_loadState == LoadState::Started) {
            m_loadState = LoadState::Idle;
            m_client.didFailLoad(platform::makeURLError(platform::kURLErrorCancelled, "The load was cancelled by a newer one.", m_loadingURL));
        }
        m_requestedDocument.reset();
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
    case WEBKIT_LOAD_REDIRECTED:
        m_loadingURL = uri;
        if (m_loadState == LoadState::Started)
            m_client.didRedirectLoad(uri);
        break;
    case WEBKIT_LOAD_COMMITTED:
        // WebKit refuses a restricted port or address (127.0.0.1:9, 0.0.0.0) without a failure: it commits
        // an empty document in its place.
        m_loadRefused = uri == "about:blank" && !m_loadingURL.starts_with("about:");
        m_loadCommitted = true;
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
    if (!g_error_matches(static_cast<GError*>(error), WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE))
        refused.reset();
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
