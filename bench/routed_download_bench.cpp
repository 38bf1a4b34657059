// A page's XMLHttpRequest download (an ArrayBuffer of 16 and of 64 MiB) and upload (a Uint8Array of 100 MiB,
// POST) on the real engine, three ways in the same run:
// - routed: the application's own file page in the engine's view (WebKitEngine), whose web loads the
//   web-process module sends by the loopback route (LoopbackRoute.h): the engine's network stack carries them to
//   an endpoint of this process, where platform's URL loading fetches them from a loopback server and the body
//   goes back to the engine as it comes, in the transport's window;
// - the engine's network: a bare WebKitGTK view (BareView.h) showing a page of the same server, whose load
//   goes out through the engine's own network stack, none of the application's code on its way;
// - the engine's scheme: a bare view whose page and body come from a URI scheme the bare program serves
//   from memory (a GMemoryInputStream), and that reads an upload's body from the engine's stream to its end:
//   what any body served from or sent to the UI process costs the engine, with nothing of the application's
//   in it.
// The time is the page's, from send() to loadend. Each iteration runs the three ways, the first of them
// taking turns, so that all see the same load of the machine. Besides the times, this process's peak
// resident memory over its idle during each routed load (what the route holds of a body). Prints, for each
// size, the ratios of routed over each of the engine's ways, per iteration and their median.
#include "webengine/PrivateDisplay.h"
#include "webengine/WebKitEngine.h"

#include "BareView.h"
#include "PageCallsMemory.h"
#include "RatioReporter.h"
#include "support/EngineProcesses.h"
#include "support/HTTPTestServer.h"

#include <benchmark/benchmark.h>
#include <gtk/gtk.h>
#include <malloc.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::chrono::minutes kLoadTimeout{2};
constexpr const char* kScheme = "benchbody";

// The page of every way: download(url) fetches the body as an ArrayBuffer and sets window.downloaded to
// "<status>:<bytes>:<milliseconds>".
constexpr const char* kPage = R"(<!DOCTYPE html><html><head><meta charset="utf-8"><title>download</title></head><body><script>
function download(url) {
  window.downloaded = '';
  var request = new XMLHttpRequest();
  request.open('GET', url);
  request.responseType = 'arraybuffer';
  var started = performance.now();
  request.onloadend = function () {
    var bytes = request.response ? request.response.byteLength : 0;
    window.downloaded = request.status + ':' + bytes + ':' + (performance.now() - started);
    request = null;
  };
  request.send();
}
// upload(url, mebibytes) sends that many MiB and sets window.uploaded to "<status>:<answer>:<milliseconds>".
function upload(url, mebibytes) {
  window.uploaded = '';
  var body = new Uint8Array(mebibytes << 20);
  var request = new XMLHttpRequest();
  request.open('POST', url);
  var started = performance.now();
  request.onloadend = function () {
    window.uploaded = request.status + ':' + request.responseText + ':' + (performance.now() - started);
    request = null;
  };
  request.send(body);
}
</script></body></html>)";

constexpr int kUploadMiB = 100;

// The body's path for a size in MiB: "/body/<MiB>".
std::string bodyPath(int mebibytes)
{
    return "/body/" + std::to_string(mebibytes);
}

testsupport::HTTPTestServer& server()
{
    static testsupport::HTTPTestServer* s = [] {
        auto* server = new testsupport::HTTPTestServer;
        for (int mebibytes : {16, 64}) {
            testsupport::Reply body = testsupport::Reply::text(200, std::string(1 << 20, 'd'), "application/octet-stream");
            body.bodyRepeat = static_cast<std::uint64_t>(mebibytes);
            server->route(bodyPath(mebibytes), body.withHeader("Access-Control-Allow-Origin", "*"));
        }
        server->route("/page.html", testsupport::Reply::text(200, kPage, "text/html"));
        server->route("/upload", [](const testsupport::RecordedRequest& request) {
            return testsupport::Reply::text(200, std::to_string(request.body.size())).withHeader("Access-Control-Allow-Origin", "*");
        });
        return server;
    }();
    return *s;
}

