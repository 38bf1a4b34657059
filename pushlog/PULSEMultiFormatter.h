// Chains formatters: each one formats the line the previous one produced; a null line stops the chain.
//
// Thread: formatting runs synchronously on the formatter's own serial queue
// ("pulse.logging.multiformatter"), so its inner formatters never run concurrently through it. List
// changes are queued there without waiting; formatters() and isFormattingWithFormatter() wait, so they
// see every change made before them. The inner formatters are not told when the multi formatter is
// attached to or detached from a logger.
#pragma once

#include "pushlog/LoggerQueue.h"
#include "pushlog/PULSELogFormatter.h"

#include <memory>
#include <vector>

namespace pushlog {

class PULSEMultiFormatter : public PULSELogFormatter, public std::enable_shared_from_this<PULSEMultiFormatter> {
public:
    PULSEMultiFormatter();

    LogText formatLogMessage(const PULSELogMessage& message) override;
    // A copy of the message whose text is the line.
    static PULSELogMessage logMessageForLine(LogText line, const PULSELogMessage& originalMessage);

    std::vector<std::shared_ptr<PULSELogFormatter>> formatters();
    // Appends without checking for duplicates.
    void addFormatter(std::shared_ptr<PULSELogFormatter> formatter);
    // Removes every occurrence.
    void removeFormatter(const std::shared_ptr<PULSELogFormatter>& formatter);
    void removeAllFormatters();
    bool isFormattingWithFormatter(const std::shared_ptr<PULSELogFormatter>& formatter);

private:
    QueueRef m_queue;
    // Touched only on m_queue.
    std::vector<std::shared_ptr<PULSELogFormatter>> m_formatters;
};

} // namespace pushlog
