// Crash time with an enabled reporter: real crashes in peers leave "live_report.crshlog" for the next run,
// the crash callback runs only after a written report, and a report cut by the size limit counts as not
// written.
#include "crashreporter/CRCrashReport.h"
#include "crashreporter/CRCrashReporter.h"

#include "CrashChild.h"
#include "ReportFile.h"
#include "ReporterChild.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sched.h>

#include <cstring>
#include <fstream>
#include <iterator>
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
        leaveNumber("live", live.ok() ? static_cast<long>(live.value().size()) : -1);
        platform::Result<std::vector<std::string>> left =
            platform::FileManager::defaultManager().contentsOfDirectory(platform::AppFolders::current().tmp());
        leaveNumber("left", left.ok() ? static_cast<long>(left.value().size()) : -1);
    }
    reporterCrashCaller(nullptr);
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
    EXPECT_EQ(result, CRSH_ERR_INTERNAL);
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
