// The version number of the platform's base library, as code that adapts to older systems reads it.
// Configurable for tests; kDefaultFoundationVersionNumber (a release newer than 993.0) unless set.
//
// Guarantees: thread-safe.
#pragma once

namespace platform {

inline constexpr double kDefaultFoundationVersionNumber = 1240.1;

double foundationVersionNumber();
// Values that are not finite are ignored.
void setFoundationVersionNumber(double version);

} // namespace platform
