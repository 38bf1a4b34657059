#include "pushlog/PULSETTYLoggerColorProfile.h"
#include "pushlog/TerminalColorTables.h"

#include <gtest/gtest.h>

using namespace pushlog;

namespace {

PULSECLIColor rgb(int r, int g, int b) { return PULSECLIColor(r / 255.0, g / 255.0, b / 255.0, 1.0); }

} // namespace

TEST(TerminalColorMode, ChosenFromEnvironment) {
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment("YES", "xterm-256color"), TerminalColorMode::XcodeColors);
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment("yes", nullptr), TerminalColorMode::None);
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment("yes", "xterm-256color"), TerminalColorMode::Ansi256);
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment(nullptr, "xterm-color"), TerminalColorMode::Ansi16);
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment(nullptr, "XTERM-COLOR"), TerminalColorMode::Ansi16);
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment(nullptr, "xterm"), TerminalColorMode::None);
    EXPECT_EQ(PULSETTYLoggerColorProfile::modeForEnvironment(nullptr, nullptr), TerminalColorMode::None);
}

TEST(TerminalColorProfile, Ansi256NearestCodes) {
    const PULSETTYLoggerColorProfile error(rgb(214, 57, 30), std::nullopt, 1, kEveryContext, TerminalColorMode::Ansi256);
    EXPECT_EQ(error.fgCodeIndex + 16, 124u);
    EXPECT_EQ(error.fgCodeRaw, "38;5;124m");
    EXPECT_EQ(error.fgCode, "\x1b[38;5;124m");
    EXPECT_EQ(error.bgCode, "");
    EXPECT_EQ(error.resetCode, "\x1b[0m");
    const PULSETTYLoggerColorProfile red(rgb(255, 0, 0), rgb(255, 0, 0), 1, kEveryContext, TerminalColorMode::Ansi256);
    EXPECT_EQ(red.fgCodeRaw, "38;5;160m");
    EXPECT_EQ(red.bgCodeRaw, "48;5;160m");
    EXPECT_EQ(red.bgCode, "\x1b[48;5;160m");
}

TEST(TerminalColorProfile, Ansi16NearestCodes) {
    const PULSETTYLoggerColorProfile red(rgb(255, 0, 0), std::nullopt, 1, kEveryContext, TerminalColorMode::Ansi16);
    EXPECT_EQ(red.fgCodeIndex, 9u);
    EXPECT_EQ(red.fgCodeRaw, "1;31m");
    EXPECT_EQ(red.fgCode, "\x1b[1;31m");
    const PULSETTYLoggerColorProfile black(rgb(0, 0, 0), rgb(203, 204, 205), 2, 0, TerminalColorMode::Ansi16);
    EXPECT_EQ(black.fgCodeRaw, "30m");
    EXPECT_EQ(black.bgCodeRaw, "47m");
}

TEST(TerminalColorProfile, XcodeColorsAndNoMode) {
    const PULSETTYLoggerColorProfile red(rgb(255, 0, 0), rgb(0, 0, 255), 1, kEveryContext, TerminalColorMode::XcodeColors);
    EXPECT_EQ(red.fgCode, "\x1b[fg255,0,0;");
    EXPECT_EQ(red.bgCode, "\x1b[bg0,0,255;");
    EXPECT_EQ(red.resetCode, "\x1b[;");
    EXPECT_EQ(red.fg_r, 255);
    const PULSETTYLoggerColorProfile plain(rgb(255, 0, 0), std::nullopt, 1, kEveryContext, TerminalColorMode::None);
    EXPECT_TRUE(plain.fgCode.empty());
    EXPECT_TRUE(plain.resetCode.empty());
    EXPECT_EQ(plain.fg_r, 255);
}

TEST(TerminalColorProfile, ComponentsTruncateAndTiesKeepLowerIndex) {
    const PULSETTYLoggerColorProfile p(PULSECLIColor(0.5, 0.999, 0.0), std::nullopt, 1, 0, TerminalColorMode::None);
    EXPECT_EQ(p.fg_r, 127);
    EXPECT_EQ(p.fg_g, 254);
    // Exact table colours map to themselves; the 256 table's first and 16 table's last.
    EXPECT_EQ(PULSETTYLoggerColorProfile::codeIndexForColor(rgb(47, 49, 49), TerminalColorMode::Ansi256), 0u);
    EXPECT_EQ(PULSETTYLoggerColorProfile::codeIndexForColor(rgb(233, 235, 235), TerminalColorMode::Ansi16), 15u);
    EXPECT_EQ(PULSETTYLoggerColorProfile::codeIndexForColor(rgb(1, 2, 3), TerminalColorMode::None), 0u);
    EXPECT_NE(p.description().find("mask:1 ctxt:0 fg:127,254,0 bg:0,0,0"), std::string::npos);
}

TEST(TerminalColorTables, SpotChecks) {
    EXPECT_EQ(terminalColors256()[0].r, 47);
    EXPECT_EQ(terminalColors256()[239].r, 240);
    EXPECT_EQ(terminalColors256()[239].b, 242);
    EXPECT_EQ(terminalColors256()[124 - 16].g, 57);
    EXPECT_STREQ(terminalColors16()[9].foregroundCode, "1;31m");
    EXPECT_STREQ(terminalColors16()[15].backgroundCode, "1;47m");
}
