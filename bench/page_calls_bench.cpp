// Page calls in the real engine, each signal path of the bridge against its floor, in the same run.
//
// The application: the runtime's view controller, command queue, command delegate and XHR bridge on
// WebKitGTK, as hybridhost runs them, with the sample bundle's bench page (www/bench.html) and a page of the
// bench's own (calls.html, written into the bundle the bench builds).
// - Sequential calls, through hybrid.js (bench.html): Cache.clear round trips on each path (xhr, xhr-poke,
//   iframe, hash, hash-fetch), median and p90 of the means of 50 consecutive calls, 1,000 calls after 20
//   warm-up calls.
// - Bursts, as a page written without hybrid.js makes them (calls.html): 10,000 calls, one in each task of
//   the page, each with its own signal (see PageCallsPages.h); each path in a launch of its own.
// - Loop bursts, from the same page: 100,000 calls made in one loop of one task, each with its own signal,
//   each answered once and in order; the rate, and how much the UI process grew (its peak over its
//   resident memory once the page has settled).
// - Memory: the UI process's resident memory once the page has loaded and the process has settled (idle,
//   before any call: PageCallsMemory.h's settle), its peak during the burst and what it still holds 6 s after
//   the burst; the same for bursts through hybrid.js (bench.html's), with the C allocator's bytes in use.
// - Start-up: from launching to the page's load, on a fresh home (first launch) and again (usual launch).
//
// The floors (PageCallsFloors.h): for each signal path, the floor program (page_calls_floor), a bare
// WebKitGTK program of its own whose page measures the same way, each signal answered by the least native
// code can do: the engine's own cost of the signal. The start-up floor: a bare host loading the same page
// file from disk, first in a new context with a fresh persistent data folder, then again.
//
// Every measured run is a process of its own, started by this one (which shows no page itself) once the
// processes of the run before it, the engine's included, have all ended (runSettled, PageCallsSupport.h):
// the floor program for each floor, and this program again ("--run", below) for the start-up floor, the
// application's launches and each burst. So no run finds another's processes at work or holding memory.
//
// Goals: sequential call <= 1.2x its floor, burst rate >= 0.8x its floor's, peak memory in each burst
// (and what is still held 6 s after it) <= 1.1x idle, a loop burst's rate >= 0.8x its floor's and the UI
// process's growth in it <= 1.5x the floor program's, start-up <= 1.1x. The rounds alternate floors and
// application so that both see the same load of the machine; each ratio is taken within its round, and the
// table gives the medians of the rounds. The program fails only when something was not measured, not when a
// goal is missed.
//
// The application's log (two lines for each call, from the Cache plug-in) goes to a file while the bench runs,
// build/bench/bench/page_calls_bench.log, each line once, with the count of its repeats at the end.
// Runs on a private virtual display started here when there is none.
#include "app/Plugins.h"
#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/web/WebView.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "webengine/NestedLoop.h"
#include "webengine/PrivateDisplay.h"
#include "webengine/WebKitGtkWebView.h"

#include "PageCallsFloors.h"
#include "PageCallsPages.h"
#include "PageCallsSupport.h"
#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace {

namespace fs = std::filesystem;
using pagecalls::Measure;
using pagecalls::Results;

constexpr int kRounds = 3;
// The application's paths: sequential ones through hybrid.js, bursts of the bench's own page.
const std::vector<std::string> kSequentialPaths{"xhr", "xhr-poke", "iframe", "hash", "hash-fetch"};
// The frame burst last: the memory it takes stays with the process, and would raise the idle of the
// launches after it.
const std::vector<std::string> kBurstPaths{"xhr", "xhr-poke", "hash", "hash-fetch", "frame"};
// The bursts through hybrid.js whose memory is followed after they end.
const std::vector<std::string> kHybridBurstPaths{"xhr", "xhr-poke"};
// The loop bursts, with the floor path of the same signal.
const std::vector<std::pair<std::string, std::string>> kLoopPaths{
    {"xhr", "xhr"}, {"xhr-poke", "xhr-poke"}, {"hash", "fragment"}, {"hash-fetch", "fragment-fetch"}, {"frame", "frame-fetch"}};

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

// The bench's folder: the bundle it builds, the application's homes and the bare hosts' data folders; a
// measured run is told its bench's.
fs::path& benchRoot()
{
    static fs::path root = fs::temp_directory_path() / ("hyb-page-bench-" + std::to_string(getpid()));
    return root;
}

