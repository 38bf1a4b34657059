#include "pushlog/PULSEFileLogger.h"

#include "platform/runloop/Clock.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/DispatchFileSource.h"
#include "platform/runloop/DispatchTimerSource.h"
#include "platform/files/FileManager.h"
#include "platform/core/Log.h"
#include "platform/files/StorePlace.h"
#include "pushlog/PULSELog.h"
#include "pushlog/PULSELogFileFormatterDefault.h"
#include "pushlog/PULSELogFileManagerDefault.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <exception>
#include <sys/stat.h>
#include <unistd.h>

namespace pushlog {

namespace {

std::atomic<int> g_exceptionCount{0};

} // namespace

int PULSEFileLogger::exceptionCount() { return g_exceptionCount.load(); }

PULSEFileLogger::PULSEFileLogger(std::shared_ptr<PULSELogFileManager> logFileManager)
    : PULSEAbstractLogger("pulse.logging.fileLogger"),
      m_logFileManager(logFileManager ? std::move(logFileManager) : std::make_shared<PULSELogFileManagerDefault>()) {
    // Nobody else knows the logger yet, so the formatter can be set here without the queues.
    m_logFormatter = std::make_shared<PULSELogFileFormatterDefault>();
    m_logFormatter->didAddToLogger(*this);
}

PULSEFileLogger::~PULSEFileLogger() {
    // Not archived: the next logger that starts in this folder may continue the file.
    cancelFileWatch();
    cancelRollingTimer();
    if (m_currentLogFileHandle >= 0) {
        ::fsync(m_currentLogFileHandle);
        ::close(m_currentLogFileHandle);
    }
}

std::uint64_t PULSEFileLogger::maximumFileSize() {
    std::uint64_t size = 0;
    performOnLoggerQueueAndWait([&] { size = m_maximumFileSize; });
    return size;
}

void PULSEFileLogger::setMaximumFileSize(std::uint64_t bytes) {
    auto logger = self();
    PULSELog::loggingQueue()->async([logger, bytes] {
        logger->loggerQueue()->async([logger, bytes] {
            logger->m_maximumFileSize = bytes;
            logger->maybeRollLogFileDueToSize();
        });
    });
}

double PULSEFileLogger::rollingFrequency() {
    double frequency = 0;
    performOnLoggerQueueAndWait([&] { frequency = m_rollingFrequency; });
    return frequency;
}

void PULSEFileLogger::setRollingFrequency(double seconds) {
    auto logger = self();
    PULSELog::loggingQueue()->async([logger, seconds] {
        logger->loggerQueue()->async([logger, seconds] {
            logger->m_rollingFrequency = seconds;
            logger->maybeRollLogFileDueToAge();
        });
    });
}

void PULSEFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion) {
    auto logger = self();
    auto roll = [logger, completion = std::move(completion)] {
        logger->rollLogFileNow();
        if (completion)
            platform::DispatchQueue::main()->async(completion);
    };
    performOnLoggerQueue(std::move(roll));
}

std::shared_ptr<PULSELogFileInfo> PULSEFileLogger::currentLogFileInfo() {
    if (m_currentLogFileInfo)
        return m_currentLogFileInfo;
    const bool doNotReuse = m_doNotReuseLogFiles.load();
    const auto sorted = m_logFileManager->sortedLogFileInfos();
    if (!sorted.empty()) {
        const std::shared_ptr<PULSELogFileInfo>& mostRecent = sorted.front();
        const bool archived = mostRecent->isArchived();
        bool setAside = false;
        if (!archived) {
            if (m_maximumFileSize > 0 && mostRecent->fileSize() >= m_maximumFileSize)
                setAside = true;
            else if (m_rollingFrequency > 0 && mostRecent->age() >= m_rollingFrequency)
                setAside = true;
        }
        // A file whose protection class would keep it unreadable in the background is set aside when
        // the application has background modes; files of this platform carry no protection class.
        if (!doNotReuse && !archived && !setAside) {
            m_currentLogFileInfo = mostRecent;
        } else if (setAside) {
            mostRecent->setIsArchived(true);
            m_logFileManager->didArchiveLogFile(mostRecent->filePath());
        }
    }
    if (!m_currentLogFileInfo)
        m_currentLogFileInfo = PULSELogFileInfo::logFileWithPath(m_logFileManager->createNewLogFile());
    return m_currentLogFileInfo;
}

