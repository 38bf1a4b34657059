#include "platform/files/BoundStreamPair.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoopThread.h"
#include "support/ClosedPort.h"
#include "support/EventWait.h"
#include "support/HTTPTestServer.h"
#include "support/KeptAlive.h"
#include "support/RunLoopWait.h"
#include "support/SelfProcess.h"
#include "support/URLLoadRecorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <limits>
#include <vector>
#include <thread>
#include <mutex>
#include <zlib.h>
#include <brotli/encode.h>

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace platform;
using testsupport::HTTPTestServer;
using testsupport::Reply;
using testsupport::URLLoadRecorder;

namespace {

struct Load {
    std::shared_ptr<URLLoadRecorder> recorder;
    std::shared_ptr<URLConnection> connection;
};

Load startLoad(const URLRequest& request, URLLoadRecorder::TrustAnswer trust = URLLoadRecorder::TrustAnswer::Default) {
    auto recorder = std::make_shared<URLLoadRecorder>(trust);
    return {recorder, URLConnection::make(request, recorder)};
}

std::string gzipped(const std::string& text) {
    z_stream z{};
    deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    std::string out(compressBound(text.size()) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// Delegate calls go wherever the delivery target puts them; this one queues them for the test's thread.
class ManualQueue {
public:
    URLConnection::DeliveryTarget target() {
        return [this](std::function<void()> work) {
            std::lock_guard lock(m_mutex);
            m_work.push_back(std::move(work));
            m_changed.notify_all();
        };
    }
    // Runs queued work on the calling thread until `done` says so; false on time-out.
    bool runUntil(const std::function<bool()>& done, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (!done()) {
            std::unique_lock lock(m_mutex);
            if (!m_changed.wait_until(lock, deadline, [&] { return !m_work.empty(); }))
                return false;
            auto work = std::move(m_work.front());
            m_work.pop_front();
            lock.unlock();
            work();
        }
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<std::function<void()>> m_work;
};

} // namespace

TEST(URLConnection, GetWithQueryDeliversResponseDataThenFinish) {
    HTTPTestServer server;
    server.route("/items", Reply::text(200, "hello", "text/plain; charset=utf-8"));
    auto load = startLoad(URLRequest(server.url("/items?a=1&b=two%20words")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());

    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/items");
    EXPECT_EQ(requests[0].query, "a=1&b=two%20words");
    auto response = load.recorder->response();
    ASSERT_TRUE(response);
    EXPECT_TRUE(response->isHTTP());
    EXPECT_EQ(response->statusCode(), 200);
    EXPECT_EQ(response->expectedContentLength(), 5);
    EXPECT_EQ(response->mimeType(), "text/plain");
    EXPECT_EQ(response->textEncodingName(), "utf-8");
    EXPECT_EQ(load.recorder->body(), "hello");
    auto events = load.recorder->events();
    EXPECT_EQ(events.front(), "response");
    EXPECT_EQ(events.back(), "finish");
    EXPECT_TRUE(load.connection->isFinished());
}

TEST(URLConnection, ABodySourceRunsOnlyForALoadThatGoesOutOverHTTP) {
    HTTPTestServer server;
    server.routeEcho("/upload");
    std::atomic<int> asked{0};
    // The source answers from a thread of its own, as a body found on another thread does.
    auto source = [&asked](std::function<void(URLRequest::FoundBody)> ready) {
        ++asked;
        std::thread([ready = std::move(ready)] { ready({platform::Bytes{'f', 'o', 'u', 'n', 'd'}, nullptr}); }).detach();
    };
    URLRequest post(server.url("/upload"));
    post.setHTTPMethod("POST");
    post.setHTTPBodySource(source);
    auto load = startLoad(post);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0].body, "found");
    EXPECT_FALSE(server.requests()[0].header("Content-Type")) << "a body of no type goes with none: " << server.requests()[0].header("Content-Type").value_or("");
    EXPECT_EQ(load.recorder->body(), "found");
    EXPECT_EQ(asked, 1);

    // A stream found with its length goes out with that length, not in chunks.
    auto [input, output] = BoundStreamPair::make();
    URLRequest streamed(server.url("/upload"));
    streamed.setHTTPMethod("PUT");
    streamed.setHTTPBodySource([input = input](std::function<void(URLRequest::FoundBody)> ready) { ready({std::nullopt, input, 5}); });
    auto streamedLoad = startLoad(streamed);
    ASSERT_TRUE(output->open());
    ASSERT_EQ(output->write(reinterpret_cast<const std::uint8_t*>("found"), 5), 5);
    output->close();
    ASSERT_TRUE(streamedLoad.recorder->waitUntilEnded());
    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_EQ(server.requests()[1].body, "found");
    EXPECT_EQ(server.requests()[1].header("Content-Length"), "5");
    EXPECT_FALSE(server.requests()[1].header("Transfer-Encoding"));

    // A file, or a scheme nothing loads, takes no body: its source is never asked.
    for (const std::string url : {"file:///nonexistent/for/the/test", "unknown://host/path"}) {
        URLRequest other(url);
        other.setHTTPMethod("POST");
        other.setHTTPBodySource(source);
        auto failing = startLoad(other);
        ASSERT_TRUE(failing.recorder->waitUntilEnded()) << url;
        EXPECT_TRUE(failing.recorder->error()) << url;
    }
    EXPECT_EQ(asked, 1);
}

TEST(URLConnection, PostMultipartSendsBodyAndReportsUploadProgress) {
    HTTPTestServer server;
    server.routeEcho("/upload");
    std::string boundary = "+++++test.boundary";
    std::string body = "--" + boundary + "\r\nContent-Disposition: form-data; name=\"field\"\r\n\r\nvalue\r\n--" + boundary +
                       "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"a.bin\"\r\nContent-Type: "
                       "application/octet-stream\r\n\r\n" +
                       std::string(200000, 'x') + "\r\n--" + boundary + "--\r\n";
    URLRequest request(server.url("/upload"));
    request.setHTTPMethod("POST");
    ASSERT_TRUE(request.setValue("multipart/form-data; boundary=" + boundary, "Content-Type"));
    request.setHTTPBody(std::string_view(body));
    auto load = startLoad(request);
    ASSERT_TRUE(load.recorder->waitUntilEnded());

    auto recorded = server.requests().at(0);
    EXPECT_EQ(recorded.method, "POST");
    EXPECT_EQ(recorded.body, body);
    EXPECT_EQ(recorded.header("Content-Length"), std::to_string(body.size()));
    EXPECT_EQ(recorded.header("Content-Type"), "multipart/form-data; boundary=" + boundary);
    EXPECT_EQ(load.recorder->body(), body);
    auto totals = load.recorder->totalsSent();
    ASSERT_FALSE(totals.empty());
    EXPECT_TRUE(std::is_sorted(totals.begin(), totals.end()));
    EXPECT_EQ(totals.back(), static_cast<std::int64_t>(body.size()));
    EXPECT_EQ(load.recorder->expectedToSend(), static_cast<std::int64_t>(body.size()));
}

TEST(URLConnection, StreamedUploadThroughBoundPairGoesChunked) {
    HTTPTestServer server;
    server.routeEcho("/echo");
    auto [input, output] = BoundStreamPair::make();
    URLRequest request(server.url("/echo"));
    request.setHTTPMethod("PUT");
    request.setHTTPBodyStream(input);
    auto load = startLoad(request);

    std::string payload;
    for (int i = 0; i < 20000; ++i)
        payload += std::to_string(i) + ",";
    std::thread writer([&, output = output] {
        ASSERT_TRUE(output->open());
        const auto* data = reinterpret_cast<const std::uint8_t*>(payload.data());
        for (std::size_t done = 0; done < payload.size();) {
            long n = output->write(data + done, std::min<std::size_t>(5000, payload.size() - done));
            ASSERT_GT(n, 0);
            done += static_cast<std::size_t>(n);
        }
        output->close();
    });
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    writer.join();
    auto recorded = server.requests().at(0);
    EXPECT_EQ(recorded.method, "PUT");
    EXPECT_EQ(recorded.header("Transfer-Encoding"), "chunked");
    EXPECT_EQ(recorded.body, payload);
    EXPECT_EQ(load.recorder->body(), payload);
}

TEST(URLConnection, AStreamedBodyOfANamedLengthGoesOutWholeOrTheLoadFails) {
    // A stream that ends short of its "Content-Length", or goes past it: the load fails as such, and no server
    // takes a cut body for the whole one.
    HTTPTestServer server;
    server.routeEcho("/echo");
    for (const std::size_t written : {std::size_t{40000}, std::size_t{50000}, std::size_t{60000}}) {
        SCOPED_TRACE(written);
        auto [input, output] = BoundStreamPair::make();
        URLRequest request(server.url("/echo"));
        request.setHTTPMethod("POST");
        request.setHTTPBodyStream(input);
        ASSERT_TRUE(request.setValue("50000", "Content-Length").ok());
        auto load = startLoad(request);
        std::thread writer([&, output = output] {
            ASSERT_TRUE(output->open());
            const std::string payload(written, 'p');
            const auto* data = reinterpret_cast<const std::uint8_t*>(payload.data());
            for (std::size_t done = 0; done < payload.size();) {
                long n = output->write(data + done, payload.size() - done);
                if (n <= 0)
                    break;
                done += static_cast<std::size_t>(n);
            }
            output->close();
        });
        ASSERT_TRUE(load.recorder->waitUntilEnded());
        writer.join();
        if (written == 50000) {
            EXPECT_TRUE(load.recorder->finished());
            EXPECT_EQ(load.recorder->body(), std::string(50000, 'p'));
            continue;
        }
        ASSERT_TRUE(load.recorder->error());
        EXPECT_EQ(load.recorder->error()->code, kURLErrorRequestBodyStreamExhausted) << load.recorder->error()->localizedDescription();
        for (const auto& recorded : server.requests())
            EXPECT_EQ(recorded.body.size(), 50000u) << "a server got a cut body as a request";
    }
}

TEST(URLConnection, HeadGivesHeadersAndNoBody) {
    HTTPTestServer server;
    server.route("/file", Reply::text(200, std::string(1234, 'z')));
    URLRequest request(server.url("/file"));
    request.setHTTPMethod("HEAD");
    auto load = startLoad(request);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_EQ(server.requests().at(0).method, "HEAD");
    EXPECT_EQ(load.recorder->response()->expectedContentLength(), 1234);
    EXPECT_EQ(load.recorder->events(), (std::vector<std::string>{"response", "finish"}));
}

TEST(URLConnection, ErrorStatusesAreResponsesNotFailures) {
    HTTPTestServer server;
    server.route("/gone", Reply::text(404, "missing page"));
    server.route("/broken", Reply::text(500, "oops"));
    server.route("/same", Reply::text(304, ""));
    for (auto [path, status, body] : {std::tuple{"/gone", 404, "missing page"}, {"/broken", 500, "oops"}, {"/same", 304, ""}}) {
        auto load = startLoad(URLRequest(server.url(path)));
        ASSERT_TRUE(load.recorder->waitUntilEnded()) << path;
        EXPECT_TRUE(load.recorder->finished()) << path;
        EXPECT_FALSE(load.recorder->error()) << path;
        EXPECT_EQ(load.recorder->response()->statusCode(), status);
        EXPECT_EQ(load.recorder->body(), body);
    }
}

TEST(URLConnection, ChunkedAndLengthlessBodiesArriveWhole) {
    HTTPTestServer server;
    std::string text(100000, 'c');
    Reply chunked = Reply::text(200, text).withFraming(Reply::Framing::Chunked);
    chunked.pieceSize = 7000;
    server.route("/chunked", chunked);
    server.route("/lengthless", Reply::text(200, text).withFraming(Reply::Framing::UntilClose));
    for (const char* path : {"/chunked", "/lengthless"}) {
        auto load = startLoad(URLRequest(server.url(path)));
        ASSERT_TRUE(load.recorder->waitUntilEnded()) << path;
        EXPECT_TRUE(load.recorder->finished()) << path;
        EXPECT_EQ(load.recorder->response()->expectedContentLength(), -1) << path;
        EXPECT_EQ(load.recorder->body(), text) << path;
    }
}

TEST(URLConnection, GzipBodiesAreDecoded) {
    HTTPTestServer server;
    std::string text;
    for (int i = 0; i < 5000; ++i)
        text += "line " + std::to_string(i) + "\n";
    server.route("/z", Reply::text(200, gzipped(text)).withHeader("Content-Encoding", "gzip"));
    auto load = startLoad(URLRequest(server.url("/z")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_EQ(load.recorder->body(), text);
    EXPECT_EQ(load.recorder->response()->expectedContentLength(), -1);
    EXPECT_NE(server.requests().at(0).header("Accept-Encoding").value_or("").find("gzip"), std::string::npos);
}

TEST(URLConnection, BodiesWithCodingsTheLoaderDoesNotKnowArriveAsSent) {
    HTTPTestServer server;
    const std::string raw("\x01\x8b\x00private", 10);
    server.route("/rc4", Reply::text(200, raw).withHeader("Content-Encoding", "rc4"));
    server.route("/stack", Reply::text(200, raw).withHeader("Content-Encoding", "rc4, gzip"));
    server.route("/x", Reply::text(200, gzipped("plain")).withHeader("Content-Encoding", "X-GZIP"));
    for (const char* path : {"/rc4", "/stack"}) {
        SCOPED_TRACE(path);
        auto reply = URLConnection::sendSynchronousRequest(URLRequest(server.url(path)));
        ASSERT_TRUE(reply.ok());
        EXPECT_EQ(std::string(reply->data.begin(), reply->data.end()), raw);
        EXPECT_EQ(reply->response.allHeaderFields().value("Content-Encoding").value_or(""), path == std::string("/rc4") ? "rc4" : "rc4, gzip");
    }
    // Known codings are still decoded on the same transport afterwards.
    auto decoded = URLConnection::sendSynchronousRequest(URLRequest(server.url("/x")));
    ASSERT_TRUE(decoded.ok());
    EXPECT_EQ(std::string(decoded->data.begin(), decoded->data.end()), "plain");
}

// A reader that keeps what it receives (as the web engine's body stream does) and takes it only when told:
// notes the most it ever held, and whether the load ended.
class SlowReader final : public URLConnectionDelegate {
public:
    void didReceiveData(URLConnection&, const Bytes& data) override {
        std::lock_guard lock(m_mutex);
        m_received += data.size();
        m_mostHeld = std::max(m_mostHeld, m_received - m_released);
        m_digest = crc32(m_digest, data.data(), static_cast<uInt>(data.size()));
    }
    void didFinishLoading(URLConnection&) override { end(std::nullopt); }
    void didFailWithError(URLConnection&, const Error& error) override { end(error); }

    // Takes everything received so far.
    void takeAll(URLConnection& connection) {
        std::size_t taken = 0;
        {
            std::lock_guard lock(m_mutex);
            taken = m_received - m_released;
            m_released = m_received;
        }
        connection.releaseReceivedData(taken);
    }
    // `condition` may read the reader (it is called without the reader's lock held).
    bool waitFor(const std::function<bool()>& condition) { return hybtest::pollUntil(condition, std::chrono::seconds(2)); }
    std::size_t received() { std::lock_guard lock(m_mutex); return m_received; }
    std::size_t mostHeld() { std::lock_guard lock(m_mutex); return m_mostHeld; }
    uLong digest() { std::lock_guard lock(m_mutex); return m_digest; }
    bool ended() { std::lock_guard lock(m_mutex); return m_ended; }
    std::optional<Error> error() { std::lock_guard lock(m_mutex); return m_error; }
private:
    void end(std::optional<Error> error) {
        std::lock_guard lock(m_mutex);
        m_ended = true;
        m_error = std::move(error);
    }
    std::mutex m_mutex;
    std::size_t m_received = 0;
    std::size_t m_released = 0;
    std::size_t m_mostHeld = 0;
    uLong m_digest = crc32(0, nullptr, 0);
    bool m_ended = false;
    std::optional<Error> m_error;
};

// `text` coded br with a window of 2^lgwin bytes, as a server that sends it unasked might.
std::string brotlied(const std::string& text, int lgwin) {
    BrotliEncoderState* encoder = BrotliEncoderCreateInstance(nullptr, nullptr, nullptr);
    BrotliEncoderSetParameter(encoder, BROTLI_PARAM_QUALITY, 4);
    BrotliEncoderSetParameter(encoder, BROTLI_PARAM_LGWIN, static_cast<std::uint32_t>(lgwin));
    std::string out;
    std::size_t availableIn = text.size();
    const auto* nextIn = reinterpret_cast<const std::uint8_t*>(text.data());
    std::uint8_t buffer[1 << 16];
    do {
        std::size_t availableOut = sizeof buffer;
        std::uint8_t* nextOut = buffer;
        BrotliEncoderCompressStream(encoder, BROTLI_OPERATION_FINISH, &availableIn, &nextIn, &availableOut, &nextOut, nullptr);
        out.append(reinterpret_cast<const char*>(buffer), sizeof buffer - availableOut);
    } while (!BrotliEncoderIsFinished(encoder));
    BrotliEncoderDestroyInstance(encoder);
    return out;
}

// Serves "stepped:" URLs: 48 MiB of 'z' in steps, each once the reader has room, as the application's
// protocols answer a body of any size.
class SteppedProtocol final : public URLProtocol {
public:
    using URLProtocol::URLProtocol;
    static bool canInitWithRequest(const URLRequest& request) { return request.scheme() == "stepped"; }
    void startLoading() override {
        client()->didReceiveResponse(*this, URLResponse(request().url(), "application/octet-stream", kSize), URLCacheStoragePolicy::NotAllowed);
        step(std::static_pointer_cast<SteppedProtocol>(shared_from_this()), 0);
    }
    void stopLoading() override {}
    static constexpr std::size_t kSize = std::size_t{48} << 20;

private:
    static void step(const std::shared_ptr<SteppedProtocol>& self, std::size_t offset) {
        const Bytes piece(std::min(kStepBytes, kSize - offset), 'z');
        self->client()->didLoadData(*self, piece);
        if (offset + piece.size() == kSize)
            return self->client()->didFinishLoading(*self);
        std::weak_ptr<SteppedProtocol> weak = self;
        self->client()->whenReaderHasRoom(*self, [weak, next = offset + piece.size()] {
            if (auto alive = weak.lock())
                step(alive, next);
        });
    }
};

// The body as the reader should see it: `block` repeated `times`.
uLong digestOf(const std::string& block, std::size_t times) {
    uLong digest = crc32(0, nullptr, 0);
    for (std::size_t i = 0; i < times; ++i)
        digest = crc32(digest, reinterpret_cast<const Bytef*>(block.data()), static_cast<uInt>(block.size()));
    return digest;
}

TEST(URLConnection, ABodyComesNoFasterThanItsReaderTakesItHoweverItWasCoded) {
    // 48 MiB plain, a 48 KiB gzip body and a br one that decode to 48 MiB, a 48 MiB file and a URL protocol's
    // 48 MiB, read by a reader that takes its bytes only now and then: the load never hands over more than its
    // window (and one piece) ahead of it.
    HTTPTestServer server;
    const std::string block(64 * 1024, 'z');
    Reply plain = Reply::text(200, block);
    plain.bodyRepeat = 768;
    server.route("/plain", plain);
    server.route("/bomb", Reply::text(200, gzipped(std::string(48 << 20, 'z'))).withHeader("Content-Encoding", "gzip"));
    server.route("/br", Reply::text(200, brotlied(std::string(48 << 20, 'z'), 24)).withHeader("Content-Encoding", "br"));
    const std::filesystem::path file = std::filesystem::temp_directory_path() / ("hyb-window-" + std::to_string(::getpid()));
    {
        std::ofstream out(file, std::ios::binary);
        for (int i = 0; i < 768; ++i)
            out << block;
    }
    URLProtocol::registerClass(URLProtocol::classOf<SteppedProtocol>("SteppedProtocol"));
    for (const std::string& url : {server.url("/plain"), server.url("/bomb"), server.url("/br"), "file://" + file.string(), std::string("stepped:body")}) {
        SCOPED_TRACE(url);
        auto reader = std::make_shared<SlowReader>();
        auto connection = URLConnection::make(URLRequest(url), reader, false);
        connection->keepReceivedData();
        connection->setDeliveryTarget(URLConnection::onLoadingThread());
        connection->start();
        // The reader takes what it holds once its window is all but full (no further piece fits), a step at a time.
        std::size_t steps = 0;
        while (!reader->ended()) {
            // (Where other loads of the process hold most of the total, less than a window comes: the reader then
            // takes what came.)
            (void)reader->waitFor([&] {
                return reader->ended() || reader->received() + HTTPTransport::kReceivePiece >= (steps + 1) * HTTPTransport::kReceiveWindow;
            });
            const std::size_t before = reader->received();
            reader->takeAll(*connection);
            ++steps;
            steps = std::max(steps, before / HTTPTransport::kReceiveWindow);
        }
        EXPECT_FALSE(reader->error()) << reader->error()->localizedDescription();
        EXPECT_EQ(reader->received(), std::size_t{48} << 20);
        EXPECT_EQ(reader->digest(), digestOf(block, 768));
        EXPECT_LE(reader->mostHeld(), HTTPTransport::kReceiveWindow + std::max(HTTPTransport::kReceivePiece, URLProtocol::kStepBytes));
        EXPECT_GT(steps, 1u);
    }
    URLProtocol::unregisterClass("SteppedProtocol");
    std::filesystem::remove(file);
    EXPECT_TRUE(hybtest::pollUntil([] { return HTTPTransport::shared().heldBytes() == 0; })) << HTTPTransport::shared().heldBytes();
    EXPECT_TRUE(hybtest::pollUntil([] { return ContentDecoder::brotliBytesHeld() == 0; })) << ContentDecoder::brotliBytesHeld();
}

TEST(URLConnection, BrBodiesNobodyReadsHoldNoMoreDecoderMemoryThanTheirShare) {
    // br is not offered, but a server may send it unasked, each body with a 16 MiB window: stalled readers of
    // such bodies hold at most the br decoders' share, and a body whose decoder would pass it fails as such.
    HTTPTestServer server;
    server.route("/br", Reply::text(200, brotlied(std::string(24 << 20, 'w'), 24)).withHeader("Content-Encoding", "br"));
    std::vector<std::shared_ptr<SlowReader>> readers;
    std::vector<std::shared_ptr<URLConnection>> connections;
    for (int i = 0; i < 4; ++i) {
        readers.push_back(std::make_shared<SlowReader>());
        connections.push_back(URLConnection::make(URLRequest(server.url("/br")), readers.back(), false));
        connections.back()->keepReceivedData();
        connections.back()->setDeliveryTarget(URLConnection::onLoadingThread());
        connections.back()->start();
    }
    for (auto& reader : readers)
        ASSERT_TRUE(hybtest::pollUntil([&] { return reader->received() > 0 || reader->ended(); }));
    EXPECT_EQ(server.requests().at(0).header("Accept-Encoding"), "gzip, deflate");
    EXPECT_LE(ContentDecoder::brotliBytesHeld(), ContentDecoder::kBrotliBytesInAll);
    std::size_t refused = 0;
    for (auto& reader : readers) {
        if (!reader->ended())
            continue;
        ASSERT_TRUE(reader->error());
        EXPECT_EQ(reader->error()->code, kURLErrorCannotDecodeContentData) << reader->error()->localizedDescription();
        ++refused;
    }
    EXPECT_GE(refused, 2u) << "four 16 MiB windows fit in the share";
    EXPECT_LT(refused, 4u);
    for (auto& connection : connections)
        connection->cancel();
    EXPECT_TRUE(hybtest::pollUntil([] { return ContentDecoder::brotliBytesHeld() == 0; })) << ContentDecoder::brotliBytesHeld();
    EXPECT_TRUE(hybtest::pollUntil([] { return HTTPTransport::shared().heldBytes() == 0; })) << HTTPTransport::shared().heldBytes();
}

TEST(URLConnection, AReaderThatNeverTakesItsBodyHoldsOneWindowAndOthersStillLoad) {
    // More stalled readers than the total leaves windows for, over servers enough that each has a connection.
    std::vector<std::unique_ptr<HTTPTestServer>> servers;
    for (int i = 0; i < 4; ++i) {
        servers.push_back(std::make_unique<HTTPTestServer>());
        Reply endless = Reply::text(200, std::string(64 * 1024, 'e'));
        endless.bodyRepeat = 1u << 20;
        servers.back()->route("/endless", endless);
    }
    HTTPTestServer server;
    server.route("/small", Reply::text(200, "small"));
    std::vector<std::shared_ptr<SlowReader>> readers;
    std::vector<std::shared_ptr<URLConnection>> connections;
    const std::size_t stalled = HTTPTransport::kReceivedBytesHeldInAll / HTTPTransport::kReceiveWindow + 4;
    for (std::size_t i = 0; i < stalled; ++i) {
        readers.push_back(std::make_shared<SlowReader>());
        connections.push_back(URLConnection::make(URLRequest(servers[i % servers.size()]->url("/endless")), readers.back(), false));
        connections.back()->keepReceivedData();
        connections.back()->setDeliveryTarget(URLConnection::onLoadingThread());
        connections.back()->start();
    }
    for (auto& reader : readers)
        ASSERT_TRUE(hybtest::pollUntil([&] { return reader->received() > 0; }));
    // Each waits for its reader and none times out meanwhile; together they hold the total and a piece each.
    auto load = startLoad(URLRequest(server.url("/small")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_EQ(load.recorder->body(), "small");
    EXPECT_LE(HTTPTransport::shared().heldBytes(), HTTPTransport::kReceivedBytesHeldInAll + stalled * HTTPTransport::kReceivePiece);
    for (auto& reader : readers) {
        EXPECT_LE(reader->mostHeld(), HTTPTransport::kReceiveWindow + HTTPTransport::kReceivePiece);
        EXPECT_FALSE(reader->ended());
    }
    for (auto& connection : connections)
        connection->cancel();
    EXPECT_TRUE(hybtest::pollUntil([] { return HTTPTransport::shared().heldBytes() == 0; })) << HTTPTransport::shared().heldBytes();
}

TEST(URLConnection, ACodedBodyThatIsNotWhatItsCodingSaysFails) {
    HTTPTestServer server;
    server.route("/bad", Reply::text(200, "not gzip at all").withHeader("Content-Encoding", "gzip"));
    server.route("/deflate", Reply::text(200, "\x78\x9c\xcb\x48\xcd\xc9\xc9\x07\x00\x06\x2c\x02\x15").withHeader("Content-Encoding", "deflate"));
    auto bad = URLConnection::sendSynchronousRequest(URLRequest(server.url("/bad")));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().code, kURLErrorCannotDecodeContentData);
    auto deflated = URLConnection::sendSynchronousRequest(URLRequest(server.url("/deflate")));
    ASSERT_TRUE(deflated.ok()) << deflated.error().localizedDescription();
    EXPECT_EQ(std::string(deflated->data.begin(), deflated->data.end()), "hello");
}

TEST(URLConnection, RedirectsAreFollowedAndOnlyTheFinalResponseReported) {
    HTTPTestServer server;
    server.route("/old", Reply::text(302, "moved").withHeader("Location", "/middle"));
    server.route("/middle", Reply::text(301, "").withHeader("Location", server.url("/new")));
    server.route("/new", Reply::text(200, "arrived"));
    server.route("/form", Reply::text(303, "").withHeader("Location", "/new"));
    auto load = startLoad(URLRequest(server.url("/old")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_EQ(load.recorder->body(), "arrived");
    EXPECT_EQ(load.recorder->response()->statusCode(), 200);
    EXPECT_EQ(load.recorder->response()->urlString(), server.url("/new"));
    EXPECT_EQ(load.connection->currentRequest().urlString(), server.url("/new"));
    EXPECT_EQ(load.connection->originalRequest().urlString(), server.url("/old"));
    auto events = load.recorder->events();
    EXPECT_EQ(std::count(events.begin(), events.end(), "response"), 1);

    URLRequest post(server.url("/form"));
    post.setHTTPMethod("POST");
    post.setHTTPBody(std::string_view("a=1"));
    auto second = startLoad(post);
    ASSERT_TRUE(second.recorder->waitUntilEnded());
    EXPECT_EQ(server.requests().back().method, "GET");
    EXPECT_EQ(second.recorder->body(), "arrived");
}

// A load carried for an engine that keeps HTTP's rules itself: a redirect is its response, the body comes as the
// server coded it (no coding offered), the URL goes out as the engine wrote it, and the reason phrase is read.
TEST(URLConnection, APassedThroughLoadFollowsNoRedirectDecodesNothingAndSendsItsURLAsWritten) {
    HTTPTestServer server;
    server.route("/moved", Reply::text(302, "moved").withHeader("Location", "/new"));
    Reply coded = Reply::text(200, gzipped("coded body")).withHeader("Content-Encoding", "gzip");
    coded.reason = "Fine Thanks";
    server.route("/coded", coded);
    URLRequest moved(server.url("/moved"));
    moved.setPassesThrough(true);
    auto first = startLoad(moved);
    ASSERT_TRUE(first.recorder->waitUntilEnded());
    ASSERT_TRUE(first.recorder->response());
    EXPECT_EQ(first.recorder->response()->statusCode(), 302);
    EXPECT_EQ(first.recorder->body(), "moved");
    EXPECT_EQ(server.requests().size(), 1u);

    URLRequest raw(server.url("/coded?ids%5B%5D=1&f=%7B%7C%7D&q=50%25off"));
    raw.setPassesThrough(true);
    raw.setURLAsSent(server.url("/coded?ids[]=1&f={|}^`&q=50%off"));
    auto second = startLoad(raw);
    ASSERT_TRUE(second.recorder->waitUntilEnded());
    ASSERT_TRUE(second.recorder->response());
    EXPECT_EQ(second.recorder->response()->statusText(), "Fine Thanks");
    EXPECT_EQ(second.recorder->body(), gzipped("coded body"));
    EXPECT_EQ(server.requests().back().query, "ids[]=1&f={|}^`&q=50%off");
    EXPECT_FALSE(server.requests().back().header("Accept-Encoding"));
}

// A redirect to another application's scheme is not followed: its reply is the response (the web view
// hands the location over), after any redirects within http.
TEST(URLConnection, RedirectsToOtherSchemesArriveAsTheResponse) {
    HTTPTestServer server;
    server.route("/first", Reply::text(302, "").withHeader("Location", "/signin"));
    server.route("/signin", Reply::text(302, "to the app").withHeader("Location", "xapp://oauth?code=7&state=a"));
    auto load = startLoad(URLRequest(server.url("/first")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_FALSE(load.recorder->error());
    ASSERT_TRUE(load.recorder->response());
    EXPECT_EQ(load.recorder->response()->statusCode(), 302);
    EXPECT_EQ(load.recorder->response()->allHeaderFields().value("Location"), std::optional<std::string>("xapp://oauth?code=7&state=a"));
    EXPECT_EQ(load.recorder->response()->urlString(), server.url("/signin"));
    EXPECT_EQ(server.requests().size(), 2u);
}

// A redirect is a new request, which the registered URL protocols judge again: one a class refuses is not
// followed (the load fails, and nothing reaches where it led), with no effect on the class but its answer;
// redirects before it are followed as ever.
TEST(URLConnection, ARedirectAProtocolRefusesIsNotFollowed) {
    HTTPTestServer server;
    server.route("/first", Reply::text(302, "").withHeader("Location", "/middle"));
    server.route("/middle", Reply::text(307, "").withHeader("Location", "/refused"));
    server.route("/refused", Reply::text(200, "reached"));
    std::atomic<int> asked{0};
    std::atomic<int> started{0};
    URLProtocol::registerClass(URLProtocol::Class{
        "RedirectJudge", [&](const URLRequest&) { ++started; return false; }, nullptr,
        [&](const URLRequest& request) { ++asked; return request.url() && request.url()->path() == "/refused"; }});
    auto load = startLoad(URLRequest(server.url("/first")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    URLProtocol::unregisterClass("RedirectJudge");
    ASSERT_TRUE(load.recorder->error());
    EXPECT_EQ(load.recorder->error()->code, kURLErrorResourceUnavailable);
    EXPECT_EQ(asked.load(), 2) << "each redirect is judged";
    EXPECT_EQ(started.load(), 1) << "only the request itself is offered to the class";
    std::vector<std::string> paths;
    for (const auto& request : server.requests())
        paths.push_back(request.path);
    EXPECT_EQ(paths, (std::vector<std::string>{"/first", "/middle"}));
}

// The target judged is the one the transport would request, however the Location is spelled: a space, a byte
// past ASCII or a bad escape that the platform's URLs do not read is no way past the judge.
TEST(URLConnection, ARedirectIsJudgedAtTheURLItWouldRequest) {
    HTTPTestServer server;
    const std::string other = "http://localhost:" + std::to_string(server.port());
    const std::vector<std::string> locations = {other + "/a b", other + "/%zz", other + "/\xff", "//localhost:" + std::to_string(server.port()) + "/x",
                                                "HTTP://LOCALHOST:" + std::to_string(server.port()) + "/x", other + "/x", "\t" + other + "/x"};
    URLProtocol::registerClass(URLProtocol::Class{"RedirectJudge", [](const URLRequest&) { return false; }, nullptr,
                                                  [](const URLRequest& request) { return !request.url() || request.url()->host() != "127.0.0.1"; }});
    for (std::size_t i = 0; i < locations.size(); ++i) {
        server.route("/to" + std::to_string(i), Reply::text(302, "").withHeader("Location", locations[i]));
        auto load = startLoad(URLRequest(server.url("/to" + std::to_string(i))));
        ASSERT_TRUE(load.recorder->waitUntilEnded());
        EXPECT_TRUE(load.recorder->error()) << locations[i];
    }
    URLProtocol::unregisterClass("RedirectJudge");
    for (const auto& request : server.requests())
        EXPECT_EQ(request.header("Host").value_or("").rfind("localhost", 0), std::string::npos) << "a redirect reached " << request.path;
}

TEST(URLConnection, EndlessRedirectsFail) {
    HTTPTestServer server;
    server.route("/loop", Reply::text(302, "").withHeader("Location", "/loop"));
    auto load = startLoad(URLRequest(server.url("/loop")));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    ASSERT_TRUE(load.recorder->error());
    EXPECT_EQ(load.recorder->error()->code, kURLErrorHTTPTooManyRedirects);
}

TEST(URLConnection, SilentServerTimesOut) {
    HTTPTestServer server;
    Reply held = Reply::text(200, "late");
    held.hold = true;
    server.route("/slow", held);
    URLRequest request(server.url("/slow"));
    request.setTimeoutInterval(0.3);
    auto load = startLoad(request);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    ASSERT_TRUE(load.recorder->error());
    EXPECT_EQ(load.recorder->error()->code, kURLErrorTimedOut);
    EXPECT_EQ(load.recorder->error()->domain, kURLErrorDomain);
    EXPECT_EQ(load.recorder->error()->userInfo[kURLErrorFailingURLStringKey], Value(server.url("/slow")));
}

TEST(URLConnection, SlowButSteadyReplyDoesNotTimeOut) {
    HTTPTestServer server;
    Reply slow = Reply::text(200, std::string(10, 's'));
    slow.pieceSize = 1;
    slow.pauseBetweenPieces = std::chrono::milliseconds(100);
    server.route("/drip", slow);
    URLRequest request(server.url("/drip"));
    request.setTimeoutInterval(0.6); // the whole reply takes longer than this, each pause less
    auto load = startLoad(request);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_TRUE(load.recorder->finished());
    EXPECT_EQ(load.recorder->body(), std::string(10, 's'));
}

TEST(URLConnection, AWholeLoadTimeOutEndsAReplyThatKeepsTrickling) {
    HTTPTestServer server;
    Reply slow = Reply::text(200, std::string(20, 's'));
    slow.pieceSize = 1;
    slow.pauseBetweenPieces = std::chrono::milliseconds(100);
    server.route("/drip", slow);
    URLRequest request(server.url("/drip"));
    request.setTimeoutInterval(0.4); // each pause is shorter, the whole reply longer
    request.setTimeoutBoundsWholeLoad(true);
    auto load = startLoad(request);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    ASSERT_TRUE(load.recorder->error());
    EXPECT_EQ(load.recorder->error()->code, kURLErrorTimedOut);
    EXPECT_LT(load.recorder->body().size(), 20u);
}

namespace {

Result<URLReply> send(const std::string& url, const std::string& method, std::optional<bool> mayResend) {
    URLRequest request(url);
    request.setHTTPMethod(method);
    if (method != "GET" && method != "HEAD")
        request.setHTTPBody(std::string_view(method + " body"));
    request.setTimeoutInterval(5);
    if (mayResend)
        request.setTransportMayResend(*mayResend);
    return URLConnection::sendSynchronousRequest(request);
}

// How many times `method` reached a path whose connection the server closes once the request is read,
// sent on a kept-alive connection.
std::size_t arrivalsOfALostReply(const std::string& method, std::optional<bool> mayResend) {
    HTTPTestServer server;
    server.route("/lost", Reply::closedWithoutReply());
    EXPECT_TRUE(testsupport::keepAConnectionAlive(server.url()));
    auto sent = send(server.url("/lost"), method, mayResend);
    EXPECT_FALSE(sent.ok());
    std::size_t arrivals = 0;
    for (const auto& request : server.requests())
        arrivals += request.path == "/lost" && request.method == method;
    return arrivals;
}

} // namespace

TEST(URLConnection, OnlyASafeRequestIsSentAgainByTheTransportWhenItsKeptAliveConnectionIsDropped) {
    // Left to itself the URL library sends a request lost on a reused connection again, on a new one.
    EXPECT_EQ(arrivalsOfALostReply("GET", std::nullopt), 2u);
    EXPECT_EQ(arrivalsOfALostReply("POST", true), 2u);
    // Whatever builds it, a request that is not safe goes once; so does any the caller forbids.
    for (const char* method : {"POST", "PUT", "PATCH", "DELETE", "REPORT"})
        EXPECT_EQ(arrivalsOfALostReply(method, std::nullopt), 1u) << method;
    EXPECT_EQ(arrivalsOfALostReply("GET", false), 1u);
}

// A request that is not safe follows no redirect that would send it again (a 307 or 308, or another the
// library would follow with its method kept, such as a 300; to its own path, to another or to another
// host; any redirect of a method other than POST): it arrives once, and the redirect's reply is its
// response, for the caller to settle.
TEST(URLConnection, ARedirectedRequestThatIsNotSafeIsNotSentAgain) {
    struct Case {
        int status;
        const char* method;
        bool elsewhere;
    };
    for (const Case c : {Case{307, "POST", false}, Case{308, "POST", false}, Case{307, "POST", true}, Case{308, "POST", true},
                         Case{300, "POST", false}, Case{306, "POST", true}, Case{399, "POST", false},
                         Case{301, "PUT", false}, Case{302, "DELETE", false}, Case{303, "PATCH", true}}) {
        SCOPED_TRACE(std::to_string(c.status) + " " + c.method + (c.elsewhere ? " elsewhere" : ""));
        HTTPTestServer elsewhere;
        elsewhere.route("/lost", Reply::closedWithoutReply());
        ASSERT_TRUE(testsupport::keepAConnectionAlive(elsewhere.url()));
        HTTPTestServer server;
        server.route("/lost", Reply::closedWithoutReply());
        ASSERT_TRUE(testsupport::keepAConnectionAlive(server.url()));
        server.route("/pay", Reply::text(c.status, "moved").withHeader("Location", c.elsewhere ? elsewhere.url("/lost") : "/lost"));
        server.route("/self", Reply::text(c.status, "moved").withHeader("Location", "/self"));
        for (const char* path : {"/pay", "/self"}) {
            auto sent = send(server.url(path), c.method, std::nullopt);
            ASSERT_TRUE(sent.ok()) << sent.error().localizedDescription();
            EXPECT_EQ(sent->response.statusCode(), c.status);
            EXPECT_EQ(std::string(sent->data.begin(), sent->data.end()), "moved");
            EXPECT_EQ(sent->response.url()->absoluteString(), server.url(path));
        }
        std::size_t arrivals = 0;
        for (const auto* seen : {&server, &elsewhere})
            for (const auto& request : seen->requests())
                arrivals += request.method == c.method;
        EXPECT_EQ(arrivals, 2u);  // "/pay" and "/self" once each
    }
    // A caller that allows it has the request sent on, and sent again where its reply is lost, as before.
    HTTPTestServer allowed;
    allowed.route("/pay", Reply::text(307, "").withHeader("Location", "/lost"));
    allowed.route("/lost", Reply::closedWithoutReply());
    ASSERT_TRUE(testsupport::keepAConnectionAlive(allowed.url()));
    EXPECT_FALSE(send(allowed.url("/pay"), "POST", true).ok());
    std::size_t arrivals = 0;
    for (const auto& request : allowed.requests())
        arrivals += request.path == "/lost";
    EXPECT_GE(arrivals, 2u);
}

// A POST answered 301, 302 or 303 is followed with a GET: a request of its own, safe, so the rule of
// that hop is a GET's. The GET lost once on the kept-alive connection the redirect came on is sent again,
// and the POST's caller hears the answer, not a lost connection; the POST still arrives once.
TEST(URLConnection, TheGetThatFollowsAPostIsSentAgainWhereItsReplyIsLost) {
    for (int status : {301, 302, 303}) {
        SCOPED_TRACE(status);
        HTTPTestServer server;
        server.route("/pay", Reply::text(status, "").withHeader("Location", "/result"));
        std::atomic<int> asked{0};
        server.route("/result", [&](const testsupport::RecordedRequest&) {
            return ++asked == 1 ? Reply::closedWithoutReply() : Reply::text(200, "paid");
        });
        auto sent = send(server.url("/pay"), "POST", std::nullopt);
        ASSERT_TRUE(sent.ok()) << sent.error().localizedDescription();
        EXPECT_EQ(sent->response.statusCode(), 200);
        EXPECT_EQ(std::string(sent->data.begin(), sent->data.end()), "paid");
        std::size_t posts = 0, gets = 0;
        for (const auto& request : server.requests()) {
            posts += request.method == "POST";
            gets += request.path == "/result" && request.method == "GET";
        }
        EXPECT_EQ(posts, 1u);
        EXPECT_EQ(gets, 2u);
    }
}

TEST(URLConnection, ARequestLostOnItsOwnConnectionFailsAsLostAndTheNextIsAnswered) {
    HTTPTestServer server;
    server.route("/pay", Reply::closedWithoutReply());
    server.routeEcho("/echo");
    ASSERT_TRUE(testsupport::keepAConnectionAlive(server.url()));
    auto once = send(server.url("/pay"), "POST", std::nullopt);
    ASSERT_FALSE(once.ok());
    EXPECT_EQ(once.error().code, kURLErrorNetworkConnectionLost);
    auto next = send(server.url("/echo"), "POST", std::nullopt);
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(std::string(next->data.begin(), next->data.end()), "POST body");
}

TEST(URLConnection, CancelStopsEveryCallback) {
    HTTPTestServer server;
    Reply slow = Reply::text(200, std::string(4000, 'q'));
    slow.pieceSize = 100;
    slow.pauseBetweenPieces = std::chrono::milliseconds(20);
    server.route("/slow", slow);
    auto load = startLoad(URLRequest(server.url("/slow")));
    ASSERT_TRUE(load.recorder->waitForBytes(100));
    load.connection->cancel();
    std::size_t seen = load.recorder->events().size();
    // The server notices the closed connection; nothing more reaches the delegate.
    HTTPTestServer other; // a second load proves the transport is still serving
    other.route("/ok", Reply::text(200, "ok"));
    auto after = startLoad(URLRequest(other.url("/ok")));
    ASSERT_TRUE(after.recorder->waitUntilEnded());
    EXPECT_EQ(load.recorder->events().size(), seen);
    EXPECT_FALSE(load.recorder->finished());
    EXPECT_FALSE(load.recorder->error());
    EXPECT_TRUE(load.connection->isFinished());
}

TEST(URLConnection, CancelBeforeStartAndDroppedDelegateAreHarmless) {
    HTTPTestServer server;
    server.route("/x", Reply::text(200, "x"));
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest(server.url("/x")), recorder, false);
    connection->cancel();
    connection->start();
    {
        auto gone = std::make_shared<URLLoadRecorder>();
        URLConnection::make(URLRequest(server.url("/x")), gone); // runs on with no one listening
    }
    ASSERT_TRUE(server.waitForRequests(1));
    auto check = startLoad(URLRequest(server.url("/x")));
    ASSERT_TRUE(check.recorder->waitUntilEnded());
    EXPECT_TRUE(recorder->events().empty());
    EXPECT_EQ(server.requests().size(), 2u);
}

TEST(URLConnection, ConnectionProblemsAreURLErrors) {
    HTTPTestServer server;
    Reply cut = Reply::text(200, std::string(100000, 'd'));
    cut.dropAfterBodyBytes = 1000;
    server.route("/cut", cut);
    auto lost = startLoad(URLRequest(server.url("/cut")));
    ASSERT_TRUE(lost.recorder->waitUntilEnded());
    ASSERT_TRUE(lost.recorder->error());
    EXPECT_EQ(lost.recorder->error()->code, kURLErrorNetworkConnectionLost);

    auto refused = startLoad(URLRequest("http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/"));
    ASSERT_TRUE(refused.recorder->waitUntilEnded());
    EXPECT_EQ(refused.recorder->error()->code, kURLErrorCannotConnectToHost);

    URLRequest unknownHost("http://no-such-host.invalid/");
    unknownHost.setTimeoutInterval(10);
    auto notFound = startLoad(unknownHost);
    ASSERT_TRUE(notFound.recorder->waitUntilEnded());
    EXPECT_EQ(notFound.recorder->error()->code, kURLErrorCannotFindHost);
}

TEST(URLConnection, BadAndUnsupportedURLsFailWithoutHanging) {
    for (auto [url, code] : {std::pair{"ftp://127.0.0.1/x", kURLErrorUnsupportedURL},
                             {"relative/path", kURLErrorUnsupportedURL},
                             {"no scheme at all", kURLErrorBadURL},
                             {"http://", kURLErrorBadURL},
                             {"http://exa mple.com/", kURLErrorBadURL},
                             {"http://[::1/", kURLErrorBadURL}}) {
        auto load = startLoad(URLRequest(url));
        ASSERT_TRUE(load.recorder->waitUntilEnded()) << url;
        ASSERT_TRUE(load.recorder->error()) << url;
        EXPECT_EQ(load.recorder->error()->code, code) << url;
    }
    URLRequest badMethod("http://127.0.0.1:1/");
    badMethod.setHTTPMethod("GET /evil HTTP/1.1\r\n");
    auto load = startLoad(badMethod);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_EQ(load.recorder->error()->code, kURLErrorBadURL);
}

TEST(URLConnection, HeaderInjectionIsRefusedAndNothingExtraIsSent) {
    HTTPTestServer server;
    server.route("/h", Reply::text(200, "ok"));
    URLRequest request(server.url("/h"));
    Status injected = request.setValue("1\r\nX-Injected: yes", "X-Test");
    ASSERT_FALSE(injected);
    EXPECT_EQ(injected.error().domain, kURLErrorDomain);
    EXPECT_FALSE(request.addValue("a\nb", "X-Test"));
    EXPECT_FALSE(request.setValue("v", "Bad\r\nName"));
    EXPECT_FALSE(request.valueForHTTPHeaderField("X-Test"));
    ASSERT_TRUE(request.addValue("one", "X-List"));
    ASSERT_TRUE(request.addValue("two", "x-list"));
    auto load = startLoad(request);
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    auto recorded = server.requests().at(0);
    EXPECT_FALSE(recorded.header("X-Injected"));
    EXPECT_FALSE(recorded.header("X-Test"));
    EXPECT_EQ(recorded.header("X-List"), "one, two");
}

TEST(URLConnection, CookiesSetByAReplyGoBackOnTheNextRequest) {
    HTTPTestServer server;
    server.route("/login", Reply::text(200, "in")
                               .withHeader("Set-Cookie", "session=abc123; Path=/")
                               .withHeader("Set-Cookie", "pref=dark; Expires=Wed, 09 Jun 2100 10:18:14 GMT")
                               .withHeader("Set-Cookie", "scoped=1; Path=/admin"));
    server.route("/page", Reply::text(200, "page"));
    auto login = startLoad(URLRequest(server.url("/login")));
    ASSERT_TRUE(login.recorder->waitUntilEnded());
    auto page = startLoad(URLRequest(server.url("/page")));
    ASSERT_TRUE(page.recorder->waitUntilEnded());
    EXPECT_EQ(server.requests().at(1).header("Cookie"), "session=abc123; pref=dark");

    URLRequest without(server.url("/page"));
    without.setHTTPShouldHandleCookies(false);
    auto plain = startLoad(without);
    ASSERT_TRUE(plain.recorder->waitUntilEnded());
    EXPECT_FALSE(server.requests().at(2).header("Cookie"));

    auto stored = HTTPCookieStorage::shared().cookiesForURL(*URL::fromString(server.url("/admin/x")));
    ASSERT_EQ(stored.size(), 3u);
    EXPECT_EQ(stored[0].name(), "scoped"); // the longest path first
    for (const auto& c : HTTPCookieStorage::shared().cookies())
        HTTPCookieStorage::shared().deleteCookie(c);
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
}

TEST(URLConnection, CookiesFromARedirectAreKeptAndPolicyNeverStoresNone) {
    HTTPTestServer server;
    server.route("/hop", Reply::text(302, "").withHeader("Location", "/land").withHeader("Set-Cookie", "hop=1"));
    server.route("/land", Reply::text(200, "ok"));
    auto first = startLoad(URLRequest(server.url("/hop")));
    ASSERT_TRUE(first.recorder->waitUntilEnded());
    EXPECT_EQ(HTTPCookieStorage::shared().cookieHeaderForURL(*URL::fromString(server.url("/"))), "hop=1");
    for (const auto& c : HTTPCookieStorage::shared().cookies())
        HTTPCookieStorage::shared().deleteCookie(c);

    HTTPCookieStorage::shared().setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Never);
    auto second = startLoad(URLRequest(server.url("/hop")));
    ASSERT_TRUE(second.recorder->waitUntilEnded());
    HTTPCookieStorage::shared().setCookieAcceptPolicy(HTTPCookieAcceptPolicy::Always);
    EXPECT_TRUE(HTTPCookieStorage::shared().cookies().empty());
}

TEST(URLConnection, DelegateCallsRunOnTheDeliveryTarget) {
    HTTPTestServer server;
    server.route("/t", Reply::text(200, std::string(50000, 't')));
    ManualQueue queue;
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest(server.url("/t")), recorder, false);
    connection->setDeliveryTarget(queue.target());
    connection->start();
    ASSERT_TRUE(queue.runUntil([&] { return recorder->finished(); }));
    for (auto id : recorder->threads())
        EXPECT_EQ(id, std::this_thread::get_id());
    EXPECT_EQ(recorder->body().size(), 50000u);
}

namespace {
// Notes the queue label each call runs under.
class LabelRecorder final : public URLConnectionDelegate {
public:
    void didReceiveResponse(URLConnection&, const URLResponse&) override { note(); }
    void didFinishLoading(URLConnection&) override {
        note();
        done = true;
    }
    void note() {
        std::lock_guard lock(mutex);
        labels.push_back(DispatchQueue::currentLabel());
        onMain.push_back(RunLoop::isMainThread());
    }
    std::mutex mutex;
    std::vector<std::string> labels;
    std::vector<bool> onMain;
    std::atomic<bool> done{false};
};
} // namespace

TEST(URLConnection, UnscheduledConnectionsDeliverWhereTheyWereStarted) {
    HTTPTestServer server;
    server.route("/w", Reply::text(200, "where"));
    ASSERT_TRUE(RunLoop::isMainThread());
    auto onMain = std::make_shared<LabelRecorder>();
    auto first = URLConnection::make(URLRequest(server.url("/w")), onMain);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return onMain->done.load(); }));
    EXPECT_EQ(onMain->onMain, (std::vector<bool>{true, true}));

    auto queue = DispatchQueue::createSerial("test.connections");
    auto onQueue = std::make_shared<LabelRecorder>();
    std::shared_ptr<URLConnection> second;
    queue->async([&] { second = URLConnection::make(URLRequest(server.url("/w")), onQueue); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return onQueue->done.load(); }));
    EXPECT_EQ(onQueue->labels, (std::vector<std::string>{"test.connections", "test.connections"}));

    auto fromGlobal = std::make_shared<LabelRecorder>();
    std::shared_ptr<URLConnection> fourth;
    DispatchQueue::global()->async([&] { fourth = URLConnection::make(URLRequest(server.url("/w")), fromGlobal); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return fromGlobal->done.load(); }));
    EXPECT_EQ(fromGlobal->labels, (std::vector<std::string>{"URLConnection delegate", "URLConnection delegate"}));

    auto scheduled = std::make_shared<LabelRecorder>();
    auto third = URLConnection::make(URLRequest(server.url("/w")), scheduled, false);
    third->setDelegateQueue(queue);
    third->start();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return scheduled->done.load(); }));
    EXPECT_EQ(scheduled->labels, (std::vector<std::string>{"test.connections", "test.connections"}));
}

