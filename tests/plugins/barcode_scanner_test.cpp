#include "InterfaceFixture.h"

#include "platform/application/Application.h"
#include "platform/system/Bundle.h"
#include "platform/core/Log.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/device/CaptureDevice.h"
#include "platform/device/FrameSource.h"
#include "platform/device/PlatformClasses.h"
#include "platform/ui/BarButtonItem.h"
#include "platform/ui/ImageView.h"
#include "platform/ui/Label.h"
#include "platform/ui/TouchDriver.h"
#include "platform/ui/Toolbar.h"
#include "plugins/HYBBarcodeScanner.h"
#include "plugins/HYBbcsProcessor.h"
#include "plugins/HYBbcsViewController.h"
#include "runtime/HYBScreenOrientationDelegate.h"
#include "support/SourceTree.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <mutex>

using namespace platform;
using Plugin = plugins::HYBBarcodeScanner;
using plugins::HYBbcsScanScreen;

namespace {

constexpr double kFrame = 1.0 / 30;

class BarcodeScannerTest : public pluginstest::InterfaceTest<Plugin> {
protected:
    BarcodeScannerTest() {
        previousHook = Log::setCaptureHook([this](std::string_view line) {
            std::lock_guard<std::mutex> lock(logMutex);
            logLines.emplace_back(line);
        });
        useCameras("qr:Hello from the scanner", "ean13:4006381333931");
        for (const char* image : {"nav_back.png", "bar-background.png"})
            m_home.writeBundleFile(image, hybtest::readSourceFile(std::string("app/bundle/") + image));
    }
    ~BarcodeScannerTest() override {
        if (auto open = screen())
            open->cancelButtonPressed();
        settle(3);  // scans end, processors are released
        Log::setCaptureHook(previousHook);
    }

    static void useCameras(const std::string& back, const std::string& front) {
        std::vector<CameraConfiguration> cameras;
        if (!back.empty())
            cameras.push_back({CaptureDevicePosition::Back, FrameSource::fromDescription(back), 30, 480, 360});
        if (!front.empty())
            cameras.push_back({CaptureDevicePosition::Front, FrameSource::fromDescription(front), 30, 480, 360});
        CaptureDevice::setCameras(std::move(cameras));
    }
    std::vector<std::string> log() {
        std::lock_guard<std::mutex> lock(logMutex);
        return logLines;
    }
    bool logged(const std::string& line) {
        auto lines = log();
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }

    // The scan screen on top of the root controller, if any.
    std::shared_ptr<HYBbcsScanScreen> screen() {
        return std::dynamic_pointer_cast<HYBbcsScanScreen>(controller->presentedViewController());
    }
    // Starts a scan and lets its screen come up (1 s, then the presentation).
    std::shared_ptr<HYBbcsScanScreen> openScan(platform::Array arguments = {}, const std::string& callbackId = "cb") {
        start();
        call("scan", std::move(arguments), callbackId);
        return waitForScreen();
    }
    // Lets the next scan screen come up. Frames decoded here may end the scan as soon as the screen has
    // appeared: the screen seen is kept.
    std::shared_ptr<HYBbcsScanScreen> waitForScreen() {
        std::shared_ptr<HYBbcsScanScreen> shown;
        for (int step = 0; step < 40 && !shown; ++step) {
            clock.advance(0.05);
            shown = screen();
        }
        settle(0.5);
        return shown;
    }
    // Lets camera frames come until `count` answers are in.
    bool scanUntilAnswered(std::size_t count) {
        for (int frame = 0; frame < 60 && answers().size() < count; ++frame) {
            clock.advance(kFrame);
            hybtest::runMainUntil([&] { return answers().size() >= count; }, std::chrono::milliseconds(300));
        }
        return answers().size() >= count;
    }
    static Dictionary result(const std::string& text, const std::string& format, int cancelled) {
        return Dictionary{{"text", text}, {"format", format}, {"cancelled", cancelled}};
    }
    void expectResult(std::size_t index, const Dictionary& expected, const std::string& callbackId = "cb") {
        ASSERT_LT(index, answers().size());
        EXPECT_EQ(answers()[index].status(), runtime::HYBCommandStatus::Ok);
        EXPECT_EQ(answers()[index].message(), Value(expected));
        EXPECT_EQ(answers()[index].callbackId, callbackId);
    }
    void expectError(std::size_t index, const std::string& message, const std::string& callbackId = "cb") {
        ASSERT_LT(index, answers().size());
        EXPECT_EQ(answers()[index].status(), runtime::HYBCommandStatus::Error);
        EXPECT_EQ(answers()[index].message(), Value(message));
        EXPECT_EQ(answers()[index].callbackId, callbackId);
    }

