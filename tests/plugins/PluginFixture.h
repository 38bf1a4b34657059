// Drives a device plug-in the way the command queue does, on the main thread: a command delegate that
// records every answer, the plug-in made and started in a fresh temporary home with the simulated device
// services at their defaults, and call() that runs one page action.
#pragma once

#include "platform/HeadlessWebView.h"
#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBPlugin.h"
#include "support/DeviceServices.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pluginstest {

struct Answer {
    runtime::HYBPluginResult result;
    std::optional<std::string> callbackId;

    runtime::HYBCommandStatus status() const { return result.status(); }
    const platform::Value& message() const { return result.message(); }
};

class AnswerLog : public runtime::HYBCommandDelegate {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<runtime::HYBPluginResult> result, std::optional<std::string> callbackId) override {
        answers.push_back({result.value_or(runtime::HYBPluginResult()), std::move(callbackId)});
    }
    void evalJs(std::string) override {}
    void evalJs(std::string, bool) override {}
    void runInBackground(std::function<void()> block) override { block(); }
    std::string userAgent() override { return {}; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return preferences; }

    platform::Dictionary preferences;
    std::vector<Answer> answers;
};

template <class Plugin>
class PluginTest : public hybtest::TempHomeTest {
protected:
    PluginTest() { hybtest::resetDeviceServices(); }
    ~PluginTest() override { hybtest::resetDeviceServices(); }

    Plugin& plugin() {
        if (!m_plugin) {
            m_plugin = std::make_shared<Plugin>(m_webView);
            m_plugin->setCommandDelegate(m_log);
            m_plugin->pluginInitialize();
        }
        return *m_plugin;
    }
    // Runs the page action with the arguments under the callback id (none: the page sent null).
    void call(const std::string& action, platform::Array arguments = {}, std::optional<std::string> callbackId = "cb") {
        ASSERT_TRUE(plugin().performAction(action, runtime::HYBInvokedUrlCommand(std::move(arguments), std::move(callbackId),
                                                                                 "Service", action)));
    }
    const std::vector<Answer>& answers() const { return m_log->answers; }
    // Turns the main loop until `count` answers came; false when they did not.
    bool waitForAnswers(std::size_t count) {
        return hybtest::runMainUntil([&] { return m_log->answers.size() >= count; });
    }

    std::shared_ptr<platform::WebView> m_webView = platform::HeadlessWebView::create();
    std::shared_ptr<AnswerLog> m_log = std::make_shared<AnswerLog>();
    std::shared_ptr<Plugin> m_plugin;
};

} // namespace pluginstest
