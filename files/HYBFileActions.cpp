// The page's actions of the file plug-in.
#include "files/FullPath.h"
#include "files/HYBFile.h"
#include "files/HYBFileError.h"
#include "files/HYBLocalFilesystem.h"
#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/text/PercentEscaping.h"
#include "platform/text/TextEncoding.h"
#include "runtime/HYBBase64.h"

#include <algorithm>
#include <cinttypes>

namespace files {

using platform::FileManager;
using runtime::HYBCommandStatus;
using runtime::HYBInvokedUrlCommand;
using runtime::HYBPluginResult;

namespace {

std::optional<std::string> stringArgument(const HYBInvokedUrlCommand& command, std::size_t index) {
    platform::Value value = command.argumentAtIndex(index);
    if (const std::string* text = value.getString())
        return *text;
    return std::nullopt;
}

std::int64_t integerArgument(const HYBInvokedUrlCommand& command, std::size_t index) {
    return command.argumentAtIndex(index).integerValue();
}

bool isPresent(const HYBInvokedUrlCommand& command, std::size_t index) {
    return !command.argumentAtIndex(index).isNull();
}

std::string fileURLString(const std::string& folder) {
    return platform::URL::fileURLWithPath(folder, true).absoluteString();
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

} // namespace

const runtime::HYBActionTable& HYBFile::actions() const {
    static const runtime::HYBActionTable table = runtime::HYBActionTable::of<HYBFile>({
        {"requestFileSystem", &HYBFile::requestFileSystem},
        {"requestAllFileSystems", &HYBFile::requestAllFileSystems},
        {"requestAllPaths", &HYBFile::requestAllPaths},
        {"resolveLocalFileSystemURI", &HYBFile::resolveLocalFileSystemURI},
        {"getFile", &HYBFile::getFile},
        {"getDirectory", &HYBFile::getDirectory},
        {"getParent", &HYBFile::getParent},
        {"setMetadata", &HYBFile::setMetadata},
        {"remove", &HYBFile::remove},
        {"removeRecursively", &HYBFile::removeRecursively},
        {"copyTo", &HYBFile::copyTo},
        {"moveTo", &HYBFile::moveTo},
        {"getFileMetadata", &HYBFile::getFileMetadata},
        {"readEntries", &HYBFile::readEntries},
        {"readAsText", &HYBFile::readAsText},
        {"readAsDataURL", &HYBFile::readAsDataURL},
        {"readAsArrayBuffer", &HYBFile::readAsArrayBuffer},
        {"readAsBinaryString", &HYBFile::readAsBinaryString},
        {"truncate", &HYBFile::truncate},
        {"write", &HYBFile::write},
        {"testFileExists", &HYBFile::testFileExists},
        {"testDirectoryExists", &HYBFile::testDirectoryExists},
        {"getFreeDiskSpace", &HYBFile::getFreeDiskSpace},
        {"_getLocalFilesystemPath", &HYBFile::_getLocalFilesystemPath},
    });
    return table;
}

void HYBFile::send(const HYBInvokedUrlCommand& command, HYBPluginResult result) {
    if (std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate())
        delegate->sendPluginResult(std::move(result), command.callbackId());
}

std::optional<std::pair<HYBFilesystemURL, std::shared_ptr<HYBFileSystem>>> HYBFile::fileSystemForArgument(
    const HYBInvokedUrlCommand& command, std::size_t index) {
    std::optional<std::string> text = stringArgument(command, index);
    HYBFilesystemURL url = text ? fileSystemURLforArg(*text) : HYBFilesystemURL();
    std::shared_ptr<HYBFileSystem> fileSystem = filesystemForURL(url);
    if (!fileSystem) {
        send(command, fileErrorResult(HYBFileError::NotFound));
        return std::nullopt;
    }
    return std::make_pair(std::move(url), std::move(fileSystem));
}

// File systems and paths.

void HYBFile::requestFileSystem(const HYBInvokedUrlCommand& command) {
    // The type is a position in the registry: any number outside it (negative, or past 32 bits) names
    // none, rather than the position its low bits happen to give.
    const std::int64_t type = integerArgument(command, 0);
    const std::int64_t size = integerArgument(command, 1);
    FileSystems all = fileSystems();
    if (type < 0 || static_cast<std::uint64_t>(type) >= all.size()) {
        platform::Log::write("No filesystem of type requested");
        send(command, fileErrorResult(HYBFileError::NotFound, HYBCommandStatus::Error));
        return;
    }
    std::optional<std::uint64_t> free = checkFreeDiskSpace(m_rootDocsPath);
    if (free && *free < static_cast<std::uint64_t>(size)) {
        send(command, fileErrorResult(HYBFileError::QuotaExceeded));
        return;
    }
    const std::shared_ptr<HYBFileSystem>& fileSystem = all[static_cast<std::size_t>(type)];
    platform::Dictionary answer{{"name", fileSystem->name()}, {"root", fileSystem->makeEntryForPath("/", true)}};
    send(command, HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(answer)));
}

void HYBFile::requestAllFileSystems(const HYBInvokedUrlCommand& command) {
    platform::Array roots;
    for (const std::shared_ptr<HYBFileSystem>& fileSystem : fileSystems())
        roots.push_back(fileSystem->makeEntryForPath("/", true));
    send(command, HYBPluginResult::messageAsArray(HYBCommandStatus::Ok, std::move(roots)));
}

void HYBFile::requestAllPaths(const HYBInvokedUrlCommand& command) {
    const platform::AppFolders folders = platform::AppFolders::current();
    const FileManager& files = FileManager::defaultManager();
    const std::string cloud = platform::appendingPathComponent(folders.library(), "Cloud");
    const std::string noCloud = platform::appendingPathComponent(folders.library(), "NoCloud");
    (void)files.createDirectory(cloud, true);
    (void)files.createDirectory(noCloud, true);
    (void)files.setExcludedFromBackup(noCloud, true);
    platform::Dictionary paths{
        {"applicationDirectory", fileURLString(folders.bundle())},
        {"applicationStorageDirectory", fileURLString(platform::deletingLastPathComponent(folders.library()))},
        {"dataDirectory", fileURLString(noCloud)},
        {"syncedDataDirectory", fileURLString(cloud)},
        {"documentsDirectory", fileURLString(folders.documents())},
        {"cacheDirectory", fileURLString(folders.caches())},
        {"tempDirectory", fileURLString(folders.tmp())},
    };
    send(command, HYBPluginResult::messageAsDictionary(HYBCommandStatus::Ok, std::move(paths)));
}

void HYBFile::resolveLocalFileSystemURI(const HYBInvokedUrlCommand& command) {
    std::optional<std::string> text = stringArgument(command, 0);
    std::optional<std::string> decoded = text ? platform::removePercentEscapes(*text) : std::nullopt;
    HYBFilesystemURL url = decoded ? fileSystemURLforArg(platform::addPercentEscapes(*decoded)) : HYBFilesystemURL();
    std::shared_ptr<HYBFileSystem> fileSystem = filesystemForURL(url);
    if (!url.url() || !fileSystem) {
        send(command, fileErrorResult(HYBFileError::Encoding, HYBCommandStatus::Error));
        return;
    }
    send(command, fileSystem->entryForLocalURI(url));
}

void HYBFile::_getLocalFilesystemPath(const HYBInvokedUrlCommand& command) {
    std::optional<std::string> text = stringArgument(command, 0);
    std::optional<std::string> path = text ? filesystemPathForURL(fileSystemURLforArg(*text)) : std::nullopt;
    if (!path) {
        send(command, HYBPluginResult::messageAsString(HYBCommandStatus::Error, "Cannot resolve URL to a file"));
        return;
    }
    send(command, HYBPluginResult::messageAsString(HYBCommandStatus::Ok, *path));
}

void HYBFile::testFileExists(const HYBInvokedUrlCommand& command) {
    std::optional<std::string> path = stringArgument(command, 0);
    const bool exists = path && FileManager::defaultManager().fileExists(*path);
    send(command, HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, exists ? 1 : 0));
}

