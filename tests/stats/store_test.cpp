#include "StoreTest.h"

#include "stats/MXStatDataConfigHolderProtocol.h"
#include "stats/MXStatDispatcher.h"
#include "stats/MXStatHelper.h"

#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/SelfProcess.h"
#include "support/StatsCollector.h"

#include "platform/files/FileManager.h"
#include "platform/formats/JSON.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/TextEncoding.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <thread>

extern char** environ;

using namespace stats;
using namespace statstest;

namespace {

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    return text.replace(text.find(what), what.size(), with);
}

TEST_F(StoreTest, MakesTheThreeTablesWithTheirStatements) {
    Database db(databasePath());
    const auto schema = db.column("select sql from sqlite_master where type='table' and name in ('events','user','config') order by rowid");
    std::vector<std::string> expected;
    // SQLite keeps the statement from "CREATE TABLE" on, without "if not exists".
    for (const char* statement : {kMXStatCreateEventsTable, kMXStatCreateUserTable, kMXStatCreateConfigTable})
        expected.push_back(replaced(statement, "create table if not exists ", "CREATE TABLE "));
    EXPECT_EQ(schema, expected);
    EXPECT_EQ(platform::UserDefaults::standard().integer(kMXStatDBVersionKey), 1);
    EXPECT_EQ(MXStatDatabase::fileNameForClass("MSTStore"), ".messenger_analysis.db");
}

TEST_F(StoreTest, LegacyFilesAreMovedAside) {
    m_store.reset();
    auto write = [](const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
    write(documents() + "/messenger_analysis.db", "legacy");
    write(documents() + "/.messenger_analysis.db", "older");
    makeStore();
    std::ifstream moved(documents() + "/.messenger_analysis.db");
    std::string text;
    moved >> text;
    EXPECT_EQ(text, "legacy");
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(documents() + "/messenger_analysis.db"));
    EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(databasePath()));
}

TEST_F(StoreTest, StoresEventsAndCountsThem) {
    storeEventAt(1000, "first");
    storeEventAt(1001, "second");
    EXPECT_EQ(m_store->storedEventCount(), 2u);
    EXPECT_EQ(m_store->getStoredEventsNum(), 2u);
    Database db(databasePath());
    const auto rows = db.events();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].status, 1);
    EXPECT_EQ(rows[0].sendCount, 0);
    EXPECT_EQ(rows[0].ts, 1000);
    auto content = platform::JSON::parse(rows[0].content.value_or(""));
    ASSERT_TRUE(content.ok());
    EXPECT_EQ((*content)["ei"], platform::Value("first"));

    // A tried event is stored the same way.
    auto tried = std::make_shared<MXStatCustomEvent>();
    m_store->storeEvent(tried, true, nullptr);
    drain();
    EXPECT_EQ(db.events().back().sendCount, 0);
}

// The strategy step reads the count on the API queue while the store queue writes it.
TEST_F(StoreTest, TheCountIsReadWhileEventsAreStored) {
    auto api = platform::DispatchQueue::createSerial("MessengerAnalysis");
    std::atomic<std::uint32_t> highest{0};
    for (int i = 0; i < 20; ++i) {
        m_store->storeEvent(std::make_shared<MXStatCustomEvent>(), false, nullptr);
        api->async([&] { highest = std::max(highest.load(), m_store->storedEventCount()); });
    }
    api->sync([] {});
    drain();
    EXPECT_LE(highest.load(), 20u);
    EXPECT_EQ(m_store->storedEventCount(), 20u);
}

TEST_F(StoreTest, AFullStoreErasesTheRowStoredFirstWhateverItsTime) {
    Database db(databasePath());
    db.insertEvents(1, 900);    // stored first; then the clock was set back
    db.insertEvents(1023, 500); // stored later, with earlier times
    m_store->launch();
    drain();
    ASSERT_EQ(m_store->storedEventCount(), 1024u);

    storeEventAt(400);
    EXPECT_TRUE(m_log.contains("Too many events stored in db, erase oldest event"));
    EXPECT_EQ(db.column("select count(*) from events where ts=900"), std::vector<std::string>{"0"});
    EXPECT_EQ(db.column("select count(*) from events where ts=500"), std::vector<std::string>{"1023"});
    EXPECT_EQ(m_store->storedEventCount(), 1024u);

    // Still full: the next insert erases the next row in storage order, not the newest (ts 400).
    storeEventAt(401);
    EXPECT_EQ(db.column("select count(*) from events where ts=500"), std::vector<std::string>{"1022"});
    EXPECT_EQ(db.column("select ts from events order by event_id desc limit 2"), (std::vector<std::string>{"401", "400"}));
    EXPECT_EQ(m_store->storedEventCount(), 1024u);
    EXPECT_EQ(db.column("select count(*) from events"), std::vector<std::string>{"1024"});
}

// A custom event whose JSON text is exactly the given number of UTF-16 units, written with characters
// outside the BMP (two units each) where the length allows.
std::shared_ptr<MXStatEvent> eventOfLength(std::size_t units, bool error) {
    std::shared_ptr<MXStatEvent> event;
    auto fill = [&](const std::string& text) {
        if (error) {
            auto e = std::make_shared<MXStatErrorEvent>();
            e->error = text;
            event = e;
        } else {
            auto e = std::make_shared<MXStatCustomEvent>();
            e->eventID = text;
            event = e;
        }
    };
    fill("");
    const std::size_t base = platform::utf16Length(event->toJsonString());
    std::string text;
    std::size_t missing = units - base;
    for (; missing >= 2 && text.size() < 2000; missing -= 2)
        text += "\xF0\x9F\x98\x80";
    text += std::string(missing, 'x');
    const std::uint64_t index = event->eventIndex;
    fill(text);
    event->eventIndex = index; // same digits as measured
    return event;
}

