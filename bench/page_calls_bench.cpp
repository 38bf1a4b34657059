// Page calls in the real engine. The sample bundle's bench page (www/bench.html) runs in the application,
// in this process: the runtime's view controller, command queue, command delegate and XHR bridge on
// WebKitGTK, exactly as hybridhost runs them. For each signal path (XHR with the batch in its header, XHR
// poke and fetch, frame, fragment) the page measures Cache.clear round trips (median and p90 of 1,000
// sequential calls, after 20 warm-up calls) and the rate of a burst of 10,000 calls fired without waiting;
// the bench also times start-up to the page's load.
//
// Two baselines, same run, same process, each a bare WebKitGTK view (no platform, no runtime, no bridge)
// whose page makes the same measures:
// - bare XHR: each call one XHR to a scheme WebKit serves straight from a handler that answers at once, the
//   answer in the XHR's own response. Its "burst" makes the calls one after another (WebKit stalls when
//   many requests of a handled scheme are open at once).
// - script message: each call a message to a script-message handler, answered by one evaluation per call
//   (the mechanism of the fastest web-view hosts on Linux). Its burst fires every call in one task; its
//   "each" burst makes one call in each task of the page, as the bench page's "-each" bursts do, and is
//   their baseline.
//
// Runs on a private virtual display started here when there is none.
#include "app/Plugins.h"
#include "platform/Application.h"
#include "platform/FileManager.h"
#include "platform/JSON.h"
#include "platform/NotificationCenter.h"
#include "platform/WebView.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "webengine/NestedLoop.h"
#include "webengine/PrivateDisplay.h"
#include "webengine/WebKitGtkWebView.h"

#include "RatioReporter.h"
#include "support/EngineProcesses.h"

#include <benchmark/benchmark.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

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
    double startupMs = 0; // "start-up": from making the view (or launching) to the page's load
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
    auto parsed = platform::JSON::parse(eval("JSON.stringify(window.benchResults)"));
    const platform::Dictionary* measures = parsed.ok() ? parsed->getDictionary() : nullptr;
    if (!measures) {
        error = "the page's results do not read";
        return false;
    }
    for (const auto& [name, value] : *measures) {
        Measure& measure = results[name];
        measure.median = value["median"].doubleValue();
        measure.p90 = value["p90"].doubleValue();
        measure.callsPerSecond = value["callsPerSecond"].doubleValue();
    }
    return true;
}

void report(benchmark::State& state, const std::string& name, const Results& results)
{
    for (const auto& [measure, value] : results) {
        if (value.startupMs > 0) {
            state.counters[measure + "_ms"] = value.startupMs;
        } else if (value.callsPerSecond > 0) {
            state.counters[measure + "_calls_per_s"] = value.callsPerSecond;
        } else {
            state.counters[measure + "_median_ms"] = value.median;
            state.counters[measure + "_p90_ms"] = value.p90;
        }
    }
    allResults()[name] = results;
}

double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// ---- the application ----------------------------------------------------------------------------------

void benchPageInTheApplication(benchmark::State& state, const std::string& name)
{
    const fs::path root = fs::temp_directory_path() / ("hyb-page-bench-" + std::to_string(getpid()));
    const fs::path bundle = root / "bundle";
    fs::create_directories(bundle / "www");
    fs::copy_file(sampleBundle() / "www/bench.html", bundle / "www/bench.html");
    fs::copy_file(sampleBundle() / "www/hybrid.js", bundle / "www/hybrid.js");
    fs::copy_file(sampleBundle() / "Info.plist", bundle / "Info.plist");
    fs::copy_file(sampleBundle() / "PushConfig.plist", bundle / "PushConfig.plist"); // config.xml declares the push service
    std::string config = readText(sampleBundle() / "config.xml");
    const std::string start = "<content src=\"index.html\" />";
    config.replace(config.find(start), start.size(), "<content src=\"bench.html\" />");
    std::ofstream(bundle / "config.xml") << config;

    int launches = 0;
    Results results;
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
        double loadedMs = 0;
        platform::NotificationCenter::defaultCenter().addObserver(&loadedMs, runtime::kHYBPageDidLoadNotification, nullptr,
                                                                  [&](const platform::Notification&) {
            if (loadedMs == 0)
                loadedMs = millisecondsSince(started);
        });

        std::string error;
        const bool ok = collect([&](const std::string& script) { return webView->stringByEvaluatingJavaScriptFromString(script); },
                                results, error);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        platform::NotificationCenter::defaultCenter().removeObserver(&loadedMs);
        // The first launch on a fresh home also asks a new web view for the engine's user agent, once for
        // good; the second is the application's usual start.
        results[launches++ == 0 ? "first start-up" : "start-up"].startupMs = loadedMs;
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
        report(state, name, results);
    }
    // The engine's network process keeps writing into the home until it ends, with this program.
    hybtest::removeNowAndAfterEngine(root.string());
}

