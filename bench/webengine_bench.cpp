// Start-up and memory of the application on the real engine, next to a bare WebKitGTK program in the
// same run.
//
// Each run starts a new process that shows the sample bundle's start page, writes it as a PNG once the
// page has settled, then exits. "Start to loaded" is fork to the line the process writes on its standard
// error when the start page has finished loading ("Finished load of: ..."). The baseline is this
// executable started again as a bare WebKitGTK program (one web view, the same page, the same line at
// load, the same snapshot; no platform or runtime). Peak RSS is the UI process's maximum resident set
// over the whole run (the web and network processes are not counted). Both run on one private virtual
// display started here when there is none. The two programs run in turns (see BM_StartToLoaded).
#include "platform/system/ProcessEnvironment.h"
#include "webengine/PrivateDisplay.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <cairo.h>
#include <webkit2/webkit2.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;

fs::path executableFolder()
{
    return fs::read_symlink("/proc/self/exe").parent_path();
}

// The sample bundle: the source tree's app/bundle, found upwards from the build folder.
fs::path sampleBundle()
{
    for (fs::path dir = executableFolder(); !dir.empty() && dir != dir.root_path(); dir = dir.parent_path()) {
        if (fs::exists(dir / "app/bundle/www/index.html"))
            return dir / "app/bundle";
    }
    return {};
}

constexpr const char* kLoadedLine = "Finished load of: ";

struct ProcessRun {
    double secondsToLoaded = 0;
    long peakRSSKiB = 0;
    bool ok = false;
};

// The peak resident set of the process `pid` so far ("VmHWM"), in KiB; 0 once it has ended.
long peakResidentKiB(pid_t pid)
{
    std::FILE* status = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    if (!status)
        return 0;
    long kib = 0;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::sscanf(line, "VmHWM: %ld kB", &kib) == 1)
            break;
    std::fclose(status);
    return kib;
}