TEST_F(StoreTest, OverLongEventsAreRefusedUnlessTheyAreErrors) {
    auto tooLong = eventOfLength(4097, false);
    ASSERT_EQ(platform::utf16Length(tooLong->toJsonString()), 4097u);
    store(tooLong);
    EXPECT_EQ(m_store->storedEventCount(), 0u);
    EXPECT_TRUE(m_log.contains("[ERROR]Too large event content length to report:4097"));

    auto longest = eventOfLength(4096, false);
    ASSERT_EQ(platform::utf16Length(longest->toJsonString()), 4096u);
    store(longest);
    EXPECT_EQ(m_store->storedEventCount(), 1u);

    auto error = eventOfLength(4097, true);
    ASSERT_EQ(platform::utf16Length(error->toJsonString()), 4097u);
    store(error);
    EXPECT_EQ(m_store->storedEventCount(), 2u);
}

TEST_F(StoreTest, AFailedBatchIsRetriedTwiceThenDeleted) {
    storeEventAt(1000);
    storeEventAt(1001);
    Database db(databasePath());
    for (int failure = 1; failure <= 3; ++failure) {
        m_store->sendCachedEvents(-1);
        drain();
        ASSERT_EQ(m_dispatcher->batches().size(), static_cast<std::size_t>(failure));
        EXPECT_EQ(m_dispatcher->batches().back().size(), 2u);
        for (const EventRow& row : db.events())
            EXPECT_EQ(row.status, 2);
        EXPECT_EQ(m_store->storedEventCount(), 0u);
        ASSERT_TRUE(m_dispatcher->answer(false));
        drain();
        const auto rows = db.events();
        if (failure < 3) {
            ASSERT_EQ(rows.size(), 2u);
            for (const EventRow& row : rows) {
                EXPECT_EQ(row.status, 1);
                EXPECT_EQ(row.sendCount, failure);
            }
            EXPECT_EQ(m_store->storedEventCount(), 2u);
        } else {
            EXPECT_TRUE(rows.empty());
        }
    }
}

TEST_F(StoreTest, BatchesFollowTheAskedCount) {
    {
        Database db(databasePath());
        for (int second = 0; second < 70; ++second)
            db.insertEvents(1, 1000 + second);
    }
    m_store->launch();
    m_dispatcher->setAnswer(true);
    m_store->sendCachedEvents(30);
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        drain();
        return m_dispatcher->batches().size() >= 2 && m_store->storedEventCount() == 10;
    }));
    drain();
    EXPECT_EQ(m_dispatcher->batches().size(), 2u);
    // Oldest first.
    EXPECT_EQ(m_dispatcher->batches()[0].front().ts, 1000u);
    EXPECT_EQ(m_dispatcher->batches()[1].front().ts, 1030u);

    {
        Database db(databasePath());
        db.insertEvents(60, 2000);
    }
    m_store->launch();
    m_store->sendCachedEvents(-1);
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        drain();
        return m_store->storedEventCount() == 0;
    }));
    drain();
    const auto batches = m_dispatcher->batches();
    ASSERT_EQ(batches.size(), 5u);
    EXPECT_EQ(batches[2].size(), 30u);
    EXPECT_EQ(batches[3].size(), 30u);
    EXPECT_EQ(batches[4].size(), 10u);
}

TEST_F(StoreTest, RowsThatAreNotEventTextsDoNotSpoilTheirBatch) {
    {
        Database db(databasePath());
        db.insertEvents(2, 1000);
        db.exec("insert into events(content, status, send_count, ts) values(NULL, 1, 0, 1001)");
        db.insertEvents(1, 1002, 1, "{\"broken\":");
        db.exec("insert into events(content, status, send_count, ts) values('{\"x\":1}', 1, 'abc', NULL)");
    }
    m_store->launch();
    drain();
    std::vector<MXStatStoreEvent> loaded;
    m_store->queue()->sync([&] { m_store->loadCachedEvents(loaded); });
    ASSERT_EQ(loaded.size(), 5u);
    // Wrong types read as 0 (the NULL ts sorts first).
    EXPECT_EQ(loaded[0].content, "{\"x\":1}");
    EXPECT_EQ(loaded[0].ts, 0u);
    EXPECT_EQ(loaded[0].sendCount, 0u);

    m_store->sendCachedEvents(-1);
    drain();
    ASSERT_EQ(m_dispatcher->batches().size(), 1u);
    EXPECT_EQ(m_dispatcher->batches()[0].size(), 3u);
    ASSERT_TRUE(m_dispatcher->answer(true));
    drain();
    drain();
    EXPECT_TRUE(Database(databasePath()).events().empty());
    EXPECT_EQ(m_store->storedEventCount(), 0u);
}

TEST_F(StoreTest, NothingIsSentWhileTheClientIsOffOrEmpty) {
    m_store->sendCachedEvents(-1);
    drain();
    storeEventAt(1000);
    MXStatConfig::getInstance().setStatEnable(false);
    m_store->sendCachedEvents(-1);
    drain();
    EXPECT_TRUE(m_dispatcher->batches().empty());
}

TEST_F(StoreTest, UserRowWithQuotesRoundTrips) {
    const MXStatEnv& env = MXStatHelper::getInstance().getEnv();
    auto user = m_store->loadUser(); // a new user's row
    ASSERT_TRUE(user);
    EXPECT_EQ(user->uid, env.deviceid);
    EXPECT_EQ(user->userType, 0);
    EXPECT_EQ(user->appVer, env.app_version);
    EXPECT_EQ(m_store->getMstSharedUDID(), env.deviceid);

    {
        Database db(databasePath());
        db.exec("delete from user");
        db.exec("insert into user values('it''s \"q\"', 0, '1', 5)");
    }
    MXStatUser changed{"it's \"q\"", 3, "2.0' where uid='x", 99};
    m_store->storeUser(changed);
    drain();
    EXPECT_EQ(m_store->loadUser(), changed);
    EXPECT_EQ(m_store->getMstSharedUDID(), "it's \"q\"");

    // Asked on the store queue itself (an event encoded there), it answers at once.
    std::optional<MXStatUser> onQueue;
    m_store->queue()->sync([&] { onQueue = m_store->loadUser(); });
    EXPECT_EQ(onQueue, changed);

    // Wrong types read as 0.
    Database(databasePath()).exec("update user set user_type='x', ts=NULL");
    EXPECT_EQ(m_store->loadUser(), (MXStatUser{"it's \"q\"", 0, "2.0' where uid='x", 0}));
}

