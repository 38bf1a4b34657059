// The page's web storage (local storage and web databases) kept safe across launches: one-time location
// fix-ups that the view controller runs when its view loads, and the plug-in that, when "BackupWebStorage"
// asks for it, restores the engine's files from the runtime's own copies before each page load and copies
// them back when the application resigns active or terminates.
//
// The plug-in's pairs: Library/Caches/file__0.localstorage <-> Documents/Backups/localstorage.appdata.db,
// Library/Caches/Databases.db <-> Documents/Backups/websqlmain.appdata.db, and the folder
// Library/Caches/file__0 <-> Documents/Backups/websqldbs.appdata.db. A web view that says where its engine
// keeps web storage (the real engine: Library/WebKit) gets that engine's files instead: its local
// storage database <-> localstorage.appdata.db and its IndexedDB folder <-> indexeddb.appdata.db.
//
// Guarantees:
// - Main thread: fix-ups, restore and backup; a backup at resign-active or termination is complete when
//   the handler returns.
// - copyFrom() never loses the destination: when the copy fails, the old destination is put back.
//   Something other than a file or a folder at the destination (a link, dangling or not, a pipe, a
//   socket) is moved aside first (platform/files/StorePlace.h): it neither refuses every copy nor takes one
//   where it points.
//   Databases (SQLite files, also inside folders) are copied as consistent snapshots that include their
//   write-ahead log, so a database the engine has open and is writing cannot tear; their -wal, -shm and
//   -journal files are never copied and are removed with the database they belong to.
// - Nothing is restored over the engine's files once a page of this process may have them open (the
//   engine keeps them, and local storage in memory, until the process ends): the plug-in restores when
//   it starts, before the first page; later restores are refused and reported.
// - Moving earlier locations deletes an old copy only once it has been copied into place, or when the
//   item in place is already the newer one; a copy that fails keeps the old copy for the next launch.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/text/URL.h"
#include "platform/web/WebView.h"
#include "runtime/HYBBackupInfo.h"
#include "runtime/HYBPlugin.h"

#include <optional>
#include <string>
#include <vector>

namespace runtime {

inline constexpr const char* kHYBLocalStorageErrorDomain = "kHYBLocalStorageErrorDomain";
inline constexpr const char* kHYBStoreWebDataForBackupKey = "WebKitStoreWebDataForBackup";

class HYBLocalStorage : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    // Makes the class creatable by the name "HYBLocalStorage" (once; later calls do nothing).
    static void registerClass();

    // ---- class operations ----
    // At view load: repairs the stored database paths, then moves the files earlier settings left.
    static void fixupDatabaseLocationsWithBackupType(const std::string& backupType);
    // Repairs the web-storage paths kept in the application's preferences file.
    static void verifyAndFixDatabaseLocations();
    // The repair on a preferences dictionary (changed in place); true when something changed.
    static bool verifyAndFixDatabaseLocationsWithAppPlistDict(platform::Dictionary& appPlistDict, const std::string& homePath);
    // Systems 6.0 and later: takes over web-storage files left at the places of other settings.
    static void restoreLegacyDatabaseLocationsWithBackupType(const std::string& backupType);

    // The three pairs (local storage, web database index, web database folder) of a target and a backup
    // folder; the nest flags put the names under "WebKit/LocalStorage", the rename flag gives the backups
    // their "appdata" names.
    static std::vector<HYBBackupInfo> createBackupInfoWithTargetDir(const std::string& targetDir, const std::string& backupDir,
                                                                     bool targetDirNests, bool backupDirNests, bool rename);
    // The plug-in's pairs; makes Documents/Backups and marks it excluded from the device backup unless
    // `cloudBackup`. With the engine's data folder, the pairs are that engine's files.
    static std::vector<HYBBackupInfo> createBackupInfoWithCloudBackup(bool cloudBackup, const std::string& engineDataFolder = {});
    // The pairs of an engine keeping web storage in `dataFolder` (local storage database, IndexedDB folder).
    static std::vector<HYBBackupInfo> createBackupInfoWithDataFolder(const std::string& dataFolder, const std::string& backupDir);
    // Sets the excluded-from-backup flag of a file URL; failures are logged and answered false.
    static bool addSkipBackupAttributeToItemAtURL(const platform::URL& url, bool skip);
    // Copies source over destination, keeping the old destination when the copy fails.
    static platform::Status copyFrom(const std::string& source, const std::string& destination);

    // ---- the plug-in ----
    // Observes will-resign-active and makes the pairs (the backup is "cloud" when the setting says so);
    // restores at once when the web view's engine has not opened its storage yet.
    void pluginInitialize() override;
    bool shouldBackup() const;
    bool shouldRestore() const;
    // Copies every changed original to its backup; with a callback id, reports each copy to it.
    void backup(const std::optional<HYBInvokedUrlCommand>& command);
    // Copies every newer backup over its original; reports each copy (logged, and sent when there is a
    // callback id).
    void restore(const std::optional<HYBInvokedUrlCommand>& command);
    void onResignActive();
    void onAppTerminate() override;
    void onReset() override;

    const std::vector<HYBBackupInfo>& backupInfo() const { return m_backupInfo; }
    const HYBActionTable& actions() const override;
    std::string className() const override { return "HYBLocalStorage"; }

private:
    void backupAction(const HYBInvokedUrlCommand& command) { backup(command); }
    void restoreAction(const HYBInvokedUrlCommand& command) { restore(command); }

    bool engineHasStorageOpen() const;

    std::vector<HYBBackupInfo> m_backupInfo;
};

} // namespace runtime
