#include "plugins/HYBCamera.h"

#include "platform/application/Application.h"
#include "platform/core/Crypto.h"
#include "platform/core/Log.h"
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageMetadata.h"
#include "platform/device/ImageSource.h"
#include "platform/device/Location.h"
#include "platform/device/LocationManager.h"
#include "platform/device/Permissions.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/device/PlatformClasses.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/system/Bundle.h"
#include "platform/system/Device.h"
#include "platform/web/WebView.h"
#include "plugins/CropScaleOrientation.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <ctime>
#include <utility>

namespace plugins {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

namespace {

constexpr const char* kPhotoPrefix = "hyb_photo_";
constexpr int kMaxTempFileNumber = 99'999;

const std::set<unsigned>& validArrowDirections() {
    static const std::set<unsigned> directions{1, 2, 4, 8, 15};
    return directions;
}

std::uint64_t unsignedArgument(const runtime::HYBInvokedUrlCommand& command, std::size_t index, std::uint64_t fallback) {
    const platform::Value value = command.argumentAtIndex(index, platform::Value(static_cast<long long>(fallback)),
                                                          runtime::HYBArgumentClass::Number);
    const double number = value.doubleValue();
    // Values no table holds stay outside every table.
    if (!(number >= 0) || number > static_cast<double>(UINT32_MAX))
        return UINT64_MAX;
    return static_cast<std::uint64_t>(number);
}

bool boolArgument(const runtime::HYBInvokedUrlCommand& command, std::size_t index) {
    return command.argumentAtIndex(index, false, runtime::HYBArgumentClass::Number).boolValue();
}

HYBPluginResult errorResult(const char* message) { return HYBPluginResult::messageAsString(HYBCommandStatus::Error, message); }

std::string localized(const std::string& key) { return platform::Bundle::main().localizedString(key, ""); }

bool isCamera(const HYBPictureOptions& options) {
    return options.sourceType == static_cast<std::uint64_t>(platform::ImagePickerSourceType::Camera);
}

// "HH:mm:ss.SSSSSS" and "yyyy:MM:dd" of a time in UTC.
std::pair<std::string, std::string> utcStamps(platform::Date date) {
    const double seconds = std::floor(date.secondsSince1970);
    long micros = std::lround((date.secondsSince1970 - seconds) * 1e6);
    std::time_t whole = static_cast<std::time_t>(seconds);
    if (micros >= 1'000'000)
        micros -= 1'000'000, ++whole;
    std::tm tm{};
    gmtime_r(&whole, &tm);
    return {platform::formatString("%02d:%02d:%02d.%06ld", tm.tm_hour, tm.tm_min, tm.tm_sec, micros),
            platform::formatString("%04d:%02d:%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday)};
}

} // namespace

// ---------------------------------------------------------------------------------------------------
// Options and picker

HYBPictureOptions HYBPictureOptions::createFromTakePictureArguments(const runtime::HYBInvokedUrlCommand& command) {
    HYBPictureOptions options;
    options.quality = command.argumentAtIndex(0, 50, runtime::HYBArgumentClass::Number);
    options.destinationType = unsignedArgument(command, 1, 1);
    options.sourceType = unsignedArgument(command, 2, 1);
    const platform::Value width = command.argumentAtIndex(3, nullptr, runtime::HYBArgumentClass::Number);
    const platform::Value height = command.argumentAtIndex(4, nullptr, runtime::HYBArgumentClass::Number);
    if (!width.isNull() && !height.isNull())
        options.targetSize = {width.doubleValue(), height.doubleValue()};
    options.encodingType = unsignedArgument(command, 5, 0);
    options.mediaType = unsignedArgument(command, 6, 0);
    options.allowsEditing = boolArgument(command, 7);
    options.correctOrientation = boolArgument(command, 8);
    options.saveToPhotoAlbum = boolArgument(command, 9);
    const platform::Value popover = command.argumentAtIndex(10, nullptr, runtime::HYBArgumentClass::Dictionary);
    if (const platform::Dictionary* dictionary = popover.getDictionary())
        options.popoverOptions = *dictionary;
    options.cameraDirection = unsignedArgument(command, 11, 0);
    return options;
}

double HYBPictureOptions::compression() const {
    const double percent = quality.isNumber() ? quality.doubleValue() : 50;
    return std::isnan(percent) ? 0 : std::clamp(percent / 100, 0.0, 1.0);
}

std::shared_ptr<HYBCameraPicker> HYBCameraPicker::createFromPictureOptions(const HYBPictureOptions& options) {
    auto picker = std::make_shared<HYBCameraPicker>();
    picker->pictureOptions = options;
    const auto source = static_cast<platform::ImagePickerSourceType>(options.sourceType);
    picker->setSourceType(source);
    picker->setAllowsEditing(options.allowsEditing);
    if (source == platform::ImagePickerSourceType::Camera) {
        picker->setMediaTypes({platform::kUTTypeImage});
        picker->setCameraDevice(options.cameraDirection == 1 ? platform::ImagePickerCameraDevice::Front
                                                             : platform::ImagePickerCameraDevice::Rear);
    } else if (options.mediaType == 2) {
        picker->setMediaTypes(platform::ImagePickerController::availableMediaTypesForSourceType(source));
    } else if (options.mediaType == 1) {
        picker->setMediaTypes({platform::kUTTypeMovie});
    } else {
        picker->setMediaTypes({platform::kUTTypeImage});
    }
    return picker;
}

void HYBCameraPicker::viewWillAppear(bool animated) {
    setNeedsStatusBarAppearanceUpdate();
    ImagePickerController::viewWillAppear(animated);
}

// ---------------------------------------------------------------------------------------------------
// Page actions

HYBCamera::~HYBCamera() {
    if (m_locationManager)
        m_locationManager->stopUpdatingLocation();
}

void HYBCamera::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBCamera>("HYBCamera");
    (void)registered;
}

const runtime::HYBActionTable& HYBCamera::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBCamera>(
        {{"takePicture", &HYBCamera::takePicture}, {"cleanup", &HYBCamera::cleanup}, {"repositionPopover", &HYBCamera::repositionPopover}});
    return table;
}

bool HYBCamera::usesGeolocation() {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    return delegate && delegate->settings()["camerausesgeolocation"].boolValue();
}

bool HYBCamera::popoverSupported() {
    return platform::PlatformClasses::isPresent("UIPopoverController") &&
           platform::Device::current().userInterfaceIdiom() == platform::UserInterfaceIdiom::Pad;
}

void HYBCamera::takePicture(const runtime::HYBInvokedUrlCommand& command) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    setHasPendingOperation(true);
    // The settings and the device are read here, on the main thread that owns them.
    const bool geolocation = usesGeolocation();
    const bool popover = popoverSupported();
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    delegate->runInBackground([weak, command, geolocation, popover] {
        HYBPictureOptions options = HYBPictureOptions::createFromTakePictureArguments(command);
        options.popoverSupported = popover;
        options.usesGeolocation = geolocation;
        options.cropToSize = false;
        const std::string callbackId = command.callbackId().value_or("");

        const bool known = options.sourceType <= 2;
        const auto source = static_cast<platform::ImagePickerSourceType>(known ? options.sourceType : 0);
        if (!known || !platform::ImagePickerController::isSourceTypeAvailable(source)) {
            platform::Log::writef("Camera.getPicture: source type %llu not available.", static_cast<unsigned long long>(options.sourceType));
            platform::DispatchQueue::main()->async([weak, callbackId] {
                if (auto self = std::static_pointer_cast<HYBCamera>(weak.lock())) {
                    self->send(errorResult("No camera available"), callbackId);
                    self->setHasPendingOperation(false);
                }
            });
            return;
        }
        const platform::AuthorizationStatus cameraStatus = platform::Permissions::shared().status(platform::PermissionKind::VideoCapture);
        const bool prohibited = source == platform::ImagePickerSourceType::Camera &&
                                (cameraStatus == platform::AuthorizationStatus::Restricted ||
                                 cameraStatus == platform::AuthorizationStatus::Denied);

        platform::DispatchQueue::main()->async([weak, options, callbackId, prohibited] {
            auto self = std::static_pointer_cast<HYBCamera>(weak.lock());
            if (!self)
                return;
            std::shared_ptr<HYBCameraPicker> picker = HYBCameraPicker::createFromPictureOptions(options);
            picker->setDelegate(self);
            picker->callbackId = callbackId;
            picker->webView = self->webView();
            if (prohibited)
                self->showCameraAccessAlert(picker);
            std::shared_ptr<HYBCameraPicker> previous = std::exchange(self->m_pickerController, picker);
            if (!self->present(picker)) {
                // Nowhere to show the picker (no controller, or a picker still on screen): a picker already
                // shown keeps its own call, and this one ends here, or by its access alert when it has one.
                platform::Log::write("Camera.getPicture: the picker could not be shown.");
                self->m_pickerController = previous;
                if (prohibited)
                    self->m_accessAlerts.back().endsTheCall = true;
                else
                    self->send(errorResult("no image selected"), callbackId);
                if (!previous)
                    self->finish();
                else
                    self->setHasPendingOperation(false);  // the picker shown is on screen
            }
        });
    });
}

