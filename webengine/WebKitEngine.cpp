#include "webengine/WebKitEngine.h"

#include "platform/files/AppFolders.h"
#include "platform/formats/JSON.h"
#include "platform/core/Log.h"
#include "platform/text/URL.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/WebView.h"
#include "webengine/BridgeOrigin.h"
#include "webengine/ContentDisposition.h"
#include "webengine/LoadError.h"
#include "webengine/LoadSlots.h"
#include "webengine/NestedLoop.h"
#include "webengine/RouteURL.h"
#include "webengine/RoutedLoad.h"
#include "webengine/ScriptEvaluator.h"
#include "webengine/SoupHeaders.h"
#include "webengine/UserPrompts.h"
#include "webprocess/Messages.h"

#include <cairo.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>

namespace webengine {

namespace {

constexpr const char* kEngineKey = "hyb-webkit-engine";
constexpr const char* kNavigationMessage = "hyb.navigation";

constexpr std::chrono::milliseconds kFrameQuestionTimeout{1000};
// Refused fragment changes remembered, to recognise one WebKit applied all the same.
constexpr std::size_t kRememberedRefusals = 16;
// Bridge requests held unanswered until the main loop comes to rest (see holdBridgeAnswer).
constexpr std::size_t kMaxHeldBridgeAnswers = 16;
// How long the page's process may leave a question of delivery unanswered before the routed answers' bytes are
// counted as delivered once handed to the engine (see afterDelivery).
constexpr unsigned kDeliveryPatienceMs = 1000;
// How long after WebKit stops loading a started load may still report its end before it is ended for it.
constexpr unsigned kSilentEndWaitMs = 250;
// Whether a frame of the page (at any depth the page may reach) was added with that URL and still shows the
// empty document every new frame starts with: the navigation is that frame's first load. A frame
// added without a source, or whose source changed before the question, first loads "about:blank".
constexpr const char* kPendingFrameScript =
    "(function (url) {"
    "  function search(win) {"
    "    var frames;"
    "    try { frames = win.document.querySelectorAll('iframe, frame'); } catch (e) { return false; }"
    "    for (var i = 0; i < frames.length; i++) {"
    "      var frame = frames[i], shown = null;"
    "      try { shown = frame.contentDocument ? frame.contentDocument.URL : null; } catch (e) {}"
    "      if ((frame.src === url || url === 'about:blank') && (shown === null || shown === 'about:blank')) return true;"
    "      try { if (frame.contentWindow && search(frame.contentWindow)) return true; } catch (e) {}"
    "    }"
    "    return false;"
    "  }"
    "  return search(window);"
    "})";

// A script asked for as it is, never read as one marked for its value (no script begins with the mark).
std::string unmarked(std::string script)
{
    if (script.starts_with(HYB_VALUE_MARK))
        script.insert(0, " ");
    return script;
}

std::string withoutFragment(const std::string& url)
{
    const auto hash = url.find('#');
    return hash == std::string::npos ? url : url.substr(0, hash);
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

// What a page may read from files: the application's bundle, its home (Documents, Library, tmp) and the
// folder of the document the application itself loaded last (kept on the view). The page's own
// requests and frames reach no other file, wherever their links lead, as the phone's sandbox bounded
// them; the engine's file-access settings stay open for everything inside.
constexpr const char* kDocumentFolderKey = "hyb-document-folder";
// The document the application itself asked for (without fragment): its navigation is the
// application's, not the page's.
constexpr const char* kApplicationDocumentKey = "hyb-application-document";

// Whether `url` is no file, or one the page of `view` may read.
bool mayReadFileURL(WebKitWebView* view, const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed || !parsed->isFileURL())
        return true;
    if (platform::AppFolders::current().holds(parsed->path()))
        return true;
    const std::string path = platform::AppFolders::resolvedPath(parsed->path());
    if (path.find("/../") != std::string::npos || path.ends_with("/.."))
        return false;
    const auto* document = static_cast<const char*>(g_object_get_data(G_OBJECT(view), kDocumentFolderKey));
    return document && platform::AppFolders::isInside(path, platform::AppFolders::resolvedPath(document));
}

// Whether `url` is a file URL.
bool isFileURL(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    return parsed && parsed->isFileURL();
}

// Whether `url` is an http or https URL.
bool isWebURL(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed)
        return false;
    const std::string scheme = parsed->scheme();
    return g_ascii_strcasecmp(scheme.c_str(), "http") == 0 || g_ascii_strcasecmp(scheme.c_str(), "https") == 0;
}

// What a load shares its slots with (LoadSlots): the other loads of its scheme, host and port.
std::string loadGroupOf(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed)
        return {};
    std::string group = parsed->scheme() + "://" + parsed->host().value_or("");
    for (char& c : group)
        c = g_ascii_tolower(c);
    if (parsed->port())
        group += ":" + std::to_string(*parsed->port());
    return group;
}

// Whether a routed load is asked for by the application's own documents or workers: a file URL or one of the
// application's schemes (the engine refuses them to any other origin), or an asker of the application's
// file pages' origin or of its file scripts' workers (a header the engine writes).
bool isApplicationsLoad(const std::string& url, const HeaderList& headers)
{
    const std::string scheme = url.substr(0, url.find(':'));
    if (g_ascii_strcasecmp(scheme.c_str(), "file") == 0 || WebContext::isApplicationScheme(scheme))
        return true;
    bool asked = false;
    for (const auto& [name, value] : headers) {
        if (g_ascii_strcasecmp(name.c_str(), "Origin") != 0)
            continue;
        if (g_ascii_strcasecmp(value.c_str(), "file://") != 0 && g_ascii_strcasecmp(value.c_str(), kLocalRouteOrigin) != 0)
            return false;
        asked = true;
    }
    return asked;
}

