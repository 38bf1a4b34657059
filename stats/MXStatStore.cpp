#include "stats/MXStatStore.h"

#include "stats/MXStatConfig.h"
#include "stats/MXStatHelper.h"
#include "stats/MXStatLog.h"

#include "platform/files/StorePlace.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/Clock.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/TextEncoding.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <ctime>
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
    m_batchesOut = 0;
    releaseOwnership();
    closeRetiredOwnerFiles();
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
    return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev
        && held.st_ino == named.st_ino;
}

// The owner of the rows in flight: the owner file it locked (device and inode: while it holds rows in
// flight it keeps that file open, so no other file can take the number), this boot's id and the boot
// clock (which no user sets) when it last took a batch.
constexpr const char* kCreateBatchOwnerTable =
    "create table if not exists batch_owner(id integer primary key check(id = 1), dev integer, ino integer, boot text, at integer)";

std::optional<std::pair<long long, long long>> identityOf(int fd) {
    struct stat held {};
    if (fd < 0 || ::fstat(fd, &held) != 0)
        return std::nullopt;
    return std::pair<long long, long long>(static_cast<long long>(held.st_dev), static_cast<long long>(held.st_ino));
}

// This boot's id: a 36-character text the kernel makes at each start ("" when it cannot be read). Read once:
// it does not change while the process runs.
std::string readBootId() {
    char text[64] = {};
    const int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    const ssize_t count = ::read(fd, text, sizeof text - 1);
    ::close(fd);
    std::string id;
    for (ssize_t i = 0; i < count && (std::isxdigit(static_cast<unsigned char>(text[i])) || text[i] == '-'); ++i)
        id += text[i];
    return id;
}

const std::string& bootId() {
    static const std::string id = readBootId();
    return id;
}

long long bootMilliseconds() {
    timespec now {};
    ::clock_gettime(CLOCK_BOOTTIME, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1'000'000;
}

// The rows of a batch taken under the mark (dev, ino), while they are still in flight under it.
std::string inFlightUnder(const std::optional<std::pair<long long, long long>>& marker) {
    if (!marker)
        return {};
    char condition[200];
    std::snprintf(condition, sizeof condition,
                  " and status = %d and exists (select 1 from batch_owner where dev = %lld and ino = %lld)",
                  static_cast<int>(MXStatStoreEventStatusSending), marker->first, marker->second);
    return condition;
}

} // namespace

MXStatStore::InFlightOwner MXStatStore::inFlightOwner() {
    m_db.execute("%s", kCreateBatchOwnerTable);
    InFlightOwner owner;
    m_db.run("select dev, ino, boot, at from batch_owner where id = 1", nullptr, [&](sqlite3_stmt* statement) {
        owner.recorded = true;
        owner.dev = MXStatDatabase::columnInteger(statement, 0);
        owner.ino = MXStatDatabase::columnInteger(statement, 1);
        const std::string boot = MXStatDatabase::columnText(statement, 2).value_or("");
        const long long at = MXStatDatabase::columnInteger(statement, 3);
        const long long now = bootMilliseconds();
        // Gone for sure: another boot, or no batch taken for longer than any upload may last.
        owner.expired = boot != bootId() || boot.empty() || now < at || now - at > kInFlightLeaseSeconds * 1000LL;
    });
    const auto own = identityOf(m_ownerFd);
    owner.isThisStore = owner.recorded && own && own->first == owner.dev && own->second == owner.ino;
    return owner;
}

void MXStatStore::returnRowsInFlight() {
    m_db.execute("update events set status=%d  where status = %d", static_cast<int>(MXStatStoreEventStatusStored),
                 static_cast<int>(MXStatStoreEventStatusSending));
    m_db.execute("delete from batch_owner");
}

