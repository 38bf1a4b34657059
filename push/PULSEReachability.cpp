#include "push/PULSEReachability.h"

#include "push/PULSEClientController.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace push {

using namespace platform;

std::shared_ptr<PULSEReachability> PULSEReachability::wrap(std::shared_ptr<Reachability> reference, bool localWiFi) {
    if (!reference)
        return nullptr;
    return std::shared_ptr<PULSEReachability>(new PULSEReachability(std::move(reference), localWiFi));
}

std::shared_ptr<PULSEReachability> PULSEReachability::reachabilityWithHostName(const std::string& hostName) {
    return wrap(Reachability::createWithName(hostName), false);
}

std::shared_ptr<PULSEReachability> PULSEReachability::reachabilityWithAddress(const sockaddr_in& address) {
    if (address.sin_family != AF_INET)
        return nullptr;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text))
        return nullptr;
    return wrap(Reachability::createWithAddress(text), false);
}

std::shared_ptr<PULSEReachability> PULSEReachability::reachabilityForInternetConnection() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(zero);
}

std::shared_ptr<PULSEReachability> PULSEReachability::reachabilityForLocalWiFi() {
    sockaddr_in linkLocal{};
    linkLocal.sin_family = AF_INET;
    linkLocal.sin_addr.s_addr = htonl(0xA9FE0000u); // 169.254.0.0
    auto wrapper = reachabilityWithAddress(linkLocal);
    if (wrapper)
        wrapper->m_localWiFiRef = true;
    return wrapper;
}

PULSEReachability::~PULSEReachability() { stopNotifier(); }

bool PULSEReachability::startNotifier() {
    std::weak_ptr<PULSEReachability> weak = weak_from_this();
    m_reachabilityRef->setCallback([weak](Reachability&, ReachabilityFlags) {
        auto self = weak.lock();
        if (!self)
            return;
        if (auto center = PULSEClientController::sharedClient().clientNotificationCenter())
            center->post(kReachabilityChangedNotification, self.get());
    });
    return m_reachabilityRef->scheduleWithRunLoop(RunLoop::current());
}

void PULSEReachability::stopNotifier() { m_reachabilityRef->unscheduleFromRunLoop(); }

int PULSEReachability::currentReachabilityStatus() const {
    ReachabilityFlags flags = 0;
    if (!m_reachabilityRef->getFlags(flags))
        return 0;
    return m_localWiFiRef ? localWiFiStatusForFlags(flags) : networkStatusForFlags(flags);
}

bool PULSEReachability::connectionRequired() const {
    ReachabilityFlags flags = 0;
    return m_reachabilityRef->getFlags(flags) && (flags & kReachabilityFlagsConnectionRequired);
}

int PULSEReachability::networkStatusForFlags(ReachabilityFlags flags) {
    if (!(flags & kReachabilityFlagsReachable))
        return 0;
    if (flags & kReachabilityFlagsIsWWAN)
        return 3;
    if ((flags & (kReachabilityFlagsConnectionOnTraffic | kReachabilityFlagsConnectionOnDemand)) &&
        !(flags & kReachabilityFlagsInterventionRequired))
        return 2;
    return (flags & kReachabilityFlagsConnectionRequired) ? 0 : 2;
}

int PULSEReachability::localWiFiStatusForFlags(ReachabilityFlags flags) {
    const ReachabilityFlags both = kReachabilityFlagsReachable | kReachabilityFlagsIsDirect;
    return (flags & both) == both ? 2 : 0;
}

} // namespace push
