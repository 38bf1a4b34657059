#include "platform/files/FileHandle.h"

#include "platform/files/PosixIO.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

Result<std::unique_ptr<FileHandle>> FileHandle::open(const std::string& path, int flags, FileAccess access) {
    int fd = ::open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0)
        return fileError(errno, access, path, "Could not open");
    return std::unique_ptr<FileHandle>(new FileHandle(fd, path));
}

Result<std::unique_ptr<FileHandle>> FileHandle::openForReading(const std::string& path) {
    return open(path, O_RDONLY, FileAccess::Read);
}

Result<std::unique_ptr<FileHandle>> FileHandle::openForWriting(const std::string& path) {
    return open(path, O_WRONLY, FileAccess::Write);
}

Result<std::unique_ptr<FileHandle>> FileHandle::openForUpdating(const std::string& path) {
    return open(path, O_RDWR, FileAccess::Write);
}

FileHandle::~FileHandle() {
    if (m_fd >= 0)
        ::close(m_fd);
}

Status FileHandle::checkOpen(FileAccess access) const {
    if (m_fd < 0)
        return fileError(EBADF, access, m_path, "The file handle is closed:");
    return {};
}

Result<Bytes> FileHandle::read(std::size_t length) {
    if (Status s = checkOpen(FileAccess::Read); !s)
        return s.error();
    Bytes out;
    if (!readAll(m_fd, out, length))
        return fileError(errno, FileAccess::Read, m_path, "Could not read");
    return out;
}

Result<Bytes> FileHandle::readToEnd() {
    return read(SIZE_MAX);
}

Status FileHandle::write(const Bytes& bytes) {
    if (Status s = checkOpen(FileAccess::Write); !s)
        return s;
    if (!writeAll(m_fd, bytes))
        return fileError(errno, FileAccess::Write, m_path, "Could not write");
    return {};
}

Result<std::uint64_t> FileHandle::offset() {
    if (Status s = checkOpen(FileAccess::Read); !s)
        return s.error();
    off_t at = ::lseek(m_fd, 0, SEEK_CUR);
    if (at < 0)
        return fileError(errno, FileAccess::Read, m_path, "Could not seek in");
    return static_cast<std::uint64_t>(at);
}

Result<std::uint64_t> FileHandle::seekToEnd() {
    if (Status s = checkOpen(FileAccess::Read); !s)
        return s.error();
    off_t at = ::lseek(m_fd, 0, SEEK_END);
    if (at < 0)
        return fileError(errno, FileAccess::Read, m_path, "Could not seek in");
    return static_cast<std::uint64_t>(at);
}

Status FileHandle::seek(std::uint64_t offset) {
    if (Status s = checkOpen(FileAccess::Read); !s)
        return s;
    if (offset > static_cast<std::uint64_t>(INT64_MAX) || ::lseek(m_fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        return fileError(offset > static_cast<std::uint64_t>(INT64_MAX) ? EINVAL : errno, FileAccess::Read, m_path,
                         "Could not seek in");
    return {};
}

Status FileHandle::truncate(std::uint64_t length) {
    if (Status s = checkOpen(FileAccess::Write); !s)
        return s;
    if (length > static_cast<std::uint64_t>(INT64_MAX) || ::ftruncate(m_fd, static_cast<off_t>(length)) != 0)
        return fileError(length > static_cast<std::uint64_t>(INT64_MAX) ? EFBIG : errno, FileAccess::Write, m_path,
                         "Could not truncate");
    return seek(length);
}

Status FileHandle::synchronize() {
    if (Status s = checkOpen(FileAccess::Write); !s)
        return s;
    if (::fsync(m_fd) != 0)
        return fileError(errno, FileAccess::Write, m_path, "Could not synchronize");
    return {};
}

Status FileHandle::close() {
    if (m_fd < 0)
        return {};
    int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        return fileError(errno, FileAccess::Write, m_path, "Could not close");
    return {};
}

} // namespace platform
