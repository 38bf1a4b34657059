// The push road on the real engine against a hostile push server that closes every connection right after
// its login answer: the client backs off instead of coming back every 2 s.
#include "PushPageOnEngine.h"

namespace {

using e2e::PushPageOnEngineTest;

// A server that lets the device in and closes the connection right after each login answer.
class PushPageAgainstAClosingServerTest : public PushPageOnEngineTest {
protected:
    PushPageAgainstAClosingServerTest() { m_closeAfterLogin = true; }
};

// The client comes back after 2, 5 and 20 s, not every 2 s: each of these sessions failed.
TEST_F(PushPageAgainstAClosingServerTest, IsNotAskedEveryTwoSeconds) {
    ASSERT_TRUE(e2e::waitUntil([&] { return !m_registrationID.empty(); }, std::chrono::seconds(60)));
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.packets(1).size() == 3; }, std::chrono::seconds(30)));
    // The fourth login comes 20 s after the third.
    EXPECT_FALSE(m_server.waitFor([&] { return m_server.connectionsAccepted() > 3; }, std::chrono::seconds(8)));
    // The server's waits hold the main loop still: the page's calls made meanwhile are answered as it
    // turns again.
    EXPECT_TRUE(e2e::waitUntil([&] { return text("push-registration") == "Registration id: " + m_registrationID; }))
        << text("push-registration");
}

} // namespace
