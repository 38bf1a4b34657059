// Private to platform/: the state of one run loop, shared with its timers (weakly) and with the clock's
// host registry (weakly). See RunLoop.h for the guarantees.
#pragma once

#include "platform/runloop/Clock.h"
#include "platform/runloop/Timer.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <glib.h>

namespace platform {

class RunLoopCore final : public ClockHost, public std::enable_shared_from_this<RunLoopCore> {
public:
    RunLoopCore(GMainContext* context, bool isMain);
    ~RunLoopCore() override;
    void attach();

    GMainContext* context() const { return m_context; }
    bool isMain() const { return m_isMain; }
    // The main loop belongs to the main thread even when another thread made it first.
    bool isCurrent() const;

    void perform(std::function<void()> block);
    std::shared_ptr<Timer> addTimer(Clock::TimePoint fireDate, Duration interval, bool repeats, Timer::Callback callback);
    void invalidateTimer(Timer& timer);
    Clock::TimePoint fireDateOf(const Timer& timer);

    bool runOnce(Clock::TimePoint deadline, bool& stopped);
    void run();
    void requestStop();
    bool consumeStop() { return m_stop.exchange(false); }
    bool isStopRequested() const { return m_stop.load(); }
    void wakeUp() { g_main_context_wakeup(m_context); }
    // Loop thread only: see RunLoop::holdPerformsAndTimers.
    void hold() { ++m_holds; }
    void release() {
        if (--m_holds == 0)
            g_main_context_wakeup(m_context);
    }

    // ClockHost
    std::optional<Clock::TimePoint> nextDeadline() const override;
    void clockAdvanced() override;
    bool needsTurn() const override;

    // The GSource hooks.
    gboolean prepare(gint* timeout);
    gboolean check();
    void dispatch();

private:
    using TimerKey = std::pair<Clock::TimePoint, std::uint64_t>;

    // Callers hold m_mutex.
    std::optional<Clock::TimePoint> firstTimerLocked() const;
    bool hasDueWorkLocked(Clock::TimePoint now) const;
    void insertTimerLocked(const std::shared_ptr<Timer>& timer, Clock::TimePoint fireDate);

    void runPerforms();
    void fireDueTimers();

    GMainContext* m_context;
    GSource* m_source = nullptr;
    const bool m_isMain;
    const std::thread::id m_thread;

    mutable std::mutex m_mutex;
    std::condition_variable m_settled;
    std::deque<std::function<void()>> m_performs;
    std::map<TimerKey, std::shared_ptr<Timer>> m_timers;
    std::uint64_t m_nextSequence = 0;
    int m_timersFiring = 0; // timers in their callout; a virtual clock waits for them

    std::atomic<int> m_depth{0}; // > 0 while the thread turns the loop (run, runOnce)
    std::atomic<bool> m_stop{false};
    std::vector<Clock::TimePoint> m_deadlines; // loop thread only: the deadlines of nested runOnce calls
    int m_holds = 0;                           // loop thread only: > 0 while performs and timers are held
};

} // namespace platform
