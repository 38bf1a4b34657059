// The page's "BarcodeScanner" service: scans one barcode with the camera. Each `scan` makes a scan
// processor (HYBbcsProcessor.h): from system 7.0 the platform's code recognition reads the code, below
// it the frames are decoded here. The answer is {"text", "format", "cancelled"}: the code and its format
// name with cancelled 0, or two empty strings with cancelled 1 when the user went back (or switched
// cameras, after which a new scan on the other camera answers the same callback id again).
//
// Guarantees:
// - Main thread; `scan` answers later, once per scan, never at once unless it refuses.
// - Refusals, answered Error at once without starting a camera: the capture classes missing ("AVFoundation
//   Framework not available"), and a scan while another scan's screen is up or about to be presented
//   ("a scan is already in progress": the platform shows one such screen at a time).
// - Set-up failures answer Error with the failing step's message ("unable to obtain video capture
//   device", "unable to obtain video capture device input", ...).
// - Bad input: an argument 0 that is not a string names no overlay: the built-in one, with a log line.
// - `encode` always answers Error "encode function not supported".
// Made by the name "BarcodeScanner" once registerClass() ran.
#pragma once

#include "runtime/HYBPlugin.h"

#include <optional>
#include <string>

namespace plugins {

class HYBBarcodeScanner : public runtime::HYBPlugin {
public:
    using HYBPlugin::HYBPlugin;

    static void registerClass();

    // ---- page actions ----
    // 0 (optional): the name of an alternate overlay (HYBbcsOverlayRegistry).
    void scan(const runtime::HYBInvokedUrlCommand& command);
    void encode(const runtime::HYBInvokedUrlCommand& command);

    // nullopt when the capture classes exist, else the message to answer.
    std::optional<std::string> isScanNotPossible() const;
    // The result dictionary, OK; `flipped` is not part of the answer.
    void returnSuccess(const std::string& text, const std::string& format, bool cancelled, bool flipped, const std::string& callback);
    void returnError(const std::string& message, const std::string& callback);

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBBarcodeScanner"; }
};

} // namespace plugins
