// Property-list reading of a keychain-shaped binary list (N items of six attributes, ASCII keys; then the
// same with non-ASCII text, which is stored as UTF-16) against a bare libplist parse and walk of the same
// bytes (parse, every key and value handed out, free) in the same run. Prints the ratios.
#include "platform/formats/PropertyList.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <plist/plist.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string keychain(int items, bool nonASCII) {
    platform::Array list;
    for (int i = 0; i < items; ++i) {
        const std::string n = std::to_string(i);
        list.push_back(platform::Dictionary{
            {"acct", (nonASCII ? "compte-\xc3\xa9" : "account-") + n}, {"svce", "service"}, {"labl", "label " + n},
            {"v_Data", platform::Bytes{1, 2, 3, 4}}, {"cdat", platform::Date{1700000000.123456789 + i * 0.37}}, {"sync", false}});
    }
    return platform::PropertyList::write(platform::Dictionary{{"items", list}}, platform::PropertyList::Format::Binary).value();
}

void walk(plist_t node) {
    if (plist_get_node_type(node) == PLIST_ARRAY) {
        for (std::uint32_t i = 0, n = plist_array_get_size(node); i < n; ++i)
            walk(plist_array_get_item(node, i));
    } else if (plist_get_node_type(node) == PLIST_DICT) {
        plist_dict_iter iter = nullptr;
        plist_dict_new_iter(node, &iter);
        for (;;) {
            char* key = nullptr;
            plist_t child = nullptr;
            plist_dict_next_item(node, iter, &key, &child);
            std::free(key);
            if (!child)
                break;
            walk(child);
        }
        std::free(iter);
    } else if (plist_get_node_type(node) == PLIST_STRING) {
        std::uint64_t length = 0;
        benchmark::DoNotOptimize(plist_get_string_ptr(node, &length));
    }
}

void platformRead(benchmark::State& state) {
    const std::string bytes = keychain(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        auto value = platform::PropertyList::read(bytes);
        benchmark::DoNotOptimize(value);
    }
}

void bareLibplist(benchmark::State& state) {
    const std::string bytes = keychain(static_cast<int>(state.range(0)), state.range(1) != 0);
    for (auto _ : state) {
        plist_t root = nullptr;
        plist_from_bin(bytes.data(), static_cast<std::uint32_t>(bytes.size()), &root);
        walk(root);
        plist_free(root);
    }
}

BENCHMARK(platformRead)->Args({10, 0})->Args({1000, 0})->Args({1000, 1});
BENCHMARK(bareLibplist)->Args({10, 0})->Args({1000, 0})->Args({1000, 1});

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nProperty-list read against a bare libplist parse and walk (same bytes, same run):\n");
    for (const char* args : {"10/0", "1000/0", "1000/1"}) {
        if (auto ratio = reporter.ratio(std::string("platformRead/") + args, std::string("bareLibplist/") + args))
            std::printf("  %-7s (items/non-ASCII): %.1fx\n", args, *ratio);
    }
    benchmark::Shutdown();
    return reporter.exitStatus();
}
