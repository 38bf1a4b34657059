// A counting semaphore.
//
// Guarantees:
// - A DispatchSemaphore is a handle: copies refer to the same semaphore.
// - Thread: any. wait() takes one unit, waiting (in real time) while the count is zero; signal() adds one
//   and wakes one waiter.
#pragma once

#include "platform/runloop/Clock.h"

#include <memory>
#include <optional>

namespace platform {

class DispatchSemaphore {
public:
    explicit DispatchSemaphore(long value = 0);

    // True when a unit was taken, false on time-out.
    bool wait(std::optional<Duration> timeout = std::nullopt) const;
    void signal() const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace platform