    Log::Hook previousHook;
    std::mutex logMutex;
    std::vector<std::string> logLines;
};

} // namespace

TEST_F(BarcodeScannerTest, FromSystemSevenThePlatformRecognitionReadsTheCode) {
    Device::current().setSystemVersion("7.0");
    auto scanScreen = openScan();
    ASSERT_TRUE(scanScreen);
    EXPECT_TRUE(std::dynamic_pointer_cast<plugins::HYBbcsMetaDataViewController>(scanScreen));
    EXPECT_TRUE(logged("ios7使用原生api..."));
    auto processor = scanScreen->processor();
    ASSERT_TRUE(std::dynamic_pointer_cast<plugins::HYBbcsMetaDataProcessor>(processor));
    EXPECT_EQ(processor->captureSession()->sessionPreset(), kCaptureSessionPresetHigh);
    EXPECT_EQ(processor->captureSession()->isRunning(), answers().empty()) << "runs until the answer";
    ASSERT_TRUE(scanUntilAnswered(1));
    expectResult(0, result("Hello from the scanner", "QR_CODE", 0));
    EXPECT_FALSE(processor->captureSession()->isRunning());
    std::weak_ptr<plugins::HYBbcsScanProcessor> weak = processor;
    processor.reset();
    scanScreen.reset();
    settle(0.5);
    EXPECT_FALSE(screen()) << "dismissed";
    EXPECT_FALSE(weak.expired()) << "kept for a second after the scan";
    settle(0.6);
    EXPECT_TRUE(weak.expired()) << "released, no cycle";
    EXPECT_EQ(answers().size(), 1u);
}

TEST_F(BarcodeScannerTest, BelowSystemSevenTheFramesAreDecodedHere) {
    Device::current().setSystemVersion("6.1");
    auto scanScreen = openScan();
    ASSERT_TRUE(scanScreen);
    EXPECT_TRUE(std::dynamic_pointer_cast<plugins::HYBbcsViewController>(scanScreen));
    EXPECT_TRUE(logged("ios以下使用zxing..."));
    auto processor = scanScreen->processor();
    ASSERT_TRUE(std::dynamic_pointer_cast<plugins::HYBbcsProcessor>(processor));
    EXPECT_EQ(processor->captureSession()->sessionPreset(), kCaptureSessionPresetMedium);
    ASSERT_TRUE(scanUntilAnswered(1));
    expectResult(0, result("Hello from the scanner", "QR_CODE", 0));
    settle(3);
    EXPECT_EQ(answers().size(), 1u);
}

TEST_F(BarcodeScannerTest, EachPathAnswersTheFormatItRead) {
    useCameras("ean13:4006381333931", "");
    for (const char* version : {"7.0", "6.1"}) {
        Device::current().setSystemVersion(version);
        const std::size_t before = answers().size();
        ASSERT_TRUE(openScan()) << version;
        ASSERT_TRUE(scanUntilAnswered(before + 1)) << version;
        expectResult(before, result("4006381333931", "EAN_13", 0));
        settle(2);
    }
    EXPECT_EQ(plugins::HYBbcsMetaDataProcessor::formatNameOfType(kMetadataObjectTypeEAN8Code), "EAN_8");
    EXPECT_EQ(plugins::HYBbcsMetaDataProcessor::formatNameOfType(kMetadataObjectTypeCode128Code), "CODE_128");
    EXPECT_EQ(plugins::HYBbcsMetaDataProcessor::formatNameOfType("org.example.Other"), "???");
}

