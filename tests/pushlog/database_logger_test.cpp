#include "RecordingLogger.h"

#include "platform/runloop/VirtualClock.h"
#include "pushlog/PULSEAbstractDatabaseLogger.h"

#include <gtest/gtest.h>

#include <atomic>

using namespace pushlog;

namespace {

// A store that keeps nothing but counts what it is asked to do.
class CountingStore : public PULSEAbstractDatabaseLogger {
public:
    explicit CountingStore(bool stores = true) : PULSEAbstractDatabaseLogger("test.database"), m_stores(stores) {}
    std::atomic<int> logged{0}, saves{0}, deletes{0}, savesAndDeletes{0};

protected:
    bool db_log(const PULSELogMessage&) override {
        ++logged;
        return m_stores;
    }
    void db_save() override { ++saves; }
    void db_delete() override { ++deletes; }
    void db_saveAndDelete() override { ++savesAndDeletes; }

private:
    bool m_stores;
};

class DatabaseLogger : public ::testing::Test {
protected:
    DatabaseLogger() {
        m_clock.install();
        pushlog::testing::resetLoggers();
    }
    ~DatabaseLogger() override { pushlog::testing::resetLoggers(); }

    std::shared_ptr<CountingStore> add(bool stores = true) {
        auto store = std::make_shared<CountingStore>(stores);
        PULSELog::addLogger(store);
        (void)store->saveThreshold(); // its timers exist from here on
        return store;
    }
    static void log(int count = 1) {
        for (int i = 0; i < count; ++i)
            PULSELog::log(false, "entry", 31, 8, 0, "f", "g", 1, {});
    }
    // Moves the clock, then waits until what the timers queued has run on the logger's queue.
    void advance(double seconds, const std::shared_ptr<CountingStore>& store) {
        m_clock.advance(seconds);
        (void)store->saveThreshold();
    }

    platform::VirtualClock m_clock;
};

} // namespace

TEST_F(DatabaseLogger, BaseStoresNothingAndNeverSaves) {
    auto store = add(false);
    log(600);
    advance(120, store);
    PULSELog::flushLog();
    EXPECT_EQ(store->logged.load(), 600);
    EXPECT_EQ(store->saves.load(), 0);
}

TEST_F(DatabaseLogger, SavesAtTheThresholdAndAfterTheInterval) {
    auto store = add();
    log(499);
    EXPECT_EQ(store->saves.load(), 0);
    log(1);
    EXPECT_EQ(store->saves.load(), 1); // the 500th entry saves at once

    log(1);
    advance(59, store);
    EXPECT_EQ(store->saves.load(), 1);
    advance(1, store);
    EXPECT_EQ(store->saves.load(), 2); // a single entry is saved 60 s after it was stored
    advance(600, store);
    EXPECT_EQ(store->saves.load(), 2); // nothing unsaved: the timer rests

    log(1);
    advance(30, store);
    EXPECT_EQ(store->saves.load(), 2);
    advance(30, store);
    EXPECT_EQ(store->saves.load(), 3);
}

TEST_F(DatabaseLogger, ThresholdZeroAndNoSaveTimer) {
    auto store = add();
    store->setSaveThreshold(0);
    log(600);
    EXPECT_EQ(store->saves.load(), 0);
    store->setSaveInterval(0); // no timer: only flush saves
    EXPECT_EQ(store->saveInterval(), 0); // the change has reached the logger
    advance(3600, store);
    EXPECT_EQ(store->saves.load(), 0);
    PULSELog::flushLog();
    EXPECT_EQ(store->saves.load(), 1);
}

TEST_F(DatabaseLogger, DeletesOnTheirTimerAndWhenTheAgeShrinks) {
    auto store = add();
    advance(300, store);
    EXPECT_EQ(store->deletes.load(), 1);
    advance(300, store);
    EXPECT_EQ(store->deletes.load(), 2);
    store->setMaxAge(86400); // lower: delete at once
    (void)store->maxAge();
    EXPECT_EQ(store->deletes.load(), 3);
    store->setMaxAge(2 * 86400); // higher: nothing now
    EXPECT_EQ(store->maxAge(), 2 * 86400);
    EXPECT_EQ(store->deletes.load(), 3);
    store->setDeleteInterval(0);
    EXPECT_EQ(store->deleteInterval(), 0);
    advance(3600, store);
    EXPECT_EQ(store->deletes.load(), 3);
}

TEST_F(DatabaseLogger, DeleteOnEverySaveAndRemovalSavesPending) {
    auto store = add();
    store->setDeleteOnEverySave(true);
    log(3);
    PULSELog::flushLog();
    EXPECT_EQ(store->savesAndDeletes.load(), 1);
    EXPECT_TRUE(store->deleteOnEverySave());
    log(2);
    PULSELog::removeLogger(store);
    (void)store->saveThreshold();
    EXPECT_EQ(store->savesAndDeletes.load(), 2);
    advance(3600, store); // timers are gone
    EXPECT_EQ(store->savesAndDeletes.load(), 2);
}
