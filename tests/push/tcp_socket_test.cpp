// The TCP socket against the loopback push server: connecting, sending, the reassembly of whatever
// shapes the server's bytes take, and every way a connection ends.
#include "PushTest.h"

#include "push/PULSEPacket.h"
#include "push/PULSETcpSocket.h"

#include "support/ClosedPort.h"
#include "support/PushTestServer.h"
#include "support/RunLoopWait.h"

#include "platform/runloop/RunLoop.h"

#include <algorithm>
#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using push::PULSETcpSocket;
using testsupport::PushBytes;
using testsupport::PushTestServer;

class RecordingDelegate : public push::PULSETcpSocketDelegate {
public:
    void connectionDidSetup(const std::shared_ptr<PULSETcpSocket>&) override { ++setups; }
    void connectionDidClose(const std::shared_ptr<PULSETcpSocket>&) override { ++closes; }
    void connectionDidFailed() override { ++failures; }
    void connection(const std::shared_ptr<PULSETcpSocket>& socket,
                    const std::shared_ptr<push::PULSEReceivedPacketController>& element) override {
        elements.push_back(element);
        if (onElement)
            onElement(socket);
    }
    void connection(const std::shared_ptr<PULSETcpSocket>&, const platform::Bytes& data) override { sent.push_back(data); }
    void connectionSendQueueEmpty(const std::shared_ptr<PULSETcpSocket>&) override { ++queueEmpty; }
    void connectionDidDeliver(const std::shared_ptr<PULSETcpSocket>&,
                              const std::vector<std::shared_ptr<push::PULSERequest>>& requests) override {
        delivered.insert(delivered.end(), requests.begin(), requests.end());
    }

    int setups = 0;
    int closes = 0;
    int failures = 0;
    int queueEmpty = 0;
    std::vector<std::shared_ptr<push::PULSEReceivedPacketController>> elements;
    std::vector<platform::Bytes> sent;
    std::vector<std::shared_ptr<push::PULSERequest>> delivered;
    std::function<void(const std::shared_ptr<PULSETcpSocket>&)> onElement;
};

// An acknowledgement packet (31 bytes) with the given rid.
PushBytes ack(std::uint64_t rid) {
    PushBytes body = {2, 0, 0};
    PushTestServer::appendU64(body, 1);
    return PushTestServer::packet(3, 19, rid, 0, body);
}

// A pushed message with the given rid and a text of `length` bytes: 31 + length bytes in all.
PushBytes message(std::uint64_t rid, std::size_t length) {
    PushBytes body;
    PushTestServer::appendU8(body, 1);
    PushTestServer::appendU64(body, rid);
    PushTestServer::appendString(body, std::string(length, 'Z'));
    return PushTestServer::packet(1, 3, rid, 0, body);
}

// The packet with another length word.
PushBytes relabelled(PushBytes packet, std::uint16_t length) {
    packet[0] = static_cast<std::uint8_t>(length >> 8);
    packet[1] = static_cast<std::uint8_t>(length);
    return packet;
}

