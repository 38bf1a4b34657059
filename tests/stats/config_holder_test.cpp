#include "StoreTest.h"
#include "stats/MXStatConfig.h"
#include "stats/MXStatDataConfigHolder.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatHelper.h"
#include "support/RunLoopWait.h"
#include "support/StatsCollector.h"

#include "platform/formats/JSON.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <fstream>

using namespace stats;
using platform::Dictionary;
using platform::Value;

namespace {

Dictionary record(const Dictionary& content, Value version, std::string md5 = "x") {
    return Dictionary{{"c", content}, {"v", std::move(version)}, {"m", std::move(md5)}};
}

Dictionary sdkReply(const Dictionary& content, Value version) {
    return Dictionary{{"ret", 0}, {"cfg", Dictionary{{"1", record(content, std::move(version))}}}};
}

class ConfigHolderTest : public statstest::StoreTest {
protected:
    ConfigHolderTest() {
        platform::Reachability::setOverrideFlags(statstest::kWiFiFlags);
        MXStatHelper::getInstance().setMSTEnableFlag(true); // as the client's start leaves it
        makeHolder();
    }
    ~ConfigHolderTest() override {
        // Nothing may still write into the home that goes away.
        m_holder->queue()->sync([] {});
        drain();
        MXStatHelper::getInstance().setMSTEnableFlag(false);
        MXStatHelper::getInstance().setConfigHolder({});
        MXStatDispatcher::setResolver({});
    }

    void makeHolder() {
        m_holder = MXStatDataConfigHolder::create(m_store);
        m_holder->setErrorReporter([this](const std::string& error) {
            std::lock_guard lock(m_mutex);
            m_reported.push_back(error);
        });
        m_holder->setSpeedTest([this](const std::string& targets) {
            std::lock_guard lock(m_mutex);
            m_speedOrders.push_back(targets);
        });
    }
    std::vector<std::string> configRows() {
        drain();
        statstest::Database db(databasePath());
        return db.column("select type || ':' || version || ':' || md5sum || ':' || content from config order by type");
    }

    std::shared_ptr<MXStatDataConfigHolder> m_holder;
    std::mutex m_mutex;
    std::vector<std::string> m_reported;
    std::vector<std::string> m_speedOrders;
};

} // namespace

TEST_F(ConfigHolderTest, AReplyThroughTheUploadMovesTheConfigurationForwardOnly) {
    testsupport::StatsCollector collector;
    MXStatConfig::getInstance().setStatReportURL(collector.url());
    MXStatHelper::getInstance().setConfigHolder(m_holder);
    MXStatConfig::getInstance().setDebugEnable(true);
    auto dispatcher = MXStatDispatcher::create();
    const auto upload = [&](const Dictionary& reply) {
        collector.setReply(testsupport::StatsCollector::jsonReply(Value(reply)));
        std::atomic<int> result{-1};
        dispatcher->send({MXStatStoreEvent{1, R"({"idx":1,"ts":1,"si":1,"mid":"none","et":0})"}},
                         [&](MXStatUploadOutcome outcome, const std::vector<MXStatStoreEvent>&) {
                             result = outcome == MXStatUploadOutcome::Sent;
                         });
        EXPECT_TRUE(hybtest::runMainUntil([&] { return result != -1; }));
        drain();
        return result == 1;
    };

    ASSERT_TRUE(upload(sdkReply({{"rs", 2}}, 2)));
    EXPECT_EQ(MXStatConfig::getInstance().reportStrategy(), 2);
    ASSERT_TRUE(upload(sdkReply({{"rs", 1}}, 3)));
    EXPECT_EQ(MXStatConfig::getInstance().reportStrategy(), 1);
    EXPECT_EQ(configRows(), std::vector<std::string>{R"(1:3:x:{"rs":1})"});

    // The same reply again, and an older one, change nothing.
    MXStatConfig::getInstance().setReportStrategy(5);
    ASSERT_TRUE(upload(sdkReply({{"rs", 1}}, 3)));
    ASSERT_TRUE(upload(sdkReply({{"rs", 4}}, 1)));
    EXPECT_EQ(MXStatConfig::getInstance().reportStrategy(), 5);
    EXPECT_TRUE(m_log.contains("[WARN]Local has version:3 for config:1, while remote has version:1"));

    // A failed upload's configuration and a reply that carries "mid" are not read.
    Dictionary failed = sdkReply({{"rs", 6}}, 9);
    failed.set("ret", 1);
    EXPECT_FALSE(upload(failed));
    Dictionary withMid = sdkReply({{"rs", 6}}, 9);
    withMid.set("mid", "m");
    ASSERT_TRUE(upload(withMid));
    EXPECT_EQ(MXStatConfig::getInstance().reportStrategy(), 5);
    EXPECT_EQ(m_holder->getConfig(1)->version, 3u);
    EXPECT_EQ(collector.problems(), std::vector<std::string>{});

    // Sessions report the versions held.
    Dictionary event;
    m_holder->encode(event);
    EXPECT_EQ(event["cfg"], Value(Dictionary{{"1", Dictionary{{"v", 3}}}, {"2", Dictionary{}}}));

    // A new holder on the same file applies the stored record again.
    MXStatConfig::getInstance().setReportStrategy(5);
    makeHolder();
    EXPECT_EQ(MXStatConfig::getInstance().reportStrategy(), 1);
    EXPECT_EQ(m_holder->getConfig(1)->version, 3u);
}

