// The bodies of the registration, login, heartbeat and device-token requests, byte by byte, and the UDP
// report frame.
#include "PushTest.h"

#include "push/PULSEPushConfigController.h"
#include "push/PULSEReceivedPacketController.h"
#include "push/PULSESessionRequests.h"
#include "push/PULSEUDPReport.h"
#include "push/PULSEUdpSocket.h"

#include "RecordingSession.h"
#include "support/PushReportSink.h"
#include "support/RunLoopWait.h"

#include "platform/application/Application.h"

#include "platform/system/Device.h"

#include <algorithm>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using platform::Bytes;

// Appends a length-prefixed string.
void appendString(Bytes& bytes, const std::string& text) {
    bytes.push_back(static_cast<std::uint8_t>(text.size() >> 8));
    bytes.push_back(static_cast<std::uint8_t>(text.size()));
    bytes.insert(bytes.end(), text.begin(), text.end());
}

// Installs the identity, configuration and device facts every request reads.
template <class Base>
class WithClient : public Base {
protected:
    WithClient() {
        m_identity = this->installIdentity("abcdef0123456789abcdef01");
        auto& client = push::PULSEClientController::sharedClient();
        auto config = std::make_shared<push::PULSEPushConfigController>();
        config->setAppKey("ABCDEF0123456789ABCDEF01", std::nullopt, true);
        client.setPushConfig(config);
        client.setApsEvironment(1);
        client.setBundleVersion(platform::Value(42));
        client.setSystemVersion("9.0");
        client.setModelName("iPhone7,2");
    }

    static Bytes body(push::PULSERequest& request) {
        auto packet = request.packetData();
        EXPECT_TRUE(packet);
        return packet ? Bytes(packet->begin() + push::PULSERequest::kSentHeaderLength, packet->end()) : Bytes();
    }

    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
};

using SessionRequests = WithClient<pushtest::PushTest>;

