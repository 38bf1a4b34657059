#include "StatsTest.h"

#include "stats/MXStatReportStrategy.h"

#include "platform/system/UserDefaults.h"

using namespace stats;
using namespace statstest;

namespace {

class ReportStrategyTest : public StatsTest {
protected:
    std::shared_ptr<MXStatEvent> report(bool realTime = false) {
        auto event = std::make_shared<MXStatEvent>();
        event->isRealTime = realTime;
        m_strategy.reportEvent(event);
        m_strategy.apiQueue()->sync([] {});
        return event;
    }
    void useNetwork(platform::ReachabilityFlags flags) { platform::Reachability::setOverrideFlags(flags); }
    MXStatConfig& config() { return MXStatConfig::getInstance(); }

    std::shared_ptr<RecordingStore> m_store = std::make_shared<RecordingStore>();
    std::shared_ptr<RecordingDispatcher> m_dispatcher = std::make_shared<RecordingDispatcher>();
    MXStatReportStrategy m_strategy{m_store, m_dispatcher};
};

TEST_F(ReportStrategyTest, TheStepRunsOnTheAPIQueue) {
    EXPECT_EQ(m_strategy.apiQueue()->label(), "MessengerAnalysis");
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportInstant);
    std::string label;
    m_strategy.apiQueue()->async([&] { label = platform::DispatchQueue::currentLabel(); });
    report();
    EXPECT_EQ(label, "MessengerAnalysis");
    EXPECT_EQ(m_dispatcher->sent().size(), 1u);
}

TEST_F(ReportStrategyTest, ARealTimeEventIsSentAtOnceEvenWithStrategy7OnACellularNetwork) {
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportWiFiOnlyNoStore);
    auto event = report(true);
    ASSERT_EQ(m_dispatcher->sent().size(), 1u);
    EXPECT_EQ(m_dispatcher->sent()[0], event);
    EXPECT_TRUE(m_store->stored().empty());
}

TEST_F(ReportStrategyTest, WithoutNetworkTheEventIsStoredAndTheLineIsLogged) {
    useNetwork(kNoNetworkFlags);
    report();
    ASSERT_EQ(m_store->stored().size(), 1u);
    EXPECT_FALSE(m_store->stored()[0].hasTrySent);
    EXPECT_TRUE(m_log.contains("Store event since no active network."));
    EXPECT_TRUE(m_dispatcher->sent().empty());
    EXPECT_TRUE(m_store->flushes().empty());

    // Also a real-time event, and also when only an on-demand connection would reach the network.
    useNetwork(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsConnectionRequired |
               platform::kReachabilityFlagsTransientConnection);
    report(true);
    EXPECT_EQ(m_store->stored().size(), 2u);
    EXPECT_TRUE(m_dispatcher->sent().empty());
}

TEST_F(ReportStrategyTest, SmartReportingOverWiFiTurnsStoringStrategiesIntoInstant) {
    useNetwork(kWiFiFlags);
    for (std::int32_t strategy : {MXStatReportBatch, MXStatReportAtLaunch, MXStatReportPeriodic, MXStatReportDeveloper}) {
        config().setReportStrategy(strategy);
        report();
    }
    EXPECT_EQ(m_dispatcher->sent().size(), 4u);
    EXPECT_TRUE(m_store->stored().empty());
    EXPECT_EQ(platform::UserDefaults::standard().integer(kMXStatDataSentTimeKey), 0);

    // Without smart reporting the same strategies store.
    config().setSmartReporting(false);
    config().setReportStrategy(MXStatReportAtLaunch);
    report();
    EXPECT_EQ(m_store->stored().size(), 1u);
    EXPECT_EQ(m_dispatcher->sent().size(), 4u);
}

TEST_F(ReportStrategyTest, InstantSendingNeverOvertakesStoredEvents) {
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportInstant);
    m_store->setCount(3);
    report();
    EXPECT_TRUE(m_dispatcher->sent().empty());
    ASSERT_EQ(m_store->stored().size(), 1u);
    EXPECT_EQ(m_store->flushes(), std::vector<std::int32_t>{-1});
}

TEST_F(ReportStrategyTest, AFailedInstantSendIsStoredAsTried) {
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportInstant);
    m_dispatcher->setSucceeds(false);
    auto event = report();
    ASSERT_EQ(m_store->stored().size(), 1u);
    EXPECT_EQ(m_store->stored()[0].event, event);
    EXPECT_TRUE(m_store->stored()[0].hasTrySent);
    EXPECT_TRUE(m_store->flushes().empty());
}

TEST_F(ReportStrategyTest, ASuccessfulInstantSendFlushesWhatWasStoredMeanwhile) {
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportInstant);
    report();
    EXPECT_TRUE(m_store->flushes().empty());

    // The store gained events while the send was under way.
    struct StoringDispatcher : RecordingDispatcher {
        std::shared_ptr<RecordingStore> store;
        void sendEvent(std::shared_ptr<MXStatEvent> event, Completion completion) override {
            store->setCount(2);
            RecordingDispatcher::sendEvent(std::move(event), std::move(completion));
        }
    };
    auto dispatcher = std::make_shared<StoringDispatcher>();
    dispatcher->store = m_store;
    MXStatReportStrategy strategy(m_store, dispatcher);
    strategy.reportEvent(std::make_shared<MXStatEvent>());
    strategy.apiQueue()->sync([] {});
    EXPECT_EQ(m_store->flushes(), std::vector<std::int32_t>{-1});
}

