// A position fix as the location services report it: a coordinate in degrees (WGS-84), altitude, the two
// accuracies, course, speed and the time of the fix. A plain value; no state, no threads.
//
// Conventions of the platform: an unknown altitude is NaN (a fix may carry it so); a negative accuracy,
// course or speed means "not known". Coordinates are valid when finite, latitude in [-90, 90] and
// longitude in [-180, 180].
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cmath>
#include <limits>

namespace platform {

// The error domain of location and geocoding failures, and its codes.
inline constexpr const char* kLocationErrorDomain = "kCLErrorDomain";
inline constexpr long long kLocationErrorLocationUnknown = 0;
inline constexpr long long kLocationErrorDenied = 1;
inline constexpr long long kLocationErrorNetwork = 2;
inline constexpr long long kLocationErrorGeocodeFoundNoResult = 8;
inline constexpr long long kLocationErrorGeocodeFoundPartialResult = 9;
inline constexpr long long kLocationErrorGeocodeCanceled = 10;

// Desired accuracies, in metres (the platform's constants).
inline constexpr double kLocationAccuracyBestForNavigation = -2;
inline constexpr double kLocationAccuracyBest = -1;
inline constexpr double kLocationAccuracyNearestTenMeters = 10;
inline constexpr double kLocationAccuracyHundredMeters = 100;
inline constexpr double kLocationAccuracyKilometer = 1000;
inline constexpr double kLocationAccuracyThreeKilometers = 3000;
// A distance filter that lets every fix through.
inline constexpr double kDistanceFilterNone = -1;

struct LocationCoordinate {
    double latitude = 0;
    double longitude = 0;

    bool isValid() const {
        return std::isfinite(latitude) && std::isfinite(longitude) && std::fabs(latitude) <= 90 && std::fabs(longitude) <= 180;
    }
    friend bool operator==(const LocationCoordinate&, const LocationCoordinate&) = default;
};

class Location {
public:
    Location() = default;
    // A fix with only a coordinate: altitude unknown (NaN), accuracies unknown (-1), stamped `timestamp`.
    Location(LocationCoordinate coordinate, Date timestamp);
    Location(LocationCoordinate coordinate, double altitude, double horizontalAccuracy, double verticalAccuracy,
             double course, double speed, Date timestamp);

    LocationCoordinate coordinate() const { return m_coordinate; }
    double altitude() const { return m_altitude; }
    double horizontalAccuracy() const { return m_horizontalAccuracy; }
    double verticalAccuracy() const { return m_verticalAccuracy; }
    double course() const { return m_course; }
    double speed() const { return m_speed; }
    Date timestamp() const { return m_timestamp; }

    // The great-circle distance in metres (haversine on the mean Earth radius); NaN for invalid coordinates.
    double distanceFrom(const Location& other) const;
    // The initial great-circle course towards `other`, in degrees clockwise from true north in [0, 360);
    // -1 (not known) when either coordinate is invalid or both are the same.
    double courseTo(const Location& other) const;

    // Equal when every field is equal (NaN altitudes count as equal).
    friend bool operator==(const Location& a, const Location& b);

private:
    LocationCoordinate m_coordinate;
    double m_altitude = std::numeric_limits<double>::quiet_NaN();
    double m_horizontalAccuracy = -1;
    double m_verticalAccuracy = -1;
    double m_course = -1;
    double m_speed = -1;
    Date m_timestamp;
};

// A location error with its description.
Error locationError(long long code, std::string description = {});

} // namespace platform
