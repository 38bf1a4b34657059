#include "plugins/HYBbcsProcessor.h"

#include "platform/core/Log.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/ui/ViewController.h"
#include "plugins/BarcodeFrameDecoder.h"
#include "plugins/HYBBarcodeScanner.h"
#include "plugins/HYBbcsViewController.h"
#include "runtime/HYBScreenOrientationDelegate.h"

namespace plugins {

namespace {

constexpr double kPresentDelay = 1.0;   // seconds from scanBarcode to the screen's presentation
constexpr double kReleaseDelay = 1.0;   // seconds from a scan's end to the processor's release
constexpr double kRescanDelay = 0.1;    // seconds from a camera switch to the new scan

// Processors whose scan is open (main thread).
int& openScans() {
    static int count = 0;
    return count;
}

} // namespace

HYBbcsScanProcessor::HYBbcsScanProcessor(std::shared_ptr<HYBBarcodeScanner> plugin, std::string callback,
                                         std::shared_ptr<platform::ViewController> parentViewController,
                                         std::optional<std::string> alternateXib)
    : m_plugin(std::move(plugin)),
      m_callback(std::move(callback)),
      m_parentViewController(parentViewController),
      m_alternateXib(std::move(alternateXib)) {
    ++openScans();
}

HYBbcsScanProcessor::~HYBbcsScanProcessor() {
    if (m_open)
        --openScans();
    if (m_captureSession)
        m_captureSession->stopRunning();
    if (m_viewController)
        m_viewController->stopScanLine();
}

bool HYBbcsScanProcessor::scanIsOpen() { return openScans() > 0; }

void HYBbcsScanProcessor::scanBarcode() {
    m_self = shared_from_this();
    m_scanRunning = true;
    if (std::optional<std::string> message = setUpCaptureSession()) {
        barcodeScanFailed(*message);
        return;
    }
    m_viewController = makeScreen();
    std::shared_ptr<platform::ViewController> host = m_plugin ? m_plugin->viewController() : nullptr;
    m_viewController->setOrientationDelegate(std::dynamic_pointer_cast<runtime::HYBScreenOrientationDelegate>(host));
    std::weak_ptr<HYBbcsScanProcessor> weak = weak_from_this();
    std::weak_ptr<HYBbcsScanScreen> screen = m_viewController;
    platform::DispatchQueue::main()->after(kPresentDelay, [weak, screen] {
        std::shared_ptr<HYBbcsScanProcessor> self = weak.lock();
        if (self && self->m_viewController && self->m_viewController == screen.lock())
            self->openDialog();
    });
}

void HYBbcsScanProcessor::openDialog() {
    std::shared_ptr<platform::ViewController> parent = parentViewController();
    if (!m_viewController)
        return;
    // Without a presenter, or when it already presents another screen, the scan could never be answered.
    if (!parent || !parent->presentViewController(m_viewController, true))
        barcodeScanFailed("unable to present the scan screen");
}

void HYBbcsScanProcessor::barcodeScanDone() {
    m_scanRunning = false;
    m_capturing = false;
    if (m_captureSession)
        m_captureSession->stopRunning();
    if (m_viewController) {
        m_viewController->stopScanLine();
        std::shared_ptr<platform::ViewController> parent = parentViewController();
        if (parent && parent->presentedViewController() == m_viewController)
            parent->dismissViewController(true);
        m_viewController = nullptr;
    }
    if (!m_isFlipped && m_open) {
        m_open = false;
        --openScans();
    }
    // The delayed block holds the last owner: the processor goes one second from now, unless a new scan
    // of it took ownership again by then.
    platform::DispatchQueue::main()->after(kReleaseDelay, [self = std::move(m_self)] {});
}

void HYBbcsScanProcessor::barcodeScanSucceeded(const std::string& text, const std::string& format) {
    if (!m_scanRunning)
        return;
    m_isFlipped = false;
    barcodeScanDone();
    if (m_plugin)
        m_plugin->returnSuccess(text, format, false, false, m_callback);
}

void HYBbcsScanProcessor::barcodeScanFailed(const std::string& message) {
    if (!m_scanRunning)
        return;
    m_isFlipped = false;
    barcodeScanDone();
    if (m_plugin)
        m_plugin->returnError(message, m_callback);
}

void HYBbcsScanProcessor::barcodeScanCancelled() {
    if (!m_scanRunning)
        return;
    barcodeScanDone();
    if (m_plugin)
        m_plugin->returnSuccess("", "", true, m_isFlipped, m_callback);
    if (m_isFlipped) {
        m_isFlipped = false;
        // The switch goes on: the next scan runs on the other camera.
        platform::DispatchQueue::main()->after(kRescanDelay, [self = shared_from_this()] { self->scanBarcode(); });
    }
}

void HYBbcsScanProcessor::flipCamera() {
    if (!m_scanRunning || m_isFlipped)
        return;
    m_isFlipped = true;
    m_isFrontCamera = !m_isFrontCamera;
    platform::DispatchQueue::main()->async([self = shared_from_this()] { self->barcodeScanCancelled(); });
}

std::optional<std::string> HYBbcsScanProcessor::openCamera(const std::optional<std::string>& preset,
                                                           std::shared_ptr<platform::CaptureInput>& input) {
    m_captureSession = platform::CaptureSession::create();
    if (preset)
        m_captureSession->setSessionPreset(*preset);
    std::shared_ptr<platform::CaptureDevice> device = chooseDevice();
    // A missing front camera fails at the input, as on the platform.
    if (!device && !m_isFrontCamera)
        return "unable to obtain video capture device";
    auto made = platform::CaptureDeviceInput::create(device);
    if (!made)
        return "unable to obtain video capture device input";
    input = *made;
    return std::nullopt;
}

std::shared_ptr<platform::CaptureDevice> HYBbcsScanProcessor::chooseDevice() const {
    if (!m_isFrontCamera)
        return platform::CaptureDevice::defaultDevice(platform::kMediaTypeVideo);
    std::shared_ptr<platform::CaptureDevice> front;
    for (const std::shared_ptr<platform::CaptureDevice>& device : platform::CaptureDevice::devices(platform::kMediaTypeVideo))
        if (device->position() == platform::CaptureDevicePosition::Front)
            front = device;
    return front;
}

std::optional<std::string> HYBbcsScanProcessor::joinSession(const std::shared_ptr<platform::CaptureInput>& input,
                                                            const std::shared_ptr<platform::CaptureOutput>& output) {
    if (!m_captureSession->canAddInput(input))
        return "unable to add video capture device input to session";
    m_captureSession->addInput(input);
    if (!m_captureSession->canAddOutput(output))
        return "unable to add video capture output to session";
    m_captureSession->addOutput(output);
    m_previewLayer = platform::CaptureVideoPreviewLayer::create(m_captureSession);
    std::weak_ptr<HYBbcsScanProcessor> weak = weak_from_this();
    std::weak_ptr<platform::CaptureSession> session = m_captureSession;
    platform::DispatchQueue::main()->async([weak, session] {
        // A scan that ended meanwhile (or moved to another session) does not start its camera again.
        std::shared_ptr<HYBbcsScanProcessor> self = weak.lock();
        std::shared_ptr<platform::CaptureSession> running = session.lock();
        if (self && running && self->m_scanRunning && self->m_captureSession == running)
            running->startRunning();
    });
    return std::nullopt;
}

// ---- codes from the platform's recognition ----

std::string HYBbcsMetaDataProcessor::formatNameOfType(const std::string& type) {
    if (type == platform::kMetadataObjectTypeQRCode)
        return formatStringFrom(static_cast<int>(BarcodeFormatNumber::QRCode));
    if (type == platform::kMetadataObjectTypeEAN13Code)
        return formatStringFrom(static_cast<int>(BarcodeFormatNumber::EAN13));
    if (type == platform::kMetadataObjectTypeEAN8Code)
        return formatStringFrom(static_cast<int>(BarcodeFormatNumber::EAN8));
    if (type == platform::kMetadataObjectTypeCode128Code)
        return formatStringFrom(static_cast<int>(BarcodeFormatNumber::Code128));
    return formatStringFrom(0);
}

std::optional<std::string> HYBbcsMetaDataProcessor::setUpCaptureSession() {
    std::shared_ptr<platform::CaptureInput> input;
    if (std::optional<std::string> message = openCamera(platform::kCaptureSessionPresetHigh, input))
        return message;
    std::shared_ptr<platform::CaptureMetadataOutput> output = platform::CaptureMetadataOutput::create();
    if (!output)
        return "unable to obtain video capture output";
    output->setMetadataObjectsDelegate(std::dynamic_pointer_cast<HYBbcsMetaDataProcessor>(shared_from_this()),
                                       platform::DispatchQueue::main());
    // Medium is only asked about: the session keeps the high preset.
    if (!captureSession()->canSetSessionPreset(platform::kCaptureSessionPresetMedium))
        return "unable to preset medium quality video capture";
    if (std::optional<std::string> message = joinSession(input, output))
        return message;
    if (!output->setMetadataObjectTypes({platform::kMetadataObjectTypeQRCode, platform::kMetadataObjectTypeEAN13Code,
                                         platform::kMetadataObjectTypeEAN8Code, platform::kMetadataObjectTypeCode128Code}))
        return "unable to obtain video capture output";
    return std::nullopt;
}

void HYBbcsMetaDataProcessor::captureOutput(platform::CaptureOutput&,
                                            const std::vector<platform::MetadataMachineReadableCodeObject>& metadataObjects,
                                            platform::CaptureConnection&) {
    if (!capturing() || metadataObjects.empty())
        return;
    const platform::MetadataMachineReadableCodeObject& first = metadataObjects.front();
    barcodeScanSucceeded(first.stringValue, formatNameOfType(first.type));
}

std::shared_ptr<HYBbcsScanScreen> HYBbcsMetaDataProcessor::makeScreen() {
    return std::make_shared<HYBbcsMetaDataViewController>(weak_from_this(), alternateXib());
}

// ---- frames decoded here ----

std::optional<std::string> HYBbcsProcessor::setUpCaptureSession() {
    std::shared_ptr<platform::CaptureInput> input;
    if (std::optional<std::string> message = openCamera(std::nullopt, input))
        return message;
    std::shared_ptr<platform::CaptureVideoDataOutput> output = platform::CaptureVideoDataOutput::create();
    if (!output)
        return "unable to obtain video capture output";
    const platform::Dictionary settings{
        {platform::kPixelBufferPixelFormatTypeKey, platform::kPixelFormatType32BGRA}};
    if (!output->setVideoSettings(settings))
        return "unable to obtain video capture output";
    output->setAlwaysDiscardsLateVideoFrames(true);
    output->setSampleBufferDelegate(std::dynamic_pointer_cast<HYBbcsProcessor>(shared_from_this()), platform::DispatchQueue::main());
    if (!captureSession()->setSessionPreset(platform::kCaptureSessionPresetMedium))
        return "unable to preset medium quality video capture";
    return joinSession(input, output);
}

void HYBbcsProcessor::captureOutput(platform::CaptureOutput&, const platform::SampleBuffer& sampleBuffer, platform::CaptureConnection&) {
    if (!capturing())
        return;
    sampleBuffer.lockBaseAddress();
    const std::uint8_t* base = sampleBuffer.baseAddress();
    const std::size_t length = sampleBuffer.bytesPerRow() * static_cast<std::size_t>(std::max(0, sampleBuffer.height()));
    std::optional<GreySquare> square =
        getLuminanceSource(base, length, sampleBuffer.width(), sampleBuffer.height(), sampleBuffer.bytesPerRow());
    sampleBuffer.unlockBaseAddress();
    if (!square)
        return;
    if (std::optional<DecodedBarcode> code = decodeSquare(*square))
        barcodeScanSucceeded(code->text, code->format);
}

platform::Image::Ptr HYBbcsProcessor::getImageFromSample(const platform::SampleBuffer& sampleBuffer) { return sampleBuffer.image(); }

platform::Image::Ptr HYBbcsProcessor::getImageFromLuminanceSource(const GreySquare& square) {
    const std::size_t pixels = static_cast<std::size_t>(std::max(0, square.side)) * static_cast<std::size_t>(std::max(0, square.side));
    if (pixels == 0 || square.bytes.size() < pixels)
        return nullptr;
    std::vector<std::uint8_t> rgba(pixels * 4);
    for (std::size_t i = 0; i < pixels; ++i) {
        std::uint8_t* p = &rgba[i * 4];
        p[0] = p[1] = p[2] = square.bytes[i];
        p[3] = 255;
    }
    auto image = platform::Image::fromRGBA(square.side, square.side, rgba);
    return image ? *image : nullptr;
}

void HYBbcsProcessor::dumpImage(const platform::Image::Ptr& image) {
    if (!image)
        return;
    platform::Log::writef("writing image to library: %dx%d", image->pixelWidth(), image->pixelHeight());
    platform::PhotoLibrary().writeImageToSavedPhotosAlbum(image, platform::ImageOrientation::Up, [](platform::Result<platform::URL> url) {
        if (url)
            platform::Log::write(url->absoluteString());
        else
            platform::Log::write("   error writing image to library");
    });
}

std::shared_ptr<HYBbcsScanScreen> HYBbcsProcessor::makeScreen() {
    return std::make_shared<HYBbcsViewController>(weak_from_this(), alternateXib());
}

} // namespace plugins