// ---- the baselines -----------------------------------------------------------------------------------

// The baselines' measures (samples are the mean of 50 consecutive calls, as in the bench page), around a
// call(done) that each baseline page defines; fire(count, done) is its burst.
const char* const kBaselineMeasures = R"(
window.benchResults = null;
function percentile(sorted, p) { return sorted[Math.min(sorted.length - 1, Math.floor(sorted.length * p))]; }
function roundTrips(count, done) {
  window.stage = 'round trips ' + count;
  var times = [], i = 0, groupStarted = performance.now(), inGroup = 0;
  function next() {
    if (i === count) { return done(times); }
    call(function (ok) {
      if (!ok) { window.benchResults = { error: 'a call failed' }; return; }
      i += 1; inGroup += 1;
      if (inGroup === 50 || i === count) {
        var now = performance.now();
        times.push((now - groupStarted) / inGroup); groupStarted = now; inGroup = 0;
      }
      Promise.resolve().then(next);
    });
  }
  next();
}
roundTrips(20, function () {
  roundTrips(1000, function (times) {
    times.sort(function (a, b) { return a - b; });
    var results = { call: { median: percentile(times, 0.5), p90: percentile(times, 0.9) } };
    window.stage = 'burst';
    var started = performance.now();
    fire(10000, function () {
      results.burst = { callsPerSecond: 10000 / ((performance.now() - started) / 1000) };
      if (!window.fireEach) { window.benchResults = results; return; }
      window.stage = 'burst, a call per task';
      started = performance.now();
      fireEach(10000, function () { results['burst-each'] = { callsPerSecond: 10000 / ((performance.now() - started) / 1000) }; window.benchResults = results; });
    });
  });
});
)";

// Bare XHR: each call one XHR to "/call", answered at once by the scheme handler.
const char* const kBareXHRCalls = R"(
var sequence = 0;
function call(done) {
  var x = new XMLHttpRequest();
  x.open('GET', '/call?' + (++sequence)); // a new URL each time, so that no cache answers
  x.onloadend = function () { done(x.status === 200); };
  x.send();
}
// WebKit stalls when many requests of a handled scheme are open at once: the calls go one after another.
function fire(count, done) {
  var answered = 0;
  function next() {
    if (answered === count) { return done(); }
    call(function () { answered += 1; Promise.resolve().then(next); });
  }
  next();
}
)";

// Script message: each call a message with its number; native code answers each with one evaluation of
// answer(number).
const char* const kScriptMessageCalls = R"(
var sequence = 0, waiting = {};
function call(done) {
  var id = ++sequence;
  waiting[id] = done;
  window.webkit.messageHandlers.bench.postMessage(id);
}
function answer(id) { var done = waiting[id]; delete waiting[id]; done(true); }
function fire(count, done) {
  var answered = 0;
  for (var i = 0; i < count; i++) {
    call(function () { if (++answered === count) { done(); } });
  }
}
// The same, one call in each task of the page; tasks made as the bench page makes them (a message to itself).
var taskToRun = null;
window.addEventListener('message', function (event) {
  if (event.source === window && event.data === 'bench-task' && taskToRun) { var fn = taskToRun; taskToRun = null; fn(); }
});
function fireEach(count, done) {
  var answered = 0, made = 0;
  function one() {
    call(function () { if (++answered === count) { done(); } });
    made += 1;
    if (made < count) { taskToRun = one; window.postMessage('bench-task', '*'); }
  }
  one();
}
)";

std::string baselinePage(const char* calls)
{
    return std::string("<!DOCTYPE html><html><body><script>") + calls + kBaselineMeasures + "</script></body></html>";
}

