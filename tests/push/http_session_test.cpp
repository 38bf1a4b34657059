// The HTTP statistics session against the loopback push server (for the login) and the loopback
// statistics and user endpoints: usage sessions, the periodic checks, the blocked queue, numbering,
// failures, the report kinds and the badge.
#include "SessionTest.h"

#include "push/PULSEBadgeNumberController.h"
#include "push/PULSECrashLog.h"
#include "push/PULSEHttpSessionController.h"
#include "push/PULSELocationInfoController.h"
#include "push/PULSEPageFlow.h"
#include "push/PULSEReportCacheController.h"
#include "push/PULSEReportKinds.h"

#include "support/KeptAlive.h"
#include "support/PushReportServer.h"

namespace {

using platform::Array;
using platform::Dictionary;
using platform::Value;
using push::PULSEHttpSessionController;

class StatsSession : public pushtest::SessionTest {
protected:
    StatsSession() {
        auto& client = push::PULSEClientController::sharedClient();
        client.setPageFlowController(m_pages);
        auto endpoints = push::PULSEEndpoints::shared();
        endpoints.statisticsURL = m_reports.url();
        endpoints.userURL = m_reports.userURL();
        push::PULSEEndpoints::setShared(endpoints);
        m_store = push::PULSEFileCacheController::shareInstanceWithType(0);
    }
    ~StatsSession() override {
        m_stats.reset();
        for (const auto& fault : m_reports.faults())
            ADD_FAILURE() << "report server fault: " << fault;
    }

    // Registers and logs in once (so that the uid is known to the report server), then leaves the TCP
    // session logged out: requests are held until login().
    void registerDevice() {
        registerDeviceWith(m_reports);
        restartSession();
    }
    void login() {
        m_session->setup();
        ASSERT_TRUE(waitLoggedIn());
    }
    // Moves the clock second by second, letting the TCP session's heartbeat get its acknowledgement (in
    // real time) before its time-out (virtual) could pass, so that the session stays logged in.
    void advanceLoggedIn(double seconds) {
        for (double done = 0; done < seconds; done += 1) {
            m_clock.advance(std::min(1.0, seconds - done));
            ASSERT_TRUE(hybtest::runMainUntil([&] { return m_session->tcpSendingQueue().count() == 0; }));
        }
        ASSERT_TRUE(m_session->isLogin());
    }
    void startStats() { m_stats = PULSEHttpSessionController::create(); }
    // Checks that ran just now, so that activations report nothing of their own.
    void storeChecksRanNow() {
        for (const char* key : {"__PULSECheckTime", "__PULSECrashTimer", "__PULSELocationTimer"})
            m_store->setObject(static_cast<std::int64_t>(now()), key);
    }
    static double now() { return push::PULSECorrectedTime(); }

    template <class Kind>
    int blockedOf() const {
        int count = 0;
        for (const auto& request : m_stats->blockedRequests())
            count += dynamic_cast<const Kind*>(request.get()) != nullptr;
        return count;
    }
    bool waitItems(const std::string& type, std::size_t count) {
        return hybtest::runMainUntil([&] { return m_reports.itemsOfType(type).size() >= count; });
    }

