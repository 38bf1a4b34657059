#include "platform/files/StorePlace.h"

#include "platform/core/Log.h"
#include "platform/files/FileManager.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

namespace {

const char* kindOf(mode_t mode) {
    if (S_ISREG(mode))
        return "a file";
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

// Moves the thing at `path` aside: to asideName(path), or, when what an earlier move left there cannot go
// (a folder with something in it that cannot be removed), to a name of its own beside it. Nothing when it
// cannot be moved; errno says why (ENOENT: it went meanwhile).
std::optional<std::string> moveAside(const std::string& path) {
    const std::string aside = StorePlace::asideName(path);
    if (renamedOver(path, aside))
        return aside;
    const int error = errno;
    if (error == ENOENT)
        return std::nullopt;
    static std::atomic<unsigned> counter{0};
    for (int attempt = 0; attempt < 16; ++attempt) {
        const std::string own = aside + "." + std::to_string(::getpid()) + "-" + std::to_string(counter.fetch_add(1));
        struct stat taken {};
        if (::lstat(own.c_str(), &taken) == 0)
            continue;
        if (::rename(path.c_str(), own.c_str()) == 0)
            return own;
        if (errno == ENOENT)
            return std::nullopt;
        break;
    }
    errno = error;
    return std::nullopt;
}

// Whether `aside` holds, instead of what was seen at the place, a thing of the kind the store keeps that
// another process put there between the look and the move.
bool tookAnothersThing(const std::string& aside, const struct stat& seen, bool folder) {
    struct stat moved {};
    return ::lstat(aside.c_str(), &moved) == 0 && (folder ? S_ISDIR(moved.st_mode) : S_ISREG(moved.st_mode)) &&
           (moved.st_dev != seen.st_dev || moved.st_ino != seen.st_ino);
}

StorePlace::Fit moveAsideLogged(const std::string& path, std::string_view owner, const struct stat& seen, bool folder) {
    const char* wanted = folder ? "a folder" : "a file";
    const std::optional<std::string> aside = moveAside(path);
    if (!aside) {
        if (errno == ENOENT)
            return StorePlace::Fit::Empty;
        Log::write(std::string(owner) + ": " + path + " is " + kindOf(seen.st_mode) + ", not " + wanted +
                   ", and cannot be moved aside: " + std::strerror(errno));
        return StorePlace::Fit::Blocked;
    }
    // Another process may have put its new file (or folder) in the place between the look and the move:
    // that one goes back, never replacing what stands there by now.
    if (tookAnothersThing(*aside, seen, folder)) {
        (void)::syscall(SYS_renameat2, AT_FDCWD, aside->c_str(), AT_FDCWD, path.c_str(), 1 /* RENAME_NOREPLACE */);
        return StorePlace::Fit::RegularFile;
    }
    Log::write(std::string(owner) + ": " + path + " was " + kindOf(seen.st_mode) + ", not " + wanted + "; it was moved aside to " +
               *aside + " and the store starts afresh");
    return StorePlace::Fit::MovedAside;
}

} // namespace

StorePlace::Fit StorePlace::makeFit(const std::string& path, std::string_view owner, Accept accept) {
    struct stat seen {};
    if (::lstat(path.c_str(), &seen) != 0) {
        if (errno == ENOENT)
            return Fit::Empty;
        Log::write(std::string(owner) + ": " + path + " cannot be looked at: " + std::strerror(errno));
        return Fit::Blocked;
    }
    if (S_ISREG(seen.st_mode) || (accept == Accept::FileOrFolder && S_ISDIR(seen.st_mode)))
        return Fit::RegularFile;
    return moveAsideLogged(path, owner, seen, false);
}

StorePlace::Fit StorePlace::makeFolderFit(const std::string& path, std::string_view owner) {
    struct stat seen {};
    if (::lstat(path.c_str(), &seen) != 0) {
        if (errno == ENOENT)
            return Fit::Empty;
        Log::write(std::string(owner) + ": " + path + " cannot be looked at: " + std::strerror(errno));
        return Fit::Blocked;
    }
    struct stat target {};
    if (S_ISDIR(seen.st_mode) || (S_ISLNK(seen.st_mode) && ::stat(path.c_str(), &target) == 0 && S_ISDIR(target.st_mode)))
        return Fit::RegularFile;
    return moveAsideLogged(path, owner, seen, true);
}

} // namespace platform