void HYBFile::testDirectoryExists(const HYBInvokedUrlCommand& command) {
    std::optional<std::string> path = stringArgument(command, 0);
    const bool exists = path && FileManager::defaultManager().isDirectory(*path);
    send(command, HYBPluginResult::messageAsInt(HYBCommandStatus::Ok, exists ? 1 : 0));
}

void HYBFile::getFreeDiskSpace(const HYBInvokedUrlCommand& command) {
    const std::uint64_t free = checkFreeDiskSpace(m_rootDocsPath).value_or(0);
    send(command, HYBPluginResult::messageAsString(HYBCommandStatus::Ok, std::to_string(free)));
}

// Entries.

void HYBFile::getFile(const HYBInvokedUrlCommand& command) {
    auto found = fileSystemForArgument(command);
    if (!found)
        return;
    const platform::Dictionary options = command.argumentAtIndex(2).dictionaryOrEmpty();
    send(command, found->second->getFileForURL(found->first, stringArgument(command, 1), options));
}

void HYBFile::getDirectory(const HYBInvokedUrlCommand& command) {
    platform::Array arguments = command.arguments();
    platform::Dictionary options;
    if (arguments.size() >= 3)
        options = arguments[2].dictionaryOrEmpty();
    options.set("getDir", 1);
    if (arguments.size() >= 3)
        arguments[2] = std::move(options);
    else {
        arguments.resize(2);
        arguments.push_back(std::move(options));
    }
    getFile(HYBInvokedUrlCommand(std::move(arguments), command.callbackId(), command.className(), command.methodName()));
}

