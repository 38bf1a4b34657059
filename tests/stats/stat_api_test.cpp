#include "StatsTest.h"
#include "support/RunLoopWait.h"

#include "stats/MXStat.h"
#include "stats/MXStatDataConfigHolder.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatKeyChain.h"

#include "support/StatsCollector.h"

#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

#include <cstdlib>
#include <ctime>
#include <thread>

using namespace stats;
using namespace statstest;

namespace {

using Events = std::vector<std::shared_ptr<MXStatEvent>>;

class StatApiTest : public StatsTest {
protected:
    StatApiTest() {
        MXStat::resetForTesting();
        platform::Reachability::setOverrideFlags(kNoNetworkFlags);
        MXStat::setEventSinkForTesting([this](std::shared_ptr<MXStatEvent> event) {
            std::lock_guard lock(m_mutex);
            m_events.push_back(std::move(event));
        });
    }
    ~StatApiTest() override {
        MXStat::resetForTesting();
        MXStatHelper::getInstance().setMSTEnableFlag(false);
        MXStatHelper::getInstance().setConfigHolder({});
        if (m_savedTZ)
            ::setenv("TZ", m_savedTZ->c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }

    Events events() const {
        std::lock_guard lock(m_mutex);
        return m_events;
    }
    void clearEvents() {
        std::lock_guard lock(m_mutex);
        m_events.clear();
    }
    template <class T>
    std::vector<std::shared_ptr<T>> eventsOf() const {
        std::vector<std::shared_ptr<T>> found;
        for (const auto& event : events())
            if (auto typed = std::dynamic_pointer_cast<T>(event))
                found.push_back(typed);
        return found;
    }
    std::size_t sessionStarts() const { return eventsOf<MXStatSessionEnv>().size(); }
    void useTimeZone(const char* tz) {
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    void start() { MXStat::startWithAppkey(std::string("KEY")); }
    MXStatConfig& config() { return MXStatConfig::getInstance(); }

    mutable std::mutex m_mutex;
    Events m_events;
    std::optional<std::string> m_savedTZ = std::getenv("TZ") ? std::optional<std::string>(std::getenv("TZ")) : std::nullopt;
};

TEST_F(StatApiTest, TheCacheBeforeStartKeeps128EventsInOrderAndFlushesThemBeforeTheFirstEventAfterStart) {
    config().setSessionTimeoutSecs(0); // every time-out-checked touch starts a session
    for (int i = 0; i < 129; ++i)
        MXStat::startNewSession();
    EXPECT_TRUE(events().empty()) << "nothing is queued before the start";
    EXPECT_TRUE(m_log.contains("[WARN]MST's init method is NOT invoked."));
    EXPECT_TRUE(m_log.contains("[ERROR]Too many cached sending events befor MST started."));

    config().setSessionTimeoutSecs(30);
    start();
    EXPECT_TRUE(events().empty()) << "the start's touch came too soon for a session";
    MXStat::trackError(std::string("after start"));
    const Events queued = events();
    ASSERT_EQ(queued.size(), 129u);
    for (std::size_t i = 1; i < 128; ++i)
        EXPECT_LT(queued[i - 1]->eventIndex, queued[i]->eventIndex) << "in the order they came, at " << i;
    for (std::size_t i = 0; i < 128; ++i)
        EXPECT_EQ(queued[i]->getType(), MXStatEventTypeSessionEnv);
    auto last = std::dynamic_pointer_cast<MXStatErrorEvent>(queued.back());
    ASSERT_TRUE(last);
    EXPECT_EQ(last->error, std::optional<std::string>("after start"));
}

TEST_F(StatApiTest, ConcurrentCallersBeforeStartCannotOverfillTheCache) {
    config().setSessionTimeoutSecs(0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 100; ++i)
                MXStat::startNewSession();
        });
    for (auto& thread : threads)
        thread.join();
    config().setSessionTimeoutSecs(30);
    start();
    MXStat::trackError(std::string("after start"));
    EXPECT_EQ(events().size(), 129u) << "128 cached and the one after start";
}

TEST_F(StatApiTest, StartingTwiceJoinsTheKeysAndEmptyKeysAreRefused) {
    MXStat::startWithAppkey(std::nullopt);
    MXStat::startWithAppkey(std::string());
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to start mst sdk with nil/empty appkey."));
    EXPECT_FALSE(config().appkey());
    MXStat::startWithAppkey(std::string("A"));
    MXStat::startWithAppkey(std::string("B"));
    EXPECT_EQ(config().appkey(), std::optional<std::string>("A|B"));
    EXPECT_EQ(sessionStarts(), 1u);
    EXPECT_EQ(MXStat::getTaskQueue()->label(), "MessengerAnalysis");
}

// Every start used to add its key again: an application that starts on every page, or a key from
// outside, made the list (carried by every event) grow without end.
TEST_F(StatApiTest, TheJoinedKeysHoldEachKeyOnceAndStayBounded) {
    for (int i = 0; i < 100; ++i) {
        MXStat::startWithAppkey(std::string("A"));
        MXStat::startWithAppkey(std::string("B"));
    }
    EXPECT_EQ(config().appkey(), std::optional<std::string>("A|B"));
    MXStat::startWithAppkey(std::string("A|C"));
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to start mst sdk: the appkey holds \"|\"."));
    const std::string fits(MXStat::kMaxAppkeysLength - 4, 'k'); // "A|B|" before it
    MXStat::startWithAppkey(fits);
    EXPECT_EQ(config().appkey()->size(), MXStat::kMaxAppkeysLength);
    MXStat::startWithAppkey(std::string("D"));
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to start mst sdk: the appkeys would be 1026 bytes long, more than 1024."));
    EXPECT_EQ(config().appkey(), "A|B|" + fits);
}