TEST_F(ConfigHolderTest, SDKKeysSwitchStrategyHibernationAndTheKillSwitch) {
    MXStatConfig& config = MXStatConfig::getInstance();
    const std::int32_t strategy = config.reportStrategy();
    m_holder->updateOnlineConfig(sdkReply({{"rs", 0}}, 1));
    m_holder->updateOnlineConfig(sdkReply({{"rs", "3"}}, 2));
    EXPECT_EQ(config.reportStrategy(), strategy);

    m_holder->updateOnlineConfig(sdkReply({{"__HIBERNATE__", "1.4.5"}}, 3));
    EXPECT_TRUE(config.statEnable());
    m_holder->updateOnlineConfig(sdkReply({{"__HIBERNATE__", 2}}, 4));
    EXPECT_TRUE(config.statEnable());
    m_holder->updateOnlineConfig(sdkReply({{"__HIBERNATE__", "1.4.10"}}, 5)); // numeric, not textual
    EXPECT_FALSE(config.statEnable());
    config.setStatEnable(true);
    m_holder->updateOnlineConfig(sdkReply({{"__HIBERNATE__", "1.4.6"}}, 6));
    EXPECT_FALSE(config.statEnable());

    auto& helper = MXStatHelper::getInstance();
    m_holder->updateOnlineConfig(sdkReply({{"__MST_KILL__", "1.4.6"}}, 7));
    m_holder->updateOnlineConfig(sdkReply({{"__MST_KILL__", Dictionary{{"sv", "1.4.5"}, {"av", 2.1}}}}, 8));
    EXPECT_TRUE(helper.MSTEnableFlag());
    m_holder->updateOnlineConfig(sdkReply({{"__MST_KILL__", Dictionary{{"av", "2.1"}}}}, 9));
    EXPECT_FALSE(helper.MSTEnableFlag());
    helper.setMSTEnableFlag(true);
    m_holder->updateOnlineConfig(sdkReply({{"__MST_KILL__", Dictionary{{"sv", "1.4.6"}}}}, 10));
    EXPECT_FALSE(helper.MSTEnableFlag());

    // "md" names the device model ("iPhone"), not the machine.
    helper.setMSTEnableFlag(true);
    const MXStatEnv& env = helper.getEnv();
    ASSERT_NE(env.devicename, env.modulename);
    m_holder->updateOnlineConfig(sdkReply({{"__MST_KILL__", Dictionary{{"md", env.devicename}}}}, 11));
    EXPECT_TRUE(helper.MSTEnableFlag());
    m_holder->updateOnlineConfig(sdkReply({{"__MST_KILL__", Dictionary{{"md", env.modulename}}}}, 12));
    EXPECT_FALSE(helper.MSTEnableFlag());

    // Speed-test orders go to the holder's queue; empty ones and other types do not.
    m_holder->updateOnlineConfig(sdkReply({{"__MST_TEST_SPEED__", ""}}, 13));
    m_holder->updateOnlineConfig(sdkReply({{"__MST_TEST_SPEED__", 1}}, 14));
    m_holder->updateOnlineConfig(sdkReply({{"__MST_TEST_SPEED__", ";;"}}, 15));
    m_holder->queue()->sync([] {});
    std::lock_guard lock(m_mutex);
    EXPECT_EQ(m_speedOrders, std::vector<std::string>{";;"});
}

