// What the rolling file logger asks of the manager of its logs folder.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace pushlog {

class PULSELogFileInfo;

class PULSELogFileManager {
public:
    virtual ~PULSELogFileManager() = default;

    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<PULSELogFileInfo>> unsortedLogFileInfos() = 0;
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    // The log files, newest creation date first.
    virtual std::vector<std::shared_ptr<PULSELogFileInfo>> sortedLogFileInfos() = 0;
    // Creates an empty log file and returns its full path.
    virtual std::string createNewLogFile() = 0;
    virtual std::uint64_t maximumNumberOfLogFiles() const = 0;
    virtual void setMaximumNumberOfLogFiles(std::uint64_t count) = 0;
    virtual std::uint64_t logFilesDiskQuota() const = 0;
    virtual void setLogFilesDiskQuota(std::uint64_t bytes) = 0;

    // Optional notifications; the defaults do nothing.
    virtual void didArchiveLogFile(const std::string& /*path*/) {}
    virtual void didRollAndArchiveLogFile(const std::string& /*path*/) {}
};

} // namespace pushlog
