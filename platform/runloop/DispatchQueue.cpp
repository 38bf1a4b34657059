#include "platform/runloop/DispatchQueue.h"

#include "platform/core/Log.h"
#include "platform/runloop/DispatchGroup.h"
#include "platform/runloop/DispatchManager.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/RunLoopThread.h"
#include "platform/runloop/WorkerPool.h"

#include <algorithm>
#include <condition_variable>
#include <thread>
#include <vector>

#include <unistd.h>

namespace platform {
namespace {

// The queues whose blocks run on this thread, innermost last (sync nests them).
thread_local std::vector<DispatchQueue*> t_queues;

struct CurrentQueueScope {
    explicit CurrentQueueScope(DispatchQueue* queue) { t_queues.push_back(queue); }
    ~CurrentQueueScope() { t_queues.pop_back(); }
};

} // namespace

// Feeds "after" blocks of the non-main queues and the dispatch sources: their timers and descriptors live
// on this thread's run loop.
RunLoop& dispatchManagerLoop() {
    static auto* thread = new RunLoopThread("dispatch-manager");
    return thread->runLoop();
}

void runOnDispatchManager(const std::function<void()>& block) {
    RunLoop& loop = dispatchManagerLoop();
    if (loop.isCurrent()) {
        block();
        return;
    }
    std::mutex mutex;
    std::condition_variable finished;
    bool done = false;
    loop.perform([&] {
        block();
        std::lock_guard lock(mutex);
        done = true;
        finished.notify_all();
    });
    std::unique_lock lock(mutex);
    finished.wait(lock, [&] { return done; });
}

namespace {

struct Gate {
    std::mutex mutex;
    std::condition_variable changed;
    bool reached = false;
    bool done = false;
};

constexpr int kDrainBatch = 64;

} // namespace

struct DispatchQueue::Item {
    std::function<void()> block;
    std::shared_ptr<Gate> gate; // set for a sync: the drain hands the queue to the waiting caller
};

DispatchQueue::DispatchQueue(Kind kind, std::string label, Priority priority)
    : m_kind(kind), m_label(std::move(label)), m_priority(priority) {}

DispatchQueue::~DispatchQueue() = default;

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
    static auto* queue = new std::shared_ptr<DispatchQueue>(new DispatchQueue(Kind::Main, kMainLabel, Priority::Default));
    return *queue;
}

const std::shared_ptr<DispatchQueue>& DispatchQueue::global(Priority priority) {
    static auto* normal = new std::shared_ptr<DispatchQueue>(
        new DispatchQueue(Kind::Concurrent, kDefaultPriorityLabel, Priority::Default));
    static auto* high = new std::shared_ptr<DispatchQueue>(
        new DispatchQueue(Kind::Concurrent, kHighPriorityLabel, Priority::High));
    return priority == Priority::High ? *high : *normal;
}

std::shared_ptr<DispatchQueue> DispatchQueue::createSerial(std::string label) {
    return std::shared_ptr<DispatchQueue>(new DispatchQueue(Kind::Serial, std::move(label), Priority::Default));
}

DispatchQueue* DispatchQueue::current() {
    if (!t_queues.empty())
        return t_queues.back();
    return RunLoop::isMainThread() ? main().get() : nullptr;
}

std::string DispatchQueue::currentLabel() {
    DispatchQueue* queue = current();
    return queue ? queue->label() : std::string();
}

void* DispatchQueue::currentSpecific(const void* key) {
    DispatchQueue* queue = current();
    return queue ? queue->specific(key) : nullptr;
}

bool DispatchQueue::isCurrent() const {
    if (std::find(t_queues.begin(), t_queues.end(), this) != t_queues.end())
        return true;
    return m_kind == Kind::Main && t_queues.empty() && RunLoop::isMainThread();
}

void DispatchQueue::failNotCurrent() const {
    internalInconsistency("called off its home queue \"" + m_label + "\" (running on \"" + currentLabel() + "\")");
}

void DispatchQueue::async(std::function<void()> block) {
    switch (m_kind) {
    case Kind::Main:
        RunLoop::main().perform(std::move(block));
        return;
    case Kind::Concurrent:
        WorkerPool::shared().submit(
            [this, block = std::move(block)] {
                CurrentQueueScope scope(this); // global queues live for ever
                block();
            },
            m_priority == Priority::High ? WorkerPool::Priority::High : WorkerPool::Priority::Default);
        return;
    case Kind::Serial: {
        std::lock_guard lock(m_mutex);
        m_items.push_back(Item{std::move(block), nullptr});
        countSubmissionLocked();
        scheduleDrainLocked();
        return;
    }
    }
}

