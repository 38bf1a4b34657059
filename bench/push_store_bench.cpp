// What one change of the push client's file stores costs: a set archives the whole table, enciphers it
// for the document store, and writes the file atomically (with its flush to disk). Baseline in the same
// run: the atomic write of the same number of bytes alone, so the ratio shows what the archive and the
// cipher add to the unavoidable write. Also the stored identity's synchronisation (ten sets in a row
// and two saves). Prints microseconds per change and the ratios.
#include "push/PULSEFileCacheController.h"
#include "push/PULSEUserDefaultsController.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/formats/KeyedArchiver.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>

namespace fs = std::filesystem;
using platform::ArchiveDictionary;
using platform::ArchiveValue;
using Store = push::PULSEFileCacheController;

namespace {

fs::path benchHome() {
    static const fs::path folder = [] {
        std::string pattern = (fs::temp_directory_path() / "push-store-bench-XXXXXX").string();
        if (!mkdtemp(pattern.data()))
            std::abort();
        platform::AppFolders folders(pattern, pattern + "/bundle");
        platform::AppFolders::install(folders);
        if (!folders.createFolders())
            std::abort();
        return fs::path(pattern);
    }();
    return folder;
}

// A table the size of a running client's cache store: identity, counters, the last page flow and
// location, and a crash log.
void fill(Store& store) {
    store.setObject(platform::Bytes(16, 0x11), "kUIDKey");
    store.setObject(platform::Bytes(32, 0x22), "kPasswordKey");
    store.setObject("1a0018970a8b4c2e", "kRegistrationId");
    store.setObject(std::string(64, 'f'), "kUploadedDeviceTokenKey");
    store.setObject("0123456789abcdef01234567", "APP_KEY");
    store.setObject(12345, "__PULSESessionID");
    store.setObject(3, "pulse_user_default_badge_number");
    store.setObject(std::string(2048, 'c'), "__PULSECrashLog");
    platform::ArchiveArray pages;
    for (int i = 0; i < 20; ++i)
        pages.push_back(ArchiveDictionary{{"page", "page" + std::to_string(i)}, {"duration", i * 3}, {"itime", 1700000000 + i}});
    store.setObject(ArchiveDictionary{{"pages", pages}}, "__PULSEPFLastFlow");
    store.setObject(ArchiveDictionary{{"lat", 31.2}, {"lng", 121.5}, {"itime", 1700000000}}, "__PULSELastLocation");
}

std::shared_ptr<Store> store(std::int64_t type) {
    benchHome();
    auto shared = type == 0 ? Store::startShareInstance("PULSEJSON", 0, false)
                            : Store::startShareInstance("PULSEDocument", 1, true);
    static bool filled[2] = {false, false};
    if (!filled[type]) {
        fill(*shared);
        filled[type] = true;
    }
    return shared;
}

void BM_CacheStoreSet(benchmark::State& state) {
    auto cache = store(0);
    std::int64_t rid = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(cache->setObject(++rid, "__PULSESessionID"));
}
BENCHMARK(BM_CacheStoreSet)->UseRealTime()->MinTime(1.0);

void BM_DocumentStoreSet(benchmark::State& state) {
    auto document = store(1);
    std::int64_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(document->setObject(++i, "counter"));
}
BENCHMARK(BM_DocumentStoreSet)->UseRealTime()->MinTime(1.0);

// The baseline: the atomic write of as many bytes as the cache store's file holds.
void BM_AtomicWriteAlone(benchmark::State& state) {
    auto cache = store(0);
    const platform::Bytes bytes = platform::KeyedArchiver::archivedData(ArchiveValue(cache->cacheObject())).value();
    const std::string path = (benchHome() / "baseline").string();
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::FileManager::defaultManager().writeAtomically(path, bytes).ok());
    state.counters["bytes"] = static_cast<double>(bytes.size());
}
BENCHMARK(BM_AtomicWriteAlone)->UseRealTime()->MinTime(1.0);

// The keyed archive of the cache store's table alone (no cipher, no write).
void BM_ArchiveAlone(benchmark::State& state) {
    auto cache = store(0);
    const ArchiveValue table(cache->cacheObject());
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::KeyedArchiver::archivedData(table).ok());
}
BENCHMARK(BM_ArchiveAlone)->UseRealTime()->MinTime(1.0);

void BM_IdentitySynchronize(benchmark::State& state) {
    store(1);
    store(0);
    push::PULSEUserDefaultsController identity("org.bench.app", "0123456789abcdef01234567");
    for (auto _ : state)
        benchmark::DoNotOptimize(identity.synchronize());
}
BENCHMARK(BM_IdentitySynchronize)->UseRealTime()->MinTime(1.0);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    auto microseconds = [&](const char* name) {
        return reporter.seconds(std::string(name) + "/min_time:1.000/real_time") * 1e6;
    };
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const double cache = microseconds("BM_CacheStoreSet");
    const double document = microseconds("BM_DocumentStoreSet");
    const double baseline = microseconds("BM_AtomicWriteAlone");
    const double identity = microseconds("BM_IdentitySynchronize");
    const double archive = microseconds("BM_ArchiveAlone");
    if (baseline > 0)
        std::printf("one set: cache store %.0f us (%.2f x the atomic write alone), document store %.0f us (%.2f x); "
                    "atomic write alone %.0f us; archive alone %.0f us; identity synchronize %.0f us (%.1f x)\n",
                    cache, cache / baseline, document, document / baseline, baseline, archive, identity,
                    identity / baseline);
    std::error_code ignored;
    fs::remove_all(benchHome(), ignored);
    return reporter.exitStatus();
}
