// Writing the crash report of a thread 64 calls deep, walked by each object's call-frame information and
// named from the objects' symbol tables, against baselines measured in the same run: the same report with
// no names looked up, and the report of a thread one call deep. Prints the ratios and the report's size.
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
    std::printf("\nA 64-frame crash report (call-frame information, names from the symbol tables):\n");
    if (auto ratio = reporter.ratio("writeCrashReport/64/1", "writeCrashReport/64/0"))
        std::printf("  against the same report without names:  %.2fx\n", *ratio);
    if (auto ratio = reporter.ratio("writeCrashReport/64/1", "writeCrashReport/1/1"))
        std::printf("  against a report of one frame:          %.2fx\n", *ratio);
    return 0;
}