bool HYBCamera::present(const std::shared_ptr<HYBCameraPicker>& picker) {
    const HYBPictureOptions& options = picker->pictureOptions;
    if (options.popoverSupported && !isCamera(options)) {
        if (!picker->pickerPopoverController)
            picker->pickerPopoverController = platform::PopoverController::create(picker);
        displayPopover(options.popoverOptions);
        setHasPendingOperation(false);
        return true;
    }
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    std::shared_ptr<platform::ViewController> controller = viewController();
    return controller && controller->presentViewController(picker, true, [weak] {
        if (auto plugin = weak.lock())
            plugin->setHasPendingOperation(false);
    });
}

void HYBCamera::showCameraAccessAlert(const std::shared_ptr<HYBCameraPicker>& picker) {
    const std::string title = platform::Bundle::main().objectForInfoDictionaryKey("CFBundleDisplayName").stringOr("");
    std::vector<std::string> others;
    if (platform::Application::shared().canOpenURL(platform::kApplicationOpenSettingsURLString))
        others.push_back(localized("Settings"));
    m_alert = platform::AlertView::create(
        title, localized("Access to the camera has been prohibited; please enable it in the Settings app to continue."), self(),
        localized("OK"), std::move(others));
    m_accessAlerts.push_back({m_alert, picker, false});
    m_alert->show();
}

