// Which sources the image picker can offer on this device: the photo library, the camera and the
// saved-photos album. Every source is available unless tests or the device file take it away (a device
// without a camera).
//
// Thread: every call from any thread.
#pragma once

namespace platform {

enum class ImagePickerSourceType : int { PhotoLibrary = 0, Camera = 1, SavedPhotosAlbum = 2 };

class ImagePickerSources {
public:
    static bool isSourceTypeAvailable(ImagePickerSourceType type);
    static void setSourceTypeAvailable(ImagePickerSourceType type, bool available);
    // Every source available.
    static void resetToDefaults();
};

} // namespace platform
