// The floor program of page_calls_bench: a bare WebKitGTK program (GTK, WebKit and GLib only, none of the
// application's code) whose page (PageCallsPages.h) makes one signal of the bridge and whose native side
// answers it with the least it can do. page_calls_bench runs it as a process of its own, in the same run
// as the application, so that each floor is the engine's own cost of its signal and nothing of the
// application's process (its threads, sources, heap) weighs on it.
//
//   page_calls_floor calls PATH SEQUENTIAL WARMUP BURST   sequential calls, then a burst of one call per task
//   page_calls_floor loop PATH COUNT                      COUNT calls made in one loop of one task
//
// prints one line, {"idleMiB": ..., "peakMiB": ..., "results": <the page's results>}: this process's
// resident memory once the page has loaded and the process has settled (PageCallsMemory.h), its peak
// during the calls, and the page's measures (see PageCallsPages.h). Exit status 1, with the reason on
// standard error, when something was not measured.
//
// The signals (PATH), each answered by evaluating answer('<id>') in the page once per call:
// - message: a script message;
// - xhr: an XHR to a scheme this program serves, with the bridge's headers ("vc", "cmds" with the call's
//   batch, "rc"), answered in the response by the scheme handler;
// - xhr-poke: the same XHR without "cmds"; the handler evaluates one script that takes the page's queue,
//   awaits it, then answers in the response (one such fetch at a time: pokes that come while it is on its
//   way share the next, and so for every bare signal below; past 16 pokes waiting, the oldest is answered
//   at once and its calls by script);
// - fragment: location.hash set to "%01"/"%02" and the escaped batch; decide-policy refuses it at once and
//   answers; fragment-fetch: the bare "%01"/"%02", refused, one awaited evaluation that takes the queue,
//   then the answers;
// - frame: a hidden frame navigated to a "hyb:" URL carrying the batch, refused in decide-policy and
//   answered; frame-fetch: "hyb://ready", refused, one fetch, then the answers.
#include "BareView.h"
#include "PageCallsMemory.h"
#include "PageCallsPages.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cstdio>
#include <deque>
#include <cstdlib>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

using namespace pagecalls;

// Pokes held unanswered until their fetch comes back, at most.
constexpr std::size_t kHeldPokes = 16;

// The ids of a batch's commands (each command begins ["<id>"), separated by commas.
std::string idsOfBatch(const std::string& batch)
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

void answerCalls(WebKitWebView* view, const std::string& ids)
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
void fetchQueue(WebKitWebView* view, std::function<void(std::string batch)> then)
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

// The page's queue fetched one fetch at a time, as the least native code can do for a burst of bare signals:
// a signal that comes while a fetch is on its way is answered by the next one, which goes when it comes
// back. Each signal's `then` gets the batch its fetch took ("" for all but the first of a fetch's signals).
class QueueFetcher {
public:
    using Then = std::function<void(std::string batch)>;

    void fetch(WebKitWebView* view, Then then)
    {
        (m_inFlight ? m_next : m_current).push_back(std::move(then));
        if (!m_inFlight)
            start(view);
    }

private:
    void start(WebKitWebView* view)
    {
        m_inFlight = true;
        fetchQueue(view, [this, view](std::string batch) {
            std::vector<Then> answered = std::exchange(m_current, {});
            m_inFlight = false;
            if (!m_next.empty()) {
                m_current = std::exchange(m_next, {});
                start(view);
            }
            for (std::size_t i = 0; i < answered.size(); ++i)
                answered[i](i == 0 ? std::move(batch) : std::string());
        });
    }

    bool m_inFlight = false;
    std::vector<Then> m_current; // the signals the fetch on its way answers
    std::vector<Then> m_next;    // those that came since it went
};

QueueFetcher& queueFetcher()
{
    static QueueFetcher fetcher;
    return fetcher;
}

void finishWithText(WebKitURISchemeRequest* request, const std::string& body, const char* type)
{
    GInputStream* stream = g_memory_input_stream_new_from_data(g_strdup(body.c_str()), static_cast<gssize>(body.size()), g_free);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(body.size()), type);
    g_object_unref(stream);
}

