#include "platform/VirtualClock.h"

namespace platform {

VirtualClock::VirtualClock(Date start)
    : m_origin(std::chrono::steady_clock::time_point{} + std::chrono::hours(24 * 365)), m_start(start) {}

VirtualClock::~VirtualClock() {
    uninstall();
}

Clock::TimePoint VirtualClock::now() const {
    return m_origin + Duration(m_elapsedNs.load(std::memory_order_acquire));
}

Date VirtualClock::wallNow() const {
    auto us = m_elapsedNs.load(std::memory_order_acquire) / 1000;
    return Date{m_start.secondsSince1970 + static_cast<double>(us) / 1e6};
}

void VirtualClock::install() {
    Clock::install(this);
}

void VirtualClock::uninstall() {
    if (&Clock::current() == this)
        Clock::install(nullptr);
}

void VirtualClock::setNow(Duration sinceStart) {
    m_elapsedNs.store(sinceStart.count(), std::memory_order_release);
}

void VirtualClock::settleHosts() {
    for (auto& host : Clock::hosts())
        host->clockAdvanced();
}

void VirtualClock::advance(Duration d) {
    std::lock_guard lock(m_advanceMutex);
    const TimePoint target = now() + (d.count() > 0 ? d : Duration::zero());
    // Run whatever is due already, then step deadline by deadline.
    settleHosts();
    for (;;) {
        // Deadlines not after now were given their turn by settleHosts(); a host that could not run
        // them (a thread that is not turning its run loop) must not stall the clock.
        std::optional<TimePoint> next;
        const TimePoint current = now();
        for (auto& host : Clock::hosts()) {
            auto deadline = host->nextDeadline();
            if (deadline && *deadline > current && (!next || *deadline < *next))
                next = deadline;
        }
        if (!next || *next > target) {
            setNow(target - m_origin);
            settleHosts();
            return;
        }
        setNow(*next - m_origin);
        settleHosts();
    }
}

} // namespace platform