TEST_F(ConfigHolderTest, MalformedRecordsAreLoggedAndIgnored) {
    struct Case {
        const char* name;
        Value cfg;
        const char* logged; // nullptr: refused silently
    };
    const std::vector<Case> cases = {
        {"cfg not an object", Value("x"), nullptr},
        {"record not an object", Dictionary{{"1", 5}}, nullptr},
        {"no c", Dictionary{{"1", Dictionary{{"v", 1}, {"m", "x"}}}}, nullptr},
        {"no v", Dictionary{{"1", Dictionary{{"c", Dictionary{}}, {"m", "x"}}}}, nullptr},
        {"no m", Dictionary{{"1", Dictionary{{"c", Dictionary{}}, {"v", 1}}}}, nullptr},
        {"c text", Dictionary{{"1", record({}, 1)}}, nullptr},
        {"c an array", Dictionary{{"1", Dictionary{{"c", platform::Array{}}, {"v", 1}, {"m", "x"}}}},
         "Not NSDictionary for decoded config content:NSArray"},
        {"v text", Dictionary{{"1", Dictionary{{"c", Dictionary{}}, {"v", "1"}, {"m", "x"}}}},
         "Not NSDictionary for decoded config version:NSString"},
        {"m number", Dictionary{{"1", Dictionary{{"c", Dictionary{}}, {"v", 1}, {"m", 7}}}},
         "Not NSDictionary for decoded config md5:NSNumber"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        m_log.clear();
        m_holder->updateOnlineConfig(Dictionary{{"cfg", c.cfg}});
        if (c.logged) {
            EXPECT_TRUE(m_log.contains(c.logged));
            EXPECT_TRUE(m_log.contains("[ERROR]Failed to decode config for "));
        }
    }
    // The "c text" case above is a valid empty record with version 1; versions out of range are defined.
    const auto versionOf = [](Value v) {
        MXStatDataConfig config;
        EXPECT_TRUE(config.decode(record({}, std::move(v))));
        return config.version;
    };
    EXPECT_EQ(versionOf(-1), 4294967295u);
    EXPECT_EQ(versionOf(3.9), 3u);
    EXPECT_EQ(versionOf(4294967298LL), 2u);
    EXPECT_EQ(versionOf(1e30), 0u);

    // Content that is not an object is reported as an error event.
    m_holder->setConfig({1, "not json", "x", 50});
    m_holder->setConfig({2, "[1]", "x", 51});
    std::lock_guard lock(m_mutex);
    ASSERT_EQ(m_reported.size(), 2u);
    EXPECT_EQ(m_reported[0].rfind("Decode response config JSON error :", 0), 0u);
    EXPECT_EQ(m_reported[1], "Not NSDictionary for decoded response config object:NSArray");
}

TEST_F(ConfigHolderTest, ApplicationPropertiesComeFromTheApplicationRecord) {
    m_holder->updateOnlineConfig(Dictionary{{"cfg", Dictionary{{"2", record({{"color", "red"}}, 4)}}}});
    EXPECT_EQ(m_holder->getAppProperty("color"), Value("red"));
    EXPECT_TRUE(m_holder->getAppProperty("size").isNull());
    EXPECT_FALSE(m_holder->getConfig(7).has_value());
    Dictionary event;
    m_holder->encode(event);
    EXPECT_EQ(event["cfg"], Value(Dictionary{{"1", Dictionary{}}, {"2", Dictionary{{"v", 4}}}}));
}

namespace {

// A loopback listener, and a port where nothing listens.
struct Ports {
    Ports() {
        listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(::listen(listener, 8), 0);
        socklen_t length = sizeof address;
        ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
        open = ntohs(address.sin_port);
        const int other = ::socket(AF_INET, SOCK_STREAM, 0);
        address.sin_port = 0;
        EXPECT_EQ(::bind(other, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        length = sizeof address;
        ::getsockname(other, reinterpret_cast<sockaddr*>(&address), &length);
        closed = ntohs(address.sin_port);
        ::close(other);
    }
    ~Ports() { ::close(listener); }
    int listener = -1;
    int open = 0;
    int closed = 0;
};

} // namespace

TEST_F(ConfigHolderTest, SpeedTestTimesEachTargetInOrder) {
    EXPECT_EQ(MXStatDispatcher::splitSpeedString("a,80;b,8080"), (std::vector<std::string>{"http://a:80", "http://b:8080"}));
    EXPECT_EQ(MXStatDispatcher::splitSpeedString(";;"), std::vector<std::string>{});
    EXPECT_EQ(MXStatDispatcher::splitSpeedString("h"), std::vector<std::string>{"http://h"});

    Ports ports;
    std::vector<std::string> asked;
    std::mutex askedMutex;
    MXStatDispatcher::setResolver([&](const std::string& host) -> std::optional<std::string> {
        std::lock_guard lock(askedMutex);
        asked.push_back(host);
        return host == "nowhere" ? std::nullopt : std::optional<std::string>("127.0.0.1");
    });
    const std::string targets = "a," + std::to_string(ports.open) + ";b," + std::to_string(ports.closed) + ";nowhere,80";
    MXStatDispatcher::speedTest(targets);
    EXPECT_EQ(asked, (std::vector<std::string>{"a", "b", "nowhere"}));
    auto results = platform::JSON::parse(MXStatConfig::getInstance().sp().value_or(""));
    ASSERT_TRUE(results.ok());
    ASSERT_EQ(results->arrayOrEmpty().size(), 3u);
    const Value& up = (*results)[0];
    EXPECT_EQ(up["dm"], Value("a"));
    EXPECT_EQ(up["pt"], Value(ports.open));
    EXPECT_EQ(up["rip"], Value("127.0.0.1"));
    EXPECT_EQ(up["st"], Value(0));
    EXPECT_GE(up["tm"].integerValue(), 0);
    EXPECT_TRUE(up["ts"].isInteger());
    EXPECT_EQ((*results)[1]["st"], Value(-1));
    EXPECT_EQ((*results)[2]["st"], Value(-1));
    EXPECT_TRUE((*results)[2]["rip"].isNull());
    EXPECT_EQ(MXStatConfig::getInstance().cn(), std::optional<std::string>("WIFI"));

    // Targets that make no URL with a host and a port give -1 without a connection.
    for (const char* bad : {",80", "a,b,c", "h,99999"}) {
        SCOPED_TRACE(bad);
        const auto urls = MXStatDispatcher::splitSpeedString(bad);
        ASSERT_EQ(urls.size(), 1u);
        EXPECT_EQ(MXStatDispatcher::taSocket(urls[0]).st, -1);
    }
    EXPECT_EQ(asked.size(), 3u);

    // Many targets: only the first few are tested.
    std::string many;
    for (int i = 0; i < 1000; ++i)
        many += "nowhere,80;";
    MXStatDispatcher::speedTest(many);
    EXPECT_EQ(asked.size(), 3u + MXStatDispatcher::kMaxSpeedTargets);
}

TEST_F(ConfigHolderTest, AResolutionThatNeverAnswersGivesUpAfterTenSecondsWithoutSignals) {
    struct sigaction before {};
    ASSERT_EQ(sigaction(SIGALRM, nullptr, &before), 0);
    // Shared with the resolver thread, which may still be waking up after the test ends.
    struct Gate {
        std::mutex mutex;
        std::condition_variable released;
        bool release = false;
        std::atomic<bool> entered{false};
    };
    auto gate = std::make_shared<Gate>();
    MXStatDispatcher::setResolver([gate](const std::string&) -> std::optional<std::string> {
        gate->entered = true;
        std::unique_lock lock(gate->mutex);
        gate->released.wait(lock, [&] { return gate->release; });
        return std::string("127.0.0.1");
    });
    std::optional<MXStatTestSpeed> result;
    std::atomic<bool> done{false};
    m_holder->queue()->async([&] {
        result = MXStatDispatcher::taSocket("http://slow:80");
        done = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return gate->entered.load(); }));
    m_clock.advance(9.0);
    EXPECT_FALSE(done.load());
    m_clock.advance(1.0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return done.load(); }));
    EXPECT_EQ(result->st, -1);
    EXPECT_FALSE(result->rip.has_value());
    {
        std::lock_guard lock(gate->mutex);
        gate->release = true;
    }
    gate->released.notify_all();
    struct sigaction after {};
    ASSERT_EQ(sigaction(SIGALRM, nullptr, &after), 0);
    EXPECT_EQ(before.sa_handler, after.sa_handler);
}

