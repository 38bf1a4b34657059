#include "platform/text/RegularExpression.h"

#include <gtest/gtest.h>

#include <string>

using platform::RegularExpression;

TEST(RegularExpressionTest, MatchesTheWholeTextOnly) {
    EXPECT_TRUE(RegularExpression::wholeMatch("123", "\\d{3}"));
    EXPECT_FALSE(RegularExpression::wholeMatch("1234", "\\d{3}"));
    EXPECT_FALSE(RegularExpression::wholeMatch("x123", "\\d{3}"));
    EXPECT_TRUE(RegularExpression::wholeMatch("ab", "a|ab"));
    EXPECT_FALSE(RegularExpression::wholeMatch("123\n", "\\d{3}"));
    EXPECT_TRUE(RegularExpression::wholeMatch("", "\\d*"));
    EXPECT_TRUE(RegularExpression::wholeMatch("user.name@host_1", "[.@_A-Za-z0-9]{1,64}"));
    EXPECT_FALSE(RegularExpression::wholeMatch("user name", "[.@_A-Za-z0-9]{1,64}"));
    EXPECT_TRUE(RegularExpression::wholeMatch("  ", "\\s+"));
    EXPECT_TRUE(RegularExpression::wholeMatch("a_1", "\\w+"));
    EXPECT_TRUE(RegularExpression::wholeMatch("支付", ".{2}"));
    // Anchors inside the pattern stay harmless.
    EXPECT_TRUE(RegularExpression::wholeMatch("12", "^\\d+$"));
}

TEST(RegularExpressionTest, BadPatternsAndTextMatchNothing) {
    EXPECT_FALSE(RegularExpression::wholeMatch("a", "("));
    EXPECT_FALSE(RegularExpression::wholeMatch("a", "a)|(b"));
    EXPECT_FALSE(RegularExpression::wholeMatch("b", "a)|(b"));
    EXPECT_FALSE(RegularExpression::wholeMatch("a", "a\\"));
    EXPECT_FALSE(RegularExpression::wholeMatch("a", std::string("a\0", 2)));
    EXPECT_FALSE(RegularExpression::wholeMatch("\xff", "."));
    EXPECT_FALSE(RegularExpression::isValidPattern("[a-"));
    EXPECT_TRUE(RegularExpression::isValidPattern("[a-z]"));
    // An open quote cannot swallow the wrapper's end, and a trailing comment cannot either.
    EXPECT_TRUE(RegularExpression::wholeMatch("a)", "\\Qa)"));
    EXPECT_FALSE(RegularExpression::wholeMatch("ab", "\\Qa"));
    EXPECT_FALSE(RegularExpression::wholeMatch("a", "(?x)a#"));
}

TEST(RegularExpressionTest, HostilePatternGivesUpInsteadOfHanging) {
    const std::string text = std::string(40, 'a') + "b";
    EXPECT_FALSE(RegularExpression::wholeMatch(text, "(a+)+"));
    EXPECT_FALSE(RegularExpression::wholeMatch(text, "(a|aa)+"));
    EXPECT_TRUE(RegularExpression::wholeMatch(std::string(40, 'a'), "(a+)+"));
}
