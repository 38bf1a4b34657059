// The read-only file system "assets-library" over the platform's photo library. Its items are named by
// asset URLs (assets-library://asset/asset.JPG?id=7&ext=JPG) or by the "hybfile" form
// hybfile://localhost/assets-library/asset/asset.JPG?id=7&ext=JPG; entries describe them, reads and
// metadata ask the library, and every change is refused.
//
// Guarantees:
// - Reads and metadata answer asynchronously, from the photo library's thread, exactly once.
// - A read never allocates more than the asset holds past its start.
// - Stateless besides name and transformer; a new photo library object serves every request.
#pragma once

#include "files/HYBFileSystem.h"

namespace files {

class HYBAssetLibraryFilesystem : public HYBFileSystem {
public:
    explicit HYBAssetLibraryFilesystem(std::string name) : HYBFileSystem(std::move(name)) {}

    // The photo library's own URL of an item.
    static std::optional<platform::URL> assetLibraryURLForLocalURL(const HYBFilesystemURL& url);
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

    runtime::HYBPluginResult entryForLocalURI(const HYBFilesystemURL& url) override;
    runtime::HYBPluginResult getFileForURL(const HYBFilesystemURL& directoryURL, const std::optional<std::string>& requestedPath,
                                           const platform::Dictionary& options) override;
    runtime::HYBPluginResult getParentForURL(const HYBFilesystemURL& url) override;
    runtime::HYBPluginResult setMetadataForURL(const HYBFilesystemURL& url, const platform::Dictionary& metadata) override;
    runtime::HYBPluginResult removeFileAtURL(const HYBFilesystemURL& url) override;
    runtime::HYBPluginResult recursiveRemoveFileAtURL(const HYBFilesystemURL& url) override;
    runtime::HYBPluginResult readEntriesAtURL(const HYBFilesystemURL& url) override;
    runtime::HYBPluginResult truncateFileAtURL(const HYBFilesystemURL& url, std::uint64_t position) override;
    runtime::HYBPluginResult writeToFileAtURL(const HYBFilesystemURL& url, const platform::Bytes& data, bool append) override;
    void copyFileToURL(const HYBFilesystemURL& destinationURL, const std::string& newName,
                       const std::shared_ptr<HYBFileSystem>& sourceFileSystem, const HYBFilesystemURL& sourceURL, bool copy,
                       ResultCallback callback) override;
    void readFileAtURL(const HYBFilesystemURL& url, std::int64_t start, std::int64_t end, ReadCallback callback) override;
    void getFileMetadataForURL(const HYBFilesystemURL& url, ResultCallback callback) override;
    std::optional<platform::Dictionary> makeEntryForLocalURL(const HYBFilesystemURL& url) override;
    platform::Dictionary makeEntryForPath(const std::string& fullPath, bool isDirectory) override;
    std::optional<std::string> filesystemPathForURL(const HYBFilesystemURL& url) override;
};

} // namespace files
