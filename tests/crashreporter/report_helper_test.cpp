// The crash report's helper process: it runs on the prepared stack in this process's memory, hands back
// its work's result, may stop this process's threads, and a fault in it ends the helper alone.
#include "crashreporter/crsh_async.h"
#include "crashreporter/crsh_report_helper.h"
#include "crashreporter/crsh_thread_state.h"
#include "crashreporter/crsh_thread_suspend.h"
#include "support/PrivateEnvironment.h"
#include "support/crash_test_program/TracingAllowed.h"

#include <gtest/gtest.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Work {
    int answer;
    pid_t ranIn;           // the helper's process id, as the helper saw it
    crsh_thread_t thread;  // a thread of this process to stop and let go
    crsh_error_t stopped;
    crsh_error_t read;
};

int answerInHelper(void* opaque)
{
    auto* work = static_cast<Work*>(opaque);
    work->ranIn = getpid();
    if (work->thread != 0) {
        work->stopped = crsh_thread_suspend_request(work->thread);
        int pending = 0;
        if (work->stopped == CRSH_ERR_NONE)
            work->stopped = crsh_thread_suspend_wait(work->thread, crsh_async_clock_ns() + 2000000000u, &pending);
        crsh_thread_state state;
        work->read = crsh_thread_state_thread_init(&state, work->thread);
        crsh_thread_resume(work->thread, pending);
    }
    return work->answer;
}

extern "C" __attribute__((noinline, no_sanitize("address", "undefined"))) int faultInHelper(void*)
{
    volatile int* volatile nowhere = nullptr;
    *nowhere = 1;
    return 0;
}

volatile bool g_bottomReached = false; // never: the recursion below has no end the compiler could see

// Recurses until the helper's stack runs into its guard page.
extern "C" __attribute__((noinline, no_sanitize("address", "undefined"))) int overflowInHelper(void* context)
{
    volatile char frame[512];
    frame[0] = 1;
    if (g_bottomReached)
        return frame[0];
    return overflowInHelper(context) + frame[0];
}

class ReportHelper : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        // The helper runs this program's code on a stack the sanitizer's runtime knows nothing of.
        GTEST_SKIP() << "ThreadSanitizer cannot follow code run by a process sharing this one's memory";
#endif
        ASSERT_EQ(crsh_report_helper_prepare(&m_helper), CRSH_ERR_NONE);
    }
    void TearDown() override
    {
        if (m_helper.mapping)
            munmap(m_helper.mapping, m_helper.mapping_bytes);
    }
    crsh_report_helper m_helper{};
};

TEST_F(ReportHelper, TheWorkRunsInAnotherProcessOnThisMemory)
{
    for (int answer : {0, 7, 253}) {
        Work work{answer, 0, 0, CRSH_ERR_UNKNOWN, CRSH_ERR_UNKNOWN};
        int exitCode = -1;
        ASSERT_TRUE(crsh_report_helper_run(&m_helper, answerInHelper, &work, &exitCode));
        EXPECT_EQ(exitCode, answer);
        EXPECT_NE(work.ranIn, 0); // written there, seen here
        EXPECT_NE(work.ranIn, getpid());
    }
}

// Once the main thread of a process has ended, its id names a thread without memory: the helper reads the
// process's memory through the thread named for reading (the crashed one). In a forked child whose main
// thread ends.
volatile std::uint32_t g_seed = 0x5eed;

int readSeedInHelper(void* opaque)
{
    const auto task = *static_cast<const crsh_task_t*>(opaque);
    std::uint32_t read = 0;
    if (crsh_async_task_memcpy(task, reinterpret_cast<crsh_vm_address_t>(&g_seed), 0, &read, sizeof read) !=
        CRSH_ERR_NONE)
        return 1;
    return read == 0x5eed ? 0 : 2;
}