void HYBFile::getParent(const HYBInvokedUrlCommand& command) {
    if (auto found = fileSystemForArgument(command))
        send(command, found->second->getParentForURL(found->first));
}

void HYBFile::setMetadata(const HYBInvokedUrlCommand& command) {
    if (auto found = fileSystemForArgument(command))
        send(command, found->second->setMetadataForURL(found->first, command.argumentAtIndex(1).dictionaryOrEmpty()));
}

void HYBFile::readEntries(const HYBInvokedUrlCommand& command) {
    if (auto found = fileSystemForArgument(command))
        send(command, found->second->readEntriesAtURL(found->first));
}

void HYBFile::remove(const HYBInvokedUrlCommand& command) {
    removeEntry(command, false);
}

void HYBFile::removeRecursively(const HYBInvokedUrlCommand& command) {
    removeEntry(command, true);
}

void HYBFile::removeEntry(const HYBInvokedUrlCommand& command, bool recursive) {
    auto found = fileSystemForArgument(command);
    if (!found)
        return;
    // A root stays, also when it is only reached through "." or ".." components.
    std::optional<std::vector<std::string>> components = resolvedComponents(found->first.fullPath().value_or(""));
    if (found->first.fullPath() && components && components->empty()) {
        send(command, fileErrorResult(HYBFileError::NoModificationAllowed));
        return;
    }
    send(command, recursive ? found->second->recursiveRemoveFileAtURL(found->first) : found->second->removeFileAtURL(found->first));
}

void HYBFile::getFileMetadata(const HYBInvokedUrlCommand& command) {
    auto found = fileSystemForArgument(command);
    if (!found)
        return;
    std::weak_ptr<HYBFile> weak = weakFile();
    found->second->getFileMetadataForURL(found->first, [weak, command](HYBPluginResult result) {
        if (std::shared_ptr<HYBFile> self = weak.lock())
            self->send(command, std::move(result));
    });
}

// Copying and moving.

void HYBFile::copyTo(const HYBInvokedUrlCommand& command) {
    doCopyMove(command, true);
}

void HYBFile::moveTo(const HYBInvokedUrlCommand& command) {
    doCopyMove(command, false);
}

void HYBFile::doCopyMove(const HYBInvokedUrlCommand& command, bool copy) {
    if (!isPresent(command, 0) || !isPresent(command, 1)) {
        send(command, fileErrorResult(HYBFileError::NotFound));
        return;
    }
    auto source = fileSystemForArgument(command, 0);
    if (!source)
        return;
    auto destination = fileSystemForArgument(command, 1);
    if (!destination)
        return;
    std::optional<std::string> name;
    if (command.arguments().size() >= 3)
        name = stringArgument(command, 2);
    else if (source->first.url())
        name = platform::lastPathComponent(stripQueryParametersFromPath(source->first.fullPath().value_or("")));
    // No name, or one that is not a plain name inside the destination folder.
    if (!name || name->empty() || *name == "." || *name == ".." || name->find_first_of(":/") != std::string::npos ||
        name->find('\0') != std::string::npos) {
        send(command, fileErrorResult(HYBFileError::Encoding));
        return;
    }
    std::weak_ptr<HYBFile> weak = weakFile();
    destination->second->copyFileToURL(destination->first, *name, source->second, source->first, copy,
                                       [weak, command](HYBPluginResult result) {
                                           if (std::shared_ptr<HYBFile> self = weak.lock())
                                               self->send(command, std::move(result));
                                       });
}