// The bare scheme's answers: the page, an upload's length once its body was read to its end, or a body of the
// size its path names, from memory.
void serveScheme(WebKitURISchemeRequest* request, gpointer)
{
    const std::string path = webkit_uri_scheme_request_get_path(request);
    if (path == "/upload") {
        std::size_t read = 0;
        if (GInputStream* body = webkit_uri_scheme_request_get_http_body(request)) {
            static char buffer[64 * 1024];
            for (gssize n; (n = g_input_stream_read(body, buffer, sizeof buffer, nullptr, nullptr)) > 0;)
                read += static_cast<std::size_t>(n);
            g_object_unref(body);
        }
        const std::string answer = std::to_string(read);
        GInputStream* stream = g_memory_input_stream_new_from_data(g_strdup(answer.c_str()), static_cast<gssize>(answer.size()), g_free);
        webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(answer.size()), "text/plain");
        g_object_unref(stream);
        return;
    }
    static const std::string block(64u << 20, 'd');
    const std::size_t size = path == "/page.html" ? std::strlen(kPage) : static_cast<std::size_t>(std::atoi(path.c_str() + 6)) << 20;
    GInputStream* stream = g_memory_input_stream_new_from_data(path == "/page.html" ? kPage : block.data(),
                                                               static_cast<gssize>(std::min(size, block.size())), nullptr);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(std::min(size, block.size())),
                                     path == "/page.html" ? "text/html" : "application/octet-stream");
    g_object_unref(stream);
}

const fs::path& benchFolder()
{
    static const fs::path folder = fs::temp_directory_path() / ("hyb-download-bench-" + std::to_string(getpid()));
    return folder;
}

// Loads everything it is asked to and answers no load itself: the page's web loads go to platform's loading.
class LoadingClient final : public webengine::EngineClient {
public:
    bool shouldStartLoad(const webengine::NavigationRequest&) override { return true; }
    void didStartLoad() override {}
    void didFinishLoad() override { ++finished; }
    void didFailLoad(const platform::Error&) override { ++failed; }
    bool handleResourceRequest(const std::shared_ptr<webengine::RoutedRequest>&) override { return false; }
    int finished = 0;
    int failed = 0;
};

struct Download {
    double milliseconds = 0;
    double heldMiB = 0; // this process's peak resident memory over its idle before the load
    std::string error;
};

// Starts `call` in the page, waits for `variable` to be set and reads it: `expected`, then the milliseconds.
Download runTransfer(const std::function<std::string(const std::string&)>& eval, const std::string& call, const std::string& variable,
                     const std::string& expected)
{
    Download outcome;
    malloc_trim(0);
    const double idle = pagecalls::statusMiB("VmRSS");
    pagecalls::PeakMemory peak;
    eval(call + "; 1");
    // Asked 20 times a second: each question is a trip to the page's process, which the download keeps busy
    // (the time is the page's own, taken at its end).
    bool ask = false;
    const guint ticker = g_timeout_add(50, [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_CONTINUE;
    }, &ask);
    std::string text;
    const bool ended = pagecalls::turnUntil([&] {
        if (std::exchange(ask, false))
            text = eval("window." + variable);
        return !text.empty();
    }, kLoadTimeout);
    g_source_remove(ticker);
    outcome.heldMiB = peak.peakMiB() - idle;
    if (!ended || text.rfind(expected, 0) != 0) {
        outcome.error = call + ": " + (ended ? text : "no end within the time-out");
        return outcome;
    }
    outcome.milliseconds = std::strtod(text.c_str() + expected.size(), nullptr);
    eval("window." + variable + " = ''; 1");
    return outcome;
}

Download runDownload(const std::function<std::string(const std::string&)>& eval, const std::string& url, int mebibytes)
{
    return runTransfer(eval, "download('" + url + "')", "downloaded", "200:" + std::to_string(static_cast<std::size_t>(mebibytes) << 20) + ":");
}

Download runUpload(const std::function<std::string(const std::string&)>& eval, const std::string& url, int mebibytes)
{
    const std::string bytes = std::to_string(static_cast<std::size_t>(mebibytes) << 20);
    return runTransfer(eval, "upload('" + url + "', " + std::to_string(mebibytes) + ")", "uploaded", "200:" + bytes + ":");
}

