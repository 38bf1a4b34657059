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
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBCache.h"
#include "runtime/HYBLocalStorage.h"
#include "transfer/HYBFileTransfer.h"

#include "platform/files/AppFolders.h"
#include "platform/text/PercentEscaping.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string_view>

namespace app {

namespace {

bool mapsClass(const runtime::HYBLoadedSettings& settings, std::string_view className)
{
    for (const auto& [service, plugin] : settings.pluginsMap)
        if (const std::string* name = plugin.getString(); name && *name == className)
            return true;
    return false;
}

// Why the bundle's web folder or its start page (config.xml's content src, "index.html" by default)
// cannot be shown; nothing when both are there and can be read. The start page is found as the view controller finds it
// (its path without query or fragment, unescaped, under the web folder; ".." never leaves it). A start
// page given as a URL is not checked.
std::optional<platform::Error> webContentProblem(const std::string& bundlePath, const runtime::HYBLoadedSettings& settings)
{
    if (settings.wwwFolderName.find("://") != std::string::npos || settings.startPage.find("://") != std::string::npos)
        return std::nullopt;
    auto problem = [](std::string what) { return platform::Error("HYBApplication", 6, std::move(what)); };
    const std::string www = bundlePath + "/" + settings.wwwFolderName;
    std::error_code error;
    const auto status = std::filesystem::status(www, error);
    if (!std::filesystem::exists(status))
        return problem("www folder at " + www + ": " + (error && error != std::errc::no_such_file_or_directory ? error.message() : "not found"));
    if (!std::filesystem::is_directory(status))
        return problem("www folder at " + www + ": not a folder");
    if (::access(www.c_str(), X_OK) != 0)
        return problem("www folder at " + www + ": cannot be entered (" + std::strerror(errno) + ")");
    std::string page = settings.startPage.substr(0, settings.startPage.find_first_of("?#"));
    page = platform::removePercentEscapes(page).value_or(page);
    const std::size_t slash = page.rfind('/');
    const std::string name = slash == std::string::npos ? page : page.substr(slash + 1);
    const std::string folder = settings.wwwFolderName + (slash == std::string::npos ? "" : "/" + page.substr(0, slash));
    const std::string where = www + "/" + page;
    const std::string found = platform::AppFolders(std::string(), bundlePath).pathForResource(name, "", folder);
    if (found.empty()) {
        const auto pageStatus = std::filesystem::status(where, error);
        const bool isFolder = std::filesystem::is_directory(pageStatus);
        const bool denied = error == std::errc::permission_denied;
        return problem("start page at " + where + ": " + (page.empty() ? "config.xml's content src names no file" : isFolder ? "a folder, not a file" : denied ? error.message() : "not found"));
    }
    // A FIFO or a device would hold the engine's read (and the load) for good.
    struct stat pageStatus {};
    if (::stat(found.c_str(), &pageStatus) == 0 && !S_ISREG(pageStatus.st_mode))
        return problem("start page at " + where + ": not a regular file");
    // (The web engine reads it as the user the application runs as.)
    if (::access(found.c_str(), R_OK) != 0)
        return problem("start page at " + where + ": cannot be read (" + std::strerror(errno) + ")");
    return std::nullopt;
}

} // namespace

bool bundleDeclaresPush(const runtime::HYBLoadedSettings& settings)
{
    return settings.pluginsMap.contains("pulseplugin");
}

platform::Result<runtime::HYBLoadedSettings> readBundle(const std::string& bundlePath)
{
    auto settings = runtime::readBundleSettings(bundlePath);
    if (!settings)
        return settings.error();
    if (auto identifier = runtime::readBundleIdentifier(bundlePath); !identifier)
        return identifier.error();
    if (std::optional<platform::Error> missing = webContentProblem(bundlePath, *settings))
        return *missing;
    if (bundleDeclaresPush(*settings)) {
        const std::string path = bundlePath + "/PushConfig.plist";
        if (auto config = push::PulsePlugin::readConfig(path); !config)
            return platform::Error("HYBApplication", 4, "PushConfig.plist at " + path + ": " + config.error().localizedDescription());
    }
    if (mapsClass(*settings, "HYBFile")) {
        if (platform::Status usable = files::HYBFile::checkSettings(settings->settings); !usable)
            return platform::Error("HYBApplication", 5,
                                   "config.xml at " + bundlePath + "/config.xml: " + usable.error().localizedDescription());
    }
    return settings;
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
    runtime::setAppDelegateFactory([](const runtime::HYBLoadedSettings& settings) -> std::shared_ptr<runtime::AppDelegate> {
        if (bundleDeclaresPush(settings))
            return std::make_shared<push::PulseAppDelegate>();
        return std::make_shared<runtime::AppDelegate>();
    });
}

} // namespace app
