#include "files/HYBAssetLibraryFilesystem.h"

#include "files/HYBFileError.h"
#include "files/MimeType.h"
#include "platform/core/Log.h"
#include "platform/device/PhotoLibrary.h"
#include "platform/files/FileManager.h"

#include <algorithm>

namespace files {

using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

namespace {

constexpr std::size_t kLocalPrefixLength = sizeof("hybfile://localhost/assets-library") - 1;

HYBPluginResult notSupported(const char* message) {
    return HYBPluginResult::messageAsString(HYBCommandStatus::MalformedUrl, message);
}

} // namespace

std::optional<platform::URL> HYBAssetLibraryFilesystem::assetLibraryURLForLocalURL(const HYBFilesystemURL& url) {
    if (!url.url())
        return std::nullopt;
    if (url.url()->scheme() != kHYBFilesystemURLScheme)
        return url.url();
    const std::string& text = url.url()->absoluteString();
    if (text.size() < kLocalPrefixLength)
        return std::nullopt;
    return platform::URL::fromString("assets-library:/" + text.substr(kLocalPrefixLength));
}

std::optional<std::string> HYBAssetLibraryFilesystem::getMimeTypeFromPath(const std::optional<std::string>& path) {
    if (!path)
        return std::nullopt;
    return mimeTypeFromPath(*path);
}

platform::Dictionary HYBAssetLibraryFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
    platform::Dictionary entry = makeEntryStart(fullPath, isDirectory, platform::lastPathComponent(fullPath));
    if (std::optional<platform::URL> nativeURL = platform::URL::fromString("assets-library:/" + fullPath))
        entry.set("nativeURL", transformedURLString(*nativeURL));
    return entry;
}

std::optional<platform::Dictionary> HYBAssetLibraryFilesystem::makeEntryForLocalURL(const HYBFilesystemURL& url) {
    return makeEntryForPath(url.fullPath().value_or(""), false);
}

HYBPluginResult HYBAssetLibraryFilesystem::entryForLocalURI(const HYBFilesystemURL& url) {
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, *makeEntryForLocalURL(url));
}

std::optional<std::string> HYBAssetLibraryFilesystem::filesystemPathForURL(const HYBFilesystemURL& url) {
    std::string path;
    if (url.url() && url.url()->scheme() == kAssetsLibraryURLScheme)
        path = url.url()->path();
    else
        path = url.fullPath().value_or("");
    if (!path.empty() && path.back() == '/')
        path.pop_back();
    return path;
}

// Everything that would change the library, or list or walk it, is refused.

HYBPluginResult HYBAssetLibraryFilesystem::getFileForURL(const HYBFilesystemURL&, const std::optional<std::string>&,
                                                         const platform::Dictionary&) {
    return notSupported("getFile not supported for assets-library URLs.");
}

HYBPluginResult HYBAssetLibraryFilesystem::getParentForURL(const HYBFilesystemURL&) {
    return fileErrorResult(HYBFileError::NotReadable);
}

HYBPluginResult HYBAssetLibraryFilesystem::setMetadataForURL(const HYBFilesystemURL&, const platform::Dictionary&) {
    return HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
}

HYBPluginResult HYBAssetLibraryFilesystem::removeFileAtURL(const HYBFilesystemURL&) {
    return fileErrorResult(HYBFileError::InvalidModification);
}

HYBPluginResult HYBAssetLibraryFilesystem::recursiveRemoveFileAtURL(const HYBFilesystemURL&) {
    return notSupported("removeRecursively not supported for assets-library URLs.");
}

HYBPluginResult HYBAssetLibraryFilesystem::readEntriesAtURL(const HYBFilesystemURL&) {
    return notSupported("readEntries not supported for assets-library URLs.");
}

HYBPluginResult HYBAssetLibraryFilesystem::truncateFileAtURL(const HYBFilesystemURL&, std::uint64_t) {
    return fileErrorResult(HYBFileError::NoModificationAllowed);
}

