#include "platform/system/Locale.h"
#include "platform/system/PreferredLanguages.h"
#include "platform/system/TimeZone.h"
#include "platform/system/UserDefaults.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>

using namespace platform;

namespace {

class TimeZoneTest : public ::testing::Test {
protected:
    TimeZoneTest() {
        if (const char* tz = std::getenv("TZ"))
            m_previous = tz;
    }
    ~TimeZoneTest() override {
        TimeZone::setSystemName(std::nullopt);
        if (m_previous)
            ::setenv("TZ", m_previous->c_str(), 1);
        else
            ::unsetenv("TZ");
    }
    std::optional<std::string> m_previous;
};

TEST_F(TimeZoneTest, NameFromTheSettingTheEnvironmentOrTheSystem) {
    ::setenv("TZ", ":Europe/Berlin", 1);
    EXPECT_EQ(TimeZone::systemName(), "Europe/Berlin");
    ::setenv("TZ", "/usr/share/zoneinfo/Asia/Shanghai", 1);
    EXPECT_EQ(TimeZone::systemName(), "Asia/Shanghai");
    ::setenv("TZ", "CST-8", 1);
    EXPECT_EQ(TimeZone::systemName(), "CST-8");
    TimeZone::setSystemName("America/New_York");
    EXPECT_EQ(TimeZone::systemName(), "America/New_York");
    TimeZone::setSystemName(std::nullopt);
    ::unsetenv("TZ");
    EXPECT_FALSE(TimeZone::systemName().empty());
}

TEST_F(TimeZoneTest, DescriptionHasTheAbbreviationAndTheOffsetOfTheMoment) {
    TimeZone::setSystemName("Asia/Shanghai");
    EXPECT_EQ(TimeZone::description(1700000000), "Asia/Shanghai (CST) offset 28800");
    TimeZone::setSystemName("Europe/Berlin");
    EXPECT_EQ(TimeZone::description(1700000000), "Europe/Berlin (CET) offset 3600");   // November
    EXPECT_EQ(TimeZone::description(1690000000), "Europe/Berlin (CEST) offset 7200");  // July
    TimeZone::setSystemName("No/Such_Zone");
    EXPECT_EQ(TimeZone::description(1700000000), "No/Such_Zone (UTC) offset 0");
}

class PreferredLanguagesTest : public hybtest::TempHomeTest {
protected:
    ~PreferredLanguagesTest() override { Locale::resetToEnvironment(); }
};

TEST_F(PreferredLanguagesTest, TheUserDefaultsArrayElseTheLocale) {
    Locale::setCurrentIdentifier("pt_BR");
    EXPECT_EQ(preferredLanguages(), std::vector<std::string>{"pt-BR"});
    ASSERT_TRUE(UserDefaults::standard().set(kAppleLanguagesKey, Array{"zh-Hans", "en"}).ok());
    EXPECT_EQ(preferredLanguages(), (std::vector<std::string>{"zh-Hans", "en"}));
    for (const Value& bad : {Value(Array{}), Value(Array{"en", 1}), Value("en")}) {
        ASSERT_TRUE(UserDefaults::standard().set(kAppleLanguagesKey, bad).ok());
        EXPECT_EQ(preferredLanguages(), std::vector<std::string>{"pt-BR"});
    }
}

} // namespace
