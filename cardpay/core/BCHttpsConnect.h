// The transport of the command bodies: a small interface that the cipher layer can later go under, and
// its plain implementation that POSTs the body as JSON to the server URL the road was opened with.
//
// Outcomes: the body of a 200 reply; a network failure (no connection, refused, dropped, no reply within
// kTimeout seconds of the clock, or an HTTP status other than 200); or a reply longer than
// BCJsonService::kMaxReplyLength, cut off as it arrives.
//
// Thread: main thread only. Completions come on a later turn of the main run loop, never inside `send`,
// and never after `cancel` or `releaseInstance`.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>

namespace cardpay {

struct BCTransportOutcome {
    enum class Kind { Body, NetworkFailure, TooLarge };
    Kind kind = Kind::NetworkFailure;
    platform::Bytes body;
    std::string detail; // what went wrong, for the log
};

class BCCommandTransport {
public:
    using RequestID = std::uint64_t;
    using Completion = std::function<void(BCTransportOutcome)>;
    virtual ~BCCommandTransport() = default;
    virtual RequestID send(const std::string& body, Completion completion) = 0;
    virtual void cancel(RequestID request) = 0;
};

class BCHttpsConnect final : public BCCommandTransport, public std::enable_shared_from_this<BCHttpsConnect> {
public:
    static constexpr double kTimeout = 30.0;

    static std::shared_ptr<BCHttpsConnect> instance();
    // Cancels every request in flight and forgets the server URL with the instance.
    static void releaseInstance();

    void setServerURL(std::string url) { m_serverURL = std::move(url); }
    const std::string& serverURL() const { return m_serverURL; }

    RequestID send(const std::string& body, Completion completion) override;
    void cancel(RequestID request) override;

    ~BCHttpsConnect() override;

private:
    class Request;
    void finish(RequestID id, BCTransportOutcome outcome);

    std::string m_serverURL;
    RequestID m_nextID = 1;
    std::map<RequestID, std::shared_ptr<Request>> m_requests;
    std::map<RequestID, Completion> m_completions;
};

} // namespace cardpay
