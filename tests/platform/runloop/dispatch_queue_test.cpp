#include "platform/runloop/DispatchGroup.h"
#include "platform/runloop/DispatchOnce.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/DispatchSemaphore.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/VirtualClock.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

using namespace platform;
using hybtest::runMainUntil;

namespace {

constexpr auto kLimit = std::chrono::seconds(10);

TEST(DispatchQueue, SerialQueueRunsBlocksOneAtATimeInOrder) {
    auto queue = DispatchQueue::createSerial("Deploy Plugin Queue");
    std::vector<int> order;
    std::atomic<int> running{0};
    bool overlapped = false;
    DispatchGroup group;
    for (int i = 0; i < 200; ++i)
        queue->async(group, [&, i] {
            if (++running > 1)
                overlapped = true;
            order.push_back(i);
            --running;
        });
    ASSERT_TRUE(group.wait(kLimit));
    ASSERT_EQ(order.size(), 200u);
    for (int i = 0; i < 200; ++i)
        EXPECT_EQ(order[i], i);
    EXPECT_FALSE(overlapped);
}

TEST(DispatchQueue, LabelAndSpecificsAreVisibleInAsyncAndSync) {
    auto logging = DispatchQueue::createSerial("pulse.logging");
    static int key; // a unique key whose value is the key itself
    logging->setSpecific(&key, &key);
    std::string asyncLabel, syncLabel, nestedLabel;
    void* asyncMark = nullptr;
    void* syncMark = nullptr;
    DispatchSemaphore done;
    logging->async([&] {
        asyncLabel = DispatchQueue::currentLabel();
        asyncMark = DispatchQueue::currentSpecific(&key);
        done.signal();
    });
    ASSERT_TRUE(done.wait(kLimit));
    auto other = DispatchQueue::createSerial("other");
    logging->sync([&] {
        syncLabel = DispatchQueue::currentLabel();
        syncMark = DispatchQueue::currentSpecific(&key);
        other->sync([&] { nestedLabel = DispatchQueue::currentLabel(); });
    });
    EXPECT_EQ(asyncLabel, "pulse.logging");
    EXPECT_EQ(syncLabel, "pulse.logging");
    EXPECT_EQ(nestedLabel, "other");
    EXPECT_EQ(asyncMark, &key);
    EXPECT_EQ(syncMark, &key);
    EXPECT_EQ(DispatchQueue::currentSpecific(&key), nullptr);
    EXPECT_EQ(DispatchQueue::currentLabel(), "com.apple.main-thread"); // the test body runs on main
}

TEST(DispatchQueue, SyncWaitsForEarlierBlocksAndExcludesLaterOnes) {
    auto queue = DispatchQueue::createSerial("sync");
    std::vector<std::string> order;
    DispatchSemaphore release;
    queue->async([&] {
        release.wait(kLimit);
        order.push_back("first");
    });
    std::thread helper([&] { release.signal(); });
    queue->sync([&] { order.push_back("sync"); });
    queue->sync([] {});
    helper.join();
    EXPECT_EQ(order, (std::vector<std::string>{"first", "sync"}));
}

TEST(DispatchQueue, GlobalQueuesRunConcurrentlyWithTheirLabels) {
    // Two blocks that wait for each other finish only when they run at the same time.
    DispatchSemaphore a, b;
    DispatchGroup group;
    std::set<std::string> labels;
    std::mutex mutex;
    auto record = [&] {
        std::lock_guard lock(mutex);
        labels.insert(DispatchQueue::currentLabel());
    };
    DispatchQueue::global()->async(group, [&] {
        record();
        a.signal();
        EXPECT_TRUE(b.wait(kLimit));
    });
    DispatchQueue::global(DispatchQueue::Priority::High)->async(group, [&] {
        record();
        b.signal();
        EXPECT_TRUE(a.wait(kLimit));
    });
    ASSERT_TRUE(group.wait(kLimit));
    EXPECT_EQ(labels, (std::set<std::string>{"com.apple.root.default-priority", "com.apple.root.high-priority"}));
    EXPECT_GE(activeProcessorCount(), 1);
}

TEST(DispatchQueue, MainQueueSyncFromAnotherThreadRunsOnMain) {
    std::atomic<bool> onMain{false}, finished{false};
    std::thread worker([&] {
        DispatchQueue::main()->sync([&] { onMain = RunLoop::isMainThread() && DispatchQueue::main()->isCurrent(); });
        finished = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return finished.load(); }));
    worker.join();
    EXPECT_TRUE(onMain);
}

TEST(DispatchQueue, AfterFollowsTheVirtualClock) {
    VirtualClock clock;
    clock.install();
    auto queue = DispatchQueue::createSerial("StatStore");
    std::vector<std::string> order;
    std::mutex mutex;
    DispatchGroup group;
    auto add = [&](std::string s) {
        {
            std::lock_guard lock(mutex);
            order.push_back(std::move(s));
        }
        group.leave(); // last: the test may end (and its mutex go) once the group is empty
    };
    group.enter();
    group.enter();
    group.enter();
    queue->after(10.0, [&] { add("queue 10"); });
    DispatchQueue::main()->after(0.5, [&] { add("main 0.5"); });
    DispatchQueue::main()->after(0.1, [&] { add("main 0.1"); });
    clock.advance(1.0);
    EXPECT_EQ(order, (std::vector<std::string>{"main 0.1", "main 0.5"}));
    clock.advance(9.0);
    ASSERT_TRUE(group.wait(kLimit));
    EXPECT_EQ(order.back(), "queue 10");
}

