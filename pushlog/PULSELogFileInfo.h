// The facts of one log file: path, name, attributes, dates, size, age, and the archived flag, which is
// kept in an extended attribute of the file itself ("pulselog.log.archived"; on Linux in the "user."
// namespace), so it survives restarts and is shared by every process that uses the folder.
//
// Not thread-safe: each listing makes fresh objects, used on one queue. Name, attributes and dates are
// read once and cached; the archived flag is read at each call.
#pragma once

#include "platform/core/Value.h"
#include "platform/files/FileAttributes.h"

#include <compare>
#include <memory>
#include <optional>
#include <string>

namespace pushlog {

inline constexpr const char* kLogFileArchivedAttribute = "pulselog.log.archived";

class PULSELogFileInfo {
public:
    explicit PULSELogFileInfo(std::string filePath) : m_filePath(std::move(filePath)) {}
    static std::shared_ptr<PULSELogFileInfo> logFileWithPath(std::string filePath) {
        return std::make_shared<PULSELogFileInfo>(std::move(filePath));
    }

    const std::string& filePath() const { return m_filePath; }
    const std::string& fileName();
    // Null when the file cannot be queried.
    const std::optional<platform::FileAttributes>& fileAttributes();
    std::optional<platform::Date> creationDate();
    std::optional<platform::Date> modificationDate();
    // Cached once it is not 0.
    std::uint64_t fileSize();
    // Seconds since the creation date, by the platform clock (0 without a creation date).
    double age();

    bool isArchived() const;
    void setIsArchived(bool archived);

    // Renames the file within its folder. The stored path changes only when the move succeeded.
    void renameFile(const std::string& newFileName);
    // Drops the cached name, attributes and dates (the cached size is kept).
    void reset();

    bool hasExtendedAttributeWithName(const std::string& name) const;
    void addExtendedAttributeWithName(const std::string& name);
    void removeExtendedAttributeWithName(const std::string& name);

    bool isEqual(const PULSELogFileInfo& other) const { return m_filePath == other.m_filePath; }
    // Newer files order first; equal dates compare equal.
    std::weak_ordering reverseCompareByCreationDate(PULSELogFileInfo& other);
    std::weak_ordering reverseCompareByModificationDate(PULSELogFileInfo& other);

    std::string description();

private:
    std::string m_filePath;
    std::optional<std::string> m_fileName;
    bool m_attributesRead = false;
    std::optional<platform::FileAttributes> m_fileAttributes;
    std::uint64_t m_fileSize = 0;
};

} // namespace pushlog
