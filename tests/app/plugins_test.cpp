// The application carries every plug-in: after registerPlugins each class is made by its name.
#include "app/Plugins.h"
#include "platform/HeadlessWebView.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBPlugin.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

TEST(PluginsTest, EveryPluginOfTheApplicationIsMadeByItsName)
{
    app::registerPlugins();
    app::registerPlugins(); // a second call changes nothing
    for (const char* name : {"HYBCache", "Cache", "HYBLocalStorage", "HYBFile", "HYBFileTransfer", "ZMDeploy", "Preference", "HYBDevice",
                             "HYBLocation", "HYBConnection", "Diagnostic", "HYBKeychain", "AppleAdvertising", "LaunchNavigator",
                             "MessengerPayPlugin", "HYBSplashScreen", "ActionSheet", "PickerViewPlugin", "DatePicker",
                             "HYBKeyboard", "HYBBarcodeScanner", "PulsePlugin"}) {
        auto plugin = runtime::HYBPluginClassRegistry::shared().create(name, platform::HeadlessWebView::create());
        ASSERT_NE(plugin, nullptr) << name;
        EXPECT_EQ(plugin->className(), std::string(name) == "Cache" ? "HYBCache" : name);
    }
}

// Bundles that declare push get the push client's application delegate; the others the shell's.
TEST(PluginsTest, OnlyABundleDeclaringThePushServiceAsksForThePushDelegate)
{
    auto settingsOf = [](const std::string& text) {
        runtime::HYBConfigParser parser;
        EXPECT_TRUE(parser.parseDocument(text)) << text;
        return runtime::HYBLoadedSettings::fromParser(parser);
    };
    EXPECT_FALSE(app::bundleDeclaresPush(settingsOf("<widget><feature name=\"Cache\"><param name=\"ios-package\" value=\"HYBCache\"/></feature></widget>")));
    EXPECT_TRUE(app::bundleDeclaresPush(settingsOf("<widget><feature name=\"PulsePlugin\"><param name=\"ios-package\" value=\"PulsePlugin\"/></feature></widget>")));
}

// What a bundle needs before the application starts: its config.xml, the push configuration when it
// declares push, a storage preference the file plug-in can use when it maps that plug-in.
TEST(PluginsTest, ReadingABundleChecksWhatItsPluginsNeedToStart)
{
    hybtest::TempHome home;
    const std::string bundle = home.folders().bundle();
    auto read = [&] {
        auto settings = app::readBundle(bundle);
        return settings.ok() ? std::string("read") : settings.error().localizedDescription();
    };
    EXPECT_EQ(read(), "config.xml at " + bundle + "/config.xml: not found");
    const std::string push = "<feature name=\"PulsePlugin\"><param name=\"ios-package\" value=\"PulsePlugin\"/></feature>";
    home.writeBundleFile("config.xml", "<widget>" + push + "</widget>");
    EXPECT_EQ(read(), "PushConfig.plist at " + bundle + "/PushConfig.plist: not found");
    home.writeBundleFile("PushConfig.plist", "<plist version=\"1.0\"><dict><key>APP_KEY</key><string>k</string></dict></plist>");
    EXPECT_EQ(read(), "read");

    const std::string file = "<feature name=\"File\"><param name=\"ios-package\" value=\"HYBFile\"/></feature>";
    home.writeBundleFile("config.xml", "<widget>" + file + "<preference name=\"iosPersistentFileLocation\" value=\"Library\"/></widget>");
    EXPECT_EQ(read(), "read");
    home.writeBundleFile("config.xml", "<widget>" + file + "<preference name=\"iosPersistentFileLocation\" value=\"elsewhere\"/></widget>");
    EXPECT_EQ(read(), "config.xml at " + bundle + "/config.xml: preference iosPersistentFileLocation is \"elsewhere\", not "
                      "\"library\" or \"compatibility\"");
    // Without the file plug-in the preference concerns nothing.
    home.writeBundleFile("config.xml", "<widget><preference name=\"iosPersistentFileLocation\" value=\"elsewhere\"/></widget>");
    EXPECT_EQ(read(), "read");
}
