// Crash time with an enabled reporter: real crashes in peers leave "live_report.crshlog" for the next run,
// the crash callback runs only after a written report, and a report cut by the size limit counts as not
// written.
#include "crashreporter/CRCrashReport.h"
#include "crashreporter/CRCrashReporter.h"

#include "CrashChild.h"
#include "ReportFile.h"
#include "ReporterChild.h"
#include "support/EventWait.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"
#include "support/crash_test_program/SystemCallFilter.h"
#include "support/crash_test_program/TracingAllowed.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sched.h>

#include <atomic>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// ---- In the children ----

const char* g_childDirectory = nullptr;

// The marker's file, opened before the crash by a child that leaves no descriptor free; -1: opened by the
// callback.
int g_markerFile = -1;

// The crash callback: leaves a marker (async-signal-safe).
void leaveCallbackMarker(siginfo_t* info, ucontext_t*, void* context)
{
    int fd = g_markerFile >= 0 ? g_markerFile : crashtest::openChildFile(g_childDirectory, static_cast<const char*>(context));
    if (fd >= 0) {
        char signo = static_cast<char>('A' + info->si_signo);
        (void)write(fd, &signo, 1);
        close(fd);
    }
}

std::unique_ptr<CRCrashReporter> enableInChild()
{
    g_childDirectory = std::getenv("CRASH_CHILD_DIR");
    std::unique_ptr<CRCrashReporter> reporter = crashtest::makeChildReporter();
    if (!reporter)
        return nullptr;
    static char markerName[] = "callback";
    EXPECT_TRUE(reporter->setCrashCallbacks({0, markerName, leaveCallbackMarker}).ok());
    platform::Status enabled = reporter->enableCrashReporter();
    EXPECT_TRUE(enabled.ok());
    return enabled.ok() ? std::move(reporter) : nullptr;
}

// Read at run time, so that an optimizing compiler makes no copy of a crashing function for a constant
// argument (the copy would lie elsewhere, under another name).
volatile int* volatile g_nowhere = nullptr;

#define CRASH_FUNCTION extern "C" __attribute__((noinline, no_sanitize("address", "undefined")))
CRASH_FUNCTION void reporterCrash(volatile int* target)
{
    *target = 1;
}
CRASH_FUNCTION void reporterCrashCaller(volatile int* target)
{
    reporterCrash(target);
    asm volatile("" ::: "memory");
}

extern "C" __attribute__((noinline)) void throwBoom()
{
    throw std::runtime_error("boom");
}
extern "C" __attribute__((noinline)) void throwBoomCaller()
{
    throwBoom();
    asm volatile("" ::: "memory");
}

TEST(CrashCallbacksPeer, DISABLED_NullPointer)
{
    ASSERT_TRUE(enableInChild());
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

TEST(CrashCallbacksPeer, DISABLED_NullPointerWithoutAReportFile)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    // The report path is a folder: the report cannot be opened.
    ASSERT_EQ(mkdir(reporter->crashReportPath().c_str(), 0755), 0);
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

TEST(CrashCallbacksPeer, DISABLED_UncaughtException)
{
    ASSERT_TRUE(enableInChild());
    throwBoomCaller();
    ADD_FAILURE() << "still alive";
}

// Images enough, with long names, to pass the report's size limit.
void listManyImages()
{
    const std::string name(4000, 'i');
    crsh_image_list* images = crsh_shared_image_list();
    for (std::uint64_t i = 0; i < 80; ++i)
        ASSERT_EQ(crsh_image_list_append_native(images, 0x7f0000000000ull + i * 0x10000, 0x1000, name.c_str(), nullptr),
                  CRSH_ERR_NONE);
}

void leaveNumber(const char* name, long number)
{
    std::string text = std::to_string(number);
    int fd = crashtest::openChildFile(g_childDirectory, name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

TEST(CrashCallbacksPeer, DISABLED_OversizedReport)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    listManyImages();
    // Straight through the writer first, then by a crash.
    const crsh_log_writer_signal_info signal{SIGSEGV, SEGV_MAPERR, 0, nullptr};
    leaveNumber("direct", crsh_write_report(&crsh_shared_handler_context()->writer, crsh_async_mach_thread_self(),
                                            nullptr, &signal));
    // Purged, or the crash's report would wait beside it.
    ASSERT_TRUE(reporter->purgePendingCrashReport().ok());
    {
        hybtest::LogCapture log;
        platform::Result<platform::Bytes> live = reporter->generateLiveReport();
        leaveNumber("live", live.ok() ? static_cast<long>(live.value().size()) : -1);
        platform::Result<std::vector<std::string>> left =
            platform::FileManager::defaultManager().contentsOfDirectory(platform::AppFolders::current().tmp());
        leaveNumber("left", left.ok() ? static_cast<long>(left.value().size()) : -1);
    }
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

// A second thread faults as soon as the report file has its first bytes, while the crashed thread writes
// the rest of a long report.
TEST(CrashCallbacksPeer, DISABLED_SecondFaultWhileWriting)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    const std::string name(1000, 'n');
    for (std::uint64_t i = 0; i < 100; ++i)
        ASSERT_EQ(crsh_image_list_append_native(crsh_shared_image_list(), 0x7f0000000000ull + i * 0x10000, 0x1000,
                                                name.c_str(), nullptr),
                  CRSH_ERR_NONE);
    static std::string path;
    path = reporter->crashReportPath();
    std::thread second([] {
        for (;;) {
            struct stat file {};
            if (stat(path.c_str(), &file) == 0 && file.st_size > 0)
                reporterCrash(g_nowhere);
            sched_yield();
        }
    });
    second.detach();
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}


// ---- Roads that make the report harder to write ----

// The names in the child's folder that start with prefix.
std::size_t namesStartingWith(const std::string& folder, const std::string& prefix)
{
    std::size_t count = 0;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error))
        count += entry.path().filename().string().rfind(prefix, 0) == 0 ? 1 : 0;
    return count;
}

