#include "platform/runloop/RunLoop.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoopThread.h"
#include "platform/runloop/VirtualClock.h"

#include "support/RunLoopWait.h"

#include <glib.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace platform;
using hybtest::runMainUntil;

namespace {

class RunLoopTest : public ::testing::Test {
protected:
    void SetUp() override { m_clock.install(); }
    void TearDown() override {
        m_clock.uninstall();
        // Leave nothing queued for the next test.
        while (RunLoop::main().runOnce(Clock::current().now()) == RunLoop::RunResult::Handled) {
        }
    }
    VirtualClock m_clock;
};

TEST_F(RunLoopTest, MainQueueAsyncAndPerformAfterDelayZeroShareOneFifo) {
    std::vector<std::string> order;
    DispatchQueue::main()->async([&] { order.push_back("async 1"); });
    RunLoop::main().performAfterDelay(0.0, [&] { order.push_back("delay 0"); });
    RunLoop::main().perform([&] { order.push_back("perform"); });
    DispatchQueue::main()->async([&] {
        order.push_back("async 2");
        // Queued from inside a callout: after everything already queued.
        RunLoop::main().performAfterDelay(0.0, [&] { order.push_back("nested delay 0"); });
        DispatchQueue::main()->async([&] { order.push_back("nested async"); });
    });
    ASSERT_TRUE(runMainUntil([&] { return order.size() == 6; }));
    EXPECT_EQ(order, (std::vector<std::string>{"async 1", "delay 0", "perform", "async 2", "nested delay 0",
                                               "nested async"}));
}

TEST_F(RunLoopTest, PerformNeverRunsInlineAndKeepsEachThreadsOrder) {
    bool ran = false;
    RunLoop::main().perform([&] { ran = true; });
    EXPECT_FALSE(ran);
    constexpr int kThreads = 4, kPosts = 500;
    std::vector<std::vector<int>> seen(kThreads);
    std::atomic<int> total{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kPosts; ++i)
                RunLoop::main().perform([&, t, i] {
                    seen[t].push_back(i);
                    ++total;
                });
        });
    for (auto& th : threads)
        th.join();
    ASSERT_TRUE(runMainUntil([&] { return total == kThreads * kPosts; }));
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), static_cast<std::size_t>(kPosts));
        for (int i = 0; i < kPosts; ++i)
            EXPECT_EQ(seen[t][i], i);
    }
    EXPECT_TRUE(ran);
}

// The loop's own thread asks without waking the loop (it is not asleep in it): the next turn, even one that
// would sleep until something happens, still runs the request first.
TEST_F(RunLoopTest, APerformAskedOnTheLoopsOwnThreadRunsAtItsNextTurnEvenOneThatWouldSleep) {
    std::vector<std::string> order;
    const guint backstop = g_timeout_add(5000, [](gpointer data) -> gboolean {
        static_cast<std::vector<std::string>*>(data)->push_back("backstop");
        return G_SOURCE_REMOVE;
    }, &order);
    RunLoop::main().perform([&] {
        order.push_back("first");
        RunLoop::main().perform([&] { order.push_back("asked inside a callout"); });
    });
    while (order.size() < 2)
        g_main_context_iteration(nullptr, TRUE); // may block: only a wake-up or due work ends a turn
    g_source_remove(backstop);
    EXPECT_EQ(order, (std::vector<std::string>{"first", "asked inside a callout"}));
}

TEST_F(RunLoopTest, AHoldKeepsPerformsAndTimersBackWhileOtherSourcesOfTheContextRun) {
    std::vector<std::string> order;
    RunLoop::main().perform([&] { order.push_back("perform"); });
    auto timer = RunLoop::main().scheduleTimer(Duration::zero(), [&] { order.push_back("timer"); });
    RunLoop::main().holdPerformsAndTimers();
    RunLoop::main().holdPerformsAndTimers(); // holds nest
    g_idle_add_full(G_PRIORITY_DEFAULT, [](gpointer data) -> gboolean {
        static_cast<std::vector<std::string>*>(data)->push_back("other source");
        return G_SOURCE_REMOVE;
    }, &order, nullptr);
    // A nested wait under the hold, as the web engine's synchronous evaluation turns the context.
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    RunLoop::main().releasePerformsAndTimers();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    EXPECT_EQ(order, (std::vector<std::string>{"other source"}));
    RunLoop::main().releasePerformsAndTimers();
    ASSERT_TRUE(runMainUntil([&] { return order.size() == 3; }));
    EXPECT_EQ(order, (std::vector<std::string>{"other source", "perform", "timer"}));
}

