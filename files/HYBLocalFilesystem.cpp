#include "files/HYBLocalFilesystem.h"

#include "files/FullPath.h"
#include "files/HYBFileError.h"
#include "files/MimeType.h"
#include "platform/Device.h"
#include "platform/FileHandle.h"
#include "platform/FileManager.h"
#include "platform/Log.h"
#include "platform/OutputStream.h"
#include "platform/PercentEscaping.h"
#include "platform/Text.h"

#include <algorithm>
#include <sys/stat.h>

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

HYBFileError copyErrorCode(const platform::Error& error) {
    switch (error.code) {
    case platform::FileErrorCode::ReadUnknown:
    case platform::FileErrorCode::ReadTooLarge:
        return HYBFileError::NotReadable;
    case platform::FileErrorCode::WriteOutOfSpace:
        return HYBFileError::QuotaExceeded;
    case platform::FileErrorCode::WriteNoPermission:
        return HYBFileError::NoModificationAllowed;
    default:
        return HYBFileError::InvalidModification;
    }
}

} // namespace

HYBLocalFilesystem::HYBLocalFilesystem(std::string name, std::string root) : HYBFileSystem(std::move(name)), m_fsRoot(std::move(root)) {
    while (m_fsRoot.size() > 1 && m_fsRoot.back() == '/')
        m_fsRoot.pop_back();
    if (m_fsRoot.empty())
        m_fsRoot.push_back('/');
}

// Path mapping.

std::optional<std::string> HYBLocalFilesystem::filesystemPathForFullPath(const std::string& fullPath) const {
    std::optional<std::string> native = nativePathUnderRoot(m_fsRoot, fullPath);
    if (!native || !resolvesInsideRoot(m_fsRoot, *native))
        return std::nullopt;
    return native;
}

std::optional<std::string> HYBLocalFilesystem::removablePathForURL(const HYBFilesystemURL& url) const {
    if (!url.fullPath())
        return std::nullopt;
    std::optional<std::string> native = nativePathUnderRoot(m_fsRoot, *url.fullPath());
    if (!native || !resolvesInsideRoot(m_fsRoot, *native, FinalComponent::NotFollowed))
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
    if (std::optional<std::string> native = filesystemPathForFullPath(fullPath))
        entry.set("nativeURL", transformedURLString(platform::URL::fileURLWithPath(*native, isDirectory)));
    return entry;
}

std::optional<platform::Dictionary> HYBLocalFilesystem::makeEntryForLocalURL(const HYBFilesystemURL& url) {
    std::optional<std::string> native = filesystemPathForURL(url);
    const FileManager& files = FileManager::defaultManager();
    if (!native || !files.fileExists(*native))
        return std::nullopt;
    return makeEntryForPath(*url.fullPath(), files.isDirectory(*native));
}

HYBPluginResult HYBLocalFilesystem::entryForLocalURI(const HYBFilesystemURL& url) {
    if (!filesystemPathForURL(url))
        return refusedPath();
    if (std::optional<platform::Dictionary> entry = makeEntryForLocalURL(url))
        return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(*entry));
    return fileErrorResult(HYBFileError::NotFound);
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
    std::optional<std::string> native = newURL ? filesystemPathForURL(*newURL) : std::nullopt;
    if (!native)
        return refusedPath();

    const FileManager& files = FileManager::defaultManager();
    const bool exists = files.fileExists(*native);
    const bool isDirectory = exists && files.isDirectory(*native);
    if (!create && exists && isDirectory != getDirectory)
        return fileErrorResult(HYBFileError::TypeMismatch);
    if (!create && !exists)
        return fileErrorResult(HYBFileError::NotFound);
    if (create && exclusive && exists)
        return fileErrorResult(HYBFileError::PathExists);
    if (create && !exists) {
        if (getDirectory) {
            if (platform::Status s = files.createDirectory(*native, false); !s) {
                platform::Log::write("error creating directory: " + s.error().localizedDescription());
                return fileErrorResult(HYBFileError::Abort);
            }
        } else if (platform::Status s = files.createFile(*native, {}); !s) {
            return fileErrorResult(HYBFileError::Abort);
        }
    }
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, makeEntryForPath(*newURL->fullPath(), getDirectory));
}

HYBPluginResult HYBLocalFilesystem::getParentForURL(const HYBFilesystemURL& url) {
    std::string fullPath = stripQueryParametersFromPath(url.fullPath().value_or(""));
    std::string parentPath = fullPath.empty() ? fullPath : platform::deletingLastPathComponent(fullPath);
    std::optional<HYBFilesystemURL> parent = URLforFullPath(parentPath);
    std::optional<std::string> native = parent ? filesystemPathForURL(*parent) : std::nullopt;
    if (!native || !filesystemPathForURL(url))
        return refusedPath();
    const FileManager& files = FileManager::defaultManager();
    if (!files.fileExists(*native))
        return fileErrorResult(HYBFileError::NotFound);
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok,
                                                makeEntryForPath(*parent->fullPath(), files.isDirectory(*native)));
}

