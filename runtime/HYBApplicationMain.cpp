#include "runtime/HYBApplicationMain.h"

#include "platform/application/Application.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileError.h"
#include "platform/files/FileManager.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Bundle.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

namespace runtime {
namespace {

// Main thread.
AppDelegateFactory& appDelegateFactory() {
    static AppDelegateFactory factory;
    return factory;
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

platform::Result<std::string> readBundleIdentifier(const std::string& bundlePath) {
    const std::string path = bundlePath + "/Info.plist";
    auto refused = [&](std::string why) { return platform::Error("HYBApplication", 7, "Info.plist at " + path + ": " + why); };
    auto bytes = platform::FileManager::defaultManager().contentsOfRegularFile(path, platform::Bundle::kMaxPropertyListBytes);
    if (!bytes) {
        if (platform::isNoSuchFileError(bytes.error()))
            return std::string(kDefaultBundleIdentifier);
        return refused(bytes.error().localizedDescription());
    }
    auto info = platform::PropertyList::read(std::string_view(reinterpret_cast<const char*>(bytes->data()), bytes->size()));
    if (!info || !info->isDictionary())
        return refused("not a property-list dictionary");
    const platform::Value& value = (*info->getDictionary())["CFBundleIdentifier"];
    if (value.isNull())
        return std::string(kDefaultBundleIdentifier);
    const std::string* identifier = value.getString();
    if (!identifier)
        return refused("CFBundleIdentifier is not a string");
    // The identifier names the home folder, and files in it (the preferences file, log files).
    if (identifier->empty())
        return refused("CFBundleIdentifier is empty");
    if (identifier->size() > kMaxBundleIdentifierBytes)
        return refused("CFBundleIdentifier is " + std::to_string(identifier->size()) + " bytes long, more than the " +
                       std::to_string(kMaxBundleIdentifierBytes) + " that the folder and files named after it leave room for");
    if (*identifier == "." || *identifier == ".." || identifier->find_first_of(std::string_view("/\0", 2)) != std::string::npos)
        return refused("CFBundleIdentifier \"" + *identifier + "\" cannot name a folder");
    return *identifier;
}

platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath) {
    auto settings = readBundleSettings(bundlePath);
    if (!settings)
        return settings.error();
    return launchApplication(bundlePath, homePath, std::move(*settings));
}

platform::Result<std::shared_ptr<AppDelegate>> launchApplication(const std::string& bundlePath, const std::string& homePath,
                                                                 HYBLoadedSettings settings) {
    std::string home = homePath;
    if (home.empty()) {
        auto identifier = readBundleIdentifier(bundlePath);
        if (!identifier)
            return identifier.error();
        home = platform::AppFolders::defaultHome(*identifier);
    }
    platform::AppFolders folders(home, bundlePath);
    if (platform::Status made = folders.createFolders(); !made)
        return platform::Error("HYBApplication", 8, "home folder at " + home + ": " + made.error().localizedDescription());
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