void serveBaseline(WebKitURISchemeRequest* request, gpointer)
{
    const std::string path = webkit_uri_scheme_request_get_path(request);
    std::string body = "answer";
    if (path == "/xhr.html")
        body = baselinePage(kBareXHRCalls);
    else if (path == "/message.html")
        body = baselinePage(kScriptMessageCalls);
    const bool page = path.size() > 5 && path.compare(path.size() - 5, 5, ".html") == 0;
    GInputStream* stream = g_memory_input_stream_new_from_data(g_strdup(body.c_str()), static_cast<gssize>(body.size()), g_free);
    webkit_uri_scheme_request_finish(request, stream, static_cast<gint64>(body.size()), page ? "text/html" : "text/plain");
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

void onScriptMessage(WebKitUserContentManager*, WebKitJavascriptResult* message, gpointer view)
{
    const int id = jsc_value_to_int32(webkit_javascript_result_get_js_value(message));
    const std::string script = "answer(" + std::to_string(id) + ")";
    webkit_web_view_evaluate_javascript(WEBKIT_WEB_VIEW(view), script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void runBaseline(benchmark::State& state, const std::string& name, const std::string& page, bool scriptMessages)
{
    WebKitWebContext* context = webkit_web_context_new_ephemeral();
    webkit_web_context_register_uri_scheme(context, "benchbase", serveBaseline, nullptr, nullptr);
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        WebKitUserContentManager* messages = webkit_user_content_manager_new();
        WebKitWebView* view = WEBKIT_WEB_VIEW(g_object_new(WEBKIT_TYPE_WEB_VIEW, "web-context", context, "user-content-manager", messages, nullptr));
        if (scriptMessages) {
            webkit_user_content_manager_register_script_message_handler(messages, "bench");
            g_signal_connect(messages, "script-message-received::bench", G_CALLBACK(onScriptMessage), view);
        }
        webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
        GtkWidget* window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
        gtk_widget_show_all(window);
        double loadedMs = 0;
        struct Load {
            double* loadedMs;
            std::chrono::steady_clock::time_point started;
        } load{&loadedMs, started};
        g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
            auto* l = static_cast<Load*>(data);
            if (event == WEBKIT_LOAD_FINISHED && *l->loadedMs == 0)
                *l->loadedMs = millisecondsSince(l->started);
        }), &load);
        webkit_web_view_load_uri(view, ("benchbase://host/" + page).c_str());

        Results results;
        std::string error;
        const bool ok = collect([&](const std::string& script) { return evaluateBare(view, script); }, results, error);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
        g_signal_handlers_disconnect_by_data(view, &load);
        results["start-up"].startupMs = loadedMs;
        gtk_widget_destroy(window);
        g_object_unref(messages);
        if (!ok) {
            state.SkipWithError(error.c_str());
            break;
        }
        report(state, name, results);
    }
    g_object_unref(context);
}

void BM_BaselineBareXHR(benchmark::State& state)
{
    runBaseline(state, "bare XHR", "xhr.html", false);
}

} // namespace

