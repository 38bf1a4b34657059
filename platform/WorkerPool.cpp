#include "platform/WorkerPool.h"

#include "platform/RunLoopThread.h"

#include <algorithm>
#include <chrono>
#include <thread>

namespace platform {
namespace {

int maxThreads() {
    return std::max(64, 4 * static_cast<int>(std::thread::hardware_concurrency()));
}

// How long a worker that ran out of work keeps looking for the next job before it sleeps: about the
// cost of one wake-up, so that jobs that follow each other closely are handed over without one.
constexpr auto kSpinBeforeSleep = std::chrono::microseconds(20);

void pauseBriefly() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

} // namespace

// The worker's state word: the submitter that takes a worker off the idle list stores its job and then
// sets the word to kHasJob; the worker sleeps on the word only when it is still kNoJob.
namespace {
constexpr int kNoJob = 0;
constexpr int kHasJob = 1;
} // namespace

struct WorkerPool::Worker {
    std::atomic<int> state{kNoJob};
    std::function<void()> job; // written by the submitter before it sets kHasJob
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
        if (!m_idle.empty()) {
            idle = m_idle.back();
            m_idle.pop_back();
        } else if (m_threads < maxThreads()) {
            ++m_threads;
            spawn = true;
        } else {
            (priority == Priority::High ? m_high : m_default).push_back(std::move(job));
            m_waiting.fetch_add(1, std::memory_order_relaxed);
            return;
        }
    }
    if (spawn) {
        std::thread([this, job = std::move(job)]() mutable { work(std::move(job)); }).detach();
        return;
    }
    // The worker is ours alone now: nobody else writes its job, and it reads it only after kHasJob.
    idle->job = std::move(job);
    idle->state.store(kHasJob, std::memory_order_release);
    idle->state.notify_one();
}

std::function<void()> WorkerPool::takeWaitingJobLocked() {
    auto& from = m_high.empty() ? m_default : m_high;
    if (from.empty())
        return nullptr;
    std::function<void()> job = std::move(from.front());
    from.pop_front();
    m_waiting.fetch_sub(1, std::memory_order_relaxed);
    return job;
}

void WorkerPool::work(std::function<void()> first) {
    setCurrentThreadName("dispatch-worker");
    Worker self;
    std::function<void()> job = std::move(first);
    for (;;) {
        job();
        job = nullptr;
        {
            std::lock_guard lock(m_mutex);
            job = takeWaitingJobLocked();
            if (job)
                continue;
            self.state.store(kNoJob, std::memory_order_relaxed);
            m_idle.push_back(&self);
        }
        // Idle: look for a job for a short while, then sleep until one is handed over.
        const auto spinUntil = std::chrono::steady_clock::now() + kSpinBeforeSleep;
        while (self.state.load(std::memory_order_acquire) == kNoJob &&
               std::chrono::steady_clock::now() < spinUntil) {
            for (int i = 0; i < 16; ++i)
                pauseBriefly();
        }
        while (self.state.load(std::memory_order_acquire) == kNoJob)
            self.state.wait(kNoJob, std::memory_order_acquire);
        job = std::move(self.job);
    }
}

} // namespace platform