// The routed way: the application's file page in the engine's view.
class RoutedWay {
public:
    RoutedWay()
    {
        fs::create_directories(benchFolder());
        std::ofstream(benchFolder() / "page.html") << kPage;
        m_engine = std::make_unique<webengine::WebKitEngine>(m_client, webengine::WebsiteDataLocation{});
        m_window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(m_window), m_engine->widget());
        gtk_widget_show_all(m_window);
        m_engine->load("file://" + (benchFolder() / "page.html").string());
        m_loaded = pagecalls::turnUntil([this] { return m_client.finished + m_client.failed > 0; }, std::chrono::seconds(30)) &&
                   m_client.finished > 0;
    }
    ~RoutedWay()
    {
        m_engine.reset();
        gtk_widget_destroy(m_window);
    }
    RoutedWay(const RoutedWay&) = delete;
    RoutedWay& operator=(const RoutedWay&) = delete;

    Download download(int mebibytes)
    {
        if (!m_loaded)
            return {0, 0, "the routed page did not load"};
        return runDownload(evaluator(), server().url(bodyPath(mebibytes)), mebibytes);
    }
    Download upload(int mebibytes)
    {
        if (!m_loaded)
            return {0, 0, "the routed page did not load"};
        return runUpload(evaluator(), server().url("/upload"), mebibytes);
    }

private:
    std::function<std::string(const std::string&)> evaluator()
    {
        return [this](const std::string& script) {
            auto value = m_engine->evaluate(script);
            return value.ok() ? *value : std::string();
        };
    }

    LoadingClient m_client;
    std::unique_ptr<webengine::WebKitEngine> m_engine;
    GtkWidget* m_window = nullptr;
    bool m_loaded = false;
};

// One of the engine's own ways: a bare view (in a context of its own) of the page at `origin`, whose body
// comes from the same origin.
class BareWay {
public:
    BareWay(std::string origin, bool servesScheme)
        : m_origin(std::move(origin)), m_context(webkit_web_context_new_ephemeral())
    {
        if (servesScheme)
            webkit_web_context_register_uri_scheme(m_context, kScheme, serveScheme, nullptr, nullptr);
        m_view = std::make_unique<pagecalls::BareView>(m_context);
        m_loaded = m_view->load(m_origin + "/page.html");
    }
    ~BareWay()
    {
        m_view.reset();
        g_object_unref(m_context);
    }
    BareWay(const BareWay&) = delete;
    BareWay& operator=(const BareWay&) = delete;

    Download download(int mebibytes)
    {
        if (!m_loaded)
            return {0, 0, "the bare view's page did not load: " + m_origin};
        return runDownload([this](const std::string& script) { return m_view->evaluate(script); }, m_origin + bodyPath(mebibytes), mebibytes);
    }
    Download upload(int mebibytes)
    {
        if (!m_loaded)
            return {0, 0, "the bare view's page did not load: " + m_origin};
        return runUpload([this](const std::string& script) { return m_view->evaluate(script); }, m_origin + "/upload", mebibytes);
    }

private:
    std::string m_origin;
    WebKitWebContext* m_context;
    std::unique_ptr<pagecalls::BareView> m_view;
    bool m_loaded = false;
};

struct Iteration {
    Download routed;
    Download network;
    Download scheme;
};

// By direction ("download", "upload") and size.
std::map<std::pair<std::string, int>, std::vector<Iteration>>& iterations()
{
    static std::map<std::pair<std::string, int>, std::vector<Iteration>> all;
    return all;
}

RoutedWay& routedWay()
{
    static RoutedWay routed;
    return routed;
}

BareWay& networkWay()
{
    static BareWay network(server().url(""), false);
    return network;
}

BareWay& schemeWay()
{
    static BareWay scheme(std::string(kScheme) + "://host", true);
    return scheme;
}

