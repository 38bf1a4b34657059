#include "pushlog/PULSELog.h"

#include "pushlog/PULSELoggerNode.h"
#include "pushlog/QueueBound.h"

#include "platform/runloop/DispatchGroup.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace pushlog {

namespace {

// The marker set on the logging queue: its key and value are the address of this object.
const char kLoggingQueueMarker = 0;

} // namespace

// Messages on their way, delivered together: every logger that takes one of them gets the whole run as
// one batch. The batch holds a unit of the queue bound per message until every eligible logger has
// handled it, and wakes a synchronous caller then.
struct PULSELog::Batch {
    explicit Batch(bool waited) : waited(waited) {}

    void add(PULSELogMessage message) {
        flags |= message.flag();
        messages.push_back(std::move(message));
    }
    void finish(QueueBound& bound) {
        bound.release(static_cast<int>(messages.size()));
        if (!waited)
            return;
        {
            std::lock_guard lock(mutex);
            delivered.store(true, std::memory_order_release);
        }
        changed.notify_all();
    }
    void waitUntilDelivered() {
        if (delivered.load(std::memory_order_acquire))
            return; // delivered by the loggers' queues while the caller waited for them
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return delivered.load(std::memory_order_acquire); });
    }

    std::vector<PULSELogMessage> messages;
    std::uint64_t flags = 0; // every flag of the messages
    std::atomic<int> remaining{0};
    const bool waited;
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> delivered{false};
};

namespace {

using BatchRef = std::shared_ptr<PULSELog::Batch>;

struct FrameworkState {
    QueueRef loggingQueue = platform::DispatchQueue::createSerial("pulse.logging");
    platform::DispatchGroup loggingGroup;
    QueueBound queueSemaphore{1000};
    int processorCount = std::max(1, platform::activeProcessorCount());
    // Touched only on the logging queue.
    std::vector<std::shared_ptr<PULSELoggerNode>> loggers;

    // Every flag some logger may take: the levels of the registered loggers and of those still on their
    // way to the registry. Messages of other flags are dropped by the caller, before any queue work.
    std::atomic<std::uint64_t> flagsTaken{0};
    std::mutex registryMutex; // guards pendingAdds and the lowering of flagsTaken
    int pendingAdds = 0;

    // Asynchronous messages go into the open batch while its delivery block is the last block queued on
    // the logging queue; once anything else is queued behind it, the next message opens a new batch, so
    // messages and other blocks keep the order in which they were queued.
    std::mutex inboxMutex;
    std::condition_variable batchChanged; // the open batch was closed or has grown to kLingerMessages
    BatchRef openBatch;
    std::uint64_t openBatchSubmission = 0; // the logging queue's submission count with its block queued
    std::vector<BatchRef> spareBatches;    // delivered, emptied, ready for reuse

    // Delivered asynchronous batches, emptied by the next callers that log rather than by the logger
    // threads: the messages' memory was allocated by the callers, and freeing it on the thread that
    // allocated it keeps the callers and the logger threads from contending for the allocator.
    std::mutex retiredMutex;
    std::vector<BatchRef> retired;
    std::atomic<bool> hasRetired{false};

