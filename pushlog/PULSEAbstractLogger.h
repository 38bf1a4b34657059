// The base of the framework's loggers: a serial queue of its own (labelled with the logger's name and
// marked so the logger can tell it runs there) and a formatter that is read and replaced only on that
// queue, reached through the logging queue, so a formatter change takes its place among the messages.
//
// Loggers are shared objects (std::shared_ptr): the core's registration holds them, and tasks posted to
// their queue keep them alive until they ran.
#pragma once

#include "pushlog/PULSELogger.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace pushlog {

class PULSEAbstractLogger : public PULSELogger, public std::enable_shared_from_this<PULSEAbstractLogger> {
public:
    explicit PULSEAbstractLogger(std::string loggerName = "PULSEAbstractLogger");
    ~PULSEAbstractLogger() override;

    void logMessage(const PULSELogMessage&) override {}
    // Waits for everything queued before it (through the logging queue, then this logger's queue). Not
    // from either queue.
    std::shared_ptr<PULSELogFormatter> logFormatter() override;
    // Asynchronous: messages queued before the change use the old formatter, those after the new one.
    void setLogFormatter(std::shared_ptr<PULSELogFormatter> formatter) override;
    QueueRef loggerQueue() override { return m_loggerQueue; }
    std::optional<std::string> loggerName() override { return m_loggerName; }

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;
    void setLoggerQueue(QueueRef queue);

protected:
    // Runs the task on this logger's queue after everything queued before it: at once when the caller
    // already runs there, else through the logging queue and then this queue, without waiting.
    void performOnLoggerQueue(std::function<void()> task);
    // Runs the task on the logging queue and, inside it, on this logger's queue, and waits. Not from
    // either queue.
    void performOnLoggerQueueAndWait(const std::function<void()>& task);

    // Read and written only on the logger's queue.
    std::shared_ptr<PULSELogFormatter> m_logFormatter;

private:
    std::string m_loggerName;
    QueueRef m_loggerQueue;
};

} // namespace pushlog
