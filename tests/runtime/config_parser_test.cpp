#include "platform/formats/XMLParser.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBLoadedSettings.h"

#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <filesystem>

using namespace runtime;
using platform::Dictionary;

namespace {

HYBConfigParser parsed(const std::string& body) {
    HYBConfigParser parser;
    EXPECT_TRUE(parser.parseDocument("<?xml version='1.0' encoding='utf-8'?>\n<widget id='x'>" + body + "</widget>"))
        << parser.parseFailure().value_or("");
    return parser;
}

platform::URL url(std::string_view text) {
    return *platform::URL::fromString(text);
}

} // namespace

TEST(HYBConfigParser, DefaultsWithoutElements) {
    HYBConfigParser parser = parsed("");
    EXPECT_EQ(parser.whitelistHosts(), (std::vector<std::string>{"file:///*", "content:///*", "data:///*"}));
    EXPECT_TRUE(parser.pluginsDict().empty());
    EXPECT_TRUE(parser.settings().empty());
    EXPECT_TRUE(parser.startupPluginNames().empty());
    EXPECT_FALSE(parser.startPage());
}

TEST(HYBConfigParser, FeatureParamsMapServicesAndMarkStartupPlugins) {
    HYBConfigParser parser = parsed(R"(
        <feature name="Device">
            <param name="IOS-Package" value="HYBDevice"/>
            <param name="onload" value="true"/>
            <param name="onload" value="TRUE"/>
            <param name="other" onload="TRUE"/>
        </feature>
        <param name="ios-package" value="Orphan"/>
        <feature name="Splash"><param name="ios-package" value="HYBSplash" onload="true"/></feature>
        <feature name="Late"/>
        <platform><param name="ios-package" value="AfterFeatureEnded"/></platform>)");
    EXPECT_EQ(parser.pluginsDict(), (Dictionary{{"device", "HYBDevice"}, {"splash", "HYBSplash"}}));
    // "TRUE" as the onload param's value does not count; the onload attribute ignores case; each
    // qualifying param appends the feature once more.
    EXPECT_EQ(parser.startupPluginNames(), (std::vector<std::string>{"device", "device", "splash"}));
}

TEST(HYBConfigParser, PreferencesAreLowerCasedLaterWinsAndNoValueRemoves) {
    HYBConfigParser parser = parsed(R"(
        <preference name="BackupWebStorage" value="cloud"/>
        <preference name="backupwebstorage" value="local"/>
        <preference name="Gone" value="x"/>
        <preference name="GONE"/>
        <Preference name="CaseMatters" value="x"/>
        <preference name="Escaped" value="a &amp; b"/>)");
    EXPECT_EQ(parser.settings(), (Dictionary{{"backupwebstorage", "local"}, {"escaped", "a & b"}}));
}

TEST(HYBConfigParser, AccessAndContent) {
    HYBConfigParser parser = parsed(R"(<access origin="*.Example.com"/><content src="start.html"/>)");
    EXPECT_EQ(parser.whitelistHosts().back(), "*.Example.com");
    EXPECT_EQ(parser.startPage(), "start.html");
    EXPECT_FALSE(parsed(R"(<content src="start.html"/><content/>)").startPage())
        << "a content element without src clears the start page";
}

TEST(HYBConfigParser, ElementsWithoutTheirNameAreSkippedWithALogLine) {
    hybtest::LogCapture log;
    HYBConfigParser parser = parsed(R"(
        <preference value="x"/>
        <access/>
        <feature><param name="ios-package" value="Nameless"/></feature>
        <feature name="F"><param value="x" onload="true"/></feature>
        <feature name="G"><param name="ios-package"/></feature>)");
    EXPECT_TRUE(parser.settings().empty());
    EXPECT_EQ(parser.whitelistHosts().size(), 3u);
    EXPECT_TRUE(parser.pluginsDict().empty());
    EXPECT_TRUE(parser.startupPluginNames().empty());
    EXPECT_EQ(log.lines().size(), 4u);
}

