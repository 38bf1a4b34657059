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

    // The temporary sibling a writer of `path` in this process writes before its rename, as a template
    // for mkostemp: "<folder>/.<name, cut to 64 bytes>.tmp-<pid>-XXXXXX" (a name always short enough).
    static std::string temporaryTemplate(const std::string& path);
    // Which temporary siblings removeLeftOvers takes: those of every writer, for a caller that holds the
    // lock every writer of the path holds while writing (none is being written then), or only those of
    // writers that ended (the pid in their name runs no more; a name without one, from before pids were
    // named, once it is an hour old).
    enum class LeftOvers { OfEveryWriter, OfEndedWriters };
    // Removes the temporary siblings a writer of `path` that ended before its rename left beside it
    // (temporaryTemplate's, writeAtomically's "<name>.tmp-<pid>-<n>", and ".<name>.XXXXXX"), which may
    // be as large as the file: at most 64 a call, among the folder's first 100,000 names. Only regular
    // files go, each removed relative to the opened folder: a link or folder of such a name stays, and
    // no link is followed. Answers how many went.
    static std::size_t removeLeftOvers(const std::string& path, LeftOvers which);
};

} // namespace platform
