#include "platform/device/Location.h"

namespace platform {

namespace {
constexpr double kEarthRadiusMetres = 6'371'008.8;
constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180.0;

bool sameDouble(double a, double b) {
    return a == b || (std::isnan(a) && std::isnan(b));
}
} // namespace

Location::Location(LocationCoordinate coordinate, Date timestamp) : m_coordinate(coordinate), m_timestamp(timestamp) {}

Location::Location(LocationCoordinate coordinate, double altitude, double horizontalAccuracy, double verticalAccuracy,
                   double course, double speed, Date timestamp)
    : m_coordinate(coordinate), m_altitude(altitude), m_horizontalAccuracy(horizontalAccuracy),
      m_verticalAccuracy(verticalAccuracy), m_course(course), m_speed(speed), m_timestamp(timestamp) {}

double Location::distanceFrom(const Location& other) const {
    if (!m_coordinate.isValid() || !other.m_coordinate.isValid())
        return std::numeric_limits<double>::quiet_NaN();
    const double lat1 = m_coordinate.latitude * kRadiansPerDegree;
    const double lat2 = other.m_coordinate.latitude * kRadiansPerDegree;
    const double dLat = lat2 - lat1;
    const double dLon = (other.m_coordinate.longitude - m_coordinate.longitude) * kRadiansPerDegree;
    const double h = std::sin(dLat / 2) * std::sin(dLat / 2) + std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadiusMetres * std::asin(std::sqrt(std::fmin(1.0, h)));
}

double Location::courseTo(const Location& other) const {
    if (!m_coordinate.isValid() || !other.m_coordinate.isValid() || m_coordinate == other.m_coordinate)
        return -1;
    const double lat1 = m_coordinate.latitude * kRadiansPerDegree;
    const double lat2 = other.m_coordinate.latitude * kRadiansPerDegree;
    const double dLon = (other.m_coordinate.longitude - m_coordinate.longitude) * kRadiansPerDegree;
    const double y = std::sin(dLon) * std::cos(lat2);
    const double x = std::cos(lat1) * std::sin(lat2) - std::sin(lat1) * std::cos(lat2) * std::cos(dLon);
    const double degrees = std::atan2(y, x) / kRadiansPerDegree;
    return degrees < 0 ? degrees + 360 : degrees;
}

bool operator==(const Location& a, const Location& b) {
    return a.m_coordinate == b.m_coordinate && sameDouble(a.m_altitude, b.m_altitude) &&
           a.m_horizontalAccuracy == b.m_horizontalAccuracy && a.m_verticalAccuracy == b.m_verticalAccuracy &&
           a.m_course == b.m_course && a.m_speed == b.m_speed && a.m_timestamp == b.m_timestamp;
}

Error locationError(long long code, std::string description) {
    if (description.empty()) {
        switch (code) {
        case kLocationErrorLocationUnknown: description = "The location is not known right now."; break;
        case kLocationErrorDenied: description = "Access to the location services was denied."; break;
        case kLocationErrorNetwork: description = "The network is not available."; break;
        case kLocationErrorGeocodeFoundNoResult: description = "No place was found."; break;
        case kLocationErrorGeocodeCanceled: description = "The look-up was cancelled."; break;
        default: break;
        }
    }
    return Error(kLocationErrorDomain, code, std::move(description));
}

} // namespace platform
