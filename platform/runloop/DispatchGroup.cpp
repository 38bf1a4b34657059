#include "platform/runloop/DispatchGroup.h"

#include "platform/core/Log.h"
#include "platform/runloop/DispatchQueue.h"

#include <condition_variable>
#include <mutex>
#include <utility>
#include <vector>

namespace platform {

struct DispatchGroup::State {
    std::mutex mutex;
    std::condition_variable emptied;
    long count = 0;
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, std::function<void()>>> notifications;
};

DispatchGroup::DispatchGroup() : m_state(std::make_shared<State>()) {}

void DispatchGroup::enter() const {
    std::lock_guard lock(m_state->mutex);
    ++m_state->count;
}

void DispatchGroup::leave() const {
    std::vector<std::pair<std::shared_ptr<DispatchQueue>, std::function<void()>>> ready;
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->count <= 0)
            internalInconsistency("dispatch group left more often than entered");
        if (--m_state->count > 0)
            return;
        ready.swap(m_state->notifications);
        m_state->emptied.notify_all();
    }
    for (auto& [queue, block] : ready)
        queue->async(std::move(block));
}

bool DispatchGroup::wait(std::optional<Duration> timeout) const {
    std::unique_lock lock(m_state->mutex);
    auto isEmpty = [&] { return m_state->count == 0; };
    if (!timeout) {
        m_state->emptied.wait(lock, isEmpty);
        return true;
    }
    return m_state->emptied.wait_for(lock, *timeout, isEmpty);
}

void DispatchGroup::notify(std::shared_ptr<DispatchQueue> queue, std::function<void()> block) const {
    {
        std::lock_guard lock(m_state->mutex);
        if (m_state->count > 0) {
            m_state->notifications.emplace_back(std::move(queue), std::move(block));
            return;
        }
    }
    queue->async(std::move(block));
}

} // namespace platform
