// The push client's view of the platform's network reachability: the flags of a target read as a
// network status, and "kNetworkReachabilityChangedNotification" on the client's private notification
// centre when they change.
//
// Guarantees:
// - Statuses: 0 not reachable (also when the flags cannot be read), 2 reachable without the mobile
//   network, 3 reachable through it. A wrapper for the link-local network answers by the local Wi-Fi
//   rule instead (2 only when reachable and direct).
// - startNotifier() schedules the platform's callback on the current run loop; each change posts the
//   notification there, synchronously, with the wrapper as object. Release stops the notifier.
// - currentReachabilityStatus() and connectionRequired() may be called from any thread; the notifier
//   belongs to the thread that started it.
#pragma once

#include "platform/device/Reachability.h"

#include <memory>
#include <string>

struct sockaddr_in;

namespace push {

class PULSEReachability : public std::enable_shared_from_this<PULSEReachability> {
public:
    static constexpr const char* kReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

    // None when the platform refuses the target.
    static std::shared_ptr<PULSEReachability> reachabilityWithHostName(const std::string& hostName);
    static std::shared_ptr<PULSEReachability> reachabilityWithAddress(const sockaddr_in& address);
    // The network in general (the all-zero IPv4 address).
    static std::shared_ptr<PULSEReachability> reachabilityForInternetConnection();
    // The link-local network 169.254.0.0, answering by the local Wi-Fi rule.
    static std::shared_ptr<PULSEReachability> reachabilityForLocalWiFi();

    ~PULSEReachability();
    PULSEReachability(const PULSEReachability&) = delete;
    PULSEReachability& operator=(const PULSEReachability&) = delete;

    bool startNotifier();
    void stopNotifier();

    int currentReachabilityStatus() const;
    bool connectionRequired() const;
    bool localWiFiRef() const { return m_localWiFiRef; }

    static int networkStatusForFlags(platform::ReachabilityFlags flags);
    static int localWiFiStatusForFlags(platform::ReachabilityFlags flags);

private:
    PULSEReachability(std::shared_ptr<platform::Reachability> reference, bool localWiFi)
        : m_reachabilityRef(std::move(reference)), m_localWiFiRef(localWiFi) {}
    static std::shared_ptr<PULSEReachability> wrap(std::shared_ptr<platform::Reachability> reference, bool localWiFi);

    std::shared_ptr<platform::Reachability> m_reachabilityRef;
    bool m_localWiFiRef = false;
};

} // namespace push
