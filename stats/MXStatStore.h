// The statistics event store: the events that are not sent at once, kept in a SQLite file in the
// application's Documents folder (".messenger_analysis_MXStatStore") with their status (1 stored, 2 in an
// upload batch), failed-upload count and creation time, and sent in batches of maxLoadEventCount through
// the dispatcher. The same file holds the user row and the online configuration rows.
//
// Guarantees:
// - Thread: every call from any thread. Event, user and configuration writes run on the serial store
//   queue "StatStore", in the order they were asked for; every SQL call runs under MXStatSQLLock().
//   loadUser waits for the store queue (called on the store queue itself it runs at once).
// - numStoredEvents (the cached count of status-1 rows) is written on the store queue and may be read
//   anywhere (storedEventCount).
// - Without a database every operation does nothing (counts 0, updateDatabase -1), and every completion
//   still runs.
// - Eviction: an insert that finds the cached count at maxStoreEventCount counts again (other processes
//   send and store rows too) and, when the store is still full, first erases the row stored first (not
//   the one of the smallest time: a clock set back gives new rows old times), whatever its status, then
//   counts again.
// - An event whose JSON text is longer than maxReportEventLength UTF-16 units is not stored, unless it is
//   an error event (type 3).
// - A batch: its rows go to status 2 before it is handed to the dispatcher; rows that cannot be marked
//   so (a store that cannot write) are not sent at all, as they could not be deleted once sent. Its
//   answer touches only its rows still in flight under its owner's mark (below) in the file open then:
//   a file put in place meanwhile (whose row numbers start again) keeps its rows as they are. Sent:
//   the rows are deleted (and, for a count, further batches follow). Refused by the collector: each
//   row's send count goes up by one, and the row returns to status 1, or is deleted once the count
//   reaches maxSendRetryCount. Collector not reached (no connection, a time-out): the rows return to
//   status 1 with their counts unchanged. Rows whose content is not one JSON object (NULL, damaged) are
//   left out of the body and share the batch's fate.
// - The count follows the file: when the database opens a file afresh (removed, replaced, rebuilt after
//   damage) the rows are counted again before the next insert or batch.
// - Several processes of the application may share the file (a desktop runs it twice with one home).
//   All of them store events; one at a time owns the store: it alone takes rows into batches and sends
//   them, so rows at status 2 are always its own. The others hand their events over by storing them, and
//   become the owner when it has gone (asked at launch and at every batch). Ownership is an exclusive
//   lock on the file beside the database named with kMXStatStoreOwnerSuffix, released by close() (after
//   which the store sends nothing), by the store's end and by the process's.
// - A batch is taken in one write transaction: the owner file is checked again, up to maxLoadEventCount
//   status-1 rows go to status 2, and the owner's mark is written to the table batch_owner: the device and
//   inode of the owner file it holds locked, the boot's id and the boot clock. No store takes a batch
//   while the mark names another owner's file: that owner (its file renamed over, removed or replaced
//   meanwhile) may still be sending. The mark goes when its owner has settled its batches; an owner that
//   gives up its file with a batch out keeps the file open until then, so that no other file can take
//   its inode number.
// - Becoming the owner (at launch, or later) returns rows left at status 2 to status 1 only when their
//   owner has surely gone: the mark names the file now locked by this store, another boot, or a boot
//   clock more than kInFlightLeaseSeconds old (an upload ends long before); rows without a mark (left by
//   an older client) when the owner file was there before. The owner file is opened without following a
//   link and must be a plain file: otherwise no store owns the store (an error line says why) and the
//   events wait. The owner counts the rows again before each batch, as the others store rows too.
#pragma once

#include "stats/MXStatDatabase.h"
#include "stats/MXStatDispatcherProtocol.h"
#include "stats/MXStatStoreEvent.h"
#include "stats/MXStatStoreProtocol.h"

#include "platform/runloop/DispatchQueue.h"

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <string>
#include <vector>

namespace stats {

inline constexpr const char* kMXStatStoreQueueLabel = "StatStore";
inline constexpr const char* kMXStatStoreClassName = "MXStatStore";
inline constexpr const char* kMXStatDBVersionKey = "MST_SDK_DB_VER";
inline constexpr const char* kMXStatStoreOwnerSuffix = "-owner";
// Rows in flight whose owner took no batch for this long are taken back by the next owner: an upload
// ends (its time-out) long before.
inline constexpr long long kInFlightLeaseSeconds = 600;

class MXStatStore : public MXStatStoreProtocol, public std::enable_shared_from_this<MXStatStore> {
public:
    // The process's store (made on first use); it becomes MXStatHelper's store of the user record.
    static std::shared_ptr<MXStatStore> getInstance();
    // A store of the given class's file: creates the queue, then initDB.
    static std::shared_ptr<MXStatStore> create(const std::string& className = kMXStatStoreClassName);

    ~MXStatStore() override;
    MXStatStore(const MXStatStore&) = delete;
    MXStatStore& operator=(const MXStatStore&) = delete;

    const std::shared_ptr<platform::DispatchQueue>& queue() const { return m_queue; }
    MXStatDatabase& database() { return m_db; }
    // The upload that batches go through.
    void setDispatcher(std::shared_ptr<MXStatDispatcherProtocol> dispatcher);

