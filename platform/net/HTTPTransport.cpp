#include "platform/net/HTTPTransport.h"

#include "platform/runloop/ThreadHooks.h"
#include "platform/runloop/Clock.h"
#include "platform/net/ContentDecoder.h"
#include "platform/net/HTTPResponseHead.h"
#include "platform/net/URLError.h"
#include "platform/net/URLProtocol.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <condition_variable>
#include <cstring>
#include <curl/curl.h>
#include <limits>
#include <map>
#include <mutex>
#include <strings.h>
#include <sys/resource.h>
#include <thread>

namespace platform {

namespace {

// Network time-outs run on real time, whatever clock the rest of the system reads.
using SteadyClock = std::chrono::steady_clock;

constexpr long kBufferSize = 128 * 1024;
constexpr int kLongestWaitMs = 1000;

// libcurl's process-wide set-up, and the TLS library's under it, runs once, as this library loads: on the
// main thread, before `main` and before any worker is started. Left to the first transfer it would run on
// whichever worker loads first (a statistics upload, a push request), where `main` may return meanwhile and
// the TLS library's exit clean-up run beside the set-up (a crash at exit).
void setUpLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}
[[maybe_unused]] const bool kLibrarySetUpAtLoad = (setUpLibrary(), true);

// The descriptors the process may open (RLIMIT_NOFILE), 1024 when unknown.
std::uint64_t descriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    return limit.rlim_cur == RLIM_INFINITY ? std::numeric_limits<std::uint64_t>::max() : static_cast<std::uint64_t>(limit.rlim_cur);
}

bool isToken(const std::string& s) {
    return HTTPHeaderFields::isValidName(s);
}

Error errorFor(CURLcode code, long osErrno, const std::string& url, const char* detail) {
    std::string text = detail && *detail ? std::string(detail) : std::string(curl_easy_strerror(code));
    switch (code) {
    case CURLE_OPERATION_TIMEDOUT:
        return makeURLError(kURLErrorTimedOut, "The request timed out. (" + text + ")", url);
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return makeURLError(kURLErrorCannotFindHost, "A server with the specified hostname could not be found. (" + text + ")", url);
    case CURLE_COULDNT_CONNECT:
        if (osErrno == ENETUNREACH || osErrno == ENETDOWN)
            return makeURLError(kURLErrorNotConnectedToInternet, "The Internet connection appears to be offline. (" + text + ")", url);
        return makeURLError(kURLErrorCannotConnectToHost, "Could not connect to the server. (" + text + ")", url);
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
    case CURLE_GOT_NOTHING:
        return makeURLError(kURLErrorNetworkConnectionLost, "The network connection was lost. (" + text + ")", url);
    case CURLE_UNSUPPORTED_PROTOCOL:
        return makeURLError(kURLErrorUnsupportedURL, "unsupported URL (" + text + ")", url);
    case CURLE_URL_MALFORMAT:
        return makeURLError(kURLErrorBadURL, "bad URL (" + text + ")", url);
    case CURLE_TOO_MANY_REDIRECTS:
        return makeURLError(kURLErrorHTTPTooManyRedirects, "too many HTTP redirects", url);
    case CURLE_PEER_FAILED_VERIFICATION:
        return makeURLError(kURLErrorServerCertificateUntrusted, "The certificate for this server is invalid. (" + text + ")", url);
    case CURLE_SSL_CONNECT_ERROR:
        return makeURLError(kURLErrorSecureConnectionFailed, "A TLS error occurred and a secure connection to the server cannot be made. (" + text + ")", url);
    case CURLE_BAD_CONTENT_ENCODING:
        return makeURLError(kURLErrorCannotDecodeContentData, "cannot decode raw data (" + text + ")", url);
    case CURLE_READ_ERROR:
    case CURLE_SEND_FAIL_REWIND:
        return makeURLError(kURLErrorRequestBodyStreamExhausted, "request body stream exhausted (" + text + ")", url);
    case CURLE_WEIRD_SERVER_REPLY:
        return makeURLError(kURLErrorBadServerResponse, "bad server response (" + text + ")", url);
    case CURLE_ABORTED_BY_CALLBACK:
        return makeURLError(kURLErrorCancelled, "cancelled", url);
    default:
        return makeURLError(kURLErrorUnknown, text, url);
    }
}

} // namespace

// An absolute location whose scheme is not one the transport follows (http, https).
static bool isForeignLocation(std::string_view location) {
    const std::size_t colon = location.find(':');
    if (colon == std::string_view::npos || colon == 0 || !std::isalpha(static_cast<unsigned char>(location[0])))
        return false;
    for (char c : location.substr(0, colon))
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    std::string scheme(location.substr(0, colon));
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme != "http" && scheme != "https";
}

