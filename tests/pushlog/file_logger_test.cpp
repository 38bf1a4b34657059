#include "support/LogCapture.h"
#include "RecordingLogger.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include "platform/files/FileManager.h"
#include "platform/runloop/DispatchQueue.h"
#include "platform/runloop/VirtualClock.h"
#include "pushlog/PULSEFileLogger.h"
#include "pushlog/PULSELogFileManagerDefault.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <fcntl.h>
#include <sys/stat.h>
#include <sstream>
#include <unistd.h>

using namespace pushlog;

namespace {

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Returns its text unchanged, or drops messages whose text is "drop"; never adds a newline.
class PassFormatter : public PULSELogFormatter {
public:
    LogText formatLogMessage(const PULSELogMessage& message) override {
        if (message.message() == "drop")
            return nullptr;
        return makeLogText("[" + message.message() + "]");
    }
};

class FileLogger : public hybtest::TempHomeTest {
protected:
    FileLogger() {
        m_clock.install();
        pushlog::testing::resetLoggers();
    }
    ~FileLogger() override { pushlog::testing::resetLoggers(); }

    std::shared_ptr<PULSEFileLogger> make(bool add = true) {
        m_manager = std::make_shared<PULSELogFileManagerDefault>(m_home.root() + "/logs");
        auto logger = std::make_shared<PULSEFileLogger>(m_manager);
        if (add)
            PULSELog::addLogger(logger);
        return logger;
    }
    static void log(const std::string& text) { PULSELog::log(false, text, 31, 8, 0, "f.cpp", "g", 1, {}); }
    // Waits until everything queued for the logger before has run on its queue.
    static void settle(const std::shared_ptr<PULSEFileLogger>& logger) { (void)logger->logFormatter(); }

    std::vector<std::string> paths() { return m_manager->sortedLogFilePaths(); }

    // A log file of the given date and time text, created the given seconds before the clock's now.
    std::string makeLogFile(const std::string& dateAndTime, double ageSeconds, platform::Bytes bytes = {}) {
        platform::FileManager& files = platform::FileManager::defaultManager();
        EXPECT_TRUE(files.createDirectory(m_home.root() + "/logs").ok());
        const std::string path =
            m_home.root() + "/logs/" + PULSELogFileManagerDefault::applicationName() + " " + dateAndTime + ".log";
        platform::FileAttributeChanges attributes;
        attributes.creationDate = platform::Date{m_clock.wallNow().secondsSince1970 - ageSeconds};
        EXPECT_TRUE(files.createFile(path, bytes, attributes).ok());
        return path;
    }

    platform::VirtualClock m_clock{platform::Date{1796557552.0}};
    std::shared_ptr<PULSELogFileManagerDefault> m_manager;
};

} // namespace

TEST_F(FileLogger, NewlinesAndDroppedLines) {
    auto logger = make();
    logger->setLogFormatter(nullptr);
    log("abc");
    log("def\n");
    ASSERT_EQ(paths().size(), 1u);
    EXPECT_EQ(contents(paths()[0]), "abc\ndef\n");

    logger->setLogFormatter(std::make_shared<PassFormatter>());
    log("drop");
    log("x");
    EXPECT_EQ(contents(paths()[0]), "abc\ndef\n[x]\n");
    logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    log("y");
    EXPECT_EQ(contents(paths()[0]), "abc\ndef\n[x]\n[y]");
}

TEST_F(FileLogger, DroppedLineCreatesNoFile) {
    auto logger = make();
    logger->setLogFormatter(std::make_shared<PassFormatter>());
    log("drop");
    EXPECT_TRUE(paths().empty());
}

TEST_F(FileLogger, DefaultFormatterWritesDateAndText) {
    make();
    log("hello");
    const std::string text = contents(paths()[0]);
    EXPECT_EQ(text.size(), std::string("2026/12/06 11:45:52:000  hello\n").size()) << text;
    EXPECT_EQ(text.substr(4, 1), "/");
    EXPECT_TRUE(text.ends_with(":000  hello\n")) << text;
}