TEST_F(StatApiTest, ASdkVersionNewerThanTheClientsIsRefusedAndSwitchesStatisticsOff) {
    EXPECT_TRUE(MXStat::startWithAppkey(std::string("A"), "1.4.6"));
    EXPECT_TRUE(MXStat::startWithAppkey(std::string("B"), "1.4.5"));
    EXPECT_FALSE(MXStat::startWithAppkey(std::string("C"), "1.10.0"));
    EXPECT_TRUE(m_log.contains("[ERROR]Current SDK's version 1.4.6 is lower than expected 1.10.0, use latest MST SDK instead."));
    EXPECT_FALSE(config().statEnable());
    EXPECT_EQ(config().appkey(), std::optional<std::string>("A|B"));
}

TEST_F(StatApiTest, PageViewsLastAtLeastOneSecondAndNameTheirReferrer) {
    start();
    MXStat::trackPageViewBegin(std::string("home"));
    EXPECT_EQ(MXStat::getInstance().mstCurrentPage(), std::optional<std::string>("home"));
    MXStat::trackPageViewEnd(std::string("home"));
    EXPECT_FALSE(MXStat::getInstance().mstCurrentPage());
    MXStat::trackDirectPageViewBegin(std::string("cart"), std::string("other-key"));
    m_clock.advance(5);
    MXStat::trackDirectPageViewEnd(std::string("cart"), std::string("other-key"), true);

    auto views = eventsOf<MXStatPageView>();
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[0]->page, std::optional<std::string>("home"));
    EXPECT_EQ(views[0]->duration, 1u) << "ended in the second it began";
    EXPECT_FALSE(views[0]->refer);
    EXPECT_EQ(views[1]->page, std::optional<std::string>("cart"));
    EXPECT_EQ(views[1]->refer, std::optional<std::string>("home"));
    EXPECT_EQ(views[1]->duration, 5u);
    EXPECT_EQ(views[1]->appkey, std::optional<std::string>("other-key"));
    EXPECT_TRUE(views[1]->isRealTime);
    EXPECT_EQ(views[1]->sid, MXStat::currentSessionId());
    EXPECT_EQ(MXStat::getInstance().lastPage(), std::optional<std::string>("cart"));
}