// Reading.

void HYBFile::readAsText(const HYBInvokedUrlCommand& command) {
    readFile(command, ReadKind::Text);
}

void HYBFile::readAsDataURL(const HYBInvokedUrlCommand& command) {
    readFile(command, ReadKind::DataURL);
}

void HYBFile::readAsArrayBuffer(const HYBInvokedUrlCommand& command) {
    readFile(command, ReadKind::ArrayBuffer);
}

void HYBFile::readAsBinaryString(const HYBInvokedUrlCommand& command) {
    readFile(command, ReadKind::BinaryString);
}

HYBPluginResult HYBFile::answerForRead(ReadKind kind, const platform::Bytes& data, const std::optional<std::string>& mimeType) {
    std::string_view bytes(reinterpret_cast<const char*>(data.data()), data.size());
    switch (kind) {
    case ReadKind::Text:
        if (std::optional<std::string> text = platform::decodeUTF8(bytes))
            return HYBPluginResult::messageAsString(HYBCommandStatus::Ok, std::move(*text));
        return fileErrorResult(HYBFileError::Encoding);
    case ReadKind::DataURL: {
        // An item without a type is described as plain bytes. The text is made in place, not joined
        // from pieces (each a copy of a file's bytes as Base64).
        std::string url = "data:" + mimeType.value_or("application/octet-stream") + ";base64,";
        url.reserve(url.size() + runtime::base64Length(data.size()));
        runtime::hybBase64Append(url, data);
        return HYBPluginResult::messageAsString(HYBCommandStatus::Ok, std::move(url));
    }
    case ReadKind::ArrayBuffer:
        return HYBPluginResult::messageAsArrayBuffer(HYBCommandStatus::Ok, data);
    case ReadKind::BinaryString:
        return HYBPluginResult::messageAsString(HYBCommandStatus::Ok, platform::decodeASCII(bytes));
    }
    return HYBPluginResult::resultWithStatus(HYBCommandStatus::Error);
}

void HYBFile::readFile(const HYBInvokedUrlCommand& command, ReadKind kind) {
    const std::size_t rangeIndex = kind == ReadKind::Text ? 2 : 1;
    const std::int64_t start = integerArgument(command, rangeIndex);
    const std::int64_t end = integerArgument(command, rangeIndex + 1);
    auto found = fileSystemForArgument(command);
    if (!found)
        return;
    if (kind == ReadKind::Text && !equalsIgnoringCase(stringArgument(command, 1).value_or(""), "UTF-8")) {
        platform::Log::write("Only UTF-8 encodings are currently supported by readAsText");
        send(command, fileErrorResult(HYBFileError::Encoding));
        return;
    }
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    std::weak_ptr<HYBFile> weak = weakFile();
    const std::uint64_t cost = expectedReadCost(found->second, found->first, start, end);
    // The room goes back when the answer was handed on (or was dropped), whoever holds the ticket last.
    std::shared_ptr<void> ticket(nullptr, [gate = m_readGate, cost](void*) { gate->release(cost); });
    auto work = [weak, command, kind, start, end, url = found->first, fileSystem = found->second, ticket] {
        fileSystem->readFileAtURL(url, start, end,
                                  [weak, command, kind, ticket](std::optional<platform::Bytes> data, std::optional<std::string> mimeType,
                                                                std::int32_t errorCode) {
                                      std::shared_ptr<HYBFile> self = weak.lock();
                                      if (!self)
                                          return;
                                      if (!data) {
                                          self->send(command, HYBPluginResult::messageAsInt(HYBCommandStatus::IOError, errorCode));
                                          return;
                                      }
                                      // The answer is made, then the bytes go before it is sent: a read holds
                                      // its bytes and their answer at once only while the answer is made.
                                      HYBPluginResult answer = answerForRead(kind, *data, mimeType);
                                      data.reset();
                                      self->send(command, std::move(answer));
                                  });
    };
    m_readGate->admit(cost, [delegate, work = std::move(work)]() mutable { delegate->runInBackground(std::move(work)); });
}

