// Sent packets (header, writers, limits, ids, ack timer, copies, archives) and received packets (the
// dispatcher and every answer's fields, whatever the server's bytes).
#include "PushTest.h"
#include "RecordingSession.h"

#include "push/PULSEPacket.h"
#include "push/PULSEReceivedPacketController.h"

#include "support/PushTestServer.h"
#include "support/RunLoopWait.h"

#include "platform/formats/KeyedArchiver.h"
#include "platform/runloop/RunLoop.h"

#include <algorithm>
#include <functional>

namespace {

using push::PULSEPacketBuffer;
using push::PULSEReceivedPacketController;
using push::PULSERequest;
using testsupport::PushBytes;
using testsupport::PushTestServer;

// A request with a body of a given size.
class BodyRequest : public PULSERequest {
public:
    explicit BodyRequest(std::size_t bodySize = 0) : m_bodySize(bodySize) {
        setVersion(3);
        setProtocolType(2);
    }
    bool packData() override {
        if (!PULSERequest::packData())
            return false;
        packetBuffer()->bytes().insert(packetBuffer()->bytes().end(), m_bodySize, 0xAB);
        return true;
    }

private:
    std::size_t m_bodySize;
};

// A request whose body is one string field.
class StringRequest : public PULSERequest {
public:
    explicit StringRequest(std::size_t length) : m_text(length, 'x') {}
    bool packData() override {
        if (!PULSERequest::packData())
            return false;
        push::pulse_appendString(*packetBuffer(), m_text);
        return true;
    }

private:
    std::string m_text;
};

PushBytes joined(PushBytes first, const PushBytes& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::shared_ptr<PULSEReceivedPacketController> dispatch(const PushBytes& bytes) {
    return PULSEReceivedPacketController::packetWithBuffer(bytes);
}

class TcpPacketTest : public pushtest::PushTest {
protected:
    bool logged(const std::string& text) const {
        auto lines = logLines();
        return std::find(lines.begin(), lines.end(), text) != lines.end();
    }
    std::shared_ptr<pushtest::RecordingSession> installSession() {
        auto session = std::make_shared<pushtest::RecordingSession>();
        push::PULSEClientController::sharedClient().setRequestSession(session);
        return session;
    }
};

TEST_F(TcpPacketTest, WritersAreBigEndianAndStringsCarryTheirByteCount) {
    PULSEPacketBuffer buffer;
    push::pulse_appendInt8(buffer, 0x01);
    push::pulse_appendInt16(buffer, 0x0203);
    push::pulse_appendInt32(buffer, 0x04050607);
    push::pulse_appendInt64(buffer, 0x08090A0B0C0D0E0FULL);
    push::pulse_appendString(buffer, std::nullopt);
    push::pulse_appendString(buffer, std::string_view(""));
    push::pulse_appendString(buffer, std::string_view("h\xC3\xA9"));
    const std::uint8_t raw[] = {9, 8};
    push::pulse_appendDataWithLength(buffer, raw);
    const platform::Bytes expected = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 0, 0, 0, 0, 3, 'h', 0xC3, 0xA9, 0, 2, 9, 8};
    EXPECT_EQ(buffer.bytes(), expected);
    EXPECT_FALSE(buffer.hasOverlongField());

    // 65535 bytes still fit the count; 65536 would have gone out as an empty string.
    PULSEPacketBuffer largest;
    push::pulse_appendString(largest, std::string(65535, 'a'));
    ASSERT_EQ(largest.size(), 65537u);
    EXPECT_EQ(largest.bytes()[0], 0xFF);
    EXPECT_EQ(largest.bytes()[1], 0xFF);
    EXPECT_FALSE(largest.hasOverlongField());
    PULSEPacketBuffer overlong;
    push::pulse_appendString(overlong, std::string(65536, 'a'));
    push::pulse_appendDataWithLength(overlong, platform::Bytes(70000, 1));
    EXPECT_EQ(overlong.size(), 0u);
    EXPECT_TRUE(overlong.hasOverlongField());
}

TEST_F(TcpPacketTest, HeartbeatIsTheTwentyFourByteHeader) {
    auto session = installSession();
    session->session = 0x0A0B0C0D;
    auto request = std::make_shared<BodyRequest>();
    const auto packet = request->packetData();
    ASSERT_TRUE(packet);
    const platform::Bytes expected = {0x00, 0x18, 3, 2, 0, 0, 0, 0, 0, 0, 0, 101, 0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(*packet, expected);
    EXPECT_EQ(session->kinds, std::vector<int>{0});
}

TEST_F(TcpPacketTest, PacketLimits) {
    EXPECT_EQ(std::make_shared<BodyRequest>(7167 - 24)->packetData()->size(), 7167u);

    EXPECT_FALSE(std::make_shared<BodyRequest>(7168 - 24)->packetData());
    EXPECT_TRUE(logged("package length beyond limit package length"));
    EXPECT_TRUE(logged("give up this request"));

    EXPECT_FALSE(std::make_shared<BodyRequest>(65536 - 24)->packetData());
    const auto lines = logLines();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return line.starts_with("packet too long, 65536 : <"); }));

    // A string of 65536 bytes fails its packet instead of going out as an empty string.
    EXPECT_FALSE(std::make_shared<StringRequest>(65536)->packetData());
    EXPECT_TRUE(logged("packet field too long, 65536 bytes"));
    EXPECT_TRUE(std::make_shared<StringRequest>(100)->packetData());
}

