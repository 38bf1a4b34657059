// A view controller stand-in for the bridge tests: a headless web view, plug-ins by service name, and
// the command queue and command delegate wired to it as the view controller wires them.
#pragma once

#include "platform/runloop/VirtualClock.h"
#include "platform/web/HeadlessWebView.h"
#include "runtime/HYBCommandDelegateImpl.h"
#include "runtime/HYBCommandHost.h"
#include "runtime/HYBCommandQueue.h"
#include "runtime/HYBPlugin.h"
#include "runtime/HYBWhitelist.h"
#include "runtime/TextCase.h"

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace runtime::testing {

class TestCommandHost : public HYBCommandHost {
public:
    std::shared_ptr<platform::WebView> webView() const override { return view; }
    std::shared_ptr<HYBCommandDelegate> commandDelegate() const override { return delegate.lock(); }
    std::shared_ptr<HYBPlugin> getCommandInstance(std::string_view pluginName) override {
        auto it = plugins.find(lowercased(pluginName));
        return it == plugins.end() ? nullptr : it->second;
    }
    platform::Dictionary settings() const override { return preferences; }
    const HYBWhitelist* whitelist() const override { return accessList.get(); }
    std::string userAgent() override { return "Test Agent (7)"; }
    std::string wwwFolderName() const override { return "www"; }

    std::shared_ptr<platform::HeadlessWebView> view = platform::HeadlessWebView::create();
    std::weak_ptr<HYBCommandDelegate> delegate;
    std::map<std::string, std::shared_ptr<HYBPlugin>> plugins;
    platform::Dictionary preferences;
    std::unique_ptr<HYBWhitelist> accessList;
};

// A plug-in whose actions record what they saw and run what the test gives them.
class ProbePlugin : public HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    void run(const HYBInvokedUrlCommand& command) {
        calls.push_back(command.methodName() + ":" + command.argumentAtIndex(0).description());
        if (onRun)
            onRun(command);
    }
    const HYBActionTable& actions() const override {
        static const HYBActionTable table = HYBActionTable::of<ProbePlugin>({{"run", &ProbePlugin::run}});
        return table;
    }

    std::vector<std::string> calls;
    std::function<void(const HYBInvokedUrlCommand&)> onRun;
};

struct Bridge {
    Bridge() {
        // Passes stop after 8 ms of the clock: on a real clock a slow machine would cut them short at
        // random. A test that brings its own virtual clock keeps it.
        if (!platform::Clock::current().isVirtual()) {
            m_clock = std::make_shared<platform::VirtualClock>();
            m_clock->install();
        }
        queue = std::make_shared<HYBCommandQueue>(host);
        delegate = std::make_shared<HYBCommandDelegateImpl>(host, queue);
        host->delegate = delegate;
        probe = std::make_shared<ProbePlugin>(host->view);
        probe->setCommandDelegate(delegate);
        host->plugins["probe"] = probe;
    }
    // The scripts the page was asked to evaluate, in order.
    const std::vector<std::string>& evaluated() const { return host->view->page().evaluatedScripts(); }

    std::shared_ptr<platform::VirtualClock> m_clock; // first: uninstalled after everything else is gone
    std::shared_ptr<TestCommandHost> host = std::make_shared<TestCommandHost>();
    std::shared_ptr<HYBCommandQueue> queue;
    std::shared_ptr<HYBCommandDelegateImpl> delegate;
    std::shared_ptr<ProbePlugin> probe;
};

// The JSON text of one command for the probe plug-in: ["<id>","Probe","run",[<argument>]].
inline std::string probeCommand(const std::string& callbackId, const std::string& argumentJSON) {
    return "[\"" + callbackId + "\",\"Probe\",\"run\",[" + argumentJSON + "]]";
}

} // namespace runtime::testing
