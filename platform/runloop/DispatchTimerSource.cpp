#include "platform/runloop/DispatchTimerSource.h"

#include "platform/runloop/DispatchManager.h"
#include "platform/runloop/DispatchQueue.h"

namespace platform {

std::shared_ptr<DispatchTimerSource> DispatchTimerSource::create(std::shared_ptr<DispatchQueue> queue) {
    return std::shared_ptr<DispatchTimerSource>(new DispatchTimerSource(std::move(queue)));
}

DispatchTimerSource::~DispatchTimerSource() {
    if (m_timer)
        m_timer->invalidate();
}

void DispatchTimerSource::setTimer(Duration start, Duration interval, Duration leeway) {
    std::lock_guard lock(m_mutex);
    m_start = start;
    m_interval = interval;
    m_leeway = leeway;
    m_timerSet = true;
    armLocked();
}

void DispatchTimerSource::armLocked() {
    if (m_timer) {
        m_timer->invalidate();
        m_timer = nullptr;
    }
    if (!m_timerSet || m_cancelled)
        return;
    std::weak_ptr<DispatchTimerSource> weak = weak_from_this();
    RunLoop& loop = dispatchManagerLoop();
    if (m_interval > Duration::zero())
        m_timer = loop.scheduleRepeatingTimer(Clock::current().now() + m_start, m_interval, [weak](Timer&) {
            if (auto self = weak.lock())
                self->fired();
        });
    else
        m_timer = loop.scheduleTimer(m_start, [weak] {
            if (auto self = weak.lock())
                self->fired();
        });
}

void DispatchTimerSource::fired() {
    std::lock_guard lock(m_mutex);
    if (m_cancelled)
        return;
    ++m_pending;
    if (m_suspendCount > 0 || m_deliveryQueued)
        return;
    m_deliveryQueued = true;
    m_queue->async([self = shared_from_this()] { self->deliver(); });
}

void DispatchTimerSource::deliver() {
    std::function<void()> handler;
    {
        std::lock_guard lock(m_mutex);
        m_deliveryQueued = false;
        if (m_cancelled || m_suspendCount > 0 || m_pending == 0)
            return;
        m_delivering = m_pending;
        m_pending = 0;
        handler = m_handler;
    }
    if (handler)
        handler();
    std::lock_guard lock(m_mutex);
    m_delivering = 0;
}

void DispatchTimerSource::setEventHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    m_handler = std::move(handler);
}

void DispatchTimerSource::setCancelHandler(std::function<void()> handler) {
    std::lock_guard lock(m_mutex);
    m_cancelHandler = std::move(handler);
}

void DispatchTimerSource::resume() {
    std::lock_guard lock(m_mutex);
    if (m_suspendCount == 0)
        return;
    if (--m_suspendCount > 0 || m_cancelled)
        return;
    if (m_pending > 0 && !m_deliveryQueued) {
        m_deliveryQueued = true;
        m_queue->async([self = shared_from_this()] { self->deliver(); });
    }
}

void DispatchTimerSource::suspend() {
    std::lock_guard lock(m_mutex);
    ++m_suspendCount;
}

void DispatchTimerSource::cancel() {
    std::function<void()> cancelHandler;
    {
        std::lock_guard lock(m_mutex);
        if (m_cancelled)
            return;
        m_cancelled = true;
        if (m_timer)
            m_timer->invalidate();
        m_timer = nullptr;
        m_handler = nullptr;
        cancelHandler = std::move(m_cancelHandler);
    }
    if (cancelHandler)
        m_queue->async(std::move(cancelHandler));
}

bool DispatchTimerSource::isCancelled() const {
    std::lock_guard lock(m_mutex);
    return m_cancelled;
}

unsigned long DispatchTimerSource::pendingFireCount() const {
    std::lock_guard lock(m_mutex);
    return m_delivering;
}

Duration DispatchTimerSource::leeway() const {
    std::lock_guard lock(m_mutex);
    return m_leeway;
}

} // namespace platform
