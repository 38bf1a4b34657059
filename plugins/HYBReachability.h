// Reachability of an address or host over the platform's network-reachability service: the status of
// the flags (not reachable, cellular, Wi-Fi), whether a connection must still be set up, and a
// notification, "kNetworkReachabilityChangedNotification" with the object itself as sender, when the
// flags change.
//
// Guarantees:
// - Home: the thread whose run loop startNotifier scheduled it on (the main thread for the plug-ins);
//   the notification is posted there, on a later turn than the change.
// - No notification is posted after stopNotifier returned or after the object is gone.
// - The factories answer nullptr when no handle can be made, so every object has one.
#pragma once

#include "platform/device/Reachability.h"

#include <netinet/in.h>

#include <memory>
#include <string>

namespace plugins {

inline constexpr const char* kNetworkReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

enum class NetworkStatus { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

class HYBReachability : public std::enable_shared_from_this<HYBReachability> {
public:
    // The network in general: the zero IPv4 address.
    static std::shared_ptr<HYBReachability> reachabilityForInternetConnection();
    // nullptr for an address that is not IPv4.
    static std::shared_ptr<HYBReachability> reachabilityWithAddress(const sockaddr_in& address);
    // nullptr for an empty name.
    static std::shared_ptr<HYBReachability> reachabilityWithHostName(const std::string& hostName);
    ~HYBReachability();
    HYBReachability(const HYBReachability&) = delete;
    HYBReachability& operator=(const HYBReachability&) = delete;

    // Schedules change notifications on the current run loop; true when scheduled.
    bool startNotifier();
    void stopNotifier();

    NetworkStatus currentReachabilityStatus() const;
    static NetworkStatus networkStatusForFlags(platform::ReachabilityFlags flags);
    bool connectionRequired() const;
    // Always false for the objects made here (kept for the shape of the status rules).
    bool localWiFiRef() const { return m_localWiFiRef; }

private:
    explicit HYBReachability(std::shared_ptr<platform::Reachability> reachability)
        : m_reachabilityRef(std::move(reachability)) {}
    static std::shared_ptr<HYBReachability> wrap(std::shared_ptr<platform::Reachability> reachability);

    std::shared_ptr<platform::Reachability> m_reachabilityRef;
    bool m_localWiFiRef = false;
};

} // namespace plugins