// Keeps a document the application loads and, for a file URL, its folder, for mayReadFileURL. Without a
// document (a load that is a page's choice) the view keeps neither.
void noteApplicationDocument(WebKitWebView* view, const std::optional<std::string>& document)
{
    g_object_set_data(G_OBJECT(view), kApplicationDocumentKey, nullptr);
    g_object_set_data(G_OBJECT(view), kDocumentFolderKey, nullptr);
    if (!document)
        return;
    const std::string& url = *document;
    const auto hash = url.find('#');
    g_object_set_data_full(G_OBJECT(view), kApplicationDocumentKey, g_strdup(url.substr(0, hash).c_str()), g_free);
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed || !parsed->isFileURL())
        return;
    std::string folder = platform::AppFolders::resolvedPath(parsed->path());
    const auto slash = folder.find_last_of('/');
    // A document at the top of the disk opens no folder: "/" would be the whole disk.
    folder.resize(slash == std::string::npos ? 0 : slash);
    g_object_set_data_full(G_OBJECT(view), kDocumentFolderKey, g_strdup(folder.c_str()), g_free);
}

// Switches one of WebKit's named features (those the settings have no property for); an engine without
// it keeps its own behaviour.
void setFeature(WebKitSettings* settings, const char* identifier, bool enabled)
{
    static WebKitFeatureList* const features = webkit_settings_get_all_features();
    for (gsize i = 0; i < webkit_feature_list_get_length(features); ++i) {
        WebKitFeature* feature = webkit_feature_list_get(features, i);
        if (g_strcmp0(webkit_feature_get_identifier(feature), identifier) == 0) {
            webkit_settings_set_feature_enabled(settings, feature, enabled);
            return;
        }
    }
}

// The parameters of the routing message (webprocess/Messages.h).
GVariant* routingParameters(bool foreign, const std::optional<platform::WebLoadRules>& rules)
{
    GVariantBuilder patterns;
    g_variant_builder_init(&patterns, G_VARIANT_TYPE("a(msmsxms)"));
    if (rules) {
        for (const platform::WebLoadRules::Pattern& pattern : rules->patterns) {
            auto text = [](const std::optional<std::string>& expression) { return expression ? expression->c_str() : nullptr; };
            g_variant_builder_add(&patterns, "(msmsxms)", text(pattern.scheme), text(pattern.host),
                                  static_cast<gint64>(pattern.port ? *pattern.port : -1), text(pattern.path));
        }
    }
    return g_variant_new("(bb@a(msmsxms)b)", foreign, rules.has_value(), g_variant_builder_end(&patterns),
                         rules && rules->defaultSchemeOpensHosts);
}

} // namespace