TEST_F(StatApiTest, PageViewMistakesAreLoggedAndReportNothing) {
    start();
    clearEvents();
    MXStat::trackPageViewBegin(std::nullopt);
    MXStat::trackPageViewEnd(std::string());
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to trace nil/empty page."));
    MXStat::trackDirectPageViewEnd(std::string("never"));
    EXPECT_TRUE(m_log.contains("[ERROR]NULL entry for page:never"));
    MXStat::trackDirectPageViewBegin(std::string("twice"));
    MXStat::trackDirectPageViewBegin(std::string("twice"));
    EXPECT_TRUE(m_log.contains("[ERROR]Duplicate entry page twice"));
    config().setMaxParallelTimingEvents(1);
    MXStat::trackDirectPageViewBegin(std::string("third"));
    EXPECT_TRUE(m_log.contains("[ERROR]Too many parallel page events in memory."));
    EXPECT_TRUE(events().empty());
}

TEST_F(StatApiTest, ATimeOutCheckedTouchStartsASessionAtExactlyTheTimeOut) {
    start();
    const std::uint32_t first = MXStat::currentSessionId();
    EXPECT_EQ(sessionStarts(), 1u);
    m_clock.advance(29);
    MXStat::startNewSession();
    EXPECT_EQ(sessionStarts(), 1u) << "29 s is within the time-out";
    m_clock.advance(30);
    MXStat::startNewSession(true);
    ASSERT_EQ(sessionStarts(), 2u) << "30 s after the last activity";
    EXPECT_NE(MXStat::currentSessionId(), first);
    auto env = eventsOf<MXStatSessionEnv>().back();
    EXPECT_EQ(env->sid, MXStat::currentSessionId());
    EXPECT_TRUE(env->isRealTime);

    m_clock.advance(3600);
    MXStat::trackError(std::string("late"));
    EXPECT_EQ(sessionStarts(), 2u) << "touches without the check never time out";
    MXStat::stopSession();
    MXStat::startNewSession();
    EXPECT_EQ(sessionStarts(), 3u) << "after stopSession the next checked touch starts one";
}

TEST_F(StatApiTest, TheFirstTouchAtLocalMidnightStartsASessionWithoutTheTimeOutCheck) {
    // The clock starts at 2023-11-14 22:13:20 UTC: 07:13:20 in UTC+9, so local midnight is 60,400 s on.
    useTimeZone("JST-9");
    start();
    ASSERT_EQ(sessionStarts(), 1u);
    for (int i = 0; i < 60399 / 1000; ++i) {
        m_clock.advance(1000);
        MXStat::trackError(std::string("busy"));
    }
    m_clock.advance(60399 - (60399 / 1000) * 1000);
    MXStat::trackError(std::string("just before"));
    EXPECT_EQ(sessionStarts(), 1u);
    m_clock.advance(1);
    MXStat::trackError(std::string("at midnight"));
    ASSERT_EQ(sessionStarts(), 2u);
    EXPECT_EQ(eventsOf<MXStatErrorEvent>().back()->sid, eventsOf<MXStatSessionEnv>().back()->sid);
}

TEST_F(StatApiTest, MidnightFollowsTheLocalTimeZone) {
    useTimeZone("EST5"); // 17:13:20 local: midnight is 24,400 s on
    start();
    m_clock.advance(24399);
    MXStat::trackError(std::string("evening"));
    EXPECT_EQ(sessionStarts(), 1u);
    m_clock.advance(1);
    MXStat::trackError(std::string("midnight"));
    EXPECT_EQ(sessionStarts(), 2u);
}

