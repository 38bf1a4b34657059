// Pushed messages: the message dictionary, de-duplication, receipts, tags replies, and delivery across
// broken connections and server restarts.
#include "SessionTest.h"

#include "push/PULSEMessageCenter.h"
#include "push/PULSEReceivedPacketController.h"

#include "RecordingSession.h"

#include "platform/RunLoop.h"

#include <set>

namespace {

using push::PULSEMessageCenter;
using testsupport::PushBytes;
using testsupport::PushTestServer;

PushBytes messagePacket(std::uint8_t type, std::uint64_t id, const std::string& text) {
    PushBytes body;
    PushTestServer::appendU8(body, type);
    PushTestServer::appendU64(body, id);
    PushTestServer::appendString(body, text);
    return PushTestServer::packet(1, 3, id, 0, body);
}

// Records the message notifications (main thread).
class MessageListener {
public:
    MessageListener() {
        platform::NotificationCenter::defaultCenter().addObserver(this, push::kPULSENetworkDidReceiveMessageNotification, nullptr,
                                                                  [this](const platform::Notification& note) { infos.push_back(note.userInfo); });
    }
    ~MessageListener() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<platform::Dictionary> infos;
};

TEST(MessageDictionary, TakesContentTitleTypeAndExtras) {
    auto dictionary = PULSEMessageCenter::messageDictionary(
        R"({"message":"hello","title":"T","content_type":"text","extras":{"k":1},"other":2})");
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(platform::Value(*dictionary).description(), platform::Value(platform::Dictionary{
        {"content", "hello"}, {"title", "T"}, {"content_type", "text"}, {"extras", platform::Dictionary{{"k", 1}}}}).description());

    // Extras as a text holding a JSON dictionary become a dictionary; any other text is left out.
    auto fromText = PULSEMessageCenter::messageDictionary(R"({"message":"m","extras":"{\"a\":\"b\"}"})");
    ASSERT_TRUE(fromText);
    EXPECT_EQ((*fromText)["extras"], platform::Value(platform::Dictionary{{"a", "b"}}));
    for (const char* text : {R"({"message":"m","extras":"[1]"})", R"({"message":"m","extras":"plain"})", R"({"message":"m","extras":5})"}) {
        auto left = PULSEMessageCenter::messageDictionary(text);
        ASSERT_TRUE(left) << text;
        EXPECT_FALSE(left->contains("extras")) << text;
    }

    // No "message", not JSON, not UTF-8, an array: nothing.
    for (const std::string& text : {std::string(R"({"title":"t"})"), std::string("not json"), std::string("{\"message\":\"\xFF\"}"),
                                   std::string("[1]"), std::string()})
        EXPECT_FALSE(PULSEMessageCenter::messageDictionary(text)) << text;

    // A large text is read whole.
    const std::string big = R"({"message":")" + std::string(64'900, 'x') + "\"}";
    auto large = PULSEMessageCenter::messageDictionary(big);
    ASSERT_TRUE(large);
    EXPECT_EQ((*large)["content"].stringOr("").size(), 64'900u);
}

class Messages : public pushtest::PushTest {
protected:
    Messages() {
        m_identity = installIdentity("abcdef0123456789abcdef01");
        m_identity->setUid(77, "pw", "reg");
        auto& client = push::PULSEClientController::sharedClient();
        client.setMessageCenter(m_center);
        client.setTagAliasMng(std::make_shared<push::PULSETagAlias>());
        client.setRequestSession(m_session);
    }

    void receive(std::uint8_t type, std::uint64_t id, const std::string& text) {
        auto element = push::PULSEReceivedPacketController::packetWithBuffer(messagePacket(type, id, text));
        ASSERT_TRUE(element);
        element->handleReceipt();
    }