// The application's log, beside this program (in the build tree, kept for reading after the run).
fs::path logPath()
{
    return fs::read_symlink("/proc/self/exe").parent_path() / "page_calls_bench.log";
}

fs::path benchBundle() { return benchRoot() / "bundle"; }

// The sample bundle's bench page and what it needs, and calls.html, the start page.
void buildBundle()
{
    const fs::path bundle = benchBundle();
    fs::create_directories(bundle / "www");
    fs::copy_file(sampleBundle() / "www/bench.html", bundle / "www/bench.html");
    fs::copy_file(sampleBundle() / "www/hybrid.js", bundle / "www/hybrid.js");
    fs::copy_file(sampleBundle() / "Info.plist", bundle / "Info.plist");
    fs::copy_file(sampleBundle() / "PushConfig.plist", bundle / "PushConfig.plist"); // config.xml declares the push service
    std::string config = readText(sampleBundle() / "config.xml");
    const std::string start = "<content src=\"index.html\" />";
    config.replace(config.find(start), start.size(), "<content src=\"calls.html\" />");
    std::ofstream(bundle / "config.xml") << config;
    std::ofstream(bundle / "www/calls.html") << "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>Page calls</title></head>"
                                                "<body><script>"
                                             << pagecalls::kMeasures << pagecalls::kApplicationCalls << "</script></body></html>";
}

std::map<std::string, Results>& allResults()
{
    static std::map<std::string, Results> results;
    return results;
}

std::string resultsKey(const char* side, int round) { return std::string(side) + " " + std::to_string(round); }

void report(benchmark::State& state, const std::string& key, const Results& results)
{
    for (const auto& [name, value] : results) {
        if (value.rssMiB > 0) {
            state.counters[name + "_MiB"] = value.rssMiB;
        } else if (value.startupMs > 0) {
            state.counters[name + "_ms"] = value.startupMs;
        } else if (value.callsPerSecond > 0) {
            state.counters[name + "_calls_per_s"] = value.callsPerSecond;
        } else {
            state.counters[name + "_median_ms"] = value.median;
            state.counters[name + "_p90_ms"] = value.p90;
        }
    }
    allResults()[key] = results;
}

// ---- the floors ---------------------------------------------------------------------------------------

// A measured run of this program (see runMeasured): its results into `results`; a failure noted in `error`.
void runThisProgram(const std::vector<std::string>& what, int round, Results& results, std::string& error)
{
    std::vector<std::string> arguments{fs::read_symlink("/proc/self/exe").string(), "--run", benchRoot().string(), std::to_string(round)};
    arguments.insert(arguments.end(), what.begin(), what.end());
    std::string output, failed;
    if (!pagecalls::runSettled(arguments, output, failed) || !pagecalls::readMeasures(output, results, failed))
        error += (error.empty() ? "" : "; ") + what.front() + (what.size() > 1 ? " " + what[1] : "") + ": " + failed;
}

void BM_Floors(benchmark::State& state, int round)
{
    Results results;
    std::string error;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        pagecalls::measureFloors(results, error);
        pagecalls::measureLoopFloors(results, error);
        runThisProgram({"start-up-floor"}, round, results, error);
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    report(state, resultsKey("floor", round), results);
    if (!error.empty())
        state.SkipWithError(error.c_str());
}

// The start-up floor's run: a bare host's first start (a new context with a fresh persistent data folder) and
// its usual start (the same context again), in a process where the engine is ready, as the application's
// launches find it (see warmEngine).
void measureStartUpFloor(int round, Results& results, std::string& error)
{
    pagecalls::warmEngine();
    WebKitWebContext* context = nullptr; // kept for the process, as the application's context is
    const std::string page = "file://" + (benchBundle() / "www/calls.html").string();
    const std::string folder = (benchRoot() / ("bare-" + std::to_string(round))).string();
    for (const char* name : {"first start-up", "start-up"}) {
        results[name].startupMs = pagecalls::bareStartUp(context, folder, page);
        if (results[name].startupMs == 0)
            error += (error.empty() ? "" : "; ") + std::string("the bare host's ") + name + ": the page did not load";
    }
}

// ---- the application ----------------------------------------------------------------------------------

