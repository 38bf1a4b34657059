// Writing the crash report of a thread 64 calls deeper than the benchmark's own frames, walked by each
// object's call-frame information and named from the objects' symbol tables, against baselines measured in
// the same run: the same report with no names looked up, and the report of the thread without the 63 extra
// calls. Prints the ratios, the report's size and its number of frames.
//
// Then the time from a fault to its report on disk, in a child process with 4 or 64 other threads waiting:
// the helper process stops and reads every thread, against the same crash reported by the crashed thread
// itself (no helper: the other threads bare).
#include "crashreporter/CRCrashReport.h"
#include "crashreporter/crsh_crash_callbacks.h"
#include "crashreporter/crsh_log_writer.h"
#include "crashreporter/crsh_thread_suspend.h"

#include "RatioReporter.h"
#include "support/PrivateEnvironment.h"

#include <benchmark/benchmark.h>

#include <pthread.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Context {
    crsh_log_writer* writer;
    crsh_image_list* images;
    int fd;
    std::uint64_t bytes;
    crsh_error_t result;
};

// The frames of the crashed thread in the report the file holds.
std::size_t framesOfTheReport(int fd, std::uint64_t bytes)
{
    platform::Bytes report(bytes);
    if (pread(fd, report.data(), report.size(), 0) != static_cast<ssize_t>(report.size()))
        return 0;
    platform::Result<CRCrashReport> decoded = CRCrashReport::initWithData(report);
    if (!decoded.ok())
        return 0;
    for (const CRCrashReportThreadInfo& thread : decoded.value().threads())
        if (thread.crashed())
            return thread.stackFrames().size();
    return 0;
}

crsh_error_t writeReport(crsh_thread_state* state, void* opaque)
{
    auto* context = static_cast<Context*>(opaque);
    if (ftruncate(context->fd, 0) != 0 || lseek(context->fd, 0, SEEK_SET) != 0)
        return CRSH_ERR_OUTPUT;
    crsh_async_file file;
    crsh_async_file_init(&file, context->fd, 0);
    const crsh_log_writer_signal_info signal{SIGSEGV, SEGV_MAPERR, 0, nullptr};
    context->result = crsh_log_writer_write(context->writer, crsh_async_mach_thread_self(), context->images, &file,
                                            &signal, state);
    if (!crsh_async_file_flush(&file))
        context->result = CRSH_ERR_OUTPUT;
    context->bytes = static_cast<std::uint64_t>(lseek(context->fd, 0, SEEK_END));
    return context->result;
}

// depth calls, then the report of this thread from the innermost one.
extern "C" __attribute__((noinline)) crsh_error_t descendThenWrite(int depth, Context* context)
{
    if (depth <= 1)
        return crsh_async_thread_state_current(writeReport, context);
    const crsh_error_t result = descendThenWrite(depth - 1, context);
    asm volatile("" ::: "memory"); // keeps the call from becoming a jump
    return result;
}

crsh_image_list* loadedObjects()
{
    static crsh_image_list* list = [] {
        auto* made = new crsh_image_list{};
        (void)crsh_image_list_init(made, getpid());
        (void)crsh_image_list_append_loaded_objects(made);
        return made;
    }();
    return list;
}

// range(0): the thread's depth; range(1): the symbolication strategy.
void writeCrashReport(benchmark::State& state)
{
    crsh_log_writer writer;
    (void)crsh_log_writer_init(&writer, "com.example.bench", "1", static_cast<std::uint32_t>(state.range(1)), false);
    Context context{&writer, loadedObjects(), memfd_create("crash-report", 0), 0, CRSH_ERR_NONE};
    for (auto _ : state) {
        if (descendThenWrite(static_cast<int>(state.range(0)), &context) != CRSH_ERR_NONE) {
            state.SkipWithError("the report was not written");
            break;
        }
    }
    state.counters["report_bytes"] = static_cast<double>(context.bytes);
    state.counters["frames"] = static_cast<double>(framesOfTheReport(context.fd, context.bytes));
    close(context.fd);
    crsh_log_writer_free(&writer);
}

BENCHMARK(writeCrashReport)->Args({64, 1})->Args({64, 0})->Args({1, 1})->Unit(benchmark::kMillisecond);

// ---- From the fault to the report on disk ----

// Shared with the crashing child: when it faulted, when its report was on disk.
struct CrashTimes {
    std::uint64_t fault_ns;
    std::uint64_t written_ns;
};
CrashTimes* g_times = nullptr;

void reportWritten(siginfo_t*, ucontext_t*, void*)
{
    g_times->written_ns = crsh_async_clock_ns();
}

std::atomic<int> g_waiting{0};