void HYBFile::ReadGate::admit(std::uint64_t cost, std::function<void()> start) {
    {
        std::lock_guard lock(m_mutex);
        const bool fits = m_waiting.empty() && (m_held == 0 || m_held + cost <= kReadBudget);
        if (!fits) {
            m_waiting.emplace_back(cost, std::move(start));
            return;
        }
        m_held += cost;
    }
    start();
}

void HYBFile::ReadGate::release(std::uint64_t cost) {
    std::vector<std::function<void()>> ready;
    {
        std::lock_guard lock(m_mutex);
        m_held -= std::min(m_held, cost);
        while (!m_waiting.empty() && (m_held == 0 || m_held + m_waiting.front().first <= kReadBudget)) {
            m_held += m_waiting.front().first;
            ready.push_back(std::move(m_waiting.front().second));
            m_waiting.pop_front();
        }
    }
    for (auto& start : ready)
        start();
}

std::uint64_t HYBFile::ReadGate::held() const {
    std::lock_guard lock(m_mutex);
    return m_held;
}

std::size_t HYBFile::ReadGate::waiting() const {
    std::lock_guard lock(m_mutex);
    return m_waiting.size();
}

std::uint64_t HYBFile::expectedReadCost(const std::shared_ptr<HYBFileSystem>& fileSystem, const HYBFilesystemURL& url,
                                        std::int64_t start, std::int64_t end) {
    auto* local = dynamic_cast<HYBLocalFilesystem*>(fileSystem.get());
    if (!local)
        return HYBFileSystem::kMaxReadLength;
    auto opened = local->openFileForReading(url);
    if (!opened)
        return 0; // answered with an error at once
    const std::uint64_t first = start >= 1 ? static_cast<std::uint64_t>(start) : 0;
    const std::uint64_t available = opened.value.length > first ? opened.value.length - first : 0;
    const std::uint64_t requested = end < 0 ? available : static_cast<std::uint64_t>(end) - static_cast<std::uint64_t>(start);
    return std::min({requested, available, HYBFileSystem::kMaxReadLength});
}

// Changing files.

void HYBFile::truncate(const HYBInvokedUrlCommand& command) {
    auto found = fileSystemForArgument(command);
    if (!found)
        return;
    const std::int64_t size = integerArgument(command, 1);
    if (size < 0) {
        send(command, fileErrorResult(HYBFileError::InvalidModification));
        return;
    }
    send(command, found->second->truncateFileAtURL(found->first, static_cast<std::uint64_t>(size)));
}

void HYBFile::write(const HYBInvokedUrlCommand& command) {
    std::shared_ptr<runtime::HYBCommandDelegate> delegate = commandDelegate();
    if (!delegate)
        return;
    std::weak_ptr<HYBFile> weak = weakFile();
    delegate->runInBackground([weak, command] {
        std::shared_ptr<HYBFile> self = weak.lock();
        if (!self)
            return;
        // The data is checked before anything is cut: a bad argument loses nothing.
        platform::Value data = command.argumentAtIndex(1);
        platform::Bytes bytes;
        if (const std::string* text = data.getString())
            bytes.assign(text->begin(), text->end());
        else if (const platform::Bytes* raw = data.getBytes())
            bytes = *raw;
        else {
            self->send(command, HYBPluginResult::messageAsString(HYBCommandStatus::Error, "Invalid parameter type"));
            return;
        }
        const std::int64_t position = integerArgument(command, 2);
        if (position < 0) {
            self->send(command, fileErrorResult(HYBFileError::InvalidModification));
            return;
        }
        auto found = self->fileSystemForArgument(command);
        if (!found)
            return;
        // A local file is cut and written in one step on one open file, so the bytes land at the position
        // (a new file counts as empty: a position past its end grows it first, within the free space).
        if (auto* local = dynamic_cast<HYBLocalFilesystem*>(found->second.get())) {
            self->send(command, local->writeAtPosition(found->first, bytes, static_cast<std::uint64_t>(position)));
            return;
        }
        HYBPluginResult cut = found->second->truncateFileAtURL(found->first, static_cast<std::uint64_t>(position));
        if (cut.status() != HYBCommandStatus::Ok) {
            self->send(command, std::move(cut));
            return;
        }
        self->send(command, found->second->writeToFileAtURL(found->first, bytes, true));
    });
}

} // namespace files
