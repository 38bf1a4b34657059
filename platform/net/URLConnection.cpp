#include "platform/net/URLConnection.h"

#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLError.h"
#include "platform/runloop/RunLoopCore.h"
#include "platform/text/Text.h"

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr std::size_t kFileChunkSize = 64 * 1024;
constexpr const char* kDelegateQueueLabel = "URLConnection delegate";
} // namespace

// Transport events, on the loading thread, forwarded to the connection if it still exists.
class URLConnection::TransferObserver final : public HTTPTransferObserver {
public:
    explicit TransferObserver(std::weak_ptr<URLConnection> connection) : m_connection(std::move(connection)) {}

    void transferDidReceiveResponse(const URLResponse& response) override {
        if (auto c = m_connection.lock())
            c->deliverResponse(response);
    }
    void transferDidReceiveData(Bytes data) override {
        if (auto c = m_connection.lock())
            c->deliverData(std::move(data));
    }
    void transferDidSendBodyData(std::int64_t written, std::int64_t total, std::int64_t expected) override {
        if (auto c = m_connection.lock())
            c->deliver([=](URLConnectionDelegate& d, URLConnection& self) { d.didSendBodyData(self, written, total, expected); });
    }
    void transferDidReceiveCookies(const std::string& url, const std::vector<std::string>& values) override {
        auto c = m_connection.lock();
        if (!c || !c->m_request.httpShouldHandleCookies())
            return;
        if (auto answered = URL::fromString(url))
            c->cookieStorage().storeSetCookieValues(values, *answered, c->m_request.mainDocumentURL(), c->m_request.cookieSiteContext());
    }
    void transferDidComplete(std::optional<Error> error) override {
        auto c = m_connection.lock();
        if (!c)
            return;
        if (error)
            c->deliverFailure(std::move(*error));
        else
            c->deliverFinish();
    }

private:
    std::weak_ptr<URLConnection> m_connection;
};

// A URL protocol's client: forwards to the connection, from whatever thread the protocol calls.
class URLConnection::ProtocolClient final : public URLProtocolClient {
public:
    explicit ProtocolClient(std::weak_ptr<URLConnection> connection) : m_connection(std::move(connection)) {}

    void didReceiveResponse(URLProtocol&, const URLResponse& response, URLCacheStoragePolicy) override {
        if (auto c = m_connection.lock())
            c->deliverResponse(response);
    }
    void didLoadData(URLProtocol&, const Bytes& data) override {
        if (auto c = m_connection.lock())
            c->deliverData(data);
    }
    void didFinishLoading(URLProtocol&) override {
        if (auto c = m_connection.lock())
            c->deliverFinish();
    }
    void didFailWithError(URLProtocol&, const Error& error) override {
        if (auto c = m_connection.lock())
            c->deliverFailure(error);
    }
    void whenReaderHasRoom(URLProtocol&, std::function<void()> more) override {
        if (auto c = m_connection.lock())
            c->whenRoom(std::move(more));
    }

private:
    std::weak_ptr<URLConnection> m_connection;
};

std::shared_ptr<URLConnection> URLConnection::make(const URLRequest& request, std::weak_ptr<URLConnectionDelegate> delegate,
                                                   bool startImmediately) {
    std::shared_ptr<URLConnection> connection(new URLConnection(request, std::move(delegate)));
    if (startImmediately)
        connection->start();
    return connection;
}

URLConnection::URLConnection(const URLRequest& request, std::weak_ptr<URLConnectionDelegate> delegate)
    : m_request(request), m_delegate(std::move(delegate)) {}

URLConnection::~URLConnection() = default;

void URLConnection::setDeliveryTarget(DeliveryTarget target) {
    std::lock_guard lock(m_mutex);
    m_target = std::move(target);
}