TEST(HYBConfigParser, MalformedDocumentGivesTheFailureTextWithItsPosition) {
    HYBConfigParser parser;
    EXPECT_FALSE(parser.parseDocument("<widget>\n  <preference name='a'>\n</widget>"));
    ASSERT_TRUE(parser.parseFailure());
    EXPECT_TRUE(parser.parseFailure()->starts_with("config.xml parse error line 3 col ")) << *parser.parseFailure();
    HYBConfigParser empty;
    EXPECT_FALSE(empty.parseDocument(""));

    // A document past one of the reader's bounds names the bound, where the element that passes it ends
    // its start tag (where the markup that is too long starts).
    std::string attributes = "<preference";
    for (int i = 0; i <= platform::XMLParser::kMaxAttributes; ++i)
        attributes += " a" + std::to_string(i) + "=\"\"";
    std::string nested;
    for (int level = 0; level < 3; ++level) {
        nested += "<a";
        for (int i = 0; i < platform::XMLParser::kMaxNamespacesInScope / 2; ++i)
            nested += " xmlns:p" + std::to_string(level) + "x" + std::to_string(i) + "=\"u\"";
        nested += ">\n";
    }
    const std::pair<std::string, std::string> bounds[] = {
        {"<widget>\n" + attributes + "/>\n</widget>", "config.xml parse error line 2 col " + std::to_string(attributes.size() + 1) +
                                                          ": too many attributes on an element: 257 (at most 256)"},
        {"<widget>\n" + nested, "config.xml parse error line 4 col " + std::to_string(nested.size() / 3 - 1) +
                                    ": too many namespace declarations in scope: 384 (at most 256)"},
        {"<widget>\n  <preference name=\"" + std::string(2 * platform::XMLParser::kMaxMarkupBytes, 'n') + "\"/></widget>",
         "config.xml parse error line 2 col 3: markup longer than 65536 bytes"},
        {"<!DOCTYPE widget [<!ENTITY e \"x\">]><widget/>", "config.xml parse error line 1 col 33: entity declarations are not supported: e"},
    };
    for (const auto& [text, failure] : bounds) {
        HYBConfigParser bounded;
        EXPECT_FALSE(bounded.parseDocument(text));
        ASSERT_TRUE(bounded.parseFailure());
        EXPECT_EQ(*bounded.parseFailure(), failure);
    }
}

TEST(HYBLoadedSettings, TakesOverTheParserWithDefaults) {
    HYBLoadedSettings loaded = HYBLoadedSettings::fromParser(parsed(""));
    EXPECT_EQ(loaded.startPage, "index.html");
    EXPECT_EQ(loaded.wwwFolderName, "www");
    ASSERT_TRUE(loaded.whitelist);
    EXPECT_TRUE(loaded.whitelist->URLIsAllowed(url("file:///app/www/index.html"), false));
    EXPECT_TRUE(loaded.whitelist->URLIsAllowed(url("data:text/html,x"), false));
    EXPECT_FALSE(loaded.whitelist->URLIsAllowed(url("http://example.com/"), false));

    loaded = HYBLoadedSettings::fromParser(parsed(R"(<content src="main.html#top"/><access origin="example.com"/>)"));
    EXPECT_EQ(loaded.startPage, "main.html#top");
    EXPECT_TRUE(loaded.whitelist->URLIsAllowed(url("http://example.com/"), false));
}

TEST(HYBLoadedSettings, SettingNamesIgnoreCase) {
    HYBLoadedSettings loaded = HYBLoadedSettings::fromParser(parsed(R"(<preference name="BackupWebStorage" value="local"/>)"));
    EXPECT_EQ(loaded.settingForKey("BACKUPWEBSTORAGE"), "local");
    EXPECT_FALSE(loaded.settingForKey("ErrorUrl"));
    loaded.setSetting("cloud", "backupWebStorage");
    EXPECT_EQ(loaded.settings, (Dictionary{{"backupwebstorage", "cloud"}}));
}

class LoadSettingsTest : public hybtest::TempHomeTest {};

TEST_F(LoadSettingsTest, ReadsTheBundlesConfigXml) {
    m_home.writeBundleFile("config.xml",
                           R"(<widget><feature name="Device"><param name="ios-package" value="HYBDevice" onload="true"/></feature></widget>)");
    std::optional<HYBLoadedSettings> loaded = HYBLoadedSettings::loadSettings();
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->pluginsMap, (Dictionary{{"device", "HYBDevice"}}));
    EXPECT_EQ(loaded->startupPluginNames, std::vector<std::string>{"device"});
}

// A broken bundle is the user's to mend, not a crash: the fixed text and exit status 1, never an abort.
TEST_F(LoadSettingsTest, MissingFileStopsWithItsFixedTextAndStatusOne) {
    EXPECT_EXIT((void)HYBLoadedSettings::loadSettings(), ::testing::ExitedWithCode(1),
                "Internal-consistency failure: ERROR: config.xml does not exist. Please run "
                "hybrid-ios/bin/hybrid_plist_to_config_xml path/to/project.");
}

TEST_F(LoadSettingsTest, MalformedFilesStopWithTheirPositionAndStatusOne) {
    const std::string randomBytes("\x8f\x01\xff<\x00\x13\xfe\x7f", 8);
    for (const std::string& text : {std::string("<widget>\n<preference name='a' value='b'>\n"), std::string(),
                                    std::string("plain text, not a document"), randomBytes,
                                    std::string("<widget><preference name=\"a value=\"b\"/></widget>")}) {
        m_home.writeBundleFile("config.xml", text);
        EXPECT_EXIT((void)HYBLoadedSettings::loadSettings(), ::testing::ExitedWithCode(1),
                    "config.xml parse error line [0-9]+ col [0-9]+")
            << "config.xml: " << text;
    }
}

TEST_F(LoadSettingsTest, UnreadableFileIsLoggedAndGivesNothing) {
    std::string path = m_home.folders().configXml();
    std::filesystem::create_directories(path);
    hybtest::LogCapture log;
    EXPECT_FALSE(HYBLoadedSettings::loadSettings(path));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to initialize XML parser."});
}
