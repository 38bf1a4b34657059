// A small program for trying the crash reporter by hand and in the end-to-end tests (not part of the
// application): it enables the shared reporter in signal mode; with a switch it then crashes. Run again,
// it prints the report the crash left, then moves it aside (into the queued-reports folder) so the next
// crash has a free slot (a report that waited beside it takes the slot).
//
//     crash_test_program [--segv | --abort | --divide | --deep | --two-threads | --thread-overflow |
//                         --bad-reason | --parked-threads | --parked-untraceable | --parked-alone |
//                         --deep-threads | --many-threads | --no-descriptors | --fork-crash | --vfork-thread |
//                         --small-stack | --small-stack-untraceable | --small-stack-alone | --small-stack-overflow |
//                         --library-thread-overflow]
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
//   --deep-threads     16 threads each wait 600 calls deep (descendThenPark), then the main thread crashes
//                      three calls deep: their frames do not all fit in a report
//   --many-threads     1,200 threads wait (parkedAmongMany), then the main thread crashes three calls deep
//   --no-descriptors   the three parked threads, then the descriptor limit is lowered to 64 and every
//                      descriptor is taken before the main thread writes through a null pointer
//   --fork-crash       a forked child writes through a null pointer; once it has died of it, the program
//                      ends with status 3 when the child left a report (it must not), else crashes three
//                      calls deep itself
//   --vfork-thread     the three parked threads and a thread held in vfork (its child sleeps, at most
//                      30 s), then the main thread writes through a null pointer
//   --small-stack      a thread the program starts itself with a 16 KiB stack before it enables the
//                      reporter (so it has no alternate signal stack) waits for the three parked threads,
//                      then writes through a null pointer, most of its stack used (smallStackThread,
//                      descendThenCrash)
//   --small-stack-untraceable, --small-stack-alone  the same under a filter that refuses tracing, or
//                      starting a process (the report is written inside the crashed process)
//   --small-stack-overflow  the same thread, started after enabling, overflows its stack (recurseForEver)
//   --library-thread-overflow  a thread GLib starts (overflowInLibraryThread) refuses starting a process,
//                      then overflows its stack: the report is written inside the crashed process
//
// The reporter's files live under the application home (AppFolders::current(): $XDG_DATA_HOME/...). The
// program's own bundle, "crash_test_program.bundle" beside it, gives its version.
#include "crashreporter/CRCrashReportTextFormatter.h"
#include "crashreporter/CRCrashReporter.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "tests/support/crash_test_program/SystemCallFilter.h"

#include <glib.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

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

// Threads that each wait at the bottom of a deep stack of calls, or that are many.
std::atomic<int> g_waiting{0};

CRASHING int descendThenPark(int depth)
{
    volatile char frame[16];
    frame[0] = static_cast<char>(depth);
    if (depth == 0) {
        g_waiting.fetch_add(1);
        while (!g_stopRecursion)
            pause();
        return frame[0];
    }
    const int deeper = descendThenPark(depth - 1);
    return deeper + frame[0];
}

PARKING void* descendingThread(void*)
{
    (void)descendThenPark(600);
    return nullptr;
}

PARKING void parkedAmongMany()
{
    g_waiting.fetch_add(1);
    for (;;)
        pause();
}

PARKING void* oneOfManyThreads(void*)
{
    parkedAmongMany();
    return nullptr;
}

// Starts the threads (small stacks) and waits until each is about to wait.
bool startWaitingThreads(void* (*routine)(void*), int count)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, 512 * 1024);
    for (int i = 0; i < count; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, &attributes, routine, nullptr) != 0)
            return false;
        pthread_detach(thread);
    }
    pthread_attr_destroy(&attributes);
    while (g_waiting.load() < count)
        usleep(1000);
    usleep(20000); // each into its wait
    return true;
}

[[noreturn]] void waitForTheCrash()
{
    for (;;)
        pause();
}

// A thread the program starts itself, with the smallest stack it may have (16 KiB here): it goes down
// until little of its stack is left and writes through a null pointer there, or overflows its stack.
constexpr std::size_t kSmallStackBytes = 16 * 1024;
// What a frame of descendThenCrash takes, at most; it stops this far from the stack's end.
constexpr std::size_t kCrashFrameBytes = 256;
constexpr std::size_t kLeftOnSmallStack = 8 * 1024; // a signal frame here takes up to 3.4 KiB
std::uintptr_t g_smallStackEnd = 0;

