#include "support/LogCapture.h"
#include "support/TempHome.h"

#include "platform/files/FileManager.h"
#include "platform/runloop/VirtualClock.h"
#include "pushlog/PULSELogFileInfo.h"
#include "pushlog/PULSELogFileManagerDefault.h"

#include <gtest/gtest.h>

#include <sys/xattr.h>

using namespace pushlog;

namespace {

class LogFileManager : public hybtest::TempHomeTest {
protected:
    LogFileManager() { m_clock.install(); }

    std::string folder() const { return m_home.root() + "/logs"; }
    const std::string& app() const { return PULSELogFileManagerDefault::applicationName(); }

    // Makes a log file of the given minute, size and creation date (seconds before the clock's now).
    std::string makeFile(const std::string& minute, std::size_t size, double ageSeconds, bool archived = false) {
        platform::FileManager& files = platform::FileManager::defaultManager();
        EXPECT_TRUE(files.createDirectory(folder()).ok());
        const std::string path = folder() + "/" + app() + " 2026-12-06 " + minute + ".log";
        platform::FileAttributeChanges attributes;
        attributes.creationDate = platform::Date{m_clock.wallNow().secondsSince1970 - ageSeconds};
        EXPECT_TRUE(files.createFile(path, platform::Bytes(size, 'x'), attributes).ok());
        if (archived)
            PULSELogFileInfo(path).setIsArchived(true);
        return path;
    }

    platform::VirtualClock m_clock{platform::Date{1796557552.0}}; // 2026-12-06 11:45:52 UTC
};

} // namespace

TEST_F(LogFileManager, DefaultFolderAndSettings) {
    PULSELogFileManagerDefault manager;
    EXPECT_EQ(manager.logsDirectory(), m_home.folders().caches() + "/PULSELogs");
    EXPECT_TRUE(platform::FileManager::defaultManager().isDirectory(manager.logsDirectory()));
    EXPECT_EQ(manager.maximumNumberOfLogFiles(), 5u);
    EXPECT_EQ(manager.logFilesDiskQuota(), 20971520u);
    PULSELogFileManagerDefault unknown(folder(), std::string("NoSuchProtection"));
    EXPECT_FALSE(unknown.defaultFileProtectionLevel());
    EXPECT_EQ(unknown.protectionClassForNewFile(), kFileProtectionCompleteUnlessOpen);
    PULSELogFileManagerDefault known(folder(), std::string(kFileProtectionComplete));
    EXPECT_EQ(known.protectionClassForNewFile(), kFileProtectionComplete);
}

TEST_F(LogFileManager, FilesOfOneMinuteGetCounters) {
    PULSELogFileManagerDefault manager(folder());
    const std::string base = folder() + "/" + app() + " 2026-12-06 11-45";
    EXPECT_EQ(manager.createNewLogFile(), base + ".log");
    EXPECT_EQ(manager.createNewLogFile(), base + " 2.log");
    EXPECT_EQ(manager.createNewLogFile(), base + " 3.log");
    EXPECT_EQ(manager.unsortedLogFilePaths().size(), 3u);
}

TEST_F(LogFileManager, ListsNewestCreationFirstAndOnlyLogFiles) {
    makeFile("10-00", 1, 60);
    makeFile("10-05", 1, 3600);
    makeFile("10-10", 1, 7200);
    ASSERT_TRUE(platform::FileManager::defaultManager().createFile(folder() + "/notes.txt", {}).ok());
    PULSELogFileManagerDefault manager(folder());
    const auto names = manager.sortedLogFileNames();
    ASSERT_EQ(names.size(), 3u);
    EXPECT_EQ(names[0], app() + " 2026-12-06 10-00.log");
    EXPECT_EQ(names[2], app() + " 2026-12-06 10-10.log");
    EXPECT_TRUE(manager.isLogFile(app() + " 2026-12-06 11-45 2.log"));
    EXPECT_FALSE(manager.isLogFile("notes.txt"));
}

