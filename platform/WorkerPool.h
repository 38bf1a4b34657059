// Private to platform/: the threads that run the blocks of the global queues and the drains of serial
// queues. Grows when every worker is busy (blocks may wait on each other), up to a cap.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace platform {

class WorkerPool {
public:
    enum class Priority { Default, High };

    static WorkerPool& shared();
    void submit(std::function<void()> job, Priority priority);

private:
    WorkerPool() = default;
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_high;
    std::deque<std::function<void()>> m_default;
    int m_threads = 0;
    int m_idle = 0;
};

} // namespace platform
