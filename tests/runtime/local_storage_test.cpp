#include "runtime/HYBLocalStorage.h"

#include "platform/application/Application.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "platform/web/HeadlessWebView.h"

#include "RecordingCommandDelegate.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace runtime;

namespace {

const platform::FileManager& files() {
    return platform::FileManager::defaultManager();
}

// Writes a file (folders made as needed) with the given modification time (seconds since 1970).
void writeFile(const std::string& path, const std::string& text, double modified) {
    ASSERT_TRUE(files().createDirectory(platform::deletingLastPathComponent(path), true).ok());
    ASSERT_TRUE(files().writeAtomically(path, platform::Bytes(text.begin(), text.end())).ok());
    platform::FileAttributeChanges changes;
    changes.modificationDate = platform::Date{modified};
    ASSERT_TRUE(files().setAttributes(path, changes).ok());
}

std::string readFile(const std::string& path) {
    auto bytes = files().contentsOfFile(path);
    return bytes.ok() ? std::string(bytes->begin(), bytes->end()) : std::string("<missing>");
}

class SettingsDelegate : public runtime::testing::RecordingCommandDelegate {
public:
    platform::Dictionary settings() override { return preferences; }
    platform::Dictionary preferences;
};

class LocalStorageTest : public hybtest::TempHomeTest {
protected:
    void TearDown() override { platform::Device::current().resetToDefaults(); }

    platform::AppFolders folders() const { return m_home.folders(); }
    std::string caches(const std::string& name) const { return folders().caches() + "/" + name; }
    std::string backups(const std::string& name) const { return folders().documents() + "/Backups/" + name; }
    std::string webkit(const std::string& name) const { return folders().library() + "/WebKit/LocalStorage/" + name; }
};

TEST_F(LocalStorageTest, NewerThanFollowsModificationDatesAndMissingItems) {
    const std::string a = folders().tmp() + "/a", b = folders().tmp() + "/b";
    EXPECT_FALSE(HYBBackupInfo::fileIsNewerThanFile(a, b)) << "neither exists";
    writeFile(a, "a", 1000);
    EXPECT_TRUE(HYBBackupInfo::fileIsNewerThanFile(a, b)) << "b has no date";
    EXPECT_FALSE(HYBBackupInfo::fileIsNewerThanFile(b, a));
    EXPECT_FALSE(HYBBackupInfo::itemIsNewerThanItem(b, a)) << "a missing item is never newer";
    writeFile(b, "b", 1000);
    EXPECT_FALSE(HYBBackupInfo::fileIsNewerThanFile(a, b)) << "the same date is not newer";
    writeFile(b, "b", 2000);
    EXPECT_TRUE(HYBBackupInfo::itemIsNewerThanItem(b, a));

    // Folders compare entry by entry: an entry with no counterpart makes its folder newer.
    const std::string left = folders().tmp() + "/left", right = folders().tmp() + "/right";
    writeFile(left + "/db/1.db", "1", 1000);
    writeFile(right + "/db/1.db", "1", 1000);
    platform::FileAttributeChanges old;
    old.modificationDate = platform::Date{1000};
    ASSERT_TRUE(files().setAttributes(left + "/db", old).ok());
    ASSERT_TRUE(files().setAttributes(right + "/db", old).ok());
    EXPECT_FALSE(HYBBackupInfo::itemIsNewerThanItem(left, right));
    writeFile(left + "/db/2.db", "2", 500);
    ASSERT_TRUE(files().setAttributes(left + "/db", old).ok());
    EXPECT_TRUE(HYBBackupInfo::itemIsNewerThanItem(left, right));
    EXPECT_FALSE(HYBBackupInfo::itemIsNewerThanItem(right, left));
}

TEST_F(LocalStorageTest, BackupSetsNameTheEngineFilesAndTheirCopies) {
    auto items = HYBLocalStorage::createBackupInfoWithTargetDir("/t", "/b", true, false, true);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].original(), "/t/WebKit/LocalStorage/file__0.localstorage");
    EXPECT_EQ(items[0].backup(), "/b/localstorage.appdata.db");
    EXPECT_EQ(items[0].label(), "localStorage database");
    EXPECT_EQ(items[1].original(), "/t/WebKit/LocalStorage/Databases.db");
    EXPECT_EQ(items[1].backup(), "/b/websqlmain.appdata.db");
    EXPECT_EQ(items[2].label(), "websql databases");
    EXPECT_EQ(items[2].backup(), "/b/websqldbs.appdata.db");

    items = HYBLocalStorage::createBackupInfoWithTargetDir("/t", "/b", false, true, false);
    EXPECT_EQ(items[1].original(), "/t/Databases.db");
    EXPECT_EQ(items[2].backup(), "/b/WebKit/LocalStorage/file__0");

    items = HYBLocalStorage::createBackupInfoWithCloudBackup(false);
    EXPECT_EQ(items[0].original(), caches("file__0.localstorage"));
    EXPECT_EQ(items[0].backup(), backups("localstorage.appdata.db"));
    EXPECT_TRUE(files().isExcludedFromBackup(folders().documents() + "/Backups"));
    HYBLocalStorage::createBackupInfoWithCloudBackup(true);
    EXPECT_FALSE(files().isExcludedFromBackup(folders().documents() + "/Backups"));
}

