#include "platform/files/PrivateFile.h"

#include "platform/files/PosixIO.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <optional>
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

namespace {
// How much of a file's name its temporary siblings keep: the longest name a folder takes still has one.
constexpr std::size_t kTemporaryNameHint = 64;
constexpr std::size_t kMaxLeftOversRemoved = 64;
constexpr std::size_t kMaxNamesLookedAt = 100'000;
// A temporary sibling without a pid in its name is taken for a left-over once it is this old.
constexpr time_t kUnnamedWriterAge = 3600;

bool isDigits(std::string_view text) {
    return !text.empty() && text.size() <= 19 && text.find_first_not_of("0123456789") == std::string_view::npos;
}

bool isLettersOrDigits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    });
}

// Whether the process of this pid runs (another user's too); this process's own writers always do.
bool runs(std::string_view digits) {
    const long long pid = std::strtoll(std::string(digits).c_str(), nullptr, 10);
    if (pid <= 0 || pid > std::numeric_limits<pid_t>::max())
        return false;
    return pid == ::getpid() || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH;
}

// The pid a temporary sibling of `name` names ("" for the form without one), or nullopt for another name.
std::optional<std::string_view> writerOf(std::string_view entry, const std::string& name) {
    const std::string hinted = "." + name.substr(0, kTemporaryNameHint) + ".";
    const auto pidThen = [](std::string_view rest, bool sixLetters) -> std::optional<std::string_view> {
        const std::size_t dash = rest.find('-');
        if (dash == std::string_view::npos || !isDigits(rest.substr(0, dash)))
            return std::nullopt;
        const std::string_view tail = rest.substr(dash + 1);
        if (sixLetters ? tail.size() != 6 || !isLettersOrDigits(tail) : !isDigits(tail))
            return std::nullopt;
        return rest.substr(0, dash);
    };
    if (entry.substr(0, hinted.size()) == hinted) {
        const std::string_view rest = entry.substr(hinted.size());
        if (rest.substr(0, 4) == "tmp-")
            return pidThen(rest.substr(4), true);
        if (rest.size() == 6 && isLettersOrDigits(rest))
            return std::string_view();
    }
    if (entry.substr(0, name.size()) == name && entry.substr(name.size(), 5) == ".tmp-")
        return pidThen(entry.substr(name.size() + 5), false);
    return std::nullopt;
}
} // namespace

std::string PrivateFile::temporaryTemplate(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    return folder + "." + name.substr(0, kTemporaryNameHint) + ".tmp-" + std::to_string(::getpid()) + "-XXXXXX";
}

std::size_t PrivateFile::removeLeftOvers(const std::string& path, LeftOvers which) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    DIR* dir = ::opendir(parentOf(path).c_str());
    if (!dir || name.empty()) {
        if (dir)
            ::closedir(dir);
        return 0;
    }
    const time_t now = ::time(nullptr);
    std::size_t removed = 0, looked = 0;
    while (removed < kMaxLeftOversRemoved && looked++ < kMaxNamesLookedAt) {
        const struct dirent* entry = ::readdir(dir);
        if (!entry)
            break;
        const std::optional<std::string_view> writer = writerOf(entry->d_name, name);
        struct stat st {};
        if (!writer || ::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
            continue;
        if (which == LeftOvers::OfEndedWriters &&
            (writer->empty() ? now - st.st_mtime < kUnnamedWriterAge : runs(*writer)))
            continue;
        if (::unlinkat(::dirfd(dir), entry->d_name, 0) == 0)
            ++removed;
    }
    ::closedir(dir);
    return removed;
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
