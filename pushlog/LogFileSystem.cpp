#include "pushlog/LogFileSystem.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace pushlog::logfs {

namespace {

platform::Error posixError(int code) { return platform::Error(platform::kPOSIXErrorDomain, code, std::strerror(code)); }

std::string platformAttributeName(const std::string& name) { return "user." + name; }

platform::Date dateOf(const struct statx_timestamp& t) {
    return platform::Date{static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9};
}

} // namespace

std::optional<FileAttributes> attributesOfItem(const std::string& path) {
    struct statx info{};
    if (statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &info) != 0)
        return std::nullopt;
    FileAttributes attributes;
    attributes.creationDate = dateOf((info.stx_mask & STATX_BTIME) ? info.stx_btime : info.stx_mtime);
    attributes.modificationDate = dateOf(info.stx_mtime);
    attributes.size = info.stx_size;
    return attributes;
}

bool fileExists(const std::string& path) {
    struct stat info{};
    return ::lstat(path.c_str(), &info) == 0;
}

platform::Status createDirectory(const std::string& path) {
    std::string partial;
    std::size_t at = 0;
    while (at != std::string::npos) {
        at = path.find('/', at + 1);
        partial = path.substr(0, at);
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST)
            return posixError(errno);
    }
    struct stat info{};
    if (::stat(path.c_str(), &info) != 0)
        return posixError(errno);
    if (!S_ISDIR(info.st_mode))
        return posixError(ENOTDIR);
    return {};
}

platform::Status createEmptyFile(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return posixError(errno);
    ::close(fd);
    return {};
}

platform::Status moveItem(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) != 0)
        return posixError(errno);
    return {};
}

platform::Status removeItem(const std::string& path) {
    if (::unlink(path.c_str()) != 0)
        return posixError(errno);
    return {};
}

std::vector<std::string> contentsOfDirectory(const std::string& path) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

bool hasExtendedAttribute(const std::string& path, const std::string& name) {
    return ::getxattr(path.c_str(), platformAttributeName(name).c_str(), nullptr, 0) >= 0;
}

platform::Status setExtendedAttribute(const std::string& path, const std::string& name) {
    if (::setxattr(path.c_str(), platformAttributeName(name).c_str(), "", 0, 0) != 0)
        return posixError(errno);
    return {};
}

platform::Status removeExtendedAttribute(const std::string& path, const std::string& name) {
    if (::removexattr(path.c_str(), platformAttributeName(name).c_str()) != 0 && errno != ENODATA)
        return posixError(errno);
    return {};
}

} // namespace pushlog::logfs
