// The stage of the fuzz targets that drive interface plug-ins: a key window whose root controller shows
// one web view, on a virtual clock, with the log quiet.
#pragma once

#include "platform/core/Log.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/Window.h"
#include "platform/web/WebView.h"
#include "runtime/HYBCommandDelegate.h"

#include <memory>
#include <string_view>

namespace fuzzing {

struct PluginStage {
    platform::VirtualClock clock;
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::ViewController> controller = std::make_shared<platform::ViewController>();
    std::shared_ptr<platform::WebView> webView;

    PluginStage() {
        platform::Log::setCaptureHook([](std::string_view) {});
        clock.install();
        window = platform::Window::create(platform::Screen::main().bounds());
        window->setRootViewController(controller);
        window->makeKeyAndVisible();
        webView = platform::WebView::create(controller->view()->bounds());
        controller->view()->addSubview(webView);
    }

    // A plug-in on the stage's web view and controller, answering to `delegate`, initialised.
    template <class Plugin>
    std::shared_ptr<Plugin> attach(const std::shared_ptr<runtime::HYBCommandDelegate>& delegate) {
        auto plugin = std::make_shared<Plugin>(webView);
        plugin->setViewController(controller);
        plugin->setCommandDelegate(delegate);
        plugin->pluginInitialize();
        return plugin;
    }
};

} // namespace fuzzing
