// Converts coordinates between the three datums map services use: WGS-84 (satellite positioning), GCJ-02
// (the offset datum of maps of mainland China; only points inside a box around China are shifted) and
// BD-09 (a further offset of GCJ-02).
//
// Guarantees: pure functions of their arguments, no state, any thread. All arithmetic is in double
// precision with the constants below exactly as written. GCJ-02 to WGS-84 is a single reflection step,
// so a round trip lands close to, not exactly on, the point. The BD-09 steps apply everywhere.
#pragma once

#include "platform/device/Location.h"

namespace plugins {

class HYBLocationConverter {
public:
    using Coordinate = platform::LocationCoordinate;

    static constexpr double kPi = 3.141592653589793;
    static constexpr double kSemiMajorAxis = 6378245.0;
    static constexpr double kEccentricitySquared = 0.006693421622965943;
    // a * (1 - ee), kept as this literal so results match to the last bit.
    static constexpr double kSemiMajorAxisTimesOneMinusEE = 6335552.717000426;

    static Coordinate wgs84ToGcj02(Coordinate coordinate);
    static Coordinate gcj02ToWgs84(Coordinate coordinate);
    static Coordinate wgs84ToBd09(Coordinate coordinate);
    static Coordinate gcj02ToBd09(Coordinate coordinate);
    static Coordinate bd09ToGcj02(Coordinate coordinate);
    static Coordinate bd09ToWgs84(Coordinate coordinate);

    // Building blocks: x is the longitude offset from 105, y the latitude offset from 35.
    static double transformLat(double x, double y);
    static double transformLon(double x, double y);
    // Outside the box of longitude 72.004-137.8347 and latitude 0.8293-55.8271 (the bounds are inside).
    static bool outOfChina(double latitude, double longitude);
    static Coordinate gcj02Encrypt(double latitude, double longitude);
    static Coordinate gcj02Decrypt(double latitude, double longitude);
    static Coordinate bd09Encrypt(double latitude, double longitude);
    static Coordinate bd09Decrypt(double latitude, double longitude);
};

} // namespace plugins
