#include "platform/device/PhotoLibrary.h"

#include "platform/core/Log.h"
#include "platform/device/ImageDestination.h"
#include "platform/device/ImageSource.h"
#include "platform/device/Permissions.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/Text.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <condition_variable>
#include <map>
#include <mutex>

namespace platform {
namespace {

std::atomic<bool> s_accessAllowed{true};

struct Seeds {
    std::mutex mutex;
    std::condition_variable seeded;  // a folder's seeding ended
    std::vector<PhotoLibrary::SeedPicture> pictures;
    // Folders the pictures went to (true), or go to now (false: other users wait for the end).
    std::map<std::string, bool> folders;
    unsigned long generation = 0;  // pictures set so far: a seeding of older ones marks nothing
};
Seeds& seeds() {
    static Seeds* s = new Seeds;
    return *s;
}

std::string upperCased(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// The value of a query parameter, decoded; none when absent.
std::optional<std::string> queryValue(std::string_view query, std::string_view name) {
    while (!query.empty()) {
        std::size_t amp = query.find('&');
        std::string_view pair = query.substr(0, amp);
        std::size_t eq = pair.find('=');
        if (pair.substr(0, eq) == name)
            return eq == std::string_view::npos ? std::string() : removePercentEscapes(pair.substr(eq + 1));
        if (amp == std::string_view::npos)
            break;
        query.remove_prefix(amp + 1);
    }
    return std::nullopt;
}

} // namespace

PhotoLibrary::PhotoLibrary() : m_folder(defaultFolder()) {}

PhotoLibrary::PhotoLibrary(std::string folder) : m_folder(std::move(folder)) {}

std::string PhotoLibrary::defaultFolder() {
    return AppFolders::current().home() + "/Media/DCIM";
}

void PhotoLibrary::setAccessAllowed(bool allowed) {
    s_accessAllowed = allowed;
}

bool PhotoLibrary::isAccessAllowed() {
    AuthorizationStatus status = Permissions::shared().status(PermissionKind::PhotoLibrary);
    return s_accessAllowed && status != AuthorizationStatus::Denied && status != AuthorizationStatus::Restricted;
}

Status PhotoLibrary::seed(std::string_view name, const Bytes& data, std::string_view extension) const {
    const std::string ext = upperCased(extension);
    auto plain = [](std::string_view text, bool extension) {
        return !text.empty() && text.size() <= 64 && std::all_of(text.begin(), text.end(), [&](char c) {
            return std::isalnum(static_cast<unsigned char>(c)) || (!extension && (c == '-' || c == '_'));
        });
    };
    if (!plain(name, false) || !plain(ext, true))
        return Error(kPhotoLibraryErrorDomain, -1, "A seed picture needs a plain name and type");
    if (!isAccessAllowed())
        return Error(kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError, "User denied access");
    const FileManager& files = FileManager::defaultManager();
    const std::string path = seedPath(name, extension);
    if (files.fileExists(path))
        return {};
    if (Status s = files.createDirectory(m_folder, true); !s)
        return s.error();
    return files.createFile(path, data);
}

std::string PhotoLibrary::seedPath(std::string_view name, std::string_view extension) const {
    return m_folder + "/" + std::string(name) + "." + upperCased(extension);
}

void PhotoLibrary::setSeedPictures(std::vector<SeedPicture> pictures) {
    std::lock_guard lock(seeds().mutex);
    seeds().pictures = std::move(pictures);
    seeds().folders.clear();
    ++seeds().generation;
    seeds().seeded.notify_all();
}

void PhotoLibrary::seedOnce() const {
    Seeds& all = seeds();
    std::vector<SeedPicture> pictures;
    unsigned long generation = 0;
    {
        std::unique_lock lock(all.mutex);
        if (all.pictures.empty())
            return;
        if (!all.folders.try_emplace(m_folder, false).second) {
            // Another user of this folder seeds it: the library is looked at once the pictures are there.
            all.seeded.wait(lock, [&] {
                auto found = all.folders.find(m_folder);
                return found == all.folders.end() || found->second;
            });
            return;
        }
        pictures = all.pictures;
        generation = all.generation;
    }
    seedPictures(pictures);
    std::lock_guard lock(all.mutex);
    if (generation == all.generation)
        all.folders[m_folder] = true;
    all.seeded.notify_all();
}

void PhotoLibrary::seedPictures(const std::vector<SeedPicture>& pictures) const {
    const FileManager& files = FileManager::defaultManager();
    for (const SeedPicture& picture : pictures) {
        if (files.fileExists(seedPath(picture.name, picture.extension)))
            continue;  // seeded before: its bytes are not made again
        Result<Bytes> data = picture.data ? picture.data() : Result<Bytes>(Error(kPhotoLibraryErrorDomain, -1, "No picture"));
        Status s = data ? seed(picture.name, *data, picture.extension) : Status(data.error());
        if (!s)
            Log::write("Photo library seed " + picture.name + " cannot be added: " + s.error().localizedDescription());
    }
}

Result<std::vector<PhotoAsset>> PhotoLibrary::assets() const {
    seedOnce();
    if (!isAccessAllowed())
        return Error(kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError, "User denied access");
    const FileManager& files = FileManager::defaultManager();
    Result<std::vector<std::string>> names = files.contentsOfDirectory(m_folder);
    if (!names) {
        if (isNoSuchFileError(names.error()))
            return std::vector<PhotoAsset>();
        return names.error();
    }
    std::vector<PhotoAsset> found;
    for (const std::string& name : *names) {
        std::size_t dot = name.rfind('.');
        if (dot == std::string::npos || dot == 0)
            continue;
        std::string path = m_folder + "/" + name;
        Result<FileAttributes> attributes = files.attributesOfItem(path);
        if (!attributes || attributes->type != FileType::Regular)
            continue;
        std::string ext = upperCased(std::string_view(name).substr(dot + 1));
        std::optional<URL> url = URL::fromString("assets-library://asset/asset." + ext + "?id=" +
                                                 addPercentEscapes(name.substr(0, dot)) + "&ext=" + ext);
        if (url)
            found.emplace_back(*url, path, attributes->size, attributes->modificationDate);
    }
    std::sort(found.begin(), found.end(), [](const PhotoAsset& a, const PhotoAsset& b) {
        double da = a.date() ? a.date()->secondsSince1970 : 0, db = b.date() ? b.date()->secondsSince1970 : 0;
        return da != db ? da < db : a.filename() < b.filename();
    });
    return found;
}

namespace {

void answer(std::shared_ptr<DispatchQueue> queue, PhotoLibrary::WriteCompletion completion, Result<URL> result) {
    if (!completion)
        return;
    (queue ? queue : DispatchQueue::main())->async([completion = std::move(completion), result = std::move(result)] { completion(result); });
}

Error unsupportedImage(const std::string& why) { return Error(kPhotoLibraryErrorDomain, -1, why); }

} // namespace

void PhotoLibrary::writeImageToSavedPhotosAlbum(const Image::Ptr& image, ImageOrientation orientation, WriteCompletion completion,
                                                std::shared_ptr<DispatchQueue> queue) const {
    if (!image) {
        answer(std::move(queue), std::move(completion), unsupportedImage("No image to save"));
        return;
    }
    Image::Ptr oriented = image->withOrientation(orientation);
    DispatchQueue::global()->async([library = *this, oriented, completion = std::move(completion), queue = std::move(queue)]() mutable {
        Result<URL> written = [&]() -> Result<URL> {
            if (!isAccessAllowed())
                return Error(kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError, "User denied access");
            Result<ImageDestination> destination = ImageDestination::create(kTypeJPEG, 1);
            if (!destination)
                return destination.error();
            if (Status s = destination->addImage(oriented); !s)
                return s.error();
            Result<Bytes> data = destination->finalize();
            if (!data)
                return data.error();
            return library.writeImageData(*data, "jpg");
        }();
        answer(std::move(queue), std::move(completion), std::move(written));
    });
}

void PhotoLibrary::writeImageDataToSavedPhotosAlbum(Bytes data, Dictionary metadata, WriteCompletion completion,
                                                    std::shared_ptr<DispatchQueue> queue) const {
    DispatchQueue::global()->async([library = *this, data = std::move(data), metadata = std::move(metadata),
                                    completion = std::move(completion), queue = std::move(queue)]() mutable {
        Result<URL> written = [&]() -> Result<URL> {
            if (!isAccessAllowed())
                return Error(kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError, "User denied access");
            Result<ImageSource> source = ImageSource::withData(std::move(data));
            if (!source)
                return unsupportedImage("The data is not a picture that can be saved: " + source.error().localizedDescription());
            Bytes bytes = source->data();
            if (!metadata.empty()) {
                Result<ImageDestination> destination = ImageDestination::create(source->type(), 1);
                if (!destination)
                    return destination.error();
                if (Status s = destination->addImageFromSource(*source, 0, metadata); !s)
                    return s.error();
                Result<Bytes> spliced = destination->finalize();
                if (!spliced)
                    return spliced.error();
                bytes = std::move(*spliced);
            }
            return library.writeImageData(bytes, source->type() == kTypePNG ? "png" : "jpg");
        }();
        answer(std::move(queue), std::move(completion), std::move(written));
    });
}

Result<std::optional<PhotoAsset>> PhotoLibrary::assetForURLNow(const URL& assetURL) const {
    seedOnce();
    if (!isAccessAllowed())
        return Error(kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError, "User denied access");
    if (assetURL.scheme() != "assets-library" || assetURL.host() != "asset" || !assetURL.query())
        return std::optional<PhotoAsset>();
    std::optional<std::string> id = queryValue(*assetURL.query(), "id");
    std::optional<std::string> ext = queryValue(*assetURL.query(), "ext");
    if (!id || !ext || id->empty() || ext->empty())
        return std::optional<PhotoAsset>();

    const FileManager& files = FileManager::defaultManager();
    Result<std::vector<std::string>> names = files.contentsOfDirectory(m_folder);
    if (!names) {
        if (isNoSuchFileError(names.error()))
            return std::optional<PhotoAsset>();
        return names.error();
    }
    const std::string wantedExtension = upperCased(*ext);
    for (const std::string& name : *names) {
        std::size_t dot = name.rfind('.');
        if (dot == std::string::npos || name.compare(0, dot, *id) != 0 || dot != id->size())
            continue;
        if (upperCased(std::string_view(name).substr(dot + 1)) != wantedExtension)
            continue;
        std::string path = m_folder + "/" + name;
        Result<FileAttributes> attributes = files.attributesOfItem(path);
        if (!attributes || attributes->type != FileType::Regular)
            continue;
        return std::optional<PhotoAsset>(PhotoAsset(assetURL, path, attributes->size, attributes->modificationDate));
    }
    return std::optional<PhotoAsset>();
}

void PhotoLibrary::assetForURL(const URL& assetURL, ResultHandler result, FailureHandler failure) const {
    DispatchQueue::global()->async([library = *this, assetURL, result = std::move(result), failure = std::move(failure)] {
        Result<std::optional<PhotoAsset>> found = library.assetForURLNow(assetURL);
        if (found) {
            if (result)
                result(std::move(*found));
        } else if (failure) {
            failure(found.error());
        }
    });
}

Result<URL> PhotoLibrary::writeImageData(const Bytes& data, std::string_view extension, std::optional<Date> date) const {
    if (!isAccessAllowed())
        return Error(kPhotoLibraryErrorDomain, kPhotoLibraryAccessDeniedError, "User denied access");
    std::string ext = upperCased(extension);
    bool plain = !ext.empty();
    for (char c : ext)
        plain = plain && std::isalnum(static_cast<unsigned char>(c));
    if (!plain)
        return Error(kPhotoLibraryErrorDomain, -1, "Unsupported image type");
    const FileManager& files = FileManager::defaultManager();
    if (Status s = files.createDirectory(m_folder, true); !s)
        return s.error();
    const std::string id = newUUIDString();
    const std::string path = m_folder + "/" + id + "." + ext;
    FileAttributeChanges changes;
    if (date)
        changes.modificationDate = *date;
    if (Status s = files.createFile(path, data, changes); !s)
        return s.error();
    std::optional<URL> url = URL::fromString("assets-library://asset/asset." + ext + "?id=" + id + "&ext=" + ext);
    if (!url)
        return Error(kPhotoLibraryErrorDomain, -1, "Unsupported image type");
    return *url;
}

} // namespace platform