WebKitEngine::WebKitEngine(EngineClient& client, const WebsiteDataLocation& location)
    : m_client(client)
    , m_location(location)
{
    WebKitWebContext* context = WebContext::forLocation(location);
    m_view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, nullptr));
    g_object_ref_sink(m_view);
    g_object_set_data(G_OBJECT(m_view), kEngineKey, this);
    // Results that come during a wait join the page's messages that wait too, in the order they came: a
    // batch of commands an answer hands back and one an XHR brings keep the page's order.
    m_evaluations = std::make_unique<EvaluationQueue>(
        m_view, EvaluationQueue::Deferral{[this] { return isDeferring(); }, [this](std::function<void()> event) { defer(std::move(event)); }});

    WebKitSettings* settings = webkit_web_view_get_settings(m_view);
    applyFileAccess();
    webkit_settings_set_javascript_can_open_windows_automatically(settings, FALSE);
    webkit_settings_set_hardware_acceleration_policy(settings, WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    // Shared and service workers run apart from any page, so their loads never reach the web-process module:
    // none of the application's rules (which files, which hosts) would hold for them. Only web pages whose
    // loads no whitelist judges get them (tellRouting).
    setFeature(settings, "SharedWorker", false);
    setFeature(settings, "ServiceWorkers", false);
    // Every permission request is denied (UserPrompts.h), but WebKit gives a query the client answers
    // "denied" as "prompt" (a refusal is not to be told from a question not put yet), and takes a
    // notification's from a list of its own: the page has no permission queries, as on the phone, rather
    // than answers that invite a request.
    setFeature(settings, "PermissionsAPI", false);
    applySettings(m_settings);

    g_signal_connect(m_view, "decide-policy", G_CALLBACK(onDecidePolicy), this);
    g_signal_connect(m_view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(m_view, "load-failed", G_CALLBACK(onLoadFailed), this);
    g_signal_connect(m_view, "notify::is-loading", G_CALLBACK(onIsLoadingChanged), this);
    g_signal_connect(m_view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    g_signal_connect(m_view, "resource-load-started", G_CALLBACK(onResourceLoadStarted), this);
    g_signal_connect(m_view, "user-message-received", G_CALLBACK(onPageMessage), this);
    g_signal_connect(m_view, "script-dialog", G_CALLBACK(onScriptDialog), this);
    // A page's print() prints nothing, as on the phone: WebKit's own print dialog runs a loop of its own,
    // under which neither the window's close, a signal nor a screenshot's time-out could end the
    // application, and the page's script waits for it.
    g_signal_connect(m_view, "print", G_CALLBACK(+[](WebKitWebView*, WebKitPrintOperation*, gpointer) -> gboolean { return TRUE; }), nullptr);
    g_signal_connect(m_view, "create", G_CALLBACK(onCreate), this);
    answerUserPrompts(m_view);
}

WebKitEngine::~WebKitEngine()
{
    // Answered while the view is still there, so the page's script ends its wait as it would on a Cancel.
    cancelScriptDialogs();
    cancelLoadTimer();
    if (m_silentEndCheck)
        g_source_remove(m_silentEndCheck);
    if (m_deferredSource)
        g_source_remove(m_deferredSource);
    if (m_loadsEndedReport)
        g_source_remove(m_loadsEndedReport);
    if (m_bridgeAnswerSource)
        g_source_remove(m_bridgeAnswerSource);
    if (m_deliverySource)
        g_source_remove(m_deliverySource);
    for (auto& [number, question] : m_deliveryQuestions) {
        if (question.timer)
            g_source_remove(question.timer);
    }
    // Handed over already: they are answered as they would have been.
    answerHeldBridgeRequests();
    m_evaluations.reset();
    for (auto& [key, load] : m_loads)
        load->cancel();
    m_loads.clear();
    // The loads still waiting fail as cancelled; the slots go to other views.
    LoadSlots::shared().releaseOwner(this);
    LoadSlots::shared().releaseOwner(&m_applicationLoads);
    g_signal_handlers_disconnect_by_data(m_view, this);
    g_object_set_data(G_OBJECT(m_view), kEngineKey, nullptr);
    webkit_web_view_stop_loading(m_view);
    if (GtkWidget* parent = gtk_widget_get_parent(GTK_WIDGET(m_view)))
        gtk_container_remove(GTK_CONTAINER(parent), GTK_WIDGET(m_view));
    gtk_widget_destroy(GTK_WIDGET(m_view));
    g_object_unref(m_view);
}

WebKitEngine* WebKitEngine::fromView(WebKitWebView* view)
{
    return static_cast<WebKitEngine*>(g_object_get_data(G_OBJECT(view), kEngineKey));
}

GtkWidget* WebKitEngine::widget() const
{
    return GTK_WIDGET(m_view);
}

void WebKitEngine::setForeignPages(bool foreign)
{
    m_foreignPages = foreign;
    if (foreign)
        noteApplicationDocument(m_view, std::nullopt);
}

void WebKitEngine::applyFileAccess()
{
    // The application's pages come from files and reach their bundle, the bridge and the hosts the
    // application allows; every load is judged natively (navigation questions and routed sub-resources),
    // as with the phone's web view, and files outside the application's own folders are refused there
    // (mayReadFileURL), the same rule for every view. No page has universal access: the engine gives it to
    // every worker started under a page that has it, a worker of another site's frame included. Who reads a
    // routed answer is decided by the engine from the asker's own origin (RoutedRequest.h).
    WebKitSettings* settings = webkit_web_view_get_settings(m_view);
    webkit_settings_set_allow_file_access_from_file_urls(settings, TRUE);
    webkit_settings_set_allow_universal_access_from_file_urls(settings, FALSE);
}

void WebKitEngine::onResourceLoadStarted(WebKitWebView*, void* resource, void* request, WebKitEngine* self)
{
    // Only web loads: those the page makes through the engine (a routed one's URL is a route URL by now).
    if (!isWebURL(webkit_uri_request_get_uri(WEBKIT_URI_REQUEST(request))))
        return;
    struct Watch {
        std::weak_ptr<bool> alive;
        WebKitEngine* engine;
        std::uint64_t process; // the web process the load was made in
    };
    g_signal_connect_data(
        resource, "finished", G_CALLBACK(+[](WebKitWebResource*, Watch* watch) {
            if (watch->alive.lock() && watch->process == watch->engine->m_webProcesses)
                watch->engine->webLoadEnded();
        }),
        new Watch{self->m_alive, self, self->m_webProcesses}, [](gpointer data, GClosure*) { delete static_cast<Watch*>(data); },
        G_CONNECT_DEFAULT);
}

void WebKitEngine::webLoadEnded()
{
    ++m_webLoadsEnded;
    if (m_loadsEndedReport)
        return;
    // Told once a turn, however many ended in it.
    m_loadsEndedReport = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        auto* self = static_cast<WebKitEngine*>(data);
        self->m_loadsEndedReport = 0;
        webkit_web_view_send_message_to_page(self->m_view,
                                             webkit_user_message_new(HYB_LOADS_ENDED_MESSAGE, g_variant_new_uint64(self->m_webLoadsEnded)),
                                             nullptr, nullptr, nullptr);
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

int WebKitEngine::onPageMessage(WebKitWebView*, void* message, WebKitEngine*)
{
    WebKitUserMessage* word = WEBKIT_USER_MESSAGE(message);
    if (g_strcmp0(webkit_user_message_get_name(word), HYB_LOADS_REFUSED_MESSAGE) != 0)
        return FALSE;
    GVariant* parameters = webkit_user_message_get_parameters(word);
    const std::uint64_t bound = parameters && g_variant_is_of_type(parameters, G_VARIANT_TYPE_UINT64) ? g_variant_get_uint64(parameters) : 0;
    platform::Log::write("Web view: a page asked for more than " + std::to_string(bound)
                         + " web loads at once; those past them failed");
    return TRUE;
}

void WebKitEngine::tellRouting(const std::string& documentURL)
{
    // The agent the document loads under is set by now (the client's question sets it).
    const std::optional<platform::WebLoadRules> rules = platform::WebView::loadRulesFor(userAgent());
    // A web page whose loads no whitelist judges makes them all through the engine: its shared and service
    // workers too. Set before the document's load, whose window the features are read for. (A later
    // navigation inside a frame is asked as a top-level one: while a file document shows, they stay off.)
    const bool workers = isWebURL(documentURL) && !rules && (m_workersEnabled || !isFileURL(url()));
    if (workers != m_workersEnabled) {
        WebKitSettings* settings = webkit_web_view_get_settings(m_view);
        setFeature(settings, "SharedWorker", workers);
        setFeature(settings, "ServiceWorkers", workers);
        m_workersEnabled = workers;
    }
    webkit_web_view_send_message_to_page(m_view, webkit_user_message_new(HYB_ROUTING_MESSAGE, routingParameters(m_foreignPages, rules)),
                                         nullptr, nullptr, nullptr);
}

void WebKitEngine::load(const std::string& url, std::chrono::milliseconds timeout, const HeaderList& headers, bool pagesChoice)
{
    cancelLoadTimer();
    m_loadTimedOut = false;
    const bool foreign = m_foreignPages || pagesChoice;
    if (foreign && !mayReadFileURL(m_view, url)) {
        // A foreign page's choice of file outside the application's folders: nothing loads. On a later turn
        // the client is asked, as for any load, and hears why it failed.
        platform::RunLoop::main().perform([this, alive = std::weak_ptr<bool>(m_alive), url, headers] {
            if (!alive.lock())
                return;
            NavigationRequest request;
            request.url = url;
            request.method = "GET";
            request.headers = headers;
            request.mainDocumentURL = url;
            if (m_client.shouldStartLoad(request) && alive.lock())
                m_client.didFailLoad(platform::makeURLError(platform::kURLErrorNoPermissionsToReadFile, "The page may not read this file: " + url, url));
        });
        return;
    }
    // The time-out counts from the start of the load (the engine's processes may take a while to come up).
    m_loadTimeout = timeout;
    WebContext::noteStorageUse(m_location);
    noteApplicationDocument(m_view, foreign ? std::nullopt : std::optional<std::string>(url));
    m_requestedDocument = url;
    WebKitURIRequest* request = webkit_uri_request_new(url.c_str());
    if (SoupMessageHeaders* requestHeaders = webkit_uri_request_get_http_headers(request)) {
        for (const auto& [name, value] : headers)
            soup_message_headers_append(requestHeaders, name.c_str(), value.c_str());
    }
    webkit_web_view_load_request(m_view, request);
    g_object_unref(request);
}

void WebKitEngine::loadHTML(const std::string& html, const std::string& baseURL)
{
    cancelLoadTimer();
    m_loadTimeout = std::chrono::milliseconds(0);
    WebContext::noteStorageUse(m_location);
    noteApplicationDocument(m_view, m_foreignPages ? std::nullopt : std::optional<std::string>(baseURL));
    m_requestedDocument = baseURL.empty() ? "about:blank" : baseURL;
    webkit_web_view_load_html(m_view, html.c_str(), baseURL.empty() ? nullptr : baseURL.c_str());
}

void WebKitEngine::stop()
{
    m_requestedDocument.reset();
    webkit_web_view_stop_loading(m_view);
}

void WebKitEngine::reload()
{
    m_requestedDocument = url();
    webkit_web_view_reload(m_view);
}

bool WebKitEngine::canGoBack() const
{
    return webkit_web_view_can_go_back(m_view);
}

bool WebKitEngine::canGoForward() const
{
    return webkit_web_view_can_go_forward(m_view);
}

void WebKitEngine::goBack()
{
    requestHistoryItem(webkit_back_forward_list_get_back_item(webkit_web_view_get_back_forward_list(m_view)));
    webkit_web_view_go_back(m_view);
}

void WebKitEngine::goForward()
{
    requestHistoryItem(webkit_back_forward_list_get_forward_item(webkit_web_view_get_back_forward_list(m_view)));
    webkit_web_view_go_forward(m_view);
}

void WebKitEngine::requestHistoryItem(WebKitBackForwardListItem* item)
{
    const char* uri = item ? webkit_back_forward_list_item_get_uri(item) : nullptr;
    m_requestedDocument = uri ? std::optional<std::string>(uri) : std::nullopt;
}

bool WebKitEngine::isLoading() const
{
    return webkit_web_view_is_loading(m_view);
}

std::string WebKitEngine::url() const
{
    const char* uri = webkit_web_view_get_uri(m_view);
    return uri ? uri : "";
}

template <typename Wait> auto WebKitEngine::synchronously(Wait&& wait)
{
    // What was asked for earlier runs first; nothing asked for during the wait starts inside it.
    m_evaluations->sendPending();
    m_evaluations->hold();
    ++m_waitDepth;
    platform::RunLoop::main().holdPerformsAndTimers();
    std::weak_ptr<bool> alive = m_alive;
    auto result = wait();
    platform::RunLoop::main().releasePerformsAndTimers();
    if (alive.lock()) {
        --m_waitDepth;
        m_evaluations->release();
        scheduleDeferred();
    }
    return result;
}

platform::Result<std::string> WebKitEngine::evaluate(const std::string& script, std::chrono::milliseconds timeout)
{
    if (m_routingDepth > 0) {
        return platform::Error(kWebEngineErrorDomain, kEvaluationRefused,
                               "script evaluation refused while the page waits for a sub-resource answer");
    }
    if (m_fragmentDecisionDepth > 0) {
        return platform::Error(kWebEngineErrorDomain, kEvaluationRefused,
                               "script evaluation refused while the page waits for a fragment change's decision");
    }
    if (m_waitDepth > 0) {
        return platform::Error(kWebEngineErrorDomain, kEvaluationRefused,
                               "script evaluation refused inside the wait of another evaluation");
    }
    if (isDialogWaiting()) {
        return platform::Error(kWebEngineErrorDomain, kEvaluationStoppedInDialog,
                               "script evaluation refused while the page waits for a dialog's answer");
    }
    return synchronously([&] { return ScriptEvaluator::evaluate(m_view, unmarked(script), timeout, [this] { return isDialogWaiting(); }); });
}

void WebKitEngine::evaluateLater(std::string script, EvaluationQueue::Completion completion)
{
    m_evaluations->add(unmarked(std::move(script)), std::move(completion));
}

void WebKitEngine::evaluateForValue(std::string script, EvaluationQueue::Completion completion)
{
    m_evaluations->add(HYB_VALUE_MARK + script, std::move(completion));
}

void WebKitEngine::evaluateInEngineWorld(std::string script, EvaluationQueue::Completion completion)
{
    m_evaluations->addAhead(std::move(script), std::move(completion));
}

void WebKitEngine::evaluatePromptly(std::string script, EvaluationQueue::Completion completion)
{
    m_evaluations->add(unmarked(std::move(script)), std::move(completion));
    // The queue itself waits while it is held (a synchronous wait). During a fragment decision the page is
    // stopped in the change; what the refusal sends it must come first.
    if (m_fragmentDecisionDepth == 0)
        m_evaluations->sendPending();
}

std::string WebKitEngine::defaultUserAgent()
{
    WebKitSettings* settings = webkit_settings_new();
    std::string agent = webkit_settings_get_user_agent(settings);
    g_object_unref(settings);
    return agent;
}

void WebKitEngine::setUserAgent(const std::string& userAgent)
{
    webkit_settings_set_user_agent(webkit_web_view_get_settings(m_view), userAgent.c_str());
}

std::string WebKitEngine::userAgent() const
{
    const char* agent = webkit_settings_get_user_agent(webkit_web_view_get_settings(m_view));
    return agent ? agent : "";
}

void WebKitEngine::applySettings(const EngineSettings& settings)
{
    m_settings = settings;
    WebKitSettings* webSettings = webkit_web_view_get_settings(m_view);
    webkit_settings_set_media_playback_allows_inline(webSettings, settings.allowsInlineMediaPlayback);
    webkit_settings_set_media_playback_requires_user_gesture(webSettings, settings.mediaPlaybackRequiresUserAction);
    setFeature(webSettings, "SuppressesIncrementalRendering", settings.suppressesIncrementalRendering);
}

platform::Result<WebKitEngine::Surface> WebKitEngine::snapshot(std::chrono::milliseconds timeout)
{
    // The page cannot draw anew while its script is stopped in a dialog: what it drew last is what shows.
    if (isDialogWaiting())
        return drawnSurface();
    struct Snapshot {
        bool done = false;
        cairo_surface_t* surface = nullptr;
        std::string error;
        ~Snapshot()
        {
            if (surface)
                cairo_surface_destroy(surface);
        }
    };
    using Shared = std::shared_ptr<Snapshot>;
    auto snapshot = std::make_shared<Snapshot>();
    webkit_web_view_get_snapshot(
        m_view, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Shared> state(static_cast<Shared*>(data));
            GError* error = nullptr;
            (*state)->surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (error) {
                (*state)->error = error->message;
                g_error_free(error);
            }
            (*state)->done = true;
        },
        new Shared(snapshot));
    synchronously([&] { return runNestedLoopUntil([&] { return snapshot->done || isDialogWaiting(); }, timeout); });
    if (!snapshot->done && isDialogWaiting())
        return drawnSurface();
    if (!snapshot->done)
        return platform::Error(kWebEngineErrorDomain, kEvaluationTimedOut, "snapshot timed out");
    if (!snapshot->surface)
        return platform::Error(kWebEngineErrorDomain, kEvaluationFailed, "snapshot failed: " + snapshot->error);
    return Surface(std::exchange(snapshot->surface, nullptr), cairo_surface_destroy);
}

platform::Result<WebKitEngine::Surface> WebKitEngine::drawnSurface()
{
    GtkWidget* widget = GTK_WIDGET(m_view);
    // A size the host has just given is laid out first: a widget draws only at its allocation.
    if (GtkWidget* top = gtk_widget_get_toplevel(widget); GTK_IS_CONTAINER(top))
        gtk_container_check_resize(GTK_CONTAINER(top));
    const int width = gtk_widget_get_allocated_width(widget);
    const int height = gtk_widget_get_allocated_height(widget);
    if (!gtk_widget_get_realized(widget) || width <= 0 || height <= 0)
        return platform::Error(kWebEngineErrorDomain, kEvaluationFailed, "snapshot failed: the view is not shown");
    Surface surface(cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height), cairo_surface_destroy);
    cairo_t* cr = cairo_create(surface.get());
    gtk_widget_draw(widget, cr);
    cairo_destroy(cr);
    cairo_surface_flush(surface.get());
    return surface;
}

platform::Result<void> WebKitEngine::writeSnapshot(const std::string& pngPath, std::chrono::milliseconds timeout)
{
    auto surface = snapshot(timeout);
    if (!surface.ok())
        return surface.error();
    if (cairo_surface_write_to_png(surface->get(), pngPath.c_str()) != CAIRO_STATUS_SUCCESS)
        return platform::Error(platform::kPOSIXErrorDomain, 5, "cannot write " + pngPath);
    return {};
}

void WebKitEngine::routeResourceRequest(const std::shared_ptr<RoutedRequest>& request)
{
    // A foreign page of the web (any document but a file of the application's, which the rule below bounds)
    // reads the web only: no file, no file system URL and no other of the application's protocols, which
    // the route would otherwise answer to it readable from any origin.
    if (m_foreignPages && !isWebURL(request->url()) && !isFileURL(url())) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile,
                                      "a foreign page may not read the application's files"));
        return;
    }
    ++m_routingDepth;
    const bool taken = m_client.handleResourceRequest(request);
    --m_routingDepth;
    if (taken || request->isAnswered())
        return;
    // What the client's protocols leave, platform's loading reads from disk: only the application's files.
    if (!mayReadFileURL(m_view, request->url())) {
        request->fail(platform::Error(platform::kURLErrorDomain, -1102, "the page may not read this file"));
        return;
    }
    // A bounded number of loads run at once; the rest wait for a slot, in order. One the engine gives up
    // (the frame or page that asked went) stops, or leaves the queue, and frees what it held.
    std::weak_ptr<bool> alive = m_alive;
    auto ticket = std::make_shared<LoadSlots::Ticket>(0);
    request->setWithdrawnHandler([this, alive, ticket] {
        if (alive.lock() && *ticket)
            endRoutedLoad(*ticket);
    });
    LoadSlots::Owner owner = isApplicationsLoad(request->url(), request->headers()) ? LoadSlots::Owner(&m_applicationLoads) : LoadSlots::Owner(this);
    const auto granted = LoadSlots::shared().request(owner, loadGroupOf(request->url()), [this, alive, ticket, request, page = url()](LoadSlots::Ticket slot) {
        const bool waited = *ticket != 0;
        *ticket = slot;
        if (!alive.lock())
            return;
        if (!waited) {
            startRoutedLoad(slot, request, page);
            return;
        }
        // A load that waited gets its slot when another load ends, often because the frame or page that asked
        // for both went: the engine then lets go of its loads one message at a time, and this one may be let go
        // in a message not yet read. It starts from a turn of its own once the main loop has nothing more
        // urgent, the engine's messages read (and the withdrawals they bring heard); the slot stays its own
        // meanwhile.
        g_idle_add_full(G_PRIORITY_LOW, [](gpointer data) -> gboolean {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        }, new std::function<void()>([this, alive, slot, request, page] {
            if (alive.lock())
                startRoutedLoad(slot, request, page);
        }), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
    });
    if (!granted) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorResourceUnavailable,
                                      "too many loads of this page are waiting"));
        return;
    }
    *ticket = *granted;
}

