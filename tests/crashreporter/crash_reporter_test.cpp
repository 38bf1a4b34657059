// The reporter facade: naming and folders, the pending report, live reports, and enabling (in peers, since
// a process enables once).
#include "crashreporter/CRCrashReporter.h"

#include "CrashChild.h"
#include "ReportFile.h"
#include "ReporterChild.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"
#include "support/crash_test_program/SystemCallFilter.h"

#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoopThread.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <fcntl.h>
#include <pthread.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cstdio>
#include <ctime>
#include <exception>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace {

using platform::FileManager;

class CrashReporterFacade : public hybtest::TempHomeTest {
protected:
    void writeInfo(const std::string& entries) { m_home.writeBundleFile("Info.plist", crashtest::infoPlist(entries)); }

    std::unique_ptr<CRCrashReporter> make()
    {
        platform::Result<std::unique_ptr<CRCrashReporter>> reporter = CRCrashReporter::init();
        EXPECT_TRUE(reporter.ok());
        return reporter.ok() ? std::move(reporter.value()) : nullptr;
    }

    std::string dataFolder() const { return m_home.folders().caches() + "/crashreporter"; }
};

TEST_F(CrashReporterFacade, ABundleWithoutIdentifierOrVersionUsesTheProcessNameAndAnEmptyVersion)
{
    hybtest::LogCapture log;
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    EXPECT_EQ(reporter->applicationIdentifier(), program_invocation_short_name);
    EXPECT_EQ(reporter->applicationVersion(), "");
    EXPECT_TRUE(log.contains(std::string("[CRCrashReporter] Warning -- bundle identifier, using process name ") +
                             program_invocation_short_name));
    EXPECT_TRUE(log.contains("[CRCrashReporter] Warning -- bundle version unavailable"));
    EXPECT_EQ(reporter->crashReportDirectory(), dataFolder() + "/" + program_invocation_short_name);
    EXPECT_EQ(reporter->config().signalHandlerType(), CRCrashReporterSignalHandlerTypeBSD);
    EXPECT_EQ(reporter->config().symbolicationStrategy(), 3u);
}

TEST_F(CrashReporterFacade, TheSharedReporterIsMadeOnceWithTheDefaultConfiguration)
{
    CRCrashReporter* shared = CRCrashReporter::sharedReporter();
    ASSERT_NE(shared, nullptr);
    EXPECT_EQ(CRCrashReporter::sharedReporter(), shared);
    EXPECT_EQ(shared->config().signalHandlerType(), CRCrashReporterSignalHandlerTypeBSD);
    EXPECT_EQ(shared->config().symbolicationStrategy(), 3u);
    EXPECT_EQ(CRCrashReporter::mapToAsyncSymbolicationStrategy(7), 3u);
    EXPECT_EQ(CRCrashReporter::mapToAsyncSymbolicationStrategy(4), 0u);
}

TEST_F(CrashReporterFacade, TheBundlesIdentifierAndVersionNameTheFolder)
{
    writeInfo("<key>CFBundleIdentifier</key><string>a/b</string><key>CFBundleVersion</key><string>2.1</string>");
    hybtest::LogCapture log;
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    EXPECT_EQ(reporter->applicationIdentifier(), "a/b");
    EXPECT_EQ(reporter->applicationVersion(), "2.1");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(reporter->crashReportDirectory(), dataFolder() + "/a_b");
    EXPECT_EQ(reporter->crashReportPath(), dataFolder() + "/a_b/live_report.crshlog");
    EXPECT_EQ(reporter->queuedCrashReportDirectory(), dataFolder() + "/a_b/queued_reports");
}

TEST_F(CrashReporterFacade, IdentifiersThatWouldNameAParentFolderAreUsedAsAnUnderscore)
{
    EXPECT_EQ(CRCrashReporter::directoryNameForIdentifier("."), "_");
    EXPECT_EQ(CRCrashReporter::directoryNameForIdentifier(".."), "_");
    EXPECT_EQ(CRCrashReporter::directoryNameForIdentifier(""), "_");
    EXPECT_EQ(CRCrashReporter::directoryNameForIdentifier("/"), "_");
    EXPECT_EQ(CRCrashReporter::directoryNameForIdentifier("../x"), ".._x");
    EXPECT_EQ(CRCrashReporter::directoryNameForIdentifier("..."), "...");
    writeInfo("<key>CFBundleIdentifier</key><string>..</string>");
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    EXPECT_EQ(reporter->crashReportDirectory(), dataFolder() + "/_");
}

