// Stopping and reading this process's threads from another process (a forked child, declared as tracer),
// and the report written from there: every thread with its frames, the threads let go afterwards; bare
// threads with the reason when tracing is refused for all or some of them.
#include "crashreporter/CRCrashReport.h"
#include "crashreporter/crsh_log_writer.h"
#include "crashreporter/crsh_thread_suspend.h"

#include "LoadedObjects.h"
#include "ReportFile.h"
#include "support/EventWait.h"
#include "support/crash_test_program/SystemCallFilter.h"
#include "support/crash_test_program/TracingAllowed.h"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#ifndef PR_SET_PTRACER
#define PR_SET_PTRACER 0x59616d61
#endif

namespace {

crsh_thread_t gettid()
{
    return static_cast<crsh_thread_t>(syscall(SYS_gettid));
}

// ---- Threads in known functions ----

// Read and written with the compiler's atomic built-ins: no call leaves the spinning function.
bool g_stopSpinning = false;
std::uint64_t g_spins = 0;
std::atomic<int> g_usr2{0};

extern "C" __attribute__((noinline, no_sanitize("address", "undefined"))) void spinInPlace()
{
    while (!__atomic_load_n(&g_stopSpinning, __ATOMIC_RELAXED))
        __atomic_fetch_add(&g_spins, 1, __ATOMIC_RELAXED);
}

extern "C" __attribute__((noinline)) void waitOnPipe(int fd)
{
    char byte;
    while (read(fd, &byte, 1) < 0 && errno == EINTR) {
    }
    asm volatile("" ::: "memory");
}

// A spinning thread and a thread waiting on a pipe, both stopped and joined at the end.
class KnownThreads {
public:
    KnownThreads()
    {
        __atomic_store_n(&g_stopSpinning, false, __ATOMIC_RELAXED);
        EXPECT_EQ(pipe(m_pipe), 0);
        std::atomic<crsh_thread_t> spinner{0}, waiter{0};
        m_spinner = std::thread([&spinner] {
            spinner = gettid();
            spinInPlace();
        });
        m_waiter = std::thread([this, &waiter] {
            waiter = gettid();
            waitOnPipe(m_pipe[0]);
        });
        while (spinner == 0 || waiter == 0 || __atomic_load_n(&g_spins, __ATOMIC_RELAXED) == 0)
            std::this_thread::yield();
        spinnerId = spinner;
        waiterId = waiter;
        EXPECT_TRUE(hybtest::pollUntil([this] { return hybtest::inSystemCall(waiterId, SYS_read, m_pipe[0]); }));
    }
    ~KnownThreads()
    {
        __atomic_store_n(&g_stopSpinning, true, __ATOMIC_RELAXED);
        EXPECT_EQ(write(m_pipe[1], "x", 1), 1);
        m_spinner.join();
        m_waiter.join();
        close(m_pipe[0]);
        close(m_pipe[1]);
    }
    crsh_thread_t spinnerId = 0;
    crsh_thread_t waiterId = 0;

private:
    int m_pipe[2] = {-1, -1};
    std::thread m_spinner;
    std::thread m_waiter;
};

std::uint64_t spinsOf(crsh_task_t task)
{
    std::uint64_t spins = 0;
    (void)crsh_async_task_memcpy(task, reinterpret_cast<crsh_vm_address_t>(&g_spins), 0, &spins, sizeof spins);
    return spins;
}

// Whether the spin counter stays put over 20 ms, read through the task.
bool spinsHeldStill(crsh_task_t task)
{
    const std::uint64_t before = spinsOf(task);
    usleep(20000);
    return spinsOf(task) == before;
}

// Whether the spin counter moves again within two minutes (a bound against a hang only), read through
// the task: a thread let go may wait a while for a processor on a busy machine. Async-signal-safe calls
// only: it runs in a fork of this process too.
bool spinsMoveAgain(crsh_task_t task)
{
    const std::uint64_t before = spinsOf(task);
    for (int i = 0; i < 120000; ++i) {
        usleep(1000);
        if (spinsOf(task) != before)
            return true;
    }
    return false;
}

// ---- Another process ----

// Runs body(result) in a forked child, declared as this process's tracer, and hands back what it filled
// in. The child uses system calls and the reporter's crash-time code only, then ends at once.
template <typename Result, typename Body>
Result fromOutside(Body body)
{
    int toChild[2], fromChild[2];
    EXPECT_EQ(pipe(toChild), 0);
    EXPECT_EQ(pipe(fromChild), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        char go = 0;
        (void)read(toChild[0], &go, 1);
        Result result{};
        body(result);
        (void)write(fromChild[1], &result, sizeof result);
        _exit(0);
    }
    (void)prctl(PR_SET_PTRACER, static_cast<unsigned long>(pid), 0UL, 0UL, 0UL);
    EXPECT_EQ(write(toChild[1], "g", 1), 1);
    Result result{};
    std::size_t done = 0;
    while (done < sizeof result) {
        const ssize_t count = read(fromChild[0], reinterpret_cast<char*>(&result) + done, sizeof result - done);
        if (count <= 0)
            break;
        done += static_cast<std::size_t>(count);
    }
    EXPECT_EQ(done, sizeof result);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    for (int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]})
        close(fd);
    return result;
}