TEST_F(LocalStorageTest, SafeCopyReportsMissingSourcesMakesFoldersAndKeepsTheOldDestination) {
    platform::Status missing = HYBLocalStorage::copyFrom("/no/such/file", caches("x"));
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().domain, "kHYBLocalStorageErrorDomain");
    EXPECT_EQ(missing.error().code, 1);
    EXPECT_EQ(missing.error().localizedDescription(), "/no/such/file file does not exist.");

    writeFile(caches("src"), "new", 2000);
    ASSERT_TRUE(HYBLocalStorage::copyFrom(caches("src"), caches("deep/er/dst")).ok());
    EXPECT_EQ(readFile(caches("deep/er/dst")), "new");

    writeFile(caches("old"), "old", 1000);
    ASSERT_TRUE(HYBLocalStorage::copyFrom(caches("src"), caches("old")).ok());
    EXPECT_EQ(readFile(caches("old")), "new");

    // A source that cannot be read (the process's own memory at address 0): the copy fails and the
    // destination keeps its old content; no temporary copy is left behind.
    writeFile(caches("kept"), "precious", 1000);
    EXPECT_FALSE(HYBLocalStorage::copyFrom("/proc/self/mem", caches("kept")).ok());
    EXPECT_EQ(readFile(caches("kept")), "precious");
    auto leftovers = files().contentsOfDirectory(folders().tmp());
    ASSERT_TRUE(leftovers.ok());
    EXPECT_TRUE(leftovers->empty());

    // A FIFO where a backup should be (a page may name anything there): refused at once, never waited on.
    ASSERT_TRUE(files().createDirectory(folders().documents() + "/Backups", true).ok());
    ASSERT_EQ(::mkfifo(backups("localstorage.appdata.db").c_str(), 0600), 0);
    EXPECT_FALSE(HYBLocalStorage::copyFrom(backups("localstorage.appdata.db"), caches("kept")).ok());
    EXPECT_EQ(readFile(caches("kept")), "precious");

    // A link where a backup should be, or inside a backup folder (to a folder outside, to the whole
    // disk): refused at once, nothing of what it names is copied, the old destination stays.
    const std::string outside = folders().documents() + "/outside";
    writeFile(outside + "/secret.txt", "secret", 1000);
    for (const std::string& target : {outside, std::string("/")}) {
        SCOPED_TRACE(target);
        std::filesystem::remove_all(backups("localstorage.appdata.db"));
        ASSERT_EQ(::symlink(target.c_str(), backups("localstorage.appdata.db").c_str()), 0);
        auto copied = HYBLocalStorage::copyFrom(backups("localstorage.appdata.db"), caches("kept"));
        ASSERT_FALSE(copied.ok());
        EXPECT_NE(copied.error().localizedDescription().find("symbolic link"), std::string::npos);
        EXPECT_EQ(readFile(caches("kept")), "precious");
    }
    std::filesystem::remove(backups("localstorage.appdata.db"));
    writeFile(backups("localstorage.appdata.db") + "/own.db", "own", 1000);
    ASSERT_EQ(::symlink(outside.c_str(), (backups("localstorage.appdata.db") + "/link").c_str()), 0);
    EXPECT_FALSE(HYBLocalStorage::copyFrom(backups("localstorage.appdata.db"), caches("kept")).ok());
    EXPECT_EQ(readFile(caches("kept")), "precious");

    // Something other than a file or a folder where the copy goes (a link, dangling or to a folder
    // elsewhere, a pipe) would refuse every backup for good, or take the database where it points: it is
    // moved aside, nothing is written through it, and the copy is made.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(caches("engine.db").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "create table t(x); insert into t values('kept')", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
    const std::string nowhere = folders().documents() + "/nowhere.db";
    for (const std::string shape : {"dangling link", "link to a folder", "pipe"}) {
        SCOPED_TRACE(shape);
        const std::string destination = backups("websqlmain.appdata.db");
        std::filesystem::remove_all(destination + ".damaged");
        if (shape == "dangling link") {
            ASSERT_EQ(::symlink(nowhere.c_str(), destination.c_str()), 0);
        } else if (shape == "link to a folder") {
            ASSERT_EQ(::symlink(outside.c_str(), destination.c_str()), 0);
        } else {
            ASSERT_EQ(::mkfifo(destination.c_str(), 0600), 0);
        }
        const platform::Status copied = HYBLocalStorage::copyFrom(caches("engine.db"), destination);
        ASSERT_TRUE(copied.ok()) << copied.error().localizedDescription();
        EXPECT_EQ(readFile(destination).substr(0, 15), "SQLite format 3");
        EXPECT_NE(std::filesystem::symlink_status(destination + ".damaged").type(), std::filesystem::file_type::not_found);
        EXPECT_FALSE(std::filesystem::exists(nowhere)) << "written where the link pointed";
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(outside), std::filesystem::directory_iterator()), 1);
        std::filesystem::remove(destination);
    }
}

