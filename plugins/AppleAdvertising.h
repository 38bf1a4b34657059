// The page's "AdvertisingIdentifier" service: the advertising identifier, the vendor identifier and the
// user's advertising-tracking choice.
//
// Guarantees:
// - The advertising-identifier class is looked up by name at each action; where the platform lacks it,
//   every action answers Error without a message (getIDFV included).
// - getIDFA: OK with the identifier, or Error without a message when there is none (empty or the zero
//   identifier). getIDFV: OK with the vendor identifier (OK without a message when the device gives
//   none). isTrackingEnabled: OK with a boolean. getTracking: OK with {"idfa", "idfv", "trackingEnabled"},
//   an identifier the platform does not give (or the zero identifier) as "".
// - Each action returns at once; the values are read and the answer sent on the command delegate's
//   background runner. Answers never keep the callback.
// Made by the name "AppleAdvertising" once registerClass() ran.
#pragma once

#include "runtime/HYBPlugin.h"

#include <functional>
#include <string>

namespace plugins {

class AppleAdvertising : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    void getIDFA(const runtime::HYBInvokedUrlCommand& command);
    void getIDFV(const runtime::HYBInvokedUrlCommand& command);
    void isTrackingEnabled(const runtime::HYBInvokedUrlCommand& command);
    void getTracking(const runtime::HYBInvokedUrlCommand& command);

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "AppleAdvertising"; }

private:
    // Runs `answer` on the background runner (only where the class exists) and sends what it forms.
    void inBackground(const runtime::HYBInvokedUrlCommand& command, std::function<runtime::HYBPluginResult()> answer);
};

} // namespace plugins
