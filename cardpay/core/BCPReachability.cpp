#include "cardpay/core/BCPReachability.h"

namespace cardpay {

std::shared_ptr<BCPReachability> BCPReachability::reachabilityForInternetConnection() {
    return std::make_shared<BCPReachability>(platform::Reachability::createWithAddress("0.0.0.0"));
}

BCPReachability::Status BCPReachability::currentReachabilityStatus() const {
    platform::ReachabilityFlags flags = 0;
    if (!m_reachability || !m_reachability->getFlags(flags) || !(flags & platform::kReachabilityFlagsReachable))
        return NotReachable;
    // Reachable only once a connection is made (on demand, on traffic) counts as reachable; one that
    // needs the user's intervention does not.
    if ((flags & platform::kReachabilityFlagsConnectionRequired) && (flags & platform::kReachabilityFlagsInterventionRequired))
        return NotReachable;
    return (flags & platform::kReachabilityFlagsIsWWAN) ? ReachableViaWWAN : ReachableViaWiFi;
}

} // namespace cardpay
