#include "platform/files/RootFolder.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {
namespace {

enum class Beneath { Unknown, Available, Missing };
std::atomic<Beneath> g_beneath{Beneath::Unknown};
std::atomic<bool> g_forceWalk{false};

// A rename inside the folder while the kernel resolves makes it give up (EAGAIN); a few tries are enough.
constexpr int kResolveAttempts = 8;

int openBeneath(int folder, const std::string& relative, int flags, mode_t mode) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & O_CREAT) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    for (int attempt = 0;; ++attempt) {
        const long fd = ::syscall(SYS_openat2, folder, relative.c_str(), &how, sizeof how);
        if (fd >= 0 || errno != EAGAIN || attempt + 1 >= kResolveAttempts)
            return static_cast<int>(fd);
    }
}

std::string joined(const std::vector<std::string>& components, std::size_t count) {
    std::string out;
    for (std::size_t i = 0; i < count; ++i) {
        if (i)
            out += '/';
        out += components[i];
    }
    return out;
}

// ELOOP when `name` in `folder` is a symbolic link, else `fallback`.
int linkOr(int folder, const std::string& name, int fallback) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return fallback;
}

// An O_PATH descriptor opened with O_NOFOLLOW names the link itself: refuse it like any other link.
int refuseOpenedLink(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return 0;
}

} // namespace

void UniqueFd::reset(int fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

bool splitRelativePath(std::string_view relative, std::vector<std::string>& components) {
    std::vector<std::string> parts;
    while (!relative.empty()) {
        const std::size_t slash = relative.find('/');
        std::string_view part = relative.substr(0, slash);
        if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos)
            return false;
        parts.emplace_back(part);
        if (slash == std::string_view::npos)
            break;
        relative.remove_prefix(slash + 1);
        if (relative.empty())
            return false; // a trailing "/": an empty last component
    }
    components = std::move(parts);
    return true;
}

bool RootFolder::kernelResolvesBeneath() {
    if (g_forceWalk)
        return false;
    Beneath known = g_beneath.load();
    if (known == Beneath::Unknown) {
        const int fd = openBeneath(AT_FDCWD, "/", O_PATH, 0);
        // ENOSYS: an older kernel; EPERM: a filter that refuses the call.
        known = fd >= 0 || (errno != ENOSYS && errno != EPERM) ? Beneath::Available : Beneath::Missing;
        if (fd >= 0)
            ::close(fd);
        g_beneath = known;
    }
    return known == Beneath::Available;
}

void RootFolder::setComponentWalkForTesting(bool forced) {
    g_forceWalk = forced;
}

ErrnoResult<RootFolder> RootFolder::open(const std::string& path, Links links) {
    const int fd = ::open(path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return {RootFolder(), errno};
    return {RootFolder(UniqueFd(fd), links), 0};
}

int RootFolder::noFollowFlag() const {
    return m_links == Links::Refused ? O_NOFOLLOW : 0;
}

int RootFolder::atNoFollowFlag() const {
    return m_links == Links::Refused ? AT_SYMLINK_NOFOLLOW : 0;
}

ErrnoResult<UniqueFd> RootFolder::openFolder(std::string_view relative, bool createMissing) const {
    std::vector<std::string> components;
    if (!splitRelativePath(relative, components))
        return {UniqueFd(), EINVAL};
    constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    if (components.empty()) {
        const int fd = ::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0);
        return fd < 0 ? ErrnoResult<UniqueFd>{UniqueFd(), errno} : ErrnoResult<UniqueFd>{UniqueFd(fd), 0};
    }
    if (m_links == Links::Followed && !createMissing) {
        const int fd = ::openat(m_fd.get(), std::string(relative).c_str(), kFolderFlags);
        return fd < 0 ? ErrnoResult<UniqueFd>{UniqueFd(), errno} : ErrnoResult<UniqueFd>{UniqueFd(fd), 0};
    }
    if (m_links == Links::Refused && !createMissing && kernelResolvesBeneath()) {
        const int fd = openBeneath(m_fd.get(), std::string(relative), kFolderFlags, 0);
        return fd < 0 ? ErrnoResult<UniqueFd>{UniqueFd(), errno} : ErrnoResult<UniqueFd>{UniqueFd(fd), 0};
    }
    // One component at a time, each opened relative to the one before and never through a link.
    const int flags = kFolderFlags | noFollowFlag();
    UniqueFd current(::fcntl(m_fd.get(), F_DUPFD_CLOEXEC, 0));
    if (!current)
        return {UniqueFd(), errno};
    for (const std::string& component : components) {
        int fd = ::openat(current.get(), component.c_str(), flags);
        if (fd < 0 && errno == ENOENT && createMissing) {
            if (::mkdirat(current.get(), component.c_str(), 0755) != 0 && errno != EEXIST)
                return {UniqueFd(), errno};
            fd = ::openat(current.get(), component.c_str(), flags);
        }
        if (fd < 0) {
            const int error = errno;
            return {UniqueFd(), m_links == Links::Refused ? linkOr(current.get(), component, error) : error};
        }
        current.reset(fd);
        if (m_links == Links::Refused) {
            if (int link = refuseOpenedLink(fd))
                return {UniqueFd(), link};
        }
    }
    return {std::move(current), 0};
}