// Runs the program to its end; the time is taken when its standard error first shows kLoadedLine.
ProcessRun runProcess(const std::vector<std::string>& arguments)
{
    std::vector<char*> argv;
    for (const auto& a : arguments)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Made before the fork: between fork and exec only async-signal-safe calls (another thread may hold the
    // allocator's lock). No accessibility bus for the measured program.
    const platform::ProcessEnvironment::Block environment = platform::ProcessEnvironment::forOtherPrograms({{"NO_AT_BRIDGE", "1"}});
    int errors[2];
    if (pipe(errors) != 0)
        return {};
    const auto start = std::chrono::steady_clock::now();
    const pid_t child = fork();
    if (child == 0) {
        dup2(errors[1], STDERR_FILENO);
        close(errors[0]);
        close(errors[1]);
        execve(argv[0], argv.data(), environment.data());
        _exit(127);
    }
    close(errors[1]);
    ProcessRun run;
    std::string seen;
    char buffer[4096];
    bool loaded = false;
    for (;;) {
        // The process's own peak, read while it runs: what wait4 tells counts the children it has waited
        // for too (hybridhost waits for the engine's processes as it ends), and a process that has ended
        // tells none. Read every 10 ms, the last reading is the peak but for the last moments of its end.
        run.peakRSSKiB = std::max(run.peakRSSKiB, peakResidentKiB(child));
        pollfd ready{errors[0], POLLIN, 0};
        if (poll(&ready, 1, 10) == 0)
            continue;
        const ssize_t n = read(errors[0], buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        if (loaded)
            continue;
        seen.append(buffer, static_cast<size_t>(n));
        if (seen.find(kLoadedLine) != std::string::npos) {
            loaded = true;
            run.secondsToLoaded = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }
    }
    close(errors[0]);
    int status = 0;
    waitpid(child, &status, 0);
    run.ok = loaded && run.peakRSSKiB > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (!run.ok)
        std::fprintf(stderr, "%s", seen.c_str());
    return run;
}

std::map<std::string, std::vector<ProcessRun>>& runs()
{
    static std::map<std::string, std::vector<ProcessRun>> all;
    return all;
}

const std::string& screenshotPath()
{
    static const std::string path = (fs::temp_directory_path() / ("hyb-bench-" + std::to_string(getpid()) + ".png")).string();
    return path;
}

std::vector<std::string> hybridHostArguments()
{
    return {(executableFolder() / "../app/hybridhost").string(), "--headless", "--screenshot", screenshotPath(), sampleBundle().string()};
}

std::vector<std::string> bareWebKitArguments()
{
    return {fs::read_symlink("/proc/self/exe").string(), "--bare-webkit", (sampleBundle() / "www/index.html").string(), screenshotPath()};
}

// Each iteration starts both programs, one right after the other, the first of them taking turns, so that
// both see the same machine. The iteration's time is the application's.
void BM_StartToLoaded(benchmark::State& state)
{
    for (auto _ : state) {
        const bool bareFirst = runs()["hybridhost"].size() % 2 == 1;
        ProcessRun hybrid, bare;
        if (bareFirst)
            bare = runProcess(bareWebKitArguments());
        hybrid = runProcess(hybridHostArguments());
        if (!bareFirst)
            bare = runProcess(bareWebKitArguments());
        if (!hybrid.ok || !bare.ok) {
            state.SkipWithError(hybrid.ok ? "the bare WebKitGTK program failed" : "hybridhost failed");
            return;
        }
        state.SetIterationTime(hybrid.secondsToLoaded);
        state.counters["bare_ms"] = bare.secondsToLoaded * 1000;
        state.counters["rss_MiB"] = static_cast<double>(hybrid.peakRSSKiB) / 1024.0;
        state.counters["bare_rss_MiB"] = static_cast<double>(bare.peakRSSKiB) / 1024.0;
        runs()["hybridhost"].push_back(hybrid);
        runs()["bare WebKitGTK"].push_back(bare);
    }
}

BENCHMARK(BM_StartToLoaded)->UseManualTime()->Iterations(1)->Repetitions(7)->Unit(benchmark::kMillisecond);

// The baseline program: one WebKit view shows the page, writes its snapshot once loaded and exits.
int bareWebKit(const char* page, const char* png)
{
    if (!gtk_init_check(nullptr, nullptr))
        return 1;
    GtkWidget* window = gtk_offscreen_window_new();
    gtk_window_set_default_size(GTK_WINDOW(window), 480, 800);
    WebKitWebView* view = WEBKIT_WEB_VIEW(webkit_web_view_new());
    webkit_settings_set_hardware_acceleration_policy(webkit_web_view_get_settings(view), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);
    gtk_widget_set_size_request(GTK_WIDGET(view), 480, 800);
    gtk_container_add(GTK_CONTAINER(window), GTK_WIDGET(view));
    gtk_widget_show_all(window);
    g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView* v, WebKitLoadEvent event, gpointer path) {
        if (event != WEBKIT_LOAD_FINISHED)
            return;
        std::fprintf(stderr, "%s%s\n", kLoadedLine, webkit_web_view_get_uri(v));
        webkit_web_view_get_snapshot(v, WEBKIT_SNAPSHOT_REGION_VISIBLE, WEBKIT_SNAPSHOT_OPTIONS_NONE, nullptr,
                                     [](GObject* source, GAsyncResult* result, gpointer file) {
                                         cairo_surface_t* surface = webkit_web_view_get_snapshot_finish(WEBKIT_WEB_VIEW(source), result, nullptr);
                                         if (surface) {
                                             cairo_surface_write_to_png(surface, static_cast<const char*>(file));
                                             cairo_surface_destroy(surface);
                                         }
                                         gtk_main_quit();
                                     },
                                     path);
    }), const_cast<char*>(png));
    const std::string uri = std::string("file://") + page;
    webkit_web_view_load_uri(view, uri.c_str());
    gtk_main();
    return 0;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 4 && std::strcmp(argv[1], "--bare-webkit") == 0)
        return bareWebKit(argv[2], argv[3]);

    std::unique_ptr<webengine::PrivateDisplay> display;
    if (!webengine::PrivateDisplay::isDisplayAvailable()) {
        auto started = webengine::PrivateDisplay::start();
        if (!started.ok()) {
            std::fprintf(stderr, "webengine_bench: %s\n", started.error().localizedDescription().c_str());
            return 1;
        }
        display = std::move(*started);
    }
    if (sampleBundle().empty()) {
        std::fprintf(stderr, "webengine_bench: the sample bundle app/bundle was not found\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    std::map<std::string, std::pair<double, double>> medians; // seconds, MiB
    for (const auto& [name, list] : runs()) {
        std::vector<double> seconds, rss;
        for (const auto& run : list) {
            seconds.push_back(run.secondsToLoaded);
            rss.push_back(static_cast<double>(run.peakRSSKiB) / 1024.0);
        }
        medians[name] = {median(seconds), median(rss)};
        std::printf("%-16s process start to page loaded (median of %zu): %.0f ms; peak RSS of the UI process: %.0f MiB\n",
                    name.c_str(), list.size(), medians[name].first * 1000, medians[name].second);
    }
    if (medians.count("hybridhost") && medians.count("bare WebKitGTK") && medians["bare WebKitGTK"].first > 0) {
        std::printf("ratio hybridhost / bare WebKitGTK: start-up %.2f, peak RSS %.2f\n",
                    medians["hybridhost"].first / medians["bare WebKitGTK"].first,
                    medians["hybridhost"].second / medians["bare WebKitGTK"].second);
    }
    std::error_code ignored;
    fs::remove(screenshotPath(), ignored);
    return reporter.exitStatus();
}