    FrameworkState() {
        loggers.reserve(4);
        loggingQueue->setSpecific(&kLoggingQueueMarker, const_cast<char*>(&kLoggingQueueMarker));
        platform::NotificationCenter::defaultCenter().addObserver(
            static_cast<const void*>(&kLoggingQueueMarker),
            std::string(platform::kApplicationWillTerminateNotification), nullptr,
            [](const platform::Notification&) { PULSELog::applicationWillTerminate(); });
    }
};

FrameworkState& state() {
    // Made once, lives for the process: loggers may still be flushed while the process ends.
    static FrameworkState* framework = new FrameworkState();
    return *framework;
}

constexpr std::size_t kSpareBatches = 4;

// A delivery block that starts while its batch is small keeps the batch open a little longer, so that a
// steady stream of asynchronous messages wakes the logging queue once a millisecond rather than once a
// message. It stops at once when the batch is closed (anything else queued, a synchronous message, a
// flush) or has grown large.
constexpr auto kLingerTime = std::chrono::milliseconds(1);
constexpr std::size_t kLingerMessages = 256;

// Under the inbox lock: the open batch takes no more messages; a block lingering over it goes on.
void closeOpenBatchLocked(FrameworkState& framework) {
    if (!framework.openBatch)
        return;
    framework.openBatch = nullptr;
    framework.batchChanged.notify_all();
}

// On a calling thread, outside the inbox lock: takes a unit of the bound. A caller that must wait for one
// first closes the open batch, so that its delivery (which gives units back) starts at once instead of
// lingering for messages that the waiting caller cannot queue.
void acquireUnit(FrameworkState& framework) {
    if (framework.queueSemaphore.tryAcquire())
        return;
    {
        std::lock_guard lock(framework.inboxMutex);
        closeOpenBatchLocked(framework);
    }
    framework.queueSemaphore.acquire();
}

// On a logger thread: hands a delivered batch over to be emptied by a caller. Texts the loggers made
// (deferred ones) are let go of here, where they were made.
void retire(FrameworkState& framework, BatchRef batch) {
    for (PULSELogMessage& message : batch->messages)
        message.releaseDeferredText();
    std::lock_guard lock(framework.retiredMutex);
    framework.retired.push_back(std::move(batch));
    framework.hasRetired.store(true, std::memory_order_relaxed);
}

// On a calling thread: empties the delivered batches and keeps a few for reuse.
void releaseRetired(FrameworkState& framework) {
    if (!framework.hasRetired.load(std::memory_order_relaxed))
        return;
    thread_local std::vector<BatchRef> released;
    {
        std::lock_guard lock(framework.retiredMutex);
        released.swap(framework.retired);
        framework.hasRetired.store(false, std::memory_order_relaxed);
    }
    for (BatchRef& batch : released) {
        batch->messages.clear(); // outside the locks; the vector keeps its capacity
        batch->flags = 0;
    }
    {
        std::lock_guard lock(framework.inboxMutex);
        for (BatchRef& batch : released)
            if (framework.spareBatches.size() < kSpareBatches && batch.use_count() == 1)
                framework.spareBatches.push_back(std::move(batch));
    }
    released.clear();
}

// Under the inbox lock: an empty batch for asynchronous messages.
BatchRef takeSpareBatchLocked(FrameworkState& framework) {
    if (framework.spareBatches.empty())
        return std::make_shared<PULSELog::Batch>(false);
    BatchRef batch = std::move(framework.spareBatches.back());
    framework.spareBatches.pop_back();
    return batch;
}

bool someLoggerTakes(std::uint64_t flag) {
    return levelAcceptsFlag(state().flagsTaken.load(std::memory_order_acquire), flag);
}

struct ClassRegistry {
    std::mutex mutex;
    std::vector<PULSELogClass> classes;
};

ClassRegistry& classRegistry() {
    static ClassRegistry* registry = new ClassRegistry();
    return *registry;
}

std::string formatText(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[512];
    const int length = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (length < 0)
        return {};
    if (static_cast<std::size_t>(length) < sizeof small)
        return std::string(small, static_cast<std::size_t>(length));
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, args);
    text.resize(static_cast<std::size_t>(length));
    return text;
}

} // namespace

namespace {

// What the calling thread's scopes hold: how deep they are nested, and the messages.
struct HeldMessages {
    int depth = 0;
    std::vector<PULSELogMessage> messages;
};
thread_local HeldMessages t_held;
constexpr std::size_t kMaxHeldMessages = 256;

} // namespace

PULSELogBatchScope::PULSELogBatchScope() { ++t_held.depth; }

PULSELogBatchScope::~PULSELogBatchScope() {
    if (--t_held.depth == 0)
        PULSELog::queueHeldMessages();
}

const QueueRef& PULSELog::loggingQueue() {
    queueHeldMessages();
    return state().loggingQueue;
}

bool PULSELog::takesFlag(std::uint64_t flag) { return someLoggerTakes(flag); }

bool PULSELog::isOnLoggingQueue() {
    state();
    return platform::DispatchQueue::currentSpecific(&kLoggingQueueMarker) != nullptr;
}

void PULSELog::addLogger(std::shared_ptr<PULSELogger> logger) { addLogger(std::move(logger), PULSELogLevelAll); }

