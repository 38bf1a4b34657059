// The device's interface address list (what getifaddrs answers), with the Wi-Fi interface reported
// under the platform's name "en0".
//
// Guarantees:
// - Thread: every call from any thread.
// - list() reads the system's list each time. The Wi-Fi interface is the one named by
//   setWifiInterfaceName (the device file), else the first wireless interface (one with
//   /sys/class/net/<name>/wireless) that is up with an IPv4 address, else the first other interface up
//   and running with an IPv4 address that is neither loopback nor a mobile-data one (a desktop's wired
//   connection stands for the device's Wi-Fi); its entries are renamed "en0". A configured empty name
//   means no Wi-Fi interface. When another interface is the Wi-Fi one, a host interface that happens to
//   be called "en0" is reported as "en0-host", so there is one "en0" at most.
// - isWifiConnected() is the one rule for "joined to a Wi-Fi network": an "en0" entry with an IPv4
//   address that is not loopback. The diagnostic plug-in answers it and Reachability reports reachable
//   over Wi-Fi by it, so the two never disagree.
// - Changing the Wi-Fi interface or the test list tells Reachability (its scheduled objects re-read).
// - Tests replace the whole list (setOverride), e.g. "en0 with only IPv6" or "no en0", or make reading
//   fail (setReadFailure).
#pragma once

#include "platform/core/Error.h"

#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kWifiInterfaceName = "en0";

struct InterfaceAddress {
    enum class Family { IPv4, IPv6, Other };

    std::string name;
    Family family = Family::Other;
    std::string address;  // numeric text; empty for other families
    unsigned flags = 0;   // IFF_UP, IFF_LOOPBACK, IFF_RUNNING, ... of <net/if.h>

    friend bool operator==(const InterfaceAddress&, const InterfaceAddress&) = default;
};

class InterfaceAddresses {
public:
    static Result<std::vector<InterfaceAddress>> list();

    // nullopt: pick the first wireless interface (above).
    static void setWifiInterfaceName(std::optional<std::string> name);
    static std::optional<std::string> wifiInterfaceName();
    static void setOverride(std::optional<std::vector<InterfaceAddress>> addresses);
    static void setReadFailure(bool fails);
    static void resetToDefaults();

    // The system's list as it is, without renaming.
    static Result<std::vector<InterfaceAddress>> systemList();
    // The interface list() reports as "en0" (above).
    static std::optional<std::string> chooseWifiInterface(const std::vector<InterfaceAddress>& system,
                                                          const std::optional<std::string>& configured,
                                                          bool (*isWireless)(const std::string& name));

    static bool isWifiConnected(const std::vector<InterfaceAddress>& list);
    // A mobile-data interface of the host (wwan*, rmnet*, ppp*): never the Wi-Fi one unless configured.
    static bool isMobileDataInterface(const std::string& name);
};

} // namespace platform
