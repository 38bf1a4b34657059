#include "PushTest.h"

#include "push/PULSEDelegateSynchronize.h"
#include "push/PULSEThread.h"

#include "platform/runloop/RunLoop.h"

#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace push;
using platform::Value;

namespace {

class Wait : public pushtest::PushTest {
protected:
    // Runs a block on the current run loop on its next turn (delay 0), as outcome sources do.
    static void later(std::function<void()> block) { platform::RunLoop::current().performAfterDelay(0.0, std::move(block)); }

    std::vector<std::string> m_events;
    PULSEDelegateSynchronize::ResultBlock succeed() {
        return [this](const Value& result) { m_events.push_back("succeed:" + result.description()); };
    }
    PULSEDelegateSynchronize::ResultBlock failed() {
        return [this](const Value& result) { m_events.push_back("failed:" + result.description()); };
    }
};

} // namespace

TEST_F(Wait, SuccessReportedThroughTheRunLoopEndsTheWaitInItsFirstSlice) {
    int slicesSeen = 0;
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] { later([&] { ++slicesSeen; EXPECT_TRUE(PULSEDelegateSynchronize::continueThread(true, "addr", "dnsIdentifier")); }); },
        succeed(), failed(), "dnsIdentifier", 2.0);
    // The virtual clock never moved: no 0.1 s slice ran out, the report's own turn ended the wait.
    EXPECT_EQ(result, Value("addr"));
    EXPECT_EQ(slicesSeen, 1);
    EXPECT_EQ(m_events, (std::vector<std::string>{"succeed:addr"}));
    EXPECT_EQ(PULSEDelegateSynchronize::stateForIdentifier("dnsIdentifier"), PULSEDelegateSynchronize::kNone);
    // After the end, reports are refused.
    EXPECT_FALSE(PULSEDelegateSynchronize::continueThread(true, "late", "dnsIdentifier"));
}

TEST_F(Wait, AReportFromInsideTheMethodCallbackFindsNoWait) {
    bool accepted = true;
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            accepted = PULSEDelegateSynchronize::continueThread(true, "too early", "TCPConnectIdentifier");
            later([this] { m_clock.advance(2.0); });
        },
        succeed(), failed(), "TCPConnectIdentifier", 2.0);
    EXPECT_FALSE(accepted);
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(m_events, (std::vector<std::string>{"failed:<null>"}));
}

TEST_F(Wait, FailureCallsTheFailureCallbackWithNull) {
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [] { later([] { PULSEDelegateSynchronize::continueThread(false, "ignored", "id"); }); }, succeed(), failed(),
        "id", 2.0);
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(m_events, (std::vector<std::string>{"failed:<null>"}));
}

TEST_F(Wait, SuccessWithANullResultStillCallsTheSuccessCallback) {
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [] { later([] { PULSEDelegateSynchronize::continueThread(true, Value(), "id"); }); }, succeed(), failed(), "id",
        2.0);
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(m_events, (std::vector<std::string>{"succeed:<null>"}));
}

TEST_F(Wait, TimeOutOfZeroWaitsSixtySecondsOfVirtualTime) {
    std::vector<PULSEDelegateSynchronize::State> states;
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            later([&] {
                m_clock.advance(59.9);
                states.push_back(PULSEDelegateSynchronize::stateForIdentifier("sisDefaultIdentifer"));
                m_clock.advance(0.1);
                states.push_back(PULSEDelegateSynchronize::stateForIdentifier("sisDefaultIdentifer"));
            });
        },
        succeed(), failed(), "sisDefaultIdentifer", 0);
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(states, (std::vector{PULSEDelegateSynchronize::kWaiting, PULSEDelegateSynchronize::kTimedOut}));
    EXPECT_EQ(m_events, (std::vector<std::string>{"failed:<null>"}));
}

TEST_F(Wait, ATimedOutWaitIsReplacedByAReportInTheSameSlice) {
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            later([&] {
                m_clock.advance(2.0);
                EXPECT_EQ(PULSEDelegateSynchronize::stateForIdentifier("id"), PULSEDelegateSynchronize::kTimedOut);
                EXPECT_TRUE(PULSEDelegateSynchronize::continueThread(true, 7, "id"));
            });
        },
        succeed(), failed(), "id", 2.0);
    EXPECT_EQ(result, Value(7));
    EXPECT_EQ(m_events, (std::vector<std::string>{"succeed:7"}));
}

TEST_F(Wait, TheTimerNeverFiresAfterASuccess) {
    (void)PULSEDelegateSynchronize::runMethodBlockThread(
        [] { later([] { PULSEDelegateSynchronize::continueThread(true, 1, "id"); }); }, succeed(), failed(), "id", 2.0);
    // A new wait on the same identifier is not ended by the first one's timer.
    const Value second = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            later([&] {
                m_clock.advance(5.0);
                EXPECT_EQ(PULSEDelegateSynchronize::stateForIdentifier("id"), PULSEDelegateSynchronize::kWaiting);
                PULSEDelegateSynchronize::continueThread(true, 2, "id");
            });
        },
        succeed(), failed(), "id", 10.0);
    EXPECT_EQ(second, Value(2));
    EXPECT_EQ(m_events, (std::vector<std::string>{"succeed:1", "succeed:2"}));
}

