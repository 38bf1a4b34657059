// File errors as the platform reports them: an Error in the Cocoa domain whose code says what went wrong
// (the codes callers test for), with the path and the underlying POSIX error in its details.
//
// Mapping from errno, by the kind of access that failed:
//   no such file (ENOENT, ENOTDIR): 260 when reading, 4 otherwise (removing, moving, attributes);
//   no permission (EACCES, EPERM): 257 when reading, 513 otherwise;
//   out of space (ENOSPC, EDQUOT): 640;  read-only volume (EROFS): 642;  already exists (EEXIST): 516;
//   file too large to read (EFBIG, EOVERFLOW, ENOMEM while reading): 263;
//   name too long (ENAMETOOLONG): 258 when reading, 514 otherwise;
//   anything else: 256 when reading, 512 otherwise.
// Pure functions; thread-safe.
#pragma once

#include "platform/core/Error.h"

#include <string>

namespace platform {

enum class FileAccess { Read, Write };

namespace FileErrorCode {
inline constexpr long long NoSuchFile = 4;
inline constexpr long long ReadUnknown = 256;
inline constexpr long long ReadNoPermission = 257;
inline constexpr long long ReadInvalidFileName = 258;
inline constexpr long long ReadNoSuchFile = 260;
inline constexpr long long ReadTooLarge = 263;
inline constexpr long long WriteUnknown = 512;
inline constexpr long long WriteNoPermission = 513;
inline constexpr long long WriteInvalidFileName = 514;
inline constexpr long long WriteFileExists = 516;
inline constexpr long long WriteOutOfSpace = 640;
inline constexpr long long WriteVolumeReadOnly = 642;
} // namespace FileErrorCode

// The platform code for an errno value.
long long fileErrorCode(int errnoValue, FileAccess access);
// A complete error: code, description "<what> “<path>”: <system text>", the path, and the POSIX error.
Error fileError(int errnoValue, FileAccess access, const std::string& path, const std::string& what);
// True for the no-such-file codes (4 and 260).
bool isNoSuchFileError(const Error& error);

} // namespace platform