TEST_F(BarcodeScannerTest, CodesCountOnlyWhileTheScreenIsUpAndTheFirstOfABatchIsAnswered) {
    useCameras("", "");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    Device::current().setSystemVersion("7.0");
    start();
    call("scan");
    settle(0.5);  // set up, not yet presented
    std::shared_ptr<plugins::HYBbcsScanProcessor> processor;
    // The screen is not up yet: find the processor through the screen it made once it is presented.
    settle(1.0);
    ASSERT_TRUE(screen());
    processor = screen()->processor();
    auto metadata = std::dynamic_pointer_cast<plugins::HYBbcsMetaDataProcessor>(processor);
    ASSERT_TRUE(metadata);
    auto output = processor->captureSession()->outputs().at(0);
    const std::vector<MetadataMachineReadableCodeObject> batch = {
        {kMetadataObjectTypeEAN8Code, "96385074", {}}, {kMetadataObjectTypeQRCode, "second", {}}};

    processor->setCapturing(false);  // as before viewDidAppear
    metadata->captureOutput(*output, batch, output->connection());
    EXPECT_TRUE(answers().empty());
    processor->setCapturing(true);
    metadata->captureOutput(*output, {}, output->connection());
    EXPECT_TRUE(answers().empty()) << "an empty batch";
    metadata->captureOutput(*output, batch, output->connection());
    ASSERT_EQ(answers().size(), 1u);
    expectResult(0, result("96385074", "EAN_8", 0));
    // After the end: ignored, and the one answer stays one.
    metadata->captureOutput(*output, batch, output->connection());
    processor->barcodeScanCancelled();
    processor->barcodeScanFailed("late");
    EXPECT_EQ(answers().size(), 1u);
}

TEST_F(BarcodeScannerTest, TheBackItemCancelsWithAnEmptyResult) {
    useCameras("", "");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    for (const char* version : {"7.0", "6.1"}) {
        Device::current().setSystemVersion(version);
        const std::size_t before = answers().size();
        auto scanScreen = openScan({}, version);
        ASSERT_TRUE(scanScreen);
        auto backView = scanScreen->overlayParts().backItem->viewForBar();
        ASSERT_TRUE(TouchDriver::tap(*backView));
        ASSERT_TRUE(TouchDriver::tap(*backView) || true);  // a second tap answers nothing more
        settle();
        ASSERT_EQ(answers().size(), before + 1) << version;
        expectResult(before, result("", "", 1), version);
        EXPECT_FALSE(screen());
        settle(2);
    }
}

TEST_F(BarcodeScannerTest, TheBackItemTakesTapsAroundItsSmallArrow) {
    useCameras("", "");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    Device::current().setSystemVersion("7.0");
    auto scanScreen = openScan({});
    ASSERT_TRUE(scanScreen);
    auto backView = scanScreen->overlayParts().backItem->viewForBar();
    auto window = std::dynamic_pointer_cast<Window>(backView->rootView());
    ASSERT_TRUE(window);
    const Rect arrow = backView->convertRectTo(backView->bounds(), window.get());
    ASSERT_LT(arrow.width(), 20) << "the bundle's arrow is 13 points wide";
    // A finger beside the arrow, as far as 44 points around its centre reach, is on the back item.
    const Point beside{arrow.midX() + 20, arrow.midY() - 18};
    ASSERT_GT(beside.x, 14);
    EXPECT_EQ(TouchDriver::tapAt(window, beside), backView);
    settle();
    ASSERT_EQ(answers().size(), 1u);
    expectResult(0, result("", "", 1));

    // Farther along the bar, nothing is hit that answers.
    scanScreen = openScan({}, "again");
    ASSERT_TRUE(scanScreen);
    backView = scanScreen->overlayParts().backItem->viewForBar();
    window = std::dynamic_pointer_cast<Window>(backView->rootView());
    EXPECT_NE(TouchDriver::tapAt(window, Point{arrow.midX() + 30, arrow.midY()}), backView);
    settle();
    EXPECT_EQ(answers().size(), 1u);
}

TEST_F(BarcodeScannerTest, AFlipAnswersACancellationThenScansWithTheFrontCamera) {
    Device::current().setSystemVersion("6.1");
    useCameras("", "ean13:4006381333931");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360},
                               {CaptureDevicePosition::Front, FrameSource::fromDescription("ean13:4006381333931"), 30, 480, 360}});
    auto first = openScan();
    ASSERT_TRUE(first);
    auto processor = first->processor();
    first->flipCameraButtonPressed();
    settle(0.5);  // cancelled, dismissed, the new scan set up
    ASSERT_EQ(answers().size(), 1u);
    expectResult(0, result("", "", 1));
    EXPECT_TRUE(processor->isFrontCamera());
    EXPECT_FALSE(processor->isFlipped());
    ASSERT_TRUE(processor->captureSession());
    EXPECT_EQ(processor->captureSession()->device()->position(), CaptureDevicePosition::Front);
    auto second = waitForScreen();
    ASSERT_TRUE(second);
    EXPECT_NE(second, first);
    EXPECT_EQ(second->processor(), processor);
    ASSERT_TRUE(scanUntilAnswered(2));
    expectResult(1, result("4006381333931", "EAN_13", 0));
}

