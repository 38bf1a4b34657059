#include "platform/device/LocationSimulator.h"

#include "platform/device/LocationManager.h"
#include "platform/runloop/RunLoop.h"

#include <algorithm>
#include <cmath>
#include <limits>

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

std::vector<Location> LocationSimulator::routeFixes(const std::vector<RoutePoint>& points, Duration interval, bool repeat) {
    const double seconds = std::chrono::duration<double>(interval).count();
    auto at = [&](std::size_t i) { return Location(points[i].coordinate, Date{}); };
    std::vector<Location> fixes;
    for (std::size_t i = 0; i < points.size(); ++i) {
        double course = -1;
        double speed = 0;
        const bool last = i + 1 == points.size();
        if (!last || (repeat && points.size() > 1)) {
            const Location here = at(i), next = at(last ? 0 : i + 1);
            course = here.courseTo(next);
            const double metres = here.distanceFrom(next);
            speed = seconds > 0 && std::isfinite(metres) ? metres / seconds : 0;
        } else if (i > 0) {
            course = at(i - 1).courseTo(at(i));
        }
        const bool altitudeKnown = std::isfinite(points[i].altitude);
        fixes.emplace_back(points[i].coordinate, altitudeKnown ? points[i].altitude : std::numeric_limits<double>::quiet_NaN(),
                           kRouteHorizontalAccuracy, altitudeKnown ? kRouteVerticalAccuracy : -1, course, speed, Date{});
    }
    return fixes;
}

void LocationSimulator::replayRoute(std::vector<RoutePoint> points, Duration interval, bool repeat) {
    stopRoute();
    if (points.empty())
        return;
    auto next = std::make_shared<std::size_t>(0);
    // The simulator lives as long as the process: its timer may hold it plainly.
    auto timer = RunLoop::main().scheduleRepeatingTimer(
        Clock::current().now(), interval, [this, fixes = routeFixes(points, interval, repeat), repeat, next](Timer& timer) {
            if (*next >= fixes.size()) {
                if (!repeat) {
                    timer.invalidate();
                    return;
                }
                *next = 0;
            }
            const Location& fix = fixes[(*next)++];
            pushLocation(Location(fix.coordinate(), fix.altitude(), fix.horizontalAccuracy(), fix.verticalAccuracy(), fix.course(),
                                  fix.speed(), Clock::current().wallNow()));
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
