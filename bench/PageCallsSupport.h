// What page_calls_bench's two sides share: the measures a page reports, how the bench waits for them, and
// the UI process's memory (this process's).
#pragma once

#include "platform/JSON.h"
#include "webengine/NestedLoop.h"

#include <glib.h>
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <string>

namespace pagecalls {

// Calls of each sequential measure (after the warm-up) and of each burst.
constexpr int kSequentialCalls = 1000;
constexpr int kWarmUpCalls = 20;
constexpr int kBurstCalls = 10000;

// One measure: a sequential call's median and p90 in ms, a burst's calls per second, a start-up in ms, or
// this process's resident memory (MiB) at a moment.
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

// Waits until the page's window.benchResults is set, asking four times a second (asking more often would
// compete with the calls being measured), then reads every measure it holds ({name: {median, p90} or
// {callsPerSecond}}, or {error}). `eval` evaluates a script in the page and gives its result as text.
inline bool collect(const std::function<std::string(const std::string&)>& eval, Results& results, std::string& error,
                    std::chrono::milliseconds timeout)
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
    }, timeout);
    g_source_remove(ticker);
    if (!done) {
        error = "the page did not finish within the time-out; it shows: " + eval("location.href + ' ' + (window.stage || '')");
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

// ---- memory of this process (the UI process) ----------------------------------------------------------

// How long a page is left to settle after its load before its idle memory is read, and how long after a
// burst's end what the burst left behind is read.
constexpr std::chrono::seconds kSettleTime{2};
constexpr std::chrono::seconds kAfterBurstTime{6};

// Turns the main loop for `time` (the page and the engine carry on meanwhile).
inline void turnMainLoop(std::chrono::milliseconds time)
{
    webengine::runNestedLoopUntil([] { return false; }, time);
}

// The bytes the C allocator has handed out and not had back (all its arenas), in MiB.
inline double mallocInUseMiB()
{
    const struct mallinfo2 info = ::mallinfo2();
    return static_cast<double>(info.uordblks + info.hblkhd) / (1024.0 * 1024.0);
}

// A field of /proc/self/status in MiB ("VmRSS", "VmHWM"), 0 when it does not read.
inline double statusMiB(const char* field)
{
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0 && line.size() > length && line[length] == ':')
            return std::strtod(line.c_str() + length + 1, nullptr) / 1024.0;
    }
    return 0;
}

// The peak resident memory over a stretch of time: the kernel's own high-water mark, reset at the start
// ("5" in clear_refs); where that cannot be reset, VmRSS sampled every 5 ms on the main loop (which runs
// throughout: the bench waits in nested loops).
class PeakMemory {
public:
    PeakMemory()
    {
        std::ofstream clear("/proc/self/clear_refs");
        clear << "5";
        clear.flush();
        m_kernelPeak = clear.good();
        if (!m_kernelPeak) {
            m_sampled = statusMiB("VmRSS");
            m_sampler = g_timeout_add(5, [](gpointer self) -> gboolean {
                auto* peak = static_cast<PeakMemory*>(self);
                peak->m_sampled = std::max(peak->m_sampled, statusMiB("VmRSS"));
                return G_SOURCE_CONTINUE;
            }, this);
        }
    }
    ~PeakMemory()
    {
        if (m_sampler)
            g_source_remove(m_sampler);
    }
    PeakMemory(const PeakMemory&) = delete;
    PeakMemory& operator=(const PeakMemory&) = delete;

    double peakMiB() const { return m_kernelPeak ? statusMiB("VmHWM") : std::max(m_sampled, statusMiB("VmRSS")); }

private:
    bool m_kernelPeak = false;
    double m_sampled = 0;
    guint m_sampler = 0;
};

} // namespace pagecalls
