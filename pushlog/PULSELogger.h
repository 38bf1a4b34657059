// What every logger of the framework offers. The core calls a logger only on the logger's own serial
// queue, reached through the logging queue, so a logger needs no lock for its own state.
#pragma once

#include "pushlog/LoggerQueue.h"
#include "pushlog/PULSELogFlags.h"
#include "pushlog/PULSELogFormatter.h"
#include "pushlog/PULSELogMessage.h"

#include <memory>
#include <optional>
#include <span>
#include <string>

namespace pushlog {

class PULSELogger {
public:
    virtual ~PULSELogger() = default;

    // Writes one message; always called on the logger's queue.
    virtual void logMessage(const PULSELogMessage& message) = 0;
    // Writes, in order, those of the messages whose flag the level accepts; always called on the logger's
    // queue. The core hands over messages that waited together this way. The default calls logMessage for
    // each; a logger that can write many lines at once does better.
    virtual void logMessages(std::span<const PULSELogMessage> messages, std::uint64_t level) {
        for (const PULSELogMessage& message : messages)
            if (levelAcceptsFlag(level, message.flag()))
                logMessage(message);
    }
    virtual std::shared_ptr<PULSELogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(std::shared_ptr<PULSELogFormatter> formatter) = 0;

    // Optional operations; the defaults do nothing.
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    virtual void flush() {}
    // The serial queue the logger wants to be called on, or null for one made by the core.
    virtual QueueRef loggerQueue() { return nullptr; }
    // Names the queue the core makes for a logger that brings none.
    virtual std::optional<std::string> loggerName() { return std::nullopt; }
};

} // namespace pushlog
