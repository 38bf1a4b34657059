// Captures the runtime's log lines while alive (tests assert on log texts). Thread-safe.
#pragma once

#include "platform/core/Log.h"

#include <mutex>
#include <string>
#include <vector>

namespace hybtest {

class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    // True when some line contains the text.
    bool contains(const std::string& text) const;
    void clear();

private:
    mutable std::mutex m_mutex;
    std::vector<std::string> m_lines;
    platform::Log::Hook m_previous;
};

} // namespace hybtest
