// The view's navigation and response questions, new windows, and the page's fragment signals.
#include "webengine/WebKitEngine.h"

#include "platform/core/Log.h"
#include "platform/formats/JSON.h"
#include "platform/web/WebView.h"
#include "webengine/BridgeOrigin.h"
#include "webengine/ContentDisposition.h"
#include "webengine/LoadError.h"
#include "webengine/ScriptEvaluator.h"
#include "webengine/SoupHeaders.h"
#include "webengine/WebKitEngineInternal.h"
#include "webprocess/Messages.h"

#include <webkit2/webkit2.h>

#include <algorithm>
#include <string_view>
#include <utility>

namespace webengine {

namespace {

using namespace detail;

constexpr const char* kNavigationMessage = "hyb.navigation";

// Marks a view whose refusal of a navigation on the PDF viewer's origin was written in the log.
constexpr const char* kViewerRefusalSaid = "hyb-viewer-refusal-said";
// Refused fragment changes remembered, to recognise one WebKit applied all the same.
constexpr std::size_t kRememberedRefusals = 16;
// Navigations asked as a frame's and allowed, remembered for the main frame's load that may start at one.
constexpr std::size_t kRememberedFrameAnswers = 32;

// Whether the URL is of the engine's PDF viewer's origin: its scheme's, or a blob: URL one of its documents made.
bool isPDFViewerURL(const std::string& url)
{
    const std::string_view text = url;
    const std::string_view viewer = HYB_PDF_VIEWER_SCHEME ":";
    const std::string_view rest = g_ascii_strncasecmp(url.c_str(), "blob:", 5) == 0 ? text.substr(5) : text;
    return rest.size() >= viewer.size() && g_ascii_strncasecmp(rest.data(), viewer.data(), viewer.size()) == 0;
}

NavigationType navigationTypeOf(WebKitNavigationType type)
{
    switch (type) {
    case WEBKIT_NAVIGATION_TYPE_LINK_CLICKED: return NavigationType::LinkClicked;
    case WEBKIT_NAVIGATION_TYPE_FORM_SUBMITTED: return NavigationType::FormSubmitted;
    case WEBKIT_NAVIGATION_TYPE_BACK_FORWARD: return NavigationType::BackForward;
    case WEBKIT_NAVIGATION_TYPE_RELOAD: return NavigationType::Reload;
    case WEBKIT_NAVIGATION_TYPE_FORM_RESUBMITTED: return NavigationType::FormResubmitted;
    case WEBKIT_NAVIGATION_TYPE_OTHER: return NavigationType::Other;
    }
    return NavigationType::Other;
}

} // namespace

int WebKitEngine::onDecidePolicy(WebKitWebView*, void* decision, int type, WebKitEngine* self)
{
    switch (static_cast<WebKitPolicyDecisionType>(type)) {
    case WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION:
        return self->decideNavigation(decision);
    case WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION:
        // No window is made: the navigation is asked about (and loads) in this view.
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        self->openHere(webkit_navigation_action_get_request(
            webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision))));
        return TRUE;
    case WEBKIT_POLICY_DECISION_TYPE_RESPONSE:
        self->decideResponse(decision);
        return TRUE;
    }
    return FALSE;
}

void* WebKitEngine::onCreate(WebKitWebView*, void* navigationAction, WebKitEngine* self)
{
    self->openHere(webkit_navigation_action_get_request(static_cast<WebKitNavigationAction*>(navigationAction)));
    return nullptr; // no new view
}

void WebKitEngine::openHere(void* uriRequest)
{
    const char* uri = webkit_uri_request_get_uri(WEBKIT_URI_REQUEST(uriRequest));
    if (!uri || !mayOpenHere(uri))
        return;
    // One at a time: while a load this view was asked for has not started, a page's further new windows (a
    // loop of window.open) open nowhere, rather than each ending the one before it.
    if (m_requestedDocument)
        return;
    // The main frame's navigation (no frame of the page is asked about), judged by the client and by the file
    // rule as any of the page's; no document of the application's. A GET of the URL alone: a form sent to a
    // new window does not send its body (nor its method) again where the person did not ask for it.
    m_requestedDocument = uri;
    m_reloadRequested = false;
    WebKitURIRequest* request = webkit_uri_request_new(uri);
    webkit_web_view_load_request(m_view, request);
    g_object_unref(request);
}

