// Operation queues: run operations with at most N at a time (the file-transfer plug-in keeps one, the
// asynchronous HTTP client makes one per request and delivers its callbacks there).
//
// Guarantees:
// - Operations start in the order they were added; with a maximum of 1 they run one after the other.
//   The default maximum is the number of processors.
// - main() runs its operations on the main queue (one at a time, FIFO with main-queue async).
// - cancelAllOperations() marks every operation not yet finished as cancelled: those not started never
//   run; running ones see isCancelled() and may stop early.
// - waitUntilAllOperationsAreFinished() blocks until the queue is empty; calling it from one of the
//   queue's own operations, or from the main thread on main(), is a programming error (logged abort).
// - asDeliveryTarget() gives the "run this there" function other APIs take (URL connections).
// - Thread: every call from any thread. Operations keep their queue alive while queued.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

class DispatchQueue;

class Operation {
public:
    explicit Operation(std::function<void(Operation&)> block) : m_block(std::move(block)) {}
    void cancel() { m_cancelled = true; }
    bool isCancelled() const { return m_cancelled; }
    bool isFinished() const { return m_finished; }

private:
    friend class OperationQueue;
    std::function<void(Operation&)> m_block;
    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_finished{false};
};

class OperationQueue : public std::enable_shared_from_this<OperationQueue> {
public:
    static std::shared_ptr<OperationQueue> create(std::string name = {});
    static const std::shared_ptr<OperationQueue>& main();

    const std::string& name() const { return m_name; }
    void setMaxConcurrentOperationCount(int count);
    int maxConcurrentOperationCount() const;

    std::shared_ptr<Operation> addOperation(std::function<void()> block);
    void addOperation(std::shared_ptr<Operation> operation);
    void cancelAllOperations();
    void waitUntilAllOperationsAreFinished();
    // Operations queued or running.
    std::size_t operationCount() const;

    std::function<void(std::function<void()>)> asDeliveryTarget();

private:
    OperationQueue(std::string name, std::shared_ptr<DispatchQueue> target, int maxConcurrent);
    void startReadyLocked();
    void run(const std::shared_ptr<Operation>& operation);

    const std::string m_name;
    const std::shared_ptr<DispatchQueue> m_target;
    mutable std::mutex m_mutex;
    std::condition_variable m_idle;
    std::deque<std::shared_ptr<Operation>> m_waiting;
    std::deque<std::shared_ptr<Operation>> m_running;
    int m_maxConcurrent;
};

} // namespace platform
