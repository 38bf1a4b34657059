#include "plugins/AppleAdvertising.h"

#include "platform/device/AdvertisingIdentifierManager.h"
#include "platform/device/PlatformClasses.h"
#include "platform/system/Device.h"

namespace plugins {

namespace {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

// The advertising identifier, "" when the platform gives none (the zero identifier means none).
std::string advertisingIdentifier() {
    std::string identifier = platform::AdvertisingIdentifierManager::shared().advertisingIdentifier();
    return identifier == platform::kZeroAdvertisingIdentifier ? std::string() : identifier;
}

} // namespace

void AppleAdvertising::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<AppleAdvertising>("AppleAdvertising");
    (void)registered;
}

const runtime::HYBActionTable& AppleAdvertising::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<AppleAdvertising>({
        {"getIDFA", &AppleAdvertising::getIDFA},
        {"getIDFV", &AppleAdvertising::getIDFV},
        {"isTrackingEnabled", &AppleAdvertising::isTrackingEnabled},
        {"getTracking", &AppleAdvertising::getTracking},
    });
    return table;
}

void AppleAdvertising::inBackground(const runtime::HYBInvokedUrlCommand& command, std::function<HYBPluginResult()> answer) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    delegate->runInBackground([delegate = std::weak_ptr<runtime::HYBCommandDelegate>(delegate), callbackId = command.callbackId(),
                               answer = std::move(answer)] {
        HYBPluginResult result = platform::PlatformClasses::isPresent(platform::kAdvertisingIdentifierManagerClassName)
                                     ? answer()
                                     : HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
        if (std::shared_ptr<runtime::HYBCommandDelegate> target = delegate.lock())
            target->sendPluginResult(std::move(result), callbackId);
    });
}

void AppleAdvertising::getIDFA(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [] {
        std::string identifier = advertisingIdentifier();
        return identifier.empty() ? HYBPluginResult::resultWithStatus(HYBCommandStatus::Error)
                                  : HYBPluginResult::messageAsString(HYBCommandStatus::Ok, std::move(identifier));
    });
}

void AppleAdvertising::getIDFV(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [] {
        std::string identifier = platform::Device::current().identifierForVendor();
        return identifier.empty() ? HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok)
                                  : HYBPluginResult::messageAsString(HYBCommandStatus::Ok, std::move(identifier));
    });
}

void AppleAdvertising::isTrackingEnabled(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [] {
        return HYBPluginResult::messageAsBool(HYBCommandStatus::Ok, platform::AdvertisingIdentifierManager::shared().isAdvertisingTrackingEnabled());
    });
}

void AppleAdvertising::getTracking(const runtime::HYBInvokedUrlCommand& command) {
    inBackground(command, [] {
        return HYBPluginResult::messageAsDictionary(
            HYBCommandStatus::Ok, platform::Dictionary{
                                      {"idfa", advertisingIdentifier()},
                                      {"idfv", platform::Device::current().identifierForVendor()},
                                      {"trackingEnabled", platform::AdvertisingIdentifierManager::shared().isAdvertisingTrackingEnabled()},
                                  });
    });
}

} // namespace plugins