HYBCamera::PopoverPlacement HYBCamera::popoverPlacement(const std::optional<platform::Dictionary>& options) {
    PopoverPlacement placement{{0, 32, 320, 480}, platform::kPopoverArrowDirectionAny};
    if (!options)
        return placement;
    auto integer = [&](const char* key, double fallback) {
        const platform::Value& value = (*options)[key];
        if (!value.isNumber() || !std::isfinite(value.doubleValue()))
            return fallback;
        return std::trunc(std::clamp(value.doubleValue(), static_cast<double>(INT_MIN), static_cast<double>(INT_MAX)));
    };
    placement.rect = {integer("x", 0), integer("y", 32), integer("width", 320), integer("height", 480)};
    const double arrow = integer("arrowDir", 15);
    placement.arrowDirections =
        arrow >= 0 && validArrowDirections().contains(static_cast<unsigned>(arrow)) ? static_cast<unsigned>(arrow) : 15;
    return placement;
}

void HYBCamera::displayPopover(const std::optional<platform::Dictionary>& options) {
    if (!m_pickerController || !m_pickerController->pickerPopoverController)
        return;
    const PopoverPlacement placement = popoverPlacement(options);
    std::shared_ptr<platform::PopoverController> popover = m_pickerController->pickerPopoverController;
    popover->setDelegate(self());
    std::shared_ptr<platform::WebView> web = webView();
    std::shared_ptr<platform::View> host = web ? web->superview() : nullptr;
    if (!host)
        return;
    popover->presentPopoverFromRect(placement.rect, *host, placement.arrowDirections, true);
}

void HYBCamera::repositionPopover(const runtime::HYBInvokedUrlCommand& command) {
    const platform::Value argument = command.argumentAtIndex(0, nullptr, runtime::HYBArgumentClass::Dictionary);
    std::optional<platform::Dictionary> options;
    if (const platform::Dictionary* dictionary = argument.getDictionary())
        options = *dictionary;
    displayPopover(options);
}

std::string HYBCamera::tempFilePath(const std::string& extension) {
    const std::string folder = platform::AppFolders::current().tmp();
    platform::FileManager& files = platform::FileManager::defaultManager();
    for (int number = 1; number <= kMaxTempFileNumber; ++number) {
        std::string path = platform::formatString("%s/%s%03d.%s", folder.c_str(), kPhotoPrefix, number, extension.c_str());
        if (!files.fileExists(path))
            return path;
    }
    return platform::formatString("%s/%s%03d.%s", folder.c_str(), kPhotoPrefix, kMaxTempFileNumber + 1, extension.c_str());
}

