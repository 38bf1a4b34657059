// What the page's keychain costs for many items: 3,000 values of 4 KiB stored one after the other into an
// empty keychain (each a change made to last, as the plug-in's setForKey makes it), then each read back
// (getForKey's two queries). Baseline in the same run: 3,000 plain files of the same 4 KiB written
// atomically (flushed to disk) one after the other, the same bytes made to last the cheapest way. Prints
// the time of each run and the ratios; a keychain that rewrote the whole file at every change would grow
// with the square of the count.
#include "platform/AppFolders.h"
#include "platform/PrivateFile.h"
#include "plugins/HYBKeychainUtils.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace {

constexpr int kItems = 3000;
constexpr std::size_t kValueLength = 4096;
const std::string kService = "org.bench.keychain";

// The bench's own folder, removed at the end.
const fs::path& benchRoot() {
    static const fs::path root = [] {
        std::string pattern = (fs::temp_directory_path() / "keychain-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        return fs::path(pattern);
    }();
    return root;
}

// A new empty app home (and so a new keychain) in the bench's folder.
std::string freshHome() {
    static int homes = 0;
    const std::string home = (benchRoot() / ("home" + std::to_string(++homes))).string();
    platform::AppFolders folders(home, home + "/bundle");
    platform::AppFolders::install(folders);
    if (!folders.createFolders())
        std::abort();
    return home;
}

std::string valueFor(int i) {
    std::string value(kValueLength, 'a' + static_cast<char>(i % 26));
    const std::string tag = std::to_string(i);
    value.replace(0, tag.size(), tag);
    return value;
}

void storeAll() {
    for (int i = 0; i < kItems; ++i)
        if (!plugins::HYBKeychainUtils::storeUsername("key" + std::to_string(i), valueFor(i), kService, true))
            std::abort();
}

void BM_KeychainSets(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        freshHome();
        state.ResumeTiming();
        storeAll();
    }
}
BENCHMARK(BM_KeychainSets)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

void BM_KeychainGets(benchmark::State& state) {
    freshHome();
    storeAll();
    for (auto _ : state) {
        for (int i = 0; i < kItems; ++i) {
            auto value = plugins::HYBKeychainUtils::getPasswordForUsername("key" + std::to_string(i), kService);
            if (!value || !*value || (*value)->size() != kValueLength)
                std::abort();
        }
    }
}
BENCHMARK(BM_KeychainGets)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// The baseline: the same bytes, each in a file of its own written atomically.
void BM_PlainFileWrites(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const std::string folder = freshHome() + "/plain";
        state.ResumeTiming();
        for (int i = 0; i < kItems; ++i) {
            const std::string value = valueFor(i);
            if (!platform::PrivateFile::writeAtomically(folder + "/item" + std::to_string(i), platform::Bytes(value.begin(), value.end())))
                std::abort();
        }
    }
}
BENCHMARK(BM_PlainFileWrites)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto seconds = [&](const char* name) { return reporter.seconds(std::string(name) + "/iterations:1/real_time"); };
    const double sets = seconds("BM_KeychainSets"), gets = seconds("BM_KeychainGets"), plain = seconds("BM_PlainFileWrites");
    if (plain > 0)
        std::printf("%d items of %zu bytes: sets %.2f s (%.2f x the plain atomic writes of the same bytes, %.2f s), "
                    "gets %.3f s (%.3f x)\n",
                    kItems, kValueLength, sets, sets / plain, plain, gets, gets / plain);
    std::error_code ignored;
    fs::remove_all(benchRoot(), ignored);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