TEST_F(LogFileManager, PrunesByCountKeepingTheNewest) {
    for (int i = 0; i < 6; ++i)
        makeFile("10-0" + std::to_string(i), 10, 1000.0 * (i + 1), true);
    PULSELogFileManagerDefault manager(folder());
    manager.createNewLogFile(); // 7 files, limit 5
    const auto names = manager.sortedLogFileNames();
    ASSERT_EQ(names.size(), 5u);
    EXPECT_EQ(names[0], app() + " 2026-12-06 11-45.log");
    EXPECT_EQ(names[4], app() + " 2026-12-06 10-03.log");
}

TEST_F(LogFileManager, PrunesByQuotaAndKeepsTheUnarchivedNewest) {
    makeFile("10-01", 1000, 100, true);
    makeFile("10-02", 1500, 200, true);
    makeFile("10-03", 800, 300, true);
    makeFile("10-04", 900, 400, true);
    PULSELogFileManagerDefault manager(folder());
    manager.setLogFilesDiskQuota(3000);
    manager.createNewLogFile(); // sizes newest first: 0, 1000, 1500, 800, 900
    EXPECT_EQ(manager.sortedLogFileNames().size(), 3u);

    // The newest alone over the quota: kept while unarchived, deleted once archived.
    ASSERT_TRUE(platform::FileManager::defaultManager().removeItem(folder()).ok());
    const std::string big = makeFile("10-10", 5000, 10);
    makeFile("10-09", 10, 20, true);
    manager.deleteOldLogFiles();
    EXPECT_EQ(manager.sortedLogFilePaths(), std::vector<std::string>{big});
    PULSELogFileInfo(big).setIsArchived(true);
    manager.deleteOldLogFiles();
    EXPECT_TRUE(manager.sortedLogFilePaths().empty());

    makeFile("10-20", 5000, 10, true);
    makeFile("10-21", 5000, 20, true);
    manager.setLogFilesDiskQuota(0);
    manager.setMaximumNumberOfLogFiles(0);
    manager.deleteOldLogFiles();
    EXPECT_EQ(manager.sortedLogFilePaths().size(), 2u);
}

TEST_F(LogFileManager, ArchivedFlagIsAnExtendedAttribute) {
    const std::string path = makeFile("10-00", 1, 1);
    PULSELogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    hybtest::LogCapture log;
    info.setIsArchived(false); // no attribute to remove: nothing reported
    EXPECT_TRUE(log.lines().empty());
    info.setIsArchived(true);
    EXPECT_TRUE(info.isArchived());
    EXPECT_GE(getxattr(path.c_str(), "user.pulselog.log.archived", nullptr, 0), 0);
    info.setIsArchived(false);
    EXPECT_FALSE(info.isArchived());
}

TEST_F(LogFileManager, InfoFactsAndRenames) {
    const std::string path = makeFile("10-00", 42, 90);
    PULSELogFileInfo info(path);
    EXPECT_EQ(info.fileName(), app() + " 2026-12-06 10-00.log");
    EXPECT_EQ(info.fileSize(), 42u);
    EXPECT_NEAR(info.age(), 90, 0.01);
    EXPECT_TRUE(info.isEqual(PULSELogFileInfo(path)));
    EXPECT_NE(info.description().find("fileSize = 42;"), std::string::npos);

    info.renameFile("renamed.log");
    EXPECT_EQ(info.filePath(), folder() + "/renamed.log");
    EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(folder() + "/renamed.log"));

    // A failed move keeps the path it had.
    PULSELogFileInfo missing(folder() + "/gone.log");
    hybtest::LogCapture log;
    missing.renameFile("other.log");
    EXPECT_EQ(missing.filePath(), folder() + "/gone.log");
    EXPECT_TRUE(log.contains("PULSELogFileInfo: Error renaming file (gone.log)"));

    PULSELogFileInfo absent(folder() + "/absent.log");
    EXPECT_FALSE(absent.fileAttributes());
    EXPECT_EQ(absent.fileSize(), 0u);
    EXPECT_EQ(absent.age(), 0);
}
