// The floors of page_calls_bench: a bare WebKitGTK view in this process (no platform, no runtime, no
// bridge), whose page (PageCallsPages.h) makes each signal of the bridge and whose native side answers it
// with the least it can do:
// - xhr: an XHR to a scheme this side serves, with the bridge's headers ("vc", "cmds" with the call's
//   batch, "rc"), answered in the response by the scheme handler;
// - xhr-poke: the same XHR without "cmds"; the handler evaluates one script that takes the page's queue,
//   awaits it, then answers in the response;
// - fragment: location.hash set to "%01"/"%02" and the escaped batch; decide-policy refuses it at once and
//   answers with one evaluation; fragment-fetch: the bare "%01"/"%02", refused, one awaited evaluation that
//   takes the queue, then the answer's evaluation;
// - frame: a hidden frame navigated to a "hyb:" URL carrying the batch, refused in decide-policy and
//   answered by one evaluation; frame-fetch: "hyb://ready", refused, one fetch, then the answer;
// - message (a reference, no goal): a script message, answered by one evaluation.
// Each answer is one evaluation of answer('<id>') per call. Start-up: the same kind of view loading a page
// file from disk, in a context with a persistent data folder of its own.
#pragma once

#include "PageCallsPages.h"
#include "PageCallsSupport.h"

#include <gtk/gtk.h>
#include <libsoup/soup.h>
#include <webkit2/webkit2.h>

#include <memory>
#include <string>
#include <vector>

namespace pagecalls {

inline const std::vector<std::string>& floorPaths()
{
    static const std::vector<std::string> paths{"message", "xhr", "xhr-poke", "fragment", "fragment-fetch", "frame", "frame-fetch"};
    return paths;
}

// The ids of a batch's commands (each command begins ["<id>"), separated by commas.
inline std::string idsOfBatch(const std::string& batch)
{
    std::string ids;
    for (std::size_t at = batch.find("[\""); at != std::string::npos; at = batch.find("[\"", at + 2)) {
        const std::size_t end = batch.find('"', at + 2);
        if (end == std::string::npos)
            break;
        ids += (ids.empty() ? "" : ",") + batch.substr(at + 2, end - at - 2);
    }
    return ids;
}

inline void answerCalls(WebKitWebView* view, const std::string& ids)
{
    std::size_t start = 0;
    while (start < ids.size()) {
        std::size_t end = ids.find(',', start);
        if (end == std::string::npos)
            end = ids.size();
        const std::string script = "answer('" + ids.substr(start, end - start) + "')";
        webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
        start = end + 1;
    }
}

// Evaluates takeQueue() in the page and hands its result (the queue's batch, "" when empty) to `then`.
inline void fetchQueue(WebKitWebView* view, std::function<void(std::string batch)> then)
{
    webkit_web_view_evaluate_javascript(
        view, "takeQueue()", -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void(std::string)>> next(static_cast<std::function<void(std::string)>*>(data));
            std::string batch;
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                if (jsc_value_is_string(value)) {
                    char* text = jsc_value_to_string(value);
                    batch = text;
                    g_free(text);
                }
                g_object_unref(value);
            }
            (*next)(std::move(batch));
        },
        new std::function<void(std::string)>(std::move(then)));
}

inline void finishWithText(WebKitURISchemeRequest* request, const std::string& body, const char* type)
{
    GInputStream* stream = g_memory_input_stream_new_from_data(g_strdup(body.c_str()), static_cast<gssize>(body.size()), g_free);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(body.size()), type);
    g_object_unref(stream);
}

inline void serveFloor(WebKitURISchemeRequest* request, gpointer)
{
    const std::string path = webkit_uri_scheme_request_get_path(request);
    if (path == "/floor.html") {
        finishWithText(request, std::string("<!DOCTYPE html><html><body><script>") + kMeasures + kFloorCalls + "</script></body></html>",
                       "text/html");
        return;
    }
    SoupMessageHeaders* headers = webkit_uri_scheme_request_get_http_headers(request);
    const char* commands = headers ? soup_message_headers_get_one(headers, "cmds") : nullptr;
    if (commands && *commands) {
        finishWithText(request, idsOfBatch(commands), "text/plain");
        return;
    }
    g_object_ref(request);
    fetchQueue(webkit_uri_scheme_request_get_web_view(request), [request](std::string batch) {
        finishWithText(request, idsOfBatch(batch), "text/plain");
        g_object_unref(request);
    });
}

// Refuses the bridge's signals: a "hyb:" navigation (of the frame) and a fragment change to "%01"/"%02";
// the batch a signal carries is answered at once, a bare signal fetches the queue first.
inline gboolean onFloorDecision(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer)
{
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION)
        return FALSE;
    WebKitNavigationAction* action = webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    const std::string url = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    std::string carried;
    if (url.rfind("hyb:", 0) == 0) {
        const std::size_t query = url.find('?');
        carried = query == std::string::npos ? "" : url.substr(query + 1);
    } else if (const std::size_t hash = url.find('#');
               hash != std::string::npos && (url.compare(hash + 1, 3, "%01") == 0 || url.compare(hash + 1, 3, "%02") == 0)) {
        carried = url.substr(hash + 4);
    } else {
        return FALSE;
    }
    webkit_policy_decision_ignore(decision);
    if (!carried.empty()) {
        char* batch = g_uri_unescape_string(carried.c_str(), nullptr);
        answerCalls(view, idsOfBatch(batch ? batch : ""));
        g_free(batch);
        return TRUE;
    }
    g_object_ref(view);
    fetchQueue(view, [view](std::string batch) {
        answerCalls(view, idsOfBatch(batch));
        g_object_unref(view);
    });
    return TRUE;
}

