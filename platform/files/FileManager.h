// The file manager: items on disk, their attributes, links and extended attributes.
//
// Guarantees:
// - Thread: stateless; every call from any thread.
// - Errors are values: failures return an Error from FileError.h (codes 4/260 no such file, 256/263 read,
//   513 no permission, 640 out of space, ...), naming the path.
// - Symbolic links are never followed by remove, copy (the link is copied), move or attributesOfItem.
// - copyItem and moveItem refuse an existing destination (516); copyItem is recursive and keeps
//   permissions; moveItem works across volumes (copy, then remove).
// - writeAtomically: readers see the old content or the new, never a part (temporary file in the same
//   folder, fsync, rename).
// - Extended attribute names get the "user." prefix when they lack it; a missing attribute is "absent",
//   not an error.
#pragma once

#include "platform/core/Error.h"
#include "platform/files/FileAttributes.h"
#include "platform/files/FileError.h"

#include <optional>
#include <string>
#include <vector>

namespace platform {

class FileManager {
public:
    static FileManager& defaultManager();

    bool fileExists(const std::string& path) const;
    bool isDirectory(const std::string& path) const;

    Status createDirectory(const std::string& path, bool withIntermediates = true,
                           const FileAttributeChanges& attributes = {}) const;
    // Creates (or replaces) a file with the contents, atomically.
    Status createFile(const std::string& path, const Bytes& contents, const FileAttributeChanges& attributes = {}) const;
    Status writeAtomically(const std::string& path, const Bytes& contents) const;
    // Removes the temporary files that writeAtomically left beside the path when the process writing one
    // ended before its rename (PrivateFile::removeLeftOvers: at most 64 a call, only regular files, no
    // link followed). Answers how many went. Only for a writer that holds the path's exclusive lock, so
    // that no other writer's temporary file is in the middle of a write.
    Result<std::size_t> removeTemporaryLeftOvers(const std::string& path) const;
    Result<Bytes> contentsOfFile(const std::string& path) const;
    // The contents of a regular file (a link to one is followed) of at most `maxBytes`, for files that
    // name the application's own configuration. Nothing else is waited for or read: a FIFO, device or
    // socket is refused without blocking, and so is a folder, as is a file larger than `maxBytes`
    // (also one that grows past it while being read). The error's description says why without the
    // path ("not found", "a folder, not a file", "not a regular file", "larger than N bytes", the
    // system's text otherwise), so that callers name the file their own way; the path is in its details.
    Result<Bytes> contentsOfRegularFile(const std::string& path, std::size_t maxBytes) const;

    Status copyItem(const std::string& from, const std::string& to) const;
    Status moveItem(const std::string& from, const std::string& to) const;
    // Removes the item and everything under it, never following a link: from the folder it lies in (its
    // path followed as given), each folder below is opened by descriptor without following a link and each
    // name removed relative to its folder, so that a folder swapped for a link meanwhile goes as the link,
    // and nothing in the link's target. A bounded number of descriptors, whatever the depth.
    Status removeItem(const std::string& path) const;

    // Names in the folder, sorted.
    Result<std::vector<std::string>> contentsOfDirectory(const std::string& path) const;
    // Every item under the folder as a path relative to it, depth first, each folder before its content,
    // names sorted at each level.
    Result<std::vector<std::string>> subpathsOfDirectory(const std::string& path) const;

    Result<FileAttributes> attributesOfItem(const std::string& path) const;
    Status setAttributes(const std::string& path, const FileAttributeChanges& attributes) const;
    Result<FileSystemAttributes> attributesOfFileSystem(const std::string& path) const;

    Status createSymbolicLink(const std::string& path, const std::string& destination) const;
    Result<std::string> destinationOfSymbolicLink(const std::string& path) const;

    Status setExtendedAttribute(const std::string& path, const std::string& name, const Bytes& value) const;
    Result<std::optional<Bytes>> extendedAttribute(const std::string& path, const std::string& name) const;
    // Removing an absent attribute succeeds.
    Status removeExtendedAttribute(const std::string& path, const std::string& name) const;

    // The "excluded from backup" resource flag (kept as an extended attribute).
    Status setExcludedFromBackup(const std::string& path, bool excluded) const;
    bool isExcludedFromBackup(const std::string& path) const;
};

// Path helpers.
std::string lastPathComponent(const std::string& path);
std::string deletingLastPathComponent(const std::string& path);
std::string appendingPathComponent(const std::string& path, const std::string& component);

} // namespace platform
