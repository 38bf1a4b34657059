// What a location manager tells its delegate, on the run loop of the thread that made the manager.
#pragma once

#include "platform/core/Error.h"
#include "platform/device/AuthorizationStatus.h"
#include "platform/device/Location.h"

#include <optional>

namespace platform {

class LocationManager;

class LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    // A fix; oldLocation is the previous one this manager delivered (none for the first).
    virtual void didUpdateToLocation(LocationManager&, const Location& newLocation, const std::optional<Location>& oldLocation) {
        (void)newLocation;
        (void)oldLocation;
    }
    // kLocationErrorDomain: code 0 the location is unknown for now, 1 access denied.
    virtual void didFailWithError(LocationManager&, const Error& error) { (void)error; }
    virtual void didChangeAuthorizationStatus(LocationManager&, AuthorizationStatus status) { (void)status; }
};

} // namespace platform