struct HTTPTransport::Impl {
    struct Transfer {
        Impl* impl = nullptr;
        TransferID id = 0;
        URLRequest request;
        Options options;
        std::shared_ptr<HTTPTransferObserver> observer;
        CURL* easy = nullptr;
        curl_slist* headers = nullptr;
        HTTPResponseHead head;
        bool responseDelivered = false;
        // A redirect to a scheme the transport does not load (an application's own scheme): its reply
        // is the response, and the library's failure to follow it is no failure.
        bool foreignRedirect = false;
        // A redirect a URL protocol refuses (URLProtocol::redirectIsRefused): the transfer ends at its head,
        // before the library can follow it, and fails.
        std::optional<std::string> refusedLocation;
        std::size_t bodyOffset = 0;
        // The request body's stream waits for bytes: the library does not ask for more until it is resumed.
        bool sendPaused = false;
        std::int64_t uploadExpected = -1;
        // Bytes read from the request body's stream so far, and why the stream could not be sent whole.
        std::int64_t uploadRead = 0;
        std::optional<Error> bodyError;
        // The last bytes of a body of a named length, held until its stream is known to end there.
        std::vector<std::uint8_t> bodyTail;
        // Back-pressure (Options::receiveWindow): what the observer holds, whether the library was told to wait
        // for room, and the decoder of a coded body (with the coded bytes it was given and has not decoded).
        std::size_t held = 0;
        bool receivePaused = false;
        std::optional<ContentDecoder> decoder;
        std::optional<Error> decodeError;
        // The library is done with the transfer while its decoder still holds coded bytes, decoded as room
        // comes back: the transfer ends once they are all handed over.
        bool libraryDone = false;
        curl_off_t lastUploaded = 0;
        SteadyClock::duration timeout{};
        SteadyClock::time_point lastActivity = SteadyClock::now();
        // The final reply's head ended with its empty line (a followed redirect's or an interim reply's
        // head does not count).
        bool finalHeadComplete = false;
        // When the head must be complete: one time-out after the request (and its body) went out.
        std::optional<SteadyClock::time_point> headDeadline;
        // Sendings of the request so far, and how many it may have: one, and one more for each redirect the
        // library follows. Past that it is the library sending it again by itself (a connection it reused
        // closed before the reply, even one reused on the way of a redirect), refused for a request the
        // transport may not send again.
        int sendings = 0;
        int sendingsAsked = 1;
        bool resendRefused = false;
        // The method of the request as it goes out now, and whether the library may send it again by itself:
        // the request's own rule at first; the GET a 301, 302 or 303 makes of a POST is safe to send again.
        std::string hopMethod;
        bool hopMayResend = true;
        // A redirect the transfer does not follow, because following it would send this request again
        // (a 307 or 308, or any redirect of a method other than POST): its reply is the response.
        bool redirectKept = false;
        char errorText[CURL_ERROR_SIZE] = {};

        ~Transfer() {
            if (const auto& stream = request.httpBodyStream())
                stream->setReadableHandler(nullptr);
            if (easy)
                curl_easy_cleanup(easy);
            curl_slist_free_all(headers);
        }

        void touch() { lastActivity = SteadyClock::now(); }

        // The request body's stream has nothing yet: the library waits until it says it has.
        size_t waitForBody() {
            sendPaused = true;
            Impl* owner = impl;
            TransferID transfer = id;
            request.httpBodyStream()->setReadableHandler([owner, transfer] { owner->post([owner, transfer] { owner->unpauseSending(transfer); }); });
            return CURL_READFUNC_PAUSE;
        }

        // The request body cannot go out whole: the transfer fails with why, never with a cut body sent.
        size_t failBody(const std::string& why) {
            bodyError = makeURLError(kURLErrorRequestBodyStreamExhausted, why, request.urlString());
            return CURL_READFUNC_ABORT;
        }

        // Whether following a redirect of that status turns this hop into a GET (the library's way with a
        // POST answered 301, 302 or 303): a new request, not this one sent again.
        bool redirectMakesAGet(int status) const { return hopMethod == "POST" && status >= 301 && status <= 303; }

        // The URL the library goes to when it follows `location`: resolved as it resolves it (a space or a
        // byte past ASCII written as an escape), so the URL judged is the one requested. nullopt where the
        // library does not follow it (it fails the transfer then).
        std::optional<std::string> redirectTarget(const std::string& location) const {
            CURLU* target = curl_url();
            char* text = nullptr;
            CURLUcode code = curl_url_set(target, CURLUPART_URL, effectiveURL().c_str(), 0);
            if (code == CURLUE_OK)
                code = curl_url_set(target, CURLUPART_URL, location.c_str(), CURLU_URLENCODE | CURLU_ALLOW_SPACE);
            if (code == CURLUE_OK)
                code = curl_url_get(target, CURLUPART_URL, &text, 0);
            std::optional<std::string> result = code == CURLUE_OK && text ? std::optional<std::string>(text) : std::nullopt;
            curl_free(text);
            curl_url_cleanup(target);
            return result;
        }

