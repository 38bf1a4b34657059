// The process's one simulated position source, which the location managers listen to. Tests and the
// device file drive it: fixes, failures, the services switch and a route replayed on the clock.
//
// Guarantees:
// - Thread: every call from any thread. Each manager hears what concerns it on its own run loop, on a
//   later turn (see LocationManager.h).
// - pushLocation makes the fix the current position and hands it to every updating, authorised manager
//   (through its distance filter); a fix with a NaN altitude is delivered as it is.
// - pushFailure hands a kLocationErrorDomain error to every updating manager.
// - replayRoute pushes the route's points one by one on the main run loop, the first at once and then
//   one every interval of Clock::current() (stamped with the clock's wall time), repeating from the start
//   when asked; a new route or stopRoute ends the old one. Each fix reads as a receiver moving along the
//   route would report it (routeFixes): a horizontal accuracy of kRouteHorizontalAccuracy, the point's
//   altitude with kRouteVerticalAccuracy (an unknown altitude, NaN, with the unknown accuracy -1), and the
//   course and speed of the leg from the point to the next one, covered in one interval (after a route's
//   last point the next is its first when it repeats; otherwise the last fix keeps the course of the leg
//   before it at speed 0; a lone point has an unknown course, -1, and speed 0).
#pragma once

#include "platform/device/AuthorizationStatus.h"
#include "platform/device/Location.h"
#include "platform/runloop/Clock.h"

#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

class LocationManager;
class Timer;

// A point of a replayed route: where, and at what altitude when it is known.
struct RoutePoint {
    LocationCoordinate coordinate;
    double altitude = std::numeric_limits<double>::quiet_NaN();
};

class LocationSimulator {
public:
    static LocationSimulator& shared();

    bool servicesEnabled() const;
    void setServicesEnabled(bool enabled);

    std::optional<Location> currentLocation() const;
    // Sets the current position without delivering it (managers hear it when they start).
    void setCurrentLocation(std::optional<Location> location);
    void pushLocation(const Location& location);
    void pushFailure(long long code);

    static constexpr double kRouteHorizontalAccuracy = 5;
    static constexpr double kRouteVerticalAccuracy = 10;
    // The fixes a route's points give (their time stamps are set when each is pushed).
    static std::vector<Location> routeFixes(const std::vector<RoutePoint>& points, Duration interval, bool repeat);
    void replayRoute(std::vector<RoutePoint> points, Duration interval, bool repeat);
    void stopRoute();
    bool isReplayingRoute() const;

    // Services on, no position, no route, no managers forgotten (they stay registered while they live).
    void resetToDefaults();

private:
    friend class LocationManager;
    friend class Permissions;
    LocationSimulator() = default;
    void add(const std::shared_ptr<LocationManager>& manager);
    void authorizationDidChange(AuthorizationStatus status);
    // The live managers (the dead are dropped on the way).
    std::vector<std::shared_ptr<LocationManager>> managers();

    mutable std::mutex m_mutex;
    bool m_servicesEnabled = true;
    std::optional<Location> m_current;
    std::vector<std::weak_ptr<LocationManager>> m_managers;
    std::shared_ptr<Timer> m_routeTimer;
};

} // namespace platform
