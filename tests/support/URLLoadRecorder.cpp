#include "support/URLLoadRecorder.h"

#include "support/RunLoopWait.h"

namespace testsupport {

using namespace platform;

void URLLoadRecorder::record(const char* event) {
    m_events.emplace_back(event);
    m_threads.push_back(std::this_thread::get_id());
}

void URLLoadRecorder::didReceiveResponse(URLConnection&, const URLResponse& response) {
    std::lock_guard lock(m_mutex);
    m_response = response;
    record("response");
}

void URLLoadRecorder::didReceiveData(URLConnection&, const Bytes& data) {
    std::lock_guard lock(m_mutex);
    m_body.append(data.begin(), data.end());
    record("data");
}

void URLLoadRecorder::didSendBodyData(URLConnection&, std::int64_t, std::int64_t total, std::int64_t expected) {
    std::lock_guard lock(m_mutex);
    m_totalsSent.push_back(total);
    m_expectedToSend = expected;
    record("sent");
}

void URLLoadRecorder::didFinishLoading(URLConnection&) {
    std::lock_guard lock(m_mutex);
    m_finished = true;
    record("finish");
}

void URLLoadRecorder::didFailWithError(URLConnection&, const Error& error) {
    std::lock_guard lock(m_mutex);
    m_error = error;
    record("fail");
}

void URLLoadRecorder::willSendRequestForAuthenticationChallenge(URLConnection&, const std::shared_ptr<URLAuthenticationChallenge>& challenge) {
    {
        std::lock_guard lock(m_mutex);
        record("challenge");
    }
    switch (m_trust) {
    case TrustAnswer::AcceptAny:
        challenge->useCredentialForServerTrust();
        challenge->continueWithoutCredential();
        break;
    case TrustAnswer::Cancel:
        challenge->cancel();
        break;
    case TrustAnswer::Default:
        challenge->continueWithoutCredential();
        break;
    }
}

bool URLLoadRecorder::waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    return hybtest::runUntil(RunLoop::current(), [&] {
        std::lock_guard lock(m_mutex);
        return condition();
    }, timeout);
}

bool URLLoadRecorder::waitUntilEnded(std::chrono::milliseconds timeout) {
    return waitFor([&] { return m_finished || m_error.has_value(); }, timeout);
}

bool URLLoadRecorder::waitForBytes(std::size_t bytes, std::chrono::milliseconds timeout) {
    return waitFor([&] { return m_body.size() >= bytes; }, timeout);
}

bool URLLoadRecorder::waitForResponse(std::chrono::milliseconds timeout) {
    return waitFor([&] { return m_response.has_value(); }, timeout);
}

std::vector<std::string> URLLoadRecorder::events() const {
    std::lock_guard lock(m_mutex);
    return m_events;
}

std::optional<URLResponse> URLLoadRecorder::response() const {
    std::lock_guard lock(m_mutex);
    return m_response;
}

std::string URLLoadRecorder::body() const {
    std::lock_guard lock(m_mutex);
    return m_body;
}

std::optional<Error> URLLoadRecorder::error() const {
    std::lock_guard lock(m_mutex);
    return m_error;
}

bool URLLoadRecorder::finished() const {
    std::lock_guard lock(m_mutex);
    return m_finished;
}

std::vector<std::int64_t> URLLoadRecorder::totalsSent() const {
    std::lock_guard lock(m_mutex);
    return m_totalsSent;
}

std::int64_t URLLoadRecorder::expectedToSend() const {
    std::lock_guard lock(m_mutex);
    return m_expectedToSend;
}

std::vector<std::thread::id> URLLoadRecorder::threads() const {
    std::lock_guard lock(m_mutex);
    return m_threads;
}

} // namespace testsupport
