#include "stats/MXStatDatabase.h"

#include "stats/MXStatLog.h"

#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"

#include <sqlite3.h>

#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <optional>

namespace stats {

namespace {

constexpr std::size_t kStatementBufferSize = 1024;

bool fileExists(const std::string& path) {
    return platform::FileManager::defaultManager().fileExists(path);
}

constexpr const char* kOwner = "The statistics database";
constexpr const char* kJournalSuffixes[] = {"-journal", "-wal", "-shm"};

// Something other than a file at the place of one of the database's journals, put there under the open
// connection (a pipe would hold the next write at its open for ever, a folder or a link fail every write),
// is moved aside before the next statement; false when it stays.
bool journalPlacesFit(const std::string& file) {
    for (const char* suffix : kJournalSuffixes) {
        const std::string place = file + suffix;
        struct stat seen {};
        if (::lstat(place.c_str(), &seen) == 0 && !S_ISREG(seen.st_mode) &&
            !platform::StorePlace::isUsable(platform::StorePlace::makeFit(place, kOwner)))
            return false;
    }
    return true;
}

bool isDamaged(int rc) {
    const int primary = rc & 0xff;
    return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

} // namespace

std::recursive_mutex& MXStatSQLLock() {
    static std::recursive_mutex lock;
    return lock;
}

std::string MXStatDatabase::fileNameForClass(const std::string& className) {
    if (className == "MSTStore")
        return kMXStatHiddenLegacyDatabaseName;
    char name[256];
    std::snprintf(name, sizeof name, kMXStatDatabaseNameFormat, className.c_str());
    return name;
}

MXStatDatabase::MXStatDatabase(std::string fileName) : m_fileName(std::move(fileName)) {}

MXStatDatabase::~MXStatDatabase() {
    closeDB();
}

std::string MXStatDatabase::path() const {
    return platform::AppFolders::current().documents() + "/" + m_fileName;
}

bool MXStatDatabase::getDB() {
    std::lock_guard lock(MXStatSQLLock());
    return ensureOpenLocked();
}

bool MXStatDatabase::ensureOpenLocked() {
    if (m_db) {
        struct stat now {};
        const std::string file = path();
        if (file == m_openPath && ::lstat(file.c_str(), &now) == 0 && static_cast<std::uint64_t>(now.st_dev) == m_openDevice
            && static_cast<std::uint64_t>(now.st_ino) == m_openInode)
            return journalPlacesFit(file);
        MXStatLog("[WARN]The statistics database %s was removed or replaced: %s is opened.", m_openPath.c_str(), file.c_str());
        closeLocked();
    }
    if (!openLocked())
        return false;
    for (const char* sql : {kMXStatCreateEventsTable, kMXStatCreateUserTable, kMXStatCreateConfigTable})
        if (executeLocked(sql) != SQLITE_OK)
            break;
    return m_db != nullptr;
}

bool MXStatDatabase::openLocked() {
    const std::string documents = platform::AppFolders::current().documents();
    const std::string legacy = documents + "/" + kMXStatLegacyDatabaseName;
    const std::string hiddenLegacy = documents + "/" + kMXStatHiddenLegacyDatabaseName;
    if (fileExists(legacy)) {
        if (fileExists(hiddenLegacy))
            deleteDB();
        const platform::Status moved = platform::FileManager::defaultManager().moveItem(legacy, hiddenLegacy);
        if (!moved.ok())
            MXStatLog("Unable to move file: %s", moved.error().localizedDescription().c_str());
    }
    const std::string file = documents + "/" + m_fileName;
    // Something other than a file at the database's place (or at one of its journals'), which SQLite
    // would fail on at every statement, is moved aside: the store starts afresh. (Not SQLite's own
    // refusal of links: it refuses a link anywhere on the path, as a home kept on another disk has.)
    if (!platform::StorePlace::isUsable(platform::StorePlace::makeFit(file, kOwner)) || !journalPlacesFit(file))
        return false;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK) {
        MXStatLog("[ERROR]Cannot open the statistics database %s: %s", file.c_str(),
                  db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return false;
    }
    // Another process of the same application may hold the file's lock for a moment: wait for it (within
    // a bound) rather than fail and drop what was to be written.
    sqlite3_busy_timeout(db, kBusyTimeoutMilliseconds);
    struct stat opened {};
    if (::lstat(file.c_str(), &opened) != 0) {
        MXStatLog("[ERROR]Cannot open the statistics database %s: it vanished as it was opened", file.c_str());
        sqlite3_close(db);
        return false;
    }
    m_db = db;
    m_openPath = file;
    m_openDevice = static_cast<std::uint64_t>(opened.st_dev);
    m_openInode = static_cast<std::uint64_t>(opened.st_ino);
    m_generation.fetch_add(1);
    return true;
}

void MXStatDatabase::closeDB() {
    std::lock_guard lock(MXStatSQLLock());
    closeLocked();
}

void MXStatDatabase::closeLocked() {
    for (auto& [sql, statement] : m_kept)
        sqlite3_finalize(statement);
    m_kept.clear();
    if (m_db)
        sqlite3_close(m_db);
    m_db = nullptr;
}

void MXStatDatabase::deleteDB() {
    std::lock_guard lock(MXStatSQLLock());
    closeLocked();
    const std::string hiddenLegacy = platform::AppFolders::current().documents() + "/" + kMXStatHiddenLegacyDatabaseName;
    const platform::Status removed = platform::FileManager::defaultManager().removeItem(hiddenLegacy);
    if (!removed.ok())
        MXStatLog("Delete database failed reason:%s", removed.error().localizedDescription().c_str());
}

bool MXStatDatabase::createTables() {
    std::lock_guard lock(MXStatSQLLock());
    if (!ensureOpenLocked())
        return false;
    return createTablesLocked();
}

bool MXStatDatabase::createTablesLocked() {
    for (const char* sql : {kMXStatCreateEventsTable, kMXStatCreateUserTable, kMXStatCreateConfigTable}) {
        if (executeLocked(sql) != SQLITE_OK)
            return false;
    }
    return true;
}

bool MXStatDatabase::failedLocked(const char* sql, int rc, const char* message) {
    MXStatLog("Failed to execute sql:%s for reason:%s", sql, message ? message : sqlite3_errstr(rc));
    if (isDamaged(rc)) {
        recreateLocked(rc);
    } else if (rc == SQLITE_READONLY_DBMOVED) {
        closeLocked(); // the next statement opens the file now at the path
    } else if ((rc & 0xff) == SQLITE_ERROR && message && std::strncmp(message, "no such table: ", 15) == 0 && m_db
               && !m_recreating) {
        // The file was emptied or its tables dropped under the open connection: every later insert
        // would fail, and its event be lost, until the next launch.
        MXStatLog("[WARN]The statistics database %s lost its tables: they are made again.", m_openPath.c_str());
        m_recreating = true;
        const bool made = createTablesLocked();
        m_recreating = false;
        return made;
    }
    return false;
}

void MXStatDatabase::recreateLocked(int rc) {
    if (m_recreating)
        return;
    m_recreating = true;
    const std::string damaged = m_openPath;
    closeLocked();
    // Set aside, never deleted (its unsent events may yet be read from it), with its journals, each kept
    // within StorePlace's bound of asides; then made again.
    std::string where;
    for (const char* suffix : {"", "-journal", "-wal", "-shm"}) {
        const std::string file = damaged + suffix;
        struct stat there {};
        if (::lstat(file.c_str(), &there) != 0)
            continue;
        const std::optional<std::string> aside = platform::StorePlace::moveAside(file, kOwner);
        if (aside)
            where += (where.empty() ? "" : ", ") + *aside;
        else if (errno != ENOENT)
            MXStatLog("[ERROR]The damaged statistics database's %s cannot be moved aside: %s", file.c_str(), std::strerror(errno));
    }
    MXStatLog("[ERROR]The statistics database %s is damaged (%s): it is moved aside (%s) and made again.", damaged.c_str(),
              sqlite3_errstr(rc), where.empty() ? "nothing was left to move" : where.c_str());
    if (openLocked())
        createTablesLocked();
    m_recreating = false;
}

int MXStatDatabase::executeLocked(const char* sql) {
    if (!m_db)
        return -1;
    int rc = SQLITE_OK;
    for (int attempt = 0; attempt < 2 && m_db; ++attempt) {
        char* message = nullptr;
        rc = sqlite3_exec(m_db, sql, nullptr, nullptr, &message);
        if (rc == SQLITE_OK)
            break;
        const std::string reason = message ? message : sqlite3_errstr(rc);
        sqlite3_free(message);
        if (!failedLocked(sql, rc, reason.c_str()) || attempt > 0)
            break;
    }
    return rc;
}

int MXStatDatabase::execute(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int rc = executeV(format, args);
    va_end(args);
    return rc;
}

int MXStatDatabase::executeV(const char* format, std::va_list args) {
    char sql[kStatementBufferSize];
    std::vsnprintf(sql, sizeof sql, format, args);
    std::lock_guard lock(MXStatSQLLock());
    if (!ensureOpenLocked())
        return -1;
    return executeLocked(sql);
}

std::optional<std::vector<std::string>> MXStatDatabase::query(const char* format, ...) {
    char sql[kStatementBufferSize];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(sql, sizeof sql, format, args);
    va_end(args);
    std::vector<std::string> rows;
    const int rc = run(sql, nullptr, [&rows](sqlite3_stmt* statement) {
        if (auto text = columnText(statement, 0))
            rows.push_back(std::move(*text));
    });
    if (rc != SQLITE_DONE)
        return std::nullopt;
    return rows;
}

int MXStatDatabase::run(const std::string& sql, const Binder& bind, const RowReader& reader) {
    std::lock_guard lock(MXStatSQLLock());
    if (!ensureOpenLocked())
        return -1;
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr);
    if (rc != SQLITE_OK) {
        const std::string reason = sqlite3_errmsg(m_db);
        if (!failedLocked(sql.c_str(), rc, reason.c_str()) || !m_db)
            return rc;
        rc = sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr); // once more, on the tables made again
        if (rc != SQLITE_OK) {
            failedLocked(sql.c_str(), rc, sqlite3_errmsg(m_db));
            return rc;
        }
    }
    if (bind)
        bind(statement);
    while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
        if (reader)
            reader(statement);
    }
    if (rc != SQLITE_DONE) {
        const std::string reason = sqlite3_errmsg(m_db);
        sqlite3_finalize(statement);
        failedLocked(sql.c_str(), rc, reason.c_str());
        return rc;
    }
    sqlite3_finalize(statement);
    return rc;
}

