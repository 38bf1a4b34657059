#include "platform/core/Log.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>
#include <vector>

using namespace platform;

namespace {

TEST(Log, CaptureGetsWholeLinesFromEveryThreadAndRestoresThePreviousHook) {
    hybtest::LogCapture outer;
    {
        hybtest::LogCapture capture;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([t] {
                for (int i = 0; i < 50; ++i)
                    Log::writef("thread %d line %d", t, i);
            });
        for (auto& th : threads)
            th.join();
        EXPECT_EQ(capture.lines().size(), 200u);
        EXPECT_TRUE(capture.contains("thread 3 line 49"));
    }
    Log::write("after");
    EXPECT_EQ(outer.lines(), std::vector<std::string>{"after"});
}

TEST(Log, FormatStringHandlesLongOutput) {
    std::string big(5000, 'x');
    EXPECT_EQ(formatString("%s-%ld", big.c_str(), 42L), big + "-42");
    EXPECT_EQ(formatString("%.2f", 1.005), "1.00");
}

TEST(LogDeathTest, InternalInconsistencyLogsItsFixedTextAndAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(internalInconsistency(formatString("Got token %ld, expected %ld", 3L, 4L)),
                 "Internal-consistency failure: Got token 3, expected 4");
    EXPECT_EXIT(internalInconsistency("x"), ::testing::KilledBySignal(SIGABRT), "");
}

// A broken configuration is not a crash: the same line, then exit status 1 (no abort, no core dump),
// also while a capture hook takes the log's lines.
TEST(LogDeathTest, ConfigurationFailureLogsItsFixedTextAndExitsWithStatusOne) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(configurationFailure("config.xml parse error line 11 col 4"), ::testing::ExitedWithCode(kConfigurationFailureExitStatus),
                "^Internal-consistency failure: config.xml parse error line 11 col 4\n$");
    EXPECT_EXIT(
        {
            Log::setCaptureHook([](std::string_view) {});
            configurationFailure("captured");
        },
        ::testing::ExitedWithCode(1), "Internal-consistency failure: captured");
}

} // namespace
