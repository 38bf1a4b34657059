// JSON parse + compact write of command batches ([["Cache1","Cache","clear",[]], ...]) of 1, 10 and 1,000
// entries, against a bare simdjson DOM parse of the same text in the same run. Prints the ratio.
#include "platform/formats/JSON.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <simdjson.h>

#include <cstdio>
#include <map>
#include <string>

namespace {

std::string batch(int entries) {
    std::string text = "[";
    for (int i = 0; i < entries; ++i) {
        if (i)
            text += ',';
        text += "[\"Cache" + std::to_string(i) + "\",\"Cache\",\"clear\",[]]";
    }
    return text + "]";
}

void platformParseAndWrite(benchmark::State& state) {
    std::string text = batch(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        auto value = platform::JSON::parse(text);
        auto written = platform::JSON::writeCompact(value.value());
        benchmark::DoNotOptimize(written);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void bareSimdjsonParse(benchmark::State& state) {
    std::string text = batch(static_cast<int>(state.range(0)));
    simdjson::padded_string padded(text);
    simdjson::dom::parser parser;
    for (auto _ : state) {
        simdjson::dom::element root;
        auto error = parser.parse(padded).get(root);
        benchmark::DoNotOptimize(error);
        benchmark::DoNotOptimize(root);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

BENCHMARK(platformParseAndWrite)->Arg(1)->Arg(10)->Arg(1000);
BENCHMARK(bareSimdjsonParse)->Arg(1)->Arg(10)->Arg(1000);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nJSON parse + write against a bare simdjson parse (same text, same run):\n");
    for (int n : {1, 10, 1000}) {
        auto ours = reporter.times().find("platformParseAndWrite/" + std::to_string(n));
        auto bare = reporter.times().find("bareSimdjsonParse/" + std::to_string(n));
        if (ours == reporter.times().end() || bare == reporter.times().end() || bare->second <= 0)
            continue;
        std::printf("  %4d entries: %.1fx (%.0f ns against %.0f ns)\n", n, ours->second / bare->second, ours->second,
                    bare->second);
    }
    benchmark::Shutdown();
    return reporter.exitStatus();
}
