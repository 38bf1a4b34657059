#include "platform/runloop/Timer.h"

#include "platform/runloop/RunLoopCore.h"

namespace platform {

void Timer::invalidate() {
    if (!m_valid.exchange(false))
        return;
    if (auto core = m_core.lock())
        core->invalidateTimer(*this);
}

Clock::TimePoint Timer::fireDate() const {
    if (auto core = m_core.lock())
        return core->fireDateOf(*this);
    return m_key.first;
}

} // namespace platform
