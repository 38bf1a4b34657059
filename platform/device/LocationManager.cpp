#include "platform/device/LocationManager.h"

#include "platform/device/LocationSimulator.h"
#include "platform/device/Permissions.h"
#include "platform/runloop/RunLoop.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"

namespace platform {

namespace {
constexpr const char* kFirstVersionWithRequests = "8.0";
} // namespace

std::shared_ptr<LocationManager> LocationManager::create() {
    std::shared_ptr<LocationManager> manager(new LocationManager);
    LocationSimulator::shared().add(manager);
    return manager;
}

LocationManager::LocationManager() : m_home(RunLoop::currentShared()) {}

LocationManager::~LocationManager() = default;

bool LocationManager::locationServicesEnabled() {
    return LocationSimulator::shared().servicesEnabled();
}

AuthorizationStatus LocationManager::authorizationStatus() {
    return Permissions::shared().status(PermissionKind::Location);
}

void LocationManager::setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
    m_home->assertIsCurrent();
    m_delegate = std::move(delegate);
}

std::shared_ptr<LocationManagerDelegate> LocationManager::delegate() const {
    return m_delegate.lock();
}

void LocationManager::setDesiredAccuracy(double accuracy) {
    m_home->assertIsCurrent();
    m_desiredAccuracy = accuracy;
}

void LocationManager::setDistanceFilter(double metres) {
    m_home->assertIsCurrent();
    m_distanceFilter = metres;
}

void LocationManager::startUpdatingLocation() {
    m_home->assertIsCurrent();
    m_updating = true;
    m_deliveredSinceStart = false;
    const std::uint64_t generation = ++m_generation;
    m_home->perform([weak = weak_from_this(), generation] {
        if (auto self = weak.lock())
            self->deliverStart(generation);
    });
}

void LocationManager::stopUpdatingLocation() {
    m_home->assertIsCurrent();
    m_updating = false;
    ++m_generation;
}

void LocationManager::stopUpdatingHeading() {
    m_home->assertIsCurrent();
}

bool LocationManager::respondsToAuthorizationRequests() {
    return isVersionAtLeast(Device::current().systemVersion(), kFirstVersionWithRequests);
}

void LocationManager::requestWhenInUseAuthorization() {
    m_home->assertIsCurrent();
    if (respondsToAuthorizationRequests())
        Permissions::shared().requestLocation(false);
}

void LocationManager::requestAlwaysAuthorization() {
    m_home->assertIsCurrent();
    if (respondsToAuthorizationRequests())
        Permissions::shared().requestLocation(true);
}

bool LocationManager::isAuthorized(AuthorizationStatus status) {
    return status == AuthorizationStatus::Authorized || status == AuthorizationStatus::AuthorizedWhenInUse;
}

void LocationManager::deliverStart(std::uint64_t generation) {
    if (!m_updating || generation != m_generation)
        return;
    const AuthorizationStatus status = authorizationStatus();
    if (!locationServicesEnabled() || status == AuthorizationStatus::Restricted || status == AuthorizationStatus::Denied) {
        deliverFailure(locationError(kLocationErrorDenied));
        return;
    }
    if (!isAuthorized(status))
        return; // waits for the user's answer
    if (auto current = LocationSimulator::shared().currentLocation())
        deliverLocation(*current, true);
}

void LocationManager::deliverLocation(const Location& location, bool afterStart) {
    if (!m_updating || !locationServicesEnabled() || !isAuthorized(authorizationStatus()))
        return;
    if (afterStart && m_deliveredSinceStart)
        return;
    if (m_deliveredSinceStart && m_location && m_distanceFilter > 0 && location.distanceFrom(*m_location) < m_distanceFilter)
        return;
    const std::optional<Location> previous = m_location;
    m_location = location;
    m_deliveredSinceStart = true;
    if (auto delegate = m_delegate.lock())
        delegate->didUpdateToLocation(*this, location, previous);
}

void LocationManager::deliverFailure(const Error& error) {
    if (!m_updating)
        return;
    if (auto delegate = m_delegate.lock())
        delegate->didFailWithError(*this, error);
}

void LocationManager::deliverAuthorization(AuthorizationStatus status) {
    if (auto delegate = m_delegate.lock())
        delegate->didChangeAuthorizationStatus(*this, status);
    // A start that waited for the answer gets its first fix now.
    if (m_updating && !m_deliveredSinceStart && isAuthorized(status) && locationServicesEnabled()) {
        if (auto current = LocationSimulator::shared().currentLocation())
            deliverLocation(*current, true);
    }
}

} // namespace platform