    std::vector<std::uint64_t> receiptIds() const {
        std::vector<std::uint64_t> ids;
        for (const auto& request : m_session->sent)
            if (auto receipt = std::dynamic_pointer_cast<push::PULSEMessageReceipt>(request))
                ids.push_back(receipt->messageID());
        return ids;
    }

    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
    std::shared_ptr<PULSEMessageCenter> m_center = std::make_shared<PULSEMessageCenter>();
    std::shared_ptr<pushtest::RecordingSession> m_session = std::make_shared<pushtest::RecordingSession>();
    MessageListener m_listener;
};

TEST_F(Messages, TheLastLineIsTheMessageAndEveryMessageGetsAReceipt) {
    receive(1, 500, "garbage line\n{not json either\n{\"message\":\"third\"}");
    receive(1, 500, "{\"message\":\"again\"}");  // repeated: no notification, still a receipt
    receive(2, 501, "not json");                 // a notification without user information
    receive(20, 502, "{\"sequence\":1,\"code\":0}"); // a tags reply: neither
    receive(20, 503, "anything");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 2; }));
    EXPECT_EQ(m_listener.infos[0]["content"].stringOr(""), "third");
    EXPECT_TRUE(m_listener.infos[1].empty());
    EXPECT_EQ(receiptIds(), (std::vector<std::uint64_t>{500, 500, 501}));

    // The receipt: 35 bytes, command 4, the message's version and rid, the stored uid.
    auto receipt = std::dynamic_pointer_cast<push::PULSEMessageReceipt>(m_session->sent[0]);
    auto packet = receipt->packetData();
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 35u);
    EXPECT_EQ((*packet)[2], 1);
    EXPECT_EQ((*packet)[3], 4);
    EXPECT_EQ((*packet)[11], 500 & 0xFF);
    EXPECT_EQ((*packet)[23], 77);
    EXPECT_EQ(platform::Bytes(packet->begin() + 24, packet->end()), (platform::Bytes{0, 0, 1, 0, 0, 0, 0, 0, 0, 0x01, 0xF4}));
    EXPECT_EQ(receipt->controlFlag(), 25);
    EXPECT_NE(receipt->description().find("[PULSEMessageReceipt] - msgType:1, msgId:500"), std::string::npos);
}

TEST_F(Messages, ALongTextAndBytesThatAreNotUTF8AreHandledLikeAnyOther) {
    receive(1, 700, R"({"message":")" + std::string(64'980, 'y') + "\"}");
    receive(1, 701, "{\"message\":\"\xFF\xFE\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 2; }));
    EXPECT_EQ(m_listener.infos[0]["content"].stringOr("").size(), 64'980u);
    EXPECT_TRUE(m_listener.infos[1].empty());
    EXPECT_EQ(receiptIds(), (std::vector<std::uint64_t>{700, 701}));
}

TEST_F(Messages, The101LastIdsAreRemembered) {
    for (std::uint64_t id = 1; id <= 102; ++id)
        receive(1, id, "{\"message\":\"m\"}");
    EXPECT_EQ(m_center->receivedMsgIdsArray().size(), 101u);
    EXPECT_EQ(m_center->receivedMsgIdsArray().front(), 2u);
    receive(1, 1, "{\"message\":\"m\"}");   // forgotten: delivered again
    receive(1, 102, "{\"message\":\"m\"}"); // remembered: not
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 103; }));
    EXPECT_EQ(receiptIds().size(), 104u);
}

// End to end, against the server, which holds each message until its receipt.
class PushedMessages : public pushtest::SessionTest {
protected:
    std::map<std::string, int> deliveries() const {
        std::map<std::string, int> seen;
        for (const auto& info : m_listener.infos)
            ++seen[info["content"].stringOr("(none)")];
        return seen;
    }
    MessageListener m_listener;
};