void HYBCamera::cleanup(const runtime::HYBInvokedUrlCommand& command) {
    const std::string folder = platform::AppFolders::current().tmp();
    platform::FileManager& files = platform::FileManager::defaultManager();
    bool failed = false;
    if (files.fileExists(folder)) {
        platform::Result<std::vector<std::string>> names = files.contentsOfDirectory(folder);
        if (!names) {
            platform::Log::writef("Failed to delete: %s (error: %s)", folder.c_str(), names.error().localizedDescription().c_str());
            failed = true;
        } else {
            for (const std::string& name : *names) {
                if (!name.starts_with(kPhotoPrefix))
                    continue;
                const std::string path = folder + "/" + name;
                if (platform::Status removed = files.removeItem(path); !removed) {
                    platform::Log::writef("Failed to delete: %s (error: %s)", path.c_str(), removed.error().localizedDescription().c_str());
                    failed = true;
                }
            }
        }
    }
    send(failed ? HYBPluginResult::messageAsString(HYBCommandStatus::IOError, "One or more files failed to be deleted.")
                : HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok),
         command.callbackId().value_or(""));
}

// ---------------------------------------------------------------------------------------------------
// Picture steps

platform::Image::Ptr HYBCamera::retrieveImage(const platform::ImagePickerMediaInfo& info, const HYBPictureOptions& options) {
    platform::Image::Ptr image = options.allowsEditing && info.editedImage ? info.editedImage : info.originalImage;
    if (!image)
        return nullptr;
    if (options.correctOrientation)
        if (platform::Image::Ptr upright = imageCorrectedForCaptureOrientation(image))
            image = upright;
    const platform::Size target = options.targetSize;
    if (target.width > 0 && target.height > 0) {
        platform::Image::Ptr scaled = options.cropToSize ? imageByScalingAndCroppingForSize(image, target)
                                                         : imageByScalingNotCroppingForSize(image, target);
        if (scaled)
            image = scaled;
    }
    return image;
}

std::optional<platform::Bytes> HYBCamera::processImage(const platform::Image::Ptr& image, const platform::ImagePickerMediaInfo& info,
                                                       const HYBPictureOptions& options) {
    if (!image)
        return std::nullopt;
    auto encoded = [](platform::Result<std::vector<std::uint8_t>> bytes) -> std::optional<platform::Bytes> {
        if (!bytes) {
            platform::Log::writef("Camera: the picture could not be encoded (%s)", bytes.error().localizedDescription().c_str());
            return std::nullopt;
        }
        return std::move(*bytes);
    };
    if (options.encodingType == 1)
        return encoded(image->pngData());
    if (options.encodingType != 0)
        return std::nullopt;

    const bool untouched = !options.allowsEditing && options.targetSize.width <= 0 && options.targetSize.height <= 0 &&
                           !options.correctOrientation;
    const bool fullQuality = options.quality.isNumber() && options.quality.doubleValue() == 100;
    if (untouched && (fullQuality || !isCamera(options)))
        return encoded(image->jpegData(1.0));
    if (!options.usesGeolocation)
        return encoded(image->jpegData(options.compression()));

    // The picture waits for one location fix, then is answered with it.
    m_data = encoded(image->jpegData(options.compression()));
    if (!m_data)
        return std::nullopt;
    m_metadata = platform::Dictionary{};
    if (info.mediaMetadata)
        if (const platform::Value* exif = info.mediaMetadata->find(platform::kImagePropertyExifDictionary); exif && exif->isDictionary())
            m_metadata->set(platform::kImagePropertyExifDictionary, *exif);
    m_awaitingLocation = true;
    platform::LocationManager& manager = locationManager();
    if (platform::LocationManager::respondsToAuthorizationRequests()) {
        std::weak_ptr<platform::LocationManager> weakManager = m_locationManager;
        platform::DispatchQueue::main()->async([weakManager] {
            if (auto live = weakManager.lock())
                live->requestWhenInUseAuthorization();
        });
    }
    manager.startUpdatingLocation();
    return std::nullopt;
}