void WebKitEngine::startRoutedLoad(std::uint64_t ticket, const std::shared_ptr<RoutedRequest>& request, const std::string& mainDocumentURL)
{
    // The engine may have let it go while it waited (its frame went), before this engine heard: nothing starts,
    // and the withdrawal frees the slot (or freed it already, while the start waited for its turn: a ticket
    // released twice is ignored).
    if (request->isAnswered()) {
        LoadSlots::shared().release(ticket);
        return;
    }
    if (request->checkWithdrawn())
        return;
    auto load = RoutedLoad::start(
        request, mainDocumentURL, m_client.webViewIdentifier(),
        [this, alive = std::weak_ptr<bool>(m_alive)](std::function<void()> delivered) {
            if (alive.lock())
                afterDelivery(std::move(delivered));
        },
        [this, alive = std::weak_ptr<bool>(m_alive), ticket](RoutedLoad&) {
            if (alive.lock())
                endRoutedLoad(ticket);
        });
    m_loads.emplace(ticket, load);
}

void WebKitEngine::afterDelivery(std::function<void()> delivered)
{
    if (m_pageSlowToAnswer) {
        delivered();
        return;
    }
    m_undelivered.push_back(std::move(delivered));
    if (m_deliverySource)
        return;
    // Asked at a low priority: WebKit sends what it read from a body from its read's completion, a source of
    // default priority, so the question goes after the bytes it asks about.
    m_deliverySource = g_idle_add_full(G_PRIORITY_LOW, [](gpointer data) -> gboolean {
        auto* self = static_cast<WebKitEngine*>(data);
        self->m_deliverySource = 0;
        self->askDelivered();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void WebKitEngine::askDelivered()
{
    if (m_undelivered.empty())
        return;
    const unsigned number = ++m_deliveryQuestionsAsked;
    DeliveryQuestion& question = m_deliveryQuestions[number];
    question.waiting = std::exchange(m_undelivered, {});
    struct Asked {
        WebKitEngine* engine;
        std::weak_ptr<bool> alive;
        unsigned number;
    };
    question.timer = g_timeout_add_full(G_PRIORITY_DEFAULT, kDeliveryPatienceMs, [](gpointer data) -> gboolean {
        const auto* asked = static_cast<Asked*>(data);
        asked->engine->deliveryOverdue(asked->number);
        return G_SOURCE_REMOVE;
    }, new Asked{this, m_alive, number}, [](gpointer data) { delete static_cast<Asked*>(data); });
    webkit_web_view_send_message_to_page(
        m_view, webkit_user_message_new(HYB_DELIVERED_MESSAGE, nullptr), nullptr,
        [](GObject* view, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Asked> asked(static_cast<Asked*>(data));
            // A reply or an error (the page's process went): either way nothing more comes before it.
            GError* error = nullptr;
            if (WebKitUserMessage* reply = webkit_web_view_send_message_to_page_finish(WEBKIT_WEB_VIEW(view), result, &error))
                g_object_unref(reply);
            g_clear_error(&error);
            if (asked->alive.lock())
                asked->engine->deliveryAnswered(asked->number);
        },
        new Asked{this, m_alive, number});
}

void WebKitEngine::deliveryAnswered(unsigned number)
{
    m_pageSlowToAnswer = false;
    // Answers come in order: this one answers every question asked before it as well.
    std::vector<std::function<void()>> delivered;
    while (!m_deliveryQuestions.empty() && m_deliveryQuestions.begin()->first <= number) {
        DeliveryQuestion& question = m_deliveryQuestions.begin()->second;
        if (question.timer)
            g_source_remove(question.timer);
        for (auto& waiting : question.waiting)
            delivered.push_back(std::move(waiting));
        m_deliveryQuestions.erase(m_deliveryQuestions.begin());
    }
    for (auto& done : delivered)
        done();
}

void WebKitEngine::deliveryOverdue(unsigned number)
{
    // The page's process takes none of its messages now (it waits in a synchronous load, whose answer the engine
    // gathers whole, or its script spins): the bytes count as delivered once handed over, until it answers again.
    m_pageSlowToAnswer = true;
    std::vector<std::function<void()>> delivered;
    for (auto& [asked, question] : m_deliveryQuestions) {
        if (asked == number)
            question.timer = 0;
        for (auto& waiting : question.waiting)
            delivered.push_back(std::move(waiting));
        question.waiting.clear();
    }
    for (auto& waiting : m_undelivered)
        delivered.push_back(std::move(waiting));
    m_undelivered.clear();
    for (auto& done : delivered)
        done();
}

void WebKitEngine::endRoutedLoad(std::uint64_t ticket)
{
    if (auto found = m_loads.find(ticket); found != m_loads.end()) {
        std::shared_ptr<RoutedLoad> load = std::move(found->second);
        m_loads.erase(found);
        load->cancel();
    }
    // Last: the next load waiting may start here.
    LoadSlots::shared().release(ticket);
}

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
    if (m_loadState != LoadState::Allowed || url != m_allowedURL)
        return;
    m_loadState = LoadState::Idle;
    m_requestedDocument.reset();
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

bool WebKitEngine::isFrameLoad(const std::string& target)
{
    // Only loadable documents: the bridge's "hyb:" signals and other schemes WebKit cannot load keep their
    // quick way (and are never a page load either way).
    const auto colon = target.find(':');
    std::string scheme = target.substr(0, colon == std::string::npos ? 0 : colon);
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return g_ascii_tolower(c); });
    static const std::string loadable[] = {"file", "http", "https", "data", "blob", "about"};
    if (std::find(std::begin(loadable), std::end(loadable), scheme) == std::end(loadable) || url().empty())
        return false;
    // Until the load starts: a frame of the page asking for the same address first does not leave the view's
    // own navigation to the page's answer (which a frame waiting for that address turns into a frame's).
    if (m_requestedDocument == target)
        return false;
    if (m_routingDepth > 0 || m_fragmentDecisionDepth > 0 || m_waitDepth > 0)
        return false;
    const std::string script =
        std::string(kPendingFrameScript) + "(" + platform::JSON::writeCompact(platform::Value(target)).valueOr("''") + ")";
    if (isDialogWaiting())
        return false;
    // In the engine's world: the page's replacement of what the question calls (its document's functions,
    // its frames' properties) does not answer it.
    auto answer = synchronously([&] {
        return ScriptEvaluator::evaluate(m_view, script, kFrameQuestionTimeout, [this] { return isDialogWaiting(); }, true);
    });
    return answer.ok() && *answer == "true";
}

void WebKitEngine::answerNavigation(void* decisionPointer, const NavigationRequest& askedRequest)
{
    auto* decision = WEBKIT_POLICY_DECISION(decisionPointer);
    // A document the page could read through its frames (or show, then read) only from the application's
    // own folders; the application's own loads go as it asked.
    const auto* applicationDocument = static_cast<const char*>(g_object_get_data(G_OBJECT(m_view), kApplicationDocumentKey));
    const bool applicationLoad = applicationDocument && withoutFragment(askedRequest.url) == applicationDocument;
    // A document refused here is no longer waited for (a new window's among them, which would hold the next).
    const auto refuse = [&] {
        webkit_policy_decision_ignore(decision);
        if (m_requestedDocument == askedRequest.url)
            m_requestedDocument.reset();
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
    if (!request.isFragmentChange && isFrameLoad(request.url)) {
        request.isSubFrame = true;
        request.mainDocumentURL = url();
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
        if (!request.isFragmentChange && !request.isSubFrame && m_requestedDocument == request.url)
            m_requestedDocument.reset();
    };
    if (!engineAlive) {
        webkit_policy_decision_ignore(decision);
    } else if (!allowed) {
        // Answered here and now: WebKit applies a fragment change whose refusal comes later.
        webkit_policy_decision_ignore(decision);
        forgetRequested();
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
                tellRouting(request.url);
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

bool WebKitEngine::isDeferring() const
{
    return m_waitDepth > 0 || !m_deferred.empty();
}

void WebKitEngine::defer(std::function<void()> event)
{
    m_deferred.push_back(std::move(event));
    scheduleDeferred();
}

void WebKitEngine::scheduleDeferred()
{
    if (m_deferredSource || m_waitDepth > 0 || m_deferred.empty())
        return;
    m_deferredSource = g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        auto* self = static_cast<WebKitEngine*>(data);
        self->m_deferredSource = 0;
        std::weak_ptr<bool> alive = self->m_alive;
        // One at a time: an event may start a wait (new events then queue behind the rest) or end the engine.
        // Only those held when this turn began: what they queue runs in a later turn, so the main loop goes
        // round (input, signals, the web processes' messages) whatever the events do.
        for (std::size_t held = self->m_deferred.size(); held > 0 && alive.lock() && self->m_waitDepth == 0 && !self->m_deferred.empty(); --held) {
            std::function<void()> event = std::move(self->m_deferred.front());
            self->m_deferred.pop_front();
            event();
        }
        return G_SOURCE_REMOVE;
    }, this, nullptr);
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

int WebKitEngine::onScriptDialog(WebKitWebView*, void* dialog, WebKitEngine* self)
{
    self->openScriptDialog(dialog);
    return TRUE;  // answered by the client, later: WebKit shows nothing of its own
}

void WebKitEngine::openScriptDialog(void* dialogPointer)
{
    auto* dialog = webkit_script_dialog_ref(static_cast<WebKitScriptDialog*>(dialogPointer));
    const WebKitScriptDialogType type = webkit_script_dialog_get_dialog_type(dialog);
    platform::ScriptDialog::Kind kind = platform::ScriptDialog::Kind::Alert;
    switch (type) {
    case WEBKIT_SCRIPT_DIALOG_ALERT:
        break;
    case WEBKIT_SCRIPT_DIALOG_CONFIRM:
        kind = platform::ScriptDialog::Kind::Confirm;
        break;
    case WEBKIT_SCRIPT_DIALOG_PROMPT:
        kind = platform::ScriptDialog::Kind::Prompt;
        break;
    case WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM:
        kind = platform::ScriptDialog::Kind::LeavePage;
        break;
    }
    const char* message = webkit_script_dialog_get_message(dialog);
    const char* defaultText = type == WEBKIT_SCRIPT_DIALOG_PROMPT ? webkit_script_dialog_prompt_get_default_text(dialog) : nullptr;
    // The reply holds the dialog's reference until the answer, which closes it: the page's script goes on.
    auto opened = std::make_shared<platform::ScriptDialog>(
        kind, message ? message : "", defaultText ? defaultText : "", url(), [dialog, type](bool confirmed, std::optional<std::string> text) {
            if (type == WEBKIT_SCRIPT_DIALOG_CONFIRM || type == WEBKIT_SCRIPT_DIALOG_BEFORE_UNLOAD_CONFIRM)
                webkit_script_dialog_confirm_set_confirmed(dialog, confirmed);
            if (type == WEBKIT_SCRIPT_DIALOG_PROMPT && confirmed)
                webkit_script_dialog_prompt_set_text(dialog, text ? text->c_str() : webkit_script_dialog_prompt_get_default_text(dialog));
            webkit_script_dialog_close(dialog);
            webkit_script_dialog_unref(dialog);
        });
    std::erase_if(m_dialogs, [](const OpenDialog& open) {
        auto held = open.dialog.lock();
        return !held || held->isAnswered();
    });
    m_dialogs.push_back(OpenDialog{opened, m_documents});
    // Handed over from a turn of its own, never inside WebKit's signal: an answer given at once (a page
    // whose dialogs are blocked, a client that keeps none) would close the dialog there, and WebKit lets
    // go of its own reference only after the signal, by then on a dialog it has already let go.
    defer([this, opened] { m_client.scriptDialogOpened(opened); });
}

bool WebKitEngine::isDialogWaiting() const
{
    return std::any_of(m_dialogs.begin(), m_dialogs.end(), [](const OpenDialog& open) {
        auto held = open.dialog.lock();
        return held && !held->isAnswered();
    });
}

void WebKitEngine::cancelScriptDialogs(unsigned document)
{
    std::vector<std::shared_ptr<platform::ScriptDialog>> cancelled;
    std::erase_if(m_dialogs, [&](const OpenDialog& open) {
        if (open.document > document)
            return false;
        if (auto held = open.dialog.lock())
            cancelled.push_back(std::move(held));
        return true;
    });
    for (const auto& dialog : cancelled)
        dialog->cancel();
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

void WebKitEngine::routeBridgeRequest(const std::shared_ptr<RoutedRequest>& request)
{
    // A view of foreign pages has no bridge: its page's bridge request reaches none and fails.
    if (m_foreignPages) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile,
                                      "a foreign page has no bridge"));
        return;
    }
    HeaderList headers = request->headers();
    // Only the application's page reaches the bridge: a frame of another origin (another site framed by
    // the page, a frame the page led elsewhere) is refused as a foreign page is, with nothing handed over.
    if (!isPageOriginsBridgeRequest(request->url(), headers, url())) {
        request->fail(platform::Error(platform::kURLErrorDomain, platform::kURLErrorNoPermissionsToReadFile,
                                      "a document of another origin than the page's has no bridge"));
        return;
    }
    bool hasUserAgent = false;
    for (const auto& [name, value] : headers)
        hasUserAgent = hasUserAgent || g_ascii_strcasecmp(name.c_str(), "User-Agent") == 0;
    // The page's requests carry the view's agent; the web process may add it after handing the request over.
    if (!hasUserAgent)
        headers.emplace_back("User-Agent", userAgent());
    holdBridgeAnswer(request);
    if (isDeferring()) {
        defer([this, original = request->url(), headers = std::move(headers), page = url()] {
            m_client.handleBridgeRequest(original, headers, page);
        });
        return;
    }
    m_client.handleBridgeRequest(request->url(), headers, url());
}

void WebKitEngine::holdBridgeAnswer(const std::shared_ptr<RoutedRequest>& request)
{
    // The page's request is answered once the main loop has nothing more urgent: after the turns that run
    // its commands and send their answers, which the page's next call waits for (the request's own end does
    // not go ahead of them in the page's process). What the engine keeps of a request it has not answered
    // is large (some kilobytes): past a few held, the oldest is answered now, so that a page sending
    // requests faster than the main loop comes to rest has this process hold no more of them than that.
    m_heldBridgeAnswers.push_back(request);
    if (m_heldBridgeAnswers.size() > kMaxHeldBridgeAnswers) {
        std::shared_ptr<RoutedRequest> oldest = std::move(m_heldBridgeAnswers.front());
        m_heldBridgeAnswers.pop_front();
        oldest->respond(200, {}, "");
    }
    if (m_bridgeAnswerSource)
        return;
    m_bridgeAnswerSource = g_idle_add_full(G_PRIORITY_LOW, [](gpointer data) -> gboolean {
        auto* self = static_cast<WebKitEngine*>(data);
        self->m_bridgeAnswerSource = 0;
        self->answerHeldBridgeRequests();
        return G_SOURCE_REMOVE;
    }, this, nullptr);
}

void WebKitEngine::answerHeldBridgeRequests()
{
    // Answering tells the engine only: nothing here calls back into this object.
    for (std::shared_ptr<RoutedRequest>& request : std::exchange(m_heldBridgeAnswers, {}))
        request->respond(200, {}, "");
}

void WebKitEngine::cancelLoadTimer()
{
    if (m_loadTimer) {
        g_source_remove(m_loadTimer);
        m_loadTimer = 0;
    }
}

} // namespace webengine
