#include "platform/files/FileLock.h"

#include "platform/core/Log.h"
#include "platform/files/StorePlace.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <thread>

namespace platform {

Status FileLock::lock(const std::string& lockFilePath, Mode mode) {
    return lock(lockFilePath, mode, std::chrono::milliseconds::max());
}

Status FileLock::lock(const std::string& lockFilePath, Mode mode, std::chrono::milliseconds within) {
    unlock();
    // Only a regular file of the path's own is locked: a folder or a socket there would refuse every lock
    // for good, a link would lock a file every other program may lock too (/dev/null) or make one where
    // it points, and a pipe would hold the open. Such a thing is moved aside.
    if (!StorePlace::isUsable(StorePlace::makeFit(lockFilePath, "FileLock")))
        return Error(kPOSIXErrorDomain, EINVAL, "cannot lock " + lockFilePath + ": it is not a regular file");
    int fd = ::open(lockFilePath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    if (fd < 0 && (errno == EACCES || errno == EPERM)) {
        const int refused = errno;
        // A lock file whose permissions were taken away (by another program of the same user) would
        // refuse every lock for good: it is moved aside whole, said once, and made again.
        if (const std::optional<std::string> aside = StorePlace::moveAside(lockFilePath, "FileLock")) {
            Log::write("FileLock: " + lockFilePath + " could not be opened (" + std::strerror(refused) + "); it was moved aside to " + *aside);
            fd = ::open(lockFilePath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
        } else {
            errno = refused;
        }
    }
    if (fd < 0)
        return Error(kPOSIXErrorDomain, errno, "cannot open lock file " + lockFilePath + ": " + std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Error(kPOSIXErrorDomain, EINVAL, "cannot lock " + lockFilePath + ": it is not a regular file");
    }
    // Unbounded: one blocking call. Bounded: tries without blocking, a little longer apart each time (up to
    // 50 ms), until the time is up.
    const bool bounded = within != std::chrono::milliseconds::max();
    const auto deadline = bounded ? std::chrono::steady_clock::now() + within : std::chrono::steady_clock::time_point::max();
    auto pause = std::chrono::milliseconds(1);
    while (::flock(fd, (mode == Mode::Exclusive ? LOCK_EX : LOCK_SH) | (bounded ? LOCK_NB : 0)) != 0) {
        if (errno == EINTR)
            continue;
        if (bounded && errno == EWOULDBLOCK && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(pause);
            pause = std::min(pause * 2, std::chrono::milliseconds(50));
            continue;
        }
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
