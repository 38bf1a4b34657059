#include "platform/system/SystemLog.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace platform;

namespace {

SystemLogRecord record(const char* level, const char* message) {
    SystemLogRecord r;
    EXPECT_TRUE(r.set(kSystemLogKeyLevel, level));
    EXPECT_TRUE(r.set(kSystemLogKeyMessage, message));
    return r;
}

class SystemLogTest : public ::testing::Test {
protected:
    void SetUp() override { SystemLog::shared().setForwardsToSyslog(false); }
};

} // namespace

TEST_F(SystemLogTest, RecordKeysRejectEmptyAndNul) {
    SystemLogRecord r;
    EXPECT_FALSE(r.set("", "x"));
    EXPECT_FALSE(r.set(std::string_view("a\0b", 3), "x"));
    EXPECT_FALSE(r.set("Message", std::string_view("a\0b", 3)));
    EXPECT_EQ(r.get("Message"), nullptr);
}

TEST_F(SystemLogTest, SendStampsAndSearchFindsByIdTimeAndLevel) {
    SystemLog& log = SystemLog::shared();
    const std::uint64_t first = log.send(record("5", "first"));
    const std::uint64_t second = log.send(record("7", "second"));
    EXPECT_EQ(second, first + 1);

    SystemLogQuery afterFirst;
    afterFirst.addNumericCondition(kSystemLogKeyMessageID, SystemLogQuery::Comparison::Greater,
                                   static_cast<std::int64_t>(first));
    afterFirst.addNumericCondition(kSystemLogKeyLevel, SystemLogQuery::Comparison::LessOrEqual, 7);
    const auto found = log.search(afterFirst);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(*found[0].get(kSystemLogKeyMessage), "second");
    EXPECT_EQ(*found[0].get(kSystemLogKeyMessageID), std::to_string(second));
    ASSERT_NE(found[0].get(kSystemLogKeyTime), nullptr);
    ASSERT_NE(found[0].get(kSystemLogKeyTimeNanoSec), nullptr);

    SystemLogQuery since;
    since.addNumericCondition(kSystemLogKeyTime, SystemLogQuery::Comparison::GreaterOrEqual,
                              std::stoll(*found[0].get(kSystemLogKeyTime)));
    EXPECT_GE(log.search(since).size(), 1u);

    SystemLogQuery lowLevel;
    lowLevel.addNumericCondition(kSystemLogKeyMessageID, SystemLogQuery::Comparison::GreaterOrEqual,
                                 static_cast<std::int64_t>(first));
    lowLevel.addNumericCondition(kSystemLogKeyLevel, SystemLogQuery::Comparison::LessOrEqual, 5);
    ASSERT_EQ(log.search(lowLevel).size(), 1u);
}

TEST_F(SystemLogTest, RecordWithoutNumericValueDoesNotMatch) {
    SystemLog& log = SystemLog::shared();
    const std::uint64_t id = log.send(record("x", "odd level"));
    SystemLogQuery query;
    query.addNumericCondition(kSystemLogKeyMessageID, SystemLogQuery::Comparison::GreaterOrEqual,
                              static_cast<std::int64_t>(id));
    EXPECT_EQ(log.search(query).size(), 1u);
    query.addNumericCondition(kSystemLogKeyLevel, SystemLogQuery::Comparison::LessOrEqual, 7);
    EXPECT_TRUE(log.search(query).empty());
}

TEST_F(SystemLogTest, SyslogPriorities) {
    const std::string digits[] = {"0", "2", "7", "8", "", "55"};
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(&digits[0]), 0);
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(&digits[1]), 2);
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(&digits[2]), 7);
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(&digits[3]), 5);
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(&digits[4]), 5);
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(&digits[5]), 5);
    EXPECT_EQ(SystemLog::syslogPriorityForLevel(nullptr), 5);
}

TEST_F(SystemLogTest, StoreKeepsNewestWithinCapacity) {
    SystemLog& log = SystemLog::shared();
    const std::size_t saved = log.capacity();
    log.setCapacity(3);
    std::uint64_t last = 0;
    for (int i = 0; i < 5; ++i)
        last = log.send(record("5", "bounded"));
    EXPECT_EQ(log.search(SystemLogQuery()).size(), 3u);
    SystemLogQuery query;
    query.addNumericCondition(kSystemLogKeyMessageID, SystemLogQuery::Comparison::Greater,
                              static_cast<std::int64_t>(last - 3));
    EXPECT_EQ(log.search(query).size(), 3u);
    log.setCapacity(saved);
}

TEST_F(SystemLogTest, ObserversAreNotifiedUntilRemoved) {
    SystemLog& log = SystemLog::shared();
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    const auto observer = log.addObserver(nullptr, [&] {
        std::lock_guard lock(mutex);
        ++calls;
        changed.notify_all();
    });
    log.send(record("5", "notify me"));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return calls >= 1; }));
    }
    log.removeObserver(observer);
    log.send(record("5", "not me"));
    // A removed observer is never called again; a second, still registered observer proves delivery.
    std::atomic<bool> delivered{false};
    const auto other = log.addObserver(nullptr, [&] {
        std::lock_guard lock(mutex);
        delivered = true;
        changed.notify_all();
    });
    log.send(record("5", "other"));
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(10), [&] { return delivered.load(); }));
    }
    log.removeObserver(other);
    std::lock_guard lock(mutex);
    EXPECT_EQ(calls, 1);
}
