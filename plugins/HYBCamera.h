// The page's "Camera" service: take a picture with the camera, or choose a picture or a video from the
// photo library, and answer it as Base64 text, as the file URL of a temporary file
// ("hyb_photo_NNN.jpg" or ".png" in the application's tmp folder, readable through the file plug-in),
// or as its photo-library URL. Pictures can be cropped or fitted to a size, turned upright and, with the
// setting "CameraUsesGeolocation", tagged with one location fix.
//
// Guarantees:
// - One answer per takePicture, sent when the picker finishes (OK with a string; Error 9 "No camera
//   available", "has no access to camera", "has no access to assets", "no image selected"; IO error 6
//   with a write error's description). Each call is ended by its own screen: the access alert of a
//   prohibited camera ends its own call (its picker's, or the call whose picker could not be shown while
//   another was up), never the call of a picker shown meanwhile. A destination or encoding type outside the tables answers no
//   result (status 0).
// - With the location setting on, a JPEG that needs re-encoding waits for the location answer: the
//   call is answered once, after the fix (with the "{GPS}" dictionary in the picture's EXIF) or after
//   the location failure (without it).
// - hasPendingOperation is set from takePicture until the picker (or its popover) is on screen, and
//   cleared on every answer path.
// - Arguments of the wrong kind take their defaults; a quality outside 0-100 is clamped; a target
//   size that the drawing context refuses keeps the unscaled picture; Base64 answers are bounded by
//   kMaxBase64PictureBytes.
// - Threads: options are built and the source is tested in the background; every screen, picker
//   delegate call and answer step runs on the main thread. Blocks hold the plug-in weakly.
// Made by the name "HYBCamera" once registerClass() ran.
#pragma once

#include "platform/core/Value.h"
#include "platform/device/ImagePickerController.h"
#include "platform/device/LocationManagerDelegate.h"
#include "platform/text/URL.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/PopoverController.h"
#include "runtime/HYBPlugin.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace platform {
class LocationManager;
class WebView;
} // namespace platform

namespace plugins {

// Encoded pictures above this size are not answered as Base64 text (IO error instead).
inline constexpr std::size_t kMaxBase64PictureBytes = 48u << 20;

struct HYBPictureOptions {
    platform::Value quality = 50;       // percent, as the page gave it
    std::uint64_t destinationType = 1;  // 0 data string, 1 file URL, 2 native URL
    std::uint64_t sourceType = 1;       // 0 photo library, 1 camera, 2 saved photos album
    platform::Size targetSize;          // (0, 0): kept
    std::uint64_t encodingType = 0;     // 0 JPEG, 1 PNG
    std::uint64_t mediaType = 0;        // 0 picture, 1 video, 2 all media
    bool allowsEditing = false;
    bool correctOrientation = false;
    bool saveToPhotoAlbum = false;
    std::optional<platform::Dictionary> popoverOptions;
    std::uint64_t cameraDirection = 0;  // 0 rear, 1 front
    bool popoverSupported = false;
    bool usesGeolocation = false;
    bool cropToSize = false;

    static HYBPictureOptions createFromTakePictureArguments(const runtime::HYBInvokedUrlCommand& command);
    // The JPEG compression factor: quality / 100 clamped to 0-1 (non-numbers count as 50).
    double compression() const;
};

class HYBCameraPicker : public platform::ImagePickerController {
public:
    static std::shared_ptr<HYBCameraPicker> createFromPictureOptions(const HYBPictureOptions& options);

    HYBPictureOptions pictureOptions;
    std::string callbackId;
    std::string postUrl;
    std::shared_ptr<platform::PopoverController> pickerPopoverController;
    bool cropToSize = false;
    std::shared_ptr<platform::WebView> webView;

