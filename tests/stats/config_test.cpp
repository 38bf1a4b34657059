#include "StatsTest.h"

#include "platform/runloop/DispatchQueue.h"

#include <atomic>

using namespace stats;
using namespace statstest;

namespace {

using ConfigTest = StatsTest;

TEST_F(ConfigTest, StartsFromTheDefaults) {
    MXStatConfig& config = MXStatConfig::getInstance();
    config.setReportStrategy(7);
    config.setAppkey("changed");
    config.resetToDefaults();

    EXPECT_FALSE(config.debugEnable());
    EXPECT_EQ(config.sessionTimeoutSecs(), 30u);
    EXPECT_EQ(config.reportStrategy(), 3);
    EXPECT_EQ(config.appkey(), std::nullopt);
    EXPECT_EQ(config.channel(), std::optional<std::string>("appstore"));
    EXPECT_EQ(config.maxStoreEventCount(), 1024u);
    EXPECT_EQ(config.maxLoadEventCount(), 30u);
    EXPECT_EQ(config.minBatchReportCount(), 30u);
    EXPECT_EQ(config.maxSendRetryCount(), 3u);
    EXPECT_EQ(config.sendPeriodMinutes(), 1440u);
    EXPECT_EQ(config.maxParallelTimingEvents(), 1024u);
    EXPECT_TRUE(config.smartReporting());
    EXPECT_TRUE(config.autoExceptionCaught());
    EXPECT_EQ(config.maxReportEventLength(), 4096u);
    EXPECT_EQ(config.accountType(), 0);
    EXPECT_TRUE(config.statEnable());
    EXPECT_EQ(config.maxSessionStatReportCount(), -1);
    for (const auto& text : {config.im(), config.account(), config.accountExt(), config.customerUserID(),
                             config.customerAppVersion(), config.ifa(), config.pushDeviceToken(), config.statReportURL(),
                             config.op(), config.cn(), config.sp()})
        EXPECT_EQ(text, std::nullopt);
    EXPECT_FALSE(config.crashCallback());
}

TEST_F(ConfigTest, CustomPropertiesComeFromTheOnlineConfigurationElseTheDefault) {
    MXStatConfig& config = MXStatConfig::getInstance();
    EXPECT_EQ(config.getCustomProperty("color", "blue"), platform::Value("blue"));
    config.setAppPropertySource([](const std::string& key) {
        return key == "color" ? platform::Value("red") : platform::Value();
    });
    EXPECT_EQ(config.getCustomProperty("color", "blue"), platform::Value("red"));
    EXPECT_EQ(config.getCustomProperty("size", 3), platform::Value(3));
}

// One queue writes the settings while three others read them: every read sees a whole value.
TEST_F(ConfigTest, SettingsWrittenOnOneQueueReadWholeOnThreeOthers) {
    MXStatConfig& config = MXStatConfig::getInstance();
    const std::string longKey(200, 'k');
    auto writer = platform::DispatchQueue::createSerial("stats.test.writer");
    std::vector<std::shared_ptr<platform::DispatchQueue>> readers;
    for (int i = 0; i < 3; ++i)
        readers.push_back(platform::DispatchQueue::createSerial("stats.test.reader" + std::to_string(i)));

    std::atomic<int> torn{0};
    constexpr int kRounds = 300;
    for (int round = 0; round < kRounds; ++round) {
        writer->async([&config, &longKey, round] {
            config.setAppkey(round % 2 ? longKey : std::string("short"));
            config.setReportStrategy(round % 7 + 1);
            config.setPushDeviceToken(std::string(static_cast<std::size_t>(round % 50), 't'));
        });
        for (auto& reader : readers) {
            reader->async([&config, &longKey, &torn] {
                const auto key = config.appkey();
                if (key && *key != "short" && *key != longKey)
                    ++torn;
                const std::int32_t strategy = config.reportStrategy();
                if (strategy < 1 || strategy > 7)
                    ++torn;
                const auto token = config.pushDeviceToken();
                if (token && token->find_first_not_of('t') != std::string::npos)
                    ++torn;
            });
        }
    }
    writer->sync([] {});
    for (auto& reader : readers)
        reader->sync([] {});
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(config.appkey(), std::optional<std::string>(longKey));
}

} // namespace
