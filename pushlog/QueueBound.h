// The bound on messages waiting for delivery: a caller takes a unit before its message is queued and
// blocks while none is left; the unit comes back when the message has been delivered.
//
// Units of delivered messages are handed back in batches (every 64, and whenever nothing is waiting for
// delivery any more), so that a caller blocked at the bound is woken once per batch instead of once per
// message. A unit is never handed back before its message is delivered, so the bound always holds.
#pragma once

#include <atomic>
#include <semaphore>

namespace pushlog {

class QueueBound {
public:
    explicit QueueBound(int units) : m_units(units) {}

    void acquire() {
        m_waiting.fetch_add(1);
        m_units.acquire();
        m_waiting.fetch_sub(1);
        m_outstanding.fetch_add(1);
    }
    // Takes a unit when one is left at once.
    bool tryAcquire() {
        if (!m_units.try_acquire())
            return false;
        m_outstanding.fetch_add(1);
        return true;
    }

    // Callers blocked in acquire() now.
    int waiting() const { return m_waiting.load(); }

    // Hands back the units of `count` delivered messages.
    void release(int count = 1) {
        const int held = m_held.fetch_add(count) + count;
        const int outstanding = m_outstanding.fetch_sub(count) - count;
        if (held < kBatch && outstanding != 0)
            return;
        if (const int units = m_held.exchange(0); units > 0)
            m_units.release(units);
    }

private:
    static constexpr int kBatch = 64;
    std::counting_semaphore<> m_units;
    std::atomic<int> m_outstanding{0};
    std::atomic<int> m_held{0};
    std::atomic<int> m_waiting{0};
};

} // namespace pushlog
