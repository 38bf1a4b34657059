// A logger for tests: records the lines it receives (formatted when it has a formatter).
#pragma once

#include "pushlog/PULSEAbstractLogger.h"
#include "pushlog/PULSELog.h"

#include <mutex>
#include <string>
#include <vector>

namespace pushlog::testing {

class RecordingLogger : public PULSEAbstractLogger {
public:
    explicit RecordingLogger(std::string name = "test.recording") : PULSEAbstractLogger(std::move(name)) {}

    void logMessage(const PULSELogMessage& message) override {
        LogText text = m_logFormatter ? m_logFormatter->formatLogMessage(message) : message.messageText();
        std::lock_guard lock(m_mutex);
        m_messages.push_back(message);
        m_lines.push_back(text ? *text : std::string("<dropped>"));
    }
    void didAddLogger() override { std::lock_guard lock(m_mutex); ++m_added; }
    void willRemoveLogger() override { std::lock_guard lock(m_mutex); ++m_removed; }
    void flush() override { std::lock_guard lock(m_mutex); ++m_flushes; }

    std::vector<std::string> lines() const { std::lock_guard lock(m_mutex); return m_lines; }
    std::vector<PULSELogMessage> messages() const { std::lock_guard lock(m_mutex); return m_messages; }
    int added() const { std::lock_guard lock(m_mutex); return m_added; }
    int removed() const { std::lock_guard lock(m_mutex); return m_removed; }
    int flushes() const { std::lock_guard lock(m_mutex); return m_flushes; }

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    std::vector<PULSELogMessage> m_messages;
    int m_added = 0;
    int m_removed = 0;
    int m_flushes = 0;
};

// Logs one line synchronously as the push client does (level 31, context 0, no tag).
inline void logLine(std::uint64_t flag, const char* text) {
    PULSELog::log(false, 31, flag, 0, __FILE__, __func__, __LINE__, platform::Value(), "%s", text);
}

// Removes every logger and waits until that took effect.
inline void resetLoggers() {
    PULSELog::removeAllLoggers();
    PULSELog::flushLog();
}

} // namespace pushlog::testing