TEST_F(StoreTest, ConfigRowsAreReplacedByType) {
    m_store->storeConfig({1, "{\"rs\":1}", "m1", 2});
    m_store->storeConfig({2, "{\"k\":\"v\"}", "m2", 1});
    m_store->storeConfig({1, "{\"rs\":2}", "m'3", 3});
    drain();
    std::vector<MXStatDataConfig> configs;
    m_store->loadConfig([&](const MXStatDataConfig& config) { configs.push_back(config); });
    ASSERT_EQ(configs.size(), 2u);
    const auto& sdk = configs[0].type == 1 ? configs[0] : configs[1];
    EXPECT_EQ(sdk.content, "{\"rs\":2}");
    EXPECT_EQ(sdk.md5, "m'3");
    EXPECT_EQ(sdk.version, 3u);
}

TEST_F(StoreTest, UpdateDatabaseFormatsAndExecutes) {
    storeEventAt(1000);
    EXPECT_EQ(m_store->updateDatabase("update events set send_count=%d", 7), SQLITE_OK);
    EXPECT_EQ(Database(databasePath()).events()[0].sendCount, 7);
    EXPECT_NE(m_store->updateDatabase("update missing set x=%d", 1), SQLITE_OK);
    EXPECT_TRUE(m_log.contains("Failed to execute sql:update missing set x=1 for reason:no such table: missing"))
        << ::testing::PrintToString(m_log.lines());
}

// A Documents "folder" that is a file: no database can be made there.
TEST_F(StoreTest, WithoutADatabaseEveryCompletionStillRuns) {
    m_store.reset();
    auto& files = platform::FileManager::defaultManager();
    ASSERT_TRUE(files.removeItem(documents()).ok());
    std::ofstream(documents()) << "not a folder";
    makeStore();
    EXPECT_TRUE(m_log.contains("NULL database to init table."));
    EXPECT_FALSE(m_store->getDB());
    storeEventAt(1000);
    EXPECT_EQ(m_store->storedEventCount(), 0u);
    EXPECT_EQ(m_store->getStoredEventsNum(), 0u);
    bool deleted = false;
    m_store->deleteEvents({MXStatStoreEvent{}}, [&] { deleted = true; });
    m_store->launch();
    m_store->sendCachedEvents(-1);
    m_store->storeUser({});
    m_store->storeConfig({});
    drain();
    EXPECT_TRUE(deleted);
    EXPECT_EQ(m_store->loadUser(), std::nullopt);
    EXPECT_EQ(m_store->getMstSharedUDID(), "");
    EXPECT_EQ(m_store->updateDatabase("delete from events"), -1);
    int configs = 0;
    m_store->loadConfig([&](const MXStatDataConfig&) { ++configs; });
    EXPECT_EQ(configs, 0);
    EXPECT_TRUE(m_dispatcher->batches().empty());
}

TEST_F(StoreTest, AFileThatIsNotADatabaseIsReplaced) {
    m_store.reset();
    {
        std::ofstream file(databasePath(), std::ios::binary);
        for (int i = 0; i < 4096; ++i)
            file.put(static_cast<char>((i * 7919 + 13) & 0xff));
    }
    std::ofstream(databasePath() + "-journal") << "stale journal";
    makeStore();
    EXPECT_TRUE(m_log.contains("is damaged"));
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(databasePath() + "-journal"));
    // Set aside whole, never deleted: what it held may yet be read. (SQLite drops the stale journal itself.)
    EXPECT_EQ(platform::FileManager::defaultManager().contentsOfFile(databasePath() + ".damaged").valueOr({}).size(), 4096u);
    EXPECT_TRUE(m_log.contains("moved aside (" + databasePath() + ".damaged")) << ::testing::PrintToString(m_log.lines());
    storeEventAt(1000);
    EXPECT_EQ(m_store->storedEventCount(), 1u);
    EXPECT_EQ(Database(databasePath()).events().size(), 1u);
}

// Something other than a file at the database's place (or at a journal's) failed every statement at every
// launch: it is moved aside whole, said once, and the store works afresh from then on.
TEST_F(StoreTest, SomethingOtherThanAFileAtTheDatabasesPlaceIsMovedAsideOnce) {
    struct Shape {
        const char* name;
        const char* suffix;
        std::function<void(const std::string&)> make;
        mode_t kind;           // of what lies aside
        bool whileOpen = false; // put there under the open connection (a pipe would hold the next write for ever)
    };
    const std::string missing = documents() + "/nowhere/db";
    const Shape shapes[] = {
        {"folder", "", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, S_IFDIR},
        {"pipe", "", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, S_IFIFO},
        {"link to /dev/zero", "", [](const std::string& p) { ASSERT_EQ(::symlink("/dev/zero", p.c_str()), 0); }, S_IFLNK},
        {"dangling link", "", [&](const std::string& p) { ASSERT_EQ(::symlink(missing.c_str(), p.c_str()), 0); }, S_IFLNK},
        {"folder at the journal", "-journal", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, S_IFDIR},
        {"pipe at the journal while open", "-journal", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, S_IFIFO,
         true},
        {"folder at the journal while open", "-journal", [](const std::string& p) { ASSERT_EQ(::mkdir(p.c_str(), 0700), 0); }, S_IFDIR,
         true},
        {"link to /dev/null at the journal while open", "-journal",
         [](const std::string& p) { ASSERT_EQ(::symlink("/dev/null", p.c_str()), 0); }, S_IFLNK, true},
        {"pipe at the write-ahead log while open", "-wal", [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); },
         S_IFIFO, true},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        settle(m_store);
        const std::string place = databasePath() + shape.suffix;
        (void)platform::FileManager::defaultManager().removeItem(databasePath());
        (void)platform::FileManager::defaultManager().removeItem(place + ".damaged");
        if (shape.whileOpen) {
            makeStore();
            storeEventAt(999);
        }
        shape.make(place);
        {
            hybtest::LogCapture log;
            if (!shape.whileOpen)
                makeStore();
            storeEventAt(1000);
            EXPECT_EQ(m_store->storedEventCount(), shape.whileOpen ? 2u : 1u);
            const std::vector<std::string> lines = log.lines();
            EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line.find("moved aside") != std::string::npos; }),
                      1)
                << ::testing::PrintToString(lines);
        }
        struct stat aside {};
        ASSERT_EQ(::lstat((place + ".damaged").c_str(), &aside), 0);
        EXPECT_EQ(aside.st_mode & S_IFMT, shape.kind);
        EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(missing)); // a link's target is not made
        // The next launch finds the store as it was left: nothing more is moved or lost.
        settle(m_store);
        hybtest::LogCapture log;
        makeStore();
        storeEventAt(1001);
        EXPECT_EQ(Database(databasePath()).events().size(), shape.whileOpen ? 3u : 2u);
        EXPECT_FALSE(log.contains("moved aside"));
    }
}