void serveFloor(WebKitURISchemeRequest* request, gpointer)
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
    // A poke: its calls are answered in its response once the queue is fetched. What the engine keeps of a
    // request not answered yet is large: past kHeldPokes waiting, the oldest is answered at once (empty), and
    // its calls by script.
    auto held = std::make_shared<WebKitURISchemeRequest*>(WEBKIT_URI_SCHEME_REQUEST(g_object_ref(request)));
    static std::deque<std::shared_ptr<WebKitURISchemeRequest*>> waiting;
    waiting.push_back(held);
    if (waiting.size() > kHeldPokes) {
        WebKitURISchemeRequest* oldest = std::exchange(*waiting.front(), nullptr);
        waiting.pop_front();
        finishWithText(oldest, "", "text/plain");
        g_object_unref(oldest);
    }
    WebKitWebView* view = webkit_uri_scheme_request_get_web_view(request);
    g_object_ref(view);
    queueFetcher().fetch(view, [view, held](std::string batch) {
        if (WebKitURISchemeRequest* request = std::exchange(*held, nullptr)) {
            waiting.erase(std::find(waiting.begin(), waiting.end(), held));
            finishWithText(request, idsOfBatch(batch), "text/plain");
            g_object_unref(request);
        } else {
            answerCalls(view, idsOfBatch(batch));
        }
        g_object_unref(view);
    });
}

// Refuses the bridge's signals: a "hyb:" navigation (of the frame) and a fragment change to "%01"/"%02";
// the batch a signal carries is answered at once, a bare signal fetches the queue first.
gboolean onFloorDecision(WebKitWebView* view, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, gpointer)
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
    queueFetcher().fetch(view, [view](std::string batch) {
        answerCalls(view, idsOfBatch(batch));
        g_object_unref(view);
    });
    return TRUE;
}

void onFloorMessage(WebKitUserContentManager*, WebKitJavascriptResult* message, gpointer view)
{
    char* id = jsc_value_to_string(webkit_javascript_result_get_js_value(message));
    answerCalls(WEBKIT_WEB_VIEW(view), id ? id : "");
    g_free(id);
}

int usage()
{
    std::fprintf(stderr, "usage: page_calls_floor calls PATH SEQUENTIAL WARMUP BURST\n"
                         "       page_calls_floor loop PATH COUNT\n");
    return 2;
}

bool isPath(const std::string& path)
{
    for (const char* known : {"message", "xhr", "xhr-poke", "fragment", "fragment-fetch", "frame", "frame-fetch"}) {
        if (path == known)
            return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv)
{
    setenv("NO_AT_BRIDGE", "1", 0);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "page_calls_floor: needs a display\n");
        return 1;
    }
    const std::string mode = argc > 2 ? argv[1] : "";
    const std::string path = argc > 2 ? argv[2] : "";
    const bool loop = mode == "loop" && argc == 4;
    if (!isPath(path) || !(loop || (mode == "calls" && argc == 6)))
        return usage();
    const std::string run = loop ? "runLoopFloor('" + path + "', " + std::to_string(std::atoi(argv[3])) + ")"
                                 : "runFloor('" + path + "', " + std::to_string(std::atoi(argv[3])) + ", " +
                                       std::to_string(std::atoi(argv[4])) + ", " + std::to_string(std::atoi(argv[5])) + ")";

    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context, "benchfloor", serveFloor, nullptr, nullptr);
    BareView bare(context);
    webkit_user_content_manager_register_script_message_handler(bare.messages(), "bench");
    g_signal_connect(bare.messages(), "script-message-received::bench", G_CALLBACK(onFloorMessage), bare.view());
    g_signal_connect(bare.view(), "decide-policy", G_CALLBACK(onFloorDecision), nullptr);
    if (!bare.load("benchfloor://host/floor.html")) {
        std::fprintf(stderr, "page_calls_floor: %s: the page did not load\n", path.c_str());
        return 1;
    }
    // As the application's side: the page and the engine's processes settled (and for a loop burst, what the
    // load freed given back) before idle is read.
    settle();
    if (loop)
        malloc_trim(0);
    const double idle = statusMiB("VmRSS");
    PeakMemory peak;
    bare.evaluate(run);
    std::string error;
    const std::string results = awaitPageResults([&](const std::string& script) { return bare.evaluate(script); }, error,
                                                 loop ? std::chrono::minutes(5) : std::chrono::minutes(1));
    if (results.empty()) {
        std::fprintf(stderr, "page_calls_floor: %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    std::printf("{\"idleMiB\": %.3f, \"peakMiB\": %.3f, \"results\": %s}\n", idle, peak.peakMiB(), results.c_str());
    std::fflush(stdout);
    return 0;
}
