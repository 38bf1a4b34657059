// What sent and received packets need of the TCP session: request ids, the session id for the sent
// header, the road a request (or a UDP report) takes to its socket, the waiting queue (tags and alias
// look requests up there), and the handlers of answers and ack time-outs.
//
// The session controller implements it and installs itself on the hub
// (PULSEClientController::setRequestSession); until one is installed, the hub hands out request ids from
// a plain counter, the session id is 0, and requests, reports and answers go nowhere.
//
// Thread: every call is made on the client thread.
#pragma once

#include <cstdint>
#include <memory>

namespace push {

class PULSERequest;
class PULSEReceivedPacketController;
class PULSERegistrationResponse;
class PULSELoginResponse;
class PULSEUDPReport;

class PULSERequestSession {
public:
    virtual ~PULSERequestSession() = default;

    // The next request id (kind 0 for requests and reports).
    virtual std::uint64_t getRId(int kind) = 0;
    // The session id of the last login; 0 when not logged in.
    virtual std::uint32_t sessionID() const = 0;

    virtual void sendRequest(const std::shared_ptr<PULSERequest>& request) = 0;
    // Sends the report now when logged in, else keeps it until login.
    virtual void sendUdpReport(const std::shared_ptr<PULSEUDPReport>& report) = 0;
    virtual void onAckTimeoutForRequest(const std::shared_ptr<PULSERequest>& request) = 0;
    // The request waiting to be sent with this id, or none; taking one out of the waiting queue.
    virtual std::shared_ptr<PULSERequest> findBlockedRequest(std::uint64_t rid) const = 0;
    virtual void dequeueRequest(const std::shared_ptr<PULSERequest>& request) = 0;

    virtual void onAckOrRespReceived(const PULSEReceivedPacketController& packet) = 0;
    virtual void onRegisterRespond(const PULSERegistrationResponse& response) = 0;
    virtual void onLoginRespond(const PULSELoginResponse& response) = 0;

    // Whether a receipt of this message that a connection's end left undelivered is still on its way
    // (kept for the next login, or sent again on the current connection). The message
    // was handed to the application.
    virtual bool isReceiptPending(std::uint64_t) const { return false; }
};

} // namespace push
