#include "webengine/WebKitEngine.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoop.h"
#include "platform/text/URL.h"
#include "platform/web/WebView.h"
#include "webengine/LoadSlots.h"
#include "webengine/LoopbackRoute.h"
#include "webengine/RoutedLoad.h"
#include "webengine/UserPrompts.h"
#include "webengine/WebKitEngineInternal.h"
#include "webprocess/Messages.h"

#include <webkit2/webkit2.h>

#include <utility>

namespace webengine {

namespace detail {

std::string withoutFragment(const std::string& url)
{
    const auto hash = url.find('#');
    return hash == std::string::npos ? url : url.substr(0, hash);
}

// The documents a view keeps on itself (see mayReadFileURL).
constexpr const char* kDocumentFolderKey = "hyb-document-folder";
constexpr const char* kApplicationDocumentKey = "hyb-application-document";

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

bool isFileURL(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    return parsed && parsed->isFileURL();
}

bool isWebURL(const std::string& url)
{
    std::optional<platform::URL> parsed = platform::URL::fromString(url);
    if (!parsed)
        return false;
    const std::string scheme = parsed->scheme();
    return g_ascii_strcasecmp(scheme.c_str(), "http") == 0 || g_ascii_strcasecmp(scheme.c_str(), "https") == 0;
}

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

const char* applicationDocumentOf(WebKitWebView* view)
{
    return static_cast<const char*>(g_object_get_data(G_OBJECT(view), kApplicationDocumentKey));
}

} // namespace detail

namespace {

using namespace detail;

constexpr const char* kEngineKey = "hyb-webkit-engine";

// A script asked for as it is, never read as one marked for its value (no script begins with the mark).
std::string unmarked(std::string script)
{
    if (script.starts_with(HYB_VALUE_MARK))
        script.insert(0, " ");
    return script;
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
    m_loopbackView = LoopbackRoute::shared().attach(this);
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
    g_signal_connect(m_view, "notify::uri", G_CALLBACK(onURIChanged), this);
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
    // The page's loads through the engine still open go with it, unanswered.
    LoopbackRoute::shared().loadLetGoUnanswered(m_webLoadsOpen);
    LoopbackRoute::shared().detach(m_loopbackView);
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

void WebKitEngine::onResourceLoadStarted(WebKitWebView*, void* resource, void*, WebKitEngine* self)
{
    // Only the loads that go out through the engine, as the module counts them: those whose request the page's
    // module sent on as a web URL (a routed one's is a route URL by then; one it refused is never sent). The
    // request named at the start is the page's own, before the module's word.
    struct Watch {
        std::weak_ptr<bool> alive;
        WebKitEngine* engine;
        std::uint64_t process; // the web process the load was made in
        bool heard = false;    // its first request was sent
        bool throughEngine = false;
    };
    auto* watch = new Watch{self->m_alive, self, self->m_webProcesses};
    g_object_set_data_full(G_OBJECT(resource), "hyb-load-watch", watch, [](gpointer data) { delete static_cast<Watch*>(data); });
    g_signal_connect(resource, "sent-request", G_CALLBACK(+[](WebKitWebResource*, WebKitURIRequest* request, WebKitURIResponse*, Watch* watch) {
        // A redirect is the same load.
        if (std::exchange(watch->heard, true))
            return;
        watch->throughEngine = isWebURL(webkit_uri_request_get_uri(request));
        if (watch->throughEngine && watch->alive.lock() && watch->process == watch->engine->m_webProcesses)
            ++watch->engine->m_webLoadsOpen;
    }), watch);
    // A load let go before any answer came may stay in the engine's queue a long while (LoopbackRoute.h).
    g_signal_connect(resource, "failed", G_CALLBACK(+[](WebKitWebResource* resource, GError* error, Watch* watch) {
        if (watch->throughEngine && g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)
            && !webkit_web_resource_get_response(resource))
            LoopbackRoute::shared().loadLetGoUnanswered();
    }), watch);
    g_signal_connect(resource, "finished", G_CALLBACK(+[](WebKitWebResource*, Watch* watch) {
        if (!watch->throughEngine || !watch->alive.lock() || watch->process != watch->engine->m_webProcesses)
            return;
        --watch->engine->m_webLoadsOpen;
        watch->engine->webLoadEnded();
    }), watch);
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

int WebKitEngine::onPageMessage(WebKitWebView*, void* message, WebKitEngine* self)
{
    WebKitUserMessage* word = WEBKIT_USER_MESSAGE(message);
    if (g_strcmp0(webkit_user_message_get_name(word), HYB_MAIN_FRAME_MESSAGE) == 0) {
        self->heardMainFrameAddress(word);
        return TRUE;
    }
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
    // workers too. Set before the document's window is made, whose features are read for it (the page's own
    // navigation is told here as it starts; while a file document shows, they stay off).
    const bool workers = isWebURL(documentURL) && !rules && (m_workersEnabled || !isFileURL(url()));
    if (workers != m_workersEnabled) {
        WebKitSettings* settings = webkit_web_view_get_settings(m_view);
        setFeature(settings, "SharedWorker", workers);
        setFeature(settings, "ServiceWorkers", workers);
        m_workersEnabled = workers;
    }
    // The loopback route that carries the application's own web loads: its port, this view's number in its
    // marks and their key. A view of foreign pages has none (port 0).
    const LoopbackRoute& loopback = LoopbackRoute::shared();
    const bool routes = !m_foreignPages && loopback.port();
    webkit_web_view_send_message_to_page(
        m_view, webkit_user_message_new(HYB_LOOPBACK_MESSAGE, g_variant_new(HYB_LOOPBACK_TYPE, static_cast<guint16>(routes ? loopback.port() : 0),
                                                                          static_cast<guint64>(m_loopbackView), routes ? loopback.key().c_str() : "")),
        nullptr, nullptr, nullptr);
    if (routes && loopback.engineCongested())
        tellEngineCongested(true);
    webkit_web_view_send_message_to_page(m_view, webkit_user_message_new(HYB_ROUTING_MESSAGE, routingParameters(m_foreignPages, rules)),
                                         nullptr, nullptr, nullptr);
}

void WebKitEngine::tellEngineCongested(bool congested)
{
    if (m_foreignPages)
        return;
    webkit_web_view_send_message_to_page(m_view, webkit_user_message_new(HYB_ENGINE_CONGESTED_MESSAGE, g_variant_new_boolean(congested)), nullptr,
                                         nullptr, nullptr);
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
    m_reloadRequested = false;
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
    m_reloadRequested = false;
    webkit_web_view_load_html(m_view, html.c_str(), baseURL.empty() ? nullptr : baseURL.c_str());
}

void WebKitEngine::stop()
{
    m_requestedDocument.reset();
    m_reloadRequested = false;
    m_pageLoadAllowed.reset();
    webkit_web_view_stop_loading(m_view);
}

void WebKitEngine::reload()
{
    m_requestedDocument = url();
    m_reloadRequested = true;
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
    m_reloadRequested = false;
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

} // namespace webengine