TEST(URLConnection, ScheduledOnAnotherThreadsLoopItRunsThereAndNotAfterThatThreadEnded) {
    HTTPTestServer server;
    server.route("/t", Reply::text(200, "there"));
    Reply held = Reply::text(200, "late");
    held.hold = true;
    server.route("/held", held);
    auto thread = std::make_unique<RunLoopThread>("url-test-loop");

    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest(server.url("/t")), recorder, false);
    connection->scheduleInRunLoop(thread->runLoop());
    connection->start();
    ASSERT_TRUE(recorder->waitUntilEnded());
    EXPECT_EQ(recorder->body(), "there");
    for (auto id : recorder->threads())
        EXPECT_NE(id, std::this_thread::get_id());

    auto late = std::make_shared<URLLoadRecorder>();
    auto outliving = URLConnection::make(URLRequest(server.url("/held")), late, false);
    outliving->scheduleInRunLoop(thread->runLoop());
    outliving->start();
    ASSERT_TRUE(server.waitForRequests(2));
    thread.reset(); // the loop goes with its thread while the load is under way
    server.releaseHeldReplies();
    ASSERT_TRUE(hybtest::runMainUntil([] { return HTTPTransport::shared().activeTransferCount() == 0; }));
    EXPECT_TRUE(late->events().empty());
}