TEST_F(CrashReporterFacade, ThePendingReportIsFoundReadAndPurged)
{
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    FileManager& files = FileManager::defaultManager();
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    platform::Result<platform::Bytes> none = reporter->loadPendingCrashReportData();
    ASSERT_FALSE(none.ok());
    EXPECT_TRUE(platform::isNoSuchFileError(none.error()));
    EXPECT_FALSE(reporter->purgePendingCrashReport().ok());

    ASSERT_TRUE(files.createDirectory(reporter->crashReportDirectory()).ok());
    ASSERT_TRUE(files.createFile(reporter->crashReportPath(), {'c', 'r', 's', 'h'}).ok());
    EXPECT_TRUE(reporter->hasPendingCrashReport());
    platform::Result<platform::Bytes> bytes = reporter->loadPendingCrashReportData();
    ASSERT_TRUE(bytes.ok());
    EXPECT_EQ(bytes.value(), (platform::Bytes{'c', 'r', 's', 'h'}));
    EXPECT_TRUE(reporter->purgePendingCrashReport().ok());
    EXPECT_FALSE(reporter->hasPendingCrashReport());

    // Reports that waited beside a pending one take its place when it is purged, the oldest first; a
    // report still being written does not.
    const std::string waiting = reporter->crashReportPath() + ".";
    ASSERT_TRUE(files.createFile(reporter->crashReportPath(), {'o', 'l', 'd'}).ok());
    ASSERT_TRUE(files.createFile(waiting + "20.2", {'s', 'e', 'c', 'o', 'n', 'd'}).ok());
    ASSERT_TRUE(files.createFile(waiting + "10.1", {'f', 'i', 'r', 's', 't'}).ok());
    ASSERT_TRUE(files.createFile(waiting + std::to_string(getpid()) + ".3.part", {'p'}).ok());
    const timespec times[] = {{1000, 0}, {1000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, (waiting + "10.1").c_str(), times, 0), 0);
    for (const char* expected : {"first", "second"}) {
        EXPECT_TRUE(reporter->purgePendingCrashReport().ok());
        platform::Result<platform::Bytes> next = reporter->loadPendingCrashReportData();
        ASSERT_TRUE(next.ok());
        EXPECT_EQ(std::string(next.value().begin(), next.value().end()), expected);
    }
    EXPECT_TRUE(reporter->purgePendingCrashReport().ok());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_TRUE(files.fileExists(waiting + std::to_string(getpid()) + ".3.part"));
}

void expectNotARegularFile(const platform::Result<platform::Bytes>& bytes)
{
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().domain, CRCrashReporterErrorDomain);
    EXPECT_EQ(bytes.error().code, CRCrashReporterErrorCrashReportInvalid);
    EXPECT_EQ(bytes.error().localizedDescription(), "The pending crash report is not a regular file");
}

// A folder at the report's path (where no crash could leave its report) is not read: it is moved aside
// whole, and the path is free again.
TEST_F(CrashReporterFacade, APendingReportPathThatIsAFolderIsMovedAsideUnread)
{
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(reporter->crashReportPath() + "/inside").ok());
    EXPECT_TRUE(reporter->hasPendingCrashReport());
    hybtest::LogCapture log;
    expectNotARegularFile(reporter->loadPendingCrashReportData());
    EXPECT_TRUE(log.contains("moved aside to " + reporter->crashReportPath() + ".damaged"));
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_FALSE(reporter->purgePendingCrashReport().ok()); // nothing is pending
    EXPECT_TRUE(FileManager::defaultManager().isDirectory(reporter->crashReportPath() + ".damaged/inside"));
}

TEST_F(CrashReporterFacade, APendingReportLargerThanAReportCanBeIsRefusedUnread)
{
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(reporter->crashReportDirectory()).ok());
    ASSERT_EQ(truncate((reporter->crashReportPath()).c_str(), 0), -1); // absent so far
    std::ofstream(reporter->crashReportPath()).put('x');
    ASSERT_EQ(truncate(reporter->crashReportPath().c_str(), CRSH_REPORT_LIMIT_BYTES), 0);
    EXPECT_TRUE(reporter->loadPendingCrashReportData().ok()); // the largest a report can be
    EXPECT_TRUE(reporter->purgePendingCrashReport().ok());
    std::ofstream(reporter->crashReportPath()).put('x');
    ASSERT_EQ(truncate(reporter->crashReportPath().c_str(), CRSH_REPORT_LIMIT_BYTES + 1), 0);
    platform::Result<platform::Bytes> bytes = reporter->loadPendingCrashReportData();
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().domain, CRCrashReporterErrorDomain);
    EXPECT_EQ(bytes.error().code, CRCrashReporterErrorCrashReportInvalid);
    // No report: it is set aside, never read again.
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    struct stat aside {};
    ASSERT_EQ(stat((reporter->crashReportPath() + ".damaged").c_str(), &aside), 0);
    EXPECT_EQ(static_cast<std::uint64_t>(aside.st_size), CRSH_REPORT_LIMIT_BYTES + 1);
}

