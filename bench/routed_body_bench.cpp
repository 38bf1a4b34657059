// A routed answer's body on its way to the engine: a 256 MiB loopback body (and a 64 KiB gzip body that
// decodes to 256 MiB) loaded by a URL connection whose calls come to the main context by idle sources of
// their own, appended to a StreamingBody, and read from it by asynchronous reads of 64 KiB on the main
// context, as the engine reads a routed answer. Two ways in the same run: the body written as it arrives
// (the route before back-pressure: the reader's lag piles up in the stream), and released only as the
// reader takes it (URLConnection::keepReceivedData, the route's way now). Prints each way's time and the
// most it held (bytes in the stream plus bytes the transport counts as held), and the ratios.
#include "platform/net/HTTPTransport.h"
#include "platform/net/URLConnection.h"
#include "support/Deflate.h"
#include "support/HTTPTestServer.h"
#include "webengine/StreamingBody.h"

#include "RatioReporter.h"

#include <benchmark/benchmark.h>
#include <gio/gio.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr std::size_t kBodySize = 256u << 20;

testsupport::HTTPTestServer& server()
{
    static testsupport::HTTPTestServer* s = [] {
        auto* server = new testsupport::HTTPTestServer;
        testsupport::Reply plain = testsupport::Reply::text(200, std::string(1 << 20, 'p'), "application/octet-stream");
        plain.bodyRepeat = kBodySize >> 20;
        server->route("/plain", plain);
        server->route("/gzip", testsupport::Reply::text(200, testsupport::gzippedZeros(kBodySize), "application/octet-stream")
                                   .withHeader("Content-Encoding", "gzip"));
        return server;
    }();
    return *s;
}

void onMain(std::function<void()> work)
{
    g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        (*static_cast<std::function<void()>*>(data))();
        return G_SOURCE_REMOVE;
    }, new std::function<void()>(std::move(work)), [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

// Writes what the connection delivers into a StreamingBody, which the reader below drains.
class ToStream final : public platform::URLConnectionDelegate {
public:
    explicit ToStream(GInputStream* body) : m_body(body) {}
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override
    {
        webengine::StreamingBody::append(m_body, data.data(), data.size());
        most = std::max(most, webengine::StreamingBody::bufferedSize(m_body) + platform::HTTPTransport::shared().heldBytes());
    }
    void didFinishLoading(platform::URLConnection&) override { webengine::StreamingBody::finish(m_body); }
    void didFailWithError(platform::URLConnection&, const platform::Error& error) override
    {
        webengine::StreamingBody::fail(m_body, error.localizedDescription());
    }
    std::size_t most = 0;

private:
    GInputStream* m_body;
};

struct Reader {
    GInputStream* body;
    std::vector<char> buffer = std::vector<char>(64 * 1024);
    std::size_t total = 0;
    bool done = false;
    void next()
    {
        g_input_stream_read_async(body, buffer.data(), buffer.size(), G_PRIORITY_DEFAULT, nullptr, [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* self = static_cast<Reader*>(data);
            const gssize n = g_input_stream_read_finish(G_INPUT_STREAM(source), result, nullptr);
            if (n <= 0) {
                self->done = true;
                return;
            }
            self->total += static_cast<std::size_t>(n);
            self->next();
        }, this);
    }
};

struct Outcome {
    double seconds = 0;
    std::size_t most = 0;
};

// One load of `path`, read as the engine reads; with `released`, the route's back-pressure.
Outcome load(const std::string& path, bool released)
{
    GInputStream* body = webengine::StreamingBody::create();
    auto writer = std::make_shared<ToStream>(body);
    const auto start = std::chrono::steady_clock::now();
    auto connection = platform::URLConnection::make(platform::URLRequest(server().url(path)), writer, false);
    connection->setDeliveryTarget(onMain);
    if (released) {
        connection->keepReceivedData();
        webengine::StreamingBody::setTakenHandler(body, [connection](std::size_t bytes) { connection->releaseReceivedData(bytes); });
    }
    connection->start();
    Reader reader{body};
    reader.next();
    while (!reader.done)
        g_main_context_iteration(nullptr, TRUE);
    Outcome outcome;
    outcome.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    outcome.most = writer->most;
    if (reader.total != kBodySize)
        std::fprintf(stderr, "%s: read %zu bytes\n", path.c_str(), reader.total);
    webengine::StreamingBody::setTakenHandler(body, nullptr);
    g_object_unref(body);
    return outcome;
}

std::map<std::string, Outcome> g_outcomes;

void BM_RoutedBody(benchmark::State& state, const std::string& path, bool released)
{
    Outcome sum;
    for (auto _ : state) {
        const Outcome outcome = load(path, released);
        state.SetIterationTime(outcome.seconds);
        sum.seconds += outcome.seconds;
        sum.most = std::max(sum.most, outcome.most);
    }
    sum.seconds /= static_cast<double>(state.iterations());
    g_outcomes[path + (released ? " released" : " written")] = sum;
    state.counters["most_held_MiB"] = static_cast<double>(sum.most) / (1 << 20);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBodySize));
}

BENCHMARK_CAPTURE(BM_RoutedBody, plain_written_as_it_arrives, std::string("/plain"), false)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK_CAPTURE(BM_RoutedBody, plain_released_as_read, std::string("/plain"), true)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK_CAPTURE(BM_RoutedBody, gzip_written_as_it_arrives, std::string("/gzip"), false)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);
BENCHMARK_CAPTURE(BM_RoutedBody, gzip_released_as_read, std::string("/gzip"), true)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(4);

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    bench::RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    for (const char* path : {"/plain", "/gzip"}) {
        const auto before = g_outcomes.find(std::string(path) + " written");
        const auto after = g_outcomes.find(std::string(path) + " released");
        if (before == g_outcomes.end() || after == g_outcomes.end() || after->second.seconds <= 0 || after->second.most == 0)
            continue;
        std::printf("256 MiB routed body %s: written as it arrives %.1f ms holding at most %.1f MiB; released as read %.1f ms holding "
                    "at most %.1f MiB; speed ratio (before time / after time) %.2f, memory ratio (before / after) %.1f\n",
                    path, before->second.seconds * 1000, static_cast<double>(before->second.most) / (1 << 20), after->second.seconds * 1000,
                    static_cast<double>(after->second.most) / (1 << 20), before->second.seconds / after->second.seconds,
                    static_cast<double>(before->second.most) / static_cast<double>(after->second.most));
    }
    return reporter.exitStatus();
}