    testsupport::PushReportServer m_reports;
    std::shared_ptr<push::PULSEPageFlowSession> m_pages = std::make_shared<push::PULSEPageFlowSession>();
    std::shared_ptr<push::PULSEFileCacheController> m_store;
    std::shared_ptr<PULSEHttpSessionController> m_stats;
};

TEST_F(StatsSession, TheFirstActivationHoldsLaunchDeviceAndLocationUntilLogin) {
    registerDevice();
    startStats();
    m_stats->locationInfoChangeViaNetworkState(2);
    m_stats->prepareActive(now());
    EXPECT_EQ(m_stats->blockedRequests().size(), 3u);
    EXPECT_EQ(blockedOf<push::PULSEUserLoginReportRequest>(), 1);
    EXPECT_EQ(blockedOf<push::PULSEUserDeviceReportRequest>(), 1);
    EXPECT_EQ(blockedOf<push::PULSELocationReportRequest>(), 1);
    EXPECT_EQ(m_stats->locationInfo()->count(), 0u);
    EXPECT_TRUE(m_store->hasObjectForKey("__PULSECrashTimer"));

    login();
    ASSERT_TRUE(waitItems("active_launch", 1) && waitItems("device_info", 1) && waitItems("loc_info", 1));
    EXPECT_TRUE(m_stats->blockedRequests().empty());
    const auto location = m_reports.itemsOfType("loc_info")[0];
    EXPECT_EQ(location["wifi"], Value(Array{Dictionary{{"mac_address", "Not Found"}, {"ssid", "Not Found"}}}));
    EXPECT_EQ(location["cell"], Value(""));
    // Every flag is "<request id>:<seconds>".
    EXPECT_NE(m_stats->reportFlag().find(':'), std::string::npos);
    // The device answer (200) stored what the server accepted.
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_store->hasObjectForKey("__PULSELastDeviceInfo"); }));
    EXPECT_EQ(m_reports.requestCount(), 3u);
}

TEST_F(StatsSession, ASessionEndsAfterMoreThan30SecondsAwayOrWhenTheClockWentBack) {
    registerDevice();
    storeChecksRanNow();
    const auto t0 = static_cast<std::int64_t>(now());
    m_store->setObject(t0 - 100, "__PULSEStart_time");
    m_store->setObject(t0 - 30, "__PULSELeft_time");
    startStats();
    m_stats->prepareActive(static_cast<double>(t0));
    EXPECT_TRUE(m_stats->blockedRequests().empty()); // 30 s: the session goes on
    EXPECT_EQ(m_stats->closeTime(), 0);

    m_stats->reportInactive(static_cast<double>(t0 + 10));
    m_stats.reset();
    startStats();
    m_clock.advance(41.0);
    m_stats->prepareActive(static_cast<double>(t0 + 41)); // 31 s away
    ASSERT_EQ(m_stats->blockedRequests().size(), 2u);
    EXPECT_EQ(blockedOf<push::PULSEUserActiveReportRequest>(), 1);
    EXPECT_EQ(m_stats->startTime(), t0 + 41);

    // Gone inactive "later" than the activation: the clock went back.
    m_stats->reportInactive(static_cast<double>(t0 + 500));
    m_stats->prepareActive(static_cast<double>(t0 + 42));
    EXPECT_EQ(blockedOf<push::PULSEUserActiveReportRequest>(), 2);

    login();
    ASSERT_TRUE(waitItems("active_terminate", 2));
    const auto ends = m_reports.itemsOfType("active_terminate");
    Value first = ends[0]["itime"] == Value(t0 + 10) ? ends[0] : ends[1];
    EXPECT_EQ(first["itime"], Value(t0 + 10));
    EXPECT_EQ(first["duration"], Value(std::int64_t{110}));
    EXPECT_EQ(first["activities"], Value(""));
}

TEST_F(StatsSession, ChecksScheduleFromTheirLastRun) {
    storeChecksRanNow();
    m_store->setObject(static_cast<std::int64_t>(now()) - 100, "__PULSECheckTime");
    m_store->setObject(Value(Dictionary{{"type", "device_info"}}), "__PULSELastDeviceInfo");
    startStats();
    m_stats->prepareActive(now());
    EXPECT_EQ(blockedOf<push::PULSEUserDeviceReportRequest>(), 0);
    m_clock.advance(86299.0);
    EXPECT_EQ(blockedOf<push::PULSEUserDeviceReportRequest>(), 0);
    m_clock.advance(1.0);
    EXPECT_EQ(blockedOf<push::PULSEUserDeviceReportRequest>(), 1);

    // A last-check time in the future (the clock went back) reports at once.
    m_stats->reportInactive(now());
    m_store->setObject(static_cast<std::int64_t>(now()) + 5000, "__PULSECheckTime");
    m_stats.reset();
    startStats();
    m_stats->prepareActive(now());
    EXPECT_EQ(blockedOf<push::PULSEUserDeviceReportRequest>(), 1);
}

