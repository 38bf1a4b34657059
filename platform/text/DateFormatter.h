// Dates to and from text with fixed patterns, in UTC or the process's local time zone, with the en_US
// names of months and weekdays.
//
// Guarantees:
// - Pattern letters: yyyy (year, yy two digits), MM (month, MMM "Jan", MMMM "January"), dd, HH (0-23),
//   hh (1-12), a ("AM"/"PM"), mm, ss, S... (fraction of the second, as many digits as letters, cut, not
//   rounded), EEE ("Mon"), EEEE ("Monday"), Z (+0800). Text in single quotes is literal, '' is a quote,
//   other characters stand for themselves.
// - parse() accepts exactly the pattern's shape (numbers of the pattern's widths, or fewer digits for
//   single letters) and a valid calendar date; anything else gives nullopt. Missing fields default to
//   1970-01-01 00:00:00. In local time an ambiguous or skipped time resolves as mktime does.
// - Local time follows the TZ environment variable at the moment of each call.
// - A formatter is an immutable value; thread-safe.
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class DateFormatter {
public:
    enum class TimeZone { UTC, Local };

    explicit DateFormatter(std::string_view pattern, TimeZone zone = TimeZone::Local);

    std::string format(Date date) const;
    std::optional<Date> parse(std::string_view text) const;

    // The current time.
    static Date now();

private:
    struct Token {
        char letter = 0; // 0: literal text
        int count = 0;
        std::string literal;
    };

    std::vector<Token> m_tokens;
    TimeZone m_zone;
};

} // namespace platform
