// Date texts of the formatters: a date in the device's time zone as "yyyy-MM-dd HH:mm:ss" (or with
// another separator between the parts of the day) followed by a separator and three digits of
// milliseconds.
//
// Not thread-safe: one object caches the text of the last whole second it formatted. The formatters keep
// one of their own while they serve one logger and one per thread while they serve more.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <string>

namespace pushlog {

class DateText {
public:
    DateText(char daySeparator, char millisecondSeparator)
        : m_daySeparator(daySeparator), m_separator(millisecondSeparator) {}

    std::string format(platform::Date date);
    // Appends the text of the date to `text`.
    void appendTo(std::string& text, platform::Date date);

private:
    char m_daySeparator;
    char m_separator;
    std::int64_t m_cachedSecond = INT64_MIN;
    std::string m_cachedPrefix;
};

} // namespace pushlog
