#include "runtime/HYBApplicationMain.h"

#include "platform/AppFolders.h"
#include "platform/Application.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/RunLoop.h"

#include <cstdio>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace runtime {
namespace {

constexpr const char* kDefaultBundleIdentifier = "org.hybridhost.app";

// Main thread.
AppDelegateFactory& appDelegateFactory() {
    static AppDelegateFactory factory;
    return factory;
}

std::string bundleIdentifierOf(const std::string& bundlePath) {
    auto info = platform::PropertyList::readFile(bundlePath + "/Info.plist");
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

platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath) {
    const platform::FileManager& files = platform::FileManager::defaultManager();
    if (!files.isDirectory(bundlePath))
        return platform::Error("HYBApplication", 1, "No bundle folder at " + bundlePath + ".");
    const std::string config = bundlePath + "/config.xml";
    if (!files.fileExists(config))
        return platform::Error("HYBApplication", 2, "The bundle at " + bundlePath + " has no config.xml.");
    // The view controller would log it and run without plug-ins, answering none of the page's calls.
    std::error_code ignored;
    if (!std::filesystem::is_regular_file(config, ignored) || ::access(config.c_str(), R_OK) != 0)
        return platform::Error("HYBApplication", 3, "The bundle's config.xml at " + config + " is not a readable file.");
    platform::AppFolders folders(homePath.empty() ? platform::AppFolders::defaultHome(bundleIdentifierOf(bundlePath)) : homePath,
                                 bundlePath);
    if (platform::Status made = folders.createFolders(); !made)
        return made.error();
    platform::AppFolders::install(folders);

    std::shared_ptr<AppDelegate> delegate;
    if (const AppDelegateFactory& factory = appDelegateFactory())
        delegate = factory();
    if (!delegate)
        delegate = std::make_shared<AppDelegate>();
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
