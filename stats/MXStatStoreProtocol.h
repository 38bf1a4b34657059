// What the strategy step and the environment need of the statistics event store. The store keeps
// events that are not sent at once and the user record; its work runs on its own serial queue.
#pragma once

#include "stats/MXStatEvent.h"
#include "stats/MXStatUser.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace stats {

class MXStatStoreProtocol {
public:
    virtual ~MXStatStoreProtocol() = default;

    // Stores one event (tried: an instant upload of it failed) and then calls the completion, also when
    // the event could not be stored. Asynchronous.
    virtual void storeEvent(std::shared_ptr<MXStatEvent> event, bool hasTrySent, std::function<void()> completion) = 0;
    // The number of stored events waiting to be sent, without a query.
    virtual std::uint32_t storedEventCount() const = 0;
    // One batch upload of stored events; -1 keeps sending until nothing is left. Asynchronous.
    virtual void sendCachedEvents(std::int32_t count) = 0;
    // Reads the user row, or creates a new user's row; nothing when the store cannot answer. Waits for
    // the store's queue, so it must not be called from there.
    virtual std::optional<MXStatUser> loadUser() = 0;
    // Writes the user row. Asynchronous.
    virtual void storeUser(const MXStatUser& user) = 0;
};

} // namespace stats
