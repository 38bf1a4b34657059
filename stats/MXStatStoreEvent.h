// Stored statistics rows as the store loads them and the upload sends them.
#pragma once

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
};

} // namespace stats