TEST_F(StatsSession, StoredValuesOfTheWrongTypeReadAsFreshDefaults) {
    for (const char* key : {"__PULSEHistroyCache", "__PULSELocationLog", "__PULSEStart_time", "__PULSELeft_time",
                            "__PULSECheckTime", "__PULSECrashTimer", "__PULSELocationTimer"})
        m_store->setObject(Value(Array{"not", "this"}), key);
    startStats();
    EXPECT_EQ(m_stats->reportCache()->count(), 0u);
    EXPECT_EQ(m_stats->locationInfo()->count(), 0u);
    EXPECT_EQ(m_stats->closeTime(), 0);
    EXPECT_EQ(m_stats->startTime(), now());
    m_stats->prepareActive(now());
    EXPECT_EQ(blockedOf<push::PULSEUserLoginReportRequest>(), 1);
    EXPECT_EQ(blockedOf<push::PULSEUserDeviceReportRequest>(), 1);
}

TEST_F(StatsSession, TheBlockedQueueKeepsTheNewest20InOrder) {
    registerDevice();
    startStats();
    std::vector<std::shared_ptr<push::PULSEReportRequest>> sent;
    for (int i = 1; i <= 21; ++i) {
        auto report = std::make_shared<push::PULSEMessageReportRequest>();
        report->setActiveType(1, std::to_string(1000 + i), 0);
        sent.push_back(report);
        report->send();
    }
    ASSERT_EQ(m_stats->blockedRequests().size(), 20u);
    EXPECT_EQ(m_stats->blockedRequests().front(), sent[1]);
    EXPECT_EQ(m_stats->blockedRequests().back(), sent[20]);
    login();
    ASSERT_TRUE(waitItems("msg_status", 20));
    EXPECT_TRUE(m_stats->blockedRequests().empty());

    // Sending one of them again opens no second connection.
    sent[5]->send();
    EXPECT_EQ(countLines("report flag " + *sent[5]->reportFlag() + " is in sending state, do not send it again"), 1);
    EXPECT_EQ(m_reports.requestCount(), 20u);
}

TEST_F(StatsSession, WhenBothAddressesFailTheItemsRideAlongWithTheNextReport) {
    registerDevice();
    storeChecksRanNow();
    startStats();
    login();
    auto endpoints = push::PULSEEndpoints::shared();
    endpoints.statisticsURL = "http://127.0.0.1:1/v2/report";
    push::PULSEEndpoints::setShared(endpoints);
    // The lookup named 127.0.0.1:1 for reports: the backup is that same refused address.
    EXPECT_EQ(m_stats->getBackUpAddress(1), "http://127.0.0.1:1/v2/report");
    m_stats->prepareActive(now()); // the launch report
    const bool failed = hybtest::runMainUntil([&] { return countLines("http上报错误:") == 1; });
    ASSERT_TRUE(failed);
    EXPECT_EQ(m_stats->reportCache()->count(), 1u);

    endpoints.statisticsURL = m_reports.url();
    push::PULSEEndpoints::setShared(endpoints);
    std::make_shared<push::PULSEUserDeviceReportRequest>()->send();
    ASSERT_TRUE(waitItems("device_info", 1) && waitItems("active_launch", 1));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_stats->reportCache()->count() == 0; }));
}