TEST_F(LocalStorageTest, CloudMovesOldCopiesIntoTheEngineFolderWhenNewerAndDeletesThem) {
    writeFile(backups("localstorage.appdata.db"), "from backups", 3000);
    writeFile(webkit("file__0.localstorage"), "engine", 2000);
    writeFile(caches("Databases.db"), "from caches", 3000);
    writeFile(backups("websqlmain.appdata.db"), "older", 1000);
    writeFile(webkit("Databases.db"), "engine db", 2000);
    hybtest::LogCapture log;

    HYBLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("cloud");

    EXPECT_EQ(readFile(webkit("file__0.localstorage")), "from backups");
    EXPECT_EQ(readFile(webkit("Databases.db")), "from caches") << "the caches copy is newer than the engine's";
    EXPECT_FALSE(files().fileExists(backups("localstorage.appdata.db")));
    EXPECT_FALSE(files().fileExists(backups("websqlmain.appdata.db"))) << "an older copy is deleted unused";
    EXPECT_FALSE(files().fileExists(caches("Databases.db")));
    EXPECT_TRUE(log.contains("Restoring old webstorage backup. From: '" + backups("localstorage.appdata.db") + "' To: '" +
                             webkit("file__0.localstorage") + "'."));
    EXPECT_TRUE(log.contains("Removing old webstorage backup: '" + backups("websqlmain.appdata.db") + "'."));
    EXPECT_TRUE(platform::UserDefaults::standard().boolean("WebKitStoreWebDataForBackup"));
}

