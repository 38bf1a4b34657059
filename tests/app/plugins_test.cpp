// The application carries every plug-in: after registerPlugins each class is made by its name.
#include "app/Plugins.h"
#include "platform/HeadlessWebView.h"
#include "runtime/HYBPlugin.h"

#include <gtest/gtest.h>

TEST(PluginsTest, EveryPluginOfTheApplicationIsMadeByItsName)
{
    app::registerPlugins();
    app::registerPlugins(); // a second call changes nothing
    for (const char* name : {"HYBCache", "Cache", "HYBLocalStorage", "HYBFile", "HYBFileTransfer", "ZMDeploy", "Preference", "HYBDevice",
                             "HYBLocation", "HYBConnection", "Diagnostic", "HYBKeychain", "AppleAdvertising", "LaunchNavigator",
                             "MessengerPayPlugin", "HYBSplashScreen", "ActionSheet", "PickerViewPlugin", "DatePicker",
                             "HYBKeyboard", "HYBBarcodeScanner"}) {
        auto plugin = runtime::HYBPluginClassRegistry::shared().create(name, platform::HeadlessWebView::create());
        ASSERT_NE(plugin, nullptr) << name;
        EXPECT_EQ(plugin->className(), std::string(name) == "Cache" ? "HYBCache" : name);
    }
}
