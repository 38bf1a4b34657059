#include "platform/device/CaptureDevice.h"
#include "platform/device/CaptureMetadataOutput.h"
#include "platform/device/CaptureSession.h"
#include "platform/device/CaptureVideoDataOutput.h"
#include "platform/device/CaptureVideoPreviewLayer.h"
#include "platform/device/CodeRecognizer.h"
#include "platform/device/FrameSource.h"
#include "platform/device/ImagePickerSources.h"

#include "platform/files/FileManager.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/View.h"
#include "support/DeviceServices.h"
#include "support/LogCapture.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

using namespace platform;

namespace {

constexpr double kFrame = 1.0 / 30;

// Records frames; while `hold` is set, the first frame keeps the delegate busy until release().
class FrameRecorder : public CaptureVideoDataOutputSampleBufferDelegate {
public:
    void captureOutput(CaptureOutput&, const SampleBuffer& buffer, CaptureConnection&) override {
        buffer.lockBaseAddress();
        {
            std::lock_guard lock(m_mutex);
            widths.push_back(buffer.width());
            heights.push_back(buffer.height());
            rows.push_back(buffer.bytesPerRow());
            formats.push_back(buffer.pixelFormatType());
            times.push_back(buffer.presentationTime());
            codes = recognizeCodes(buffer.baseAddress(), buffer.width(), buffer.height(), buffer.bytesPerRow(), {kMetadataObjectTypeQRCode});
            const std::uint8_t* base = buffer.baseAddress();
            const std::uint8_t* middle = base ? base + buffer.bytesPerRow() * (buffer.height() / 2) + 4 * (buffer.width() / 2) : nullptr;
            corner = base ? std::vector<std::uint8_t>(base, base + 4) : std::vector<std::uint8_t>{};
            centre = middle ? std::vector<std::uint8_t>(middle, middle + 4) : std::vector<std::uint8_t>{};
        }
        buffer.unlockBaseAddress();
        std::unique_lock lock(m_mutex);
        m_released.wait(lock, [&] { return !hold; });
        ++handled;
    }
    void release() {
        std::lock_guard lock(m_mutex);
        hold = false;
        m_released.notify_all();
    }

    bool hold = false;
    std::atomic<int> handled{0};
    std::vector<int> widths, heights;
    std::vector<std::size_t> rows;
    std::vector<std::uint32_t> formats;
    std::vector<double> times;
    std::vector<RecognizedCode> codes;
    std::vector<std::uint8_t> corner, centre;

private:
    std::mutex m_mutex;
    std::condition_variable m_released;
};

class CodeRecorder : public CaptureMetadataOutputObjectsDelegate {
public:
    void captureOutput(CaptureOutput&, const std::vector<MetadataMachineReadableCodeObject>& objects, CaptureConnection&) override {
        batches.push_back(objects);
    }
    std::vector<std::vector<MetadataMachineReadableCodeObject>> batches;
};

class CaptureTest : public hybtest::TempHomeTest {
protected:
    CaptureTest() {
        hybtest::resetDeviceServices();
        CaptureDevice::resetToDefaults();
        CaptureSession::setUnsupportedPresets({});
        clock.install();
    }
    ~CaptureTest() override {
        CaptureDevice::resetToDefaults();
        CaptureSession::setUnsupportedPresets({});
    }

    static void useBackCamera(std::shared_ptr<FrameSource> frames, int width = 480, int height = 360) {
        CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Back, std::move(frames), 30, width, height}});
    }
    static std::shared_ptr<CaptureSession> sessionOn(const std::shared_ptr<CaptureDevice>& device) {
        auto session = CaptureSession::create();
        auto input = CaptureDeviceInput::create(device);
        EXPECT_TRUE(input);
        EXPECT_TRUE(session->addInput(*input));
        return session;
    }

    VirtualClock clock;
};

} // namespace

