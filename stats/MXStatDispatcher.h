// Sends statistics events to the collector: one event at once or a batch of stored rows, as one JSON
// array, RC4-enciphered and, from 256 bytes on, gzip-compressed behind a 4-byte big-endian length.
//
// Guarantees:
// - Uploads run one at a time on the serial upload queue "HttpDispatcher"; each takes at most the
//   10-second time-out, counted from its start however the reply trickles in. Completions run on that
//   queue.
// - An upload is sent once: it goes out on a connection of its own, so the transport never sends it a
//   second time when a kept-alive connection was dropped; whether to send again is the store's rule.
// - A batch's outcome tells a collector that refused it from one that was not reached (see
//   MXStatUploadOutcome).
// - An upload succeeds exactly when the collector answers 200 with a JSON object whose "ret" reads "0";
//   only then does the reply's configuration reach the configuration holder.
// - Reply bodies are bounded (kMaxReplyLength) before they are deciphered or parsed.
#pragma once

#include "stats/MXStatDispatcherProtocol.h"

#include "platform/core/Value.h"
#include "platform/runloop/DispatchQueue.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace stats {

inline constexpr const char* kMXStatDispatcherQueueLabel = "HttpDispatcher";
// The built-in collector endpoint, used unless MXStatConfig's statReportURL is set.
inline constexpr const char* kMXStatDefaultReportURL = "http://stats.hybridhost.org/mstat/report";

class MXStatDispatcher : public MXStatDispatcherProtocol, public std::enable_shared_from_this<MXStatDispatcher> {
public:
    static constexpr std::size_t kPlainBodyLimit = 256;
    static constexpr double kTimeoutSeconds = 10.0;
    static constexpr std::size_t kMaxReplyLength = 1u << 20;

    static std::shared_ptr<MXStatDispatcher> getInstance();
    // A dispatcher of its own; the time-out may be shortened (tests).
    static std::shared_ptr<MXStatDispatcher> create(double timeoutSeconds = kTimeoutSeconds);

    // Logs the event; an over-long event that is not an error event completes with success and is dropped.
    void sendEvent(std::shared_ptr<MXStatEvent> event, Completion completion) override;
    // One event (nothing for a null one) ...
    void send(std::shared_ptr<MXStatEvent> event, Completion completion);
    // ... or the rows' contents, in order.
    void send(std::vector<MXStatStoreEvent> events, BatchCompletion completion) override;
    void close() {}

    // Builds the framed, enciphered request for the plain body, sends it and judges the reply. The reply
    // data is the (deciphered) body of a 200 reply, cleared otherwise.
    bool nsRequest(const platform::Bytes& plain, platform::Bytes* responseData);
    // As nsRequest, telling a refusal from a collector that was not reached.
    MXStatUploadOutcome sendRequest(const platform::Bytes& plain, platform::Bytes* responseData);
    // Judges a reply: success exactly for status 200 with a JSON object (deciphered first when the
    // "Content-Encoding" names rc4) whose "ret" reads "0". The reply data is the (deciphered) 200 body.
    static bool judgeReply(int status, const std::optional<std::string>& contentEncoding, platform::Bytes body,
                           platform::Bytes* responseData);
    // Hands a successful reply's object to the configuration holder (nothing for other JSON).
    static void applyReply(const platform::Bytes& reply);

    // "[" + texts joined by "," + "]".
    static std::string jsonArrayText(const std::vector<std::string>& texts);
    // The body before enciphering: plain below 256 bytes, else the 4-byte big-endian length and the gzip
    // stream; nothing when compression fails.
    static std::optional<platform::Bytes> frameBody(const platform::Bytes& plain);

    const std::shared_ptr<platform::DispatchQueue>& queue() const { return m_queue; }

    // Speed test, on the caller's thread (the configuration holder's queue). Resolves each target's host
    // on a resolver thread for at most kResolveSeconds of Clock::current() (a late answer is dropped on
    // that thread; no signal is touched), then times a TCP connection to the first IPv4 address.
    // Resolves a host to dotted IPv4 text, or nothing; may block.
    using Resolver = std::function<std::optional<std::string>(const std::string& host)>;
    static constexpr double kResolveSeconds = 10.0;
    // Targets beyond this many are left out (logged): each may take the whole resolution time.
    static constexpr std::size_t kMaxSpeedTargets = 16;
    // Replaces the resolver (tests); an empty one restores getaddrinfo.
    static void setResolver(Resolver resolver);
    // Tests the targets in order; MXStatConfig's sp, cn and op take the results.
    static void speedTest(const std::string& targets);
    // "h,80;g,8080" -> "http://h:80", "http://g:8080" (empty pieces skipped).
    static std::vector<std::string> splitSpeedString(const std::string& targets);
    // One target: "st" 0 with "rip" and "tm" when connected; "st" -1 when the URL has no host or a bad
    // port, the name does not resolve in time, or the connection fails.
    static MXStatTestSpeed taSocket(const std::string& url);
    // Now, "yyyy/MM/dd HH:mm:ss:SSS" in local time.
    static std::string GetCurTime();

private:
    explicit MXStatDispatcher(double timeoutSeconds);
    // The upload task on the queue.
    MXStatUploadOutcome upload(const std::string& text);

    const std::shared_ptr<platform::DispatchQueue> m_queue;
    const double m_timeoutSeconds;
};

} // namespace stats
