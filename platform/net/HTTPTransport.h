// The HTTP transport under URL connections: libcurl's multi interface driven by one worker thread, the
// URL-loading thread. Any number of transfers run at once on that thread; none has a thread of its own.
//
// Guarantees:
// - Observer calls for one transfer come on the URL-loading thread, in order: at most one response
//   (the final one: interim replies and followed redirects are not reported), data chunks, upload
//   progress, then exactly one completion, unless the transfer is cancelled first. After `cancel` has
//   run on the loading thread no call comes; a cancel that races with the end is harmless.
// - Time-outs count idle time: a transfer that neither sends nor receives for the request's time-out
//   interval fails with kURLErrorTimedOut (connecting counts as idle). A request whose time-out bounds
//   the whole load also fails so once the interval has passed since it started, however busy. The reply's
//   head has a total deadline besides: it must be complete within one time-out interval of the request
//   being sent (its body included), however slowly its lines trickle in.
// - A reply that ends before its head is complete (a status line, maybe a few fields, then the
//   connection closed) fails with kURLErrorBadServerResponse, although the library takes it for a
//   finished transfer.
// - A request the transport may not send again (by default every request whose method is not safe: a
//   POST, PUT, PATCH, DELETE...; see URLRequest::transportMayResend) goes out on a fresh connection, where
//   a connection closed before the reply is a failure (kURLErrorNetworkConnectionLost), never a second
//   sending: whether it arrived is the caller's to find out. Nor does such a request follow a redirect
//   that would send it again (a 307 or 308; any redirect of a method other than POST), to any host: the
//   redirect's reply is its response. A POST answered 301, 302 or 303 is followed with a GET, and that
//   GET, being safe, is sent again where its kept-alive connection closes before the reply: the rule
//   follows each hop's own method.
// - TLS peers are verified unless the transfer's options accept any certificate.
// - HTTP/1.1, redirects (at most kMaxRedirects; see above for a request that may not be sent again),
//   gzip, deflate and br decoding (ContentDecoder); errors come as URL error codes.
// - Back-pressure, for a transfer started with a receive window: the body bytes handed to the observer
//   count as held until `release` says the reader took them; while they fill the window, or while all such
//   transfers together hold kReceivedBytesHeldInAll, the transfer pauses (the library stops reading its
//   connection) and resumes as bytes are released. A transfer holding nothing may always take one piece
//   (kReceivePiece), so none waits on another's reader for ever. A coded body is decoded only as far as
//   there is room: a small body that decodes to gigabytes passes through in the window, never whole. A
//   release counts as activity: a transfer whose reader takes nothing for its time-out interval times out.
// - A request body given as a stream goes out as it comes, at any size. When the request names its length
//   ("Content-Length"), a stream that ends before it, goes on past it, or fails, fails the transfer with
//   kURLErrorRequestBodyStreamExhausted: a cut body is never sent as if whole.
// - Connections are bounded (connectionLimitsFor the process's descriptor limit, RLIMIT_NOFILE): in all,
//   open or kept alive for reuse, at most a quarter of the descriptors the process may open (and at most
//   kMaxConnections), to one host and port at most kMaxConnectionsPerHost. A transfer beyond them waits for
//   a connection, its time-out running; the rest of the descriptors stay for the rest of the process.
// - `post` runs a function on the loading thread after what is queued there; it is also where URL
//   protocols start and stop loading (see URLConnection).
#pragma once

#include "platform/core/Error.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class HTTPTransferObserver {
public:
    virtual ~HTTPTransferObserver() = default;
    virtual void transferDidReceiveResponse(const URLResponse& response) = 0;
    // A piece of the body as decoded; with a receive window it counts as held until released.
    virtual void transferDidReceiveData(Bytes data) = 0;
    virtual void transferDidSendBodyData(std::int64_t bytesWritten, std::int64_t totalBytesWritten,
                                         std::int64_t totalBytesExpectedToWrite) = 0;
    // Called for each reply head's "Set-Cookie" lines (redirects included), with the URL that answered.
    virtual void transferDidReceiveCookies(const std::string& url, const std::vector<std::string>& setCookieValues) = 0;
    // nullopt: the transfer finished; else why it failed.
    virtual void transferDidComplete(std::optional<Error> error) = 0;
};

class HTTPTransport {
public:
    static constexpr long kMaxRedirects = 16;
    static constexpr long kMaxConnections = 256;
    static constexpr long kMaxConnectionsPerHost = 32;

    struct ConnectionLimits {
        long total = 0;
        long perHost = 0;
    };
    static ConnectionLimits connectionLimitsFor(std::uint64_t descriptors);

    // What one transfer holds of its body before it pauses, when its observer asks for back-pressure; what
    // all of them hold together; and the largest piece handed over at once.
    static constexpr std::size_t kReceiveWindow = 1024 * 1024;
    static constexpr std::size_t kReceivedBytesHeldInAll = 64 * 1024 * 1024;
    static constexpr std::size_t kReceivePiece = 16 * 1024;

    struct Options {
        bool acceptAnyServerCertificate = false;
        // 0: every byte goes to the observer as it arrives, held by nobody's count (no back-pressure).
        std::size_t receiveWindow = 0;
    };
    using TransferID = std::uint64_t;

    // The process-wide transport; its thread starts on first use.
    static HTTPTransport& shared();

    HTTPTransport();
    ~HTTPTransport();
    HTTPTransport(const HTTPTransport&) = delete;
    HTTPTransport& operator=(const HTTPTransport&) = delete;

    // Starts a transfer of an http or https request. A request that cannot be sent (bad URL, method or
    // scheme) fails at once with an error value and nothing starts.
    Result<TransferID> start(const URLRequest& request, Options options, std::shared_ptr<HTTPTransferObserver> observer);
    void cancel(TransferID id);
    // The reader took `bytes` of what the transfer handed over (any thread; a transfer that ended ignores it).
    void release(TransferID id, std::size_t bytes);

    void post(std::function<void()> work);
    bool isLoadingThread() const;
    // Transfers currently running (for tests and diagnostics).
    std::size_t activeTransferCount() const;
    // Loads that are not transfers (files, URL protocols; URLConnection's) count what their readers hold in the
    // same total: the room it leaves and a hold, on the loading thread; a release from any thread.
    std::size_t roomInAll() const;
    void holdOutside(std::size_t bytes);
    void releaseOutside(std::size_t bytes);
    // Body bytes handed over and not yet released, by every transfer with a window and every load counted
    // outside (for tests and benches).
    std::size_t heldBytes() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};

} // namespace platform