TEST_F(FileLogger, RollsAtOneMebibyteAfterTheCrossingWrite) {
    auto logger = make();
    logger->setLogFormatter(nullptr);
    const std::string line(1023, 'a'); // 1024 bytes with the newline
    for (int i = 0; i < 1023; ++i)
        log(line);
    ASSERT_EQ(paths().size(), 1u);
    EXPECT_FALSE(PULSELogFileInfo(paths()[0]).isArchived());
    log(line + "b"); // brings the write position to 1048577: written, then rolled
    const std::string first = paths()[0];
    EXPECT_EQ(PULSELogFileInfo(first).fileSize(), 1048577u);
    EXPECT_TRUE(PULSELogFileInfo(first).isArchived());
    m_clock.advance(61.0); // a new minute, so the next file has its own name
    log("next");
    const auto now = paths();
    ASSERT_EQ(now.size(), 2u);
    EXPECT_EQ(contents(now[0]), "next\n");
}

TEST_F(FileLogger, SizeZeroNeverRollsAndLoweringTheLimitRollsAtOnce) {
    auto logger = make();
    logger->setLogFormatter(nullptr);
    logger->setMaximumFileSize(0);
    log(std::string(2 * 1024 * 1024, 'z'));
    EXPECT_EQ(logger->maximumFileSize(), 0u);
    EXPECT_FALSE(PULSELogFileInfo(paths()[0]).isArchived());
    logger->setMaximumFileSize(1000);
    settle(logger);
    EXPECT_TRUE(PULSELogFileInfo(paths()[0]).isArchived());
}

TEST_F(FileLogger, ContinuesAYoungFileAndRollsItWhenItComesOfAge) {
    const std::string old = makeLogFile("2026-12-06 01-45", 10 * 3600, platform::Bytes{'o', '\n'});

    auto logger = make();
    logger->setLogFormatter(nullptr);
    log("continued");
    EXPECT_EQ(contents(old), "o\ncontinued\n");
    m_clock.advance(13 * 3600.0);
    settle(logger);
    EXPECT_FALSE(PULSELogFileInfo(old).isArchived());
    m_clock.advance(3600.0 + 1);
    settle(logger);
    EXPECT_TRUE(PULSELogFileInfo(old).isArchived());
    log("fresh");
    EXPECT_EQ(paths().size(), 2u);
    EXPECT_EQ(contents(paths()[0]), "fresh\n");
}

TEST_F(FileLogger, TooOldOrNotReusedFilesAreNotContinued) {
    const std::string old = makeLogFile("2026-12-05 01-45", 2 * 86400);
    auto logger = make();
    log("new file");
    EXPECT_TRUE(PULSELogFileInfo(old).isArchived());
    EXPECT_EQ(paths().size(), 2u);

}

TEST_F(FileLogger, NotReusingPassesOverAYoungFile) {
    const std::string young = makeLogFile("2026-12-06 11-40", 300);
    auto logger = make(false);
    logger->setDoNotReuseLogFiles(true);
    PULSELog::addLogger(logger);
    log("another");
    EXPECT_FALSE(PULSELogFileInfo(young).isArchived());
    EXPECT_EQ(contents(young), "");
    EXPECT_EQ(paths().size(), 2u);
}

TEST_F(FileLogger, OutsideRemoveAndMoveStartANewFileWithoutLosingLines) {
    auto logger = make();
    logger->setLogFormatter(nullptr);
    log("one");
    const std::string first = paths()[0];
    ASSERT_EQ(::unlink(first.c_str()), 0);
    log("two"); // at once: the deleted file is noticed before the write
    ASSERT_EQ(paths().size(), 1u);
    EXPECT_EQ(contents(paths()[0]), "two\n");

    m_clock.advance(60.0);
    const std::string second = paths()[0];
    const std::string moved = m_home.root() + "/moved.log";
    ASSERT_EQ(::rename(second.c_str(), moved.c_str()), 0);
    // The move is noticed by the file-event source; wait for the roll it causes.
    ASSERT_TRUE(hybtest::runMainUntil([&] {
        settle(logger);
        log("probe");
        return !paths().empty();
    }));
    EXPECT_TRUE(contents(paths()[0]).ends_with("probe\n"));
    EXPECT_EQ(contents(moved).substr(0, 4), "two\n");
}