// Requests sent to the loopback push server over a plain blocking connection, one answer each.
class SessionRoundTrip : public WithClient<pushtest::PushServerTest> {
protected:
    SessionRoundTrip() {
        m_server.setSessionAnswers("abcdef0123456789abcdef01");
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        timeval limit{10, 0};
        ::setsockopt(m_fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(m_server.pushPort());
        EXPECT_EQ(::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~SessionRoundTrip() override { ::close(m_fd); }

    std::shared_ptr<push::PULSEReceivedPacketController> exchange(push::PULSERequest& request) {
        auto packet = request.packetData();
        EXPECT_TRUE(packet);
        EXPECT_EQ(::send(m_fd, packet->data(), packet->size(), MSG_NOSIGNAL), static_cast<ssize_t>(packet->size()));
        Bytes answer(2);
        if (!readExactly(answer.data(), 2))
            return nullptr;
        answer.resize((answer[0] << 8) | answer[1]);
        if (answer.size() < 2 || !readExactly(answer.data() + 2, answer.size() - 2))
            return nullptr;
        return push::PULSEReceivedPacketController::packetWithBuffer(answer);
    }

private:
    bool readExactly(std::uint8_t* into, std::size_t size) {
        for (std::size_t got = 0; got < size;) {
            const ssize_t count = ::recv(m_fd, into + got, size - got, 0);
            if (count <= 0)
                return false;
            got += static_cast<std::size_t>(count);
        }
        return true;
    }
    int m_fd = -1;
};

TEST_F(SessionRoundTrip, RegistrationThenLoginAreAccepted) {
    push::PULSERegistrationRequest registration;
    auto registered = std::dynamic_pointer_cast<push::PULSERegistrationResponse>(exchange(registration));
    ASSERT_TRUE(registered);
    EXPECT_EQ(registered->statusCode(), 0);
    EXPECT_EQ(registered->uid(), 1001u);
    EXPECT_EQ(registered->password(), "pw1");
    EXPECT_EQ(registered->registrationID(), "reg1");
    m_identity->setUid(registered->uid(), registered->password(), registered->registrationID());

    // The same device registering again keeps its identity.
    push::PULSERegistrationRequest again;
    auto second = std::dynamic_pointer_cast<push::PULSERegistrationResponse>(exchange(again));
    ASSERT_TRUE(second);
    EXPECT_EQ(second->uid(), 1001u);

    push::PULSELoginRequest login;
    auto loggedIn = std::dynamic_pointer_cast<push::PULSELoginResponse>(exchange(login));
    ASSERT_TRUE(loggedIn);
    EXPECT_EQ(loggedIn->statusCode(), 0);
    EXPECT_EQ(loggedIn->sessionID(), 0x5E55u);
    EXPECT_EQ(loggedIn->sessionKey(), "session-key");

    // Later packets of the connection carry the issued session id.
    auto session = std::make_shared<pushtest::RecordingSession>();
    session->session = loggedIn->sessionID();
    push::PULSEClientController::sharedClient().setRequestSession(session);
    m_identity->setCurrentDeviceToken("00ff");
    push::PULSEDeviceTokenReportRequest token;
    auto uploaded = exchange(token);
    ASSERT_TRUE(uploaded);
    EXPECT_EQ(uploaded->protocolType(), 13);
}

TEST_F(SessionRequests, RegistrationBody) {
    push::PULSERegistrationRequest request;
    EXPECT_EQ(request.version(), 8);
    EXPECT_EQ(request.protocolType(), 0);
    EXPECT_EQ(request.controlFlag(), 14);
    Bytes expected;
    appendString(expected, m_identity->sharedUdid() + "$$ $$org.test.pulse$$abcdef0123456789abcdef01");
    appendString(expected, "42");
    appendString(expected, "9.0$$iPhone7,2$$ $$ $$\x10$$2.1.0");
    appendString(expected, " ");
    expected.insert(expected.end(), {2, 1, 1});
    EXPECT_EQ(body(request), expected);

    m_identity->setCurrentDeviceToken("0a1b2c");
    push::PULSERegistrationRequest withToken;
    auto tokenBody = body(withToken);
    const std::string tokenField = std::string("\x00\x06", 2) + "0a1b2c";
    EXPECT_NE(std::search(tokenBody.begin(), tokenBody.end(), tokenField.begin(), tokenField.end()), tokenBody.end());
    EXPECT_NE(request.description().find("[PULSERegistrationRequest] - "), std::string::npos);
}

TEST_F(SessionRequests, LoginBody) {
    push::PULSELoginRequest request;
    EXPECT_EQ(request.version(), 12);
    EXPECT_EQ(request.protocolType(), 1);
    Bytes expected = {0x69, 0, 0, 0};
    appendString(expected, "d41d8cd98f00b204e9800998ecf8427e"); // MD5 of no password
    expected.insert(expected.end(), {0x00, 0x02, 0x01, 0x00});
    appendString(expected, "abcdef0123456789abcdef01");
    expected.push_back(1);
    EXPECT_EQ(body(request), expected);

    m_identity->setUid(77, "secret", "reg");
    push::PULSELoginRequest withPassword;
    auto secretBody = body(withPassword);
    EXPECT_EQ(std::string(secretBody.begin() + 6, secretBody.begin() + 38), "5ebe2294ecd0e0f08eab7690d2a6ee69");
}

TEST_F(SessionRequests, HeartbeatAndDeviceToken) {
    push::PULSEHeartbeatRequest heartbeat;
    EXPECT_EQ(heartbeat.controlFlag(), 41);
    EXPECT_EQ(heartbeat.packetData()->size(), push::PULSERequest::kSentHeaderLength);

    m_identity->setCurrentDeviceToken("ff00");
    push::PULSEDeviceTokenReportRequest token;
    EXPECT_EQ(token.protocolType(), 13);
    EXPECT_EQ(token.controlFlag(), 21);
    Bytes expected;
    appendString(expected, "ff00");
    expected.insert(expected.end(), {2, 1});
    EXPECT_EQ(body(token), expected);
}

TEST_F(SessionRequests, AnswersOfTheServer) {
    // Login, status 0 and nothing after it: zeros and no session key.
    auto login = std::dynamic_pointer_cast<push::PULSELoginResponse>(
        push::PULSEReceivedPacketController::packetWithBuffer(testsupport::PushTestServer::packet(12, 1, 3, 0, {0, 0})));
    ASSERT_TRUE(login);
    EXPECT_EQ(login->sessionID(), 0u);
    EXPECT_EQ(login->serverVersion(), 0);
    EXPECT_EQ(login->sessionKey().value_or(""), "");
    EXPECT_EQ(login->serverTime(), 0u);

    // Device token: status 1 leaves the uploaded token, status 0 records the current one.
    auto uploaded = [&] { return m_identity->infoDictionary()[push::PULSEUserDefaultsController::kUploadedDeviceTokenKey]; };
    m_identity->setCurrentDeviceToken("aa11");
    push::PULSEReceivedPacketController::packetWithBuffer(testsupport::PushTestServer::packet(2, 13, 5, 0, {0, 1}))->handleReceipt();
    EXPECT_TRUE(uploaded().isNull());
    push::PULSEReceivedPacketController::packetWithBuffer(testsupport::PushTestServer::packet(2, 13, 7, 0, {0, 0}))->handleReceipt();
    EXPECT_FALSE(uploaded().isNull());
}

TEST_F(SessionRequests, UDPReportFrameIsBuiltOnce) {
    push::PULSEUDPReport report;
    const Bytes& packet = report.packetData();
    const std::string json = R"({"sdk_ver":"2.1.0","platform":"iOS"})";
    ASSERT_EQ(json.size(), 36u);
    ASSERT_EQ(packet.size(), 40u);
    EXPECT_EQ(Bytes(packet.begin(), packet.begin() + 4), (Bytes{0x00, 0x26, 0x55, 0x46}));
    EXPECT_EQ(std::string(packet.begin() + 4, packet.end()), json);

    report.updateClientInfo();
    EXPECT_EQ(report.packetData().size(), 40u);

    push::PULSEUDPReport identified;
    m_identity->setUid(5, "p", "r");
    identified.updateClientInfo();
    const std::string text(identified.packetData().begin() + 4, identified.packetData().end());
    EXPECT_EQ(text, R"({"sdk_ver":"2.1.0","platform":"iOS","uid":5,"senderid":"abcdef0123456789abcdef01"})");
}

TEST_F(SessionRequests, APNSStateFollowsTheSystemVersion) {
    auto& application = platform::Application::shared();
    application.registerUserNotificationSettings(7);
    platform::Device::current().setSystemVersion("8.0");
    push::PULSEAPNSStateReport settings;
    EXPECT_EQ(settings.reportBody()["apns_state"].integerValue(), 7);
    platform::Device::current().setSystemVersion("7.1");
    push::PULSEAPNSStateReport older;
    EXPECT_EQ(older.reportBody()["apns_state"].integerValue(), 0); // not registered for remote notifications
    application.resetForTesting();
}

// A logged-in session's road for reports: fresh client information, then the frame through a UDP socket
// connected to the report server, time-out 0.
class UdpReportingSession : public pushtest::RecordingSession {
public:
    explicit UdpReportingSession(std::uint16_t port) {
        socket->connectToHost("127.0.0.1", port);
    }
    void sendUdpReport(const std::shared_ptr<push::PULSEUDPReport>& report) override {
        RecordingSession::sendUdpReport(report);
        report->updateClientInfo();
        sendResults.push_back(socket->sendData(report->packetData(), std::nullopt, 0, 0));
    }

    std::shared_ptr<push::PULSEUdpSocket> socket = push::PULSEUdpSocket::create({});
    std::vector<bool> sendResults;
};

TEST_F(SessionRequests, SentReportsReachTheReportServerWithTheirExactFrame) {
    testsupport::PushReportSink sink;
    sink.expect({4321, "abcdef0123456789abcdef01", {"apns_state"}});
    m_identity->setUid(4321, "pw", "reg");
    platform::Application::shared().registerUserNotificationSettings(6);
    platform::Device::current().setSystemVersion("9.0");

    // Without a session the report goes nowhere.
    auto report = std::make_shared<push::PULSEAPNSStateReport>();
    report->send();

    auto session = std::make_shared<UdpReportingSession>(sink.port());
    push::PULSEClientController::sharedClient().setRequestSession(session);
    report->send();
    ASSERT_EQ(session->reports, (std::vector<std::shared_ptr<push::PULSEUDPReport>>{report}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return sink.datagrams().size() == 1; }));

    const std::string json = R"({"sdk_ver":"2.1.0","platform":"iOS","apns_state":6,"uid":4321,"senderid":"abcdef0123456789abcdef01"})";
    Bytes expected{0x00, static_cast<std::uint8_t>(json.size() + 2), 'U', 'F'};
    expected.insert(expected.end(), json.begin(), json.end());
    EXPECT_EQ(sink.datagrams()[0], expected);
    EXPECT_EQ(session->sendResults, std::vector<bool>{true});
    EXPECT_EQ(sink.faults(), std::vector<std::string>{});

    // A report on the stack is not shared: it is refused with an error line, not sent.
    push::PULSEAPNSStateReport unshared;
    unshared.send();
    EXPECT_EQ(session->reports.size(), 1u);
    const auto lines = logLines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "udp report not shared, not sent"), lines.end());

    // The sink's own checks: a wrong length field and missing keys are faults.
    const Bytes bad{0x00, 0x05, 'U', 'F', '{', '}'};
    ASSERT_TRUE(session->socket->sendData(bad, std::nullopt, 0, 0));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return sink.datagrams().size() == 2; }));
    const auto faults = sink.faults();
    ASSERT_FALSE(faults.empty());
    EXPECT_EQ(faults[0], "udp report: length field 5, expected 4");
    push::PULSEClientController::sharedClient().setRequestSession({});
    platform::Application::shared().resetForTesting();
}

} // namespace
