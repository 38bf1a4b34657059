// A local notification as the application schedules it with the platform: shown at its fire date (or
// when the device enters its region). A plain value; two notifications are the same notification when
// all their fields are equal (that is how cancelling finds one).
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>

namespace platform {

inline constexpr const char* kLocalNotificationDefaultSoundName = "UILocalNotificationDefaultSoundName";

struct LocalNotification {
    std::optional<Date> fireDate;
    std::optional<std::string> timeZone;  // a time-zone name; none means the fire date is absolute
    std::optional<std::string> soundName;
    std::optional<std::string> alertBody;
    std::optional<std::string> alertAction;
    std::optional<long long> applicationIconBadgeNumber;
    std::optional<Dictionary> userInfo;
    // The region (centre latitude and longitude, radius, identifier) that fires it instead of a date.
    std::optional<Dictionary> region;
    bool regionTriggersOnce = false;
    std::optional<std::string> category;

    friend bool operator==(const LocalNotification&, const LocalNotification&) = default;
};

} // namespace platform