TEST_F(ConfigHolderTest, TheSpeedTestEventGoesOutWithALaterBatch) {
    Ports ports;
    MXStatDispatcher::setResolver([](const std::string&) { return std::optional<std::string>("127.0.0.1"); });
    m_holder->setSpeedTest({});
    m_holder->updateOnlineConfig(sdkReply({{"__MST_TEST_SPEED__", "local," + std::to_string(ports.open)}}, 1));
    m_holder->queue()->sync([] {});
    drain();
    statstest::Database db(databasePath());
    auto rows = db.events();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].status, 1);
    EXPECT_EQ(m_store->storedEventCount(), 1u); // the store counts it at once
    auto event = platform::JSON::parse(rows[0].content.value_or(""));
    ASSERT_TRUE(event.ok());
    EXPECT_EQ((*event)["et"], Value(1004));
    EXPECT_NE((*event)["sp"].stringOr("").find("\"st\":0"), std::string::npos);

    storeEventAt(1700000000);
    m_dispatcher->setAnswer(true);
    m_store->sendCachedEvents(-1);
    drain();
    ASSERT_EQ(m_dispatcher->batches().size(), 1u);
    EXPECT_EQ(m_dispatcher->batches()[0].size(), 2u);

    // Without a network nothing is measured or stored.
    platform::Reachability::setOverrideFlags(statstest::kNoNetworkFlags);
    m_holder->runSpeedTest("local,80");
    EXPECT_TRUE(m_log.contains("taSocket event since no active network."));
}

