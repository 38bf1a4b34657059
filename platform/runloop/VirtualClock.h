// A clock that only moves when told to, for tests.
//
// Guarantees:
// - advance(d) steps through every timer deadline of every run loop between now and now + d, in
//   deadline order; at each step the run loops run what became due before the clock moves on. A 1 s
//   repeating timer therefore fires exactly 60 times over advance(60 s), and timers of different run
//   loops fire in deadline order.
// - The run loop of the calling thread is turned by advance() itself; other threads' run loops are woken
//   and waited for (up to 10 s of real time each step) while they are running. Work that one loop's
//   timers post to another loop also runs within the step.
// - Thread: now()/wallNow() from any thread; advance() from one thread at a time.
// - Installing: the constructor does not install; install() does, and the destructor uninstalls. The time
//   itself lives on after the VirtualClock (a thread may still be reading it while the test ends).
#pragma once

#include "platform/runloop/Clock.h"

#include <mutex>

namespace platform {

class VirtualClock final : public Clock {
public:
    // Starts at a fixed wall time (2023-11-14 22:13:20 UTC) unless another is given.
    explicit VirtualClock(Date start = Date{1'700'000'000.0});
    ~VirtualClock() override;
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    TimePoint now() const override;
    Date wallNow() const override;
    bool isVirtual() const override { return true; }

    void install();
    void uninstall();

    // Moves the clock forward, firing every timer on the way (see above).
    void advance(Duration d);
    void advance(double secondsToAdvance) { advance(seconds(secondsToAdvance)); }

private:
    class Time;
    void setNow(TimePoint now);
    void settleHosts();

    Time* m_time; // never freed: see above
    std::recursive_mutex m_advanceMutex; // advance() may be called again from a callout it runs
};

} // namespace platform
