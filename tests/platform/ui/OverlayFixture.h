// A phone screen under a virtual clock with a key window on it, for the tests of what shows over that
// window (alerts, action sheets, popovers, a web view's script dialogs): the whole screen as a snapshot,
// and whether a finger could reach a view.
#pragma once

#include "platform/runloop/VirtualClock.h"
#include "platform/system/Device.h"
#include "platform/ui/GraphicsContext.h"
#include "platform/ui/Screen.h"
#include "platform/ui/View.h"
#include "platform/ui/ViewRenderer.h"
#include "platform/ui/Window.h"

#include "support/Snapshot.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace platformtest {

class OverlayFixture : public ::testing::Test {
protected:
    void SetUp() override {
        clock.install();
        platform::Screen::main().setBounds(platform::Rect(0, 0, 320, 480));
        platform::Device::current().setUserInterfaceIdiom(platform::UserInterfaceIdiom::Phone);
        window = platform::Window::create(platform::Screen::main().bounds());
        window->setBackgroundColor(platform::Color::white());
        content = std::make_shared<platform::View>(window->bounds());
        window->addSubview(content);
        window->makeKeyAndVisible();
    }
    void TearDown() override {
        platform::Device::current().resetToDefaults();
        platform::Screen::main().resetToDefaults();
        clock.uninstall();
    }

    // What the screen shows: the key window with the overlay windows above it.
    void expectScreen(const std::string& name) {
        hybtest::expectScreenSnapshot(window->frame(), name);
    }

    // A finger on the view's centre would reach it (it is on screen, not hidden under another view).
    static bool reachable(platform::View& view) {
        auto root = std::dynamic_pointer_cast<platform::Window>(view.rootView());
        if (!root)
            return false;
        for (auto hit = root->hitTest(view.convertPointTo(view.bounds().center(), root.get())); hit; hit = hit->superview())
            if (hit.get() == &view)
                return true;
        return false;
    }

    platform::VirtualClock clock;
    std::shared_ptr<platform::Window> window;
    std::shared_ptr<platform::View> content;
};

} // namespace platformtest