// Two children crash at the same moment into one folder: each says it is ready once enabled, then waits
// for the other. Reports of many long-named images take a while to write.
TEST(CrashCallbacksPeer, DISABLED_AtTheSameTimeAsAnother)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    listManyImages();
    leaveNumber(("ready." + std::to_string(getpid())).c_str(), getpid());
    for (int i = 0; i < 60000 && namesStartingWith(g_childDirectory, "ready.") < 2; ++i)
        usleep(1000);
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

// A report of a SIGBUS pending at the reporter's path (its size left in "pending").
void leavePendingReport(const CRCrashReporter& reporter)
{
    crsh_log_writer writer;
    ASSERT_EQ(crsh_log_writer_init(&writer, "com.example.pending", "1", 0, false), CRSH_ERR_NONE);
    const crsh_log_writer_signal_info signal{SIGBUS, BUS_ADRERR, 0, nullptr};
    crsh_image_list empty{};
    ASSERT_EQ(crsh_image_list_init(&empty, getpid()), CRSH_ERR_NONE);
    const int fd = open(reporter.crashReportPath().c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(crsh_write_report_fd(fd, &writer, crsh_async_mach_thread_self(), nullptr, &signal), CRSH_ERR_NONE);
    crsh_log_writer_free(&writer);
    struct stat status {};
    ASSERT_EQ(stat(reporter.crashReportPath().c_str(), &status), 0);
    leaveNumber("pending", status.st_size);
}

// A file size limit (CRASH_CHILD_FILE_LIMIT bytes) below the whole report; with CRASH_CHILD_PENDING set, a
// report of the child's is pending before the crash.
TEST(CrashCallbacksPeer, DISABLED_PastAFileSizeLimit)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    listManyImages();
    if (std::getenv("CRASH_CHILD_PENDING") != nullptr)
        leavePendingReport(*reporter);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    limit.rlim_cur = std::strtoul(std::getenv("CRASH_CHILD_FILE_LIMIT"), nullptr, 10);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

// A report pending, then a filter refuses (CRASH_CHILD_FILTER=errno) or traps (=trap) the positioned read
// that looks at it, or refuses the renames that would give the new report its own name (=rename).
TEST(CrashCallbacksPeer, DISABLED_PendingReportUnderAFilter)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    leavePendingReport(*reporter);
    const std::string filter = std::getenv("CRASH_CHILD_FILTER");
    if (filter == "rename") {
        ASSERT_TRUE(crashtest::refuseSystemCall(SYS_rename) && crashtest::refuseSystemCall(SYS_renameat2));
    } else {
        ASSERT_TRUE(crashtest::refuseSystemCall(SYS_pread64, filter == "trap" ? SECCOMP_RET_TRAP : SECCOMP_RET_ERRNO | EPERM));
    }
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

// Whether the thread of this process has ended and waits to be reaped ("Z" in its stat line).
bool isZombie(pid_t thread)
{
    std::ifstream in("/proc/self/task/" + std::to_string(thread) + "/stat");
    const std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z';
}

// The main thread ends (its memory with it, for reads through the process's id); then a worker crashes.
TEST(CrashCallbacksPeer, DISABLED_AfterTheMainThreadEnded)
{
    static std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    std::thread([] {
        for (int i = 0; i < 60000 && !isZombie(getpid()); ++i)
            usleep(1000);
        reporterCrashCaller(g_nowhere);
    }).detach();
    pthread_exit(nullptr);
}

// A system-call filter answers each of the calls with `answer` from before the crash on.
void crashUnderAFilter(std::initializer_list<long> calls, unsigned answer)
{
    static std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    for (long call : calls)
        ASSERT_TRUE(crashtest::refuseSystemCall(static_cast<int>(call), answer));
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

TEST(CrashCallbacksPeer, DISABLED_ReadsRefusedByAFilter)
{
    crashUnderAFilter({SYS_process_vm_readv}, SECCOMP_RET_ERRNO | EPERM);
}

TEST(CrashCallbacksPeer, DISABLED_ReadsTrappedByAFilter)
{
    crashUnderAFilter({SYS_process_vm_readv}, SECCOMP_RET_TRAP);
}

TEST(CrashCallbacksPeer, DISABLED_ReadsEndTheProcessUnderAFilter)
{
    crashUnderAFilter({SYS_process_vm_readv}, SECCOMP_RET_KILL_PROCESS);
}

// Reads refused by a filter with no descriptor left: the helper's memory file takes a spare's place, and
// the other thread is read.
TEST(CrashCallbacksPeer, DISABLED_ReadsRefusedWithNoDescriptorLeft)
{
    static std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    std::thread([] {
        for (;;)
            pause();
    }).detach();
    ASSERT_TRUE(crashtest::refuseSystemCall(SYS_process_vm_readv, SECCOMP_RET_ERRNO | EPERM));
    g_markerFile = crashtest::openChildFile(g_childDirectory, "callback");
    const rlimit limit{64, 64};
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    while (open("/dev/null", O_RDONLY | O_CLOEXEC) >= 0) {
    }
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

// The calls that put the report in place refused, or trapped, by a filter.
TEST(CrashCallbacksPeer, DISABLED_PlacingRefusedByAFilter)
{
    crashUnderAFilter({SYS_renameat2, SYS_link}, SECCOMP_RET_ERRNO | EPERM);
}

TEST(CrashCallbacksPeer, DISABLED_PlacingTrappedByAFilter)
{
    crashUnderAFilter({SYS_renameat2}, SECCOMP_RET_TRAP);
}

// A call of the crashed process's own on the way to the helper (and of the helper's) trapped.
TEST(CrashCallbacksPeer, DISABLED_ProcessControlTrappedByAFilter)
{
    crashUnderAFilter({SYS_prctl}, SECCOMP_RET_TRAP);
}

// A thread with the smallest stack, started before the reporter is enabled (no alternate stack of the
// reporter's), crashes with room for the signal's frame and 2 KiB more: too little for the loader to bind
// a call on the way to the crash stack.
std::atomic<bool> g_smallStackGo{false};
std::atomic<std::uintptr_t> g_handlerFrame{0};
std::uintptr_t g_smallStackEnd = 0;
std::uintptr_t g_smallStackRoom = 0;

void noteHandlerFrame(int)
{
    volatile char here = 0;
    g_handlerFrame.store(reinterpret_cast<std::uintptr_t>(&here));
}

CRASH_FUNCTION void descendThenCrash(int depth)
{
    volatile char frame[64];
    frame[0] = static_cast<char>(depth);
    if (reinterpret_cast<std::uintptr_t>(&frame[0]) < g_smallStackEnd + g_smallStackRoom)
        reporterCrashCaller(g_nowhere);
    else
        descendThenCrash(depth + 1);
    asm volatile("" ::: "memory");
}

CRASH_FUNCTION void* smallStackThread(void*)
{
    while (!g_smallStackGo.load())
        usleep(1000);
    pthread_attr_t attributes;
    void* stack = nullptr;
    std::size_t bytes = 0;
    if (pthread_getattr_np(pthread_self(), &attributes) == 0) {
        pthread_attr_getstack(&attributes, &stack, &bytes);
        pthread_attr_destroy(&attributes);
    }
    g_smallStackEnd = reinterpret_cast<std::uintptr_t>(stack);
    // No alternate stack at all (a sanitizer gives its threads one of its own).
    stack_t none{};
    none.ss_flags = SS_DISABLE;
    (void)sigaltstack(&none, nullptr);
    // The signal frame's size here: a handler's local against this one's.
    struct sigaction measure = {}, previous = {};
    measure.sa_handler = noteHandlerFrame;
    sigemptyset(&measure.sa_mask);
    (void)sigaction(SIGUSR1, &measure, &previous);
    volatile char here = 0;
    (void)syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), SIGUSR1);
    (void)sigaction(SIGUSR1, &previous, nullptr);
    const std::uintptr_t frame = reinterpret_cast<std::uintptr_t>(&here) - g_handlerFrame.load();
    g_smallStackRoom = (frame < 16384 ? frame : 4096) + 2048;
    descendThenCrash(0);
    return nullptr;
}

TEST(CrashCallbacksPeer, DISABLED_SmallStackNearlyFull)
{
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    const long least = sysconf(_SC_THREAD_STACK_MIN);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, least > 16384 ? static_cast<std::size_t>(least) : 16384), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, smallStackThread, nullptr), 0);
    pthread_attr_destroy(&attributes);
    static std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    g_smallStackGo.store(true);
    pthread_join(thread, nullptr);
    ADD_FAILURE() << "still alive";
}

