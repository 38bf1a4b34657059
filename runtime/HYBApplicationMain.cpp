#include "runtime/HYBApplicationMain.h"

#include "platform/AppFolders.h"
#include "platform/Bundle.h"
#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace runtime {
namespace {

constexpr const char* kDefaultBundleIdentifier = "org.hybridhost.app";

// Main thread.
AppDelegateFactory& appDelegateFactory() {
    static AppDelegateFactory factory;
    return factory;
}

std::string bundleIdentifierOf(const std::string& bundlePath) {
    auto info = platform::PropertyList::readRegularFile(bundlePath + "/Info.plist", platform::Bundle::kMaxPropertyListBytes);
    if (!info.ok() || !info->isDictionary())
        return kDefaultBundleIdentifier;
    const std::string* identifier = (*info->getDictionary())["CFBundleIdentifier"].getString();
    // The identifier names the home folder: one that could name another folder is not used.
    if (!identifier || identifier->empty() || identifier->find('/') != std::string::npos || *identifier == "." || *identifier == "..")
        return kDefaultBundleIdentifier;
    return *identifier;
}

} // namespace

void setAppDelegateFactory(AppDelegateFactory factory) { appDelegateFactory() = std::move(factory); }

platform::Result<HYBLoadedSettings> readBundleSettings(const std::string& bundlePath) {
    std::error_code error;
    const auto status = std::filesystem::status(bundlePath, error);
    if (!std::filesystem::exists(status))
        return platform::Error("HYBApplication", 1, "bundle folder at " + bundlePath + ": not found");
    if (!std::filesystem::is_directory(status))
        return platform::Error("HYBApplication", 1, "bundle folder at " + bundlePath + ": not a folder");
    return HYBLoadedSettings::readFile(bundlePath + "/config.xml");
}

platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath) {
    auto settings = readBundleSettings(bundlePath);
    if (!settings)
        return settings.error();
    return launchApplication(bundlePath, homePath, std::move(*settings));
}

platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath,
                                                                 HYBLoadedSettings settings) {
    platform::AppFolders folders(homePath.empty() ? platform::AppFolders::defaultHome(bundleIdentifierOf(bundlePath)) : homePath,
                                 bundlePath);
    if (platform::Status made = folders.createFolders(); !made)
        return made.error();
    platform::AppFolders::install(folders);

    std::shared_ptr<AppDelegate> delegate;
    if (const AppDelegateFactory& factory = appDelegateFactory())
        delegate = factory(settings);
    if (!delegate)
        delegate = std::make_shared<AppDelegate>();
    delegate->setLaunchSettings(std::move(settings));
    platform::Application::shared().launch(delegate);
    return delegate;
}

int runApplication(const std::string& bundlePath, const std::string& homePath) {
    auto launched = launchApplication(bundlePath, homePath);
    if (!launched.ok()) {
        std::fprintf(stderr, "%s\n", launched.error().localizedDescription().c_str());
        return 1;
    }
    static const int kObserver = 0;
    platform::NotificationCenter::defaultCenter().addObserver(&kObserver, platform::kApplicationWillTerminateNotification, nullptr,
                                                              [](const platform::Notification&) { platform::RunLoop::main().stop(); });
    platform::RunLoop::main().run();
    platform::NotificationCenter::defaultCenter().removeObserver(&kObserver);
    return 0;
}

} // namespace runtime
