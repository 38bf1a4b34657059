// Crash logs: the stored logs under "__PULSECrashLog" in the cache store (a set of entries
// [crash-log dictionary, call-stack text], a repeated crash counted in its "count") and the
// "crash_log" report that takes them all at once.
//
// Thread: the client thread.
#pragma once

#include "push/PULSEReportRequest.h"

#include <string>
#include <vector>

namespace push {

inline constexpr const char* kPULSECrashLogKey = "__PULSECrashLog";

// For each non-empty line, the part before its first "0x", joined without separator.
std::string PULSECallStackText(const std::vector<std::string>& lines);

class PULSECrashHandlerReportRequest : public PULSEReportRequest {
public:
    PULSECrashHandlerReportRequest();
    // Takes every stored crash log (the key is removed at once); false when there was none.
    bool packData() override;
};

} // namespace push

namespace push {

class PULSEFileCacheController;

// The record file next to the cache store that the handlers append to.
inline constexpr const char* kPULSECrashRecordFileName = "PULSECrashRecord";

// Crash capture. Installing opens the record file (in the cache store's folder), formats the fixed part
// of a record (application version, device facts, network type) and sets std::set_terminate and the
// handlers of SIGABRT, SIGILL, SIGSEGV, SIGFPE, SIGBUS and SIGPIPE, keeping the handlers installed
// before. A crash appends one record with write(2) only (the fixed part, "Signal N was raised." or the
// exception's message, the time, the backtrace lines), then the signal goes to the earlier handler, or,
// when there was none, to the default action. A signal that was ignored before stays ignored and records
// nothing. Answers false (with a warning) when the cache store has not been started.
bool PULSEInstallCrashHandlers();
// Puts the earlier handlers back and closes the record file.
void PULSERemoveCrashHandlers();
// Formats the fixed part again (the client thread calls it when the network status changes).
void PULSERefreshCrashRecord(int networkStatus);

// At start: folds the records of the file into "__PULSECrashLog" (the same message and call-stack text
// raise "count") and removes the file. Answers the latest crash time folded, 0 when none. Records cut
// short keep what was written completely; a file larger than kMaxCrashRecordFile is dropped unread.
inline constexpr std::size_t kMaxCrashRecordFile = 1024 * 1024;
double PULSEFoldCrashRecords(PULSEFileCacheController& store);

} // namespace push
