#include "PushTest.h"

#include "push/PULSEThread.h"
#include "push/PULSEThreadController.h"

#include "platform/runloop/RunLoopCore.h"
#include "platform/runloop/RunLoopThread.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace push;

namespace {

class Threads : public pushtest::PushTest {
protected:
    // Runs a block on the thread and waits (on the main loop) until it ran.
    static bool runOn(PULSEThread& thread, std::function<void()> block) {
        auto ran = std::make_shared<std::atomic<bool>>(false);
        if (!thread.invokeMethodWithTarget([ran, block = std::move(block)] {
                block();
                *ran = true;
            }))
            return false;
        return hybtest::runMainUntil([&] { return ran->load(); });
    }
};

} // namespace

TEST_F(Threads, AnAliveThreadKeepsTurningWithOnlyItsKeepAliveTimer) {
    auto thread = PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("com.pulse.client.thread").build();
    ASSERT_TRUE(thread);
    ASSERT_TRUE(thread->isStarted());
    ASSERT_TRUE(thread->runLoop());

    std::string name;
    ASSERT_TRUE(runOn(*thread, [&] { name = platform::currentThreadName(); }));
    EXPECT_EQ(name, std::string("com.pulse.client.thread").substr(0, 15));

    // Nothing but the keep-alive timer for an hour of virtual time: the thread still serves its loop.
    m_clock.advance(3600.0);
    bool ran = false;
    ASSERT_TRUE(runOn(*thread, [&] { ran = true; }));
    EXPECT_TRUE(ran);
    // Its timer is the loop's next deadline: 1000 s after the last firing.
    auto deadline = thread->runLoop()->core().nextDeadline();
    ASSERT_TRUE(deadline);
    EXPECT_EQ(*deadline - m_clock.now(), platform::seconds(400.0));

    // Closing ends the loop: work posted afterwards never runs.
    thread->closeMySelf();
    std::atomic<bool> afterClose{false};
    thread->invokeMethodWithTarget([&] { afterClose = true; });
    thread.reset(); // joins the ended thread
    EXPECT_FALSE(afterClose.load());
}

TEST_F(Threads, ANormalModeThreadEndsAtOnceAndHasNoRunLoop) {
    auto thread = PULSEThread::builder(PULSERunLoopMode::Normal)->setThreadName("pulse.normal").build();
    ASSERT_TRUE(thread);
    EXPECT_TRUE(thread->isStarted());
    EXPECT_EQ(thread->runLoop(), nullptr);
    EXPECT_FALSE(thread->invokeMethodWithTarget([] {}));
}

TEST_F(Threads, EqualityIsTheSameNameObject) {
    auto a = PULSEThread::initWithRunLoopMode(PULSERunLoopMode::Normal);
    auto b = PULSEThread::initWithRunLoopMode(PULSERunLoopMode::Normal);
    a->setThreadName("same");
    b->setThreadName("same");
    EXPECT_TRUE(a->isEqual(*a));
    EXPECT_FALSE(a->isEqual(*b));
    b->setThreadName(a->threadName());
    EXPECT_TRUE(a->isEqual(*b));
    b->setType(1);
    EXPECT_FALSE(a->isEqual(*b));
}

TEST_F(Threads, BuilderNamesAndClones) {
    auto builder = PULSEThread::builder(PULSERunLoopMode::Alive);
    EXPECT_FALSE(builder->hasThreadName());
    builder->setThreadName("pulse.built");
    EXPECT_TRUE(builder->hasThreadName());
    EXPECT_EQ(*builder->threadName(), "pulse.built");
    auto partial = builder->buildPartial();
    EXPECT_FALSE(partial->isStarted());
    EXPECT_TRUE(builder->checkInitialized().ok());

    // A clone takes the prototype's very name object.
    auto clone = builder->clone();
    EXPECT_EQ(clone->threadName(), builder->threadName());
    EXPECT_TRUE(clone->buildPartial()->isEqual(*partial));

    builder->clearThreadName();
    EXPECT_FALSE(builder->hasThreadName());
    EXPECT_EQ(builder->threadName(), nullptr);
    EXPECT_EQ(partial->platformName(), nullptr);

    // No default instances until they are made.
    EXPECT_EQ(PULSEThread::defaultAliveModeInstance(), nullptr);
    PULSEThread::aliveModeinitialize();
    PULSEThread::normalModeInitialize();
    ASSERT_NE(PULSEThread::defaultAliveModeInstance(), nullptr);
    EXPECT_EQ(PULSEThread::defaultAliveModeInstance()->runLoopMode(), PULSERunLoopMode::Alive);
    EXPECT_EQ(builder->defaultInstance(), PULSEThread::defaultNormalModeInstance()); // its type reads 0
}

