// Downloading a 64 MiB body from the loopback HTTP server: by a URL connection (delegate calls on the
// URL-loading thread, or posted to the main run loop as the hot-update download has them; bytes counted)
// and by the curl command-line tool writing to /dev/null (the baseline: its own reported transfer time,
// process start left out), in the same run. Prints the ratios of their speeds (goal: at least 0.95).
#include "platform/net/URLConnection.h"
#include "platform/runloop/RunLoop.h"
#include "support/HTTPTestServer.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>

namespace {

constexpr std::size_t kBodySize = 64u << 20;

testsupport::HTTPTestServer& server() {
    static testsupport::HTTPTestServer* s = [] {
        auto* server = new testsupport::HTTPTestServer;
        std::string body(kBodySize, '\0');
        for (std::size_t i = 0; i < body.size(); ++i)
            body[i] = static_cast<char>('a' + i % 23);
        testsupport::Reply reply;
        reply.body = std::make_shared<const std::string>(std::move(body));
        reply.headers.emplace_back("Content-Type", "application/octet-stream");
        server->route("/big", reply);
        return server;
    }();
    return *s;
}

class Counter final : public platform::URLConnectionDelegate {
public:
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override { m_bytes += data.size(); }
    void didFinishLoading(platform::URLConnection&) override { end(); }
    void didFailWithError(platform::URLConnection&, const platform::Error& error) override {
        std::fprintf(stderr, "download failed: %s\n", error.localizedDescription().c_str());
        end();
    }
    bool isDone() {
        std::lock_guard lock(m_mutex);
        return m_done;
    }
    std::size_t wait() {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_done; });
        return m_bytes;
    }

private:
    void end() {
        std::lock_guard lock(m_mutex);
        m_done = true;
        m_changed.notify_all();
    }
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::size_t m_bytes = 0;
    bool m_done = false;
};

double g_connectionSeconds = 0;
double g_mainLoopSeconds = 0;
double g_curlSeconds = 0;

void BM_URLConnectionDownload(benchmark::State& state) {
    std::string url = server().url("/big");
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto counter = std::make_shared<Counter>();
        auto connection = platform::URLConnection::make(platform::URLRequest(url), counter, false);
        connection->setDeliveryTarget(platform::URLConnection::onLoadingThread());
        connection->start();
        if (counter->wait() != kBodySize)
            state.SkipWithError("short download");
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_connectionSeconds = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

void BM_URLConnectionDownloadToMainRunLoop(benchmark::State& state) {
    std::string url = server().url("/big");
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto counter = std::make_shared<Counter>();
        auto connection = platform::URLConnection::make(platform::URLRequest(url), counter); // main thread: main run loop
        while (!counter->isDone())
            platform::RunLoop::main().runOnce(platform::seconds(1));
        if (counter->wait() != kBodySize)
            state.SkipWithError("short download");
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_mainLoopSeconds = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

// The curl tool's own transfer time (its "time_total", without starting the process) is the baseline.
void BM_CurlToolDownload(benchmark::State& state) {
    std::string command = "curl -s -o /dev/null -w '%{time_total}' " + server().url("/big");
    double total = 0;
    for (auto _ : state) {
        double seconds = 0;
        if (std::FILE* pipe = ::popen(command.c_str(), "r")) {
            if (std::fscanf(pipe, "%lf", &seconds) != 1)
                seconds = 0;
            if (::pclose(pipe) != 0)
                seconds = 0;
        }
        if (seconds <= 0) {
            state.SkipWithError("curl failed");
            break;
        }
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_curlSeconds = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

BENCHMARK(BM_CurlToolDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);
BENCHMARK(BM_URLConnectionDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);
BENCHMARK(BM_URLConnectionDownloadToMainRunLoop)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);
BENCHMARK(BM_CurlToolDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12)->Name("BM_CurlToolDownload/again");

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    if (g_connectionSeconds > 0 && g_mainLoopSeconds > 0 && g_curlSeconds > 0)
        std::printf("64 MiB loopback download: curl tool %.1f ms; URLConnection %.1f ms (ratio %.2f), delivering on the main run "
                    "loop %.1f ms (ratio %.2f); speed ratio = curl time / URLConnection time, goal >= 0.95\n",
                    g_curlSeconds * 1000, g_connectionSeconds * 1000, g_curlSeconds / g_connectionSeconds,
                    g_mainLoopSeconds * 1000, g_curlSeconds / g_mainLoopSeconds);
    return reporter.exitStatus();
}
