#include "platform/system/Device.h"
#include "platform/ui/Screen.h"

#include <gtest/gtest.h>

#include <regex>

using namespace platform;

TEST(Device, DefaultsPassEveryVersionGateAndAreConfigurable) {
    Device& device = Device::current();
    device.resetToDefaults();
    EXPECT_EQ(device.systemVersion(), "9.0");
    EXPECT_GE(std::stod(device.systemVersion()), 8.0);
    EXPECT_EQ(device.systemName(), "iOS");
    EXPECT_EQ(device.userInterfaceIdiom(), UserInterfaceIdiom::Phone);
    EXPECT_EQ(device.model(), "iPhone");
    EXPECT_FALSE(device.machine().empty());

    device.setSystemVersion("6.1");
    device.setUserInterfaceIdiom(UserInterfaceIdiom::Pad);
    EXPECT_EQ(device.systemVersion(), "6.1");
    EXPECT_EQ(device.model(), "iPad");
    device.resetToDefaults();
    EXPECT_EQ(device.systemVersion(), "9.0");
}

TEST(Device, VendorIdIsStablePerVendorAndShapedLikeAUUID) {
    Device& device = Device::current();
    device.resetToDefaults();
    device.setVendorDomain("com.example.app");
    std::string id = device.identifierForVendor();
    EXPECT_TRUE(std::regex_match(id, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}"))) << id;
    device.setVendorDomain("com.example.other");
    EXPECT_EQ(device.identifierForVendor(), id) << "same vendor, other application";
    device.setVendorDomain("org.elsewhere.app");
    EXPECT_NE(device.identifierForVendor(), id);
    device.setIdentifierForVendor("X");
    EXPECT_EQ(device.identifierForVendor(), "X");
    device.resetToDefaults();
}

TEST(Screen, BoundsAndScaleAreConfigurable) {
    Screen& screen = Screen::main();
    screen.setBounds(Rect{0, 0, 768, 1024});
    screen.setScale(0);
    EXPECT_EQ(screen.bounds(), (Rect{0, 0, 768, 1024}));
    EXPECT_EQ(screen.scale(), 1.0) << "a scale of 0 is refused";
    screen.resetToDefaults();
    EXPECT_EQ(screen.scale(), 2.0);
}
