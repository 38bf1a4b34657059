// What a piece of work costs against a baseline measured in the same test: for tests that guard against
// work growing faster than its input (keys of one hash, a shape a reader would walk again and again). A
// hostile shape may cost a bounded multiple of a benign one of the same size and kind, on a machine of any
// speed or load; a fixed number of seconds would be both too much on a fast idle machine and too little on
// a loaded one.
//
// A cost is the CPU time of this process (all of its threads: work a reader hands to a thread counts too),
// which other processes' load stretches far less than time on a clock. The two shapes are timed in turns,
// each keeping the least of its rounds; a baseline too short to time well is run several times a round.
// The work runs last: what it leaves behind (a result, a file it wrote) is the work's own.
//
//     const hybtest::Costs costs = hybtest::costAgainstBaseline({[&] { read(hostile); }}, {[&] { read(benign); }}, 10);
//     EXPECT_LT(costs.ratio(), 10) << costs;
#pragma once

#include <time.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <ostream>

namespace hybtest {

// CPU seconds this process has spent so far.
inline double processCPUSeconds() {
    timespec now{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// A shape's work, and what has to be done before each run of it, untimed (its input put in place, say).
struct Shape {
    std::function<void()> work;
    std::function<void()> prepare = {};
};

// CPU seconds of one run, the least of the rounds.
struct Costs {
    double work = 0;
    double baseline = 0;
    int rounds = 0;
    int runsPerRound = 1;

    double ratio() const {
        if (baseline > 0)
            return work / baseline;
        return work > 0 ? std::numeric_limits<double>::infinity() : 1.0;
    }
};

inline std::ostream& operator<<(std::ostream& out, const Costs& costs) {
    return out << costs.work << " s of CPU against " << costs.baseline << " s for the baseline (" << costs.ratio()
               << "x; the least of " << costs.rounds << " rounds of " << costs.runsPerRound << " runs)";
}

namespace detail {

// CPU seconds of `runs` runs of the shape (its preparations not counted); stops early once past `enough`.
inline double cpuSecondsOfRuns(const Shape& shape, int runs, double enough = std::numeric_limits<double>::infinity()) {
    double spent = 0;
    for (int run = 0; run < runs && spent <= enough; ++run) {
        if (shape.prepare)
            shape.prepare();
        const double start = processCPUSeconds();
        shape.work();
        spent += processCPUSeconds() - start;
    }
    return spent;
}

} // namespace detail

// Times the baseline and then the work in turns, keeping the least of each, for as many rounds (at most
// `rounds`) as it takes the work to come within `bound` times the baseline. Each round runs both as many
// times as the baseline needs to take 50 ms of CPU. A work four times past the bound is not run again: no
// load makes that much of a difference, and work gone quadratic may take minutes a run.
inline Costs costAgainstBaseline(const Shape& work, const Shape& baseline, double bound, int rounds = 3) {
    constexpr double kLeastBaselineSeconds = 0.05;
    Costs costs;
    double baselineSeconds = detail::cpuSecondsOfRuns(baseline, 1);
    while (baselineSeconds < kLeastBaselineSeconds && costs.runsPerRound < 1024) {
        costs.runsPerRound *= 2;
        baselineSeconds = detail::cpuSecondsOfRuns(baseline, costs.runsPerRound);
    }
    double workSeconds = std::numeric_limits<double>::infinity();
    for (costs.rounds = 1;; ++costs.rounds) {
        if (costs.rounds > 1)
            baselineSeconds = std::min(baselineSeconds, detail::cpuSecondsOfRuns(baseline, costs.runsPerRound));
        workSeconds = std::min(workSeconds, detail::cpuSecondsOfRuns(work, costs.runsPerRound, 4 * bound * baselineSeconds));
        if (costs.rounds >= rounds || workSeconds <= bound * baselineSeconds || workSeconds > 4 * bound * baselineSeconds)
            break;
    }
    costs.work = workSeconds / costs.runsPerRound;
    costs.baseline = baselineSeconds / costs.runsPerRound;
    return costs;
}

} // namespace hybtest
