// Private to platform/: the threads that run the blocks of the global queues and the drains of serial
// queues. Grows when every worker is busy (blocks may wait on each other), up to a cap.
//
// Jobs wait in the pool's lists, high priority first; a worker that finishes a job takes the next one
// there without sleeping. A submission wakes one idle worker only when the jobs waiting outnumber the
// workers already on their way to them, and it wakes that worker alone, on a word of its own: the
// worker does not queue up on a shared condition with the others.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace platform {

class WorkerPool {
public:
    enum class Priority { Default, High };

    static WorkerPool& shared();
    void submit(std::function<void()> job, Priority priority);
    // True when a submitted job waits with no worker on its way to it (every worker busy, at the cap):
    // a long drain then yields its worker.
    bool hasWaitingJobs() const {
        return m_waiting.load(std::memory_order_relaxed) > m_waking.load(std::memory_order_relaxed);
    }

private:
    struct Worker;

    WorkerPool() = default;
    void work();
    // Under m_mutex: the next waiting job, high priority first, or null.
    std::function<void()> takeWaitingJobLocked();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_high;
    std::deque<std::function<void()>> m_default;
    std::vector<Worker*> m_idle; // the most recently idle last
    int m_threads = 0;
    // Written under m_mutex, read without it by hasWaitingJobs.
    std::atomic<int> m_waiting{0}; // jobs in m_high and m_default
    std::atomic<int> m_waking{0};  // workers woken or started that have not yet come for a job
};

} // namespace platform