void URLConnection::scheduleInRunLoop(RunLoop& loop) {
    if (loop.isMain())
        return setDeliveryTarget([](std::function<void()> work) { RunLoop::main().perform(std::move(work)); });
    if (loop.isCurrent()) {
        std::shared_ptr<RunLoop> shared = RunLoop::currentShared();
        return setDeliveryTarget([shared](std::function<void()> work) { shared->perform(std::move(work)); });
    }
    // Another thread's loop, held weakly: a load that outlives that thread delivers nothing.
    std::weak_ptr<RunLoopCore> core = loop.core().weak_from_this();
    setDeliveryTarget([core](std::function<void()> work) {
        if (auto alive = core.lock())
            alive->perform(std::move(work));
    });
}

void URLConnection::setDelegateQueue(std::shared_ptr<DispatchQueue> queue) {
    if (!queue)
        return;
    setDeliveryTarget([queue = std::move(queue)](std::function<void()> work) { queue->async(std::move(work)); });
}

URLConnection::DeliveryTarget URLConnection::onLoadingThread() {
    return [](std::function<void()> work) { work(); };
}

HTTPCookieStorage& URLConnection::cookieStorage() const {
    HTTPCookieStorage* chosen = m_request.httpCookieStorage();
    return chosen ? *chosen : HTTPCookieStorage::shared();
}

bool URLConnection::isCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

bool URLConnection::isFinished() const {
    std::lock_guard lock(m_mutex);
    return m_state == State::Ended;
}

void URLConnection::start() {
    bool unscheduled = false;
    {
        std::lock_guard lock(m_mutex);
        if (m_state != State::Created || m_cancelled)
            return;
        m_state = State::Loading;
        m_keepAlive = shared_from_this();
        unscheduled = !m_target;
    }
    if (unscheduled) {
        // Where start was called: the main run loop, the running queue, or this thread's run loop.
        // A concurrent queue would reorder the calls, so they get a serial queue of their own.
        DispatchQueue* queue = DispatchQueue::current();
        if (RunLoop::isMainThread())
            scheduleInRunLoop(RunLoop::main());
        else if (queue && queue->kind() == DispatchQueue::Kind::Concurrent)
            setDelegateQueue(DispatchQueue::createSerial(kDelegateQueueLabel));
        else if (queue)
            setDelegateQueue(queue->shared_from_this());
        else
            scheduleInRunLoop(RunLoop::current());
    }
    auto self = shared_from_this();
    HTTPTransport::shared().post([self] { self->load(); });
}

void URLConnection::cancel() {
    std::shared_ptr<URLConnection> self;
    std::function<void()> waiting;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return;
        m_cancelled = true;
        bool wasLoading = m_state == State::Loading;
        m_state = State::Ended;
        if (!wasLoading)
            return;
        forgetHeldLocked();
        waiting = std::move(m_whenRoom);
        self = std::move(m_keepAlive);
    }
    if (!self)
        return;
    HTTPTransport::shared().post([self] {
        std::shared_ptr<URLProtocol> protocol;
        std::optional<HTTPTransport::TransferID> transfer;
        {
            std::lock_guard lock(self->m_mutex);
            protocol = std::move(self->m_protocol);
            transfer = self->m_transfer;
        }
        if (transfer)
            HTTPTransport::shared().cancel(*transfer);
        if (protocol)
            protocol->stopLoading();
    });
}

