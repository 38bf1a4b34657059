// A command delegate for plug-in tests: records evaluated scripts and answers, finds nothing.
#pragma once

#include "runtime/HYBCommandDelegate.h"

#include <string>
#include <utility>
#include <vector>

namespace runtime::testing {

class RecordingCommandDelegate : public HYBCommandDelegate {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<HYBPluginResult> result, std::optional<std::string> callbackId) override {
        results.emplace_back(std::move(result), std::move(callbackId));
    }
    void evalJs(std::string js) override { scripts.push_back(std::move(js)); }
    void evalJs(std::string js, bool) override { scripts.push_back(std::move(js)); }
    void runInBackground(std::function<void()> block) override { block(); }
    std::string userAgent() override { return {}; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return {}; }

    std::vector<std::string> scripts;
    std::vector<std::pair<std::optional<HYBPluginResult>, std::optional<std::string>>> results;
};

} // namespace runtime::testing
