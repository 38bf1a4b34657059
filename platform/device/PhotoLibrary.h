// The photo library: pictures kept as files in one folder of the application's home, each addressed by
// an asset URL of the form assets-library://asset/asset.<EXT>?id=<id>&ext=<EXT>, where <id> is the file
// name without its extension and <EXT> the extension in upper case.
//
// Guarantees:
// - assetForURL answers asynchronously, on a global queue, exactly once: the result handler with the
//   asset or with none (no such item, or a URL that is not an asset URL), or the failure handler when
//   access is refused (kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError) or the folder cannot
//   be read.
// - Lookups only ever match files directly in the library's folder (ids are compared with the names
//   found there, never joined into a path).
// - Access is allowed unless the process refuses it (setAccessAllowed(false), as a user may) or the
//   user's photo-library permission (Permissions) is denied or restricted. Every read and write is then
//   refused with kPhotoLibraryAccessDeniedError.
// - The saved-photos album writes answer once, on the queue given (the main queue by default), never
//   inside the call: the new item's asset URL, or the error.
// - Thread: every call from any thread; a library object holds only its folder.
#pragma once

#include "platform/core/Error.h"
#include "platform/device/PhotoAsset.h"
#include "platform/ui/Image.h"
#include "platform/text/URL.h"

#include <functional>
#include <memory>
#include <vector>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class DispatchQueue;

inline constexpr const char* kPhotoLibraryErrorDomain = "PhotoLibraryErrorDomain";
inline constexpr long long kPhotoLibraryAccessDeniedError = -3311;

class PhotoLibrary {
public:
    using ResultHandler = std::function<void(std::optional<PhotoAsset> asset)>;
    using FailureHandler = std::function<void(const Error& error)>;

    // The library of the current application home.
    PhotoLibrary();
    explicit PhotoLibrary(std::string folder);

    // <home>/Media/DCIM of the current application folders.
    static std::string defaultFolder();
    const std::string& folder() const { return m_folder; }

    void assetForURL(const URL& assetURL, ResultHandler result, FailureHandler failure) const;
    // The same, answered on the calling thread (for tests and tools).
    Result<std::optional<PhotoAsset>> assetForURLNow(const URL& assetURL) const;

    // Saves image data as a new item (the folder is made when missing); answers its asset URL. The
    // extension names the data's type ("jpg", "png"); the date becomes the item's date when given.
    Result<URL> writeImageData(const Bytes& data, std::string_view extension, std::optional<Date> date = std::nullopt) const;

    // Saves image data under a fixed name ("<name>.<extension>") unless an item of that name is there
    // already (so that seeding a library again adds nothing). The name is letters, digits, "-" and "_".
    Status seed(std::string_view name, const Bytes& data, std::string_view extension) const;

    // Pictures every library gets (by seed) the first time it is used after this call: the device file
    // sets them before the application's home is known. A picture's bytes are made only when a library
    // lacks it, on the thread that first uses that library (so `data` must be callable from any thread);
    // when they cannot be made, the picture is left out with a log line.
    struct SeedPicture {
        std::string name;
        std::function<Result<Bytes>()> data;
        std::string extension;
    };
    static void setSeedPictures(std::vector<SeedPicture> pictures);

    // Every item, oldest first (items of the same date by name).
    Result<std::vector<PhotoAsset>> assets() const;

    using WriteCompletion = std::function<void(Result<URL> assetURL)>;
    // Saves an image's pixels as a JPEG carrying the orientation in its EXIF.
    void writeImageToSavedPhotosAlbum(const Image::Ptr& image, ImageOrientation orientation, WriteCompletion completion,
                                      std::shared_ptr<DispatchQueue> queue = nullptr) const;
    // Saves JPEG or PNG data; a non-empty metadata dictionary is spliced into it first.
    void writeImageDataToSavedPhotosAlbum(Bytes data, Dictionary metadata, WriteCompletion completion,
                                          std::shared_ptr<DispatchQueue> queue = nullptr) const;

    static void setAccessAllowed(bool allowed);
    static bool isAccessAllowed();

private:
    // The seed pictures, the first time this folder is used since they were set; a use meanwhile from
    // another thread waits until they are there.
    void seedOnce() const;
    void seedPictures(const std::vector<SeedPicture>& pictures) const;
    // Where seed() puts a picture of this name and type.
    std::string seedPath(std::string_view name, std::string_view extension) const;

    std::string m_folder;
};

} // namespace platform