TEST_F(StatApiTest, TimedCustomEventsUseTheirArgumentsAsTheTimerKey) {
    EXPECT_EQ(MXStat::customTimerKey("e", platform::Array{"a", "b"}), "e[ab");
    EXPECT_EQ(MXStat::customTimerKey("e", std::nullopt), "e[");
    EXPECT_EQ(MXStat::keyValueTimerKey("e", platform::Dictionary{{"k", "v"}, {"n", 2}}), "e{kvn2");

    start();
    clearEvents();
    MXStat::trackCustomEventBegin(std::string("e"), platform::Array{"a", "b"});
    MXStat::trackCustomEventBegin(std::string("e"), platform::Array{"a", "b"});
    EXPECT_TRUE(m_log.contains("[ERROR]Duplicate key e[ab for event_id:e"));
    m_clock.advance(7);
    MXStat::trackCustomEventEnd(std::string("e"), platform::Array{"a", "c"});
    EXPECT_TRUE(m_log.contains("[ERROR]NULL key e[ac for event_id:e"));
    MXStat::trackCustomEventEnd(std::string("e"), platform::Array{"a", "b"});
    auto custom = eventsOf<MXStatCustomEvent>();
    ASSERT_EQ(custom.size(), 1u);
    EXPECT_EQ(custom[0]->eventID, std::optional<std::string>("e"));
    EXPECT_EQ(custom[0]->duration, 7u);
    EXPECT_EQ(custom[0]->args, std::optional<platform::Array>(platform::Array{"a", "b"}));
}

TEST_F(StatApiTest, KeyValueTimersTakeValuesOfEveryKind) {
    start();
    clearEvents();
    platform::Dictionary props{{"s", "text"},
                               {"i", 42},
                               {"d", 1.5},
                               {"b", true},
                               {"z", platform::Value()},
                               {"a", platform::Array{1, "x"}},
                               {"o", platform::Dictionary{{"k", "v"}}},
                               {"t", platform::Date{1.0}},
                               {"y", platform::Bytes{1, 2, 3}}};
    MXStat::trackCustomKeyValueEventBegin(std::string("kv"), props);
    MXStat::trackCustomKeyValueEventEnd(std::string("kv"), props);
    auto custom = eventsOf<MXStatCustomEvent>();
    ASSERT_EQ(custom.size(), 1u);
    EXPECT_EQ(custom[0]->duration, 1u);
    EXPECT_EQ(custom[0]->kvs, std::optional<platform::Dictionary>(props));
    EXPECT_EQ(MXStat::keyValueTimerKey("kv", props).rfind("kv{stexti42d1.5b1z", 0), 0u);
}

TEST_F(StatApiTest, CustomEventMistakesAreLoggedAndReportNothing) {
    start();
    clearEvents();
    MXStat::trackCustomEventEnd(std::string("e"), std::nullopt);
    EXPECT_FALSE(m_log.contains("[ERROR]NULL key")) << "no begin ever ran: silent";
    MXStat::trackCustomEvent(std::nullopt, std::nullopt);
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to trace nil event_id."));
    MXStat::trackCustomEventBegin(std::string(), std::nullopt);
    MXStat::trackCustomKeyValueEvent(std::nullopt, std::nullopt);
    MXStat::trackCustomKeyValueEventDuration(3, std::string(), std::nullopt);
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to trace nil/empty event_id."));
    MXStat::trackCustomKeyValueEventDuration(0, std::string("d"), std::nullopt);
    EXPECT_TRUE(m_log.contains("[ERROR] event:d duration should not be zero"));
    config().setMaxParallelTimingEvents(0);
    MXStat::trackCustomEventBegin(std::string("full"), std::nullopt);
    EXPECT_TRUE(m_log.contains("[ERROR]Too many parallel events in memory."));
    MXStat::trackError(std::string());
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to trace nil/empty error."));
    MXStat::trackException(std::nullopt);
    EXPECT_TRUE(m_log.contains("[ERROR]Failed to trace nil exception."));
    MXStat::reportAppMonitorStat(std::make_shared<MXStatAppMonitorStat>());
    EXPECT_TRUE(m_log.contains("[ERROR]Invalid arguments for reportAppMonitorStat:NULL stat object or null interface name in stat object."));
    MXStat::trackGameUser(std::nullopt, std::string("w"), std::string("l"));
    EXPECT_TRUE(m_log.contains("[ERROR]Invalid arguments for trackGameUser: null uid."));
    EXPECT_TRUE(events().empty());

    // An empty id passes the plain custom event.
    MXStat::trackCustomEvent(std::string(), std::nullopt);
    EXPECT_EQ(eventsOf<MXStatCustomEvent>().size(), 1u);
}

