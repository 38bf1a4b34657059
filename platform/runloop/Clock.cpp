#include "platform/runloop/Clock.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace platform {
namespace {

class SystemClock final : public Clock {
public:
    TimePoint now() const override { return std::chrono::steady_clock::now(); }
    Date wallNow() const override {
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(
            std::chrono::system_clock::now().time_since_epoch());
        return Date{static_cast<double>(us.count()) / 1e6};
    }
};

std::atomic<Clock*> g_installed{nullptr};

struct HostRegistry {
    std::mutex mutex;
    std::vector<std::weak_ptr<ClockHost>> hosts;
};

HostRegistry& registry() {
    static auto* r = new HostRegistry; // lives to the end of the process: hosts may unregister late
    return *r;
}

} // namespace

Clock& Clock::system() {
    static auto* clock = new SystemClock;
    return *clock;
}

Clock& Clock::current() {
    Clock* c = g_installed.load(std::memory_order_acquire);
    return c ? *c : system();
}

void Clock::install(Clock* clock) {
    g_installed.store(clock, std::memory_order_release);
}

void Clock::addHost(std::weak_ptr<ClockHost> host) {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::erase_if(r.hosts, [](const auto& w) { return w.expired(); });
    r.hosts.push_back(std::move(host));
}

std::vector<std::shared_ptr<ClockHost>> Clock::hosts() {
    auto& r = registry();
    std::lock_guard lock(r.mutex);
    std::vector<std::shared_ptr<ClockHost>> out;
    for (auto& w : r.hosts)
        if (auto h = w.lock())
            out.push_back(std::move(h));
    return out;
}

} // namespace platform