// A home reached through a symbolic link (kept on another disk) is the home: its database is opened.
TEST_F(StoreTest, AHomeReachedThroughALinkKeepsItsEvents) {
    settle(m_store);
    const std::string via = m_home.root() + "/via";
    ASSERT_EQ(::symlink(m_home.folders().home().c_str(), via.c_str()), 0);
    platform::AppFolders::install(platform::AppFolders(via, m_home.folders().bundle()));
    makeStore();
    storeEventAt(1000);
    EXPECT_EQ(m_store->storedEventCount(), 1u);
    settle(m_store);
    platform::AppFolders::install(m_home.folders());
    EXPECT_EQ(Database(databasePath()).events().size(), 1u);
}

TEST_F(StoreTest, ATruncatedFileIsReplacedWhenAStatementMeetsTheDamage) {
    {
        Database db(databasePath());
        db.insertEvents(400, 1000, 1, std::string(300, 'x'));
    }
    m_store.reset();
    ASSERT_EQ(::truncate(databasePath().c_str(), 20000), 0);
    makeStore();
    m_store->launch();
    drain();
    std::vector<MXStatStoreEvent> loaded;
    m_store->queue()->sync([&] { m_store->loadCachedEvents(loaded); });
    m_store->sendCachedEvents(-1);
    storeEventAt(2000);
    drain();
    // Whatever the damage met first, the store works on afterwards; the damaged file, with what it still
    // held of the 400 events, lies aside.
    storeEventAt(2001);
    EXPECT_GE(m_store->getStoredEventsNum(), 1u);
    EXPECT_TRUE(m_log.contains("is damaged")) << ::testing::PrintToString(m_log.lines());
    EXPECT_TRUE(platform::FileManager::defaultManager().fileExists(databasePath() + ".damaged"));
}

TEST_F(StoreTest, TablesWithOtherColumnsFailInsertsWithoutHarm) {
    m_store.reset();
    ASSERT_TRUE(platform::FileManager::defaultManager().removeItem(databasePath()).ok());
    {
        Database db(databasePath());
        db.exec("create table events(a TEXT)");
        db.exec("create table user(b TEXT)");
    }
    makeStore();
    storeEventAt(1000);
    EXPECT_TRUE(m_log.contains("Failed to prepare insert events"));
    EXPECT_EQ(m_store->storedEventCount(), 0u);
    m_store->sendCachedEvents(-1);
    m_store->storeUser({"u", 1, "v", 2});
    drain();
    EXPECT_EQ(m_store->loadUser(), std::nullopt);
}

// ---- A collector that cannot be reached ----

TEST_F(StoreTest, BatchesThatDoNotReachTheCollectorKeepTheirRowsUncounted) {
    for (std::uint32_t i = 0; i < 10; ++i)
        storeEventAt(1000 + i);
    Database db(databasePath());
    // The instant strategy flushes at every event: many more attempts than maxSendRetryCount.
    m_dispatcher->setOutcome(BatchDispatcher::Outcome::Unreached);
    for (int attempt = 0; attempt < 8; ++attempt) {
        m_store->sendCachedEvents(-1);
        drain();
        drain(); // the outcome's bookkeeping is queued behind the batch
    }
    EXPECT_EQ(m_dispatcher->batches().size(), 8u);
    auto rows = db.events();
    ASSERT_EQ(rows.size(), 10u);
    for (const EventRow& row : rows) {
        EXPECT_EQ(row.status, 1);
        EXPECT_EQ(row.sendCount, 0);
    }
    EXPECT_EQ(m_store->storedEventCount(), 10u);
    // Back up: every event arrives.
    m_dispatcher->setAnswer(true);
    m_store->sendCachedEvents(-1);
    drain();
    drain();
    EXPECT_EQ(m_dispatcher->batches().back().size(), 10u);
    EXPECT_TRUE(db.events().empty());
    EXPECT_EQ(m_store->storedEventCount(), 0u);
}

// ---- The file under the store ----

TEST_F(StoreTest, ARemovedFileIsMadeAgainAndCountedFromScratch) {
    storeEventAt(1000);
    storeEventAt(1001);
    EXPECT_EQ(m_store->storedEventCount(), 2u);
    ASSERT_EQ(::unlink(databasePath().c_str()), 0);
    storeEventAt(1002);
    EXPECT_EQ(m_store->storedEventCount(), 1u);
    auto rows = Database(databasePath()).events();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].ts, 1002);
    EXPECT_FALSE(m_log.contains("readonly")) << ::testing::PrintToString(m_log.lines());
    // And it sends and deletes as before.
    m_dispatcher->setAnswer(true);
    m_store->sendCachedEvents(-1);
    drain();
    drain();
    ASSERT_EQ(m_dispatcher->batches().size(), 1u);
    EXPECT_EQ(m_dispatcher->batches()[0].size(), 1u);
    EXPECT_TRUE(Database(databasePath()).events().empty());
}

