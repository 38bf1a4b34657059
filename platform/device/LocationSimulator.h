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
//   when asked; a new route or stopRoute ends the old one.
#pragma once

#include "platform/Clock.h"
#include "platform/device/AuthorizationStatus.h"
#include "platform/device/Location.h"

#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace platform {

class LocationManager;
class Timer;

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

    void replayRoute(std::vector<LocationCoordinate> points, Duration interval, bool repeat);
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
