// Collects the platform log's lines while alive (tests only).
#pragma once

#include "platform/Log.h"

#include <string>
#include <vector>

namespace runtime::testing {

class LogCapture {
public:
    LogCapture() {
        m_previous = platform::Log::setCaptureHook([this](std::string_view line) { m_lines.emplace_back(line); });
    }
    ~LogCapture() { platform::Log::setCaptureHook(m_previous); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    const std::vector<std::string>& lines() const { return m_lines; }
    bool contains(std::string_view line) const {
        for (const std::string& l : m_lines)
            if (l == line)
                return true;
        return false;
    }

private:
    platform::Log::Hook m_previous;
    std::vector<std::string> m_lines;
};

} // namespace runtime::testing
