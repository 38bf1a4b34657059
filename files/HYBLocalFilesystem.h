// A file system over one folder of the application's sandbox (its root): "temporary", "persistent" and
// the extra ones ("library", "documents", "cache", "bundle", "root", ...). Maps full paths to native
// paths under the root and back, and carries out the page's file operations with the platform's file
// manager, file handles and output streams.
//
// Guarantees:
// - Nothing outside the root is ever touched: every full path is resolved lexically first (FullPath.h),
//   then reached by descriptor from the root (platform/files/RootFolder.h), so looking and doing are one step
//   that no rename or link swapped in between can redirect. A path that leaves the root lexically, or
//   passes through or ends at a symbolic link, is refused with ENCODING_ERR (6 with 5, or read code 5);
//   removing a link is the one thing done to it. A regular file with more than one name (a hard link,
//   which only a local process can make, and whose other name may lie outside) is not read, written,
//   truncated or copied: refused the same way. The root itself is never removed (6 with 6). The file
//   system of the whole disk ("/") has nothing outside it and follows links as usual.
// - A write at a position past the end of a file, new or not, grows it with zero bytes within the free
//   space first, and writes at the position (never at another place); lengths are answered in 64 bits.
// - Reads take regular files only (a device or FIFO answers NOT_READABLE_ERR) and at most
//   kMaxReadLength bytes at once (a larger range answers NOT_READABLE_ERR without reading); truncation
//   grows a file by no more than its volume has free (QUOTA_EXCEEDED_ERR).
// - Stateless besides name, root and transformer; operations run on their caller's thread and answer
//   before they return, except copying out of another kind of file system, which answers when that one
//   has read the source.
#pragma once

#include "files/HYBFileError.h"
#include "files/HYBFileSystem.h"
#include "platform/files/RootFolder.h"

#include <cstdint>
#include <optional>
#include <string>
#include <sys/stat.h>

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
    // The page's write: everything from `position` on is replaced by the data, in one step on one open
    // file (created when missing and the data is not empty).
    runtime::HYBPluginResult writeAtPosition(const HYBFilesystemURL& url, const platform::Bytes& data, std::uint64_t position);
    // Whether a copy or move of a directory `source` to `destination` stays out of the source.
    static bool canCopyMoveSrc(const std::string& source, const std::string& destination);
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

    // Folders deeper than this are neither removed nor copied whole (each level holds a descriptor).
    static constexpr int kMaxTreeDepth = 256;

    // The folder that holds an item, opened beneath the root, and the item's name in it ("." for the
    // root itself). Every operation works on these, never on a path.
    struct Place {
        platform::UniqueFd folder;
        std::string name;
        bool isRoot = false;
        int noFollow = 0;   // O_NOFOLLOW where links are refused
        int atNoFollow = 0; // AT_SYMLINK_NOFOLLOW likewise
    };
    // A regular file opened for reading, by the rules of readFileAtURL; the error is a file-error code.
    struct OpenedFile {
        platform::UniqueFd file;
        std::uint64_t length = 0;
    };
    platform::ErrnoResult<OpenedFile> openFileForReading(const HYBFilesystemURL& url) const;

    // The place of a full path; errno EINVAL when it climbs out of the root, ELOOP when a link is on the
    // way. `createMissing` makes the folders on the way.
    platform::ErrnoResult<Place> place(const std::optional<std::string>& fullPath, bool createMissing = false) const;

private:
    enum class WriteMode { Replace, Append, AtPosition };

    bool isConfined() const { return m_fsRoot != "/"; }
    platform::ErrnoResult<platform::RootFolder> openRoot() const;
    // The root-relative path of a full path ("" for the root); none when it climbs out.
    static std::optional<std::string> relativePathOf(const std::string& fullPath);
    // The item's attributes (not following it); ELOOP for a link.
    static platform::ErrnoResult<struct stat> statItem(const Place& place);
    static bool isLeavingError(int error);
    static HYBFileError errorFor(int error, HYBFileError otherwise);
    static int linkOr(const Place& place, int error);
    static bool writeWholeFileAt(const Place& place, const platform::Bytes& data);
    static runtime::HYBPluginResult lengthResult(std::uint64_t length);
    platform::ErrnoResult<OpenedFile> openForReading(const Place& where) const;
    // Refusals for an open file about to change: not a regular file, or one with a second name.
    std::optional<runtime::HYBPluginResult> checkWritable(int fd) const;
    // Cuts or grows the open file to `position` bytes (growth within the volume's free space).
    std::optional<runtime::HYBPluginResult> resize(int fd, std::uint64_t position) const;
    runtime::HYBPluginResult writeBytes(const HYBFilesystemURL& url, const platform::Bytes& data, WriteMode mode,
                                        std::uint64_t position);
    runtime::HYBPluginResult doRemove(const Place& where, bool recursive) const;
    runtime::HYBPluginResult copyOrMoveLocal(const Place& target, const std::string& newPath, const std::string& newFullPath,
                                             bool copy, const HYBLocalFilesystem& sourceFileSystem, const HYBFilesystemURL& sourceURL);

    std::string m_fsRoot;
};

} // namespace files