TEST_F(CaptureTest, AQRFrameIsDeliveredInBGRAAtTheDevicesRateAndLateFramesAreDropped) {
    useBackCamera(FrameSource::still(*FrameSource::testCard("qr:hybrid scan")));
    auto device = CaptureDevice::defaultDevice(kMediaTypeVideo);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->position(), CaptureDevicePosition::Back);
    auto session = sessionOn(device);
    auto output = CaptureVideoDataOutput::create();
    EXPECT_EQ(output->videoSettings()[kPixelBufferPixelFormatTypeKey], Value(0x42475241));
    EXPECT_FALSE(output->setVideoSettings(Dictionary{{kPixelBufferPixelFormatTypeKey, 0x34323076}}));
    ASSERT_TRUE(output->setVideoSettings(Dictionary{{kPixelBufferPixelFormatTypeKey, kPixelFormatType32BGRA}}));
    EXPECT_TRUE(output->alwaysDiscardsLateVideoFrames());
    auto recorder = std::make_shared<FrameRecorder>();
    recorder->hold = true;
    output->setSampleBufferDelegate(recorder, DispatchQueue::createSerial("test frames"));
    ASSERT_TRUE(session->canAddOutput(output));
    ASSERT_TRUE(session->addOutput(output));
    EXPECT_FALSE(session->canAddOutput(output));

    session->startRunning();
    EXPECT_TRUE(session->isRunning());
    clock.advance(kFrame);
    EXPECT_EQ(output->deliveredFrameCount(), 1u);
    // The delegate is still busy with the first frame: the next nine are dropped.
    clock.advance(9 * kFrame);
    EXPECT_EQ(session->frameCount(), 10u);
    EXPECT_EQ(output->deliveredFrameCount(), 1u);
    EXPECT_EQ(output->droppedFrameCount(), 9u);
    recorder->release();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->handled == 1; }));
    clock.advance(kFrame);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->handled == 2; }));

    EXPECT_EQ(recorder->widths, (std::vector<int>{480, 480}));
    EXPECT_EQ(recorder->heights, (std::vector<int>{360, 360}));
    EXPECT_EQ(recorder->rows, (std::vector<std::size_t>{1920, 1920}));
    EXPECT_EQ(recorder->formats[0], kPixelFormatType32BGRA);
    EXPECT_NEAR(recorder->times[1] - recorder->times[0], 10 * kFrame, 1e-6);
    // The portrait card fills the landscape frame after its quarter turn: its white margin is in the corner.
    EXPECT_EQ(recorder->corner, (std::vector<std::uint8_t>{255, 255, 255, 255}));
    ASSERT_EQ(recorder->codes.size(), 1u);
    EXPECT_EQ(recorder->codes[0].stringValue, "hybrid scan");

    session->stopRunning();
    EXPECT_FALSE(session->isRunning());
    clock.advance(10 * kFrame);
    EXPECT_EQ(session->frameCount(), 11u);
}

TEST_F(CaptureTest, WithoutDiscardingLateFramesAFewWaitAndTheRestAreDropped) {
    auto pushed = std::make_shared<PushedFrameSource>();
    useBackCamera(pushed, 64, 48);
    auto session = sessionOn(CaptureDevice::defaultDevice(kMediaTypeVideo));
    auto output = CaptureVideoDataOutput::create();
    output->setAlwaysDiscardsLateVideoFrames(false);
    auto recorder = std::make_shared<FrameRecorder>();
    recorder->hold = true;
    output->setSampleBufferDelegate(recorder, DispatchQueue::createSerial("test frames"));
    session->addOutput(output);
    session->startRunning();
    // Frames come only while pictures are pushed.
    clock.advance(3 * kFrame);
    EXPECT_EQ(session->frameCount(), 3u);
    EXPECT_EQ(output->deliveredFrameCount(), 0u);
    Image::Ptr picture = Image::solidColor(Color::fromRGBA255(255, 0, 0), {10, 20});
    for (int i = 0; i < 8; ++i)
        pushed->push(picture);
    clock.advance(8 * kFrame);
    EXPECT_EQ(pushed->pendingCount(), 0u);
    EXPECT_EQ(output->deliveredFrameCount(), 1u + kMaxLateVideoFrames - 1);
    EXPECT_EQ(output->droppedFrameCount(), 8u - kMaxLateVideoFrames);
    recorder->release();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->handled == kMaxLateVideoFrames; }));
    // Bytes blue, green, red, alpha: the red picture in the middle, black bars around it.
    EXPECT_EQ(recorder->centre, (std::vector<std::uint8_t>{0, 0, 255, 255}));
    EXPECT_EQ(recorder->corner, (std::vector<std::uint8_t>{0, 0, 0, 255}));
}

