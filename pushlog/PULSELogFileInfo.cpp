#include "pushlog/PULSELogFileInfo.h"

#include "platform/core/Log.h"
#include "platform/files/FileManager.h"
#include "platform/runloop/Clock.h"

#include <cstdio>

namespace pushlog {

namespace {

std::string directoryOf(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::weak_ordering reverseCompare(const std::optional<platform::Date>& mine, const std::optional<platform::Date>& theirs) {
    const double a = mine ? mine->secondsSince1970 : 0;
    const double b = theirs ? theirs->secondsSince1970 : 0;
    if (a < b)
        return std::weak_ordering::greater;
    if (a > b)
        return std::weak_ordering::less;
    return std::weak_ordering::equivalent;
}

std::string dateDescription(const std::optional<platform::Date>& date) {
    if (!date)
        return {};
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.3f", date->secondsSince1970);
    return buffer;
}

} // namespace

const std::string& PULSELogFileInfo::fileName() {
    if (!m_fileName) {
        const std::size_t slash = m_filePath.find_last_of('/');
        m_fileName = slash == std::string::npos ? m_filePath : m_filePath.substr(slash + 1);
    }
    return *m_fileName;
}

const std::optional<platform::FileAttributes>& PULSELogFileInfo::fileAttributes() {
    if (!m_attributesRead) {
        platform::Result<platform::FileAttributes> attributes =
            platform::FileManager::defaultManager().attributesOfItem(m_filePath);
        if (attributes)
            m_fileAttributes = std::move(attributes.value());
        else
            m_fileAttributes.reset();
        m_attributesRead = true;
    }
    return m_fileAttributes;
}

std::optional<platform::Date> PULSELogFileInfo::creationDate() {
    const auto& attributes = fileAttributes();
    return attributes ? std::optional<platform::Date>(attributes->creationDate) : std::nullopt;
}

std::optional<platform::Date> PULSELogFileInfo::modificationDate() {
    const auto& attributes = fileAttributes();
    return attributes ? std::optional<platform::Date>(attributes->modificationDate) : std::nullopt;
}

std::uint64_t PULSELogFileInfo::fileSize() {
    if (m_fileSize == 0) {
        const auto& attributes = fileAttributes();
        m_fileSize = attributes ? attributes->size : 0;
    }
    return m_fileSize;
}

double PULSELogFileInfo::age() {
    const std::optional<platform::Date> created = creationDate();
    if (!created)
        return 0;
    return platform::Clock::current().wallNow().secondsSince1970 - created->secondsSince1970;
}

bool PULSELogFileInfo::isArchived() const { return hasExtendedAttributeWithName(kLogFileArchivedAttribute); }

void PULSELogFileInfo::setIsArchived(bool archived) {
    if (archived)
        addExtendedAttributeWithName(kLogFileArchivedAttribute);
    else
        removeExtendedAttributeWithName(kLogFileArchivedAttribute);
}

void PULSELogFileInfo::renameFile(const std::string& newFileName) {
    if (newFileName == fileName())
        return;
    platform::FileManager& files = platform::FileManager::defaultManager();
    const std::string directory = directoryOf(m_filePath);
    const std::string newPath = directory.empty() ? newFileName : directory + "/" + newFileName;
    if (files.fileExists(newPath)) {
        if (platform::Status removed = files.removeItem(newPath); !removed)
            platform::Log::writef("PULSELogFileInfo: Error deleting archive (%s): %s", fileName().c_str(),
                                  removed.error().localizedDescription().c_str());
    }
    if (platform::Status moved = files.moveItem(m_filePath, newPath); !moved) {
        platform::Log::writef("PULSELogFileInfo: Error renaming file (%s): %s", fileName().c_str(),
                              moved.error().localizedDescription().c_str());
        return; // the file is still where it was: keep its path
    }
    m_filePath = newPath;
    reset();
}

void PULSELogFileInfo::reset() {
    m_fileName.reset();
    m_fileAttributes.reset();
    m_attributesRead = false;
}

bool PULSELogFileInfo::hasExtendedAttributeWithName(const std::string& name) const {
    // Extended attributes are read and written by path, following symbolic links; on Linux the file
    // manager keeps them in the "user." namespace.
    platform::Result<std::optional<platform::Bytes>> value =
        platform::FileManager::defaultManager().extendedAttribute(m_filePath, name);
    return value.ok() && value.value().has_value();
}

void PULSELogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    if (platform::Status set = platform::FileManager::defaultManager().setExtendedAttribute(m_filePath, name, {}); !set)
        platform::Log::writef("PULSELogFileInfo: setxattr(%s, %s): error = %s", name.c_str(), fileName().c_str(),
                              set.error().localizedDescription().c_str());
}

void PULSELogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    if (platform::Status removed = platform::FileManager::defaultManager().removeExtendedAttribute(m_filePath, name);
        !removed)
        platform::Log::writef("PULSELogFileInfo: removexattr(%s, %s): error = %s", name.c_str(), fileName().c_str(),
                              removed.error().localizedDescription().c_str());
}

std::weak_ordering PULSELogFileInfo::reverseCompareByCreationDate(PULSELogFileInfo& other) {
    return reverseCompare(creationDate(), other.creationDate());
}

std::weak_ordering PULSELogFileInfo::reverseCompareByModificationDate(PULSELogFileInfo& other) {
    return reverseCompare(modificationDate(), other.modificationDate());
}

std::string PULSELogFileInfo::description() {
    const bool haveAttributes = fileAttributes().has_value();
    char age[32];
    std::snprintf(age, sizeof age, "%.3f", this->age());
    std::string text = "{\n";
    text += "    filePath = \"" + m_filePath + "\";\n";
    text += "    fileName = \"" + fileName() + "\";\n";
    text += "    fileAttributes = \"" + std::string(haveAttributes ? "{...}" : "") + "\";\n";
    text += "    creationDate = \"" + dateDescription(creationDate()) + "\";\n";
    text += "    modificationDate = \"" + dateDescription(modificationDate()) + "\";\n";
    text += "    fileSize = " + std::to_string(fileSize()) + ";\n";
    text += "    age = " + std::string(age) + ";\n";
    text += "    isArchived = " + std::string(isArchived() ? "1" : "0") + ";\n";
    text += "}";
    return text;
}

} // namespace pushlog
