#include "files/HYBFile.h"

#include "files/FullPath.h"
#include "files/HYBAssetLibraryFilesystem.h"
#include "files/HYBFilesystemURLProtocol.h"
#include "files/HYBLocalFilesystem.h"
#include "files/MimeType.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/net/URLProtocol.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>

namespace files {

using platform::FileManager;

namespace {

std::mutex& currentMutex() {
    static std::mutex mutex;
    return mutex;
}

std::weak_ptr<HYBFile>& currentFile() {
    static std::weak_ptr<HYBFile> file;
    return file;
}

constexpr const char* kDefaultExtraFileSystems = "library,library-nosync,documents,documents-nosync,cache,bundle,root";

std::string lowerCased(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> splitAtCommas(const std::string& text) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        std::size_t comma = text.find(',', start);
        parts.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos)
            return parts;
        start = comma + 1;
    }
}

// The path with symbolic links resolved where it exists, else standardised.
std::string resolvingSymlinks(const std::string& path) {
    char buffer[PATH_MAX];
    if (::realpath(path.c_str(), buffer))
        return buffer;
    return standardizePath(path);
}

} // namespace

void HYBFile::registerClass() {
    static const bool registered = runtime::HYBPluginClassRegistry::shared().registerClass<HYBFile>("HYBFile");
    (void)registered;
}

std::shared_ptr<HYBFile> HYBFile::current() {
    std::lock_guard lock(currentMutex());
    return currentFile().lock();
}

std::weak_ptr<HYBFile> HYBFile::weakFile() {
    return std::static_pointer_cast<HYBFile>(weak_from_this().lock());
}

// Start-up.

void HYBFile::pluginInitialize() {
    {
        std::lock_guard lock(currentMutex());
        currentFile() = weakFile();
    }
    HYBFilesystemURLProtocol::registerProtocol();
    m_fileSystems.store(std::make_shared<const FileSystems>());

    const platform::AppFolders folders = platform::AppFolders::current();
    m_appLibraryPath = platform::appendingPathComponent(folders.library(), "files");
    m_appTempPath = standardizePath(folders.tmp());
    m_rootDocsPath = folders.documents();

    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    const platform::Dictionary settings = delegate ? delegate->settings() : platform::Dictionary();
    const std::string location = lowerCased(settings["iospersistentfilelocation"].stringOr("compatibility"));

    const FileManager& files = FileManager::defaultManager();
    if (platform::Status s = files.createDirectory(m_appTempPath, true); s)
        registerFilesystem(std::make_shared<HYBLocalFilesystem>("temporary", m_appTempPath));
    else
        platform::Log::write("Unable to create temporary directory: " + s.error().localizedDescription());

    if (location == "library") {
        if (platform::Status s = files.createDirectory(m_appLibraryPath, true); s)
            registerFilesystem(std::make_shared<HYBLocalFilesystem>("persistent", m_appLibraryPath));
        else
            platform::Log::write("Unable to create library directory: " + s.error().localizedDescription());
    } else if (checkSettings(settings)) {
        registerFilesystem(std::make_shared<HYBLocalFilesystem>("persistent", m_rootDocsPath));
    } else {
        platform::configurationFailure(
            "File plugin configuration error: Please set iosPersistentFileLocation in config.xml to one of \"library\" "
            "(for new applications) or \"compatibility\" (for compatibility with previous versions)");
    }

    registerFilesystem(std::make_shared<HYBAssetLibraryFilesystem>("assets-library"));
    registerExtraFileSystems(getExtraFileSystemsPreference(settings), getAvailableFileSystems());
}

platform::Status HYBFile::checkSettings(const platform::Dictionary& settings) {
    const std::string location = lowerCased(settings["iospersistentfilelocation"].stringOr("compatibility"));
    if (location == "library" || location == "compatibility")
        return {};
    return platform::Error("HYBFile", 1, "preference iosPersistentFileLocation is \"" + location.substr(0, 64) +
                                             "\", not \"library\" or \"compatibility\"");
}

std::vector<std::string> HYBFile::getExtraFileSystemsPreference(const platform::Dictionary& settings) {
    const platform::Value& value = settings["iosextrafilesystems"];
    return splitAtCommas(lowerCased(value.isString() ? *value.getString() : std::string(kDefaultExtraFileSystems)));
}

platform::Dictionary HYBFile::getAvailableFileSystems() {
    const platform::AppFolders folders = platform::AppFolders::current();
    return platform::Dictionary{
        {"library", folders.library()},
        {"library-nosync", platform::appendingPathComponent(folders.library(), "NoCloud")},
        {"documents", folders.documents()},
        {"documents-nosync", platform::appendingPathComponent(folders.documents(), "NoCloud")},
        {"cache", folders.caches()},
        {"bundle", folders.bundle()},
        {"root", "/"},
    };
}

void HYBFile::makeNonSyncable(const std::string& path) {
    const FileManager& files = FileManager::defaultManager();
    (void)files.createDirectory(path, true);
    (void)files.setExcludedFromBackup(path, true);
}

