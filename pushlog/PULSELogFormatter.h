// What turns a message into a line. One formatter may serve several loggers at once, each calling it on
// its own queue, so implementations must be safe to call concurrently.
#pragma once

#include "pushlog/PULSELogMessage.h"

namespace pushlog {

class PULSELogger;

class PULSELogFormatter {
public:
    virtual ~PULSELogFormatter() = default;

    // The line, or null to drop the message (whether a null line drops it is each logger's rule).
    // Returning message.messageText() itself means "the message's own text, unformatted".
    virtual LogText formatLogMessage(const PULSELogMessage& message) = 0;

    // Called on the logger's queue when the formatter is attached to / detached from a logger.
    virtual void didAddToLogger(PULSELogger&) {}
    virtual void willRemoveFromLogger(PULSELogger&) {}
};

} // namespace pushlog