CRASHING void descendThenCrash(int depth)
{
    volatile char frame[64];
    frame[0] = static_cast<char>(depth);
    const auto here = reinterpret_cast<std::uintptr_t>(&frame[0]);
    if (here < g_smallStackEnd + kLeftOnSmallStack + kCrashFrameBytes)
        writeThroughNull(g_nowhere);
    else
        descendThenCrash(depth + 1);
    asm volatile("" ::: "memory");
}

// What the small-stack thread does: overflow its stack or not, and which system call it refuses itself
// first (-1: none).
struct SmallStackCrash {
    bool overflow;
    long refused;
};

// Set once the small-stack thread may crash.
std::atomic<bool> g_crashNow{false};

PARKING void* smallStackThread(void* opaque)
{
    const auto* crash = static_cast<const SmallStackCrash*>(opaque);
    while (!g_crashNow.load())
        usleep(1000);
    pthread_attr_t attributes;
    void* stack = nullptr;
    std::size_t bytes = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &stack, &bytes);
        pthread_attr_destroy(&attributes);
    }
    g_smallStackEnd = reinterpret_cast<std::uintptr_t>(stack);
    // The filter holds for the thread that installs it: the crashed one.
    if (crash->refused >= 0 && !crashtest::refuseSystemCall(static_cast<int>(crash->refused))) {
        std::fprintf(stderr, "crash_test_program: cannot install the filter: %s\n", std::strerror(errno));
        std::_Exit(1);
    }
    if (crash->overflow)
        std::printf("%d\n", recurseForEver(0));
    else
        descendThenCrash(0);
    return nullptr;
}

// Starts the small-stack thread (of at least the system's smallest size); it crashes once g_crashNow is set.
bool startSmallStackThread(const SmallStackCrash& crash)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    const long least = sysconf(_SC_THREAD_STACK_MIN);
    const std::size_t bytes = least > static_cast<long>(kSmallStackBytes) ? static_cast<std::size_t>(least) : kSmallStackBytes;
    pthread_t thread;
    const bool started = pthread_attr_setstacksize(&attributes, bytes) == 0 &&
                         pthread_create(&thread, &attributes, smallStackThread, const_cast<SmallStackCrash*>(&crash)) == 0;
    pthread_attr_destroy(&attributes);
    if (started)
        pthread_detach(thread);
    return started;
}

// A thread GLib starts: no start of the platform's, no stack of the program's.
PARKING gpointer overflowInLibraryThread(gpointer)
{
    if (!crashtest::refuseSystemCall(SYS_clone)) {
        std::fprintf(stderr, "crash_test_program: cannot install the filter: %s\n", std::strerror(errno));
        std::_Exit(1);
    }
    std::printf("%d\n", recurseForEver(0));
    return nullptr;
}

// Lowers the descriptor limit to 64 and opens descriptors until none is left.
bool takeEveryDescriptor()
{
    const rlimit limit{64, 64};
    if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
        return false;
    while (open("/dev/null", O_RDONLY) >= 0) {
    }
    return errno == EMFILE;
}

// The child of a thread held in vfork: it shares the program's memory and uses system calls only. It ends
// with the thread that started it (and so with the program), or after 30 s.
__attribute__((no_sanitize("address", "undefined"))) int sleepInVforkChild(void*)
{
    (void)syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    timespec pause{30, 0};
    (void)syscall(SYS_nanosleep, &pause, nullptr);
    syscall(SYS_exit, 0);
    return 0;
}

std::atomic<bool> g_inVfork{false};

PARKING void* vforkingThread(void*)
{
    constexpr std::size_t kChildStackBytes = 64 * 1024;
    void* stack = mmap(nullptr, kChildStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return nullptr;
    g_inVfork.store(true);
    (void)clone(sleepInVforkChild, static_cast<char*>(stack) + kChildStackBytes, CLONE_VM | CLONE_VFORK | SIGCHLD,
                nullptr);
    return nullptr;
}

// A thread held in vfork: its state is "D" or "S" in the kernel, waiting for its child.
bool startVforkThread()
{
    pthread_t thread;
    if (pthread_create(&thread, nullptr, vforkingThread, nullptr) != 0)
        return false;
    pthread_detach(thread);
    while (!g_inVfork.load())
        usleep(1000);
    usleep(50000); // into the wait
    return true;
}

// Forks a child that crashes; then whether the child died of it without leaving a report.
int crashInForkedChild(const CRCrashReporter& reporter)
{
    const pid_t child = fork();
    if (child == 0) {
        crashBySegmentationFault();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child)
        return 1;
    if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV) {
        std::fprintf(stderr, "crash_test_program: the child ended with status %d\n", status);
        return 1;
    }
    if (reporter.hasPendingCrashReport()) {
        std::fputs("crash_test_program: the child left a report\n", stderr);
        return 3;
    }
    return 0;
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
    // The bytes read kept aside, then the report purged: a report that waited beside it takes its place.
    if (bytes.ok()) {
        if (platform::Status kept = platform::FileManager::defaultManager().createFile(aside, bytes.value()); !kept.ok()) {
            std::fprintf(stderr, "crash_test_program: cannot keep the report aside: %s\n", kept.error().localizedDescription().c_str());
            return false;
        }
    }
    if (platform::Status purged = reporter.purgePendingCrashReport(); !purged.ok()) {
        std::fprintf(stderr, "crash_test_program: %s\n", purged.error().localizedDescription().c_str());
        return false;
    }
    return shown;
}