TEST_F(CaptureTest, TheMetadataOutputReportsRequestedCodeTypesOnly) {
    useBackCamera(FrameSource::fromDescription("ean13:4006381333931"));
    auto session = sessionOn(CaptureDevice::defaultDevice(kMediaTypeVideo));
    auto output = CaptureMetadataOutput::create();
    EXPECT_TRUE(output->availableMetadataObjectTypes().empty());  // not in a session yet
    EXPECT_FALSE(output->setMetadataObjectTypes({kMetadataObjectTypeQRCode}));
    ASSERT_TRUE(session->addOutput(output));
    EXPECT_FALSE(output->setMetadataObjectTypes({"org.example.Unknown"}));
    ASSERT_TRUE(output->setMetadataObjectTypes({kMetadataObjectTypeQRCode, kMetadataObjectTypeEAN13Code,
                                                kMetadataObjectTypeEAN8Code, kMetadataObjectTypeCode128Code}));
    auto recorder = std::make_shared<CodeRecorder>();
    output->setMetadataObjectsDelegate(recorder, DispatchQueue::main());
    session->startRunning();
    clock.advance(kFrame);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !recorder->batches.empty(); }));
    ASSERT_EQ(recorder->batches[0].size(), 1u);
    EXPECT_EQ(recorder->batches[0][0].type, kMetadataObjectTypeEAN13Code);
    EXPECT_EQ(recorder->batches[0][0].stringValue, "4006381333931");
    session->stopRunning();

    // Only QR codes requested: the EAN-13 card gives nothing.
    auto qrOnly = sessionOn(CaptureDevice::defaultDevice(kMediaTypeVideo));
    auto quiet = CaptureMetadataOutput::create();
    qrOnly->addOutput(quiet);
    ASSERT_TRUE(quiet->setMetadataObjectTypes({kMetadataObjectTypeQRCode}));
    auto none = std::make_shared<CodeRecorder>();
    quiet->setMetadataObjectsDelegate(none, DispatchQueue::main());
    qrOnly->startRunning();
    clock.advance(kFrame);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return quiet->examinedFrameCount() >= 1; }));
    clock.advance(kFrame);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return quiet->examinedFrameCount() >= 2; }));
    EXPECT_TRUE(none->batches.empty());
}

