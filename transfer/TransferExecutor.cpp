#include "transfer/TransferExecutor.h"

namespace transfer {

void TransferExecutor::post(std::function<void()> work) {
    std::lock_guard lock(m_mutex);
    m_work.push_back(std::move(work));
    if (m_scheduled)
        return;
    m_scheduled = true;
    m_queue->addOperation([self = shared_from_this()] { self->drain(); });
}

std::function<void(std::function<void()>)> TransferExecutor::asDeliveryTarget() {
    return [weak = weak_from_this()](std::function<void()> work) {
        if (auto self = weak.lock())
            self->post(std::move(work));
    };
}

void TransferExecutor::drain() {
    // Runs what is queued now; work posted meanwhile gets an operation of its own, so one busy transfer
    // does not hold a thread of the shared queue for ever.
    std::deque<std::function<void()>> batch;
    {
        std::lock_guard lock(m_mutex);
        batch.swap(m_work);
    }
    for (auto& work : batch)
        work();
    std::lock_guard lock(m_mutex);
    if (m_work.empty()) {
        m_scheduled = false;
        return;
    }
    m_queue->addOperation([self = shared_from_this()] { self->drain(); });
}

} // namespace transfer