// Something other than a log file under the name of the file to continue (a pipe would hold the logger at
// its open for ever, a link to /dev/null would swallow every line, a folder or a dangling link would drop
// them all), or other than a folder at the logs folder's place, is moved aside, and the lines go to a new file.
TEST_F(FileLogger, SomethingElseAtALogFilesPlaceIsMovedAsideAndNoLineIsLost) {
    struct Shape {
        const char* name;
        bool atFolder;
        int (*make)(const char* path);
    };
    const Shape shapes[] = {
        {"pipe", false, [](const char* p) { return ::mkfifo(p, 0600); }},
        {"folder", false, [](const char* p) { return ::mkdir(p, 0700); }},
        {"link to /dev/null", false, [](const char* p) { return ::symlink("/dev/null", p); }},
        {"dangling link", false, [](const char* p) { return ::symlink("/nowhere/at/all", p); }},
        {"file at the logs folder", true, [](const char* p) { return ::close(::open(p, O_WRONLY | O_CREAT, 0600)); }},
    };
    const std::string folder = m_home.root() + "/logs";
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        pushlog::testing::resetLoggers();
        (void)platform::FileManager::defaultManager().removeItem(folder);
        (void)platform::FileManager::defaultManager().removeItem(folder + ".damaged");
        const std::string young = makeLogFile("2026-12-06 11-40", 300);
        const std::string place = shape.atFolder ? folder : young;
        ASSERT_TRUE(platform::FileManager::defaultManager().removeItem(place).ok());
        ASSERT_EQ(shape.make(place.c_str()), 0);
        auto logger = make();
        logger->setLogFormatter(nullptr);
        log("kept");
        settle(logger);
        const std::vector<std::string> files = paths();
        ASSERT_EQ(files.size(), 1u);
        EXPECT_EQ(contents(files[0]), "kept\n");
        struct stat aside {};
        EXPECT_EQ(::lstat((place + ".damaged").c_str(), &aside), 0);
    }
}

namespace {

// Messages with the texts "<prefix>00", "<prefix>01", ..., each padded with dots to `width` bytes.
std::vector<PULSELogMessage> numberedMessages(const std::string& prefix, int count, std::size_t width) {
    std::vector<PULSELogMessage> messages;
    for (int i = 0; i < count; ++i) {
        std::string text = prefix + (i < 10 ? "0" : "") + std::to_string(i);
        text.resize(width, '.');
        messages.emplace_back(text, 31, PULSELogFlagDebug, 0, "f.cpp", "g", 1);
    }
    return messages;
}

// Hands the messages to the logger as one batch, on its queue, as the core does.
void writeBatch(const std::shared_ptr<PULSEFileLogger>& logger, const std::vector<PULSELogMessage>& messages) {
    logger->loggerQueue()->sync([&] { logger->logMessages(messages, PULSELogLevelAll); });
}

} // namespace

TEST_F(FileLogger, BatchCrossingTheSizeLimitRollsWhereSingleLinesWould) {
    auto logger = make(false);
    logger->setLogFormatter(nullptr);
    logger->setMaximumFileSize(1000);
    settle(logger);
    // 150 bytes a line with its newline: the 7th line brings a file to 1050 bytes and ends it.
    const auto messages = numberedMessages("n", 16, 149);
    writeBatch(logger, messages);
    auto files = paths();
    ASSERT_EQ(files.size(), 3u);
    std::vector<std::string> texts;
    for (const std::string& path : files)
        texts.push_back(contents(path));
    std::sort(texts.begin(), texts.end()); // files made in one virtual instant: order them by their lines
    auto lines = [&](int from, int to) {
        std::string text;
        for (int i = from; i < to; ++i)
            text += messages[static_cast<std::size_t>(i)].message() + "\n";
        return text;
    };
    EXPECT_EQ(texts[0], lines(0, 7));
    EXPECT_EQ(texts[1], lines(7, 14));
    EXPECT_EQ(texts[2], lines(14, 16));
    int archived = 0;
    for (const std::string& path : files)
        archived += PULSELogFileInfo(path).isArchived() ? 1 : 0;
    EXPECT_EQ(archived, 2); // the two full files; the last one stays current
}

TEST_F(FileLogger, BatchSkipsDroppedAndUnacceptedMessages) {
    auto logger = make(false);
    logger->setLogFormatter(std::make_shared<PassFormatter>());
    settle(logger);
    std::vector<PULSELogMessage> messages;
    messages.emplace_back("drop", 31, PULSELogFlagDebug, 0, "f.cpp", "g", 1);
    messages.emplace_back("kept", 31, PULSELogFlagError, 0, "f.cpp", "g", 1);
    messages.emplace_back("verbose", 31, PULSELogFlagVerbose, 0, "f.cpp", "g", 1);
    messages.emplace_back("drop", 31, PULSELogFlagError, 0, "f.cpp", "g", 1);
    messages.emplace_back("also", 31, PULSELogFlagDebug, 0, "f.cpp", "g", 1);
    logger->loggerQueue()->sync([&] { logger->logMessages(messages, PULSELogLevelDebug); });
    ASSERT_EQ(paths().size(), 1u);
    EXPECT_EQ(contents(paths()[0]), "[kept]\n[also]\n");
}

