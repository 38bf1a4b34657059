// The location manager: the application's handle on the location services.
//
// Guarantees:
// - Home: the run loop of the thread that made the manager. Instance calls are made there; delegate
//   calls come there, always on a later turn, never inside the call that caused them.
// - Class-level facts (services on, authorisation status) come from the process's simulated position
//   source (LocationSimulator.h) and the permission store (Permissions.h); readable from any thread.
// - startUpdatingLocation: with services off or access restricted or denied, the delegate hears
//   didFailWithError code 1 (kLocationErrorDenied). Authorised, it hears the current position at once
//   when there is one, then every new fix that passes its distance filter (measured from the last fix it
//   delivered; the first fix after a start always passes). Not determined, it waits until access is
//   granted. stopUpdatingLocation ends deliveries, also of fixes already queued.
// - Every change of the authorisation status reaches every manager's delegate
//   (didChangeAuthorizationStatus), whether it is updating or not.
// - The authorisation requests exist from system version 8.0 (Device::systemVersion); below it
//   respondsToAuthorizationRequests() is false and the requests do nothing.
// - The delegate is held weakly.
#pragma once

#include "platform/device/LocationManagerDelegate.h"

#include <memory>
#include <optional>

namespace platform {

class RunLoop;

class LocationManager : public std::enable_shared_from_this<LocationManager> {
public:
    static std::shared_ptr<LocationManager> create();
    ~LocationManager();
    LocationManager(const LocationManager&) = delete;
    LocationManager& operator=(const LocationManager&) = delete;

    static bool locationServicesEnabled();
    static AuthorizationStatus authorizationStatus();

    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate);
    std::shared_ptr<LocationManagerDelegate> delegate() const;

    double desiredAccuracy() const { return m_desiredAccuracy; }
    void setDesiredAccuracy(double accuracy);
    double distanceFilter() const { return m_distanceFilter; }
    // Metres a fix must lie from the last delivered one; kDistanceFilterNone (or any negative) passes all.
    void setDistanceFilter(double metres);

    void startUpdatingLocation();
    void stopUpdatingLocation();
    bool isUpdatingLocation() const { return m_updating; }
    // There is no compass here: heading updates never start, so stopping them only ends nothing.
    void stopUpdatingHeading();

    // The last fix this manager delivered.
    std::optional<Location> location() const { return m_location; }

    static bool respondsToAuthorizationRequests();
    void requestWhenInUseAuthorization();
    void requestAlwaysAuthorization();

private:
    friend class LocationSimulator;
    LocationManager();
    // On the home loop.
    void deliverLocation(const Location& location, bool afterStart);
    void deliverFailure(const Error& error);
    void deliverAuthorization(AuthorizationStatus status);
    void deliverStart(std::uint64_t generation);
    static bool isAuthorized(AuthorizationStatus status);

    std::shared_ptr<RunLoop> m_home;
    std::weak_ptr<LocationManagerDelegate> m_delegate;
    double m_desiredAccuracy = kLocationAccuracyBest;
    double m_distanceFilter = kDistanceFilterNone;
    bool m_updating = false;
    // Counts starts, so a start's queued first answer is dropped after a stop or a newer start.
    std::uint64_t m_generation = 0;
    bool m_deliveredSinceStart = false;
    std::optional<Location> m_location;
};

} // namespace platform
