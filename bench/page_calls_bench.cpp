// Page calls in the real engine. The sample bundle's bench page (www/bench.html) runs in the application,
// in this process: the runtime's view controller, command queue, command delegate and XHR bridge on
// WebKitGTK, exactly as hybridhost runs them. The page measures Cache.clear round trips through each
// signal path (median and p90 of 1,000 sequential calls, after 20 warm-up calls) and the rate of a burst
// of 10,000 calls fired without waiting.
//
// Baseline, same run, same process: a bare WebKitGTK view (no platform, no runtime, no bridge) whose page
// makes the same measures against a scheme WebKit serves straight from a handler that answers at once:
// one XHR per call, the answer in the XHR's own response. It is the floor of any page-to-native call on
// this engine. Its "burst" makes the 10,000 calls one after another (WebKit stalls when many requests of
// a handled scheme are open at once).
//
// Runs on a private virtual display started here when there is none.
#include "app/Plugins.h"
#include "platform/Application.h"
#include "platform/FileManager.h"
#include "platform/NotificationCenter.h"
#include "platform/WebView.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "webengine/NestedLoop.h"
#include "webengine/PrivateDisplay.h"
#include "webengine/WebKitGtkWebView.h"

#include <benchmark/benchmark.h>
#include <webkit2/webkit2.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>

namespace {

namespace fs = std::filesystem;

constexpr auto kRunTimeout = std::chrono::minutes(3);

fs::path sampleBundle()
{
    for (fs::path dir = fs::read_symlink("/proc/self/exe").parent_path(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        if (fs::exists(dir / "app/bundle/www/bench.html"))
            return dir / "app/bundle";
    }
    return {};
}

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// One measure of a run: a round trip's median and p90 in ms, or a burst's calls per second.
struct Measure {
    double median = 0;
    double p90 = 0;
    double callsPerSecond = 0;
};
using Results = std::map<std::string, Measure>;

std::map<std::string, Results>& allResults()
{
    static std::map<std::string, Results> results;
    return results;
}

// Waits until the page's window.benchResults is set, asking four times a second (asking more often
// would compete with the calls being measured), then reads every measure.
bool collect(const std::function<std::string(const std::string&)>& eval, Results& results, std::string& error)
{
    bool ask = false;
    const guint ticker = g_timeout_add(250, [](gpointer flag) -> gboolean {
        *static_cast<bool*>(flag) = true;
        return G_SOURCE_CONTINUE;
    }, &ask);
    bool finished = false;
    const bool done = webengine::runNestedLoopUntil([&] {
        if (ask && !finished) {
            ask = false;
            finished = eval("!!window.benchResults") == "true";
        }
        return finished;
    }, kRunTimeout);
    g_source_remove(ticker);
    if (!done) {
        error = "the page did not finish within the time-out; it shows: " + eval("location.href + ' ' + (window.stage || '') + ' ' + document.body.innerText");
        return false;
    }
    error = eval("window.benchResults.error || ''");
    if (!error.empty())
        return false;
    for (const char* mode : {"xhr", "iframe", "hash"}) {
        if (eval("String(!!window.benchResults['" + std::string(mode) + "'])") != "true")
            continue;
        results[mode].median = std::stod(eval("String(benchResults['" + std::string(mode) + "'].median)"));
        results[mode].p90 = std::stod(eval("String(benchResults['" + std::string(mode) + "'].p90)"));
    }
    results["burst"].callsPerSecond = std::stod(eval("String(benchResults.burst.callsPerSecond)"));
    return true;
}

void report(benchmark::State& state, const std::string& name, const Results& results)
{
    for (const auto& [measure, value] : results) {
        if (value.callsPerSecond > 0) {
            state.counters[measure + "_calls_per_s"] = value.callsPerSecond;
        } else {
            state.counters[measure + "_median_ms"] = value.median;
            state.counters[measure + "_p90_ms"] = value.p90;
        }
    }
    allResults()[name] = results;
}

// ---- the application ----------------------------------------------------------------------------------

void BM_BenchPageInTheApplication(benchmark::State& state)
{
    const fs::path root = fs::temp_directory_path() / ("hyb-page-bench-" + std::to_string(getpid()));
    const fs::path bundle = root / "bundle";
    fs::create_directories(bundle / "www");
    fs::copy_file(sampleBundle() / "www/bench.html", bundle / "www/bench.html");
    fs::copy_file(sampleBundle() / "www/hybrid.js", bundle / "www/hybrid.js");
    fs::copy_file(sampleBundle() / "Info.plist", bundle / "Info.plist");
    std::string config = readText(sampleBundle() / "config.xml");
    const std::string start = "<content src=\"index.html\" />";
    config.replace(config.find(start), start.size(), "<content src=\"bench.html\" />");
    std::ofstream(bundle / "config.xml") << config;

    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        auto launched = runtime::launchApplication(bundle.string(), (root / "home").string());
        if (!launched.ok()) {
            state.SkipWithError(launched.error().localizedDescription().c_str());
            break;
        }
        auto webView = std::static_pointer_cast<webengine::WebKitGtkWebView>((*launched)->viewController()->webView());
        GtkWidget* window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(window), webView->widget());
        gtk_widget_show_all(window);

        Results results;
        std::string error;
        const bool ok = collect([&](const std::string& script) { return webView->stringByEvaluatingJavaScriptFromString(script); },
                                results, error);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        platform::Application::shared().terminate();
        gtk_container_remove(GTK_CONTAINER(window), webView->widget());
        webView.reset();
        launched = platform::Error();
        platform::Application::shared().setDelegate(nullptr);
        gtk_widget_destroy(window);
        if (!ok) {
            state.SkipWithError(error.c_str());
            break;
        }
        report(state, "application", results);
    }
    std::error_code ignored;
    fs::remove_all(root, ignored);
}

