// The push road on the real engine against a hostile push server: a burst of messages ended by a broken
// packet. The page hears each message once.
#include "PushPageOnEngine.h"

namespace {

using e2e::PushPageOnEngineTest;

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

} // namespace
