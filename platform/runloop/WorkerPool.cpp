#include "platform/runloop/WorkerPool.h"

#include "platform/runloop/RunLoopThread.h"
#include "platform/runloop/ThreadHooks.h"

#include <algorithm>
#include <thread>

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

int maxThreads() {
    return std::max(64, 4 * static_cast<int>(std::thread::hardware_concurrency()));
}

// The worker's state word. The submitter that takes a worker off the idle list swaps the word to
// kWoken, and makes the futex call only when the worker has gone to sleep. (The futex is called
// directly: the standard library's waits spin with sched_yield first, which on a busy machine can hand
// the processor to another process for a whole time slice.)
constexpr int kIdle = 0;
constexpr int kWoken = 1;
constexpr int kSleeping = 2;

void sleepWhile(std::atomic<int>& word, int value) {
    static_assert(sizeof(std::atomic<int>) == sizeof(int));
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAIT_PRIVATE, value, nullptr, nullptr, 0);
}

void wakeOne(std::atomic<int>& word) {
    ::syscall(SYS_futex, reinterpret_cast<int*>(&word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

} // namespace

struct WorkerPool::Worker {
    std::atomic<int> state{kIdle};
};

WorkerPool& WorkerPool::shared() {
    static auto* pool = new WorkerPool; // its threads run until the process ends
    return *pool;
}

void WorkerPool::submit(std::function<void()> job, Priority priority) {
    Worker* idle = nullptr;
    bool spawn = false;
    {
        std::lock_guard lock(m_mutex);
        (priority == Priority::High ? m_high : m_default).push_back(std::move(job));
        const int waiting = m_waiting.load(std::memory_order_relaxed) + 1;
        m_waiting.store(waiting, std::memory_order_relaxed);
        // Busy workers take waiting jobs when they finish, but a busy block may wait for this one: every
        // job gets a worker on its way to it, idle or new.
        if (waiting > m_waking.load(std::memory_order_relaxed)) {
            if (!m_idle.empty()) {
                idle = m_idle.back();
                m_idle.pop_back();
            } else if (m_threads < maxThreads()) {
                ++m_threads;
                spawn = true;
            }
            if (idle || spawn)
                m_waking.store(m_waking.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        }
    }
    if (spawn)
        std::thread([this] { work(); }).detach();
    else if (idle && idle->state.exchange(kWoken, std::memory_order_acq_rel) == kSleeping)
        wakeOne(idle->state);
}

std::function<void()> WorkerPool::takeWaitingJobLocked() {
    auto& from = m_high.empty() ? m_default : m_high;
    if (from.empty())
        return nullptr;
    std::function<void()> job = std::move(from.front());
    from.pop_front();
    m_waiting.store(m_waiting.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    return job;
}

void WorkerPool::work() {
    setCurrentThreadName("dispatch-worker");
    enterPlatformThread();
    Worker self;
    std::unique_lock lock(m_mutex);
    for (;;) {
        // Woken or new: this worker came for a job.
        m_waking.store(m_waking.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        while (std::function<void()> job = takeWaitingJobLocked()) {
            lock.unlock();
            enterPlatformThread();
            job();
            job = nullptr;
            lock.lock();
        }
        self.state.store(kIdle, std::memory_order_relaxed);
        m_idle.push_back(&self);
        lock.unlock();
        // Idle until a submission wakes this worker (one that comes before it sleeps spares the futex call).
        int expected = kIdle;
        if (self.state.compare_exchange_strong(expected, kSleeping, std::memory_order_acq_rel)) {
            while (self.state.load(std::memory_order_acquire) == kSleeping)
                sleepWhile(self.state, kSleeping);
        }
        lock.lock();
    }
}

} // namespace platform
