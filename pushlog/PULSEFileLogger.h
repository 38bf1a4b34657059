// The logger that writes lines into files of the logs folder. It keeps one current file open for
// appending and rolls it (closes it and marks it archived) when it reaches the maximum size, when it
// reaches the maximum age, when it is deleted or renamed under the logger, or on request; the next line
// then goes into a new file. The folder itself is the file manager's business.
//
// Thread: all file work runs on the logger's own queue ("pulse.logging.fileLogger"); settings reach it
// through the logging queue, so they take their place among the messages. maximumFileSize() and
// rollingFrequency() wait for both queues and must not be called from either.
//
// Messages that waited together are written as one batch: one check of the file, one write of their lines
// (split after a line that reaches the size limit, where the file is rolled as for a single line, and
// after 256 KiB of lines). Lines are never split.
//
// No line goes into a deleted file: before each batch the logger checks that the open file still has a
// name (link count above 0) and otherwise starts a new file. (A move is noticed by the file-event source.)
// No open waits (on a pipe without a reader). In the logs folder only a regular file is written, opened
// without following a link: something else under the current file's name (a pipe, a folder, a socket, a
// link to /dev/null) is moved aside (platform/files/StorePlace.h) and a new file started.
#pragma once

#include "pushlog/PULSEAbstractLogger.h"
#include "pushlog/PULSELogFileInfo.h"
#include "pushlog/PULSELogFileManager.h"

#include <atomic>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace platform {
class DispatchFileSource;
class DispatchTimerSource;
} // namespace platform

namespace pushlog {

class PULSEFileLogger : public PULSEAbstractLogger {
public:
    // With no manager, a PULSELogFileManagerDefault of the default folder. The formatter is a new
    // PULSELogFileFormatterDefault. Hold the logger in a std::shared_ptr.
    explicit PULSEFileLogger(std::shared_ptr<PULSELogFileManager> logFileManager = nullptr);
    ~PULSEFileLogger() override;

    std::uint64_t maximumFileSize();
    void setMaximumFileSize(std::uint64_t bytes);
    double rollingFrequency();
    void setRollingFrequency(double seconds);

    // Plain fields: set them before the logger is added.
    bool doNotReuseLogFiles() const { return m_doNotReuseLogFiles.load(); }
    void setDoNotReuseLogFiles(bool doNotReuse) { m_doNotReuseLogFiles.store(doNotReuse); }
    bool automaticallyAppendNewlineForCustomFormatters() const { return m_appendNewline.load(); }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool append) { m_appendNewline.store(append); }

    const std::shared_ptr<PULSELogFileManager>& logFileManager() const { return m_logFileManager; }

    void rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }
    // Rolls on the logger's queue, then runs the block (if any) on the main queue.
    void rollLogFileWithCompletionBlock(std::function<void()> completion);

    void logMessage(const PULSELogMessage& message) override;
    void logMessages(std::span<const PULSELogMessage> messages, std::uint64_t level) override;
    void willRemoveLogger() override;

    // On the logger's queue: the current file (chosen or created as needed), or null.
    std::shared_ptr<PULSELogFileInfo> currentLogFileInfo();

    // How many writes failed in this process (shared by all file loggers).
    static int exceptionCount();

private:
    int currentLogFileHandle();
    // Formats the message and appends its line to m_pendingLines; false when the formatter dropped it.
    bool appendLine(const PULSELogMessage& message);
    // Writes m_pendingLines at the end of the open file, then runs the size check.
    void writePendingLines();
    static void reportFailure(const char* what);
    void rollLogFileNow();
    void maybeRollLogFileDueToSize();
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();
    void cancelRollingTimer();
    void cancelFileWatch();
    bool isOpenFileUnlinked() const;
    std::shared_ptr<PULSEFileLogger> self() { return std::static_pointer_cast<PULSEFileLogger>(shared_from_this()); }

    std::shared_ptr<PULSELogFileManager> m_logFileManager;
    // Touched only on the logger's queue.
    std::shared_ptr<PULSELogFileInfo> m_currentLogFileInfo;
    int m_currentLogFileHandle = -1;
    std::uint64_t m_currentOffset = 0;
    std::string m_pendingLines; // lines of the batch being written, not yet in the file
    // Lines held back past this many bytes are written at once; memory past it is given back after.
    static constexpr std::size_t kPendingLinesCapacity = 256 * 1024;
    std::shared_ptr<platform::DispatchFileSource> m_currentLogFileVnode;
    std::shared_ptr<platform::DispatchTimerSource> m_rollingTimer;
    std::uint64_t m_maximumFileSize = 1024 * 1024;
    double m_rollingFrequency = 60 * 60 * 24;
    std::atomic<bool> m_doNotReuseLogFiles{false};
    std::atomic<bool> m_appendNewline{true};
};

} // namespace pushlog
