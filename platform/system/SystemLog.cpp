#include "platform/system/SystemLog.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/DispatchQueue.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <syslog.h>

namespace platform {

namespace {

std::optional<std::int64_t> decimalValue(const std::string& text) {
    std::int64_t value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end)
        return std::nullopt;
    return value;
}

} // namespace

bool SystemLogRecord::set(std::string_view key, std::string_view value) {
    if (key.empty() || key.find('\0') != std::string_view::npos || value.find('\0') != std::string_view::npos)
        return false;
    m_values.insert_or_assign(std::string(key), std::string(value));
    return true;
}

const std::string* SystemLogRecord::get(std::string_view key) const {
    auto it = m_values.find(key);
    return it == m_values.end() ? nullptr : &it->second;
}

void SystemLogQuery::addNumericCondition(std::string key, Comparison comparison, std::int64_t value) {
    m_conditions.push_back({std::move(key), comparison, value});
}

bool SystemLogQuery::matches(const SystemLogRecord& record) const {
    for (const Condition& condition : m_conditions) {
        const std::string* text = record.get(condition.key);
        if (!text)
            return false;
        const std::optional<std::int64_t> number = decimalValue(*text);
        if (!number)
            return false;
        switch (condition.comparison) {
        case Comparison::Greater:
            if (!(*number > condition.value))
                return false;
            break;
        case Comparison::GreaterOrEqual:
            if (!(*number >= condition.value))
                return false;
            break;
        case Comparison::LessOrEqual:
            if (!(*number <= condition.value))
                return false;
            break;
        }
    }
    return true;
}

SystemLog& SystemLog::shared() {
    static SystemLog* log = new SystemLog(); // lives for the process; observers may run at exit
    return *log;
}

int SystemLog::syslogPriorityForLevel(const std::string* level) {
    if (level && level->size() == 1 && (*level)[0] >= '0' && (*level)[0] <= '7')
        return (*level)[0] - '0';
    return LOG_NOTICE;
}

std::uint64_t SystemLog::send(const SystemLogRecord& record) {
    const double now = Clock::current().wallNow().secondsSince1970;
    const auto seconds = static_cast<std::int64_t>(std::floor(now));
    const auto nanoseconds = std::clamp<std::int64_t>(std::llround((now - static_cast<double>(seconds)) * 1e9), 0, 999999999);
    SystemLogRecord stamped = record;
    std::uint64_t id = 0;
    bool forwards = false;
    {
        std::lock_guard lock(m_mutex);
        id = ++m_lastID;
        (void)stamped.set(kSystemLogKeyMessageID, std::to_string(id));
        (void)stamped.set(kSystemLogKeyTime, std::to_string(seconds));
        (void)stamped.set(kSystemLogKeyTimeNanoSec, std::to_string(nanoseconds));
        m_records.push_back(stamped);
        while (m_records.size() > m_capacity)
            m_records.pop_front();
        forwards = m_forwardsToSyslog;
    }
    if (forwards) {
        const std::string* message = stamped.get(kSystemLogKeyMessage);
        syslog(LOG_USER | syslogPriorityForLevel(stamped.get(kSystemLogKeyLevel)), "%s",
               message ? message->c_str() : "");
    }
    notifyObservers();
    return id;
}

std::vector<SystemLogRecord> SystemLog::search(const SystemLogQuery& query) const {
    std::lock_guard lock(m_mutex);
    std::vector<SystemLogRecord> found;
    for (const SystemLogRecord& record : m_records)
        if (query.matches(record))
            found.push_back(record);
    return found;
}

SystemLog::ObserverID SystemLog::addObserver(std::shared_ptr<DispatchQueue> queue, std::function<void()> handler) {
    if (!queue)
        queue = DispatchQueue::global(DispatchQueue::Priority::Default);
    std::lock_guard lock(m_mutex);
    const ObserverID id = ++m_lastObserverID;
    m_observers.emplace(id, Observer{std::move(queue), std::move(handler)});
    return id;
}

void SystemLog::removeObserver(ObserverID observer) {
    std::lock_guard lock(m_mutex);
    m_observers.erase(observer);
}

void SystemLog::setForwardsToSyslog(bool forwards) {
    std::lock_guard lock(m_mutex);
    m_forwardsToSyslog = forwards;
}

void SystemLog::setCapacity(std::size_t capacity) {
    std::lock_guard lock(m_mutex);
    m_capacity = capacity == 0 ? 1 : capacity;
    while (m_records.size() > m_capacity)
        m_records.pop_front();
}

void SystemLog::notifyObservers() {
    std::vector<std::pair<ObserverID, std::shared_ptr<DispatchQueue>>> targets;
    {
        std::lock_guard lock(m_mutex);
        for (const auto& [id, observer] : m_observers)
            targets.emplace_back(id, observer.queue);
    }
    // The shared log lives for the whole process, so the posted blocks may refer to it.
    for (auto& [id, queue] : targets) {
        queue->async([this, id = id] {
            std::function<void()> handler;
            {
                std::lock_guard lock(m_mutex);
                auto it = m_observers.find(id);
                if (it == m_observers.end())
                    return;
                handler = it->second.handler;
            }
            handler();
        });
    }
}

} // namespace platform
