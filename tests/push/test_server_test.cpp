// The loopback push server checks what a client sends: a raw client sends good and bad packets and
// reads what comes back.
#include "support/ClosedPort.h"
#include "support/PushTestServer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace {

using testsupport::PushBytes;
using testsupport::PushTestServer;

class RawClient {
public:
    explicit RawClient(std::uint16_t port) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        timeval limit{10, 0};
        setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~RawClient() { ::close(m_fd); }
    void send(const PushBytes& bytes) { ASSERT_EQ(::send(m_fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    // Reads exactly n bytes (the receive limit ends a wait that never ends).
    PushBytes read(std::size_t n) {
        PushBytes bytes(n);
        std::size_t got = 0;
        while (got < n) {
            const ssize_t count = ::recv(m_fd, bytes.data() + got, n - got, 0);
            if (count <= 0)
                break;
            got += static_cast<std::size_t>(count);
        }
        bytes.resize(got);
        return bytes;
    }

    bool connected = false;

private:
    int m_fd;
};

// A request with the 24-byte header.
PushBytes request(std::uint8_t version, std::uint8_t command, std::uint64_t rid, const PushBytes& body = {}) {
    PushBytes bytes;
    PushTestServer::appendU16(bytes, static_cast<std::uint16_t>(24 + body.size()));
    PushTestServer::appendU8(bytes, version);
    PushTestServer::appendU8(bytes, command);
    PushTestServer::appendU64(bytes, rid);
    PushTestServer::appendU32(bytes, 0);
    PushTestServer::appendU64(bytes, 0);
    bytes.insert(bytes.end(), body.begin(), body.end());
    return bytes;
}

TEST(PushTestServer, AcknowledgesHeartbeatsWithTheirRid) {
    PushTestServer server;
    RawClient client(server.pushPort());
    ASSERT_TRUE(client.connected);
    client.send(request(3, 2, 41));
    const PushBytes ack = client.read(31);
    ASSERT_EQ(ack.size(), 31u);
    EXPECT_EQ(ack[0], 0);
    EXPECT_EQ(ack[1], 31);
    EXPECT_EQ(ack[3], 19);
    EXPECT_EQ(ack[11], 41);
    EXPECT_EQ(ack[20], 2);
    ASSERT_TRUE(server.waitFor([&] { return server.packets().size() == 1; }));
    EXPECT_EQ(server.packets()[0].rid, 41u);
    EXPECT_TRUE(server.faults().empty());
}

TEST(PushTestServer, RecordsEveryFieldThatFailsItsCheck) {
    PushTestServer server;
    RawClient client(server.pushPort());
    ASSERT_TRUE(client.connected);
    server.setWithholdHeartbeatAcks(true);
    PushBytes tooShort = {0, 10};
    tooShort.resize(10, 0);
    client.send(tooShort);
    client.send(request(3, 7, 1));       // not a command the client sends
    client.send(request(9, 1, 3));       // login with the wrong version
    client.send(request(3, 2, 4));       // even request id
    client.send(request(3, 2, 5, {1}));  // a heartbeat with a body
    client.send(request(1, 4, 6, {0, 0})); // a receipt: any version, any id
    ASSERT_TRUE(server.waitFor([&] { return server.packets().size() == 5; }));
    const auto faults = server.faults();
    ASSERT_EQ(faults.size(), 5u);
    EXPECT_EQ(faults[0], "connection 1 packet: length 10, expected at least 24");
    EXPECT_EQ(faults[1], "connection 1 packet (command 7): command 7, expected one of 0, 1, 2, 4, 10, 13");
    EXPECT_EQ(faults[2], "connection 1 packet (command 1): version 9, expected 12");
    EXPECT_EQ(faults[3], "connection 1 packet (command 2): rid 4, expected an odd request id");
    EXPECT_EQ(faults[4], "connection 1 packet (command 2): 1 bytes after the header, expected none");

    // A length of 0 cannot be framed: recorded, and the connection ends.
    client.send({0, 0});
    ASSERT_TRUE(server.waitFor([&] { return server.openConnections() == 0; }));
    EXPECT_EQ(server.faults().size(), 6u);
    EXPECT_TRUE(client.read(1).empty());
}

TEST(PushTestServer, ShapesWritesAndRestartsOnTheSamePort) {
    PushTestServer server;
    const auto port = server.pushPort();
    {
        RawClient client(port);
        ASSERT_TRUE(server.waitFor([&] { return server.openConnections() == 1; }));
        server.setWriteShape(PushTestServer::WriteShape::OneBytePerWrite);
        const PushBytes packet = PushTestServer::packet(1, 3, 7, 9, {1, 2, 3});
        server.sendRaw(packet);
        EXPECT_EQ(client.read(packet.size()), packet);
    }
    server.restart(true);
    EXPECT_EQ(server.pushPort(), port);
    RawClient again(port);
    EXPECT_TRUE(again.connected);
    ASSERT_TRUE(server.waitFor([&] { return server.connectionsAccepted() == 2; }));
    EXPECT_NE(testsupport::closedPort(), port);
}

TEST(PushTestServer, ChecksSessionsAndTheRulesOfTagsRequests) {
    PushTestServer server;
    server.setSessionAnswers("key1");
    RawClient client(server.pushPort());
    ASSERT_TRUE(client.connected);
    client.send(request(3, 2, 1)); // a heartbeat before any login
    PushBytes body;
    PushTestServer::appendString(body, "key1");
    PushTestServer::appendString(body, R"({"platform":"i","tags":"good,not-good","extra":1})");
    client.send(request(4, 10, 3, body));
    ASSERT_TRUE(server.waitFor([&] { return server.faults().size() >= 4; }));
    const auto faults = server.faults();
    ASSERT_EQ(faults.size(), 4u);
    EXPECT_EQ(faults[0], "connection 1 packet (command 2): sent before this connection's login");
    EXPECT_EQ(faults[1], "connection 1 packet (command 10): sent before this connection's login");
    EXPECT_NE(faults[2].find("tags break the rules"), std::string::npos);
    EXPECT_NE(faults[3].find("members beyond platform, tags and alias"), std::string::npos);
    EXPECT_EQ(PushTestServer::tagRequestJson(server.packets()[1]), R"({"platform":"i","tags":"good,not-good","extra":1})");
}

} // namespace
