#include "platform/files/FileManager.h"

#include "platform/files/PosixIO.h"
#include "platform/files/PrivateFile.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr const char* kCreationDateAttribute = "user.creation-date";
constexpr const char* kExcludedFromBackupAttribute = "user.excluded-from-backup";

Error errnoError(FileAccess access, const std::string& path, const char* what) {
    return fileError(errno, access, path, what);
}

Date dateOf(const statx_timestamp& t) {
    return Date{static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9};
}

timespec timespecOf(Date d) {
    double whole = std::floor(d.secondsSince1970);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(whole);
    ts.tv_nsec = static_cast<long>((d.secondsSince1970 - whole) * 1e9);
    return ts;
}

std::string xattrName(const std::string& name) {
    return name.rfind("user.", 0) == 0 ? name : "user." + name;
}

Status copyFile(const std::string& from, const std::string& to, mode_t mode) {
    // Only a regular file has bytes to copy: a FIFO would block the open (and the read) for ever, a device
    // would never end. The kind is checked on what was opened, without waiting for a writer.
    int in = ::open(from.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (in < 0)
        return errnoError(FileAccess::Read, from, "Could not open");
    struct stat opened {};
    if (::fstat(in, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(in);
        return fileError(EINVAL, FileAccess::Read, from, "Could not copy what is not a regular file");
    }
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 07777);
    if (out < 0) {
        Error e = errnoError(FileAccess::Write, to, "Could not create");
        ::close(in);
        return e;
    }
    Bytes buffer(64 * 1024);
    for (;;) {
        ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            Error e = errnoError(FileAccess::Read, from, "Could not read");
            ::close(in);
            ::close(out);
            ::unlink(to.c_str());
            return e;
        }
        if (n == 0)
            break;
        if (!writeAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            Error e = errnoError(FileAccess::Write, to, "Could not write");
            ::close(in);
            ::close(out);
            ::unlink(to.c_str());
            return e;
        }
    }
    ::close(in);
    if (::close(out) != 0) {
        Error e = errnoError(FileAccess::Write, to, "Could not write");
        ::unlink(to.c_str());
        return e;
    }
    ::fchmodat(AT_FDCWD, to.c_str(), mode & 07777, 0);
    return {};
}