TEST_F(StoreTest, AFilePutInPlaceOfTheOpenOneIsTheOneUsed) {
    storeEventAt(1000);
    const std::string other = documents() + "/restored";
    {
        Database db(other);
        db.exec(kMXStatCreateEventsTable);
        db.insertEvents(5, 900);
    }
    ASSERT_EQ(::rename(other.c_str(), databasePath().c_str()), 0);
    m_dispatcher->setAnswer(true);
    m_store->sendCachedEvents(-1);
    drain();
    drain();
    ASSERT_EQ(m_dispatcher->batches().size(), 1u);
    EXPECT_EQ(m_dispatcher->batches()[0].size(), 5u);
    EXPECT_TRUE(Database(databasePath()).events().empty());
    EXPECT_EQ(m_store->storedEventCount(), 0u);
}

// A batch is out when another database file is put in place (restored, or made afresh after a removal):
// its answer settles the rows it took, never the rows of the new file that happen to carry the same
// numbers (their ids start again from 1 in a new file).
TEST_F(StoreTest, ABatchAnsweredAfterTheFileWasReplacedLeavesTheNewFilesRowsAlone) {
    using Outcome = BatchDispatcher::Outcome;
    for (const Outcome outcome : {Outcome::Sent, Outcome::Refused, Outcome::Unreached}) {
        SCOPED_TRACE(static_cast<int>(outcome));
        if (!m_store) {
            m_dispatcher = std::make_shared<BatchDispatcher>();
            makeStore();
        }
        ASSERT_EQ(sendHeldBatch(), 1u); // rows 1 and 2 in flight
        const std::string other = documents() + "/restored";
        {
            Database db(other);
            db.exec(kMXStatCreateEventsTable);
            db.insertEvents(2, 2000); // rows 1 and 2 of the new file, never sent
        }
        ASSERT_EQ(::rename(other.c_str(), databasePath().c_str()), 0);
        ASSERT_TRUE(m_dispatcher->answer(outcome));
        drain();
        drain();
        const auto rows = Database(databasePath()).events();
        ASSERT_EQ(rows.size(), 2u) << "rows of the new file were settled as the old batch's";
        for (const EventRow& row : rows) {
            EXPECT_EQ(row.ts, 2000);
            EXPECT_EQ(row.sendCount, 0);
        }
        // They are sent once, later (a Sent batch goes on with the next at once).
        m_dispatcher->setAnswer(true);
        while (m_dispatcher->answer(true)) {
        }
        drain();
        m_store->sendCachedEvents(-1);
        drain();
        drain();
        EXPECT_TRUE(Database(databasePath()).events().empty());
        std::size_t sent2000 = 0;
        for (const auto& batch : m_dispatcher->batches())
            for (const auto& row : batch)
                sent2000 += row.ts == 2000;
        EXPECT_EQ(sent2000, 2u);
        m_store->close();
        m_store.reset();
        m_dispatcher.reset();
        ASSERT_EQ(::unlink(databasePath().c_str()), 0);
    }
}

TEST_F(StoreTest, ARebuiltFileIsCountedAgain) {
    for (std::uint32_t i = 0; i < 3; ++i)
        storeEventAt(1000 + i);
    EXPECT_EQ(m_store->storedEventCount(), 3u);
    {
        // Damaged in place, as a crash of the disk would leave it.
        std::fstream file(databasePath(), std::ios::in | std::ios::out | std::ios::binary);
        for (int i = 0; i < 200; ++i)
            file.put(static_cast<char>(0xA5));
    }
    storeEventAt(2000);
    storeEventAt(2001);
    EXPECT_TRUE(m_log.contains("is damaged"));
    const auto rows = Database(databasePath()).events();
    EXPECT_EQ(m_store->storedEventCount(), rows.size());
    EXPECT_GE(rows.size(), 1u);
}

TEST_F(StoreTest, RowsThatCannotBeMarkedAreNotSentAgainAndAgain) {
    storeEventAt(1000);
    storeEventAt(1001);
    {
        // The file refuses every change to its rows, as one that can only be read does.
        Database db(databasePath());
        db.exec("create trigger frozen before update on events begin select raise(abort, 'read-only'); end");
        db.exec("create trigger kept before delete on events begin select raise(abort, 'read-only'); end");
    }
    m_dispatcher->setAnswer(true);
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_store->sendCachedEvents(-1);
        drain();
    }
    EXPECT_TRUE(m_dispatcher->batches().empty());
    EXPECT_TRUE(m_log.contains("cannot be marked as being sent"));
    EXPECT_EQ(Database(databasePath()).events().size(), 2u);
}

// The child of the next test: takes every stored row into a batch whose upload never ends, says so on
// the given descriptor and waits to be killed.
TEST(StoreChild, HoldsABatchUntilKilled) {
    const char* home = std::getenv("HYB_STATS_CHILD_HOME");
    const char* bundle = std::getenv("HYB_STATS_CHILD_BUNDLE");
    const char* fd = std::getenv("HYB_STATS_CHILD_FD");
    if (!home || !bundle || !fd)
        GTEST_SKIP() << "run by StoreTest.AKilledUploadLeavesItsRowsForTheNextLaunch";
    platform::AppFolders::install(platform::AppFolders(home, bundle));
    struct Signalling : BatchDispatcher {
        int fd = -1;
        void send(std::vector<MXStatStoreEvent> events, BatchCompletion completion) override {
            BatchDispatcher::send(std::move(events), std::move(completion));
            const char byte = 1;
            (void)!::write(fd, &byte, 1);
        }
    };
    auto dispatcher = std::make_shared<Signalling>();
    dispatcher->fd = std::atoi(fd);
    auto store = MXStatStore::create();
    store->setDispatcher(dispatcher);
    store->launch();
    store->sendCachedEvents(-1);
    for (;;)
        ::pause();
}

