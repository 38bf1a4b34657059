// The statistics client's log lines: plain lines on the platform log. Failures carry their "[ERROR]" or
// "[WARN]" prefix in the text itself; chatter goes through MXStatDebugLog, which writes only while
// MXStatConfig's debugEnable is on. Any thread.
#pragma once

namespace stats {

[[gnu::format(printf, 1, 2)]] void MXStatLog(const char* format, ...);
[[gnu::format(printf, 1, 2)]] void MXStatDebugLog(const char* format, ...);

} // namespace stats
