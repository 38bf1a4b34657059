#include "plugins/HYBDevice.h"

#include "platform/core/Log.h"
#include "platform/system/Device.h"
#include "platform/system/UserDefaults.h"
#include "platform/text/Text.h"
#include "runtime/HYBDeviceExtensions.h"

namespace plugins {

std::string modelVersion(const platform::Device& device) { return device.machine(); }

void HYBDevice::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBDevice>("HYBDevice");
    (void)registered;
}

const runtime::HYBActionTable& HYBDevice::actions() const {
    static const runtime::HYBActionTable table =
        runtime::HYBActionTable::of<HYBDevice>({{"getDeviceInfo", &HYBDevice::getDeviceInfo}});
    return table;
}

void HYBDevice::getDeviceInfo(const runtime::HYBInvokedUrlCommand& command) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(runtime::HYBPluginResult::messageAsDictionary(runtime::HYBCommandStatus::Ok, deviceProperties()),
                                   command.callbackId());
}

platform::Dictionary HYBDevice::deviceProperties() const {
    const platform::Device& device = platform::Device::current();
    return platform::Dictionary{
        {"manufacturer", "Apple"},
        {"model", modelVersion(device)},
        {"platform", "iOS"},
        {"version", device.systemVersion()},
        {"uuid", uniqueAppInstanceIdentifier(device)},
        {"hybrid", hybridVersion()},
        {"isVirtual", isVirtual()},
    };
}

std::string HYBDevice::uniqueAppInstanceIdentifier(const platform::Device& device) {
    platform::UserDefaults& defaults = platform::UserDefaults::standard();
    const platform::Value stored = defaults.object(runtime::kHYBInstallationIdentifierKey);
    if (const std::string* text = stored.getString(); text && !text->empty())
        return *text;
    std::string identifier = device.identifierForVendor();
    if (identifier.empty())
        identifier = platform::newUUIDString();
    if (platform::Status status = defaults.set(runtime::kHYBInstallationIdentifierKey, identifier); !status)
        platform::Log::write("Could not store the installation identifier: " + status.error().localizedDescription());
    if (platform::Status status = defaults.synchronize(); !status)
        platform::Log::write("Could not write the installation identifier: " + status.error().localizedDescription());
    return identifier;
}

std::string HYBDevice::hybridVersion() {
    constexpr int kMajor = 3, kMinor = 9, kPatch = 2;
    return std::to_string(kMajor) + "." + std::to_string(kMinor) + "." + std::to_string(kPatch);
}

} // namespace plugins
