// What page_calls_bench's two sides share: the measures a page reports and how the bench reads them.
#pragma once

#include "platform/formats/JSON.h"

#include "BareView.h"
#include "PageCallsMemory.h"

#include <chrono>
#include <functional>
#include <map>
#include <string>

namespace pagecalls {

// Calls of each sequential measure (after the warm-up), of each burst made one call per task, and of each
// burst made in one loop.
constexpr int kSequentialCalls = 1000;
constexpr int kWarmUpCalls = 20;
constexpr int kBurstCalls = 10000;
constexpr int kLoopCalls = 100000;

// One measure: a sequential call's median and p90 in ms, a burst's calls per second, a start-up in ms, or
// a process's resident memory (MiB) at a moment.
struct Measure {
    double median = 0;
    double p90 = 0;
    double callsPerSecond = 0;
    double startupMs = 0;
    double rssMiB = 0;
};
using Results = std::map<std::string, Measure>;

inline double millisecondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Reads the measures of a page's results text ({name: {median, p90} or {callsPerSecond}}) into `results`.
inline bool readMeasures(const std::string& text, Results& results, std::string& error)
{
    auto parsed = platform::JSON::parse(text);
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

// Waits for the page's results (awaitPageResults) and reads every measure they hold.
inline bool collect(const std::function<std::string(const std::string&)>& eval, Results& results, std::string& error,
                    std::chrono::milliseconds timeout)
{
    const std::string text = awaitPageResults(eval, error, timeout);
    return !text.empty() && readMeasures(text, results, error);
}

// Turns the main loop for `time` (the page and the engine carry on meanwhile).
inline void turnMainLoop(std::chrono::milliseconds time)
{
    turnUntil([] { return false; }, time);
}

} // namespace pagecalls
