#include "pushlog/PULSETTYLogger.h"

#include <gtest/gtest.h>

#include <cstdlib>

using namespace pushlog;

// Runs in a process of its own: the mode is read once, at the first call of sharedInstance.
TEST(TerminalLoggerShared, ModeFromEnvironmentAndOneInstance) {
    unsetenv("XcodeColors");
    setenv("TERM", "xterm-256color", 1);
    const auto& shared = PULSETTYLogger::sharedInstance();
    EXPECT_EQ(shared->colorMode(), TerminalColorMode::Ansi256);
    EXPECT_EQ(PULSETTYLogger::sharedInstance(), shared);
    EXPECT_EQ(PULSETTYLogger::create(TerminalColorMode::None), nullptr);
    EXPECT_EQ(shared->loggerQueue()->label(), "pulse.logging.ttyLogger");
}