TEST_F(StoreTest, AKilledUploadLeavesItsRowsForTheNextLaunch) {
    storeEventAt(1000);
    storeEventAt(1001);
    storeEventAt(1002);
    Database db(databasePath());
    db.exec("update events set send_count=2 where event_id=2");
    m_store.reset();

    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    // Everything the child needs is prepared before the fork: between fork and exec only async-safe calls.
    std::vector<std::string> variables = {"HYB_STATS_CHILD_HOME=" + m_home.folders().home(),
                                          "HYB_STATS_CHILD_BUNDLE=" + m_home.folders().bundle(),
                                          "HYB_STATS_CHILD_FD=" + std::to_string(fds[1])};
    for (char** entry = environ; *entry; ++entry)
        variables.emplace_back(*entry);
    std::vector<char*> envp;
    for (std::string& variable : variables)
        envp.push_back(variable.data());
    envp.push_back(nullptr);
    char executable[] = "/proc/self/exe";
    char filter[] = "--gtest_filter=StoreChild.HoldsABatchUntilKilled";
    char* argv[] = {executable, filter, nullptr};

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::fcntl(fds[1], F_SETFD, 0); // the write end stays open across exec
        ::execve(executable, argv, envp.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    char byte = 0;
    const ssize_t got = ::read(fds[0], &byte, 1); // 0 when the child ended without a batch
    ::close(fds[0]);
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(got, 1);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

    auto rows = db.events();
    ASSERT_EQ(rows.size(), 3u);
    for (const EventRow& row : rows)
        EXPECT_EQ(row.status, 2);

    makeStore();
    m_store->launch();
    drain();
    rows = db.events();
    ASSERT_EQ(rows.size(), 3u);
    for (const EventRow& row : rows) {
        EXPECT_EQ(row.status, 1);
        EXPECT_EQ(row.sendCount, row.id == 2 ? 2 : 0);
    }
    EXPECT_EQ(m_store->storedEventCount(), 3u);
}

} // namespace

// ---- Two processes of the application on one store ----

namespace {

class QuietHolder : public MXStatDataConfigHolderProtocol {
public:
    void encode(platform::Dictionary&) const override {}
    void updateOnlineConfig(const platform::Dictionary&) override {}
};

// Events each process stores: together fewer than the store keeps, so that none is evicted.
constexpr int kPeerEvents = 250;

std::string eventText(const std::string& id) {
    return R"({"idx":1,"ts":1700000000,"si":7,"mid":"none","et":1000,"ei":")" + id + "\"}";
}

// Stores `count` custom events "<tag>-<i>" through the store, asking for a batch of 30 now and then, then
// sends while this store owns the file and waits until none of its uploads is in flight.
void storeAndSend(MXStatStore& store, const std::string& tag, int count) {
    for (int i = 0; i < count; ++i) {
        auto event = std::make_shared<MXStatCustomEvent>();
        event->eventID = tag + "-" + std::to_string(i);
        event->ts = 1700000000 + static_cast<std::uint32_t>(i);
        store.storeEvent(event, false, {});
        if (i % 40 == 39)
            store.sendCachedEvents(30);
    }
    store.sendCachedEvents(-1);
    store.queue()->sync([] {});
    const std::string path = store.database().path();
    EXPECT_TRUE(hybtest::runMainUntil(
        [&] {
            bool owner = false;
            store.queue()->sync([&] { owner = store.ownsStore(); });
            if (!owner)
                return true; // the owner sends what is left
            const auto rows = Database(path).events();
            for (const EventRow& row : rows)
                if (row.status == 2)
                    return false;
            if (!rows.empty())
                store.sendCachedEvents(-1);
            return rows.empty();
        },
        std::chrono::seconds(60)));
}

} // namespace

// The other process of the next test (run by it): stores and sends through the same file.
TEST(StorePeer, DISABLED_StoresAndSendsAlongside) {
    const char* home = std::getenv("HYB_STATS_PEER_HOME");
    const char* bundle = std::getenv("HYB_STATS_PEER_BUNDLE");
    const char* url = std::getenv("HYB_STATS_PEER_URL");
    ASSERT_TRUE(home && bundle && url);
    platform::AppFolders::install(platform::AppFolders(home, bundle));
    MXStatConfig::getInstance().setStatReportURL(url);
    auto holder = std::make_shared<QuietHolder>();
    MXStatHelper::getInstance().setConfigHolder(holder);
    auto store = MXStatStore::create();
    store->setDispatcher(MXStatDispatcher::create());
    store->launch();
    storeAndSend(*store, "peer", kPeerEvents);
}

TEST_F(StoreTest, TwoProcessesStoringAndSendingAtOnceLoseNothingAndSendNothingTwice) {
    testsupport::StatsCollector collector;
    MXStatConfig::getInstance().setStatReportURL(collector.url());
    auto holder = std::make_shared<QuietHolder>();
    MXStatHelper::getInstance().setConfigHolder(holder);
    m_store->setDispatcher(MXStatDispatcher::create());
    m_store->launch();

    std::thread peer([&] {
        EXPECT_EQ(hybtest::runThisTestExecutable("StorePeer.DISABLED_StoresAndSendsAlongside",
                                                 {"HYB_STATS_PEER_HOME=" + m_home.folders().home(),
                                                  "HYB_STATS_PEER_BUNDLE=" + m_home.folders().bundle(),
                                                  "HYB_STATS_PEER_URL=" + collector.url()}),
                  0);
    });
    storeAndSend(*m_store, "here", kPeerEvents);
    peer.join();
    // Whichever process owned the store has gone or sent all: this one sends what is left.
    storeAndSend(*m_store, "last", 0);
    MXStatHelper::getInstance().setConfigHolder({});

    EXPECT_TRUE(collector.problems().empty()) << ::testing::PrintToString(collector.problems());
    std::map<std::string, int> seen;
    for (const platform::Value& event : collector.events())
        ++seen[event["ei"].stringOr("")];
    std::vector<std::string> twice, missing;
    for (const auto& [id, times] : seen)
        if (times != 1)
            twice.push_back(id);
    for (const char* tag : {"here", "peer"})
        for (int i = 0; i < kPeerEvents; ++i)
            if (!seen.count(std::string(tag) + "-" + std::to_string(i)))
                missing.push_back(std::string(tag) + "-" + std::to_string(i));
    EXPECT_TRUE(twice.empty()) << twice.size() << " sent more than once, e.g. " << twice.front();
    EXPECT_TRUE(missing.empty()) << missing.size() << " never sent, e.g. " << missing.front();
    EXPECT_TRUE(Database(databasePath()).events().empty());
}

