#include "platform/runloop/DispatchSemaphore.h"

#include <condition_variable>
#include <mutex>

namespace platform {

struct DispatchSemaphore::State {
    std::mutex mutex;
    std::condition_variable available;
    long value = 0;
};

DispatchSemaphore::DispatchSemaphore(long value) : m_state(std::make_shared<State>()) {
    m_state->value = value;
}

bool DispatchSemaphore::wait(std::optional<Duration> timeout) const {
    std::unique_lock lock(m_state->mutex);
    auto hasUnit = [&] { return m_state->value > 0; };
    if (!timeout)
        m_state->available.wait(lock, hasUnit);
    else if (!m_state->available.wait_for(lock, *timeout, hasUnit))
        return false;
    --m_state->value;
    return true;
}

void DispatchSemaphore::signal() const {
    // Notified under the lock: the waiter may destroy the semaphore as soon as it returns.
    std::lock_guard lock(m_state->mutex);
    ++m_state->value;
    m_state->available.notify_one();
}

} // namespace platform