TEST_F(LocalStorageTest, LocalMovesEngineFilesIntoCachesAndBelowSixNothingMoves) {
    writeFile(webkit("file__0.localstorage"), "engine", 3000);
    platform::Device::current().setSystemVersion("5.1");
    HYBLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("local");
    EXPECT_TRUE(files().fileExists(webkit("file__0.localstorage")));

    platform::Device::current().setSystemVersion("6.0");
    HYBLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("local");
    EXPECT_EQ(readFile(caches("file__0.localstorage")), "engine");
    EXPECT_FALSE(files().fileExists(webkit("file__0.localstorage")));
    EXPECT_FALSE(platform::UserDefaults::standard().boolean("WebKitStoreWebDataForBackup"));
}

TEST_F(LocalStorageTest, AnOldCopyThatCannotBeCopiedIntoPlaceIsKept) {
    writeFile(backups("localstorage.appdata.db"), "the only copy", 3000);
    // Library/WebKit is a file, so the engine folder cannot be made and the copy fails.
    writeFile(folders().library() + "/WebKit", "in the way", 1000);
    hybtest::LogCapture log;

    HYBLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("cloud");

    EXPECT_EQ(readFile(backups("localstorage.appdata.db")), "the only copy");
    EXPECT_TRUE(log.contains("Keeping old webstorage backup: '" + backups("localstorage.appdata.db") + "'"));
    EXPECT_FALSE(log.contains("Removing old webstorage backup: '" + backups("localstorage.appdata.db") + "'."));
}

TEST_F(LocalStorageTest, ForeignDatabasePathsInThePreferencesFileAreRepaired) {
    const std::string home = folders().home();
    platform::Dictionary prefs;
    prefs.set("WebKitLocalStorageDatabasePathPreferenceKey", "/var/mobile/Applications/OLD/Library/Caches");
    prefs.set("WebDatabaseDirectory", home + "/Library/Caches");
    prefs.set("Other", "/elsewhere");
    EXPECT_TRUE(HYBLocalStorage::verifyAndFixDatabaseLocationsWithAppPlistDict(prefs, home));
    EXPECT_EQ(prefs["WebKitLocalStorageDatabasePathPreferenceKey"].stringOr(""), home + "/Library/Caches");
    EXPECT_EQ(prefs["Other"].stringOr(""), "/elsewhere");
    EXPECT_FALSE(HYBLocalStorage::verifyAndFixDatabaseLocationsWithAppPlistDict(prefs, home));

    // Through the preferences file the user defaults read.
    m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                                         "<string>org.example.storage</string></dict></plist>");
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    ASSERT_TRUE(defaults.set("WebDatabaseDirectory", "/old/place").ok());
    hybtest::LogCapture log;
    HYBLocalStorage::verifyAndFixDatabaseLocations();
    EXPECT_TRUE(log.contains("Fix applied for database locations?: YES"));
    EXPECT_EQ(defaults.string("WebDatabaseDirectory").value_or(""), home + "/Library/Caches");
}

TEST_F(LocalStorageTest, LocalPluginRestoresBeforePageLoadsAndBacksUpWhenResigning) {
    auto view = platform::HeadlessWebView::create();
    auto delegate = std::make_shared<SettingsDelegate>();
    delegate->preferences.set("backupwebstorage", "local");
    auto plugin = std::make_shared<HYBLocalStorage>(view);
    plugin->setCommandDelegate(delegate);
    plugin->pluginInitialize();
    EXPECT_TRUE(files().isExcludedFromBackup(folders().documents() + "/Backups"));

    writeFile(backups("localstorage.appdata.db"), "saved", 2000);
    writeFile(caches("file__0.localstorage"), "current", 3000);
    hybtest::LogCapture log;
    platform::NotificationCenter::defaultCenter().post(kHYBPluginResetNotification, view.get());
    EXPECT_EQ(readFile(caches("file__0.localstorage")), "current") << "an older backup is not restored";

    writeFile(backups("localstorage.appdata.db"), "saved later", 4000);
    platform::NotificationCenter::defaultCenter().post(kHYBPluginResetNotification, view.get());
    EXPECT_EQ(readFile(caches("file__0.localstorage")), "saved later");
    EXPECT_TRUE(log.contains("Restored: localStorage database"));
    ASSERT_EQ(delegate->results.size(), 1u) << "sent, and dropped by the delegate for want of a callback id";
    EXPECT_FALSE(delegate->results[0].second.has_value());

    // Backing up without a command neither logs nor answers.
    log.clear();
    writeFile(caches("file__0.localstorage"), "edited", 5000);
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    EXPECT_EQ(readFile(backups("localstorage.appdata.db")), "edited");
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(delegate->results.size(), 1u);

    // With a callback id each copy is reported to it.
    writeFile(caches("Databases.db"), "db", 6000);
    plugin->backup(HYBInvokedUrlCommand({}, std::string("cb1"), "HYBLocalStorage", "backup"));
    ASSERT_EQ(delegate->results.size(), 2u);
    EXPECT_EQ(delegate->results[1].second.value_or(""), "cb1");
    EXPECT_EQ(delegate->results[1].first->message().stringOr(""), "Backed up: websql main database");
    EXPECT_FALSE(plugin->shouldBackup());
}