// The rounds: the script-message baseline and the application alternate, so that both see the same load
// of the machine; each ratio is taken within its round and the summary gives the median of the rounds.
constexpr int kRounds = 3;

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

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

    benchmark::RegisterBenchmark("BM_BaselineBareXHR", BM_BaselineBareXHR)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
    for (int round = 0; round < kRounds; ++round) {
        const std::string suffix = "/round:" + std::to_string(round + 1);
        benchmark::RegisterBenchmark(("BM_BaselineScriptMessage" + suffix).c_str(), [round](benchmark::State& state) {
            runBaseline(state, "script message " + std::to_string(round), "message.html", true);
        })->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
        benchmark::RegisterBenchmark(("BM_BenchPageInTheApplication" + suffix).c_str(), [round](benchmark::State& state) {
            benchPageInTheApplication(state, "application " + std::to_string(round));
        })->UseManualTime()->Iterations(2)->Unit(benchmark::kSecond);
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    // The summary: each measure of the application next to the baselines', as the median over the rounds
    // of the value and of its ratio to the same round's script-message baseline.
    auto get = [](const std::string& results, const std::string& name) {
        const auto found = allResults().find(results);
        if (found == allResults().end() || !found->second.count(name))
            return Measure{};
        return found->second.at(name);
    };
    struct Summary {
        double value = 0;
        double ratio = 0;
    };
    // Names of the measures printed without a value: any fails the program.
    std::vector<std::string> unmeasured;
    auto summarise = [&](const std::string& name, const std::string& baselineName, double Measure::*field) {
        std::vector<double> values, ratios;
        for (int round = 0; round < kRounds; ++round) {
            const double value = get("application " + std::to_string(round), name).*field;
            const double base = get("script message " + std::to_string(round), baselineName).*field;
            if (value > 0)
                values.push_back(value);
            if (value > 0 && base > 0)
                ratios.push_back(value / base);
        }
        if ((values.empty() || ratios.empty()) && std::find(unmeasured.begin(), unmeasured.end(), "application " + name) == unmeasured.end())
            unmeasured.push_back("application " + name);
        return Summary{medianOf(values), medianOf(ratios)};
    };
    auto baseline = [&](const std::string& name, double Measure::*field) {
        std::vector<double> values;
        for (int round = 0; round < kRounds; ++round)
            if (const double value = get("script message " + std::to_string(round), name).*field; value > 0)
                values.push_back(value);
        if (values.empty())
            unmeasured.push_back("script message " + name);
        return medianOf(values);
    };
    std::printf("\nPage calls (Cache.clear), median of %d rounds. Ratio: the application's value over the script-message"
                " baseline's of the same round.\n", kRounds);
    std::printf("%-22s %10s %10s %8s   %-14s %14s %8s\n", "sequential call", "median ms", "p90 ms", "ratio", "burst", "calls/s", "ratio");
    for (const char* path : {"xhr", "xhr-poke", "iframe", "hash"}) {
        const Summary call = summarise(path, "call", &Measure::median);
        const Summary p90 = summarise(path, "call", &Measure::p90);
        const Summary burst = summarise(std::string("burst-") + path, "burst", &Measure::callsPerSecond);
        std::printf("%-22s %10.3f %10.3f %8.2f   %-14s %14.0f %8.2f\n", path, call.value, p90.value, call.ratio, path, burst.value, burst.ratio);
    }
    for (const char* path : {"xhr", "iframe", "hash"}) {
        const Summary burst = summarise(std::string("burst-") + path + "-each", "burst-each", &Measure::callsPerSecond);
        std::printf("%-22s %10s %10s %8s   %-14s %14.0f %8.2f\n", "", "", "", "", (std::string(path) + "-each").c_str(), burst.value, burst.ratio);
    }
    const Measure xhrBase = get("bare XHR", "call"), xhrBurst = get("bare XHR", "burst");
    std::printf("%-22s %10.3f %10.3f %8s   %-14s %14.0f\n", "baseline: script msg", baseline("call", &Measure::median),
                baseline("call", &Measure::p90), "", "", baseline("burst", &Measure::callsPerSecond));
    std::printf("%-22s %10s %10s %8s   %-14s %14.0f\n", "", "", "", "", "each", baseline("burst-each", &Measure::callsPerSecond));
    std::printf("%-22s %10.3f %10.3f %8s   %-14s %14.0f\n", "baseline: bare XHR", xhrBase.median, xhrBase.p90, "", "", xhrBurst.callsPerSecond);
    const Summary start = summarise("start-up", "start-up", &Measure::startupMs);
    std::printf("start-up to page loaded: application %.0f ms (ratio %.2f), its first launch on a fresh home %.0f ms;"
                " script message %.0f ms; bare XHR %.0f ms\n", start.value, start.ratio,
                summarise("first start-up", "start-up", &Measure::startupMs).value, baseline("start-up", &Measure::startupMs),
                get("bare XHR", "start-up").startupMs);
    std::printf("goals: sequential ratio <= 1.10, burst ratio >= 1.00, start-up ratio <= 1.05\n");
    if (xhrBase.median <= 0 || xhrBurst.callsPerSecond <= 0)
        unmeasured.push_back("bare XHR");
    if (!unmeasured.empty()) {
        std::string names;
        for (const std::string& name : unmeasured)
            names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, "page_calls_bench: nothing measured for %s\n", names.c_str());
        return 1;
    }
    return reporter.exitStatus();
}
