// The name of the system's time zone as the platform gives it ("Europe/Berlin", "Asia/Shanghai").
//
// Guarantees:
// - Thread: every call from any thread.
// - systemName() answers a set name, else the TZ environment variable (a leading ":" dropped, a path into
//   a zoneinfo folder reduced to the zone's name), else /etc/timezone, else the zone /etc/localtime links
//   to, else "UTC". It follows TZ as it is at the moment of the call.
// - description() describes that zone at a moment: "<name> (<abbreviation>) offset <seconds east of
//   UTC>", e.g. "Asia/Shanghai (CST) offset 28800"; a name the zone database does not know is described
//   as UTC ("<name> (UTC) offset 0").
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class TimeZone {
public:
    TimeZone() = delete;

    static std::string systemName();
    static std::string description();
    static std::string description(std::int64_t unixSeconds);
    // For the application's set-up and for tests; nullopt goes back to the system's.
    static void setSystemName(std::optional<std::string> name);
};

} // namespace platform
