#include "platform/WorkerPool.h"

#include "platform/RunLoopThread.h"

#include <algorithm>
#include <thread>

namespace platform {
namespace {

int maxThreads() {
    return std::max(64, 4 * static_cast<int>(std::thread::hardware_concurrency()));
}

} // namespace

WorkerPool& WorkerPool::shared() {
    static auto* pool = new WorkerPool; // its threads run until the process ends
    return *pool;
}

void WorkerPool::submit(std::function<void()> job, Priority priority) {
    bool spawn = false;
    {
        std::lock_guard lock(m_mutex);
        (priority == Priority::High ? m_high : m_default).push_back(std::move(job));
        const auto queued = static_cast<int>(m_high.size() + m_default.size());
        if (queued > m_idle && m_threads < maxThreads()) {
            ++m_threads;
            spawn = true;
        }
    }
    if (spawn)
        std::thread([this] { work(); }).detach();
    else
        m_wake.notify_one();
}

void WorkerPool::work() {
    setCurrentThreadName("dispatch-worker");
    std::unique_lock lock(m_mutex);
    for (;;) {
        ++m_idle;
        m_wake.wait(lock, [&] { return !m_high.empty() || !m_default.empty(); });
        --m_idle;
        auto& from = m_high.empty() ? m_default : m_high;
        auto job = std::move(from.front());
        from.pop_front();
        lock.unlock();
        job();
        job = nullptr;
        lock.lock();
    }
}

} // namespace platform
