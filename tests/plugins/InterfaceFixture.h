// Runs an interface plug-in the way the application shows it: a key window whose root view controller's
// view holds the plug-in's web view, on a phone screen of 320 x 568 points, with the platform clock
// virtual (animations and dismissals advance with clock.advance) and the page's scripts recorded.
#pragma once

#include "PluginFixture.h"

#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/KeyboardManager.h"
#include "platform/ui/Screen.h"
#include "platform/ui/ViewAnimation.h"
#include "platform/ui/ViewController.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"
#include "platform/web/WebView.h"
#include "support/Snapshot.h"

#include <memory>

namespace pluginstest {

// A root controller whose supported orientations a test chooses.
class RootController : public platform::ViewController {
public:
    platform::InterfaceOrientationMask supportedInterfaceOrientations() override { return mask; }
    platform::InterfaceOrientationMask mask = platform::kInterfaceOrientationMaskAllButUpsideDown;
};

template <class Plugin>
class InterfaceTest : public PluginTest<Plugin> {
protected:
    InterfaceTest() {
        clock.install();
        platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Phone);
        platform::Screen::main().setBounds(platform::Rect(0, 0, 320, 568));
        platform::ViewAnimation::clearRecords();
        window = platform::Window::create(platform::Screen::main().bounds());
        window->setBackgroundColor(platform::Color::white());
        window->setRootViewController(controller);
        window->makeKeyAndVisible();
        controller->view()->setFrame(window->bounds());
        this->m_webView->setFrame(controller->view()->bounds());
        controller->view()->addSubview(this->m_webView);
    }
    ~InterfaceTest() override {
        if (this->m_plugin)
            this->m_plugin->dispose();
        window->endEditing(true);
        this->m_webView->endEditing(true);
        settle();
        window->setHidden(true);
        platform::Device::current().resetToDefaults();
        platform::Screen::main().resetToDefaults();
        clock.uninstall();
    }

    // Makes and starts the plug-in for the controller (before its first action).
    Plugin& start() {
        if (!this->m_plugin) {
            this->m_plugin = std::make_shared<Plugin>(this->m_webView);
            this->m_plugin->setViewController(controller);
            this->m_plugin->setCommandDelegate(this->m_log);
            this->m_plugin->pluginInitialize();
        }
        return *this->m_plugin;
    }
    // Lets queued main-loop work and running animations finish.
    void settle(double seconds = 1) { clock.advance(seconds); }

    // What the screen shows: every shown window by level.
    void expectScreen(const std::string& name) {
        hybtest::expectScreenSnapshot(window->frame(), name);
    }

    platform::VirtualClock clock;
    std::shared_ptr<RootController> controller = std::make_shared<RootController>();
    std::shared_ptr<platform::Window> window;
};

} // namespace pluginstest
