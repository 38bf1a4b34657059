#include "RecordingLogger.h"

#include "platform/system/SystemLog.h"
#include "pushlog/PULSEASLLogger.h"
#include "pushlog/PULSECustomFormatter.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace pushlog;

namespace {

class SystemLogLogger : public ::testing::Test {
protected:
    void SetUp() override {
        platform::SystemLog::shared().setForwardsToSyslog(false);
        pushlog::testing::resetLoggers();
        m_lastID = platform::SystemLog::shared().send(platform::SystemLogRecord());
    }
    void TearDown() override {
        PULSEASLLogger::sharedInstance()->setLogFormatter(nullptr);
        pushlog::testing::resetLoggers();
    }
    // The records written since the test began.
    std::vector<platform::SystemLogRecord> newRecords() const {
        platform::SystemLogQuery query;
        query.addNumericCondition(platform::kSystemLogKeyMessageID, platform::SystemLogQuery::Comparison::Greater,
                                  static_cast<std::int64_t>(m_lastID));
        return platform::SystemLog::shared().search(query);
    }
    std::uint64_t m_lastID = 0;
};

} // namespace

TEST_F(SystemLogLogger, LevelMapAndBareTextWithoutFormatter) {
    PULSELog::addLogger(PULSEASLLogger::sharedInstance());
    for (std::uint64_t flag : {1, 2, 4, 8, 16, 3})
        pushlog::testing::logLine(flag, ("flag " + std::to_string(flag)).c_str());
    const auto records = newRecords();
    ASSERT_EQ(records.size(), 6u);
    const char* levels[] = {"2", "3", "4", "5", "5", "5"};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(*records[i].get("Level"), levels[i]) << i;
        EXPECT_EQ(*records[i].get("ReadUID"), std::to_string(geteuid()));
    }
    EXPECT_EQ(*records[0].get("Message"), "flag 1");
}

TEST_F(SystemLogLogger, FormattedLinesAndCapturedMessagesNeverWrittenBack) {
    auto logger = PULSEASLLogger::sharedInstance();
    logger->setLogFormatter(std::make_shared<PULSECustomFormatter>(0));
    PULSELog::addLogger(logger);
    PULSELog::log(false, PULSELogMessage("captured", 31, 1, 0, kSystemLogCaptureFileName, "", 0));
    PULSELog::log(false, PULSELogMessage("captured too", 31, 16, 0, "some/dir/PULSEASLLogCapture", "", 0));
    PULSELog::log(false, 31, 8, 0, "ios-push-sdk/Lib/Network/Socket/PULSEUdpSocket.m", "-[PULSEUdpSocket close]", 7,
                  platform::Value(), "udp socket %s", "connected");
    const auto records = newRecords();
    ASSERT_EQ(records.size(), 1u);
    const std::string& line = *records[0].get("Message");
    EXPECT_NE(line.find(" | PULSE | D - [PULSEUdpSocket] udp socket connected"), std::string::npos) << line;
}

TEST_F(SystemLogLogger, OneInstancePerProcess) {
    const auto& shared = PULSEASLLogger::sharedInstance();
    EXPECT_EQ(PULSEASLLogger::sharedInstance(), shared);
    EXPECT_EQ(PULSEASLLogger::create(), nullptr);
    EXPECT_EQ(shared->loggerQueue()->label(), "pulse.logging.aslLogger");
}
