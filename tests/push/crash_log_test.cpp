// Crash-log capture in forked children (the handlers only write to the record file), folding the
// records at the next start, the "crash_log" report, and a crashed run's open usage session.
#include "PushTest.h"

#include "push/PULSECrashLog.h"
#include "push/PULSEHttpSessionController.h"
#include "push/PULSEPageFlow.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"

#include "support/SelfProcess.h"

#include <csignal>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using platform::Value;

class CrashLog : public pushtest::PushTest {
protected:
    CrashLog() {
        installIdentity("0123456789abcdef01234567");
        m_store = push::PULSEFileCacheController::shareInstanceWithType(0);
    }

    // Runs the body in a child with crash capture installed (and SIGSEGV's earlier handler the
    // default); answers the child's wait status. A child that hangs is ended by its alarm (SIGALRM).
    template <class Body>
    int inChild(Body body, void (*prior)(int) = SIG_DFL) {
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::alarm(20);
            for (int signal : {SIGSEGV, SIGFPE, SIGABRT})
                ::signal(signal, SIG_DFL);
            ::signal(SIGSEGV, prior);
            if (!push::PULSEInstallCrashHandlers())
                ::_exit(90);
            body();
            ::_exit(0);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        return status;
    }

    // Runs a scenario of CrashChild.DISABLED_Run in a fresh process of this executable over the same
    // home (a fork of this threaded process may not start threads under every sanitizer).
    int inPeer(const std::string& scenario) {
        return hybtest::runThisTestExecutableForStatus(
            "CrashChild.DISABLED_Run", {"PUSH_CRASH_HOME=" + m_home.folders().home() + "|" + m_home.folders().bundle(), "PUSH_CRASH_SCENARIO=" + scenario});
    }

    static bool endedBy(int status, int signal) { return WIFSIGNALED(status) && WTERMSIG(status) == signal; }

    // The stored crash logs: [log dictionary, call-stack text] each.
    std::vector<Value> storedLogs() const {
        std::vector<Value> logs;
        const auto stored = m_store->objectForKey(push::kPULSECrashLogKey);
        if (const auto* set = stored.getSet())
            for (const auto& entry : *set)
                if (const auto* pair = entry.getArray(); pair && !pair->empty())
                    logs.push_back(pair->front().toValue().value_or(Value()));
        return logs;
    }

    std::string recordPath() const { return m_store->pathForName(push::kPULSECrashRecordFileName); }

    std::shared_ptr<push::PULSEFileCacheController> m_store;
};

// A real fault: a write to a page that allows nothing.
[[gnu::noinline]] void segfault() {
    void* page = ::mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    *static_cast<volatile int*>(page) = 1;
}

TEST_F(CrashLog, ASegmentationFaultEndsTheChildAndIsFoldedAtTheNextStart) {
    const int status = inPeer("segv-thread");
    ASSERT_TRUE(endedBy(status, SIGSEGV)) << "wait status " << status;
    EXPECT_GT(push::PULSEFoldCrashRecords(*m_store), 0);
    auto logs = storedLogs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0]["message"], Value("Signal 11 was raised."));
    EXPECT_EQ(logs[0]["count"], Value(1));
    EXPECT_TRUE(logs[0]["stacktrace"].isArray() && !logs[0]["stacktrace"].getArray()->empty());
    EXPECT_FALSE(logs[0]["networktype"].stringOr("").empty());
    EXPECT_TRUE(logs[0]["device_info"].isDictionary());
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(recordPath()));

    // The same crash again is counted; another reason is an entry of its own.
    ASSERT_TRUE(endedBy(inPeer("segv-thread"), SIGSEGV));
    ASSERT_TRUE(endedBy(inChild([] { ::raise(SIGFPE); }), SIGFPE));
    push::PULSEFoldCrashRecords(*m_store);
    logs = storedLogs();
    ASSERT_EQ(logs.size(), 2u);
    int total = 0;
    for (const auto& log : logs)
        total += static_cast<int>(log["count"].integerValue());
    EXPECT_EQ(total, 3);
}

TEST_F(CrashLog, AnUncaughtExceptionIsRecordedWithItsMessageAndEndsBySIGABRT) {
    const int status = inPeer("throw-thread");
    ASSERT_TRUE(endedBy(status, SIGABRT)) << "wait status " << status;
    push::PULSEFoldCrashRecords(*m_store);
    const auto logs = storedLogs();
    ASSERT_EQ(logs.size(), 1u); // the abort that follows is not a second crash
    EXPECT_EQ(logs[0]["message"], Value("the child gives up"));
}