TEST_F(FileLogger, FileRemovedBetweenTwoBatchesGetsNoneOfTheSecond) {
    auto logger = make(false);
    logger->setLogFormatter(nullptr);
    settle(logger);
    writeBatch(logger, numberedMessages("a", 5, 10));
    ASSERT_EQ(paths().size(), 1u);
    const std::string first = paths()[0];
    ASSERT_EQ(::unlink(first.c_str()), 0);
    const auto second = numberedMessages("b", 5, 10);
    writeBatch(logger, second);
    const auto now = paths();
    ASSERT_EQ(now.size(), 1u); // a new file (of the same name: the old name is free again)
    std::string expected;
    for (const PULSELogMessage& message : second)
        expected += message.message() + "\n";
    EXPECT_EQ(contents(now[0]), expected);
}

TEST_F(FileLogger, AsynchronousBurstLandsWholeAndInOrder) {
    auto logger = make();
    m_manager->setMaximumNumberOfLogFiles(0); // keep every file: their lines are counted below
    logger->setLogFormatter(nullptr);
    logger->setMaximumFileSize(4096);
    for (int i = 0; i < 2000; ++i)
        PULSELog::log(true, 31, PULSELogFlagDebug, 0, "f.cpp", "g", 1, platform::Value(), "line %04d", i);
    PULSELog::flushLog();
    std::vector<std::string> texts;
    for (const std::string& path : paths()) {
        texts.push_back(contents(path));
        EXPECT_LE(texts.back().size(), 4096u + 9u) << path; // at most one line past the limit
    }
    EXPECT_GE(texts.size(), 4u);
    std::sort(texts.begin(), texts.end());
    std::string all;
    for (const std::string& text : texts)
        all += text;
    std::string expected;
    char line[16];
    for (int i = 0; i < 2000; ++i) {
        std::snprintf(line, sizeof line, "line %04d\n", i);
        expected += line;
    }
    EXPECT_EQ(all, expected);
}

TEST_F(FileLogger, RollOnRequestRunsCompletionOnMainQueue) {
    auto logger = make();
    std::atomic<bool> done{false};
    logger->rollLogFileWithCompletionBlock([&] { done = true; }); // no open file: nothing to roll
    ASSERT_TRUE(hybtest::runMainUntil([&] { return done.load(); }));
    log("line");
    std::atomic<bool> rolled{false};
    logger->rollLogFileWithCompletionBlock([&] { rolled = platform::DispatchQueue::main()->isCurrent(); });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return rolled.load(); }));
    EXPECT_TRUE(PULSELogFileInfo(paths()[0]).isArchived());
}

TEST_F(FileLogger, RemovingTheLoggerRollsTheFile) {
    auto logger = make();
    log("line");
    PULSELog::removeLogger(logger);
    settle(logger);
    EXPECT_TRUE(PULSELogFileInfo(paths()[0]).isArchived());
}

namespace {

// A folder manager whose only file cannot take any bytes.
class FullDiskManager : public PULSELogFileManagerDefault {
public:
    using PULSELogFileManagerDefault::PULSELogFileManagerDefault;
    std::vector<std::shared_ptr<PULSELogFileInfo>> sortedLogFileInfos() override { return {}; }
    std::string createNewLogFile() override { return "/dev/full"; }
};

} // namespace

TEST_F(FileLogger, FailedWritesAreReportedTenTimesAtMost) {
    if (::access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    auto logger = std::make_shared<PULSEFileLogger>(std::make_shared<FullDiskManager>(m_home.root() + "/logs"));
    PULSELog::addLogger(logger);
    hybtest::LogCapture capture;
    const int before = PULSEFileLogger::exceptionCount();
    for (int i = 0; i < 12 - before; ++i)
        log("lost");
    const auto lines = capture.lines();
    int reports = 0;
    for (const std::string& line : lines)
        reports += line.starts_with("PULSEFileLogger.logMessage: ") ? 1 : 0;
    EXPECT_GE(PULSEFileLogger::exceptionCount(), 12);
    EXPECT_EQ(reports, std::max(0, 10 - before) + (before < 10 ? 1 : 0));
    EXPECT_TRUE(before >= 10 || capture.contains("Too many exceptions -- will not log any more of them."));
}