bool WebKitEngine::mayOpenHere(const std::string& target)
{
    // WebKit does not say which of the page's documents asks for a new window (a frame of another site may),
    // so only what any document may lead the page to, a web page, opens here. Never a "javascript:" URL,
    // which would run in the document this view shows rather than in a window of the asker's; nor a data:,
    // blob:, about: or file: URL, or the application's, the route's or any other scheme.
    char* scheme = g_uri_parse_scheme(target.c_str());
    const bool web = scheme && (g_ascii_strcasecmp(scheme, "http") == 0 || g_ascii_strcasecmp(scheme, "https") == 0);
    g_free(scheme);
    return web;
}

void WebKitEngine::decideResponse(void* decisionPointer)
{
    // The start of the main frame's load may be held during a wait, and with it the question that asks the
    // page's own navigation as the page's, and what tells the web process how the new document routes its
    // loads and whether it has workers (tellRouting). Its document must not come before them: used now, the
    // answer would make a document that runs under the rules of the one before it, or one the client then
    // refuses. So the main frame's answer waits for its turn behind the held events.
    if (isDeferring() && webkit_response_policy_decision_is_main_frame_main_resource(WEBKIT_RESPONSE_POLICY_DECISION(decisionPointer))) {
        std::shared_ptr<WebKitPolicyDecision> held(WEBKIT_POLICY_DECISION(g_object_ref(decisionPointer)),
                                                   [](WebKitPolicyDecision* d) { g_object_unref(d); });
        defer([this, held] { answerResponse(held.get()); });
        return;
    }
    answerResponse(decisionPointer);
}

void WebKitEngine::answerResponse(void* decisionPointer)
{
    auto* decision = WEBKIT_RESPONSE_POLICY_DECISION(decisionPointer);
    WebKitURIResponse* response = webkit_response_policy_decision_get_response(decision);
    std::optional<std::string> refusal;
    SoupMessageHeaders* headers = webkit_uri_response_get_http_headers(response);
    const char* disposition = headers ? soup_message_headers_get_one(headers, "Content-Disposition") : nullptr;
    if (disposition && isAttachmentDisposition(disposition))
        refusal = "the answer is an attachment";
    if (!refusal && !webkit_response_policy_decision_is_mime_type_supported(decision)) {
        const char* type = webkit_uri_response_get_mime_type(response);
        refusal = "the answer's type (" + std::string(type ? type : "none") + ") is not one a web view shows";
    }
    // The page's load the client refused when asked late: its document never comes.
    if (!refusal && m_pageLoadRefused && webkit_response_policy_decision_is_main_frame_main_resource(decision)) {
        webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
        return;
    }
    if (!refusal) {
        webkit_policy_decision_use(WEBKIT_POLICY_DECISION(decision));
        return;
    }
    webkit_policy_decision_ignore(WEBKIT_POLICY_DECISION(decision));
    if (webkit_response_policy_decision_is_main_frame_main_resource(decision))
        m_refusedAnswer = std::move(refusal);
}

void WebKitEngine::downloadRefused(const std::string& url)
{
    // Answered once, in its turn among the events held: never deferred again from the queue.
    if (isDeferring()) {
        defer([this, url] { failDownloadedLoad(url); });
        return;
    }
    failDownloadedLoad(url);
}

void WebKitEngine::failDownloadedLoad(const std::string& url)
{
    // Only the page's own load: a download asked for as a frame's navigation (a frame's link, or the page's own
    // link, which no question tells apart) ends no load of the page's.
    if (m_loadState != LoadState::Allowed || m_pageLoadAllowed != url)
        return;
    m_loadState = LoadState::Idle;
    m_pageLoadAllowed.reset();
    m_requestedDocument.reset();
    m_reloadRequested = false;
    m_client.didFailLoad(refusedAnswerError(url, "the answer is a download"));
}

