#include "RecordingLogger.h"
#include "StderrCapture.h"

#include "pushlog/PULSECustomFormatter.h"
#include "pushlog/PULSETTYLogger.h"

#include <gtest/gtest.h>

using namespace pushlog;
using pushlog::testing::StderrCapture;

namespace {

PULSECLIColor rgb(int r, int g, int b) { return PULSECLIColor(r / 255.0, g / 255.0, b / 255.0); }

class TerminalLogger : public ::testing::Test {
protected:
    void SetUp() override { pushlog::testing::resetLoggers(); }
    void TearDown() override { pushlog::testing::resetLoggers(); }

    std::shared_ptr<PULSETTYLogger> make(TerminalColorMode mode, std::uint64_t level = PULSELogLevelAll) {
        auto logger = PULSETTYLogger::create(mode);
        EXPECT_TRUE(logger);
        PULSELog::addLogger(logger, level);
        return logger;
    }

    // Logs one message and returns what reached standard error.
    static std::string written(std::uint64_t flag, const char* text, std::int64_t context = 0,
                               platform::Value tag = {}) {
        StderrCapture capture;
        PULSELog::log(false, PULSELogMessage(text, 31, flag, context, "dir/File.cpp", "f", 1, std::move(tag)));
        capture.restore();
        return capture.text();
    }
};

} // namespace

TEST_F(TerminalLogger, UnformattedLineShowsTimeAppProcessAndThread) {
    auto logger = make(TerminalColorMode::None);
    const std::string line = written(PULSELogFlagInfo, "hello");
    const std::string expectedTail = " " + logger->appName() + "[" + logger->processID() + ":";
    EXPECT_NE(line.find(expectedTail), std::string::npos) << line;
    EXPECT_TRUE(line.ends_with("] hello\n")) << line;
    EXPECT_EQ(line[4], '-');
    EXPECT_EQ(line[19], ':'); // milliseconds after a colon
    EXPECT_EQ(written(PULSELogFlagInfo, "ends\n").find("ends\n\n"), std::string::npos);
}

TEST_F(TerminalLogger, FormattedLinesAndNewlines) {
    auto logger = make(TerminalColorMode::None);
    logger->setLogFormatter(std::make_shared<PULSECustomFormatter>(0));
    const std::string line = written(PULSELogFlagDebug, "formatted");
    EXPECT_NE(line.find(" | PULSE | D - [File] formatted\n"), std::string::npos) << line;
    EXPECT_EQ(line.back(), '\n');
    EXPECT_EQ(line.find('\n'), line.size() - 1);

    const PULSELogMessage message("x", 31, 1, 0, "f", "g", 1);
    EXPECT_EQ(PULSETTYLogger::composeLine(message, "line\n", true, nullptr, true, "app", "1"), "line\n");
    EXPECT_EQ(PULSETTYLogger::composeLine(message, "line", true, nullptr, false, "app", "1"), "line");
    EXPECT_EQ(PULSETTYLogger::composeLine(message, "line", true, nullptr, true, "app", "1"), "line\n");
}

TEST_F(TerminalLogger, ColoursWrapTheWholeLineInAnsi256Mode) {
    auto logger = make(TerminalColorMode::Ansi256);
    logger->setColorsEnabled(true); // no profiles yet: the defaults for error and warning
    PULSELog::flushLog();
    EXPECT_TRUE(logger->colorsEnabled());
    const std::string error = written(PULSELogFlagError, "bad");
    EXPECT_EQ(error.rfind("\x1b[38;5;124m", 0), 0u) << error;
    EXPECT_TRUE(error.ends_with("] bad\n\x1b[0m")) << error;
    const std::string warning = written(PULSELogFlagWarning, "careful");
    EXPECT_EQ(warning.rfind("\x1b[38;5;", 0), 0u);
    const std::string info = written(PULSELogFlagInfo, "plain");
    EXPECT_EQ(info.find('\x1b'), std::string::npos);
}