TEST_F(PushedMessages, ReachTheApplicationOnceAndAreAcknowledged) {
    startLoggedIn();
    m_server.pushMessage(1, 9001, "{\"message\":\"a\",\"title\":\"t\"}");
    m_server.pushMessage(1, 9001, "{\"message\":\"a\"}"); // the server repeats it
    m_server.pushMessage(20, 9002, "{\"sequence\":5,\"code\":0}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 2; }));
    EXPECT_EQ(m_server.receipts(), (std::vector<std::uint64_t>{9001, 9001}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 1; }));
    EXPECT_EQ(m_listener.infos[0]["title"].stringOr(""), "t");
    EXPECT_EQ(m_server.heldMessages(), 0u);
}

// What the server (and its standalone program) says of a push: nobody to push to before any login, sent
// to a connected device, held for one that is away.
TEST_F(PushedMessages, TheServerSaysWhatBecameOfAPush) {
    using Outcome = PushTestServer::PushOutcome;
    EXPECT_EQ(m_server.pushMessage(1, 1, "{\"message\":\"one\"}"), Outcome::Dropped);
    startLoggedIn();
    EXPECT_EQ(m_server.pushMessage(1, 2, "{\"message\":\"two\"}"), Outcome::Sent);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 1; }));
    m_session->setIsConnectDisable(true);
    m_session->close();
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
    EXPECT_EQ(m_server.pushMessage(1, 3, "{\"message\":\"three\"}"), Outcome::Held);
    m_session->setIsConnectDisable(false);
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_listener.infos.size() == 2; }));
    // The receipt of the message before the close may go again: its acknowledgement may not have come
    // back before the close.
    const auto receipts = m_server.receipts();
    EXPECT_EQ(std::set<std::uint64_t>(receipts.begin(), receipts.end()), (std::set<std::uint64_t>{2, 3}));
    EXPECT_EQ(deliveries(), (std::map<std::string, int>{{"two", 1}, {"three", 1}}));
}

// The length word is all the framing there is: a packet whose length cannot be right would swallow
// the message after it. The connection starts again instead, and the server sends what had no receipt.
TEST_F(PushedMessages, APacketThatCannotBeWhatItsLengthSaysLosesNothing) {
    startLoggedIn();
    m_server.pushMessage(1, 1, "{\"message\":\"one\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 1; }));
    PushBytes bad = messagePacket(1, 99, "{\"message\":\"bad\"}");
    bad[0] = 0xFF;
    bad[1] = 0xFF;
    m_server.sendRaw(bad);
    m_server.pushMessage(1, 2, "{\"message\":\"two\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(countLines("tcp packet of command 3 cannot be 65535 bytes long (its fields end at byte 48): closing the "
                         "connection"),
              1);
    m_clock.advance(2.0);
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_listener.infos.size() == 2; }));
    EXPECT_EQ(deliveries(), (std::map<std::string, int>{{"one", 1}, {"two", 1}}));
    // The receipt of "one" reached the server's end just before the close: it goes again first after
    // the login, as the server may not have read it.
    EXPECT_EQ(m_server.receipts(), (std::vector<std::uint64_t>{1, 1, 2}));
}

// A burst of 1000 messages ended by a packet whose length word is 40 too big, in one write; or the same
// burst after which the server closes the connection. The client hands every message over, and the
// receipts it has not delivered when the connection ends go out first after the next login: what the
// server sends again meanwhile is known and not handed over twice.
class MessagesBeforeTheEnd : public PushedMessages {
protected:
    static constexpr std::size_t kBurst = 1000;
    static constexpr const char* kText = "{\"message\":\"m\"}";
    // A long burst takes a while in a sanitizer build on a busy machine.
    static constexpr std::chrono::seconds kLongWait{60};