platform::LocationManager& HYBCamera::locationManager() {
    if (!m_locationManager) {
        m_locationManager = platform::LocationManager::create();
        m_locationManager->setDesiredAccuracy(platform::kLocationAccuracyNearestTenMeters);
        m_locationManager->setDelegate(std::static_pointer_cast<platform::LocationManagerDelegate>(self()));
    }
    return *m_locationManager;
}

std::optional<HYBPluginResult> HYBCamera::dataResult(const platform::Bytes& data) const {
    std::optional<std::string> text = base64(data);
    if (!text)
        return HYBPluginResult::messageAsString(HYBCommandStatus::IOError, "The picture is too large to answer as text.");
    return HYBPluginResult::messageAsString(HYBCommandStatus::Ok, std::move(*text));
}

std::optional<std::string> HYBCamera::base64(const platform::Bytes& data) {
    if (data.size() > kMaxBase64PictureBytes)
        return std::nullopt;
    return platform::Crypto::base64Encode(data);
}

HYBPluginResult HYBCamera::fileResult(const platform::Bytes& data, const HYBPictureOptions& options) const {
    const std::string path = tempFilePath(options.encodingType == 1 ? "png" : "jpg");
    platform::FileManager& files = platform::FileManager::defaultManager();
    const std::string folder = platform::AppFolders::current().tmp();
    platform::Status written = files.isDirectory(folder) ? platform::Status{} : files.createDirectory(folder);
    if (written)
        written = files.writeAtomically(path, data);
    if (!written)
        return HYBPluginResult::messageAsString(HYBCommandStatus::IOError, written.error().localizedDescription());
    return HYBPluginResult::messageAsString(HYBCommandStatus::Ok, urlTransformer(platform::URL::fileURLWithPath(path)).absoluteString());
}

void HYBCamera::resultForImage(const HYBPictureOptions& options, const platform::ImagePickerMediaInfo& info, ResultCompletion completion) {
    std::optional<HYBPluginResult> result;
    platform::Image::Ptr image;
    switch (options.destinationType) {
    case 0:
    case 1: {
        image = retrieveImage(info, options);
        std::optional<platform::Bytes> data = processImage(image, info, options);
        if (m_awaitingLocation)
            return;  // the location answer ends the call
        if (data)
            result = options.destinationType == 0 ? dataResult(*data) : fileResult(*data, options);
        break;
    }
    case 2: {
        if (info.referenceURL) {
            completion(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, urlTransformer(*info.referenceURL).absoluteString()));
            return;
        }
        image = retrieveImage(info, options);
        if (!image) {
            completion(std::nullopt);
            return;
        }
        std::weak_ptr<HYBPlugin> weak = weak_from_this();
        platform::PhotoLibrary().writeImageToSavedPhotosAlbum(
            image, image->orientation(), [weak, completion = std::move(completion)](platform::Result<platform::URL> url) {
                auto self = std::static_pointer_cast<HYBCamera>(weak.lock());
                if (!self)
                    return;
                if (!url)
                    completion(HYBPluginResult::messageAsString(HYBCommandStatus::IOError, url.error().localizedDescription()));
                else
                    completion(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, self->urlTransformer(*url).absoluteString()));
            });
        return;
    }
    default:
        break;
    }
    if (options.saveToPhotoAlbum && image)
        platform::PhotoLibrary().writeImageToSavedPhotosAlbum(image, image->orientation(), [](platform::Result<platform::URL>) {});
    completion(std::move(result));
}

platform::Dictionary HYBCamera::gpsDictionary(const platform::Location& location) {
    platform::Dictionary gps;
    const platform::LocationCoordinate coordinate = location.coordinate();
    gps.set(platform::kImagePropertyGPSLatitudeRef, coordinate.latitude < 0 ? "S" : "N");
    gps.set(platform::kImagePropertyGPSLatitude, std::fabs(coordinate.latitude));
    gps.set(platform::kImagePropertyGPSLongitudeRef, coordinate.longitude < 0 ? "W" : "E");
    gps.set(platform::kImagePropertyGPSLongitude, std::fabs(coordinate.longitude));
    if (!std::isnan(location.altitude())) {
        gps.set(platform::kImagePropertyGPSAltitudeRef, location.altitude() < 0 ? "1" : "0");
        gps.set(platform::kImagePropertyGPSAltitude, std::fabs(location.altitude()));
    }
    auto [time, date] = utcStamps(location.timestamp());
    gps.set(platform::kImagePropertyGPSTimeStamp, std::move(time));
    gps.set(platform::kImagePropertyGPSDateStamp, std::move(date));
    return gps;
}

