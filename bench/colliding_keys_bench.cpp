// Many keys with one hash value, on every road that reads or writes such keys from another application,
// against keys of the same sizes that share none (same run):
// - reading dictionaries of 32,768 keys (8 MB) whose keys the standard library's fixed string hash maps to
//   one value: as a binary and an XML property list, a JSON object, the messaging-app registry read and
//   written back at registration, and the message on the general pasteboard; and at those readers' size
//   bounds (a 16 MiB registry, a 24 MiB message of 65,536 keys);
// - writing 65,536 keys that djb2 maps to one value (the property-list library's writer finds repeated
//   strings by it), as a binary list and through the registry; and the library's own writer on 8,192 of
//   them, as it wrote every list before (its cost grows with the square of the keys);
// - values of one hash that equal nothing: a keyed archive's set of 131,072 references to one NaN real,
//   against as many distinct reals; and 100,000 keys in falling order made a keyed archive's dictionary,
//   against the same keys rising.
// Each road's colliding run should cost about its ordinary one, well under half a second.
#include "messenger/AppCommunicateData.h"
#include "messenger/MMApiRegister.h"
#include "messenger/MessengerApiUtil.h"
#include "platform/core/Log.h"
#include "platform/formats/ArchiveValue.h"
#include "platform/system/Device.h"
#include "platform/formats/KeyedArchiver.h"
#include "platform/formats/JSON.h"
#include "platform/system/Pasteboard.h"
#include "platform/formats/PropertyList.h"

#include "RatioReporter.h"
#include "support/HostilePropertyLists.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <limits>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace fs = std::filesystem;
using platform::PropertyList;

