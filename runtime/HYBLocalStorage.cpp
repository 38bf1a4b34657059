#include "runtime/HYBLocalStorage.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/Text.h"
#include "runtime/TextCase.h"

#include <sqlite3.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The files SQLite keeps beside a database while it is open (or after a crash): they belong to that one
// database and must never outlive it or meet another one.
constexpr const char* kDatabaseSidecars[] = {"-wal", "-shm", "-journal"};

bool isSidecar(const std::string& path) {
    for (const char* suffix : kDatabaseSidecars) {
        const std::size_t length = std::strlen(suffix);
        if (path.size() > length && path.compare(path.size() - length, length, suffix) == 0)
            return files().fileExists(path.substr(0, path.size() - length));
    }
    return false;
}

bool isDatabase(const std::string& path) {
    static constexpr char kHeader[] = "SQLite format 3";
    std::array<char, sizeof kHeader> start{};
    // Only a regular file is read, and opening never waits: a FIFO put in the backup folder (even in
    // the moment between a look and the open) would block a plain open for ever.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st {};
    bool header = false;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        std::size_t got = 0;
        while (got < start.size()) {
            const ssize_t n = ::read(fd, start.data() + got, start.size() - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        header = got == start.size() && std::memcmp(start.data(), kHeader, sizeof kHeader) == 0;
    }
    ::close(fd);
    return header;
}

void removeSidecars(const std::string& database) {
    for (const char* suffix : kDatabaseSidecars)
        if (files().fileExists(database + suffix))
            (void)files().removeItem(database + suffix);
}

// A consistent snapshot of a database, its write-ahead log included, through SQLite's own backup: safe
// while another process has the database open and writes to it. Read-only on the source, so its files
// and dates stay as they are.
platform::Status snapshotDatabase(const std::string& source, const std::string& destination) {
    sqlite3* from = nullptr;
    sqlite3* to = nullptr;
    int result = sqlite3_open_v2(source.c_str(), &from, SQLITE_OPEN_READONLY, nullptr);
    if (result == SQLITE_OK)
        result = sqlite3_open_v2(destination.c_str(), &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string failure;
    if (result == SQLITE_OK) {
        sqlite3_busy_timeout(from, 2000);
        sqlite3_busy_timeout(to, 2000);
        if (sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main")) {
            result = sqlite3_backup_step(backup, -1);
            (void)sqlite3_backup_finish(backup);
            // The copy is one self-contained file (no write-ahead log of its own); the engine switches
            // a restored database back to its own journal mode when it opens it.
            if (result == SQLITE_DONE)
                result = sqlite3_exec(to, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr);
        } else {
            result = sqlite3_errcode(to);
        }
    }
    if (result != SQLITE_OK)
        failure = sqlite3_errstr(result);
    sqlite3_close(from);
    if (sqlite3_close(to) != SQLITE_OK && failure.empty())
        failure = "the copy could not be closed";
    if (failure.empty())
        return {};
    (void)files().removeItem(destination);
    removeSidecars(destination);
    return platform::Error(kHYBLocalStorageErrorDomain, 2,
                           platform::formatString("Could not copy the database %s: %s", source.c_str(), failure.c_str()));
}

platform::Status copyFile(const std::string& source, const std::string& destination) {
    return isDatabase(source) ? snapshotDatabase(source, destination) : files().copyItem(source, destination);
}

bool isLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

platform::Error linkRefused(const std::string& path) {
    return platform::Error(kHYBLocalStorageErrorDomain, 2, platform::formatString("Could not copy %s: it is a symbolic link", path.c_str()));
}

// Copies a file or folder; databases inside are copied as snapshots, without their sidecars. A symbolic
// link (at the top or inside a folder) is refused: a backup or storage is made of its own files, and a
// link would bring in whatever it names (a folder elsewhere, the whole disk). A failed copy leaves
// nothing at the destination.
platform::Status copyItem(const std::string& source, const std::string& destination) {
    if (isLink(source))
        return linkRefused(source);
    if (!files().isDirectory(source))
        return copyFile(source, destination);
    auto entries = files().subpathsOfDirectory(source);
    if (!entries.ok())
        return entries.error();
    platform::Status copied = files().createDirectory(destination, false);
    for (auto entry = entries->begin(); copied && entry != entries->end(); ++entry) {
        const std::string from = join(source, *entry);
        if (isLink(from))
            copied = linkRefused(from);
        else if (files().isDirectory(from))
            copied = files().createDirectory(join(destination, *entry), true);
        else if (!isSidecar(from))
            copied = copyFile(from, join(destination, *entry));
    }
    if (!copied)
        (void)files().removeItem(destination);
    return copied;
}

// Removes a file or folder, and a database's sidecars with it (they are left over even when it is gone).
platform::Status removeItem(const std::string& path) {
    if (files().fileExists(path))
        if (platform::Status removed = files().removeItem(path); !removed)
            return removed;
    removeSidecars(path);
    return {};
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

std::vector<HYBBackupInfo> HYBLocalStorage::createBackupInfoWithDataFolder(const std::string& dataFolder, const std::string& backupDir) {
    std::vector<HYBBackupInfo> items;
    items.emplace_back(join(dataFolder, "localstorage/file__0.localstorage"), join(backupDir, "localstorage.appdata.db"),
                       "localStorage database");
    items.emplace_back(join(dataFolder, "databases/indexeddb/v1/file__0"), join(backupDir, "indexeddb.appdata.db"),
                       "indexedDB databases");
    return items;
}

std::vector<HYBBackupInfo> HYBLocalStorage::createBackupInfoWithCloudBackup(bool cloudBackup, const std::string& engineDataFolder) {
    const platform::AppFolders folders = platform::AppFolders::current();
    const std::string backupDir = join(folders.documents(), "Backups");
    if (platform::Status made = files().createDirectory(backupDir, true); !made)
        platform::Log::write("Could not make the web-storage backup folder: " + made.error().localizedDescription());
    addSkipBackupAttributeToItemAtURL(platform::URL::fileURLWithPath(backupDir, true), !cloudBackup);
    if (!engineDataFolder.empty())
        return createBackupInfoWithDataFolder(engineDataFolder, backupDir);
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
    // Something other than a file or a folder at the destination (a link, dangling or not, a pipe, a
    // socket) would refuse every copy for good, or take it where the link points: it is moved aside.
    if (!platform::StorePlace::isUsable(
            platform::StorePlace::makeFit(destination, "HYBLocalStorage", platform::StorePlace::Accept::FileOrFolder)))
        return platform::Error(kHYBLocalStorageErrorDomain, 2,
                               platform::formatString("Could not copy to %s: something else is there", destination.c_str()));
    const std::string tempBackup = join(platform::AppFolders::current().tmp(), platform::newUUIDString() + ".bak");
    if (files().fileExists(destination)) {
        if (platform::Status kept = copyItem(destination, tempBackup); !kept)
            return kept;
    } else if (platform::Status made = files().createDirectory(platform::deletingLastPathComponent(destination), true); !made) {
        return made;
    }
    if (platform::Status removed = removeItem(destination); !removed) {
        (void)files().removeItem(tempBackup);
        return removed;
    }
    platform::Status copied = copyItem(source, destination);
    if (!copied) {
        // Put the old destination back whole; the failed copy leaves nothing behind.
        if (files().fileExists(tempBackup)) {
            (void)removeItem(destination);
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
    std::optional<platform::WebView::WebStorageLocation> location;
    if (std::shared_ptr<platform::WebView> view = webView())
        location = view->webStorageLocation();
    m_backupInfo = createBackupInfoWithCloudBackup(cloud, location ? location->dataFolder : std::string());
    // The engine opens its files with the first page and keeps them until the process ends: the start
    // page's own reset comes too late, so the copies come back now, before any page of this process runs.
    if (location && !location->inUse)
        restore(std::nullopt);
}

bool HYBLocalStorage::engineHasStorageOpen() const {
    std::shared_ptr<platform::WebView> view = webView();
    std::optional<platform::WebView::WebStorageLocation> location = view ? view->webStorageLocation() : std::nullopt;
    return location && location->inUse;
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
        // Replacing a database the engine has open would tear it (and the engine writes its own state back).
        platform::Status copied = engineHasStorageOpen()
                                      ? platform::Status(platform::Error(kHYBLocalStorageErrorDomain, 3,
                                                                         "the web engine has it open; it is restored at the next start"))
                                      : copyFrom(item.backup(), item.original());
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
