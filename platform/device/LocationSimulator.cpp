#include "platform/device/LocationSimulator.h"

#include "platform/RunLoop.h"
#include "platform/device/LocationManager.h"

#include <algorithm>

namespace platform {

LocationSimulator& LocationSimulator::shared() {
    static auto* simulator = new LocationSimulator; // reached from timers and queued blocks until exit
    return *simulator;
}

bool LocationSimulator::servicesEnabled() const {
    std::lock_guard lock(m_mutex);
    return m_servicesEnabled;
}

void LocationSimulator::setServicesEnabled(bool enabled) {
    std::lock_guard lock(m_mutex);
    m_servicesEnabled = enabled;
}

std::optional<Location> LocationSimulator::currentLocation() const {
    std::lock_guard lock(m_mutex);
    return m_current;
}

void LocationSimulator::setCurrentLocation(std::optional<Location> location) {
    std::lock_guard lock(m_mutex);
    m_current = std::move(location);
}

void LocationSimulator::pushLocation(const Location& location) {
    setCurrentLocation(location);
    for (const auto& manager : managers()) {
        manager->m_home->perform([weak = std::weak_ptr(manager), location] {
            if (auto self = weak.lock())
                self->deliverLocation(location, false);
        });
    }
}

void LocationSimulator::pushFailure(long long code) {
    const Error error = locationError(code);
    for (const auto& manager : managers()) {
        manager->m_home->perform([weak = std::weak_ptr(manager), error] {
            if (auto self = weak.lock())
                self->deliverFailure(error);
        });
    }
}

void LocationSimulator::replayRoute(std::vector<LocationCoordinate> points, Duration interval, bool repeat) {
    stopRoute();
    if (points.empty())
        return;
    auto next = std::make_shared<std::size_t>(0);
    auto timer = RunLoop::main().scheduleRepeatingTimer(
        Clock::current().now(), interval, [this, points = std::move(points), repeat, next](Timer& timer) {
            if (*next >= points.size()) {
                if (!repeat) {
                    timer.invalidate();
                    return;
                }
                *next = 0;
            }
            pushLocation(Location(points[(*next)++], Clock::current().wallNow()));
        });
    std::lock_guard lock(m_mutex);
    m_routeTimer = std::move(timer);
}

void LocationSimulator::stopRoute() {
    std::shared_ptr<Timer> timer;
    {
        std::lock_guard lock(m_mutex);
        timer = std::move(m_routeTimer);
    }
    if (timer)
        timer->invalidate();
}

bool LocationSimulator::isReplayingRoute() const {
    std::lock_guard lock(m_mutex);
    return m_routeTimer && m_routeTimer->isValid();
}

void LocationSimulator::resetToDefaults() {
    stopRoute();
    std::lock_guard lock(m_mutex);
    m_servicesEnabled = true;
    m_current.reset();
}

void LocationSimulator::add(const std::shared_ptr<LocationManager>& manager) {
    std::lock_guard lock(m_mutex);
    std::erase_if(m_managers, [](const auto& weak) { return weak.expired(); });
    m_managers.push_back(manager);
}

void LocationSimulator::authorizationDidChange(AuthorizationStatus status) {
    for (const auto& manager : managers()) {
        manager->m_home->perform([weak = std::weak_ptr(manager), status] {
            if (auto self = weak.lock())
                self->deliverAuthorization(status);
        });
    }
}

std::vector<std::shared_ptr<LocationManager>> LocationSimulator::managers() {
    std::lock_guard lock(m_mutex);
    std::vector<std::shared_ptr<LocationManager>> live;
    std::erase_if(m_managers, [&](const auto& weak) {
        if (auto manager = weak.lock()) {
            live.push_back(std::move(manager));
            return false;
        }
        return true;
    });
    return live;
}

} // namespace platform