TEST_F(CaptureTest, CamerasAreConfigurableAndInputsCanFail) {
    // Back and front by default.
    auto all = CaptureDevice::devices(kMediaTypeVideo);
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[1]->position(), CaptureDevicePosition::Front);
    EXPECT_TRUE(CaptureDevice::devices(kMediaTypeAudio).empty());

    // Back only: no front device.
    useBackCamera(nullptr);
    all = CaptureDevice::devices(kMediaTypeVideo);
    ASSERT_EQ(all.size(), 1u);
    for (const auto& d : all)
        EXPECT_NE(d->position(), CaptureDevicePosition::Front);
    EXPECT_TRUE(ImagePickerSources::isSourceTypeAvailable(ImagePickerSourceType::Camera));

    // None: no default device, no camera source, and an input for no device fails.
    CaptureDevice::setCameras({});
    EXPECT_EQ(CaptureDevice::defaultDevice(kMediaTypeVideo), nullptr);
    EXPECT_FALSE(ImagePickerSources::isSourceTypeAvailable(ImagePickerSourceType::Camera));
    EXPECT_FALSE(CaptureDeviceInput::create(nullptr));

    // Front only: the default device is the front one. Duplicate positions keep the first.
    CaptureDevice::setCameras({CameraConfiguration{CaptureDevicePosition::Front}, CameraConfiguration{CaptureDevicePosition::Front, nullptr, 1000, 5, 5}});
    ASSERT_EQ(CaptureDevice::devices(kMediaTypeVideo).size(), 1u);
    EXPECT_EQ(CaptureDevice::defaultDevice(kMediaTypeVideo)->position(), CaptureDevicePosition::Front);

    CaptureDevice::setInputCreationFails(true);
    Result<std::shared_ptr<CaptureDeviceInput>> input = CaptureDeviceInput::create(CaptureDevice::defaultDevice(kMediaTypeVideo));
    ASSERT_FALSE(input);
    EXPECT_EQ(input.error().domain, kCaptureErrorDomain);
}

TEST_F(CaptureTest, SessionsTakeKnownPresetsOneInputAndOutputsOfTheirOwn) {
    auto session = CaptureSession::create();
    EXPECT_EQ(session->sessionPreset(), kCaptureSessionPresetHigh);
    EXPECT_TRUE(session->canSetSessionPreset(kCaptureSessionPresetMedium));
    EXPECT_TRUE(session->setSessionPreset(kCaptureSessionPreset640x480));
    EXPECT_FALSE(session->setSessionPreset("AVCaptureSessionPresetHuge"));
    EXPECT_EQ(session->sessionPreset(), kCaptureSessionPreset640x480);
    CaptureSession::setUnsupportedPresets({kCaptureSessionPresetMedium});
    EXPECT_FALSE(session->canSetSessionPreset(kCaptureSessionPresetMedium));

    auto first = *CaptureDeviceInput::create(CaptureDevice::defaultDevice(kMediaTypeVideo));
    auto second = *CaptureDeviceInput::create(CaptureDevice::devices(kMediaTypeVideo)[1]);
    EXPECT_TRUE(session->addInput(first));
    EXPECT_FALSE(session->canAddInput(second));
    EXPECT_FALSE(session->canAddInput(nullptr));
    session->removeInput(first);
    EXPECT_TRUE(session->addInput(second));
    EXPECT_EQ(session->device()->position(), CaptureDevicePosition::Front);

    auto output = CaptureMetadataOutput::create();
    ASSERT_TRUE(session->addOutput(output));
    auto other = CaptureSession::create();
    EXPECT_FALSE(other->canAddOutput(output));
    session->removeOutput(output);
    EXPECT_TRUE(other->addOutput(output));
    EXPECT_TRUE(output->availableMetadataObjectTypes().empty());  // the other session has no camera
}

