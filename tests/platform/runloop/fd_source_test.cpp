#include "platform/runloop/FdSource.h"
#include "platform/runloop/RunLoop.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

using namespace platform;
using hybtest::runMainUntil;

namespace {

class FdSourceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, m_fds), 0); }
    void TearDown() override {
        close(m_fds[0]);
        if (m_fds[1] >= 0)
            close(m_fds[1]);
    }
    void send(const char* text) { ASSERT_GT(::write(m_fds[1], text, strlen(text)), 0); }
    std::string drain() {
        char buffer[256];
        ssize_t n = ::read(m_fds[0], buffer, sizeof buffer);
        return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
    }
    int m_fds[2] = {-1, -1};
};

TEST_F(FdSourceTest, ReadReenablesAfterEachCalloutButWriteFiresOncePerEnable) {
    std::string received;
    int reads = 0, writes = 0;
    auto source = RunLoop::main().addFdSource(m_fds[0], [&] {
        ++reads;
        received += drain();
    }, [&] { ++writes; });
    EXPECT_TRUE(source->isReadEnabled());
    EXPECT_TRUE(source->isWriteEnabled());
    send("one");
    ASSERT_TRUE(runMainUntil([&] { return received == "one" && writes == 1; }));
    EXPECT_TRUE(source->isReadEnabled());
    EXPECT_FALSE(source->isWriteEnabled()); // disabled by its callout
    send("two");
    ASSERT_TRUE(runMainUntil([&] { return received == "onetwo"; }));
    EXPECT_EQ(writes, 1); // the socket stayed writable, but write was not re-enabled
    source->setWriteEnabled(true);
    ASSERT_TRUE(runMainUntil([&] { return writes == 2; }));
    EXPECT_EQ(reads, 2);
}

TEST_F(FdSourceTest, DisabledReadWaitsAndHangUpReachesTheReadCallback) {
    std::string received;
    bool sawEnd = false;
    auto source = RunLoop::main().addFdSource(m_fds[0], [&] {
        char buffer[64];
        ssize_t n = ::read(m_fds[0], buffer, sizeof buffer);
        if (n > 0)
            received.append(buffer, static_cast<std::size_t>(n));
        if (n == 0)
            sawEnd = true;
    }, nullptr);
    EXPECT_FALSE(source->isWriteEnabled());
    source->setReadEnabled(false);
    send("held");
    EXPECT_EQ(RunLoop::main().runOnce(seconds(0.05)), RunLoop::RunResult::TimedOut);
    EXPECT_EQ(received, "");
    source->setReadEnabled(true);
    ASSERT_TRUE(runMainUntil([&] { return received == "held"; }));
    close(m_fds[1]);
    m_fds[1] = -1;
    ASSERT_TRUE(runMainUntil([&] { return sawEnd; }));
    source->setReadEnabled(false); // a hung-up descriptor with nothing enabled must not spin the loop
    EXPECT_EQ(RunLoop::main().runOnce(seconds(0.05)), RunLoop::RunResult::TimedOut);
}

TEST_F(FdSourceTest, CalloutMayDestroyItsOwnSourceAndIsNotReenteredByNestedTurns) {
    std::unique_ptr<FdSource> source;
    int calls = 0;
    source = RunLoop::main().addFdSource(m_fds[0], [&] {
        ++calls;
        send("more"); // still readable during the nested turn
        RunLoop::main().runOnce(seconds(0.02));
        EXPECT_EQ(calls, 1);
        source.reset();
    }, nullptr);
    send("x");
    ASSERT_TRUE(runMainUntil([&] { return !source; }));
    EXPECT_EQ(RunLoop::main().runOnce(seconds(0.02)), RunLoop::RunResult::TimedOut);
    EXPECT_EQ(calls, 1);
}

} // namespace