// ---- the bare WebKitGTK baseline ----------------------------------------------------------------------

// The baseline page: the bench page's measures (samples are the mean of 10 consecutive calls, as there),
// each call one XHR to "/call" answered at once.
const char* const kBarePage = R"(<!DOCTYPE html><html><body><script>
window.benchResults = null;
var sequence = 0;
function call(done) {
  var x = new XMLHttpRequest();
  x.open('GET', '/call?' + (++sequence)); // a new URL each time, so that no cache answers
  x.onloadend = function () { done(x.status === 200); };
  x.send();
}
function percentile(sorted, p) { return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))]; }
function roundTrips(count, done) {
  window.stage = 'round trips ' + count;
  var times = [], i = 0, groupStarted = performance.now(), inGroup = 0;
  function next() {
    if (i === count) { return done(times); }
    call(function (ok) {
      if (!ok) { window.benchResults = { error: 'a call failed' }; return; }
      i += 1; inGroup += 1;
      if (inGroup === 10 || i === count) {
        var now = performance.now();
        times.push((now - groupStarted) / inGroup); groupStarted = now; inGroup = 0;
      }
      Promise.resolve().then(next);
    });
  }
  next();
}
// A bare XHR per call: WebKit stalls when many requests of a handled scheme are open at once, so the
// 10,000 calls go one after another; the rate counts from the first call to the last answer.
function burst(count, done) {
  window.stage = 'burst';
  var answered = 0, started = performance.now();
  function next() {
    if (answered === count) { return done(count / ((performance.now() - started) / 1000)); }
    call(function () { answered += 1; Promise.resolve().then(next); });
  }
  next();
}
roundTrips(20, function () {
  roundTrips(1000, function (times) {
    times.sort(function (a, b) { return a - b; });
    var results = { xhr: { median: percentile(times, 0.5), p90: percentile(times, 0.9) } };
    burst(10000, function (rate) { results.burst = { callsPerSecond: rate }; window.benchResults = results; });
  });
});
</script></body></html>)";

void serveBare(WebKitURISchemeRequest* request, gpointer)
{
    const std::string path = webkit_uri_scheme_request_get_path(request);
    const std::string body = path == "/index.html" ? kBarePage : "answer";
    GInputStream* stream = g_memory_input_stream_new_from_data(g_strdup(body.c_str()), static_cast<gssize>(body.size()), g_free);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(body.size()), path == "/index.html" ? "text/html" : "text/plain");
    g_object_unref(stream);
}

std::string evaluateBare(WebKitWebView* view, const std::string& script)
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

void BM_BareWebKitPage(benchmark::State& state)
{
    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context, "benchbare", serveBare, nullptr, nullptr);
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        WebKitWebView* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, nullptr));
        webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        GtkWidget* window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
        gtk_widget_show_all(window);
        webkit_web_view_load_uri(view, "benchbare://host/index.html");

        Results results;
        std::string error;
        const bool ok = collect([&](const std::string& script) { return evaluateBare(view, script); }, results, error);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        gtk_widget_destroy(window);
        if (!ok) {
            state.SkipWithError(error.c_str());
            break;
        }
        report(state, "bare WebKitGTK", results);
    }
    g_object_unref(context);
}

BENCHMARK(BM_BareWebKitPage)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
BENCHMARK(BM_BenchPageInTheApplication)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

} // namespace

int main(int argc, char** argv)
{
    std::unique_ptr<webengine::PrivateDisplay> display;
    if (!webengine::PrivateDisplay::openDefaultDisplay()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok()) {
            std::fprintf(stderr, "page_calls_bench: %s\n", started.error().localizedDescription().c_str());
            return 1;
        }
        display = std::move(*started);
    }
    setenv("NO_AT_BRIDGE", "1", 0);
    if (!gtk_init_check(&argc, &argv) || sampleBundle().empty()) {
        std::fprintf(stderr, "page_calls_bench: needs a display and the sample bundle app/bundle\n");
        return 1;
    }
    app::registerPlugins();
    webengine::WebKitGtkWebView::installAsEngine();

    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    // The summary: each measure of the application next to the baseline's.
    const Results& app = allResults()["application"];
    const Results& bare = allResults()["bare WebKitGTK"];
    const Measure base = bare.count("xhr") ? bare.at("xhr") : Measure{};
    std::printf("\n%-34s %12s %12s %14s\n", "page call (Cache.clear)", "median ms", "p90 ms", "calls/s");
    for (const char* mode : {"xhr", "iframe", "hash"}) {
        if (!app.count(mode))
            continue;
        const Measure& m = app.at(mode);
        std::printf("%-34s %12.3f %12.3f %14.0f   (x%.2f the baseline's median)\n", (std::string("round trip, ") + mode + " signal").c_str(),
                    m.median, m.p90, m.median > 0 ? 1000 / m.median : 0, base.median > 0 ? m.median / base.median : 0);
    }
    if (bare.count("xhr"))
        std::printf("%-34s %12.3f %12.3f %14.0f\n", "baseline: bare WebKitGTK XHR", base.median, base.p90, base.median > 0 ? 1000 / base.median : 0);
    if (app.count("burst"))
        std::printf("%-34s %12s %12s %14.0f   (x%.2f the baseline's rate)\n", "burst of 10,000 calls (xhr)", "", "",
                    app.at("burst").callsPerSecond,
                    bare.count("burst") && bare.at("burst").callsPerSecond > 0 ? app.at("burst").callsPerSecond / bare.at("burst").callsPerSecond : 0);
    if (bare.count("burst"))
        std::printf("%-34s %12s %12s %14.0f\n", "baseline: 10,000 bare XHRs in a row", "", "", bare.at("burst").callsPerSecond);
    return 0;
}