// The process is killed while the helper stops its threads: a watcher (a process of its own) kills it once
// the first of them is traced. That thread is held in vfork, so the helper waits for it (up to its stop
// wait) with the kill under way; many other threads wait to be stopped. With CRASH_CHILD_VFORK_LAST set,
// that thread is the last: the others have stopped when the kill comes, and end before they are read.
CRASH_FUNCTION void* parkAmongMany(void*)
{
    for (;;)
        pause();
}

// The vfork child: the process's memory, system calls only; it ends with its parent thread, or after 30 s.
__attribute__((no_sanitize("address", "undefined"))) int sleepInVforkChild(void*)
{
    (void)syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL, 0L, 0L, 0L);
    timespec pause{30, 0};
    (void)syscall(SYS_nanosleep, &pause, nullptr);
    syscall(SYS_exit, 0);
    return 0;
}

std::atomic<pid_t> g_inVfork{0};

CRASH_FUNCTION void* vforkingThread(void*)
{
    constexpr std::size_t kChildStackBytes = 64 * 1024;
    void* stack = mmap(nullptr, kChildStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return nullptr;
    g_inVfork.store(static_cast<pid_t>(syscall(SYS_gettid)));
    (void)clone(sleepInVforkChild, static_cast<char*>(stack) + kChildStackBytes, CLONE_VM | CLONE_VFORK | SIGCHLD,
                nullptr);
    return nullptr;
}

TEST(CrashCallbacksPeer, DISABLED_KilledWhileTheThreadsAreStopped)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    const bool vforkLast = std::getenv("CRASH_CHILD_VFORK_LAST") != nullptr;
    pthread_t thread;
    if (!vforkLast) {
        ASSERT_EQ(pthread_create(&thread, nullptr, vforkingThread, nullptr), 0);
    }
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 64 * 1024), 0);
    for (int i = 0; i < 300; ++i)
        ASSERT_EQ(pthread_create(&thread, &attributes, parkAmongMany, nullptr), 0);
    pthread_attr_destroy(&attributes);
    if (vforkLast) {
        ASSERT_EQ(pthread_create(&thread, nullptr, vforkingThread, nullptr), 0);
    }
    // Into the vfork: the thread waits in clone() for its child.
    EXPECT_TRUE(hybtest::pollUntil([] { return g_inVfork.load() != 0 && hybtest::inSystemCall(g_inVfork.load(), SYS_clone); }));
    const pid_t self = getpid();
    const std::string status = "/proc/" + std::to_string(self) + "/task/" + std::to_string(g_inVfork.load()) + "/status";
    const pid_t watcher = fork();
    if (watcher == 0) {
        // A fork of a process of many threads: only async-signal-safe calls (another thread may have held
        // the allocator's or a stream's lock at the fork), and a bound, so that it never outlives the test.
        char text[4096];
        for (int i = 0; i < 6000000; ++i) {
            const int fd = open(status.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                break;
            const ssize_t length = read(fd, text, sizeof text - 1);
            close(fd);
            if (length <= 0)
                break;
            text[length] = '\0';
            const char* at = strstr(text, "TracerPid:");
            if (at != nullptr && strtol(at + 10, nullptr, 10) != 0) {
                kill(self, SIGKILL);
                break;
            }
        }
        _exit(0);
    }
    ASSERT_GT(watcher, 0);
    reporterCrashCaller(g_nowhere);
    ADD_FAILURE() << "still alive";
}