// ---- Stopping, reading and letting go ----

// Where this machine refuses tracing, the tests of stopped threads have nothing to stop; the refusal
// itself is tested under a system-call filter below, which works everywhere.
TEST(ThreadSuspend, AnotherProcessStopsReadsAndLetsGoAThread)
{
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    KnownThreads threads;
    struct sigaction counting = {}, previous = {};
    counting.sa_handler = [](int) { g_usr2.fetch_add(1); };
    ASSERT_EQ(sigaction(SIGUSR2, &counting, &previous), 0);
    g_usr2 = 0;
    const crsh_task_t task = getpid();
    const crsh_thread_t spinner = threads.spinnerId;
    const crsh_thread_t mainThread = gettid();

    struct Outcome {
        crsh_error_t requested, waited, read, untraced, readAfterResume;
        int pending;
        bool heldStill, movesAgain;
        std::uint64_t rip;
        crsh_error_t ownThread, noThread, notRequested;
    };
    const Outcome outcome = fromOutside<Outcome>([&](Outcome& out) {
        out.requested = crsh_thread_suspend_request(spinner);
        out.waited = crsh_thread_suspend_wait(spinner, crsh_async_clock_ns() + 2000000000u, &out.pending);
        out.heldStill = spinsHeldStill(task);
        crsh_thread_state state;
        out.read = crsh_thread_state_thread_init(&state, spinner);
        out.rip = crsh_thread_state_get_reg(&state, CRSH_REG_IP);
        out.untraced = crsh_thread_state_thread_init(&state, mainThread);
        // A signal sent while the thread is stopped reaches it once it runs again.
        (void)syscall(SYS_tgkill, task, spinner, SIGUSR2);
        crsh_thread_resume(spinner, out.pending);
        out.movesAgain = spinsMoveAgain(task);
        out.readAfterResume = crsh_thread_state_thread_init(&state, spinner);
        out.ownThread = crsh_thread_suspend_request(gettid());
        out.noThread = crsh_thread_suspend_request(0x3FFFFFF0);
        int pending = -1;
        out.notRequested = crsh_thread_suspend_wait(mainThread, crsh_async_clock_ns(), &pending);
    });

    EXPECT_EQ(outcome.requested, CRSH_ERR_NONE);
    EXPECT_EQ(outcome.waited, CRSH_ERR_NONE);
    EXPECT_EQ(outcome.pending, 0);
    EXPECT_TRUE(outcome.heldStill);
    EXPECT_EQ(outcome.read, CRSH_ERR_NONE);
#if !defined(__SANITIZE_THREAD__) // there the spinning thread is as often inside the sanitizer's checks
    const auto start = reinterpret_cast<std::uint64_t>(&spinInPlace);
    EXPECT_TRUE(outcome.rip >= start && outcome.rip < start + 256) << std::hex << outcome.rip << " " << start;
#endif
    EXPECT_EQ(outcome.untraced, CRSH_ERR_INTERNAL); // not stopped under the child
    EXPECT_TRUE(outcome.movesAgain);
    EXPECT_EQ(outcome.readAfterResume, CRSH_ERR_INTERNAL); // let go: no longer the child's to read
    EXPECT_EQ(outcome.ownThread, CRSH_ERR_ACCESS_DENIED);
    EXPECT_EQ(outcome.noThread, CRSH_ERR_NOT_FOUND);
    EXPECT_EQ(outcome.notRequested, CRSH_ERR_NOT_FOUND);
    hybtest::pollUntil([] { return g_usr2.load() != 0; });
    EXPECT_EQ(g_usr2.load(), 1);
    ASSERT_EQ(sigaction(SIGUSR2, &previous, nullptr), 0);

    // Inside the process nothing can be stopped or read.
    EXPECT_EQ(crsh_thread_suspend_request(spinner), CRSH_ERR_ACCESS_DENIED);
    crsh_thread_state state;
    EXPECT_EQ(crsh_thread_state_thread_init(&state, spinner), CRSH_ERR_INTERNAL);
}

