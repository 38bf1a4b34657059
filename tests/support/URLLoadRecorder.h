// A URL connection delegate for tests: records every call (with the thread it came on) and lets a test
// wait, with a time-out, for the load to end. Waiting turns the calling thread's run loop, where an
// unscheduled connection started on that thread delivers.
#pragma once

#include "platform/net/URLConnection.h"

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class URLLoadRecorder : public platform::URLConnectionDelegate {
public:
    enum class TrustAnswer { Default, AcceptAny, Cancel };

    explicit URLLoadRecorder(TrustAnswer trust = TrustAnswer::Default) : m_trust(trust) {}

    void didReceiveResponse(platform::URLConnection&, const platform::URLResponse& response) override;
    void didReceiveData(platform::URLConnection&, const platform::Bytes& data) override;
    void didSendBodyData(platform::URLConnection&, std::int64_t written, std::int64_t total, std::int64_t expected) override;
    void didFinishLoading(platform::URLConnection&) override;
    void didFailWithError(platform::URLConnection&, const platform::Error& error) override;
    void willSendRequestForAuthenticationChallenge(platform::URLConnection&,
                                                   const std::shared_ptr<platform::URLAuthenticationChallenge>& challenge) override;

    // Waits for finish or failure; false on time-out.
    bool waitUntilEnded(std::chrono::milliseconds timeout = std::chrono::seconds(60));
    // Waits until at least `bytes` body bytes arrived; false on time-out.
    bool waitForBytes(std::size_t bytes, std::chrono::milliseconds timeout = std::chrono::seconds(60));
    bool waitForResponse(std::chrono::milliseconds timeout = std::chrono::seconds(60));

    // Snapshots.
    std::vector<std::string> events() const; // "response", "data", "sent", "finish", "fail", "challenge"
    std::optional<platform::URLResponse> response() const;
    std::string body() const;
    std::optional<platform::Error> error() const;
    bool finished() const;
    std::vector<std::int64_t> totalsSent() const;
    std::int64_t expectedToSend() const;
    std::vector<std::thread::id> threads() const;

private:
    void record(const char* event);
    bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

    TrustAnswer m_trust;
    mutable std::mutex m_mutex;
    std::vector<std::string> m_events;
    std::vector<std::thread::id> m_threads;
    std::optional<platform::URLResponse> m_response;
    std::string m_body;
    std::optional<platform::Error> m_error;
    bool m_finished = false;
    std::vector<std::int64_t> m_totalsSent;
    std::int64_t m_expectedToSend = 0;
};

} // namespace testsupport
