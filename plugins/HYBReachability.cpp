#include "plugins/HYBReachability.h"

#include "platform/core/Log.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

#include <arpa/inet.h>

namespace plugins {

std::shared_ptr<HYBReachability> HYBReachability::wrap(std::shared_ptr<platform::Reachability> reachability) {
    if (!reachability)
        return nullptr;
    return std::shared_ptr<HYBReachability>(new HYBReachability(std::move(reachability)));
}

std::shared_ptr<HYBReachability> HYBReachability::reachabilityForInternetConnection() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(zero);
}

std::shared_ptr<HYBReachability> HYBReachability::reachabilityWithAddress(const sockaddr_in& address) {
    if (address.sin_family != AF_INET)
        return nullptr;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return nullptr;
    return wrap(platform::Reachability::createWithAddress(text));
}

std::shared_ptr<HYBReachability> HYBReachability::reachabilityWithHostName(const std::string& hostName) {
    return wrap(platform::Reachability::createWithName(hostName));
}

HYBReachability::~HYBReachability() {
    stopNotifier();
}

bool HYBReachability::startNotifier() {
    m_reachabilityRef->setCallback([weak = weak_from_this()](platform::Reachability&, platform::ReachabilityFlags) {
        std::shared_ptr<HYBReachability> self = weak.lock();
        if (!self) {
            platform::Log::write("info was NULL in ReachabilityCallback");
            return;
        }
        platform::NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification, self.get());
    });
    return m_reachabilityRef->scheduleWithRunLoop(platform::RunLoop::current());
}

void HYBReachability::stopNotifier() { m_reachabilityRef->unscheduleFromRunLoop(); }

NetworkStatus HYBReachability::currentReachabilityStatus() const {
    platform::ReachabilityFlags flags = 0;
    if (!m_reachabilityRef->getFlags(flags))
        return NetworkStatus::NotReachable;
    return networkStatusForFlags(flags);
}

NetworkStatus HYBReachability::networkStatusForFlags(platform::ReachabilityFlags flags) {
    if (!(flags & platform::kReachabilityFlagsReachable))
        return NetworkStatus::NotReachable;
    if (flags & platform::kReachabilityFlagsIsWWAN)
        return NetworkStatus::ReachableViaWWAN;
    // Set up on demand or on traffic without the user's help counts as there.
    if (!(flags & platform::kReachabilityFlagsInterventionRequired)
        && (flags & (platform::kReachabilityFlagsConnectionOnDemand | platform::kReachabilityFlagsConnectionOnTraffic)))
        return NetworkStatus::ReachableViaWiFi;
    return (flags & platform::kReachabilityFlagsConnectionRequired) ? NetworkStatus::NotReachable : NetworkStatus::ReachableViaWiFi;
}

bool HYBReachability::connectionRequired() const {
    platform::ReachabilityFlags flags = 0;
    return m_reachabilityRef->getFlags(flags) && (flags & platform::kReachabilityFlagsConnectionRequired);
}

} // namespace plugins
