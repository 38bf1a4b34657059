// A statistics event: the header fields every event type carries. The event types, their creation
// (time stamp, running index) and their JSON text build on this class.
//
// Thread: an event is filled by the API before it is queued and only read afterwards, on any queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace stats {

class MXStatEvent {
public:
    virtual ~MXStatEvent() = default;

    // The numeric event type (0 for the plain event).
    virtual std::int32_t getType() const { return 0; }

    std::uint32_t sid = 0;              // session id
    std::uint32_t ts = 0;               // creation time, whole seconds since 1970
    std::optional<std::string> appkey;  // nullopt: the configured key
    bool isRealTime = false;            // sent at once whatever the strategy
    std::uint64_t eventIndex = 0;       // running index
};

} // namespace stats