void MXStatStore::batchSettled(std::pair<long long, long long> marker) {
    m_queue->assertIsCurrent();
    // The record goes once none of its rows is in flight any more: the next owner may take batches then.
    m_db.execute("delete from batch_owner where dev = %lld and ino = %lld and not exists (select 1 from events where status = %d)",
                 marker.first, marker.second, static_cast<int>(MXStatStoreEventStatusSending));
    if (m_batchesOut > 0)
        --m_batchesOut;
    if (m_batchesOut == 0)
        closeRetiredOwnerFiles();
}

void MXStatStore::closeRetiredOwnerFiles() {
    for (const int fd : m_retiredOwnerFds)
        ::close(fd);
    m_retiredOwnerFds.clear();
}

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
    // Something other than a file at its place (which nobody could lock as owner) is moved aside.
    if (!platform::StorePlace::isUsable(platform::StorePlace::makeFit(path, "The statistics store's owner file")))
        return false;
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 && errno == EEXIST) {
        made = false;
        // Not through a link: the lock is taken on the file the path names itself.
        fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    }
    if (fd < 0) {
        MXStatLog("[ERROR]Cannot open %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    struct stat held {};
    if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
        MXStatLog("[ERROR]%s is not a plain file: no store can own the statistics store until it is removed.", path.c_str());
        ::close(fd);
        return false;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || !namesSameFile(fd, path)) {
        ::close(fd);
        return false;
    }
    m_ownerFd = fd;
    m_ownerPath = path;
    // Rows left in flight go back to be sent again only when their owner has surely gone: it held this
    // very file (whose lock is now this store's), or its lease ran out. Rows of an owner that recorded
    // nothing (an older client) go back when the file was there before, as that owner's lock was on it.
    std::lock_guard lock(MXStatSQLLock());
    m_db.beginTransaction();
    const InFlightOwner owner = inFlightOwner();
    if (owner.recorded ? owner.isThisStore || owner.expired : !made)
        returnRowsInFlight();
    m_db.endTransaction();
    return true;
}

void MXStatStore::releaseOwnership() {
    // The lock goes with the descriptor. While a batch is out the file stays open (its inode is the
    // batch's mark in the store and must not pass to another file), unlocked by nobody else meanwhile.
    if (m_ownerFd >= 0 && m_batchesOut > 0)
        m_retiredOwnerFds.push_back(m_ownerFd);
    else if (m_ownerFd >= 0)
        ::close(m_ownerFd);
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
    const auto marker = identityOf(m_ownerFd);
    if (!marker)
        return;
    {
        // One transaction holding the file's write lock: no other store takes rows or marks a batch
        // meanwhile, and the owner file is checked again inside it.
        std::lock_guard lock(MXStatSQLLock());
        if (m_db.beginTransaction() != SQLITE_OK)
            return;
        const InFlightOwner owner = inFlightOwner();
        bool take = namesSameFile(m_ownerFd, m_ownerPath);
        if (take && owner.recorded && !owner.isThisStore) {
            if (owner.expired) {
                returnRowsInFlight();
            } else {
                // An owner before this one (its file renamed over or removed) may still send its batch.
                MXStatDebugLog("Events of another owner are in flight; no batch until they are settled.");
                take = false;
            }
        }
        if (take)
            loadCachedEvents(batch);
        // Rows that cannot be marked could not be deleted once sent either: sending them would send
        // them again and again.
        bool marked = !batch.empty();
        for (const MXStatStoreEvent& row : batch)
            marked = marked
                && m_db.execute("update events set status = %d where event_id = %lld and status = %d",
                                static_cast<int>(MXStatStoreEventStatusSending), static_cast<long long>(row.eventId),
                                static_cast<int>(MXStatStoreEventStatusStored)) == SQLITE_OK;
        if (marked)
            marked = m_db.execute("replace into batch_owner(id, dev, ino, boot, at) values(1, %lld, %lld, '%s', %lld)",
                                  marker->first, marker->second, bootId().c_str(), bootMilliseconds()) == SQLITE_OK;
        if (!marked && !batch.empty()) {
            MXStatLog("[ERROR]Stored events cannot be marked as being sent; they are not sent now.");
            m_db.execute("ROLLBACK TRANSACTION");
            batch.clear();
        } else {
            m_db.endTransaction();
        }
    }
    recount();
    if (batch.empty())
        return;
    ++m_batchesOut;

    std::vector<MXStatStoreEvent> body;
    for (const MXStatStoreEvent& event : batch) {
        if (isEventText(event.content))
            body.push_back(event);
        else
            MXStatLog("[WARN]Stored event %lld is not an event text; it is dropped with its batch.",
                      static_cast<long long>(event.eventId));
    }
    if (body.empty()) {
        batchSent(count, batch, *marker);
        batchSettled(*marker);
        return;
    }
    // Held weakly: the upload keeps the completion while it works and must not keep the store alive.
    upload->send(std::move(body), [weak = weak_from_this(), count, batch, marker = *marker](MXStatUploadOutcome outcome,
                                                                                            const std::vector<MXStatStoreEvent>&) {
        auto self = weak.lock();
        if (!self)
            return;
        self->m_queue->async([self, count, batch, marker, outcome] {
            switch (outcome) {
            case MXStatUploadOutcome::Sent:
                self->batchSent(count, batch, marker);
                break;
            case MXStatUploadOutcome::Refused:
                self->updateSendFailedEventsNow(batch, marker);
                break;
            case MXStatUploadOutcome::Unreached:
                // Not the rows' fault: they wait for the next batch with their counts unchanged.
                MXStatDebugLog("The collector was not reached; %d events wait for the next batch.", static_cast<int>(batch.size()));
                self->updateEventsNow(batch, MXStatStoreEventStatusStored, marker);
                break;
            }
            self->batchSettled(marker);
        });
    });
}