bool WebKitEngine::decideNavigation(void* decisionPointer)
{
    auto* decision = WEBKIT_POLICY_DECISION(decisionPointer);
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    WebKitURIRequest* uriRequest = webkit_navigation_action_get_request(action);
    NavigationRequest request;
    request.url = webkit_uri_request_get_uri(uriRequest);
    // The engine's PDF viewer loads its frame without asking. A question on its origin is its Save button's,
    // leading its frame to a blob: URL of its own to download the PDF, or a page's leading a frame or itself
    // to the viewer: no load of the view's, nor another application's URL. Refused before anything else:
    // nothing is saved, no client is asked, no load is reported.
    if (isPDFViewerURL(request.url)) {
        webkit_policy_decision_ignore(decision);
        // Said once a view: a PDF's script may ask for its Save again and again.
        if (!g_object_get_data(G_OBJECT(m_view), kViewerRefusalSaid)) {
            g_object_set_data(G_OBJECT(m_view), kViewerRefusalSaid, GINT_TO_POINTER(1));
            platform::Log::write("Web view: refused a navigation of the PDF viewer's (its Save button: this view saves nothing)"
                                 " or to it (the viewer shows PDF documents only)");
        }
        return true;
    }
    const char* method = webkit_uri_request_get_http_method(uriRequest);
    request.method = method ? method : "GET";
    request.headers = headerListOf(webkit_uri_request_get_http_headers(uriRequest));
    request.type = navigationTypeOf(webkit_navigation_action_get_navigation_type(action));
    request.isRedirect = webkit_navigation_action_is_redirect(action);
    const std::string current = url();
    // A reload loads the document again, whatever fragment the page shows meanwhile.
    const bool reload = request.type == NavigationType::Reload;
    request.isFragmentChange = !reload && !current.empty() && request.url.find('#') != std::string::npos
        && withoutFragment(request.url) == withoutFragment(current)
        && (request.url != current || isUndoneFragmentChange(current));
    request.mainDocumentURL = request.isFragmentChange ? current : request.url;

    // The engine's own putting back of a refused fragment change WebKit applied: nothing the client asked for.
    // Never the document this view was asked to load, which the client is asked about like any other.
    if (!reload && m_undoing > 0 && request.url == m_undoTarget && m_requestedDocument != request.url) {
        webkit_policy_decision_use(decision);
        return true;
    }

    // A question that comes during a synchronous wait is put to the client after it (the page does not
    // wait for it), so that nothing the client does then runs inside the wait. A fragment change cannot
    // wait: the page's script, and with it the evaluation being waited for, waits for its answer.
    if (!request.isFragmentChange && isDeferring()) {
        std::shared_ptr<WebKitPolicyDecision> held(WEBKIT_POLICY_DECISION(g_object_ref(decision)),
                                                   [](WebKitPolicyDecision* d) { g_object_unref(d); });
        defer([this, held, request = std::move(request)] { answerNavigation(held.get(), request); });
        return true;
    }
    answerNavigation(decision, request);
    return true;
}

bool WebKitEngine::isPageNavigation(const NavigationRequest& request) const
{
    // No document shown yet (or since the page's web process ended): no frame is there to ask, so the question
    // is the main frame's load's (a redirect of the first load included). The document this view was asked to
    // load is its own until its load starts, whoever else asks for the same address meanwhile (a frame asking
    // first does not leave the view's own load to be asked as a frame's).
    return !m_documentShown || url().empty() || m_requestedDocument == request.url
        || (m_reloadRequested && m_requestedDocument && request.type == NavigationType::Reload);
}