namespace {

// The log file at `path` opened for writing, never waiting (a pipe without a reader would hold the logger
// at the open for ever). In the logs folder only a regular file is, never through a link; a file manager
// may name a file of its own elsewhere, which is opened as it is.
int openLogFile(const std::string& path, bool inLogsFolder) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | (inLogsFolder ? O_NOFOLLOW : 0));
    struct stat info {};
    if (fd >= 0 && inLogsFolder && (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))) {
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace

int PULSEFileLogger::currentLogFileHandle() {
    if (m_currentLogFileHandle >= 0)
        return m_currentLogFileHandle;
    std::shared_ptr<PULSELogFileInfo> info = currentLogFileInfo();
    const std::string folder = m_logFileManager->logsDirectory();
    const auto inLogsFolder = [&folder](const std::string& path) { return platform::deletingLastPathComponent(path) == folder; };
    int fd = openLogFile(info->filePath(), inLogsFolder(info->filePath()));
    // Something other than a log file under its name in the logs folder (a pipe, a folder, a socket, a
    // link to /dev/null) is moved aside, and the lines go to a new file.
    if (fd < 0 && inLogsFolder(info->filePath()) &&
        platform::StorePlace::makeFit(info->filePath(), "PULSEFileLogger") == platform::StorePlace::Fit::MovedAside) {
        m_currentLogFileInfo.reset();
        info = currentLogFileInfo();
        fd = openLogFile(info->filePath(), inLogsFolder(info->filePath()));
    }
    if (fd < 0)
        return -1; // lines are dropped; the next one tries the same path again
    const off_t end = ::lseek(fd, 0, SEEK_END);
    m_currentLogFileHandle = fd;
    m_currentOffset = end > 0 ? static_cast<std::uint64_t>(end) : 0;
    scheduleTimerToRollLogFileDueToAge();
    platform::Result<std::shared_ptr<platform::DispatchFileSource>> source = platform::DispatchFileSource::create(
        fd, platform::DispatchFileSource::Delete | platform::DispatchFileSource::Rename, loggerQueue());
    if (source) {
        std::weak_ptr<PULSEFileLogger> weak = self();
        m_currentLogFileVnode = source.value();
        m_currentLogFileVnode->setEventHandler([weak](unsigned) {
            if (auto logger = weak.lock())
                logger->rollLogFileNow();
        });
        m_currentLogFileVnode->resume();
    }
    return m_currentLogFileHandle;
}

bool PULSEFileLogger::isOpenFileUnlinked() const {
    struct stat info{};
    return ::fstat(m_currentLogFileHandle, &info) == 0 && info.st_nlink == 0;
}

void PULSEFileLogger::logMessage(const PULSELogMessage& message) { logMessages({&message, 1}, PULSELogLevelAll); }

bool PULSEFileLogger::appendLine(const PULSELogMessage& message) {
    LogText text = message.messageText();
    bool formatted = false;
    if (m_logFormatter) {
        text = m_logFormatter->formatLogMessage(message);
        formatted = text != message.messageText();
    }
    if (!text)
        return false;
    const bool endsInNewline = !text->empty() && text->back() == '\n';
    const bool appendNewline = !endsInNewline && (!formatted || m_appendNewline.load(std::memory_order_relaxed));
    m_pendingLines.append(*text);
    if (appendNewline)
        m_pendingLines.push_back('\n');
    return true;
}

void PULSEFileLogger::logMessages(std::span<const PULSELogMessage> messages, std::uint64_t level) {
    // The lines go out in as few writes as the size limit allows: one check that the open file still has a
    // name, one write of every line, then the size check. A line that brings the write position to the
    // limit or past it ends its write, and the file is rolled right after it, as if it were written alone.
    bool fileChecked = false;
    try {
        for (const PULSELogMessage& message : messages) {
            if (!levelAcceptsFlag(level, message.flag()))
                continue;
            const std::size_t before = m_pendingLines.size();
            if (!appendLine(message))
                continue;
            if (before == 0) {
                // The first line of a write: it needs the file, open and still in its folder.
                if (!fileChecked && m_currentLogFileHandle >= 0 && isOpenFileUnlinked())
                    rollLogFileNow(); // deleted under us: start a new file rather than write into the void
                fileChecked = true;
                if (currentLogFileHandle() < 0) {
                    m_pendingLines.clear(); // the line is dropped; the next one tries the same path again
                    continue;
                }
            }
            // Written at the size limit, and whenever the lines held back grow large (a batch of long lines).
            if ((m_maximumFileSize > 0 && m_currentOffset + m_pendingLines.size() >= m_maximumFileSize) ||
                m_pendingLines.size() >= kPendingLinesCapacity)
                writePendingLines();
        }
        writePendingLines();
    } catch (const std::exception& failure) {
        m_pendingLines.clear();
        reportFailure(failure.what());
    }
}

void PULSEFileLogger::writePendingLines() {
    if (m_pendingLines.empty())
        return;
    const char* data = m_pendingLines.data();
    std::size_t left = m_pendingLines.size();
    while (left > 0) {
        const ssize_t written = ::write(m_currentLogFileHandle, data, left);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            m_currentOffset += m_pendingLines.size() - left;
            m_pendingLines.clear();
            reportFailure(std::strerror(error));
            return;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    m_currentOffset += m_pendingLines.size();
    m_pendingLines.clear();
    // Keep the buffer's memory for the next batches, unless one huge line made it grow out of measure.
    if (m_pendingLines.capacity() > kPendingLinesCapacity)
        m_pendingLines.shrink_to_fit();
    maybeRollLogFileDueToSize();
}

void PULSEFileLogger::reportFailure(const char* what) {
    const int count = ++g_exceptionCount;
    if (count > 10)
        return;
    platform::Log::writef("PULSEFileLogger.logMessage: %s", what);
    if (count == 10)
        platform::Log::write("PULSEFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
}

void PULSEFileLogger::willRemoveLogger() { rollLogFileNow(); }

void PULSEFileLogger::maybeRollLogFileDueToSize() {
    const std::uint64_t offset = m_currentLogFileHandle >= 0 ? m_currentOffset : 0;
    if (m_maximumFileSize > 0 && offset >= m_maximumFileSize)
        rollLogFileNow();
}

void PULSEFileLogger::maybeRollLogFileDueToAge() {
    const double age = m_currentLogFileInfo ? m_currentLogFileInfo->age() : 0;
    if (m_rollingFrequency > 0 && age >= m_rollingFrequency)
        rollLogFileNow();
    else
        scheduleTimerToRollLogFileDueToAge();
}

void PULSEFileLogger::cancelRollingTimer() {
    if (m_rollingTimer) {
        m_rollingTimer->cancel();
        m_rollingTimer.reset();
    }
}

void PULSEFileLogger::cancelFileWatch() {
    if (m_currentLogFileVnode) {
        m_currentLogFileVnode->cancel();
        m_currentLogFileVnode.reset();
    }
}

void PULSEFileLogger::scheduleTimerToRollLogFileDueToAge() {
    cancelRollingTimer();
    if (!m_currentLogFileInfo || m_rollingFrequency <= 0)
        return;
    const std::optional<platform::Date> created = m_currentLogFileInfo->creationDate();
    const double createdAt = created ? created->secondsSince1970 : platform::Clock::current().wallNow().secondsSince1970;
    const double delay = createdAt + m_rollingFrequency - platform::Clock::current().wallNow().secondsSince1970;
    // One shot: the start is the whole nanoseconds to the roll time (at once when that has passed).
    const platform::Duration start = platform::seconds(std::max(0.0, delay));
    std::weak_ptr<PULSEFileLogger> weak = self();
    m_rollingTimer = platform::DispatchTimerSource::create(loggerQueue());
    m_rollingTimer->setTimer(start, platform::Duration::zero(), std::chrono::nanoseconds(1));
    m_rollingTimer->setEventHandler([weak] {
        if (auto logger = weak.lock())
            logger->maybeRollLogFileDueToAge();
    });
    m_rollingTimer->resume();
}

void PULSEFileLogger::rollLogFileNow() {
    if (m_currentLogFileHandle < 0)
        return;
    cancelFileWatch(); // the watched descriptor must stay open until the watch is cancelled
    ::fsync(m_currentLogFileHandle);
    ::close(m_currentLogFileHandle);
    m_currentLogFileHandle = -1;
    m_currentOffset = 0;
    if (m_currentLogFileInfo) {
        m_currentLogFileInfo->setIsArchived(true);
        m_logFileManager->didRollAndArchiveLogFile(m_currentLogFileInfo->filePath());
    }
    m_currentLogFileInfo.reset();
    cancelFileWatch();
    cancelRollingTimer();
}

} // namespace pushlog
