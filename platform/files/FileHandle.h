// An open file: read, write, seek, truncate, sync.
//
// Guarantees:
// - Ownership: the handle owns its descriptor and closes it on destruction (or close()).
// - Thread: one thread at a time (a handle is not shared; give it a home queue).
// - Errors are values with the file error codes of FileError.h; using a closed handle is an error, not a
//   crash.
#pragma once

#include "platform/core/Error.h"
#include "platform/files/FileError.h"

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class FileHandle {
public:
    static Result<std::unique_ptr<FileHandle>> openForReading(const std::string& path);
    // Opens an existing file for writing (the position starts at 0; nothing is truncated).
    static Result<std::unique_ptr<FileHandle>> openForWriting(const std::string& path);
    static Result<std::unique_ptr<FileHandle>> openForUpdating(const std::string& path);

    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    Result<Bytes> readToEnd();
    // Up to `length` bytes (fewer at the end of the file).
    Result<Bytes> read(std::size_t length);
    Status write(const Bytes& bytes);
    Result<std::uint64_t> offset();
    Result<std::uint64_t> seekToEnd();
    Status seek(std::uint64_t offset);
    // Cuts or extends the file to `length` bytes; the position moves to `length`.
    Status truncate(std::uint64_t length);
    Status synchronize();
    Status close();
    bool isOpen() const { return m_fd >= 0; }
    const std::string& path() const { return m_path; }

private:
    FileHandle(int fd, std::string path) : m_fd(fd), m_path(std::move(path)) {}
    static Result<std::unique_ptr<FileHandle>> open(const std::string& path, int flags, FileAccess access);
    Status checkOpen(FileAccess access) const;

    int m_fd;
    std::string m_path;
};

} // namespace platform