    void burstThenReconnect(bool brokenPacket, std::size_t burst = kBurst) {
        startLoggedIn();
        if (!brokenPacket) {
            PushBytes body;
            PushTestServer::appendU8(body, 1);
            PushTestServer::appendU64(body, 1);
            PushTestServer::appendString(body, kText);
            m_server.dropAfterBytes(burst * PushTestServer::packet(1, 3, 1, 0, body).size());
        }
        ASSERT_EQ(m_server.pushBurst(1, burst, kText, brokenPacket), PushTestServer::PushOutcome::Sent);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }, kLongWait));
        m_clock.advance(2.0);
        ASSERT_TRUE(waitLoggedIn());
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_listener.infos.size() >= burst; }, kLongWait));
        // Nothing more comes: a heartbeat's round trip, then whatever was posted meanwhile.
        m_session->fireHeartBeat();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == 1 && m_session->tcpSendingQueue().count() == 0; }));
        bool drained = false;
        platform::RunLoop::main().perform([&] { drained = true; });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return drained; }));
        EXPECT_EQ(m_listener.infos.size(), burst);
        EXPECT_EQ(countLines("Found repeated message, and throw it away"), 0);
        EXPECT_EQ(m_session->keptReceiptCount(), 0u);
        std::set<std::uint64_t> acknowledged;
        for (auto id : m_server.receipts())
            acknowledged.insert(id);
        EXPECT_EQ(acknowledged.size(), burst);
    }
};

TEST_F(MessagesBeforeTheEnd, ABrokenPacketLosesNoReceipt) {
    burstThenReconnect(true);
    EXPECT_EQ(countLines("tcp packet of command 3 cannot be"), 1);
}

TEST_F(MessagesBeforeTheEnd, TheServersCloseLosesNoReceipt) {
    burstThenReconnect(false);
    EXPECT_EQ(countLines("conect close by remote"), 1);
}

// 20000 messages in one write: each read frames thousands of them, and their receipts leave as fast as
// they come (not a few dozen a write notification, which would leave far more than the 8192 receipts
// that can be kept waiting in the queue when the broken packet ends the connection).
TEST_F(MessagesBeforeTheEnd, ALongBurstLeavesFewReceiptsBehind) {
    burstThenReconnect(true, 20000);
}

// A server that stops reading and goes on pushing: the receipts pile up behind a full kernel buffer.
// The send queue refuses them past its bound (it does not grow until the heartbeat time-out), the
// connection ends at once, and after the next login every message has its receipt, none handed over
// twice.
TEST_F(PushedMessages, AServerThatNeverReadsEndsTheConnectionAndNoReceiptIsLost) {
    startLoggedIn();
    // A session that lasted: the next connection comes after 2 s.
    m_clock.advance(push::PULSESessionController::kLastingSessionSeconds);
    m_server.stopReading();
    constexpr std::size_t kBurst = 4000;
    constexpr std::size_t kMaxBursts = 50;
    std::uint64_t next = 1;
    for (std::size_t burst = 0; burst < kMaxBursts && m_session->isSetup(); ++burst) {
        ASSERT_EQ(m_server.pushBurst(next, kBurst, "{\"message\":\"m\"}", false), PushTestServer::PushOutcome::Sent);
        next += kBurst;
        // Each burst is read and answered before the next one comes (or the connection ends).
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == next - 1 || !m_session->isSetup(); },
                                          std::chrono::seconds(60)));
    }
    ASSERT_FALSE(m_session->isSetup()) << "the send queue grew for " << next - 1 << " receipts";
    EXPECT_EQ(countLines("the server reads nothing (send queue full)"), 1);
    m_clock.advance(2.0);
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0; }, std::chrono::seconds(60)));
    const auto receipts = m_server.receipts();
    const std::set<std::uint64_t> acknowledged(receipts.begin(), receipts.end());
    EXPECT_EQ(acknowledged.size(), next - 1);
    // Receipts past the 8192 a session keeps are dropped with a warning (the server then sends their
    // messages again); with a kernel that took fewer, each message is handed over once.
    if (countLines("too many receipts kept") == 0) {
        EXPECT_EQ(m_listener.infos.size(), next - 1) << "each message handed over once";
    }
}

