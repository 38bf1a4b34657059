#include "stats/MXStatStore.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatLog.h"

#include "platform/Clock.h"
#include "platform/JSON.h"
#include "platform/TextEncoding.h"
#include "platform/UserDefaults.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

namespace stats {

namespace {

constexpr const char* kInsertEvent =
    "insert into events(content, status, send_count,ts) values(@CONTENT, @STATUS, @SENDCOUNT, @TS)";
constexpr const char* kReplaceConfig =
    "replace into config(type, content, md5sum, version) values(@TYPE, @CONTENT, @MD5, @VER)";
// The user row's texts come from outside (the device id, the bundle's version): they are bound.
constexpr const char* kInsertUser = "insert into user values(@UID, @USERTYPE, @APPVER, @TS)";
constexpr const char* kUpdateUser = "update user set user_type=@USERTYPE, app_ver=@APPVER, ts=@TS where uid=@UID";

int parameter(sqlite3_stmt* statement, const char* name) {
    return sqlite3_bind_parameter_index(statement, name);
}

void bindUser(sqlite3_stmt* statement, const MXStatUser& user) {
    MXStatDatabase::bindText(statement, parameter(statement, "@UID"), user.uid);
    sqlite3_bind_int(statement, parameter(statement, "@USERTYPE"), user.userType);
    MXStatDatabase::bindText(statement, parameter(statement, "@APPVER"), user.appVer);
    sqlite3_bind_int64(statement, parameter(statement, "@TS"), user.tagTime);
}

// A row can go into an upload body only as one JSON object text.
bool isEventText(const std::string& content) {
    if (content.empty() || content.front() != '{')
        return false;
    auto parsed = platform::JSON::parse(content);
    return parsed.ok() && parsed->isDictionary();
}

} // namespace

std::shared_ptr<MXStatStore> MXStatStore::getInstance() {
    // Never destroyed: queues may still work with it while the process ends.
    static const auto* instance = new std::shared_ptr<MXStatStore>([] {
        auto store = create();
        MXStatHelper::getInstance().setStore(store);
        return store;
    }());
    return *instance;
}

std::shared_ptr<MXStatStore> MXStatStore::create(const std::string& className) {
    std::shared_ptr<MXStatStore> store(new MXStatStore(className));
    store->initDB();
    return store;
}

MXStatStore::MXStatStore(const std::string& className)
    : m_queue(platform::DispatchQueue::createSerial(kMXStatStoreQueueLabel)),
      m_db(MXStatDatabase::fileNameForClass(className)) {}

MXStatStore::~MXStatStore() {
    releaseOwnership();
}

void MXStatStore::close() {
    m_closed = true;
    if (m_queue->isCurrent())
        releaseOwnership();
    else
        m_queue->sync([this] { releaseOwnership(); });
    m_db.closeDB();
}

bool MXStatStore::ownsStore() {
    return holdOwnership();
}

namespace {

// Whether the descriptor's file is still the one the path names (not removed nor replaced since).
bool namesSameFile(int fd, const std::string& path) {
    struct stat held {}, named {};
    return ::fstat(fd, &held) == 0 && ::stat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino;
}

} // namespace

bool MXStatStore::holdOwnership() {
    if (m_closed || !m_db.getDB())
        return false; // closed at the end of the process, or nothing to own
    const std::string path = m_db.path() + kMXStatStoreOwnerSuffix;
    if (m_ownerFd >= 0 && path == m_ownerPath) {
        if (namesSameFile(m_ownerFd, path))
            return true;
        // The file was removed or replaced: a lock on it excludes nobody. Taken again on the file there now.
        MXStatLog("[WARN]The statistics store's owner file %s was removed or replaced; it is locked again.", path.c_str());
    }
    releaseOwnership();
    // Made here: whoever owned the store before may still run, holding a lock on a file that was removed,
    // with a batch out. Its rows in flight are left for the next owner that finds the file in place.
    bool made = true;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    }
    if (fd < 0) {
        MXStatLog("[ERROR]Cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !namesSameFile(fd, path)) {
        ::close(fd);
        return false;
    }
    m_ownerFd = fd;
    m_ownerPath = path;
    // Whoever owned the file before has gone: rows it left in a batch wait to be sent again.
    if (!made)
        m_db.execute("update events set status=%d  where status = %d", static_cast<int>(MXStatStoreEventStatusStored),
                     static_cast<int>(MXStatStoreEventStatusSending));
    return true;
}

void MXStatStore::releaseOwnership() {
    if (m_ownerFd >= 0)
        ::close(m_ownerFd); // the lock goes with the descriptor
    m_ownerFd = -1;
    m_ownerPath.clear();
}

void MXStatStore::setDispatcher(std::shared_ptr<MXStatDispatcherProtocol> dispatcher) {
    std::lock_guard lock(m_mutex);
    m_dispatcher = std::move(dispatcher);
}

std::shared_ptr<MXStatDispatcherProtocol> MXStatStore::dispatcher() const {
    std::lock_guard lock(m_mutex);
    return m_dispatcher;
}

void MXStatStore::initDB() {
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    if (defaults.integer(kMXStatDBVersionKey) == 0) {
        platform::Status saved = defaults.set(kMXStatDBVersionKey, 1);
        if (saved.ok())
            saved = defaults.synchronize();
        if (!saved.ok())
            MXStatLog("[WARN]Cannot save %s: %s", kMXStatDBVersionKey, saved.error().localizedDescription().c_str());
    }
    if (!m_db.getDB()) {
        MXStatLog("NULL database to init table.");
        return;
    }
    m_db.createTables();
}

void MXStatStore::launch() {
    m_queue->async([self = shared_from_this()] {
        if (!self->m_db.getDB())
            return;
        if (!self->holdOwnership())
            MXStatDebugLog("Another process owns the statistics store; it sends the events stored here.");
        self->recount();
    });
}

std::uint32_t MXStatStore::getStoredEventsNum() {
    const auto rows = m_db.query("select count(*) from events where status=%d", static_cast<int>(MXStatStoreEventStatusStored));
    if (!rows || rows->empty())
        return 0;
    const std::int64_t count = platform::Value(rows->front()).integerValue();
    MXStatDebugLog("%d unsent events.", static_cast<int>(count));
    return count > 0 ? static_cast<std::uint32_t>(count) : 0;
}

void MXStatStore::countStoredEvents() {
    m_queue->async([self = shared_from_this()] { self->recount(); });
}

void MXStatStore::storeEvent(std::shared_ptr<MXStatEvent> event, bool hasTrySent, std::function<void()> completion) {
    m_queue->async([self = shared_from_this(), event = std::move(event), hasTrySent, completion = std::move(completion)] {
        if (event)
            self->storeEventNow(*event, hasTrySent);
        if (completion)
            completion();
    });
}

void MXStatStore::storeEventNow(MXStatEvent& event, bool hasTrySent) {
    m_queue->assertIsCurrent();
    const MXStatConfig& config = MXStatConfig::getInstance();
    followFile();
    // The count is this store's own: other processes of the application store and send rows too, so a
    // store that counts itself full counts again before it erases anything.
    if (m_numStoredEvents.load() >= config.maxStoreEventCount())
        recount();
    if (m_numStoredEvents.load() >= config.maxStoreEventCount()) {
        MXStatLog("Too many events stored in db, erase oldest event");
        // In the order rows were stored: their times follow the clock, which may have been set back.
        m_db.execute("delete from events where event_id in (select min(event_id) from events)");
        // Counted again: otherwise every later insert would erase once more.
        recount();
    }
    const std::string content = event.toJsonString();
    if (hasTrySent)
        MXStatDebugLog("Send failed, then store event:%s", content.c_str());
    else
        MXStatDebugLog("Environment setting, then store event:%s", content.c_str());
    if (content.empty())
        return; // "error json format" was logged
    const std::size_t length = platform::utf16Length(content);
    if (length > config.maxReportEventLength() && event.getType() != MXStatEventTypeError) {
        MXStatLog("[ERROR]Too large event content length to report:%lu", static_cast<unsigned long>(length));
        return;
    }
    const int rc = m_db.runKept(
        kInsertEvent,
        [&](sqlite3_stmt* statement) {
            MXStatDatabase::bindText(statement, parameter(statement, "@CONTENT"), content);
            sqlite3_bind_int(statement, parameter(statement, "@STATUS"), static_cast<int>(MXStatStoreEventStatusStored));
            sqlite3_bind_int(statement, parameter(statement, "@SENDCOUNT"), 0);
            sqlite3_bind_int64(statement, parameter(statement, "@TS"), event.ts);
        },
        "Failed to prepare insert events", "Failed to exec satement to insert events.");
    if (rc == SQLITE_DONE && m_db.generation() == m_countedGeneration)
        m_numStoredEvents.fetch_add(1);
    else
        followFile(); // a file opened afresh on the way holds what it holds
}

void MXStatStore::followFile() {
    if (m_db.generation() != m_countedGeneration)
        recount();
}

void MXStatStore::recount() {
    // The generation first: a file opened while counting is counted again next time.
    m_countedGeneration = m_db.generation();
    m_numStoredEvents.store(getStoredEventsNum());
}

void MXStatStore::loadCachedEvents(std::vector<MXStatStoreEvent>& events) {
    char sql[256];
    std::snprintf(sql, sizeof sql, "select event_id, content, status, send_count,ts from events where status = %d order by ts limit %d",
                  static_cast<int>(MXStatStoreEventStatusStored),
                  static_cast<int>(MXStatConfig::getInstance().maxLoadEventCount()));
    m_db.run(sql, nullptr, [&events](sqlite3_stmt* statement) {
        MXStatStoreEvent event;
        event.eventId = MXStatDatabase::columnInteger(statement, 0);
        event.content = MXStatDatabase::columnText(statement, 1).value_or("");
        event.status = MXStatDatabase::columnUnsigned(statement, 2);
        event.sendCount = MXStatDatabase::columnUnsigned(statement, 3);
        event.ts = MXStatDatabase::columnUnsigned(statement, 4);
        events.push_back(std::move(event));
    });
}

void MXStatStore::sendCachedEvents(std::int32_t count) {
    m_queue->async([self = shared_from_this(), count] { self->sendCachedEventsNow(count); });
}

void MXStatStore::sendCachedEventsNow(std::int32_t count) {
    m_queue->assertIsCurrent();
    followFile();
    if (!MXStatConfig::getInstance().statEnable())
        return;
    if (!holdOwnership()) {
        MXStatDebugLog("Another process owns the statistics store; it sends the events stored here.");
        return;
    }
    // Other processes store rows too: the count is taken afresh.
    recount();
    if (m_numStoredEvents.load() == 0)
        return;
    const auto upload = dispatcher();
    if (!upload) {
        MXStatDebugLog("No upload to send stored events through.");
        return;
    }
    std::vector<MXStatStoreEvent> batch;
    loadCachedEvents(batch);
    if (batch.empty()) {
        recount();
        return;
    }
    // At once rather than queued: a batch asked for meanwhile must not take the same rows. Rows that
    // cannot be marked could not be deleted once sent either: sending them would send them again and
    // again.
    if (!updateEventsNow(batch, MXStatStoreEventStatusSending)) {
        MXStatLog("[ERROR]Stored events cannot be marked as being sent; they are not sent now.");
        updateEventsNow(batch, MXStatStoreEventStatusStored);
        return;
    }

    std::vector<MXStatStoreEvent> body;
    for (const MXStatStoreEvent& event : batch) {
        if (isEventText(event.content))
            body.push_back(event);
        else
            MXStatLog("[WARN]Stored event %lld is not an event text; it is dropped with its batch.",
                      static_cast<long long>(event.eventId));
    }
    if (body.empty()) {
        batchSent(count, batch);
        return;
    }
    // Held weakly: the upload keeps the completion while it works and must not keep the store alive.
    upload->send(std::move(body), [weak = weak_from_this(), count, batch](MXStatUploadOutcome outcome,
                                                                          const std::vector<MXStatStoreEvent>&) {
        auto self = weak.lock();
        if (!self)
            return;
        switch (outcome) {
        case MXStatUploadOutcome::Sent:
            self->m_queue->async([self, count, batch] { self->batchSent(count, batch); });
            break;
        case MXStatUploadOutcome::Refused:
            self->updateSendFailedEvents(batch);
            break;
        case MXStatUploadOutcome::Unreached:
            // Not the rows' fault: they wait for the next batch with their counts unchanged.
            MXStatDebugLog("The collector was not reached; %d events wait for the next batch.", static_cast<int>(batch.size()));
            self->updateEvents(batch, MXStatStoreEventStatusStored);
            break;
        }
    });
}

void MXStatStore::batchSent(std::int32_t count, const std::vector<MXStatStoreEvent>& batch) {
    m_queue->assertIsCurrent();
    if (!deleteEventsNow(batch)) {
        // Sending again would send the same rows again.
        MXStatLog("[ERROR]Sent events could not be deleted; no further batch is sent now.");
        return;
    }
    const auto size = static_cast<std::int64_t>(batch.size());
    if (count < 0)
        sendCachedEvents(-1);
    if (count >= 1 && count > size)
        sendCachedEvents(static_cast<std::int32_t>(count - size));
    if (count >= 1 && m_numStoredEvents.load() >= static_cast<std::uint32_t>(count))
        sendCachedEvents(count);
}

bool MXStatStore::applyToRows(const std::vector<MXStatStoreEvent>& rows,
                              const std::function<int(const MXStatStoreEvent&)>& statement) {
    std::vector<MXStatStoreEvent> failed;
    {
        // The whole transaction under the lock, so another connection never meets it half done.
        std::lock_guard lock(MXStatSQLLock());
        m_db.beginTransaction();
        for (const MXStatStoreEvent& row : rows)
            if (statement(row) != SQLITE_OK)
                failed.push_back(row);
        m_db.endTransaction();
        if (!failed.empty()) {
            std::vector<MXStatStoreEvent> again;
            m_db.beginTransaction();
            for (const MXStatStoreEvent& row : failed)
                if (statement(row) != SQLITE_OK)
                    again.push_back(row);
            m_db.endTransaction();
            failed = std::move(again);
        }
    }
    recount();
    return failed.empty();
}

bool MXStatStore::updateEventsNow(const std::vector<MXStatStoreEvent>& events, std::uint32_t status) {
    return applyToRows(events, [&](const MXStatStoreEvent& row) {
        return m_db.execute("update events set status = %d where event_id = %lld", static_cast<int>(status),
                            static_cast<long long>(row.eventId));
    });
}

bool MXStatStore::deleteEventsNow(const std::vector<MXStatStoreEvent>& events) {
    return applyToRows(events, [&](const MXStatStoreEvent& row) {
        return m_db.execute("delete from events where event_id = %lld", static_cast<long long>(row.eventId));
    });
}

void MXStatStore::updateSendFailedEventsNow(std::vector<MXStatStoreEvent> events) {
    const std::uint32_t maxRetry = MXStatConfig::getInstance().maxSendRetryCount();
    // Counted once per failed upload, also for rows whose statement needs a second try.
    for (MXStatStoreEvent& row : events) {
        row.sendCount += 1;
        MXStatDebugLog("This event has tried %d times", static_cast<int>(row.sendCount));
    }
    applyToRows(events, [&](const MXStatStoreEvent& row) {
        if (row.sendCount < maxRetry)
            return m_db.execute("update events set status=%d,send_count=%d where event_id = %lld",
                                static_cast<int>(MXStatStoreEventStatusStored), static_cast<int>(row.sendCount),
                                static_cast<long long>(row.eventId));
        return m_db.execute("delete from events where event_id = %lld", static_cast<long long>(row.eventId));
    });
}

void MXStatStore::updateEvents(std::vector<MXStatStoreEvent> events, std::uint32_t status) {
    m_queue->async([self = shared_from_this(), events = std::move(events), status] { self->updateEventsNow(events, status); });
}

void MXStatStore::deleteEvents(std::vector<MXStatStoreEvent> events, std::function<void()> completion) {
    m_queue->async([self = shared_from_this(), events = std::move(events), completion = std::move(completion)] {
        self->deleteEventsNow(events);
        if (completion)
            completion();
    });
}

void MXStatStore::updateSendFailedEvents(std::vector<MXStatStoreEvent> events) {
    m_queue->async([self = shared_from_this(), events = std::move(events)]() mutable {
        self->updateSendFailedEventsNow(std::move(events));
    });
}

std::optional<MXStatUser> MXStatStore::loadUser() {
    // On the store queue (an event encoded there asks for the user) it runs at once: waiting for the
    // queue from the queue itself would never end.
    if (m_queue->isCurrent())
        return loadUserNow();
    std::optional<MXStatUser> user;
    m_queue->sync([&] { user = loadUserNow(); });
    return user;
}

std::optional<MXStatUser> MXStatStore::loadUserNow() {
    std::optional<MXStatUser> found;
    const int rc = m_db.run("select uid,user_type,app_ver,ts from user", nullptr, [&found](sqlite3_stmt* statement) {
        if (found || sqlite3_column_count(statement) != 4)
            return;
        MXStatUser user;
        user.uid = MXStatDatabase::columnText(statement, 0).value_or("");
        user.userType = static_cast<std::int32_t>(MXStatDatabase::columnInteger(statement, 1));
        user.appVer = MXStatDatabase::columnText(statement, 2).value_or("");
        user.tagTime = MXStatDatabase::columnUnsigned(statement, 3);
        found = std::move(user);
    });
    if (rc != SQLITE_DONE)
        return std::nullopt;
    if (found)
        return found;
    const MXStatEnv& env = MXStatHelper::getInstance().getEnv();
    MXStatUser user;
    user.uid = env.deviceid;
    user.userType = MXStatUserTypeNew;
    user.appVer = env.app_version;
    user.tagTime = static_cast<std::uint32_t>(std::floor(platform::Clock::current().wallNow().secondsSince1970));
    m_db.run(kInsertUser, [&user](sqlite3_stmt* statement) { bindUser(statement, user); }, nullptr);
    return user;
}

void MXStatStore::storeUser(const MXStatUser& user) {
    m_queue->async([self = shared_from_this(), user] {
        self->m_db.run(kUpdateUser, [&user](sqlite3_stmt* statement) { bindUser(statement, user); }, nullptr);
    });
}

std::string MXStatStore::getMstSharedUDID() {
    const auto rows = m_db.query("select uid from user limit 1");
    return rows && !rows->empty() ? rows->front() : std::string();
}

void MXStatStore::storeConfig(MXStatDataConfig config) {
    m_queue->async([self = shared_from_this(), config = std::move(config)] {
        self->m_db.runKept(
            kReplaceConfig,
            [&config](sqlite3_stmt* statement) {
                sqlite3_bind_int64(statement, parameter(statement, "@TYPE"), config.type);
                MXStatDatabase::bindText(statement, parameter(statement, "@CONTENT"), config.content);
                MXStatDatabase::bindText(statement, parameter(statement, "@MD5"), config.md5);
                sqlite3_bind_int64(statement, parameter(statement, "@VER"), config.version);
            },
            "Failed to prepare replace configs", "Failed to exec satement to insert configs.");
    });
}

void MXStatStore::loadConfig(const std::function<void(const MXStatDataConfig&)>& block) {
    std::vector<MXStatDataConfig> configs;
    m_db.run("select type, content, md5sum, version from config;", nullptr, [&configs](sqlite3_stmt* statement) {
        MXStatDataConfig config;
        config.type = MXStatDatabase::columnUnsigned(statement, 0);
        config.content = MXStatDatabase::columnText(statement, 1).value_or("");
        config.md5 = MXStatDatabase::columnText(statement, 2).value_or("");
        config.version = MXStatDatabase::columnUnsigned(statement, 3);
        configs.push_back(std::move(config));
    });
    // Outside the lock: the block may use the database itself.
    for (const MXStatDataConfig& config : configs)
        block(config);
}

int MXStatStore::updateDatabase(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const int rc = m_db.executeV(format, args);
    va_end(args);
    return rc;
}

} // namespace stats
