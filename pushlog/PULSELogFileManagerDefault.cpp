#include "pushlog/PULSELogFileManagerDefault.h"

#include "platform/core/Log.h"
#include "platform/files/AppFolders.h"
#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Bundle.h"
#include "pushlog/LogFileNames.h"

#include <algorithm>
#include <cerrno>

namespace pushlog {

namespace {

bool isKnownProtectionClass(const std::string& protection) {
    return protection == kFileProtectionNone || protection == kFileProtectionComplete ||
           protection == kFileProtectionCompleteUnlessOpen ||
           protection == kFileProtectionCompleteUntilFirstUserAuthentication;
}

platform::FileManager& files() { return platform::FileManager::defaultManager(); }

} // namespace

bool appHasBackgroundModes() {
    const platform::Value modes = platform::Bundle::main().objectForInfoDictionaryKey("UIBackgroundModes");
    for (const platform::Value& mode : modes.arrayOrEmpty())
        if (const std::string* text = mode.getString(); text && !text->empty())
            return true;
    return false;
}

PULSELogFileManagerDefault::PULSELogFileManagerDefault(std::optional<std::string> logsDirectory,
                                                       std::optional<std::string> defaultFileProtectionLevel)
    : m_logsDirectory(logsDirectory ? std::move(*logsDirectory) : defaultLogsDirectory()) {
    if (defaultFileProtectionLevel && isKnownProtectionClass(*defaultFileProtectionLevel))
        m_defaultFileProtectionLevel = std::move(defaultFileProtectionLevel);
}

std::string PULSELogFileManagerDefault::defaultLogsDirectory() {
    return platform::AppFolders::current().caches() + "/PULSELogs";
}

const std::string& PULSELogFileManagerDefault::applicationName() {
    // Never destroyed: any thread may log while the process ends.
    static const auto* name = new std::string([] {
        std::string identifier = platform::Bundle::main().bundleIdentifier();
        if (!identifier.empty())
            return identifier;
        const char* process = program_invocation_short_name;
        return std::string(process ? process : "");
    }());
    return *name;
}

std::string PULSELogFileManagerDefault::logsDirectory() {
    // Something other than a folder at the folder's place (a file, a pipe, a dangling link) would drop
    // every line for good: it is moved aside.
    (void)platform::StorePlace::makeFolderFit(m_logsDirectory, "PULSEFileLogManagerDefault");
    if (!files().isDirectory(m_logsDirectory)) {
        if (platform::Status created = files().createDirectory(m_logsDirectory); !created)
            platform::Log::writef("PULSEFileLogManagerDefault: Error creating logsDirectory: %s",
                                  created.error().localizedDescription().c_str());
    }
    return m_logsDirectory;
}

std::string PULSELogFileManagerDefault::newLogFileName() {
    return logFileNameForDate(applicationName(), platform::Clock::current().wallNow());
}

bool PULSELogFileManagerDefault::isLogFile(const std::string& fileName) {
    return isLogFileName(fileName, applicationName());
}

std::vector<std::string> PULSELogFileManagerDefault::unsortedLogFilePaths() {
    const std::string directory = logsDirectory();
    std::vector<std::string> paths;
    platform::Result<std::vector<std::string>> names = files().contentsOfDirectory(directory);
    if (!names)
        return paths; // a folder that cannot be listed counts as empty
    for (const std::string& name : names.value())
        if (isLogFile(name))
            paths.push_back(directory + "/" + name);
    return paths;
}

std::vector<std::string> PULSELogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : unsortedLogFileInfos())
        names.push_back(info->fileName());
    return names;
}

std::vector<std::shared_ptr<PULSELogFileInfo>> PULSELogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<PULSELogFileInfo>> infos;
    for (std::string& path : unsortedLogFilePaths())
        infos.push_back(PULSELogFileInfo::logFileWithPath(std::move(path)));
    return infos;
}

std::vector<std::shared_ptr<PULSELogFileInfo>> PULSELogFileManagerDefault::sortedLogFileInfos() {
    auto infos = unsortedLogFileInfos();
    std::stable_sort(infos.begin(), infos.end(), [](const auto& a, const auto& b) {
        return a->reverseCompareByCreationDate(*b) == std::weak_ordering::less;
    });
    return infos;
}

std::vector<std::string> PULSELogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : sortedLogFileInfos())
        paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> PULSELogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos())
        names.push_back(info->fileName());
    return names;
}

std::string PULSELogFileManagerDefault::protectionClassForNewFile() const {
    if (m_defaultFileProtectionLevel)
        return *m_defaultFileProtectionLevel;
    return appHasBackgroundModes() ? kFileProtectionCompleteUntilFirstUserAuthentication
                                   : kFileProtectionCompleteUnlessOpen;
}

std::string PULSELogFileManagerDefault::createNewLogFile() {
    const std::string fileName = newLogFileName();
    const std::string directory = logsDirectory();
    std::string path;
    for (unsigned long attempt = 1;; ++attempt) {
        path = directory + "/" + logFileNameForAttempt(fileName, attempt);
        if (!files().fileExists(path))
            break;
    }
    // The protection class (protectionClassForNewFile) has no counterpart on this platform. Creation is
    // not checked: a file that cannot be opened is retried by the logger at each line.
    // The creation date is recorded from the platform clock, the clock that file ages are read with.
    platform::FileAttributeChanges attributes;
    attributes.creationDate = platform::Clock::current().wallNow();
    (void)files().createFile(path, {}, attributes);
    deleteOldLogFiles();
    return path;
}

void PULSELogFileManagerDefault::deleteOldLogFiles() {
    const auto infos = sortedLogFileInfos();
    std::vector<LogFileFacts> facts;
    facts.reserve(infos.size());
    for (std::size_t i = 0; i < infos.size(); ++i)
        facts.push_back({infos[i]->fileSize(), i == 0 ? infos[i]->isArchived() : true});
    const std::optional<std::size_t> first =
        firstLogFileToDelete(facts, m_logFilesDiskQuota.load(), m_maximumNumberOfLogFiles.load());
    if (!first)
        return;
    for (std::size_t i = *first; i < infos.size(); ++i)
        (void)files().removeItem(infos[i]->filePath());
}

} // namespace pushlog
