#include "platform/FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

Status FileLock::lock(const std::string& lockFilePath, Mode mode) {
    unlock();
    int fd = ::open(lockFilePath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return Error(kPOSIXErrorDomain, errno, "cannot open lock file " + lockFilePath + ": " + std::strerror(errno));
    while (::flock(fd, mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) != 0) {
        if (errno == EINTR)
            continue;
        int err = errno;
        ::close(fd);
        return Error(kPOSIXErrorDomain, err, "cannot lock " + lockFilePath + ": " + std::strerror(err));
    }
    m_fd = fd;
    return {};
}

void FileLock::unlock() {
    if (m_fd < 0)
        return;
    ::flock(m_fd, LOCK_UN);
    ::close(m_fd);
    m_fd = -1;
}

} // namespace platform
