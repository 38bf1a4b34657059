#include "platform/files/StorePlace.h"

#include "platform/core/Log.h"
#include "platform/files/FileManager.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <tuple>
#include <vector>

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

// Renames, never over a thing there: an earlier aside is never lost to a later one.
bool renamedNotOver(const std::string& from, const std::string& to) {
    if (::syscall(SYS_renameat2, AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), 1 /* RENAME_NOREPLACE */) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // A file system that cannot rename without replacing: the look and the rename are apart.
    struct stat there {};
    if (::lstat(to.c_str(), &there) == 0) {
        errno = EEXIST;
        return false;
    }
    return ::rename(from.c_str(), to.c_str()) == 0;
}

// Removes earlier own-name asides of `aside` (oldest first) until fewer than kKeptAsides + 1 things lie
// aside for the place, so that a stuck oldest one does not let them grow without bound. False when too
// many stay (none of them can go).
bool roomForOwnAside(const std::string& path, const std::string& aside, std::string_view owner) {
    const std::string folder = deletingLastPathComponent(path);
    const std::string base = aside.substr(aside.rfind('/') + 1);
    struct Own {
        std::int64_t changedNs;
        std::string name;
    };
    std::vector<Own> own;
    std::size_t count = 0;
    const Result<std::vector<std::string>> names = FileManager::defaultManager().contentsOfDirectory(folder);
    if (!names.ok())
        return false;
    for (const std::string& name : *names) {
        if (name.rfind(base, 0) != 0 || !StorePlace::isAsideName(name) || name.rfind(".damaged") != base.size() - 8)
            continue;
        ++count;
        if (name.find('-', base.size()) == std::string::npos)
            continue;
        struct stat st {};
        if (::lstat((folder + "/" + name).c_str(), &st) == 0)
            own.push_back({static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec, name});
    }
    std::sort(own.begin(), own.end(), [](const Own& a, const Own& b) { return std::tie(a.changedNs, a.name) < std::tie(b.changedNs, b.name); });
    for (auto it = own.begin(); count > StorePlace::kKeptAsides && it != own.end(); ++it) {
        const std::string gone = folder + "/" + it->name;
        if (!FileManager::defaultManager().removeItem(gone))
            continue;
        --count;
        Log::write(std::string(owner) + ": " + gone + ", the oldest of the things set aside from " + path +
                   " under a name of their own, was removed to keep a newer one");
    }
    return count <= StorePlace::kKeptAsides;
}

} // namespace

// Moves the thing at `path` aside: to asideName(path), the earlier ones kept (makeRoomAside), or, when
// the oldest cannot go (a folder with something in it that cannot be removed), to a name of its own beside
// it. Nothing when it cannot be moved; errno says why (ENOENT: it went meanwhile).
std::optional<std::string> StorePlace::moveAside(const std::string& path, std::string_view owner) {
    const std::string aside = StorePlace::asideName(path);
    if (StorePlace::makeRoomAside(path, owner) && renamedNotOver(path, aside))
        return aside;
    const int error = errno;
    if (error == ENOENT) {
        struct stat still {};
        if (::lstat(path.c_str(), &still) != 0)
            return std::nullopt;
    }
    if (!roomForOwnAside(path, aside, owner)) {
        errno = error;
        return std::nullopt;
    }
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

namespace {

// Whether `aside` holds, instead of what was seen at the place, a thing of the kind the store keeps that
// another process put there between the look and the move.
bool tookAnothersThing(const std::string& aside, const struct stat& seen, bool folder) {
    struct stat moved {};
    return ::lstat(aside.c_str(), &moved) == 0 && (folder ? S_ISDIR(moved.st_mode) : S_ISREG(moved.st_mode)) &&
           (moved.st_dev != seen.st_dev || moved.st_ino != seen.st_ino);
}

StorePlace::Fit moveAsideLogged(const std::string& path, std::string_view owner, const struct stat& seen, bool folder) {
    const char* wanted = folder ? "a folder" : "a file";
    const std::optional<std::string> aside = StorePlace::moveAside(path, owner);
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

bool StorePlace::isAsideName(std::string_view name) {
    constexpr std::string_view mark = ".damaged";
    const std::size_t at = name.rfind(mark);
    if (at == std::string_view::npos)
        return false;
    const std::string_view rest = name.substr(at + mark.size());
    // ".damaged", ".damaged.<age>" or ".damaged.<pid>-<n>".
    return rest.empty() || (rest.size() > 1 && rest[0] == '.' &&
                            rest.find_first_not_of("0123456789-", 1) == std::string_view::npos);
}

bool StorePlace::makeRoomAside(const std::string& path, std::string_view owner) {
    struct stat there {};
    if (::lstat(asideName(path).c_str(), &there) != 0)
        return errno == ENOENT;
    // The first free age: the ones before it each move one older into it.
    unsigned free = 1;
    while (free < kKeptAsides && ::lstat(asideName(path, free).c_str(), &there) == 0)
        ++free;
    if (free == kKeptAsides) {
        free = kKeptAsides - 1;
        const std::string oldest = asideName(path, free);
        if (!FileManager::defaultManager().removeItem(oldest)) {
            if (::lstat(oldest.c_str(), &there) == 0) {
                errno = ENOTEMPTY;
                return false;
            }
        } else {
            Log::write(std::string(owner) + ": " + oldest + ", the oldest of " + std::to_string(kKeptAsides) +
                       " things set aside from " + path + ", was removed to keep a newer one");
        }
    }
    for (unsigned age = free; age > 0; --age) {
        if (!renamedNotOver(asideName(path, age - 1), asideName(path, age)) && errno != ENOENT)
            return false;
    }
    return true;
}

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