// ---- the engine's databases ----

// A database in write-ahead-log mode, kept open as an engine keeps it: rows added after `opened` stay in
// its "-wal" file until it is closed.
class OpenDatabase {
public:
    explicit OpenDatabase(const std::string& path) {
        EXPECT_TRUE(files().createDirectory(platform::deletingLastPathComponent(path), true).ok());
        EXPECT_EQ(sqlite3_open(path.c_str(), &m_db), SQLITE_OK);
        run("PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE IF NOT EXISTS ItemTable (key TEXT UNIQUE, value TEXT)");
    }
    ~OpenDatabase() { sqlite3_close(m_db); }
    void put(const std::string& key, const std::string& value) {
        run("INSERT OR REPLACE INTO ItemTable VALUES ('" + key + "', '" + value + "')");
    }
    void run(const std::string& sql) { EXPECT_EQ(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }

private:
    sqlite3* m_db = nullptr;
};

// Every key=value of a database copy, in key order ("<unreadable>" when it is no database).
std::string contentsOf(const std::string& path) {
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, "SELECT key, value FROM ItemTable ORDER BY key",
                     [](void* out, int, char** row, char**) {
                         *static_cast<std::string*>(out) += std::string(row[0]) + "=" + row[1] + ";";
                         return 0;
                     },
                     &text, nullptr) != SQLITE_OK)
        text = "<unreadable>";
    sqlite3_close(db);
    return text;
}

bool hasSidecars(const std::string& database) {
    return files().fileExists(database + "-wal") || files().fileExists(database + "-shm") || files().fileExists(database + "-journal");
}

TEST_F(LocalStorageTest, AnOpenDatabaseIsCopiedWholeWithItsLogAndWithoutSidecars) {
    const std::string original = folders().library() + "/WebKit/localstorage/file__0.localstorage";
    const std::string copy = backups("localstorage.appdata.db");
    OpenDatabase engine(original);
    engine.put("a", "1");
    engine.put("b", "2");
    ASSERT_TRUE(files().fileExists(original + "-wal")) << "the rows wait in the log";

    HYBBackupInfo item(original, copy, "localStorage database");
    writeFile(copy, "older copy", 1000);
    writeFile(original, readFile(original), 500);
    EXPECT_TRUE(item.shouldBackup()) << "the log changed after the copy was made, though the main file did not";

    ASSERT_TRUE(HYBLocalStorage::copyFrom(original, copy).ok());
    EXPECT_EQ(contentsOf(copy), "a=1;b=2;");
    EXPECT_FALSE(hasSidecars(copy)) << "the copy is one self-contained file";
    engine.put("c", "3");
    EXPECT_EQ(contentsOf(original), "a=1;b=2;c=3;") << "the engine's database goes on untouched";

    // A log left beside the destination belongs to the database being replaced: it goes with it, or it
    // would be replayed into the restored one.
    const std::string restored = folders().tmp() + "/restored.localstorage";
    {
        OpenDatabase stale(restored);
        stale.put("z", "stale");
        ASSERT_TRUE(files().copyItem(restored + "-wal", folders().tmp() + "/kept-wal").ok());
    }
    ASSERT_TRUE(files().moveItem(folders().tmp() + "/kept-wal", restored + "-wal").ok());
    ASSERT_TRUE(HYBLocalStorage::copyFrom(copy, restored).ok());
    EXPECT_FALSE(hasSidecars(restored));
    EXPECT_EQ(contentsOf(restored), "a=1;b=2;");
}

