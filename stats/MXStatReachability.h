// Whether the network is reachable, and over what, for the statistics client: the platform's reachability
// flags read as the client's rules say, and an optional notifier of changes.
//
// Guarantees:
// - Thread: the readings from any thread (each reads the flags afresh). startNotifier and stopNotifier
//   from any thread. The platform reports a change on the main run loop, which hands it to the
//   notifier's own serial queue; the block runs there, then "kReachabilityChangedNotification" (object:
//   this reachability) is posted on the main queue.
// - While notifying, the object keeps itself alive; stopNotifier lets it go.
#pragma once

#include "platform/device/Reachability.h"
#include "platform/runloop/DispatchQueue.h"

#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace stats {

inline constexpr const char* kReachabilityChangedNotification = "kReachabilityChangedNotification";
inline constexpr const char* kMXStatReachabilityQueueLabel = "org.hybridhost.stats.reachability";

enum MXStatNetworkStatus : int { MXStatNotReachable = 0, MXStatReachableViaWWAN = 1, MXStatReachableViaWiFi = 2 };

class MXStatReachability : public std::enable_shared_from_this<MXStatReachability> {
public:
    using Block = std::function<void(MXStatReachability&)>;

    static std::shared_ptr<MXStatReachability> reachabilityForInternetConnection(); // 0.0.0.0
    static std::shared_ptr<MXStatReachability> reachabilityForLocalWiFi();          // 169.254.0.0
    static std::shared_ptr<MXStatReachability> reachabilityWithHostname(const std::string& hostName);
    // For an IPv4 address in dotted text; nullptr for anything else.
    static std::shared_ptr<MXStatReachability> reachabilityWithAddress(const std::string& ipv4);

    ~MXStatReachability();
    MXStatReachability(const MXStatReachability&) = delete;
    MXStatReachability& operator=(const MXStatReachability&) = delete;

    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    bool isConnectionRequired() const;
    bool connectionRequired() const { return isConnectionRequired(); }
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    MXStatNetworkStatus currentReachabilityStatus() const;
    platform::ReachabilityFlags reachabilityFlags() const;
    // Nine flag letters, "-" for each clear one, a blank after the second: "WR ctiCDld".
    std::string currentReachabilityFlags() const;
    // "WiFi", "Cellular" or "No Connection".
    std::string currentReachabilityString() const;

    // The readings of given flags (a failed query reads as no flags at all).
    bool isReachableWithFlags(platform::ReachabilityFlags flags) const;
    static bool isReachableViaWiFiWithFlags(platform::ReachabilityFlags flags);
    static bool isReachableViaWWANWithFlags(platform::ReachabilityFlags flags);
    static MXStatNetworkStatus statusForFlags(platform::ReachabilityFlags flags);
    static std::string flagsText(platform::ReachabilityFlags flags);

    bool startNotifier();
    void stopNotifier();

    void setReachableBlock(Block block);
    void setUnreachableBlock(Block block);
    bool reachableOnWWAN() const;
    void setReachableOnWWAN(bool reachable);

private:
    explicit MXStatReachability(std::shared_ptr<platform::Reachability> reachability);
    static std::shared_ptr<MXStatReachability> wrap(std::shared_ptr<platform::Reachability> reachability);
    // On the notifier queue.
    void reachabilityChanged(platform::ReachabilityFlags flags);
    // The flags, or nothing when they cannot be read.
    bool readFlags(platform::ReachabilityFlags& flags) const;

    const std::shared_ptr<platform::Reachability> m_reachability;
    mutable std::mutex m_mutex;
    Block m_reachableBlock;
    Block m_unreachableBlock;
    bool m_reachableOnWWAN = true;
    std::shared_ptr<platform::DispatchQueue> m_notifierQueue;
    std::shared_ptr<MXStatReachability> m_selfWhileNotifying;
};

} // namespace stats
