#include "pushlog/PULSECustomFormatter.h"
#include "pushlog/PULSELogFlags.h"
#include "pushlog/PULSELogMessage.h"
#include "pushlog/PULSELogger.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

using namespace pushlog;

namespace {

class UTCZone : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_saved = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "UTC", 1);
        tzset();
    }
    void TearDown() override {
        if (m_saved)
            setenv("TZ", m_saved->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> m_saved;
};

PULSELogMessage messageAt(double seconds, std::uint64_t flag, const std::string& file = "ios-push-sdk/Lib/Network/Socket/PULSEUdpSocket.m") {
    return PULSELogMessage("udp socket connected", 31, flag, 0, file, "-[PULSEUdpSocket close]", 12, {}, 0,
                           platform::Date{seconds});
}

} // namespace

TEST(LogMessage, FileNameIsLastComponentCutBeforeLastDot) {
    EXPECT_EQ(PULSELogMessage::fileNameForPath("ios-push-sdk/Lib/Network/Socket/PULSEUdpSocket.m"), "PULSEUdpSocket");
    EXPECT_EQ(PULSELogMessage::fileNameForPath("a/b/NoExtension"), "NoExtension");
    EXPECT_EQ(PULSELogMessage::fileNameForPath("a/b/two.dots.mm"), "two.dots");
    EXPECT_EQ(PULSELogMessage::fileNameForPath("plain.cpp"), "plain");
}

TEST(LogMessage, CopyWithNewTextKeepsEveryOtherField) {
    const PULSELogMessage original = messageAt(10.5, PULSELogFlagInfo);
    const PULSELogMessage copy = original.withMessage(makeLogText("other"));
    EXPECT_EQ(copy.message(), "other");
    EXPECT_EQ(copy.fileName(), original.fileName());
    EXPECT_EQ(copy.timestamp(), original.timestamp());
    EXPECT_EQ(copy.threadID(), original.threadID());
    EXPECT_EQ(original.message(), "udp socket connected");
    // Plain copies share the text object.
    const PULSELogMessage same = original;
    EXPECT_EQ(same.messageText().get(), original.messageText().get());
}

TEST_F(UTCZone, CustomFormatterWritesDateTagLetterFileAndText) {
    PULSECustomFormatter formatter(0);
    // 2016-05-04 09:15:02.117 UTC
    const LogText line = formatter.formatLogMessage(messageAt(1462353302.117, PULSELogFlagDebug));
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "2016-05-04 09:15:02.117 | PULSE | D - [PULSEUdpSocket] udp socket connected");
}

TEST_F(UTCZone, CustomFormatterLettersAndTags) {
    PULSECustomFormatter formatter(0);
    const std::pair<std::uint64_t, const char*> letters[] = {{1, "E"}, {2, "W"}, {4, "I"}, {8, "D"},
                                                             {16, "V"}, {3, "V"}, {0, "V"}};
    for (auto [flag, letter] : letters) {
        const LogText line = formatter.formatLogMessage(messageAt(0, flag));
        EXPECT_NE(line->find(std::string(" | ") + letter + " - ["), std::string::npos) << flag;
    }
    PULSECustomFormatter other(7);
    EXPECT_EQ(*other.formatLogMessage(messageAt(0.0009, 8)),
              "1970-01-01 00:00:00.000 | (null) | D - [PULSEUdpSocket] udp socket connected");
    EXPECT_STRNE(PULSECustomFormatter::tagForType(1), "PULSE");
}

struct NullLogger : PULSELogger {
    void logMessage(const PULSELogMessage&) override {}
    std::shared_ptr<PULSELogFormatter> logFormatter() override { return nullptr; }
    void setLogFormatter(std::shared_ptr<PULSELogFormatter>) override {}
};

TEST_F(UTCZone, SharedFormatterFormatsDatesPerThreadAndBack) {
    PULSECustomFormatter formatter(0);
    NullLogger logger;
    // Counting follows attachment; the text stays the same whichever date object is used.
    const std::string alone = formatter.stringFromDate(platform::Date{1462353302.117});
    for (int i = 0; i < 3; ++i)
        formatter.didAddToLogger(logger);
    EXPECT_EQ(formatter.loggerCount(), 3);
    EXPECT_EQ(formatter.stringFromDate(platform::Date{1462353302.117}), alone);
    EXPECT_EQ(formatter.stringFromDate(platform::Date{1462353303.5}), "2016-05-04 09:15:03.500");
    formatter.willRemoveFromLogger(logger);
    formatter.willRemoveFromLogger(logger);
    EXPECT_EQ(formatter.loggerCount(), 1);
    EXPECT_EQ(formatter.stringFromDate(platform::Date{1462353302.117}), alone);
}