// The application launched on a home, its view in an off-screen window; terminated with the object.
class LaunchedApplication {
public:
    explicit LaunchedApplication(const fs::path& home)
        : m_started(std::chrono::steady_clock::now())
        , m_launched(runtime::launchApplication(benchBundle().string(), home.string()))
    {
        if (!m_launched.ok())
            return;
        platform::NotificationCenter::defaultCenter().addObserver(this, runtime::kHYBPageDidLoadNotification, nullptr,
                                                                  [this](const platform::Notification&) {
            if (m_loads++ == 0)
                m_loadedMs = pagecalls::millisecondsSince(m_started);
        });
        m_webView = std::static_pointer_cast<webengine::WebKitGtkWebView>((*m_launched)->viewController()->webView());
        m_window = gtk_offscreen_window_new();
        gtk_container_add(GTK_CONTAINER(m_window), m_webView->widget());
        gtk_widget_show_all(m_window);
    }
    ~LaunchedApplication()
    {
        if (!m_launched.ok())
            return;
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        platform::Application::shared().terminate();
        gtk_container_remove(GTK_CONTAINER(m_window), m_webView->widget());
        m_webView.reset();
        m_launched = platform::Error();
        platform::Application::shared().setDelegate(nullptr);
        gtk_widget_destroy(m_window);
    }
    LaunchedApplication(const LaunchedApplication&) = delete;
    LaunchedApplication& operator=(const LaunchedApplication&) = delete;

    // Waits for the start page's load: the time from the launch, or an error.
    bool waitForLoad(double& startupMs, std::string& error)
    {
        if (!m_launched.ok()) {
            error = m_launched.error().localizedDescription();
            return false;
        }
        if (!webengine::runNestedLoopUntil([this] { return m_loadedMs > 0; }, std::chrono::seconds(30))) {
            error = "the application's start page did not load";
            return false;
        }
        startupMs = m_loadedMs;
        return true;
    }
    // Goes to another page of the bundle and waits for its load.
    bool navigate(const std::string& page)
    {
        const int loads = m_loads;
        evaluate("window.benchResults = null; location.href = '" + page + "'");
        return webengine::runNestedLoopUntil([this, loads] { return m_loads > loads; }, std::chrono::seconds(30));
    }
    std::string evaluate(const std::string& script) { return m_webView->stringByEvaluatingJavaScriptFromString(script); }
    bool collect(Results& results, std::string& error, std::chrono::milliseconds timeout)
    {
        return pagecalls::collect([this](const std::string& script) { return evaluate(script); }, results, error, timeout);
    }

private:
    std::chrono::steady_clock::time_point m_started;
    platform::Result<std::shared_ptr<runtime::AppDelegate>> m_launched;
    std::shared_ptr<webengine::WebKitGtkWebView> m_webView;
    GtkWidget* m_window = nullptr;
    double m_loadedMs = 0;
    int m_loads = 0;
};

// Each path's burst in a launch of its own (as each floor's in a view of its own: what a burst leaves
// behind in a view slows what comes after it there), with this process's resident memory once the page
// has loaded and the process has settled ("idle-<path>"), its peak during the burst ("peak-<path>") and what
// it still holds once the burst has been over for a while ("held-<path>").
void measureBurst(const fs::path& home, const std::string& path, Results& results, std::string& error)
{
    LaunchedApplication application(home);
    double startupMs = 0;
    std::string failed;
    if (!application.waitForLoad(startupMs, failed)) {
        error += (error.empty() ? "" : "; ") + path + " burst: " + failed;
        return;
    }
    pagecalls::settle();
    results["idle-" + path].rssMiB = pagecalls::statusMiB("VmRSS");
    pagecalls::PeakMemory peak;
    application.evaluate("runBurst('" + path + "', " + std::to_string(pagecalls::kBurstCalls) + ")");
    Results burst;
    if (!application.collect(burst, failed, std::chrono::minutes(1))) {
        error += (error.empty() ? "" : "; ") + path + " burst: " + failed;
        return;
    }
    results["burst-" + path] = burst["burst"];
    results["peak-" + path].rssMiB = peak.peakMiB();
    pagecalls::turnMainLoop(pagecalls::kAfterBurstTime);
    results["held-" + path].rssMiB = pagecalls::statusMiB("VmRSS");
}