int MXStatDatabase::runKept(const char* sql, const Binder& bind, const char* prepareFailure, const char* stepFailure) {
    std::lock_guard lock(MXStatSQLLock());
    const int rc = runKeptLocked(sql, bind, prepareFailure, stepFailure);
    // A table gone under the connection is made again (failedLocked): the statement runs once more.
    if (rc != SQLITE_DONE && m_tablesMadeAgain) {
        m_tablesMadeAgain = false;
        return runKeptLocked(sql, bind, prepareFailure, stepFailure);
    }
    return rc;
}

int MXStatDatabase::runKeptLocked(const char* sql, const Binder& bind, const char* prepareFailure, const char* stepFailure) {
    m_tablesMadeAgain = false;
    if (!ensureOpenLocked())
        return -1;
    sqlite3_stmt*& statement = m_kept[sql];
    if (!statement) {
        const int rc = sqlite3_prepare_v2(m_db, sql, -1, &statement, nullptr);
        if (rc != SQLITE_OK) {
            MXStatLog("%s", prepareFailure);
            const std::string reason = sqlite3_errmsg(m_db);
            m_kept.erase(sql);
            m_tablesMadeAgain = failedLocked(sql, rc, reason.c_str());
            return rc;
        }
    }
    if (bind)
        bind(statement);
    const int rc = sqlite3_step(statement);
    if (rc != SQLITE_DONE) {
        const std::string reason = sqlite3_errmsg(m_db);
        sqlite3_finalize(statement);
        m_kept.erase(sql);
        MXStatLog("%s", stepFailure);
        m_tablesMadeAgain = failedLocked(sql, rc, reason.c_str());
        return rc;
    }
    sqlite3_clear_bindings(statement);
    sqlite3_reset(statement);
    return rc;
}

std::int64_t MXStatDatabase::columnInteger(sqlite3_stmt* statement, int column) {
    switch (sqlite3_column_type(statement, column)) {
    case SQLITE_INTEGER:
    case SQLITE_FLOAT:
        return sqlite3_column_int64(statement, column);
    case SQLITE_TEXT:
        // SQLite reads the text's leading number; text without one reads as 0.
        return sqlite3_column_int64(statement, column);
    default:
        return 0;
    }
}

std::uint32_t MXStatDatabase::columnUnsigned(sqlite3_stmt* statement, int column) {
    const std::int64_t value = columnInteger(statement, column);
    if (value < 0 || value > std::numeric_limits<std::uint32_t>::max())
        return 0;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::string> MXStatDatabase::columnText(sqlite3_stmt* statement, int column) {
    if (sqlite3_column_type(statement, column) == SQLITE_NULL)
        return std::nullopt;
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    const int length = sqlite3_column_bytes(statement, column);
    if (!text)
        return std::nullopt;
    return std::string(text, static_cast<std::size_t>(length));
}

void MXStatDatabase::bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

} // namespace stats
