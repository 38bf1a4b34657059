// The runtime's log: plain lines without levels, written to standard error.
//
// Guarantees:
// - Thread: write() from any thread; each line is written whole (one write per line) and lines from
//   different threads do not interleave.
// - Synchronous: write() returns after the line was written (or handed to the capture hook).
// - Capture: while a capture hook is installed, lines go to the hook instead of standard error (tests
//   assert on log texts this way). The hook may be called from any thread; it must not log itself.
// - internalInconsistency(): a programming error that correct callers never reach. It logs
//   "Internal-consistency failure: <description>" and aborts the process; it never returns.
// - configurationFailure(): the application is configured so that it cannot run (its bundle's config.xml
//   is missing or does not parse, a required preference is wrong). It logs the same line and ends the
//   process at once with exit status 1: no abort, no core dump, no exit handlers (other threads may be
//   running). It never returns.
#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace platform {

class Log {
public:
    using Hook = std::function<void(std::string_view line)>;

    // Writes one line (a newline is added).
    static void write(std::string_view line);
    // printf-style formatting of one line.
    [[gnu::format(printf, 1, 2)]] static void writef(const char* format, ...);

    // Installs a capture hook (an empty one restores standard error). Returns the previous hook.
    static Hook setCaptureHook(Hook hook);
};

// printf-style formatting into a std::string.
[[gnu::format(printf, 1, 2)]] std::string formatString(const char* format, ...);

[[noreturn]] void internalInconsistency(std::string_view description);

inline constexpr int kConfigurationFailureExitStatus = 1;
[[noreturn]] void configurationFailure(std::string_view description);

} // namespace platform