TEST_F(TerminalLogger, NoColourModeWritesPlainEvenWhenEnabled) {
    auto logger = make(TerminalColorMode::None);
    logger->setColorsEnabled(true);
    EXPECT_EQ(written(PULSELogFlagError, "bad").find('\x1b'), std::string::npos);
}

TEST_F(TerminalLogger, ProfilesAlreadySetKeepDefaultsAway) {
    auto logger = make(TerminalColorMode::Ansi16);
    logger->setForegroundColor(rgb(255, 0, 0), std::nullopt, PULSELogFlagInfo);
    logger->setColorsEnabled(true);
    EXPECT_EQ(written(PULSELogFlagInfo, "i").rfind("\x1b[1;31m", 0), 0u);
    EXPECT_EQ(written(PULSELogFlagError, "e").find('\x1b'), std::string::npos);
}

TEST_F(TerminalLogger, ContextProfilesAndEveryContextFallback) {
    auto logger = make(TerminalColorMode::Ansi16);
    logger->setForegroundColor(rgb(0, 0, 0), std::nullopt, PULSELogFlagError);         // every context: 30m
    logger->setForegroundColor(rgb(255, 0, 0), std::nullopt, PULSELogFlagError, 5);    // context 5: 1;31m
    logger->setForegroundColor(rgb(203, 204, 205), std::nullopt, PULSELogFlagError | PULSELogFlagWarning); // 37m
    logger->setColorsEnabled(true);
    EXPECT_EQ(written(PULSELogFlagError, "c5", 5).rfind("\x1b[1;31m", 0), 0u);
    // Two every-context profiles cover errors: the later one wins.
    EXPECT_EQ(written(PULSELogFlagError, "c0", 0).rfind("\x1b[37m", 0), 0u);
    // Setting the same mask and context again replaces in place.
    logger->setForegroundColor(rgb(37, 188, 36), std::nullopt, PULSELogFlagError | PULSELogFlagWarning);
    EXPECT_EQ(written(PULSELogFlagWarning, "w").rfind("\x1b[32m", 0), 0u);
    // clearColorsForFlag without context means context 0 and leaves the every-context profile.
    logger->clearColorsForFlag(PULSELogFlagError | PULSELogFlagWarning);
    EXPECT_EQ(written(PULSELogFlagWarning, "w").rfind("\x1b[32m", 0), 0u);
    logger->clearColorsForFlag(PULSELogFlagError | PULSELogFlagWarning, kEveryContext);
    EXPECT_EQ(written(PULSELogFlagWarning, "w").find('\x1b'), std::string::npos);
    EXPECT_EQ(written(PULSELogFlagError, "e").rfind("\x1b[30m", 0), 0u);
    logger->clearColorsForAllFlags();
    EXPECT_EQ(written(PULSELogFlagError, "e").find('\x1b'), std::string::npos);
}

TEST_F(TerminalLogger, TagProfileWinsOverFlags) {
    auto logger = make(TerminalColorMode::XcodeColors);
    logger->setForegroundColor(rgb(255, 0, 0), std::nullopt, PULSELogFlagError);
    logger->setForegroundColor(rgb(0, 0, 255), rgb(0, 255, 0), platform::Value("net"));
    logger->setColorsEnabled(true);
    const std::string tagged = written(PULSELogFlagError, "t", 0, platform::Value("net"));
    EXPECT_EQ(tagged.rfind("\x1b[fg0,0,255;\x1b[bg0,255,0;", 0), 0u) << tagged;
    EXPECT_EQ(tagged.substr(tagged.size() - 3), "\x1b[;");
    logger->clearColorsForTag(platform::Value("net"));
    EXPECT_EQ(written(PULSELogFlagError, "t", 0, platform::Value("net")).rfind("\x1b[fg255,0,0;", 0), 0u);
    logger->clearAllColors();
    EXPECT_EQ(written(PULSELogFlagError, "t").find('\x1b'), std::string::npos);
}

TEST_F(TerminalLogger, LongTextWrittenWhole) {
    make(TerminalColorMode::None);
    const std::string text(10000, 'x');
    const std::string line = written(PULSELogFlagInfo, text.c_str());
    EXPECT_NE(line.find(text + "\n"), std::string::npos);
}