        // Whether a URL protocol refuses the redirect the head of this status leads to: the request the load
        // would send next, judged as the registry judges a request (the whitelist of the page that asked, say).
        // A target the platform's URLs cannot read is judged as a request with no URL.
        bool protocolRefusesRedirect(int status) const {
            const std::optional<std::string> location = head.fields().value("Location");
            const std::optional<std::string> target = location ? redirectTarget(*location) : std::nullopt;
            if (!target)
                return false;
            URLRequest hop;
            hop.setURL(URL::fromString(*target));
            hop.setHTTPMethod(redirectMakesAGet(status) ? std::string("GET") : hopMethod);
            for (const auto& [name, value] : request.allHTTPHeaderFields().fields())
                (void)hop.addValue(value, name);
            hop.setWebViewIdentifier(request.webViewIdentifier());
            hop.setMainDocumentURL(request.mainDocumentURL());
            return URLProtocol::redirectIsRefused(hop);
        }

        // A status line came. Read before the library reads the head's Location field, where it decides to
        // follow: a hop that may not be sent again follows no redirect that would send it again.
        void statusLineRead() {
            const int status = head.statusCode();
            if (status < 300 || status >= 400 || hopMayResend || redirectMakesAGet(status))
                return;
            curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
            redirectKept = true;
        }
        // The request is out: the head's total deadline starts.
        void requestSent() {
            if (!headDeadline)
                headDeadline = SteadyClock::now() + timeout;
        }
        bool headOverdue(SteadyClock::time_point now) const { return !finalHeadComplete && headDeadline && now >= *headDeadline; }

        std::string effectiveURL() const {
            char* url = nullptr;
            curl_easy_getinfo(easy, CURLINFO_EFFECTIVE_URL, &url);
            return url ? std::string(url) : request.urlString();
        }

        void deliverResponse() {
            if (responseDelivered || head.statusCode() == 0)
                return;
            responseDelivered = true;
            std::optional<URL> url = URL::fromString(effectiveURL());
            URLResponse response = URLResponse::http(url ? url : request.url(), head.statusCode(), head.fields(), head.httpVersion());
            response.setStatusText(head.reasonPhrase());
            if (decoder)
                response.setExpectedContentLength(-1);
            observer->transferDidReceiveResponse(response);
        }
    };

    Impl() {
        setUpLibrary(); // a transport made while other libraries load, before this one's set-up
        multi = curl_multi_init();
        const ConnectionLimits limits = connectionLimitsFor(descriptorLimit());
        curl_multi_setopt(multi, CURLMOPT_MAX_TOTAL_CONNECTIONS, limits.total);
        curl_multi_setopt(multi, CURLMOPT_MAX_HOST_CONNECTIONS, limits.perHost);
        curl_multi_setopt(multi, CURLMOPT_MAXCONNECTS, limits.total);
        thread = std::thread([this] { run(); });
    }

    ~Impl() {
        stop();
        for (auto& [id, t] : transfers)
            curl_multi_remove_handle(multi, t->easy);
        transfers.clear();
        curl_multi_cleanup(multi);
    }

