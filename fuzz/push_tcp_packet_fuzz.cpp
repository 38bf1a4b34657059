// Bytes from the push server, in whatever pieces the network cuts them: the input's first byte seeds
// the chunk sizes, the rest is the stream. Every chunk goes through the reassembly buffer and every
// framed packet through the dispatcher; each object is handled against a stand-in session and answered
// with a receipt; a packet that cannot be what its length says ends the connection, as the socket does.
// Nothing may read or write outside its bytes.
#include "push/PULSEClientController.h"
#include "push/PULSEPacket.h"
#include "push/PULSEPacketReassembler.h"
#include "push/PULSEReceivedPacketController.h"
#include "push/PULSERequestSession.h"
#include "push/PULSETagAlias.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

class FuzzSession : public push::PULSERequestSession {
public:
    std::uint64_t getRId(int) override { return m_rid += 2; }
    std::uint32_t sessionID() const override { return 0x01020304; }
    void sendRequest(const std::shared_ptr<push::PULSERequest>& request) override { (void)request->packetData(); }
    void sendUdpReport(const std::shared_ptr<push::PULSEUDPReport>&) override {}
    void onAckTimeoutForRequest(const std::shared_ptr<push::PULSERequest>&) override {}
    std::shared_ptr<push::PULSERequest> findBlockedRequest(std::uint64_t) const override { return nullptr; }
    void dequeueRequest(const std::shared_ptr<push::PULSERequest>&) override {}
    void onAckOrRespReceived(const push::PULSEReceivedPacketController& packet) override { m_sum += packet.rid(); }
    void onRegisterRespond(const push::PULSERegistrationResponse& response) override {
        m_sum += response.uid() + response.password().value_or("").size() + response.registrationID().value_or("").size();
        (void)response.description();
    }
    void onLoginRespond(const push::PULSELoginResponse& response) override {
        m_sum += response.sessionID() + response.serverTime() + response.sessionKey().value_or("").size();
        (void)response.description();
    }

private:
    std::uint64_t m_rid = 1;
    std::uint64_t m_sum = 0;
};

std::shared_ptr<FuzzSession>& session() {
    static auto instance = [] {
        auto made = std::make_shared<FuzzSession>();
        push::PULSEClientController::sharedClient().setRequestSession(made);
        // Messages of type 20 carry tags replies: their text goes to the manager's reader.
        push::PULSEClientController::sharedClient().setTagAliasMng(std::make_shared<push::PULSETagAlias>());
        return made;
    }();
    return instance;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    (void)session();
    if (size == 0)
        return 0;
    std::uint32_t seed = data[0] * 2654435761u + 1;
    ++data;
    --size;

    push::PULSEPacketReassembler reassembler;
    std::size_t offset = 0;
    while (offset < size) {
        seed = seed * 1103515245u + 12345u;
        auto space = reassembler.freeSpace();
        if (space.empty())
            __builtin_trap(); // the buffer must always take more
        const std::size_t chunk = std::min({std::size_t(1) + (seed >> 16) % 4096, space.size(), size - offset});
        std::memcpy(space.data(), data + offset, chunk);
        reassembler.received(chunk);
        offset += chunk;
        using Shape = push::PULSEReceivedPacketController::Shape;
        bool broken = false;
        const auto outcome = reassembler.frame([&](push::PULSEBytesView packet) {
            const auto shape = push::PULSEReceivedPacketController::packetShape(packet).shape;
            if (shape == Shape::NeedsBytes && packet.size() >= 2)
                __builtin_trap(); // a whole packet can always be judged once its length word is there
            if (shape == Shape::Broken) {
                broken = true; // the socket closes here
                return false;
            }
            (void)push::PULSEReceivedPacketController::expectedBufferLen(packet);
            if (auto element = push::PULSEReceivedPacketController::packetWithBuffer(packet)) {
                element->handleReceipt();
                (void)element->description();
                auto receipt = std::make_shared<push::PULSEReceipt>(*element);
                receipt->send();
            }
            return true;
        });
        if (!broken && reassembler.receivedLength() > 0)
            broken = push::PULSEReceivedPacketController::packetShape(reassembler.held()).shape == Shape::Broken;
        if (broken || outcome == push::PULSEPacketReassembler::Outcome::ZeroLength)
            reassembler.reset(); // the socket closes; a new connection starts empty
    }
    return 0;
}
