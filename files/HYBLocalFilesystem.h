// A file system over one folder of the application's sandbox (its root): "temporary", "persistent" and
// the extra ones ("library", "documents", "cache", "bundle", "root", ...). Maps full paths to native
// paths under the root and back, and carries out the page's file operations with the platform's file
// manager, file handles and output streams.
//
// Guarantees:
// - Nothing outside the root is ever touched: every full path is resolved first (FullPath.h) and one that
//   leaves the root, lexically or through a symbolic link, is refused with ENCODING_ERR (6 with 5, or
//   read code 5). Removal does not follow a final link (it removes the link). The root itself is never
//   removed (6 with 6).
// - Reads take regular files only (a device or FIFO answers NOT_READABLE_ERR) and at most
//   kMaxReadLength bytes at once (a larger range answers NOT_READABLE_ERR without reading); truncation
//   grows a file by no more than its volume has free (QUOTA_EXCEEDED_ERR).
// - Stateless besides name, root and transformer; operations run on their caller's thread and answer
//   before they return, except copying out of another kind of file system, which answers when that one
//   has read the source.
#pragma once

#include "files/HYBFileSystem.h"

#include <cstdint>
#include <optional>
#include <string>

namespace files {

class HYBLocalFilesystem : public HYBFileSystem {
public:
    HYBLocalFilesystem(std::string name, std::string root);

    const std::string& fsRoot() const { return m_fsRoot; }

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
    std::optional<HYBFilesystemURL> URLforFilesystemPath(const std::string& nativePath) override;

    // The native path of a full path (query cut off); none when it leaves the root.
    std::optional<std::string> filesystemPathForFullPath(const std::string& fullPath) const;
    // The full path of a native path inside the root ("" for the root); none outside it.
    std::optional<std::string> fullPathForFileSystemPath(const std::string& nativePath) const;
    // The file-system URL of a full path (escaped); none for none.
    std::optional<HYBFilesystemURL> URLforFullPath(const std::optional<std::string>& fullPath) const;
    // Cuts or extends the file to `position` bytes; the new length, 0 when the file is missing, none when
    // the platform refused.
    std::optional<std::uint64_t> truncateFile(const std::string& nativePath, std::uint64_t position) const;
    // Whether a copy or move of a directory `source` to `destination` stays out of the source.
    static bool canCopyMoveSrc(const std::string& source, const std::string& destination);
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

private:
    // The native path to remove: the parent must stay inside the root, the item itself is not followed.
    std::optional<std::string> removablePathForURL(const HYBFilesystemURL& url) const;
    runtime::HYBPluginResult doRemove(const std::string& nativePath) const;
    runtime::HYBPluginResult copyOrMoveLocal(const std::string& newPath, const std::string& newFullPath, bool copy,
                                             const std::shared_ptr<HYBFileSystem>& sourceFileSystem,
                                             const HYBFilesystemURL& sourceURL);

    std::string m_fsRoot;
};

} // namespace files