extern "C" __attribute__((noinline)) void* waitInBench(void*)
{
    g_waiting.fetch_add(1);
    for (;;)
        pause();
}

// In the child: the reporter's crash handling as enabling installs it, in the child itself (a child forked
// from a process that enabled it writes no report), then `threads` waiting threads, then a fault. Does
// not return.
[[noreturn]] void crashWithThreads(const std::string& reportPath, int threads, bool helper)
{
    crsh_handler_context* context = crsh_shared_handler_context();
    context->process = getpid();
    context->report_path = strdup(reportPath.c_str());
    (void)crsh_log_writer_init(&context->writer, "com.example.bench", "1", 1, false);
    if (helper && crsh_report_helper_prepare(&context->helper) != CRSH_ERR_NONE)
        _exit(3);
    (void)crsh_shared_image_list();
    crsh_set_crash_callbacks(nullptr, reportWritten);
    if (!CRCrashSignalHandler::sharedHandler()->registerHandlerForSignal(SIGSEGV, signal_handler_callback, context).ok())
        _exit(4);
    for (int i = 0; i < threads; ++i) {
        pthread_t thread;
        if (pthread_create(&thread, nullptr, waitInBench, nullptr) != 0)
            _exit(5);
    }
    while (g_waiting.load() < threads)
        usleep(100);
    usleep(5000); // each into its wait
    g_times->fault_ns = crsh_async_clock_ns();
    volatile int* volatile nowhere = nullptr; // read at run time: the compiler makes no trap of it
    *nowhere = 1;
    _exit(6);
}

// range(0): the other threads; range(1): 1 with the helper, 0 written by the crashed thread.
void crashToReport(benchmark::State& state)
{
    g_times = static_cast<CrashTimes*>(
        mmap(nullptr, sizeof(CrashTimes), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    const std::string folder = hybtest::makeTemporaryFolder("crash-bench");
    if (g_times == MAP_FAILED || folder.empty()) {
        state.SkipWithError("no shared page or folder");
        return;
    }
    const std::string reportPath = folder + "/live_report.crshlog";
    std::size_t bytes = 0;
    for (auto _ : state) {
        *g_times = {};
        const pid_t child = fork();
        if (child == 0)
            crashWithThreads(reportPath, static_cast<int>(state.range(0)), state.range(1) != 0);
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFSIGNALED(status) || WTERMSIG(status) != SIGSEGV || g_times->written_ns < g_times->fault_ns ||
            g_times->fault_ns == 0) {
            state.SkipWithError("the crash left no report");
            break;
        }
        state.SetIterationTime(static_cast<double>(g_times->written_ns - g_times->fault_ns) / 1e9);
        struct stat file {};
        bytes = stat(reportPath.c_str(), &file) == 0 ? static_cast<std::size_t>(file.st_size) : 0;
        // Gone before the next crash, which would otherwise keep this one and wait beside it.
        unlink(reportPath.c_str());
    }
    state.counters["report_bytes"] = static_cast<double>(bytes);
    unlink(reportPath.c_str());
    rmdir(folder.c_str());
    munmap(g_times, sizeof(CrashTimes));
}

BENCHMARK(crashToReport)
    ->Args({4, 1})
    ->Args({64, 1})
    ->Args({4, 0})
    ->Args({64, 0})
    ->Iterations(20)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nA crash report 63 calls deeper (call-frame information, names from the symbol tables):\n");
    if (auto ratio = reporter.ratio("writeCrashReport/64/1", "writeCrashReport/64/0"))
        std::printf("  against the same report without names:        %.2fx\n", *ratio);
    if (auto ratio = reporter.ratio("writeCrashReport/64/1", "writeCrashReport/1/1"))
        std::printf("  against the report without the extra calls:   %.2fx\n", *ratio);
    const auto crash = [](int threads, int helper) {
        return "crashToReport/" + std::to_string(threads) + "/" + std::to_string(helper) + "/iterations:20/manual_time";
    };
    std::printf("\nFrom the fault to the report on disk, every thread stopped and read by the helper:\n");
    for (int threads : {4, 64}) {
        std::printf("  %2d other threads: %.2f ms", threads, reporter.seconds(crash(threads, 1)) * 1e3);
        if (auto ratio = reporter.ratio(crash(threads, 1), crash(threads, 0)))
            std::printf(", %.2fx the report written by the crashed thread (others bare)", *ratio);
        std::printf("\n");
    }
    if (auto ratio = reporter.ratio(crash(64, 1), crash(4, 1)))
        std::printf("  64 threads against 4: %.2fx\n", *ratio);
    return reporter.exitStatus();
}
