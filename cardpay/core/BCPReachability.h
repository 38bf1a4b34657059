// Whether the network can be reached now, as the init command reports it: 0 not reachable, 1 by mobile
// data, 2 by Wi-Fi (any interface that is not a mobile-data one). Main thread only.
#pragma once

#include "platform/device/Reachability.h"

#include <memory>

namespace cardpay {

class BCPReachability {
public:
    enum Status : int { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

    // The network in general (the address 0.0.0.0).
    static std::shared_ptr<BCPReachability> reachabilityForInternetConnection();

    Status currentReachabilityStatus() const;
    bool isReachable() const { return currentReachabilityStatus() != NotReachable; }

    explicit BCPReachability(std::shared_ptr<platform::Reachability> reachability) : m_reachability(std::move(reachability)) {}

private:
    std::shared_ptr<platform::Reachability> m_reachability;
};

} // namespace cardpay
