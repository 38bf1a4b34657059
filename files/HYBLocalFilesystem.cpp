#include "files/HYBLocalFilesystem.h"

#include "files/FullPath.h"
#include "files/HYBFileError.h"
#include "files/MimeType.h"
#include "platform/core/Log.h"
#include "platform/files/FileManager.h"
#include "platform/system/Device.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/Text.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace files {

using platform::FileManager;
using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

namespace {

// The key of the metadata that marks an item as excluded from backup.
constexpr const char* kBackupKey = "com.apple.MobileBackup";

// A path that leaves the root (or cannot be mapped at all) is refused as malformed.
HYBPluginResult refusedPath() {
    return fileErrorResult(HYBFileError::Encoding);
}

// An option counts only when the page sent a number (its booleans are numbers too).
bool boolOption(const platform::Dictionary& options, std::string_view key) {
    const platform::Value* value = options.find(key);
    return value && (value->isNumber() || value->isBool()) && value->boolValue();
}

// A plain name inside a folder: not empty, not "." or "..", no "/" and no NUL.
bool isPlainName(const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

HYBFileError copyErrorCode(int error) {
    switch (error) {
    case EIO:
    case EFBIG:
    case EOVERFLOW:
        return HYBFileError::NotReadable;
    case ENOSPC:
    case EDQUOT:
        return HYBFileError::QuotaExceeded;
    case EACCES:
    case EPERM:
    case EROFS:
        return HYBFileError::NoModificationAllowed;
    default:
        return HYBFileError::InvalidModification;
    }
}

// The path that names an open descriptor's item for calls that take a path.
std::string descriptorPath(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// The names in an open folder (not "." or ".."), sorted; none when it cannot be read. Takes the
// descriptor.
std::optional<std::vector<std::string>> namesInFolder(platform::UniqueFd folder) {
    DIR* stream = ::fdopendir(folder.get());
    if (!stream)
        return std::nullopt;
    folder.release();
    std::vector<std::string> names;
    errno = 0;
    while (const dirent* item = ::readdir(stream)) {
        if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
            names.emplace_back(item->d_name);
    }
    const bool failed = errno != 0;
    ::closedir(stream);
    if (failed)
        return std::nullopt;
    std::sort(names.begin(), names.end());
    return names;
}

// Removes `name` in `folder` and, down to `depth` levels, everything under it, by descriptor and never
// through a link (a link is removed itself). 0 or an errno value.
int removeTree(int folder, const std::string& name, int depth) {
    struct stat st {};
    if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (!S_ISDIR(st.st_mode))
        return ::unlinkat(folder, name.c_str(), 0) == 0 ? 0 : errno;
    if (depth > 0) {
        const int fd = ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return errno;
        platform::UniqueFd child(fd);
        const int listed = ::fcntl(child.get(), F_DUPFD_CLOEXEC, 0);
        std::optional<std::vector<std::string>> names = listed >= 0 ? namesInFolder(platform::UniqueFd(listed)) : std::nullopt;
        if (!names)
            return EIO;
        for (const std::string& childName : *names) {
            if (int error = removeTree(child.get(), childName, depth - 1); error != 0 && error != ENOENT)
                return error;
        }
    }
    return ::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
}

// Copies the bytes of one open file into another. 0 or an errno value.
int copyBytes(int from, int to) {
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t n = ::read(from, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return 0;
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = ::write(to, buffer.data() + done, static_cast<std::size_t>(n - done));
            if (w < 0 && errno == EINTR)
                continue;
            if (w <= 0)
                return w < 0 ? errno : EIO;
            done += w;
        }
    }
}

// Copies `name` in `from` to the new `newName` in `to`, folders down to `depth` levels, by descriptor: no
// link on the way is followed (a link is copied as a link). `refuseSharedFiles`: a regular file with more
// than one name is not read (ELOOP), as another of its names may lie outside the source's root.
int copyTree(int from, const std::string& name, int to, const std::string& newName, int depth, bool refuseSharedFiles) {
    struct stat st {};
    if (::fstatat(from, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno;
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(PATH_MAX + 1);
        const ssize_t n = ::readlinkat(from, name.c_str(), target.data(), target.size() - 1);
        if (n < 0)
            return errno;
        target[static_cast<std::size_t>(n)] = '\0';
        return ::symlinkat(target.data(), to, newName.c_str()) == 0 ? 0 : errno;
    }
    if (S_ISDIR(st.st_mode)) {
        if (depth <= 0)
            return ELOOP;
        const int sourceFd = ::openat(from, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (sourceFd < 0)
            return errno;
        platform::UniqueFd source(sourceFd);
        if (::mkdirat(to, newName.c_str(), (st.st_mode & 07777) | 0700) != 0)
            return errno;
        const int targetFd = ::openat(to, newName.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (targetFd < 0)
            return errno;
        platform::UniqueFd target(targetFd);
        const int listed = ::fcntl(source.get(), F_DUPFD_CLOEXEC, 0);
        std::optional<std::vector<std::string>> names = listed >= 0 ? namesInFolder(platform::UniqueFd(listed)) : std::nullopt;
        if (!names)
            return EIO;
        for (const std::string& childName : *names) {
            if (int error = copyTree(source.get(), childName, target.get(), childName, depth - 1, refuseSharedFiles); error != 0)
                return error;
        }
        return 0;
    }
    if (!S_ISREG(st.st_mode))
        return EINVAL;
    const int sourceFd = ::openat(from, name.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (sourceFd < 0)
        return errno;
    platform::UniqueFd source(sourceFd);
    struct stat opened {};
    if (::fstat(source.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return EINVAL;
    if (refuseSharedFiles && opened.st_nlink > 1)
        return ELOOP;
    const int targetFd = ::openat(to, newName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, opened.st_mode & 07777);
    if (targetFd < 0)
        return errno;
    platform::UniqueFd target(targetFd);
    if (int error = copyBytes(source.get(), target.get()); error != 0) {
        target.reset();
        ::unlinkat(to, newName.c_str(), 0);
        return error;
    }
    return 0;
}

} // namespace

bool HYBLocalFilesystem::isLeavingError(int error) {
    return error == ELOOP || error == EINVAL || error == EXDEV;
}

HYBFileError HYBLocalFilesystem::errorFor(int error, HYBFileError otherwise) {
    if (isLeavingError(error))
        return HYBFileError::Encoding;
    if (error == ENOENT || error == ENOTDIR)
        return HYBFileError::NotFound;
    return otherwise;
}

int HYBLocalFilesystem::linkOr(const Place& place, int error) {
    struct stat st {};
    if (::fstatat(place.folder.get(), place.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return ELOOP;
    return error;
}

bool HYBLocalFilesystem::writeWholeFileAt(const Place& place, const platform::Bytes& data) {
    // Readers see the old file or the new one: a temporary sibling, then a rename over the name.
    for (int attempt = 0; attempt < 16; ++attempt) {
        static std::atomic<unsigned> counter{0};
        const std::string temporary = ".copy-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        const int fd = ::openat(place.folder.get(), temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EEXIST)
            continue;
        if (fd < 0)
            return false;
        platform::UniqueFd file(fd);
        std::size_t written = 0;
        while (written < data.size()) {
            const ssize_t n = ::write(file.get(), data.data() + written, data.size() - written);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            written += static_cast<std::size_t>(n);
        }
        const bool ok = written == data.size() && ::fsync(file.get()) == 0;
        file.reset();
        if (!ok || ::renameat(place.folder.get(), temporary.c_str(), place.folder.get(), place.name.c_str()) != 0) {
            ::unlinkat(place.folder.get(), temporary.c_str(), 0);
            return false;
        }
        return true;
    }
    return false;
}

HYBLocalFilesystem::HYBLocalFilesystem(std::string name, std::string root) : HYBFileSystem(std::move(name)), m_fsRoot(std::move(root)) {
    while (m_fsRoot.size() > 1 && m_fsRoot.back() == '/')
        m_fsRoot.pop_back();
    if (m_fsRoot.empty())
        m_fsRoot.push_back('/');
}

// Path mapping.

std::optional<std::string> HYBLocalFilesystem::relativePathOf(const std::string& fullPath) {
    std::optional<std::vector<std::string>> components = resolvedComponents(fullPath);
    if (!components)
        return std::nullopt;
    std::string relative;
    for (const std::string& component : *components) {
        if (!relative.empty())
            relative += '/';
        relative += component;
    }
    return relative;
}

platform::ErrnoResult<platform::RootFolder> HYBLocalFilesystem::openRoot() const {
    // The whole disk has nothing outside it: there links are followed as everywhere else.
    return platform::RootFolder::open(m_fsRoot, isConfined() ? platform::RootFolder::Links::Refused
                                                             : platform::RootFolder::Links::Followed);
}

platform::ErrnoResult<HYBLocalFilesystem::Place> HYBLocalFilesystem::place(const std::optional<std::string>& fullPath,
                                                                           bool createMissing) const {
    std::optional<std::string> relative = fullPath ? relativePathOf(*fullPath) : std::nullopt;
    if (!relative)
        return {Place(), EINVAL};
    auto root = openRoot();
    if (!root)
        return {Place(), root.error};
    auto parent = root.value.openParent(*relative, createMissing);
    if (!parent)
        return {Place(), parent.error};
    Place found;
    found.folder = std::move(parent.value.folder);
    found.name = std::move(parent.value.name);
    found.isRoot = relative->empty();
    found.noFollow = root.value.noFollowFlag();
    found.atNoFollow = root.value.atNoFollowFlag();
    return {std::move(found), 0};
}

std::optional<std::string> HYBLocalFilesystem::filesystemPathForFullPath(const std::string& fullPath) const {
    std::optional<std::string> native = nativePathUnderRoot(m_fsRoot, fullPath);
    if (!native || !isConfined())
        return native;
    // Not through a link, nor to one: the path names what the operations would reach.
    auto found = place(fullPath);
    if (!found)
        return found.error == ENOENT ? native : std::nullopt;
    struct stat st {};
    if (::fstatat(found.value.folder.get(), found.value.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
        return std::nullopt;
    return native;
}

std::optional<std::string> HYBLocalFilesystem::filesystemPathForURL(const HYBFilesystemURL& url) {
    if (!url.fullPath())
        return std::nullopt;
    return filesystemPathForFullPath(*url.fullPath());
}

std::optional<std::string> HYBLocalFilesystem::fullPathForFileSystemPath(const std::string& nativePath) const {
    return pathRelativeToRoot(m_fsRoot, nativePath);
}

std::optional<HYBFilesystemURL> HYBLocalFilesystem::URLforFullPath(const std::optional<std::string>& fullPath) const {
    if (!fullPath)
        return std::nullopt;
    // "#" is escaped too: a name holding it must not turn into a fragment and name another file.
    std::string escaped = platform::addPercentEscapes(*fullPath, {}, "#");
    std::string text = std::string(kHYBFilesystemURLScheme) + "://localhost/" + name() +
                       (!fullPath->empty() && fullPath->front() == '/' ? "" : "/") + escaped;
    HYBFilesystemURL url(text);
    if (!url.url())
        return std::nullopt;
    return url;
}

std::optional<HYBFilesystemURL> HYBLocalFilesystem::URLforFilesystemPath(const std::string& nativePath) {
    return URLforFullPath(fullPathForFileSystemPath(nativePath));
}

std::optional<std::string> HYBLocalFilesystem::getMimeTypeFromPath(const std::optional<std::string>& path) {
    if (!path)
        return std::nullopt;
    return mimeTypeFromPath(*path);
}

// Entries.

platform::Dictionary HYBLocalFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
    platform::Dictionary entry = makeEntryStart(fullPath, isDirectory, platform::lastPathComponent(stripQueryParametersFromPath(fullPath)));
    if (std::optional<std::string> native = nativePathUnderRoot(m_fsRoot, fullPath))
        entry.set("nativeURL", transformedURLString(platform::URL::fileURLWithPath(*native, isDirectory)));
    return entry;
}

platform::ErrnoResult<struct stat> HYBLocalFilesystem::statItem(const Place& place) {
    platform::ErrnoResult<struct stat> result;
    if (::fstatat(place.folder.get(), place.name.c_str(), &result.value, place.atNoFollow) != 0)
        result.error = errno;
    else if (S_ISLNK(result.value.st_mode))
        result.error = ELOOP;
    return result;
}

std::optional<platform::Dictionary> HYBLocalFilesystem::makeEntryForLocalURL(const HYBFilesystemURL& url) {
    auto found = place(url.fullPath());
    if (!found)
        return std::nullopt;
    auto st = statItem(found.value);
    if (!st)
        return std::nullopt;
    return makeEntryForPath(*url.fullPath(), S_ISDIR(st.value.st_mode));
}

HYBPluginResult HYBLocalFilesystem::entryForLocalURI(const HYBFilesystemURL& url) {
    auto found = place(url.fullPath());
    if (!found)
        return fileErrorResult(errorFor(found.error, HYBFileError::NotFound));
    auto st = statItem(found.value);
    if (!st)
        return fileErrorResult(errorFor(st.error, HYBFileError::NotFound));
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, makeEntryForPath(*url.fullPath(), S_ISDIR(st.value.st_mode)));
}

// Look-up and creation.

HYBPluginResult HYBLocalFilesystem::getFileForURL(const HYBFilesystemURL& directoryURL, const std::optional<std::string>& requestedPath,
                                                  const platform::Dictionary& options) {
    if (!requestedPath || requestedPath->find(':') != std::string::npos || !directoryURL.fullPath())
        return fileErrorResult(HYBFileError::Encoding);
    const bool create = boolOption(options, "create");
    const bool exclusive = boolOption(options, "exclusive");
    const bool getDirectory = boolOption(options, "getDir");

    std::string combined = platform::appendingPathComponent(*directoryURL.fullPath(), *requestedPath);
    if (!resolvedComponents(combined))
        return refusedPath();
    std::optional<HYBFilesystemURL> newURL = URLforFullPath(normalizePath(combined));
    if (!newURL || !newURL->fullPath())
        return refusedPath();
    auto found = place(newURL->fullPath());
    if (!found) {
        if (isLeavingError(found.error))
            return refusedPath();
        // The folder to create in is missing.
        if (create && getDirectory)
            platform::Log::write("error creating directory: " + std::string(std::strerror(found.error)));
        return fileErrorResult(create ? HYBFileError::Abort : HYBFileError::NotFound);
    }
    const Place& where = found.value;
    auto st = statItem(where);
    if (!st && isLeavingError(st.error))
        return refusedPath();
    const bool exists = st.ok();
    const bool isDirectory = exists && S_ISDIR(st.value.st_mode);
    if (!create && exists && isDirectory != getDirectory)
        return fileErrorResult(HYBFileError::TypeMismatch);
    if (!create && !exists)
        return fileErrorResult(HYBFileError::NotFound);
    if (create && exclusive && exists)
        return fileErrorResult(HYBFileError::PathExists);
    if (create && !exists) {
        if (getDirectory) {
            if (::mkdirat(where.folder.get(), where.name.c_str(), 0755) != 0 && errno != EEXIST) {
                platform::Log::write("error creating directory: " + std::string(std::strerror(errno)));
                return fileErrorResult(HYBFileError::Abort);
            }
        } else {
            const int fd = ::openat(where.folder.get(), where.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
            if (fd < 0 && errno != EEXIST)
                return fileErrorResult(HYBFileError::Abort);
            if (fd >= 0)
                ::close(fd);
        }
    }
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, makeEntryForPath(*newURL->fullPath(), getDirectory));
}

HYBPluginResult HYBLocalFilesystem::getParentForURL(const HYBFilesystemURL& url) {
    std::string fullPath = stripQueryParametersFromPath(url.fullPath().value_or(""));
    std::string parentPath = fullPath.empty() ? fullPath : platform::deletingLastPathComponent(fullPath);
    std::optional<HYBFilesystemURL> parent = URLforFullPath(parentPath);
    if (!parent || !url.fullPath() || !relativePathOf(*url.fullPath()))
        return refusedPath();
    auto found = place(parent->fullPath());
    if (!found)
        return fileErrorResult(errorFor(found.error, HYBFileError::NotFound));
    auto st = statItem(found.value);
    if (!st)
        return fileErrorResult(errorFor(st.error, HYBFileError::NotFound));
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, makeEntryForPath(*parent->fullPath(), S_ISDIR(st.value.st_mode)));
}

// Metadata.

HYBPluginResult HYBLocalFilesystem::setMetadataForURL(const HYBFilesystemURL& url, const platform::Dictionary& metadata) {
    const platform::Value* value = metadata.find(kBackupKey);
    if (!value || !(value->isNumber() || value->isBool()))
        return HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
    auto found = place(url.fullPath());
    if (!found)
        return isLeavingError(found.error) ? refusedPath() : HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
    const Place& where = found.value;
    const int fd = ::openat(where.folder.get(), where.name.c_str(), O_PATH | O_CLOEXEC | where.noFollow);
    if (fd < 0)
        return errno == ELOOP ? refusedPath() : HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
    platform::UniqueFd item(fd);
    struct stat st {};
    if (::fstat(item.get(), &st) != 0 || S_ISLNK(st.st_mode))
        return refusedPath();
    // The attribute goes to the item that was opened, whatever its name leads to by now.
    const std::string opened = descriptorPath(item.get());
    const FileManager& files = FileManager::defaultManager();
    platform::Status status;
    if (platform::isVersionAtLeast(platform::Device::current().systemVersion(), "5.1")) {
        status = files.setExcludedFromBackup(opened, value->boolValue());
    } else {
        const auto byte = static_cast<std::uint8_t>(value->integerValue() & 0xff);
        status = byte != 0 ? files.setExtendedAttribute(opened, kBackupKey, platform::Bytes{byte})
                           : files.removeExtendedAttribute(opened, kBackupKey);
    }
    return HYBPluginResult::resultWithStatus(status ? HYBCommandStatus::Ok : HYBCommandStatus::Error);
}

void HYBLocalFilesystem::getFileMetadataForURL(const HYBFilesystemURL& url, ResultCallback callback) {
    auto found = place(url.fullPath());
    auto st = found ? statItem(found.value) : platform::ErrnoResult<struct stat>{{}, found.error};
    if (!st) {
        if (isLeavingError(st.error)) {
            callback(refusedPath());
            return;
        }
        platform::Log::write("error getting metadata: " + std::string(std::strerror(st.error)));
        HYBFileError code = st.error == ENOENT || st.error == ENOTDIR ? HYBFileError::NotFound : HYBFileError::Abort;
        callback(fileErrorResult(code, HYBCommandStatus::Error));
        return;
    }
    platform::Dictionary metadata;
    metadata.set("fullPath", *url.fullPath());
    metadata.set("type", "");
    metadata.set("name", found.value.isRoot ? platform::lastPathComponent(m_fsRoot) : found.value.name);
    metadata.set("size", S_ISREG(st.value.st_mode) ? static_cast<std::uint64_t>(st.value.st_size) : 0);
    metadata.set("lastModifiedDate", static_cast<double>(st.value.st_mtim.tv_sec) * 1000.0 +
                                         static_cast<double>(st.value.st_mtim.tv_nsec) / 1e6);
    callback(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(metadata)));
}

// Removal and listing.

HYBPluginResult HYBLocalFilesystem::removeFileAtURL(const HYBFilesystemURL& url) {
    auto found = place(url.fullPath());
    if (!found)
        return fileErrorResult(errorFor(found.error, HYBFileError::NotFound));
    const Place& where = found.value;
    if (where.isRoot)
        return fileErrorResult(HYBFileError::NoModificationAllowed);
    // The item itself is never followed: removing a link removes the link.
    struct stat st {};
    if (::fstatat(where.folder.get(), where.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return fileErrorResult(HYBFileError::NotFound);
    if (S_ISDIR(st.st_mode)) {
        const int fd = ::openat(where.folder.get(), where.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        std::optional<std::vector<std::string>> names = fd >= 0 ? namesInFolder(platform::UniqueFd(fd)) : std::nullopt;
        if (names && !names->empty())
            return fileErrorResult(HYBFileError::InvalidModification);
    }
    return doRemove(where, false);
}

HYBPluginResult HYBLocalFilesystem::recursiveRemoveFileAtURL(const HYBFilesystemURL& url) {
    auto found = place(url.fullPath());
    if (!found)
        return fileErrorResult(errorFor(found.error, HYBFileError::NotFound));
    if (found.value.isRoot)
        return fileErrorResult(HYBFileError::NoModificationAllowed);
    return doRemove(found.value, true);
}

HYBPluginResult HYBLocalFilesystem::doRemove(const Place& where, bool recursive) const {
    const int error = removeTree(where.folder.get(), where.name, recursive ? kMaxTreeDepth : 0);
    if (error == 0)
        return HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok);
    const std::string path = m_fsRoot + "/" + where.name;
    platform::Log::write("error removing filesystem entry at " + path + ": " + std::strerror(error));
    if (error == ENOENT)
        return fileErrorResult(HYBFileError::NotFound);
    if (error == EACCES || error == EPERM)
        return fileErrorResult(HYBFileError::NoModificationAllowed);
    return fileErrorResult(HYBFileError::Abort);
}

HYBPluginResult HYBLocalFilesystem::readEntriesAtURL(const HYBFilesystemURL& url) {
    auto found = place(url.fullPath());
    if (!found)
        return fileErrorResult(errorFor(found.error, HYBFileError::NotFound));
    const Place& where = found.value;
    const int fd = ::openat(where.folder.get(), where.name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | where.noFollow);
    if (fd < 0)
        return fileErrorResult(errorFor(errno == ENOTDIR ? linkOr(where, ENOTDIR) : errno, HYBFileError::NotFound));
    platform::UniqueFd folder(fd);
    const int listed = ::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0);
    std::optional<std::vector<std::string>> names = listed >= 0 ? namesInFolder(platform::UniqueFd(listed)) : std::nullopt;
    if (!names)
        return fileErrorResult(HYBFileError::NotFound);
    const std::string folderPath = stripQueryParametersFromPath(*url.fullPath());
    platform::Array entries;
    for (const std::string& childName : *names) {
        struct stat st {};
        const bool isDirectory = ::fstatat(folder.get(), childName.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
        std::string fullPath = normalizePath(folderPath + "/" + childName);
        if (fullPath.empty() || fullPath.front() != '/')
            fullPath.insert(fullPath.begin(), '/');
        entries.push_back(makeEntryForPath(fullPath, isDirectory));
    }
    return HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, std::move(entries));
}

// Truncation and writing.

HYBPluginResult HYBLocalFilesystem::lengthResult(std::uint64_t length) {
    return HYBPluginResult(HYBCommandStatus::Ok, platform::Value(static_cast<long long>(length)));
}

std::optional<HYBPluginResult> HYBLocalFilesystem::checkWritable(int fd) const {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fileErrorResult(HYBFileError::InvalidModification);
    if (!S_ISREG(st.st_mode))
        return fileErrorResult(S_ISDIR(st.st_mode) ? HYBFileError::TypeMismatch : HYBFileError::InvalidModification);
    if (isConfined() && st.st_nlink > 1) {
        platform::Log::write("refused a file of " + name() + " with more than one name: another may lie outside its root");
        return refusedPath();
    }
    return std::nullopt;
}

std::optional<HYBPluginResult> HYBLocalFilesystem::resize(int fd, std::uint64_t position) const {
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return fileErrorResult(HYBFileError::InvalidModification);
    // A file grows by no more than its volume has free: a page must not claim the whole disk (or a size
    // no file can reach) with one call.
    if (position > static_cast<std::uint64_t>(st.st_size)) {
        const std::uint64_t growth = position - static_cast<std::uint64_t>(st.st_size);
        struct statvfs volume {};
        const bool known = ::fstatvfs(fd, &volume) == 0;
        const std::uint64_t free = known ? static_cast<std::uint64_t>(volume.f_bavail) * volume.f_frsize : 0;
        if (!known || growth > free || position > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
            platform::Log::write("refused to extend a file of " + name() + " by " + std::to_string(growth) +
                                 " bytes: more than the volume has free");
            return fileErrorResult(HYBFileError::QuotaExceeded);
        }
    }
    if (::ftruncate(fd, static_cast<off_t>(position)) != 0)
        return fileErrorResult(errno == EFBIG || errno == ENOSPC ? HYBFileError::QuotaExceeded : HYBFileError::InvalidModification);
    (void)::fsync(fd);
    return std::nullopt;
}

HYBPluginResult HYBLocalFilesystem::truncateFileAtURL(const HYBFilesystemURL& url, std::uint64_t position) {
    auto found = place(url.fullPath());
    if (!found)
        return found.error == ENOENT || found.error == ENOTDIR ? lengthResult(0) : fileErrorResult(errorFor(found.error, HYBFileError::InvalidModification));
    const Place& where = found.value;
    const int fd = ::openat(where.folder.get(), where.name.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | where.noFollow);
    if (fd < 0) {
        // A missing file has no length to change: nothing is made, the answer is 0.
        if (errno == ENOENT)
            return lengthResult(0);
        return errno == ELOOP ? refusedPath() : fileErrorResult(errno == EISDIR ? HYBFileError::TypeMismatch : HYBFileError::InvalidModification);
    }
    platform::UniqueFd file(fd);
    if (auto refused = checkWritable(file.get()))
        return *refused;
    if (auto refused = resize(file.get(), position))
        return *refused;
    return lengthResult(position);
}

HYBPluginResult HYBLocalFilesystem::writeToFileAtURL(const HYBFilesystemURL& url, const platform::Bytes& data, bool append) {
    return writeBytes(url, data, append ? WriteMode::Append : WriteMode::Replace, 0);
}

HYBPluginResult HYBLocalFilesystem::writeAtPosition(const HYBFilesystemURL& url, const platform::Bytes& data, std::uint64_t position) {
    return writeBytes(url, data, WriteMode::AtPosition, position);
}

HYBPluginResult HYBLocalFilesystem::writeBytes(const HYBFilesystemURL& url, const platform::Bytes& data, WriteMode mode,
                                               std::uint64_t position) {
    auto found = place(url.fullPath());
    if (!found && isLeavingError(found.error))
        return refusedPath();
    // Empty data makes no file and changes none; at a position it still cuts the file there.
    if ((data.empty() && mode != WriteMode::AtPosition) || (data.empty() && !found))
        return HYBPluginResult::messageAsDouble(HYBCommandStatus::Ok, 0);
    if (!found)
        return fileErrorResult(HYBFileError::InvalidModification, HYBCommandStatus::Error);
    const Place& where = found.value;
    const bool mayCreate = !data.empty();
    int flags = O_WRONLY | O_NONBLOCK | O_CLOEXEC | where.noFollow;
    bool created = false;
    int fd = -1;
    if (mayCreate) {
        fd = ::openat(where.folder.get(), where.name.c_str(), flags | O_CREAT | O_EXCL, 0644);
        created = fd >= 0;
    }
    if (fd < 0 && (!mayCreate || errno == EEXIST))
        fd = ::openat(where.folder.get(), where.name.c_str(), flags);
    if (fd < 0) {
        if (errno == ELOOP)
            return refusedPath();
        if (!mayCreate && errno == ENOENT)
            return HYBPluginResult::messageAsDouble(HYBCommandStatus::Ok, 0);
        return fileErrorResult(HYBFileError::InvalidModification, HYBCommandStatus::Error);
    }
    platform::UniqueFd file(fd);
    auto abandon = [&](HYBPluginResult result) {
        // A file made for a write that was then refused does not stay behind.
        if (created)
            ::unlinkat(where.folder.get(), where.name.c_str(), 0);
        return result;
    };
    if (auto refused = checkWritable(file.get()))
        return abandon(*refused);
    std::uint64_t offset = 0;
    switch (mode) {
    case WriteMode::Replace:
        if (auto refused = resize(file.get(), 0))
            return abandon(*refused);
        break;
    case WriteMode::Append: {
        struct stat st {};
        offset = ::fstat(file.get(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
        break;
    }
    case WriteMode::AtPosition:
        // Everything from the position on is replaced; a position past the end grows the file with zero
        // bytes (within the free space), as for a file that was there before.
        if (auto refused = resize(file.get(), position))
            return abandon(*refused);
        offset = position;
        break;
    }
    if (data.empty())
        return HYBPluginResult::messageAsDouble(HYBCommandStatus::Ok, 0);
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::pwrite(file.get(), data.data() + written, data.size() - written, static_cast<off_t>(offset + written));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        written += static_cast<std::size_t>(n);
    }
    if (written == 0)
        return abandon(fileErrorResult(HYBFileError::InvalidModification, HYBCommandStatus::Error));
    return lengthResult(written);
}

// Copying and moving.

bool HYBLocalFilesystem::canCopyMoveSrc(const std::string& source, const std::string& destination) {
    if (source.empty() || destination.find(source) == std::string::npos)
        return true;
    const std::size_t length = source.size();
    for (std::size_t i = length - 1; i + 2 <= destination.size(); ++i) {
        if (destination[i] == '/')
            return false;
    }
    return true;
}

void HYBLocalFilesystem::copyFileToURL(const HYBFilesystemURL& destinationURL, const std::string& newName,
                                       const std::shared_ptr<HYBFileSystem>& sourceFileSystem, const HYBFilesystemURL& sourceURL,
                                       bool copy, ResultCallback callback) {
    if (!isPlainName(newName)) {
        callback(fileErrorResult(HYBFileError::Encoding));
        return;
    }
    std::optional<std::string> destinationFull = destinationURL.fullPath();
    std::optional<std::string> destinationRelative = destinationFull ? relativePathOf(*destinationFull) : std::nullopt;
    std::optional<std::string> destination = destinationFull ? nativePathUnderRoot(m_fsRoot, *destinationFull) : std::nullopt;
    if (!destinationRelative || !destination) {
        callback(refusedPath());
        return;
    }
    auto root = openRoot();
    if (!root) {
        callback(fileErrorResult(HYBFileError::NotFound));
        return;
    }
    auto folder = root.value.openItem(*destinationRelative, O_PATH | O_DIRECTORY);
    if (!folder) {
        callback(fileErrorResult(errorFor(folder.error, HYBFileError::NotFound)));
        return;
    }
    if (!sourceFileSystem) {
        callback(fileErrorResult(HYBFileError::NotFound));
        return;
    }
    const std::string newPath = platform::appendingPathComponent(*destination, newName);
    const std::string newFullPath = fullPathForFileSystemPath(newPath).value_or("");
    Place target;
    target.folder = std::move(folder.value);
    target.name = newName;
    target.noFollow = root.value.noFollowFlag();
    target.atNoFollow = root.value.atNoFollowFlag();

    if (auto* local = dynamic_cast<HYBLocalFilesystem*>(sourceFileSystem.get())) {
        callback(copyOrMoveLocal(target, newPath, newFullPath, copy, *local, sourceURL));
        return;
    }
    // Another kind of file system (the photo library): read it all, write an ordinary file. The source
    // is never removed.
    platform::Dictionary entry = makeEntryForPath(newFullPath, false);
    auto shared = std::make_shared<Place>(std::move(target));
    sourceFileSystem->readFileAtURL(sourceURL, 0, -1,
                                    [shared, entry = std::move(entry), callback = std::move(callback)](
                                        std::optional<platform::Bytes> data, std::optional<std::string>, std::int32_t code) {
                                        if (!data) {
                                            callback(fileErrorResult(static_cast<HYBFileError>(code)));
                                            return;
                                        }
                                        if (!writeWholeFileAt(*shared, *data)) {
                                            callback(fileErrorResult(HYBFileError::Abort));
                                            return;
                                        }
                                        callback(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, entry));
                                    });
}

HYBPluginResult HYBLocalFilesystem::copyOrMoveLocal(const Place& target, const std::string& newPath, const std::string& newFullPath,
                                                    bool copy, const HYBLocalFilesystem& sourceFileSystem,
                                                    const HYBFilesystemURL& sourceURL) {
    std::optional<std::string> source =
        sourceURL.fullPath() ? nativePathUnderRoot(sourceFileSystem.m_fsRoot, *sourceURL.fullPath()) : std::nullopt;
    auto from = sourceFileSystem.place(sourceURL.fullPath());
    if (!source || (!from && isLeavingError(from.error)))
        return refusedPath();
    if (!from)
        return fileErrorResult(HYBFileError::NotFound);
    auto sourceStat = statItem(from.value);
    if (!sourceStat)
        return isLeavingError(sourceStat.error) ? refusedPath() : fileErrorResult(HYBFileError::NotFound);
    if (newPath == *source)
        return fileErrorResult(HYBFileError::InvalidModification);
    const bool sourceIsDirectory = S_ISDIR(sourceStat.value.st_mode);
    struct stat targetStat {};
    const bool newExists = ::fstatat(target.folder.get(), target.name.c_str(), &targetStat, AT_SYMLINK_NOFOLLOW) == 0;
    if (newExists && S_ISLNK(targetStat.st_mode) && isConfined())
        return refusedPath();
    const bool newIsDirectory = newExists && S_ISDIR(targetStat.st_mode);
    if (sourceIsDirectory && newExists && !newIsDirectory)
        return fileErrorResult(HYBFileError::InvalidModification);

    int error = 0;
    if (copy) {
        if (sourceIsDirectory && !canCopyMoveSrc(*source, newPath))
            return fileErrorResult(HYBFileError::InvalidModification);
        if (newExists)
            return fileErrorResult(HYBFileError::PathExists);
        // Nothing that might also lie outside its root is read: a file with a second name is refused.
        error = copyTree(from.value.folder.get(), from.value.name, target.folder.get(), target.name, kMaxTreeDepth,
                         sourceFileSystem.isConfined());
        if (error == ELOOP)
            return refusedPath();
    } else {
        // A file system's root stays where it is, as it cannot be removed either.
        if (from.value.isRoot)
            return fileErrorResult(HYBFileError::NoModificationAllowed);
        if (!sourceIsDirectory && newIsDirectory)
            return fileErrorResult(HYBFileError::InvalidModification);
        if (sourceIsDirectory && !canCopyMoveSrc(*source, newPath))
            return fileErrorResult(HYBFileError::InvalidModification);
        if (newIsDirectory) {
            const int fd = ::openat(target.folder.get(), target.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            std::optional<std::vector<std::string>> names = fd >= 0 ? namesInFolder(platform::UniqueFd(fd)) : std::nullopt;
            if (!names || !names->empty())
                return fileErrorResult(HYBFileError::InvalidModification);
        }
        // The rename takes the item whose folder was opened, and replaces a file or empty folder there.
        if (::renameat(from.value.folder.get(), from.value.name.c_str(), target.folder.get(), target.name.c_str()) != 0) {
            error = errno;
            if (error == EXDEV) {
                // Another volume: a copy, then the original goes.
                error = copyTree(from.value.folder.get(), from.value.name, target.folder.get(), target.name, kMaxTreeDepth,
                                 sourceFileSystem.isConfined());
                if (error == 0)
                    error = removeTree(from.value.folder.get(), from.value.name, kMaxTreeDepth);
                if (error == ELOOP)
                    return refusedPath();
            } else if (error == ENOTEMPTY || error == EEXIST || error == EISDIR || error == ENOTDIR || error == EINVAL) {
                return fileErrorResult(HYBFileError::InvalidModification);
            }
        }
    }
    if (error != 0)
        return fileErrorResult(copyErrorCode(error));
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, makeEntryForPath(newFullPath, sourceIsDirectory));
}

// Reading.

platform::ErrnoResult<HYBLocalFilesystem::OpenedFile> HYBLocalFilesystem::openForReading(const Place& where) const {
    constexpr auto kNotFound = static_cast<int>(HYBFileError::NotFound);
    constexpr auto kNotReadable = static_cast<int>(HYBFileError::NotReadable);
    constexpr auto kRefused = static_cast<int>(HYBFileError::Encoding);
    // Only regular files are read: a device ("/dev/zero") or a FIFO has no end and would block or grow
    // until the process is killed. A directory reads as missing. The kind is looked at before anything
    // is opened (opening a device may act on it), and again on what was opened.
    auto st = statItem(where);
    if (!st || S_ISDIR(st.value.st_mode))
        return {OpenedFile(), !st && isLeavingError(st.error) ? kRefused : kNotFound};
    if (!S_ISREG(st.value.st_mode)) {
        platform::Log::write("refused to read " + where.name + " of " + name() + ": not a regular file");
        return {OpenedFile(), kNotReadable};
    }
    const int fd = ::openat(where.folder.get(), where.name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | where.noFollow);
    if (fd < 0)
        return {OpenedFile(), errno == ELOOP ? kRefused : kNotFound};
    platform::UniqueFd file(fd);
    struct stat opened {};
    if (::fstat(file.get(), &opened) != 0 || !S_ISREG(opened.st_mode))
        return {OpenedFile(), kNotReadable};
    if (isConfined() && opened.st_nlink > 1) {
        platform::Log::write("refused to read " + where.name + " of " + name() + ": it has another name, maybe outside its root");
        return {OpenedFile(), kRefused};
    }
    return {OpenedFile{std::move(file), static_cast<std::uint64_t>(opened.st_size)}, 0};
}

platform::ErrnoResult<HYBLocalFilesystem::OpenedFile> HYBLocalFilesystem::openFileForReading(const HYBFilesystemURL& url) const {
    auto found = place(url.fullPath());
    if (!found)
        return {OpenedFile(), static_cast<int>(isLeavingError(found.error) ? HYBFileError::Encoding : HYBFileError::NotFound)};
    return openForReading(found.value);
}

void HYBLocalFilesystem::readFileAtURL(const HYBFilesystemURL& url, std::int64_t start, std::int64_t end, ReadCallback callback) {
    auto found = place(url.fullPath());
    const std::string mimeType = getMimeTypeFromPath(platform::lastPathComponent(stripQueryParametersFromPath(url.fullPath().value_or(""))))
                                     .value_or("*/*");
    constexpr auto kNotFound = static_cast<std::int32_t>(HYBFileError::NotFound);
    constexpr auto kNotReadable = static_cast<std::int32_t>(HYBFileError::NotReadable);
    constexpr auto kRefused = static_cast<std::int32_t>(HYBFileError::Encoding);
    if (!found) {
        callback(std::nullopt, isLeavingError(found.error) ? std::nullopt : std::optional<std::string>(mimeType),
                 isLeavingError(found.error) ? kRefused : kNotFound);
        return;
    }
    auto opened = openForReading(found.value);
    if (!opened) {
        const bool leaving = opened.error == static_cast<int>(HYBFileError::Encoding);
        callback(std::nullopt, leaving ? std::nullopt : std::optional<std::string>(mimeType), opened.error);
        return;
    }
    platform::UniqueFd file = std::move(opened.value.file);
    const std::uint64_t size = opened.value.length;
    // The length is the difference taken as unsigned: an end below the start reads to the end.
    const std::uint64_t first = start >= 1 ? static_cast<std::uint64_t>(start) : 0;
    const std::uint64_t available = size > first ? size - first : 0;
    const std::uint64_t requested = end < 0 ? available : static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
    const std::uint64_t length = std::min(requested, available);
    if (length > kMaxReadLength) {
        platform::Log::write("refused to read " + std::to_string(length) + " bytes of " + found.value.name + ": a read returns at most " +
                             std::to_string(kMaxReadLength));
        callback(std::nullopt, mimeType, kNotReadable);
        return;
    }
    platform::Bytes data(static_cast<std::size_t>(length));
    std::size_t got = 0;
    while (got < data.size()) {
        const ssize_t n = ::pread(file.get(), data.data() + got, data.size() - got, static_cast<off_t>(first + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            callback(std::nullopt, mimeType, kNotFound);
            return;
        }
        if (n == 0)
            break; // the file was cut meanwhile
        got += static_cast<std::size_t>(n);
    }
    data.resize(got);
    file.reset();
    callback(std::move(data), mimeType, 0);
}

} // namespace files
