#include "StatsTest.h"

#include "stats/MXStatReachability.h"

#include "platform/runloop/NotificationCenter.h"

#include "support/RunLoopWait.h"

#include <atomic>

using namespace stats;
using namespace statstest;
using platform::ReachabilityFlags;

namespace {

using ReachabilityTest = StatsTest;

TEST_F(ReachabilityTest, FlagsTextOfAReachableWiFiNetwork) {
    platform::Reachability::setOverrideFlags(kWiFiFlags);
    auto reachability = MXStatReachability::reachabilityForInternetConnection();
    ASSERT_NE(reachability, nullptr);
    EXPECT_EQ(reachability->currentReachabilityFlags(), "-R -------");
    EXPECT_EQ(MXStatReachability::flagsText(0xffffffffu), "WR ctiCDld");
    EXPECT_EQ(MXStatReachability::flagsText(platform::kReachabilityFlagsIsWWAN | platform::kReachabilityFlagsIsDirect),
              "W- ------d");
}

TEST_F(ReachabilityTest, StatusByTheRules) {
    auto reachability = MXStatReachability::reachabilityForInternetConnection();
    ASSERT_NE(reachability, nullptr);
    struct Case {
        ReachabilityFlags flags;
        bool reachable, viaWiFi, viaWWAN;
        MXStatNetworkStatus status;
        const char* text;
    };
    const ReachabilityFlags onDemand = platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsConnectionRequired |
                                       platform::kReachabilityFlagsTransientConnection;
    const Case cases[] = {
        {kNoNetworkFlags, false, false, false, MXStatNotReachable, "No Connection"},
        {kWiFiFlags, true, true, false, MXStatReachableViaWiFi, "WiFi"},
        {kCellularFlags, true, false, true, MXStatReachableViaWWAN, "Cellular"},
        {onDemand, false, true, false, MXStatNotReachable, "No Connection"},
        {platform::kReachabilityFlagsIsWWAN, false, false, false, MXStatNotReachable, "No Connection"},
    };
    for (const Case& c : cases) {
        platform::Reachability::setOverrideFlags(c.flags);
        SCOPED_TRACE(MXStatReachability::flagsText(c.flags));
        EXPECT_EQ(reachability->isReachable(), c.reachable);
        EXPECT_EQ(reachability->isReachableViaWiFi(), c.viaWiFi);
        EXPECT_EQ(reachability->isReachableViaWWAN(), c.viaWWAN);
        EXPECT_EQ(reachability->currentReachabilityStatus(), c.status);
        EXPECT_EQ(reachability->currentReachabilityString(), c.text);
    }

    platform::Reachability::setOverrideFlags(kCellularFlags);
    reachability->setReachableOnWWAN(false);
    EXPECT_FALSE(reachability->isReachable());
    EXPECT_TRUE(reachability->isReachableViaWWAN());
    EXPECT_EQ(reachability->currentReachabilityStatus(), MXStatNotReachable);

    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsConnectionRequired |
                                             platform::kReachabilityFlagsConnectionOnDemand |
                                             platform::kReachabilityFlagsInterventionRequired);
    EXPECT_TRUE(reachability->isConnectionRequired());
    EXPECT_TRUE(reachability->connectionRequired());
    EXPECT_TRUE(reachability->isConnectionOnDemand());
    EXPECT_TRUE(reachability->isInterventionRequired());
}

TEST_F(ReachabilityTest, FactoriesRefuseWhatIsNotAnAddressOrAName) {
    EXPECT_NE(MXStatReachability::reachabilityForLocalWiFi(), nullptr);
    EXPECT_NE(MXStatReachability::reachabilityWithHostname("collector.example"), nullptr);
    EXPECT_NE(MXStatReachability::reachabilityWithAddress("10.0.0.1"), nullptr);
    EXPECT_EQ(MXStatReachability::reachabilityWithAddress("not an address"), nullptr);
    EXPECT_EQ(MXStatReachability::reachabilityWithHostname(""), nullptr);
}

TEST_F(ReachabilityTest, NotifierCallsTheBlockOnItsQueueThenPostsOnMain) {
    platform::Reachability::setOverrideFlags(kNoNetworkFlags);
    std::weak_ptr<MXStatReachability> weak;
    std::atomic<int> reachableCalls{0};
    std::atomic<int> unreachableCalls{0};
    std::string blockQueue;
    std::mutex blockMutex;
    std::vector<const void*> posted;
    const void* expectedSender = nullptr;
    platform::NotificationCenter::defaultCenter().addObserver(
        this, kReachabilityChangedNotification, nullptr,
        [&](const platform::Notification& note) { posted.push_back(note.object); });
    {
        auto reachability = MXStatReachability::reachabilityForInternetConnection();
        weak = reachability;
        expectedSender = reachability.get();
        reachability->setReachableBlock([&](MXStatReachability&) {
            std::lock_guard lock(blockMutex);
            blockQueue = platform::DispatchQueue::currentLabel();
            ++reachableCalls;
        });
        reachability->setUnreachableBlock([&](MXStatReachability&) { ++unreachableCalls; });
        ASSERT_TRUE(reachability->startNotifier());
        EXPECT_FALSE(reachability->startNotifier());
    }
    ASSERT_FALSE(weak.expired()); // kept alive while notifying

    platform::Reachability::setOverrideFlags(kWiFiFlags);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return posted.size() == 1; }));
    EXPECT_EQ(reachableCalls.load(), 1);
    {
        std::lock_guard lock(blockMutex);
        EXPECT_EQ(blockQueue, kMXStatReachabilityQueueLabel);
    }
    EXPECT_EQ(posted[0], expectedSender);

    platform::Reachability::setOverrideFlags(kNoNetworkFlags);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return posted.size() == 2; }));
    EXPECT_EQ(unreachableCalls.load(), 1);

    weak.lock()->stopNotifier();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return weak.expired(); }));
    platform::Reachability::setOverrideFlags(kWiFiFlags);
    platform::NotificationCenter::defaultCenter().removeObserver(this);
    EXPECT_EQ(reachableCalls.load(), 1);
}

} // namespace
