#include "platform/device/InterfaceHardwareAddress.h"

#include "platform/device/InterfaceAddresses.h"
#include "platform/text/Text.h"

#include <net/if.h>

#include <filesystem>
#include <fstream>
#include <mutex>

namespace platform {

namespace {
struct Settings {
    std::mutex mutex;
    std::optional<std::map<std::string, InterfaceHardwareAddress::Address>> table;
};

Settings& settings() {
    static auto* shared = new Settings; // read from any thread until exit
    return *shared;
}

bool isPlainInterfaceName(const std::string& name) {
    return !name.empty() && name.size() < IF_NAMESIZE && name.find('/') == std::string::npos && name != "." && name != "..";
}

bool isWireless(const std::string& name) {
    std::error_code ec;
    return isPlainInterfaceName(name) && std::filesystem::exists("/sys/class/net/" + name + "/wireless", ec);
}

// The system's name of an interface the platform reports under `name`.
std::optional<std::string> systemName(const std::string& name) {
    const std::string hostSuffix = "-host";
    if (name == std::string(kWifiInterfaceName) + hostSuffix)
        return std::string(kWifiInterfaceName);
    if (name != kWifiInterfaceName)
        return name;
    auto system = InterfaceAddresses::systemList();
    if (!system.ok())
        return std::nullopt;
    return InterfaceAddresses::chooseWifiInterface(*system, InterfaceAddresses::wifiInterfaceName(), isWireless);
}

} // namespace

std::optional<InterfaceHardwareAddress::Address> InterfaceHardwareAddress::parse(const std::string& text) {
    constexpr std::size_t kTextLength = 17; // six pairs of digits and five colons
    if (text.size() != kTextLength)
        return std::nullopt;
    Address address{};
    for (std::size_t i = 0; i < address.size(); ++i) {
        const std::size_t at = i * 3;
        const int high = hexDigitValue(text[at]);
        const int low = hexDigitValue(text[at + 1]);
        if (high < 0 || low < 0 || (i + 1 < address.size() && text[at + 2] != ':'))
            return std::nullopt;
        address[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    return address;
}

Result<InterfaceHardwareAddress::Address> InterfaceHardwareAddress::addressOf(const std::string& interfaceName) {
    {
        std::lock_guard lock(settings().mutex);
        if (settings().table) {
            auto found = settings().table->find(interfaceName);
            if (found == settings().table->end())
                return Error(kErrorDomain, kNoSuchInterface, "no interface named " + interfaceName);
            return found->second;
        }
    }
    const auto name = systemName(interfaceName);
    if (!name || !isPlainInterfaceName(*name) || if_nametoindex(name->c_str()) == 0)
        return Error(kErrorDomain, kNoSuchInterface, "no interface named " + interfaceName);
    std::ifstream file("/sys/class/net/" + *name + "/address");
    std::string text;
    if (!file || !std::getline(file, text))
        return Error(kErrorDomain, kUnreadable, "cannot read the address of " + interfaceName);
    auto address = parse(text);
    if (!address)
        return Error(kErrorDomain, kUnreadable, "the address of " + interfaceName + " is not a hardware address");
    return *address;
}

void InterfaceHardwareAddress::setOverride(std::optional<std::map<std::string, Address>> table) {
    std::lock_guard lock(settings().mutex);
    settings().table = std::move(table);
}

} // namespace platform
