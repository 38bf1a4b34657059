#include "support/LogCapture.h"

namespace hybtest {

LogCapture::LogCapture() {
    m_previous = platform::Log::setCaptureHook([this](std::string_view line) {
        std::lock_guard lock(m_mutex);
        m_lines.emplace_back(line);
    });
}

LogCapture::~LogCapture() {
    platform::Log::setCaptureHook(std::move(m_previous));
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(m_mutex);
    return m_lines;
}

bool LogCapture::contains(const std::string& text) const {
    std::lock_guard lock(m_mutex);
    for (const auto& line : m_lines)
        if (line.find(text) != std::string::npos)
            return true;
    return false;
}

void LogCapture::clear() {
    std::lock_guard lock(m_mutex);
    m_lines.clear();
}

} // namespace hybtest