// Metadata.

HYBPluginResult HYBLocalFilesystem::setMetadataForURL(const HYBFilesystemURL& url, const platform::Dictionary& metadata) {
    const platform::Value* value = metadata.find(kBackupKey);
    if (!value || !(value->isNumber() || value->isBool()))
        return HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
    std::optional<std::string> native = filesystemPathForURL(url);
    if (!native)
        return refusedPath();
    const FileManager& files = FileManager::defaultManager();
    platform::Status status;
    if (platform::isVersionAtLeast(platform::Device::current().systemVersion(), "5.1")) {
        status = files.setExcludedFromBackup(*native, value->boolValue());
    } else {
        const auto byte = static_cast<std::uint8_t>(value->integerValue() & 0xff);
        status = byte != 0 ? files.setExtendedAttribute(*native, kBackupKey, platform::Bytes{byte})
                           : files.removeExtendedAttribute(*native, kBackupKey);
    }
    return HYBPluginResult::resultWithStatus(status ? HYBCommandStatus::Ok : HYBCommandStatus::Error);
}

void HYBLocalFilesystem::getFileMetadataForURL(const HYBFilesystemURL& url, ResultCallback callback) {
    std::optional<std::string> native = filesystemPathForURL(url);
    if (!native) {
        callback(refusedPath());
        return;
    }
    platform::Result<platform::FileAttributes> attributes = FileManager::defaultManager().attributesOfItem(*native);
    if (!attributes) {
        platform::Log::write("error getting metadata: " + attributes.error().localizedDescription());
        HYBFileError code = platform::isNoSuchFileError(attributes.error()) ? HYBFileError::NotFound : HYBFileError::Abort;
        callback(fileErrorResult(code, HYBCommandStatus::Error));
        return;
    }
    platform::Dictionary metadata;
    metadata.set("fullPath", *url.fullPath());
    metadata.set("type", "");
    metadata.set("name", platform::lastPathComponent(*native));
    metadata.set("size", attributes->type == platform::FileType::Regular ? attributes->size : 0);
    metadata.set("lastModifiedDate", attributes->modificationDate.secondsSince1970 * 1000.0);
    callback(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(metadata)));
}

// Removal and listing.

HYBPluginResult HYBLocalFilesystem::removeFileAtURL(const HYBFilesystemURL& url) {
    std::optional<std::string> native = removablePathForURL(url);
    if (!native)
        return refusedPath();
    if (*native == m_fsRoot)
        return fileErrorResult(HYBFileError::NoModificationAllowed);
    const FileManager& files = FileManager::defaultManager();
    if (!files.fileExists(*native))
        return fileErrorResult(HYBFileError::NotFound);
    if (files.isDirectory(*native)) {
        platform::Result<std::vector<std::string>> contents = files.contentsOfDirectory(*native);
        if (contents && !contents->empty())
            return fileErrorResult(HYBFileError::InvalidModification);
    }
    return doRemove(*native);
}

HYBPluginResult HYBLocalFilesystem::recursiveRemoveFileAtURL(const HYBFilesystemURL& url) {
    std::optional<std::string> native = removablePathForURL(url);
    if (!native)
        return refusedPath();
    if (*native == m_fsRoot)
        return fileErrorResult(HYBFileError::NoModificationAllowed);
    return doRemove(*native);
}

HYBPluginResult HYBLocalFilesystem::doRemove(const std::string& nativePath) const {
    platform::Status status = FileManager::defaultManager().removeItem(nativePath);
    if (status)
        return HYBPluginResult::resultWithStatus(HYBCommandStatus::Ok);
    platform::Log::write("error removing filesystem entry at " + nativePath + ": " + status.error().localizedDescription());
    if (status.error().code == platform::FileErrorCode::NoSuchFile)
        return fileErrorResult(HYBFileError::NotFound);
    if (status.error().code == platform::FileErrorCode::WriteNoPermission)
        return fileErrorResult(HYBFileError::NoModificationAllowed);
    return fileErrorResult(HYBFileError::Abort);
}

