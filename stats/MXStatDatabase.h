// One connection to the statistics database, a SQLite file in the application's Documents folder, and the
// process-wide lock every SQL call of the statistics client runs under.
//
// Guarantees:
// - Thread: every call from any thread. Each call takes MXStatSQLLock() around its prepare, bind, step and
//   exec; the lock is recursive, so a caller may hold it across several calls (a whole transaction).
// - Opening follows the client's rules: a legacy "messenger_analysis.db" is moved to
//   ".messenger_analysis.db" (an existing one of those is removed first), then the connection's own file
//   is opened. A file that cannot be opened leaves the connection closed; every call then does nothing
//   and answers failure (-1 for execute), and the next call tries again.
// - A statement that answers SQLITE_CORRUPT or SQLITE_NOTADB (a damaged file, or one that is not a
//   database) closes the connection, moves the open file and its journal files aside (StorePlace: kept,
//   never deleted, within its bound of asides; said in the log), opens a fresh file and creates the
//   tables again. The statement itself is not repeated. A statement that finds one of
//   the tables gone ("no such table": the file truncated to nothing or its tables dropped by someone
//   else while it is open) makes the tables again and runs once more.
// - The connection follows its file: before each statement the file at path() must be the one that is
//   open. One that was removed, replaced by another file, or that lies in another Documents folder now
//   is opened afresh (and its tables made); so is one that SQLite found moved while writing. Every
//   opening advances generation(), so whoever counts rows knows to count again.
// - One connection per file in the process: the store owns it and the configuration holder uses the
//   store's, so neither can act on a file the other has already replaced.
// - Other processes: a statement that meets another connection's lock on the file waits for it, up to
//   kBusyTimeoutMilliseconds, before it fails.
// - Failures are logged: "Failed to execute sql:%s for reason:%s" with the statement and SQLite's message.
// - Statement texts are formatted C-style into 1024 bytes (longer text is cut), as the client's
//   statements always were; values from outside are bound as parameters, never formatted in.
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace stats {

inline constexpr const char* kMXStatLegacyDatabaseName = "messenger_analysis.db";
inline constexpr const char* kMXStatHiddenLegacyDatabaseName = ".messenger_analysis.db";
inline constexpr const char* kMXStatDatabaseNameFormat = ".messenger_analysis_%s";

inline constexpr const char* kMXStatCreateEventsTable =
    "create table if not exists events(event_id INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL, content TEXT, "
    "status INTEGER, send_count INTEGER, ts INTEGER)";
inline constexpr const char* kMXStatCreateUserTable =
    "create table if not exists user(uid TEXT, user_type INTEGER, app_ver TEXT, ts INTEGER, PRIMARY KEY(uid))";
inline constexpr const char* kMXStatCreateConfigTable =
    "create table if not exists config(type INTEGER, content TEXT, md5sum TEXT, version INTEGER, "
    "PRIMARY KEY(type))";

// The lock "__MST_LOCK__": every SQL call of the statistics client, on any connection, runs under it.
std::recursive_mutex& MXStatSQLLock();

class MXStatDatabase {
public:
    static constexpr int kBusyTimeoutMilliseconds = 5000;

    using Binder = std::function<void(sqlite3_stmt*)>;
    using RowReader = std::function<void(sqlite3_stmt*)>;

    // The file of a store class: ".messenger_analysis_<class>" (".messenger_analysis.db" for "MSTStore").
    static std::string fileNameForClass(const std::string& className);

    explicit MXStatDatabase(std::string fileName);
    ~MXStatDatabase();
    MXStatDatabase(const MXStatDatabase&) = delete;
    MXStatDatabase& operator=(const MXStatDatabase&) = delete;

    // Documents/<file name>, as the folders stand now.
    std::string path() const;

    // Opens the database unless it is open; false when it cannot be opened.
    bool getDB();
    // Closes the connection (its kept statements are finalised).
    void closeDB();
    // Advances each time a file is opened: a reader of counts compares it with the one it counted at.
    std::uint64_t generation() const { return m_generation.load(); }
    // Closes the connection and removes Documents/".messenger_analysis.db" ("Delete database failed
    // reason:%@" on failure).
    void deleteDB();

    // The three tables; false without a database or when a statement fails.
    bool createTables();

    // Formats and executes one statement; the SQLite result, -1 without a database.
    [[gnu::format(printf, 2, 3)]] int execute(const char* format, ...);
    [[gnu::format(printf, 2, 0)]] int executeV(const char* format, std::va_list args);
    // Formats and runs a query; the first column of every row whose first column is not NULL, or nothing
    // when there is no database or the query fails.
    [[gnu::format(printf, 2, 3)]] std::optional<std::vector<std::string>> query(const char* format, ...);
    // Prepares a statement, binds it, steps through every row (reader per row) and finalises it. The last
    // SQLite result (SQLITE_DONE when every row was read), -1 without a database.
    int run(const std::string& sql, const Binder& bind, const RowReader& reader);
    // Binds and steps a statement that stays prepared between calls. A failed prepare logs
    // prepareFailure; a step that does not end in SQLITE_DONE finalises and forgets the statement and logs
    // stepFailure. The SQLite result, -1 without a database.
    int runKept(const char* sql, const Binder& bind, const char* prepareFailure, const char* stepFailure);

    // Opens and closes a transaction. It takes the file's write lock as it begins (waiting for another
    // process's, within the bound), so that it never meets that lock half way through.
    int beginTransaction() { return execute("BEGIN IMMEDIATE TRANSACTION"); }
    int endTransaction() { return execute("END TRANSACTION"); }

    // Column readers that read any stored type: NULL and text that is not a number read as 0.
    static std::int64_t columnInteger(sqlite3_stmt* statement, int column);
    static std::uint32_t columnUnsigned(sqlite3_stmt* statement, int column);
    // NULL reads as nothing.
    static std::optional<std::string> columnText(sqlite3_stmt* statement, int column);
    // Binds UTF-8 text (copied).
    static void bindText(sqlite3_stmt* statement, int index, const std::string& text);

private:
    // Every *Locked member runs with MXStatSQLLock() held.
    bool openLocked();
    // Opens the database unless the open one is still the file at path(); false when it cannot.
    bool ensureOpenLocked();
    void closeLocked();
    // A statement answered rc: log it, and start again on a damaged file.
    // Logs the failure and mends what it can; true when the tables were made again (another process
    // emptied or dropped them under the open connection) and the statement is worth one more try.
    bool failedLocked(const char* sql, int rc, const char* message);
    void recreateLocked(int rc);
    // The tables every statistics file holds, made where missing.
    bool createTablesLocked();
    int executeLocked(const char* sql);

    const std::string m_fileName;
    sqlite3* m_db = nullptr;
    std::string m_openPath;
    // The open file's identity, to tell it from one put in its place.
    std::uint64_t m_openDevice = 0;
    std::uint64_t m_openInode = 0;
    std::atomic<std::uint64_t> m_generation{0};
    std::map<std::string, sqlite3_stmt*> m_kept;
    bool m_recreating = false;
    bool m_tablesMadeAgain = false; // the last kept statement failed on a table made again since
    int runKeptLocked(const char* sql, const Binder& bind, const char* prepareFailure, const char* stepFailure);
};

} // namespace stats