PushBytes joined(std::initializer_list<PushBytes> parts) {
    PushBytes all;
    for (const auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

class TcpSocketTest : public pushtest::PushServerTest {
protected:
    std::shared_ptr<PULSETcpSocket> connect() {
        auto socket = PULSETcpSocket::create("127.0.0.1", m_server.pushPort(), m_delegate);
        EXPECT_TRUE(socket->setup());
        EXPECT_TRUE(hybtest::runMainUntil([&] { return m_delegate->setups == 1; }));
        EXPECT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 1; }));
        return socket;
    }
    // Turns the main loop until the blocks posted so far (and those they post with no delay) have run.
    void drainPosted() {
        bool done = false;
        platform::RunLoop::main().perform([&] { platform::RunLoop::main().perform([&] { done = true; }); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }
    std::vector<std::uint64_t> rids() const {
        std::vector<std::uint64_t> all;
        for (const auto& element : m_delegate->elements)
            all.push_back(element->rid());
        return all;
    }
    bool logged(const std::string& text) const {
        auto lines = logLines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }

    std::shared_ptr<RecordingDelegate> m_delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(TcpSocketTest, ConnectsThenSendsAndReceives) {
    auto socket = PULSETcpSocket::create("localhost", m_server.pushPort(), m_delegate);
    EXPECT_EQ(socket->connectionState(), 0u);
    ASSERT_TRUE(socket->setup());
    EXPECT_EQ(socket->connectionState(), 1u);
    EXPECT_TRUE(socket->setup()); // already connecting
    // While connecting nothing is queued.
    EXPECT_FALSE(socket->sendData(platform::Bytes{0, 2}));
    EXPECT_FALSE(socket->localAddress());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->setups == 1; }));
    EXPECT_EQ(socket->connectionState(), 2u);
    EXPECT_TRUE(socket->isConnected());
    EXPECT_EQ(socket->localAddress(), "127.0.0.1");
    EXPECT_EQ(socket->remoteAddress(), "127.0.0.1");
    EXPECT_TRUE(socket->sendData(std::nullopt));

    // A heartbeat goes out as its 24 bytes; the server acknowledges it with the same rid.
    auto heartbeat = std::make_shared<push::PULSERequest>();
    heartbeat->setVersion(3);
    heartbeat->setProtocolType(2);
    auto packet = heartbeat->packetData();
    ASSERT_TRUE(packet);
    ASSERT_TRUE(socket->sendData(*packet));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 1 && m_delegate->sent.size() == 1; }));
    EXPECT_EQ(m_delegate->sent[0], *packet);
    auto received = m_server.packets();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].length, 24);
    EXPECT_EQ(received[0].command, 2);
    EXPECT_EQ(received[0].rid, heartbeat->rid());
    auto answer = std::dynamic_pointer_cast<push::PULSEAck>(m_delegate->elements[0]);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->rid(), heartbeat->rid());
    EXPECT_EQ(answer->reqCmd(), 2);

    // The pump: with careAllDataSent every writable moment with an empty queue is reported.
    EXPECT_EQ(m_delegate->queueEmpty, 0);
    socket->setCareAllDataSent(true);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->queueEmpty >= 2; }));
    socket->setCareAllDataSent(false);

    socket->close();
    EXPECT_EQ(socket->connectionState(), 0u);
    EXPECT_FALSE(socket->sendData(platform::Bytes{1}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
    EXPECT_EQ(m_delegate->failures, 0);
}

TEST_F(TcpSocketTest, QueuedPacketsGoOutTogetherAndEachIsReportedInOrder) {
    auto socket = connect();
    m_server.setWithholdHeartbeatAcks(true);
    std::vector<platform::Bytes> packets;
    for (int i = 0; i < 300; ++i) {
        auto heartbeat = std::make_shared<push::PULSERequest>();
        heartbeat->setVersion(3);
        heartbeat->setProtocolType(2);
        packets.push_back(*heartbeat->packetData());
        ASSERT_TRUE(socket->sendData(packets.back()));
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->sent.size() == packets.size(); }));
    EXPECT_EQ(m_delegate->sent, packets);
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.packets(2).size() == packets.size(); }));
    const auto received = m_server.packets(2);
    for (std::size_t i = 0; i < packets.size(); ++i)
        EXPECT_EQ(received[i].rid, (std::uint64_t{packets[i][4]} << 56 | std::uint64_t{packets[i][5]} << 48 |
                                    std::uint64_t{packets[i][6]} << 40 | std::uint64_t{packets[i][7]} << 32 |
                                    std::uint64_t{packets[i][8]} << 24 | std::uint64_t{packets[i][9]} << 16 |
                                    std::uint64_t{packets[i][10]} << 8 | packets[i][11]))
            << i;
    EXPECT_TRUE(socket->isConnected());
}

