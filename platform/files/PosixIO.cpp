#include "platform/files/PosixIO.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

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
    // The buffer is not on the caller's stack, which may be a small one (a library's thread, a crash report's);
    // the result grows only by what was read, within what a caller reserved for it.
    constexpr std::size_t kChunk = 64 * 1024;
    const auto buffer = std::make_unique<std::uint8_t[]>(kChunk);
    std::size_t done = 0;
    while (done < limit) {
        ssize_t n = ::read(fd, buffer.get(), std::min(kChunk, limit - done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer.get(), buffer.get() + n);
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