TEST_F(StoreTest, AnInsertWaitsForAnotherProcessesLockInsteadOfDroppingTheEvent) {
    Database other(databasePath());
    other.exec("BEGIN IMMEDIATE");
    other.exec("insert into events(content, status, send_count, ts) values('" + eventText("other") + "', 1, 0, 5)");
    std::thread release([&other] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        other.exec("COMMIT");
    });
    storeEventAt(1000, "waited");
    release.join();
    EXPECT_FALSE(m_log.contains("Failed to exec satement to insert events."));
    EXPECT_EQ(Database(databasePath()).column("select ts from events order by event_id"),
              (std::vector<std::string>{"5", "1000"}));
}

TEST_F(StoreTest, RowsInFlightBelongToTheStoreThatSentThem) {
    ASSERT_EQ(sendHeldBatch(), 1u); // held: no answer yet

    // A second process starts on the same file: it leaves the batch alone and does not send.
    auto second = MXStatStore::create();
    auto secondUpload = std::make_shared<BatchDispatcher>();
    secondUpload->setAnswer(true);
    second->setDispatcher(secondUpload);
    second->launch();
    second->queue()->sync([] {});
    for (const EventRow& row : Database(databasePath()).events())
        EXPECT_EQ(row.status, 2);
    bool secondOwns = true;
    second->queue()->sync([&] { secondOwns = second->ownsStore(); });
    EXPECT_FALSE(secondOwns);
    bool stored = false;
    auto event = std::make_shared<MXStatCustomEvent>();
    event->ts = 1002;
    second->storeEvent(event, false, [&stored] { stored = true; });
    second->sendCachedEvents(-1);
    second->queue()->sync([] {});
    EXPECT_TRUE(stored);
    EXPECT_TRUE(secondUpload->batches().empty());

    // The first sends its batch, then the events the second handed over.
    m_dispatcher->setAnswer(true);
    ASSERT_TRUE(m_dispatcher->answer(true));
    drain();
    drain();
    ASSERT_EQ(m_dispatcher->batches().size(), 2u);
    EXPECT_EQ(m_dispatcher->batches()[1].size(), 1u);
    EXPECT_EQ(m_dispatcher->batches()[1][0].ts, 1002u);

    // Once the first has gone, the second owns the file and sends.
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        drain();
        return Database(databasePath()).events().empty();
    }));
    m_store->close();
    m_store.reset();
    second->storeEvent(event, false, {});
    second->sendCachedEvents(-1);
    second->queue()->sync([] {});
    second->queue()->sync([] {});
    EXPECT_EQ(secondUpload->batches().size(), 1u);
    EXPECT_TRUE(Database(databasePath()).events().empty());
    second->close();
    settle(second);
}

TEST_F(StoreTest, AnOwnerFileRemovedUnderTheOwnerDoesNotMakeASecondOwner) {
    ASSERT_EQ(sendHeldBatch(), 1u); // held: no answer yet
    // Someone clears the folder's lock file while the batch is out.
    ASSERT_EQ(::unlink((databasePath() + kMXStatStoreOwnerSuffix).c_str()), 0);

    SecondStore other;
    auto& second = other.store;
    auto& secondUpload = other.upload;
    second->launch();
    other.send();
    for (const EventRow& row : Database(databasePath()).events())
        EXPECT_EQ(row.status, 2) << "the first store's batch is still out";
    EXPECT_TRUE(secondUpload->batches().empty()) << "the rows in flight were sent a second time";
    m_dispatcher->setAnswer(true);
    ASSERT_TRUE(m_dispatcher->answer(true));
    drain();
    EXPECT_TRUE(Database(databasePath()).events().empty());
    // One owner again: the first finds its file gone and the new one locked by the second.
    bool firstOwns = true, secondOwns = false;
    m_store->queue()->sync([&] { firstOwns = m_store->ownsStore(); });
    second->queue()->sync([&] { secondOwns = second->ownsStore(); });
    EXPECT_FALSE(firstOwns);
    EXPECT_TRUE(secondOwns);
    EXPECT_TRUE(m_log.contains("was removed or replaced; it is locked again"));
    second->close();
}

