#include "platform/device/InterfaceAddresses.h"
#include "platform/device/Reachability.h"
#include "platform/runloop/RunLoop.h"
#include "platform/runloop/RunLoopThread.h"

#include <gtest/gtest.h>

#include <net/if.h>

#include <atomic>
#include <condition_variable>
#include <thread>

using namespace platform;

namespace {

void drainMainLoop() {
    while (RunLoop::main().runOnce(std::chrono::milliseconds(0)) == RunLoop::RunResult::Handled) {
    }
}

class ReachabilityTest : public ::testing::Test {
protected:
    void TearDown() override {
        Reachability::setOverrideFlags(std::nullopt);
        InterfaceAddresses::resetToDefaults();
    }
};

} // namespace

TEST_F(ReachabilityTest, TargetsAreCheckedAndLoopbackIsLocalAndDirect) {
    EXPECT_EQ(Reachability::createWithAddress("not an address"), nullptr);
    EXPECT_EQ(Reachability::createWithAddress("300.1.1.1"), nullptr);
    EXPECT_EQ(Reachability::createWithName(""), nullptr);
    auto loopback = Reachability::createWithAddress("127.0.0.1");
    ASSERT_NE(loopback, nullptr);
    ReachabilityFlags flags = 0;
    ASSERT_TRUE(loopback->getFlags(flags));
    EXPECT_EQ(flags, kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress | kReachabilityFlagsIsDirect);
    EXPECT_EQ(Reachability::createWithName("localhost")->flags(), flags);
    // The general address answers what the machine's interfaces say; either way no WWAN bit without reachability.
    ReachabilityFlags general = Reachability::createWithAddress("0.0.0.0")->flags();
    if (!(general & kReachabilityFlagsReachable)) {
        EXPECT_EQ(general, 0u);
    }
}

// Reachable over Wi-Fi exactly when the permission diagnostics say Wi-Fi is connected; any other way out
// is the mobile network.
TEST_F(ReachabilityTest, FlagsFollowTheDevicesInterfacesAsTheWifiCheckDoes) {
    using Family = InterfaceAddress::Family;
    constexpr unsigned kUp = IFF_UP | IFF_RUNNING;
    const InterfaceAddress loopback{"lo", Family::IPv4, "127.0.0.1", kUp | IFF_LOOPBACK};
    const InterfaceAddress wifi{"en0", Family::IPv4, "192.168.1.5", kUp};
    const InterfaceAddress wifiIPv6{"en0", Family::IPv6, "fe80::1", kUp};
    const InterfaceAddress mobile{"wwan0", Family::IPv4, "10.64.0.9", kUp};
    const InterfaceAddress mobileDown{"wwan0", Family::IPv4, "10.64.0.9", IFF_UP};
    const InterfaceAddress mobileLink{"wwan0", Family::Other, "", kUp};
    const ReachabilityFlags kWiFi = kReachabilityFlagsReachable;
    const ReachabilityFlags kWWAN = kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN;
    const struct {
        std::vector<InterfaceAddress> list;
        ReachabilityFlags flags;
    } cases[] = {
        {{loopback, wifi}, kWiFi},
        {{loopback, wifiIPv6, wifi, mobile}, kWiFi},
        {{loopback, mobile}, kWWAN},
        {{loopback, wifiIPv6, mobile}, kWWAN},
        {{loopback, wifiIPv6}, 0},
        {{loopback, mobileDown, mobileLink}, 0},
        {{}, 0},
    };
    auto reach = Reachability::createWithAddress("0.0.0.0");
    for (const auto& c : cases) {
        InterfaceAddresses::setOverride(c.list);
        EXPECT_EQ(reach->flags(), c.flags) << "with " << c.list.size() << " entries";
        EXPECT_EQ(InterfaceAddresses::isWifiConnected(c.list), c.flags == kWiFi);
    }
    InterfaceAddresses::setReadFailure(true);
    EXPECT_EQ(reach->flags(), 0u);
    EXPECT_EQ(Reachability::createWithAddress("127.0.0.1")->flags() & kReachabilityFlagsReachable, kReachabilityFlagsReachable);
}