TEST(URLConnection, CancelOnTheDeliveryThreadDropsQueuedCalls) {
    HTTPTestServer server;
    server.route("/t", Reply::text(200, "abc"));
    ManualQueue queue;
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(URLRequest(server.url("/t")), recorder, false);
    connection->setDeliveryTarget(queue.target());
    connection->start();
    ASSERT_TRUE(server.waitForRequests(1));
    connection->cancel();
    queue.runUntil([] { return false; }, std::chrono::seconds(1)); // drain whatever was queued
    EXPECT_TRUE(recorder->events().empty());
}

TEST(URLConnection, ManyTransfersRunAtOnce) {
    HTTPTestServer server;
    Reply held = Reply::text(200, "together");
    held.hold = true;
    server.route("/wait", held);
    std::vector<Load> loads;
    for (int i = 0; i < 24; ++i)
        loads.push_back(startLoad(URLRequest(server.url("/wait?n=" + std::to_string(i)))));
    // All 24 are in flight at the same time before any is answered.
    ASSERT_TRUE(server.waitForRequests(24));
    EXPECT_EQ(HTTPTransport::shared().activeTransferCount(), 24u);
    server.releaseHeldReplies();
    for (auto& load : loads) {
        ASSERT_TRUE(load.recorder->waitUntilEnded());
        EXPECT_EQ(load.recorder->body(), "together");
    }
}

