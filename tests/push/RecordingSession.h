// A stand-in for the TCP session: hands out request ids from a counter, reports a session id, and
// records every request and answer the packets pass to it.
#pragma once

#include "push/PULSEPacket.h"
#include "push/PULSEReceivedPacketController.h"
#include "push/PULSERequestSession.h"
#include "push/PULSEUDPReport.h"

#include <memory>
#include <string>
#include <vector>

namespace pushtest {

class RecordingSession : public push::PULSERequestSession {
public:
    std::uint64_t getRId(int kind) override {
        kinds.push_back(kind);
        return nextRId += 2;
    }
    std::uint32_t sessionID() const override { return session; }
    void sendRequest(const std::shared_ptr<push::PULSERequest>& request) override { sent.push_back(request); }
    void sendUdpReport(const std::shared_ptr<push::PULSEUDPReport>& report) override { reports.push_back(report); }
    void onAckTimeoutForRequest(const std::shared_ptr<push::PULSERequest>& request) override { timedOut.push_back(request); }
    std::shared_ptr<push::PULSERequest> findBlockedRequest(std::uint64_t) const override { return nullptr; }
    void dequeueRequest(const std::shared_ptr<push::PULSERequest>&) override {}
    void onAckOrRespReceived(const push::PULSEReceivedPacketController& packet) override {
        calls.push_back("ackOrResp " + std::to_string(packet.rid()));
    }
    void onRegisterRespond(const push::PULSERegistrationResponse& response) override {
        calls.push_back("register " + std::to_string(response.rid()));
    }
    void onLoginRespond(const push::PULSELoginResponse& response) override {
        calls.push_back("login " + std::to_string(response.rid()));
    }

    std::uint64_t nextRId = 99;
    std::uint32_t session = 0;
    std::vector<int> kinds;
    std::vector<std::shared_ptr<push::PULSERequest>> sent;
    std::vector<std::shared_ptr<push::PULSERequest>> timedOut;
    std::vector<std::shared_ptr<push::PULSEUDPReport>> reports;
    std::vector<std::string> calls;
};

} // namespace pushtest
