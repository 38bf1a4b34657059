#include "platform/runloop/DispatchTimerSource.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/DispatchSemaphore.h"
#include "platform/runloop/VirtualClock.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace platform;

namespace {

class DispatchTimerSourceTest : public ::testing::Test {
protected:
    void SetUp() override { m_clock.install(); }
    VirtualClock m_clock;
    std::shared_ptr<DispatchQueue> m_queue = DispatchQueue::createSerial("pulse.logging.timer");
    // Waits until every block queued so far on the serial queue has run.
    void drainQueue() { m_queue->sync([] {}); }
};

TEST_F(DispatchTimerSourceTest, FiresAtStartThenEveryIntervalOnItsQueueOnlyWhenResumed) {
    auto source = DispatchTimerSource::create(m_queue);
    std::atomic<unsigned long> fired{0}; // firings, counting the ones a run stands for
    std::string label;
    source->setEventHandler([&] {
        label = DispatchQueue::currentLabel();
        fired += source->pendingFireCount();
    });
    source->setTimer(seconds(5), seconds(10), seconds(1));
    EXPECT_EQ(source->leeway(), seconds(1));
    m_clock.advance(6.0);
    drainQueue();
    EXPECT_EQ(fired.load(), 0u); // made suspended
    source->resume();
    drainQueue();
    EXPECT_EQ(fired.load(), 1u); // the firing kept while suspended
    m_clock.advance(30.0);       // 15, 25, 35 (runs may coalesce)
    drainQueue();
    EXPECT_EQ(fired.load(), 4u);
    EXPECT_EQ(label, "pulse.logging.timer");
}

TEST_F(DispatchTimerSourceTest, SuspendCoalescesAndCancelRunsTheCancelHandlerOnce) {
    auto source = DispatchTimerSource::create(m_queue);
    std::atomic<int> runs{0};
    std::atomic<unsigned long> lastCount{0};
    std::atomic<int> cancels{0};
    source->setEventHandler([&] {
        ++runs;
        lastCount = source->pendingFireCount();
    });
    source->setCancelHandler([&] { ++cancels; });
    source->setTimer(seconds(1), seconds(1));
    source->resume();
    source->suspend();
    m_clock.advance(5.0);
    drainQueue();
    EXPECT_EQ(runs.load(), 0);
    source->resume();
    drainQueue();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(lastCount.load(), 5u);
    source->cancel();
    source->cancel();
    m_clock.advance(5.0);
    drainQueue();
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(cancels.load(), 1);
    EXPECT_TRUE(source->isCancelled());
}

TEST_F(DispatchTimerSourceTest, OneShotAndDroppedSources) {
    std::atomic<int> fired{0};
    {
        auto once = DispatchTimerSource::create(m_queue);
        once->setEventHandler([&] { ++fired; });
        once->setTimer(seconds(2), Duration::zero());
        once->resume();
        m_clock.advance(10.0);
        drainQueue();
        EXPECT_EQ(fired.load(), 1);
        auto dropped = DispatchTimerSource::create(m_queue);
        dropped->setEventHandler([&] { fired += 100; });
        dropped->setTimer(seconds(1), seconds(1));
        dropped->resume();
    }
    m_clock.advance(10.0);
    drainQueue();
    EXPECT_EQ(fired.load(), 1);
}

} // namespace