    // Ends the loading thread; work posted from then on is dropped.
    void stop() {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            stopping = true;
        }
        curl_multi_wakeup(multi);
        if (thread.get_id() == std::this_thread::get_id())
            thread.detach(); // asked from a transfer's callback: the loop ends when that callback returns
        else
            thread.join();
    }

    void post(std::function<void()> work) {
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
            commands.push_back(std::move(work));
        }
        curl_multi_wakeup(multi);
    }

    void run() {
        threadID = std::this_thread::get_id();
        enterPlatformThread();
        for (;;) {
            std::vector<std::function<void()>> batch;
            {
                std::lock_guard lock(mutex);
                if (stopping)
                    return;
                batch.swap(commands);
            }
            for (auto& work : batch)
                work();
            int running = 0;
            curl_multi_perform(multi, &running);
            drainMessages();
            expireIdleTransfers();
            curl_multi_poll(multi, nullptr, 0, waitMilliseconds(), nullptr);
        }
    }

    int waitMilliseconds() const {
        auto now = SteadyClock::now();
        auto wait = std::chrono::milliseconds(kLongestWaitMs);
        for (const auto& [id, t] : transfers) {
            auto end = t->lastActivity + t->timeout;
            if (!t->finalHeadComplete && t->headDeadline)
                end = std::min(end, *t->headDeadline);
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now);
            wait = std::min(wait, std::max(left + std::chrono::milliseconds(1), std::chrono::milliseconds(0)));
        }
        return static_cast<int>(wait.count());
    }

    void drainMessages() {
        int left = 0;
        while (CURLMsg* msg = curl_multi_info_read(multi, &left)) {
            if (msg->msg != CURLMSG_DONE)
                continue;
            Transfer* t = nullptr;
            curl_easy_getinfo(msg->easy_handle, CURLINFO_PRIVATE, &t);
            CURLcode code = msg->data.result;
            if (t->bodyError || t->decodeError) {
                finish(t->id, t->bodyError ? *t->bodyError : *t->decodeError);
                continue;
            }
            if (t->resendRefused) {
                finish(t->id, makeURLError(kURLErrorNetworkConnectionLost,
                                           "The network connection was lost before the reply came; the request is not sent again.",
                                           t->request.urlString()));
                continue;
            }
            if (t->refusedLocation) {
                finish(t->id, makeURLError(kURLErrorResourceUnavailable, "a redirect led where the load may not go: " + *t->refusedLocation,
                                           t->request.urlString()));
                continue;
            }
            if (code == CURLE_OK || t->foreignRedirect) {
                // A load carried for the engine takes a final head the connection's close ended after whole lines
                // as the engine does: whole, with an empty body.
                if (!t->finalHeadComplete && t->request.passesThrough() && t->head.statusCode() >= 200 && !t->head.isComplete())
                    onHeader(const_cast<char*>("\r\n"), 1, 2, t);
                // The library takes a reply cut off inside its head for a complete one.
                if (!t->finalHeadComplete) {
                    finish(t->id, makeURLError(kURLErrorBadServerResponse, "the server's reply ended before its head was complete",
                                               t->request.urlString()));
                    continue;
                }
                if (t->decoder && !t->decoder->needsInput()) {
                    t->libraryDone = true;
                    t->receivePaused = true;
                    curl_multi_remove_handle(multi, t->easy);
                    continue;
                }
                finish(t->id, std::nullopt);
                continue;
            }
            long osErrno = 0;
            curl_easy_getinfo(t->easy, CURLINFO_OS_ERRNO, &osErrno);
            finish(t->id, errorFor(code, osErrno, t->request.urlString(), t->errorText));
        }
    }

    void expireIdleTransfers() {
        auto now = SteadyClock::now();
        std::vector<TransferID> expired;
        for (const auto& [id, t] : transfers)
            if (now - t->lastActivity >= t->timeout || t->headOverdue(now))
                expired.push_back(id);
        for (TransferID id : expired)
            finish(id, makeURLError(kURLErrorTimedOut, "The request timed out.", transfers[id]->request.urlString()));
    }

    // Ends a transfer: a successful one reports its response first when it had no body.
    void finish(TransferID id, std::optional<Error> error) {
        auto it = transfers.find(id);
        if (it == transfers.end())
            return;
        std::unique_ptr<Transfer> t = std::move(it->second);
        transfers.erase(it);
        activeCount = transfers.size();
        forget(*t);
        curl_multi_remove_handle(multi, t->easy);
        if (!error)
            t->deliverResponse();
        t->observer->transferDidComplete(std::move(error));
    }

    void cancel(TransferID id) {
        auto it = transfers.find(id);
        if (it == transfers.end())
            return;
        forget(*it->second);
        curl_multi_remove_handle(multi, it->second->easy);
        transfers.erase(it);
        activeCount = transfers.size();
    }

    // What an ending transfer held is its reader's from now on: it no longer counts.
    void forget(Transfer& t) {
        heldInAll -= t.held;
        heldCount = heldInAll;
        t.held = 0;
    }

    // How many more body bytes the transfer may hand over now: what its window and the total leave, and one
    // piece at least while it holds nothing.
    std::size_t roomFor(const Transfer& t) const {
        if (!t.options.receiveWindow)
            return std::numeric_limits<std::size_t>::max();
        const std::size_t own = t.options.receiveWindow > t.held ? t.options.receiveWindow - t.held : 0;
        const std::size_t all = kReceivedBytesHeldInAll > heldInAll ? kReceivedBytesHeldInAll - heldInAll : 0;
        const std::size_t room = std::min(own, all);
        return t.held == 0 ? std::max(room, kReceivePiece) : room;
    }

    void handOver(Transfer& t, const std::uint8_t* bytes, std::size_t n) {
        if (t.options.receiveWindow) {
            t.held += n;
            heldInAll += n;
            heldCount = heldInAll;
        }
        t.observer->transferDidReceiveData(Bytes(bytes, bytes + n));
    }

    // Decodes what the transfer's decoder holds into the room there is; false when the body is not what its
    // coding says.
    bool decodeHeld(Transfer& t) {
        std::vector<std::uint8_t> buffer;
        for (;;) {
            const std::size_t room = std::min(roomFor(t), kReceivePiece);
            if (room == 0)
                return true;
            buffer.resize(room);
            Result<std::size_t> decoded = t.decoder->read(buffer.data(), room);
            if (!decoded) {
                t.decodeError = decoded.error();
                return false;
            }
            if (*decoded == 0)
                return true;
            handOver(t, buffer.data(), *decoded);
        }
    }

    void release(TransferID id, std::size_t bytes) {
        auto it = transfers.find(id);
        if (it == transfers.end())
            return;
        Transfer& t = *it->second;
        bytes = std::min(bytes, t.held);
        if (bytes)
            t.touch(); // the reader's pace: a load whose reader takes nothing for its time-out fails as timed out
        t.held -= bytes;
        heldInAll -= bytes;
        heldCount = heldInAll;
        // Room came back: to this transfer, and to any that waited for the total.
        resumeAll();
    }

    // Bytes of a load that is not a transfer (a file, a URL protocol) its reader took.
    void releaseOutside(std::size_t bytes) {
        bytes = std::min(bytes, heldOutside);
        heldOutside -= bytes;
        heldInAll -= bytes;
        heldCount = heldInAll;
        resumeAll();
    }

    void resumeAll() {
        std::vector<TransferID> waiting;
        for (const auto& [other, transfer] : transfers)
            if (transfer->receivePaused)
                waiting.push_back(other);
        for (TransferID other : waiting)
            resume(other);
    }

    // Lets a transfer that waited for room go on, if there is room now.
    void resume(TransferID id) {
        auto it = transfers.find(id);
        if (it == transfers.end() || !it->second->receivePaused)
            return;
        Transfer& t = *it->second;
        if (roomFor(t) == 0)
            return;
        if (t.decoder && !t.decoder->needsInput()) {
            if (!decodeHeld(t))
                return finish(id, *t.decodeError);
            if (!t.decoder->needsInput())
                return;
        }
        if (t.libraryDone)
            return finish(id, std::nullopt);
        t.receivePaused = false;
        t.touch();
        // The library hands over what it kept at once, from inside this call.
        if (curl_easy_pause(t.easy, t.sendPaused ? CURLPAUSE_SEND : CURLPAUSE_CONT) != CURLE_OK)
            finish(id, t.decodeError ? *t.decodeError : makeURLError(kURLErrorUnknown, "the transfer could not go on", t.request.urlString()));
    }

    void unpauseSending(TransferID id) {
        auto it = transfers.find(id);
        if (it == transfers.end() || !it->second->sendPaused)
            return;
        it->second->sendPaused = false;
        curl_easy_pause(it->second->easy, it->second->receivePaused ? CURLPAUSE_RECV : CURLPAUSE_CONT);
    }

    void add(std::unique_ptr<Transfer> t) {
        if (const auto& stream = t->request.httpBodyStream(); stream && !stream->open()) {
            t->observer->transferDidComplete(makeURLError(kURLErrorRequestBodyStreamExhausted, "the request body stream cannot be opened", t->request.urlString()));
            return;
        }
        t->touch();
        if (t->uploadExpected == 0)
            t->requestSent();
        Transfer* raw = t.get();
        transfers[t->id] = std::move(t);
        activeCount = transfers.size();
        curl_multi_add_handle(multi, raw->easy);
    }

    // Callbacks from libcurl, on the loading thread.

    static size_t onHeader(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        std::size_t n = size * count;
        t->touch();
        const HTTPResponseHead::Line line = t->head.consumeLine(std::string_view(buffer, n));
        if (line == HTTPResponseHead::Line::StatusLine)
            t->statusLineRead();
        if (line != HTTPResponseHead::Line::End)
            return n;
        if (!t->head.setCookieValues().empty())
            t->observer->transferDidReceiveCookies(t->effectiveURL(), t->head.setCookieValues());
        int status = t->head.statusCode();
        bool redirect = status >= 300 && status < 400 && status != 304 && t->head.fields().contains("Location") && !t->redirectKept
                        && !t->request.passesThrough();
        if (redirect && isForeignLocation(t->head.fields().value("Location").value_or(""))) {
            t->foreignRedirect = true;
            redirect = false;
        }
        if (redirect && t->protocolRefusesRedirect(status)) {
            // (The library has taken the Location already: only ending the transfer keeps it from following.)
            t->refusedLocation = t->head.fields().value("Location");
            return 0;
        }
        if (redirect) {
            ++t->sendingsAsked;
            if (t->redirectMakesAGet(status)) {
                t->hopMethod = "GET";
                t->hopMayResend = true;
            }
        }
        if (status >= 200 && !redirect) {
            t->finalHeadComplete = true;
            // Known codings are undone here, in the room there is; unknown ones pass through for the caller.
            if (!t->request.passesThrough())
                t->decoder = ContentDecoder::forEncoding(t->head.fields().value("Content-Encoding").value_or(""));
            t->deliverResponse();
        }
        return n;
    }

    // Before each sending of the request, on the connection it goes out on.
    static int onPrerequest(void* user, char*, char*, int, int) {
        auto* t = static_cast<Transfer*>(user);
        if (++t->sendings > t->sendingsAsked && !t->hopMayResend) {
            t->resendRefused = true;
            return CURL_PREREQFUNC_ABORT;
        }
        return CURL_PREREQFUNC_OK;
    }

    static size_t onData(char* data, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        std::size_t n = size * count;
        t->touch();
        t->deliverResponse();
        auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
        Impl& impl = *t->impl;
        if (t->decoder) {
            // The decoder takes coded bytes only once it decoded all it had: until then the library keeps them.
            if (!t->decoder->needsInput()) {
                t->receivePaused = true;
                return CURL_WRITEFUNC_PAUSE;
            }
            t->decoder->give(bytes, n);
            if (!impl.decodeHeld(*t))
                return 0;
            if (!t->decoder->needsInput())
                t->receivePaused = true; // told to the library on its next piece, or at the end of this one
            return n;
        }
        if (t->held > 0 && n > impl.roomFor(*t)) {
            t->receivePaused = true;
            return CURL_WRITEFUNC_PAUSE;
        }
        impl.handOver(*t, bytes, n);
        return n;
    }

    static size_t onRead(char* buffer, size_t size, size_t count, void* user) {
        auto* t = static_cast<Transfer*>(user);
        std::size_t max = size * count;
        if (const auto& body = t->request.httpBody()) {
            std::size_t n = std::min(max, body->size() - t->bodyOffset);
            std::memcpy(buffer, body->data() + t->bodyOffset, n);
            t->bodyOffset += n;
            if (t->bodyOffset >= body->size())
                t->requestSent();
            return n;
        }
        const auto& stream = t->request.httpBodyStream();
        if (!stream) {
            t->requestSent();
            return 0;
        }
        // With a length named, the stream must give exactly that: its last bytes are held back until the stream
        // is known to end with them, so that a longer body is never sent cut to the length.
        if (t->uploadExpected >= 0 && t->uploadRead >= t->uploadExpected && t->bodyTail.empty()) {
            t->requestSent();
            return 0;
        }
        if (t->bodyTail.empty()) {
            if (t->uploadExpected >= 0)
                max = static_cast<std::size_t>(std::min<std::int64_t>(static_cast<std::int64_t>(max), t->uploadExpected - t->uploadRead));
            InputStream::ReadOutcome outcome = stream->tryRead(reinterpret_cast<std::uint8_t*>(buffer), max);
            switch (outcome.state) {
            case InputStream::ReadState::Bytes:
                t->uploadRead += static_cast<std::int64_t>(outcome.count);
                if (t->uploadExpected < 0 || t->uploadRead < t->uploadExpected)
                    return outcome.count;
                t->bodyTail.assign(buffer, buffer + outcome.count);
                break;
            case InputStream::ReadState::AtEnd:
                if (t->uploadExpected >= 0)
                    return t->failBody("the request body ended after " + std::to_string(t->uploadRead) + " of its " +
                                       std::to_string(t->uploadExpected) + " bytes");
                t->requestSent();
                return 0;
            case InputStream::ReadState::Failed:
                return t->failBody("the request body could not be read: " + stream->streamError().localizedDescription());
            case InputStream::ReadState::WouldBlock:
                return t->waitForBody();
            }
        }
        std::uint8_t probe = 0;
        switch (stream->tryRead(&probe, 1).state) {
        case InputStream::ReadState::AtEnd: {
            const std::size_t n = std::min(max, t->bodyTail.size());
            std::memcpy(buffer, t->bodyTail.data(), n);
            t->bodyTail.erase(t->bodyTail.begin(), t->bodyTail.begin() + static_cast<std::ptrdiff_t>(n));
            return n;
        }
        case InputStream::ReadState::Bytes:
            return t->failBody("the request body is longer than its " + std::to_string(t->uploadExpected) + " bytes");
        case InputStream::ReadState::Failed:
            return t->failBody("the request body could not be read: " + stream->streamError().localizedDescription());
        case InputStream::ReadState::WouldBlock:
            break;
        }
        return t->waitForBody();
    }

    static int onSeek(void* user, curl_off_t offset, int origin) {
        auto* t = static_cast<Transfer*>(user);
        if (!t->request.httpBody() || origin != SEEK_SET || offset < 0 || static_cast<std::size_t>(offset) > t->request.httpBody()->size())
            return CURL_SEEKFUNC_CANTSEEK;
        t->bodyOffset = static_cast<std::size_t>(offset);
        return CURL_SEEKFUNC_OK;
    }

    static int onProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploaded) {
        auto* t = static_cast<Transfer*>(user);
        if (uploaded > t->lastUploaded) {
            t->touch();
            t->observer->transferDidSendBodyData(uploaded - t->lastUploaded, uploaded, t->uploadExpected);
        }
        t->lastUploaded = uploaded;
        if (t->uploadExpected >= 0 && uploaded >= t->uploadExpected)
            t->requestSent();
        return 0;
    }

    CURLM* multi = nullptr;
    std::thread thread;
    std::thread::id threadID;
    std::mutex mutex;
    std::vector<std::function<void()>> commands;
    bool stopping = false;
    std::map<TransferID, std::unique_ptr<Transfer>> transfers; // loading thread only
    std::size_t heldInAll = 0;                                 // loading thread only
    std::size_t heldOutside = 0;                               // of heldInAll, by loads that are no transfer
    std::atomic<std::size_t> activeCount{0};
    std::atomic<std::size_t> heldCount{0};
    std::atomic<TransferID> nextID{1};
};

