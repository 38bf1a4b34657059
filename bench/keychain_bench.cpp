// What the page's keychain costs for many items: 3,000 values of 4 KiB stored one after the other into an
// empty keychain (each a change made to last, as the plug-in's setForKey makes it), then each read back
// (getForKey's two queries). Baseline in the same run: 3,000 plain files of the same 4 KiB written
// atomically (flushed to disk) one after the other, the same bytes made to last the cheapest way. Prints
// the time of each run and the ratios; a keychain that rewrote the whole file at every change would grow
// with the square of the count. And a keychain of 80,000 items: one change that rewrites every item (an
// update of all), and the changes of one item among them (an update, an add and its delete), which
// should cost what the item costs, not what the keychain holds.
#include "platform/files/AppFolders.h"
#include "platform/system/Keychain.h"
#include "platform/formats/PropertyList.h"
#include "platform/files/PrivateFile.h"
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

// A keychain file of `count` items, as the keychain writes them, made at once.
constexpr int kLargeItems = 80000;

platform::Dictionary largeItem(int i) {
    return platform::Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                                {platform::kSecAttrAccount, "account-" + std::to_string(i)},
                                {platform::kSecAttrService, kService},
                                {platform::kSecValueData, platform::Bytes(16, static_cast<std::uint8_t>(i))},
                                {platform::kSecAttrSynchronizable, false},
                                {platform::kSecAttrCreationDate, platform::Date{1700000000.0 + i}},
                                {platform::kSecAttrModificationDate, platform::Date{1700000000.0 + i}}};
}

std::string largeKeychain() {
    static const std::string path = [] {
        platform::Array items;
        items.reserve(kLargeItems);
        for (int i = 0; i < kLargeItems; ++i)
            items.push_back(largeItem(i));
        const std::string file = (benchRoot() / "large-keychain.plist").string();
        // Written as the keychain writes its file: with the bound of nodes it is read with.
        auto bytes = platform::PropertyList::write(platform::Dictionary{{"version", 1}, {"generation", 1}, {"items", std::move(items)}},
                                                   platform::PropertyList::Format::Binary, platform::Keychain::kFileExpansion);
        if (!bytes.ok() || !platform::PrivateFile::writeAtomically(file, *bytes).ok())
            std::abort();
        return file;
    }();
    return path;
}

platform::Keychain& large() {
    static platform::Keychain& keychain = [] () -> platform::Keychain& {
        auto* made = new platform::Keychain(largeKeychain());
        // Read once before any change is timed.
        const platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword}, {platform::kSecAttrAccount, "account-0"}};
        if (made->copyMatching(query, nullptr) != platform::errSecSuccess)
            std::abort();
        return *made;
    }();
    return keychain;
}

// One change of every item: its record holds them all, so the item file is written anew.
void BM_KeychainRewriteAll(benchmark::State& state) {
    large();
    int round = 0;
    for (auto _ : state) {
        const platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword}, {platform::kSecAttrService, kService}};
        if (large().update(query, {{platform::kSecValueData, platform::Bytes(16, static_cast<std::uint8_t>(++round))}}) != platform::errSecSuccess)
            std::abort();
    }
}
BENCHMARK(BM_KeychainRewriteAll)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);

// Changes of one item among 80,000.
void BM_KeychainUpdateOne(benchmark::State& state) {
    large();
    int i = 0;
    for (auto _ : state) {
        const platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword},
                                         {platform::kSecAttrAccount, "account-" + std::to_string(i * 997 % kLargeItems)},
                                         {platform::kSecAttrService, kService}};
        if (large().update(query, {{platform::kSecValueData, platform::Bytes(16, static_cast<std::uint8_t>(++i))}}) != platform::errSecSuccess)
            std::abort();
    }
}
BENCHMARK(BM_KeychainUpdateOne)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(40);

void BM_KeychainAddAndDeleteOne(benchmark::State& state) {
    large();
    for (auto _ : state) {
        platform::Dictionary item = largeItem(kLargeItems);
        item.remove(platform::kSecAttrCreationDate); // the keychain dates what it adds
        item.remove(platform::kSecAttrModificationDate);
        if (large().add(item) != platform::errSecSuccess)
            std::abort();
        const platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword},
                                         {platform::kSecAttrAccount, "account-" + std::to_string(kLargeItems)},
                                         {platform::kSecAttrService, kService}};
        if (large().deleteItems(query) != platform::errSecSuccess)
            std::abort();
    }
}
BENCHMARK(BM_KeychainAddAndDeleteOne)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(20);

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
    std::printf("%d items: a change of all %.3f s, an update of one %.2f ms, an add and delete of one %.2f ms\n", kLargeItems,
                reporter.seconds("BM_KeychainRewriteAll/iterations:1/real_time"),
                1000 * reporter.seconds("BM_KeychainUpdateOne/iterations:40/real_time"),
                1000 * reporter.seconds("BM_KeychainAddAndDeleteOne/iterations:20/real_time"));
    std::error_code ignored;
    fs::remove_all(benchRoot(), ignored);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
