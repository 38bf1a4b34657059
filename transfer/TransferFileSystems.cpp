#include "transfer/TransferFileSystems.h"

#include "files/HYBFile.h"
#include "files/HYBFilesystemURL.h"

namespace transfer {

namespace {

std::shared_ptr<files::HYBFile> asFilePlugin(const std::shared_ptr<runtime::HYBPlugin>& plugin) {
    return std::dynamic_pointer_cast<files::HYBFile>(plugin);
}

} // namespace

bool readFileSystemSource(const std::shared_ptr<runtime::HYBPlugin>& filePlugin, const std::string& source,
                          SourceReadCallback callback) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file)
        return false;
    files::HYBFilesystemURL url = files::HYBFilesystemURL::fileSystemURLWithString(source);
    std::shared_ptr<files::HYBFileSystem> fileSystem = file->filesystemForURL(url);
    if (!fileSystem)
        return false;
    fileSystem->readFileAtURL(url, 0, -1,
                              [callback = std::move(callback)](std::optional<platform::Bytes> data, std::optional<std::string>,
                                                               std::int32_t errorCode) { callback(std::move(data), errorCode); });
    return true;
}

std::optional<platform::URL> fileSystemURLForLocalPath(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                       const std::string& path) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file)
        return std::nullopt;
    std::optional<files::HYBFilesystemURL> url = file->fileSystemURLforLocalPath(path);
    return url ? url->url() : std::nullopt;
}

std::optional<std::string> fileSystemPathForLocalPath(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                      const std::string& path) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file)
        return std::nullopt;
    std::optional<files::HYBFilesystemURL> url = file->fileSystemURLforLocalPath(path);
    return url ? file->filesystemPathForURL(*url) : std::nullopt;
}

std::optional<std::string> fileSystemPathForTarget(const std::shared_ptr<runtime::HYBPlugin>& filePlugin,
                                                   const std::string& target) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    if (!file)
        return std::nullopt;
    files::HYBFilesystemURL url = files::HYBFilesystemURL::fileSystemURLWithString(target);
    if (!url.fileSystemName())
        return std::nullopt;
    std::shared_ptr<files::HYBFileSystem> fileSystem = file->filesystemForURL(url);
    return fileSystem ? fileSystem->filesystemPathForURL(url) : std::nullopt;
}

std::optional<platform::Dictionary> entryForURL(const std::shared_ptr<runtime::HYBPlugin>& filePlugin, const platform::URL& url) {
    std::shared_ptr<files::HYBFile> file = asFilePlugin(filePlugin);
    return file ? file->makeEntryForURL(url) : std::nullopt;
}

} // namespace transfer