HTTPTransport& HTTPTransport::shared() {
    // Never freed: a queue may still start or cancel a transfer while the process ends. The loading thread
    // stops at exit, where a static transport would have been destroyed, so that no transfer's callback
    // runs while the objects made before it are destroyed; what is posted after that is dropped.
    static auto* transport = [] {
        auto* made = new HTTPTransport;
        std::atexit([] { shared().m_impl->stop(); });
        return made;
    }();
    return *transport;
}

HTTPTransport::ConnectionLimits HTTPTransport::connectionLimitsFor(std::uint64_t descriptors) {
    ConnectionLimits limits;
    limits.total = static_cast<long>(std::clamp<std::uint64_t>(descriptors / 4, 1, kMaxConnections));
    limits.perHost = std::min(kMaxConnectionsPerHost, limits.total);
    return limits;
}

HTTPTransport::HTTPTransport() : m_impl(std::make_unique<Impl>()) {}
HTTPTransport::~HTTPTransport() = default;

void HTTPTransport::post(std::function<void()> work) { m_impl->post(std::move(work)); }

bool HTTPTransport::isLoadingThread() const { return std::this_thread::get_id() == m_impl->threadID; }

std::size_t HTTPTransport::activeTransferCount() const { return m_impl->activeCount; }

std::size_t HTTPTransport::heldBytes() const { return m_impl->heldCount; }