ErrnoResult<RootFolder::Parent> RootFolder::openParent(std::string_view relative, bool createMissing) const {
    std::vector<std::string> components;
    if (!splitRelativePath(relative, components))
        return {Parent(), EINVAL};
    if (components.empty()) {
        auto folder = openFolder("", false);
        if (!folder)
            return {Parent(), folder.error};
        return {Parent{std::move(folder.value), "."}, 0};
    }
    auto folder = openFolder(joined(components, components.size() - 1), createMissing);
    if (!folder)
        return {Parent(), folder.error};
    return {Parent{std::move(folder.value), components.back()}, 0};
}

ErrnoResult<UniqueFd> RootFolder::openItem(std::string_view relative, int flags, mode_t mode) const {
    std::vector<std::string> components;
    if (!splitRelativePath(relative, components))
        return {UniqueFd(), EINVAL};
    const mode_t createMode = (flags & O_CREAT) ? mode : 0;
    if (components.empty()) {
        const int fd = ::openat(m_fd.get(), ".", flags | O_CLOEXEC, createMode);
        return fd < 0 ? ErrnoResult<UniqueFd>{UniqueFd(), errno} : ErrnoResult<UniqueFd>{UniqueFd(fd), 0};
    }
    if (m_links == Links::Followed) {
        const int fd = ::openat(m_fd.get(), std::string(relative).c_str(), flags | O_CLOEXEC, createMode);
        return fd < 0 ? ErrnoResult<UniqueFd>{UniqueFd(), errno} : ErrnoResult<UniqueFd>{UniqueFd(fd), 0};
    }
    int fd = -1;
    if (kernelResolvesBeneath()) {
        fd = openBeneath(m_fd.get(), std::string(relative), flags | O_NOFOLLOW, mode);
        if (fd < 0) {
            const int error = errno;
            // O_NOFOLLOW with O_DIRECTORY answers ENOTDIR for a link: say what it is.
            return {UniqueFd(), error == ENOTDIR ? linkOr(m_fd.get(), std::string(relative), error) : error};
        }
    } else {
        auto parent = openParent(relative);
        if (!parent)
            return {UniqueFd(), parent.error};
        fd = ::openat(parent.value.folder.get(), parent.value.name.c_str(), flags | O_CLOEXEC | O_NOFOLLOW, createMode);
        if (fd < 0) {
            const int error = errno;
            // O_NOFOLLOW with O_DIRECTORY answers ENOTDIR for a link: say what it is.
            return {UniqueFd(), error == ENOTDIR ? linkOr(parent.value.folder.get(), parent.value.name, error) : error};
        }
    }
    UniqueFd opened(fd);
    if (int link = refuseOpenedLink(opened.get()))
        return {UniqueFd(), link};
    return {std::move(opened), 0};
}

} // namespace platform