// A loop burst in a launch of its own: its rate ("loop-<path>"), this process's resident memory once the page
// has settled and what its load freed has been given back ("loop-idle-<path>"), as the floor program's is
// read, its peak during the burst ("loop-peak-<path>") and the difference ("loop-growth-<path>").
void measureLoopBurst(const fs::path& home, const std::string& path, Results& results, std::string& error)
{
    LaunchedApplication application(home);
    double startupMs = 0;
    std::string failed;
    if (!application.waitForLoad(startupMs, failed)) {
        error += (error.empty() ? "" : "; ") + path + " loop: " + failed;
        return;
    }
    pagecalls::settle();
    malloc_trim(0);
    const double idle = pagecalls::statusMiB("VmRSS");
    pagecalls::PeakMemory peak;
    application.evaluate("runLoopBurst('" + path + "', " + std::to_string(pagecalls::kLoopCalls) + ")");
    Results burst;
    if (!application.collect(burst, failed, std::chrono::minutes(5))) {
        error += (error.empty() ? "" : "; ") + path + " loop: " + failed;
        return;
    }
    results["loop-" + path] = burst["loop"];
    results["loop-idle-" + path].rssMiB = idle;
    results["loop-peak-" + path].rssMiB = peak.peakMiB();
    results["loop-growth-" + path].rssMiB = peak.peakMiB() - idle;
}

// A burst through hybrid.js (www/bench.html's, its calls made as that page makes them) in a launch of its
// own: this process's resident memory once the page has loaded and settled ("idle-js-<path>"), its peak
// during the burst ("peak-js-<path>"), and what it still holds once the burst has been over for a while
// ("held-js-<path>"), with the C allocator's count of the bytes in use then against idle
// ("malloc-in-use-js-<path>", "idle-malloc-in-use-js-<path>"): what a burst leaves behind that is ours.
void measureHeldMemory(const fs::path& home, const std::string& path, Results& results, std::string& error)
{
    LaunchedApplication application(home);
    double startupMs = 0;
    std::string failed;
    const std::string name = "js-" + path;
    if (!application.waitForLoad(startupMs, failed) || !application.navigate("bench.html?autorun=0")) {
        error += (error.empty() ? "" : "; ") + name + " burst: " + (failed.empty() ? "bench.html did not load" : failed);
        return;
    }
    pagecalls::settle();
    results["idle-" + name].rssMiB = pagecalls::statusMiB("VmRSS");
    results["idle-malloc-in-use-" + name].rssMiB = pagecalls::mallocInUseMiB();
    pagecalls::PeakMemory peak;
    application.evaluate("window.benchResults = null; document.addEventListener('deviceready', function () { burst('" + path +
                         "', PATHS['" + path + "'].perTask, " + std::to_string(pagecalls::kBurstCalls) +
                         ", function (rate) { window.benchResults = { burst: { callsPerSecond: rate } }; }); }, false)");
    Results burst;
    if (!application.collect(burst, failed, std::chrono::minutes(1))) {
        error += (error.empty() ? "" : "; ") + name + " burst: " + failed;
        return;
    }
    results["peak-" + name].rssMiB = peak.peakMiB();
    pagecalls::turnMainLoop(pagecalls::kAfterBurstTime);
    results["held-" + name].rssMiB = pagecalls::statusMiB("VmRSS");
    results["malloc-in-use-" + name].rssMiB = pagecalls::mallocInUseMiB();
}

// The first launch on a fresh home (its start-up only), then the usual launch (its start-up, then bench.html's
// sequential calls), in a process where the engine is ready, as the start-up floor's is.
void measureStartUp(const fs::path& home, Results& results, std::string& error)
{
    pagecalls::warmEngine();
    {
        LaunchedApplication first(home);
        first.waitForLoad(results["first start-up"].startupMs, error);
    }
    if (!error.empty())
        return;
    LaunchedApplication usual(home);
    std::string failed;
    if (!usual.waitForLoad(results["start-up"].startupMs, error))
        return;
    if (!usual.navigate("bench.html?burst=0&calls=" + std::to_string(pagecalls::kSequentialCalls) +
                        "&warmup=" + std::to_string(pagecalls::kWarmUpCalls)))
        error = "bench.html did not load";
    else if (!usual.collect(results, failed, std::chrono::minutes(2)))
        error = "bench.html: " + failed;
}

