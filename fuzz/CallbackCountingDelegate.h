// A command delegate for plug-ins driven on the main thread by a fuzz target: counts the answers of each
// callback id and the scripts evaluated; background work runs inline.
#pragma once

#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBPluginResult.h"

#include <map>
#include <string>

namespace fuzzing {

class CallbackCountingDelegate : public runtime::HYBCommandDelegate {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<runtime::HYBPluginResult>, std::optional<std::string> callbackId) override {
        ++answers[callbackId.value_or("")];
    }
    void evalJs(std::string) override { ++scripts; }
    void evalJs(std::string, bool) override { ++scripts; }
    void runInBackground(std::function<void()> block) override { block(); }
    std::string userAgent() override { return {}; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return {}; }

    std::map<std::string, int> answers;
    int scripts = 0;
};

} // namespace fuzzing
