// Network reachability of an address or host name: the platform's flags, read synchronously, and a
// callback on a run loop when they change.
//
// Guarantees:
// - Flags come from the device's interfaces (platform/device/InterfaceAddresses.h): an IPv4 loopback
//   target (or "localhost") is reachable, local and direct; any other target is reachable over Wi-Fi
//   when the Wi-Fi interface is joined (InterfaceAddresses::isWifiConnected, the diagnostic plug-in's
//   rule), else reachable over the mobile network (IsWWAN) when another interface than loopback is up
//   and running with an address, else not reachable. Nothing else is probed: no name is resolved and no
//   packet is sent.
// - Changes: a watcher thread listens to the kernel's link and address messages (netlink) while any
//   reachability is scheduled. When a scheduled reachability's flags differ from the last ones it
//   reported, its callback runs on the run loop it was scheduled on, with the new flags.
// - Tests: setOverrideFlags makes every reachability answer the given flags (and nullopt goes back to
//   the system's); scheduled ones hear the change like a real one. systemChanged() re-reads at once.
// - Thread-safe. The callback never runs after unscheduleFromRunLoop() returned on the loop's thread,
//   nor after the reachability is destroyed; a change after the run loop's thread ended reaches nobody.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace platform {

class RunLoop;
class RunLoopCore;

using ReachabilityFlags = std::uint32_t;
inline constexpr ReachabilityFlags kReachabilityFlagsTransientConnection = 1u << 0;
inline constexpr ReachabilityFlags kReachabilityFlagsReachable = 1u << 1;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionRequired = 1u << 2;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnTraffic = 1u << 3;
inline constexpr ReachabilityFlags kReachabilityFlagsInterventionRequired = 1u << 4;
inline constexpr ReachabilityFlags kReachabilityFlagsConnectionOnDemand = 1u << 5;
inline constexpr ReachabilityFlags kReachabilityFlagsIsLocalAddress = 1u << 16;
inline constexpr ReachabilityFlags kReachabilityFlagsIsDirect = 1u << 17;
inline constexpr ReachabilityFlags kReachabilityFlagsIsWWAN = 1u << 18;

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Callback = std::function<void(Reachability&, ReachabilityFlags)>;

    // For an IPv4 address in dotted text ("0.0.0.0" asks about the network in general); nullptr when
    // the text is not an IPv4 address.
    static std::shared_ptr<Reachability> createWithAddress(const std::string& ipv4);
    // For a host name (not resolved); nullptr for an empty name.
    static std::shared_ptr<Reachability> createWithName(const std::string& hostName);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    // The current flags; false only when they cannot be determined.
    bool getFlags(ReachabilityFlags& flags) const;
    ReachabilityFlags flags() const;

    void setCallback(Callback callback);
    // Callbacks go to this run loop from now on. False when already scheduled.
    bool scheduleWithRunLoop(RunLoop& loop);
    void unscheduleFromRunLoop();

    // Test hooks.
    static void setOverrideFlags(std::optional<ReachabilityFlags> flags);
    static std::optional<ReachabilityFlags> overrideFlags();
    static void systemChanged();

private:
    struct Target {
        bool local = false;
    };
    explicit Reachability(Target target) : m_target(target) {}
    // Compares with the last reported flags and, when they changed, posts the callback.
    void reportIfChanged();

    Target m_target;
    mutable std::mutex m_mutex;
    Callback m_callback;
    // The loop it is scheduled on, held weakly: a change after that loop's thread ended reaches nobody.
    std::weak_ptr<RunLoopCore> m_loop;
    bool m_scheduled = false;
    std::optional<ReachabilityFlags> m_lastReported;
    std::uint64_t m_scheduleGeneration = 0;
};

} // namespace platform