TEST_F(LocalStorageTest, AFolderOfDatabasesIsCopiedEntryByEntryWithoutTheirLogs) {
    const std::string original = folders().library() + "/WebKit/databases/indexeddb/v1/file__0";
    const std::string copy = backups("indexeddb.appdata.db");
    OpenDatabase engine(original + "/salted/IndexedDB.sqlite3");
    engine.put("k", "v");
    writeFile(original + "/salted/blobs/1", "blob", 1000);

    ASSERT_TRUE(HYBLocalStorage::copyFrom(original, copy).ok());
    EXPECT_EQ(contentsOf(copy + "/salted/IndexedDB.sqlite3"), "k=v;");
    EXPECT_FALSE(hasSidecars(copy + "/salted/IndexedDB.sqlite3"));
    EXPECT_EQ(readFile(copy + "/salted/blobs/1"), "blob");

    // A database that cannot be read makes the whole copy fail and keeps the old copy as it was.
    writeFile(original + "/salted/broken.sqlite3", std::string("SQLite format 3") + '\0' + "garbage", 2000);
    EXPECT_FALSE(HYBLocalStorage::copyFrom(original, copy).ok());
    EXPECT_EQ(contentsOf(copy + "/salted/IndexedDB.sqlite3"), "k=v;");
    EXPECT_FALSE(files().fileExists(copy + "/salted/broken.sqlite3"));
}

TEST_F(LocalStorageTest, WithTheEnginesStorageThePluginRestoresAtStartAndNeverOverFilesInUse) {
    const std::string data = folders().library() + "/WebKit";
    const std::string original = data + "/localstorage/file__0.localstorage";
    {
        OpenDatabase saved(backups("localstorage.appdata.db"));
        saved.put("kept", "yes");
    }
    auto view = platform::HeadlessWebView::create();
    view->setWebStorageLocation(platform::WebView::WebStorageLocation{data, false});
    auto delegate = std::make_shared<SettingsDelegate>();
    delegate->preferences.set("backupwebstorage", "local");
    auto plugin = std::make_shared<HYBLocalStorage>(view);
    plugin->setCommandDelegate(delegate);
    plugin->pluginInitialize();
    ASSERT_EQ(plugin->backupInfo().size(), 2u);
    EXPECT_EQ(plugin->backupInfo()[0].original(), original);
    EXPECT_EQ(plugin->backupInfo()[1].backup(), backups("indexeddb.appdata.db"));
    EXPECT_EQ(contentsOf(original), "kept=yes;") << "restored before the first page";

    // Once pages run, the engine holds its files: a newer copy waits for the next start.
    view->setWebStorageLocation(platform::WebView::WebStorageLocation{data, true});
    OpenDatabase engine(original);
    engine.put("kept", "edited");
    writeFile(backups("localstorage.appdata.db"), readFile(backups("localstorage.appdata.db")), 4e9);
    hybtest::LogCapture log;
    platform::NotificationCenter::defaultCenter().post(kHYBPluginResetNotification, view.get());
    EXPECT_TRUE(log.contains("Error in HYBLocalStorage (localStorage database) restore: the web engine has it open"));
    EXPECT_EQ(contentsOf(original), "kept=edited;");

    // Backing up while the engine writes is safe.
    ASSERT_TRUE(files().removeItem(backups("localstorage.appdata.db")).ok());
    platform::NotificationCenter::defaultCenter().post(platform::kApplicationWillResignActiveNotification);
    EXPECT_EQ(contentsOf(backups("localstorage.appdata.db")), "kept=edited;");
}

} // namespace