TEST(URLConnection, TransfersBeyondAHostsConnectionsWaitForOneAndAreAnswered) {
    HTTPTestServer server;
    Reply held = Reply::text(200, "in turn");
    held.hold = true;
    server.route("/wait", held);
    const long perHost = HTTPTransport::connectionLimitsFor(1024).perHost;
    ASSERT_EQ(perHost, HTTPTransport::kMaxConnectionsPerHost);
    std::vector<Load> loads;
    for (long i = 0; i < perHost + 8; ++i)
        loads.push_back(startLoad(URLRequest(server.url("/wait?n=" + std::to_string(i)))));
    // A server that holds its replies gets one host's share of connections; the rest wait for one.
    ASSERT_TRUE(server.waitForRequests(static_cast<std::size_t>(perHost)));
    EXPECT_FALSE(server.waitForRequests(static_cast<std::size_t>(perHost) + 1, std::chrono::milliseconds(300)));
    server.releaseHeldReplies();
    for (auto& load : loads) {
        ASSERT_TRUE(load.recorder->waitUntilEnded());
        EXPECT_EQ(load.recorder->body(), "in turn");
    }
}

// The loopback server's held replies, which the tests of cancellation rely on: a release lets go what is
// held and what comes after, until a held route is set again.
TEST(URLConnection, HeldRepliesWaitForTheReleaseAfterTheirRoute) {
    HTTPTestServer server;
    Reply held = Reply::text(200, "first");
    held.hold = true;
    server.route("/first", held);
    auto first = startLoad(URLRequest(server.url("/first")));
    ASSERT_TRUE(server.waitForRequests(1));
    server.releaseHeldReplies();
    ASSERT_TRUE(first.recorder->waitUntilEnded());
    auto afterRelease = startLoad(URLRequest(server.url("/first")));
    ASSERT_TRUE(afterRelease.recorder->waitUntilEnded());
    EXPECT_EQ(afterRelease.recorder->body(), "first");

    Reply heldAgain = Reply::text(200, "second");
    heldAgain.hold = true;
    server.route("/second", heldAgain);
    auto second = startLoad(URLRequest(server.url("/second")));
    ASSERT_TRUE(server.waitForRequests(3));
    EXPECT_FALSE(second.recorder->waitUntilEnded(std::chrono::milliseconds(200))) << "held until the next release";
    server.releaseHeldReplies();
    ASSERT_TRUE(second.recorder->waitUntilEnded());
    EXPECT_EQ(second.recorder->body(), "second");
}

