#include "runtime/HYBConfigParser.h"
#include "runtime/HYBLoadedSettings.h"

#include "LogCapture.h"

#include <gtest/gtest.h>

using namespace runtime;
using platform::Dictionary;
using platform::Value;
using runtime::testing::LogCapture;

namespace {

void element(HYBConfigParser& parser, std::string_view name, Dictionary attributes = {}) {
    parser.didStartElement(name, attributes);
    parser.didEndElement(name);
}

} // namespace

TEST(HYBConfigParser, DefaultsBeforeAnyElement) {
    HYBConfigParser parser;
    EXPECT_EQ(parser.whitelistHosts(), (std::vector<std::string>{"file:///*", "content:///*", "data:///*"}));
    EXPECT_TRUE(parser.pluginsDict().empty());
    EXPECT_TRUE(parser.settings().empty());
    EXPECT_TRUE(parser.startupPluginNames().empty());
    EXPECT_FALSE(parser.startPage());
}

TEST(HYBConfigParser, FeatureParamsMapServicesAndMarkStartupPlugins) {
    HYBConfigParser parser;
    parser.didStartElement("feature", Dictionary{{"name", "Device"}});
    element(parser, "param", Dictionary{{"name", "IOS-Package"}, {"value", "HYBDevice"}});
    element(parser, "param", Dictionary{{"name", "onload"}, {"value", "true"}});
    element(parser, "param", Dictionary{{"name", "onload"}, {"value", "TRUE"}});
    element(parser, "param", Dictionary{{"name", "other"}, {"onload", "TRUE"}});
    parser.didEndElement("feature");
    element(parser, "param", Dictionary{{"name", "ios-package"}, {"value", "Orphan"}});
    parser.didStartElement("feature", Dictionary{{"name", "Splash"}});
    element(parser, "param", Dictionary{{"name", "ios-package"}, {"value", "HYBSplash"}, {"onload", "true"}});
    parser.didEndElement("feature");

    EXPECT_EQ(parser.pluginsDict(), (Dictionary{{"device", "HYBDevice"}, {"splash", "HYBSplash"}}));
    // "TRUE" as the onload param's value does not count; the onload attribute ignores case; each
    // qualifying param appends the feature once more.
    EXPECT_EQ(parser.startupPluginNames(), (std::vector<std::string>{"device", "device", "splash"}));
}

TEST(HYBConfigParser, PreferencesAreLowerCasedLaterWinsAndNoValueRemoves) {
    HYBConfigParser parser;
    element(parser, "preference", Dictionary{{"name", "BackupWebStorage"}, {"value", "cloud"}});
    element(parser, "preference", Dictionary{{"name", "backupwebstorage"}, {"value", "local"}});
    element(parser, "preference", Dictionary{{"name", "Gone"}, {"value", "x"}});
    element(parser, "preference", Dictionary{{"name", "GONE"}});
    element(parser, "Preference", Dictionary{{"name", "CaseMatters"}, {"value", "x"}});
    EXPECT_EQ(parser.settings(), (Dictionary{{"backupwebstorage", "local"}}));
}

TEST(HYBConfigParser, AccessAndContent) {
    HYBConfigParser parser;
    element(parser, "access", Dictionary{{"origin", "*.Example.com"}});
    element(parser, "content", Dictionary{{"src", "start.html"}});
    EXPECT_EQ(parser.whitelistHosts().back(), "*.Example.com");
    EXPECT_EQ(parser.startPage(), "start.html");
    element(parser, "content");
    EXPECT_FALSE(parser.startPage()) << "a content element without src clears the start page";
}

TEST(HYBConfigParser, ElementsWithoutTheirNameAreSkippedWithALogLine) {
    LogCapture log;
    HYBConfigParser parser;
    element(parser, "preference", Dictionary{{"value", "x"}});
    element(parser, "access");
    parser.didStartElement("feature", Dictionary{});
    element(parser, "param", Dictionary{{"name", "ios-package"}, {"value", "Nameless"}});
    parser.didEndElement("feature");
    parser.didStartElement("feature", Dictionary{{"name", "F"}});
    element(parser, "param", Dictionary{{"value", "x"}, {"onload", "true"}});
    parser.didEndElement("feature");

    EXPECT_TRUE(parser.settings().empty());
    EXPECT_EQ(parser.whitelistHosts().size(), 3u);
    EXPECT_TRUE(parser.pluginsDict().empty());
    EXPECT_TRUE(parser.startupPluginNames().empty());
    EXPECT_EQ(log.lines().size(), 4u);
}

TEST(HYBLoadedSettings, TakesOverTheParserWithDefaults) {
    HYBConfigParser parser;
    HYBLoadedSettings loaded = HYBLoadedSettings::fromParser(parser);
    EXPECT_EQ(loaded.startPage, "index.html");
    EXPECT_EQ(loaded.wwwFolderName, "www");
    ASSERT_TRUE(loaded.whitelist);
    EXPECT_TRUE(loaded.whitelist->URLIsAllowed(*platform::URL::fromString("file:///app/www/index.html"), false));
    EXPECT_TRUE(loaded.whitelist->URLIsAllowed(*platform::URL::fromString("data:text/html,x"), false));
    EXPECT_FALSE(loaded.whitelist->URLIsAllowed(*platform::URL::fromString("http://example.com/"), false));

    element(parser, "content", Dictionary{{"src", "main.html#top"}});
    element(parser, "access", Dictionary{{"origin", "example.com"}});
    loaded = HYBLoadedSettings::fromParser(parser);
    EXPECT_EQ(loaded.startPage, "main.html#top");
    EXPECT_TRUE(loaded.whitelist->URLIsAllowed(*platform::URL::fromString("http://example.com/"), false));
}

TEST(HYBLoadedSettings, SettingNamesIgnoreCase) {
    HYBConfigParser parser;
    element(parser, "preference", Dictionary{{"name", "BackupWebStorage"}, {"value", "local"}});
    HYBLoadedSettings loaded = HYBLoadedSettings::fromParser(parser);
    EXPECT_EQ(loaded.settingForKey("BACKUPWEBSTORAGE"), "local");
    EXPECT_FALSE(loaded.settingForKey("ErrorUrl"));
    loaded.setSetting("cloud", "backupWebStorage");
    EXPECT_EQ(loaded.settings, (Dictionary{{"backupwebstorage", "cloud"}}));
}
