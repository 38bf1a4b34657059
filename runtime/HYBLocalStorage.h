// The page's web storage (local storage and web databases) kept safe across launches: one-time location
// fix-ups that the view controller runs when its view loads, and the plug-in that, when "BackupWebStorage"
// asks for it, restores the engine's files from the runtime's own copies before each page load and copies
// them back when the application resigns active or terminates.
//
// The plug-in's pairs: Library/Caches/file__0.localstorage <-> Documents/Backups/localstorage.appdata.db,
// Library/Caches/Databases.db <-> Documents/Backups/websqlmain.appdata.db, and the folder
// Library/Caches/file__0 <-> Documents/Backups/websqldbs.appdata.db.
//
// Guarantees:
// - Main thread: fix-ups, restore and backup; a backup at resign-active or termination is complete when
//   the handler returns.
// - copyFrom() never loses the destination: when the copy fails, the old destination is put back.
// - Moving earlier locations deletes an old copy only once it has been copied into place, or when the
//   item in place is already the newer one; a copy that fails keeps the old copy for the next launch.
#pragma once

#include "platform/Error.h"
#include "platform/URL.h"
#include "platform/Value.h"
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
    // `cloudBackup`.
    static std::vector<HYBBackupInfo> createBackupInfoWithCloudBackup(bool cloudBackup);
    // Sets the excluded-from-backup flag of a file URL; failures are logged and answered false.
    static bool addSkipBackupAttributeToItemAtURL(const platform::URL& url, bool skip);
    // Copies source over destination, keeping the old destination when the copy fails.
    static platform::Status copyFrom(const std::string& source, const std::string& destination);

    // ---- the plug-in ----
    // Observes will-resign-active and makes the pairs (the backup is "cloud" when the setting says so).
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

    std::vector<HYBBackupInfo> m_backupInfo;
};

} // namespace runtime