TEST_F(TcpPacketTest, RequestIdsComeFromTheSessionOrAPlainCounter) {
    EXPECT_EQ(std::make_shared<PULSERequest>()->rid(), 1u);
    EXPECT_EQ(std::make_shared<PULSERequest>()->rid(), 3u);
    auto session = installSession();
    auto request = std::make_shared<PULSERequest>();
    EXPECT_EQ(request->rid(), 101u);

    // A copy draws one id and throws it away, keeping the original's fields.
    request->setControlFlag(14);
    request->setVersion(12);
    request->setProtocolType(1);
    request->setUid(77);
    auto copy = request->copy();
    EXPECT_EQ(session->nextRId, 103u);
    EXPECT_EQ(copy->rid(), 101u);
    EXPECT_EQ(copy->controlFlag(), 14);
    EXPECT_EQ(copy->version(), 12);
    EXPECT_EQ(copy->protocolType(), 1);
    EXPECT_EQ(copy->uid(), 77u);
    EXPECT_TRUE(copy->isEqualToRequest(*request));
    EXPECT_TRUE(copy->ackOrRespRequired() && copy->isExclusive() && copy->hasHighPriority());
    EXPECT_FALSE(copy->loginRequired() || copy->canBeQueuedIfNotLogin() || copy->ackOrRespRequiredForVersion1());
    EXPECT_FALSE(copy->isIMMessageRequest());

    request->send();
    ASSERT_EQ(session->sent.size(), 1u);
    EXPECT_EQ(session->sent[0], request);
}

TEST_F(TcpPacketTest, AckTimerReachesTheSessionOnlyForTheCurrentTimer) {
    auto session = installSession();
    auto request = std::make_shared<PULSERequest>();
    auto other = std::make_shared<PULSERequest>();
    request->startAckTimeoutTimer();
    auto first = request->ackTimeoutTimer();
    request->startAckTimeoutTimer(); // replaces the first, which must stay silent
    EXPECT_FALSE(first->isValid());
    other->startAckTimeoutTimer();
    other->stopAckTimeoutTimer();

    m_clock.advance(platform::seconds(9.9));
    platform::RunLoop::main().runOnce(platform::seconds(0));
    EXPECT_TRUE(session->timedOut.empty());
    m_clock.advance(platform::seconds(0.2));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !session->timedOut.empty(); }));
    bool extra = false;
    platform::RunLoop::main().perform([&] { extra = true; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return extra; }));
    ASSERT_EQ(session->timedOut.size(), 1u);
    EXPECT_EQ(session->timedOut[0], request);
    EXPECT_FALSE(request->ackTimeoutTimer());
}