TEST_F(Wait, ClearIdentifierEndsTheWaitWithoutACallback) {
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [] { later([] { PULSEDelegateSynchronize::clearIdentifier("id"); }); }, succeed(), failed(), "id", 2.0);
    EXPECT_TRUE(result.isNull());
    EXPECT_TRUE(m_events.empty());
    EXPECT_FALSE(PULSEDelegateSynchronize::continueThread(true, 1, "id"));
    // Its timer is gone too: time passing sets up nothing.
    m_clock.advance(10.0);
    EXPECT_EQ(PULSEDelegateSynchronize::stateForIdentifier("id"), PULSEDelegateSynchronize::kNone);
}

TEST_F(Wait, ReportsForAnIdentifierWithoutAWaitAreRefused) {
    EXPECT_FALSE(PULSEDelegateSynchronize::continueThread(true, 1, "nobody"));
    EXPECT_EQ(PULSEDelegateSynchronize::stateForIdentifier("nobody"), PULSEDelegateSynchronize::kNone);
}

TEST_F(Wait, ANestedWaitWithAnotherIdentifierEndsFirst) {
    std::vector<std::string> order;
    const Value outer = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            later([&] {
                const Value inner = PULSEDelegateSynchronize::runMethodBlockThread(
                    [&] {
                        // The outer wait's outcome arrives while the inner one waits; the inner's later.
                        later([] { EXPECT_TRUE(PULSEDelegateSynchronize::continueThread(true, "outer", "TCPConnectIdentifier")); });
                        later([] { EXPECT_TRUE(PULSEDelegateSynchronize::continueThread(true, "inner", "dnsIdentifier")); });
                    },
                    [&](const Value& v) { order.push_back("inner " + v.description()); }, nullptr, "dnsIdentifier", 2.0);
                EXPECT_EQ(inner, Value("inner"));
            });
        },
        [&](const Value& v) { order.push_back("outer " + v.description()); }, nullptr, "TCPConnectIdentifier", 2.0);
    EXPECT_EQ(outer, Value("outer"));
    EXPECT_EQ(order, (std::vector<std::string>{"inner inner", "outer outer"}));
}

TEST_F(Wait, OtherSourcesGoOnWhileWaiting) {
    // A timer and perform requests scheduled before the wait run during it.
    std::vector<std::string> seen;
    auto timer = platform::RunLoop::current().scheduleTimer(platform::seconds(1.0), [&] { seen.push_back("timer"); });
    platform::RunLoop::current().perform([&] { seen.push_back("perform"); });
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [&] {
            later([&] {
                m_clock.advance(1.0);
                PULSEDelegateSynchronize::continueThread(true, "done", "id");
            });
        },
        2.0, "id");
    EXPECT_EQ(result, Value("done"));
    EXPECT_EQ(seen, (std::vector<std::string>{"perform", "timer"}));
}

TEST_F(Wait, WaitsOnTheClientThread) {
    // As the client does it: the wait runs on an alive thread, the test drives time from outside.
    auto thread = PULSEThread::builder(PULSERunLoopMode::Alive)->setThreadName("pulse.test.client").build();
    std::atomic<bool> waiting{false};
    std::atomic<bool> done{false};
    std::atomic<int> failures{0};
    Value result("unset");
    thread->invokeMethodWithTarget([&] {
        result = PULSEDelegateSynchronize::runMethodBlockThread(
            [&] { later([&] { waiting = true; }); }, nullptr, [&](const Value&) { ++failures; }, "TCPConnectIdentifier", 2.0);
        done = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return waiting.load(); }));
    m_clock.advance(1.9);
    EXPECT_FALSE(done.load());
    m_clock.advance(0.1);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return done.load(); }));
    EXPECT_TRUE(result.isNull());
    EXPECT_EQ(failures.load(), 1);

    // And a success reported on the client thread's own loop.
    done = false;
    thread->invokeMethodWithTarget([&] {
        result = PULSEDelegateSynchronize::runMethodBlockThread(
            [] { later([] { PULSEDelegateSynchronize::continueThread(true, "connected", "TCPConnectIdentifier"); }); },
            2.0, "TCPConnectIdentifier");
        done = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return done.load(); }));
    EXPECT_EQ(result, Value("connected"));
}

TEST_F(Wait, AbandonedWaitsEndAsTimedOutAndLaterOnesAtOnce) {
    // Nothing ever answers, and the virtual clock never moves: only the abandonment ends the wait.
    const Value result = PULSEDelegateSynchronize::runMethodBlockThread(
        [] { later([] { PULSEDelegateSynchronize::abandonAllWaits(); }); }, succeed(), failed(), "udpIdentifier", 60.0);
    EXPECT_TRUE(result.isNull());
    const Value next = PULSEDelegateSynchronize::runMethodBlockThread([] {}, succeed(), failed(), "dnsIdentifier", 60.0);
    EXPECT_TRUE(next.isNull());
    EXPECT_EQ(m_events, (std::vector<std::string>{"failed:<null>", "failed:<null>"}));
    EXPECT_EQ(PULSEDelegateSynchronize::stateForIdentifier("udpIdentifier"), PULSEDelegateSynchronize::kNone);
    // A fresh start forgets it.
    PULSEDelegateSynchronize::resetForTesting();
    const Value answered = PULSEDelegateSynchronize::runMethodBlockThread(
        [] { later([] { PULSEDelegateSynchronize::continueThread(true, "ok", "id"); }); }, succeed(), failed(), "id", 2.0);
    EXPECT_EQ(answered, Value("ok"));
}