void WebKitEngine::answerNavigation(void* decisionPointer, const NavigationRequest& askedRequest)
{
    auto* decision = WEBKIT_POLICY_DECISION(decisionPointer);
    // A document the page could read through its frames (or show, then read) only from the application's
    // own folders; the application's own loads go as it asked.
    const char* applicationDocument = applicationDocumentOf(m_view);
    const bool applicationLoad = applicationDocument && withoutFragment(askedRequest.url) == applicationDocument;
    // A document refused here is no longer waited for (a new window's among them, which would hold the next).
    const auto refuse = [&] {
        webkit_policy_decision_ignore(decision);
        if (m_requestedDocument == askedRequest.url) {
            m_requestedDocument.reset();
            m_reloadRequested = false;
        }
    };
    if (!applicationLoad && !mayReadFileURL(m_view, askedRequest.url)) {
        refuse();
        return;
    }
    // A "%01"/"%02" fragment is the page's bridge signal only on the page's own document, changed by a document
    // of its origin: the same fragment on another document (a frame of another origin changing its own), or put
    // on the page's by a frame of another origin, carries no call of the page's, and is refused without being
    // asked about. WebKit applies such a refused change all the same: the page's URL is put back, as after a
    // change the client refuses, so that nothing of the other document's stays in the page's URL or history.
    // (A reload or a step in history is no signal, whatever fragment its URL shows: the client is asked about
    // it as about any load.)
    const bool reloadOrStep = askedRequest.type == NavigationType::Reload || askedRequest.type == NavigationType::BackForward;
    if (hasSignalFragment(askedRequest.url) && !reloadOrStep
        && (withoutFragment(askedRequest.url) != withoutFragment(url())
            || !isPageOriginsNavigation(askedRequest.headers, url()))) {
        refuse();
        if (askedRequest.isFragmentChange) {
            // Said once: it may be the page's own signal, when its referrer policy sends no referrer at all.
            if (!std::exchange(m_unnamedSignalLogged, true))
                platform::Log::write("Web view: refused a fragment signal on the page that names no referrer of its origin (a frame of "
                                     "another site's, or the page's own under a referrer policy of \"no-referrer\": such a page "
                                     "signals by request or frame)");
            undoRefusedFragmentChange(askedRequest.url, askedRequest.mainDocumentURL);
        }
        return;
    }
    NavigationRequest request = askedRequest;
    // What is not surely the page's is asked as a frame's: WebKit does not say which frame asks, and a frame's
    // question taken for the page's would start (or fail) the page's load for the client. The main frame's
    // load that then starts at it is asked about again, as the page's (askAsPageLoad).
    if (!request.isFragmentChange && !isPageNavigation(request)) {
        request.isSubFrame = true;
        // The page shown: while the main frame loads another, the view already names that one. A question for the
        // very address shown names none: with its own address as main document it would read as the page's load
        // (a frame, or the page led back to where it is, may ask it).
        request.mainDocumentURL = m_shownDocument.empty() ? url() : m_shownDocument;
        if (request.mainDocumentURL == request.url)
            request.mainDocumentURL.clear();
    }
    // Keep the view alive and find out whether the client destroyed the engine during the question.
    g_object_ref(m_view);
    WebKitWebView* view = m_view;
    // WebKit asks about a fragment change while the page's script waits for the answer, so no script can
    // run in the page until it is given.
    m_fragmentDecisionDepth += request.isFragmentChange ? 1 : 0;
    const bool allowed = m_client.shouldStartLoad(request);
    const bool engineAlive = fromView(view) == this;
    if (engineAlive)
        m_fragmentDecisionDepth -= request.isFragmentChange ? 1 : 0;
    // A requested document that is not loaded after all is no longer waited for (unless asked for again).
    const auto forgetRequested = [&] {
        if (!request.isFragmentChange && !request.isSubFrame
            && (m_requestedDocument == request.url || (m_reloadRequested && request.type == NavigationType::Reload))) {
            m_requestedDocument.reset();
            m_reloadRequested = false;
        }
    };
    if (!engineAlive) {
        webkit_policy_decision_ignore(decision);
    } else if (!allowed) {
        // Answered here and now: WebKit applies a fragment change whose refusal comes later.
        webkit_policy_decision_ignore(decision);
        forgetRequested();
        if (request.isRedirect && request.isSubFrame && m_loadState == LoadState::Started && !m_loadCommitted)
            m_refusedRedirect = request;
        if (request.isFragmentChange)
            undoRefusedFragmentChange(request.url, request.mainDocumentURL);
    } else if (!request.isFragmentChange && !request.isSubFrame
               && platform::WebView::handOverToApplication(platform::URLRequest(request.url))) {
        // Another application's URL (a sign-in page's return, say): this view loads nothing.
        webkit_policy_decision_ignore(decision);
        forgetRequested();
    } else {
        if (!request.isFragmentChange) {
            if (m_loadState == LoadState::Idle && !request.isSubFrame)
                m_loadState = LoadState::Allowed;
            if (!request.isSubFrame) {
                m_allowedURL = request.url;
                m_pageLoadAllowed = request.url;
                tellRouting(request.url);
            } else {
                m_framesAllowed.push_back(request);
                if (m_framesAllowed.size() > kRememberedFrameAnswers)
                    m_framesAllowed.pop_front();
            }
            // Tell the web process this document load is a navigation, not a sub-resource to route.
            webkit_web_view_send_message_to_page(
                m_view, webkit_user_message_new(kNavigationMessage, g_variant_new_string(request.url.c_str())),
                nullptr, nullptr, nullptr);
        }
        webkit_policy_decision_use(decision);
    }
    g_object_unref(view);
}