TEST_F(TcpPacketTest, RequestsArchiveByKeyWithoutDrawingIds) {
    push::PULSENetElement::registerArchiveClasses();
    auto session = installSession();
    auto request = std::make_shared<PULSERequest>();
    request->setVersion(8);
    request->setProtocolType(0);
    request->setUid(0xFFFFFFFFFFFFFFF0ULL);
    request->setControlFlag(14);
    auto data = platform::KeyedArchiver::archivedData(platform::ArchiveValue(std::static_pointer_cast<PULSERequest>(request)));
    ASSERT_TRUE(data.ok()) << data.error().localizedDescription();
    auto tree = platform::KeyedUnarchiver::unarchive(*data);
    ASSERT_TRUE(tree.ok());
    auto back = tree->objectOfClass<PULSERequest>();
    ASSERT_TRUE(back);
    EXPECT_EQ(back->rid(), request->rid());
    EXPECT_EQ(back->uid(), request->uid());
    EXPECT_EQ(back->version(), 8);
    EXPECT_EQ(back->controlFlag(), 14);
    EXPECT_EQ(session->kinds.size(), 1u);

    platform::KeyedArchiver coder;
    request->encodeWithCoder(coder);
    for (const char* key : {"PULSE_net_element_uid", "PULSE_net_element_rid", "PULSE_net_element_version",
                            "PULSE_net_element_protocol_type", "PULSE_request_control_flag", "PULSE_request_package_data"})
        EXPECT_TRUE(coder.fields().contains(key)) << key;
}

TEST_F(TcpPacketTest, ReceiptAnswersTheReceivedPacket) {
    auto received = PULSEReceivedPacketController(PushTestServer::packet(5, 3, 4242, 9));
    push::PULSEReceipt receipt(received);
    EXPECT_EQ(receipt.version(), 5);
    EXPECT_EQ(receipt.rid(), 4242u);
    EXPECT_EQ(receipt.protocolType(), 4);
    EXPECT_EQ(receipt.controlFlag(), 25);
    EXPECT_TRUE(receipt.loginRequired() && receipt.hasHighPriority() && receipt.canBeQueuedIfNotLogin());
    EXPECT_EQ(receipt.description(), "[PULSEReceipt] - status:0, toUid:0 - [PULSENetElement] - version:5, command:4, rid:4242, juid:0");

    auto ofCommand255 = std::make_shared<push::PULSEReceipt>(PULSEReceivedPacketController(PushTestServer::packet(1, 255, 7, 0)));
    EXPECT_EQ(ofCommand255->protocolType(), 0);
    auto packet = ofCommand255->packetData();
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->size(), 26u);
    EXPECT_EQ((*packet)[3], 0);
    EXPECT_EQ((*packet)[24], 0);
    EXPECT_EQ((*packet)[25], 0);
}

TEST_F(TcpPacketTest, DispatcherDropsWhatCannotBeFramedAndUnknownCommands) {
    EXPECT_FALSE(dispatch({}));
    EXPECT_FALSE(dispatch({0, 5, 1, 1, 0}));
    EXPECT_FALSE(dispatch({0, 30, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0}));  // announces more than it holds
    EXPECT_TRUE(logLines().empty());
    EXPECT_FALSE(dispatch(PushTestServer::packet(1, 100, 1, 0)));
    EXPECT_TRUE(logLines().empty());
    EXPECT_FALSE(dispatch(PushTestServer::packet(1, 2, 1, 0)));
    EXPECT_EQ(logLines(), std::vector<std::string>{"receive unrecognized command"});

    EXPECT_EQ(PULSEReceivedPacketController::expectedBufferLen(PushBytes{0, 20}), 4);
    EXPECT_EQ(PULSEReceivedPacketController::expectedBufferLen(PushBytes{0, 20, 0, 0, 0, 0, 0}), 13);
    EXPECT_EQ(PULSEReceivedPacketController::expectedBufferLen(PushBytes{0, 6, 0, 0, 0, 0, 0}), 0);
}