TEST_F(TcpSocketTest, PacketsOfOneReadAreDeliveredBeforeTheReadHandlerReturns) {
    auto socket = connect();
    // A block posted from the first delivery runs only after the read handler returned.
    std::size_t deliveredWhenHandlerReturned = 0;
    m_delegate->onElement = [&](const std::shared_ptr<PULSETcpSocket>&) {
        if (m_delegate->elements.size() == 1)
            platform::RunLoop::main().perform([&] { deliveredWhenHandlerReturned = m_delegate->elements.size(); });
    };
    m_server.sendRaw(joined({ack(1), ack(3)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return deliveredWhenHandlerReturned != 0; }));
    EXPECT_EQ(deliveredWhenHandlerReturned, 2u);
    EXPECT_EQ(rids(), (std::vector<std::uint64_t>{1, 3}));
}

TEST_F(TcpSocketTest, APacketSplitOverThreeReadsIsDeliveredOnceAfterTheThird) {
    auto socket = connect();
    const PushBytes whole = message(7, 10);
    const std::size_t cuts[] = {1, 15, whole.size()};
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        m_server.sendRaw(PushBytes(whole.begin() + static_cast<std::ptrdiff_t>(from), whole.begin() + static_cast<std::ptrdiff_t>(cut)));
        if (cut < whole.size()) {
            ASSERT_TRUE(hybtest::runMainUntil([&] { return socket->receivedLength() == cut; }));
            EXPECT_TRUE(m_delegate->elements.empty());
        }
        from = cut;
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_delegate->elements.empty(); }));
    drainPosted();
    EXPECT_EQ(rids(), std::vector<std::uint64_t>{7});
    EXPECT_EQ(socket->receivedLength(), 0u);
}

TEST_F(TcpSocketTest, AThousandPacketsWrittenOneByteAtATimeArriveInOrder) {
    auto socket = connect();
    m_server.setWriteShape(PushTestServer::WriteShape::OneBytePerWrite);
    PushBytes all;
    std::vector<std::uint64_t> expected;
    for (std::uint64_t rid = 1; rid <= 1000; ++rid) {
        const auto packet = message(rid, rid % 7);
        all.insert(all.end(), packet.begin(), packet.end());
        expected.push_back(rid);
    }
    m_server.sendRaw(all);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 1000; }, std::chrono::seconds(60)));
    EXPECT_EQ(rids(), expected);
    EXPECT_TRUE(socket->isConnected());
}

TEST_F(TcpSocketTest, HundredsOfPacketsInOneWriteAndLargestPacketsBackToBack) {
    auto socket = connect();
    PushBytes many;
    for (std::uint64_t rid = 1; rid <= 500; ++rid) {
        const auto packet = ack(rid);
        many.insert(many.end(), packet.begin(), packet.end());
    }
    m_server.sendRaw(many);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 500; }));

    // 65535-byte packets fill the reassembly buffer's far end: reads must stay within its free space.
    const PushBytes largest = message(9999, 65535 - 31);
    ASSERT_EQ(largest.size(), 65535u);
    m_server.sendRaw(joined({largest, largest, largest, largest, ack(10001)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 505; }));
    EXPECT_EQ(m_delegate->elements[503]->rid(), 9999u);
    EXPECT_EQ(m_delegate->elements[504]->rid(), 10001u);
    EXPECT_TRUE(socket->isConnected());
}

TEST_F(TcpSocketTest, ShortLengthsAreDroppedAndFramingGoesOn) {
    auto socket = connect();
    // Lengths 2-5: the announced bytes make a packet the dispatcher drops.
    for (std::uint8_t length = 2; length <= 5; ++length) {
        PushBytes shortPacket = {0, length};
        shortPacket.resize(length, 0xEE);
        m_server.sendRaw(joined({shortPacket, ack(length)}));
    }
    // Length 1 takes one byte; the next length is read from the byte after it (0x01 0x14 = 276).
    m_server.sendRaw(joined({PushBytes{0}, message(1, 276 - 31)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 5; }));
    EXPECT_EQ(rids(), (std::vector<std::uint64_t>{2, 3, 4, 5, 1}));
    EXPECT_TRUE(socket->isConnected());
}