void URLConnection::load() {
    if (isCancelled())
        return;
    if (!m_request.url())
        return deliverFailure(makeURLError(kURLErrorBadURL, "bad URL"));
    if (auto protocolClass = URLProtocol::classForRequest(m_request)) {
        auto protocol = protocolClass->make(m_request, std::make_shared<ProtocolClient>(weak_from_this()));
        {
            std::lock_guard lock(m_mutex);
            m_protocol = protocol;
        }
        protocol->startLoading();
        return;
    }
    std::string scheme = m_request.scheme();
    if (scheme == "http")
        return startHTTP(URLAuthenticationChallenge::Disposition::DefaultHandling);
    if (scheme == "file")
        return loadFile();
    if (scheme != "https")
        return deliverFailure(makeURLError(kURLErrorUnsupportedURL, "unsupported URL", m_request.urlString()));

    const URL& url = *m_request.url();
    if (!url.host() || url.host()->empty())
        return deliverFailure(makeURLError(kURLErrorBadURL, "bad URL", m_request.urlString()));
    std::weak_ptr<URLConnection> weak = weak_from_this();
    auto challenge = std::make_shared<URLAuthenticationChallenge>(*url.host(), url.port().value_or(443), [weak](URLAuthenticationChallenge::Disposition d) {
        if (auto self = weak.lock())
            HTTPTransport::shared().post([self, d] { self->startHTTP(d); });
    });
    // If the delegate is gone or the call never runs, the dropped challenge answers with the default.
    deliver([challenge](URLConnectionDelegate& d, URLConnection& self) { d.willSendRequestForAuthenticationChallenge(self, challenge); });
}

void URLConnection::startHTTP(URLAuthenticationChallenge::Disposition disposition) {
    if (isCancelled())
        return;
    if (disposition == URLAuthenticationChallenge::Disposition::Cancel)
        return deliverFailure(makeURLError(kURLErrorUserCancelledAuthentication, "the server-trust challenge was cancelled", m_request.urlString()));
    URLRequest request = m_request;
    if (const URLRequest::BodySource& source = request.httpBodySource()) {
        // The body first, from its source; the transfer starts on the loading thread once it is there.
        std::weak_ptr<URLConnection> weak = weak_from_this();
        source([weak, disposition](URLRequest::FoundBody body) {
            HTTPTransport::shared().post([weak, disposition, body = std::move(body)]() mutable {
                if (auto self = weak.lock())
                    self->startHTTPWithBody(disposition, std::move(body));
            });
        });
        return;
    }
    startHTTPWithBody(disposition, std::nullopt);
}

void URLConnection::startHTTPWithBody(URLAuthenticationChallenge::Disposition disposition, std::optional<URLRequest::FoundBody> found) {
    if (isCancelled())
        return;
    URLRequest request = m_request;
    request.setHTTPBodySource(nullptr);
    if (found && found->stream) {
        request.setHTTPBodyStream(std::move(found->stream));
        if (found->streamLength >= 0)
            (void)request.setValue(std::to_string(found->streamLength), "Content-Length");
    }
    else if (found && found->bytes)
        request.setHTTPBody(std::move(*found->bytes));
    if (request.httpShouldHandleCookies() && !request.valueForHTTPHeaderField("Cookie")) {
        if (auto cookies = cookieStorage().cookieHeaderForURL(*request.url(), request.cookieSiteContext()))
            (void)request.setValue(*cookies, "Cookie");
    }
    HTTPTransport::Options options;
    options.acceptAnyServerCertificate = disposition == URLAuthenticationChallenge::Disposition::AcceptAnyCertificate;
    options.receiveWindow = HTTPTransport::kReceiveWindow;
    auto transfer = HTTPTransport::shared().start(request, options, std::make_shared<TransferObserver>(weak_from_this()));
    if (!transfer)
        return deliverFailure(transfer.error());
    std::lock_guard lock(m_mutex);
    m_transfer = *transfer;
}

