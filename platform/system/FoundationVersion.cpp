#include "platform/system/FoundationVersion.h"

#include <atomic>
#include <cmath>

namespace platform {

namespace {
std::atomic<double>& version() {
    static std::atomic<double> v{kDefaultFoundationVersionNumber};
    return v;
}
} // namespace

double foundationVersionNumber() { return version().load(std::memory_order_relaxed); }

void setFoundationVersionNumber(double v) {
    if (std::isfinite(v))
        version().store(v, std::memory_order_relaxed);
}

} // namespace platform
