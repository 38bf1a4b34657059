// A dispatch group: counts blocks in flight, lets a thread wait for all of them, and runs notification
// blocks when the count drops to zero.
//
// Guarantees:
// - A DispatchGroup is a handle: copies refer to the same group, and blocks in flight keep it alive.
// - Thread: every call from any thread.
// - notify blocks run (posted with async to their queue) once, when the count is zero: at once when it
//   is zero already.
// - leave() without a matching enter() is a programming error: a logged abort.
// - wait() waits in real time (a virtual clock does not shorten it); no time-out waits for ever.
#pragma once

#include "platform/runloop/Clock.h"

#include <functional>
#include <memory>
#include <optional>

namespace platform {

class DispatchQueue;

class DispatchGroup {
public:
    DispatchGroup();

    void enter() const;
    void leave() const;
    // True when the group emptied, false on time-out.
    bool wait(std::optional<Duration> timeout = std::nullopt) const;
    void notify(std::shared_ptr<DispatchQueue> queue, std::function<void()> block) const;

private:
    struct State;
    std::shared_ptr<State> m_state;
};

} // namespace platform