// A scheduled reachability hears a change of the interfaces as the device file or a test makes it.
TEST_F(ReachabilityTest, AChangedInterfaceListIsReportedToTheScheduledRunLoop) {
    const InterfaceAddress wifi{"en0", InterfaceAddress::Family::IPv4, "192.168.1.5", IFF_UP | IFF_RUNNING};
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{wifi});
    auto reach = Reachability::createWithAddress("0.0.0.0");
    std::vector<ReachabilityFlags> seen;
    reach->setCallback([&](Reachability&, ReachabilityFlags f) { seen.push_back(f); });
    ASSERT_TRUE(reach->scheduleWithRunLoop(RunLoop::main()));
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{});
    drainMainLoop();
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{wifi});
    drainMainLoop();
    EXPECT_EQ(seen, (std::vector<ReachabilityFlags>{0, kReachabilityFlagsReachable}));
    reach->unscheduleFromRunLoop();
}

TEST_F(ReachabilityTest, OverrideChangesAreReportedOnTheScheduledRunLoopOnlyWhenTheyDiffer) {
    auto reach = Reachability::createWithAddress("0.0.0.0");
    std::vector<ReachabilityFlags> seen;
    reach->setCallback([&](Reachability&, ReachabilityFlags f) { seen.push_back(f); });
    Reachability::setOverrideFlags(0);
    ASSERT_TRUE(reach->scheduleWithRunLoop(RunLoop::main()));
    EXPECT_FALSE(reach->scheduleWithRunLoop(RunLoop::main()));

    Reachability::setOverrideFlags(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);
    EXPECT_TRUE(seen.empty()) << "delivered on the run loop, not inside the change";
    drainMainLoop();
    ASSERT_EQ(seen, (std::vector<ReachabilityFlags>{kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN}));
    EXPECT_EQ(reach->flags(), kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);

    Reachability::setOverrideFlags(kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN);
    Reachability::systemChanged();
    drainMainLoop();
    EXPECT_EQ(seen.size(), 1u) << "the same flags are not reported again";

    Reachability::setOverrideFlags(kReachabilityFlagsReachable);
    reach->unscheduleFromRunLoop();
    drainMainLoop();
    EXPECT_EQ(seen.size(), 1u) << "no callback after unscheduling";
}

TEST_F(ReachabilityTest, CallbackRunsOnTheThreadOfItsRunLoop) {
    RunLoopThread thread("reachability");
    auto reach = Reachability::createWithAddress("0.0.0.0");
    std::mutex m;
    std::condition_variable cv;
    std::optional<std::thread::id> callbackThread;
    std::thread::id loopThread;
    bool scheduled = false;
    Reachability::setOverrideFlags(0);
    thread.runLoop().perform([&] {
        reach->setCallback([&](Reachability&, ReachabilityFlags) {
            std::lock_guard lock(m);
            callbackThread = std::this_thread::get_id();
            cv.notify_all();
        });
        loopThread = std::this_thread::get_id();
        reach->scheduleWithRunLoop(RunLoop::current());
        std::lock_guard lock(m);
        scheduled = true;
        cv.notify_all();
    });
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return scheduled; }));
    }
    Reachability::setOverrideFlags(kReachabilityFlagsReachable);
    {
        std::unique_lock lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return callbackThread.has_value(); }));
    }
    EXPECT_EQ(*callbackThread, loopThread);
    reach->unscheduleFromRunLoop();
}

TEST_F(ReachabilityTest, AChangeAfterTheLoopsThreadEndedReachesNobody) {
    auto thread = std::make_unique<RunLoopThread>("reachability");
    auto reach = Reachability::createWithAddress("0.0.0.0");
    std::atomic<int> calls{0};
    reach->setCallback([&](Reachability&, ReachabilityFlags) { ++calls; });
    Reachability::setOverrideFlags(0);
    ASSERT_TRUE(reach->scheduleWithRunLoop(thread->runLoop()));
    thread.reset(); // the loop goes with its thread; the reachability stays scheduled
    Reachability::setOverrideFlags(kReachabilityFlagsReachable);
    EXPECT_EQ(calls.load(), 0);
    EXPECT_FALSE(reach->scheduleWithRunLoop(RunLoop::main())) << "still scheduled until unscheduled";
    reach->unscheduleFromRunLoop();
}