TEST_F(BarcodeScannerTest, SetUpFailuresAnswerTheirMessagesToTheCallback) {
    Device::current().setSystemVersion("7.0");
    // A flip without a front camera: the second scan's input fails.
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    auto first = openScan();
    ASSERT_TRUE(first);
    first->flipCameraButtonPressed();
    settle(1.0);
    ASSERT_EQ(answers().size(), 2u);
    expectResult(0, result("", "", 1));
    expectError(1, "unable to obtain video capture device input");
    EXPECT_FALSE(screen());
    settle(2);

    // No camera at all.
    CaptureDevice::setCameras({});
    call("scan", {}, "none");
    settle();
    expectError(2, "unable to obtain video capture device", "none");

    // Inputs refused, and presets refused.
    CaptureDevice::resetToDefaults();
    CaptureDevice::setInputCreationFails(true);
    call("scan", {}, "input");
    settle();
    expectError(3, "unable to obtain video capture device input", "input");
    CaptureDevice::setInputCreationFails(false);
    CaptureSession::setUnsupportedPresets({kCaptureSessionPresetMedium});
    for (const char* version : {"7.0", "6.1"}) {
        Device::current().setSystemVersion(version);
        call("scan", {}, version);
        settle();
        expectError(answers().size() - 1, "unable to preset medium quality video capture", version);
    }
    CaptureSession::setUnsupportedPresets({});

    // The capture classes missing: refused at once.
    PlatformClasses::setPresent(kCaptureSessionClassName, false);
    call("scan", {}, "classes");
    ASSERT_EQ(answers().size(), 7u);
    expectError(6, "AVFoundation Framework not available", "classes");
    EXPECT_FALSE(screen());
}

TEST_F(BarcodeScannerTest, ASecondScanWhileOneIsOpenIsRefusedAtOnce) {
    Device::current().setSystemVersion("7.0");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    start();
    call("scan", {}, "first");
    call("scan", {}, "second");  // before the first is presented
    ASSERT_EQ(answers().size(), 1u);
    expectError(0, "a scan is already in progress", "second");
    settle(2);
    auto first = screen();
    ASSERT_TRUE(first);
    auto session = first->processor()->captureSession();
    call("scan", {}, "third");  // while it is up
    expectError(1, "a scan is already in progress", "third");
    EXPECT_EQ(screen(), first);
    first->cancelButtonPressed();
    settle();
    expectResult(2, result("", "", 1), "first");
    settle(2);
    // Once the screen went, a new scan runs.
    ASSERT_TRUE(openScan({}, "fourth"));
}

TEST_F(BarcodeScannerTest, EncodeIsNotSupported) {
    start();
    call("encode", {"text"});
    ASSERT_EQ(answers().size(), 1u);
    expectError(0, "encode function not supported");
}

TEST_F(BarcodeScannerTest, TheScreenLayoutFromSystemSeven) {
    Device::current().setSystemVersion("7.0");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    auto scanScreen = openScan();
    ASSERT_TRUE(scanScreen);
    const auto& parts = scanScreen->overlayParts();
    EXPECT_EQ(parts.overlay->frame(), Rect(0, 0, 320, 568));
    EXPECT_EQ(parts.reticle->frame(), Rect(0, 124, 320, 320));
    EXPECT_EQ(parts.margins[0]->frame(), Rect(0, 0, 320, 204));
    EXPECT_EQ(parts.margins[1]->frame(), Rect(0, 364, 320, 204));
    EXPECT_EQ(parts.margins[2]->frame(), Rect(0, 204, 80, 160));
    EXPECT_EQ(parts.margins[3]->frame(), Rect(240, 204, 80, 160));
    for (const auto& margin : parts.margins)
        EXPECT_EQ(margin->backgroundColor(), Color::fromRGBA(0, 0, 0, 0.375));
    EXPECT_EQ(parts.toolbar->frame(), Rect(0, 20, 320, 44));
    EXPECT_EQ(parts.barBackground->frame(), Rect(0, 0, 320, 64));
    EXPECT_EQ(parts.titleLabel->text(), "扫一扫");
    EXPECT_EQ(parts.toolbar->items().size(), 5u);
    EXPECT_EQ(parts.toolbar->items()[0]->width(), -10);

    // The line: under the overlay, sweeping from y 214 to 354 at x 90, 140 wide, over 2 s eased in.
    auto line = scanScreen->readLineView();
    ASSERT_TRUE(line);
    EXPECT_EQ(line->frame(), Rect(90, 354, 140, 2));
    const auto& subviews = scanScreen->view()->subviews();
    EXPECT_EQ(subviews.back(), parts.overlay);
    const auto records = ViewAnimation::records();
    EXPECT_NE(std::find(records.begin(), records.end(), AnimationRecord{"", 2.0, 0, kAnimationOptionCurveEaseIn}), records.end());
    settle(2.0);
    EXPECT_NE(scanScreen->readLineView(), line) << "a new sweep began from the top";
    EXPECT_EQ(scanScreen->readLineView()->frame(), Rect(90, 354, 140, 2));

    // Portrait only; the status bar light.
    EXPECT_FALSE(scanScreen->shouldAutorotate());
    EXPECT_EQ(scanScreen->supportedInterfaceOrientations(), kInterfaceOrientationMaskPortrait);
    EXPECT_EQ(scanScreen->preferredInterfaceOrientationForPresentation(), InterfaceOrientation::Portrait);
    EXPECT_EQ(scanScreen->preferredStatusBarStyle(), StatusBarStyle::LightContent);

    // The sweep stops with the screen.
    scanScreen->cancelButtonPressed();
    settle(1);
    ViewAnimation::clearRecords();
    settle(5);
    EXPECT_TRUE(ViewAnimation::records().empty()) << "no sweep after the dismissal";
}

