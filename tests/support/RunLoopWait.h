// Waiting in tests: turn a run loop until a condition holds, bounded by a generous real-time limit (a bound
// against a hang only: a loaded machine may take many seconds for what takes one when idle). Works under a
// virtual clock too (a real-time tick keeps the loop checking).
#pragma once

#include "platform/runloop/RunLoop.h"

#include <chrono>
#include <functional>

namespace hybtest {

// Turns the loop (on its own thread) until `done` answers true; false when the limit passed first.
bool runUntil(platform::RunLoop& loop, const std::function<bool()>& done,
              std::chrono::milliseconds limit = std::chrono::seconds(60));
inline bool runMainUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    return runUntil(platform::RunLoop::main(), done, limit);
}

} // namespace hybtest
