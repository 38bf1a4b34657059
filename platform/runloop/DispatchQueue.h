// Dispatch queues: the main queue, the global concurrent queues and labelled serial queues.
//
// This is the one way to hop threads in this code base: every stateful object has a home queue (or a
// home run loop), and crossing threads means posting a block to it:
//     DispatchQueue::main()->async([weak = m_weak] { if (auto self = weak.lock()) self->finish(); });
//
// Guarantees:
// - Thread: every call may be made from any thread.
// - Order: a serial queue (and the main queue) runs its blocks one at a time in the order they were
//   queued. The main queue posts into the main run loop's perform queue, so main-queue async and
//   RunLoop::main().perform / performAfterDelay(0) form one FIFO. The global queues run blocks
//   concurrently, high priority before default.
// - async never runs the block inline and never waits. sync waits for the block; on a serial queue it
//   runs on the caller's thread once every earlier block is done (nothing else of that queue runs
//   meanwhile); on the main queue (from another thread) it runs on the main thread. sync onto the queue
//   the caller is running on is a programming error and stops the process with a logged failure.
// - While a block runs, current() / currentLabel() / currentSpecific() report the queue it was posted to,
//   also inside sync. On the main thread outside any queue block, the current queue is the main queue.
// - after(delay) uses Clock::current(), so a virtual clock drives it (main-queue "after" is a main run
//   loop timer; other queues are fed by a dispatch timer thread).
// - Ownership: queues are shared (shared_ptr): queued blocks keep their queue alive. main() and global()
//   live for the whole process.
#pragma once

#include "platform/runloop/Clock.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace platform {

class DispatchGroup;

class DispatchQueue : public std::enable_shared_from_this<DispatchQueue> {
public:
    enum class Kind { Main, Serial, Concurrent };
    enum class Priority { Default, High };

    // Labels as the platform reports them.
    static constexpr const char* kMainLabel = "com.apple.main-thread";
    static constexpr const char* kDefaultPriorityLabel = "com.apple.root.default-priority";
    static constexpr const char* kHighPriorityLabel = "com.apple.root.high-priority";

    static const std::shared_ptr<DispatchQueue>& main();
    static const std::shared_ptr<DispatchQueue>& global(Priority priority = Priority::Default);
    static std::shared_ptr<DispatchQueue> createSerial(std::string label);

    // The queue whose block runs on this thread (see above), or nullptr.
    static DispatchQueue* current();
    // The label of current(), or "" when there is none.
    static std::string currentLabel();
    // The value current() carries for the key, or nullptr.
    static void* currentSpecific(const void* key);

    ~DispatchQueue();
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;

    const std::string& label() const { return m_label; }
    Kind kind() const { return m_kind; }
    // True while the calling thread runs a block of this queue (the main queue: on the main thread).
    bool isCurrent() const;

    // Debug builds: a logged abort unless the caller runs on this queue (the check at the top of a
    // queue-bound public method). Release builds: nothing.
    void assertIsCurrent() const {
#ifndef NDEBUG
        if (!isCurrent())
            failNotCurrent();
#endif
    }

    void async(std::function<void()> block);
    void async(const DispatchGroup& group, std::function<void()> block);
    void sync(const std::function<void()>& block);
    void after(Duration delay, std::function<void()> block);
    void after(double delaySeconds, std::function<void()> block) { after(seconds(delaySeconds), std::move(block)); }

    // Serial queues: how many blocks were submitted so far (async, sync, and after once its delay has
    // passed). A caller that reads n just before its own submission and later finds n + 1 knows that
    // nothing else was queued behind its block. 0 for the main and global queues.
    std::uint64_t submissionCount() const { return m_submissions.load(std::memory_order_acquire); }

    // Queue-specific markers: opaque keys and values the caller owns.
    void setSpecific(const void* key, void* value);
    void* specific(const void* key) const;

private:
    struct Item;
    [[noreturn]] void failNotCurrent() const;
    DispatchQueue(Kind kind, std::string label, Priority priority);
    void scheduleDrainLocked();
    void countSubmissionLocked() {
        m_submissions.store(m_submissions.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
    void drain();
    void runItem(Item& item);

    const Kind m_kind;
    const std::string m_label;
    const Priority m_priority;

    mutable std::mutex m_mutex;
    std::deque<Item> m_items;
    bool m_draining = false;
    std::atomic<std::uint64_t> m_submissions{0}; // written under m_mutex
    std::vector<Item> m_drainBatch;              // used by the one running drain only
    std::unordered_map<const void*, void*> m_specifics;
};

// The number of processors available to this process.
int activeProcessorCount();

} // namespace platform