TEST(URLConnection, HTTPSAsksTheDelegateAboutServerTrustFirst) {
    // A server that answers the TLS greeting with plain HTTP: the handshake fails whatever the delegate says.
    HTTPTestServer plain;
    plain.route("/", Reply::text(400, "plain http"));
    std::string url = "https://127.0.0.1:" + std::to_string(plain.port()) + "/";
    for (auto trust : {URLLoadRecorder::TrustAnswer::Default, URLLoadRecorder::TrustAnswer::AcceptAny}) {
        auto load = startLoad(URLRequest(url), trust);
        ASSERT_TRUE(load.recorder->waitUntilEnded());
        EXPECT_EQ(load.recorder->events().front(), "challenge");
        ASSERT_TRUE(load.recorder->error());
        EXPECT_EQ(load.recorder->error()->code, kURLErrorSecureConnectionFailed);
    }
    auto cancelled = startLoad(URLRequest(url), URLLoadRecorder::TrustAnswer::Cancel);
    ASSERT_TRUE(cancelled.recorder->waitUntilEnded());
    EXPECT_EQ(cancelled.recorder->error()->code, kURLErrorUserCancelledAuthentication);
}

TEST(URLConnection, FileURLsGiveANonHTTPResponse) {
    auto path = std::filesystem::temp_directory_path() / ("url_connection_test_" + std::to_string(::getpid()) + ".txt");
    std::ofstream(path) << "file body";
    auto load = startLoad(URLRequest("file://" + path.string()));
    ASSERT_TRUE(load.recorder->waitUntilEnded());
    EXPECT_FALSE(load.recorder->response()->isHTTP());
    EXPECT_EQ(load.recorder->response()->expectedContentLength(), 9);
    EXPECT_EQ(load.recorder->response()->mimeType(), "text/plain") << "a file's type by its extension";
    EXPECT_EQ(load.recorder->body(), "file body");
    std::filesystem::remove(path);
    const auto script = path.replace_extension(".js");
    std::ofstream(script) << "var a;";
    auto scriptLoad = startLoad(URLRequest("file://" + script.string()));
    ASSERT_TRUE(scriptLoad.recorder->waitUntilEnded());
    EXPECT_EQ(scriptLoad.recorder->response()->mimeType(), "application/javascript");
    std::filesystem::remove(script);
    path.replace_extension(".txt");

    auto missing = startLoad(URLRequest("file://" + path.string()));
    ASSERT_TRUE(missing.recorder->waitUntilEnded());
    EXPECT_EQ(missing.recorder->error()->code, kURLErrorFileDoesNotExist);

    // A FIFO (no writer ever comes) and a device (endless) fail at once rather than holding the load.
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    auto fifo = startLoad(URLRequest("file://" + path.string()));
    ASSERT_TRUE(fifo.recorder->waitUntilEnded());
    ASSERT_TRUE(fifo.recorder->error());
    EXPECT_EQ(fifo.recorder->error()->code, kURLErrorNoPermissionsToReadFile);
    EXPECT_FALSE(fifo.recorder->response());
    std::filesystem::remove(path);
    std::filesystem::create_symlink("/dev/zero", path);
    auto device = startLoad(URLRequest("file://" + path.string()));
    ASSERT_TRUE(device.recorder->waitUntilEnded());
    ASSERT_TRUE(device.recorder->error());
    EXPECT_EQ(device.recorder->error()->code, kURLErrorNoPermissionsToReadFile);
    std::filesystem::remove(path);
}