// Only a regular file is read: a link to an endless device would be read until memory runs out, a pipe
// would hold the reader for ever, and a link to a file is no report of ours. Each is moved aside (the
// link, not its target), so the path is free for the next crash's report.
TEST_F(CrashReporterFacade, APendingReportThatIsNotARegularFileIsRefusedUnread)
{
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(reporter->crashReportDirectory()).ok());
    const std::string path = reporter->crashReportPath();
    const std::string elsewhere = m_home.folders().documents() + "/report";
    std::ofstream(elsewhere) << "crshlog";
    struct stat aside {};
    for (const char* target : {"/dev/zero", elsewhere.c_str()}) {
        ASSERT_EQ(symlink(target, path.c_str()), 0);
        EXPECT_TRUE(reporter->hasPendingCrashReport());
        expectNotARegularFile(reporter->loadPendingCrashReportData());
        EXPECT_FALSE(reporter->hasPendingCrashReport());
        ASSERT_EQ(lstat((path + ".damaged").c_str(), &aside), 0);
        EXPECT_TRUE(S_ISLNK(aside.st_mode));
    }
    EXPECT_TRUE(FileManager::defaultManager().fileExists(elsewhere));
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    expectNotARegularFile(reporter->loadPendingCrashReportData());
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    ASSERT_EQ(lstat((path + ".damaged").c_str(), &aside), 0);
    EXPECT_TRUE(S_ISFIFO(aside.st_mode));
    // The things set aside before stay beside it, and none of them is taken for a report.
    for (const char* earlier : {".damaged.1", ".damaged.2"}) {
        ASSERT_EQ(lstat((path + earlier).c_str(), &aside), 0) << earlier;
        EXPECT_TRUE(S_ISLNK(aside.st_mode)) << earlier;
    }
    EXPECT_FALSE(reporter->hasPendingCrashReport());
    EXPECT_FALSE(reporter->loadPendingCrashReportData().ok());
}

// Two readers at once (two processes of the application, here two reporters on two threads), each
// reading and purging until nothing is pending: every report is read by one of them, once, and purging
// removes the report its reader read, never one that took its place meanwhile.
TEST_F(CrashReporterFacade, TwoReadersAtOnceReadEachReportOnce)
{
    std::unique_ptr<CRCrashReporter> first = make();
    std::unique_ptr<CRCrashReporter> second = make();
    ASSERT_TRUE(first && second);
    FileManager& files = FileManager::defaultManager();
    ASSERT_TRUE(files.createDirectory(first->crashReportDirectory()).ok());
    const std::string path = first->crashReportPath();

    // Purging takes away the report read, not the one at the path now.
    ASSERT_TRUE(files.createFile(path, {'a'}).ok());
    ASSERT_TRUE(first->loadPendingCrashReportData().ok());
    platform::Result<platform::Bytes> none = second->loadPendingCrashReportData();
    ASSERT_FALSE(none.ok());
    EXPECT_TRUE(platform::isNoSuchFileError(none.error())) << "taken by the first";
    ASSERT_TRUE(files.createFile(path, {'b'}).ok()); // a new crash's report
    EXPECT_FALSE(second->purgePendingCrashReport().ok()) << "its load took none: the new report is not its to purge";
    EXPECT_EQ(first->loadPendingCrashReportData().value(), platform::Bytes{'a'}) << "the same until purged";
    ASSERT_TRUE(first->purgePendingCrashReport().ok());
    platform::Result<platform::Bytes> next = second->loadPendingCrashReportData();
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(next.value(), platform::Bytes{'b'});
    ASSERT_TRUE(second->purgePendingCrashReport().ok());
    // Nor after a load that found no report (one too large to read, set aside): the one waiting beside,
    // put in place by the other reader since, stays.
    ASSERT_TRUE(files.createFile(path + ".1000.1", {'i'}).ok());
    ASSERT_TRUE(files.createFile(path, {'x'}).ok());
    ASSERT_EQ(truncate(path.c_str(), CRSH_REPORT_LIMIT_BYTES + 1), 0);
    ASSERT_FALSE(first->loadPendingCrashReportData().ok());
    EXPECT_TRUE(second->hasPendingCrashReport());
    EXPECT_FALSE(first->purgePendingCrashReport().ok());
    platform::Result<platform::Bytes> waited = second->loadPendingCrashReportData();
    ASSERT_TRUE(waited.ok());
    EXPECT_EQ(waited.value(), platform::Bytes{'i'});
    ASSERT_TRUE(second->purgePendingCrashReport().ok());

    // A report taken by a reader whose process ended before it purged it waits again.
    ASSERT_TRUE(files.createFile(path + ".4194303.r1.read", {'c'}).ok());
    ASSERT_TRUE(files.createFile(path, {'d'}).ok());
    ASSERT_TRUE(first->purgePendingCrashReport().ok());
    EXPECT_EQ(first->loadPendingCrashReportData().value(), platform::Bytes{'c'});
    ASSERT_TRUE(first->purgePendingCrashReport().ok());
    // With nothing pending to purge, the next look finds it: no report waits for an enabling.
    ASSERT_TRUE(files.createFile(path + ".4194303.r2.read", {'e'}).ok());
    EXPECT_TRUE(second->hasPendingCrashReport());
    EXPECT_EQ(second->loadPendingCrashReportData().value(), platform::Bytes{'e'});
    ASSERT_TRUE(second->purgePendingCrashReport().ok());
    // So does one loaded by a reporter that went without purging it.
    ASSERT_TRUE(files.createFile(path, {'f'}).ok());
    ASSERT_TRUE(make()->loadPendingCrashReportData().ok());
    EXPECT_EQ(first->loadPendingCrashReportData().value(), platform::Bytes{'f'});
    ASSERT_TRUE(first->purgePendingCrashReport().ok());
    // Where a system-call filter refuses every rename (of this thread), a report is still taken once, and
    // one waiting beside still takes its place.
    ASSERT_TRUE(files.createFile(path, {'g'}).ok());
    ASSERT_TRUE(files.createFile(path + ".1001.9", {'h'}).ok());
    std::thread([&] {
        ASSERT_TRUE(crashtest::refuseSystemCall(SYS_rename) && crashtest::refuseSystemCall(SYS_renameat2) &&
                    crashtest::refuseSystemCall(SYS_renameat));
        for (std::uint8_t expected : {'g', 'h'}) {
            EXPECT_TRUE(second->hasPendingCrashReport());
            platform::Result<platform::Bytes> bytes = second->loadPendingCrashReportData();
            ASSERT_TRUE(bytes.ok()) << bytes.error().localizedDescription();
            EXPECT_EQ(bytes.value(), platform::Bytes{expected});
            EXPECT_TRUE(second->purgePendingCrashReport().ok());
        }
        EXPECT_FALSE(second->hasPendingCrashReport());
    }).join();

    constexpr int kReports = 12; // within the bound of reports kept
    ASSERT_TRUE(files.createFile(path, {'0'}).ok());
    for (int i = 1; i < kReports; ++i) {
        ASSERT_TRUE(files.createFile(path + "." + std::to_string(1000 + i) + ".1", {static_cast<std::uint8_t>('0' + i)}).ok());
        const timespec times[] = {{1000 + i, 0}, {1000 + i, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (path + "." + std::to_string(1000 + i) + ".1").c_str(), times, 0), 0);
    }
    std::vector<std::uint8_t> read[2];
    std::atomic<int> total{0};
    auto readAll = [&total](CRCrashReporter& reporter, std::vector<std::uint8_t>& into) {
        // Until every report was read (by one or the other), or, should one be lost, for long enough.
        for (int idle = 0; idle < 1000000 && total.load() < kReports;) {
            platform::Result<platform::Bytes> bytes = reporter.loadPendingCrashReportData();
            if (!bytes.ok()) {
                ++idle;
                std::this_thread::yield();
                continue;
            }
            into.insert(into.end(), bytes.value().begin(), bytes.value().end());
            total += static_cast<int>(bytes.value().size());
            EXPECT_TRUE(reporter.purgePendingCrashReport().ok());
        }
    };
    std::thread other([&] { readAll(*second, read[1]); });
    readAll(*first, read[0]);
    other.join();
    std::vector<std::uint8_t> all(read[0]);
    all.insert(all.end(), read[1].begin(), read[1].end());
    std::sort(all.begin(), all.end());
    std::vector<std::uint8_t> expected;
    for (int i = 0; i < kReports; ++i)
        expected.push_back(static_cast<std::uint8_t>('0' + i));
    EXPECT_EQ(all, expected);
    EXPECT_FALSE(first->hasPendingCrashReport());
}