    // Opens the database; false when it cannot be opened.
    bool getDB() { return m_db.getDB(); }
    // Sets "MST_SDK_DB_VER" to 1 when it is 0, creates the tables ("NULL database to init table." without
    // a database).
    void initDB();
    // Asynchronous: rows at status 2 back to 1, then the count.
    void launch();
    // Queries the number of status-1 rows (0 on any failure).
    std::uint32_t getStoredEventsNum();
    // Asynchronous: counts the status-1 rows again (after a row was stored through another statement).
    void countStoredEvents();
    // Whether this store owns the file now (store queue; tests).
    bool ownsStore();

    // MXStatStoreProtocol.
    void storeEvent(std::shared_ptr<MXStatEvent> event, bool hasTrySent, std::function<void()> completion) override;
    std::uint32_t storedEventCount() const override { return m_numStoredEvents.load(); }
    void sendCachedEvents(std::int32_t count) override;
    std::optional<MXStatUser> loadUser() override;
    void storeUser(const MXStatUser& user) override;

    // On the store queue: appends up to maxLoadEventCount status-1 rows, oldest first.
    void loadCachedEvents(std::vector<MXStatStoreEvent>& events);
    // Asynchronous: each row's status in one transaction (failed rows once more), then the count.
    void updateEvents(std::vector<MXStatStoreEvent> events, std::uint32_t status);
    // Asynchronous: deletes each row in one transaction (failed rows once more), counts, then the completion.
    void deleteEvents(std::vector<MXStatStoreEvent> events, std::function<void()> completion);
    // Asynchronous: the bookkeeping of a failed upload, then the count.
    void updateSendFailedEvents(std::vector<MXStatStoreEvent> events);

    // The uid of the first user row, or "".
    std::string getMstSharedUDID();
    // Asynchronous: replaces the configuration row of its type.
    void storeConfig(MXStatDataConfig config);
    // Calls the block once per configuration row, on the caller's thread.
    void loadConfig(const std::function<void(const MXStatDataConfig&)>& block);

    // Formats and executes one statement; the SQLite result, -1 without a database.
    [[gnu::format(printf, 2, 3)]] int updateDatabase(const char* format, ...);

    void close();
    void closeDB() { m_db.closeDB(); }
    void deleteDB() { m_db.deleteDB(); }

private:
    explicit MXStatStore(const std::string& className);

    // Store queue.
    void storeEventNow(MXStatEvent& event, bool hasTrySent);
    void sendCachedEventsNow(std::int32_t count);
    // A batch's owner mark: the device and inode of the owner file it was taken under.
    using BatchMark = std::pair<long long, long long>;
    void batchSent(std::int32_t count, const std::vector<MXStatStoreEvent>& batch, const BatchMark& marker);
    // Runs a statement per row in a transaction, and the failed rows once more in a second one; true when
    // every row succeeded in the end. Then counts.
    bool applyToRows(const std::vector<MXStatStoreEvent>& rows,
                     const std::function<int(const MXStatStoreEvent&)>& statement);
    // With a batch's mark, only rows still in flight under that mark are touched: the file may have
    // been replaced meanwhile (its rows' numbers start again), or the rows given to another owner.
    bool updateEventsNow(const std::vector<MXStatStoreEvent>& events, std::uint32_t status,
                         const std::optional<BatchMark>& marker = std::nullopt);
    bool deleteEventsNow(const std::vector<MXStatStoreEvent>& events, const std::optional<BatchMark>& marker = std::nullopt);
    void updateSendFailedEventsNow(std::vector<MXStatStoreEvent> events, const std::optional<BatchMark>& marker = std::nullopt);
    std::optional<MXStatUser> loadUserNow();
    void recount();
    // Counts again when the database has opened a file since the last count.
    void followFile();
    // Takes ownership of the file unless this store holds it (store queue); false while another has it.
    bool holdOwnership();
    void releaseOwnership();
    // The record of the rows in flight's owner (store queue, within a transaction).
    struct InFlightOwner {
        bool recorded = false;
        long long dev = 0;
        long long ino = 0;
        bool isThisStore = false; // recorded with the file this store holds locked
        bool expired = false;     // another boot, or its lease ran out
    };
    InFlightOwner inFlightOwner();
    // Rows in flight back to status 1, and their record gone.
    void returnRowsInFlight();
    // A batch's rows are settled (store queue): its record goes when no row is in flight any more.
    void batchSettled(std::pair<long long, long long> marker);
    void closeRetiredOwnerFiles();

    std::shared_ptr<MXStatDispatcherProtocol> dispatcher() const;

    const std::shared_ptr<platform::DispatchQueue> m_queue;
    MXStatDatabase m_db;
    std::atomic<std::uint32_t> m_numStoredEvents{0};
    // The database generation m_numStoredEvents was counted at (store queue).
    std::uint64_t m_countedGeneration = 0;
    mutable std::mutex m_mutex;
    std::shared_ptr<MXStatDispatcherProtocol> m_dispatcher;
    // The owner lock held (store queue, or under m_mutex at the end): its descriptor and file.
    int m_ownerFd = -1;
    std::string m_ownerPath;
    // Batches out (store queue), and owner files given up while they were out: kept open until none is.
    std::size_t m_batchesOut = 0;
    std::vector<int> m_retiredOwnerFds;
    std::atomic<bool> m_closed{false}; // close() gives ownership up for good
};

} // namespace stats
