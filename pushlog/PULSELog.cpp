#include "pushlog/PULSELog.h"

#include "pushlog/PULSELoggerNode.h"

#include "platform/DispatchGroup.h"
#include "platform/DispatchSemaphore.h"

#include <algorithm>
#include <cstdio>
#include <mutex>

namespace pushlog {

namespace {

// The marker set on the logging queue: its key and value are the address of this object.
const char kLoggingQueueMarker = 0;

struct FrameworkState {
    QueueRef loggingQueue = platform::DispatchQueue::createSerial("pulse.logging");
    platform::DispatchGroup loggingGroup;
    platform::DispatchSemaphore queueSemaphore{1000};
    int processorCount = std::max(1, platform::activeProcessorCount());
    // Touched only on the logging queue.
    std::vector<std::shared_ptr<PULSELoggerNode>> loggers;

    FrameworkState() {
        loggers.reserve(4);
        loggingQueue->setSpecific(&kLoggingQueueMarker, const_cast<char*>(&kLoggingQueueMarker));
    }
};

FrameworkState& state() {
    // Made once, lives for the process: loggers may still be flushed while the process ends.
    static FrameworkState* framework = new FrameworkState();
    return *framework;
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
    log(asynchronous, formatText(format, args), level, flag, context, file, function, line, tag);
}

void PULSELog::log(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                   std::int64_t context, const char* file, const char* function, std::uint64_t line,
                   const platform::Value& tag) {
    queueLogMessage(std::make_shared<const PULSELogMessage>(std::move(message), level, flag, context,
                                                            file ? file : "(null)", function ? function : "(null)",
                                                            line, tag, 0),
                    asynchronous);
}

void PULSELog::log(bool asynchronous, PULSELogMessage message) {
    queueLogMessage(std::make_shared<const PULSELogMessage>(std::move(message)), asynchronous);
}

void PULSELog::queueLogMessage(std::shared_ptr<const PULSELogMessage> message, bool asynchronous) {
    FrameworkState& framework = state();
    framework.queueSemaphore.wait();
    if (asynchronous) {
        framework.loggingQueue->async([message = std::move(message)] { lt_log(*message); });
        return;
    }
    framework.loggingQueue->sync([&message] { lt_log(*message); });
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

void PULSELog::lt_log(const PULSELogMessage& message) {
    FrameworkState& framework = state();
    std::size_t eligible = 0;
    for (const auto& node : framework.loggers)
        eligible += levelAcceptsFlag(node->level(), message.flag()) ? 1 : 0;
    if (framework.processorCount < 2 || eligible == 1) {
        // One after the other on each logger's queue. With a single eligible logger this is the same
        // as running it in the group and waiting, without the hop.
        for (const auto& node : framework.loggers) {
            if (levelAcceptsFlag(node->level(), message.flag())) {
                PULSELogger& logger = *node->logger();
                node->loggerQueue()->sync([&] { logger.logMessage(message); });
            }
        }
    } else if (eligible > 1) {
        auto shared = std::make_shared<const PULSELogMessage>(message);
        for (const auto& node : framework.loggers) {
            if (levelAcceptsFlag(node->level(), message.flag()))
                node->loggerQueue()->async(framework.loggingGroup,
                                           [logger = node->logger(), shared] { logger->logMessage(*shared); });
        }
        framework.loggingGroup.wait();
    }
    framework.queueSemaphore.signal();
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