TEST_F(TcpPacketTest, ShortAnswersGiveZeroFields) {
    // A bare 20-byte login answer: status 0 and every login field zero or none.
    auto login = std::dynamic_pointer_cast<push::PULSELoginResponse>(dispatch(PushTestServer::packet(12, 1, 5, 6)));
    ASSERT_TRUE(login);
    EXPECT_EQ(login->statusCode(), 0);
    EXPECT_EQ(login->sessionID(), 0u);
    EXPECT_EQ(login->serverVersion(), 0);
    EXPECT_EQ(login->sessionKey().value_or(""), ""); // a count past the end reads as 0: an empty text
    EXPECT_EQ(login->serverTime(), 0u);
    EXPECT_EQ(login->rid(), 5u);
    EXPECT_EQ(login->uid(), 6u);

    // Fewer than 20 bytes: the header fields past the end read as 0.
    auto cut = dispatch({0, 8, 7, 19, 0, 0, 0, 1});
    ASSERT_TRUE(std::dynamic_pointer_cast<push::PULSEAck>(cut));
    EXPECT_EQ(cut->version(), 7);
    EXPECT_EQ(cut->rid(), 0u);

    // A string whose count runs past the packet reads as none; the fields after it as 0.
    PushBytes body;
    PushTestServer::appendU16(body, 0);
    PushTestServer::appendU32(body, 77);
    PushTestServer::appendU16(body, 1);
    PushTestServer::appendU16(body, 40);
    body.insert(body.end(), {'k', 'e', 'y'});
    auto runaway = std::dynamic_pointer_cast<push::PULSELoginResponse>(dispatch(PushTestServer::packet(12, 1, 5, 6, body)));
    ASSERT_TRUE(runaway);
    EXPECT_EQ(runaway->sessionID(), 77u);
    EXPECT_EQ(runaway->serverVersion(), 1);
    EXPECT_FALSE(runaway->sessionKey());
    EXPECT_EQ(runaway->serverTime(), 0u);
}

