// One stopwatch of HYBTimer: its name as given, and when it started and ended.
#pragma once

#include "platform/core/Value.h"

#include <string>

namespace runtime {

class HYBTimerItem {
public:
    HYBTimerItem(std::string name, platform::Date started) : m_name(std::move(name)), m_started(started) {}

    const std::string& name() const { return m_name; }
    platform::Date started() const { return m_started; }
    platform::Date ended() const { return m_ended; }
    void setEnded(platform::Date ended) { m_ended = ended; }

    // "[HYBTimer][<name>] <milliseconds>ms" from start to end.
    std::string logLine() const;
    // Writes logLine() to the log.
    void log() const;

private:
    std::string m_name;
    platform::Date m_started;
    platform::Date m_ended;
};

} // namespace runtime