// ---- The report from outside ----

constexpr std::size_t kReportBytes = 262144;
struct WrittenReport {
    crsh_error_t result;
    std::size_t size;
    std::uint8_t bytes[kReportBytes];
};

// A child's report of this process into the shared result (large: kept off the stack).
void writeFromChild(WrittenReport& out, crsh_log_writer* writer, crsh_thread_t crashed, std::size_t limit = kReportBytes,
                    const crsh_thread_state* state = nullptr)
{
    const int fd = memfd_create("report", 0);
    crsh_async_file file;
    crsh_async_file_init(&file, fd, limit);
    const crsh_log_writer_signal_info signal{SIGSEGV, SEGV_MAPERR, 0, nullptr};
    out.result = crsh_log_writer_write(writer, crashed, crashtest::loadedObjects(), &file, &signal, state);
    (void)crsh_async_file_flush(&file);
    const off_t size = lseek(fd, 0, SEEK_END);
    out.size = size > 0 ? static_cast<std::size_t>(size) : 0;
    (void)pread(fd, out.bytes, out.size, 0);
    close(fd);
}

crashtest::Report unpack(const WrittenReport& written)
{
    EXPECT_EQ(written.result, CRSH_ERR_NONE);
    return crashtest::unpackReport(std::vector<std::uint8_t>(written.bytes, written.bytes + written.size));
}

// The symbols of every thread's frames, one thread a line, for failure messages.
std::string symbolsOf(const Crsh__CrashReport* report)
{
    std::string text;
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        for (std::size_t f = 0; f < report->threads[i]->n_frames; ++f) {
            const Crsh__CrashReport__Thread__StackFrame* frame = report->threads[i]->frames[f];
            text += frame->symbol != nullptr ? frame->symbol->name : std::to_string(frame->pc);
            text += ' ';
        }
        text += '\n';
    }
    return text;
}

// Whether a frame of the thread is named name (the report keeps the platform's "_" before it).
bool hasSymbol(const Crsh__CrashReport__Thread* thread, const char* name)
{
    for (std::size_t i = 0; i < thread->n_frames; ++i) {
        if (thread->frames[i]->symbol != nullptr && thread->frames[i]->symbol->name[0] == '_' &&
            std::strcmp(thread->frames[i]->symbol->name + 1, name) == 0)
            return true;
    }
    return false;
}