TEST_F(CaptureTest, ThePreviewLayerShowsTheLatestFrameTurnedForItsOrientation) {
    useBackCamera(FrameSource::still(Image::solidColor(Color::fromRGBA255(0, 0, 255), {30, 40})), 64, 48);
    auto session = sessionOn(CaptureDevice::defaultDevice(kMediaTypeVideo));
    auto layer = CaptureVideoPreviewLayer::create(session);
    EXPECT_EQ(layer->currentImage(), nullptr);
    EXPECT_EQ(layer->contentsMode(), ContentMode::ScaleAspectFit);
    layer->setVideoGravity(kLayerVideoGravityResizeAspectFill);
    EXPECT_EQ(layer->contentsMode(), ContentMode::ScaleAspectFill);
    layer->setVideoGravity("AVLayerVideoGravitySideways");
    EXPECT_EQ(layer->videoGravity(), kLayerVideoGravityResizeAspectFill);
    session->startRunning();
    clock.advance(kFrame);
    Image::Ptr shown = layer->currentImage();
    ASSERT_TRUE(shown);
    EXPECT_EQ(shown->orientation(), ImageOrientation::Right);
    EXPECT_EQ(shown->size(), (Size{48, 64}));  // the landscape frame, shown upright
    // The upright 30 x 40 picture fills the frame's height after its quarter turn: the middle is blue.
    Image::Ptr upright = shown->upright();
    EXPECT_EQ(upright->pixelAt(24, 32), Color::fromRGBA255(0, 0, 255));
    layer->setOrientation(3);
    EXPECT_EQ(layer->currentImage()->size(), (Size{64, 48}));
    layer->setOrientation(7);
    EXPECT_EQ(layer->orientation(), CaptureVideoOrientation::LandscapeRight);
    unsigned long long before = layer->generation();
    clock.advance(kFrame);
    EXPECT_GT(layer->generation(), before);
}

TEST_F(CaptureTest, FrameSourcesFromDescriptions) {
    hybtest::LogCapture log;
    auto missing = FrameSource::fromDescription("no-such-picture.png", m_home.root());
    EXPECT_FALSE(missing->hasFrames());
    EXPECT_EQ(missing->pictureForFrame(0, 30), nullptr);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.contains("no-such-picture.png"));
    log.clear();
    EXPECT_FALSE(FrameSource::fromDescription("ean13:12345")->hasFrames());
    EXPECT_FALSE(FrameSource::fromDescription("pdf:whatever", m_home.root())->hasFrames());
    EXPECT_EQ(log.lines().size(), 2u);

    // A folder: its pictures by name, one second each.
    const std::string folder = m_home.root() + "/frames";
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(folder, true));
    ASSERT_TRUE(Image::solidColor(Color::white(), {4, 4})->writePNG(folder + "/b.png"));
    ASSERT_TRUE(Image::solidColor(Color::black(), {2, 2})->writePNG(folder + "/a.png"));
    ASSERT_TRUE(FileManager::defaultManager().createFile(folder + "/notes.txt", Bytes{'x'}));
    auto inTurn = FrameSource::fromDescription("frames", m_home.root());
    ASSERT_TRUE(inTurn->hasFrames());
    EXPECT_EQ(inTurn->pictureForFrame(0, 30)->pixelWidth(), 2);
    EXPECT_EQ(inTurn->pictureForFrame(29, 30)->pixelWidth(), 2);
    EXPECT_EQ(inTurn->pictureForFrame(30, 30)->pixelWidth(), 4);
    EXPECT_EQ(inTurn->pictureForFrame(60, 30)->pixelWidth(), 2);

    // A corrupt file in the folder: no frames, one line.
    ASSERT_TRUE(FileManager::defaultManager().createFile(folder + "/c.jpg", Bytes{0xFF, 0xD8, 0xFF, 0x00}));
    log.clear();
    EXPECT_FALSE(FrameSource::fromDescription(folder)->hasFrames());
    EXPECT_EQ(log.lines().size(), 1u);

    // A test card is portrait and white around its code.
    Image::Ptr card = *FrameSource::testCard("qr:card");
    EXPECT_EQ(card->pixelWidth(), kTestCardWidth);
    EXPECT_EQ(card->pixelHeight(), kTestCardHeight);
    EXPECT_EQ(card->pixelAt(5, 5), Color::white());

    // A camera's test card is the same card, drawn once, at its first frame.
    auto described = FrameSource::fromDescription("qr:card");
    ASSERT_TRUE(described->hasFrames());
    Image::Ptr first = described->pictureForFrame(0, 30);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->rgbaPixels(), card->rgbaPixels());
    EXPECT_EQ(described->pictureForFrame(1, 30), first);
}