TEST_F(ReportStrategyTest, WiFiInstantSendsOverWiFiAndStoresOverCellular) {
    config().setSmartReporting(false);
    config().setReportStrategy(MXStatReportWiFiInstant);
    useNetwork(kCellularFlags);
    report();
    EXPECT_EQ(m_store->stored().size(), 1u);
    EXPECT_TRUE(m_dispatcher->sent().empty());
    m_store->setCount(0);
    useNetwork(kWiFiFlags);
    report();
    EXPECT_EQ(m_dispatcher->sent().size(), 1u);
}

TEST_F(ReportStrategyTest, BatchAsksForAnUploadAtTheThirtiethStoredEvent) {
    useNetwork(kCellularFlags);
    config().setDebugEnable(true);
    config().setReportStrategy(MXStatReportBatch);
    config().setMinBatchReportCount(30);
    for (int i = 0; i < 29; ++i)
        report();
    EXPECT_TRUE(m_store->flushes().empty());
    EXPECT_TRUE(m_log.contains("Stored event count:29"));
    report();
    EXPECT_EQ(m_store->flushes(), std::vector<std::int32_t>{30});
    EXPECT_EQ(m_store->stored().size(), 30u);
    EXPECT_TRUE(m_dispatcher->sent().empty());
}

TEST_F(ReportStrategyTest, PeriodicStartsThePeriodThenFlushesADayLater) {
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportPeriodic);
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const auto start = static_cast<std::int64_t>(m_clock.wallNow().secondsSince1970);

    report();
    EXPECT_EQ(m_store->stored().size(), 1u);
    EXPECT_TRUE(m_store->flushes().empty());
    EXPECT_EQ(defaults.integer(kMXStatDataSentTimeKey), start);

    m_clock.advance(1439 * 60.0);
    report();
    EXPECT_TRUE(m_store->flushes().empty());
    EXPECT_EQ(defaults.integer(kMXStatDataSentTimeKey), start);

    m_clock.advance(60.0);
    report();
    EXPECT_EQ(m_store->flushes(), std::vector<std::int32_t>{-1});
    EXPECT_EQ(defaults.integer(kMXStatDataSentTimeKey), start + 1440 * 60);
    EXPECT_EQ(m_store->stored().size(), 3u);
}

TEST_F(ReportStrategyTest, PeriodicSendingGoesOnAfterTheClockIsSetBack) {
    useNetwork(kCellularFlags);
    config().setReportStrategy(MXStatReportPeriodic);
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const auto now = static_cast<std::int64_t>(m_clock.wallNow().secondsSince1970);
    // A first launch with the clock a year ahead saved its time; the clock has been corrected since.
    const std::int64_t ahead = now + 365 * 86400;
    ASSERT_TRUE(defaults.set(kMXStatDataSentTimeKey, ahead).ok());

    report();
    EXPECT_TRUE(m_store->flushes().empty());
    EXPECT_EQ(defaults.integer(kMXStatDataSentTimeKey), now); // the period starts again from now

    m_clock.advance(25 * 3600.0);
    report();
    EXPECT_EQ(m_store->flushes(), std::vector<std::int32_t>{-1});
    EXPECT_EQ(defaults.integer(kMXStatDataSentTimeKey), now + 25 * 3600);
}

TEST_F(ReportStrategyTest, AtLaunchAndDeveloperOnlyStore) {
    useNetwork(kCellularFlags);
    for (std::int32_t strategy : {MXStatReportAtLaunch, MXStatReportDeveloper}) {
        config().setReportStrategy(strategy);
        report();
    }
    EXPECT_EQ(m_store->stored().size(), 2u);
    EXPECT_TRUE(m_store->flushes().empty());
    EXPECT_TRUE(m_dispatcher->sent().empty());
}

TEST_F(ReportStrategyTest, UnsupportedStrategiesDropTheEvent) {
    useNetwork(kWiFiFlags);
    config().setSmartReporting(false);
    for (std::int32_t strategy : {8, 0, -1}) {
        config().setReportStrategy(strategy);
        report();
    }
    EXPECT_TRUE(m_log.contains("Not supported report strategy:8"));
    EXPECT_TRUE(m_log.contains("Not supported report strategy:0"));
    EXPECT_TRUE(m_log.contains("Not supported report strategy:-1"));
    EXPECT_TRUE(m_store->stored().empty());
    EXPECT_TRUE(m_dispatcher->sent().empty());
}

TEST_F(ReportStrategyTest, WiFiOnlyDropsWithoutWiFiAndLosesAFailedUpload) {
    config().setReportStrategy(MXStatReportWiFiOnlyNoStore);
    config().setDebugEnable(true);
    useNetwork(kCellularFlags);
    report();
    EXPECT_TRUE(m_log.contains("Disard event since no active wifi network."));
    useNetwork(kNoNetworkFlags);
    report();
    EXPECT_TRUE(m_dispatcher->sent().empty());
    EXPECT_TRUE(m_store->stored().empty());

    useNetwork(kWiFiFlags);
    m_dispatcher->setSucceeds(false);
    report();
    EXPECT_EQ(m_dispatcher->sent().size(), 1u);
    EXPECT_TRUE(m_store->stored().empty());
}

TEST_F(ReportStrategyTest, NothingHappensWhileStatisticsAreDisabled) {
    useNetwork(kNoNetworkFlags);
    config().setStatEnable(false);
    report(true);
    EXPECT_TRUE(m_store->stored().empty());
    EXPECT_TRUE(m_dispatcher->sent().empty());
    EXPECT_FALSE(m_log.contains("Store event since no active network."));
}

} // namespace