// ---- In the parent ----

struct Child {
    int status = -1;
    bool callbackRan = false;
    std::vector<std::uint8_t> report;
    std::string file(const std::string& name) const
    {
        std::vector<std::uint8_t> bytes = crashtest::readBytes(m_files->path(name));
        return {bytes.begin(), bytes.end()};
    }
    std::unique_ptr<crashtest::ChildFiles> m_files;
};

// extraEnvironment replaces the child's usual environment entries of the same name.
Child runChild(const std::string& test, std::vector<std::string> extraEnvironment = {})
{
    Child child;
    child.m_files = std::make_unique<crashtest::ChildFiles>();
    extraEnvironment.insert(extraEnvironment.begin(),
                            {crashtest::kChildSanitizerOptions, crashtest::kChildThreadSanitizerOptions, "CRASH_CHILD_DIR=" + child.m_files->path("")});
    child.status = hybtest::runThisTestExecutableForStatus(test, extraEnvironment);
    platform::FileManager& files = platform::FileManager::defaultManager();
    child.callbackRan = files.fileExists(child.m_files->path("callback"));
    const std::string report = crashtest::childReportPath(*child.m_files);
    if (files.fileExists(report) && !files.isDirectory(report))
        child.report = crashtest::readBytes(report);
    return child;
}

// The offset of a code address in the loaded object that holds it: comparable across processes.
std::uint64_t offsetInObject(std::uint64_t address)
{
    Dl_info info{};
    EXPECT_NE(dladdr(reinterpret_cast<const void*>(address), &info), 0);
    return address - reinterpret_cast<std::uint64_t>(info.dli_fbase);
}

// The report's offset of pc in the image that holds it; none when no listed image does.
std::optional<std::uint64_t> offsetInReportImage(const Crsh__CrashReport* report, std::uint64_t pc)
{
    for (std::size_t i = 0; i < report->n_binary_images; ++i) {
        const Crsh__CrashReport__BinaryImage* image = report->binary_images[i];
        if (pc >= image->base_address && pc - image->base_address < image->size)
            return pc - image->base_address;
    }
    return std::nullopt;
}

// Whether pc lies within the first bytes of the function (its code, or a return point in it).
bool inFunction(const Crsh__CrashReport* report, std::uint64_t pc, const void* function)
{
    std::optional<std::uint64_t> offset = offsetInReportImage(report, pc);
    const std::uint64_t start = offsetInObject(reinterpret_cast<std::uint64_t>(function));
    return offset && *offset >= start && *offset < start + 64;
}

void expectKilledBy(const Child& child, int signo)
{
    ASSERT_NE(child.status, -1);
    ASSERT_TRUE(WIFSIGNALED(child.status)) << "status " << child.status;
    EXPECT_EQ(WTERMSIG(child.status), signo);
}

TEST(CrashCallbacks, ACrashLeavesTheReportThenTheCallbackRunsAndTheSignalKills)
{
    Child child = runChild("CrashCallbacksPeer.DISABLED_NullPointer");
    expectKilledBy(child, SIGSEGV);
    EXPECT_TRUE(child.callbackRan);
    EXPECT_EQ(child.file("callback"), std::string(1, static_cast<char>('A' + SIGSEGV)));
    crashtest::Report report = crashtest::unpackReport(child.report);
    ASSERT_TRUE(report);
    EXPECT_FALSE(report->report_info->user_requested);
    EXPECT_STREQ(report->application_info->identifier, crashtest::kChildIdentifier);
    EXPECT_STREQ(report->application_info->version, "7");
    EXPECT_STREQ(report->signal->name, "SIGSEGV");
    EXPECT_STREQ(report->signal->code, "SEGV_MAPERR");
    EXPECT_EQ(report->signal->address, 0u);
    EXPECT_EQ(report->exception, nullptr);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_registers, 21u);
    ASSERT_GE(crashed->n_frames, 2u);
    EXPECT_TRUE(inFunction(report.get(), crashed->frames[0]->pc, reinterpret_cast<const void*>(&reporterCrash)));
    EXPECT_TRUE(inFunction(report.get(), crashed->frames[1]->pc, reinterpret_cast<const void*>(&reporterCrashCaller)));
}

