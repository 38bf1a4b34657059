#include "platform/runloop/OperationQueue.h"
#include "platform/runloop/DispatchSemaphore.h"
#include "platform/runloop/RunLoop.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

using namespace platform;

namespace {

TEST(OperationQueue, MaxOneRunsInOrderAndMaxTwoNeverMoreThanTwo) {
    auto serial = OperationQueue::create("transfers");
    serial->setMaxConcurrentOperationCount(1);
    std::vector<int> order;
    for (int i = 0; i < 50; ++i)
        serial->addOperation([&, i] { order.push_back(i); });
    serial->waitUntilAllOperationsAreFinished();
    ASSERT_EQ(order.size(), 50u);
    for (int i = 0; i < 50; ++i)
        EXPECT_EQ(order[i], i);

    auto pair = OperationQueue::create();
    pair->setMaxConcurrentOperationCount(2);
    std::atomic<int> running{0}, peak{0};
    for (int i = 0; i < 40; ++i)
        pair->addOperation([&] {
            int now = ++running;
            int seen = peak.load();
            while (now > seen && !peak.compare_exchange_weak(seen, now)) {
            }
            std::this_thread::yield();
            --running;
        });
    pair->waitUntilAllOperationsAreFinished();
    EXPECT_LE(peak.load(), 2);
    EXPECT_EQ(pair->operationCount(), 0u);
}

TEST(OperationQueue, CancelAllSkipsWaitingOperationsAndTellsRunningOnes) {
    auto queue = OperationQueue::create();
    queue->setMaxConcurrentOperationCount(1);
    DispatchSemaphore started, release;
    std::atomic<bool> sawCancel{false};
    std::atomic<int> laterRuns{0};
    auto first = std::make_shared<Operation>([&](Operation& self) {
        started.signal();
        release.wait(std::chrono::seconds(10));
        sawCancel = self.isCancelled();
    });
    queue->addOperation(first);
    auto later = queue->addOperation([&] { ++laterRuns; });
    ASSERT_TRUE(started.wait(std::chrono::seconds(10)));
    queue->cancelAllOperations();
    release.signal();
    queue->waitUntilAllOperationsAreFinished();
    EXPECT_TRUE(sawCancel);
    EXPECT_EQ(laterRuns.load(), 0);
    EXPECT_TRUE(later->isCancelled());
    EXPECT_TRUE(later->isFinished());
}

TEST(OperationQueue, MainQueueRunsOnTheMainThreadAndServesAsDeliveryTarget) {
    std::atomic<int> onMain{0};
    auto deliver = OperationQueue::main()->asDeliveryTarget();
    deliver([&] { onMain += RunLoop::isMainThread() ? 1 : 100; });
    OperationQueue::main()->addOperation([&] { onMain += RunLoop::isMainThread() ? 1 : 100; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return onMain.load() >= 2; }));
    EXPECT_EQ(onMain.load(), 2);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(OperationQueue::main()->waitUntilAllOperationsAreFinished(), "would never return");
}

} // namespace
