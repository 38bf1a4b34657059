// The image picker: a navigation controller that lets the user choose an item of the photo library (or
// of the saved-photos album) from a table, or take a picture with a camera, and tells its delegate what
// was picked, or that the user cancelled.
//
// Screens:
// - Photo library and saved-photos album: a table of the library's items (platform/device/PhotoLibrary.h) of
//   the requested media types, each with a thumbnail, its file name and its date, oldest first, and a
//   Cancel button. Choosing an item finishes with its media type, its image (oriented as its EXIF says)
//   and its asset URL as the reference URL; a movie gives its file URL as the media URL instead of an
//   image. With editing allowed an edited image is added too: the centred square of the picture.
// - Camera: the chosen camera's live frames filling the screen, a shutter button and Cancel. The shutter
//   finishes with the media type, the frame as a phone camera held upright gives it (the landscape
//   sensor frame with orientation Right), the media metadata ("Orientation", "{Exif}" and "{TIFF}")
//   and, with editing allowed, the centred square.
// - Drivers for tests and tools: pick(index), shoot(), cancel() do what the user's taps do.
//
// Guarantees:
// - Main thread only. The delegate is held weakly; it is also the navigation delegate.
// - A source type that is not available is refused (the setter answers false and nothing changes); the
//   camera is available only when a camera exists. The screen follows the source type set last.
// - Delegate calls happen inside the tap (driver) that causes them, once per tap. A chosen library
//   item whose file is gone or cannot be decoded is reported with the read or decode error.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"
#include "platform/device/ImagePickerSources.h"
#include "platform/text/URL.h"
#include "platform/ui/Image.h"
#include "platform/ui/NavigationController.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class CaptureVideoPreviewLayer;
class TableView;

inline constexpr const char* kUTTypeImage = "public.image";
inline constexpr const char* kUTTypeMovie = "public.movie";

inline constexpr const char* kImagePickerControllerMediaType = "UIImagePickerControllerMediaType";
inline constexpr const char* kImagePickerControllerOriginalImage = "UIImagePickerControllerOriginalImage";
inline constexpr const char* kImagePickerControllerEditedImage = "UIImagePickerControllerEditedImage";
inline constexpr const char* kImagePickerControllerReferenceURL = "UIImagePickerControllerReferenceURL";
inline constexpr const char* kImagePickerControllerMediaURL = "UIImagePickerControllerMediaURL";
inline constexpr const char* kImagePickerControllerMediaMetadata = "UIImagePickerControllerMediaMetadata";

enum class ImagePickerCameraDevice { Rear = 0, Front = 1 };

// What the picker finished with; each member is one info key above (absent when empty).
struct ImagePickerMediaInfo {
    std::string mediaType;
    Image::Ptr originalImage;
    Image::Ptr editedImage;
    std::optional<URL> referenceURL;
    std::optional<URL> mediaURL;
    std::optional<Dictionary> mediaMetadata;

    // Whether the info holds a value under the key.
    bool contains(std::string_view key) const;
};

class ImagePickerController;

class ImagePickerControllerDelegate : public NavigationControllerDelegate {
public:
    virtual void imagePickerController(ImagePickerController& picker, const ImagePickerMediaInfo& info) = 0;
    virtual void imagePickerControllerDidCancel(ImagePickerController& picker) = 0;
    // The chosen item cannot be read: `error` is the file's or the image decoder's error.
    virtual void imagePickerControllerDidFailToPick(ImagePickerController& picker, const Error& error) = 0;
};

class ImagePickerController : public NavigationController {
public:
    static std::shared_ptr<ImagePickerController> create();
    ImagePickerController();
    ~ImagePickerController() override;

    static bool isSourceTypeAvailable(ImagePickerSourceType type);
    // "public.image" and "public.movie" for an available source; none otherwise.
    static std::vector<std::string> availableMediaTypesForSourceType(ImagePickerSourceType type);
    static bool isCameraDeviceAvailable(ImagePickerCameraDevice device);

    ImagePickerSourceType sourceType() const { return m_sourceType; }
    bool setSourceType(ImagePickerSourceType type);
    const std::vector<std::string>& mediaTypes() const { return m_mediaTypes; }
    // Types that are not offered are dropped; an empty list keeps the current one.
    void setMediaTypes(std::vector<std::string> types);
    bool allowsEditing() const { return m_allowsEditing; }
    void setAllowsEditing(bool allows) { m_allowsEditing = allows; }
    ImagePickerCameraDevice cameraDevice() const { return m_cameraDevice; }
    // False (and nothing changes) for a camera the device does not have.
    bool setCameraDevice(ImagePickerCameraDevice device);

    std::shared_ptr<ImagePickerControllerDelegate> delegate() const { return m_delegate.lock(); }
    void setDelegate(const std::shared_ptr<ImagePickerControllerDelegate>& delegate);

    // Drivers. pick: the item at `index` of the library table (false when out of range or not a library
    // screen, with a log line; an item that cannot be read is logged and reported to the delegate, and
    // answers false). shoot: the latest frame (false when the
    // camera has given none yet). cancel: the Cancel button.
    bool pick(std::size_t index);
    bool shoot();
    void cancel();

    // The screens' parts, for tests: the library table and the camera's preview layer (nullptr on the
    // other screen or before the view is loaded).
    std::shared_ptr<TableView> libraryTable() const;
    std::shared_ptr<CaptureVideoPreviewLayer> previewLayer() const;

    void loadView() override;

private:
    friend class ImagePickerLibraryController;
    friend class ImagePickerCameraController;
    void showSourceScreen();
    void finish(const ImagePickerMediaInfo& info);
    void fail(const Error& error);

    ImagePickerSourceType m_sourceType = ImagePickerSourceType::PhotoLibrary;
    std::vector<std::string> m_mediaTypes{kUTTypeImage};
    bool m_allowsEditing = false;
    ImagePickerCameraDevice m_cameraDevice = ImagePickerCameraDevice::Rear;
    std::weak_ptr<ImagePickerControllerDelegate> m_delegate;
};

// The centred square of an image as shown (the picker's edit step).
Image::Ptr centredSquare(const Image::Ptr& image);

} // namespace platform