TEST_F(TcpSocketTest, UnknownCommandsAreDroppedAndCommandHundredSilently) {
    auto socket = connect();
    m_server.sendRaw(joined({PushTestServer::packet(1, 100, 1, 0), ack(3)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 1; }));
    EXPECT_FALSE(logged("receive unrecognized command"));
    m_server.sendRaw(joined({PushTestServer::packet(1, 2, 1, 0), PushTestServer::packet(1, 255, 1, 0), ack(5)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 2; }));
    const auto lines = logLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "receive unrecognized command"), 2);
}

TEST_F(TcpSocketTest, LengthZeroClosesTheConnection) {
    auto socket = connect();
    m_server.sendRaw(joined({ack(1), PushBytes{0, 0, 9, 9}, ack(3)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_EQ(rids(), std::vector<std::uint64_t>{1});
    EXPECT_EQ(socket->connectionState(), 0u);
    EXPECT_EQ(socket->receivedLength(), 0u);
    EXPECT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
}

// The protocol cannot find its step again: a packet that cannot be what its length says closes the
// connection instead of swallowing the packets after it. Those before it are delivered.
TEST_F(TcpSocketTest, APacketThatCannotBeWhatItsLengthSaysClosesTheConnection) {
    const auto garbage = [] {
        PushBytes packet = PushTestServer::packet(1, 3, 9, 0);
        packet.insert(packet.end(), 40, 0x5A); // type, id, then a text count of 0x5A5A
        return relabelled(packet, 60);
    };
    PushBytes textPastTheEnd = message(9, 100);
    textPastTheEnd.resize(60);
    const struct {
        const char* what;
        PushBytes bad;
        std::size_t fieldsEnd;
    } cases[] = {
        {"a length word larger than the data", relabelled(ack(9), 40), 31},
        {"65535 with a short body", relabelled(message(9, 10), 0xFFFF), 41},
        {"garbage after a header", garbage(), 31 + 0x5A5A},
        {"a text that runs past the end", relabelled(textPastTheEnd, 60), 131},
        {"bytes after an acknowledgement", relabelled(joined({ack(9), PushBytes(4, 0)}), 35), 31},
    };
    int closes = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        m_delegate->elements.clear();
        m_delegate->setups = 0;
        auto socket = connect();
        const std::size_t announced = (std::size_t{c.bad[0]} << 8) | c.bad[1];
        m_server.sendRaw(joined({ack(1), c.bad, message(3, 5), ack(5)}));
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == closes + 1; }));
        ++closes;
        EXPECT_EQ(rids(), std::vector<std::uint64_t>{1});
        EXPECT_EQ(socket->receivedLength(), 0u);
        const auto lines = logLines();
        const std::string line = "tcp packet of command " + std::to_string(c.bad[3]) + " cannot be " +
                                 std::to_string(announced) + " bytes long (its fields end at byte " +
                                 std::to_string(c.fieldsEnd) + "): closing the connection";
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.starts_with(line); }))
            << line;
        EXPECT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
    }
}

TEST_F(TcpSocketTest, PacketsCutShortAtTheirLengthAreReadAsTheyStand) {
    auto socket = connect();
    // A bare header, an acknowledgement without its time stamp, a message whose text count is cut: each
    // ends at its length, and framing goes on.
    PushBytes cutAck = ack(3);
    cutAck.resize(23);
    PushBytes cutMessage = message(5, 10);
    cutMessage.resize(30);
    m_server.sendRaw(joined({PushTestServer::packet(3, 19, 1, 0), relabelled(cutAck, 23), relabelled(cutMessage, 30), ack(7)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 4; }));
    EXPECT_EQ(rids(), (std::vector<std::uint64_t>{1, 3, 5, 7}));
    EXPECT_TRUE(socket->isConnected());
}

