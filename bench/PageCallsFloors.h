// The floors of page_calls_bench. Each signal path's floor is the floor program (page_calls_floor.cpp,
// built beside the bench): a bare WebKitGTK program, none of the application's code, whose page makes the
// same signal and whose native side answers it with the least it can do, run as a process of its own for
// each path (what a burst leaves behind in a view or a process slows what comes after it there), in the same
// run as the application. The start-up floor is a bare view in a measured run of the bench's own (as the
// application's launch is), loading the same page file from disk, first in a new context with a fresh
// persistent data folder, then again.
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

// Runs the floor program with `arguments`, settled (runSettled), and reads what it prints: the page's measures
// into `results`, its idle and peak resident memory into `idle` and `peak` (MiB). False, with `error` set,
// when it did not measure.
inline bool runFloorProgram(const std::vector<std::string>& arguments, Results& results, double& idle, double& peak,
                            std::string& error)
{
    std::vector<std::string> argv{(std::filesystem::read_symlink("/proc/self/exe").parent_path() / "page_calls_floor").string()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::string output;
    if (!runSettled(argv, output, error))
        return false;
    auto parsed = platform::JSON::parse(output);
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
