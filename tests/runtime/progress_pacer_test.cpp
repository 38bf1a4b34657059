#include "runtime/HYBProgressPacer.h"

#include "platform/runloop/VirtualClock.h"

#include <gtest/gtest.h>

using namespace runtime;

TEST(HYBProgressPacer, SendsTheFirstThenOnePer50MillisecondsAndAlwaysTheFinal) {
    EXPECT_EQ(HYBProgressPacer::kInterval, std::chrono::milliseconds(50));
    platform::VirtualClock clock;
    clock.install();
    HYBProgressPacer pacer;
    EXPECT_TRUE(pacer.shouldSend(false));
    EXPECT_FALSE(pacer.shouldSend(false));
    clock.advance(std::chrono::milliseconds(49));
    EXPECT_FALSE(pacer.shouldSend(false));
    clock.advance(std::chrono::milliseconds(1));
    EXPECT_TRUE(pacer.shouldSend(false));
    // The final answer goes at once, and it restarts the interval.
    EXPECT_TRUE(pacer.shouldSend(true));
    EXPECT_FALSE(pacer.shouldSend(false));
    EXPECT_TRUE(pacer.shouldSend(true));

    // A thousand chunks over two seconds: one answer per interval, plus the final one.
    HYBProgressPacer paced;
    int sent = 0;
    for (int chunk = 1; chunk <= 1000; ++chunk) {
        clock.advance(std::chrono::milliseconds(2));
        sent += paced.shouldSend(chunk == 1000);
    }
    EXPECT_EQ(sent, 41);
    clock.uninstall();
}
