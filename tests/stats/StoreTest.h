// The event store's test fixture: a store on the test's own home, a batch upload the test answers by
// hand, and direct access to the database file.
#pragma once

#include "StatsTest.h"

#include "stats/MXStatStore.h"

#include <sqlite3.h>

#include <deque>

namespace statstest {

// Records every batch; answers each at once when an answer is set, else when the test says. An answer
// true is Sent, false Refused.
class BatchDispatcher : public stats::MXStatDispatcherProtocol {
public:
    using Outcome = stats::MXStatUploadOutcome;

    void sendEvent(std::shared_ptr<stats::MXStatEvent> event, Completion completion) override {
        if (completion)
            completion(true, event);
    }
    void send(std::vector<stats::MXStatStoreEvent> events, BatchCompletion completion) override {
        std::optional<Outcome> answer;
        {
            std::lock_guard lock(m_mutex);
            m_batches.push_back(events);
            answer = m_answer;
            if (!answer)
                m_pending.push_back({events, std::move(completion)});
        }
        if (answer)
            completion(*answer, events);
    }
    void setAnswer(std::optional<bool> answer) {
        setOutcome(answer ? std::optional<Outcome>(*answer ? Outcome::Sent : Outcome::Refused) : std::nullopt);
    }
    void setOutcome(std::optional<Outcome> answer) {
        std::lock_guard lock(m_mutex);
        m_answer = answer;
    }
    // Answers the oldest batch still waiting; false when none is.
    bool answer(bool success) { return answer(success ? Outcome::Sent : Outcome::Refused); }
    bool answer(Outcome success) {
        std::pair<std::vector<stats::MXStatStoreEvent>, BatchCompletion> pending;
        {
            std::lock_guard lock(m_mutex);
            if (m_pending.empty())
                return false;
            pending = std::move(m_pending.front());
            m_pending.pop_front();
        }
        pending.second(success, pending.first);
        return true;
    }
    std::vector<std::vector<stats::MXStatStoreEvent>> batches() const {
        std::lock_guard lock(m_mutex);
        return m_batches;
    }

private:
    mutable std::mutex m_mutex;
    std::optional<Outcome> m_answer;
    std::vector<std::vector<stats::MXStatStoreEvent>> m_batches;
    std::deque<std::pair<std::vector<stats::MXStatStoreEvent>, BatchCompletion>> m_pending;
};

// One row of the events table as the file holds it.
struct EventRow {
    std::int64_t id = 0;
    std::optional<std::string> content;
    std::int64_t status = 0;
    std::int64_t sendCount = 0;
    std::int64_t ts = 0;
};

// A connection of the test's own to a database file.
class Database {
public:
    // Waits for the store's lock (another connection) as the store waits for this one's.
    explicit Database(const std::string& path) {
        EXPECT_EQ(sqlite3_open(path.c_str(), &m_db), SQLITE_OK);
        sqlite3_busy_timeout(m_db, 5000);
    }
    ~Database() { sqlite3_close(m_db); }
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    void exec(const std::string& sql) {
        char* message = nullptr;
        EXPECT_EQ(sqlite3_exec(m_db, sql.c_str(), nullptr, nullptr, &message), SQLITE_OK) << sql << ": " << (message ? message : "");
        sqlite3_free(message);
    }
    // The first column of every row as text ("NULL" for NULL).
    std::vector<std::string> column(const std::string& sql) {
        std::vector<std::string> values;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_db, sql.c_str(), -1, &statement, nullptr), SQLITE_OK) << sql;
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            const auto* text = sqlite3_column_text(statement, 0);
            values.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
        }
        sqlite3_finalize(statement);
        return values;
    }
    std::vector<EventRow> events() {
        std::vector<EventRow> rows;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(m_db, "select event_id, content, status, send_count, ts from events order by event_id", -1,
                                     &statement, nullptr),
                  SQLITE_OK);
        while (statement && sqlite3_step(statement) == SQLITE_ROW) {
            EventRow row;
            row.id = sqlite3_column_int64(statement, 0);
            if (const auto* text = sqlite3_column_text(statement, 1))
                row.content = reinterpret_cast<const char*>(text);
            row.status = sqlite3_column_int64(statement, 2);
            row.sendCount = sqlite3_column_int64(statement, 3);
            row.ts = sqlite3_column_int64(statement, 4);
            rows.push_back(std::move(row));
        }
        sqlite3_finalize(statement);
        return rows;
    }
    // Inserts rows the way the store does, all in one transaction.
    void insertEvents(int count, std::int64_t ts, int status = 1, const std::string& content = "{\"et\":1000}") {
        exec("BEGIN");
        for (int i = 0; i < count; ++i)
            exec("insert into events(content, status, send_count, ts) values('" + content + "', " + std::to_string(status) +
                 ", 0, " + std::to_string(ts) + ")");
        exec("COMMIT");
    }

private:
    sqlite3* m_db = nullptr;
};

class StoreTest : public StatsTest {
protected:
    StoreTest() { makeStore(); }
    ~StoreTest() override { settle(m_store); }

    // Lets a store go and waits until it is gone: what it queued for itself (an answer's follow-up) runs
    // while the test's home is still in place, never in the next test's home or the real one.
    static void settle(std::shared_ptr<stats::MXStatStore>& store) {
        if (!store)
            return;
        const std::shared_ptr<platform::DispatchQueue> queue = store->queue();
        const std::weak_ptr<stats::MXStatStore> gone = store;
        store.reset();
        for (int i = 0; i < 1000 && !gone.expired(); ++i)
            queue->sync([] {});
    }

    std::string documents() const { return m_home.folders().documents(); }
    std::string databasePath() const { return documents() + "/.messenger_analysis_MXStatStore"; }

    void makeStore() {
        m_store = stats::MXStatStore::create();
        m_store->setDispatcher(m_dispatcher);
    }
    // Waits until the store queue has run everything queued so far.
    void drain() { m_store->queue()->sync([] {}); }
    // Stores two events (times 1000 and 1001) and sends them in one batch the upload holds unanswered;
    // the number of batches sent.
    std::size_t sendHeldBatch() {
        storeEventAt(1000);
        storeEventAt(1001);
        m_store->launch();
        m_store->sendCachedEvents(-1);
        drain();
        return m_dispatcher->batches().size();
    }
    // A second store of the same file (another process of the application) whose upload answers at once.
    struct SecondStore {
        std::shared_ptr<stats::MXStatStore> store = stats::MXStatStore::create();
        std::shared_ptr<BatchDispatcher> upload = std::make_shared<BatchDispatcher>();
        SecondStore() {
            upload->setAnswer(true);
            store->setDispatcher(upload);
        }
        ~SecondStore() { settle(store); }
        // Asks for a batch and waits until it is taken and settled.
        void send() {
            store->sendCachedEvents(-1);
            store->queue()->sync([] {});
            store->queue()->sync([] {});
        }
    };
    // Stores one custom event with the given creation time and waits for it.
    void storeEventAt(std::uint32_t ts, const std::string& id = "e") {
        auto event = std::make_shared<stats::MXStatCustomEvent>();
        event->eventID = id;
        event->ts = ts;
        store(event);
    }
    void store(std::shared_ptr<stats::MXStatEvent> event) {
        bool completed = false;
        m_store->storeEvent(event, false, [&completed] { completed = true; });
        drain();
        EXPECT_TRUE(completed);
    }

    std::shared_ptr<BatchDispatcher> m_dispatcher = std::make_shared<BatchDispatcher>();
    std::shared_ptr<stats::MXStatStore> m_store;
};

} // namespace statstest
