#include "runtime/HYBTimer.h"

#include "platform/runloop/VirtualClock.h"

#include "support/LogCapture.h"

#include <gtest/gtest.h>

using namespace runtime;

TEST(HYBTimer, NamesIgnoreCaseAndEachStopLogsTheElapsedTimeUnderTheFirstSpelling) {
    platform::VirtualClock clock;
    clock.install();
    hybtest::LogCapture log;
    HYBTimer::clearAll();

    HYBTimer::start("startup");
    HYBTimer::start("STARTUP");
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Timer called 'STARTUP' already exists."});
    clock.advance(0.25);
    HYBTimer::stop("StartUp");
    EXPECT_EQ(log.lines().back(), "[HYBTimer][startup] 250.000000ms");
    HYBTimer::stop("startup");
    EXPECT_EQ(log.lines().back(), "Timer called 'startup' does not exist.");

    HYBTimer::start("a");
    HYBTimer::clearAll();
    EXPECT_TRUE(HYBTimer::sharedInstance().items().empty());
    EXPECT_EQ(log.lines().size(), 3u); // clearing logs nothing
}
