// A run-loop timer: one-shot or repeating, fired on the thread of the run loop it was scheduled on.
//
// Guarantees:
// - Made only by RunLoop::scheduleTimer / scheduleRepeatingTimer; the run loop holds the timer while it
//   is valid, so owners may keep a std::weak_ptr (or a shared_ptr) and the handle stays safe to use after
//   the timer fired or was invalidated (isValid() is then false, invalidate() does nothing).
// - A one-shot timer is invalid from the moment it fires (also inside its own callback).
// - A repeating timer keeps its phase: the next firing is the previous fire date plus the interval; when
//   the thread was busy past several firings, the missed ones are skipped, not fired in a burst.
// - A fire date in the past fires at the next turn of the run loop.
// - Timers due at the same moment fire in the order they were scheduled.
// - invalidate() may be called from any thread; the callback (and what it captured) is released at once,
//   or right after the callout when the timer is firing at that moment. A timer in its callout is not
//   fired again from a nested turn of the run loop.
#pragma once

#include "platform/runloop/Clock.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace platform {

class RunLoopCore;

class Timer {
public:
    using Callback = std::function<void(Timer&)>;

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    bool isValid() const { return m_valid.load(std::memory_order_acquire); }
    void invalidate();

    bool repeats() const { return m_repeats; }
    Duration interval() const { return m_interval; }
    // The next fire date (the last one once the timer is invalid).
    Clock::TimePoint fireDate() const;

private:
    friend class RunLoopCore;
    Timer(std::weak_ptr<RunLoopCore> core, Duration interval, bool repeats, Callback callback)
        : m_core(std::move(core)), m_interval(interval), m_repeats(repeats), m_callback(std::move(callback)) {}

    std::weak_ptr<RunLoopCore> m_core;
    const Duration m_interval;
    const bool m_repeats;
    std::atomic<bool> m_valid{true};
    // Guarded by the run loop's mutex.
    std::pair<Clock::TimePoint, std::uint64_t> m_key;
    bool m_inCallout = false;
    Callback m_callback;
};

} // namespace platform