// Receipts kept by a connection the server never read go out after the next login as the send queue has
// room; the server meanwhile sends again every message it has no receipt for. A message sent again
// while its kept receipt still waits is answered at once, and that kept receipt is not sent after it:
// only the receipts already on their way when the messages came again are answered twice. The server
// also closes right after three logins during the resend: every message still gets its receipt.
TEST_F(PushedMessages, AMessageSentAgainWhileItsReceiptIsKeptIsAnsweredOnce) {
    startLoggedIn();
    m_clock.advance(push::PULSESessionController::kLastingSessionSeconds);
    m_server.stopReading();
    constexpr std::size_t kBurst = 4000;
    std::uint64_t next = 1;
    for (std::size_t burst = 0; burst < 50 && m_session->isSetup(); ++burst) {
        ASSERT_EQ(m_server.pushBurst(next, kBurst, "{\"message\":\"m\"}", false), PushTestServer::PushOutcome::Sent);
        next += kBurst;
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == next - 1 || !m_session->isSetup(); },
                                          std::chrono::seconds(60)));
    }
    ASSERT_FALSE(m_session->isSetup());
    const std::size_t kept = m_session->keptReceiptCount();
    ASSERT_GT(kept, push::PULSETcpSocket::kMaxQueuedPackets - push::PULSESessionController::kSendQueueReserve);
    // The next connections end right after their logins.
    m_server.setCloseAfterLogin(true);
    for (int flap = 0; flap < 3; ++flap) {
        const int closes = countLines("conect close by remote");
        bool closed = false;
        for (int step = 0; step < 30 && !closed; ++step) {
            m_clock.advance(30.0);
            closed = hybtest::runMainUntil([&] { return countLines("conect close by remote") > closes; }, std::chrono::seconds(5));
        }
        ASSERT_TRUE(closed);
    }
    m_server.setCloseAfterLogin(false);
    bool loggedIn = false;
    for (int step = 0; step < 30 && !loggedIn; ++step) {
        m_clock.advance(30.0);
        loggedIn = hybtest::runMainUntil([&] { return m_session->isLogin(); }, std::chrono::seconds(5));
    }
    ASSERT_TRUE(loggedIn);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_session->keptReceiptCount() == 0; },
                                      std::chrono::seconds(60)));
    const auto receipts = m_server.receipts();
    const std::set<std::uint64_t> acknowledged(receipts.begin(), receipts.end());
    EXPECT_EQ(acknowledged.size(), next - 1);
    // At most the first paced batch was on its way when the messages came again.
    EXPECT_LE(receipts.size() - acknowledged.size(),
              push::PULSETcpSocket::kMaxQueuedPackets - push::PULSESessionController::kSendQueueReserve);
}

TEST_F(PushedMessages, SurviveServerRestartsOnTheVirtualClock) {
    startLoggedIn();
    std::uint64_t next = 1;
    constexpr int kRounds = 100;
    constexpr int kPerRound = 20;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i, ++next)
            m_server.pushMessage(1, next, "{\"message\":\"" + std::to_string(next) + "\"}");
        // Some restarts come while messages and receipts are on their way, some after all arrived.
        if (round % 3 == 0) {
            ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0; }));
        } else if (round % 3 == 1) {
            ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() >= next - 1 - kPerRound / 2; }));
        }
        m_server.restart(round % 2 == 1);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); })) << round;
        m_clock.advance(2.0);
        ASSERT_TRUE(waitLoggedIn()) << round;
        // A session that lasted: the next reconnection comes after 2 s again.
        m_clock.advance(push::PULSESessionController::kLastingSessionSeconds);
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0; }));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() >= kRounds * kPerRound; }));
    const auto seen = deliveries();
    EXPECT_EQ(seen.size(), std::size_t(kRounds * kPerRound));
    for (const auto& [content, count] : seen)
        EXPECT_EQ(count, 1) << content;
    std::set<std::uint64_t> acknowledged;
    for (auto id : m_server.receipts())
        acknowledged.insert(id);
    EXPECT_EQ(acknowledged.size(), std::size_t(kRounds * kPerRound));
}

} // namespace
