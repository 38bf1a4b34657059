// Downloading a 64 MiB body from the loopback HTTP server: by a URL connection (delegate calls on the
// URL-loading thread, bytes counted) and by the curl command-line tool writing to /dev/null (the
// baseline), in the same run. Prints the ratio of their speeds (goal: at least 0.95).
#include "platform/URLConnection.h"
#include "support/HTTPTestServer.h"

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
double g_curlSeconds = 0;

void BM_URLConnectionDownload(benchmark::State& state) {
    std::string url = server().url("/big");
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        auto counter = std::make_shared<Counter>();
        auto connection = platform::URLConnection::make(platform::URLRequest(url), counter);
        if (counter->wait() != kBodySize)
            state.SkipWithError("short download");
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_connectionSeconds = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

void BM_CurlToolDownload(benchmark::State& state) {
    std::string command = "curl -s -o /dev/null " + server().url("/big");
    double total = 0;
    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (std::system(command.c_str()) != 0)
            state.SkipWithError("curl failed");
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    g_curlSeconds = total / static_cast<double>(state.iterations());
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

BENCHMARK(BM_CurlToolDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);
BENCHMARK(BM_URLConnectionDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12);
BENCHMARK(BM_CurlToolDownload)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(12)->Name("BM_CurlToolDownload/again");

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    if (g_connectionSeconds > 0 && g_curlSeconds > 0)
        std::printf("64 MiB loopback download: URLConnection %.1f ms, curl tool %.1f ms; speed ratio URLConnection/curl = %.2f "
                    "(goal >= 0.95)\n",
                    g_connectionSeconds * 1000, g_curlSeconds * 1000, g_curlSeconds / g_connectionSeconds);
    return 0;
}