HYBPluginResult HYBAssetLibraryFilesystem::writeToFileAtURL(const HYBFilesystemURL&, const platform::Bytes&, bool) {
    return fileErrorResult(HYBFileError::NoModificationAllowed);
}

void HYBAssetLibraryFilesystem::copyFileToURL(const HYBFilesystemURL&, const std::string&, const std::shared_ptr<HYBFileSystem>&,
                                              const HYBFilesystemURL&, bool, ResultCallback callback) {
    callback(fileErrorResult(HYBFileError::InvalidModification));
}

// Reading and metadata, answered by the photo library.

void HYBAssetLibraryFilesystem::readFileAtURL(const HYBFilesystemURL& url, std::int64_t start, std::int64_t end, ReadCallback callback) {
    std::optional<platform::URL> assetURL = assetLibraryURLForLocalURL(url);
    if (!assetURL) {
        callback(std::nullopt, std::nullopt, static_cast<std::int32_t>(HYBFileError::NotFound));
        return;
    }
    auto shared = std::make_shared<ReadCallback>(std::move(callback));
    platform::PhotoLibrary().assetForURL(
        *assetURL,
        [shared, start, end](std::optional<platform::PhotoAsset> asset) {
            if (!asset) {
                (*shared)(std::nullopt, std::nullopt, static_cast<std::int32_t>(HYBFileError::NotFound));
                return;
            }
            // From start to end when end lies beyond it, else the whole representation; the copy never
            // asks for more than the asset holds.
            const std::uint64_t length = end > start ? static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start) : asset->size();
            if (std::min(length, asset->size()) > kMaxReadLength) {
                (*shared)(std::nullopt, asset->mimeType(), static_cast<std::int32_t>(HYBFileError::NotReadable));
                return;
            }
            platform::Bytes bytes;
            if (start >= 0) {
                platform::Result<platform::Bytes> read = asset->bytes(static_cast<std::uint64_t>(start), length);
                if (!read) {
                    // Never an empty read for one that failed: a reader would take it for the end.
                    (*shared)(std::nullopt, asset->mimeType(), static_cast<std::int32_t>(HYBFileError::NotReadable));
                    return;
                }
                bytes = std::move(*read);
            }
            (*shared)(std::move(bytes), asset->mimeType(), 0);
        },
        [shared](const platform::Error& error) {
            platform::Log::write("Error: " + error.localizedDescription());
            (*shared)(std::nullopt, std::nullopt, static_cast<std::int32_t>(HYBFileError::Security));
        });
}

void HYBAssetLibraryFilesystem::getFileMetadataForURL(const HYBFilesystemURL& url, ResultCallback callback) {
    std::optional<platform::URL> assetURL = assetLibraryURLForLocalURL(url);
    if (!assetURL) {
        callback(fileErrorResult(HYBFileError::NotFound));
        return;
    }
    auto shared = std::make_shared<ResultCallback>(std::move(callback));
    const std::string fullPath = url.fullPath().value_or("");
    platform::PhotoLibrary().assetForURL(
        *assetURL,
        [shared, fullPath](std::optional<platform::PhotoAsset> asset) {
            if (!asset) {
                (*shared)(fileErrorResult(HYBFileError::NotFound));
                return;
            }
            platform::Dictionary metadata;
            metadata.set("size", asset->size());
            metadata.set("fullPath", fullPath);
            metadata.set("name", asset->filename());
            // A file name without a MIME type leaves "type" out.
            if (std::optional<std::string> type = getMimeTypeFromPath(asset->filename()))
                metadata.set("type", *type);
            metadata.set("lastModifiedDate", asset->date() ? asset->date()->secondsSince1970 * 1000.0 : 0.0);
            (*shared)(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(metadata)));
        },
        [shared](const platform::Error& error) {
            (*shared)(HYBPluginResult::messageAsString(HYBCommandStatus::IOError, error.localizedDescription()));
        });
}

} // namespace files