TEST(DispatchQueue, SubmissionCountCountsEveryBlockOfASerialQueue) {
    VirtualClock clock;
    clock.install();
    auto queue = DispatchQueue::createSerial("counted");
    EXPECT_EQ(queue->submissionCount(), 0u);
    DispatchGroup group;
    queue->async(group, [] {});
    queue->sync([] {});
    EXPECT_EQ(queue->submissionCount(), 2u);
    group.enter();
    queue->after(5.0, [&] { group.leave(); });
    EXPECT_EQ(queue->submissionCount(), 2u); // not before its delay has passed
    clock.advance(5.0);
    ASSERT_TRUE(group.wait(kLimit));
    EXPECT_EQ(queue->submissionCount(), 3u);
    DispatchQueue::global()->async(group, [] {});
    ASSERT_TRUE(group.wait(kLimit));
    EXPECT_EQ(DispatchQueue::global()->submissionCount(), 0u);
}

TEST(DispatchQueue, QueuesWhoseBlocksWaitForEachOtherGetAWorkerEach) {
    // Each block returns only once all of them have started, so every queue needs a worker of its own at
    // the same time, whether the pool had idle workers (woken one each) or had to start new ones.
    constexpr int kQueues = 24;
    for (int round = 0; round < 3; ++round) {
        std::vector<std::shared_ptr<DispatchQueue>> queues;
        std::atomic<int> started{0};
        DispatchGroup group;
        for (int i = 0; i < kQueues; ++i) {
            queues.push_back(DispatchQueue::createSerial("waiting " + std::to_string(i)));
            queues.back()->async(group, [&] {
                started.fetch_add(1);
                started.notify_all();
                for (int seen = started.load(); seen < kQueues; seen = started.load())
                    started.wait(seen);
            });
        }
        ASSERT_TRUE(group.wait(kLimit)) << "round " << round;
    }
}

TEST(DispatchQueue, LongRunsKeepTheirOrderBesideOtherQueues) {
    auto busy = DispatchQueue::createSerial("busy");
    std::vector<int> order;
    std::atomic<int> others{0};
    DispatchGroup group;
    for (int i = 0; i < 5000; ++i) {
        busy->async(group, [&order, i] { order.push_back(i); });
        if (i % 500 == 0)
            DispatchQueue::global()->async(group, [&] { others.fetch_add(1); });
    }
    ASSERT_TRUE(group.wait(kLimit));
    ASSERT_EQ(order.size(), 5000u);
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(order[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(others.load(), 10);
}

TEST(DispatchGroup, NotifyRunsOnceWhenEmptyAndLeaveWithoutEnterIsFatal) {
    DispatchGroup group;
    std::atomic<int> notified{0};
    group.enter();
    group.notify(DispatchQueue::main(), [&] { ++notified; });
    EXPECT_FALSE(group.wait(std::chrono::milliseconds(1)));
    DispatchQueue::global()->async([group] { group.leave(); });
    ASSERT_TRUE(runMainUntil([&] { return notified == 1; }));
    group.notify(DispatchQueue::main(), [&] { ++notified; }); // already empty: at once (posted)
    ASSERT_TRUE(runMainUntil([&] { return notified == 2; }));
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(DispatchGroup().leave(), "Internal-consistency failure: dispatch group left more often");
}

TEST(DispatchSemaphore, CountsUnitsAndTimesOut) {
    DispatchSemaphore semaphore(2);
    EXPECT_TRUE(semaphore.wait(std::chrono::milliseconds(0)));
    EXPECT_TRUE(semaphore.wait(std::chrono::milliseconds(0)));
    EXPECT_FALSE(semaphore.wait(std::chrono::milliseconds(1)));
    semaphore.signal();
    EXPECT_TRUE(semaphore.wait());
}

TEST(DispatchOnce, RunsTheBlockOnceAcrossThreads) {
    static OnceFlag flag;
    std::atomic<int> runs{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 8; ++i)
        threads.emplace_back([&] { dispatchOnce(flag, [&] { ++runs; }); });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(runs.load(), 1);
}

TEST(DispatchQueueDeathTest, SyncOntoTheRunningQueueIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto queue = DispatchQueue::createSerial("self");
    EXPECT_DEATH(queue->sync([&] { queue->sync([] {}); }), "Internal-consistency failure: dispatch sync onto");
    EXPECT_DEATH(DispatchQueue::main()->sync([] {}), "would never return");
#ifndef NDEBUG
    queue->sync([&] { queue->assertIsCurrent(); }); // passes on its queue
    DispatchQueue::main()->assertIsCurrent();
    RunLoop::main().assertIsCurrent();
    EXPECT_DEATH(queue->assertIsCurrent(), "called off its home queue \"self\"");
    EXPECT_DEATH(std::thread([] { RunLoop::main().assertIsCurrent(); }).join(), "called off the main thread");
#endif
}

} // namespace
