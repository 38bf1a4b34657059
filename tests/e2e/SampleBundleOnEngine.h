// The sample bundle on the real engine: written into a temporary home with its push files, launched with
// the application's own plug-ins and shown by an offscreen window host; the page is read by script.
#pragma once

#include "EngineHarness.h"
#include "PushBundle.h"

#include "app/Plugins.h"
#include "platform/application/Application.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Window.h"
#include "platform/web/WebView.h"
#include "runtime/AppDelegate.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/HYBURLProtocol.h"
#include "runtime/HYBViewController.h"
#include "support/SourceTree.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"
#include "webengine/WindowHost.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace e2e {

class SampleBundleOnEngine : public ::testing::Test {
protected:
    struct Setting {
        // Bundle files beyond the page, its script and the configuration files.
        std::vector<std::string> extraFiles;
        // Sets the main screen to a 375x667 phone before the launch.
        bool phoneScreen = true;
        // Hides the application's window once the host has gone.
        bool hideWindowOnTearDown = false;
    };

    explicit SampleBundleOnEngine(Setting setting) : m_setting(std::move(setting)) {}

    // Runs first in SetUp, before the bundle is written: devices, servers, overrides, extra observers.
    virtual void prepare() {}
    // Where the bundle's push endpoints point.
    virtual PushPorts pushPorts() { return {}; }
    // Runs at each page load, once `m_loads` counts it.
    virtual void didLoadPage() {}

    void SetUp() override
    {
        REQUIRE_DISPLAY();
        prepare();
        std::vector<std::string> files = {"Info.plist", "config.xml", "config.plist", "www/index.html", "www/hybrid.js"};
        files.insert(files.end(), m_setting.extraFiles.begin(), m_setting.extraFiles.end());
        for (const std::string& file : files)
            m_home.writeBundleFile(file, hybtest::readSourceFile("app/bundle/" + file));
        writeSamplePushFiles(m_home, pushPorts());
        if (m_setting.phoneScreen)
            platform::Screen::main().setBounds(platform::Rect(0, 0, 375, 667));
        platform::Application::shared().resetForTesting();
        runtime::HYBURLProtocol::resetForTesting();
        app::registerPlugins();
        webengine::WebKitGtkWebView::installAsEngine();
        platform::NotificationCenter::defaultCenter().addObserver(this, runtime::kHYBPageDidLoadNotification, nullptr,
                                                                  [this](const platform::Notification&) {
                                                                      ++m_loads;
                                                                      didLoadPage();
                                                                  });
    }
    void TearDown() override
    {
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        m_host.reset();
        if (m_setting.hideWindowOnTearDown && m_launched.ok() && (*m_launched)->window())
            (*m_launched)->window()->setHidden(true);
        m_webView.reset();
        m_launched = platform::Error();
        platform::Application::shared().resetForTesting();
        platform::WebView::setFactory({});
        runtime::HYBURLProtocol::resetForTesting();
        platform::Screen::main().resetToDefaults();
    }

    // Launches the sample bundle, shows it in the host and waits for its first page load.
    void open()
    {
        m_launched = runtime::launchApplication(m_home.folders().bundle(), m_home.folders().home());
        ASSERT_TRUE(m_launched.ok()) << m_launched.error().localizedDescription();
        m_webView = std::static_pointer_cast<webengine::WebKitGtkWebView>(controller().webView());
        m_host = std::make_unique<webengine::WindowHost>(webengine::WindowHost::Kind::Offscreen);
        m_host->show();
        ASSERT_TRUE(waitUntil([&] { return m_loads > 0; }));
    }
    // Opens and waits until the page's script is ready.
    void launch()
    {
        open();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(waitUntil([&] { return text("ready") == "deviceready"; }));
    }
    // Launches and waits until the launch image has gone and the page takes touches.
    void launchAndWaitForThePage()
    {
        launch();
        if (HasFatalFailure())
            return;
        ASSERT_TRUE(waitUntil([&] { return controller().view()->isUserInteractionEnabled(); }));
    }

    runtime::HYBViewController& controller() { return *(*m_launched)->viewController(); }
    std::string eval(const std::string& script) { return m_webView->stringByEvaluatingJavaScriptFromString(script); }
    std::string text(const std::string& id) { return eval("document.getElementById('" + id + "').textContent"); }
    bool shows(const std::string& id, const std::string& part)
    {
        return waitUntil([&] { return text(id).find(part) != std::string::npos; });
    }

    hybtest::TempHome m_home;
    int m_loads = 0;
    platform::Result<std::shared_ptr<runtime::AppDelegate>> m_launched = platform::Error();
    std::shared_ptr<webengine::WebKitGtkWebView> m_webView;
    std::unique_ptr<webengine::WindowHost> m_host;

private:
    Setting m_setting;
};

} // namespace e2e
