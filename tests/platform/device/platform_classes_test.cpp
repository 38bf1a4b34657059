#include "platform/device/PlatformClasses.h"

#include "platform/device/AdvertisingIdentifierManager.h"
#include "support/DeviceServices.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(PlatformClasses, KnownClassesArePresentUntilRemoved) {
    hybtest::resetDeviceServices();
    for (const std::string& name : PlatformClasses::knownNames())
        EXPECT_TRUE(PlatformClasses::isPresent(name)) << name;
    EXPECT_FALSE(PlatformClasses::isPresent("NoSuchClass"));
    EXPECT_FALSE(PlatformClasses::setPresent("NoSuchClass", true));
    EXPECT_FALSE(PlatformClasses::isPresent("NoSuchClass"));

    EXPECT_TRUE(PlatformClasses::setPresent(kAdvertisingIdentifierManagerClassName, false));
    EXPECT_FALSE(PlatformClasses::isPresent(kAdvertisingIdentifierManagerClassName));
    EXPECT_TRUE(PlatformClasses::isPresent(kPopoverControllerClassName));
    EXPECT_TRUE(PlatformClasses::setPresent(kAdvertisingIdentifierManagerClassName, true));
    EXPECT_TRUE(PlatformClasses::isPresent(kAdvertisingIdentifierManagerClassName));
    PlatformClasses::setPresent(kCaptureSessionClassName, false);
    hybtest::resetDeviceServices();
    EXPECT_TRUE(PlatformClasses::isPresent(kCaptureSessionClassName));
}

TEST(AdvertisingIdentifierManager, TheIdentifierIsAUUIDAndTrackingIsOnByDefault) {
    hybtest::resetDeviceServices();
    auto& manager = AdvertisingIdentifierManager::shared();
    EXPECT_TRUE(AdvertisingIdentifierManager::isUUIDText(manager.advertisingIdentifier()));
    EXPECT_NE(manager.advertisingIdentifier(), kZeroAdvertisingIdentifier);
    EXPECT_TRUE(manager.isAdvertisingTrackingEnabled());

    ASSERT_TRUE(manager.setAdvertisingIdentifier("1e2d3c4b-5a69-4788-96a5-b4c3d2e1f0a9"));
    EXPECT_EQ(manager.advertisingIdentifier(), "1E2D3C4B-5A69-4788-96A5-B4C3D2E1F0A9");
    ASSERT_TRUE(manager.setAdvertisingIdentifier(kZeroAdvertisingIdentifier));
    for (const char* bad : {"", "1E2D3C4B5A6947889 6A5B4C3D2E1F0A9", "1E2D3C4B-5A69-4788-96A5-B4C3D2E1F0AZ",
                            "1E2D3C4B-5A69-4788-96A5-B4C3D2E1F0A9-", "{1E2D3C4B-5A69-4788-96A5-B4C3D2E1F0A}"}) {
        EXPECT_FALSE(manager.setAdvertisingIdentifier(bad)) << bad;
    }
    EXPECT_EQ(manager.advertisingIdentifier(), kZeroAdvertisingIdentifier);
    manager.setAdvertisingTrackingEnabled(false);
    EXPECT_FALSE(manager.isAdvertisingTrackingEnabled());
    hybtest::resetDeviceServices();
}
