// Crash time with an enabled reporter: real crashes in peers leave "live_report.crshlog" for the next run,
// the crash callback runs only after a written report, and a report cut by the size limit counts as not
// written.
#include "crashreporter/CRCrashReporter.h"

#include "CrashChild.h"
#include "ReportFile.h"
#include "ReporterChild.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sched.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// ---- In the children ----

const char* g_childDirectory = nullptr;

// The crash callback: leaves a marker (async-signal-safe).
void leaveCallbackMarker(siginfo_t* info, ucontext_t*, void* context)
{
    int fd = crashtest::openChildFile(g_childDirectory, static_cast<const char*>(context));
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
    reporterCrashCaller(nullptr);
    ADD_FAILURE() << "still alive";
}

TEST(CrashCallbacksPeer, DISABLED_NullPointerWithoutAReportFile)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    // The report path is a folder: the report cannot be opened.
    ASSERT_EQ(mkdir(reporter->crashReportPath().c_str(), 0755), 0);
    reporterCrashCaller(nullptr);
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
    {
        hybtest::LogCapture log;
        platform::Result<platform::Bytes> live = reporter->generateLiveReport();
        leaveNumber("live", live.ok() ? -1 : live.error().code);
        EXPECT_TRUE(log.contains("Write failed with error Output error"));
        if (!live.ok()) {
            EXPECT_EQ(live.error().localizedDescription(), "Failed to write the crash report to disk");
        }
        platform::Result<std::vector<std::string>> left =
            platform::FileManager::defaultManager().contentsOfDirectory(platform::AppFolders::current().tmp());
        leaveNumber("left", left.ok() ? static_cast<long>(left.value().size()) : -1);
    }
    reporterCrashCaller(nullptr);
    ADD_FAILURE() << "still alive";
}

// Whether the thread is inside write() right now, as the kernel reports it.
bool insideWrite(pid_t tid)
{
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/task/%d/syscall", static_cast<int>(tid));
    std::ifstream in(path);
    long number = -1;
    return in >> number && number == SYS_write;
}

// The report path is a pipe that nobody drains (made by the parent): the crash's report fills it and the
// writer blocks. A second thread faults as soon as the crashed thread is stuck writing the report.
TEST(CrashCallbacksPeer, DISABLED_SecondFaultWhileWriting)
{
    std::unique_ptr<CRCrashReporter> reporter = enableInChild();
    ASSERT_TRUE(reporter);
    const std::string name(1000, 'n');
    for (std::uint64_t i = 0; i < 20; ++i) // a report far larger than the pipe
        ASSERT_EQ(crsh_image_list_append_native(crsh_shared_image_list(), 0x7f0000000000ull + i * 0x10000, 0x1000,
                                                name.c_str(), nullptr),
                  CRSH_ERR_NONE);
    const int pipe = open(reporter->crashReportPath().c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    const pid_t crashing = static_cast<pid_t>(syscall(SYS_gettid));
    std::thread second([pipe, crashing] {
        for (;;) {
            int queued = 0;
            if (ioctl(pipe, FIONREAD, &queued) == 0 && queued > 0 && insideWrite(crashing))
                reporterCrash(nullptr);
            sched_yield();
        }
    });
    second.detach();
    reporterCrashCaller(nullptr);
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

TEST(CrashCallbacks, AReportCutByTheSizeLimitIsNotWrittenAndSkipsTheCallback)
{
    Child child = runChild("CrashCallbacksPeer.DISABLED_OversizedReport");
    expectKilledBy(child, SIGSEGV);
    EXPECT_EQ(child.file("direct"), std::to_string(CRSH_ERR_OUTPUT));
    EXPECT_EQ(child.file("live"), std::to_string(CRCrashReporterErrorUnknown));
    EXPECT_EQ(child.file("left"), "0");
    EXPECT_FALSE(child.callbackRan);
    EXPECT_LE(child.report.size(), CRSH_REPORT_LIMIT_BYTES);
    EXPECT_GT(child.report.size(), 8u);
}

TEST(CrashCallbacks, ASecondFaultWhileTheReportIsWrittenEndsTheProcessWithAPartialReport)
{
    if (!std::ifstream("/proc/self/syscall"))
        GTEST_SKIP() << "the kernel does not report threads' system calls";
    crashtest::ChildFiles files;
    const std::string path = crashtest::childReportPath(files);
    ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(platform::deletingLastPathComponent(path)).ok());
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    // Held open while the child runs, so what the child wrote stays in the pipe.
    const int pipe = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(pipe, 0);
    ASSERT_EQ(fcntl(pipe, F_SETPIPE_SZ, 4096), 4096);
    const int status = crashtest::runChild("CrashCallbacksPeer.DISABLED_SecondFaultWhileWriting", files);
    std::vector<std::uint8_t> partial(8192);
    const ssize_t length = read(pipe, partial.data(), partial.size());
    close(pipe);
    // The crashed thread stays blocked in its write: only the second fault, under the default action the
    // crash callback set, can have ended the process.
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status;
    EXPECT_EQ(WTERMSIG(status), SIGSEGV);
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(files.path("callback")));
    ASSERT_GT(length, 8);
    ASSERT_LE(length, 4096);
    partial.resize(static_cast<std::size_t>(length));
    EXPECT_EQ(std::string(partial.begin(), partial.begin() + 7), "crshlog");
    // What a reader gets is no report.
    EXPECT_EQ(crsh__crash_report__unpack(nullptr, partial.size() - 8, partial.data() + 8), nullptr);
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
    EXPECT_EQ(writeTo("/dev/full"), CRSH_ERR_INTERNAL); // every write fails with ENOSPC
}

} // namespace