class ReportFromOutside : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(crsh_log_writer_init(&m_writer, "com.example.outside", "1", 1, false), CRSH_ERR_NONE);
        (void)crashtest::loadedObjects();
    }
    void TearDown() override { crsh_log_writer_free(&m_writer); }

    // The report a child writes of this process, the calling thread (or the one given, with its state)
    // marked crashed; before it writes, the child runs prepare.
    template <typename Prepare>
    crashtest::Report writeOutside(Prepare prepare, std::size_t limit = kReportBytes, crsh_thread_t crashed = gettid(),
                                   const crsh_thread_state* state = nullptr)
    {
        auto* shared = static_cast<WrittenReport*>(
            mmap(nullptr, sizeof(WrittenReport), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
        EXPECT_NE(shared, MAP_FAILED);
        struct Done {
            bool prepared;
        };
        const Done done = fromOutside<Done>([&](Done& out) {
            out.prepared = prepare();
            if (out.prepared)
                writeFromChild(*shared, &m_writer, crashed, limit, state);
        });
        EXPECT_TRUE(done.prepared);
        crashtest::Report report = done.prepared ? unpack(*shared) : nullptr;
        m_size = shared->size;
        // The project's reader reads it too.
        EXPECT_TRUE(!done.prepared ||
                    CRCrashReport::initWithData(platform::Bytes(shared->bytes, shared->bytes + shared->size)).ok());
        munmap(shared, sizeof(WrittenReport));
        return report;
    }

    crsh_log_writer m_writer;
    std::size_t m_size = 0; // of the last report
};

TEST_F(ReportFromOutside, EveryThreadIsStoppedReadAndLetGo)
{
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    KnownThreads threads;
    crashtest::Report report = writeOutside([] { return true; });
    ASSERT_TRUE(report);
    ASSERT_NE(report->report_info, nullptr);
    EXPECT_EQ(report->report_info->threads_note, nullptr);
    ASSERT_GE(report->n_threads, 3u);
    std::size_t crashed = 0;
    bool spinner = false, waiter = false;
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        const Crsh__CrashReport__Thread* thread = report->threads[i];
        EXPECT_EQ(thread->thread_number, i);
        EXPECT_GE(thread->n_frames, 2u) << i; // every thread was read
        crashed += thread->crashed ? 1 : 0;
        // Registers for the crashed thread only; its state was read like the others'.
        EXPECT_EQ(thread->n_registers, thread->crashed ? 21u : 0u) << i;
        spinner |= hasSymbol(thread, "spinInPlace");
        waiter |= hasSymbol(thread, "waitOnPipe");
    }
    EXPECT_EQ(crashed, 1u);
    EXPECT_TRUE(spinner) << symbolsOf(report.get());
    EXPECT_TRUE(waiter) << symbolsOf(report.get());
    // Let go: the spinner runs on (and the waiter ends when the threads are joined).
    EXPECT_TRUE(spinsMoveAgain(getpid()));
}

TEST_F(ReportFromOutside, RefusedTracingLeavesTheThreadsBareAndTheReportSaysSo)
{
    KnownThreads threads;
    crashtest::Report report = writeOutside([] { return crashtest::refuseSystemCall(SYS_ptrace); });
    ASSERT_TRUE(report);
    ASSERT_NE(report->report_info, nullptr);
    ASSERT_NE(report->report_info->threads_note, nullptr);
    EXPECT_STREQ(report->report_info->threads_note,
                 "not stopped: tracing was refused; listed without registers or frames");
    ASSERT_GE(report->n_threads, 3u);
    for (std::size_t i = 0; i < report->n_threads; ++i)
        EXPECT_EQ(report->threads[i]->n_frames, 0u) << i;
    EXPECT_NE(crashtest::crashedThread(report.get()), nullptr);
}

// The crashed thread has ended by the time the report is written (its process exiting under the report):
// it is listed all the same, from the state it left, and the report reads.
TEST_F(ReportFromOutside, ACrashedThreadThatHasEndedIsListedFromItsState)
{
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    crsh_thread_t ended = 0;
    ucontext_t context{};
    std::thread([&] {
        ended = gettid();
        ASSERT_EQ(getcontext(&context), 0);
    }).join();
    crsh_thread_state state;
    crsh_thread_state_mcontext_init(&state, &context.uc_mcontext);
    crashtest::Report report = writeOutside([] { return true; }, kReportBytes, ended, &state);
    ASSERT_TRUE(report);
    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(report.get());
    ASSERT_NE(crashed, nullptr);
    EXPECT_EQ(crashed->n_registers, 21u);
    EXPECT_GE(crashed->n_frames, 1u);
}

