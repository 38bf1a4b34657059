// The page's "Preference" service: get answers one "config.xml" preference.
//
// Guarantees: main thread. The name is compared in lower case (the runtime keeps the preferences under
// lower-cased names), so any letter case finds it. An unknown name, a missing name or one that is not a
// string answers OK with a null message. Made by the name "Preference" once registerClass() ran.
#pragma once

#include "runtime/HYBPlugin.h"

namespace plugins {

class Preference : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    // The page action "get": argument 0 is the preference's name.
    void get(const runtime::HYBInvokedUrlCommand& command);

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "Preference"; }
};

} // namespace plugins