// Reports waiting to be read are bounded in number and bytes: beyond, the oldest go (said once) when a
// report is purged or a reporter enabled.
TEST_F(CrashReporterFacade, ReportsWaitingToBeReadAreBounded)
{
    struct Case {
        std::size_t waiting;
        std::size_t bytes; // of each
        std::size_t dropped;
    };
    const Case cases[] = {{CRCrashReporter::kMaxKeptReports, 100, 0},
                          {CRCrashReporter::kMaxKeptReports + 4, 100, 4},
                          {CRCrashReporter::kMaxKeptBytes / CRSH_REPORT_LIMIT_BYTES + 1, CRSH_REPORT_LIMIT_BYTES, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.waiting);
        hybtest::TempHome home;
        std::unique_ptr<CRCrashReporter> reporter = make();
        FileManager& files = FileManager::defaultManager();
        ASSERT_TRUE(files.createDirectory(reporter->crashReportDirectory()).ok());
        const std::string path = reporter->crashReportPath();
        ASSERT_TRUE(files.createFile(path, {'p'}).ok());
        for (std::size_t i = 0; i < c.waiting; ++i) {
            const std::string name = path + "." + std::to_string(100 + i) + ".1";
            ASSERT_TRUE(files.createFile(name, platform::Bytes(c.bytes, static_cast<std::uint8_t>(i))).ok());
            const timespec times[] = {{static_cast<time_t>(1000 + i), 0}, {static_cast<time_t>(1000 + i), 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), times, 0), 0);
        }
        hybtest::LogCapture log;
        ASSERT_TRUE(reporter->purgePendingCrashReport().ok());
        const std::vector<std::string> lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) { return line.find("were dropped, the oldest first") != std::string::npos; }),
                  c.dropped > 0 ? 1 : 0);
        // The oldest left is pending now.
        platform::Result<platform::Bytes> pending = reporter->loadPendingCrashReportData();
        ASSERT_TRUE(pending.ok());
        ASSERT_FALSE(pending.value().empty());
        EXPECT_EQ(pending.value()[0], c.dropped);
        std::size_t left = 1;
        for (std::size_t i = 0; i < c.waiting; ++i)
            left += files.fileExists(path + "." + std::to_string(100 + i) + ".1") ? 1 : 0;
        EXPECT_EQ(left, c.waiting - c.dropped);
    }
}

// ---- Live reports ----

std::vector<std::string> folderContents(const std::string& folder)
{
    platform::Result<std::vector<std::string>> names = FileManager::defaultManager().contentsOfDirectory(folder);
    return names.ok() ? names.value() : std::vector<std::string>{"<unreadable>"};
}

