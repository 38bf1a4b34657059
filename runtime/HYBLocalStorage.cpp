#include "runtime/HYBLocalStorage.h"

#include "platform/AppFolders.h"
#include "platform/Bundle.h"
#include "platform/Device.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/Notification.h"
#include "platform/NotificationCenter.h"
#include "platform/PropertyList.h"
#include "platform/Text.h"
#include "platform/UserDefaults.h"
#include "runtime/TextCase.h"

namespace runtime {
namespace {

constexpr const char* kNestedFolder = "WebKit/LocalStorage";
constexpr const char* kDatabasePathKeys[] = {"WebKitLocalStorageDatabasePathPreferenceKey", "WebDatabaseDirectory"};

const platform::FileManager& files() {
    return platform::FileManager::defaultManager();
}

bool isSystemAtLeast(const char* version) {
    return platform::isVersionAtLeast(platform::Device::current().systemVersion(), version);
}

std::string join(const std::string& folder, const std::string& name) {
    return folder + "/" + name;
}

} // namespace

void HYBLocalStorage::registerClass() {
    static const bool registered = HYBPluginClassRegistry::shared().registerClass<HYBLocalStorage>("HYBLocalStorage");
    (void)registered;
}

// ---- locations ----

std::vector<HYBBackupInfo> HYBLocalStorage::createBackupInfoWithTargetDir(const std::string& targetDir, const std::string& backupDir,
                                                                          bool targetDirNests, bool backupDirNests, bool rename) {
    const std::string target = targetDirNests ? join(targetDir, kNestedFolder) : targetDir;
    const std::string backup = backupDirNests ? join(backupDir, kNestedFolder) : backupDir;
    std::vector<HYBBackupInfo> items;
    items.emplace_back(join(target, "file__0.localstorage"),
                       join(backup, rename ? "localstorage.appdata.db" : "file__0.localstorage"), "localStorage database");
    items.emplace_back(join(target, "Databases.db"), join(backup, rename ? "websqlmain.appdata.db" : "Databases.db"),
                       "websql main database");
    items.emplace_back(join(target, "file__0"), join(backup, rename ? "websqldbs.appdata.db" : "file__0"), "websql databases");
    return items;
}

std::vector<HYBBackupInfo> HYBLocalStorage::createBackupInfoWithCloudBackup(bool cloudBackup) {
    const platform::AppFolders folders = platform::AppFolders::current();
    const std::string backupDir = join(folders.documents(), "Backups");
    if (platform::Status made = files().createDirectory(backupDir, true); !made)
        platform::Log::write("Could not make the web-storage backup folder: " + made.error().localizedDescription());
    addSkipBackupAttributeToItemAtURL(platform::URL::fileURLWithPath(backupDir, true), !cloudBackup);
    return createBackupInfoWithTargetDir(join(folders.library(), "Caches"), backupDir, false, false, true);
}

bool HYBLocalStorage::addSkipBackupAttributeToItemAtURL(const platform::URL& url, bool skip) {
    if (!isSystemAtLeast("5.1"))
        platform::internalInconsistency("Cannot mark files for NSURLIsExcludedFromBackupKey on iOS less than 5.1");
    platform::Status marked = files().setExcludedFromBackup(url.path(), skip);
    if (!marked) {
        platform::Log::write(platform::formatString("Error excluding %s from backup %s", url.lastPathComponent().c_str(),
                                                    marked.error().localizedDescription().c_str()));
        return false;
    }
    return true;
}

platform::Status HYBLocalStorage::copyFrom(const std::string& source, const std::string& destination) {
    if (!files().fileExists(source))
        return platform::Error(kHYBLocalStorageErrorDomain, 1,
                               platform::formatString("%s file does not exist.", source.c_str()));
    const std::string tempBackup = join(platform::AppFolders::current().tmp(), platform::newUUIDString() + ".bak");
    if (files().fileExists(destination)) {
        if (platform::Status kept = files().copyItem(destination, tempBackup); !kept)
            return kept;
        if (platform::Status removed = files().removeItem(destination); !removed) {
            (void)files().removeItem(tempBackup);
            return removed;
        }
    } else if (platform::Status made = files().createDirectory(platform::deletingLastPathComponent(destination), true); !made) {
        return made;
    }
    platform::Status copied = files().copyItem(source, destination);
    if (!copied) {
        // Put the old destination back whole; the failed copy leaves nothing behind (copyItem cleans up).
        if (files().fileExists(tempBackup)) {
            (void)files().removeItem(destination);
            if (platform::Status restored = files().moveItem(tempBackup, destination); !restored)
                platform::Log::write("Could not put back " + destination + ": " + restored.error().localizedDescription() +
                                     " (its old content is kept at " + tempBackup + ")");
        }
        return copied;
    }
    if (files().fileExists(tempBackup))
        (void)files().removeItem(tempBackup);
    return {};
}

// ---- fix-ups at view load ----

void HYBLocalStorage::fixupDatabaseLocationsWithBackupType(const std::string& backupType) {
    verifyAndFixDatabaseLocations();
    restoreLegacyDatabaseLocationsWithBackupType(backupType);
}

bool HYBLocalStorage::verifyAndFixDatabaseLocationsWithAppPlistDict(platform::Dictionary& appPlistDict, const std::string& homePath) {
    bool dirty = false;
    for (const char* key : kDatabasePathKeys) {
        const platform::Value& value = appPlistDict[key];
        if (value.isNull())
            continue;
        const std::string* path = value.getString();
        if (path && path->rfind(homePath, 0) == 0)
            continue;
        const std::string caches = join(homePath, "Library/Caches");
        appPlistDict.set(key, files().fileExists(caches) ? caches : join(homePath, "Library/WebKit"));
        dirty = true;
    }
    return dirty;
}

void HYBLocalStorage::verifyAndFixDatabaseLocations() {
    const std::string home = platform::AppFolders::current().home();
    const std::string plistPath = join(home, "Library/Preferences/" + platform::Bundle::main().bundleIdentifier() + ".plist");
    auto read = platform::PropertyList::readFile(plistPath);
    if (!read.ok() || !read->isDictionary())
        return;
    platform::Dictionary appPlistDict = *read->getDictionary();
    if (!verifyAndFixDatabaseLocationsWithAppPlistDict(appPlistDict, home))
        return;
    platform::Status written = platform::PropertyList::writeFile(platform::Value(std::move(appPlistDict)), plistPath,
                                                                 platform::PropertyList::Format::XML);
    (void)platform::UserDefaults::standard().synchronize();
    platform::Log::write(std::string("Fix applied for database locations?: ") + (written.ok() ? "YES" : "NO"));
}

void HYBLocalStorage::restoreLegacyDatabaseLocationsWithBackupType(const std::string& backupType) {
    if (!isSystemAtLeast("6.0"))
        return;
    const platform::AppFolders folders = platform::AppFolders::current();
    const std::string library = folders.library();
    std::vector<HYBBackupInfo> items;
    if (backupType == "cloud") {
        items = createBackupInfoWithTargetDir(library, join(folders.documents(), "Backups"), true, false, true);
        std::vector<HYBBackupInfo> cacheItems = createBackupInfoWithTargetDir(library, join(library, "Caches"), true, false, false);
        items.insert(items.end(), cacheItems.begin(), cacheItems.end());
    } else {
        items = createBackupInfoWithTargetDir(join(library, "Caches"), library, false, true, false);
    }
    for (const HYBBackupInfo& item : items) {
        if (!files().fileExists(item.backup()))
            continue;
        if (item.shouldRestore()) {
            platform::Log::write(platform::formatString("Restoring old webstorage backup. From: '%s' To: '%s'.",
                                                        item.backup().c_str(), item.original().c_str()));
            if (platform::Status copied = copyFrom(item.backup(), item.original()); !copied) {
                // The old copy is the only one left with this data: keep it for the next launch.
                platform::Log::write(platform::formatString("Keeping old webstorage backup: '%s' (%s).", item.backup().c_str(),
                                                            copied.error().localizedDescription().c_str()));
                continue;
            }
        }
        platform::Log::write(platform::formatString("Removing old webstorage backup: '%s'.", item.backup().c_str()));
        (void)files().removeItem(item.backup());
    }
    (void)platform::UserDefaults::standard().set(kHYBStoreWebDataForBackupKey, platform::Value(backupType == "cloud"));
}

// ---- the plug-in ----

const HYBActionTable& HYBLocalStorage::actions() const {
    static const HYBActionTable table = HYBActionTable::of<HYBLocalStorage>(
        {{"backup", &HYBLocalStorage::backupAction}, {"restore", &HYBLocalStorage::restoreAction}});
    return table;
}

void HYBLocalStorage::pluginInitialize() {
    platform::NotificationCenter::defaultCenter().addObserver(this, platform::kApplicationWillResignActiveNotification, nullptr,
                                                              [this](const platform::Notification&) { onResignActive(); });
    bool cloud = false;
    if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate()) {
        const platform::Dictionary settings = delegate->settings();
        const std::string* type = settings[lowercased("BackupWebStorage")].getString();
        cloud = type && *type == "cloud";
    }
    m_backupInfo = createBackupInfoWithCloudBackup(cloud);
}

