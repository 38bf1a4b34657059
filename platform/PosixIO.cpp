#include "platform/PosixIO.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <unistd.h>

namespace platform {

bool writeAll(int fd, const void* data, std::size_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    std::size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool readAll(int fd, Bytes& out, std::size_t limit) {
    std::uint8_t buffer[64 * 1024];
    std::size_t done = 0;
    while (done < limit) {
        ssize_t n = ::read(fd, buffer, std::min(sizeof buffer, limit - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
        done += static_cast<std::size_t>(n);
    }
    return true;
}

Error posixError(int code, const std::string& what, const std::string& path) {
    Error error(kPOSIXErrorDomain, code, what + " " + path + ": " + std::strerror(code));
    error.userInfo.set(kFilePathErrorKey, Value(path));
    return error;
}

} // namespace platform