void HYBCamera::stopLocation() {
    m_locationManager->stopUpdatingLocation();
    m_locationManager.reset();
}

void HYBCamera::didUpdateToLocation(platform::LocationManager&, const platform::Location& newLocation, const std::optional<platform::Location>&) {
    if (!m_locationManager)
        return;
    stopLocation();
    if (!m_metadata)
        m_metadata = platform::Dictionary{};
    m_metadata->set(platform::kImagePropertyGPSDictionary, gpsDictionary(newLocation));
    imagePickerControllerReturnImageResult();
}

void HYBCamera::didFailWithError(platform::LocationManager&, const platform::Error&) {
    if (!m_locationManager)
        return;
    stopLocation();
    imagePickerControllerReturnImageResult();
}

void HYBCamera::imagePickerControllerReturnImageResult() {
    if (!m_pickerController || !m_data) {
        finish();
        return;
    }
    const HYBPictureOptions options = m_pickerController->pictureOptions;
    if (m_metadata) {
        platform::Result<platform::ImageSource> source = platform::ImageSource::withData(*m_data);
        platform::Result<platform::Bytes> tagged = platform::imageMetadataError(platform::ImageMetadataErrorCode::Corrupt, "no source");
        if (source) {
            platform::Result<platform::ImageDestination> destination = platform::ImageDestination::create(source->type(), 1);
            if (destination && destination->addImageFromSource(*source, 0, *m_metadata))
                tagged = destination->finalize();
        }
        if (tagged)
            m_data = std::move(*tagged);
        else
            platform::Log::writef("Camera: the location could not be written into the picture (%s)",
                                  tagged.error().localizedDescription().c_str());
    }
    std::optional<HYBPluginResult> result;
    if (options.destinationType == 0)
        result = dataResult(*m_data);
    else if (options.destinationType == 1)
        result = fileResult(*m_data, options);
    send(std::move(result), m_pickerController->callbackId);
    if (options.saveToPhotoAlbum)
        platform::PhotoLibrary().writeImageDataToSavedPhotosAlbum(*m_data, m_metadata.value_or(platform::Dictionary{}),
                                                                 [](platform::Result<platform::URL>) {});
    finish();
}

// ---------------------------------------------------------------------------------------------------
// Delegate calls

void HYBCamera::send(std::optional<HYBPluginResult> result, const std::string& callbackId) {
    if (auto delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), callbackId);
}

void HYBCamera::finish() {
    setHasPendingOperation(false);
    m_pickerController.reset();
    m_data.reset();
    m_metadata.reset();
    m_awaitingLocation = false;
}

void HYBCamera::imagePickerController(platform::ImagePickerController& picker, const platform::ImagePickerMediaInfo& info) {
    std::shared_ptr<HYBCameraPicker> cameraPicker = m_pickerController;
    if (!cameraPicker || cameraPicker.get() != &picker)
        return;
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    auto answer = [weak, cameraPicker, info] {
        auto self = std::static_pointer_cast<HYBCamera>(weak.lock());
        if (!self || self->m_pickerController != cameraPicker)
            return;
        std::weak_ptr<HYBPlugin> weakSelf = self;
        auto done = [weakSelf, cameraPicker](std::optional<HYBPluginResult> result) {
            auto plugin = std::static_pointer_cast<HYBCamera>(weakSelf.lock());
            if (!plugin)
                return;
            plugin->send(std::move(result), cameraPicker->callbackId);
            if (plugin->m_pickerController == cameraPicker)
                plugin->finish();
        };
        if (info.mediaType == platform::kUTTypeImage)
            self->resultForImage(cameraPicker->pictureOptions, info, done);
        else
            done(HYBPluginResult::messageAsString(HYBCommandStatus::Ok, info.mediaURL ? info.mediaURL->absoluteString() : ""));
    };
    dismissPicker(*cameraPicker, std::move(answer));
}