TEST_F(StatsSession, TheCrashCheckSendsStoredCrashLogsWhenCrashReportingIsOn) {
    registerDevice();
    storeChecksRanNow();
    const auto t0 = static_cast<std::int64_t>(now());
    m_store->setObject(t0 - 86400, "__PULSECrashTimer");
    platform::ArchiveSet logs;
    logs.insert(platform::ArchiveArray{platform::ArchiveValue(Value(Dictionary{{"message", "Signal 11 was raised."}, {"count", 2}})),
                                       "app("});
    m_store->setObject(logs, push::kPULSECrashLogKey);
    startStats();
    m_stats->prepareActive(now()); // crash reporting off: nothing
    EXPECT_EQ(blockedOf<push::PULSECrashHandlerReportRequest>(), 0);

    auto& client = push::PULSEClientController::sharedClient();
    client.setCrashLogON();
    client.removeCrashReport(); // the report needs the flag, not the handlers (this is the test process)
    ASSERT_TRUE(client.isReportCrash());
    m_store->setObject(t0 - 86400, "__PULSECrashTimer");
    m_stats->reportInactive(now());
    m_store->setObject(t0 - 86400, "__PULSECrashTimer");
    m_stats.reset();
    startStats();
    m_stats->prepareActive(now());
    EXPECT_EQ(blockedOf<push::PULSECrashHandlerReportRequest>(), 1);
    login();
    ASSERT_TRUE(waitItems("crash_log", 1));
    EXPECT_EQ(m_reports.itemsOfType("crash_log")[0]["crashlogs"],
              Value(Array{Dictionary{{"message", "Signal 11 was raised."}, {"count", 2}}}));
    EXPECT_FALSE(m_store->hasObjectForKey(push::kPULSECrashLogKey));
}

TEST(StatsSessionTexts, URLErrorCodesHaveTheirTexts) {
    EXPECT_EQ(PULSEHttpSessionController::getHttpNetworkErrorStringWith(-1001), "连接超时");
    EXPECT_EQ(PULSEHttpSessionController::getHttpNetworkErrorStringWith(1), "找不到服务器主机");
    EXPECT_EQ(PULSEHttpSessionController::getHttpNetworkErrorStringWith(7), "7");
}

// ---- report kinds ----

TEST_F(StatsSession, KindsCarryTheirItems) {
    registerDevice();
    storeChecksRanNow();
    startStats();
    login();

    auto flow = std::make_shared<push::PULSEPageFlow>();
    auto active = std::make_shared<push::PULSEUserActiveReportRequest>();
    active->setReportActives(flow, 1000.0, 1059.9);
    active->send();
    auto page = std::make_shared<push::PULSEPage>("A");
    page->setDuration(3);
    flow->AddPage(page);
    auto withPages = std::make_shared<push::PULSEUserActiveReportRequest>();
    withPages->setReportActives(flow, 1000.0, 1003.0);
    withPages->send();
    ASSERT_TRUE(waitItems("active_terminate", 2));
    for (const auto& item : m_reports.itemsOfType("active_terminate")) {
        if (item["itime"] == Value(std::int64_t{1059})) {
            EXPECT_EQ(item["duration"], Value(std::int64_t{59}));
            EXPECT_EQ(item["activities"], Value(""));
        } else {
            EXPECT_EQ(item["activities"], Value(Array{Dictionary{{"A", 3}}}));
        }
    }

    // Device facts: sent and stored after 200; the same facts a second later send nothing.
    std::make_shared<push::PULSEUserDeviceReportRequest>()->send();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_store->hasObjectForKey("__PULSELastDeviceInfo"); }));
    m_clock.advance(1.0);
    std::make_shared<push::PULSEUserDeviceReportRequest>()->send();
    platform::Device::current().setSystemVersion("99.1");
    push::PULSEClientController::sharedClient().setSystemVersion("99.1");
    std::make_shared<push::PULSEUserDeviceReportRequest>()->send();
    ASSERT_TRUE(waitItems("device_info", 2));
    EXPECT_EQ(m_reports.itemsOfType("device_info").size(), 2u);

    // Location without Wi-Fi entries.
    push::PULSELocationInfoController info;
    info.addGpsInfo(Dictionary{{"lat", 1.5}, {"lng", 2.5}});
    auto location = std::make_shared<push::PULSELocationReportRequest>();
    location->setLocationInfoController(info);
    location->send();
    ASSERT_TRUE(waitItems("loc_info", 1));
    EXPECT_EQ(m_reports.itemsOfType("loc_info")[0]["wifi"], Value(""));
}

