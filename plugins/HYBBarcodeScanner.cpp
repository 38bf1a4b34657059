#include "plugins/HYBBarcodeScanner.h"

#include "platform/core/Log.h"
#include "platform/device/PlatformClasses.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Device.h"
#include "platform/text/Text.h"
#include "plugins/HYBbcsProcessor.h"

namespace plugins {

void HYBBarcodeScanner::registerClass() {
    static const bool registered =
        runtime::HYBPluginClassRegistry::shared().registerClass<HYBBarcodeScanner>("HYBBarcodeScanner");
    (void)registered;
}

const runtime::HYBActionTable& HYBBarcodeScanner::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBBarcodeScanner>(
        {{"scan", &HYBBarcodeScanner::scan}, {"encode", &HYBBarcodeScanner::encode}});
    return table;
}

std::optional<std::string> HYBBarcodeScanner::isScanNotPossible() const {
    if (platform::PlatformClasses::isPresent(platform::kCaptureSessionClassName))
        return std::nullopt;
    return "AVFoundation Framework not available";
}

void HYBBarcodeScanner::scan(const runtime::HYBInvokedUrlCommand& command) {
    const std::string callback = command.callbackId().value_or("");
    std::optional<std::string> overlay;
    if (!command.arguments().empty()) {
        const platform::Value& name = command.arguments()[0];
        if (name.isString())
            overlay = *name.getString();
        else if (!name.isNull())
            platform::Log::write("BarcodeScanner: the overlay name is not a string; the built-in overlay is used");
    }
    if (std::optional<std::string> message = isScanNotPossible()) {
        returnError(*message, callback);
        return;
    }
    if (HYBbcsScanProcessor::scanIsOpen()) {
        returnError("a scan is already in progress", callback);
        return;
    }
    auto self = std::static_pointer_cast<HYBBarcodeScanner>(shared_from_this());
    std::shared_ptr<HYBbcsScanProcessor> processor;
    if (platform::isVersionAtLeast(platform::Device::current().systemVersion(), "7.0")) {
        platform::Log::write("ios7使用原生api...");
        processor = std::make_shared<HYBbcsMetaDataProcessor>(self, callback, viewController(), overlay);
    } else {
        platform::Log::write("ios以下使用zxing...");
        processor = std::make_shared<HYBbcsProcessor>(self, callback, viewController(), overlay);
    }
    platform::DispatchQueue::main()->async([processor] { processor->scanBarcode(); });
}

void HYBBarcodeScanner::encode(const runtime::HYBInvokedUrlCommand& command) {
    returnError("encode function not supported", command.callbackId().value_or(""));
}

void HYBBarcodeScanner::returnSuccess(const std::string& text, const std::string& format, bool cancelled, bool,
                                      const std::string& callback) {
    platform::Dictionary answer{{"text", text}, {"format", format}, {"cancelled", cancelled ? 1 : 0}};
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(runtime::HYBPluginResult::messageAsDictionary(runtime::HYBCommandStatus::Ok, std::move(answer)),
                                   callback);
}

void HYBBarcodeScanner::returnError(const std::string& message, const std::string& callback) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(runtime::HYBPluginResult::messageAsString(runtime::HYBCommandStatus::Error, message), callback);
}

} // namespace plugins
