// The barcode scanner on the real engine with the sample bundle in the window host: the page's Scan
// button brings the scan screen over the page a second later, the simulated back camera's QR card is
// read and the page shows its text; a second scan, left by a click on the back item, answers cancelled.
#include "EngineHarness.h"
#include "PushBundle.h"
#include "HostInput.h"

#include "app/Plugins.h"
#include "platform/Application.h"
#include "platform/NotificationCenter.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "platform/ui/BarButtonItem.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Window.h"
#include "plugins/HYBbcsProcessor.h"
#include "plugins/HYBbcsViewController.h"
#include "runtime/AppDelegate.h"
#include "runtime/HYBApplicationMain.h"
#include "runtime/HYBHandleOpenURL.h"
#include "runtime/HYBURLProtocol.h"
#include "runtime/HYBViewController.h"
#include "support/DeviceServices.h"
#include "support/SourceTree.h"
#include "support/TempHome.h"
#include "webengine/WebKitGtkWebView.h"
#include "webengine/WindowHost.h"


namespace {

class BarcodeScannerOnEngineTest : public ::testing::Test {
protected:
    void SetUp() override {
        REQUIRE_DISPLAY();
        hybtest::resetDeviceServices();
        platform::Device::current().setSystemVersion("9.0");
        platform::CaptureDevice::setCameras(
            {{platform::CaptureDevicePosition::Back, platform::FrameSource::fromDescription("qr:Hello from the hybrid host"), 30, 640, 480}});
        for (const char* file : {"Info.plist", "config.xml", "config.plist", "www/index.html", "www/hybrid.js", "nav_back.png",
                                 "bar-background.png"})
            m_home.writeBundleFile(file, hybtest::readSourceFile(std::string("app/bundle/") + file));
        e2e::writeSamplePushFiles(m_home);
        platform::Application::shared().resetForTesting();
        runtime::HYBURLProtocol::resetForTesting();
        app::registerPlugins();
        webengine::WebKitGtkWebView::installAsEngine();
        platform::NotificationCenter::defaultCenter().addObserver(this, runtime::kHYBPageDidLoadNotification, nullptr,
                                                                  [this](const platform::Notification&) { ++m_loads; });
        m_launched = runtime::launchApplication(m_home.folders().bundle(), m_home.folders().home());
        ASSERT_TRUE(m_launched.ok()) << m_launched.error().localizedDescription();
        m_webView = std::static_pointer_cast<webengine::WebKitGtkWebView>(controller().webView());
        m_host = std::make_unique<webengine::WindowHost>(webengine::WindowHost::Kind::Offscreen);
        m_host->show();
        ASSERT_TRUE(e2e::waitUntil([&] { return m_loads > 0; }));
        ASSERT_TRUE(e2e::waitUntil([&] { return text("ready") == "deviceready"; }));
    }
    void TearDown() override {
        if (auto open = screen())
            open->cancelButtonPressed();
        e2e::waitUntil([&] { return !plugins::HYBbcsScanProcessor::scanIsOpen(); });
        platform::NotificationCenter::defaultCenter().removeObserver(this);
        m_host.reset();
        m_webView.reset();
        m_launched = platform::Error();
        platform::Application::shared().resetForTesting();
        platform::WebView::setFactory({});
        runtime::HYBURLProtocol::resetForTesting();
        platform::Screen::main().resetToDefaults();
        hybtest::resetDeviceServices();
    }

    runtime::HYBViewController& controller() { return *(*m_launched)->viewController(); }
    std::shared_ptr<plugins::HYBbcsScanScreen> screen() {
        if (!m_launched)
            return nullptr;
        return std::dynamic_pointer_cast<plugins::HYBbcsScanScreen>(controller().presentedViewController());
    }
    std::string eval(const std::string& script) { return m_webView->stringByEvaluatingJavaScriptFromString(script); }
    std::string text(const std::string& id) { return eval("document.getElementById('" + id + "').textContent"); }
    bool shows(const std::string& id, const std::string& part) {
        return e2e::waitUntil([&] { return text(id).find(part) != std::string::npos; });
    }

    hybtest::TempHome m_home;
    int m_loads = 0;
    platform::Result<std::shared_ptr<runtime::AppDelegate>> m_launched = platform::Error();
    std::shared_ptr<webengine::WebKitGtkWebView> m_webView;
    std::unique_ptr<webengine::WindowHost> m_host;
};

} // namespace

TEST_F(BarcodeScannerOnEngineTest, TheScanButtonReadsTheCameraCardAndTheBackItemCancels) {
    eval("document.getElementById('iface-scan').click(); 1");
    // The scan screen comes a second after the call, over the page.
    ASSERT_TRUE(e2e::waitUntil([&] { return plugins::HYBbcsScanProcessor::scanIsOpen(); }));
    EXPECT_FALSE(screen()) << "not before a second has passed";
    ASSERT_TRUE(shows("iface-scan-result", "Scan: Hello from the hybrid host (QR_CODE)"));
    ASSERT_TRUE(e2e::waitUntil([&] { return !screen() && !plugins::HYBbcsScanProcessor::scanIsOpen(); }));

    // The camera now sees nothing: the second scan stays up until the back item is clicked.
    platform::CaptureDevice::setCameras({{platform::CaptureDevicePosition::Back, nullptr, 30, 640, 480}});
    eval("document.getElementById('iface-scan').click(); 1");
    std::shared_ptr<plugins::HYBbcsScanScreen> second;
    ASSERT_TRUE(e2e::waitUntil([&] {
        second = screen();
        return second && second->processor() && second->processor()->capturing();
    }));
    std::shared_ptr<platform::View> back = second->overlayParts().backItem->viewForBar();
    const platform::Rect place = back->convertRectTo(back->bounds(), nullptr);
    ASSERT_GT(place.size.width, 0);
    e2e::click(*m_host, platform::Point{place.midX(), place.midY()});
    ASSERT_TRUE(shows("iface-scan-result", "Scan: cancelled 1"));
    ASSERT_TRUE(e2e::waitUntil([&] { return !screen(); }));
}