// The application's runs of a round, each a process of its own on the round's home: the start-ups and the
// sequential calls, then a launch for each burst.
void BM_Application(benchmark::State& state, int round)
{
    Results results;
    std::string error;
    for (auto _ : state) {
        const auto started = std::chrono::steady_clock::now();
        runThisProgram({"start-up"}, round, results, error);
        if (error.empty()) {
            for (const std::string& path : kBurstPaths)
                runThisProgram({"burst", path}, round, results, error);
            for (const std::string& path : kHybridBurstPaths)
                runThisProgram({"js-burst", path}, round, results, error);
            for (const auto& [path, floor] : kLoopPaths)
                runThisProgram({"loop", path}, round, results, error);
        }
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
    }
    report(state, resultsKey("application", round), results);
    if (!error.empty())
        state.SkipWithError(error.c_str());
}

// The application's log as a file: each line written the first time it comes, its repeats counted and
// the counts written at the end (the Cache plug-in logs the same two lines for each call, millions of
// lines in a run). The first kRemembered different lines are remembered; any after them are written
// whenever they come.
class CountedLog {
public:
    static constexpr std::size_t kRemembered = 4096;

    explicit CountedLog(std::FILE* file) : m_file(file) {}
    void write(std::string_view line)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        ++m_lines;
        if (const auto seen = m_repeats.find(line); seen != m_repeats.end()) {
            ++seen->second;
            return;
        }
        if (m_repeats.size() < kRemembered)
            m_repeats.emplace(line, 0);
        std::fwrite(line.data(), 1, line.size(), m_file);
        std::fputc('\n', m_file);
    }
    // The repeats written; the lines logged.
    std::size_t close()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (const auto& [line, repeats] : m_repeats) {
            if (repeats > 0)
                std::fprintf(m_file, "(%zu times more) %s\n", repeats, line.c_str());
        }
        std::fclose(m_file);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::FILE* m_file;
    std::map<std::string, std::size_t, std::less<>> m_repeats;
    std::size_t m_lines = 0;
};

// A measured run, in this process (page_calls_bench --run ROOT ROUND WHAT [PATH]): "start-up-floor", or the
// application's "start-up", "burst", "js-burst" or "loop" (of PATH) on the round's home. Prints its results
// (writeMeasures); exit status 1, with the reason on standard error, when something was not measured.
int runMeasured(int argc, char** argv)
{
    if (argc < 5) {
        std::fprintf(stderr, "usage: page_calls_bench --run ROOT ROUND WHAT [PATH]\n");
        return 2;
    }
    benchRoot() = argv[2];
    const int round = std::atoi(argv[3]);
    const std::string what = argv[4];
    const std::string path = argc > 5 ? argv[5] : "";
    setenv("NO_AT_BRIDGE", "1", 0);
    if (!webengine::PrivateDisplay::openDefaultDisplay() || !gtk_init_check(&argc, &argv)) {
        std::fprintf(stderr, "page_calls_bench: %s: needs a display\n", what.c_str());
        return 1;
    }
    Results results;
    std::string error;
    if (what == "start-up-floor") {
        measureStartUpFloor(round, results, error);
    } else {
        // The application's log goes to the bench's file, not the terminal.
        std::unique_ptr<CountedLog> log;
        if (std::FILE* file = std::fopen(logPath().c_str(), "a")) {
            log = std::make_unique<CountedLog>(file);
            platform::Log::setCaptureHook([&log](std::string_view line) { log->write(line); });
        }
        app::registerPlugins();
        webengine::WebKitGtkWebView::installAsEngine();
        const fs::path home = benchRoot() / ("home-" + std::to_string(round));
        if (what == "start-up")
            measureStartUp(home, results, error);
        else if (what == "burst")
            measureBurst(home, path, results, error);
        else if (what == "js-burst")
            measureHeldMemory(home, path, results, error);
        else if (what == "loop")
            measureLoopBurst(home, path, results, error);
        else
            error = "no such run: " + what;
        if (log) {
            platform::Log::setCaptureHook({});
            log->close();
        }
    }
    if (!error.empty()) {
        std::fprintf(stderr, "page_calls_bench: %s %s: %s\n", what.c_str(), path.c_str(), error.c_str());
        return 1;
    }
    std::printf("%s\n", pagecalls::writeMeasures(results).c_str());
    std::fflush(stdout);
    return 0;
}

// ---- the table ----------------------------------------------------------------------------------------

