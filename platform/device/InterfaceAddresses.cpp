#include "platform/device/InterfaceAddresses.h"

#include "platform/device/Reachability.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

namespace platform {

namespace {
struct Settings {
    std::mutex mutex;
    std::optional<std::string> wifiName;
    std::optional<std::vector<InterfaceAddress>> override;
    bool readFails = false;
};

Settings& settings() {
    static auto* shared = new Settings; // read from any thread until exit
    return *shared;
}

bool isWirelessOnSystem(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return false;
    std::error_code ec;
    return std::filesystem::exists("/sys/class/net/" + name + "/wireless", ec);
}
} // namespace

Result<std::vector<InterfaceAddress>> InterfaceAddresses::systemList() {
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0)
        return Error(kPOSIXErrorDomain, errno, std::string("cannot read the interface addresses: ") + std::strerror(errno));
    std::vector<InterfaceAddress> out;
    for (const ifaddrs* entry = head; entry; entry = entry->ifa_next) {
        InterfaceAddress address;
        address.name = entry->ifa_name ? entry->ifa_name : "";
        address.flags = entry->ifa_flags;
        char text[INET6_ADDRSTRLEN] = {};
        if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET) {
            address.family = InterfaceAddress::Family::IPv4;
            if (inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr, text, sizeof text))
                address.address = text;
        } else if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET6) {
            address.family = InterfaceAddress::Family::IPv6;
            if (inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(entry->ifa_addr)->sin6_addr, text, sizeof text))
                address.address = text;
        }
        out.push_back(std::move(address));
    }
    freeifaddrs(head);
    return out;
}

std::optional<std::string> InterfaceAddresses::chooseWifiInterface(const std::vector<InterfaceAddress>& system,
                                                                   const std::optional<std::string>& configured,
                                                                   bool (*isWireless)(const std::string& name)) {
    if (configured)
        return configured->empty() ? std::nullopt : configured;
    auto upWithIPv4 = [](const InterfaceAddress& address) {
        return address.family == InterfaceAddress::Family::IPv4 && (address.flags & IFF_UP) && !(address.flags & IFF_LOOPBACK);
    };
    for (const InterfaceAddress& address : system) {
        if (upWithIPv4(address) && isWireless(address.name))
            return address.name;
    }
    for (const InterfaceAddress& address : system) {
        if (upWithIPv4(address) && (address.flags & IFF_RUNNING) && !isMobileDataInterface(address.name))
            return address.name;
    }
    return std::nullopt;
}

bool InterfaceAddresses::isWifiConnected(const std::vector<InterfaceAddress>& list) {
    return std::any_of(list.begin(), list.end(), [](const InterfaceAddress& entry) {
        return entry.name == kWifiInterfaceName && entry.family == InterfaceAddress::Family::IPv4 && !(entry.flags & IFF_LOOPBACK);
    });
}

bool InterfaceAddresses::isMobileDataInterface(const std::string& name) {
    return name.rfind("wwan", 0) == 0 || name.rfind("rmnet", 0) == 0 || name.rfind("ppp", 0) == 0;
}

Result<std::vector<InterfaceAddress>> InterfaceAddresses::list() {
    std::optional<std::string> configured;
    {
        std::lock_guard lock(settings().mutex);
        if (settings().readFails)
            return Error(kPOSIXErrorDomain, EIO, "cannot read the interface addresses");
        if (settings().override)
            return *settings().override;
        configured = settings().wifiName;
    }
    auto system = systemList();
    if (!system.ok())
        return system;
    const auto wifi = chooseWifiInterface(*system, configured, isWirelessOnSystem);
    if (!wifi)
        return system;
    std::vector<InterfaceAddress> out = std::move(*system);
    for (InterfaceAddress& address : out) {
        if (address.name == *wifi)
            address.name = kWifiInterfaceName;
        else if (address.name == kWifiInterfaceName)
            address.name += "-host";
    }
    return out;
}

void InterfaceAddresses::setWifiInterfaceName(std::optional<std::string> name) {
    {
        std::lock_guard lock(settings().mutex);
        settings().wifiName = std::move(name);
    }
    Reachability::systemChanged();
}

std::optional<std::string> InterfaceAddresses::wifiInterfaceName() {
    std::lock_guard lock(settings().mutex);
    return settings().wifiName;
}

void InterfaceAddresses::setOverride(std::optional<std::vector<InterfaceAddress>> addresses) {
    {
        std::lock_guard lock(settings().mutex);
        settings().override = std::move(addresses);
    }
    Reachability::systemChanged();
}

void InterfaceAddresses::setReadFailure(bool fails) {
    {
        std::lock_guard lock(settings().mutex);
        settings().readFails = fails;
    }
    Reachability::systemChanged();
}

void InterfaceAddresses::resetToDefaults() {
    {
        std::lock_guard lock(settings().mutex);
        settings().wifiName.reset();
        settings().override.reset();
        settings().readFails = false;
    }
    Reachability::systemChanged();
}

} // namespace platform