namespace {

constexpr std::size_t kReadKeys = 32768;
constexpr std::size_t kWriteKeys = 65536;
constexpr std::size_t kLibraryWriterKeys = 8192;

// Key lengths: 8 MB of keys, and the most that fits each reader's bound.
constexpr std::size_t kKeyLength = 240;
constexpr std::size_t kRegistryBoundKeyLength = 480;  // 32,768 keys: 16.1 MB of the registry's 16 MiB
constexpr std::size_t kMessageBoundKeyLength = 352;   // 65,536 keys: 24.1 MB of the message's 24 MiB

const std::vector<std::string>& colliding(std::size_t count, std::size_t length) {
    static std::map<std::pair<std::size_t, std::size_t>, std::vector<std::string>> made;
    auto& keys = made[{count, length}];
    if (keys.empty())
        keys = hybtest::stdHashCollidingKeys(count, length);
    return keys;
}

const std::vector<std::string>& keysOf(bool collide, std::size_t count, std::size_t length) {
    static std::map<std::pair<std::size_t, std::size_t>, std::vector<std::string>> made;
    if (collide)
        return colliding(count, length);
    auto& keys = made[{count, length}];
    if (keys.empty())
        keys = hybtest::ordinaryKeysLike(colliding(count, length));
    return keys;
}

const std::vector<std::string>& djb2Keys(bool collide, std::size_t count) {
    static std::map<std::pair<bool, std::size_t>, std::vector<std::string>> made;
    auto& keys = made[{collide, count}];
    if (keys.empty())
        keys = collide ? hybtest::djb2CollidingKeys(count) : hybtest::ordinaryKeysLike(hybtest::djb2CollidingKeys(count));
    return keys;
}

platform::Value dictionaryOf(const std::vector<std::string>& keys) {
    platform::Dictionary dictionary;
    for (const std::string& key : keys)
        dictionary.set(key, true);
    return platform::Value(std::move(dictionary));
}

// The pasteboards in a folder of the bench's own, and the system generation that reads the general one.
void preparePasteboards() {
    static const bool prepared = [] {
        const fs::path folder = fs::temp_directory_path() / "colliding-keys-bench-boards";
        fs::create_directories(folder);
        platform::Pasteboard::setStorageFolder(folder.string());
        platform::Device::current().setSystemVersion("9.0");
        messenger::MessengerApiUtil::resetForTesting();
        return true;
    }();
    (void)prepared;
}

void put(const std::string& board, const std::string& bytes) {
    auto pasteboard = board == "general" ? platform::Pasteboard::general() : platform::Pasteboard::withName(board, true);
    if (!pasteboard || !pasteboard->setData(platform::Bytes(bytes.begin(), bytes.end()), "content"))
        std::abort();
}

enum class Road { Binary, XML, JSON, Registry, Message };

struct Case {
    const char* name;
    Road road;
    bool collide;
    std::size_t keys;
    std::size_t keyLength;
};

const std::vector<Case>& cases() {
    static const std::vector<Case> all = {
        {"binary-8MB", Road::Binary, true, kReadKeys, kKeyLength},
        {"binary-8MB-ordinary", Road::Binary, false, kReadKeys, kKeyLength},
        {"xml-8MB", Road::XML, true, kReadKeys, kKeyLength},
        {"xml-8MB-ordinary", Road::XML, false, kReadKeys, kKeyLength},
        {"json-8MB", Road::JSON, true, kReadKeys, kKeyLength},
        {"json-8MB-ordinary", Road::JSON, false, kReadKeys, kKeyLength},
        {"registry-8MB", Road::Registry, true, kReadKeys, kKeyLength},
        {"registry-8MB-ordinary", Road::Registry, false, kReadKeys, kKeyLength},
        {"message-8MB", Road::Message, true, kReadKeys, kKeyLength},
        {"message-8MB-ordinary", Road::Message, false, kReadKeys, kKeyLength},
        {"registry-16MiB-bound", Road::Registry, true, kReadKeys, kRegistryBoundKeyLength},
        {"registry-16MiB-bound-ordinary", Road::Registry, false, kReadKeys, kRegistryBoundKeyLength},
        {"message-24MiB-bound", Road::Message, true, kWriteKeys, kMessageBoundKeyLength},
        {"message-24MiB-bound-ordinary", Road::Message, false, kWriteKeys, kMessageBoundKeyLength},
    };
    return all;
}

// One road's read of a dictionary of the case's keys (the registry's road writes it back too).
void readRoad(benchmark::State& state) {
    const Case& c = cases()[static_cast<std::size_t>(state.range(0))];
    const std::vector<std::string>& keys = keysOf(c.collide, c.keys, c.keyLength);
    const std::string bytes = c.road == Road::XML ? hybtest::xmlDictionaryOf(keys)
                            : c.road == Road::JSON ? hybtest::jsonObjectOf(keys)
                                                    : hybtest::binaryDictionaryOf(keys);
    state.SetLabel(std::string(c.name) + " " + std::to_string(bytes.size() / 1024) + " KB");
    preparePasteboards();
    for (auto _ : state) {
        state.PauseTiming();
        if (c.road == Road::Registry)
            put("messenger_register", bytes);
        if (c.road == Road::Message)
            put("general", bytes);
        state.ResumeTiming();
        std::size_t read = 0;
        switch (c.road) {
        case Road::Binary:
        case Road::XML: {
            auto value = PropertyList::read(bytes);
            read = value ? value->dictionaryOrEmpty().size() : 0;
            break;
        }
        case Road::JSON: {
            auto value = platform::JSON::parse(bytes);
            read = value ? value->dictionaryOrEmpty().size() : 0;
            break;
        }
        case Road::Registry: {
            // Read whole, then written back with the entry; or, at the bound, read whole and not written
            // back, as it would pass the bound it is read to (its text written as UTF-16 grows), which the
            // registration says in the log.
            bool pastTheBound = false;
            platform::Log::Hook previous = platform::Log::setCaptureHook([&pastTheBound](std::string_view line) {
                pastTheBound = pastTheBound || line.find("registry would pass the") != std::string_view::npos;
            });
            const bool entered = messenger::MMApiRegister::enterInRegistry("mxabc", std::nullopt);
            platform::Log::setCaptureHook(std::move(previous));
            if (!entered) {
                read = pastTheBound ? keys.size() : 0;
                break;
            }
            state.PauseTiming();
            auto registry = messenger::MMApiRegister::getRegisterDictionary(*platform::Pasteboard::withName("messenger_register", false));
            read = registry && registry->contains("mxabc") ? registry->size() - 1 : 0;
            state.ResumeTiming();
            break;
        }
        case Road::Message:
            // No message for this app id among them: the whole dictionary is read and dropped.
            benchmark::DoNotOptimize(messenger::AppCommunicate::appCommunicateDataForAppID("mxabc"));
            read = keys.size();
            break;
        }
        if (read != keys.size()) {
            state.SkipWithError((std::string(c.name) + ": not read whole").c_str());
            break;
        }
    }
}

// Writing a dictionary of 65,536 keys, as a binary list, and through the registry's road (read and written
// back); then the property-list library's writer on 8,192 (it wrote every list before).
void writeList(benchmark::State& state) {
    const bool collide = state.range(0) != 0;
    const platform::Value dictionary = dictionaryOf(djb2Keys(collide, kWriteKeys));
    for (auto _ : state) {
        auto bytes = PropertyList::write(dictionary, PropertyList::Format::Binary);
        if (!bytes) {
            state.SkipWithError("not written");
            break;
        }
        state.SetLabel(std::string(collide ? "djb2-colliding" : "ordinary") + " " + std::to_string(bytes->size() / 1024) + " KB");
    }
}

void writeRegistry(benchmark::State& state) {
    const bool collide = state.range(0) != 0;
    const std::string bytes = PropertyList::write(dictionaryOf(djb2Keys(collide, kWriteKeys)), PropertyList::Format::Binary).value();
    preparePasteboards();
    for (auto _ : state) {
        state.PauseTiming();
        put("messenger_register", bytes);
        state.ResumeTiming();
        if (!messenger::MMApiRegister::enterInRegistry("mxabc", std::nullopt)) {
            state.SkipWithError("not entered");
            break;
        }
    }
}

void libraryWriter(benchmark::State& state) {
    const bool collide = state.range(0) != 0;
    plist_t dictionary = plist_new_dict();
    for (const std::string& key : djb2Keys(collide, kLibraryWriterKeys))
        plist_dict_set_item(dictionary, key.c_str(), plist_new_bool(1));
    for (auto _ : state) {
        char* out = nullptr;
        std::uint32_t length = 0;
        plist_to_bin(dictionary, &out, &length);
        benchmark::DoNotOptimize(out);
        plist_to_bin_free(out);
    }
    plist_free(dictionary);
}

// A keyed archive's set of one NaN many times (all unequal, of one hash) or of distinct reals; a
// dictionary of keys in falling or rising order made an archive's.
void archiveRoad(benchmark::State& state) {
    constexpr std::size_t kReals = 131072, kKeys = 100000;
    const bool costly = state.range(0) % 2 == 0;
    if (state.range(0) < 2) {
        platform::Array reals;
        for (std::size_t i = 0; i < kReals; ++i)
            reals.push_back(platform::Value(costly ? std::numeric_limits<double>::quiet_NaN() : static_cast<double>(i) + 0.5));
        const platform::Value top(platform::Dictionary{{"$set", std::move(reals)}});
        const std::string bytes = PropertyList::write(platform::Value(platform::Dictionary{{"$archiver", "KeyedArchiver"}, {"$version", 1}, {"$top", top}}),
                                                      PropertyList::Format::Binary).value();
        state.SetLabel(std::string(costly ? "set-of-one-nan " : "set-of-distinct-reals ") + std::to_string(bytes.size() / 1024) + " KB");
        for (auto _ : state) {
            auto set = platform::KeyedUnarchiver::unarchive(platform::ByteSpan(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
            if (!set || !set->isSet() || set->getSet()->size() != kReals) {
                state.SkipWithError("not read whole");
                break;
            }
        }
        return;
    }
    platform::Dictionary keys;
    for (std::size_t i = 0; i < kKeys; ++i)
        keys.set("k" + std::to_string(costly ? 2 * kKeys - i : kKeys + i), static_cast<long long>(i));
    const platform::Value dictionary(std::move(keys));
    state.SetLabel(costly ? "falling-keys" : "rising-keys");
    for (auto _ : state)
        benchmark::DoNotOptimize(platform::ArchiveValue(dictionary));
}

} // namespace

BENCHMARK(readRoad)->DenseRange(0, 13)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(writeList)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(writeRegistry)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);
BENCHMARK(libraryWriter)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(1);
BENCHMARK(archiveRoad)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto seconds = [&](const std::string& name) { return reporter.seconds(name + "/iterations:2/real_time"); };
    std::printf("\nColliding keys against ordinary keys of the same sizes (same run):\n");
    for (std::size_t i = 0; i + 1 < cases().size(); i += 2) {
        const double hit = seconds("readRoad/" + std::to_string(i)), plain = seconds("readRoad/" + std::to_string(i + 1));
        if (plain > 0)
            std::printf("  %-24s %8.3f s against %8.3f s (%.1fx)\n", cases()[i].name, hit, plain, hit / plain);
    }
    for (const char* name : {"writeList", "writeRegistry"}) {
        const double hit = seconds(std::string(name) + "/1"), plain = seconds(std::string(name) + "/0");
        if (plain > 0)
            std::printf("  %-24s %8.3f s against %8.3f s (%.1fx), 65,536 djb2-colliding keys\n", name, hit, plain, hit / plain);
    }
    const double libraryHit = reporter.seconds("libraryWriter/1/iterations:1/real_time");
    const double libraryPlain = reporter.seconds("libraryWriter/0/iterations:1/real_time");
    if (libraryPlain > 0)
        std::printf("  %-24s %8.3f s against %8.3f s (%.1fx), the library's writer on 8,192 keys\n", "libraryWriter", libraryHit,
                    libraryPlain, libraryHit / libraryPlain);
    const char* archiveCases[] = {"set of one NaN (131,072)", "falling keys (100,000)"};
    for (int i = 0; i < 2; ++i) {
        const double hit = seconds("archiveRoad/" + std::to_string(2 * i)), plain = seconds("archiveRoad/" + std::to_string(2 * i + 1));
        if (plain > 0)
            std::printf("  %-24s %8.3f s against %8.3f s (%.1fx)\n", archiveCases[i], hit, plain, hit / plain);
    }
    std::error_code ignored;
    fs::remove_all(fs::temp_directory_path() / "colliding-keys-bench-boards", ignored);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
