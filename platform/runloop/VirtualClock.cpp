#include "platform/runloop/VirtualClock.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

namespace platform {

// The installed object: other threads read it through Clock::current() without any lock, so it must
// outlive every reader. Kept (reachable) until the process ends; one per VirtualClock made.
class VirtualClock::Time final : public Clock {
public:
    explicit Time(Date start) : m_start(start) {}
    TimePoint now() const override { return origin() + Duration(m_elapsedNs.load(std::memory_order_acquire)); }
    Date wallNow() const override {
        auto us = m_elapsedNs.load(std::memory_order_acquire) / 1000;
        return Date{m_start.secondsSince1970 + static_cast<double>(us) / 1e6};
    }
    bool isVirtual() const override { return true; }
    void set(TimePoint now) { m_elapsedNs.store((now - origin()).count(), std::memory_order_release); }

    static TimePoint origin() { return TimePoint{} + std::chrono::hours(24 * 365); }

private:
    std::atomic<std::int64_t> m_elapsedNs{0};
    const Date m_start;
};

namespace {

struct Times {
    std::mutex mutex;
    std::vector<std::unique_ptr<Clock>> all;
};

Times& times() {
    static auto* t = new Times;
    return *t;
}

} // namespace

VirtualClock::VirtualClock(Date start) {
    auto time = std::make_unique<Time>(start);
    m_time = time.get();
    std::lock_guard lock(times().mutex);
    times().all.push_back(std::move(time));
}

VirtualClock::~VirtualClock() {
    uninstall();
}

Clock::TimePoint VirtualClock::now() const {
    return m_time->now();
}

Date VirtualClock::wallNow() const {
    return m_time->wallNow();
}

void VirtualClock::install() {
    Clock::install(m_time);
}

void VirtualClock::uninstall() {
    if (&Clock::current() == m_time)
        Clock::install(nullptr);
}

void VirtualClock::setNow(TimePoint now) {
    m_time->set(now);
}

void VirtualClock::settleHosts() {
    // Until no loop has work due: a timer on one thread may post to another thread's loop.
    for (int pass = 0; pass < 100; ++pass) {
        auto hosts = Clock::hosts();
        for (auto& host : hosts)
            host->clockAdvanced();
        bool busy = false;
        for (auto& host : hosts)
            busy = busy || host->needsTurn();
        if (!busy)
            return;
    }
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
            setNow(target);
            settleHosts();
            return;
        }
        setNow(*next);
        settleHosts();
    }
}

} // namespace platform
