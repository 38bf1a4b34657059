#include "platform/device/InterfaceAddresses.h"

#include "support/DeviceServices.h"

#include <net/if.h>

#include <gtest/gtest.h>

#include <algorithm>

using namespace platform;

namespace {

using Family = InterfaceAddress::Family;
constexpr unsigned kUp = IFF_UP | IFF_RUNNING;

bool namedWireless(const std::string& name) { return name.rfind("wl", 0) == 0; }

// What a Wi-Fi availability check asks: an "en0" entry with IPv4 that is not loopback.
bool hasWifiIPv4(const std::vector<InterfaceAddress>& list) {
    return std::any_of(list.begin(), list.end(), [](const InterfaceAddress& a) {
        return a.name == kWifiInterfaceName && a.family == Family::IPv4 && !(a.flags & IFF_LOOPBACK);
    });
}

class InterfaceAddressesTest : public ::testing::Test {
protected:
    InterfaceAddressesTest() { hybtest::resetDeviceServices(); }
    ~InterfaceAddressesTest() override { hybtest::resetDeviceServices(); }
};

} // namespace

TEST_F(InterfaceAddressesTest, TheSystemListIsReadAndTheChosenInterfaceBecomesEnZero) {
    auto system = InterfaceAddresses::systemList();
    ASSERT_TRUE(system) << system.error().localizedDescription();
    ASSERT_FALSE(system->empty());
    const InterfaceAddress& some = system->front();

    // Naming a local interface reports it as "en0".
    InterfaceAddresses::setWifiInterfaceName(some.name);
    auto renamed = InterfaceAddresses::list();
    ASSERT_TRUE(renamed);
    EXPECT_TRUE(std::any_of(renamed->begin(), renamed->end(), [](const auto& a) { return a.name == kWifiInterfaceName; }));
    EXPECT_TRUE(std::none_of(renamed->begin(), renamed->end(), [&](const auto& a) { return a.name == some.name; }));
    EXPECT_EQ(renamed->size(), system->size());

    // An empty name means there is no Wi-Fi interface.
    InterfaceAddresses::setWifiInterfaceName("");
    EXPECT_EQ(*InterfaceAddresses::list(), *InterfaceAddresses::systemList());
}

TEST_F(InterfaceAddressesTest, TheFirstWirelessInterfaceUpWithIPv4IsChosen) {
    const std::vector<InterfaceAddress> system{
        {"lo", Family::IPv4, "127.0.0.1", kUp | IFF_LOOPBACK},
        {"eth0", Family::IPv4, "10.0.0.2", kUp},
        {"wlan1", Family::IPv6, "fe80::1", kUp},
        {"wlan0", Family::IPv4, "192.168.1.5", 0},
        {"wlan1", Family::IPv4, "192.168.1.6", kUp},
    };
    EXPECT_EQ(InterfaceAddresses::chooseWifiInterface(system, std::nullopt, namedWireless), "wlan1");
    EXPECT_EQ(InterfaceAddresses::chooseWifiInterface(system, std::string("eth0"), namedWireless), "eth0");
    EXPECT_EQ(InterfaceAddresses::chooseWifiInterface(system, std::string(), namedWireless), std::nullopt);
    // Without a wireless one up, the desktop's wired connection stands for the Wi-Fi; never loopback, a
    // mobile-data interface or one without a running link.
    EXPECT_EQ(InterfaceAddresses::chooseWifiInterface({system[0], system[1], system[3]}, std::nullopt, namedWireless), "eth0");
    const std::vector<InterfaceAddress> noWired{
        {"lo", Family::IPv4, "127.0.0.1", kUp | IFF_LOOPBACK},
        {"wwan0", Family::IPv4, "10.64.0.9", kUp},
        {"ppp0", Family::IPv4, "10.64.0.10", kUp},
        {"eth1", Family::IPv4, "10.0.0.3", IFF_UP},
        {"eth2", Family::IPv6, "fe80::2", kUp},
        {"wlan0", Family::IPv4, "192.168.1.5", 0},
    };
    EXPECT_EQ(InterfaceAddresses::chooseWifiInterface(noWired, std::nullopt, namedWireless), std::nullopt);
    EXPECT_EQ(InterfaceAddresses::chooseWifiInterface(noWired, std::string("wwan0"), namedWireless), "wwan0");
}

TEST_F(InterfaceAddressesTest, TestListsCoverEnZeroWithOnlyIPv6AndNoEnZero) {
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{{"lo0", Family::IPv4, "127.0.0.1", kUp | IFF_LOOPBACK},
                                                                  {"en0", Family::IPv6, "fe80::1", kUp}});
    auto onlyIPv6 = InterfaceAddresses::list();
    ASSERT_TRUE(onlyIPv6);
    EXPECT_EQ(onlyIPv6->size(), 2u);
    EXPECT_FALSE(hasWifiIPv4(*onlyIPv6));

    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{{"en0", Family::IPv4, "192.168.1.5", kUp}});
    EXPECT_TRUE(hasWifiIPv4(*InterfaceAddresses::list()));
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{{"pdp_ip0", Family::IPv4, "10.1.2.3", kUp}});
    EXPECT_FALSE(hasWifiIPv4(*InterfaceAddresses::list()));

    InterfaceAddresses::setReadFailure(true);
    EXPECT_FALSE(InterfaceAddresses::list());
}
