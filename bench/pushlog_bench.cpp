// Lines per second through the push client's logging framework into its rolling file logger, next to spdlog's
// file loggers writing the same lines in the same run (the baselines). Both format each line with a date,
// a tag, a flag letter and the source file name. Prints the ratios:
// - asynchronous calls against spdlog's asynchronous file logger (goal: at least 0.5);
// - synchronous calls against spdlog's synchronous file logger flushed after every line, which gives the
//   same promise (the line is in the file when the call returns; goal: at least 0.8). spdlog's synchronous
//   logger without that flush keeps lines in its stdio buffer; it is printed for reference.
#include "pushlog/PULSECustomFormatter.h"
#include "pushlog/PULSEFileLogger.h"
#include "pushlog/PULSELog.h"
#include "pushlog/PULSELogFileManagerDefault.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace pushlog;

namespace {

constexpr const char* kSourceFile = "ios-push-sdk/Lib/Network/Socket/PULSEUdpSocket.m";

fs::path benchFolder() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "pushlog-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        return fs::path(pattern);
    }();
    return folder;
}

// The push client's rolling file logger in a folder of its own, with the line formatter the client gives
// it; rolling by size is off so that both sides write one file.
std::shared_ptr<PULSEFileLogger> makeFileLogger(const std::string& folderName) {
    auto manager = std::make_shared<PULSELogFileManagerDefault>((benchFolder() / folderName).string());
    auto logger = std::make_shared<PULSEFileLogger>(manager);
    logger->setLogFormatter(std::make_shared<PULSECustomFormatter>(0));
    logger->setMaximumFileSize(0);
    return logger;
}

void BM_PushLogAsynchronous(benchmark::State& state) {
    auto logger = makeFileLogger("async");
    PULSELog::addLogger(logger, PULSELogLevelDebug);
    std::uint64_t i = 0;
    for (auto _ : state)
        PULSELog::log(true, 31, PULSELogFlagDebug, 0, kSourceFile, "-[PULSEUdpSocket send]", 120, platform::Value(),
                      "udp socket sent packet %llu of 64 bytes", static_cast<unsigned long long>(++i));
    PULSELog::flushLog();
    state.SetItemsProcessed(state.iterations());
    PULSELog::removeLogger(logger);
    PULSELog::flushLog();
}
BENCHMARK(BM_PushLogAsynchronous)->UseRealTime()->MinTime(1.0);

void BM_PushLogSynchronous(benchmark::State& state) {
    auto logger = makeFileLogger("sync");
    PULSELog::addLogger(logger, PULSELogLevelDebug);
    std::uint64_t i = 0;
    for (auto _ : state)
        PULSELog::log(false, 31, PULSELogFlagDebug, 0, kSourceFile, "-[PULSEUdpSocket send]", 120, platform::Value(),
                      "udp socket sent packet %llu of 64 bytes", static_cast<unsigned long long>(++i));
    state.SetItemsProcessed(state.iterations());
    PULSELog::removeLogger(logger);
    PULSELog::flushLog();
}
BENCHMARK(BM_PushLogSynchronous)->UseRealTime()->MinTime(1.0);

void BM_SpdlogAsyncFile(benchmark::State& state) {
    spdlog::init_thread_pool(8192, 1);
    auto logger = spdlog::basic_logger_mt<spdlog::async_factory>("bench", (benchFolder() / "spdlog.log").string(), true);
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e | PULSE | %L - [PULSEUdpSocket] %v");
    logger->set_level(spdlog::level::debug);
    std::uint64_t i = 0;
    for (auto _ : state)
        logger->debug("udp socket sent packet {} of 64 bytes", ++i);
    logger->flush();
    // The asynchronous flush is queued behind every line; dropping the logger waits for the pool.
    spdlog::drop("bench");
    logger.reset();
    spdlog::shutdown();
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SpdlogAsyncFile)->UseRealTime()->MinTime(1.0);

void spdlogSynchronous(benchmark::State& state, bool flushEachLine) {
    auto logger = spdlog::basic_logger_mt("bench-sync", (benchFolder() / "spdlog-sync.log").string(), true);
    logger->set_pattern("%Y-%m-%d %H:%M:%S.%e | PULSE | %L - [PULSEUdpSocket] %v");
    logger->set_level(spdlog::level::debug);
    if (flushEachLine)
        logger->flush_on(spdlog::level::debug);
    std::uint64_t i = 0;
    for (auto _ : state)
        logger->debug("udp socket sent packet {} of 64 bytes", ++i);
    logger->flush();
    spdlog::drop("bench-sync");
    state.SetItemsProcessed(state.iterations());
}

void BM_SpdlogSyncFileFlushedPerLine(benchmark::State& state) { spdlogSynchronous(state, true); }
BENCHMARK(BM_SpdlogSyncFileFlushedPerLine)->UseRealTime()->MinTime(1.0);

void BM_SpdlogSyncFileBuffered(benchmark::State& state) { spdlogSynchronous(state, false); }
BENCHMARK(BM_SpdlogSyncFileBuffered)->UseRealTime()->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto rate = [&](const char* name) {
        const double seconds = reporter.seconds(std::string(name) + "/min_time:1.000/real_time");
        return seconds > 0 ? 1 / seconds : 0;
    };
    const double async = rate("BM_PushLogAsynchronous");
    const double asyncBaseline = rate("BM_SpdlogAsyncFile");
    const double sync = rate("BM_PushLogSynchronous");
    const double syncBaseline = rate("BM_SpdlogSyncFileFlushedPerLine");
    const double syncBuffered = rate("BM_SpdlogSyncFileBuffered");
    if (async > 0 && asyncBaseline > 0)
        std::printf("asynchronous: push logging framework vs spdlog async file logger: ratio %.2f (goal >= 0.5); "
                    "%.0f vs %.0f lines/s\n",
                    async / asyncBaseline, async, asyncBaseline);
    if (sync > 0 && syncBaseline > 0 && syncBuffered > 0)
        std::printf("synchronous: push logging framework vs spdlog sync file logger flushed per line: ratio %.2f "
                    "(goal >= 0.8); %.0f vs %.0f lines/s; vs spdlog sync buffered (lines not yet in the file): "
                    "ratio %.2f, %.0f lines/s\n",
                    sync / syncBaseline, sync, syncBaseline, sync / syncBuffered, syncBuffered);
    std::error_code ignored;
    fs::remove_all(benchFolder(), ignored);
    return reporter.exitStatus();
}
