// The datagram socket against a loopback peer: order of queued packets, send time-outs held in the
// queue, cut datagrams, receive time-outs, refusals and close.
#include "PushTest.h"

#include "push/PULSEUdpSocket.h"

#include "support/RunLoopWait.h"

#include "platform/runloop/RunLoop.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using platform::Bytes;
using push::PULSEUdpSocket;

class RecordingUdpDelegate : public push::PULSEUdpSocketDelegate {
public:
    void didSendData(const Bytes& data, PULSEUdpSocket&) override { sent.push_back(data); }
    void didNotSendData(const Bytes& data, PULSEUdpSocket&) override { notSent.push_back(data); }
    void didReceivedData(const Bytes& data, PULSEUdpSocket&) override { received.push_back(data); }
    void didNotReceivedData(PULSEUdpSocket&, const push::PULSEUdpError& error) override { errors.push_back(error); }

    std::vector<Bytes> sent, notSent, received;
    std::vector<push::PULSEUdpError> errors;
};

// A loopback datagram peer on port 0.
class Peer {
public:
    Peer() {
        m_fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
        socklen_t length = sizeof address;
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length);
        m_port = ntohs(address.sin_port);
    }
    ~Peer() { ::close(m_fd); }
    std::uint16_t port() const { return m_port; }
    // The next datagram, waiting for it (the socket is blocking; the sender already sent).
    Bytes receive() {
        Bytes buffer(70000);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        ssize_t count = ::recvfrom(m_fd, buffer.data(), buffer.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
        if (count < 0)
            return {};
        m_lastSender = from;
        buffer.resize(static_cast<std::size_t>(count));
        return buffer;
    }
    void replyToLastSender(const Bytes& data) {
        ::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&m_lastSender), sizeof m_lastSender);
    }
    void sendTo(std::uint16_t port, const Bytes& data) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        ::sendto(m_fd, data.data(), data.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

private:
    int m_fd = -1;
    std::uint16_t m_port = 0;
    sockaddr_in m_lastSender{};
};

class UdpSocketTest : public pushtest::PushTest {
protected:
    std::shared_ptr<RecordingUdpDelegate> m_delegate = std::make_shared<RecordingUdpDelegate>();
    std::shared_ptr<PULSEUdpSocket> m_socket = PULSEUdpSocket::create(m_delegate);
    Peer m_peer;
};

TEST_F(UdpSocketTest, QueuedPacketsGoOutInOrder) {
    ASSERT_TRUE(m_socket->isSetuped());
    EXPECT_FALSE(m_socket->setup());
    EXPECT_TRUE(m_socket->sendData({1, 2, 3}, "127.0.0.1", m_peer.port(), 0));
    EXPECT_TRUE(m_socket->sendData({4, 5}, "127.0.0.1", m_peer.port(), 0.001));
    EXPECT_EQ(m_socket->sendQueueCount(), 2u);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == 2; }));
    EXPECT_EQ(m_delegate->sent[0], (Bytes{1, 2, 3}));
    EXPECT_EQ(m_delegate->sent[1], (Bytes{4, 5}));
    EXPECT_EQ(m_peer.receive(), (Bytes{1, 2, 3}));
    EXPECT_EQ(m_peer.receive(), (Bytes{4, 5}));
    // 0.001 s means no time-out: a long wait reports nothing more.
    m_clock.advance(platform::seconds(10));
    EXPECT_TRUE(m_delegate->notSent.empty());
}

TEST_F(UdpSocketTest, SendTimeOutCoversOnlyTheWaitInTheQueue) {
    m_socket->holdWriteEventsForTesting(true);
    ASSERT_TRUE(m_socket->sendData({9}, "127.0.0.1", m_peer.port(), 2.0));
    ASSERT_TRUE(m_socket->sendData({8}, "127.0.0.1", m_peer.port(), 0));
    m_clock.advance(platform::seconds(1.9));
    EXPECT_TRUE(m_delegate->notSent.empty());
    m_clock.advance(platform::seconds(0.2));
    ASSERT_EQ(m_delegate->notSent.size(), 1u);
    EXPECT_EQ(m_delegate->notSent[0], (Bytes{9}));
    EXPECT_EQ(m_socket->sendQueueCount(), 1u);

    m_socket->holdWriteEventsForTesting(false);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == 1; }));
    EXPECT_EQ(m_peer.receive(), (Bytes{8}));
    EXPECT_EQ(m_peer.receive(), Bytes{}); // the timed-out packet never went
}

