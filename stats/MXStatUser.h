// The statistics user record: the device's user, whether new or returning, and the application version
// it was last seen with. Kept in the store's user table.
#pragma once

#include <cstdint>
#include <string>

namespace stats {

// User types: a bit set.
inline constexpr std::int32_t MXStatUserTypeNew = 0;
inline constexpr std::int32_t MXStatUserTypeReturning = 1;
inline constexpr std::int32_t MXStatUserTypeAppVersionChanged = 2;

struct MXStatUser {
    std::string uid;
    std::int32_t userType = MXStatUserTypeNew;
    std::string appVer;
    std::uint32_t tagTime = 0; // seconds since 1970 of the last type change

    friend bool operator==(const MXStatUser&, const MXStatUser&) = default;
};

} // namespace stats