inline void onFloorMessage(WebKitUserContentManager*, WebKitJavascriptResult* message, gpointer view)
{
    char* id = jsc_value_to_string(webkit_javascript_result_get_js_value(message));
    answerCalls(WEBKIT_WEB_VIEW(view), id ? id : "");
    g_free(id);
}

// A script's result as text, waited for (the bench's own questions to a bare view).
inline std::string evaluateBare(WebKitWebView* view, const std::string& script)
{
    struct Answer {
        bool done = false;
        std::string text;
    };
    // Held by the callback too: an answer after the time-out finds it alive.
    auto answer = std::make_shared<Answer>();
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<Answer>> held(static_cast<std::shared_ptr<Answer>*>(data));
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                char* text = jsc_value_to_string(value);
                (*held)->text = text ? text : "";
                g_free(text);
                g_object_unref(value);
            }
            (*held)->done = true;
        },
        new std::shared_ptr<Answer>(answer));
    webengine::runNestedLoopUntil([&] { return answer->done; }, std::chrono::seconds(10));
    return answer->text;
}

// A bare view in `context`, shown in an off-screen window as the application's is; ends with the object.
class BareView {
public:
    explicit BareView(WebKitWebContext* context)
        : m_messages(webkit_user_content_manager_new())
        , m_view(WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", m_messages, nullptr)))
        , m_window(gtk_offscreen_window_new())
    {
        webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(m_view), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        gtk_container_add(GTK_CONTAINER(m_window), GTK_WIDGET(m_view));
        gtk_widget_show_all(m_window);
        g_signal_connect(m_view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer self) {
            if (event == WEBKIT_LOAD_FINISHED)
                static_cast<BareView*>(self)->m_loaded = true;
        }), this);
    }
    ~BareView()
    {
        g_signal_handlers_disconnect_by_data(m_view, this);
        gtk_widget_destroy(m_window);
        g_object_unref(m_messages);
    }
    BareView(const BareView&) = delete;
    BareView& operator=(const BareView&) = delete;

    WebKitWebView* view() const { return m_view; }
    WebKitUserContentManager* messages() const { return m_messages; }
    // Loads the URL and waits for the load to finish; false when it did not within the time-out.
    bool load(const std::string& url)
    {
        m_loaded = false;
        webkit_web_view_load_uri(m_view, url.c_str());
        return webengine::runNestedLoopUntil([this] { return m_loaded; }, std::chrono::seconds(30));
    }
    std::string evaluate(const std::string& script) { return evaluateBare(m_view, script); }

private:
    WebKitUserContentManager* m_messages;
    WebKitWebView* m_view;
    GtkWidget* m_window;
    bool m_loaded = false;
};

// Every floor's sequential measure and burst ("<path>", "burst-<path>"), each path in a view of its own:
// what a burst leaves behind in a view slows what comes after it there (after 10,000 refused frame
// navigations, a reloaded page's fragment calls take twice as long). With this process's resident memory
// once the view's page has loaded ("idle-<path>") and its peak during the path's calls ("peak-<path>").
// A path that fails is noted in `error` and the others still run.
inline void measureFloors(Results& results, std::string& error)
{
    static WebKitWebContext* const context = [] {
        WebKitWebContext* made = webkit_web_context_new_ephemeral();
        webkit_web_context_register_uri_scheme(made, "benchfloor", serveFloor, nullptr, nullptr);
        return made;
    }();
    for (const std::string& path : floorPaths()) {
        BareView bare(context);
        webkit_user_content_manager_register_script_message_handler(bare.messages(), "bench");
        g_signal_connect(bare.messages(), "script-message-received::bench", G_CALLBACK(onFloorMessage), bare.view());
        g_signal_connect(bare.view(), "decide-policy", G_CALLBACK(onFloorDecision), nullptr);
        std::string failed = "the page did not load";
        if (bare.load("benchfloor://host/floor.html")) {
            results["idle-" + path].rssMiB = statusMiB("VmRSS");
            PeakMemory peak;
            bare.evaluate("runFloor('" + path + "', " + std::to_string(kSequentialCalls) + ", " + std::to_string(kWarmUpCalls) + ", " +
                          std::to_string(kBurstCalls) + ")");
            if (collect([&](const std::string& script) { return bare.evaluate(script); }, results, failed, std::chrono::minutes(1))) {
                results["peak-" + path].rssMiB = peak.peakMiB();
                continue;
            }
        }
        error += (error.empty() ? "" : "; ") + path + " floor: " + failed;
    }
}

// Start-up of a bare host: from making its view (and, on the first start, its context with a new data
// folder) to the load of the page file. The context stays for the next start, as the application's does.
inline double bareStartUp(WebKitWebContext*& context, const std::string& dataFolder, const std::string& pageURL)
{
    const auto started = std::chrono::steady_clock::now();
    if (!context) {
        WebKitWebsiteDataManager* manager = WEBKIT_WEBSITE_DATA_MANAGER(g_object_new(
            WEBKIT_TYPE_WEBSITE_DATA_MANAGER, "base-data-directory", (dataFolder + "/data").c_str(), "base-cache-directory",
            (dataFolder + "/cache").c_str(), nullptr));
        context = webkit_web_context_new_with_website_data_manager(manager);
        g_object_unref(manager);
    }
    BareView bare(context);
    return bare.load(pageURL) ? millisecondsSince(started) : 0;
}

} // namespace pagecalls
