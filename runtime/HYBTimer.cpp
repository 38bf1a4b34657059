#include "runtime/HYBTimer.h"

#include "platform/core/Log.h"
#include "platform/runloop/Clock.h"
#include "runtime/TextCase.h"

namespace runtime {

HYBTimer& HYBTimer::sharedInstance() {
    static HYBTimer instance;
    return instance;
}

void HYBTimer::add(std::string_view name) {
    std::string key = lowercased(name);
    if (m_items.count(key)) {
        platform::Log::write("Timer called '" + std::string(name) + "' already exists.");
        return;
    }
    m_items.emplace(std::move(key), HYBTimerItem(std::string(name), platform::Clock::current().wallNow()));
}

void HYBTimer::remove(std::string_view name) {
    auto it = m_items.find(lowercased(name));
    if (it == m_items.end()) {
        platform::Log::write("Timer called '" + std::string(name) + "' does not exist.");
        return;
    }
    it->second.setEnded(platform::Clock::current().wallNow());
    it->second.log();
    m_items.erase(it);
}

} // namespace runtime
