// The link-level (MAC) address of a network interface, by the name the platform reports it under
// (platform/device/InterfaceAddresses.h): "en0" is the Wi-Fi interface.
//
// Guarantees:
// - Thread: every call from any thread.
// - "en0" stands for the configured Wi-Fi interface, else the first wireless one that is up with an IPv4
//   address, as InterfaceAddresses::list() names it; a host interface really called "en0" is reached as
//   "en0-host" then. Other names are the system's own.
// - The address is read from /sys/class/net/<name>/address. No such interface: kNoSuchInterface; an
//   interface whose address cannot be read or is not six bytes (a tunnel, say): kUnreadable.
// - Tests replace the system with a table (setOverride): a name absent from it has no interface.
#pragma once

#include "platform/core/Error.h"

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace platform {

class InterfaceHardwareAddress {
public:
    using Address = std::array<std::uint8_t, 6>;
    static constexpr const char* kErrorDomain = "platform.hardware-address";
    enum ErrorCode : long long { kNoSuchInterface = 1, kUnreadable = 2 };

    InterfaceHardwareAddress() = delete;

    static Result<Address> addressOf(const std::string& interfaceName);

    // "AA:BB:CC:DD:EE:FF" into six bytes; nothing for any other text.
    static std::optional<Address> parse(const std::string& text);

    static void setOverride(std::optional<std::map<std::string, Address>> table);
    static void resetToDefaults() { setOverride(std::nullopt); }
};

} // namespace platform