TEST_F(TcpSocketTest, APacketThatStopsArrivingClosesAfterTheReadTimeOut) {
    auto socket = connect();
    const auto whole = message(1, 100);
    m_server.sendRaw(PushBytes(whole.begin(), whole.begin() + 60));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return socket->receivedLength() == 60; }));
    m_clock.advance(platform::seconds(1.4));
    drainPosted();
    EXPECT_TRUE(socket->isConnected());
    // More bytes: the time-out counts from the last of them.
    m_server.sendRaw(PushBytes(whole.begin() + 60, whole.begin() + 70));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return socket->receivedLength() == 70; }));
    m_clock.advance(platform::seconds(1.4));
    drainPosted();
    EXPECT_TRUE(socket->isConnected());
    m_clock.advance(platform::seconds(0.2));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_TRUE(logged("tcp packet incomplete, 70 of 131 bytes arrived and nothing more for 1.5 s: closing the "
                       "connection, 70 received bytes dropped"));
    EXPECT_TRUE(m_delegate->elements.empty());

    // A complete packet leaves nothing to wait for: a quiet connection stays open.
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
    m_delegate->setups = 0;
    auto again = connect();
    m_server.sendRaw(ack(3));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->elements.size() == 1; }));
    m_clock.advance(platform::seconds(10));
    drainPosted();
    EXPECT_TRUE(again->isConnected());
}

TEST_F(TcpSocketTest, ADelegateMayCloseTheSocketWhileAReadIsFramed) {
    auto socket = connect();
    m_delegate->onElement = [](const std::shared_ptr<PULSETcpSocket>& socket) { socket->close(); };
    m_server.sendRaw(joined({ack(1), ack(3), ack(5)}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_EQ(rids(), std::vector<std::uint64_t>{1});
}

TEST_F(TcpSocketTest, PeerClosingOrResettingMidPacketClosesTheSocket) {
    auto socket = connect();
    const auto half = message(1, 100);
    m_server.sendRaw(PushBytes(half.begin(), half.begin() + 60));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return socket->receivedLength() == 60; }));
    m_server.resetConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_TRUE(m_delegate->elements.empty());

    // The server restarts on the same port; a new socket connects there and sees a clean close.
    m_server.restart();
    auto again = PULSETcpSocket::create("127.0.0.1", m_server.pushPort(), m_delegate);
    ASSERT_TRUE(again->setup());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->setups == 2; }));
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 1; }));
    m_server.dropConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 2; }));
    EXPECT_TRUE(logged("tcp connection closed by remote"));
    EXPECT_EQ(m_server.connectionsAccepted(), 2);
}

TEST_F(TcpSocketTest, PeerResetDuringALargeSendClosesWithoutSignal) {
    struct sigaction current {};
    ASSERT_EQ(sigaction(SIGPIPE, nullptr, &current), 0);
    ASSERT_EQ(current.sa_handler, SIG_DFL); // a write to a reset peer would end the process
    auto socket = connect();
    auto request = std::make_shared<push::PULSERequest>();
    request->setVersion(3);
    request->setProtocolType(2);
    auto heartbeat = *request->packetData();
    m_server.stopReading(); // the send stays large: the peer's buffers fill
    for (std::size_t i = 0; i < PULSETcpSocket::kMaxQueuedPackets; ++i)
        ASSERT_TRUE(socket->sendData(heartbeat));
    m_server.setWithholdHeartbeatAcks(true);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_delegate->sent.empty(); }));
    m_server.resetConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_LE(m_delegate->sent.size(), PULSETcpSocket::kMaxQueuedPackets);
    EXPECT_EQ(socket->connectionState(), 0u);
    EXPECT_FALSE(socket->sendData(heartbeat));
}

