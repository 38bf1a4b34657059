// The push client's line formatter: "<date> | <tag> | <flag letter> - [<file name>] <message>".
//
// Safe to share between loggers: while it serves more than one logger each thread formats dates with its
// own date text object; while it serves one it uses its own.
#pragma once

#include "pushlog/DateText.h"
#include "pushlog/PULSELogFormatter.h"

#include <atomic>
#include <cstdint>
#include <optional>

namespace pushlog {

class PULSECustomFormatter : public PULSELogFormatter {
public:
    explicit PULSECustomFormatter(std::uint64_t type = 0) : m_type(type) {}

    LogText formatLogMessage(const PULSELogMessage& message) override;
    void didAddToLogger(PULSELogger&) override { m_atomicLoggerCount.fetch_add(1); }
    void willRemoveFromLogger(PULSELogger&) override { m_atomicLoggerCount.fetch_sub(1); }

    // "yyyy-MM-dd HH:mm:ss.SSS" in the device's time zone.
    std::string stringFromDate(platform::Date date);
    void appendDate(std::string& text, platform::Date date);

    // The tag field for a formatter type: "PULSE" for 0, the product tag for 1, "(null)" otherwise.
    static const char* tagForType(std::uint64_t type);
    // "E", "W", "I", "D" for flags 1, 2, 4, 8; "V" for anything else.
    static const char* letterForFlag(std::uint64_t flag);

    int loggerCount() const { return m_atomicLoggerCount.load(); }

private:
    std::uint64_t m_type;
    std::atomic<int> m_atomicLoggerCount{0};
    std::optional<DateText> m_threadUnsafeDateFormatter;
};

} // namespace pushlog
