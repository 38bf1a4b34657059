// The hub every log line of the push client passes through.
//
// A caller hands in one message with a flag; the core delivers it, in order, to every registered logger
// whose level mask contains that flag, each on the logger's own serial queue.
//
// Guarantees:
// - Thread: any thread may log and change the registry. All changes of the loggers list, all deliveries
//   and all flushes run on the one serial logging queue ("pulse.logging"); the loggers list has no lock.
// - Order: each logger receives messages strictly in queuing order, on its own queue. Asynchronous
//   messages that wait together are handed over as one batch (PULSELogger::logMessages), never across
//   another block queued on the logging queue in between (a formatter or level change, a flush...).
//   The loggers work in parallel: a fast logger may go on to the next batch while a slow one still
//   writes the previous one. A batch's delivery waits up to a millisecond for more messages while it is
//   small (not when anything else is queued behind it, a synchronous message or a flush comes, or it
//   holds 256), so that a steady stream wakes the logging queue once a millisecond, not once a message.
// - A message whose flag no registered logger's level takes (nor that of a logger being added) costs
//   the caller a check and nothing more: no formatting, no message, no queue work.
// - Synchronous calls (log with asynchronous false, flushLog, allLoggers) return only when their work is
//   done. They must not be called from the logging queue or from a logger's queue: they would wait on
//   themselves.
// - At most 1000 messages wait for delivery; the 1001st caller blocks until one is delivered (units come
//   back in groups, so it may wait for a few more).
// - A logger is registered once: adding a logger that is already registered changes nothing (see
//   addLogger).
#pragma once

#include "pushlog/PULSELogFlags.h"
#include "pushlog/PULSELogMessage.h"
#include "pushlog/PULSELogger.h"

#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pushlog {

// A class that takes part in per-class levels: it defines both its level getter and setter.
struct PULSELogClass {
    std::string name;
    std::function<std::uint64_t()> ddLogLevel;
    std::function<void(std::uint64_t)> ddSetLogLevel;
};

class PULSELog {
public:
    PULSELog() = delete;

    // The logging queue. Asking for it first queues what a PULSELogBatchScope of the calling thread
    // holds, so that whatever the caller then queues comes after that thread's earlier messages.
    static const QueueRef& loggingQueue();
    // True while the caller runs on the logging queue.
    static bool isOnLoggingQueue();

    static void addLogger(std::shared_ptr<PULSELogger> logger);
    // Registers the logger at the level, asynchronously on the logging queue. A null logger is ignored.
    // A logger that is already registered keeps its one registration (and its level): it is never called
    // twice for one message.
    static void addLogger(std::shared_ptr<PULSELogger> logger, std::uint64_t level);
    // Unregisters the logger (by identity), asynchronously. A null or unknown logger is ignored.
    static void removeLogger(const std::shared_ptr<PULSELogger>& logger);
    static void removeAllLoggers();
    static std::vector<std::shared_ptr<PULSELogger>> allLoggers();

    // Formats the text printf-style and logs it. A null format does nothing.
    [[gnu::format(printf, 9, 10)]] static void log(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                                                   std::int64_t context, const char* file, const char* function,
                                                   std::uint64_t line, const platform::Value& tag,
                                                   const char* format, ...);
    [[gnu::format(printf, 9, 0)]] static void log(bool asynchronous, std::uint64_t level, std::uint64_t flag,
                                                  std::int64_t context, const char* file, const char* function,
                                                  std::uint64_t line, const platform::Value& tag, const char* format,
                                                  va_list args);
    static void log(bool asynchronous, std::string message, std::uint64_t level, std::uint64_t flag,
                    std::int64_t context, const char* file, const char* function, std::uint64_t line,
                    const platform::Value& tag);
    static void log(bool asynchronous, PULSELogMessage message);
    // A line whose text the first logger that takes it makes (DeferredLogText), off the caller's thread
    // when asynchronous. Nothing is made, nor queued, when no logger takes the flag.
    static void logDeferred(bool asynchronous, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                            const char* file, const char* function, std::uint64_t line, const platform::Value& tag,
                            std::function<std::string()> text);
    static void queueLogMessage(std::shared_ptr<const PULSELogMessage> message, bool asynchronous);
    static void queueLogMessage(LogText text, std::uint64_t level, std::uint64_t flag, std::int64_t context,
                                const char* file, const char* function, std::uint64_t line,
                                const platform::Value& tag, bool asynchronous);

    // Whether some registered logger's level (or that of one being added) takes the flag. A caller may
    // skip building a costly argument of a line nobody would write; logging itself checks this anyway.
    static bool takesFlag(std::uint64_t flag);

    // Returns when every message queued before has been delivered and every logger has flushed.
    static void flushLog();
    // Callers waiting, now, for room among the messages waiting for delivery (1,000 at most).
    static int callersWaitingForRoom();
    static void applicationWillTerminate();

    // Per-class levels, over an explicit registry of classes.
    static void registerClass(PULSELogClass logClass);
    static bool isRegisteredClass(const PULSELogClass& logClass);
    static std::vector<PULSELogClass> registeredClasses();
    static std::vector<std::string> registeredClassNames();
    static std::uint64_t levelForClassWithName(const std::string& name);
    static void setLevel(std::uint64_t level, const std::string& className);

    struct Batch; // messages delivered together (private to the core)
    // Queues what the calling thread's scopes hold (PULSELogBatchScope).
    static void queueHeldMessages();

private:
    static void lt_addLogger(std::shared_ptr<PULSELogger> logger, std::uint64_t level);
    static void lt_removeLogger(const std::shared_ptr<PULSELogger>& logger);
    static void lt_removeAllLoggers();
    static std::vector<std::shared_ptr<PULSELogger>> lt_allLoggers();
    static void enqueue(PULSELogMessage message, bool asynchronous);
    // Under the inbox lock: the batch asynchronous messages go into now, opened (and its delivery queued)
    // when there is none or something else was queued after it.
    static std::shared_ptr<Batch> openBatchLocked();
    // Delivers the batch; false when loggers still work on it in parallel (the last one finishes it).
    static bool lt_log(const std::shared_ptr<Batch>& batch);
    static void lt_updateFlagsTaken(bool registered);
    static void lt_flush();
};

// While one lives on a thread, that thread's asynchronous messages are held and queued together (one
// lock, at most one wake-up of the logging queue) when the outermost scope ends, when 256 are held, or
// before anything else the thread queues (a synchronous message, a flush, a registry or logger setting
// change). A thread's messages keep their order among themselves and with what the thread queues after
// them; until then they are not yet logged for anyone else (a flush on another thread does not wait
// for them). For a thread that logs in bursts: the push client frames each read inside one.
class PULSELogBatchScope {
public:
    PULSELogBatchScope();
    ~PULSELogBatchScope();
    PULSELogBatchScope(const PULSELogBatchScope&) = delete;
    PULSELogBatchScope& operator=(const PULSELogBatchScope&) = delete;
};

} // namespace pushlog
