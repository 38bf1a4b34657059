#include "plugins/HYBLocationConverter.h"

#include <cmath>

namespace plugins {

HYBLocationConverter::Coordinate HYBLocationConverter::wgs84ToGcj02(Coordinate c) { return gcj02Encrypt(c.latitude, c.longitude); }

HYBLocationConverter::Coordinate HYBLocationConverter::gcj02ToWgs84(Coordinate c) { return gcj02Decrypt(c.latitude, c.longitude); }

HYBLocationConverter::Coordinate HYBLocationConverter::wgs84ToBd09(Coordinate c) {
    const Coordinate gcj = gcj02Encrypt(c.latitude, c.longitude);
    return bd09Encrypt(gcj.latitude, gcj.longitude);
}

HYBLocationConverter::Coordinate HYBLocationConverter::gcj02ToBd09(Coordinate c) { return bd09Encrypt(c.latitude, c.longitude); }

HYBLocationConverter::Coordinate HYBLocationConverter::bd09ToGcj02(Coordinate c) { return bd09Decrypt(c.latitude, c.longitude); }

HYBLocationConverter::Coordinate HYBLocationConverter::bd09ToWgs84(Coordinate c) {
    const Coordinate gcj = bd09ToGcj02(c);
    return gcj02Decrypt(gcj.latitude, gcj.longitude);
}

double HYBLocationConverter::transformLat(double x, double y) {
    double ret = -100.0 + 2.0 * x + 3.0 * y + 0.2 * y * y + 0.1 * x * y + 0.2 * std::sqrt(std::fabs(x));
    ret += (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
    ret += (20.0 * std::sin(y * kPi) + 40.0 * std::sin(y / 3.0 * kPi)) * 2.0 / 3.0;
    ret += (160.0 * std::sin(y / 12.0 * kPi) + 320.0 * std::sin(y * kPi / 30.0)) * 2.0 / 3.0;
    return ret;
}

double HYBLocationConverter::transformLon(double x, double y) {
    double ret = 300.0 + x + 2.0 * y + 0.1 * x * x + 0.1 * x * y + 0.1 * std::sqrt(std::fabs(x));
    ret += (20.0 * std::sin(6.0 * x * kPi) + 20.0 * std::sin(2.0 * x * kPi)) * 2.0 / 3.0;
    ret += (20.0 * std::sin(x * kPi) + 40.0 * std::sin(x / 3.0 * kPi)) * 2.0 / 3.0;
    ret += (150.0 * std::sin(x / 12.0 * kPi) + 300.0 * std::sin(x / 30.0 * kPi)) * 2.0 / 3.0;
    return ret;
}

bool HYBLocationConverter::outOfChina(double latitude, double longitude) {
    if (longitude < 72.004 || longitude > 137.8347)
        return true;
    return latitude < 0.8293 || latitude > 55.8271;
}

HYBLocationConverter::Coordinate HYBLocationConverter::gcj02Encrypt(double latitude, double longitude) {
    if (outOfChina(latitude, longitude))
        return {latitude, longitude};
    double dLat = transformLat(longitude - 105.0, latitude - 35.0);
    double dLon = transformLon(longitude - 105.0, latitude - 35.0);
    const double radLat = latitude / 180.0 * kPi;
    const double s = std::sin(radLat);
    const double magic = 1.0 - kEccentricitySquared * s * s;
    const double sqrtMagic = std::sqrt(magic);
    dLat = (dLat * 180.0) / ((kSemiMajorAxisTimesOneMinusEE / (magic * sqrtMagic)) * kPi);
    dLon = (dLon * 180.0) / ((kSemiMajorAxis / sqrtMagic) * std::cos(radLat) * kPi);
    return {latitude + dLat, longitude + dLon};
}

HYBLocationConverter::Coordinate HYBLocationConverter::gcj02Decrypt(double latitude, double longitude) {
    const Coordinate shifted = gcj02Encrypt(latitude, longitude);
    return {latitude - (shifted.latitude - latitude), longitude - (shifted.longitude - longitude)};
}

HYBLocationConverter::Coordinate HYBLocationConverter::bd09Encrypt(double latitude, double longitude) {
    const double x = longitude, y = latitude;
    const double z = std::sqrt(x * x + y * y) + 2e-5 * std::sin(y * kPi);
    const double theta = std::atan2(y, x) + 3e-6 * std::cos(x * kPi);
    return {z * std::sin(theta) + 0.006, z * std::cos(theta) + 0.0065};
}

HYBLocationConverter::Coordinate HYBLocationConverter::bd09Decrypt(double latitude, double longitude) {
    const double x = longitude - 0.0065, y = latitude - 0.006;
    const double z = std::sqrt(x * x + y * y) - 2e-5 * std::sin(y * kPi);
    const double theta = std::atan2(y, x) - 3e-6 * std::cos(x * kPi);
    return {z * std::sin(theta), z * std::cos(theta)};
}

} // namespace plugins
