// A small program for trying the crash reporter by hand and in the end-to-end test (not part of the
// application): it enables the shared reporter in signal mode; with a switch it then crashes. Run again,
// it prints the report the crash left, then moves it aside (into the queued-reports folder) so the next
// crash has a free slot.
//
//     crash_test_program [--segv | --abort | --divide]
//
// The reporter's files live under the application home (AppFolders::current(): $XDG_DATA_HOME/...).
#include "crashreporter/CRCrashReportTextFormatter.h"
#include "crashreporter/CRCrashReporter.h"
#include "platform/AppFolders.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

#define CRASHING extern "C" __attribute__((noinline, no_sanitize("address", "undefined")))
CRASHING void writeThroughNull(volatile int* target)
{
    *target = 1;
}
CRASHING void crashBySegmentationFault()
{
    writeThroughNull(nullptr);
    asm volatile("" ::: "memory");
}
CRASHING int divide(const volatile int* dividend, const volatile int* divisor)
{
    return *dividend / *divisor;
}

// Prints the pending report and moves it aside; false when it could not be read or decoded.
bool showPendingReport(CRCrashReporter& reporter)
{
    platform::Result<platform::Bytes> bytes = reporter.loadPendingCrashReportData();
    bool shown = false;
    if (!bytes.ok()) {
        std::fprintf(stderr, "crash_test_program: %s\n", bytes.error().localizedDescription().c_str());
    } else if (platform::Result<CRCrashReport> report = CRCrashReport::initWithData(bytes.value()); !report.ok()) {
        std::fprintf(stderr, "crash_test_program: %s\n", report.error().localizedDescription().c_str());
    } else {
        std::fputs(CRCrashReportTextFormatter::stringValueForCrashReport(report.value(), CRCrashReportTextFormatiOS).c_str(),
                   stdout);
        shown = true;
    }
    const std::string aside = reporter.queuedCrashReportDirectory() + "/" + std::to_string(std::time(nullptr)) + "-" +
                              std::to_string(getpid()) + ".crshlog";
    if (std::rename(reporter.crashReportPath().c_str(), aside.c_str()) != 0) {
        std::fprintf(stderr, "crash_test_program: cannot move the report aside: %s\n", std::strerror(errno));
        return false;
    }
    return shown;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (argc > 2 || (!mode.empty() && mode != "--segv" && mode != "--abort" && mode != "--divide")) {
        std::fputs("usage: crash_test_program [--segv | --abort | --divide]\n", stderr);
        return 2;
    }
    if (platform::Status made = platform::AppFolders::current().createFolders(); !made.ok()) {
        std::fprintf(stderr, "crash_test_program: %s\n", made.error().localizedDescription().c_str());
        return 1;
    }
    CRCrashReporter* reporter = CRCrashReporter::sharedReporter();
    if (reporter == nullptr) {
        std::fputs("crash_test_program: no reporter\n", stderr);
        return 1;
    }
    bool fine = true;
    if (reporter->hasPendingCrashReport())
        fine = showPendingReport(*reporter);
    if (platform::Status enabled = reporter->enableCrashReporter(); !enabled.ok()) {
        std::fprintf(stderr, "crash_test_program: %s\n", enabled.error().localizedDescription().c_str());
        return 1;
    }
    std::fflush(stdout);
    if (mode == "--segv")
        crashBySegmentationFault();
    else if (mode == "--abort")
        std::abort();
    else if (mode == "--divide") {
        volatile int one = 1, zero = 0;
        std::printf("%d\n", divide(&one, &zero));
    }
    return fine ? 0 : 1;
}
