// Writing the crash report of a thread 64 calls deeper than the benchmark's own frames, walked by each
// object's call-frame information and named from the objects' symbol tables, against baselines measured in
// the same run: the same report with no names looked up, and the report of the thread without the 63 extra
// calls. Prints the ratios, the report's size and its number of frames.
#include "crashreporter/CRCrashReport.h"
#include "crashreporter/crsh_log_writer.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <sys/mman.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
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
    return 0;
}