// The send queue is bounded in packets and in bytes: past either bound a packet is refused as
// QueueFull (not NotConnected), the packets queued before it stay queued, go out once the peer reads,
// and their followed requests are delivered; a refused request is never followed.
TEST_F(TcpSocketTest, TheSendQueueRefusesPacketsPastItsBoundsAndKeepsWhatItHolds) {
    auto socket = connect();
    m_server.setWithholdHeartbeatAcks(true);
    std::vector<std::shared_ptr<push::PULSERequest>> requests;
    auto heartbeat = [] {
        auto request = std::make_shared<push::PULSERequest>();
        request->setVersion(3);
        request->setProtocolType(2);
        return request;
    };
    // Nothing is written while the main loop does not turn: the queue fills.
    for (std::size_t i = 0; i < PULSETcpSocket::kMaxQueuedPackets; ++i) {
        requests.push_back(heartbeat());
        ASSERT_EQ(socket->queueData(requests.back()->packetData(), requests.back()), PULSETcpSocket::QueueOutcome::Queued) << i;
    }
    EXPECT_EQ(socket->sendQueueRoom(), 0u);
    auto refused = heartbeat();
    EXPECT_EQ(socket->queueData(refused->packetData(), refused), PULSETcpSocket::QueueOutcome::QueueFull);
    EXPECT_FALSE(socket->sendData(refused->packetData(), refused));
    EXPECT_EQ(socket->queueData(std::nullopt), PULSETcpSocket::QueueOutcome::Queued) << "no data needs no room";
    EXPECT_EQ(countLines("send queue full (8192 packets"), 2);

    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == requests.size(); }));
    EXPECT_EQ(socket->sendQueueRoom(), PULSETcpSocket::kMaxQueuedPackets);
    const auto& delivered = m_delegate->delivered;
    ASSERT_LE(delivered.size(), requests.size());
    EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), requests.begin()));

    // The byte bound: packets of 60,000 bytes, as many as fit in it, then one more (to a server that
    // reads nothing more: they are no packets of its protocol).
    m_server.stopReading();
    const platform::Bytes large(60'000, 0);
    const std::size_t fit = PULSETcpSocket::kMaxQueuedBytes / large.size();
    for (std::size_t i = 0; i < fit; ++i)
        ASSERT_EQ(socket->queueData(large), PULSETcpSocket::QueueOutcome::Queued) << i;
    EXPECT_EQ(socket->queueData(large), PULSETcpSocket::QueueOutcome::QueueFull);
    EXPECT_EQ(socket->queueData(platform::Bytes(PULSETcpSocket::kMaxQueuedBytes - fit * large.size(), 0)),
              PULSETcpSocket::QueueOutcome::Queued) << "what still fits is taken";
    socket->close();
    EXPECT_EQ(socket->queueData(large), PULSETcpSocket::QueueOutcome::NotConnected);
    drainPosted();
    for (const auto& request : socket->takeUndeliveredRequests())
        EXPECT_NE(request, refused);
    m_server.setWithholdHeartbeatAcks(false);
}

// Every packet queued with its request is, once the connection ended, either written whole (and then
// perhaps reported delivered: the peer's end acknowledged it) or handed back undelivered, each once and
// in order: whether the peer resets the connection in the middle of a large send or the owner closes
// with the queue full.
TEST_F(TcpSocketTest, EveryQueuedRequestIsDeliveredOrHandedBackWhateverEndsTheConnection) {
    for (const bool peerResets : {true, false}) {
        SCOPED_TRACE(peerResets ? "the peer resets" : "the owner closes");
        m_delegate->delivered.clear();
        m_delegate->setups = 0;
        auto socket = connect();
        drainPosted();
        const std::size_t sentBefore = m_delegate->sent.size();
        std::vector<std::shared_ptr<push::PULSERequest>> requests;
        for (std::size_t i = 0; i < PULSETcpSocket::kMaxQueuedPackets; ++i) {
            auto request = std::make_shared<push::PULSERequest>();
            request->setVersion(3);
            request->setProtocolType(2);
            ASSERT_TRUE(socket->sendData(request->packetData(), request));
            requests.push_back(request);
        }
        m_server.setWithholdHeartbeatAcks(true);
        const int closes = m_delegate->closes;
        if (peerResets) {
            ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_delegate->delivered.empty(); }));
            m_server.resetConnections();
            ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == closes + 1; }));
        } else {
            socket->close();
            EXPECT_EQ(socket->connectionState(), 0u);
        }
        drainPosted();
        const auto undelivered = socket->takeUndeliveredRequests();
        EXPECT_TRUE(socket->takeUndeliveredRequests().empty()); // handed out once
        // Those delivered come first, those handed back last, each in order; those written and those
        // handed back are every request, none of them both.
        const auto& delivered = m_delegate->delivered;
        const std::size_t written = m_delegate->sent.size() - sentBefore;
        ASSERT_LE(delivered.size(), written);
        ASSERT_LE(undelivered.size(), requests.size());
        EXPECT_TRUE(std::equal(delivered.begin(), delivered.end(), requests.begin()));
        EXPECT_TRUE(std::equal(undelivered.begin(), undelivered.end(), requests.end() - static_cast<std::ptrdiff_t>(undelivered.size())));
        EXPECT_EQ(written + undelivered.size(), requests.size()) << written << " written, " << undelivered.size() << " not";
        m_server.setWithholdHeartbeatAcks(false);
        ASSERT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
    }
}

