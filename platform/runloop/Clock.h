// Time as the rest of the system sees it: a monotonic clock for timers and deadlines, and a wall clock
// for time stamps.
//
// Guarantees:
// - Thread: Clock::current() and both readings may be used from any thread.
// - Replaceable: tests install a VirtualClock (platform/runloop/VirtualClock.h); every run loop, every timer and
//   every dispatch "after" reads time through Clock::current(), so a timer of a day fires when the virtual
//   clock is advanced by a day, within milliseconds of real time.
// - Ownership: install() does not take ownership; the installer keeps the clock alive until it is
//   uninstalled (VirtualClock does this itself in its destructor).
// - Timer hosts (the run loops) register themselves as ClockHosts, so that a virtual clock can step
//   through their deadlines in order. Hosts are held weakly.
#pragma once

#include "platform/core/Value.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

using Duration = std::chrono::nanoseconds;
using Seconds = std::chrono::duration<double>;

// A duration from a number of seconds as the Parts give them (0.05, 290, 86400). Saturates at a century
// either way, so that an endless time (1e300, infinity) stays far in the future instead of wrapping
// round, and a deadline built from it cannot overflow; NaN is no time.
inline Duration seconds(double s) {
    constexpr double kLimit = 100.0 * 365 * 86400;
    if (std::isnan(s))
        return Duration::zero();
    return std::chrono::duration_cast<Duration>(Seconds(std::clamp(s, -kLimit, kLimit)));
}

// Something that runs timers against the clock (a run loop). A virtual clock asks it for its next
// deadline and lets it catch up after each step.
class ClockHost {
public:
    virtual ~ClockHost() = default;
    // The earliest deadline of a valid timer, if any.
    virtual std::optional<std::chrono::steady_clock::time_point> nextDeadline() const = 0;
    // The clock moved: run (on the host's own thread) everything now due, and return when done.
    virtual void clockAdvanced() = 0;
    // True while the host has work due now that clockAdvanced() would run (work posted to it by another
    // host's timers, say).
    virtual bool needsTurn() const = 0;
};

class Clock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~Clock() = default;

    // Monotonic time, for timers and deadlines.
    virtual TimePoint now() const = 0;
    // Wall time (seconds since 1970, with microseconds).
    virtual Date wallNow() const = 0;
    // True for clocks that do not move by themselves: run loops then wait for a wake-up instead of a
    // real time-out.
    virtual bool isVirtual() const { return false; }

    // The installed clock: the system clock unless a test installed another.
    static Clock& current();
    static Clock& system();
    // Installs a clock (nullptr restores the system clock). The caller keeps it alive while installed.
    static void install(Clock* clock);

    // Time-driven hosts (run loops), for the virtual clock.
    static void addHost(std::weak_ptr<ClockHost> host);
    static std::vector<std::shared_ptr<ClockHost>> hosts();
};

} // namespace platform