    bool prefersStatusBarHidden() override { return true; }
    std::shared_ptr<platform::ViewController> childViewControllerForStatusBarHidden() override { return nullptr; }
    void viewWillAppear(bool animated) override;
};

class HYBCamera : public runtime::HYBPlugin,
                  public platform::ImagePickerControllerDelegate,
                  public platform::AlertViewDelegate,
                  public platform::PopoverControllerDelegate,
                  public platform::LocationManagerDelegate {
public:
    using HYBPlugin::HYBPlugin;
    ~HYBCamera() override;

    static void registerClass();

    // ---- page actions ----
    void takePicture(const runtime::HYBInvokedUrlCommand& command);
    void cleanup(const runtime::HYBInvokedUrlCommand& command);
    void repositionPopover(const runtime::HYBInvokedUrlCommand& command);

    bool usesGeolocation();
    static bool popoverSupported();
    platform::URL urlTransformer(const platform::URL& url) const { return url; }
    // A free "hyb_photo_NNN.<extension>" path in the tmp folder.
    static std::string tempFilePath(const std::string& extension);
    static std::optional<std::string> base64(const platform::Bytes& data);
    // The popover's rectangle and arrow directions from the page's options.
    struct PopoverPlacement {
        platform::Rect rect;
        unsigned arrowDirections;
    };
    static PopoverPlacement popoverPlacement(const std::optional<platform::Dictionary>& options);
    void displayPopover(const std::optional<platform::Dictionary>& options);

    // ---- picture steps ----
    static platform::Image::Ptr retrieveImage(const platform::ImagePickerMediaInfo& info, const HYBPictureOptions& options);
    // nullopt: no data now (an encoding type outside the table, an encoder failure, or a picture
    // waiting for its location: then awaitingLocation() holds).
    std::optional<platform::Bytes> processImage(const platform::Image::Ptr& image, const platform::ImagePickerMediaInfo& info,
                                                const HYBPictureOptions& options);
    using ResultCompletion = std::function<void(std::optional<runtime::HYBPluginResult>)>;
    void resultForImage(const HYBPictureOptions& options, const platform::ImagePickerMediaInfo& info, ResultCompletion completion);
    void imagePickerControllerReturnImageResult();
    bool awaitingLocation() const { return m_awaitingLocation; }
    static platform::Dictionary gpsDictionary(const platform::Location& location);

    // ---- delegate calls ----
    void imagePickerController(platform::ImagePickerController& picker, const platform::ImagePickerMediaInfo& info) override;
    void imagePickerControllerDidCancel(platform::ImagePickerController& picker) override;
    void imagePickerControllerDidFailToPick(platform::ImagePickerController& picker, const platform::Error& error) override;
    void willShowViewController(platform::NavigationController& navigation, platform::ViewController& controller, bool animated) override;
    void clickedButtonAtIndex(platform::AlertView& alert, long index) override;
    void popoverControllerDidDismissPopover(platform::PopoverController& popover) override;
    void didUpdateToLocation(platform::LocationManager& manager, const platform::Location& newLocation,
                             const std::optional<platform::Location>& oldLocation) override;
    void didFailWithError(platform::LocationManager& manager, const platform::Error& error) override;

    // For tests and the memory-warning handling.
    const std::shared_ptr<HYBCameraPicker>& pickerController() const { return m_pickerController; }
    const std::shared_ptr<platform::AlertView>& accessAlert() const { return m_alert; }

    const runtime::HYBActionTable& actions() const override;
    std::string className() const override { return "HYBCamera"; }

private:
    std::shared_ptr<HYBCamera> self() { return std::static_pointer_cast<HYBCamera>(shared_from_this()); }
    void send(std::optional<runtime::HYBPluginResult> result, const std::string& callbackId);
    // Clears the picker, the pending flag and what a location wait held.
    void finish();
    // The alert of a prohibited camera, for the call of `picker`.
    void showCameraAccessAlert(const std::shared_ptr<HYBCameraPicker>& picker);
    // Takes a finished picker off screen (its popover, or its presentation), then runs `then`.
    static void dismissPicker(HYBCameraPicker& picker, std::function<void()> then);
    // False when the picker cannot be shown.
    bool present(const std::shared_ptr<HYBCameraPicker>& picker);
    // The file answer: `data` written to a new temporary file.
    runtime::HYBPluginResult fileResult(const platform::Bytes& data, const HYBPictureOptions& options) const;
    std::optional<runtime::HYBPluginResult> dataResult(const platform::Bytes& data) const;
    platform::LocationManager& locationManager();
    void stopLocation();

    std::shared_ptr<HYBCameraPicker> m_pickerController;
    std::shared_ptr<platform::LocationManager> m_locationManager;
    std::optional<platform::Dictionary> m_metadata;
    std::optional<platform::Bytes> m_data;
    bool m_awaitingLocation = false;
    std::shared_ptr<platform::AlertView> m_alert;  // the last access alert shown
    // Each access alert on screen with the call it ends: its picker's while that picker is the one shown,
    // or (endsTheCall) the call whose picker could not be shown at all.
    struct AccessAlert {
        std::shared_ptr<platform::AlertView> alert;
        std::shared_ptr<HYBCameraPicker> picker;
        bool endsTheCall = false;
    };
    std::vector<AccessAlert> m_accessAlerts;
};

} // namespace plugins