TEST_F(StatApiTest, TheSessionLimitDropsEventsUntilTheNextSession) {
    config().setMaxSessionStatReportCount(2);
    start(); // the session's environment is its first event
    MXStat::trackCustomEvent(std::string("second"), std::nullopt);
    MXStat::trackCustomEvent(std::string("third"), std::nullopt);
    EXPECT_EQ(events().size(), 2u);
    m_clock.advance(30);
    MXStat::startNewSession();
    MXStat::trackCustomEvent(std::string("again"), std::nullopt);
    MXStat::trackCustomEvent(std::string("dropped"), std::nullopt);
    auto custom = eventsOf<MXStatCustomEvent>();
    ASSERT_EQ(custom.size(), 2u);
    EXPECT_EQ(custom[0]->eventID, std::optional<std::string>("second"));
    EXPECT_EQ(custom[1]->eventID, std::optional<std::string>("again"));
    EXPECT_EQ(sessionStarts(), 2u);
}

TEST_F(StatApiTest, ConcurrentCallsShareOneSessionCounter) {
    config().setMaxSessionStatReportCount(101);
    start();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([] {
            for (int i = 0; i < 60; ++i)
                MXStat::trackCustomKeyValueEvent(std::string("burst"), std::nullopt);
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(eventsOf<MXStatCustomEvent>().size(), 100u);
    EXPECT_EQ(sessionStarts(), 1u);
    for (const auto& event : events())
        EXPECT_EQ(event->sid, MXStat::currentSessionId());
}

TEST_F(StatApiTest, AnExceptionCarriesAFreshSessionIdAndLeavesTheSessionAlone) {
    start();
    const std::uint32_t sid = MXStat::currentSessionId();
    m_clock.advance(1); // the id generator is seeded by the second
    MXStat::trackException(MXStatException{"Boom", "went wrong", {"0 main", "1 start"}});
    EXPECT_EQ(MXStat::currentSessionId(), sid);
    auto errors = eventsOf<MXStatErrorEvent>();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0]->sid, sid);
    EXPECT_EQ(errors[0]->attr, 1u);
    EXPECT_EQ(errors[0]->error, std::optional<std::string>("went wrong\n(\n    0 main,\n    1 start\n)"));
    MXStat::trackError(std::string("plain"));
    EXPECT_EQ(eventsOf<MXStatErrorEvent>().back()->attr, 0u);
    EXPECT_EQ(eventsOf<MXStatErrorEvent>().back()->sid, sid);
}

TEST_F(StatApiTest, ReportsOfImAccountMonitorAndGameUsers) {
    start();
    clearEvents();
    MXStat::reportIM(std::string("im-7"));
    EXPECT_EQ(config().im(), std::optional<std::string>("im-7"));
    EXPECT_EQ(eventsOf<MXStatAdditionEvent>().size(), 1u) << "the IM forces an addition";
    MXStat::trackCustomEvent(std::string("c"), std::nullopt);
    EXPECT_EQ(eventsOf<MXStatAdditionEvent>().size(), 1u) << "the unforced addition goes once";
    MXStat::reportAccount(std::string("acc"), 3, std::string("ext"));
    EXPECT_EQ(config().account(), std::optional<std::string>("acc"));
    EXPECT_EQ(config().accountType(), 3);
    EXPECT_EQ(eventsOf<MXStatAccountEvent>().size(), 1u);
    MXStat::reportAccount(std::nullopt, 0, std::nullopt);
    EXPECT_EQ(eventsOf<MXStatAccountEvent>().size(), 1u) << "no account: no event";
    auto stat = std::make_shared<MXStatAppMonitorStat>();
    stat->interface = "/api";
    MXStat::reportAppMonitorStat(stat);
    ASSERT_EQ(eventsOf<MXStatMonitorStatEvent>().size(), 1u);
    EXPECT_EQ(eventsOf<MXStatMonitorStatEvent>()[0]->stat, stat);
    MXStat::trackGameUser(std::string("u1"), std::nullopt, std::string("9"));
    ASSERT_EQ(eventsOf<MXStatGameUserEvent>().size(), 1u);
    EXPECT_EQ(eventsOf<MXStatGameUserEvent>()[0]->level, std::optional<std::string>("9"));
    MXStat::trackCustomKeyValueEventDuration(12, std::string("timed"), platform::Dictionary{{"k", "v"}});
    EXPECT_EQ(eventsOf<MXStatCustomEvent>().back()->duration, 12u);
}