TEST_F(BarcodeScannerTest, BelowSystemSevenTheBarIsFortyFourHighAndMissingImagesLeaveItBare) {
    Device::current().setSystemVersion("6.1");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    auto scanScreen = openScan();
    ASSERT_TRUE(scanScreen);
    EXPECT_EQ(scanScreen->overlayParts().toolbar->frame(), Rect(0, 0, 320, 44));
    EXPECT_EQ(scanScreen->overlayParts().barBackground->frame(), Rect(0, 0, 320, 44));
    EXPECT_TRUE(scanScreen->overlayParts().backItem->image());
    ASSERT_TRUE(scanScreen->overlayParts().barBackground->backgroundColor());
    EXPECT_TRUE(scanScreen->overlayParts().barBackground->backgroundColor()->isPattern());
    scanScreen->cancelButtonPressed();
    settle(3);

    for (const char* image : {"nav_back.png", "bar-background.png"})
        std::filesystem::remove(Bundle::main().bundlePath() + "/" + image);
    logLines.clear();
    scanScreen = openScan();
    ASSERT_TRUE(scanScreen);
    EXPECT_FALSE(scanScreen->overlayParts().backItem->image());
    EXPECT_FALSE(scanScreen->overlayParts().barBackground->backgroundColor());
    EXPECT_EQ(log(), std::vector<std::string>{"ios以下使用zxing..."}) << "nothing reported";
}

TEST_F(BarcodeScannerTest, AlternateOverlaysComeFromTheirBuilders) {
    Device::current().setSystemVersion("7.0");
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, nullptr, 30, 480, 360}});
    auto custom = std::make_shared<View>(Rect(0, 0, 320, 568));
    plugins::HYBbcsOverlayRegistry::registerOverlay("Custom", [custom](HYBbcsScanScreen& owner) { owner.setOverlayView(custom); });
    plugins::HYBbcsOverlayRegistry::registerOverlay("Empty", [](HYBbcsScanScreen&) {});

    auto scanScreen = openScan({"Custom"});
    ASSERT_TRUE(scanScreen);
    EXPECT_EQ(scanScreen->alternateXib(), "Custom");
    EXPECT_EQ(scanScreen->view()->subviews().back(), custom);
    EXPECT_FALSE(scanScreen->overlayParts().overlay);
    scanScreen->cancelButtonPressed();
    settle(3);

    const std::string outletLine = "An error occurred loading the overlay xib.  It appears that the overlayView outlet is not set.";
    for (const char* name : {"Empty", "Unknown"}) {
        scanScreen = openScan({name});
        ASSERT_TRUE(scanScreen) << name;
        EXPECT_TRUE(logged(outletLine)) << name;
        // Only the camera picture and the scan line.
        ASSERT_EQ(scanScreen->view()->subviews().size(), 1u) << name;
        EXPECT_EQ(scanScreen->view()->subviews()[0], scanScreen->readLineView());
        EXPECT_EQ(scanScreen->view()->layer()->sublayers().at(0), scanScreen->processor()->previewLayer());
        scanScreen->cancelButtonPressed();
        settle(3);
        logLines.clear();
    }

    // Not a name: the built-in overlay, with a log line.
    scanScreen = openScan({Value(42)});
    ASSERT_TRUE(scanScreen);
    EXPECT_FALSE(scanScreen->alternateXib());
    EXPECT_TRUE(scanScreen->overlayParts().overlay);
    EXPECT_TRUE(logged("BarcodeScanner: the overlay name is not a string; the built-in overlay is used"));
    plugins::HYBbcsOverlayRegistry::registerOverlay("Custom", {});
    plugins::HYBbcsOverlayRegistry::registerOverlay("Empty", {});
}

