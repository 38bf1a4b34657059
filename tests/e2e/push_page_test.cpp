// The push road on the real engine: the application boots the sample bundle with its push configuration
// and endpoints naming a loopback push service in this process. The page's own script reads the
// registration id the server issued, hears a pushed message through both of its roads with every awkward
// character intact and once, and sets tags and alias.
#include "PushPageOnEngine.h"

namespace {

using e2e::PushPageOnEngineTest;

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

} // namespace