TEST(CrashCallbacks, AReportThatCannotBeOpenedSkipsTheCallbackAndTheSignalStillKills)
{
    Child child = runChild("CrashCallbacksPeer.DISABLED_NullPointerWithoutAReportFile");
    expectKilledBy(child, SIGSEGV);
    EXPECT_FALSE(child.callbackRan);
}

TEST(CrashCallbacks, AnUncaughtExceptionIsRecordedWithItsFramesBeforeTheAbort)
{
    // The test framework's own catching is off, so the exception leaves the program as in an application.
    Child child = runChild("CrashCallbacksPeer.DISABLED_UncaughtException", {"GTEST_CATCH_EXCEPTIONS=0"});
    expectKilledBy(child, SIGABRT);
    EXPECT_TRUE(child.callbackRan);
    crashtest::Report report = crashtest::unpackReport(child.report);
    ASSERT_TRUE(report);
    EXPECT_STREQ(report->signal->name, "SIGABRT");
    EXPECT_EQ(report->signal->address, 0u); // a sent signal has no fault address
    ASSERT_NE(report->exception, nullptr);
    EXPECT_STREQ(report->exception->name, "std::runtime_error");
    EXPECT_STREQ(report->exception->reason, "boom");
    // The throw site is still on the stack when the handler runs: the chain passes through the caller
    // of the throwing function.
    bool throughCaller = false;
    for (std::size_t i = 0; i < report->exception->n_frames; ++i)
        throughCaller |= inFunction(report.get(), report->exception->frames[i]->pc,
                                    reinterpret_cast<const void*>(&throwBoomCaller));
    EXPECT_TRUE(throughCaller) << report->exception->n_frames << " frames";
}

// Images past the size limit: the report leaves out those that do not fit and says so; the crashed
// thread is whole, the report is written (directly, live and by the crash, which runs the callback).
TEST(CrashCallbacks, AReportPastTheSizeLimitLeavesOutWhatDoesNotFitAndIsWritten)
{
    Child child = runChild("CrashCallbacksPeer.DISABLED_OversizedReport");
    expectKilledBy(child, SIGSEGV);
    EXPECT_EQ(child.file("direct"), std::to_string(CRSH_ERR_NONE));
    EXPECT_GT(std::stol(child.file("live")), 200000);
    EXPECT_LE(std::stol(child.file("live")), static_cast<long>(CRSH_REPORT_LIMIT_BYTES));
    EXPECT_EQ(child.file("left"), "0");
    EXPECT_TRUE(child.callbackRan);
    EXPECT_LE(child.report.size(), CRSH_REPORT_LIMIT_BYTES);
    EXPECT_TRUE(CRCrashReport::initWithData(platform::Bytes(child.report.begin(), child.report.end())).ok());
    crashtest::Report report = crashtest::unpackReport(child.report);
    ASSERT_TRUE(report);
    ASSERT_NE(report->report_info->threads_note, nullptr);
    EXPECT_NE(std::string(report->report_info->threads_note).find(" binary images left out to fit the report's size limit"),
              std::string::npos)
        << report->report_info->threads_note;
    std::size_t long_names = 0;
    for (std::size_t i = 0; i < report->n_binary_images; ++i)
        long_names += std::strlen(report->binary_images[i]->name) == 4000 ? 1 : 0;
    EXPECT_GT(long_names, 0u);
    EXPECT_LT(long_names, 80u);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_GE(crashed->n_frames, 3u);
    EXPECT_GT(crashed->n_registers, 0u);
}

// The crash signals keep their handler while the report is written: a thread that faults meanwhile waits
// instead of ending the process under the writer (or truncating the report), and the one report is the
// first thread's, whole, followed by the callback.
TEST(CrashCallbacks, AThreadFaultingWhileTheReportIsWrittenWaitsForIt)
{
    Child child = runChild("CrashCallbacksPeer.DISABLED_SecondFaultWhileWriting");
    expectKilledBy(child, SIGSEGV);
    EXPECT_TRUE(child.callbackRan);
    crashtest::Report report = crashtest::unpackReport(child.report);
    ASSERT_TRUE(report);
    EXPECT_GE(report->n_binary_images, 100u);
    std::size_t crashedThreads = 0;
    for (std::size_t i = 0; i < report->n_threads; ++i)
        crashedThreads += report->threads[i]->crashed ? 1 : 0;
    EXPECT_EQ(crashedThreads, 1u);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    ASSERT_GE(crashed->n_frames, 2u);
    EXPECT_TRUE(inFunction(report.get(), crashed->frames[0]->pc, reinterpret_cast<const void*>(&reporterCrash)));
    EXPECT_TRUE(inFunction(report.get(), crashed->frames[1]->pc, reinterpret_cast<const void*>(&reporterCrashCaller)));
}

// The files of a report folder: the pending report, the reports waiting beside it, and the names still
// being written (none once every writer is done).
struct ReportFolder {
    std::vector<std::uint8_t> pending;
    std::vector<std::vector<std::uint8_t>> waiting;
    std::size_t parts = 0;
};

