// Private to platform/: the thread that keeps the timers of dispatch "after", timer sources and file-event
// sources, and hands their events to the target queues.
#pragma once

#include "platform/runloop/RunLoop.h"

namespace platform {

RunLoop& dispatchManagerLoop();
// Runs the block on the manager thread and waits for it (inline when already there).
void runOnDispatchManager(const std::function<void()>& block);

} // namespace platform
