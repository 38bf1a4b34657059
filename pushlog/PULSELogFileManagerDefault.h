// The default manager of the logs folder: where it lies, how log files are named and recognised
// ("<application name> <yyyy-MM-dd HH-mm>.log" in UTC, " 2", " 3", ... for more files of one minute),
// how they are listed and sorted (newest creation date first), created, and pruned beyond a maximum
// number of files and a disk quota.
//
// Not thread-safe by itself: the file logger calls it on its own queue; the settings are plain values,
// to be set before logging starts. Every listing reads the folder afresh.
#pragma once

#include "pushlog/PULSELogFileInfo.h"
#include "pushlog/PULSELogFileManager.h"

#include <atomic>
#include <optional>
#include <string>

namespace pushlog {

// The file-protection classes a manager accepts for new files.
inline constexpr const char* kFileProtectionNone = "NSFileProtectionNone";
inline constexpr const char* kFileProtectionComplete = "NSFileProtectionComplete";
inline constexpr const char* kFileProtectionCompleteUnlessOpen = "NSFileProtectionCompleteUnlessOpen";
inline constexpr const char* kFileProtectionCompleteUntilFirstUserAuthentication =
    "NSFileProtectionCompleteUntilFirstUserAuthentication";

// Whether the application declares background modes (a non-empty "UIBackgroundModes" entry).
bool appHasBackgroundModes();

class PULSELogFileManagerDefault : public PULSELogFileManager {
public:
    // A null folder means the default one. A protection class other than the four known ones is
    // ignored.
    explicit PULSELogFileManagerDefault(std::optional<std::string> logsDirectory = std::nullopt,
                                        std::optional<std::string> defaultFileProtectionLevel = std::nullopt);

    // The caches folder + "PULSELogs".
    static std::string defaultLogsDirectory();
    // The bundle identifier, else the process name, else the empty string; decided once per process.
    static const std::string& applicationName();

    // Creates the folder (with missing parents) first when it does not exist; something other than a
    // folder at its place (a file, a pipe, a dangling link) is moved aside first (platform/files/StorePlace.h).
    std::string logsDirectory() override;
    std::uint64_t maximumNumberOfLogFiles() const override { return m_maximumNumberOfLogFiles.load(); }
    void setMaximumNumberOfLogFiles(std::uint64_t count) override { m_maximumNumberOfLogFiles.store(count); }
    std::uint64_t logFilesDiskQuota() const override { return m_logFilesDiskQuota.load(); }
    void setLogFilesDiskQuota(std::uint64_t bytes) override { m_logFilesDiskQuota.store(bytes); }
    const std::optional<std::string>& defaultFileProtectionLevel() const { return m_defaultFileProtectionLevel; }

    std::string newLogFileName();
    bool isLogFile(const std::string& fileName);

    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<std::shared_ptr<PULSELogFileInfo>> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    std::vector<std::shared_ptr<PULSELogFileInfo>> sortedLogFileInfos() override;

    // Creates an empty file under the first free name, prunes old files, returns the new path.
    std::string createNewLogFile() override;
    void deleteOldLogFiles();

    // The protection class a new file gets.
    std::string protectionClassForNewFile() const;

private:
    std::atomic<std::uint64_t> m_maximumNumberOfLogFiles{5};
    std::atomic<std::uint64_t> m_logFilesDiskQuota{20 * 1024 * 1024};
    std::string m_logsDirectory;
    std::optional<std::string> m_defaultFileProtectionLevel;
};

} // namespace pushlog