TEST_F(ConfigHolderTest, AfterARebuildTheHolderWritesWhereTheStoreDoes) {
    Ports ports;
    MXStatDispatcher::setResolver([](const std::string&) { return std::optional<std::string>("127.0.0.1"); });
    ASSERT_TRUE(m_holder->getDB());
    storeEventAt(1000);
    {
        std::fstream file(databasePath(), std::ios::in | std::ios::out | std::ios::binary);
        for (int i = 0; i < 200; ++i)
            file.put(static_cast<char>(0xA5));
    }
    storeEventAt(2000); // meets the damage: the file is made again
    storeEventAt(2001);
    ASSERT_TRUE(m_log.contains("is damaged"));
    m_holder->runSpeedTest("local," + std::to_string(ports.open));
    storeEventAt(2002);
    drain();
    // The event after the damage, the speed test's and the next one, all in the one file.
    std::vector<std::string> found;
    for (const auto& row : statstest::Database(databasePath()).events()) {
        auto event = platform::JSON::parse(row.content.value_or(""));
        ASSERT_TRUE(event.ok());
        const std::int64_t type = (*event)["et"].integerValue();
        found.push_back(type == 1004 ? "speed" : std::to_string(row.ts));
    }
    EXPECT_EQ(found, (std::vector<std::string>{"2001", "speed", "2002"}));
    EXPECT_EQ(m_store->storedEventCount(), 3u);
    EXPECT_FALSE(m_log.contains("readonly")) << ::testing::PrintToString(m_log.lines());
}
