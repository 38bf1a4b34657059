// The system log of this stand-in platform.
//
// A record is a set of string keys and values. Sending one stamps it with "ASLMessageID" (a number that
// grows by one per record, from 1), "Time" (whole seconds since 1970) and "TimeNanoSec" (the nanoseconds
// of that second), forwards its "Message" to syslog(3) at the priority given by its "Level" digit
// ("0" emergency to "7" debug; notice when absent or not a digit), and keeps it in an in-process store
// of this process's own records, which can be searched by numeric conditions on "ASLMessageID", "Time"
// and "Level".
//
// Guarantees:
// - Thread-safe: any thread may send, search and observe.
// - The store keeps the newest `capacity()` records; older ones are dropped first.
// - Each sent record notifies every observer once, asynchronously on the queue the observer named (the
//   notification carries no content; observers search for what is new). An observer removed before a
//   notification runs is not called.
// - Time stamps come from Clock::current(), so a virtual clock drives them.
#pragma once

#include "platform/core/Value.h"

#include <memory>

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Keys of a system-log record.
inline constexpr const char* kSystemLogKeyMessageID = "ASLMessageID";
inline constexpr const char* kSystemLogKeyTime = "Time";
inline constexpr const char* kSystemLogKeyTimeNanoSec = "TimeNanoSec";
inline constexpr const char* kSystemLogKeyLevel = "Level";
inline constexpr const char* kSystemLogKeyMessage = "Message";
inline constexpr const char* kSystemLogKeyReadUID = "ReadUID";

class DispatchQueue;

class SystemLogRecord {
public:
    // Sets a key; fails (false) for an empty key or a key or value with a NUL byte.
    bool set(std::string_view key, std::string_view value);
    // The value of a key, or null when absent.
    const std::string* get(std::string_view key) const;
    const std::map<std::string, std::string, std::less<>>& values() const { return m_values; }

private:
    std::map<std::string, std::string, std::less<>> m_values;
};

class SystemLogQuery {
public:
    enum class Comparison { Greater, GreaterOrEqual, LessOrEqual };
    // Adds a numeric condition: the record's value of `key`, read as a decimal number, compared with
    // `value`. A record without the key, or whose value is not a number, does not match.
    void addNumericCondition(std::string key, Comparison comparison, std::int64_t value);
    bool matches(const SystemLogRecord& record) const;

private:
    struct Condition {
        std::string key;
        Comparison comparison;
        std::int64_t value;
    };
    std::vector<Condition> m_conditions;
};

class SystemLog {
public:
    using ObserverID = std::uint64_t;

    static SystemLog& shared();

    // Stamps and stores the record, writes it to syslog(3) (unless switched off), notifies observers.
    // Returns the record's id.
    std::uint64_t send(const SystemLogRecord& record);
    // The stored records that match, oldest first.
    std::vector<SystemLogRecord> search(const SystemLogQuery& query) const;

    // Calls the handler on the queue after each record sent (the default-priority global queue when
    // none is given).
    ObserverID addObserver(std::shared_ptr<DispatchQueue> queue, std::function<void()> handler);
    void removeObserver(ObserverID observer);

    // Whether records also go to syslog(3) (on by default). Tests switch it off.
    void setForwardsToSyslog(bool forwards);
    std::size_t capacity() const { return m_capacity; }
    void setCapacity(std::size_t capacity);

    // The syslog(3) priority of a "Level" text: its digit 0 to 7, or 5 (notice) otherwise.
    static int syslogPriorityForLevel(const std::string* level);

private:
    SystemLog() = default;
    void notifyObservers();

    mutable std::mutex m_mutex;
    std::deque<SystemLogRecord> m_records;
    std::uint64_t m_lastID = 0;
    std::size_t m_capacity = 10000;
    bool m_forwardsToSyslog = true;
    ObserverID m_lastObserverID = 0;
    struct Observer {
        std::shared_ptr<DispatchQueue> queue;
        std::function<void()> handler;
    };
    std::map<ObserverID, Observer> m_observers;
};

} // namespace platform
