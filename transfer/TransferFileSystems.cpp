#include "transfer/TransferFileSystems.h"

#include "files/HYBFile.h"
#include "files/HYBFilesystemURL.h"
#include "files/HYBLocalFilesystem.h"

#include <cerrno>
#include <cstring>

namespace transfer {

namespace {

std::shared_ptr<files::HYBFile> asFilePlugin(const std::shared_ptr<runtime::HYBPlugin>& plugin) {
    return std::dynamic_pointer_cast<files::HYBFile>(plugin);
}

} // namespace

UploadSourceOutcome openUploadSource(const std::shared_ptr<runtime::HYBPlugin>& filePlugin, const std::string& source,
                                     UploadFileOnDisk& opened, SourceReadCallback callback) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file)
        return UploadSourceOutcome::NotInAFileSystem;
    std::optional<files::HYBFilesystemURL> url;
    if (!source.empty() && source.front() == '/')
        url = file->fileSystemURLforLocalPath(source);
    else
        url = file->fileSystemURLforArg(source);
    std::shared_ptr<files::HYBFileSystem> fileSystem = url ? file->filesystemForURL(*url) : nullptr;
    if (!fileSystem)
        return UploadSourceOutcome::NotInAFileSystem;
    if (auto* local = dynamic_cast<files::HYBLocalFilesystem*>(fileSystem.get())) {
        auto readable = local->openFileForReading(*url);
        if (!readable)
            return UploadSourceOutcome::Unreadable;
        opened.name = source;
        opened.length = readable.value.length;
        opened.file = std::make_shared<const platform::UniqueFd>(std::move(readable.value.file));
        return UploadSourceOutcome::Opened;
    }
    fileSystem->readFileAtURL(*url, 0, -1,
                              [callback = std::move(callback)](std::optional<platform::Bytes> data, std::optional<std::string>,
                                                               std::int32_t errorCode) { callback(std::move(data), errorCode); });
    return UploadSourceOutcome::ReadByFileSystem;
}

std::variant<TargetFolder, TargetFolderError> openTargetFolder(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                               const std::optional<std::string>& target,
                                                               const std::optional<platform::URL>& targetURL) {
    const TargetFolderError noTarget{"Could not create target file"};
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file || !target)
        return noTarget;
    // Only a place a file system holds: a target that none resolves (a path or file URL outside every
    // root, "..", an unregistered file system, another host) has no folder, whatever its own text says.
    std::optional<files::HYBFilesystemURL> url = files::HYBFilesystemURL::fileSystemURLWithString(*target);
    if (!url->fileSystemName() && targetURL && targetURL->isFileURL())
        url = file->fileSystemURLforLocalPath(targetURL->path());
    std::shared_ptr<files::HYBFileSystem> fileSystem = url && url->fileSystemName() ? file->filesystemForURL(*url) : nullptr;
    auto* local = dynamic_cast<files::HYBLocalFilesystem*>(fileSystem.get());
    if (!local)
        return noTarget;
    auto place = local->place(url->fullPath(), true);
    if (!place) {
        if (place.error == ELOOP || place.error == EINVAL || place.error == EXDEV)
            return noTarget;
        return TargetFolderError{"Could not create path to save downloaded file: " + std::string(std::strerror(place.error))};
    }
    if (place.value.isRoot)
        return noTarget;
    return TargetFolder{std::move(place.value.folder), std::move(place.value.name)};
}

std::optional<platform::URL> fileSystemURLForLocalPath(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                       const std::string& path) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file)
        return std::nullopt;
    std::optional<files::HYBFilesystemURL> url = file->fileSystemURLforLocalPath(path);
    return url ? url->url() : std::nullopt;
}

std::optional<platform::Dictionary> entryForURL(const std::shared_ptr<runtime::HYBPlugin>& filePlugin, const platform::URL& url) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    return file ? file->makeEntryForURL(url) : std::nullopt;
}

} // namespace transfer
