#include "app/Plugins.h"

#include "deploy/ZMDeploy.h"
#include "files/HYBFile.h"
#include "messenger/MessengerPayPlugin.h"
#include "plugins/ActionSheet.h"
#include "plugins/AppleAdvertising.h"
#include "plugins/DatePicker.h"
#include "plugins/HYBCamera.h"
#include "plugins/Diagnostic.h"
#include "plugins/HYBBarcodeScanner.h"
#include "plugins/HYBConnection.h"
#include "plugins/HYBDevice.h"
#include "plugins/HYBInAppBrowser.h"
#include "plugins/HYBKeyboard.h"
#include "plugins/HYBKeychain.h"
#include "plugins/HYBLocation.h"
#include "plugins/HYBSplashScreen.h"
#include "plugins/LaunchNavigator.h"
#include "plugins/PickerViewPlugin.h"
#include "plugins/Preference.h"
#include "push/PulseAppDelegate.h"
#include "push/PulsePlugin.h"
#include "platform/Bundle.h"
#include "platform/XMLParser.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBCache.h"
#include "runtime/HYBConfigParser.h"
#include "runtime/HYBLocalStorage.h"
#include "transfer/HYBFileTransfer.h"

namespace app {

bool bundleDeclaresPush()
{
    const std::string path = platform::Bundle::main().pathForResource("config", "xml");
    std::optional<platform::XMLParser> reader;
    if (!path.empty())
        reader = platform::XMLParser::fromFile(path);
    runtime::HYBConfigParser config;
    // A config.xml that cannot be read is the view controller's to report; it declares nothing here.
    return reader && config.parseDocument(*reader) && config.pluginsDict().contains("pulseplugin");
}

void registerPlugins()
{
    runtime::HYBCache::registerClass();
    runtime::HYBLocalStorage::registerClass();
    files::HYBFile::registerClass();
    transfer::HYBFileTransfer::registerClass();
    deploy::ZMDeploy::registerClass();
    plugins::Preference::registerClass();
    plugins::HYBDevice::registerClass();
    plugins::HYBLocation::registerClass();
    plugins::HYBConnection::registerClass();
    plugins::Diagnostic::registerClass();
    plugins::HYBKeychain::registerClass();
    plugins::AppleAdvertising::registerClass();
    plugins::LaunchNavigator::registerClass();
    plugins::HYBSplashScreen::registerClass();
    plugins::ActionSheet::registerClass();
    plugins::HYBBarcodeScanner::registerClass();
    plugins::PickerViewPlugin::registerClass();
    plugins::DatePicker::registerClass();
    plugins::HYBKeyboard::registerClass();
    plugins::HYBInAppBrowser::registerClass();
    plugins::HYBCamera::registerClass();
    messenger::MessengerPayPlugin::registerClass();
    push::PulsePlugin::registerClass();
    runtime::setAppDelegateFactory([]() -> std::shared_ptr<runtime::AppDelegate> {
        if (bundleDeclaresPush())
            return std::make_shared<push::PulseAppDelegate>();
        return std::make_shared<runtime::AppDelegate>();
    });
}

} // namespace app
