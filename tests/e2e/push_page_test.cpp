// The push road on the real engine: the application boots the sample bundle with its push configuration
// and endpoints naming a loopback push service in this process. The page's own script reads the
// registration id the server issued, hears a pushed message through both of its roads with every awkward
// character intact and once, and sets tags and alias.
#include "SampleBundleOnEngine.h"

#include "platform/JSON.h"
#include "platform/Reachability.h"
#include "push/PULSEService.h"
#include "push/PULSESessionController.h"
#include "support/PushLookupServer.h"
#include "support/PushReportSink.h"
#include "support/PushTestServer.h"

namespace {

class PushPageOnEngineTest : public e2e::SampleBundleOnEngine {
protected:
    PushPageOnEngineTest() : SampleBundleOnEngine({.phoneScreen = false}) {}

    void prepare() override {
        m_server.setSessionAnswers(e2e::sampleAppKey());
        m_server.setCloseAfterLogin(m_closeAfterLogin);
        const std::string push = "127.0.0.1:" + std::to_string(m_server.pushPort());
        // The backup statistics address, where nothing listens.
        const std::string closed = "127.0.0.1:" + std::to_string(testsupport::PushTestServer::closedPort());
        for (int port = 0; port < 2; ++port)
            m_lookup.setReply(port, testsupport::PushLookupServer::reply(closed, {push, push, closed},
                                                                          "127.0.0.1:" + std::to_string(m_sink.port()), {}));
        platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsDirect);
        platform::NotificationCenter::defaultCenter().addObserver(
            this, push::kPULSENetworkDidRegisterNotification, nullptr,
            [this](const platform::Notification& note) { m_registrationID = note.userInfo["RegistrationID"].stringOr(""); });
    }
    e2e::PushPorts pushPorts() override {
        return {m_server.pushPort(), m_lookup.port(0), m_lookup.port(1), m_sink.port(), testsupport::PushTestServer::closedPort()};
    }
    void SetUp() override {
        SampleBundleOnEngine::SetUp();
        if (!IsSkipped() && !HasFatalFailure())
            open();
    }
    void TearDown() override {
        // The application's end: the push client's thread ends with it.
        platform::Application::shared().terminate();
        SampleBundleOnEngine::TearDown();
        platform::Reachability::setOverrideFlags(std::nullopt);
        for (const auto& fault : m_server.faults())
            ADD_FAILURE() << "push server fault: " << fault;
    }
    // What the page kept of each pushed message: [{via, content}, ...].
    platform::Array received() {
        auto parsed = platform::JSON::parse(eval("JSON.stringify(pushReceived)"));
        return parsed.ok() ? parsed->arrayOrEmpty() : platform::Array();
    }

    testsupport::PushTestServer m_server;
    testsupport::PushLookupServer m_lookup;
    testsupport::PushReportSink m_sink;
    std::string m_registrationID;
    bool m_closeAfterLogin = false;
};

// A server that lets the device in and closes the connection right after each login answer.
class PushPageAgainstAClosingServerTest : public PushPageOnEngineTest {
protected:
    PushPageAgainstAClosingServerTest() { m_closeAfterLogin = true; }
};