void MXStatStore::batchSent(std::int32_t count, const std::vector<MXStatStoreEvent>& batch, const BatchMark& marker) {
    m_queue->assertIsCurrent();
    if (!deleteEventsNow(batch, marker)) {
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

bool MXStatStore::updateEventsNow(const std::vector<MXStatStoreEvent>& events, std::uint32_t status,
                                  const std::optional<BatchMark>& marker) {
    const std::string under = inFlightUnder(marker);
    if (marker)
        m_db.execute("%s", kCreateBatchOwnerTable); // a file put in place meanwhile may have none
    return applyToRows(events, [&](const MXStatStoreEvent& row) {
        return m_db.execute("update events set status = %d where event_id = %lld%s", static_cast<int>(status),
                            static_cast<long long>(row.eventId), under.c_str());
    });
}

bool MXStatStore::deleteEventsNow(const std::vector<MXStatStoreEvent>& events, const std::optional<BatchMark>& marker) {
    const std::string under = inFlightUnder(marker);
    if (marker)
        m_db.execute("%s", kCreateBatchOwnerTable);
    return applyToRows(events, [&](const MXStatStoreEvent& row) {
        return m_db.execute("delete from events where event_id = %lld%s", static_cast<long long>(row.eventId), under.c_str());
    });
}

void MXStatStore::updateSendFailedEventsNow(std::vector<MXStatStoreEvent> events, const std::optional<BatchMark>& marker) {
    const std::string under = inFlightUnder(marker);
    if (marker)
        m_db.execute("%s", kCreateBatchOwnerTable);
    const std::uint32_t maxRetry = MXStatConfig::getInstance().maxSendRetryCount();
    // Counted once per failed upload, also for rows whose statement needs a second try.
    for (MXStatStoreEvent& row : events) {
        row.sendCount += 1;
        MXStatDebugLog("This event has tried %d times", static_cast<int>(row.sendCount));
    }
    applyToRows(events, [&](const MXStatStoreEvent& row) {
        if (row.sendCount < maxRetry)
            return m_db.execute("update events set status=%d,send_count=%d where event_id = %lld%s",
                                static_cast<int>(MXStatStoreEventStatusStored), static_cast<int>(row.sendCount),
                                static_cast<long long>(row.eventId), under.c_str());
        return m_db.execute("delete from events where event_id = %lld%s", static_cast<long long>(row.eventId), under.c_str());
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
