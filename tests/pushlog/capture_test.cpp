#include "RecordingLogger.h"

#include "platform/system/SystemLog.h"
#include "pushlog/PULSEASLLogCapture.h"
#include "pushlog/PULSEASLLogger.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace pushlog;
using pushlog::testing::RecordingLogger;

namespace {

class Capture : public ::testing::Test {
protected:
    Capture() {
        platform::SystemLog::shared().setForwardsToSyslog(false);
        pushlog::testing::resetLoggers();
    }
    ~Capture() override {
        PULSEASLLogCapture::stop();
        // The stop takes effect at the end of the next pass.
        platform::SystemLog::shared().send(platform::SystemLogRecord());
        PULSEASLLogCapture::setCaptureLevel(31);
        pushlog::testing::resetLoggers();
    }

    static void send(const char* level, const char* text) {
        platform::SystemLogRecord record;
        record.set("Level", level);
        record.set("Message", text);
        platform::SystemLog::shared().send(record);
    }
    // A bound against a hang only: a loaded machine may take long for a pass.
    static constexpr std::chrono::seconds kHangBound{120};

    // Waits until the logger has received `count` lines.
    static bool waitForLines(const RecordingLogger& logger, std::size_t count) {
        const auto limit = std::chrono::steady_clock::now() + kHangBound;
        while (logger.lines().size() < count) {
            if (std::chrono::steady_clock::now() > limit)
                return false;
            PULSELog::flushLog();
            std::this_thread::yield();
        }
        return true;
    }
    static void startAndWait() {
        PULSEASLLogCapture::start();
        // The registration is made on a global queue; a record sent before it could be missed by the
        // first pass's time bound only if it predates the start, so wait for the registration.
        auto marker = std::make_shared<RecordingLogger>("test.marker");
        PULSELog::addLogger(marker, PULSELogLevelVerbose);
        const auto limit = std::chrono::steady_clock::now() + kHangBound;
        while (marker->lines().empty() && std::chrono::steady_clock::now() < limit) {
            send("2", "marker");
            PULSELog::flushLog();
            std::this_thread::yield();
        }
        // Passes handle records in order: once this one arrived, every marker before it has.
        send("2", "last marker");
        bool arrived = false;
        while (!arrived && std::chrono::steady_clock::now() < limit) {
            const auto lines = marker->lines();
            arrived = !lines.empty() && lines.back() == "last marker";
            PULSELog::flushLog();
            std::this_thread::yield();
        }
        EXPECT_TRUE(arrived) << "the capture's registration never handled a record";
        PULSELog::removeLogger(marker);
        PULSELog::flushLog();
    }
};

} // namespace

TEST(CaptureMapping, LevelsToFlagsAndDelivery) {
    for (int level : {0, 1, 2}) {
        EXPECT_EQ(PULSEASLLogCapture::flagForSystemLogLevel(level).flag, PULSELogFlagError);
        EXPECT_FALSE(PULSEASLLogCapture::flagForSystemLogLevel(level).asynchronous);
    }
    EXPECT_EQ(PULSEASLLogCapture::flagForSystemLogLevel(3).flag, PULSELogFlagWarning);
    EXPECT_EQ(PULSEASLLogCapture::flagForSystemLogLevel(4).flag, PULSELogFlagInfo);
    EXPECT_EQ(PULSEASLLogCapture::flagForSystemLogLevel(5).flag, PULSELogFlagDebug);
    EXPECT_EQ(PULSEASLLogCapture::flagForSystemLogLevel(6).flag, PULSELogFlagVerbose);
    EXPECT_EQ(PULSEASLLogCapture::flagForSystemLogLevel(42).flag, PULSELogFlagVerbose);
    EXPECT_TRUE(PULSEASLLogCapture::flagForSystemLogLevel(7).asynchronous);
}

TEST(CaptureMapping, RecordsWithoutTextOrTimeAreSkipped) {
    pushlog::testing::resetLoggers();
    auto logger = std::make_shared<RecordingLogger>();
    PULSELog::addLogger(logger);
    platform::SystemLogRecord record;
    record.set("Level", "2");
    record.set("Message", "no time");
    PULSEASLLogCapture::aslMessageRecieved(record);
    record.set("Time", "1700000000");
    PULSEASLLogCapture::aslMessageRecieved(record); // still no nanoseconds
    record.set("TimeNanoSec", "abc");
    PULSEASLLogCapture::aslMessageRecieved(record);
    record.set("TimeNanoSec", "500000000");
    PULSEASLLogCapture::aslMessageRecieved(record);
    PULSELog::flushLog();
    const auto messages = logger->messages();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].fileName(), "PULSEASLLogCapture");
    EXPECT_EQ(messages[0].flag(), PULSELogFlagError);
    EXPECT_DOUBLE_EQ(messages[0].timestamp().secondsSince1970, 1700000000.5);
    pushlog::testing::resetLoggers();
}

TEST_F(Capture, SystemLogMessagesComeBackOnceAsFrameworkMessages) {
    startAndWait();
    PULSEASLLogCapture::start(); // a second start registers nothing more
    auto info = std::make_shared<RecordingLogger>("test.info");
    auto verbose = std::make_shared<RecordingLogger>("test.verbose");
    PULSELog::addLogger(info, PULSELogLevelInfo);
    PULSELog::addLogger(verbose, PULSELogFlagVerbose);
    // The system-log logger is registered too: it must not write the captured lines back.
    PULSELog::addLogger(PULSEASLLogger::sharedInstance());
    send("3", "a warning");
    send("6", "a detail");
    ASSERT_TRUE(waitForLines(*info, 1));
    ASSERT_TRUE(waitForLines(*verbose, 1));
    const auto messages = info->messages();
    EXPECT_EQ(messages[0].message(), "a warning");
    EXPECT_EQ(messages[0].flag(), PULSELogFlagWarning);
    EXPECT_EQ(messages[0].level(), 31u);
    EXPECT_EQ(messages[0].fileName(), "PULSEASLLogCapture");
    EXPECT_EQ(verbose->lines(), std::vector<std::string>{"a detail"});

    // Later passes take only newer records: the first two are not handled again.
    auto debug = std::make_shared<RecordingLogger>("test.debug");
    PULSELog::addLogger(debug, PULSELogFlagDebug | PULSELogFlagWarning);
    send("5", "last");
    ASSERT_TRUE(waitForLines(*debug, 1));
    EXPECT_EQ(debug->lines(), std::vector<std::string>{"last"});
    EXPECT_EQ(info->lines().size(), 1u);
    EXPECT_EQ(verbose->lines().size(), 1u);
}

TEST_F(Capture, CaptureLevelDropsFlagsOutsideIt) {
    PULSEASLLogCapture::setCaptureLevel(PULSELogLevelWarning);
    startAndWait();
    auto all = std::make_shared<RecordingLogger>("test.all");
    PULSELog::addLogger(all);
    send("7", "dropped");
    send("4", "dropped too");
    send("2", "critical");
    ASSERT_TRUE(waitForLines(*all, 1));
    PULSELog::flushLog();
    EXPECT_EQ(all->lines(), std::vector<std::string>{"critical"});
    EXPECT_EQ(all->messages()[0].level(), PULSELogLevelWarning);
}
