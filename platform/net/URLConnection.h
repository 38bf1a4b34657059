// A URL connection: loads one request and reports to a delegate. Every load first asks the URL protocol
// registry; otherwise http and https go to the HTTP transport (libcurl) and file URLs are read from disk.
//
// Guarantees:
// - The delegate is held weakly; a delegate that is gone receives nothing and the load goes on.
// - Delegate calls come where the connection is scheduled, in order: [server-trust challenge] response,
//   data..., upload progress, then exactly one of finished or failed. `scheduleInRunLoop` (for instance
//   the main run loop), `setDelegateQueue` (a serial queue stands in for an operation queue) or any
//   `setDeliveryTarget` choose the place before `start`. Unscheduled, a connection delivers where
//   `start` was called: the main run loop on the main thread, the serial queue whose block called it
//   (a serial queue of its own when that queue is concurrent), else the calling thread's run loop
//   (which must then be turned). Calls for the run loop of a thread that has ended are dropped.
// - A started connection keeps itself alive until it ends or is cancelled; `cancel` may be called on any
//   thread and after it no delegate call is made (none is on its way once cancel returns on the delivery
//   target's thread). A cancelled load sends no failure.
// - Any HTTP status is a response, never a failure. Failures are URL errors (URLError.h): -1001 time-out,
//   -1003 host not found, -1004 cannot connect, -1005 connection lost, -1002 unsupported URL, ...
// - An https load first puts a server-trust challenge to the delegate (on the delivery target); TLS
//   certificates are verified unless it answers useCredentialForServerTrust.
// - Back-pressure: an http or https body comes no faster than the delegate takes it. Its bytes count as held
//   (HTTPTransport::kReceiveWindow for the load, kReceivedBytesHeldInAll for all loads) from when the
//   transport hands them over until the delegate's didReceiveData call has returned (or was dropped); a
//   load that fills its window pauses until then. A delegate that keeps the bytes for a reader of its own
//   calls keepReceivedData() before start, and releaseReceivedData as its reader takes them. A file or a URL
//   protocol's body comes in pieces under the same window, counted in the same total: the next piece is read
//   only once the reader made room (a load holding nothing always gets one). What a load held when it ended
//   is its reader's from then on, counted no more.
#pragma once

#include "platform/core/Error.h"
#include "platform/net/HTTPTransport.h"
#include "platform/net/URLAuthenticationChallenge.h"
#include "platform/net/URLProtocol.h"
#include "platform/net/URLRequest.h"
#include "platform/net/URLResponse.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace platform {

class URLConnection;
class HTTPCookieStorage;

class URLConnectionDelegate {
public:
    virtual ~URLConnectionDelegate() = default;
    virtual void didReceiveResponse(URLConnection&, const URLResponse&) {}
    virtual void didReceiveData(URLConnection&, const Bytes&) {}
    virtual void didSendBodyData(URLConnection&, std::int64_t /*bytesWritten*/, std::int64_t /*totalBytesWritten*/,
                                 std::int64_t /*totalBytesExpectedToWrite*/) {}
    virtual void didFinishLoading(URLConnection&) {}
    virtual void didFailWithError(URLConnection&, const Error&) {}
    // The default answer is the default handling (the certificate is verified).
    virtual void willSendRequestForAuthenticationChallenge(URLConnection&, const std::shared_ptr<URLAuthenticationChallenge>& challenge) {
        challenge->performDefaultHandling();
    }
};

// The body and response of a load sent synchronously.
struct URLReply {
    URLResponse response;
    Bytes data;
};

class URLConnection : public std::enable_shared_from_this<URLConnection> {
public:
    using DeliveryTarget = std::function<void(std::function<void()>)>;

    // A connection for the request; it starts at once unless told not to.
    static std::shared_ptr<URLConnection> make(const URLRequest& request, std::weak_ptr<URLConnectionDelegate> delegate,
                                               bool startImmediately = true);
    // Loads the request and waits for the end. The reply holds the response of any HTTP status and the
    // body; a failure is the error value. A load that makes no progress for its time-out interval (plus
    // a second, for URL protocols that never answer) is cancelled and fails with kURLErrorTimedOut. Must
    // not be called on the URL-loading thread (answers an error). With `maxBodyLength`, a body (as decoded)
    // that grows past it cancels the load as it arrives and fails with kURLErrorDataLengthExceedsMaximum.
    static Result<URLReply> sendSynchronousRequest(const URLRequest& request,
                                                   std::optional<std::size_t> maxBodyLength = std::nullopt);
    // Whether some loader (a registered protocol, http, https or file) would take the request.
    static bool canHandleRequest(const URLRequest& request);

    ~URLConnection();
    URLConnection(const URLConnection&) = delete;
    URLConnection& operator=(const URLConnection&) = delete;

    // Where delegate calls run; set before `start`.
    void scheduleInRunLoop(RunLoop& loop);
    void setDelegateQueue(std::shared_ptr<DispatchQueue> queue);
    void setDeliveryTarget(DeliveryTarget target);
    // A target that runs delegate calls at once on the URL-loading thread (they must be quick).
    static DeliveryTarget onLoadingThread();
    void start();
    void cancel();
    // See back-pressure above. Any thread.
    void keepReceivedData();
    void releaseReceivedData(std::size_t bytes);

    const URLRequest& originalRequest() const { return m_request; }
    // The request as it stands now: after redirects, with the URL that answered.
    URLRequest currentRequest() const;
    // Whether the load ended (finished, failed or cancelled).
    bool isFinished() const;

private:
    class TransferObserver;
    class ProtocolClient;
    enum class State { Created, Loading, Ended };

    URLConnection(const URLRequest& request, std::weak_ptr<URLConnectionDelegate> delegate);

    void load();                                            // loading thread
    void startHTTP(URLAuthenticationChallenge::Disposition); // loading thread
    // loading thread: the body its source found, if the request has one
    void startHTTPWithBody(URLAuthenticationChallenge::Disposition, std::optional<URLRequest::FoundBody> found);
    void loadFile();                                        // loading thread
    void readFile(std::shared_ptr<std::FILE> file);          // loading thread, as the reader makes room
    // Runs `more` on the loading thread once this load, not a transfer, may hand over another piece.
    void whenRoom(std::function<void()> more);
    void runWhenRoom();                                     // loading thread
    bool hasRoomLocked() const;                             // loading thread
    void releaseHeld(std::size_t bytes);
    // The load ended: what it held is no longer counted.
    void forgetHeldLocked();

    // Hands a delegate call to the delivery target; `ends` marks the last call.
    void deliver(std::function<void(URLConnectionDelegate&, URLConnection&)> call, bool ends = false);
    void deliverResponse(const URLResponse& response);
    void deliverData(Bytes data);
    void deliverFinish();
    void deliverFailure(Error error);
    bool isCancelled() const;
    HTTPCookieStorage& cookieStorage() const;

    URLRequest m_request;
    std::weak_ptr<URLConnectionDelegate> m_delegate;
    DeliveryTarget m_target;

    mutable std::mutex m_mutex;
    State m_state = State::Created;
    bool m_cancelled = false;
    std::shared_ptr<URLConnection> m_keepAlive;
    std::optional<HTTPTransport::TransferID> m_transfer;
    std::shared_ptr<URLProtocol> m_protocol;
    std::optional<URL> m_answeredURL;
    bool m_keepsReceivedData = false;
    // A file's or a protocol's load: the bytes its reader holds, and what goes on once it made room.
    std::size_t m_held = 0;
    std::function<void()> m_whenRoom;
};

} // namespace platform