TEST_F(ReportHelper, TheHelperReadsThroughTheNamedThreadOnceTheMainThreadHasEnded)
{
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        static crsh_report_helper* helper = &m_helper;
        pthread_t worker;
        if (pthread_create(&worker, nullptr, [](void*) -> void* {
                // Until the main thread is a zombie, at most 5 s.
                const std::string stat = "/proc/self/task/" + std::to_string(getpid()) + "/stat";
                for (int i = 0; i < 500; ++i) {
                    char line[128] = {};
                    FILE* file = std::fopen(stat.c_str(), "r");
                    const bool ended = file == nullptr || (std::fgets(line, sizeof line, file) != nullptr &&
                                                           std::strstr(line, ") Z") != nullptr);
                    if (file != nullptr)
                        std::fclose(file);
                    if (ended)
                        break;
                    usleep(10000);
                }
                crsh_task_t task = crsh_async_task_self();
                crsh_async_set_reading_thread(task, crsh_async_mach_thread_self());
                int exitCode = -1;
                if (!crsh_report_helper_run(helper, readSeedInHelper, &task, &exitCode))
                    _exit(4);
                _exit(exitCode);
            }, nullptr) != 0)
            _exit(3);
        syscall(SYS_exit, 0); // the main thread alone ends
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST_F(ReportHelper, TheHelperMayStopAndReadThisProcesssThreads)
{
    std::atomic<bool> stop{false};
    std::atomic<crsh_thread_t> id{0};
    std::thread busy([&] {
        id = static_cast<crsh_thread_t>(syscall(SYS_gettid));
        while (!stop)
            std::this_thread::yield();
    });
    while (id == 0)
        std::this_thread::yield();
    Work work{0, 0, id, CRSH_ERR_UNKNOWN, CRSH_ERR_UNKNOWN};
    int exitCode = -1;
    ASSERT_TRUE(crsh_report_helper_run(&m_helper, answerInHelper, &work, &exitCode));
    if (crashtest::tracingAllowed()) {
        EXPECT_EQ(work.stopped, CRSH_ERR_NONE);
        EXPECT_EQ(work.read, CRSH_ERR_NONE);
    } else { // this machine refuses tracing: the helper learns it, and reads nothing
        EXPECT_EQ(work.stopped, CRSH_ERR_ACCESS_DENIED);
        EXPECT_EQ(work.read, CRSH_ERR_INTERNAL);
    }
    stop = true;
    busy.join(); // let go again
}

TEST_F(ReportHelper, AFaultEndsTheHelperAloneAndAtOnce)
{
    // A fault, and the helper's stack overflowing (its handler runs on the signal stack).
    int exitCode = -1;
    for (int (*work)(void*) : {faultInHelper, overflowInHelper}) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(crsh_report_helper_run(&m_helper, work, nullptr, &exitCode));
        EXPECT_EQ(exitCode, -1);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(CRSH_REPORT_HELPER_WAIT_SECONDS));
    }
    // The helper's stack serves the next run.
    Work work{3, 0, 0, CRSH_ERR_UNKNOWN, CRSH_ERR_UNKNOWN};
    EXPECT_TRUE(crsh_report_helper_run(&m_helper, answerInHelper, &work, &exitCode));
    EXPECT_EQ(exitCode, 3);
}

// A fault in the helper dumps no core, even where the crashed process's limits would let it: the core of a
// helper is the whole crashed process's memory, and on some kernels dumping it ends the crashed process.
TEST_F(ReportHelper, AFaultDumpsNoCore)
{
    const std::string folder = hybtest::makeTemporaryFolder("report-helper-core");
    ASSERT_FALSE(folder.empty());
    const pid_t child = fork(); // its own folder and limits; the helper takes both from it
    if (child == 0) {
        rlimit core{};
        (void)getrlimit(RLIMIT_CORE, &core);
        core.rlim_cur = core.rlim_max;
        int exitCode = -1;
        const bool ran = chdir(folder.c_str()) == 0 && setrlimit(RLIMIT_CORE, &core) == 0 &&
                         !crsh_report_helper_run(&m_helper, faultInHelper, nullptr, &exitCode);
        _exit(ran ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::vector<std::string> left;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        left.push_back(entry.path().filename());
    EXPECT_TRUE(left.empty()) << left.front();
    std::filesystem::remove_all(folder);
}

TEST(ReportHelperUnprepared, AnUnpreparedHelperRunsNothing)
{
    crsh_report_helper helper{};
    Work work{5, 0, 0, CRSH_ERR_UNKNOWN, CRSH_ERR_UNKNOWN};
    int exitCode = -1;
    EXPECT_FALSE(crsh_report_helper_run(&helper, answerInHelper, &work, &exitCode));
    EXPECT_EQ(work.ranIn, 0);
    EXPECT_EQ(exitCode, -1);
}

} // namespace
