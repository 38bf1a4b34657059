// What page_calls_bench's two sides share: the measures a page reports, how the bench reads them, and how it
// runs each measured run as a process of its own.
#pragma once

#include "platform/formats/JSON.h"

#include "BareView.h"
#include "PageCallsMemory.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <map>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

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

// Reads the measures of a results text ({name: {median, p90} or {callsPerSecond}}, as a page writes them, or
// any of Measure's fields, as writeMeasures does) into `results`.
inline bool readMeasures(const std::string& text, Results& results, std::string& error)
{
    auto parsed = platform::JSON::parse(text);
    const platform::Dictionary* measures = parsed.ok() ? parsed->getDictionary() : nullptr;
    if (!measures) {
        error = "the results do not read";
        return false;
    }
    for (const auto& [name, value] : *measures) {
        Measure& measure = results[name];
        measure.median = value["median"].doubleValue();
        measure.p90 = value["p90"].doubleValue();
        measure.callsPerSecond = value["callsPerSecond"].doubleValue();
        measure.startupMs = value["startupMs"].doubleValue();
        measure.rssMiB = value["rssMiB"].doubleValue();
    }
    return true;
}

// The results as readMeasures reads them.
inline std::string writeMeasures(const Results& results)
{
    std::string text = "{";
    for (const auto& [name, measure] : results) {
        char fields[320];
        std::snprintf(fields, sizeof fields, "{\"median\": %.17g, \"p90\": %.17g, \"callsPerSecond\": %.17g, \"startupMs\": %.17g, \"rssMiB\": %.17g}",
                      measure.median, measure.p90, measure.callsPerSecond, measure.startupMs, measure.rssMiB);
        text += (text.size() > 1 ? ", \"" : "\"") + name + "\": " + fields;
    }
    return text + "}";
}

// Waits for the page's results (awaitPageResults) and reads every measure they hold.
inline bool collect(const std::function<std::string(const std::string&)>& eval, Results& results, std::string& error,
                    std::chrono::milliseconds timeout)
{
    const std::string text = awaitPageResults(eval, error, timeout);
    return !text.empty() && readMeasures(text, results, error);
}

// The processes of the process group `group` that have not ended (a zombie has).
inline std::vector<pid_t> processesOfGroup(pid_t group)
{
    std::vector<pid_t> found;
    for (const auto& [pid, stat] : allProcesses())
        if (stat.group == group && stat.state != 'Z')
            found.push_back(static_cast<pid_t>(std::stol(pid)));
    return found;
}

// Runs a measured run, `arguments` (a program's path first), to its end in a process group of its own, and
// gives what it printed on its standard output (its standard error is this program's). Returns only once every
// process of its group has ended too (the engine's processes end after the process that started them), so
// that the next run starts on a settled machine, none of this run's processes still at work or holding
// memory; a process of the group still there a minute after the run ended is ended. False, with `error` set,
// when the run did not start, or did not exit with status 0.
inline bool runSettled(const std::vector<std::string>& arguments, std::string& output, std::string& error)
{
    std::vector<char*> argv;
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = "no pipe for the run";
        return false;
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::setpgid(0, 0);
        ::dup2(out[1], STDOUT_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    if (child < 0) {
        ::close(out[0]);
        error = "the run did not start";
        return false;
    }
    ::setpgid(child, child); // as the child does: whichever comes first
    output.clear();
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(out[0], buffer, sizeof buffer);
        if (n > 0)
            output.append(buffer, static_cast<std::size_t>(n));
        else if (n == 0 || errno != EINTR)
            break;
    }
    ::close(out[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    for (int polls = 0; polls < 1300 && !processesOfGroup(child).empty(); ++polls) {
        if (polls == 1200) {
            std::fprintf(stderr, "page_calls_bench: %s: its processes had not ended a minute after it; ending them\n", arguments[0].c_str());
            ::kill(-child, SIGKILL);
        }
        ::usleep(50 * 1000);
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = arguments[0] + " " + (arguments.size() > 1 ? arguments[1] : "") + " failed (its reason is on standard error)";
        return false;
    }
    return true;
}

// Turns the main loop for `time` (the page and the engine carry on meanwhile).
inline void turnMainLoop(std::chrono::milliseconds time)
{
    turnUntil([] { return false; }, time);
}

} // namespace pagecalls
