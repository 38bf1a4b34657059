// A console reporter that keeps the wall time per iteration of every run, so that a benchmark can print its
// ratios against the baseline measured in the same run, and notes the runs that ended in an error
// (SkipWithError), which fail the program. Runs are named as the console shows them ("name/arg",
// "name/min_time:1.000/real_time").
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    // The run's context (machine, caches, load) as the console reporter prints it, but for the library's
    // "Library was built as DEBUG" warning: Debian builds Google Benchmark without NDEBUG (its own
    // assertions on), which is all the warning tells; the code timed is this build's, optimised.
    bool ReportContext(const Context& context) override {
        std::ostream& errors = GetErrorStream();
        std::ostringstream text;
        SetErrorStream(&text);
        const bool reported = ConsoleReporter::ReportContext(context);
        SetErrorStream(&errors);
        std::istringstream lines(text.str());
        for (std::string line; std::getline(lines, line);)
            if (line.find("Library was built as DEBUG") == std::string::npos)
                errors << line << '\n';
        return reported;
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.error_occurred)
                m_failed = true;
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred)
                m_nanoseconds[run.benchmark_name()] =
                    run.real_accumulated_time * 1e9 / static_cast<double>(run.iterations);
    }
    // Whether a run ended in an error: the program's exit status is then 1.
    bool failed() const { return m_failed; }
    int exitStatus() const { return m_failed ? 1 : 0; }

    // Nanoseconds per iteration, whatever unit the console shows.
    const std::map<std::string, double>& times() const { return m_nanoseconds; }

    // Seconds per iteration of `name`, or 0 when it did not run.
    double seconds(const std::string& name) const {
        auto found = m_nanoseconds.find(name);
        return found == m_nanoseconds.end() ? 0 : found->second / 1e9;
    }

    // The time of `name` over the time of `baseline`, when both ran.
    std::optional<double> ratio(const std::string& name, const std::string& baseline) const {
        auto ours = m_nanoseconds.find(name);
        auto base = m_nanoseconds.find(baseline);
        if (ours == m_nanoseconds.end() || base == m_nanoseconds.end() || base->second <= 0)
            return std::nullopt;
        return ours->second / base->second;
    }

private:
    std::map<std::string, double> m_nanoseconds;
    bool m_failed = false;
};

// The whole program of a benchmark that prints nothing of its own: every selected run, and exit status 1
// when one ended in an error.
inline int runBenchmarks(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.exitStatus();
}

} // namespace bench
