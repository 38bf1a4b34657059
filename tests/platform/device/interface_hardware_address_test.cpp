#include "platform/device/InterfaceAddresses.h"
#include "platform/device/InterfaceHardwareAddress.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

class InterfaceHardwareAddressTest : public ::testing::Test {
protected:
    ~InterfaceHardwareAddressTest() override {
        InterfaceHardwareAddress::resetToDefaults();
        InterfaceAddresses::resetToDefaults();
    }
};

TEST_F(InterfaceHardwareAddressTest, ParsesOnlySixColonSeparatedPairs) {
    EXPECT_EQ(InterfaceHardwareAddress::parse("00:1a:2B:c3:d4:ef"),
              std::optional<InterfaceHardwareAddress::Address>({0x00, 0x1a, 0x2b, 0xc3, 0xd4, 0xef}));
    for (const char* bad : {"", "00:1a:2b:c3:d4", "00:1a:2b:c3:d4:ef:01", "00-1a-2b-c3-d4-ef", "0g:1a:2b:c3:d4:ef",
                            "00:1a:2b:c3:d4:e"})
        EXPECT_EQ(InterfaceHardwareAddress::parse(bad), std::nullopt) << bad;
}

TEST_F(InterfaceHardwareAddressTest, ReadsTheSystemsInterfacesAndMapsEn0ToTheWiFiOne) {
    // The loopback interface exists everywhere and has the all-zero address.
    auto loopback = InterfaceHardwareAddress::addressOf("lo");
    ASSERT_TRUE(loopback.ok()) << loopback.error().localizedDescription();
    EXPECT_EQ(*loopback, InterfaceHardwareAddress::Address{});

    InterfaceAddresses::setWifiInterfaceName("lo");
    auto wifi = InterfaceHardwareAddress::addressOf("en0");
    ASSERT_TRUE(wifi.ok());
    EXPECT_EQ(*wifi, *loopback);

    InterfaceAddresses::setWifiInterfaceName("");
    auto none = InterfaceHardwareAddress::addressOf("en0");
    ASSERT_FALSE(none.ok());
    EXPECT_EQ(none.error().code, InterfaceHardwareAddress::kNoSuchInterface);

    for (const char* name : {"no-such-interface0", "../lo", "", "a-name-longer-than-the-kernel-allows"}) {
        auto missing = InterfaceHardwareAddress::addressOf(name);
        ASSERT_FALSE(missing.ok()) << name;
        EXPECT_EQ(missing.error().code, InterfaceHardwareAddress::kNoSuchInterface) << name;
    }
}

TEST_F(InterfaceHardwareAddressTest, AnOverrideTableReplacesTheSystem) {
    InterfaceHardwareAddress::setOverride(
        std::map<std::string, InterfaceHardwareAddress::Address>{{"en0", {1, 2, 3, 4, 5, 6}}});
    EXPECT_EQ(InterfaceHardwareAddress::addressOf("en0").valueOr({}), (InterfaceHardwareAddress::Address{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(InterfaceHardwareAddress::addressOf("lo").ok());
}

} // namespace
