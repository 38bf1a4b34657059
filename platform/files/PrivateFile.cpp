#include "platform/files/PrivateFile.h"

#include "platform/files/PosixIO.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

namespace platform {

namespace {
std::string parentOf(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}
} // namespace

Result<std::optional<Bytes>> PrivateFile::read(const std::string& path, std::uint64_t maxBytes) {
    // Not blocking: a FIFO put in the file's place would wait for a writer at open.
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ENOENT)
            return std::optional<Bytes>();
        return posixError(errno, "cannot open", path);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        return posixError(err, "cannot read", path);
    }
    // A FIFO, device (a link to /dev/zero) or folder has no size to bound it by.
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        return posixError(S_ISDIR(st.st_mode) ? EISDIR : EINVAL, "not a regular file:", path);
    }
    if (static_cast<std::uint64_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return posixError(EFBIG, "too large to read:", path);
    }
    // Bounded while reading too: the file may grow meanwhile.
    const std::size_t limit = maxBytes >= SIZE_MAX ? SIZE_MAX : static_cast<std::size_t>(maxBytes) + 1;
    Bytes data;
    if (!readAll(fd, data, limit)) {
        int err = errno;
        ::close(fd);
        return posixError(err, "cannot read", path);
    }
    ::close(fd);
    if (data.size() > maxBytes)
        return posixError(EFBIG, "too large to read:", path);
    return std::optional<Bytes>(std::move(data));
}

Status PrivateFile::makeFolders(const std::string& path) {
    if (path.empty())
        return {};
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? Status() : Status(posixError(ENOTDIR, "not a folder:", path));
    std::string parent = parentOf(path);
    if (parent != path) {
        Status s = makeFolders(parent);
        if (!s)
            return s;
    }
    if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
        return posixError(errno, "cannot make folder", path);
    return {};
}

Status PrivateFile::writeAtomically(const std::string& path, const Bytes& data) {
    return writeAtomically(path, std::string_view(reinterpret_cast<const char*>(data.data()), data.size()));
}

Status PrivateFile::writeAtomically(const std::string& path, std::string_view data) {
    std::string folder = parentOf(path);
    Status made = makeFolders(folder);
    if (!made)
        return made;
    static thread_local std::mt19937_64 random{std::random_device{}()};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 16 && fd < 0; ++attempt) {
        temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(random());
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST)
            return posixError(errno, "cannot create", temp);
    }
    if (fd < 0)
        return posixError(EEXIST, "cannot create", temp);
    bool ok = writeAll(fd, data.data(), data.size()) && ::fchmod(fd, 0600) == 0 && ::fsync(fd) == 0;
    int err = errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    if (!ok || ::rename(temp.c_str(), path.c_str()) != 0) {
        if (ok)
            err = errno;
        ::unlink(temp.c_str());
        return posixError(err, "cannot write", path);
    }
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return {};
}

} // namespace platform