void PULSELog::addLogger(std::shared_ptr<PULSELogger> logger, std::uint64_t level) {
    if (!logger)
        return;
    FrameworkState& framework = state();
    {
        // Messages logged from now on must reach the logger once it is registered: let their flags pass.
        std::lock_guard lock(framework.registryMutex);
        ++framework.pendingAdds;
        framework.flagsTaken.fetch_or(level, std::memory_order_acq_rel);
    }
    loggingQueue()->async([logger = std::move(logger), level]() mutable { lt_addLogger(std::move(logger), level); });
}

void PULSELog::removeLogger(const std::shared_ptr<PULSELogger>& logger) {
    if (!logger)
        return;
    loggingQueue()->async([logger] { lt_removeLogger(logger); });
}

void PULSELog::removeAllLoggers() {
    loggingQueue()->async([] { lt_removeAllLoggers(); });
}

std::vector<std::shared_ptr<PULSELogger>> PULSELog::allLoggers() {
    std::vector<std::shared_ptr<PULSELogger>> loggers;
    loggingQueue()->sync([&] { loggers = lt_allLoggers(); });
    return loggers;
}

void PULSELog::log(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context, const char* file,
                   const char* function, std::uint64_t line, const platform::Value& tag, const char* format, ...) {
    if (!format || !someLoggerTakes(flag))
        return;
    va_list args;
    va_start(args, format);
    log(asynchronous, level, flag, context, file, function, line, tag, format, args);
    va_end(args);
}

void PULSELog::log(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context, const char* file,
                   const char* function, std::uint64_t line, const platform::Value& tag, const char* format,
                   va_list args) {
    if (!format || !someLoggerTakes(flag))
        return;
    queueLogMessage(makeLogText(formatText(format, args)), level, flag, context, file, function, line, tag,
                    asynchronous);
}

void PULSELog::queueLogMessage(LogText text, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                               const char* file, const char* function, std::uint64_t line,
                               const platform::Value& tag, bool asynchronous) {
    if (!someLoggerTakes(flag))
        return;
    enqueue(PULSELogMessage(std::move(text), level, flag, context, file, function, line, tag, 0), asynchronous);
}

void PULSELog::log(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                   std::int64_t context, const char* file, const char* function, std::uint64_t line,
                   const platform::Value& tag) {
    if (!someLoggerTakes(flag))
        return;
    queueLogMessage(makeLogText(std::move(message)), level, flag, context, file, function, line, tag, asynchronous);
}

void PULSELog::log(bool asynchronous, PULSELogMessage message) {
    if (!someLoggerTakes(message.flag()))
        return;
    enqueue(std::move(message), asynchronous);
}

void PULSELog::logDeferred(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                           const char* file, const char* function, std::uint64_t line, const platform::Value& tag,
                           std::function<std::string()> text) {
    if (!someLoggerTakes(flag))
        return;
    enqueue(PULSELogMessage(std::make_shared<DeferredLogText>(std::move(text)), level, flag, context, file, function,
                            line, tag, 0),
            asynchronous);
}

void PULSELog::queueLogMessage(std::shared_ptr<const PULSELogMessage> message, bool asynchronous) {
    if (message)
        log(asynchronous, *message);
}

void PULSELog::queueHeldMessages() {
    if (t_held.messages.empty())
        return;
    std::vector<PULSELogMessage> held;
    held.swap(t_held.messages);
    FrameworkState& framework = state();
    // The messages go in as units are had for them: one, waited for when none is left, and as many more
    // as are left at once. A caller never waits holding units of messages it has not queued, so callers
    // waiting together cannot hold the whole bound between them.
    std::size_t queued = 0;
    while (queued < held.size()) {
        acquireUnit(framework);
        std::size_t end = queued + 1;
        while (end < held.size() && framework.queueSemaphore.tryAcquire())
            ++end;
        releaseRetired(framework);
        std::lock_guard lock(framework.inboxMutex);
        BatchRef batch = openBatchLocked();
        for (; queued < end; ++queued)
            batch->add(std::move(held[queued]));
        if (batch->messages.size() >= kLingerMessages)
            framework.batchChanged.notify_all();
    }
}

