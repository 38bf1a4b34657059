// The file-system operations of the log file manager and log file info, in one place.
#pragma once

#include "platform/Error.h"
#include "platform/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace pushlog::logfs {

struct FileAttributes {
    std::optional<platform::Date> creationDate;
    std::optional<platform::Date> modificationDate;
    std::uint64_t size = 0;
    // The file-protection class; this platform keeps none, so it is always absent.
    std::optional<std::string> protection;
};

std::optional<FileAttributes> attributesOfItem(const std::string& path);
bool fileExists(const std::string& path);
platform::Status createDirectory(const std::string& path);
platform::Status createEmptyFile(const std::string& path);
platform::Status moveItem(const std::string& from, const std::string& to);
platform::Status removeItem(const std::string& path);
// The names of a folder's entries in the order the file system lists them; empty when unreadable.
std::vector<std::string> contentsOfDirectory(const std::string& path);

// Extended attributes by path, following symbolic links. On Linux user attributes live in the "user."
// namespace, so the name is prefixed with "user." there.
bool hasExtendedAttribute(const std::string& path, const std::string& name);
platform::Status setExtendedAttribute(const std::string& path, const std::string& name);
// A missing attribute is not an error.
platform::Status removeExtendedAttribute(const std::string& path, const std::string& name);

} // namespace pushlog::logfs