// The owner file renamed over (another file at the same path), replaced by a folder, a link or
// truncated while a batch is out: neither the owner itself nor a second store sends the rows in
// flight again; once the batch is answered exactly one store sends what is stored after it.
TEST_F(StoreTest, AnOwnerFileReplacedUnderTheOwnerSendsNoBatchTwice) {
    const std::string ownerFile = databasePath() + kMXStatStoreOwnerSuffix;
    const std::string other = databasePath() + "-other";
    enum class Change { RenamedOver, RenamedOverTwice, Truncated, Folder, Link };
    for (const Change change : {Change::RenamedOver, Change::RenamedOverTwice, Change::Truncated, Change::Folder, Change::Link}) {
        SCOPED_TRACE(static_cast<int>(change));
        if (!m_store) {
            m_dispatcher = std::make_shared<BatchDispatcher>();
            makeStore();
        }
        ASSERT_EQ(sendHeldBatch(), 1u); // held: no answer yet

        const auto makeOther = [&] {
            const int fd = ::open(other.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            ASSERT_GE(fd, 0);
            ASSERT_EQ(::write(fd, "x", 1), 1);
            ::close(fd);
        };
        const auto replace = [&] {
            switch (change) {
            case Change::RenamedOver:
            case Change::RenamedOverTwice:
                makeOther();
                ASSERT_EQ(::rename(other.c_str(), ownerFile.c_str()), 0);
                break;
            case Change::Truncated:
                ASSERT_EQ(::truncate(ownerFile.c_str(), 0), 0);
                break;
            case Change::Folder:
                ASSERT_EQ(::unlink(ownerFile.c_str()), 0);
                ASSERT_EQ(::mkdir(ownerFile.c_str(), 0700), 0);
                break;
            case Change::Link:
                makeOther();
                ASSERT_EQ(::unlink(ownerFile.c_str()), 0);
                ASSERT_EQ(::symlink(other.c_str(), ownerFile.c_str()), 0);
                break;
            }
        };
        replace();
        storeEventAt(1002);
        // The owner itself asks for a batch: it finds its file changed and must not send its rows in
        // flight again.
        m_store->sendCachedEvents(-1);
        drain();
        SecondStore secondStore;
        auto& second = secondStore.store;
        auto& secondUpload = secondStore.upload;
        second->launch();
        secondStore.send();
        if (change == Change::RenamedOverTwice) {
            replace();
            m_store->sendCachedEvents(-1);
            drain();
            secondStore.send();
        }
        std::vector<std::int64_t> sent;
        for (const auto& batch : m_dispatcher->batches())
            for (const auto& row : batch)
                sent.push_back(row.ts);
        for (const auto& batch : secondUpload->batches())
            for (const auto& row : batch)
                sent.push_back(row.ts);
        std::sort(sent.begin(), sent.end());
        EXPECT_TRUE(std::adjacent_find(sent.begin(), sent.end()) == sent.end()) << "a row was sent twice";
        EXPECT_EQ(std::count(sent.begin(), sent.end(), 1000), 1);

        // The batch answered: everything is sent once, by one store or the other.
        m_dispatcher->setAnswer(true);
        ASSERT_TRUE(m_dispatcher->answer(true));
        while (m_dispatcher->answer(true)) {
        }
        drain();
        // An owner file that is no plain file any more is moved aside, and a store owns the store again.
        ASSERT_TRUE(hybtest::runMainUntil([&] {
            m_store->sendCachedEvents(-1);
            second->sendCachedEvents(-1);
            drain();
            second->queue()->sync([] {});
            return Database(databasePath()).events().empty();
        }));
        if (change == Change::Folder || change == Change::Link) {
            EXPECT_TRUE(m_log.contains("moved aside to " + ownerFile + ".damaged"));
        }
        std::vector<std::int64_t> all;
        for (const auto* upload : {m_dispatcher.get(), secondUpload.get()})
            for (const auto& batch : upload->batches())
                for (const auto& row : batch)
                    all.push_back(row.ts);
        std::sort(all.begin(), all.end());
        EXPECT_TRUE(std::adjacent_find(all.begin(), all.end()) == all.end()) << "a row was sent twice";

        second->close();
        m_store->close();
        second.reset();
        m_store.reset();
        m_dispatcher.reset();
        (void)::unlink(other.c_str());
        (void)::rmdir(ownerFile.c_str());
        (void)::unlink(ownerFile.c_str());
        (void)platform::FileManager::defaultManager().removeItem(ownerFile + ".damaged");
        Database(databasePath()).exec("delete from events");
    }
}

TEST_F(StoreTest, AStoreThatCountedItselfFullErasesNothingOnceAnotherProcessHasSentTheRows) {
    // This store counts the 1,024 rows the file held at its launch; then another process (the owner)
    // sends and removes all but two of them.
    Database db(databasePath());
    db.insertEvents(1024, 500);
    m_store->launch();
    drain();
    ASSERT_EQ(m_store->storedEventCount(), 1024u);
    db.exec("delete from events where event_id > 2");

    storeEventAt(600, "kept");
    EXPECT_FALSE(m_log.contains("Too many events stored in db, erase oldest event"));
    EXPECT_EQ(db.column("select count(*) from events"), std::vector<std::string>{"3"});
    EXPECT_EQ(m_store->storedEventCount(), 3u);
}

// Another process empties the file (truncated to nothing) or drops its tables while the store has it
// open: the events stored afterwards are kept and sent, not refused with "no such table" until the
// next launch.
TEST_F(StoreTest, EventsStoredAfterTheFileWasEmptiedUnderTheStoreAreKept) {
    for (const bool truncated : {true, false}) {
        SCOPED_TRACE(truncated ? "truncated" : "tables dropped");
        if (!m_store) {
            m_dispatcher = std::make_shared<BatchDispatcher>();
            makeStore();
        }
        ASSERT_EQ(sendHeldBatch(), 1u);
        if (truncated) {
            ASSERT_EQ(::truncate(databasePath().c_str(), 0), 0);
        } else {
            Database db(databasePath());
            db.exec("drop table events");
            db.exec("drop table user");
        }
        storeEventAt(2000);
        storeEventAt(2001);
        ASSERT_TRUE(m_dispatcher->answer(true));
        drain();
        m_dispatcher->setAnswer(true);
        while (m_dispatcher->answer(true)) {
        }
        m_store->sendCachedEvents(-1);
        drain();
        drain();
        std::size_t sent = 0;
        for (const auto& batch : m_dispatcher->batches())
            for (const auto& row : batch)
                sent += row.ts >= 2000 ? 1 : 0;
        EXPECT_EQ(sent, 2u) << ::testing::PrintToString(m_log.lines());
        EXPECT_TRUE(Database(databasePath()).events().empty());
        EXPECT_TRUE(m_log.contains("lost its tables: they are made again"));
        EXPECT_TRUE(m_store->loadUser().has_value());
        m_store->close();
        m_store.reset();
        m_dispatcher.reset();
        ASSERT_EQ(::unlink(databasePath().c_str()), 0);
    }
}