TEST_F(CrashReporterFacade, ALiveReportOfTheCallingThreadIsATraceTrapWithItsRegisters)
{
    writeInfo("<key>CFBundleIdentifier</key><string>com.example.live</string>"
              "<key>CFBundleVersion</key><string>3</string>");
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    platform::Result<platform::Bytes> bytes = reporter->generateLiveReport();
    ASSERT_TRUE(bytes.ok()) << bytes.error().localizedDescription();
    crashtest::Report report = crashtest::unpackReport(bytes.value());
    ASSERT_TRUE(report);
    ASSERT_NE(report->report_info, nullptr);
    EXPECT_TRUE(report->report_info->user_requested);
    EXPECT_STREQ(report->application_info->identifier, "com.example.live");
    EXPECT_STREQ(report->application_info->version, "3");
    EXPECT_STREQ(report->signal->name, "SIGTRAP");
    EXPECT_STREQ(report->signal->code, "TRAP_TRACE");
    EXPECT_NE(report->signal->address, 0u);
    EXPECT_EQ(report->signal->mach_exception, nullptr);

    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_registers, 21u);
    EXPECT_STREQ(crashed->registers[0]->name, "rip");
    ASSERT_GE(crashed->n_frames, 2u);
    EXPECT_EQ(crashed->frames[0]->pc, crashed->registers[0]->value);
    // The report's address is a return point in the caller, which is the second frame's neighbourhood
    // (generateLiveReport calls the thread form).
    EXPECT_NE(report->n_binary_images, 0u);
    EXPECT_TRUE(folderContents(m_home.folders().tmp()).empty());
}

TEST_F(CrashReporterFacade, ALiveReportOfAnotherThreadMarksItCrashedWithoutItsStack)
{
    std::mutex mutex;
    std::condition_variable changed;
    pid_t tid = 0;
    bool done = false;
    std::thread other([&] {
        std::unique_lock lock(mutex);
        tid = static_cast<pid_t>(syscall(SYS_gettid));
        changed.notify_all();
        changed.wait(lock, [&] { return done; });
    });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return tid != 0; });
    }
    std::unique_ptr<CRCrashReporter> reporter = make();
    platform::Result<platform::Bytes> bytes = reporter->generateLiveReportWithThread(tid);
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    changed.notify_all();
    other.join();
    ASSERT_TRUE(bytes.ok()) << bytes.error().localizedDescription();
    crashtest::Report report = crashtest::unpackReport(bytes.value());
    ASSERT_TRUE(report);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_registers, 0u);
    EXPECT_EQ(crashed->n_frames, 0u);
    // No state was taken for the calling thread, so it is not written: every thread is bare.
    for (std::size_t i = 0; i < report->n_threads; ++i)
        EXPECT_EQ(report->threads[i]->n_frames, 0u) << i;
    EXPECT_TRUE(folderContents(m_home.folders().tmp()).empty());
}

TEST_F(CrashReporterFacade, ALiveReportOfAThreadThatIsNotOneOfThisProcessFails)
{
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    // No such thread at all, none, and a thread of another process.
    for (pid_t thread : {pid_t{0x7FFFFFFF}, pid_t{0}, pid_t{-1}, getppid()}) {
        platform::Result<platform::Bytes> bytes = reporter->generateLiveReportWithThread(thread);
        ASSERT_FALSE(bytes.ok()) << thread;
        EXPECT_EQ(bytes.error().code, CRCrashReporterErrorUnknown);
        EXPECT_EQ(bytes.error().localizedDescription(), "Failed to write the crash report to disk");
        EXPECT_EQ(bytes.error().userInfo[platform::kUnderlyingErrorKey]["code"], platform::Value(ESRCH));
    }
    EXPECT_TRUE(folderContents(m_home.folders().tmp()).empty());
}

TEST_F(CrashReporterFacade, ALiveReportWithoutATemporaryFolderFailsWithTheSystemsError)
{
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(FileManager::defaultManager().removeItem(m_home.folders().tmp()).ok());
    platform::Result<platform::Bytes> bytes = reporter->generateLiveReport();
    ASSERT_FALSE(bytes.ok());
    EXPECT_EQ(bytes.error().code, CRCrashReporterErrorOperatingSystem);
    EXPECT_EQ(bytes.error().localizedDescription(), "Failed to create temporary path");
    EXPECT_EQ(bytes.error().userInfo[platform::kUnderlyingErrorKey]["code"], platform::Value(ENOENT));
}

// ---- Enabling, in peers ----

int runReporterChild(const std::string& test)
{
    crashtest::ChildFiles files;
    return hybtest::runThisTestExecutable(test, {crashtest::kChildSanitizerOptions, crashtest::kChildThreadSanitizerOptions, "CRASH_CHILD_DIR=" + files.path("")});
}

void expectInstalled(int signo, bool installed)
{
    struct sigaction action = {};
    ASSERT_EQ(sigaction(signo, nullptr, &action), 0);
    if (installed) {
        EXPECT_EQ(action.sa_sigaction, crsh_signal_handler) << signo;
        EXPECT_EQ(action.sa_flags & (SA_SIGINFO | SA_ONSTACK), SA_SIGINFO | SA_ONSTACK) << signo;
    } else {
        EXPECT_NE(action.sa_sigaction, crsh_signal_handler) << signo;
    }
}