bool WebKitEngine::askAsPageLoad(const std::string& url, bool redirect)
{
    // What the question as a frame's named (method, headers, kind), when it was one; else the address alone.
    NavigationRequest request;
    const auto asked = std::find_if(m_framesAllowed.rbegin(), m_framesAllowed.rend(),
                                    [&](const NavigationRequest& allowed) { return allowed.url == url; });
    if (asked != m_framesAllowed.rend()) {
        request = *asked;
        m_framesAllowed.erase(std::next(asked).base());
    } else {
        request.url = url;
        request.method = "GET";
    }
    request.isSubFrame = false;
    request.isFragmentChange = false;
    request.isRedirect = redirect;
    request.mainDocumentURL = url;
    const char* applicationDocument = applicationDocumentOf(m_view);
    bool allowed = (applicationDocument && withoutFragment(url) == applicationDocument) || mayReadFileURL(m_view, url);
    g_object_ref(m_view);
    WebKitWebView* view = m_view;
    if (allowed)
        allowed = m_client.shouldStartLoad(request);
    const bool engineAlive = fromView(view) == this;
    // Another application's URL (a sign-in page's return, say): handed over, and not loaded here.
    if (engineAlive && allowed && platform::WebView::handOverToApplication(platform::URLRequest(url)))
        allowed = false;
    if (engineAlive && allowed) {
        m_allowedURL = url;
        tellRouting(url);
    } else if (engineAlive) {
        m_pageLoadRefused = true;
        webkit_web_view_stop_loading(m_view);
    }
    g_object_unref(view);
    return engineAlive && allowed;
}

bool WebKitEngine::isUndoneFragmentChange(const std::string& url) const
{
    // This view may not have heard yet that the page's URL was put back: the page changes the fragment to
    // the URL this view still shows.
    return std::find(m_refusedFragmentURLs.begin(), m_refusedFragmentURLs.end(), url) != m_refusedFragmentURLs.end();
}

void WebKitEngine::undoRefusedFragmentChange(const std::string& url, const std::string& current)
{
    // The URL to come back to: the page's own, not a refused change WebKit applied whose undoing this view
    // has not heard of yet.
    if (!isUndoneFragmentChange(current))
        m_urlBeforeRefusals = current;
    m_refusedFragmentURLs.push_back(url);
    if (m_refusedFragmentURLs.size() > kRememberedRefusals)
        m_refusedFragmentURLs.pop_front();
    if (withoutFragment(m_urlBeforeRefusals) != withoutFragment(url))
        return;
    // Sent now, ahead of anything the refusal leads to (the answers to the calls it signalled): the web
    // process runs it once the page's script that made the change has returned, before the page can
    // signal again, while this process prepares the answers. Nothing waits for its result: no answer
    // comes back for it. Only while the page still shows that URL: a change WebKit did not apply, or a
    // later change of the page's own, stays. The history takes a hundred replacements in ten seconds;
    // past that, the URL is put back by a fragment change of the engine's own, which replaces the entry
    // too but which the page hears as a "hashchange". In a world of its own, so that the page's own
    // replacement of history's functions is not called.
    std::string target = m_urlBeforeRefusals;
    if (target.find('#') == std::string::npos)
        target += '#'; // a fragment change, not a reload
    const std::string script =
        "(function (applied, before, target) { if (location.href !== applied) return;"
        " try { history.replaceState(history.state, '', before); } catch (e) { location.replace(target); } })("
        + platform::JSON::writeCompact(platform::Value(url)).valueOr("''") + ", "
        + platform::JSON::writeCompact(platform::Value(m_urlBeforeRefusals)).valueOr("''") + ", "
        + platform::JSON::writeCompact(platform::Value(target)).valueOr("''") + ")";
    m_undoTarget = target;
    ++m_undoing;
    ScriptEvaluator::post(m_view, {script}, {});
    // The engine's own fragment change may come until it has run: until the page has answered a message
    // sent after it. An empty script goes with the page's next evaluation for that (no trip of its own
    // when answers follow).
    m_evaluations->addAhead("", [this](std::string) { --m_undoing; });
}

} // namespace webengine