void DispatchQueue::async(const DispatchGroup& group, std::function<void()> block) {
    group.enter();
    async([group, block = std::move(block)] {
        block();
        group.leave();
    });
}

void DispatchQueue::scheduleDrainLocked() {
    if (m_draining)
        return;
    m_draining = true;
    WorkerPool::shared().submit([self = shared_from_this()] { self->drain(); }, WorkerPool::Priority::Default);
}

void DispatchQueue::drain() {
    CurrentQueueScope scope(this);
    // Items are taken a batch at a time, so that a busy queue takes its lock once per batch rather than
    // once per block. The batch's storage is kept: only the one drain of this queue touches it.
    std::vector<Item>& batch = m_drainBatch;
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_items.empty()) {
                m_draining = false;
                return;
            }
            while (!m_items.empty() && static_cast<int>(batch.size()) < kDrainBatch) {
                batch.push_back(std::move(m_items.front()));
                m_items.pop_front();
            }
        }
        for (Item& item : batch)
            runItem(item);
        batch.clear();
        if (WorkerPool::shared().hasWaitingJobs())
            break;
    }
    // Other jobs wait for a worker: let them have this one and carry on in a new drain.
    {
        std::lock_guard lock(m_mutex);
        if (m_items.empty()) {
            m_draining = false;
            return;
        }
    }
    WorkerPool::shared().submit([self = shared_from_this()] { self->drain(); }, WorkerPool::Priority::Default);
}

void DispatchQueue::runItem(Item& item) {
    if (item.gate) {
        std::unique_lock lock(item.gate->mutex);
        item.gate->reached = true;
        item.gate->changed.notify_all();
        item.gate->changed.wait(lock, [&] { return item.gate->done; });
        return;
    }
    item.block();
    item.block = nullptr; // release what the block holds before the next one runs
}

void DispatchQueue::sync(const std::function<void()>& block) {
    if (std::find(t_queues.begin(), t_queues.end(), this) != t_queues.end() ||
        (m_kind == Kind::Main && RunLoop::isMainThread()))
        internalInconsistency("dispatch sync onto the queue the caller runs on (" + m_label + ") would never return");
    switch (m_kind) {
    case Kind::Main: {
        auto gate = std::make_shared<Gate>();
        RunLoop::main().perform([gate, &block] {
            block();
            std::lock_guard lock(gate->mutex);
            gate->done = true;
            gate->changed.notify_all();
        });
        std::unique_lock lock(gate->mutex);
        gate->changed.wait(lock, [&] { return gate->done; });
        return;
    }
    case Kind::Concurrent: {
        CurrentQueueScope scope(this);
        block();
        return;
    }
    case Kind::Serial: {
        {
            // An idle queue is taken over by the caller at once, without a hop through a worker.
            std::unique_lock lock(m_mutex);
            countSubmissionLocked();
            if (!m_draining && m_items.empty()) {
                m_draining = true;
                lock.unlock();
                {
                    CurrentQueueScope scope(this);
                    block();
                }
                lock.lock();
                m_draining = false;
                if (!m_items.empty())
                    scheduleDrainLocked();
                return;
            }
        }
        auto gate = std::make_shared<Gate>();
        {
            std::lock_guard lock(m_mutex);
            m_items.push_back(Item{nullptr, gate});
            scheduleDrainLocked();
        }
        {
            std::unique_lock lock(gate->mutex);
            gate->changed.wait(lock, [&] { return gate->reached; });
        }
        {
            CurrentQueueScope scope(this);
            block();
        }
        std::lock_guard lock(gate->mutex);
        gate->done = true;
        gate->changed.notify_all();
        return;
    }
    }
}

void DispatchQueue::after(Duration delay, std::function<void()> block) {
    if (delay <= Duration::zero()) {
        async(std::move(block));
        return;
    }
    if (m_kind == Kind::Main) {
        RunLoop::main().performAfterDelay(delay, std::move(block));
        return;
    }
    dispatchManagerLoop().performAfterDelay(delay, [self = shared_from_this(), block = std::move(block)]() mutable {
        self->async(std::move(block));
    });
}

void DispatchQueue::setSpecific(const void* key, void* value) {
    std::lock_guard lock(m_mutex);
    if (value)
        m_specifics[key] = value;
    else
        m_specifics.erase(key);
}

void* DispatchQueue::specific(const void* key) const {
    std::lock_guard lock(m_mutex);
    auto it = m_specifics.find(key);
    return it == m_specifics.end() ? nullptr : it->second;
}

int activeProcessorCount() {
    const long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<int>(n) : 1;
}

} // namespace platform
