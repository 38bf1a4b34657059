// The page's "Device" service: getDeviceInfo answers what device the page runs on, a dictionary of
// exactly "manufacturer", "model", "platform", "version", "uuid", "hybrid" and "isVirtual".
//
// Guarantees:
// - Main thread for the action; the helpers may run anywhere.
// - "uuid" is the installation's identifier: once made it is kept under the user default "HYBUUID" and
//   written to disk at once, so it stays the same for the life of the installation, even when the
//   vendor id changes later.
// Made by the name "HYBDevice" once registerClass() ran.
#pragma once

#include "runtime/HYBPlugin.h"

#include <string>

namespace platform {
class Device;
}

namespace plugins {

// The device's hardware model identifier, the system control "hw.machine".
std::string modelVersion(const platform::Device& device);

class HYBDevice : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    // The page action "getDeviceInfo" (no arguments): OK with deviceProperties().
    void getDeviceInfo(const runtime::HYBInvokedUrlCommand& command);

    platform::Dictionary deviceProperties() const;
    // The stored "HYBUUID", else the device's vendor id, else a new UUID; stored when it was not.
    static std::string uniqueAppInstanceIdentifier(const platform::Device& device);
    // The runtime's version, "3.9.2".
    static std::string hybridVersion();
    static bool isVirtual() { return false; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBDevice"; }
};

} // namespace plugins