void HTTPTransport::release(TransferID id, std::size_t bytes) {
    Impl* impl = m_impl.get();
    // Always by a post, never inside a callback of the library (where a reader on the loading thread may be).
    impl->post([impl, id, bytes] { impl->release(id, bytes); });
}

std::size_t HTTPTransport::roomInAll() const {
    const std::size_t held = m_impl->heldInAll;
    return kReceivedBytesHeldInAll > held ? kReceivedBytesHeldInAll - held : 0;
}

void HTTPTransport::holdOutside(std::size_t bytes) {
    m_impl->heldOutside += bytes;
    m_impl->heldInAll += bytes;
    m_impl->heldCount = m_impl->heldInAll;
}

void HTTPTransport::releaseOutside(std::size_t bytes) {
    Impl* impl = m_impl.get();
    impl->post([impl, bytes] { impl->releaseOutside(bytes); });
}

void HTTPTransport::cancel(TransferID id) {
    Impl* impl = m_impl.get();
    impl->post([impl, id] { impl->cancel(id); });
}

Result<HTTPTransport::TransferID> HTTPTransport::start(const URLRequest& request, Options options,
                                                        std::shared_ptr<HTTPTransferObserver> observer) {
    if (!request.url())
        return makeURLError(kURLErrorBadURL, "bad URL");
    const std::string url = request.urlAsSent().empty() ? request.urlString() : request.urlAsSent();
    std::string scheme = request.scheme();
    if (scheme != "http" && scheme != "https")
        return makeURLError(kURLErrorUnsupportedURL, "unsupported URL", url);
    CURLU* parsed = curl_url();
    CURLUcode parseCode = curl_url_set(parsed, CURLUPART_URL, url.c_str(), 0);
    char* host = nullptr;
    if (parseCode == CURLUE_OK)
        parseCode = curl_url_get(parsed, CURLUPART_HOST, &host, 0);
    bool hasHost = host && *host;
    curl_free(host);
    curl_url_cleanup(parsed);
    if (parseCode != CURLUE_OK || !hasHost)
        return makeURLError(kURLErrorBadURL, "bad URL", url);
    const std::string& method = request.httpMethod();
    if (!isToken(method))
        return makeURLError(kURLErrorBadURL, "invalid HTTP method \"" + method + "\"", url);

    auto t = std::make_unique<Impl::Transfer>();
    t->impl = m_impl.get();
    t->id = m_impl->nextID++;
    t->request = request;
    t->options = options;
    t->observer = std::move(observer);
    t->hopMethod = request.httpMethod();
    t->hopMayResend = request.transportMayResend();
    double seconds = request.timeoutInterval() > 0 ? request.timeoutInterval() : URLRequest::kDefaultTimeoutInterval;
    // A passed-through load waits as long as its engine does (a year stands for that), once connected.
    t->timeout = request.passesThrough() ? std::chrono::duration_cast<SteadyClock::duration>(std::chrono::hours(24 * 365)) : platform::seconds(seconds);

    CURL* easy = curl_easy_init();
    t->easy = easy;
    curl_easy_setopt(easy, CURLOPT_URL, url.c_str());
    curl_easy_setopt(easy, CURLOPT_PRIVATE, t.get());
    curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, t->errorText);
    curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, request.passesThrough() ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_MAXREDIRS, kMaxRedirects);
    curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, CURL_HTTP_VERSION_1_1);
    curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, kBufferSize);
    curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(std::ceil(seconds * 1000)));
    if (request.timeoutBoundsWholeLoad())
        curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(std::ceil(seconds * 1000)));
    // libcurl sends a request again when a reused connection closes before any reply; on a connection
    // of its own it never does. A followed redirect may still reuse one (the library ignores
    // FRESH_CONNECT there): onPrerequest refuses what would be a second sending of a hop that may not
    // have one, and statusLineRead keeps such a hop from following a redirect that would send it again.
    if (!request.transportMayResend())
        curl_easy_setopt(easy, CURLOPT_FRESH_CONNECT, 1L);
    curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, &Impl::onPrerequest);
    curl_easy_setopt(easy, CURLOPT_PREREQDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, options.acceptAnyServerCertificate ? 0L : 1L);
    curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, options.acceptAnyServerCertificate ? 0L : 2L);
    curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Impl::onHeader);
    curl_easy_setopt(easy, CURLOPT_HEADERDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Impl::onData);
    curl_easy_setopt(easy, CURLOPT_WRITEDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Impl::onRead);
    curl_easy_setopt(easy, CURLOPT_READDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Impl::onSeek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, t.get());
    curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Impl::onProgress);
    curl_easy_setopt(easy, CURLOPT_XFERINFODATA, t.get());
    curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
    // The transport decodes what the server compressed itself (ContentDecoder), in the room there is; a
    // caller's own Accept-Encoding field replaces the offer.
    curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);

    bool hasBody = request.httpBody().has_value() || request.httpBodyStream() != nullptr;
    std::int64_t bodyLength = -1;
    if (request.httpBody())
        bodyLength = static_cast<std::int64_t>(request.httpBody()->size());
    else if (auto declared = request.valueForHTTPHeaderField("Content-Length"))
        bodyLength = std::strtoll(declared->c_str(), nullptr, 10);
    bool posting = false;
    if (method == "GET") {
        curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
        hasBody = false;
    } else if (method == "HEAD") {
        curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
        hasBody = false;
    } else if (method == "POST" || hasBody) {
        posting = true;
        curl_easy_setopt(easy, CURLOPT_POST, 1L);
        curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(hasBody ? bodyLength : 0));
        if (method != "POST")
            curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else {
        curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
    }
    t->uploadExpected = hasBody ? bodyLength : 0;

    curl_slist* list = nullptr;
    for (const auto& [name, value] : request.allHTTPHeaderFields().fields()) {
        if (strcasecmp(name.c_str(), "Content-Length") == 0 || strcasecmp(name.c_str(), "Expect") == 0)
            continue;
        // An empty value is sent as "Name;" (libcurl drops "Name:").
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        list = curl_slist_append(list, line.c_str());
    }
    if (!request.valueForHTTPHeaderField("Accept-Encoding") && !request.passesThrough())
        list = curl_slist_append(list, (std::string("Accept-Encoding: ") + ContentDecoder::kOffered).c_str());
    list = curl_slist_append(list, "Expect:");
    // A body goes with the type its caller named, or none (libcurl would name a form's).
    if (posting && !request.valueForHTTPHeaderField("Content-Type"))
        list = curl_slist_append(list, "Content-Type:");
    t->headers = list;
    curl_easy_setopt(easy, CURLOPT_HTTPHEADER, list);

    TransferID id = t->id;
    Impl* impl = m_impl.get();
    auto shared = std::make_shared<std::unique_ptr<Impl::Transfer>>(std::move(t));
    impl->post([impl, shared] { impl->add(std::move(*shared)); });
    return id;
}

} // namespace platform