// A packet written whole went on its connection: it is never handed back, however shortly before the
// close it was written or acknowledged (sent again on the next connection it would be a second copy).
TEST_F(TcpSocketTest, RequestsWrittenWholeAreNeverHandedBackHoweverLateTheClose) {
    std::shared_ptr<PULSETcpSocket> socket;
    auto queue = [&](bool follow) {
        auto request = std::make_shared<push::PULSERequest>();
        request->setVersion(3);
        request->setProtocolType(2);
        EXPECT_TRUE(socket->sendData(request->packetData(), follow ? request : nullptr));
        return request;
    };
    for (const bool acknowledgedLong : {true, false}) {
        SCOPED_TRACE(acknowledgedLong ? "acknowledged long before the close" : "written just before the close");
        m_delegate->setups = 0;
        m_delegate->delivered.clear();
        ASSERT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
        const std::size_t before = m_server.packets(2).size();
        socket = connect();
        std::vector<std::shared_ptr<push::PULSERequest>> early;
        for (int i = 0; i < 10; ++i)
            early.push_back(queue(true));
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == before + 10; }));
        // The next write learns that the peer acknowledged them.
        queue(false);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == before + 11; }));
        drainPosted();
        ASSERT_EQ(m_delegate->delivered, early);
        if (acknowledgedLong)
            m_clock.advance(platform::seconds(60));
        queue(true);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == before + 12; }));
        socket->close();
        drainPosted();
        EXPECT_TRUE(socket->takeUndeliveredRequests().empty());
    }
}

TEST_F(TcpSocketTest, SetupFailuresLeaveNothingToClose) {
    auto named = PULSETcpSocket::create("push.example.invalid", m_server.pushPort(), m_delegate);
    EXPECT_FALSE(named->setup());
    EXPECT_TRUE(logged("connect failed with get remote address"));
    named->close();
    drainPosted();
    EXPECT_EQ(m_delegate->closes, 0);
    EXPECT_EQ(named->connectionState(), 0u);

    // A refused connection fails at once or as the connect event; either way it never sets up.
    auto refused = PULSETcpSocket::create("127.0.0.1", testsupport::closedPort(), m_delegate);
    if (refused->setup()) {
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
        const auto lines = logLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with("TCP连接失败,error:"); }));
    } else {
        EXPECT_TRUE(logged("connect failed with socket error"));
    }
    drainPosted();
    EXPECT_EQ(m_delegate->setups, 0);
    EXPECT_EQ(refused->connectionState(), 0u);
}

// A listener whose accept queue is full never completes a connect: only the 5 s bound ends it.
TEST_F(TcpSocketTest, AConnectWithoutOutcomeEndsAfterFiveSeconds) {
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(listener, 0), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) {
        fillers.push_back(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        (void)::connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), sizeof address);
    }

    auto socket = PULSETcpSocket::create("127.0.0.1", ntohs(address.sin_port), m_delegate);
    ASSERT_TRUE(socket->setup());
    drainPosted();
    ASSERT_EQ(socket->connectionState(), 1u); // still waiting
    m_clock.advance(platform::seconds(4.9));
    drainPosted();
    EXPECT_EQ(socket->connectionState(), 1u);
    m_clock.advance(platform::seconds(0.2));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_delegate->closes == 1; }));
    EXPECT_TRUE(logged("TCP连接失败,error:110"));
    EXPECT_EQ(socket->connectionState(), 0u);
    EXPECT_EQ(m_delegate->setups, 0);
    for (int fd : fillers)
        ::close(fd);
    ::close(listener);
}

} // namespace