TEST_F(RunLoopTest, RepeatingTimerFires60TimesIn60VirtualSecondsAndStopsWhenInvalidated) {
    int fired = 0;
    auto timer = RunLoop::main().scheduleRepeatingTimer(seconds(1), [&](Timer&) { ++fired; });
    m_clock.advance(60.0);
    EXPECT_EQ(fired, 60);
    EXPECT_TRUE(timer->isValid());
    timer->invalidate();
    EXPECT_FALSE(timer->isValid());
    m_clock.advance(60.0);
    EXPECT_EQ(fired, 60);
    timer->invalidate(); // a second invalidation does nothing
}

TEST_F(RunLoopTest, LongTimersFireInExactDeadlineOrder) {
    std::vector<std::string> order;
    auto& loop = RunLoop::main();
    auto day = loop.scheduleTimer(seconds(86400), [&] { order.push_back("86400"); });
    auto ack = loop.scheduleTimer(seconds(10), [&] { order.push_back("10"); });
    auto heartbeat = loop.scheduleRepeatingTimer(seconds(290), [&](Timer&) { order.push_back("290"); });
    auto reconnect = loop.scheduleTimer(seconds(300), [&] { order.push_back("300"); });
    auto sameA = loop.scheduleTimer(seconds(500), [&] { order.push_back("500a"); });
    auto sameB = loop.scheduleTimer(seconds(500), [&] { order.push_back("500b"); });
    m_clock.advance(600.0);
    EXPECT_EQ(order, (std::vector<std::string>{"10", "290", "300", "500a", "500b", "290"}));
    EXPECT_FALSE(ack->isValid()); // a one-shot timer is invalid once fired
    m_clock.advance(86400.0 - 600.0 - 1);
    EXPECT_TRUE(day->isValid());
    heartbeat->invalidate();
    m_clock.advance(1.0);
    EXPECT_EQ(order.back(), "86400");
    EXPECT_FALSE(day->isValid());
}

TEST_F(RunLoopTest, TimerHandlesStaySafeAfterFireAndInvalidate) {
    std::weak_ptr<Timer> weak;
    bool validInside = true;
    {
        auto timer = RunLoop::main().scheduleTimer(seconds(1), [&] {
            auto held = weak.lock();
            validInside = held && held->isValid();
        });
        weak = timer;
    }
    ASSERT_FALSE(weak.expired()); // the run loop holds a valid timer
    m_clock.advance(1.0);
    EXPECT_FALSE(validInside);
    EXPECT_TRUE(weak.expired()); // released after firing

    // A repeating timer that invalidates itself from its callback, and whose captures are released.
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> watch = token;
    auto timer = RunLoop::main().scheduleRepeatingTimer(seconds(1), [token](Timer& t) {
        ++*token;
        t.invalidate();
    });
    token.reset();
    m_clock.advance(5.0);
    EXPECT_FALSE(timer->isValid());
    EXPECT_TRUE(watch.expired());
    timer->invalidate();
}

TEST_F(RunLoopTest, PastFireDateFiresAtOnceAndRepeatsKeepPhase) {
    std::vector<double> at;
    const auto start = m_clock.now();
    auto timer = RunLoop::main().scheduleRepeatingTimer(start - seconds(5), seconds(1000), [&](Timer&) {
        at.push_back(Seconds(m_clock.now() - start).count());
    });
    m_clock.advance(0.0);
    ASSERT_EQ(at.size(), 1u);
    EXPECT_EQ(at[0], 0.0);
    m_clock.advance(1000.0);
    ASSERT_EQ(at.size(), 2u);
    EXPECT_DOUBLE_EQ(at[1], 995.0); // phase from the original fire date
    timer->invalidate();
}

TEST_F(RunLoopTest, TimerInvalidatedFromAnotherThreadDoesNotFire) {
    bool fired = false;
    auto timer = RunLoop::main().scheduleTimer(seconds(2), [&] { fired = true; });
    std::thread([timer] { timer->invalidate(); }).join();
    m_clock.advance(3.0);
    EXPECT_FALSE(fired);
}

TEST_F(RunLoopTest, NestedRunOnceFiresTimerAndCrossThreadPostButDoesNotReenterItsSource) {
    int outerFirings = 0;
    bool timerFired = false, postRan = false;
    std::thread poster;
    auto outer = RunLoop::main().scheduleRepeatingTimer(seconds(1), [&](Timer&) {
        ++outerFirings;
        if (outerFirings > 1)
            return;
        RunLoop::main().scheduleTimer(seconds(2), [&] { timerFired = true; });
        poster = std::thread([&] { RunLoop::main().perform([&] { postRan = true; }); });
        // Wait re-entrantly, as the push client does, while the clock moves on in real time slices.
        EXPECT_TRUE(runMainUntil([&] { return postRan; }));
        m_clock.advance(5.0); // a nested advance from inside a callout
        EXPECT_TRUE(timerFired);
        EXPECT_EQ(outerFirings, 1); // the repeating timer in its callout was not re-entered
    });
    m_clock.advance(1.0);
    poster.join();
    EXPECT_TRUE(postRan);
    EXPECT_TRUE(timerFired);
    outer->invalidate();
}