bool HYBLocalStorage::shouldBackup() const {
    for (const HYBBackupInfo& item : m_backupInfo)
        if (item.shouldBackup())
            return true;
    return false;
}

bool HYBLocalStorage::shouldRestore() const {
    for (const HYBBackupInfo& item : m_backupInfo)
        if (item.shouldRestore())
            return true;
    return false;
}

void HYBLocalStorage::backup(const std::optional<HYBInvokedUrlCommand>& command) {
    for (const HYBBackupInfo& item : m_backupInfo) {
        if (!item.shouldBackup())
            continue;
        platform::Status copied = copyFrom(item.original(), item.backup());
        if (!command || !command->callbackId())
            continue;
        std::string message = copied ? "Backed up: " + item.label()
                                     : platform::formatString("Error in HYBLocalStorage (%s) backup: %s", item.label().c_str(),
                                                              copied.error().localizedDescription().c_str());
        platform::Log::write(message);
        if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(copied ? HYBCommandStatus::Ok : HYBCommandStatus::Error, message),
                                       command->callbackId());
    }
}

void HYBLocalStorage::restore(const std::optional<HYBInvokedUrlCommand>& command) {
    for (const HYBBackupInfo& item : m_backupInfo) {
        if (!item.shouldRestore())
            continue;
        platform::Status copied = copyFrom(item.backup(), item.original());
        std::string message = copied ? "Restored: " + item.label()
                                     : platform::formatString("Error in HYBLocalStorage (%s) restore: %s", item.label().c_str(),
                                                              copied.error().localizedDescription().c_str());
        platform::Log::write(message);
        if (std::shared_ptr<HYBCommandDelegate> delegate = commandDelegate())
            delegate->sendPluginResult(HYBPluginResult::messageAsString(copied ? HYBCommandStatus::Ok : HYBCommandStatus::Error, message),
                                       command ? command->callbackId() : std::nullopt);
    }
}

void HYBLocalStorage::onResignActive() {
    backup(std::nullopt);
}

void HYBLocalStorage::onAppTerminate() {
    onResignActive();
}

void HYBLocalStorage::onReset() {
    restore(std::nullopt);
}

} // namespace runtime