void expectAlreadyEnabled(const platform::Status& status)
{
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().domain, CRCrashReporterErrorDomain);
    EXPECT_EQ(status.error().code, CRCrashReporterErrorResourceBusy);
    EXPECT_EQ(status.error().localizedDescription(), "A CRCrashReporter instance has already been enabled");
}

TEST(CrashReporterPeer, DISABLED_EnableBSD)
{
    std::unique_ptr<CRCrashReporter> reporter = crashtest::makeChildReporter();
    ASSERT_TRUE(reporter);
    // Left by earlier runs: a report half-written by a process that has ended (it goes), one being
    // written by a live process (it stays), and a report that waited while nothing is pending (it takes
    // the pending place). One of an ended process written a moment ago stays (the helper of a process
    // killed meanwhile may still be writing it); one under this process's own id, left by an earlier
    // process that had it, goes.
    const std::string beside = reporter->crashReportPath() + ".";
    platform::FileAttributeChanges permissions;
    permissions.posixPermissions = 0755;
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(reporter->crashReportDirectory(), true, permissions).ok());
    // A file where a folder of the reporter belongs would fail every enabling: it is moved aside.
    std::ofstream(reporter->queuedCrashReportDirectory()) << "in the way";
    const std::string ownId = beside + std::to_string(getpid()) + ".5.part";
    for (const std::string& left : {beside + "4194303.1.part", beside + std::to_string(getppid()) + ".2.part",
                                    beside + "4194302.4.part", ownId}) {
        ASSERT_TRUE(FileManager::defaultManager().createFile(left, {'x'}).ok());
        const timespec minuteAgo[] = {{std::time(nullptr) - 60, 0}, {std::time(nullptr) - 60, 0}};
        if (left != beside + "4194302.4.part") {
            ASSERT_EQ(utimensat(AT_FDCWD, left.c_str(), minuteAgo, 0), 0);
        }
    }
    ASSERT_TRUE(FileManager::defaultManager().createFile(beside + "7.3", {'w'}).ok());
    ASSERT_TRUE(reporter->setCrashCallbacks({0, nullptr, nullptr}).ok()); // before enabling: fine
    platform::Status enabled = reporter->enableCrashReporter();
    ASSERT_TRUE(enabled.ok()) << enabled.error().localizedDescription();
    for (int signo : {SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP})
        expectInstalled(signo, true);
    expectInstalled(SIGPIPE, false);
    EXPECT_EQ(std::get_terminate(), &uncaught_exception_handler);
    EXPECT_TRUE(FileManager::defaultManager().isDirectory(reporter->queuedCrashReportDirectory()));
    EXPECT_TRUE(FileManager::defaultManager().fileExists(reporter->queuedCrashReportDirectory() + ".damaged"));
    struct stat folder {};
    ASSERT_EQ(stat(reporter->crashReportDirectory().c_str(), &folder), 0);
    EXPECT_EQ(folder.st_mode & 0777, 0755u);
    EXPECT_STREQ(crsh_shared_handler_context()->report_path, reporter->crashReportPath().c_str());
    EXPECT_FALSE(FileManager::defaultManager().fileExists(beside + "4194303.1.part"));
    EXPECT_TRUE(FileManager::defaultManager().fileExists(beside + std::to_string(getppid()) + ".2.part"));
    EXPECT_TRUE(FileManager::defaultManager().fileExists(beside + "4194302.4.part"));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(ownId));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(beside + "7.3"));
    platform::Result<platform::Bytes> promoted = reporter->loadPendingCrashReportData();
    ASSERT_TRUE(promoted.ok());
    EXPECT_EQ(promoted.value(), platform::Bytes{'w'});
    EXPECT_STREQ(crsh_shared_handler_context()->writer.application_info.identifier, crashtest::kChildIdentifier);
    EXPECT_FALSE(crsh_shared_handler_context()->writer.user_requested);

    platform::Status callbacks = reporter->setCrashCallbacks({0, nullptr, nullptr});
    ASSERT_FALSE(callbacks.ok());
    EXPECT_EQ(callbacks.error().localizedDescription(), "The crash reporter has alread been enabled");

    expectAlreadyEnabled(reporter->enableCrashReporter());
    std::unique_ptr<CRCrashReporter> another = crashtest::makeChildReporter();
    expectAlreadyEnabled(another->enableCrashReporter());
}

TEST(CrashReporterFacadeEnabling, BSDModeInstallsSixHandlersOnce)
{
    EXPECT_EQ(runReporterChild("CrashReporterPeer.DISABLED_EnableBSD"), 0);
}

TEST(CrashReporterPeer, DISABLED_EnableMach)
{
    std::unique_ptr<CRCrashReporter> reporter =
        crashtest::makeChildReporter(CRCrashReporterConfig(CRCrashReporterSignalHandlerTypeMach, 0));
    ASSERT_TRUE(reporter);
    platform::Status enabled = reporter->enableCrashReporter();
    ASSERT_FALSE(enabled.ok());
    EXPECT_EQ(enabled.error().code, CRCrashReporterErrorOperatingSystem);
    EXPECT_EQ(enabled.error().localizedDescription(), "Failed to instantiate the Mach exception server.");
    EXPECT_EQ(enabled.error().userInfo[platform::kUnderlyingErrorKey]["code"], platform::Value(ENOTSUP));
    expectInstalled(SIGABRT, true);
    for (int signo : {SIGBUS, SIGFPE, SIGILL, SIGSEGV, SIGTRAP})
        expectInstalled(signo, false);
    expectAlreadyEnabled(reporter->enableCrashReporter());
}