ReportFolder readReportFolder(const std::string& reportPath)
{
    ReportFolder folder;
    const std::filesystem::path path(reportPath);
    const std::string name = path.filename().string();
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path.parent_path(), error)) {
        const std::string entryName = entry.path().filename().string();
        if (entryName == name)
            folder.pending = crashtest::readBytes(entry.path().string());
        else if (entryName.size() > 5 && entryName.compare(entryName.size() - 5, 5, ".part") == 0)
            ++folder.parts;
        else if (entryName.rfind(name + ".", 0) == 0)
            folder.waiting.push_back(crashtest::readBytes(entry.path().string()));
    }
    return folder;
}

// Two processes crashing at once into one folder: each report is written aside and put in place whole;
// the one that comes second finds the first pending and waits beside it. Both decode, neither is mixed.
TEST(CrashCallbacks, TwoProcessesCrashingAtOnceEachLeaveAWholeReport)
{
    crashtest::ChildFiles files;
    const std::vector<std::string> environment{crashtest::kChildSanitizerOptions, crashtest::kChildThreadSanitizerOptions,
                                               "CRASH_CHILD_DIR=" + files.path("")};
    const std::string test = "CrashCallbacksPeer.DISABLED_AtTheSameTimeAsAnother";
    int first = -1;
    std::thread firstRun([&] { first = hybtest::runThisTestExecutableForStatus(test, environment); });
    // The second makes its home once the first has made it.
    for (int i = 0; i < 60000 && namesStartingWith(files.path(""), "ready.") == 0; ++i)
        usleep(1000);
    const int second = hybtest::runThisTestExecutableForStatus(test, environment);
    firstRun.join();
    for (int status : {first, second}) {
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    }
    const ReportFolder folder = readReportFolder(crashtest::childReportPath(files));
    EXPECT_EQ(folder.parts, 0u);
    ASSERT_EQ(folder.waiting.size(), 1u);
    crashtest::Report pending = crashtest::unpackReport(folder.pending);
    crashtest::Report waiting = crashtest::unpackReport(folder.waiting[0]);
    ASSERT_TRUE(pending && waiting);
    EXPECT_NE(pending->process_info->process_id, waiting->process_info->process_id);
    for (const crashtest::Report* report : {&pending, &waiting}) {
        const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report->get());
        ASSERT_NE(crashed, nullptr);
        EXPECT_GE(crashed->n_frames, 2u);
    }
}

// A file size limit below the whole report: the report is written again within what the file took, or in
// its smallest form, and says why; a pending report is never cut or replaced (also when a filter keeps its
// first bytes from being read the usual way), and a report that does not fit even in its smallest form
// leaves nothing behind.
TEST(CrashCallbacks, AFileSizeLimitMakesTheReportSmallerAndKeepsThePendingOne)
{
    struct Case {
        const char* limit;
        bool pending;
        bool written; // a report of the crash is left (pending, or waiting beside the pending one)
    };
    // A filter that refuses or traps the read of the pending report's first bytes: it is kept all the same;
    // one that refuses the renames: the new report waits beside it all the same.
    const Case cases[] = {{"65536", false, true}, {"12288", true, true}, {"64", true, false},
                          {"errno", true, true},  {"trap", true, true},   {"rename", true, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.limit);
        const bool filtered = !std::isdigit(static_cast<unsigned char>(c.limit[0]));
        std::vector<std::string> environment{std::string(filtered ? "CRASH_CHILD_FILTER=" : "CRASH_CHILD_FILE_LIMIT=") + c.limit};
        if (c.pending)
            environment.push_back("CRASH_CHILD_PENDING=1");
        Child child = runChild(filtered ? "CrashCallbacksPeer.DISABLED_PendingReportUnderAFilter"
                                        : "CrashCallbacksPeer.DISABLED_PastAFileSizeLimit",
                               environment);
        expectKilledBy(child, SIGSEGV);
        EXPECT_EQ(child.callbackRan, c.written);
        const ReportFolder folder = readReportFolder(crashtest::childReportPath(*child.m_files));
        EXPECT_EQ(folder.parts, 0u);
        if (c.pending) {
            EXPECT_EQ(std::to_string(folder.pending.size()), child.file("pending"));
            crashtest::Report pending = crashtest::unpackReport(folder.pending);
            ASSERT_TRUE(pending);
            EXPECT_STREQ(pending->signal->name, "SIGBUS");
        }
        ASSERT_EQ(folder.waiting.size(), c.pending && c.written ? 1u : 0u);
        if (!c.written)
            continue;
        const std::vector<std::uint8_t>& bytes = c.pending ? folder.waiting[0] : folder.pending;
        crashtest::Report report = crashtest::unpackReport(bytes);
        ASSERT_TRUE(report);
        EXPECT_TRUE(CRCrashReport::initWithData(platform::Bytes(bytes.begin(), bytes.end())).ok());
        EXPECT_STREQ(report->signal->name, "SIGSEGV");
        if (filtered) {
            const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
            ASSERT_NE(crashed, nullptr);
            EXPECT_GE(crashed->n_frames, 2u);
            continue;
        }
        EXPECT_LE(bytes.size(), std::stoul(c.limit));
        ASSERT_NE(report->report_info->threads_note, nullptr);
        EXPECT_NE(std::string(report->report_info->threads_note).find("(past the file size limit)"), std::string::npos)
            << report->report_info->threads_note;
        const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
        ASSERT_NE(crashed, nullptr);
        ASSERT_GE(crashed->n_frames, 2u);
        EXPECT_TRUE(inFunction(report.get(), crashed->frames[0]->pc, reinterpret_cast<const void*>(&reporterCrash)));
    }
}

