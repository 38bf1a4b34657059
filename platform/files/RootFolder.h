// An open folder under which items are reached by descriptor, never by a path that something could
// change between a check and its use: every item below it is opened relative to the folder's descriptor,
// refusing symbolic links on the way (the kernel's openat2 with RESOLVE_BENEATH and RESOLVE_NO_SYMLINKS
// where it has it, one component at a time with O_NOFOLLOW otherwise). What is opened stays the item that
// was looked at, whatever is renamed or swapped for a link afterwards.
//
// Guarantees:
// - Relative paths are components joined by "/" ("" is the folder itself); an empty, "." or ".."
//   component is refused (EINVAL) before anything is opened: callers resolve them first.
// - A symbolic link anywhere on the way answers ELOOP; nothing is opened through it. The last component
//   is opened with O_NOFOLLOW too, so a link there is never followed either. A folder opened with
//   `Links::Followed` (the whole disk, "/", where nothing lies outside) follows links as usual.
// - Errors are errno values. Descriptors are close-on-exec and owned by UniqueFd.
// - Thread: a RootFolder is immutable after open(); use it from any thread.
#pragma once

#include "platform/core/Error.h"

#include <string>
#include <string_view>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace platform {

// A descriptor that closes itself.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }
    explicit operator bool() const { return valid(); }
    int release() { return std::exchange(m_fd, -1); }
    void reset(int fd = -1);

private:
    int m_fd = -1;
};

// An errno value or a result.
template <typename T>
struct ErrnoResult {
    T value{};
    int error = 0;
    bool ok() const { return error == 0; }
    explicit operator bool() const { return ok(); }
};

class RootFolder {
public:
    enum class Links { Refused, Followed };

    // Opens the folder at `path` (links in `path` itself are followed: the folder is the caller's choice).
    static ErrnoResult<RootFolder> open(const std::string& path, Links links = Links::Refused);

    RootFolder() = default;
    RootFolder(RootFolder&&) = default;
    RootFolder& operator=(RootFolder&&) = default;

    int fd() const { return m_fd.get(); }
    Links links() const { return m_links; }
    // O_NOFOLLOW, or 0 for a folder that follows links.
    int noFollowFlag() const;
    // AT_SYMLINK_NOFOLLOW, or 0 for a folder that follows links.
    int atNoFollowFlag() const;

    // Opens the item at `relative` with `flags` (O_CLOEXEC and, unless links are followed, O_NOFOLLOW are
    // added; O_CREAT takes `mode`).
    ErrnoResult<UniqueFd> openItem(std::string_view relative, int flags, mode_t mode = 0644) const;
    // Opens the folder that holds `relative` (O_PATH: for the *at calls) and gives the last component's
    // name. For "" (the folder itself) it gives a descriptor of the folder and the name ".". With
    // `createMissing` every missing folder on the way is made (mode 0755), still refusing links.
    struct Parent {
        UniqueFd folder;
        std::string name;
    };
    ErrnoResult<Parent> openParent(std::string_view relative, bool createMissing = false) const;

    // Whether this kernel resolves beneath a folder in one call (openat2); tests may force the component
    // walk that stands in for it elsewhere.
    static bool kernelResolvesBeneath();
    static void setComponentWalkForTesting(bool forced);

private:
    RootFolder(UniqueFd fd, Links links) : m_fd(std::move(fd)), m_links(links) {}
    ErrnoResult<UniqueFd> openFolder(std::string_view relative, bool createMissing) const;

    UniqueFd m_fd;
    Links m_links = Links::Refused;
};

// Splits a relative path into its components; false (nothing written) when one is empty, "." or "..".
bool splitRelativePath(std::string_view relative, std::vector<std::string>& components);

} // namespace platform