void runWays(benchmark::State& state, const std::string& direction)
{
    const bool upload = direction == "upload";
    const int mebibytes = static_cast<int>(state.range(0));
    auto& done = iterations()[{direction, mebibytes}];
    for (auto _ : state) {
        Iteration iteration;
        const std::function<void()> ways[] = {
            [&] { iteration.routed = upload ? routedWay().upload(mebibytes) : routedWay().download(mebibytes); },
            [&] { iteration.network = upload ? networkWay().upload(mebibytes) : networkWay().download(mebibytes); },
            [&] { iteration.scheme = upload ? schemeWay().upload(mebibytes) : schemeWay().download(mebibytes); }};
        for (std::size_t i = 0; i < 3; ++i)
            ways[(done.size() + i) % 3]();
        const std::string error = iteration.routed.error + " " + iteration.network.error + " " + iteration.scheme.error;
        if (error != "  ") {
            state.SkipWithError(error.c_str());
            return;
        }
        state.SetIterationTime(iteration.routed.milliseconds / 1000);
        state.counters["network_ms"] = iteration.network.milliseconds;
        state.counters["scheme_ms"] = iteration.scheme.milliseconds;
        state.counters["routed_held_MiB"] = iteration.routed.heldMiB;
        done.push_back(iteration);
    }
}

void BM_XHRDownload(benchmark::State& state)
{
    runWays(state, "download");
}

void BM_XHRUpload(benchmark::State& state)
{
    runWays(state, "upload");
}

BENCHMARK(BM_XHRDownload)->Arg(16)->Arg(64)->UseManualTime()->Iterations(1)->Repetitions(5)->Unit(benchmark::kMillisecond);
// Three times: the loopback server keeps what it was sent.
BENCHMARK(BM_XHRUpload)->Arg(kUploadMiB)->UseManualTime()->Iterations(1)->Repetitions(3)->Unit(benchmark::kMillisecond);

struct Range {
    double median = 0, least = 0, most = 0;
};

Range rangeOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? Range{} : Range{values[values.size() / 2], values.front(), values.back()};
}

} // namespace

int main(int argc, char** argv)
{
    std::unique_ptr<webengine::PrivateDisplay> display;
    if (!webengine::PrivateDisplay::openDefaultDisplay()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok()) {
            std::fprintf(stderr, "routed_download_bench: %s\n", started.error().localizedDescription().c_str());
            return 1;
        }
        display = std::move(*started);
    }
    setenv("NO_AT_BRIDGE", "1", 0);
    if (!gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "routed_download_bench: needs a display\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const auto& [key, done] : iterations()) {
        const auto& [direction, mebibytes] = key;
        if (done.empty())
            continue;
        std::vector<double> routed, network, scheme, overNetwork, overScheme, held;
        for (const Iteration& iteration : done) {
            routed.push_back(iteration.routed.milliseconds);
            network.push_back(iteration.network.milliseconds);
            scheme.push_back(iteration.scheme.milliseconds);
            overNetwork.push_back(iteration.routed.milliseconds / iteration.network.milliseconds);
            overScheme.push_back(iteration.routed.milliseconds / iteration.scheme.milliseconds);
            held.push_back(iteration.routed.heldMiB);
        }
        const Range r = rangeOf(routed), n = rangeOf(network), s = rangeOf(scheme), rn = rangeOf(overNetwork), rs = rangeOf(overScheme),
                    h = rangeOf(held);
        std::printf("%d MiB XHR %s, median of %zu (range): routed %.0f ms (%.0f-%.0f), the engine's network %.0f ms (%.0f-%.0f), "
                    "the engine's scheme %.0f ms (%.0f-%.0f); routed / network %.2f (%.2f-%.2f), routed / scheme %.2f (%.2f-%.2f); "
                    "the UI process's peak over idle in a routed load %.1f MiB (at most %.1f)\n",
                    mebibytes, direction.c_str(), done.size(), r.median, r.least, r.most, n.median, n.least, n.most, s.median, s.least, s.most, rn.median, rn.least,
                    rn.most, rs.median, rs.least, rs.most, h.median, h.most);
    }
    hybtest::removeNowAndAfterEngine(benchFolder().string());
    return reporter.exitStatus();
}
