// A console reporter that keeps the time per iteration of every run, so that a benchmark can print its
// ratios against the baseline measured in the same run.
#pragma once

#include <benchmark/benchmark.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace bench {

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration && run.iterations > 0 && !run.error_occurred)
                m_nanoseconds[run.benchmark_name()] = run.GetAdjustedRealTime();
    }
    const std::map<std::string, double>& times() const { return m_nanoseconds; }

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
};

} // namespace bench