void HYBFile::registerExtraFileSystems(const std::vector<std::string>& names, const platform::Dictionary& available) {
    for (const char* noSync : {"library-nosync", "documents-nosync"}) {
        if (std::find(names.begin(), names.end(), noSync) != names.end())
            makeNonSyncable(available[noSync].stringOr(""));
    }
    std::set<std::string> installed;
    for (const std::string& name : names) {
        if (installed.count(name))
            continue;
        if (const platform::Value* folder = available.find(name); folder && folder->isString()) {
            registerFilesystem(std::make_shared<HYBLocalFilesystem>(name, *folder->getString()));
            installed.insert(name);
        } else {
            platform::Log::write("Unrecognized extra filesystem identifier: " + name);
        }
    }
}

// Registry and lookups.

void HYBFile::registerFilesystem(std::shared_ptr<HYBFileSystem> fileSystem) {
    if (!fileSystem)
        return;
    // The command delegates of this runtime offer no URL transformer, so file systems keep theirs unset.
    auto next = std::make_shared<FileSystems>(*m_fileSystems.load());
    next->push_back(std::move(fileSystem));
    m_fileSystems.store(std::move(next));
}

HYBFile::FileSystems HYBFile::fileSystems() const {
    return *m_fileSystems.load();
}

std::shared_ptr<HYBFileSystem> HYBFile::fileSystemByName(std::string_view name) const {
    for (const std::shared_ptr<HYBFileSystem>& fileSystem : *m_fileSystems.load()) {
        if (fileSystem->name() == name)
            return fileSystem;
    }
    return nullptr;
}

std::shared_ptr<HYBFileSystem> HYBFile::filesystemForURL(const HYBFilesystemURL& url) const {
    if (!url.fileSystemName())
        return nullptr;
    return fileSystemByName(*url.fileSystemName());
}

HYBFilesystemURL HYBFile::fileSystemURLforArg(std::string_view text) const {
    if (text.substr(0, 7) == "file://") {
        std::optional<platform::URL> url = platform::URL::fromString(text);
        if (!url)
            return HYBFilesystemURL();
        std::optional<HYBFilesystemURL> local = fileSystemURLforLocalPath(resolvingSymlinks(url->path()));
        return local ? *local : HYBFilesystemURL();
    }
    return HYBFilesystemURL(text);
}

std::optional<HYBFilesystemURL> HYBFile::fileSystemURLforLocalPath(const std::string& nativePath) const {
    std::optional<HYBFilesystemURL> best;
    for (const std::shared_ptr<HYBFileSystem>& fileSystem : *m_fileSystems.load()) {
        std::optional<HYBFilesystemURL> url = fileSystem->URLforFilesystemPath(nativePath);
        if (!url || !url->fullPath())
            continue;
        if (!best || url->fullPath()->size() < best->fullPath()->size())
            best = std::move(url);
    }
    return best;
}

std::optional<std::string> HYBFile::filesystemPathForURL(const HYBFilesystemURL& url) const {
    for (const std::shared_ptr<HYBFileSystem>& fileSystem : *m_fileSystems.load()) {
        if (url.fileSystemName() && fileSystem->name() == *url.fileSystemName()) {
            if (std::optional<std::string> path = fileSystem->filesystemPathForURL(url))
                return path;
        }
    }
    return std::nullopt;
}

std::optional<platform::Dictionary> HYBFile::makeEntryForPath(const std::string& fullPath, std::string_view fileSystemName,
                                                              bool isDirectory) const {
    std::shared_ptr<HYBFileSystem> fileSystem = fileSystemByName(fileSystemName);
    if (!fileSystem)
        return std::nullopt;
    return fileSystem->makeEntryForPath(fullPath, isDirectory);
}

std::optional<platform::Dictionary> HYBFile::makeEntryForLocalURL(const HYBFilesystemURL& url) const {
    std::shared_ptr<HYBFileSystem> fileSystem = filesystemForURL(url);
    if (!fileSystem)
        return std::nullopt;
    return fileSystem->makeEntryForLocalURL(url);
}

std::optional<platform::Dictionary> HYBFile::makeEntryForURL(const platform::URL& url) const {
    return makeEntryForLocalURL(fileSystemURLforArg(url.absoluteString()));
}

std::optional<platform::Dictionary> HYBFile::getDirectoryEntry(const std::string& nativePath, bool isDirectory) const {
    std::optional<HYBFilesystemURL> url = fileSystemURLforLocalPath(nativePath);
    if (!url || !url->fileSystemName())
        return std::nullopt;
    return makeEntryForPath(url->fullPath().value_or(""), *url->fileSystemName(), isDirectory);
}

std::optional<std::uint64_t> HYBFile::checkFreeDiskSpace(const std::string& path) {
    platform::Result<platform::FileSystemAttributes> attributes = FileManager::defaultManager().attributesOfFileSystem(path);
    if (!attributes)
        return std::nullopt;
    return attributes->freeSize;
}

std::optional<std::string> HYBFile::getMimeTypeFromPath(const std::optional<std::string>& path) {
    return HYBLocalFilesystem::getMimeTypeFromPath(path);
}

} // namespace files
