#include "platform/files/OutputStream.h"

#include "platform/files/FileError.h"

#include <cerrno>
#include <climits>

#include <fcntl.h>
#include <unistd.h>

namespace platform {

OutputStream::~OutputStream() {
    close();
}

bool OutputStream::open() {
    if (m_fd >= 0)
        return true;
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | (m_mode == Mode::Append ? O_APPEND : O_TRUNC);
    m_fd = ::open(m_path.c_str(), flags, 0644);
    if (m_fd < 0) {
        m_error = fileError(errno, FileAccess::Write, m_path, "Could not open");
        return false;
    }
    return true;
}

long OutputStream::write(const std::uint8_t* data, std::size_t length) {
    if (m_fd < 0) {
        m_error = fileError(EBADF, FileAccess::Write, m_path, "The stream is not open:");
        return -1;
    }
    length = std::min<std::size_t>(length, LONG_MAX);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(m_fd, data + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            m_error = fileError(errno, FileAccess::Write, m_path, "Could not write");
            return done > 0 ? static_cast<long>(done) : -1;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<long>(done);
}

void OutputStream::close() {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
}

} // namespace platform
