// The push configuration from its property-list file and from the application's values, with the
// alerts for each refused setting.
#include "PushTest.h"

#include "push/PULSEPushConfigController.h"

#include "platform/core/Log.h"
#include "platform/formats/PropertyList.h"

#include <fstream>

namespace {

using push::PULSEPushConfigController;

class PushConfig : public pushtest::PushTest {
protected:
    std::string writeConfig(const platform::Value& value) {
        const std::string path = m_home.root() + "/PushConfig.plist";
        EXPECT_TRUE(platform::PropertyList::writeFile(value, path, platform::PropertyList::Format::XML).ok());
        return path;
    }
    bool load(platform::Dictionary config) { return m_config.loadWithUrl(writeConfig(platform::Value(std::move(config)))); }
    // Whether a line logged since the mark holds the text.
    bool loggedContaining(const std::string& text) const {
        auto lines = logLines();
        for (std::size_t i = m_mark; i < lines.size(); ++i)
            if (lines[i].find(text) != std::string::npos)
                return true;
        return false;
    }
    void mark() { m_mark = logLines().size(); }

    PULSEPushConfigController m_config;
    std::size_t m_mark = 0;
};

TEST_F(PushConfig, FileKeyIsStoredLowerCasedWithTheDefaultChannel) {
    EXPECT_TRUE(load({{"APP_KEY", "AbC123"}}));
    EXPECT_EQ(m_config.applicationKey(), "abc123");
    EXPECT_EQ(m_config.pushChanel(), std::string(1, '\x10'));
    push::PULSEClientController::sharedClient().setPushConfig(std::make_shared<PULSEPushConfigController>(m_config));
    EXPECT_EQ(push::PULSEClientController::sharedClient().pushChannel(), "\x10");

    PULSEPushConfigController withChannel;
    ASSERT_TRUE(withChannel.loadWithUrl(writeConfig(platform::Value(platform::Dictionary{{"APP_KEY", "k"}, {"CHANNEL", "store"}}))));
    EXPECT_EQ(withChannel.pushChanel(), "store");
    PULSEPushConfigController emptyChannel;
    ASSERT_TRUE(emptyChannel.loadWithUrl(writeConfig(platform::Value(platform::Dictionary{{"APP_KEY", "k"}, {"CHANNEL", ""}}))));
    EXPECT_EQ(emptyChannel.pushChanel(), "\x10");
    PULSEPushConfigController numberChannel;
    ASSERT_TRUE(numberChannel.loadWithUrl(writeConfig(platform::Value(platform::Dictionary{{"APP_KEY", "k"}, {"CHANNEL", 7}}))));
    EXPECT_EQ(numberChannel.pushChanel(), "\x10");
}

TEST_F(PushConfig, RefusedFilesAndKeysAlertWithTheirMessage) {
    EXPECT_FALSE(m_config.loadWithUrl(std::nullopt));
    EXPECT_TRUE(loggedContaining("Pulse ERROR\n配置文件不存在。"));
    EXPECT_TRUE(loggedContaining(push::kPULSEDeveloperGuideAddress));

    EXPECT_FALSE(m_config.loadWithUrl(m_home.root() + "/missing.plist"));
    EXPECT_TRUE(loggedContaining("Pulse ERROR\n配置文件错误。"));
    {
        std::ofstream(m_home.root() + "/garbage.plist") << "not a property list";
    }
    EXPECT_FALSE(m_config.loadWithUrl(m_home.root() + "/garbage.plist"));
    EXPECT_FALSE(load({}));
    EXPECT_FALSE(m_config.loadWithUrl(writeConfig(platform::Value(platform::Array{platform::Value("APP_KEY")}))));

    mark();
    EXPECT_FALSE(load({{"APP_KEY", ""}}));
    EXPECT_TRUE(loggedContaining("APP_KEY不能为空。"));
    mark();
    EXPECT_FALSE(load({{"CHANNEL", "x"}}));
    EXPECT_TRUE(loggedContaining("APP_KEY不能为空。"));

    mark();
    EXPECT_FALSE(load({{"APP_KEY", "abc-123"}}));
    EXPECT_TRUE(loggedContaining("“abc-123”不是合法的APP_KEY。"));
    mark();
    EXPECT_FALSE(load({{"APP_KEY", 42}}));
    EXPECT_TRUE(loggedContaining("“42”不是合法的APP_KEY。"));
    EXPECT_EQ(m_config.applicationKey(), "");
}

TEST_F(PushConfig, ProductionSettingOfEveryType) {
    struct Case {
        platform::Value value;
        int environment;
    };
    const Case cases[] = {
        {platform::Value("1"), 2},   {platform::Value("0"), 1},    {platform::Value(1), 2},
        {platform::Value(0), 1},     {platform::Value(true), 2},   {platform::Value(false), 1},
        {platform::Value(0.5), 2},   {platform::Value("yes"), 1},  {platform::Value(""), 0},
        {platform::Value(platform::Array{}), 0},
    };
    for (const auto& c : cases) {
        PULSEPushConfigController config;
        ASSERT_TRUE(config.loadWithUrl(writeConfig(platform::Value(platform::Dictionary{{"APP_KEY", "k"}, {"APS_FOR_PRODUCTION", c.value}}))));
        EXPECT_EQ(config.configApsEnvironment(), c.environment) << c.value.description();
    }
    mark();
    ASSERT_TRUE(load({{"APP_KEY", "k"}, {"APS_FOR_PRODUCTION", "production"}}));
    EXPECT_TRUE(loggedContaining("Pulse WARNING\n Unkown string value for APS_FOR_PRODUCTION production"));

    std::vector<std::string> console;
    auto previous = platform::Log::setCaptureHook([&](std::string_view line) { console.emplace_back(line); });
    PULSEPushConfigController absent;
    EXPECT_TRUE(absent.loadWithUrl(writeConfig(platform::Value(platform::Dictionary{{"APP_KEY", "k"}}))));
    platform::Log::setCaptureHook(previous);
    EXPECT_EQ(absent.configApsEnvironment(), 0);
    ASSERT_EQ(console.size(), 1u);
    EXPECT_NE(console[0].find("Unkown value for APS_FOR_PRODUCTION"), std::string::npos);
}

TEST_F(PushConfig, ValuesFromTheApplication) {
    EXPECT_TRUE(m_config.setAppKey("KEY9", std::nullopt, false));
    EXPECT_EQ(m_config.applicationKey(), "key9");
    EXPECT_EQ(m_config.pushChanel(), "\x10");
    EXPECT_EQ(m_config.configApsEnvironment(), 1);

    PULSEPushConfigController production;
    EXPECT_TRUE(production.setAppKey("k", "beta", true));
    EXPECT_EQ(production.pushChanel(), "beta");
    EXPECT_EQ(production.configApsEnvironment(), 2);

    PULSEPushConfigController refused;
    EXPECT_FALSE(refused.setAppKey(std::nullopt, "c", true));
    EXPECT_FALSE(refused.setAppKey("", "c", true));
    EXPECT_FALSE(refused.setAppKey("k k", "c", true));
    EXPECT_TRUE(loggedContaining("“k k”不是合法的APP_KEY。"));
    EXPECT_EQ(refused.configApsEnvironment(), 0);

    EXPECT_TRUE(PULSEPushConfigController::isValidAppKey(platform::Value("")));
    EXPECT_FALSE(PULSEPushConfigController::isValidAppKey(platform::Value("é")));
    EXPECT_FALSE(PULSEPushConfigController::isValidAppKey(platform::Value()));
}

} // namespace