HYBPluginResult HYBLocalFilesystem::readEntriesAtURL(const HYBFilesystemURL& url) {
    std::optional<std::string> native = filesystemPathForURL(url);
    if (!native)
        return refusedPath();
    const FileManager& files = FileManager::defaultManager();
    platform::Result<std::vector<std::string>> names = files.contentsOfDirectory(*native);
    if (!names)
        return fileErrorResult(HYBFileError::NotFound);
    platform::Array entries;
    for (const std::string& childName : *names) {
        std::string child = platform::appendingPathComponent(*native, childName);
        std::optional<std::string> fullPath = fullPathForFileSystemPath(child);
        if (fullPath)
            entries.push_back(makeEntryForPath(*fullPath, files.isDirectory(child)));
    }
    return HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, std::move(entries));
}

// Truncation and writing.

std::optional<std::uint64_t> HYBLocalFilesystem::truncateFile(const std::string& nativePath, std::uint64_t position) const {
    platform::Result<std::unique_ptr<platform::FileHandle>> handle = platform::FileHandle::openForWriting(nativePath);
    if (!handle)
        return 0;
    if (platform::Status s = (*handle)->truncate(position); !s)
        return std::nullopt;
    platform::Result<std::uint64_t> offset = (*handle)->offset();
    (void)(*handle)->synchronize();
    (void)(*handle)->close();
    return offset.valueOr(0);
}

HYBPluginResult HYBLocalFilesystem::truncateFileAtURL(const HYBFilesystemURL& url, std::uint64_t position) {
    std::optional<std::string> native = filesystemPathForURL(url);
    if (!native)
        return refusedPath();
    // A file grows by no more than the volume has free: a page must not claim the whole disk (or a size
    // no file can reach) with one call.
    struct stat st {};
    if (::stat(native->c_str(), &st) == 0 && position > static_cast<std::uint64_t>(st.st_size)) {
        platform::Result<platform::FileSystemAttributes> volume = FileManager::defaultManager().attributesOfFileSystem(*native);
        const std::uint64_t growth = position - static_cast<std::uint64_t>(st.st_size);
        if (!volume || growth > volume->freeSize) {
            platform::Log::write("refused to extend " + *native + " by " + std::to_string(growth) +
                                 " bytes: more than the volume has free");
            return fileErrorResult(HYBFileError::QuotaExceeded);
        }
    }
    std::optional<std::uint64_t> length = truncateFile(*native, position);
    if (!length)
        return fileErrorResult(HYBFileError::InvalidModification);
    return HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, static_cast<std::int32_t>(*length));
}

HYBPluginResult HYBLocalFilesystem::writeToFileAtURL(const HYBFilesystemURL& url, const platform::Bytes& data, bool append) {
    std::optional<std::string> native = filesystemPathForURL(url);
    if (!native)
        return refusedPath();
    if (data.empty())
        return HYBPluginResult::messageAsDouble(HYBCommandStatus::Ok, 0);
    platform::OutputStream stream(*native, append ? platform::OutputStream::Mode::Append : platform::OutputStream::Mode::Replace);
    long written = stream.open() ? stream.write(data.data(), data.size()) : -1;
    stream.close();
    if (static_cast<std::int32_t>(written) < 1)
        return fileErrorResult(HYBFileError::InvalidModification, HYBCommandStatus::Error);
    return HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, static_cast<std::int32_t>(written));
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
    std::optional<std::string> destination = filesystemPathForURL(destinationURL);
    if (!destination) {
        callback(refusedPath());
        return;
    }
    if (!FileManager::defaultManager().fileExists(*destination) || !sourceFileSystem) {
        callback(fileErrorResult(HYBFileError::NotFound));
        return;
    }
    const std::string newPath = platform::appendingPathComponent(*destination, newName);
    const std::string newFullPath = fullPathForFileSystemPath(newPath).value_or("");

    if (dynamic_cast<HYBLocalFilesystem*>(sourceFileSystem.get())) {
        callback(copyOrMoveLocal(newPath, newFullPath, copy, sourceFileSystem, sourceURL));
        return;
    }
    // Another kind of file system (the photo library): read it all, write an ordinary file. The source
    // is never removed.
    platform::Dictionary entry = makeEntryForPath(newFullPath, false);
    sourceFileSystem->readFileAtURL(sourceURL, 0, -1,
                                    [newPath, entry = std::move(entry), callback = std::move(callback)](
                                        std::optional<platform::Bytes> data, std::optional<std::string>, std::int32_t code) {
                                        if (!data) {
                                            callback(fileErrorResult(static_cast<HYBFileError>(code)));
                                            return;
                                        }
                                        if (!FileManager::defaultManager().writeAtomically(newPath, *data)) {
                                            callback(fileErrorResult(HYBFileError::Abort));
                                            return;
                                        }
                                        callback(HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, entry));
                                    });
}

