// Stored statistics rows as the store loads them and the upload sends them.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <string>

namespace stats {

// Event row statuses: stored and waiting, or taken into an upload batch.
inline constexpr std::uint32_t MXStatStoreEventStatusStored = 1;
inline constexpr std::uint32_t MXStatStoreEventStatusSending = 2;

// One loaded events row.
struct MXStatStoreEvent {
    std::int64_t eventId = 0;
    std::string content; // the event's JSON text
    std::uint32_t status = 0;
    std::uint32_t sendCount = 0;
    std::uint32_t ts = 0;
};

// One online configuration record (type 1 SDK, 2 application).
struct MXStatDataConfig {
    std::uint32_t type = 0;
    std::string content; // JSON text of the configuration object
    std::string md5;     // as received
    std::uint32_t version = 0;

    // Takes a reply's record {"c": object, "v": number, "m": string}: false (nothing changed) when one is
    // missing (silently) or of the wrong type (logged). A version out of the unsigned 32-bit range wraps
    // as an integer does; a fraction is cut; a number beyond 64 bits reads as 0.
    bool decode(const platform::Dictionary& record);
    // Sets "v" to the version (nothing without a dictionary).
    void encodeWithNoContent(platform::Dictionary* dictionary) const;
};

} // namespace stats
