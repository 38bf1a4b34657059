#include "pushlog/PULSELog.h"

#include "pushlog/PULSELoggerNode.h"
#include "pushlog/QueueBound.h"

#include "platform/DispatchGroup.h"
#include "platform/Notification.h"
#include "platform/NotificationCenter.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>

namespace pushlog {

namespace {

// The marker set on the logging queue: its key and value are the address of this object.
const char kLoggingQueueMarker = 0;

} // namespace

// One message on its way: it holds a unit of the queue semaphore until every eligible logger has
// handled it, and wakes a synchronous caller then.
struct PULSELog::Delivery {
    Delivery(PULSELogMessage message, bool waited) : message(std::move(message)), waited(waited) {}

    void finish(QueueBound& bound) {
        bound.release();
        if (!waited)
            return;
        std::lock_guard lock(mutex);
        delivered = true;
        changed.notify_all();
    }
    void waitUntilDelivered() {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return delivered; });
    }

    const PULSELogMessage message;
    std::atomic<int> remaining{0};
    const bool waited;
    std::mutex mutex;
    std::condition_variable changed;
    bool delivered = false;
};

namespace {

struct FrameworkState {
    QueueRef loggingQueue = platform::DispatchQueue::createSerial("pulse.logging");
    platform::DispatchGroup loggingGroup;
    QueueBound queueSemaphore{1000};
    int processorCount = std::max(1, platform::activeProcessorCount());
    // Touched only on the logging queue.
    std::vector<std::shared_ptr<PULSELoggerNode>> loggers;
    // Delivered asynchronous messages, released by the next callers that log rather than by the logger
    // threads: their memory was allocated by the callers, and freeing it on the thread that allocated it
    // keeps the callers and the logger threads from contending for the allocator.
    std::mutex retiredMutex;
    std::vector<std::shared_ptr<void>> retired; // PULSELog::Delivery objects
    std::atomic<std::size_t> retiredCount{0};

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

constexpr std::size_t kRetiredBatch = 64;

// On a logger thread: hands a delivered message over to be released by a caller.
void retire(FrameworkState& framework, std::shared_ptr<void> delivery) {
    std::lock_guard lock(framework.retiredMutex);
    framework.retired.push_back(std::move(delivery));
    framework.retiredCount.store(framework.retired.size(), std::memory_order_relaxed);
}

// On a calling thread: releases the delivered messages once a batch of them has gathered.
void releaseRetired(FrameworkState& framework) {
    if (framework.retiredCount.load(std::memory_order_relaxed) < kRetiredBatch)
        return;
    thread_local std::vector<std::shared_ptr<void>> released;
    {
        std::lock_guard lock(framework.retiredMutex);
        released.swap(framework.retired);
        framework.retiredCount.store(0, std::memory_order_relaxed);
    }
    released.clear(); // outside the lock; the vectors keep their capacity for the next rounds
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

const QueueRef& PULSELog::loggingQueue() { return state().loggingQueue; }

bool PULSELog::isOnLoggingQueue() {
    state();
    return platform::DispatchQueue::currentSpecific(&kLoggingQueueMarker) != nullptr;
}

void PULSELog::addLogger(std::shared_ptr<PULSELogger> logger) { addLogger(std::move(logger), PULSELogLevelAll); }

void PULSELog::addLogger(std::shared_ptr<PULSELogger> logger, std::uint64_t level) {
    if (!logger)
        return;
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
    if (!format)
        return;
    va_list args;
    va_start(args, format);
    log(asynchronous, level, flag, context, file, function, line, tag, format, args);
    va_end(args);
}

void PULSELog::log(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context, const char* file,
                   const char* function, std::uint64_t line, const platform::Value& tag, const char* format,
                   va_list args) {
    if (!format)
        return;
    queueLogMessage(makeLogText(formatText(format, args)), level, flag, context, file, function, line, tag,
                    asynchronous);
}

void PULSELog::queueLogMessage(LogText text, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                               const char* file, const char* function, std::uint64_t line,
                               const platform::Value& tag, bool asynchronous) {
    FrameworkState& framework = state();
    framework.queueSemaphore.acquire();
    enqueue(std::make_shared<Delivery>(
                PULSELogMessage(std::move(text), level, flag, context, file, function, line, tag, 0), !asynchronous),
            asynchronous);
}

void PULSELog::log(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                   std::int64_t context, const char* file, const char* function, std::uint64_t line,
                   const platform::Value& tag) {
    queueLogMessage(makeLogText(std::move(message)), level, flag, context, file, function, line, tag, asynchronous);
}

void PULSELog::log(bool asynchronous, PULSELogMessage message) {
    state().queueSemaphore.acquire();
    enqueue(std::make_shared<Delivery>(std::move(message), !asynchronous), asynchronous);
}

void PULSELog::queueLogMessage(std::shared_ptr<const PULSELogMessage> message, bool asynchronous) {
    if (message)
        log(asynchronous, *message);
}

void PULSELog::enqueue(std::shared_ptr<Delivery> delivery, bool asynchronous) {
    FrameworkState& framework = state();
    if (asynchronous) {
        releaseRetired(framework);
        framework.loggingQueue->async([delivery = std::move(delivery)]() mutable {
            lt_log(delivery);
            retire(state(), std::move(delivery));
        });
        return;
    }
    framework.loggingQueue->sync([&delivery] { lt_log(delivery); });
    delivery->waitUntilDelivered();
}

void PULSELog::flushLog() {
    loggingQueue()->sync([] { lt_flush(); });
}

void PULSELog::applicationWillTerminate() { flushLog(); }

void PULSELog::lt_addLogger(std::shared_ptr<PULSELogger> logger, std::uint64_t level) {
    auto& loggers = state().loggers;
    auto existing = std::find_if(loggers.begin(), loggers.end(),
                                 [&](const auto& node) { return node->logger() == logger; });
    if (existing != loggers.end()) {
        // Already registered: one registration, at the level asked for last.
        *existing = PULSELoggerNode::nodeWithLogger(logger, (*existing)->loggerQueue(), level);
        return;
    }
    QueueRef queue = logger->loggerQueue();
    if (!queue) {
        const std::optional<std::string> name = logger->loggerName();
        queue = platform::DispatchQueue::createSerial(name ? *name : std::string());
    }
    loggers.push_back(PULSELoggerNode::nodeWithLogger(logger, queue, level));
    queue->async([logger] { logger->didAddLogger(); });
}

void PULSELog::lt_removeLogger(const std::shared_ptr<PULSELogger>& logger) {
    auto& loggers = state().loggers;
    auto found = std::find_if(loggers.begin(), loggers.end(), [&](const auto& node) { return node->logger() == logger; });
    if (found == loggers.end())
        return;
    (*found)->loggerQueue()->async([logger] { logger->willRemoveLogger(); });
    loggers.erase(found);
}

void PULSELog::lt_removeAllLoggers() {
    auto& loggers = state().loggers;
    for (const auto& node : loggers)
        node->loggerQueue()->async([logger = node->logger()] { logger->willRemoveLogger(); });
    loggers.clear();
}

std::vector<std::shared_ptr<PULSELogger>> PULSELog::lt_allLoggers() {
    std::vector<std::shared_ptr<PULSELogger>> loggers;
    for (const auto& node : state().loggers)
        loggers.push_back(node->logger());
    return loggers;
}

void PULSELog::lt_log(const std::shared_ptr<Delivery>& delivery) {
    FrameworkState& framework = state();
    const PULSELogMessage& message = delivery->message;
    int eligible = 0;
    for (const auto& node : framework.loggers)
        eligible += levelAcceptsFlag(node->level(), message.flag()) ? 1 : 0;
    if (framework.processorCount < 2 || eligible == 1) {
        // One after the other, each on its logger's queue. For a single logger this is the same as
        // handing it over and waiting, and an idle logger queue runs it without a thread hop.
        for (const auto& node : framework.loggers) {
            if (levelAcceptsFlag(node->level(), message.flag())) {
                PULSELogger& logger = *node->logger();
                node->loggerQueue()->sync([&] { logger.logMessage(message); });
            }
        }
        delivery->finish(framework.queueSemaphore);
        return;
    }
    // Each eligible logger gets the message on its own queue, behind the messages queued before; the
    // loggers work in parallel and the message counts as delivered when the last one has finished.
    // Each logger still receives the messages strictly in queuing order, one at a time.
    if (eligible == 0) {
        delivery->finish(framework.queueSemaphore);
        return;
    }
    delivery->remaining.store(eligible);
    for (const auto& node : framework.loggers) {
        if (!levelAcceptsFlag(node->level(), message.flag()))
            continue;
        node->loggerQueue()->async([logger = node->logger(), delivery]() mutable {
            logger->logMessage(delivery->message);
            if (delivery->remaining.fetch_sub(1) == 1)
                delivery->finish(state().queueSemaphore);
            if (!delivery->waited)
                retire(state(), std::move(delivery));
        });
    }
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