// Roads on which the crashed thread's memory cannot be read the usual way: the main thread has ended (the
// process's id reads nothing), or a system-call filter refuses, traps or ends the process on the
// cross-process read (with no descriptor left, too); or the crashed thread's stack is nearly full and it has
// no alternate stack. Roads on which a filter refuses or traps the calls that put the report in place, or
// that start the helper. The report holds the crashed thread's frames all the same, and, since nothing was
// lost, no note.
TEST(CrashCallbacks, TheCrashedThreadIsReadWhereverItsMemoryCanBeRead)
{
    for (const char* peer : {"CrashCallbacksPeer.DISABLED_AfterTheMainThreadEnded",
                             "CrashCallbacksPeer.DISABLED_ReadsRefusedByAFilter",
                             "CrashCallbacksPeer.DISABLED_ReadsTrappedByAFilter",
                             "CrashCallbacksPeer.DISABLED_ReadsEndTheProcessUnderAFilter",
                             "CrashCallbacksPeer.DISABLED_ReadsRefusedWithNoDescriptorLeft",
                             "CrashCallbacksPeer.DISABLED_PlacingRefusedByAFilter",
                             "CrashCallbacksPeer.DISABLED_PlacingTrappedByAFilter",
                             "CrashCallbacksPeer.DISABLED_ProcessControlTrappedByAFilter",
                             "CrashCallbacksPeer.DISABLED_SmallStackNearlyFull"}) {
        SCOPED_TRACE(peer);
        // The main thread ends by unwinding: the framework must not catch it.
        Child child = runChild(peer, {"GTEST_CATCH_EXCEPTIONS=0"});
        expectKilledBy(child, SIGSEGV);
        EXPECT_TRUE(child.callbackRan);
        crashtest::Report report = crashtest::unpackReport(child.report);
        ASSERT_TRUE(report);
        const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
        ASSERT_NE(crashed, nullptr);
        ASSERT_GE(crashed->n_frames, 2u);
        EXPECT_TRUE(inFunction(report.get(), crashed->frames[0]->pc, reinterpret_cast<const void*>(&reporterCrash)));
        EXPECT_TRUE(inFunction(report.get(), crashed->frames[1]->pc, reinterpret_cast<const void*>(&reporterCrashCaller)));
        EXPECT_EQ(report->report_info->threads_note, nullptr) << report->report_info->threads_note;
    }
}

// Killed while its threads are being stopped: the helper, a process of its own, still writes the report,
// with the crashed thread's frames, and says what happened.
TEST(CrashCallbacks, AProcessKilledWhileItsThreadsAreStoppedStillGetsItsReport)
{
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    // The kill comes while the others are asked to stop, or once they have stopped: those that ended with the
    // process are left out either way, and none is said to be unstoppable.
    for (const char* order : {"CRASH_CHILD_VFORK_FIRST=1", "CRASH_CHILD_VFORK_LAST=1"}) {
        SCOPED_TRACE(order);
        crashtest::ChildFiles files;
        const int status = hybtest::runThisTestExecutableForStatus(
            "CrashCallbacksPeer.DISABLED_KilledWhileTheThreadsAreStopped",
            {crashtest::kChildSanitizerOptions, crashtest::kChildThreadSanitizerOptions, "CRASH_CHILD_DIR=" + files.path(""),
             order});
        ASSERT_TRUE(WIFSIGNALED(status)) << status;
        EXPECT_EQ(WTERMSIG(status), SIGKILL);
        // The helper outlives the process: its report comes once it is done.
        const std::string path = crashtest::childReportPath(files);
        ReportFolder folder;
        for (int i = 0; i < 600; ++i) {
            folder = readReportFolder(path);
            if (!folder.pending.empty() && folder.parts == 0)
                break;
            usleep(100000);
        }
        crashtest::Report report = crashtest::unpackReport(folder.pending);
        ASSERT_TRUE(report);
        ASSERT_NE(report->report_info->threads_note, nullptr);
        EXPECT_NE(std::string(report->report_info->threads_note).find("the process ended while its report was made"),
                  std::string::npos)
            << report->report_info->threads_note;
        EXPECT_EQ(std::string(report->report_info->threads_note).find("could not be stopped"), std::string::npos)
            << report->report_info->threads_note;
        const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
        ASSERT_NE(crashed, nullptr);
        ASSERT_GE(crashed->n_frames, 2u);
        EXPECT_TRUE(inFunction(report.get(), crashed->frames[0]->pc, reinterpret_cast<const void*>(&reporterCrash)));
    }
}

// ---- The report writing itself ----

class ReportWriting : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(crsh_log_writer_init(&m_writer, "com.example.write", "1", 0, false), CRSH_ERR_NONE);
        (void)crsh_shared_image_list();
    }
    void TearDown() override
    {
        crsh_log_writer_free(&m_writer);
        crsh_shared_handler_context()->report_path = nullptr;
    }
    crsh_error_t writeTo(const char* path)
    {
        crsh_shared_handler_context()->report_path = const_cast<char*>(path);
        const crsh_log_writer_signal_info signal{SIGSEGV, SEGV_MAPERR, 0, nullptr};
        return crsh_write_report(&m_writer, crsh_async_mach_thread_self(), nullptr, &signal);
    }
    crsh_log_writer m_writer;
};