std::shared_ptr<PULSELog::Batch> PULSELog::openBatchLocked() {
    FrameworkState& framework = state();
    const std::uint64_t submissions = framework.loggingQueue->submissionCount();
    if (framework.openBatch && submissions == framework.openBatchSubmission)
        return framework.openBatch;
    closeOpenBatchLocked(framework); // something else was queued after it
    framework.openBatch = takeSpareBatchLocked(framework);
    framework.loggingQueue->async([batch = framework.openBatch]() mutable {
        FrameworkState& framework = state();
        {
            std::unique_lock lock(framework.inboxMutex);
            if (framework.openBatch == batch) {
                framework.batchChanged.wait_for(lock, kLingerTime, [&] {
                    return framework.openBatch != batch || batch->messages.size() >= kLingerMessages;
                });
                if (framework.openBatch == batch)
                    framework.openBatch = nullptr; // closed: what comes next opens a new batch
            }
        }
        if (lt_log(batch))
            retire(framework, std::move(batch)); // else the last logger to finish retires it
    });
    // Counted before the post, so that anything another thread queued meanwhile closes the batch too.
    framework.openBatchSubmission = submissions + 1;
    return framework.openBatch;
}

void PULSELog::enqueue(PULSELogMessage message, bool asynchronous) {
    if (asynchronous && t_held.depth > 0) {
        t_held.messages.push_back(std::move(message));
        if (t_held.messages.size() >= kMaxHeldMessages)
            queueHeldMessages();
        return;
    }
    queueHeldMessages(); // the thread's earlier messages go first
    FrameworkState& framework = state();
    acquireUnit(framework);
    if (!asynchronous) {
        {
            // What was logged before goes first, without lingering.
            std::lock_guard lock(framework.inboxMutex);
            closeOpenBatchLocked(framework);
        }
        // The calling thread's own batch, reused once no logger holds it any more.
        thread_local BatchRef batch;
        if (!batch || batch.use_count() != 1)
            batch = std::make_shared<Batch>(true);
        batch->messages.clear();
        batch->flags = 0;
        batch->delivered.store(false, std::memory_order_relaxed);
        batch->add(std::move(message));
        framework.loggingQueue->sync([&mine = batch] { lt_log(mine); });
        batch->waitUntilDelivered();
        return;
    }
    releaseRetired(framework);
    std::lock_guard lock(framework.inboxMutex);
    BatchRef batch = openBatchLocked();
    batch->add(std::move(message));
    if (batch->messages.size() == kLingerMessages)
        framework.batchChanged.notify_all();
}

void PULSELog::flushLog() {
    queueHeldMessages();
    FrameworkState& framework = state();
    {
        std::lock_guard lock(framework.inboxMutex);
        closeOpenBatchLocked(framework);
    }
    framework.loggingQueue->sync([] { lt_flush(); });
}

int PULSELog::callersWaitingForRoom() { return state().queueSemaphore.waiting(); }

void PULSELog::applicationWillTerminate() { flushLog(); }

void PULSELog::lt_updateFlagsTaken(bool registered) {
    FrameworkState& framework = state();
    std::uint64_t flags = 0;
    for (const auto& node : framework.loggers)
        flags |= node->level();
    std::lock_guard lock(framework.registryMutex);
    if (registered)
        --framework.pendingAdds;
    // While registrations are on their way their levels must stay in; the last of them lowers the mask.
    if (framework.pendingAdds == 0)
        framework.flagsTaken.store(flags, std::memory_order_release);
}

void PULSELog::lt_addLogger(std::shared_ptr<PULSELogger> logger, std::uint64_t level) {
    auto& loggers = state().loggers;
    auto existing = std::find_if(loggers.begin(), loggers.end(),
                                 [&](const auto& node) { return node->logger() == logger; });
    if (existing != loggers.end()) {
        // Already registered: one registration, at the level asked for last.
        *existing = PULSELoggerNode::nodeWithLogger(logger, (*existing)->loggerQueue(), level);
        lt_updateFlagsTaken(true);
        return;
    }
    QueueRef queue = logger->loggerQueue();
    if (!queue) {
        const std::optional<std::string> name = logger->loggerName();
        queue = platform::DispatchQueue::createSerial(name ? *name : std::string());
    }
    loggers.push_back(PULSELoggerNode::nodeWithLogger(logger, queue, level));
    lt_updateFlagsTaken(true);
    queue->async([logger] { logger->didAddLogger(); });
}

void PULSELog::lt_removeLogger(const std::shared_ptr<PULSELogger>& logger) {
    auto& loggers = state().loggers;
    auto found = std::find_if(loggers.begin(), loggers.end(), [&](const auto& node) { return node->logger() == logger; });
    if (found == loggers.end())
        return;
    (*found)->loggerQueue()->async([logger] { logger->willRemoveLogger(); });
    loggers.erase(found);
    lt_updateFlagsTaken(false);
}

