// A loopback HTTP/1.1 server for tests: listens on 127.0.0.1 at a port the system picks (or a given one), serves each
// connection on its own thread and answers by path with handlers or canned replies.
//
// Guarantees:
// - The port is bound and listening when the constructor returns; `stop()` (also run by the destructor)
//   closes every connection, releases held replies and joins every thread.
// - Every request that reached the server is recorded (method, path, query, headers, body) in arrival
//   order, whatever the route answers; `waitForRequests` blocks with a time-out, never forever.
// - Handlers run on the connection's thread; several may run at once.
//
// Reply shapes: a body with "Content-Length" (the default), chunked, or "length-less" (no length, the end
// of the body is the closing of the connection); a slow body written in pieces with pauses; a body cut off
// after some bytes while more were announced; a reply held back until `releaseHeldReplies()` or `stop()`;
// no reply at all, the connection closed once the request is read.
//
// Held replies: a release lets go every reply held so far, and also the held replies of requests that
// come after it, until a route with a held reply is set again; from then on held replies wait for the
// next release. (A test can hold, release, then hold again on the same server.)
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
    std::string method;
    std::string path;   // the target up to "?", as sent (not decoded)
    std::string query;  // after "?", empty when none
    HeaderList headers; // in the order sent
    std::string body;   // de-chunked when sent chunked

    // The first header of that name (case-insensitive), or nullopt.
    std::optional<std::string> header(const std::string& name) const;
};

struct Reply {
    enum class Framing { ContentLength, Chunked, UntilClose };

    int status = 200;
    std::string reason; // empty: a standard reason phrase for the status
    HeaderList headers;
    std::shared_ptr<const std::string> body = std::make_shared<const std::string>();
    Framing framing = Framing::ContentLength;
    // Large bodies: the body is sent this many times over, made as it goes (1 GiB needs only its block).
    std::uint64_t bodyRepeat = 1;

    // Slow replies: the body goes out in pieces of this size with a pause between them (0: at once).
    std::size_t pieceSize = 0;
    std::chrono::milliseconds pauseBetweenPieces{0};
    // Held replies: nothing is sent (not even the status line) until released or the server stops.
    bool hold = false;
    // Dropped connections: after this many body bytes the connection is closed, mid-body.
    std::optional<std::size_t> dropAfterBodyBytes;
    // Requests lost on the way back: the request is read (and recorded), then the connection is closed
    // without a byte of reply, as a server that drops a kept-alive connection at the moment a request
    // comes does.
    bool closeWithoutReply = false;

    static Reply text(int status, std::string body, std::string contentType = "text/plain");
    static Reply closedWithoutReply();
    Reply& withHeader(std::string name, std::string value);
    Reply& withFraming(Framing f);
};

class HTTPTestServer {
public:
    using Handler = std::function<Reply(const RecordedRequest&)>;

    HTTPTestServer();
    // At a fixed port of 127.0.0.1 (0: one the system picks). Throws std::runtime_error, saying why, when
    // the port cannot be had (taken, say).
    explicit HTTPTestServer(std::uint16_t port);
    ~HTTPTestServer();
    HTTPTestServer(const HTTPTestServer&) = delete;
    HTTPTestServer& operator=(const HTTPTestServer&) = delete;

    std::uint16_t port() const { return m_port; }
    // "http://127.0.0.1:<port>" followed by the path (which should start with "/").
    std::string url(const std::string& pathAndQuery = "/") const;

    // Routes match the path exactly; unmatched paths answer 404 "not found".
    void route(const std::string& path, Handler handler);
    void route(const std::string& path, Reply canned);
    // Answers with the request's body (and its "Content-Type"), status 200.
    void routeEcho(const std::string& path);

    std::vector<RecordedRequest> requests() const;
    // Waits until at least `count` requests were recorded; false on time-out.
    bool waitForRequests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Connections accepted so far (a test of connection reuse or of a dropped connection can look).
    std::size_t connectionCount() const;

    void releaseHeldReplies();
    void stop();

private:
    void acceptLoop();
    void serveConnection(int fd);
    // Taken when a request is recorded: whether held replies are being held then, and the releases so far.
    struct HoldTicket {
        bool holding = true;
        std::uint64_t releases = 0;
    };
    bool sendReply(int fd, const Reply& reply, bool headOnly, bool& keepOpen, HoldTicket ticket);
    bool waitUnlessStopped(std::chrono::milliseconds pause);

    int m_listenFd = -1;
    int m_wakeFd = -1;
    std::uint16_t m_port = 0;
    std::thread m_acceptThread;

    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::map<std::string, Handler> m_routes;
    std::vector<RecordedRequest> m_requests;
    std::vector<std::thread> m_connectionThreads;
    std::vector<int> m_openFds;
    std::size_t m_connectionCount = 0;
    bool m_stopped = false;
    bool m_holding = true;      // false from a release until a held route is set again
    std::uint64_t m_releases = 0;
};

} // namespace testsupport
