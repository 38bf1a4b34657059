#include "messenger/StatMX.h"

#include "stats/MXStat.h"
#include "stats/MXStatLog.h"

namespace messenger {

StatMX& StatMX::getInstance() {
    static std::mutex creation;
    static StatMX* instance = nullptr;
    std::lock_guard lock(creation);
    if (!instance)
        instance = new StatMX(); // lives until the process ends
    stats::MXStatDebugLog("instance obj :<StatMX: %p>", static_cast<void*>(instance));
    return *instance;
}

std::optional<std::string> StatMX::ConvertMXappkey(const std::optional<std::string>& appId) {
    if (!appId) {
        stats::MXStatLog("[WARN]appkey is nil");
        return std::nullopt;
    }
    std::string key = "IMXOP" + *appId;
    stats::MXStatDebugLog("MXappkey:%s", key.c_str());
    return key;
}

void StatMX::startWithAppkey(const std::optional<std::string>& appId) {
    StatMX& self = getInstance();
    std::optional<std::string> key = ConvertMXappkey(appId);
    {
        std::lock_guard lock(self.m_mutex);
        self.m_appkey = key;
    }
    stats::MXStatDebugLog("StatMX appkey :%s", key.value_or("(null)").c_str());
    stats::MXStat::startWithAppkey(key);
}

void StatMX::onBackground() {
    const std::optional<std::string> key = getInstance().appkey();
    stats::MXStatDebugLog("onBackground appkey :%s", key.value_or("(null)").c_str());
    stats::MXStat::trackCustomKeyValueEvent(std::string("onBackground_MX"), std::nullopt, key, true);
}

std::optional<std::string> StatMX::appkey() const {
    std::lock_guard lock(m_mutex);
    return m_appkey;
}

} // namespace messenger