Status copyRecursively(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return errnoError(FileAccess::Read, from, "Could not copy");
    if (S_ISLNK(st.st_mode)) {
        auto target = FileManager::defaultManager().destinationOfSymbolicLink(from);
        if (!target)
            return target.error();
        if (::symlink(target->c_str(), to.c_str()) != 0)
            return errnoError(FileAccess::Write, to, "Could not create the link");
        return {};
    }
    if (!S_ISDIR(st.st_mode)) {
        if (!S_ISREG(st.st_mode))
            return fileError(EINVAL, FileAccess::Read, from, "Could not copy what is not a regular file");
        return copyFile(from, to, st.st_mode);
    }
    if (::mkdir(to.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
        return errnoError(FileAccess::Write, to, "Could not create the folder");
    auto names = FileManager::defaultManager().contentsOfDirectory(from);
    if (!names)
        return names.error();
    for (const auto& name : *names) {
        Status s = copyRecursively(from + "/" + name, to + "/" + name);
        if (!s)
            return s;
    }
    ::chmod(to.c_str(), st.st_mode & 07777);
    return {};
}

// A descriptor closed when it goes.
class OwnedDescriptor {
public:
    explicit OwnedDescriptor(int fd = -1) : m_fd(fd) {}
    OwnedDescriptor(OwnedDescriptor&& other) noexcept : m_fd(std::exchange(other.m_fd, -1)) {}
    OwnedDescriptor& operator=(OwnedDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            m_fd = std::exchange(other.m_fd, -1);
        }
        return *this;
    }
    ~OwnedDescriptor() { reset(); }
    int get() const { return m_fd; }
    void reset() {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

// The names in an open folder (not "." nor ".."), read through a descriptor of its own.
Result<std::vector<std::string>> namesIn(int folder, const std::string& path) {
    const int own = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = own >= 0 ? ::fdopendir(own) : nullptr;
    if (!dir) {
        Error error = errnoError(FileAccess::Write, path, "Could not remove");
        if (own >= 0)
            ::close(own);
        return error;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string_view name = entry->d_name;
        if (name != "." && name != "..")
            names.emplace_back(name);
    }
    ::closedir(dir);
    return names;
}

// Folders below the removed one kept open at once; one deeper is reached again through ".." from its
// child, and only when it is still the folder that was left (device and inode), so that a deep tree
// takes a bounded number of descriptors.
constexpr std::size_t kOpenFoldersWhileRemoving = 16;

// Removes `name` in the open folder `parent` and, when it is a folder, everything under it, never
// following a link: each folder is opened relative to the one it was found in (O_NOFOLLOW,
// O_DIRECTORY), and each name removed relative to its folder (unlinkat), so that a folder swapped for a
// link meanwhile is removed as the link it now is, and nothing in the link's target. Without recursion
// (a stack of the folders open on the way down).
Status removeBeneath(int parent, const std::string& name, const std::string& path) {
    struct Folder {
        OwnedDescriptor fd; // closed past kOpenFoldersWhileRemoving
        dev_t device;
        ino_t inode;
        std::string name; // in the folder above
        std::string path;
        std::vector<std::string> left; // names still to remove
    };
    std::vector<Folder> open;
    const auto folderFd = [&](std::size_t level) { return level == 0 ? parent : open[level - 1].fd.get(); };
    // Removes one name of the innermost folder (or the item itself): a file or link at once, a folder by
    // entering it. False with an error when it cannot go.
    const auto removeName = [&](int at, const std::string& entry, const std::string& entryPath) -> Status {
        struct stat st {};
        if (::fstatat(at, entry.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
            return errnoError(FileAccess::Write, entryPath, "Could not remove");
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(at, entry.c_str(), 0) == 0)
                return {};
            if (errno != EISDIR)
                return errnoError(FileAccess::Write, entryPath, "Could not remove");
        }
        OwnedDescriptor fd(::openat(at, entry.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd.get() < 0) {
            // Swapped for a link or a file since it was looked at: that is what goes.
            if ((errno == ELOOP || errno == ENOTDIR) && ::unlinkat(at, entry.c_str(), 0) == 0)
                return {};
            return errnoError(FileAccess::Write, entryPath, "Could not remove");
        }
        struct stat opened {};
        if (::fstat(fd.get(), &opened) != 0)
            return errnoError(FileAccess::Write, entryPath, "Could not remove");
        auto names = namesIn(fd.get(), entryPath);
        if (!names)
            return names.error();
        open.push_back(Folder{std::move(fd), opened.st_dev, opened.st_ino, entry, entryPath, std::move(*names)});
        if (open.size() > kOpenFoldersWhileRemoving)
            open[open.size() - 1 - kOpenFoldersWhileRemoving].fd.reset();
        return {};
    };
    Status first = removeName(parent, name, path);
    if (!first)
        return first;
    while (!open.empty()) {
        Folder& folder = open.back();
        if (!folder.left.empty()) {
            const std::string entry = std::move(folder.left.back());
            folder.left.pop_back();
            Status removed = removeName(folder.fd.get(), entry, folder.path + "/" + entry);
            if (!removed)
                return removed;
            continue;
        }
        // Emptied: removed from the folder above, reached again through ".." when it was closed.
        const std::size_t level = open.size() - 1;
        if (level > 0 && open[level - 1].fd.get() < 0) {
            Folder& above = open[level - 1];
            OwnedDescriptor again(::openat(folder.fd.get(), "..", O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            struct stat st {};
            if (again.get() < 0 || ::fstat(again.get(), &st) != 0)
                return errnoError(FileAccess::Write, above.path, "Could not remove");
            if (st.st_dev != above.device || st.st_ino != above.inode)
                return fileError(EBUSY, FileAccess::Write, folder.path, "Could not remove (moved while it was removed)");
            above.fd = std::move(again);
        }
        const std::string emptied = folder.name;
        const std::string emptiedPath = folder.path;
        open.pop_back();
        if (::unlinkat(folderFd(level), emptied.c_str(), AT_REMOVEDIR) != 0)
            return errnoError(FileAccess::Write, emptiedPath, "Could not remove");
    }
    return {};
}

// Removes the item at `path` by descriptor from the folder it lies in (removeBeneath); the folder's own
// path is followed as given (a home reached through a link stays the home).
Status removeRecursively(const std::string& path) {
    const std::string name = lastPathComponent(path);
    if (name.empty() || name == "." || name == ".." || name == "/")
        return fileError(EINVAL, FileAccess::Write, path, "Could not remove");
    std::string folder = deletingLastPathComponent(path);
    if (folder.empty())
        folder = ".";
    OwnedDescriptor parent(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (parent.get() < 0)
        return errnoError(FileAccess::Write, path, "Could not remove");
    return removeBeneath(parent.get(), name, path);
}

void collectSubpaths(const std::string& root, const std::string& relative, std::vector<std::string>& out) {
    auto names = FileManager::defaultManager().contentsOfDirectory(relative.empty() ? root : root + "/" + relative);
    if (!names)
        return;
    for (const auto& name : *names) {
        std::string sub = relative.empty() ? name : relative + "/" + name;
        out.push_back(sub);
        struct stat st {};
        if (::lstat((root + "/" + sub).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            collectSubpaths(root, sub, out);
    }
}

} // namespace

Dictionary FileAttributes::toDictionary() const {
    const char* typeName = "NSFileTypeUnknown";
    switch (type) {
    case FileType::Regular: typeName = "NSFileTypeRegular"; break;
    case FileType::Directory: typeName = "NSFileTypeDirectory"; break;
    case FileType::SymbolicLink: typeName = "NSFileTypeSymbolicLink"; break;
    case FileType::Other: break;
    }
    return Dictionary{{"NSFileType", typeName},
                      {"NSFileSize", static_cast<unsigned long long>(size)},
                      {"NSFileModificationDate", modificationDate},
                      {"NSFileCreationDate", creationDate},
                      {"NSFilePosixPermissions", static_cast<unsigned>(posixPermissions)}};
}

FileManager& FileManager::defaultManager() {
    static auto* manager = new FileManager;
    return *manager;
}

bool FileManager::fileExists(const std::string& path) const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

bool FileManager::isDirectory(const std::string& path) const {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Status FileManager::createDirectory(const std::string& path, bool withIntermediates,
                                    const FileAttributeChanges& attributes) const {
    if (path.empty())
        return fileError(ENOENT, FileAccess::Write, path, "Could not create the folder");
    if (withIntermediates && isDirectory(path))
        return setAttributes(path, attributes);
    if (withIntermediates) {
        std::string parent = deletingLastPathComponent(path);
        if (!parent.empty() && parent != path && !isDirectory(parent)) {
            Status s = createDirectory(parent, true);
            if (!s)
                return s;
        }
    }
    const mode_t mode = attributes.posixPermissions ? static_cast<mode_t>(*attributes.posixPermissions) : 0755;
    if (::mkdir(path.c_str(), mode) != 0 && !(withIntermediates && errno == EEXIST && isDirectory(path)))
        return errnoError(FileAccess::Write, path, "Could not create the folder");
    return setAttributes(path, attributes);
}

Status FileManager::createFile(const std::string& path, const Bytes& contents,
                               const FileAttributeChanges& attributes) const {
    Status s = writeAtomically(path, contents);
    if (!s)
        return s;
    return setAttributes(path, attributes);
}

Status FileManager::writeAtomically(const std::string& path, const Bytes& contents) const {
    std::string folder = deletingLastPathComponent(path);
    if (folder.empty())
        folder.push_back('.'); // (not = ".": g++ 12 warns wrongly about that at -O2)
    // The temporary name keeps a bounded part of the name (a 255-byte name must not make it too long),
    // and the writer's pid, so that one left by a writer that ended can be told (removeLeftOvers).
    std::string temp = PrivateFile::temporaryTemplate(folder + "/" + lastPathComponent(path));
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errnoError(FileAccess::Write, path, "Could not write");
    // Keep the mode an existing file had; new files get 0644.
    struct stat st {};
    ::fchmod(fd, ::stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644);
    if (!writeAll(fd, contents) || ::fsync(fd) != 0) {
        Error e = errnoError(FileAccess::Write, path, "Could not write");
        ::close(fd);
        ::unlink(temp.c_str());
        return e;
    }
    if (::close(fd) != 0) {
        Error e = errnoError(FileAccess::Write, path, "Could not write");
        ::unlink(temp.c_str());
        return e;
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        Error e = errnoError(FileAccess::Write, path, "Could not write");
        ::unlink(temp.c_str());
        return e;
    }
    return {};
}

Result<std::size_t> FileManager::removeTemporaryLeftOvers(const std::string& path) const {
    return PrivateFile::removeLeftOvers(path, PrivateFile::LeftOvers::OfEveryWriter);
}

Result<Bytes> FileManager::contentsOfFile(const std::string& path) const {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errnoError(FileAccess::Read, path, "Could not open");
    Bytes out;
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        ::close(fd);
        return fileError(EISDIR, FileAccess::Read, path, "Could not read");
    }
    if (st.st_size > 0)
        out.reserve(static_cast<std::size_t>(st.st_size));
    if (!readAll(fd, out)) {
        Error e = errnoError(FileAccess::Read, path, "Could not read");
        ::close(fd);
        return e;
    }
    ::close(fd);
    return out;
}

Result<Bytes> FileManager::contentsOfRegularFile(const std::string& path, std::size_t maxBytes) const {
    auto refused = [&](int errnoValue, long long code, std::string why) {
        Error error(kCocoaErrorDomain, code, std::move(why));
        error.userInfo.set(kFilePathErrorKey, path);
        error.userInfo.set(kUnderlyingErrorKey, Dictionary{{"domain", kPOSIXErrorDomain}, {"code", errnoValue}});
        return error;
    };
    // O_NONBLOCK: opening a FIFO without a writer would otherwise wait for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        const int failure = errno;
        const long long code = fileErrorCode(failure, FileAccess::Read);
        if (failure == ENOENT || failure == ENOTDIR)
            return refused(failure, code, "not found");
        return refused(failure, code, std::strerror(failure));
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        const int failure = errno;
        ::close(fd);
        return refused(failure, fileErrorCode(failure, FileAccess::Read), std::strerror(failure));
    }
    if (!S_ISREG(st.st_mode)) {
        ::close(fd);
        if (S_ISDIR(st.st_mode))
            return refused(EISDIR, FileErrorCode::ReadUnknown, "a folder, not a file");
        return refused(EINVAL, FileErrorCode::ReadUnknown, "not a regular file");
    }
    const std::string tooLarge = "larger than " + std::to_string(maxBytes) + " bytes";
    if (static_cast<std::uintmax_t>(st.st_size) > maxBytes) {
        ::close(fd);
        return refused(EFBIG, FileErrorCode::ReadTooLarge, tooLarge);
    }
    Bytes out;
    out.reserve(static_cast<std::size_t>(st.st_size));
    // One byte more than allowed tells a file that grew past the bound.
    const bool read = readAll(fd, out, maxBytes == SIZE_MAX ? maxBytes : maxBytes + 1);
    const int failure = errno;
    ::close(fd);
    if (!read)
        return refused(failure, fileErrorCode(failure, FileAccess::Read), std::strerror(failure));
    if (out.size() > maxBytes)
        return refused(EFBIG, FileErrorCode::ReadTooLarge, tooLarge);
    return out;
}

Status FileManager::copyItem(const std::string& from, const std::string& to) const {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return errnoError(FileAccess::Read, from, "Could not copy");
    if (::lstat(to.c_str(), &st) == 0)
        return fileError(EEXIST, FileAccess::Write, to, "Could not copy over an existing item");
    if (to.rfind(from + "/", 0) == 0) // a folder into itself would never end
        return fileError(EINVAL, FileAccess::Write, to, "Could not copy a folder into itself");
    Status s = copyRecursively(from, to);
    if (!s && fileExists(to))
        (void)removeRecursively(to); // leave no half copy behind
    return s;
}

Status FileManager::moveItem(const std::string& from, const std::string& to) const {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0)
        return errnoError(FileAccess::Write, from, "Could not move");
    if (::lstat(to.c_str(), &st) == 0)
        return fileError(EEXIST, FileAccess::Write, to, "Could not move over an existing item");
    if (::rename(from.c_str(), to.c_str()) == 0)
        return {};
    if (errno != EXDEV)
        return errnoError(FileAccess::Write, from, "Could not move");
    Status s = copyItem(from, to);
    if (!s)
        return s;
    return removeRecursively(from);
}

Status FileManager::removeItem(const std::string& path) const {
    return removeRecursively(path);
}

Result<std::vector<std::string>> FileManager::contentsOfDirectory(const std::string& path) const {
    DIR* dir = ::opendir(path.c_str());
    if (!dir)
        return errnoError(FileAccess::Read, path, "Could not list");
    std::vector<std::string> names;
    while (dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        names.emplace_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

Result<std::vector<std::string>> FileManager::subpathsOfDirectory(const std::string& path) const {
    if (!isDirectory(path))
        return fileError(fileExists(path) ? ENOTDIR : ENOENT, FileAccess::Read, path, "Could not list");
    std::vector<std::string> out;
    collectSubpaths(path, "", out);
    return out;
}

Result<FileAttributes> FileManager::attributesOfItem(const std::string& path) const {
    struct statx sx {};
    if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BASIC_STATS | STATX_BTIME, &sx) != 0)
        return errnoError(FileAccess::Read, path, "Could not read the attributes of");
    FileAttributes a;
    if (S_ISREG(sx.stx_mode))
        a.type = FileType::Regular;
    else if (S_ISDIR(sx.stx_mode))
        a.type = FileType::Directory;
    else if (S_ISLNK(sx.stx_mode))
        a.type = FileType::SymbolicLink;
    else
        a.type = FileType::Other;
    a.size = sx.stx_size;
    a.posixPermissions = sx.stx_mode & 07777;
    a.modificationDate = dateOf(sx.stx_mtime);
    a.creationDate = (sx.stx_mask & STATX_BTIME) ? dateOf(sx.stx_btime) : a.modificationDate;
    if (a.type != FileType::SymbolicLink) {
        char text[64] = {};
        ssize_t n = ::getxattr(path.c_str(), kCreationDateAttribute, text, sizeof text - 1);
        if (n > 0)
            a.creationDate = Date{std::strtod(text, nullptr)};
    }
    return a;
}

Status FileManager::setAttributes(const std::string& path, const FileAttributeChanges& attributes) const {
    if (attributes.posixPermissions && ::chmod(path.c_str(), static_cast<mode_t>(*attributes.posixPermissions)) != 0)
        return errnoError(FileAccess::Write, path, "Could not change the permissions of");
    if (attributes.modificationDate) {
        timespec times[2] = {{0, UTIME_OMIT}, timespecOf(*attributes.modificationDate)};
        if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
            return errnoError(FileAccess::Write, path, "Could not change the dates of");
    }
    if (attributes.creationDate) {
        char text[64];
        int n = std::snprintf(text, sizeof text, "%.6f", attributes.creationDate->secondsSince1970);
        if (::setxattr(path.c_str(), kCreationDateAttribute, text, static_cast<std::size_t>(n), 0) != 0)
            return errnoError(FileAccess::Write, path, "Could not change the dates of");
    }
    return {};
}

Result<FileSystemAttributes> FileManager::attributesOfFileSystem(const std::string& path) const {
    struct statvfs vfs {};
    if (::statvfs(path.c_str(), &vfs) != 0)
        return errnoError(FileAccess::Read, path, "Could not read the volume of");
    FileSystemAttributes a;
    a.size = static_cast<std::uint64_t>(vfs.f_blocks) * vfs.f_frsize;
    a.freeSize = static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    return a;
}

Status FileManager::createSymbolicLink(const std::string& path, const std::string& destination) const {
    if (::symlink(destination.c_str(), path.c_str()) != 0)
        return errnoError(FileAccess::Write, path, "Could not create the link");
    return {};
}

Result<std::string> FileManager::destinationOfSymbolicLink(const std::string& path) const {
    std::string buffer(256, '\0');
    for (;;) {
        ssize_t n = ::readlink(path.c_str(), buffer.data(), buffer.size());
        if (n < 0)
            return errnoError(FileAccess::Read, path, "Could not read the link");
        if (static_cast<std::size_t>(n) < buffer.size()) {
            buffer.resize(static_cast<std::size_t>(n));
            return buffer;
        }
        buffer.resize(buffer.size() * 2);
    }
}

Status FileManager::setExtendedAttribute(const std::string& path, const std::string& name, const Bytes& value) const {
    if (::setxattr(path.c_str(), xattrName(name).c_str(), value.data(), value.size(), 0) != 0)
        return errnoError(FileAccess::Write, path, "Could not set an extended attribute of");
    return {};
}

Result<std::optional<Bytes>> FileManager::extendedAttribute(const std::string& path, const std::string& name) const {
    const std::string full = xattrName(name);
    for (;;) {
        ssize_t size = ::getxattr(path.c_str(), full.c_str(), nullptr, 0);
        if (size < 0) {
            if (errno == ENODATA)
                return std::optional<Bytes>();
            return errnoError(FileAccess::Read, path, "Could not read an extended attribute of");
        }
        Bytes value(static_cast<std::size_t>(size));
        ssize_t n = ::getxattr(path.c_str(), full.c_str(), value.data(), value.size());
        if (n < 0 && errno == ERANGE)
            continue; // grew meanwhile
        if (n < 0) {
            if (errno == ENODATA)
                return std::optional<Bytes>();
            return errnoError(FileAccess::Read, path, "Could not read an extended attribute of");
        }
        value.resize(static_cast<std::size_t>(n));
        return std::optional<Bytes>(std::move(value));
    }
}

Status FileManager::removeExtendedAttribute(const std::string& path, const std::string& name) const {
    if (::removexattr(path.c_str(), xattrName(name).c_str()) != 0 && errno != ENODATA)
        return errnoError(FileAccess::Write, path, "Could not remove an extended attribute of");
    return {};
}

Status FileManager::setExcludedFromBackup(const std::string& path, bool excluded) const {
    if (excluded)
        return setExtendedAttribute(path, kExcludedFromBackupAttribute, Bytes{'1'});
    return removeExtendedAttribute(path, kExcludedFromBackupAttribute);
}

bool FileManager::isExcludedFromBackup(const std::string& path) const {
    auto value = extendedAttribute(path, kExcludedFromBackupAttribute);
    return value && value->has_value();
}

std::string lastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos || p == "/")
        return p;
    return p.substr(slash + 1);
}

std::string deletingLastPathComponent(const std::string& path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    auto slash = p.rfind('/');
    if (slash == std::string::npos)
        return "";
    if (slash == 0)
        return "/";
    return p.substr(0, slash);
}

std::string appendingPathComponent(const std::string& path, const std::string& component) {
    if (path.empty())
        return component;
    if (component.empty())
        return path;
    std::string out = path;
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    std::size_t start = 0;
    while (start < component.size() && component[start] == '/')
        ++start;
    if (out != "/")
        out += '/';
    return out + component.substr(start);
}

} // namespace platform