constexpr const char* kModes[] = {"--segv",       "--abort",          "--divide",
                                  "--deep",       "--two-threads",    "--thread-overflow",
                                  "--bad-reason", "--parked-threads", "--parked-untraceable",
                                  "--parked-alone", "--deep-threads",     "--many-threads",
                                  "--no-descriptors", "--fork-crash",   "--vfork-thread",
                                  "--small-stack",  "--small-stack-untraceable", "--small-stack-alone",
                                  "--small-stack-overflow", "--library-thread-overflow"};

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    bool known = mode.empty();
    for (const char* m : kModes)
        known |= mode == m;
    if (argc > 2 || !known) {
        std::fputs("usage: crash_test_program [--segv | --abort | --divide | --deep | --two-threads | "
                   "--thread-overflow | --bad-reason | --parked-threads | --parked-untraceable | --parked-alone | "
                   "--deep-threads | --many-threads | --no-descriptors | --fork-crash | --vfork-thread | --small-stack | "
                   "--small-stack-untraceable | --small-stack-alone | --small-stack-overflow | "
                   "--library-thread-overflow]\n",
                   stderr);
        return 2;
    }
    useOwnBundle();
    if (platform::Status made = platform::AppFolders::current().createFolders(); !made.ok()) {
        std::fprintf(stderr, "crash_test_program: %s\n", made.error().localizedDescription().c_str());
        return 1;
    }
    // The small-stack thread that crashes without a stack of the reporter's starts before it is enabled.
    static const SmallStackCrash smallStackCrash{mode == "--small-stack-overflow",
                                                 mode == "--small-stack-untraceable" ? SYS_ptrace
                                                 : mode == "--small-stack-alone"     ? SYS_clone
                                                                                     : -1L};
    const bool smallStack = mode.rfind("--small-stack", 0) == 0;
    if (smallStack && !smallStackCrash.overflow && !startSmallStackThread(smallStackCrash)) {
        std::fputs("crash_test_program: cannot start the small-stack thread\n", stderr);
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
    } else if (mode == "--deep-threads" || mode == "--many-threads") {
        const bool deep = mode == "--deep-threads";
        if (!startWaitingThreads(deep ? descendingThread : oneOfManyThreads, deep ? 16 : 1200)) {
            std::fputs("crash_test_program: cannot start the threads\n", stderr);
            return 1;
        }
        crashLevel1(g_nowhere);
    } else if (mode == "--no-descriptors") {
        if (!parkThreeThreads() || !takeEveryDescriptor()) {
            std::fprintf(stderr, "crash_test_program: cannot prepare: %s\n", std::strerror(errno));
            return 1;
        }
        crashBySegmentationFault();
    } else if (mode == "--fork-crash") {
        if (const int result = crashInForkedChild(*reporter); result != 0)
            return result;
        crashLevel1(g_nowhere);
    } else if (mode == "--vfork-thread") {
        if (!parkThreeThreads() || !startVforkThread()) {
            std::fputs("crash_test_program: cannot start the threads\n", stderr);
            return 1;
        }
        crashBySegmentationFault();
    } else if (smallStack) {
        if (!parkThreeThreads() || (smallStackCrash.overflow && !startSmallStackThread(smallStackCrash))) {
            std::fputs("crash_test_program: cannot start the threads\n", stderr);
            return 1;
        }
        g_crashNow.store(true);
        waitForTheCrash();
    } else if (mode == "--library-thread-overflow") {
        g_thread_unref(g_thread_new("overflowing", overflowInLibraryThread, nullptr));
        waitForTheCrash();
    } else if (mode == "--bad-reason") {
        throw std::runtime_error("not \xff\xfe UTF-8");
    }
    return fine ? 0 : 1;
}