TEST_F(BarcodeScannerTest, TheRotationQuestionGoesToTheOrientationDelegate) {
    class Delegate : public runtime::HYBScreenOrientationDelegate {
    public:
        InterfaceOrientationMask supportedInterfaceOrientations() override { return kInterfaceOrientationMaskPortrait; }
        bool shouldAutorotateToInterfaceOrientation(InterfaceOrientation o) override { return o == InterfaceOrientation::LandscapeLeft; }
        bool shouldAutorotate() override { return true; }
    };
    plugins::HYBbcsViewController scanScreen({}, std::nullopt);
    EXPECT_TRUE(scanScreen.shouldAutorotateToInterfaceOrientation(InterfaceOrientation::Portrait)) << "no delegate";
    auto delegate = std::make_shared<Delegate>();
    scanScreen.setOrientationDelegate(delegate);
    EXPECT_FALSE(scanScreen.shouldAutorotateToInterfaceOrientation(InterfaceOrientation::Portrait));
    EXPECT_TRUE(scanScreen.shouldAutorotateToInterfaceOrientation(InterfaceOrientation::LandscapeLeft));
    delegate.reset();
    EXPECT_TRUE(scanScreen.shouldAutorotateToInterfaceOrientation(InterfaceOrientation::Portrait)) << "held weakly";
}

TEST_F(BarcodeScannerTest, TheScanScreenOverATestFrame) {
    Device::current().setSystemVersion("7.0");
    auto frames = std::make_shared<PushedFrameSource>();
    CaptureDevice::setCameras({{CaptureDevicePosition::Back, frames, 30, 480, 360}});
    auto scanScreen = openScan();
    ASSERT_TRUE(scanScreen);
    scanScreen->processor()->setCapturing(false);  // the card's code must not end the scan
    frames->push(*FrameSource::testCard("qr:snapshot"));
    settle(1.0);  // the card shown; the line back at the top of a sweep
    ASSERT_EQ(screen(), scanScreen);
    expectScreen("barcode_scan_screen");
}

TEST_F(BarcodeScannerTest, DiagnosticImagesOfFramesAndSquaresGoToTheLibrary) {
    CaptureDevice camera({CaptureDevicePosition::Back, FrameSource::fromDescription("qr:dump"), 30, 480, 360});
    auto sample = camera.captureFrame(0, 0);
    ASSERT_TRUE(sample);
    Image::Ptr frame = plugins::HYBbcsProcessor::getImageFromSample(*sample);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->pixelWidth(), 480);
    EXPECT_EQ(frame->pixelHeight(), 360);

    plugins::GreySquare square{2, {0, 85, 170, 255}};
    Image::Ptr grey = plugins::HYBbcsProcessor::getImageFromLuminanceSource(square);
    ASSERT_TRUE(grey);
    EXPECT_EQ(grey->pixelWidth(), 2);
    EXPECT_EQ(grey->pixelAt(1, 0), Color::fromRGBA255(85, 85, 85));
    EXPECT_EQ(grey->pixelAt(1, 1), Color::white());
    EXPECT_FALSE(plugins::HYBbcsProcessor::getImageFromLuminanceSource(plugins::GreySquare{}));
    EXPECT_FALSE(plugins::HYBbcsProcessor::getImageFromLuminanceSource(plugins::GreySquare{3, {1, 2}}));

    plugins::HYBbcsProcessor::dumpImage(grey);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return log().size() >= 2; }));
    EXPECT_EQ(log()[0], "writing image to library: 2x2");
    EXPECT_EQ(log()[1].rfind("assets-library://", 0), 0u) << log()[1];
    ASSERT_EQ(PhotoLibrary().assets()->size(), 1u);

    PhotoLibrary::setAccessAllowed(false);
    plugins::HYBbcsProcessor::dumpImage(grey);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return log().size() >= 4; }));
    EXPECT_EQ(log()[3], "   error writing image to library");
    PhotoLibrary::setAccessAllowed(true);
}