void URLConnection::loadFile() {
    const std::string url = m_request.urlString();
    const std::string path = m_request.url()->path();
    if (path.empty())
        return deliverFailure(makeURLError(kURLErrorBadURL, "bad URL", url));
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return deliverFailure(makeURLError(errno == EACCES ? kURLErrorNoPermissionsToReadFile : kURLErrorFileDoesNotExist,
                                           "The requested URL was not found on this server.", url));
    if (S_ISDIR(st.st_mode))
        return deliverFailure(makeURLError(kURLErrorFileIsDirectory, "the file is a directory", url));
    // Not blocking, and only a regular file: a FIFO would hold the open (and the load) until a writer
    // came, and a device (a link to /dev/zero) would never end.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        return deliverFailure(makeURLError(kURLErrorNoPermissionsToReadFile, "not a regular file", url));
    }
    std::FILE* file = fd >= 0 ? ::fdopen(fd, "rb") : nullptr;
    if (!file) {
        if (fd >= 0)
            ::close(fd);
        return deliverFailure(makeURLError(kURLErrorNoPermissionsToReadFile, "the file cannot be read", url));
    }
    // The file's type by its extension, as a page's loader needs it (a script, a style sheet).
    deliverResponse(URLResponse(m_request.url(), mimeTypeForExtension(m_request.url()->pathExtension()).value_or(""),
                                static_cast<std::int64_t>(st.st_size)));
    readFile(std::shared_ptr<std::FILE>(file, &std::fclose));
}

void URLConnection::readFile(std::shared_ptr<std::FILE> file) {
    for (;;) {
        {
            std::lock_guard lock(m_mutex);
            if (m_cancelled || m_state != State::Loading)
                return;
            if (!hasRoomLocked()) {
                // Read on once the reader took enough; the file closes with the load if it never does.
                std::weak_ptr<URLConnection> weak = weak_from_this();
                m_whenRoom = [weak, file] {
                    if (auto self = weak.lock())
                        self->readFile(file);
                };
                return;
            }
        }
        Bytes chunk(kFileChunkSize);
        std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (n > 0) {
            chunk.resize(n);
            deliverData(std::move(chunk));
        }
        if (n < kFileChunkSize)
            break;
    }
    if (std::ferror(file.get()) != 0)
        return deliverFailure(makeURLError(kURLErrorNoPermissionsToReadFile, "the file cannot be read", m_request.urlString()));
    deliverFinish();
}

bool URLConnection::hasRoomLocked() const {
    return m_held < HTTPTransport::kReceiveWindow && (m_held == 0 || HTTPTransport::shared().roomInAll() > 0);
}

void URLConnection::whenRoom(std::function<void()> more) {
    if (!HTTPTransport::shared().isLoadingThread()) {
        std::weak_ptr<URLConnection> weak = weak_from_this();
        HTTPTransport::shared().post([weak, more = std::move(more)]() mutable {
            if (auto self = weak.lock())
                self->whenRoom(std::move(more));
        });
        return;
    }
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled || m_state != State::Loading)
            return;
        if (!hasRoomLocked()) {
            m_whenRoom = std::move(more);
            return;
        }
    }
    more();
}

void URLConnection::runWhenRoom() {
    std::function<void()> more;
    {
        std::lock_guard lock(m_mutex);
        if (!m_whenRoom || m_cancelled || m_state != State::Loading || !hasRoomLocked())
            return;
        more = std::move(m_whenRoom);
        m_whenRoom = nullptr;
    }
    more();
}

void URLConnection::releaseHeld(std::size_t bytes) {
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled || m_state != State::Loading)
            return;
        bytes = std::min(bytes, m_held);
        m_held -= bytes;
    }
    HTTPTransport::shared().releaseOutside(bytes);
    std::weak_ptr<URLConnection> weak = weak_from_this();
    HTTPTransport::shared().post([weak] {
        if (auto self = weak.lock())
            self->runWhenRoom();
    });
}

void URLConnection::forgetHeldLocked() {
    if (m_held > 0)
        HTTPTransport::shared().releaseOutside(std::exchange(m_held, 0));
}