// ---- badge ----

class Badge : public StatsSession {
protected:
    void SetUp() override {
        registerDevice();
        storeChecksRanNow();
        startStats();
        login();
        m_badge = m_stats->badgeNumberManager();
    }
    bool waitBadges(std::size_t count) {
        return hybtest::runMainUntil([&] { return m_reports.badges().size() >= count && !m_badge->isSendingLock(); });
    }
    std::shared_ptr<push::PULSEBadgeNumberController> m_badge;
};

TEST_F(Badge, ARepeatedValueWhilePendingSendsOneReport) {
    m_reports.scriptUserStatuses({500});
    m_badge->setBadge(5);
    m_badge->setBadge(5);
    ASSERT_TRUE(waitBadges(1));
    EXPECT_TRUE(m_badge->badgeReport()); // 500 keeps the report
    EXPECT_EQ(countLines("warning:badge:5 inner error failed"), 1);

    m_badge->setBadge(6);
    ASSERT_TRUE(waitBadges(2));
    EXPECT_EQ(m_reports.badges(), (std::vector<std::int64_t>{5, 6}));
    EXPECT_FALSE(m_badge->badgeReport()); // 200 forgets it
    EXPECT_EQ(countLines("set badge:6 succeed"), 1);

    m_reports.scriptUserStatuses({400});
    m_badge->setBadge(-3);
    ASSERT_TRUE(waitBadges(3));
    EXPECT_EQ(m_reports.badges().back(), 0);
    EXPECT_FALSE(m_badge->badgeReport());
}

TEST_F(Badge, AReportWhoseReplyIsLostArrivesOnce) {
    m_reports.scriptUserStatuses({testsupport::PushReportServer::kCloseWithoutReply});
    ASSERT_TRUE(testsupport::keepAConnectionAlive(m_reports.userURL()));
    m_badge->setBadge(8);
    ASSERT_TRUE(waitBadges(1));
    EXPECT_EQ(m_reports.badges(), std::vector<std::int64_t>{8});
}

TEST_F(Badge, ReSendsAfter40100200And300SecondsThenStops) {
    m_reports.scriptUserStatuses({503, 503, 503, 503, 503});
    m_badge->setBadge(7);
    ASSERT_TRUE(waitBadges(1));
    auto report = m_badge->badgeReport();
    ASSERT_TRUE(report);
    const double delays[] = {40, 100, 200, 300};
    for (std::size_t i = 0; i < 4; ++i) {
        m_badge->startDelaySendBadge(report);
        advanceLoggedIn(delays[i] - 1);
        EXPECT_EQ(m_reports.badges().size(), i + 1);
        advanceLoggedIn(1.0);
        ASSERT_TRUE(waitBadges(i + 2));
    }
    m_badge->startDelaySendBadge(report);
    EXPECT_EQ(countLines("send badge count too more"), 1);
    EXPECT_EQ(countLines("warning:badge:7 default error:503"), 5);

    // A newer value stops the older report's re-sends, and an answer for the old report changes nothing.
    m_badge->setBadge(8);
    ASSERT_TRUE(waitBadges(6));
    m_badge->startDelaySendBadge(report);
    advanceLoggedIn(400.0);
    EXPECT_EQ(m_reports.badges().size(), 6u);
}

TEST_F(Badge, APendingValueOutlivesTheBackground) {
    m_reports.scriptUserStatuses({500});
    m_badge->setBadge(9);
    ASSERT_TRUE(waitBadges(1));
    m_stats->reportInactive(now());
    EXPECT_EQ(m_store->objectForKey("pulse_user_default_badge_number"), platform::ArchiveValue(9));
    m_stats->prepareActive(now());
    ASSERT_TRUE(waitBadges(2));
    EXPECT_EQ(m_reports.badges(), (std::vector<std::int64_t>{9, 9}));
    m_stats->reportInactive(now());
    EXPECT_FALSE(m_store->hasObjectForKey("pulse_user_default_badge_number"));
}

} // namespace
