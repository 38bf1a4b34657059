// Private to platform/: the read and write loops and the POSIX-domain error that the file classes share.
// Pure functions on descriptors the caller owns; thread-safe.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Writes every byte, retrying short writes and interruptions. False with errno set when a write fails.
bool writeAll(int fd, const void* data, std::size_t length);
inline bool writeAll(int fd, const Bytes& bytes) { return writeAll(fd, bytes.data(), bytes.size()); }

// Appends what the descriptor gives until its end or until `limit` bytes were read, retrying
// interruptions. False with errno set when a read fails (what was read so far stays in `out`).
bool readAll(int fd, Bytes& out, std::size_t limit = SIZE_MAX);

// An error in the POSIX domain: "<what> <path>: <system text>", with the path in its details.
Error posixError(int code, const std::string& what, const std::string& path);

} // namespace platform