void URLConnection::deliver(std::function<void(URLConnectionDelegate&, URLConnection&)> call, bool ends) {
    std::shared_ptr<URLConnection> self;
    std::shared_ptr<URLProtocol> protocol;
    DeliveryTarget target;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled || m_state != State::Loading)
            return;
        if (ends) {
            m_state = State::Ended;
            self = std::move(m_keepAlive);
            protocol = std::move(m_protocol);
            forgetHeldLocked();
            m_whenRoom = nullptr;
        }
        target = m_target;
    }
    if (!self)
        self = shared_from_this();
    if (protocol) {
        // The protocol may still be inside its call to us: let it go on the loading thread, later.
        HTTPTransport::shared().post([protocol] {});
    }
    auto work = [self, call = std::move(call)] {
        if (self->isCancelled())
            return;
        if (auto delegate = self->m_delegate.lock())
            call(*delegate, *self);
    };
    if (target)
        target(std::move(work));
    else
        work();
}

URLRequest URLConnection::currentRequest() const {
    URLRequest request = m_request;
    std::lock_guard lock(m_mutex);
    if (m_answeredURL)
        request.setURL(m_answeredURL);
    return request;
}

void URLConnection::deliverResponse(const URLResponse& response) {
    if (response.url()) {
        std::lock_guard lock(m_mutex);
        m_answeredURL = response.url();
    }
    deliver([response](URLConnectionDelegate& d, URLConnection& self) { d.didReceiveResponse(self, response); });
}

namespace {
// A piece of a transfer's body on its way to the delegate: released to the transport once the call ran, or
// was dropped, unless the delegate keeps the bytes and releases them itself.
struct HeldData {
    Bytes bytes;
    std::optional<HTTPTransport::TransferID> transfer;
    std::function<void(std::size_t)> releaseHeld; // a load that is no transfer
    bool releasedByDelegate = false;
    ~HeldData() {
        if (releasedByDelegate)
            return;
        if (transfer)
            HTTPTransport::shared().release(*transfer, bytes.size());
        else if (releaseHeld)
            releaseHeld(bytes.size());
    }
};
} // namespace

void URLConnection::deliverData(Bytes data) {
    auto held = std::make_shared<HeldData>();
    held->bytes = std::move(data);
    bool counted = false;
    {
        std::lock_guard lock(m_mutex);
        held->transfer = m_transfer;
        held->releasedByDelegate = m_keepsReceivedData;
        if (!m_transfer && !m_cancelled && m_state == State::Loading) {
            m_held += held->bytes.size();
            counted = true;
        }
    }
    if (counted) {
        const std::size_t size = held->bytes.size();
        HTTPTransport& transport = HTTPTransport::shared();
        if (transport.isLoadingThread())
            transport.holdOutside(size);
        else
            transport.post([size] { HTTPTransport::shared().holdOutside(size); });
        std::weak_ptr<URLConnection> weak = weak_from_this();
        held->releaseHeld = [weak](std::size_t bytes) {
            if (auto self = weak.lock())
                self->releaseHeld(bytes);
        };
    }
    deliver([held](URLConnectionDelegate& d, URLConnection& self) { d.didReceiveData(self, held->bytes); });
}

void URLConnection::keepReceivedData() {
    std::lock_guard lock(m_mutex);
    m_keepsReceivedData = true;
}

void URLConnection::releaseReceivedData(std::size_t bytes) {
    std::optional<HTTPTransport::TransferID> transfer;
    {
        std::lock_guard lock(m_mutex);
        transfer = m_transfer;
    }
    if (transfer)
        HTTPTransport::shared().release(*transfer, bytes);
    else
        releaseHeld(bytes);
}

void URLConnection::deliverFinish() {
    deliver([](URLConnectionDelegate& d, URLConnection& self) { d.didFinishLoading(self); }, true);
}

void URLConnection::deliverFailure(Error error) {
    deliver([error = std::move(error)](URLConnectionDelegate& d, URLConnection& self) { d.didFailWithError(self, error); }, true);
}

// Synchronous loads.

namespace {
// Collects a load for a synchronous caller. Every call counts as progress.
class Collector final : public URLConnectionDelegate {
public:
    explicit Collector(std::optional<std::size_t> maxBodyLength) : m_maxBodyLength(maxBodyLength) {}

