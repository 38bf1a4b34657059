// Private to platform/: the threads that run the blocks of the global queues and the drains of serial
// queues. Grows when every worker is busy (blocks may wait on each other), up to a cap.
//
// A job submitted while a worker is idle is handed straight to that worker (the one idle longest is
// taken last, so a warm thread is reused), and only that worker is woken: it runs the job without taking
// the pool's lock again, so a burst of submissions does not line the workers up on the lock. A worker
// that has just run out of work waits briefly before it sleeps, so a job that follows soon does not pay
// for a wake-up. Jobs wait in the pool's own lists only when every worker is busy and the cap is reached,
// or while a new worker starts.
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
    // True when a submitted job waits for a worker (a long drain then yields its worker to it).
    bool hasWaitingJobs() const { return m_waiting.load(std::memory_order_relaxed) > 0; }

private:
    // One worker thread: it sleeps on a word of its own and finds its next job beside it.
    struct Worker;

    WorkerPool() = default;
    void work(std::function<void()> first);
    // Under m_mutex: the next waiting job, high priority first, or null.
    std::function<void()> takeWaitingJobLocked();

    std::mutex m_mutex;
    std::deque<std::function<void()>> m_high;
    std::deque<std::function<void()>> m_default;
    std::vector<Worker*> m_idle; // the most recently idle last
    int m_threads = 0;
    std::atomic<int> m_waiting{0}; // m_high.size() + m_default.size(), readable without the lock
};

} // namespace platform
