#include "platform/system/TimeZone.h"

#include <glib.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>

namespace platform {

namespace {
std::mutex& nameMutex() {
    static auto* mutex = new std::mutex; // used from any thread until exit
    return *mutex;
}

std::optional<std::string>& setName() {
    static auto* name = new std::optional<std::string>;
    return *name;
}

// "/usr/share/zoneinfo/Europe/Berlin" -> "Europe/Berlin"; other text is left as it is.
std::string zoneNameOfPath(const std::string& path) {
    const std::string marker = "zoneinfo/";
    const auto at = path.rfind(marker);
    return at == std::string::npos ? path : path.substr(at + marker.size());
}

std::optional<std::string> fromEnvironment() {
    const char* tz = std::getenv("TZ");
    if (!tz)
        return std::nullopt;
    std::string text = tz;
    if (!text.empty() && text.front() == ':')
        text.erase(0, 1);
    if (text.empty())
        return std::nullopt;
    return zoneNameOfPath(text);
}

std::optional<std::string> fromSystemFiles() {
    std::ifstream file("/etc/timezone");
    std::string line;
    if (file && std::getline(file, line) && !line.empty())
        return line;
    std::error_code ec;
    const auto target = std::filesystem::read_symlink("/etc/localtime", ec);
    if (!ec && !target.empty())
        return zoneNameOfPath(target.string());
    return std::nullopt;
}
} // namespace

std::string TimeZone::systemName() {
    {
        std::lock_guard lock(nameMutex());
        if (setName())
            return *setName();
    }
    if (auto name = fromEnvironment())
        return *name;
    if (auto name = fromSystemFiles())
        return *name;
    return "UTC";
}

std::string TimeZone::description() { return description(std::int64_t(std::time(nullptr))); }

std::string TimeZone::description(std::int64_t unixSeconds) {
    const std::string name = systemName();
    GTimeZone* zone = g_time_zone_new_identifier(name.c_str());
    if (!zone)
        zone = g_time_zone_new_utc();
    const int interval = g_time_zone_find_interval(zone, G_TIME_TYPE_UNIVERSAL, unixSeconds);
    std::string abbreviation = "UTC";
    long offset = 0;
    if (interval >= 0) {
        if (const char* text = g_time_zone_get_abbreviation(zone, interval); text && *text)
            abbreviation = text;
        offset = g_time_zone_get_offset(zone, interval);
    }
    g_time_zone_unref(zone);
    return name + " (" + abbreviation + ") offset " + std::to_string(offset);
}

void TimeZone::setSystemName(std::optional<std::string> name) {
    std::lock_guard lock(nameMutex());
    setName() = std::move(name);
}

} // namespace platform
