// Drives a device plug-in the way the command queue does, on the main thread: a command delegate that
// records every answer, the plug-in made and started in a fresh temporary home with the simulated device
// services at their defaults, and call() that runs one page action.
#pragma once

#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/RunLoop.h"
#include "platform/web/HeadlessWebView.h"
#include "runtime/HYBCommandDelegate.h"
#include "runtime/HYBPlugin.h"
#include "support/DeviceServices.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace pluginstest {

struct Answer {
    runtime::HYBPluginResult result;
    std::optional<std::string> callbackId;
    // Whether sendPluginResult was called on the main thread.
    bool onMainThread = true;

    runtime::HYBCommandStatus status() const { return result.status(); }
    const platform::Value& message() const { return result.message(); }
};

// Records answers and page scripts on the main thread, as the runtime's delegate evaluates them there:
// calls from other threads are posted to the main queue.
class AnswerLog : public runtime::HYBCommandDelegate, public std::enable_shared_from_this<AnswerLog> {
public:
    std::optional<std::string> pathForResource(std::string_view) override { return std::nullopt; }
    std::shared_ptr<runtime::HYBPlugin> getCommandInstance(std::string_view) override { return nullptr; }
    void sendPluginResult(std::optional<runtime::HYBPluginResult> result, std::optional<std::string> callbackId) override {
        onMain([answer = Answer{result.value_or(runtime::HYBPluginResult()), std::move(callbackId), platform::RunLoop::isMainThread()}](
                   AnswerLog& log) mutable { log.answers.push_back(std::move(answer)); });
    }
    void evalJs(std::string js) override {
        onMain([js = std::move(js)](AnswerLog& log) mutable { log.scripts.push_back(std::move(js)); });
    }
    void evalJs(std::string js, bool) override { evalJs(std::move(js)); }
    // Inline unless `backgroundRunsOnQueue`: then on the global queue, as the runtime does.
    void runInBackground(std::function<void()> block) override {
        if (backgroundRunsOnQueue)
            platform::DispatchQueue::global()->async(std::move(block));
        else
            block();
    }
    std::string userAgent() override { return {}; }
    bool URLIsWhitelisted(const platform::URL&) override { return true; }
    platform::Dictionary settings() override { return preferences; }

    platform::Dictionary preferences;
    bool backgroundRunsOnQueue = false;
    // Main thread only.
    std::vector<Answer> answers;
    std::vector<std::string> scripts;

private:
    void onMain(std::function<void(AnswerLog&)> record) {
        if (platform::RunLoop::isMainThread()) {
            record(*this);
            return;
        }
        platform::DispatchQueue::main()->async([weak = weak_from_this(), record = std::move(record)] {
            if (std::shared_ptr<AnswerLog> log = weak.lock())
                record(*log);
        });
    }
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
    const std::vector<std::string>& scripts() const { return m_log->scripts; }
    // Turns the main loop until `count` answers came; false when they did not.
    bool waitForAnswers(std::size_t count) {
        return hybtest::runMainUntil([&] { return m_log->answers.size() >= count; });
    }

    std::shared_ptr<platform::WebView> m_webView = platform::HeadlessWebView::create();
    std::shared_ptr<AnswerLog> m_log = std::make_shared<AnswerLog>();
    std::shared_ptr<Plugin> m_plugin;
};

} // namespace pluginstest
