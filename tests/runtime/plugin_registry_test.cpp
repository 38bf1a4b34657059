#include "runtime/HYBPluginRegistry.h"

#include "platform/ui/ViewController.h"
#include "platform/web/HeadlessWebView.h"

#include "support/LogCapture.h"

#include "RecordingCommandDelegate.h"

#include <gtest/gtest.h>

using namespace runtime;
using runtime::testing::RecordingCommandDelegate;
using hybtest::LogCapture;

namespace {

int g_made = 0;

class HYBDevice : public HYBPlugin {
public:
    explicit HYBDevice(std::shared_ptr<platform::WebView> webView) : HYBPlugin(webView) { ++g_made; }
    void pluginInitialize() override {
        ++initialized;
        tiedBeforeInitialize = viewController() != nullptr && commandDelegate() != nullptr;
    }
    int initialized = 0;
    bool tiedBeforeInitialize = false;
};

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() : registry(platform::Dictionary{{"device", "HYBDevice"}, {"hardware", "HYBDevice"}, {"ghost", "HYBGhost"},
                                                   {"refuser", "HYBRefuser"}, {"sensor", "HYBSensor"}},
                              classes) {
        g_made = 0;
        classes.registerClass<HYBDevice>("HYBDevice");
        classes.registerClass<HYBDevice>("HYBSensor"); // the same class under a second name
        classes.registerClass("HYBRefuser", [](std::shared_ptr<platform::WebView>) { return std::unique_ptr<HYBPlugin>(); });
        registry.setWebView(webView);
        registry.setViewController(controller);
        registry.setCommandDelegate(delegate);
    }

    HYBPluginClassRegistry classes;
    HYBPluginRegistry registry;
    std::shared_ptr<platform::HeadlessWebView> webView = platform::HeadlessWebView::create();
    std::shared_ptr<platform::ViewController> controller = std::make_shared<platform::ViewController>();
    std::shared_ptr<RecordingCommandDelegate> delegate = std::make_shared<RecordingCommandDelegate>();
};

} // namespace

TEST_F(RegistryTest, OneLazyInstancePerClassWhateverTheServiceNameOrCase) {
    EXPECT_EQ(g_made, 0);
    std::shared_ptr<HYBPlugin> device = registry.getCommandInstance("Device");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(registry.getCommandInstance("device"), device);
    EXPECT_EQ(registry.getCommandInstance("DEVICE"), device);
    EXPECT_EQ(registry.getCommandInstance("Hardware"), device);
    EXPECT_EQ(g_made, 1);
    auto* typed = static_cast<HYBDevice*>(device.get());
    EXPECT_EQ(typed->initialized, 1);
    EXPECT_TRUE(typed->tiedBeforeInitialize);
    EXPECT_EQ(device->webView(), webView);
    ASSERT_EQ(registry.pluginObjects().size(), 1u);
    EXPECT_EQ(registry.pluginObjects()[0].first, "HYBDevice");
}

TEST_F(RegistryTest, AClassRegisteredUnderTwoNamesStillHasOneLivePlugin) {
    std::shared_ptr<HYBPlugin> device = registry.getCommandInstance("Device");
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(registry.getCommandInstance("Sensor"), device);
    EXPECT_EQ(registry.getCommandInstance("sensor"), device);
    EXPECT_EQ(static_cast<HYBDevice*>(device.get())->initialized, 1);
    EXPECT_EQ(registry.pluginObjects().size(), 1u);
    EXPECT_EQ(g_made, 2) << "the second name is tried once, then known to lead to the live plug-in";
}

TEST_F(RegistryTest, UnmappedServiceIsNullWithoutALogLine) {
    LogCapture log;
    EXPECT_EQ(registry.getCommandInstance("Camera"), nullptr);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(RegistryTest, MissingClassLogsOncePerLookupAndStoresNothing) {
    LogCapture log;
    EXPECT_EQ(registry.getCommandInstance("Ghost"), nullptr);
    EXPECT_EQ(registry.getCommandInstance("ghost"), nullptr);
    EXPECT_EQ(registry.getCommandInstance("Refuser"), nullptr);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"HYBPlugin class HYBGhost (pluginName: Ghost) does not exist.",
                                                     "HYBPlugin class HYBGhost (pluginName: ghost) does not exist.",
                                                     "HYBPlugin class HYBRefuser (pluginName: Refuser) does not exist."}));
    EXPECT_TRUE(registry.pluginObjects().empty());
}

TEST_F(RegistryTest, RegisteringUnderAPluginNameMapsTheServiceToTheClass) {
    auto plugin = std::make_shared<HYBDevice>(webView);
    registry.registerPluginWithPluginName(plugin, "MyDevice");
    EXPECT_EQ(registry.pluginsMap()["mydevice"], platform::Value("HYBDevice"));
    EXPECT_EQ(plugin->initialized, 1);
    EXPECT_TRUE(plugin->tiedBeforeInitialize);
    EXPECT_EQ(registry.getCommandInstance("Device"), plugin) << "the class already has its live plug-in";
    EXPECT_EQ(g_made, 1);
}

TEST_F(RegistryTest, RegisteringUnderAClassNameDoesNotTouchTheMap) {
    auto plugin = std::make_shared<HYBDevice>(webView);
    registry.registerPlugin(plugin, "HYBLocalStorage");
    EXPECT_EQ(registry.pluginForClassName("HYBLocalStorage"), plugin);
    EXPECT_FALSE(registry.pluginsMap().contains("hyblocalstorage"));
}