TEST_F(PushPageOnEngineTest, ThePageReadsItsRegistrationHearsAPushedMessageOnceByBothRoadsAndSetsTags) {
    // The client registers and logs in on its own once launched; the page asks until it has the id.
    ASSERT_TRUE(e2e::waitUntil([&] { return !m_registrationID.empty(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(e2e::waitUntil([&] { return text("push-registration") == "Registration id: " + m_registrationID; },
                               std::chrono::seconds(30)))
        << text("push-registration");
    ASSERT_TRUE(m_server.waitFor([&] { return !m_server.packets(1).empty(); }));

    // A quote, a backslash, U+2028 and three lines: the same text by both roads, once each.
    const std::string message = "it's a \"quote\", a backslash \\ and a separator \xE2\x80\xA8 over\nthree\nlines";
    auto json = platform::JSON::writeCompact(platform::Value(platform::Dictionary{{"message", message}}));
    ASSERT_TRUE(json.ok());
    m_server.pushMessage(1, 7001, *json);
    ASSERT_TRUE(e2e::waitUntil([&] { return received().size() >= 2; }));
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.receipts().size() == 1; }));
    // A later round trip through the page: nothing more came meanwhile.
    eval("1");
    const platform::Array heard = received();
    ASSERT_EQ(heard.size(), 2u) << platform::Value(heard).description();
    // The event is dispatched on a later turn of the page's loop, so the callback usually comes first.
    EXPECT_NE(heard[0]["via"], heard[1]["via"]);
    for (const auto& entry : heard) {
        EXPECT_TRUE(entry["via"] == platform::Value("event") || entry["via"] == platform::Value("callback"));
        EXPECT_EQ(entry["content"], platform::Value(message)) << entry["via"].description();
    }
    EXPECT_EQ(eval("window.plugins.pulsePlugin.receivedMessage.content"), message);

    // Tags and alias through the server: the event carries the server's code 0.
    eval("setPushTags(); 1");
    ASSERT_TRUE(e2e::waitUntil([&] { return text("push-tags-result") != "Tags and alias: waiting"; }, std::chrono::seconds(30)));
    EXPECT_EQ(text("push-tags-result"), R"(Tags and alias: code 0, tags ["sample","demo"], alias "sample_page")");
    ASSERT_EQ(m_server.packets(10).size(), 1u);
    EXPECT_EQ(testsupport::PushTestServer::tagRequestJson(m_server.packets(10)[0]),
              R"({"platform":"i","tags":"sample,demo","alias":"sample_page"})");
}

// 300 messages and then a packet whose length word is 40 too big, in one write: the client drops the
// connection on it, logs in again 2 s later and delivers the receipts it still held; the page hears each
// message once by each road, and the server holds nothing.
TEST_F(PushPageOnEngineTest, AfterABrokenPacketThePageHearsEachMessageOnce) {
    ASSERT_TRUE(e2e::waitUntil([&] { return !m_registrationID.empty(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(m_server.waitFor([&] { return !m_server.packets(1).empty(); }));
    auto json = platform::JSON::writeCompact(platform::Value(platform::Dictionary{{"message", "burst"}}));
    ASSERT_TRUE(json.ok());
    ASSERT_EQ(m_server.pushBurst(1, 300, *json, true), testsupport::PushTestServer::PushOutcome::Sent);
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.packets(1).size() == 2 && m_server.heldMessages() == 0; },
                                 std::chrono::seconds(30)));
    ASSERT_TRUE(e2e::waitUntil([&] { return received().size() >= 600; }, std::chrono::seconds(30)));
    // One more message: once it is heard, nothing pushed before it can still be on its way.
    auto last = platform::JSON::writeCompact(platform::Value(platform::Dictionary{{"message", "last"}}));
    ASSERT_TRUE(last.ok());
    m_server.pushMessage(1, 9999, *last);
    ASSERT_TRUE(e2e::waitUntil([&] { return received().size() >= 602; }, std::chrono::seconds(30)));
    const platform::Array heard = received();
    EXPECT_EQ(heard.size(), 602u);
    std::size_t burst = 0;
    for (const auto& entry : heard)
        burst += entry["content"] == platform::Value("burst") ? 1 : 0;
    EXPECT_EQ(burst, 600u);
    EXPECT_GE(m_server.receipts().size(), 301u);
}

// The client comes back after 2, 5 and 20 s, not every 2 s: each of these sessions failed.
TEST_F(PushPageAgainstAClosingServerTest, IsNotAskedEveryTwoSeconds) {
    ASSERT_TRUE(e2e::waitUntil([&] { return !m_registrationID.empty(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.packets(1).size() == 3; }, std::chrono::seconds(30)));
    // The fourth login comes 20 s after the third.
    EXPECT_FALSE(m_server.waitFor([&] { return m_server.connectionsAccepted() > 3; }, std::chrono::seconds(8)));
    EXPECT_EQ(text("push-registration"), "Registration id: " + m_registrationID);
}

} // namespace