TEST(CrashReporterFacadeEnabling, MachModeRegistersSIGABRTThenFails)
{
    EXPECT_EQ(runReporterChild("CrashReporterPeer.DISABLED_EnableMach"), 0);
}

TEST(CrashReporterPeer, DISABLED_EnableWithUnwritableCaches)
{
    std::unique_ptr<CRCrashReporter> reporter = crashtest::makeChildReporter();
    ASSERT_TRUE(reporter);
    // A file where the caches folder belongs: the data folder cannot be made in it (even by root).
    const std::string caches = platform::AppFolders::current().caches();
    ASSERT_TRUE(FileManager::defaultManager().removeItem(caches).ok());
    std::ofstream(caches) << "in the way";
    platform::Status enabled = reporter->enableCrashReporter();
    ASSERT_FALSE(enabled.ok());
    EXPECT_EQ(enabled.error().domain, platform::kCocoaErrorDomain);
    for (int signo : {SIGABRT, SIGSEGV})
        expectInstalled(signo, false);
    EXPECT_EQ(crsh_shared_handler_context()->report_path, nullptr);
    expectAlreadyEnabled(reporter->enableCrashReporter());
}

TEST(CrashReporterFacadeEnabling, AFailedFirstEnableStillCountsAsTheOne)
{
    EXPECT_EQ(runReporterChild("CrashReporterPeer.DISABLED_EnableWithUnwritableCaches"), 0);
}

// Whether the calling thread has an alternate signal stack, as a report line: "yes <size>" or "no".
std::string alternateStack()
{
    stack_t stack{};
    if (sigaltstack(nullptr, &stack) != 0 || (stack.ss_flags & SS_DISABLE) != 0)
        return "no";
    return "yes " + std::to_string(stack.ss_size);
}

void leaveLine(const std::string& name, const std::string& line)
{
    const char* directory = std::getenv("CRASH_CHILD_DIR");
    ASSERT_NE(directory, nullptr);
    std::ofstream(std::string(directory) + name) << line;
}

// A peer case of this program run with a folder of its own for the lines it leaves (leaveLine).
class PeerRun {
public:
    explicit PeerRun(const std::string& test)
        : m_status(hybtest::runThisTestExecutable(test, {crashtest::kChildSanitizerOptions,
                                                         crashtest::kChildThreadSanitizerOptions,
                                                         "CRASH_CHILD_DIR=" + m_files.path("")}))
    {
    }
    int status() const { return m_status; }
    std::string line(const std::string& name) const
    {
        std::vector<std::uint8_t> bytes = crashtest::readBytes(m_files.path(name));
        return std::string(bytes.begin(), bytes.end());
    }

private:
    crashtest::ChildFiles m_files;
    int m_status;
};

// Runs block on the worker pool and waits for it.
void onWorker(const std::function<void()>& block)
{
    std::promise<void> done;
    platform::DispatchQueue::global()->async([&] {
        block();
        done.set_value();
    });
    done.get_future().wait();
}

TEST(CrashReporterPeer, DISABLED_PlatformThreadsGetAlternateStacks)
{
    // Running before the reporter is enabled: a worker of the pool and a run-loop thread.
    onWorker([] {});
    platform::RunLoopThread earlier("earlier");
    std::unique_ptr<CRCrashReporter> reporter = crashtest::makeChildReporter();
    ASSERT_TRUE(reporter);
    ASSERT_TRUE(reporter->enableCrashReporter().ok());

    onWorker([] { leaveLine("worker", alternateStack()); }); // at its next job
    platform::RunLoopThread later("later");
    auto onLoop = [](platform::RunLoopThread& thread, const std::string& name) {
        std::promise<void> done;
        thread.runLoop().perform([&] {
            leaveLine(name, alternateStack());
            done.set_value();
        });
        done.get_future().wait();
    };
    onLoop(later, "later");
    onLoop(earlier, "earlier-now");  // may still be the turn that was waiting when the hooks came
    onLoop(earlier, "earlier-next"); // a turn after that
    // Threads started after enabling by the program itself and by a library.
    std::thread([] { leaveLine("own", alternateStack()); }).join();
    GThread* library = g_thread_new(
        "library", [](gpointer) -> gpointer {
            leaveLine("library", alternateStack());
            return nullptr;
        },
        nullptr);
    g_thread_join(library);
}

// The platform's threads, and every thread started after enabling, whoever starts it.
TEST(CrashReporterFacadeEnabling, ThreadsThePlatformStartsGetAnAlternateStack)
{
    PeerRun peer("CrashReporterPeer.DISABLED_PlatformThreadsGetAlternateStacks");
    ASSERT_EQ(peer.status(), 0);
    auto line = [&](const std::string& name) { return peer.line(name); };
    // The sanitizers may have given a thread a stack of their own first; ours is the signal handler's size.
    for (const char* name : {"worker", "later", "earlier-next", "own", "library"})
        EXPECT_EQ(line(name).rfind("yes ", 0), 0u) << name << ": " << line(name);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    for (const char* name : {"worker", "later", "earlier-next", "own", "library"})
        EXPECT_EQ(line(name), "yes " + std::to_string(CRCrashSignalHandler::kAlternateStackBytes)) << name;
#endif
}