HYBPluginResult HYBLocalFilesystem::copyOrMoveLocal(const std::string& newPath, const std::string& newFullPath, bool copy,
                                                    const std::shared_ptr<HYBFileSystem>& sourceFileSystem,
                                                    const HYBFilesystemURL& sourceURL) {
    const FileManager& files = FileManager::defaultManager();
    std::optional<std::string> source = sourceFileSystem->filesystemPathForURL(sourceURL);
    if (!source)
        return refusedPath();
    if (!files.fileExists(*source))
        return fileErrorResult(HYBFileError::NotFound);
    if (newPath == *source)
        return fileErrorResult(HYBFileError::InvalidModification);
    const bool sourceIsDirectory = files.isDirectory(*source);
    const bool newExists = files.fileExists(newPath);
    const bool newIsDirectory = newExists && files.isDirectory(newPath);
    if (sourceIsDirectory && newExists && !newIsDirectory)
        return fileErrorResult(HYBFileError::InvalidModification);

    platform::Status status;
    if (copy) {
        if (sourceIsDirectory && !canCopyMoveSrc(*source, newPath))
            return fileErrorResult(HYBFileError::InvalidModification);
        if (newExists)
            return fileErrorResult(HYBFileError::PathExists);
        status = files.copyItem(*source, newPath);
    } else {
        // A file system's root stays where it is, as it cannot be removed either.
        auto* sourceLocal = static_cast<HYBLocalFilesystem*>(sourceFileSystem.get());
        if (*source == sourceLocal->fsRoot())
            return fileErrorResult(HYBFileError::NoModificationAllowed);
        if (!sourceIsDirectory && newIsDirectory)
            return fileErrorResult(HYBFileError::InvalidModification);
        if (sourceIsDirectory && !canCopyMoveSrc(*source, newPath))
            return fileErrorResult(HYBFileError::InvalidModification);
        if (newExists) {
            if (newIsDirectory) {
                platform::Result<std::vector<std::string>> contents = files.contentsOfDirectory(newPath);
                if (!contents || !contents->empty())
                    return fileErrorResult(HYBFileError::InvalidModification);
            }
            if (!files.removeItem(newPath))
                return fileErrorResult(HYBFileError::InvalidModification);
        }
        status = files.moveItem(*source, newPath);
    }
    if (!status)
        return fileErrorResult(copyErrorCode(status.error()));
    return HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, makeEntryForPath(newFullPath, sourceIsDirectory));
}

// Reading.

void HYBLocalFilesystem::readFileAtURL(const HYBFilesystemURL& url, std::int64_t start, std::int64_t end, ReadCallback callback) {
    std::optional<std::string> native = filesystemPathForURL(url);
    if (!native) {
        callback(std::nullopt, std::nullopt, static_cast<std::int32_t>(HYBFileError::Encoding));
        return;
    }
    std::string mimeType = getMimeTypeFromPath(native).value_or("*/*");
    constexpr auto kNotFound = static_cast<std::int32_t>(HYBFileError::NotFound);
    constexpr auto kNotReadable = static_cast<std::int32_t>(HYBFileError::NotReadable);
    // Only regular files are read: a device ("/dev/zero") or a FIFO has no end and would block or grow
    // until the process is killed. A directory reads as missing.
    struct stat st {};
    if (::stat(native->c_str(), &st) != 0 || S_ISDIR(st.st_mode)) {
        callback(std::nullopt, mimeType, kNotFound);
        return;
    }
    if (!S_ISREG(st.st_mode)) {
        platform::Log::write("refused to read " + *native + ": not a regular file");
        callback(std::nullopt, mimeType, kNotReadable);
        return;
    }
    // The length is the difference taken as unsigned: an end below the start reads to the end.
    const std::uint64_t first = start >= 1 ? static_cast<std::uint64_t>(start) : 0;
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::uint64_t available = size > first ? size - first : 0;
    const std::uint64_t requested = end < 0 ? available : static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
    const std::uint64_t length = std::min(requested, available);
    if (length > kMaxReadLength) {
        platform::Log::write("refused to read " + std::to_string(length) + " bytes of " + *native + ": a read returns at most " +
                             std::to_string(kMaxReadLength));
        callback(std::nullopt, mimeType, kNotReadable);
        return;
    }
    platform::Result<std::unique_ptr<platform::FileHandle>> handle = platform::FileHandle::openForReading(*native);
    if (!handle) {
        callback(std::nullopt, mimeType, kNotFound);
        return;
    }
    if (first > 0) {
        if (platform::Status s = (*handle)->seek(first); !s) {
            callback(std::nullopt, mimeType, kNotFound);
            return;
        }
    }
    platform::Result<platform::Bytes> data = (*handle)->read(static_cast<std::size_t>(length));
    (void)(*handle)->close();
    if (!data) {
        callback(std::nullopt, mimeType, kNotFound);
        return;
    }
    callback(std::move(*data), mimeType, 0);
}

} // namespace files