// Whether a received packet, whole or as far as it arrived, can be what its length says.
TEST(PacketShape, FieldsMustEndWhereTheLengthSays) {
    using Shape = PULSEReceivedPacketController::Shape;
    const auto withLength = [](PushBytes packet, std::uint16_t length) {
        packet[0] = static_cast<std::uint8_t>(length >> 8);
        packet[1] = static_cast<std::uint8_t>(length);
        return packet;
    };
    const auto body = [](std::initializer_list<std::function<void(PushBytes&)>> fields) {
        PushBytes bytes;
        for (const auto& field : fields)
            field(bytes);
        return bytes;
    };
    const auto u8 = [](std::uint8_t v) { return [v](PushBytes& b) { PushTestServer::appendU8(b, v); }; };
    const auto u16 = [](std::uint16_t v) { return [v](PushBytes& b) { PushTestServer::appendU16(b, v); }; };
    const auto u32 = [](std::uint32_t v) { return [v](PushBytes& b) { PushTestServer::appendU32(b, v); }; };
    const auto u64 = [](std::uint64_t v) { return [v](PushBytes& b) { PushTestServer::appendU64(b, v); }; };
    const auto text = [](std::string v) { return [v](PushBytes& b) { PushTestServer::appendString(b, v); }; };

    const PushBytes login = PushTestServer::packet(12, 1, 1, 0, body({u16(0), u32(7), u16(1), text("key"), u32(9)}));
    const PushBytes registration = PushTestServer::packet(8, 0, 1, 0, body({u16(0), u64(5), text("pw"), text("reg")}));
    const PushBytes refused = PushTestServer::packet(8, 0, 1, 0, body({u16(1006), text("busy")}));
    const PushBytes loginRefused = PushTestServer::packet(12, 1, 1, 0, body({u16(7), text("no")}));
    const PushBytes token = PushTestServer::packet(2, 13, 1, 0, body({u16(0)}));
    const PushBytes tokenRefused = PushTestServer::packet(2, 13, 1, 0, body({u16(3), text("bad")}));
    const PushBytes ack = PushTestServer::packet(3, 19, 1, 0, body({u8(2), u8(0), u8(0), u64(1)}));
    const PushBytes message = PushTestServer::packet(1, 3, 1, 0, body({u8(1), u64(9), text("{\"message\":\"m\"}")}));
    const PushBytes unknown = PushTestServer::packet(1, 77, 1, 0, PushBytes(30, 0x5A));
    PushBytes trailing = ack;
    trailing.push_back(0);
    PushBytes textPastEnd = message;
    textPastEnd.resize(35);

    const struct {
        const char* what;
        PushBytes bytes;
        Shape shape;
        std::size_t fieldsEnd;
    } cases[] = {
        {"a login answer", login, Shape::Fits, 0},
        {"a registration answer", registration, Shape::Fits, 0},
        {"a refused registration", refused, Shape::Fits, 0},
        {"a refused login", loginRefused, Shape::Fits, 0},
        {"a token answer", token, Shape::Fits, 0},
        {"a refused token", tokenRefused, Shape::Fits, 0},
        {"an acknowledgement", ack, Shape::Fits, 0},
        {"a message", message, Shape::Fits, 0},
        {"an unknown command of any length", unknown, Shape::Fits, 0},
        {"a length below 6", PushBytes{0, 5, 1, 19, 0}, Shape::Fits, 0},
        {"a whole packet of 2 bytes", PushBytes{0, 2}, Shape::Fits, 0},
        {"a bare header", PushTestServer::packet(12, 1, 1, 0), Shape::Fits, 0},
        {"cut inside a field", withLength(PushBytes(login.begin(), login.begin() + 25), 25), Shape::Fits, 0},
        {"cut inside a text count", withLength(PushBytes(message.begin(), message.begin() + 30), 30), Shape::Fits, 0},
        {"the first bytes of a message", PushBytes(message.begin(), message.begin() + 31), Shape::Fits, 0},
        {"too few bytes to tell", PushBytes(message.begin(), message.begin() + 25), Shape::NeedsBytes, 0},
        {"no command yet", PushBytes{0, 40, 1}, Shape::NeedsBytes, 0},
        {"bytes after the last field", withLength(trailing, 32), Shape::Broken, 31},
        {"a length longer than the fields", withLength(ack, 40), Shape::Broken, 31},
        {"65535 over a short message", withLength(message, 0xFFFF), Shape::Broken, message.size()},
        {"a text past the end", withLength(textPastEnd, 35), Shape::Broken, message.size()},
        {"a refusal with fields after its text", withLength(joined(refused, {0, 0}), 30), Shape::Broken, 28},
        {"a token answer with a text after status 0", withLength(joined(token, {0, 0}), 24), Shape::Broken, 22},
    };
    for (const auto& c : cases) {
        const auto check = PULSEReceivedPacketController::packetShape(c.bytes);
        EXPECT_EQ(check.shape, c.shape) << c.what;
        if (c.shape == Shape::Broken) {
            EXPECT_EQ(check.fieldsEnd, c.fieldsEnd) << c.what;
        }
    }
}