// Runs block on a thread with a small stack, 32 KiB (more under the address
// sanitizer, whose frames are larger), and waits for it.
void onSmallStack(const std::function<void()>& block)
{
#if defined(__SANITIZE_ADDRESS__)
    constexpr std::size_t kBytes = 64 * 1024;
#else
    constexpr std::size_t kBytes = 32 * 1024;
#endif
    const long least = sysconf(_SC_THREAD_STACK_MIN);
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, std::max(kBytes, static_cast<std::size_t>(least))), 0);
    pthread_t thread;
    auto run = [](void* opaque) -> void* {
        (*static_cast<const std::function<void()>*>(opaque))();
        return nullptr;
    };
    ASSERT_EQ(pthread_create(&thread, &attributes, run, const_cast<std::function<void()>*>(&block)), 0);
    pthread_attr_destroy(&attributes);
    pthread_join(thread, nullptr);
}

TEST(CrashReporterPeer, DISABLED_LiveReportOnASmallStack)
{
    std::unique_ptr<CRCrashReporter> reporter = crashtest::makeChildReporter();
    ASSERT_TRUE(reporter);
    onSmallStack([&] {
        platform::Result<platform::Bytes> bytes = reporter->generateLiveReport();
        leaveLine("live", bytes.ok() ? "written" : bytes.error().localizedDescription());
        if (!bytes.ok())
            return;
        crashtest::Report report = crashtest::unpackReport(bytes.value());
        const Crsh__CrashReport__Thread* crashed = report ? crashtest::crashedThread(report.get()) : nullptr;
        leaveLine("frames", std::to_string(crashed != nullptr ? crashed->n_frames : 0));
    });
}

// How much of a thread's own stack block takes, in bytes: the block runs on a thread whose stack is
// painted first, less what a thread that does nothing takes.
std::size_t ownStackTakenBy(const std::function<void()>& block)
{
    constexpr std::size_t kBytes = 1024 * 1024;
    void* mapping = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED)
        return 0;
    auto* bytes = static_cast<unsigned char*>(mapping);
    const std::function<void()> nothing = [] {};
    std::size_t taken[2] = {0, 0};
    int run = 0;
    for (const std::function<void()>* work : {&nothing, &block}) {
        std::memset(bytes, 0xA5, kBytes);
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        pthread_attr_setstack(&attributes, bytes, kBytes);
        pthread_t thread;
        auto start = [](void* opaque) -> void* {
            (*static_cast<const std::function<void()>*>(opaque))();
            return nullptr;
        };
        const bool started = pthread_create(&thread, &attributes, start, const_cast<std::function<void()>*>(work)) == 0;
        pthread_attr_destroy(&attributes);
        if (started)
            pthread_join(thread, nullptr);
        std::size_t untouched = 0;
        while (untouched < kBytes && bytes[untouched] == 0xA5)
            ++untouched;
        taken[run++] = kBytes - untouched;
    }
    munmap(mapping, kBytes);
    return taken[1] > taken[0] ? taken[1] - taken[0] : 0;
}

// The writer is made and writes on a stack of the live report's own: the calling thread's stack holds
// only the way there, about 4 KiB under the address sanitizer too (making the writer takes more than
// 4 KiB of stack, and making it and writing together some 9 KiB).
TEST_F(CrashReporterFacade, ALiveReportTakesLittleOfTheCallingThreadsStack)
{
    constexpr std::size_t kMost = 8 * 1024;
    std::unique_ptr<CRCrashReporter> reporter = make();
    ASSERT_TRUE(reporter);
    bool written = false;
    const std::size_t taken = ownStackTakenBy([&] { written = reporter->generateLiveReport().ok(); });
    EXPECT_TRUE(written);
    EXPECT_GT(taken, 0u);
    EXPECT_LE(taken, kMost);
    std::printf("a live report took %zu bytes of the calling thread's stack\n", taken);
}

// A live report asked for on a thread with a small stack is written on a stack of its own.
TEST(CrashReporterFacadeEnabling, ALiveReportOnASmallStackIsWritten)
{
    PeerRun peer("CrashReporterPeer.DISABLED_LiveReportOnASmallStack");
    ASSERT_EQ(peer.status(), 0);
    EXPECT_EQ(peer.line("live"), "written");
    EXPECT_GE(std::stoul("0" + peer.line("frames")), 3u); // the caller's frames down to the thread's start
}

TEST(CrashReporterFacadeEnabling, CallbacksOfAnotherVersionAreAProgrammingError)
{
    hybtest::TempHome home;
    platform::Result<std::unique_ptr<CRCrashReporter>> reporter = CRCrashReporter::init();
    ASSERT_TRUE(reporter.ok());
    EXPECT_DEATH((void)reporter.value()->setCrashCallbacks({1, nullptr, nullptr}), "callbacks->version == 0");
}

} // namespace