    void didReceiveResponse(URLConnection&, const URLResponse& response) override {
        std::lock_guard lock(m_mutex);
        m_response = response;
        m_data.clear();
        progress();
    }
    void didReceiveData(URLConnection& connection, const Bytes& data) override {
        std::lock_guard lock(m_mutex);
        if (m_done)
            return;
        if (m_maxBodyLength && data.size() > *m_maxBodyLength - std::min(*m_maxBodyLength, m_data.size())) {
            m_error = makeURLError(kURLErrorDataLengthExceedsMaximum,
                                   "the reply is larger than " + std::to_string(*m_maxBodyLength) + " bytes",
                                   connection.originalRequest().urlString());
            m_data.clear();
            m_done = true;
            m_changed.notify_all();
            return;
        }
        m_data.insert(m_data.end(), data.begin(), data.end());
        progress();
    }
    void didSendBodyData(URLConnection&, std::int64_t, std::int64_t, std::int64_t) override {
        std::lock_guard lock(m_mutex);
        progress();
    }
    void didFinishLoading(URLConnection&) override { end(std::nullopt); }
    void didFailWithError(URLConnection&, const Error& error) override { end(error); }

    // Waits for the end; nullopt when nothing happened for `idle` (a URL protocol that never answers).
    std::optional<Result<URLReply>> wait(std::chrono::steady_clock::duration idle) {
        std::unique_lock lock(m_mutex);
        while (!m_done) {
            if (m_changed.wait_until(lock, m_lastProgress + idle) == std::cv_status::timeout && !m_done &&
                std::chrono::steady_clock::now() >= m_lastProgress + idle)
                return std::nullopt;
        }
        if (m_error)
            return Result<URLReply>(*m_error);
        return Result<URLReply>(URLReply{m_response, std::move(m_data)});
    }

private:
    void progress() {
        m_lastProgress = std::chrono::steady_clock::now();
        m_changed.notify_all();
    }
    void end(std::optional<Error> error) {
        std::lock_guard lock(m_mutex);
        if (m_done)
            return;
        m_error = std::move(error);
        m_done = true;
        m_changed.notify_all();
    }

    const std::optional<std::size_t> m_maxBodyLength;
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::chrono::steady_clock::time_point m_lastProgress = std::chrono::steady_clock::now();
    bool m_done = false;
    URLResponse m_response;
    Bytes m_data;
    std::optional<Error> m_error;
};
} // namespace

Result<URLReply> URLConnection::sendSynchronousRequest(const URLRequest& request, std::optional<std::size_t> maxBodyLength) {
    if (HTTPTransport::shared().isLoadingThread())
        return makeURLError(kURLErrorUnknown, "a synchronous load cannot run on the URL-loading thread", request.urlString());
    auto collector = std::make_shared<Collector>(maxBodyLength);
    auto connection = make(request, collector, false);
    connection->setDeliveryTarget(onLoadingThread());
    connection->start();
    // The transport times out idle HTTP loads itself; this bound keeps a silent URL protocol from
    // holding the caller forever.
    double seconds = request.timeoutInterval() > 0 ? request.timeoutInterval() : URLRequest::kDefaultTimeoutInterval;
    auto idle = platform::seconds(seconds + 1.0);
    if (auto outcome = collector->wait(idle)) {
        if (!*outcome)
            connection->cancel(); // a body over its limit stops here; any other failure has ended the load
        return std::move(*outcome);
    }
    connection->cancel();
    return makeURLError(kURLErrorTimedOut, "The request timed out.", request.urlString());
}

bool URLConnection::canHandleRequest(const URLRequest& request) {
    if (URLProtocol::classForRequest(request))
        return true;
    std::string scheme = request.scheme();
    return scheme == "http" || scheme == "https" || scheme == "file";
}

} // namespace platform
