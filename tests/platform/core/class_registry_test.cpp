#include "platform/core/ClassRegistry.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

struct Plugin {
    virtual ~Plugin() = default;
    virtual std::string name() const = 0;
};
struct DevicePlugin : Plugin {
    std::string name() const override { return "device"; }
};
struct CameraPlugin : Plugin {
    std::string name() const override { return "camera"; }
};

struct Formatter {
    explicit Formatter(int width) : width(width) {}
    virtual ~Formatter() = default;
    int width;
};
struct WideFormatter : Formatter {
    explicit WideFormatter(int w) : Formatter(w * 2) {}
};

ClassRegistration<Plugin, DevicePlugin> g_device("HYBDevice");

TEST(ClassRegistry, CreatesByNameAndRefusesUnknownOrDuplicateNames) {
    auto& registry = ClassRegistry<Plugin>::shared();
    ASSERT_TRUE(registry.contains("HYBDevice")); // the static registration above
    EXPECT_TRUE(registry.registerClass<CameraPlugin>("HYBCamera"));
    EXPECT_FALSE(registry.registerClass<DevicePlugin>("HYBCamera")); // first one stays
    EXPECT_EQ(registry.create("HYBDevice")->name(), "device");
    EXPECT_EQ(registry.create("HYBCamera")->name(), "camera");
    EXPECT_EQ(registry.create("HYBMissing"), nullptr);
    EXPECT_EQ(registry.create(""), nullptr);
    EXPECT_TRUE(registry.unregisterClass("HYBCamera"));
    EXPECT_FALSE(registry.contains("HYBCamera"));
}

TEST(ClassRegistry, RegistriesAreSeparatePerBaseAndPassConstructorArguments) {
    auto& formatters = ClassRegistry<Formatter, int>::shared();
    formatters.registerClass<WideFormatter>("Wide");
    EXPECT_EQ(formatters.create("Wide", 21)->width, 42);
    EXPECT_FALSE(formatters.contains("HYBDevice"));
    EXPECT_EQ(formatters.names(), std::vector<std::string>{"Wide"});
}

} // namespace