TEST_F(Threads, RegistryReplacesAndDeletesByName) {
    auto& registry = PULSEThreadController::shareThreadInstance();
    EXPECT_FALSE(registry.addThread(nullptr));
    auto unnamed = PULSEThread::initWithRunLoopMode(PULSERunLoopMode::Alive);
    EXPECT_FALSE(registry.addThread(unnamed));
    EXPECT_FALSE(registry.deleteThread(unnamed));

    auto first = PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("pulse.worker").build();
    auto second = PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("pulse.worker").build();
    EXPECT_TRUE(registry.addThread(first));
    EXPECT_EQ(registry.getThreadWithName("pulse.worker"), first);
    EXPECT_TRUE(registry.addThread(second));
    EXPECT_EQ(registry.getThreadWithName("pulse.worker"), second);
    EXPECT_EQ(registry.getThreadWithName("other"), nullptr);

    // Deleting through the first thread closes the stored one, the second.
    EXPECT_TRUE(registry.deleteThread(first));
    EXPECT_EQ(registry.getThreadWithName("pulse.worker"), nullptr);
    EXPECT_FALSE(registry.deleteThread(first));
    bool firstStillRuns = false;
    ASSERT_TRUE(runOn(*first, [&] { firstStillRuns = true; }));
    EXPECT_TRUE(firstStillRuns);
    std::atomic<bool> secondRan{false};
    second->invokeMethodWithTarget([&] { secondRan = true; });
    second.reset();
    EXPECT_FALSE(secondRan.load());
}

TEST_F(Threads, TheLastOwnerMayLetGoOnTheThreadItself) {
    auto thread = PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("pulse.self").build();
    std::weak_ptr<PULSEThread> weak = thread;
    std::atomic<bool> released{false};
    thread->invokeMethodWithTarget([holder = thread, &released]() mutable {
        holder.reset();
        released = true;
    });
    thread.reset(); // the posted block holds the last reference now
    ASSERT_TRUE(hybtest::runMainUntil([&] { return released.load() && weak.expired(); }));
}

TEST_F(Threads, TheClientKeepsTheSharedRegistry) {
    EXPECT_EQ(&PULSEClientController::sharedClient().PulseThreadManager(), &PULSEThreadController::shareThreadInstance());
}

TEST_F(Threads, FinishingRunsThePostedWorkFirstAndEndsEvenAThreadWaitingInANestedTurn) {
    auto thread = PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("finish").build();
    std::atomic<int> ran{0};
    std::atomic<bool> nestedReturned{false};
    // The first block waits in a nested turn of the loop that nothing else would end (as a wait for a
    // reply that never comes does); the second is plain work posted behind it.
    thread->invokeMethodWithTarget([&] {
        ++ran;
        platform::RunLoop::current().run();
        nestedReturned = true;
    });
    thread->invokeMethodWithTarget([&] { ++ran; });
    thread->finish(std::chrono::seconds(10));
    EXPECT_EQ(ran.load(), 2) << "work posted before runs, inside the nested turn";
    EXPECT_TRUE(nestedReturned.load());

    // Ended: later work is dropped, and finishing again (or on a thread without a loop) does nothing.
    EXPECT_TRUE(thread->invokeMethodWithTarget([&] { ++ran; }));
    thread->finish(std::chrono::seconds(1));
    auto normal = PULSEThread::builder(PULSERunLoopMode::Normal)->build();
    normal->finish(std::chrono::seconds(1));
    thread.reset();
    EXPECT_EQ(ran.load(), 2);
}