void HYBCamera::imagePickerControllerDidFailToPick(platform::ImagePickerController& picker, const platform::Error& error) {
    std::shared_ptr<HYBCameraPicker> cameraPicker = m_pickerController;
    if (!cameraPicker || cameraPicker.get() != &picker)
        return;
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    dismissPicker(*cameraPicker, [weak, cameraPicker, message = error.localizedDescription()] {
        auto self = std::static_pointer_cast<HYBCamera>(weak.lock());
        if (!self || self->m_pickerController != cameraPicker)
            return;
        self->send(HYBPluginResult::messageAsString(HYBCommandStatus::IOError, message), cameraPicker->callbackId);
        self->finish();
    });
}

void HYBCamera::dismissPicker(HYBCameraPicker& picker, std::function<void()> then) {
    if (picker.pictureOptions.popoverSupported && picker.pickerPopoverController) {
        picker.pickerPopoverController->setDelegate(nullptr);
        picker.pickerPopoverController->dismissPopoverAnimated(true);
        picker.pickerPopoverController.reset();
        then();
        return;
    }
    if (std::shared_ptr<platform::ViewController> presenting = picker.presentingViewController())
        presenting->dismissViewController(true, std::move(then));
    else
        then();
}

void HYBCamera::imagePickerControllerDidCancel(platform::ImagePickerController& picker) {
    std::shared_ptr<HYBCameraPicker> cameraPicker = m_pickerController;
    if (!cameraPicker || cameraPicker.get() != &picker)
        return;
    std::weak_ptr<HYBPlugin> weak = weak_from_this();
    auto answer = [weak, cameraPicker] {
        auto self = std::static_pointer_cast<HYBCamera>(weak.lock());
        if (!self)
            return;
        auto authorized = [](platform::PermissionKind kind) {
            return platform::Permissions::shared().status(kind) == platform::AuthorizationStatus::Authorized;
        };
        const char* message = "no image selected";
        if (isCamera(cameraPicker->pictureOptions)) {
            if (!authorized(platform::PermissionKind::VideoCapture))
                message = "has no access to camera";
        } else if (!authorized(platform::PermissionKind::PhotoLibrary)) {
            message = "has no access to assets";
        }
        self->send(errorResult(message), cameraPicker->callbackId);
        if (self->m_pickerController == cameraPicker)
            self->finish();
    };
    if (std::shared_ptr<platform::ViewController> presenting = cameraPicker->presentingViewController())
        presenting->dismissViewController(true, answer);
    else
        answer();
}

void HYBCamera::willShowViewController(platform::NavigationController& navigation, platform::ViewController& controller, bool) {
    auto* picker = dynamic_cast<platform::ImagePickerController*>(&navigation);
    if (!picker)
        return;
    const std::vector<std::string>& types = picker->mediaTypes();
    if (std::find(types.begin(), types.end(), platform::kUTTypeImage) == types.end())
        controller.navigationItem()->setTitle(localized("Videos"));
}

void HYBCamera::clickedButtonAtIndex(platform::AlertView& alert, long index) {
    if (index == 1 && platform::Application::shared().canOpenURL(platform::kApplicationOpenSettingsURLString))
        platform::Application::shared().openURL(platform::kApplicationOpenSettingsURLString);
    if (m_alert.get() == &alert)
        m_alert.reset();
    auto it = std::find_if(m_accessAlerts.begin(), m_accessAlerts.end(), [&](const AccessAlert& a) { return a.alert.get() == &alert; });
    if (it == m_accessAlerts.end())
        return;
    const AccessAlert ended = *it;
    m_accessAlerts.erase(it);
    // The alert ends its own call only: the picker it came with, or the call that had no picker on screen.
    // Another picker shown meanwhile (the library's, say) keeps its call.
    if (ended.picker == m_pickerController) {
        if (std::shared_ptr<platform::ViewController> presenting = ended.picker->presentingViewController())
            presenting->dismissViewController(true);
        send(errorResult("has no access to camera"), ended.picker->callbackId);
        finish();
    } else if (ended.endsTheCall) {
        send(errorResult("has no access to camera"), ended.picker->callbackId);
    }
}

void HYBCamera::popoverControllerDidDismissPopover(platform::PopoverController& popover) {
    popover.dismissPopoverAnimated(true);
    popover.setDelegate(nullptr);
    if (m_pickerController && !m_pickerController->callbackId.empty() && m_pickerController->pickerPopoverController) {
        m_pickerController->pickerPopoverController.reset();
        send(errorResult("no image selected"), m_pickerController->callbackId);
    }
    setHasPendingOperation(false);
}

} // namespace plugins
