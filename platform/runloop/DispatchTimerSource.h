// A timer source: runs an event handler on a queue at a start time and then at an interval.
//
// Guarantees:
// - Made suspended: setTimer() and setEventHandler(), then resume(). suspend()/resume() nest (a count);
//   while suspended, firings are kept as one pending event that is delivered at resume.
// - Events coalesce: when the handler has not yet run for an earlier firing, later firings add to the
//   count (pendingFireCount() inside the handler) instead of queueing more blocks.
// - The timer follows Clock::current() (a virtual clock drives it). Leeway is accepted and kept; firings
//   are not deferred by it.
// - cancel() (any thread) stops further handler runs; the cancel handler then runs once on the queue.
//   A source dropped by its owner is cancelled without its cancel handler running.
// - Thread: every call from any thread.
#pragma once

#include "platform/runloop/Clock.h"

#include <functional>
#include <memory>
#include <mutex>

namespace platform {

class DispatchQueue;
class Timer;

class DispatchTimerSource : public std::enable_shared_from_this<DispatchTimerSource> {
public:
    static std::shared_ptr<DispatchTimerSource> create(std::shared_ptr<DispatchQueue> queue);
    ~DispatchTimerSource();

    // First firing `start` from now; then every `interval` (zero or less: once only).
    void setTimer(Duration start, Duration interval, Duration leeway = Duration::zero());
    void setEventHandler(std::function<void()> handler);
    void setCancelHandler(std::function<void()> handler);
    void resume();
    void suspend();
    void cancel();
    bool isCancelled() const;
    // Inside the handler: how many firings this run stands for.
    unsigned long pendingFireCount() const;
    Duration leeway() const;

private:
    explicit DispatchTimerSource(std::shared_ptr<DispatchQueue> queue) : m_queue(std::move(queue)) {}
    void armLocked();
    void fired();
    void deliver();

    const std::shared_ptr<DispatchQueue> m_queue;
    mutable std::mutex m_mutex;
    std::function<void()> m_handler;
    std::function<void()> m_cancelHandler;
    std::shared_ptr<Timer> m_timer;
    Duration m_start{0}, m_interval{0}, m_leeway{0};
    bool m_timerSet = false;
    int m_suspendCount = 1;
    bool m_cancelled = false;
    unsigned long m_pending = 0;   // firings not yet handed to the queue
    bool m_deliveryQueued = false; // a delivery block is on the queue
    unsigned long m_delivering = 0;
};

} // namespace platform