// A thread that another tracer already holds cannot be stopped; the others are, and the report says that
// some were not.
TEST_F(ReportFromOutside, AThreadHeldByAnotherTracerIsListedBare)
{
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    KnownThreads threads;
    int release[2], held[2];
    ASSERT_EQ(pipe(release), 0);
    ASSERT_EQ(pipe(held), 0);
    const pid_t tracer = fork();
    if (tracer == 0) {
        char byte = crsh_thread_suspend_request(threads.spinnerId) == CRSH_ERR_NONE ? 'y' : 'n';
        (void)::write(held[1], &byte, 1);
        (void)read(release[0], &byte, 1);
        _exit(0);
    }
    (void)prctl(PR_SET_PTRACER, static_cast<unsigned long>(tracer), 0UL, 0UL, 0UL);
    char answer = 0;
    ASSERT_EQ(read(held[0], &answer, 1), 1);
    ASSERT_EQ(answer, 'y');

    crashtest::Report report = writeOutside([] { return true; });
    ASSERT_EQ(::write(release[1], "x", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(tracer, &status, 0), tracer);
    for (int fd : {release[0], release[1], held[0], held[1]})
        close(fd);

    ASSERT_TRUE(report);
    ASSERT_NE(report->report_info->threads_note, nullptr);
    EXPECT_STREQ(report->report_info->threads_note,
                 "some could not be stopped; those are listed without registers or frames");
    std::size_t bare = 0;
    bool waiter = false;
    for (std::size_t i = 0; i < report->n_threads; ++i) {
        bare += report->threads[i]->n_frames == 0 ? 1 : 0;
        waiter |= hasSymbol(report->threads[i], "waitOnPipe");
        EXPECT_FALSE(hasSymbol(report->threads[i], "spinInPlace"));
    }
    EXPECT_EQ(bare, 1u) << symbolsOf(report.get());
    EXPECT_TRUE(waiter) << symbolsOf(report.get());
}

// A thread that waits on a pipe 300 calls deep.
extern "C" __attribute__((noinline)) int waitDeep(int fd, int depth)
{
    volatile int frame = depth;
    if (depth == 0) {
        waitOnPipe(fd);
        return frame;
    }
    return waitDeep(fd, depth - 1) + frame;
}

class DeepThread {
public:
    DeepThread()
    {
        EXPECT_EQ(pipe(m_pipe), 0);
        m_thread = std::thread([this] {
            m_id = gettid();
            (void)waitDeep(m_pipe[0], 300);
        });
        // Into its wait.
        EXPECT_TRUE(hybtest::pollUntil([this] { return m_id != 0 && hybtest::inSystemCall(m_id, SYS_read, m_pipe[0]); }));
    }
    ~DeepThread()
    {
        EXPECT_EQ(write(m_pipe[1], "x", 1), 1);
        m_thread.join();
        close(m_pipe[0]);
        close(m_pipe[1]);
    }

private:
    int m_pipe[2] = {-1, -1};
    std::atomic<pid_t> m_id{0};
    std::thread m_thread;
};

// A limit too small for every thread's frames: the report fits it and is read; the crashed thread keeps
// all its frames and the images stay; the deep thread is cut, the shallow ones stay whole, and the report
// says how far the threads were cut.
TEST_F(ReportFromOutside, OtherThreadsAreCutToFitTheLimitAndTheCrashedThreadIsWhole)
{
    if (!crashtest::tracingAllowed())
        GTEST_SKIP() << "this machine refuses tracing";
    KnownThreads threads;
    DeepThread deep;
    crashtest::Report whole = writeOutside([] { return true; });
    ASSERT_TRUE(whole);
    ASSERT_EQ(whole->report_info->threads_note, nullptr);
    const std::size_t wholeSize = m_size;

    const std::size_t limit = wholeSize - 2000;
    crashtest::Report cut = writeOutside([] { return true; }, limit);
    ASSERT_TRUE(cut);
    EXPECT_LE(m_size, limit);
    ASSERT_NE(cut->report_info->threads_note, nullptr);
    const std::string note = cut->report_info->threads_note;
    const std::size_t at = note.find(" cut to their first ");
    ASSERT_NE(at, std::string::npos) << note;
    const std::size_t cap = std::stoul(note.substr(at + 20));
    EXPECT_EQ(note, "1 cut to their first " + std::to_string(cap) + " frames to fit the report's size limit");
    EXPECT_LT(cap, 300u);

    const Crsh__CrashReport__Thread* crashed = crashtest::crashedThread(cut.get());
    const Crsh__CrashReport__Thread* crashedWhole = crashtest::crashedThread(whole.get());
    ASSERT_TRUE(crashed != nullptr && crashedWhole != nullptr);
    ASSERT_GT(crashed->n_frames, 2u);
    EXPECT_EQ(crashed->frames[crashed->n_frames - 1]->pc, crashedWhole->frames[crashedWhole->n_frames - 1]->pc);
    EXPECT_EQ(cut->n_threads, whole->n_threads);
    EXPECT_EQ(cut->n_binary_images, whole->n_binary_images);
    for (std::size_t i = 0; i < cut->n_threads; ++i) {
        if (hasSymbol(cut->threads[i], "waitDeep")) {
            EXPECT_EQ(cut->threads[i]->n_frames, cap) << i;
        } else if (!cut->threads[i]->crashed) {
            EXPECT_LT(cut->threads[i]->n_frames, cap) << i; // whole
        }
    }
}

} // namespace
