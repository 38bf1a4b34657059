#include "pushlog/LogFileNames.h"

#include <cmath>
#include <cstdio>
#include <ctime>

namespace pushlog {

namespace {

bool readDigits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (i >= text.size() || text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

} // namespace

std::string logFileDateText(platform::Date date) {
    const auto t = static_cast<std::time_t>(std::floor(date.secondsSince1970));
    std::tm parts{};
    gmtime_r(&t, &parts);
    char buffer[96];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d-%02d", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min);
    return buffer;
}

bool isLogFileDateText(std::string_view text) {
    // yyyy-MM-dd HH-mm
    if (text.size() != 16 || text[4] != '-' || text[7] != '-' || text[10] != ' ' || text[13] != '-')
        return false;
    int year, month, day, hour, minute;
    if (!readDigits(text, 0, 4, year) || !readDigits(text, 5, 2, month) || !readDigits(text, 8, 2, day) ||
        !readDigits(text, 11, 2, hour) || !readDigits(text, 14, 2, minute))
        return false;
    return month >= 1 && month <= 12 && day >= 1 && day <= daysInMonth(year, month) && hour <= 23 && minute <= 59;
}

std::string logFileNameForDate(const std::string& applicationName, platform::Date date) {
    return applicationName + " " + logFileDateText(date) + ".log";
}

bool isLogFileName(std::string_view fileName, std::string_view applicationName) {
    constexpr std::string_view extension = ".log";
    if (fileName.size() < applicationName.size() + extension.size() || !fileName.starts_with(applicationName) ||
        !fileName.ends_with(extension))
        return false;
    const std::string_view middle =
        fileName.substr(applicationName.size(), fileName.size() - applicationName.size() - extension.size());
    if (middle.size() < 17)
        return false;
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (true) {
        const std::size_t blank = middle.find(' ', start);
        pieces.push_back(middle.substr(start, blank == std::string_view::npos ? std::string_view::npos : blank - start));
        if (blank == std::string_view::npos)
            break;
        start = blank + 1;
    }
    if (pieces.size() != 3 && pieces.size() != 4)
        return false;
    std::string dateText(pieces[1]);
    dateText += ' ';
    dateText += pieces[2];
    return isLogFileDateText(dateText);
}

std::string logFileNameForAttempt(const std::string& fileName, unsigned long attempt) {
    if (attempt <= 1)
        return fileName;
    const std::size_t dot = fileName.find_last_of('.');
    const std::size_t slash = fileName.find_last_of('/');
    const bool hasExtension = dot != std::string::npos && dot > 0 && (slash == std::string::npos || dot > slash + 1) &&
                              dot + 1 < fileName.size();
    const std::string stem = hasExtension ? fileName.substr(0, dot) : fileName;
    std::string name = stem + " " + std::to_string(attempt);
    if (hasExtension)
        name += fileName.substr(dot);
    return name;
}

std::optional<std::size_t> firstLogFileToDelete(const std::vector<LogFileFacts>& newestFirst, std::uint64_t diskQuota,
                                                std::uint64_t maximumNumberOfFiles) {
    std::optional<std::size_t> first;
    if (diskQuota != 0) {
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < newestFirst.size(); ++i) {
            total += newestFirst[i].size;
            if (total > diskQuota) {
                first = i;
                break;
            }
        }
    }
    if (maximumNumberOfFiles != 0) {
        const auto maximum = static_cast<std::size_t>(maximumNumberOfFiles);
        first = first ? std::min(*first, maximum) : maximum;
    }
    if (first && *first == 0 && !newestFirst.empty() && !newestFirst[0].archived)
        first = 1;
    if (first && *first >= newestFirst.size())
        return std::nullopt;
    return first;
}

} // namespace pushlog
