// The floors of page_calls_bench. Each signal path's floor is the floor program (page_calls_floor.cpp,
// built beside the bench): a bare WebKitGTK program, none of the application's code, whose page makes the
// same signal and whose native side answers it with the least it can do, run as a process of its own for
// each path (what a burst leaves behind in a view or a process slows what comes after it there), in the same
// run as the application. The start-up floor is a bare view in this process (as the application's launch
// is), loading the same page file from disk, first in a new context with a fresh persistent data folder,
// then again.
#pragma once

#include "BareView.h"
#include "PageCallsSupport.h"

#include <gio/gio.h>

#include <filesystem>
#include <string>
#include <vector>

namespace pagecalls {

inline const std::vector<std::string>& floorPaths()
{
    static const std::vector<std::string> paths{"message", "xhr", "xhr-poke", "fragment", "fragment-fetch", "frame", "frame-fetch"};
    return paths;
}

// The floors of the application's loop bursts: the same signals, each call with its own.
inline const std::vector<std::string>& loopFloorPaths()
{
    static const std::vector<std::string> paths{"xhr", "xhr-poke", "fragment", "fragment-fetch", "frame-fetch"};
    return paths;
}

// Runs the floor program with `arguments` and reads what it prints: the page's measures into `results`,
// its idle and peak resident memory into `idle` and `peak` (MiB). False, with `error` set, when it did not
// measure.
inline bool runFloorProgram(const std::vector<std::string>& arguments, Results& results, double& idle, double& peak,
                            std::string& error)
{
    const std::string program = (std::filesystem::read_symlink("/proc/self/exe").parent_path() / "page_calls_floor").string();
    std::vector<const char*> argv{program.c_str()};
    for (const std::string& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    GError* failure = nullptr;
    GSubprocess* process = g_subprocess_newv(argv.data(), G_SUBPROCESS_FLAGS_STDOUT_PIPE, &failure);
    if (!process) {
        error = std::string("the floor program did not start: ") + failure->message;
        g_error_free(failure);
        return false;
    }
    // This process's main loop turns meanwhile, as it does while the application's page is measured.
    struct Outcome {
        bool done = false;
        std::string text;
        std::string failure;
    } outcome;
    g_subprocess_communicate_utf8_async(process, nullptr, nullptr, [](GObject* source, GAsyncResult* result, gpointer data) {
        auto* outcome = static_cast<Outcome*>(data);
        char* out = nullptr;
        GError* failed = nullptr;
        if (g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &out, nullptr, &failed)) {
            outcome->text = out ? out : "";
        } else {
            outcome->failure = failed->message;
            g_error_free(failed);
        }
        g_free(out);
        outcome->done = true;
    }, &outcome);
    turnUntil([&] { return outcome.done; }, std::chrono::hours(1));
    const bool exited = g_subprocess_get_if_exited(process) && g_subprocess_get_exit_status(process) == 0;
    g_object_unref(process);
    if (!exited || !outcome.failure.empty()) {
        error = "the floor program failed" + (outcome.failure.empty() ? std::string(" (its reason is on standard error)") : ": " + outcome.failure);
        return false;
    }
    auto parsed = platform::JSON::parse(outcome.text);
    const platform::Dictionary* line = parsed.ok() ? parsed->getDictionary() : nullptr;
    if (!line) {
        error = "the floor program's line does not read";
        return false;
    }
    idle = (*line)["idleMiB"].doubleValue();
    peak = (*line)["peakMiB"].doubleValue();
    auto measures = platform::JSON::writeCompact((*line)["results"]);
    return measures.ok() && readMeasures(*measures, results, error);
}

// Every floor's sequential measure and burst ("<path>", "burst-<path>"), with the floor program's resident
// memory once its page has loaded ("idle-<path>") and its peak during the path's calls ("peak-<path>"). A
// path that fails is noted in `error` and the others still run.
inline void measureFloors(Results& results, std::string& error)
{
    for (const std::string& path : floorPaths()) {
        double idle = 0, peak = 0;
        std::string failed;
        if (runFloorProgram({"calls", path, std::to_string(kSequentialCalls), std::to_string(kWarmUpCalls), std::to_string(kBurstCalls)},
                            results, idle, peak, failed)) {
            results["idle-" + path].rssMiB = idle;
            results["peak-" + path].rssMiB = peak;
        } else {
            error += (error.empty() ? "" : "; ") + path + " floor: " + failed;
        }
    }
}

// Every loop floor's burst of kLoopCalls calls made in one loop ("loop-<path>"), with the floor program's
// resident memory once its page has settled ("loop-idle-<path>") and its peak during the burst
// ("loop-peak-<path>").
inline void measureLoopFloors(Results& results, std::string& error)
{
    for (const std::string& path : loopFloorPaths()) {
        double idle = 0, peak = 0;
        std::string failed;
        if (runFloorProgram({"loop", path, std::to_string(kLoopCalls)}, results, idle, peak, failed)) {
            results["loop-idle-" + path].rssMiB = idle;
            results["loop-peak-" + path].rssMiB = peak;
            results["loop-growth-" + path].rssMiB = peak - idle;
        } else {
            error += (error.empty() ? "" : "; ") + path + " loop floor: " + failed;
        }
    }
}

// Makes the engine ready in this process (its process-wide state, a web process of an ephemeral context),
// as the application's launches find it after the first: the start-up floors measure a host's start, not the
// engine's first use in the process.
inline void warmEngine()
{
    static WebKitWebContext* const context = webkit_web_context_new_ephemeral(); // kept for the process
    static const bool warmed = BareView(context).load("about:blank");
    (void)warmed;
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
