// Lines of the form "<yyyy-MM-dd HH:mm:ss:SSS> [<queue or thread label>] <message>", with short
// replacement labels (the main thread's queue shows as "main") and optional padding and cutting.
//
// Thread-safe: the replacement map is locked for each lookup or change; dates use per-thread date
// objects while the formatter serves more than one logger.
#pragma once

#include "pushlog/DateText.h"
#include "pushlog/PULSELogFormatter.h"

#include <atomic>
#include <map>
#include <mutex>
#include <optional>

namespace pushlog {

class PULSEDispatchQueueLogFormatter : public PULSELogFormatter {
public:
    PULSEDispatchQueueLogFormatter();

    std::optional<std::string> replacementStringForQueueLabel(const std::string& label) const;
    // Stores the pair; a null short label removes the label's entry.
    void setReplacementString(std::optional<std::string> shortLabel, const std::string& label);

    std::string stringFromDate(platform::Date date);
    std::string queueThreadLabelForLogMessage(const PULSELogMessage& message) const;
    LogText formatLogMessage(const PULSELogMessage& message) override;
    void didAddToLogger(PULSELogger&) override { m_atomicLoggerCount.fetch_add(1); }
    void willRemoveFromLogger(PULSELogger&) override { m_atomicLoggerCount.fetch_sub(1); }

    // Set before the formatter is in use; read while formatting.
    std::uint64_t minQueueLength() const { return m_minQueueLength.load(); }
    void setMinQueueLength(std::uint64_t length) { m_minQueueLength.store(length); }
    std::uint64_t maxQueueLength() const { return m_maxQueueLength.load(); }
    void setMaxQueueLength(std::uint64_t length) { m_maxQueueLength.store(length); }

private:
    std::atomic<int> m_atomicLoggerCount{0};
    std::optional<DateText> m_threadUnsafeDateFormatter;
    mutable std::mutex m_lock;
    std::atomic<std::uint64_t> m_minQueueLength{0};
    std::atomic<std::uint64_t> m_maxQueueLength{0};
    std::map<std::string, std::string> m_replacements;
};

} // namespace pushlog
