#include "platform/StorePlace.h"

#include "platform/FileManager.h"
#include "platform/Log.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISDIR(mode))
        return "a folder";
    if (S_ISLNK(mode))
        return "a symbolic link";
    if (S_ISFIFO(mode))
        return "a pipe";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return "a device";
    return "not a regular file";
}

bool renamedOver(const std::string& from, const std::string& to) {
    if (::rename(from.c_str(), to.c_str()) == 0)
        return true;
    // What an earlier move left there (of another kind, or a folder with something in it) gives way.
    if (errno != EEXIST && errno != ENOTEMPTY && errno != EISDIR && errno != ENOTDIR)
        return false;
    const int error = errno;
    if (!FileManager::defaultManager().removeItem(to)) {
        errno = error;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

} // namespace

StorePlace::Fit StorePlace::makeFit(const std::string& path, std::string_view owner) {
    struct stat seen {};
    if (::lstat(path.c_str(), &seen) != 0) {
        if (errno == ENOENT)
            return Fit::Empty;
        Log::write(std::string(owner) + ": " + path + " cannot be looked at: " + std::strerror(errno));
        return Fit::Blocked;
    }
    if (S_ISREG(seen.st_mode))
        return Fit::RegularFile;
    const std::string aside = asideName(path);
    if (!renamedOver(path, aside)) {
        Log::write(std::string(owner) + ": " + path + " is " + kindOf(seen.st_mode) +
                   ", not a file, and cannot be moved aside: " + std::strerror(errno));
        return Fit::Blocked;
    }
    // Another process may have put its new file in the place between the look and the move: that one
    // goes back, never replacing what stands there by now.
    struct stat moved {};
    if (::lstat(aside.c_str(), &moved) == 0 && S_ISREG(moved.st_mode) &&
        (moved.st_dev != seen.st_dev || moved.st_ino != seen.st_ino)) {
        (void)::syscall(SYS_renameat2, AT_FDCWD, aside.c_str(), AT_FDCWD, path.c_str(), 1 /* RENAME_NOREPLACE */);
        return Fit::RegularFile;
    }
    Log::write(std::string(owner) + ": " + path + " was " + kindOf(seen.st_mode) + ", not a file; it was moved aside to " +
               aside + " and the store starts afresh");
    return Fit::MovedAside;
}

} // namespace platform
