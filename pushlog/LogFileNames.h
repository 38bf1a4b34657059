// The naming rules of the log files: "<application name> <yyyy-MM-dd HH-mm>.log" in UTC, with " 2",
// " 3", ... before ".log" for further files of the same minute; and the rule that picks the files to
// prune. Pure functions, safe on any thread.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pushlog {

// "yyyy-MM-dd HH-mm" of the date in UTC.
std::string logFileDateText(platform::Date date);
// Whether the text is exactly a date of that pattern (a real calendar date and time).
bool isLogFileDateText(std::string_view text);
// "<application name> <date text>.log".
std::string logFileNameForDate(const std::string& applicationName, platform::Date date);
// Whether a bare file name is a log file of the application.
bool isLogFileName(std::string_view fileName, std::string_view applicationName);
// The name tried at attempt n (1-based): the name itself, then " n" inserted before its extension.
std::string logFileNameForAttempt(const std::string& fileName, unsigned long attempt);

// The index of the first file to delete, given the files newest first as (size, archived) pairs, the
// disk quota (0 = none) and the maximum number of files (0 = none). The newest file is kept while it is
// not archived. Nothing to delete: none.
struct LogFileFacts {
    std::uint64_t size;
    bool archived;
};
std::optional<std::size_t> firstLogFileToDelete(const std::vector<LogFileFacts>& newestFirst, std::uint64_t diskQuota,
                                                std::uint64_t maximumNumberOfFiles);

} // namespace pushlog
