// What the file manager tells about an item and a volume, and what it can set.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <optional>

namespace platform {

enum class FileType { Regular, Directory, SymbolicLink, Other };

struct FileAttributes {
    FileType type = FileType::Regular;
    std::uint64_t size = 0;
    Date modificationDate;
    // The birth time where the file system keeps one (statx), else a creation date recorded by the file
    // manager, else the modification date.
    Date creationDate;
    std::uint32_t posixPermissions = 0; // the mode's permission bits (0777 mask plus set-id and sticky)

    // The platform's attribute dictionary: "NSFileType" ("NSFileTypeRegular", "NSFileTypeDirectory",
    // "NSFileTypeSymbolicLink", "NSFileTypeUnknown"), "NSFileSize", "NSFileModificationDate",
    // "NSFileCreationDate", "NSFilePosixPermissions".
    Dictionary toDictionary() const;
};

// Attributes to apply when creating or changing an item; absent ones are left alone.
struct FileAttributeChanges {
    std::optional<Date> modificationDate;
    std::optional<Date> creationDate; // recorded by the file manager (Linux cannot set birth times)
    std::optional<std::uint32_t> posixPermissions;
};

struct FileSystemAttributes {
    std::uint64_t size = 0;     // bytes
    std::uint64_t freeSize = 0; // bytes available to this process
};

} // namespace platform
