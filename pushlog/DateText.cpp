#include "pushlog/DateText.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace pushlog {

std::string DateText::format(platform::Date date) {
    std::string text;
    appendTo(text, date);
    return text;
}

void DateText::appendTo(std::string& text, platform::Date date) {
    const double floorSeconds = std::floor(date.secondsSince1970);
    const auto second = static_cast<std::int64_t>(floorSeconds);
    int millis = static_cast<int>((date.secondsSince1970 - floorSeconds) * 1000.0);
    if (millis > 999)
        millis = 999;
    if (second != m_cachedSecond) {
        const std::time_t t = static_cast<std::time_t>(second);
        std::tm parts{};
        localtime_r(&t, &parts);
        char buffer[96];
        std::snprintf(buffer, sizeof buffer, "%04d%c%02d%c%02d %02d:%02d:%02d", parts.tm_year + 1900, m_daySeparator,
                      parts.tm_mon + 1, m_daySeparator,
                      parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
        m_cachedPrefix = buffer;
        m_cachedSecond = second;
    }
    text += m_cachedPrefix;
    text += m_separator;
    text += static_cast<char>('0' + millis / 100);
    text += static_cast<char>('0' + millis / 10 % 10);
    text += static_cast<char>('0' + millis % 10);
}

} // namespace pushlog
