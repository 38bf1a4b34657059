#include "runtime/HYBBackupInfo.h"

#include "platform/files/FileManager.h"

#include <optional>

namespace runtime {
namespace {

std::optional<double> dateOf(const std::string& path) {
    auto attributes = platform::FileManager::defaultManager().attributesOfItem(path);
    if (!attributes.ok())
        return std::nullopt;
    return attributes->modificationDate.secondsSince1970;
}

// A database's newest rows may live only in its write-ahead log: it changed when either file did.
std::optional<double> modificationDate(const std::string& path) {
    std::optional<double> date = dateOf(path);
    if (date)
        if (std::optional<double> log = dateOf(path + "-wal"); log && *log > *date)
            return log;
    return date;
}

} // namespace

bool HYBBackupInfo::fileIsNewerThanFile(const std::string& a, const std::string& b) {
    std::optional<double> dateOfA = modificationDate(a);
    std::optional<double> dateOfB = modificationDate(b);
    if (!dateOfA && !dateOfB)
        return false;
    if (!dateOfB)
        return true;
    return dateOfA && *dateOfA > *dateOfB;
}

bool HYBBackupInfo::itemIsNewerThanItem(const std::string& a, const std::string& b) {
    const platform::FileManager& files = platform::FileManager::defaultManager();
    if (!files.fileExists(a))
        return false;
    if (!files.isDirectory(a) || !files.isDirectory(b))
        return fileIsNewerThanFile(a, b);
    auto entries = files.subpathsOfDirectory(a);
    if (!entries.ok())
        return false;
    for (const std::string& entry : *entries)
        if (fileIsNewerThanFile(a + "/" + entry, b + "/" + entry))
            return true;
    return false;
}

} // namespace runtime
