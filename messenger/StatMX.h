// The bridge from the messaging-app client to its statistics: the statistics key of the application
// ("IMXOP" followed by the app id), the statistics start under that key, and the event "onBackground_MX"
// reported in real time each time the application goes to the background.
//
// Thread: any; the instance is made once under a lock and lives until the process ends.
#pragma once

#include <mutex>
#include <optional>
#include <string>

namespace messenger {

class StatMX {
public:
    static StatMX& getInstance();
    // "IMXOP" + app id; nothing for no app id ("[WARN]appkey is nil").
    static std::optional<std::string> ConvertMXappkey(const std::optional<std::string>& appId);
    static void startWithAppkey(const std::optional<std::string>& appId);
    static void onBackground();

    std::optional<std::string> appkey() const;

private:
    StatMX() = default;
    mutable std::mutex m_mutex;
    std::optional<std::string> m_appkey;
};

} // namespace messenger
