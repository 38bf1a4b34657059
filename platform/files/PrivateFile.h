// Small files that only the user may read (mode 0600, in folders of mode 0700), replaced atomically:
// the keychain's item file and the pasteboards' files.
//
// Guarantees:
// - writeAtomically never leaves a half-written file: the data goes to a new temporary file in the same
//   folder (created 0600 before any byte is written), is flushed to disk, and then renamed over the
//   target. On failure the target is untouched and the temporary file is removed.
// - Thread-safe (no shared state). For exclusion between writers use FileLock.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class PrivateFile {
public:
    // The whole file, or nullopt when it does not exist. Errors carry errno in the POSIX domain; a file
    // larger than maxBytes is an error (EFBIG), found from its size before any byte is read (and the read
    // stops past maxBytes should the file grow meanwhile); so is anything but a regular file (EINVAL, or
    // EISDIR for a folder), without waiting on it or reading it.
    static Result<std::optional<Bytes>> read(const std::string& path, std::uint64_t maxBytes = UINT64_MAX);
    // Creates missing parent folders (0700) and replaces the file with the data (0600).
    static Status writeAtomically(const std::string& path, const Bytes& data);
    static Status writeAtomically(const std::string& path, std::string_view data);
    // Makes the folder and its missing parents with mode 0700.
    static Status makeFolders(const std::string& path);
};

} // namespace platform
