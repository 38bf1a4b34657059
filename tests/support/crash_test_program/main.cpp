// A small program for trying the crash reporter by hand and in the end-to-end tests (not part of the
// application): it enables the shared reporter in signal mode; with a switch it then crashes. Run again,
// it prints the report the crash left, then moves it aside (into the queued-reports folder) so the next
// crash has a free slot.
//
//     crash_test_program [--segv | --abort | --divide | --deep | --two-threads | --thread-overflow |
//                         --bad-reason | --parked-threads | --parked-untraceable | --parked-alone]
//
//   --segv             a write through a null pointer
//   --abort            abort()
//   --divide           an integer division by zero
//   --deep             a null pointer three calls deep (crashLevel1, crashLevel2, crashLevel3)
//   --two-threads      two threads write through a null pointer at the same moment
//   --thread-overflow  a stack overflow on a worker of the dispatch pool (recurseForEver)
//   --bad-reason       an uncaught exception whose reason is not UTF-8
//   --parked-threads   three threads wait, each in a function of its own (parkedInFirst, parkedInSecond,
//                      parkedInThird, started by firstParkedThread, secondParkedThread, thirdParkedThread),
//                      then the main thread writes through a null pointer
//   --parked-untraceable  the same under a system-call filter that refuses tracing
//   --parked-alone     the same under a system-call filter that refuses starting a process
//
// The reporter's files live under the application home (AppFolders::current(): $XDG_DATA_HOME/...). The
// program's own bundle, "crash_test_program.bundle" beside it, gives its version.
#include "crashreporter/CRCrashReportTextFormatter.h"
#include "crashreporter/CRCrashReporter.h"
#include "platform/AppFolders.h"
#include "platform/DispatchQueue.h"
#include "tests/support/crash_test_program/SystemCallFilter.h"

#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// Read at run time, so that an optimizing compiler makes no copy of a function for a constant argument
// (the copy would carry another name).
volatile int* volatile g_nowhere = nullptr;

#define CRASHING extern "C" __attribute__((noinline, no_sanitize("address", "undefined")))
CRASHING void writeThroughNull(volatile int* target)
{
    *target = 1;
}
CRASHING void crashBySegmentationFault()
{
    writeThroughNull(g_nowhere);
    asm volatile("" ::: "memory");
}
CRASHING int divide(const volatile int* dividend, const volatile int* divisor)
{
    return *dividend / *divisor;
}

// Three calls deep; the empty statements after the calls keep them from becoming jumps.
CRASHING void crashLevel3(volatile int* target)
{
    *target = 3;
}
CRASHING void crashLevel2(volatile int* target)
{
    crashLevel3(target);
    asm volatile("" ::: "memory");
}
CRASHING void crashLevel1(volatile int* target)
{
    crashLevel2(target);
    asm volatile("" ::: "memory");
}

// Each call keeps a frame of its own until the stack runs out.
volatile bool g_stopRecursion = false;
CRASHING int recurseForEver(int depth)
{
    volatile char frame[256];
    frame[0] = static_cast<char>(depth);
    if (g_stopRecursion)
        return frame[0];
    const int deeper = recurseForEver(depth + 1);
    return deeper + frame[0];
}

// Two threads released together, both faulting.
void twoThreadsAtOnce()
{
    std::atomic<int> ready{0};
    auto fault = [&ready] {
        ready.fetch_add(1);
        while (ready.load() < 2) {
        }
        writeThroughNull(g_nowhere);
    };
    std::thread first(fault);
    std::thread second(fault);
    first.join();
    second.join();
}

// Three threads, each waiting in a function of its own below a start routine of its own. Each tells its
// id once it is about to wait; the crash comes once all three sleep.
std::atomic<pid_t> g_parked[3];

#define PARKING extern "C" __attribute__((noinline))
PARKING void parkHere(int slot)
{
    g_parked[slot].store(static_cast<pid_t>(syscall(SYS_gettid)));
    for (;;)
        pause();
}
PARKING void parkedInFirst()
{
    parkHere(0);
    asm volatile("" ::: "memory");
}
PARKING void parkedInSecond()
{
    parkHere(1);
    asm volatile("" ::: "memory");
}
PARKING void parkedInThird()
{
    parkHere(2);
    asm volatile("" ::: "memory");
}
PARKING void* firstParkedThread(void*)
{
    parkedInFirst();
    return nullptr;
}
PARKING void* secondParkedThread(void*)
{
    parkedInSecond();
    return nullptr;
}
PARKING void* thirdParkedThread(void*)
{
    parkedInThird();
    return nullptr;
}

// Whether the thread is asleep ("S" in its stat line, after the parenthesised name).
bool isSleeping(pid_t thread)
{
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'S';
}

bool parkThreeThreads()
{
    void* (*const routines[])(void*) = {firstParkedThread, secondParkedThread, thirdParkedThread};
    for (auto* routine : routines) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, routine, nullptr) != 0)
            return false;
        pthread_detach(thread);
    }
    for (std::atomic<pid_t>& parked : g_parked) {
        while (parked.load() == 0 || !isSleeping(parked.load()))
            usleep(1000);
    }
    return true;
}

[[noreturn]] void waitForTheCrash()
{
    for (;;)
        pause();
}

// The program's own bundle: "crash_test_program.bundle" beside the executable, when it is there.
void useOwnBundle()
{
    std::error_code error;
    const std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error)
        return;
    const std::filesystem::path bundle = program.parent_path() / "crash_test_program.bundle";
    if (std::filesystem::is_directory(bundle, error))
        platform::AppFolders::install(platform::AppFolders(platform::AppFolders::current().home(), bundle.string()));
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

constexpr const char* kModes[] = {"--segv",       "--abort",          "--divide",
                                  "--deep",       "--two-threads",    "--thread-overflow",
                                  "--bad-reason", "--parked-threads", "--parked-untraceable",
                                  "--parked-alone"};

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    bool known = mode.empty();
    for (const char* m : kModes)
        known |= mode == m;
    if (argc > 2 || !known) {
        std::fputs("usage: crash_test_program [--segv | --abort | --divide | --deep | --two-threads | "
                   "--thread-overflow | --bad-reason | --parked-threads | --parked-untraceable | --parked-alone]\n",
                   stderr);
        return 2;
    }
    useOwnBundle();
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
    if (mode == "--segv") {
        crashBySegmentationFault();
    } else if (mode == "--abort") {
        std::abort();
    } else if (mode == "--divide") {
        volatile int one = 1, zero = 0;
        std::printf("%d\n", divide(&one, &zero));
    } else if (mode == "--deep") {
        crashLevel1(g_nowhere);
    } else if (mode == "--two-threads") {
        twoThreadsAtOnce();
    } else if (mode == "--thread-overflow") {
        platform::DispatchQueue::global()->async([] { std::printf("%d\n", recurseForEver(0)); });
        waitForTheCrash();
    } else if (mode == "--parked-threads" || mode == "--parked-untraceable" || mode == "--parked-alone") {
        if (!parkThreeThreads()) {
            std::fputs("crash_test_program: cannot start the threads\n", stderr);
            return 1;
        }
        if ((mode == "--parked-untraceable" && !crashtest::refuseSystemCall(SYS_ptrace)) ||
            (mode == "--parked-alone" && !crashtest::refuseSystemCall(SYS_clone))) {
            std::fprintf(stderr, "crash_test_program: cannot install the filter: %s\n", std::strerror(errno));
            return 1;
        }
        crashBySegmentationFault();
    } else if (mode == "--bad-reason") {
        throw std::runtime_error("not \xff\xfe UTF-8");
    }
    return fine ? 0 : 1;
}