TEST_F(TcpPacketTest, AnswersCarryTheirFields) {
    PushBytes body;
    PushTestServer::appendU16(body, 0);
    PushTestServer::appendU32(body, 0xDEADBEEF);
    PushTestServer::appendU16(body, 1);
    PushTestServer::appendString(body, "key");
    PushTestServer::appendU32(body, 1700000000);
    auto login = std::dynamic_pointer_cast<push::PULSELoginResponse>(dispatch(PushTestServer::packet(12, 1, 5, 6, body)));
    ASSERT_TRUE(login);
    EXPECT_EQ(login->sessionID(), 0xDEADBEEFu);
    EXPECT_EQ(login->serverVersion(), 1);
    EXPECT_EQ(login->sessionKey(), "key");
    EXPECT_EQ(login->serverTime(), 1700000000u);

    body.clear();
    PushTestServer::appendU16(body, 0);
    PushTestServer::appendU64(body, 123456789012345ULL);
    PushTestServer::appendString(body, "secret");
    PushTestServer::appendString(body, std::string("re\0g", 4)); // a zero byte ends the text
    auto registration = std::dynamic_pointer_cast<push::PULSERegistrationResponse>(dispatch(PushTestServer::packet(8, 0, 1, 0, body)));
    ASSERT_TRUE(registration);
    EXPECT_EQ(registration->uid(), 123456789012345ULL);
    EXPECT_EQ(registration->password(), "secret");
    EXPECT_EQ(registration->registrationID(), "re");

    // A failure status carries only the description, here not UTF-8 (none).
    body.clear();
    PushTestServer::appendU16(body, 1005);
    PushTestServer::appendString(body, "\xFF\xFE");
    PushTestServer::appendU64(body, 99);
    auto refused = std::dynamic_pointer_cast<push::PULSERegistrationResponse>(dispatch(PushTestServer::packet(8, 0, 1, 4, body)));
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->statusCode(), 1005);
    EXPECT_FALSE(refused->errorDescription());
    EXPECT_EQ(refused->uid(), 4u);
    EXPECT_FALSE(refused->password());

    body.clear();
    PushTestServer::appendU8(body, 2);
    PushTestServer::appendU8(body, 1);
    PushTestServer::appendU8(body, 3);
    PushTestServer::appendU64(body, 1234);
    auto ack = std::dynamic_pointer_cast<push::PULSEAck>(dispatch(PushTestServer::packet(3, 19, 11, 0, body)));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack->description(), "[PULSEAck] - requestCmd:2, step:1, status:3, timestamp:1234");

    body.clear();
    PushTestServer::appendU8(body, 1);
    PushTestServer::appendU64(body, 555);
    PushTestServer::appendString(body, "first\nsecond\n{\"message\":\"hi\"}");
    auto message = std::dynamic_pointer_cast<push::PULSEMessageDispatchController>(dispatch(PushTestServer::packet(1, 3, 2, 0, body)));
    ASSERT_TRUE(message);
    EXPECT_EQ(message->recv_commandType(), 1);
    EXPECT_EQ(message->recv_uniqueID(), 555u);
    EXPECT_EQ(message->recv_messageContent(), "{\"message\":\"hi\"}");

    auto token = std::dynamic_pointer_cast<push::PULSEDeviceTokenReportResponse>(dispatch(PushTestServer::packet(2, 13, 9, 0, {0, 1})));
    ASSERT_TRUE(token);
    EXPECT_EQ(token->statusCode(), 1);
    EXPECT_EQ(token->errorDescription().value_or(""), "");
}

TEST_F(TcpPacketTest, HandlingAnswersReachesTheSession) {
    auto session = installSession();
    dispatch(PushTestServer::packet(12, 1, 5, 0))->handleReceipt();
    dispatch(PushTestServer::packet(8, 0, 7, 0))->handleReceipt();
    dispatch(PushTestServer::packet(3, 19, 9, 0))->handleReceipt();
    dispatch(PushTestServer::packet(2, 13, 11, 0))->handleReceipt();
    dispatch(PushTestServer::packet(1, 3, 13, 0))->handleReceipt();
    EXPECT_EQ(session->calls, (std::vector<std::string>{"ackOrResp 5", "login 5", "ackOrResp 7", "register 7", "ackOrResp 9",
                                                        "ackOrResp 11"}));
}

} // namespace
