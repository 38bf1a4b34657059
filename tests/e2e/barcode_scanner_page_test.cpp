// The barcode scanner on the real engine with the sample bundle in the window host: the page's Scan
// button brings the scan screen over the page a second later, the simulated back camera's QR card is
// read and the page shows its text; a second scan, left by a click on the back item, answers cancelled.
#include "SampleBundleOnEngine.h"
#include "HostInput.h"

#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "platform/ui/BarButtonItem.h"
#include "plugins/HYBbcsProcessor.h"
#include "plugins/HYBbcsViewController.h"
#include "support/DeviceServices.h"


namespace {

class BarcodeScannerOnEngineTest : public e2e::SampleBundleOnEngine {
protected:
    BarcodeScannerOnEngineTest() : SampleBundleOnEngine({.extraFiles = {"nav_back.png", "bar-background.png"}, .phoneScreen = false}) {}

    void prepare() override {
        hybtest::resetDeviceServices();
        platform::Device::current().setSystemVersion("9.0");
        platform::CaptureDevice::setCameras(
            {{platform::CaptureDevicePosition::Back, platform::FrameSource::fromDescription("qr:Hello from the hybrid host"), 30, 640, 480}});
    }
    void SetUp() override {
        SampleBundleOnEngine::SetUp();
        if (!IsSkipped() && !HasFatalFailure())
            launch();
    }
    void TearDown() override {
        if (auto open = screen())
            open->cancelButtonPressed();
        e2e::waitUntil([&] { return !plugins::HYBbcsScanProcessor::scanIsOpen(); });
        SampleBundleOnEngine::TearDown();
        hybtest::resetDeviceServices();
    }

    std::shared_ptr<plugins::HYBbcsScanScreen> screen() {
        if (!m_launched)
            return nullptr;
        return std::dynamic_pointer_cast<plugins::HYBbcsScanScreen>(controller().presentedViewController());
    }
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
