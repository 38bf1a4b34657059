// The native path of page calls, in process: batch text -> parse -> dispatch to a plug-in action that
// answers at once -> callback script built and handed to the evaluation step (which finds no web view,
// so the page itself costs nothing). Batches of 1 and 100 commands, against a bare parse of the same
// batch text with the platform's JSON reader in the same run. Prints calls per second and the ratio.
// Both batches stay under the 4095-character limit, so they are parsed on the calling (main) thread.
// Then the batch reader alone: a batch of 100 that reads whole, against the same batch with one command
// cut inside a surrogate pair, which the reader takes entry by entry.
#include "platform/formats/JSON.h"
#include "platform/runloop/RunLoop.h"
#include "runtime/HYBCommandBatch.h"
#include "runtime/HYBCommandDelegateImpl.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBPlugin.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <optional>
#include <string>

namespace {

using namespace runtime;

// Answers every call with status OK and a short text, as a plug-in that does no work.
class NoOpPlugin : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;
    void getInfo(const HYBInvokedUrlCommand& command) {
        if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, "done"), command.callbackId());
        ++answered;
    }
    const HYBActionTable& actions() const override {
        static const HYBActionTable table = HYBActionTable::of<NoOpPlugin>({{"getInfo", &NoOpPlugin::getInfo}});
        return table;
    }
    long long answered = 0;
};

// A controller without a web view: the callback scripts are built but evaluated nowhere.
class BenchHost : public HYBCommandHost {
public:
    std::shared_ptr<platform::WebView> webView() const override { return nullptr; }
    std::shared_ptr<HYBCommandDelegate> commandDelegate() const override { return delegate.lock(); }
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view name) override {
        return name == "Device" ? plugin : nullptr;
    }
    platform::Dictionary settings() const override { return {}; }
    const HYBWhitelist* whitelist() const override { return nullptr; }
    std::string userAgent() override { return {}; }
    std::string wwwFolderName() const override { return "www"; }

    std::weak_ptr<HYBCommandDelegate> delegate;
    std::shared_ptr<NoOpPlugin> plugin;
};

std::string batch(int commands) {
    std::string text = "[";
    for (int i = 0; i < commands; ++i) {
        if (i)
            text += ',';
        text += "[\"D" + std::to_string(1000 + i) + "\",\"Device\",\"getInfo\",[\"model\"]]";
    }
    return text + "]";
}

void nativePath(benchmark::State& state) {
    const int commands = static_cast<int>(state.range(0));
    const std::string text = batch(commands);
    if (text.size() > HYBCommandQueue::kMainThreadParseLimit)
        state.SkipWithError("the batch would be parsed in the background");
    auto host = std::make_shared<BenchHost>();
    auto queue = std::make_shared<HYBCommandQueue>(host);
    auto delegate = std::make_shared<HYBCommandDelegateImpl>(host, queue);
    host->delegate = delegate;
    host->plugin = std::make_shared<NoOpPlugin>(nullptr);
    host->plugin->setCommandDelegate(delegate);
    for (auto _ : state) {
        queue->enqueueCommandBatch(text);
        queue->executePending();
    }
    if (host->plugin->answered != static_cast<long long>(state.iterations()) * commands || queue->pendingBatchCount() != 0)
        state.SkipWithError("not every command was answered in its pass");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * commands);
}

void bareParse(benchmark::State& state) {
    const int commands = static_cast<int>(state.range(0));
    const std::string text = batch(commands);
    for (auto _ : state) {
        auto value = platform::JSON::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * commands);
}

void readBatch(benchmark::State& state) {
    std::string text = batch(100);
    if (state.range(0) != 0)
        text.replace(text.find("\"model\""), 7, "\"model\\ud83d\"");
    for (auto _ : state) {
        auto entries = readCommandBatch(text);
        if (!entries || entries->size() != 100)
            state.SkipWithError("the batch did not read");
        benchmark::DoNotOptimize(entries);
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 100);
}

BENCHMARK(nativePath)->Arg(1)->Arg(100);
BENCHMARK(bareParse)->Arg(1)->Arg(100);
BENCHMARK(readBatch)->Arg(0)->Arg(1);

} // namespace

int main(int argc, char** argv) {
    if (!platform::RunLoop::isMainThread()) {
        std::fprintf(stderr, "bridge_bench must run on the main thread\n");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\nNative path of page calls against a bare parse of the same batch text (same run):\n");
    for (int n : {1, 100}) {
        auto ours = reporter.times().find("nativePath/" + std::to_string(n));
        auto bare = reporter.times().find("bareParse/" + std::to_string(n));
        if (ours == reporter.times().end() || bare == reporter.times().end() || ours->second <= 0)
            continue;
        const double oursCalls = n * 1e9 / ours->second, bareCalls = n * 1e9 / bare->second;
        std::printf("  batch of %3d: native path %.0f calls/s, bare parse %.0f calls/s, ratio %.2f\n", n, oursCalls,
                    bareCalls, oursCalls / bareCalls);
    }
    if (std::optional<double> ratio = reporter.ratio("readBatch/1", "readBatch/0"))
        std::printf("  batch of 100 with one lone surrogate, read entry by entry: %.2f times the whole batch's read\n", *ratio);
    benchmark::Shutdown();
    return reporter.exitStatus();
}
