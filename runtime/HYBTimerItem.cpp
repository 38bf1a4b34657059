#include "runtime/HYBTimerItem.h"

#include "platform/core/Log.h"

namespace runtime {

std::string HYBTimerItem::logLine() const {
    const double milliseconds = (m_ended.secondsSince1970 - m_started.secondsSince1970) * 1000.0;
    return "[HYBTimer][" + m_name + "] " + platform::formatString("%f", milliseconds) + "ms";
}

void HYBTimerItem::log() const { platform::Log::write(logLine()); }

} // namespace runtime