TEST(URLConnection, SynchronousSendReturnsAnyStatusOrTheError) {
    HTTPTestServer server;
    server.route("/a", Reply::text(200, "sync body"));
    auto ok = URLConnection::sendSynchronousRequest(URLRequest(server.url("/a")));
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->response.statusCode(), 200);
    EXPECT_EQ(std::string(ok->data.begin(), ok->data.end()), "sync body");

    auto missing = URLConnection::sendSynchronousRequest(URLRequest(server.url("/nothing")));
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->response.statusCode(), 404);

    Reply held = Reply::text(200, "late");
    held.hold = true;
    server.route("/held", held);
    URLRequest slow(server.url("/held"));
    slow.setTimeoutInterval(0.2);
    auto timedOut = URLConnection::sendSynchronousRequest(slow);
    ASSERT_FALSE(timedOut);
    EXPECT_EQ(timedOut.error().code, kURLErrorTimedOut);
}

TEST(URLConnection, AnEndlessTimeOutIsNoTimeOut) {
    HTTPTestServer server;
    server.route("/t", Reply::text(200, "patient"));
    for (double endless : {1e300, std::numeric_limits<double>::infinity()}) {
        URLRequest request(server.url("/t"));
        request.setTimeoutInterval(endless);
        auto load = startLoad(request);
        ASSERT_TRUE(load.recorder->waitUntilEnded());
        EXPECT_FALSE(load.recorder->error()) << load.recorder->error()->localizedDescription();
        EXPECT_EQ(load.recorder->body(), "patient");
        auto sync = URLConnection::sendSynchronousRequest(request);
        ASSERT_TRUE(sync) << sync.error().localizedDescription();
    }
}