// A socket that cannot send keeps at most kMaxQueuedPackets packets: the next is refused (the caller
// learns), what was queued goes once writes come again.
TEST_F(UdpSocketTest, TheSendQueueRefusesPacketsPastItsBound) {
    m_socket->holdWriteEventsForTesting(true);
    for (std::size_t i = 0; i < PULSEUdpSocket::kMaxQueuedPackets; ++i)
        ASSERT_TRUE(m_socket->sendData({static_cast<std::uint8_t>(i)}, "127.0.0.1", m_peer.port(), 0)) << i;
    EXPECT_FALSE(m_socket->sendData({1}, "127.0.0.1", m_peer.port(), 0));
    EXPECT_EQ(m_socket->sendQueueCount(), PULSEUdpSocket::kMaxQueuedPackets);
    m_socket->holdWriteEventsForTesting(false);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == PULSEUdpSocket::kMaxQueuedPackets; }));
    EXPECT_EQ(m_peer.receive(), Bytes{0});
    ASSERT_TRUE(m_socket->sendData({1}, "127.0.0.1", m_peer.port(), 0)) << "room again";
}

TEST_F(UdpSocketTest, LongDatagramsArriveCutAndEmptyOnesArrive) {
    ASSERT_TRUE(m_socket->sendData({1}, "127.0.0.1", m_peer.port(), 0));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == 1; }));
    ASSERT_EQ(m_peer.receive(), Bytes{1});
    Bytes big(20000);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 7);
    m_peer.replyToLastSender(big);
    m_peer.replyToLastSender({});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->received.size() == 2; }));
    EXPECT_EQ(m_delegate->received[0], Bytes(big.begin(), big.begin() + PULSEUdpSocket::kReceiveBufferSize));
    EXPECT_TRUE(m_delegate->received[1].empty());
}

// An unconnected socket hears only the peers it sent to: a datagram from any other address or port is
// dropped with a warning, the asked peer's answer still arrives.
TEST_F(UdpSocketTest, ADatagramFromAPeerThatWasNotAskedIsDropped) {
    ASSERT_TRUE(m_socket->sendData({1}, "127.0.0.1", m_peer.port(), 0));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == 1; }));
    ASSERT_EQ(m_peer.receive(), Bytes{1});
    Peer stranger;
    stranger.sendTo(m_socket->localPort(), {6});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("which was not asked, dropped") == 1; }));
    m_peer.replyToLastSender({5});
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->received.size() == 1; }));
    EXPECT_EQ(m_delegate->received[0], Bytes{5});
}

TEST_F(UdpSocketTest, ConnectedSocketAndReceiveTimeOut) {
    EXPECT_FALSE(m_socket->connectToHost("no.such.name", 80));
    ASSERT_TRUE(m_socket->connectToHost("127.0.0.1", m_peer.port()));
    EXPECT_FALSE(m_socket->connectToHost("127.0.0.1", m_peer.port()));
    ASSERT_TRUE(m_socket->sendData({7, 7}, std::nullopt, 0, 0));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == 1; }));
    EXPECT_EQ(m_peer.receive(), (Bytes{7, 7}));

    m_socket->receiveDataWithTimeout(3);
    m_socket->receiveDataWithTimeout(2); // replaces the first
    m_clock.advance(platform::seconds(2.5));
    ASSERT_EQ(m_delegate->errors.size(), 1u);
    EXPECT_EQ(m_delegate->errors[0].domain, "udp time out");
    EXPECT_EQ(m_delegate->errors[0].code, 0);
    m_clock.advance(platform::seconds(2));
    EXPECT_EQ(m_delegate->errors.size(), 1u);
}

TEST_F(UdpSocketTest, UnaddressedSendOnAnUnconnectedSocketFailsAndCloses) {
    ASSERT_TRUE(m_socket->sendData({1}, std::nullopt, 0, 0));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->notSent.size() == 1; }));
    EXPECT_FALSE(m_socket->isSetuped());
    EXPECT_FALSE(m_socket->sendData({1}, "127.0.0.1", m_peer.port(), 0));
    EXPECT_FALSE(m_socket->setup()); // a closed socket stays closed
}

TEST_F(UdpSocketTest, CloseDropsQueuedPacketsQuietly) {
    m_socket->holdWriteEventsForTesting(true);
    ASSERT_TRUE(m_socket->sendData({1}, "127.0.0.1", m_peer.port(), 2));
    m_socket->close();
    EXPECT_EQ(m_socket->sendQueueCount(), 0u);
    m_clock.advance(platform::seconds(3));
    bool turned = false;
    platform::RunLoop::main().perform([&] { turned = true; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return turned; }));
    EXPECT_TRUE(m_delegate->notSent.empty());
    EXPECT_TRUE(m_delegate->sent.empty());
}

} // namespace
