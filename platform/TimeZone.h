// The name of the system's time zone as the platform gives it ("Europe/Berlin", "Asia/Shanghai").
//
// Guarantees:
// - Thread: every call from any thread.
// - systemName() answers a set name, else the TZ environment variable (a leading ":" dropped, a path into
//   a zoneinfo folder reduced to the zone's name), else /etc/timezone, else the zone /etc/localtime links
//   to, else "UTC". It follows TZ as it is at the moment of the call.
#pragma once

#include <optional>
#include <string>

namespace platform {

class TimeZone {
public:
    TimeZone() = delete;

    static std::string systemName();
    // For the application's set-up and for tests; nullopt goes back to the system's.
    static void setSystemName(std::optional<std::string> name);
};

} // namespace platform