TEST(URLConnection, CanHandleRequestKnowsTheSchemes) {
    EXPECT_TRUE(URLConnection::canHandleRequest(URLRequest("http://example.com/")));
    EXPECT_TRUE(URLConnection::canHandleRequest(URLRequest("HTTPS://example.com/")));
    EXPECT_TRUE(URLConnection::canHandleRequest(URLRequest("file:///tmp/x")));
    EXPECT_FALSE(URLConnection::canHandleRequest(URLRequest("mailto:someone@example.com")));
    EXPECT_FALSE(URLConnection::canHandleRequest(URLRequest("not a url")));
}

namespace {
// A TLS server with a fresh self-signed certificate: `openssl s_server -www` on a free loopback port.
class SelfSignedTLSServer {
public:
    SelfSignedTLSServer() {
        m_dir = std::filesystem::temp_directory_path() / ("tls-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(m_dir);
        std::string cert = (m_dir / "cert.pem").string(), key = (m_dir / "key.pem").string();
        std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 -subj /CN=127.0.0.1 -keyout " +
                           key + " -out " + cert + " >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0)
            return;
        {
            HTTPTestServer probe; // borrows a free port, then frees it
            m_port = probe.port();
        }
        std::string accept = "127.0.0.1:" + std::to_string(m_port);
        std::vector<std::string> args = {"openssl", "s_server", "-quiet", "-www", "-accept", accept, "-cert", cert, "-key", key};
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (posix_spawnp(&m_pid, "openssl", &actions, nullptr, argv.data(), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        // Ready once it accepts connections (a bound against a hang only).
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60); m_pid > 0 && std::chrono::steady_clock::now() < end;) {
            int fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in addr{};
            addr.sin_family = AF_INET;
            addr.sin_port = htons(m_port);
            addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bool up = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
            ::close(fd);
            if (up) {
                m_ready = true;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~SelfSignedTLSServer() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::filesystem::remove_all(m_dir);
    }
    bool ready() const { return m_ready; }
    std::string url() const { return "https://127.0.0.1:" + std::to_string(m_port) + "/"; }

private:
    std::filesystem::path m_dir;
    std::uint16_t m_port = 0;
    pid_t m_pid = -1;
    bool m_ready = false;
};
} // namespace

TEST(URLConnection, TLSCertificatesAreVerifiedUnlessTheDelegateAcceptsAny) {
    SelfSignedTLSServer tls;
    if (!tls.ready())
        GTEST_SKIP() << "openssl s_server is not available";
    auto checked = startLoad(URLRequest(tls.url()));
    ASSERT_TRUE(checked.recorder->waitUntilEnded());
    ASSERT_TRUE(checked.recorder->error());
    EXPECT_EQ(checked.recorder->error()->code, kURLErrorServerCertificateUntrusted);
    EXPECT_FALSE(checked.recorder->response());

    auto trusting = startLoad(URLRequest(tls.url()), URLLoadRecorder::TrustAnswer::AcceptAny);
    ASSERT_TRUE(trusting.recorder->waitUntilEnded());
    ASSERT_TRUE(trusting.recorder->finished()) << trusting.recorder->error()->localizedDescription();
    EXPECT_EQ(trusting.recorder->response()->statusCode(), 200);
    EXPECT_FALSE(trusting.recorder->body().empty());
}

// A queue may still start or cancel a transfer while the process ends: the transport outlives every
// object destroyed at exit.
TEST(HTTPTransportDeathTest, TransfersAreStillCancelledWhileTheProcessEnds) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            HTTPTransport::shared();
            std::thread([] {
                for (;;)
                    HTTPTransport::shared().cancel(1);
            }).detach();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// A process whose `main` returns while a worker makes the process's first load (a statistics upload on its
// queue) ends cleanly: libcurl and the TLS library under it are set up as the platform library loads, never
// on that worker beside the TLS library's exit clean-up. Each peer is a fresh process, ending a little later
// into the worker's load than the one before; a fault there kills it by its signal (the sanitizers' report
// would race with the end of the process and could leave its status 0).
TEST(HTTPTransportDeathTest, AProcessEndingBesideAWorkersFirstLoadEndsCleanly) {
    constexpr int kPeers = 24;
    for (int i = 0; i < kPeers; ++i) {
        const int status = hybtest::runThisTestExecutableForStatus(
            "HTTPTransportPeer.DISABLED_EndsDuringAWorkersFirstLoad",
            {"ASAN_OPTIONS=detect_leaks=0:handle_segv=0:handle_sigbus=0:handle_abort=0", "TSAN_OPTIONS=handle_segv=0:handle_sigbus=0:handle_abort=0",
             "HYB_PEER_END_AFTER_US=" + std::to_string(i * 150)});
        ASSERT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "peer " << i << " ended with wait status " << status;
    }
}

TEST(HTTPTransportPeer, DISABLED_EndsDuringAWorkersFirstLoad) {
    const char* after = std::getenv("HYB_PEER_END_AFTER_US");
    const auto delay = std::chrono::microseconds(after ? std::atoi(after) : 0);
    std::atomic<bool> loading{false};
    DispatchQueue::createSerial("test.first-load")->async([&loading] {
        URLRequest request("http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/");
        request.setTimeoutInterval(5);
        loading = true;
        (void)URLConnection::sendSynchronousRequest(request, 1024);
    });
    while (!loading)
        std::this_thread::yield();
    // Busy, not asleep: the end comes the given time into the load on a machine of any speed or load.
    for (auto until = std::chrono::steady_clock::now() + delay; std::chrono::steady_clock::now() < until;) {
    }
    std::exit(0);
}