void PULSELog::lt_removeAllLoggers() {
    auto& loggers = state().loggers;
    for (const auto& node : loggers)
        node->loggerQueue()->async([logger = node->logger()] { logger->willRemoveLogger(); });
    loggers.clear();
    lt_updateFlagsTaken(false);
}

std::vector<std::shared_ptr<PULSELogger>> PULSELog::lt_allLoggers() {
    std::vector<std::shared_ptr<PULSELogger>> loggers;
    for (const auto& node : state().loggers)
        loggers.push_back(node->logger());
    return loggers;
}

bool PULSELog::lt_log(const std::shared_ptr<Batch>& batch) {
    FrameworkState& framework = state();
    // Read once: once the last logger has it, a batch can be retired and emptied while this loop goes on.
    const std::uint64_t flags = batch->flags;
    int eligible = 0;
    for (const auto& node : framework.loggers)
        eligible += levelAcceptsFlag(node->level(), flags) ? 1 : 0;
    if (eligible == 0) {
        batch->finish(framework.queueSemaphore);
        return true;
    }
    const std::span<const PULSELogMessage> messages(batch->messages);
    if (framework.processorCount < 2 || eligible == 1) {
        // One after the other, each on its logger's queue. For a single logger this is the same as
        // handing it over and waiting, and an idle logger queue runs it without a thread hop.
        for (const auto& node : framework.loggers) {
            if (levelAcceptsFlag(node->level(), flags)) {
                PULSELogger& logger = *node->logger();
                const std::uint64_t level = node->level();
                node->loggerQueue()->sync([&] { logger.logMessages(messages, level); });
            }
        }
        batch->finish(framework.queueSemaphore);
        return true;
    }
    // Each eligible logger gets the batch on its own queue, behind the batches queued before; the loggers
    // work in parallel and the batch counts as delivered when the last one has finished. Each logger
    // still receives the messages strictly in queuing order, one batch at a time.
    batch->remaining.store(eligible, std::memory_order_release);
    for (const auto& node : framework.loggers) {
        if (!levelAcceptsFlag(node->level(), flags))
            continue;
        node->loggerQueue()->async([logger = node->logger(), level = node->level(), batch]() mutable {
            logger->logMessages(batch->messages, level);
            if (batch->remaining.fetch_sub(1, std::memory_order_acq_rel) != 1)
                return;
            batch->finish(state().queueSemaphore);
            if (!batch->waited)
                retire(state(), std::move(batch));
        });
    }
    return false;
}

void PULSELog::lt_flush() {
    FrameworkState& framework = state();
    for (const auto& node : framework.loggers)
        node->loggerQueue()->async(framework.loggingGroup, [logger = node->logger()] { logger->flush(); });
    framework.loggingGroup.wait();
}

void PULSELog::registerClass(PULSELogClass logClass) {
    ClassRegistry& registry = classRegistry();
    std::lock_guard lock(registry.mutex);
    registry.classes.push_back(std::move(logClass));
}

bool PULSELog::isRegisteredClass(const PULSELogClass& logClass) {
    return static_cast<bool>(logClass.ddLogLevel) && static_cast<bool>(logClass.ddSetLogLevel);
}

std::vector<PULSELogClass> PULSELog::registeredClasses() {
    ClassRegistry& registry = classRegistry();
    std::lock_guard lock(registry.mutex);
    std::vector<PULSELogClass> classes;
    for (const PULSELogClass& logClass : registry.classes)
        if (isRegisteredClass(logClass))
            classes.push_back(logClass);
    return classes;
}

std::vector<std::string> PULSELog::registeredClassNames() {
    std::vector<std::string> names;
    for (const PULSELogClass& logClass : registeredClasses())
        names.push_back(logClass.name);
    return names;
}

std::uint64_t PULSELog::levelForClassWithName(const std::string& name) {
    for (const PULSELogClass& logClass : registeredClasses())
        if (logClass.name == name)
            return logClass.ddLogLevel();
    return PULSELogLevelAll;
}

void PULSELog::setLevel(std::uint64_t level, const std::string& className) {
    for (const PULSELogClass& logClass : registeredClasses())
        if (logClass.name == className)
            logClass.ddSetLogLevel(level);
}

} // namespace pushlog
