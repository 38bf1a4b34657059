// Waiting on the main thread without returning to the main loop: nested turns of the GLib default main
// context until a condition holds or a time-out passes. Anything pending may run inside the wait (timers,
// posted work, engine callbacks), so state a late callback may touch must live on the heap.
#pragma once

#include <chrono>
#include <functional>

namespace webengine {

// Returns whether `done` holds at the end.
bool runNestedLoopUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

// The program is ending: the wait running ends at its next turn, and later ones do not wait (each returns
// whether `done` holds already). A page that keeps its main thread would otherwise hold the end for a
// whole time-out per question put to it. Main thread.
void endNestedWaits();

} // namespace webengine