TEST_F(RunLoopTest, RunOnceTimesOutAtVirtualDeadlineAndRunStopsOnRequest) {
    RunLoopThread thread("runonce-test");
    std::atomic<int> result{-1};
    std::atomic<bool> waiting{false};
    thread.runLoop().perform([&] {
        waiting = true;
        auto r = RunLoop::current().runOnce(seconds(30));
        result = static_cast<int>(r);
    });
    ASSERT_TRUE(runMainUntil([&] { return waiting.load(); }));
    m_clock.advance(31.0);
    ASSERT_TRUE(runMainUntil([&] { return result.load() != -1; }));
    EXPECT_EQ(result.load(), static_cast<int>(RunLoop::RunResult::TimedOut));
    thread.requestExit();
    thread.join();
}

TEST_F(RunLoopTest, TimersOfAnotherThreadFireWhenTheClockAdvances) {
    RunLoopThread thread("timer-thread");
    std::atomic<int> fired{0};
    std::shared_ptr<Timer> timer;
    timer = thread.runLoop().scheduleRepeatingTimer(seconds(2), [&](Timer&) { ++fired; });
    m_clock.advance(20.0);
    EXPECT_EQ(fired.load(), 10);
    timer->invalidate();
}

TEST_F(RunLoopTest, WorkPostedToMainByAnotherThreadsTimerRunsWithinTheStep) {
    RunLoopThread thread("poster");
    const auto start = m_clock.now();
    double postedRanAt = -1;
    auto onThread = thread.runLoop().scheduleTimer(seconds(10), [&] {
        RunLoop::main().perform([&] { postedRanAt = Seconds(m_clock.now() - start).count(); });
    });
    auto onMain = RunLoop::main().scheduleTimer(seconds(10.5), [] {});
    m_clock.advance(20.0);
    EXPECT_EQ(postedRanAt, 10.0); // not at the next deadline (10.5)
}

TEST(RunLoopThreadTest, NamedThreadRunsItsLoopUntilAskedToExit) {
    RunLoopThread thread("push-client-thread-with-long-name");
    EXPECT_EQ(thread.name(), "push-client-thread-with-long-name");
    std::atomic<bool> done{false};
    std::string seenName;
    bool isCurrentThere = false, isMainThere = true;
    thread.runLoop().perform([&] {
        seenName = currentThreadName();
        isCurrentThere = thread.runLoop().isCurrent() && &RunLoop::current() == &thread.runLoop();
        isMainThere = RunLoop::isMainThread();
        done = true;
    });
    ASSERT_TRUE(runMainUntil([&] { return done.load(); }));
    EXPECT_EQ(seenName, "push-client-thr");
    EXPECT_TRUE(isCurrentThere);
    EXPECT_FALSE(isMainThere);
    EXPECT_FALSE(thread.runLoop().isCurrent());
    thread.requestExit();
    thread.join();
}

TEST(RunLoopThreadTest, NestedRunIsEndedByStopAndOuterRunContinues) {
    RunLoopThread thread("nested-run");
    std::atomic<int> step{0};
    thread.runLoop().perform([&] {
        step = 1;
        RunLoop::current().run(); // ended by the stop below
        step = 2;
    });
    ASSERT_TRUE(runMainUntil([&] { return step == 1; }));
    thread.runLoop().stop();
    ASSERT_TRUE(runMainUntil([&] { return step == 2; }));
    std::atomic<bool> stillRunning{false};
    thread.runLoop().perform([&] { stillRunning = true; });
    EXPECT_TRUE(runMainUntil([&] { return stillRunning.load(); }));
}

} // namespace

namespace {

// Run in a child process: the main run loop must be made first by another thread.
TEST(RunLoopDeathTest, MainLoopMadeFirstByAnotherThreadStillBelongsToTheMainThread) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            bool otherIsCurrent = true;
            std::thread([&] { otherIsCurrent = RunLoop::main().isCurrent(); }).join();
            bool ran = false;
            RunLoop::main().perform([&] { ran = true; });
            VirtualClock clock;
            clock.install();
            bool fired = false;
            auto timer = RunLoop::main().scheduleTimer(seconds(1), [&] { fired = true; });
            clock.advance(1.0); // turns the main loop on this thread
            std::exit(!otherIsCurrent && RunLoop::main().isCurrent() && ran && fired ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

} // namespace