int g_priorPipe = -1;
void priorHandler(int signal) {
    (void)!::write(g_priorPipe, "prior", 5);
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

TEST_F(CrashLog, TheEarlierHandlerStillGetsTheCrashAndComesBackOnRemoval) {
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    g_priorPipe = fds[1];
    const int status = inChild([] { segfault(); }, priorHandler);
    ::close(fds[1]);
    char seen[8] = {};
    EXPECT_EQ(::read(fds[0], seen, sizeof seen), 5);
    ::close(fds[0]);
    EXPECT_STREQ(seen, "prior");
    EXPECT_TRUE(endedBy(status, SIGSEGV));
    EXPECT_EQ(storedLogs().size(), 0u);
    push::PULSEFoldCrashRecords(*m_store);
    EXPECT_EQ(storedLogs().size(), 1u);

    const int removed = inChild(
        [] {
            push::PULSERemoveCrashHandlers();
            struct sigaction now {};
            ::sigaction(SIGSEGV, nullptr, &now);
            ::_exit(now.sa_handler == priorHandler ? 0 : 1);
        },
        priorHandler);
    EXPECT_TRUE(WIFEXITED(removed) && WEXITSTATUS(removed) == 0);
}

TEST_F(CrashLog, RecordFilesCutShortOrHoldingTwoCrashesFoldWhatIsWhole) {
    {
        std::ofstream file(recordPath(), std::ios::binary);
        file << "PULSE-CRASH\n{\"versionname\":\"1.2\",\"offset\":5}\nmessage Signal 6 was raised.\ntime 1700000000\n"
                "app(main+0x10) [0x1]\nPULSE-CRASH-END\n"
                "PULSE-CRASH\n{}\nmessage Signal 6 was raised.\ntime 1700000100\napp(main+0x10) [0x2]\nPULSE-CRASH-END\n"
                "PULSE-CRASH\n{}\nmessage Signal 4 was raised.\ntime 1700000200\napp(other+0x";
    }
    EXPECT_EQ(push::PULSEFoldCrashRecords(*m_store), 1700000200.0);
    auto logs = storedLogs();
    ASSERT_EQ(logs.size(), 2u);
    for (const auto& log : logs) {
        if (log["message"] == Value("Signal 6 was raised.")) {
            EXPECT_EQ(log["count"], Value(2));
            EXPECT_EQ(log["crashtime"], Value(1700000005));
            EXPECT_EQ(log["versionname"], Value("1.2"));
        } else {
            EXPECT_EQ(log["message"], Value("Signal 4 was raised."));
            EXPECT_TRUE(log["stacktrace"].getArray()->empty());
        }
    }
    // Garbage and a record without its message fold into nothing.
    {
        std::ofstream file(recordPath(), std::ios::binary);
        file << "noise\nPULSE-CRASH\n{not json\n";
    }
    EXPECT_EQ(push::PULSEFoldCrashRecords(*m_store), 0);
    EXPECT_EQ(storedLogs().size(), 2u);
}

TEST_F(CrashLog, AReportTakesEveryEntryOnce) {
    {
        std::ofstream file(recordPath(), std::ios::binary);
        file << "PULSE-CRASH\n{}\nmessage a\ntime 1700000000\nPULSE-CRASH-END\n"
                "PULSE-CRASH\n{}\nmessage b\ntime 1700000000\nPULSE-CRASH-END\n";
    }
    push::PULSEFoldCrashRecords(*m_store);
    push::PULSECrashHandlerReportRequest first;
    ASSERT_TRUE(first.packData());
    EXPECT_EQ(first.content().find("crashlogs")->getArray()->size(), 2u);
    EXPECT_EQ(first.reportType(), 6u);
    push::PULSECrashHandlerReportRequest second;
    EXPECT_FALSE(second.packData());
}

TEST_F(CrashLog, ACrashedRunsOpenSessionEndsAtTheCrash) {
    const auto t0 = static_cast<std::int64_t>(push::PULSECorrectedTime());
    m_store->setObject(t0 - 600, "__PULSEStart_time");
    m_store->setObject(t0 - 900, "__PULSELeft_time");
    {
        std::ofstream file(recordPath(), std::ios::binary);
        file << "PULSE-CRASH\n{}\nmessage Signal 11 was raised.\ntime " << (t0 - 60) << "\nPULSE-CRASH-END\n";
    }
    push::PULSEClientController::sharedClient().setPageFlowController(std::make_shared<push::PULSEPageFlowSession>());
    auto stats = push::PULSEHttpSessionController::create();
    EXPECT_EQ(stats->closeTime(), t0 - 60);
    EXPECT_EQ(stats->startTime(), t0 - 600);
    stats->prepareActive(static_cast<double>(t0));
    EXPECT_EQ(stats->blockedRequests().size() >= 2u, true); // launch and session end, held until login
    EXPECT_EQ(storedLogs().size(), 1u);
}

// The crashing process of the tests above (run by name with its scenario and home in the environment).
TEST(CrashChild, DISABLED_Run) {
    const char* home = std::getenv("PUSH_CRASH_HOME");
    const char* scenario = std::getenv("PUSH_CRASH_SCENARIO");
    if (!home || !scenario)
        GTEST_SKIP() << "run by the crash-log tests";
    ::alarm(20); // a handler that hangs ends this process by SIGALRM
    for (int signal : {SIGSEGV, SIGFPE, SIGABRT})
        ::signal(signal, SIG_DFL);
    const std::string folders = home;
    const auto bar = folders.find('|');
    platform::AppFolders::install(platform::AppFolders(folders.substr(0, bar), folders.substr(bar + 1)));
    push::PULSEFileCacheController::startShareInstance("PULSEJSON", 0, false);
    if (!push::PULSEInstallCrashHandlers())
        ::_exit(90);
    const std::string which = scenario;
    if (which == "segv-thread") {
        // The main thread holds a lock and waits while another thread crashes: nothing in the handler
        // may wait for it.
        static std::mutex store;
        std::lock_guard held(store);
        std::thread([] { segfault(); }).join();
    } else if (which == "throw-thread") {
        // Thrown on a thread of its own (the test body would catch it).
        std::thread([] { throw std::runtime_error("the child gives up"); }).join();
    }
    ::_exit(91);
}

} // namespace
