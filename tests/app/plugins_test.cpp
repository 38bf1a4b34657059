// The application carries every plug-in: after registerPlugins each class is made by its name.
#include "app/Plugins.h"
#include "platform/HeadlessWebView.h"
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
    hybtest::TempHome home;
    EXPECT_FALSE(app::bundleDeclaresPush()) << "no config.xml";
    home.writeBundleFile("config.xml", "<widget><feature name=\"Cache\"><param name=\"ios-package\" value=\"HYBCache\"/></feature></widget>");
    EXPECT_FALSE(app::bundleDeclaresPush());
    home.writeBundleFile("config.xml", "<widget><feature name=\"PulsePlugin\"><param name=\"ios-package\" value=\"PulsePlugin\"/></feature></widget>");
    EXPECT_TRUE(app::bundleDeclaresPush());
    home.writeBundleFile("config.xml", "<widget><feature name=\"PulsePlugin\">");
    EXPECT_FALSE(app::bundleDeclaresPush()) << "a config.xml that does not parse declares nothing";
}