TEST_F(ReportWriting, AWrittenReportDecodesAndReplacesTheOldFile)
{
    hybtest::TempHome home;
    const std::string path = home.folders().caches() + "/report";
    std::ofstream(path) << std::string(100000, 'x');
    ASSERT_EQ(writeTo(path.c_str()), CRSH_ERR_NONE);
    crashtest::Report report = crashtest::unpackReport(crashtest::readBytes(path));
    ASSERT_TRUE(report);
    EXPECT_STREQ(report->application_info->identifier, "com.example.write");
    struct stat file {};
    ASSERT_EQ(stat(path.c_str(), &file), 0);
    const mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(file.st_mode & 0777, 0644u & ~mask);
}

TEST_F(ReportWriting, FilesThatCannotBeOpenedOrFlushedAreInternalErrors)
{
    EXPECT_EQ(writeTo(nullptr), CRSH_ERR_INTERNAL);
    EXPECT_EQ(writeTo("/nonexistent-folder/report"), CRSH_ERR_INTERNAL);
    EXPECT_EQ(writeTo("/dev/full"), CRSH_ERR_INTERNAL); // a device is no report file

    // A regular file that takes only a few bytes: the flush fails.
    hybtest::TempHome home;
    const std::string path = home.folders().caches() + "/report";
    struct sigaction ignore = {}, previous = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &previous), 0);
    rlimit limit{}, saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    limit = saved;
    limit.rlim_cur = 100;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    const crsh_error_t result = writeTo(path.c_str());
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    ASSERT_EQ(sigaction(SIGXFSZ, &previous, nullptr), 0);
    // Not even the smallest report fits: an error, and nothing is left, aside or in place.
    EXPECT_NE(result, CRSH_ERR_NONE);
    EXPECT_TRUE(std::filesystem::is_empty(home.folders().caches()));
}

// A report already pending is kept: the next waits beside it under a name of its own, and neither is cut.
TEST_F(ReportWriting, APendingReportIsKeptAndTheNextWaitsBesideIt)
{
    hybtest::TempHome home;
    const std::string path = home.folders().caches() + "/report";
    ASSERT_EQ(writeTo(path.c_str()), CRSH_ERR_NONE);
    const std::vector<std::uint8_t> first = crashtest::readBytes(path);
    ASSERT_EQ(writeTo(path.c_str()), CRSH_ERR_NONE);
    const ReportFolder folder = readReportFolder(path);
    EXPECT_EQ(folder.pending, first);
    EXPECT_EQ(folder.parts, 0u);
    ASSERT_EQ(folder.waiting.size(), 1u);
    EXPECT_TRUE(crashtest::unpackReport(folder.waiting[0]));
}

// Whatever stands at the report path, nothing but a regular file there is written: a symbolic link's
// target is not truncated, and a pipe nobody reads does not hold the crashed thread for ever.
TEST_F(ReportWriting, OnlyARegularFileAtThePathTakesTheReport)
{
    hybtest::TempHome home;
    const std::string victim = home.folders().documents() + "/precious";
    std::ofstream(victim) << "keep me";
    const std::string link = home.folders().caches() + "/link";
    ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
    EXPECT_EQ(writeTo(link.c_str()), CRSH_ERR_INTERNAL);
    std::ifstream kept(victim);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), std::istreambuf_iterator<char>()), "keep me");

    const std::string pipe = home.folders().caches() + "/pipe";
    ASSERT_EQ(mkfifo(pipe.c_str(), 0644), 0);
    EXPECT_EQ(writeTo(pipe.c_str()), CRSH_ERR_INTERNAL); // returns: no reader is waited for
    struct stat status {};
    ASSERT_EQ(lstat(pipe.c_str(), &status), 0);
    EXPECT_TRUE(S_ISFIFO(status.st_mode));
}

// The crash path closes its spare descriptors before it opens the report, but only while their numbers
// still name the spares: a number the application closed and opened again (here a pipe another thread
// may be writing into) stays the application's, and the report does not take it.
TEST_F(ReportWriting, ASpareNumberTheApplicationReusedIsNotClosed)
{
    crsh_handler_context* context = crsh_shared_handler_context();
    ASSERT_FALSE(context->spares_held);
    context->process = getpid();
    ASSERT_TRUE(crsh_hold_spare_descriptors(context));
    const int reused = context->spare_descriptors[0];
    const int kept = context->spare_descriptors[1];
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);
    ASSERT_EQ(dup2(pipeEnds[1], reused), reused); // closes the spare, the pipe takes its number

    hybtest::TempHome home;
    const std::string path = home.folders().caches() + "/report";
    EXPECT_EQ(writeTo(path.c_str()), CRSH_ERR_NONE);
    EXPECT_FALSE(context->spares_held);
    context->process = 0;
    EXPECT_EQ(fcntl(kept, F_GETFD), -1); // the spare still held was closed for the report
    ASSERT_NE(fcntl(reused, F_GETFD), -1) << "the application's descriptor was closed";
    EXPECT_EQ(write(reused, "x", 1), 1);
    char byte = 0;
    EXPECT_EQ(read(pipeEnds[0], &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    close(reused);
    close(pipeEnds[0]);
    close(pipeEnds[1]);
    EXPECT_TRUE(crashtest::unpackReport(crashtest::readBytes(path)));
}

} // namespace
