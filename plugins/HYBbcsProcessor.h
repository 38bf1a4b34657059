// The scan processors of the barcode scanner: each owns one scan's camera capture, presents the scan
// screen over the plug-in's view controller and sends exactly one answer per scan to the page.
//
// - HYBbcsMetaDataProcessor reads codes through the platform's code recognition (a metadata output):
//   QR code, EAN-13, EAN-8 and Code 128, answered with their own format names.
// - HYBbcsProcessor decodes the video frames itself (BarcodeFrameDecoder) in nine formats.
//
// Life cycle (both): scanBarcode sets up the session and makes the screen, which is presented 1 s later;
// codes count once the screen has appeared (`capturing`) and until the scan is done: then the session
// stops, the screen is dismissed and the answer goes out. A camera switch answers a cancellation, then
// runs a new scan of the same processor on the other camera, under the same callback id.
//
// Guarantees:
// - Main thread only: actions, scheduled steps and the outputs' delegate calls (main queue).
// - A processor keeps itself alive from scanBarcode until one second after its scan is done (or after
//   its last scan, when a camera switch started another); nothing else keeps it. The screen holds it
//   weakly, so no cycle outlives a scan.
// - One answer per scan: a second end of the same scan (a double tap on the back item, a code after a
//   cancel) changes nothing.
// - While a processor's scan is open (from its creation to the end of its last scan) scanIsOpen() is
//   true: the plug-in refuses a second scan then, since the platform presents one screen at a time.
#pragma once

#include "platform/device/CaptureMetadataOutput.h"
#include "platform/device/CaptureSession.h"
#include "platform/device/CaptureVideoDataOutput.h"
#include "platform/device/CaptureVideoPreviewLayer.h"
#include "plugins/BarcodeFrameDecoder.h"

#include <memory>
#include <optional>
#include <string>

namespace platform {
class ViewController;
}

namespace plugins {

class HYBBarcodeScanner;
class HYBbcsScanScreen;

class HYBbcsScanProcessor : public std::enable_shared_from_this<HYBbcsScanProcessor> {
public:
    // initWithPlugin:callback:parentViewController:alterateOverlayXib:
    HYBbcsScanProcessor(std::shared_ptr<HYBBarcodeScanner> plugin, std::string callback,
                        std::shared_ptr<platform::ViewController> parentViewController, std::optional<std::string> alternateXib);
    virtual ~HYBbcsScanProcessor();
    HYBbcsScanProcessor(const HYBbcsScanProcessor&) = delete;
    HYBbcsScanProcessor& operator=(const HYBbcsScanProcessor&) = delete;

    // Whether a scan of any processor is open now (see above).
    static bool scanIsOpen();

    void scanBarcode();
    void openDialog();
    void barcodeScanDone();
    void barcodeScanSucceeded(const std::string& text, const std::string& format);
    void barcodeScanFailed(const std::string& message);
    void barcodeScanCancelled();
    void flipCamera();
    // nullopt on success, else the message of the first failing step.
    virtual std::optional<std::string> setUpCaptureSession() = 0;

    const std::shared_ptr<HYBBarcodeScanner>& plugin() const { return m_plugin; }
    const std::string& callback() const { return m_callback; }
    std::shared_ptr<platform::ViewController> parentViewController() const { return m_parentViewController.lock(); }
    const std::shared_ptr<HYBbcsScanScreen>& viewController() const { return m_viewController; }
    const std::shared_ptr<platform::CaptureSession>& captureSession() const { return m_captureSession; }
    const std::shared_ptr<platform::CaptureVideoPreviewLayer>& previewLayer() const { return m_previewLayer; }
    const std::optional<std::string>& alternateXib() const { return m_alternateXib; }
    bool is1D() const { return m_is1D; }
    bool is2D() const { return m_is2D; }
    bool capturing() const { return m_capturing; }
    void setCapturing(bool capturing) { m_capturing = capturing; }
    bool isFrontCamera() const { return m_isFrontCamera; }
    bool isFlipped() const { return m_isFlipped; }

protected:
    // The camera the next session uses: the default video device, or the last front one; nullptr: none.
    std::shared_ptr<platform::CaptureDevice> chooseDevice() const;
    // The first steps of both set-ups: a new session (in `preset`, if given), the camera, its input.
    std::optional<std::string> openCamera(const std::optional<std::string>& preset, std::shared_ptr<platform::CaptureInput>& input);
    // Makes the screen of this processor's kind.
    virtual std::shared_ptr<HYBbcsScanScreen> makeScreen() = 0;
    // Steps shared by both set-ups after the output exists: session, input and output joined, preview
    // layer made, start scheduled.
    std::optional<std::string> joinSession(const std::shared_ptr<platform::CaptureInput>& input,
                                           const std::shared_ptr<platform::CaptureOutput>& output);

private:
    std::shared_ptr<HYBBarcodeScanner> m_plugin;
    std::string m_callback;
    std::weak_ptr<platform::ViewController> m_parentViewController;
    std::shared_ptr<HYBbcsScanScreen> m_viewController;
    std::shared_ptr<platform::CaptureSession> m_captureSession;
    std::shared_ptr<platform::CaptureVideoPreviewLayer> m_previewLayer;
    std::optional<std::string> m_alternateXib;
    bool m_is1D = false;
    bool m_is2D = true;
    bool m_capturing = false;
    bool m_isFrontCamera = false;
    bool m_isFlipped = false;
    // From scanBarcode to the end of that scan: the one answer is still to be sent.
    bool m_scanRunning = false;
    // Until the end of the last scan (a camera switch keeps it).
    bool m_open = true;
    // Keeps the processor alive while a scan is open; handed to the delayed release when it ends.
    std::shared_ptr<HYBbcsScanProcessor> m_self;
};

// Codes from the platform's recognition (system 7.0 and later).
class HYBbcsMetaDataProcessor : public HYBbcsScanProcessor, public platform::CaptureMetadataOutputObjectsDelegate {
public:
    using HYBbcsScanProcessor::HYBbcsScanProcessor;

    std::optional<std::string> setUpCaptureSession() override;
    void captureOutput(platform::CaptureOutput& output, const std::vector<platform::MetadataMachineReadableCodeObject>& metadataObjects,
                       platform::CaptureConnection& connection) override;
    // The answer's name of a recognised type: "QR_CODE", "EAN_13", "EAN_8", "CODE_128" ("???" otherwise).
    static std::string formatNameOfType(const std::string& type);

protected:
    std::shared_ptr<HYBbcsScanScreen> makeScreen() override;
};

// Frames decoded here (below system 7.0).
class HYBbcsProcessor : public HYBbcsScanProcessor, public platform::CaptureVideoDataOutputSampleBufferDelegate {
public:
    using HYBbcsScanProcessor::HYBbcsScanProcessor;

    std::optional<std::string> setUpCaptureSession() override;
    void captureOutput(platform::CaptureOutput& output, const platform::SampleBuffer& sampleBuffer,
                       platform::CaptureConnection& connection) override;

    // Diagnostics, not used by the scan: a frame as an image, a grey square as an image, and an image
    // written to the saved-photos album (upright) with log lines "writing image to library: WxH", then
    // the asset URL or "   error writing image to library".
    static platform::Image::Ptr getImageFromSample(const platform::SampleBuffer& sampleBuffer);
    static platform::Image::Ptr getImageFromLuminanceSource(const GreySquare& square);
    static void dumpImage(const platform::Image::Ptr& image);

protected:
    std::shared_ptr<HYBbcsScanScreen> makeScreen() override;
};

} // namespace plugins
