#include "platform/text/DateFormatter.h"

#include <chrono>
#include <cmath>
#include <ctime>
#include <strings.h>

namespace platform {

namespace {

const char* const kMonths[] = {"January", "February", "March",     "April",   "May",      "June",
                               "July",    "August",   "September", "October", "November", "December"};
const char* const kWeekdays[] = {"Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

void appendNumber(std::string& out, long long value, int width) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (value < 0)
        out += '-';
    if (static_cast<int>(digits.size()) < width)
        out.append(static_cast<std::size_t>(width) - digits.size(), '0');
    out += digits;
}

long long floorDiv(long long a, long long b) {
    long long q = a / b;
    if ((a % b != 0) && ((a < 0) != (b < 0)))
        --q;
    return q;
}

bool isLeap(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(int year, int month) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeap(year) ? 29 : kDays[month - 1];
}

} // namespace

DateFormatter::DateFormatter(std::string_view pattern, TimeZone zone) : m_zone(zone) {
    std::size_t i = 0;
    auto literal = [&](std::string_view text) {
        if (m_tokens.empty() || m_tokens.back().letter != 0)
            m_tokens.push_back(Token{});
        m_tokens.back().literal += text;
    };
    while (i < pattern.size()) {
        char c = pattern[i];
        if (c == '\'') {
            if (i + 1 < pattern.size() && pattern[i + 1] == '\'') {
                literal("'");
                i += 2;
                continue;
            }
            std::size_t end = i + 1;
            std::string text;
            while (end < pattern.size()) {
                if (pattern[end] == '\'') {
                    if (end + 1 < pattern.size() && pattern[end + 1] == '\'') {
                        text += '\'';
                        end += 2;
                        continue;
                    }
                    break;
                }
                text += pattern[end++];
            }
            literal(text);
            i = end + 1;
            continue;
        }
        if (isLetter(c)) {
            std::size_t end = i;
            while (end < pattern.size() && pattern[end] == c)
                ++end;
            m_tokens.push_back(Token{c, static_cast<int>(end - i), {}});
            i = end;
            continue;
        }
        literal(std::string_view(&pattern[i], 1));
        ++i;
    }
}

Date DateFormatter::now() {
    auto since = std::chrono::system_clock::now().time_since_epoch();
    return Date{std::chrono::duration<double>(since).count()};
}

std::string DateFormatter::format(Date date) const {
    double seconds = std::isfinite(date.secondsSince1970) ? date.secondsSince1970 : 0;
    long long micros = std::llround(seconds * 1e6);
    long long whole = floorDiv(micros, 1000000);
    long long fraction = micros - whole * 1000000;
    auto t = static_cast<std::time_t>(whole);
    std::tm tm{};
    if (m_zone == TimeZone::UTC)
        gmtime_r(&t, &tm);
    else
        localtime_r(&t, &tm);

    std::string out;
    for (const Token& token : m_tokens) {
        int n = token.count;
        switch (token.letter) {
        case 0: out += token.literal; break;
        case 'y':
            if (n == 2)
                appendNumber(out, (tm.tm_year + 1900) % 100, 2);
            else
                appendNumber(out, tm.tm_year + 1900, n);
            break;
        case 'M':
            if (n >= 4)
                out += kMonths[tm.tm_mon];
            else if (n == 3)
                out += std::string_view(kMonths[tm.tm_mon]).substr(0, 3);
            else
                appendNumber(out, tm.tm_mon + 1, n);
            break;
        case 'd': appendNumber(out, tm.tm_mday, n); break;
        case 'H': appendNumber(out, tm.tm_hour, n); break;
        case 'h': appendNumber(out, tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, n); break;
        case 'a': out += tm.tm_hour < 12 ? "AM" : "PM"; break;
        case 'm': appendNumber(out, tm.tm_min, n); break;
        case 's': appendNumber(out, tm.tm_sec, n); break;
        case 'S': {
            long long digits = fraction;
            int scale = 6;
            for (; scale > n; --scale)
                digits /= 10;
            std::string text = std::to_string(digits);
            out.append(static_cast<std::size_t>(scale) - std::min<std::size_t>(text.size(), static_cast<std::size_t>(scale)), '0');
            out += text;
            out.append(static_cast<std::size_t>(n - scale), '0');
            break;
        }
        case 'E':
            if (n >= 4)
                out += kWeekdays[tm.tm_wday];
            else
                out += std::string_view(kWeekdays[tm.tm_wday]).substr(0, 3);
            break;
        case 'Z': {
            long offset = m_zone == TimeZone::UTC ? 0 : tm.tm_gmtoff;
            out += offset < 0 ? '-' : '+';
            offset = offset < 0 ? -offset : offset;
            appendNumber(out, offset / 3600, 2);
            appendNumber(out, (offset / 60) % 60, 2);
            break;
        }
        default: out.append(static_cast<std::size_t>(n), token.letter); break;
        }
    }
    return out;
}

std::optional<Date> DateFormatter::parse(std::string_view text) const {
    int year = 1970;
    int month = 1;
    int day = 1;
    int hour = 0;
    int minute = 0;
    int second = 0;
    double fraction = 0;
    int hour12 = -1;
    int pm = -1;
    std::optional<long> offset;
    std::size_t pos = 0;

    auto readNumber = [&](int count, int& value) {
        std::size_t maxDigits = count == 1 ? 4 : static_cast<std::size_t>(count);
        std::size_t start = pos;
        long long v = 0;
        while (pos < text.size() && pos - start < maxDigits && text[pos] >= '0' && text[pos] <= '9')
            v = v * 10 + (text[pos++] - '0');
        std::size_t got = pos - start;
        if (got == 0 || (count > 1 && got != static_cast<std::size_t>(count)))
            return false;
        value = static_cast<int>(v);
        return true;
    };
    auto readName = [&](const char* const* names, int countOfNames, bool abbreviated, int& index) {
        for (int k = 0; k < countOfNames; ++k) {
            std::string_view name = names[k];
            if (abbreviated)
                name = name.substr(0, 3);
            if (text.size() - pos >= name.size() && strncasecmp(text.data() + pos, name.data(), name.size()) == 0) {
                pos += name.size();
                index = k;
                return true;
            }
        }
        return false;
    };

    for (const Token& token : m_tokens) {
        int n = token.count;
        bool ok = true;
        switch (token.letter) {
        case 0:
            ok = text.substr(pos).starts_with(token.literal);
            pos += ok ? token.literal.size() : 0;
            break;
        case 'y':
            ok = readNumber(n, year);
            if (ok && n == 2)
                year += year < 70 ? 2000 : 1900;
            break;
        case 'M':
            if (n >= 3) {
                int index = 0;
                ok = readName(kMonths, 12, n == 3, index);
                month = index + 1;
            } else {
                ok = readNumber(n, month);
            }
            break;
        case 'd': ok = readNumber(n, day); break;
        case 'H': ok = readNumber(n, hour); break;
        case 'h': ok = readNumber(n, hour12); break;
        case 'a':
            if (text.size() - pos >= 2 && strncasecmp(text.data() + pos, "AM", 2) == 0)
                pm = 0;
            else if (text.size() - pos >= 2 && strncasecmp(text.data() + pos, "PM", 2) == 0)
                pm = 1;
            else
                ok = false;
            pos += ok ? 2 : 0;
            break;
        case 'm': ok = readNumber(n, minute); break;
        case 's': ok = readNumber(n, second); break;
        case 'S': {
            std::size_t start = pos;
            double scale = 0.1;
            while (pos < text.size() && pos - start < static_cast<std::size_t>(n) && text[pos] >= '0' && text[pos] <= '9') {
                fraction += (text[pos++] - '0') * scale;
                scale /= 10;
            }
            ok = pos - start == static_cast<std::size_t>(n);
            break;
        }
        case 'E': {
            int index = 0;
            ok = readName(kWeekdays, 7, n < 4, index);
            break;
        }
        case 'Z': {
            if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
                bool negative = text[pos++] == '-';
                int hh = 0;
                int mm = 0;
                ok = readNumber(2, hh) && readNumber(2, mm) && hh < 24 && mm < 60;
                offset = (negative ? -1 : 1) * (hh * 3600L + mm * 60L);
            } else {
                ok = false;
            }
            break;
        }
        default:
            ok = text.substr(pos).starts_with(std::string(static_cast<std::size_t>(n), token.letter));
            pos += ok ? static_cast<std::size_t>(n) : 0;
            break;
        }
        if (!ok)
            return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;
    if (hour12 >= 0) {
        if (hour12 < 1 || hour12 > 12)
            return std::nullopt;
        hour = hour12 % 12 + (pm == 1 ? 12 : 0);
    } else if (pm == 1 && hour < 12) {
        hour += 12;
    }
    if (month < 1 || month > 12 || day < 1 || day > daysInMonth(year, month) || hour > 23 || minute > 59
        || second > 59)
        return std::nullopt;

    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    std::time_t t = 0;
    if (offset) {
        t = timegm(&tm) - *offset;
    } else if (m_zone == TimeZone::UTC) {
        t = timegm(&tm);
    } else {
        tm.tm_isdst = -1;
        t = mktime(&tm);
    }
    return Date{static_cast<double>(t) + fraction};
}

} // namespace platform