double medianOf(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// One goal: the application's measure `ours` against `floor` (of the floors' results, or of the
// application's own when `floorOfApplication`), met when ours/floor <= limit (or >= limit for a rate).
struct Goal {
    std::string label;
    std::string floor;
    std::string ours;
    double Measure::*field;
    double limit;
    bool atLeast = false;
    bool floorOfApplication = false;
};

std::vector<Goal> goals()
{
    std::vector<Goal> list;
    const std::pair<const char*, const char*> sequential[] = {{"xhr", "xhr"}, {"xhr-poke", "xhr-poke"}, {"iframe", "frame"},
                                                            {"iframe", "frame-fetch"}, {"hash", "fragment"}, {"hash-fetch", "fragment-fetch"}};
    for (const auto& [ours, floor] : sequential)
        list.push_back({std::string("sequential ") + ours + " / " + floor + ", ms", floor, ours, &Measure::median, 1.2});
    const std::pair<const char*, const char*> bursts[] = {{"xhr", "xhr"}, {"xhr-poke", "xhr-poke"}, {"frame", "frame"},
                                                        {"frame", "frame-fetch"}, {"hash", "fragment"}, {"hash-fetch", "fragment-fetch"}};
    for (const auto& [ours, floor] : bursts)
        list.push_back({std::string("burst ") + ours + " / " + floor + ", calls/s", std::string("burst-") + floor, std::string("burst-") + ours,
                        &Measure::callsPerSecond, 0.8, true});
    for (const std::string& path : kBurstPaths) {
        list.push_back({"peak RSS in burst " + path + " / idle, MiB", "idle-" + path, "peak-" + path, &Measure::rssMiB, 1.1, false, true});
        list.push_back({"RSS 6 s after burst " + path + " / idle, MiB", "idle-" + path, "held-" + path, &Measure::rssMiB, 1.1, false, true});
    }
    for (const std::string& path : kHybridBurstPaths) {
        list.push_back({"peak RSS in hybrid.js burst " + path + " / idle, MiB", "idle-js-" + path, "peak-js-" + path, &Measure::rssMiB, 1.1,
                        false, true});
        list.push_back({"RSS 6 s after hybrid.js burst " + path + " / idle, MiB", "idle-js-" + path, "held-js-" + path, &Measure::rssMiB, 1.1, false, true});
        list.push_back({"malloc in use 6 s after " + path + " / idle, MiB", "idle-malloc-in-use-js-" + path, "malloc-in-use-js-" + path,
                        &Measure::rssMiB, 1.1, false, true});
    }
    for (const auto& [ours, floor] : kLoopPaths) {
        list.push_back({"loop " + ours + " / " + floor + ", calls/s", "loop-" + floor, "loop-" + ours, &Measure::callsPerSecond, 0.8, true});
        list.push_back({"loop " + ours + " / " + floor + ", UI growth, MiB", "loop-growth-" + floor, "loop-growth-" + ours, &Measure::rssMiB,
                        1.5});
    }
    list.push_back({"start-up, first launch, ms", "first start-up", "first start-up", &Measure::startupMs, 1.1});
    list.push_back({"start-up, usual launch, ms", "start-up", "start-up", &Measure::startupMs, 1.1});
    return list;
}

const Measure* find(const std::string& key, const std::string& name)
{
    const auto results = allResults().find(key);
    if (results == allResults().end())
        return nullptr;
    const auto measure = results->second.find(name);
    return measure == results->second.end() ? nullptr : &measure->second;
}

// Prints the table; returns the goals that were not measured in any round although both sides ran (a
// --benchmark_filter that leaves a side out makes its goals "not run", which is no failure).
std::vector<std::string> printTable()
{
    std::vector<std::string> unmeasured;
    bool bothRan = false;
    for (int round = 0; round < kRounds; ++round)
        bothRan = bothRan || (allResults().count(resultsKey("floor", round)) && allResults().count(resultsKey("application", round)));
    std::printf("\nPage calls (Cache.clear), median of %d rounds; ratio: ours over the floor of the same round.\n", kRounds);
    std::printf("%-52s %10s %10s %7s %7s  %s\n", "goal", "floor", "ours", "ratio", "goal", "met");
    for (const Goal& goal : goals()) {
        std::vector<double> floors, ours, ratios;
        for (int round = 0; round < kRounds; ++round) {
            const Measure* floor = find(resultsKey(goal.floorOfApplication ? "application" : "floor", round), goal.floor);
            const Measure* our = find(resultsKey("application", round), goal.ours);
            const double floorValue = floor ? floor->*goal.field : 0, ourValue = our ? our->*goal.field : 0;
            if (floorValue > 0)
                floors.push_back(floorValue);
            if (ourValue > 0)
                ours.push_back(ourValue);
            if (floorValue > 0 && ourValue > 0)
                ratios.push_back(ourValue / floorValue);
        }
        if (ratios.empty()) {
            if (bothRan)
                unmeasured.push_back(goal.label);
            std::printf("%-52s %10s %10s %7s %5s%.1f  %s\n", goal.label.c_str(), "-", "-", "-", goal.atLeast ? ">=" : "<=", goal.limit,
                        bothRan ? "not measured" : "not run");
            continue;
        }
        const double ratio = medianOf(ratios);
        const bool met = goal.atLeast ? ratio >= goal.limit : ratio <= goal.limit;
        const int decimals = goal.field == &Measure::median ? 3 : 0;
        std::printf("%-52s %10.*f %10.*f %7.2f %5s%.1f  %s\n", goal.label.c_str(), decimals, medianOf(floors), decimals, medianOf(ours),
                    ratio, goal.atLeast ? ">=" : "<=", goal.limit, met ? "yes" : "NO");
    }
    // The fastest signal of a bare view, for reference: no goal.
    std::vector<double> message, messageBurst;
    for (int round = 0; round < kRounds; ++round) {
        if (const Measure* m = find(resultsKey("floor", round), "message"))
            message.push_back(m->median);
        if (const Measure* m = find(resultsKey("floor", round), "burst-message"))
            messageBurst.push_back(m->callsPerSecond);
    }
    if (!message.empty() && !messageBurst.empty())
        std::printf("reference, no goal: a script message answered by one evaluation: %.3f ms sequential, %.0f calls/s in a burst\n",
                    medianOf(message), medianOf(messageBurst));
    // The floors' own growth, for reference: no goal (each floor's peak spans its sequential calls too).
    for (const std::string& path : pagecalls::floorPaths()) {
        std::vector<double> idle, peak, ratios;
        for (int round = 0; round < kRounds; ++round) {
            const Measure* i = find(resultsKey("floor", round), "idle-" + path);
            const Measure* p = find(resultsKey("floor", round), "peak-" + path);
            if (i && p && i->rssMiB > 0 && p->rssMiB > 0) {
                idle.push_back(i->rssMiB);
                peak.push_back(p->rssMiB);
                ratios.push_back(p->rssMiB / i->rssMiB);
            }
        }
        if (!ratios.empty())
            std::printf("reference, no goal: floor %s, peak RSS / idle: %.0f / %.0f MiB, %.2f\n", path.c_str(), medianOf(peak),
                        medianOf(idle), medianOf(ratios));
    }
    return unmeasured;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::string(argv[1]) == "--run")
        return runMeasured(argc, argv);
    // The measured runs show their pages on this display.
    std::unique_ptr<webengine::PrivateDisplay> display;
    if (!webengine::PrivateDisplay::isDisplayAvailable()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok()) {
            std::fprintf(stderr, "page_calls_bench: %s\n", started.error().localizedDescription().c_str());
            return 1;
        }
        display = std::move(*started);
    }
    if (sampleBundle().empty()) {
        std::fprintf(stderr, "page_calls_bench: needs the sample bundle app/bundle\n");
        return 1;
    }
    std::ofstream{logPath()}; // emptied: the runs append to it
    buildBundle();

    for (int round = 0; round < kRounds; ++round) {
        const std::string suffix = "/round:" + std::to_string(round + 1);
        benchmark::RegisterBenchmark(("BM_Floors" + suffix).c_str(), [round](benchmark::State& state) { BM_Floors(state, round); })
            ->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
        benchmark::RegisterBenchmark(("BM_Application" + suffix).c_str(), [round](benchmark::State& state) { BM_Application(state, round); })
            ->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    const std::vector<std::string> unmeasured = printTable();
    std::ifstream log(logPath());
    std::size_t lines = 0;
    for (std::string line; std::getline(log, line);)
        ++lines;
    std::printf("the application's log: %zu lines (repeats counted), in %s\n", lines, logPath().c_str());
    // Every run and its engine's processes have ended (runSettled): nothing writes into the folder any more.
    std::error_code ignored;
    fs::remove_all(benchRoot(), ignored);
    if (!unmeasured.empty()) {
        std::string names;
        for (const std::string& name : unmeasured)
            names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, "page_calls_bench: nothing measured for %s\n", names.c_str());
        return 1;
    }
    return reporter.exitStatus();
}