TEST_F(StatApiTest, ClosedGatesReturnSilently) {
    start();
    clearEvents();
    MXStatHelper::getInstance().setMSTEnableFlag(false);
    MXStat::trackError(std::string("killed"));
    MXStat::trackCustomEvent(std::string("killed"), std::nullopt);
    EXPECT_TRUE(events().empty());
    MXStat::trackDirectPageViewBegin(std::string("p")); // only statEnable guards the direct forms
    MXStat::trackDirectPageViewEnd(std::string("p"));
    EXPECT_EQ(eventsOf<MXStatPageView>().size(), 1u);
    MXStatHelper::getInstance().setMSTEnableFlag(true);
    config().setStatEnable(false);
    MXStat::trackDirectPageViewBegin(std::string("q"));
    MXStat::startNewSession();
    MXStat::trackError(std::string("off"));
    EXPECT_EQ(events().size(), 1u);
}

TEST_F(StatApiTest, TheApplicationsMovesEndAndResumeThePageAndTouchTheSession) {
    start();
    auto& center = platform::NotificationCenter::defaultCenter();
    MXStat::trackPageViewBegin(std::string("home"));
    m_clock.advance(4);
    center.post(platform::kApplicationWillResignActiveNotification);
    auto views = eventsOf<MXStatPageView>();
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0]->duration, 4u);
    EXPECT_EQ(MXStat::getInstance().mstCurrentPage(), std::optional<std::string>("home"));
    center.post(platform::kApplicationDidEnterBackgroundNotification);
    m_clock.advance(60);
    center.post(platform::kApplicationWillEnterForegroundNotification);
    EXPECT_EQ(sessionStarts(), 2u) << "a foreground after the time-out starts a session";
    center.post(platform::kApplicationDidBecomeActiveNotification);
    m_clock.advance(2);
    MXStat::trackPageViewEnd(std::string("home"));
    views = eventsOf<MXStatPageView>();
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[1]->duration, 2u) << "the page began again when the application became active";

    MXStatHelper::nextEventIndex();
    const std::uint64_t index = MXStatHelper::currentIndex();
    center.post(platform::kApplicationWillTerminateNotification);
    auto saved = MXStatKeyChain::load(kMXStatEventIndexKeychainKey);
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->integerValue(), static_cast<std::int64_t>(index));
}

TEST_F(StatApiTest, TheConfigurationHoldersErrorsBecomeErrorEvents) {
    start();
    clearEvents();
    auto holder = MXStatDataConfigHolder::getInstance();
    ASSERT_TRUE(holder);
    MXStatDataConfig record;
    record.type = MXStatDataConfigTypeApp;
    record.content = "[1]";
    record.version = 3;
    holder->setConfig(record);
    auto errors = eventsOf<MXStatErrorEvent>();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]->error, std::optional<std::string>("Not NSDictionary for decoded response config object:NSArray"));
}

TEST_F(StatApiTest, StartingAgainstTheCollectorSendsTheSessionThroughTheWholeClient) {
    MXStat::setEventSinkForTesting({});
    testsupport::StatsCollector collector;
    config().setStatReportURL(collector.url());
    config().setReportStrategy(MXStatReportInstant);
    platform::Reachability::setOverrideFlags(kWiFiFlags);
    start();
    MXStat::trackCustomEvent(std::string("hello"), platform::Array{"x"}, std::nullopt, true);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return collector.events().size() >= 2; }));
    EXPECT_EQ(collector.problems(), std::vector<std::string>{});
    const auto received = collector.events();
    EXPECT_EQ(received[0]["et"].integerValue(), MXStatEventTypeSessionEnv);
    EXPECT_EQ(received[1]["et"].integerValue(), MXStatEventTypeCustom);
    EXPECT_EQ(received[1]["ky"].stringOr(""), "KEY");
    MXStatDispatcher::setResolver({});
}

} // namespace
