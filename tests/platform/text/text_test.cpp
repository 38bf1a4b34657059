#include "platform/text/DateFormatter.h"
#include "platform/text/Format.h"
#include "platform/text/Text.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>

using namespace platform;

TEST(Text, UUIDStrings) {
    std::set<std::string> seen;
    static const std::regex kShape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    for (int i = 0; i < 100; ++i) {
        std::string id = newUUIDString();
        EXPECT_TRUE(std::regex_match(id, kShape)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 100u);
}

TEST(Text, NumericVersionComparison) {
    EXPECT_LT(compareNumeric("5.1", "8.0"), 0);
    EXPECT_GT(compareNumeric("10.0", "9.3"), 0);
    EXPECT_EQ(compareNumeric("8.0", "8.0"), 0);
    EXPECT_EQ(compareNumeric("007", "7"), 0);
    EXPECT_LT(compareNumeric("8", "8.0"), 0);
    EXPECT_GT(compareNumeric("8.0.1", "8.0"), 0);
    EXPECT_LT(compareNumeric("7.1.2", "7.10"), 0);
    EXPECT_GT(compareNumeric("12345678901234567890", "9"), 0) << "digit runs longer than 64 bits";
    EXPECT_TRUE(isVersionAtLeast("8.0", "8.0"));
    EXPECT_TRUE(isVersionAtLeast("10.3", "8.0"));
    EXPECT_FALSE(isVersionAtLeast("6.1", "7.0"));
    EXPECT_FALSE(isVersionAtLeast("", "5.1"));
}

TEST(Text, MIMETypes) {
    EXPECT_EQ(mimeTypeForExtension("png"), "image/png");
    EXPECT_EQ(mimeTypeForExtension("JPG"), "image/jpeg");
    EXPECT_EQ(mimeTypeForExtension("m4a"), "audio/mp4");
    EXPECT_EQ(mimeTypeForExtension("wav"), "audio/wav");
    EXPECT_EQ(mimeTypeForExtension("css"), "text/css");
    EXPECT_EQ(mimeTypeForExtension("html"), "text/html");
    EXPECT_EQ(mimeTypeForExtension("nosuch"), std::nullopt);
    EXPECT_EQ(mimeTypeForExtension(""), std::nullopt);
}

TEST(Text, HexDigitValuesInEitherCaseAndNothingAroundThem) {
    const std::string digits = "0123456789abcdef";
    for (int value = 0; value < 16; ++value) {
        EXPECT_EQ(hexDigitValue(digits[value]), value);
        EXPECT_EQ(hexDigitValue(static_cast<char>(std::toupper(digits[value]))), value);
    }
    for (char c : std::string("/:@G`g \0\x80\xff", 10))
        EXPECT_EQ(hexDigitValue(c), -1) << static_cast<int>(c);
}

TEST(Format, ObjectsAndCConversions) {
    EXPECT_EQ(formatString("%@ and %@", {Value("text"), Value(0)}), "text and 0");
    EXPECT_EQ(formatString("%@ %@ %@", {Value(true), Value(), std::nullopt}), "1 <null> (null)");
    EXPECT_EQ(formatString("%@", {Value(2.5)}), "2.5");
    EXPECT_EQ(formatString("hybrid.callbackSuccess('%@',%@);", {"Cache1", "\"ok\""}),
              "hybrid.callbackSuccess('Cache1',\"ok\");");
    EXPECT_EQ(formatString("Zip Extraction: %.0f%%", {99.6}), "Zip Extraction: 100%");
    EXPECT_EQ(formatString("%f %g %.2f", {1.5, 0.0001, 3.14159}), "1.500000 0.0001 3.14");
    EXPECT_EQ(formatString("%d %ld %lld %u %llu", {-1, 5000000000LL, INT64_MIN, 7, -1}),
              "-1 5000000000 -9223372036854775808 7 18446744073709551615");
    EXPECT_EQ(formatString("%d", {5000000000LL}), "705032704") << "%d is 32 bits";
    EXPECT_EQ(formatString("%@:%hu", {"host", 70000}), "host:4464");
    EXPECT_EQ(formatString("%#llx %X %05d %-4d|", {255, 255, 42, 7}), "0xff FF 00042 7   |");
    EXPECT_EQ(formatString("%zd %s", {-3, "abc"}), "-3 abc");
    EXPECT_EQ(formatString("%*d|%-*s|", {4, 1, 3, "a"}), "   1|a  |");
}

TEST(Format, TextWidthsCountCharacters) {
    EXPECT_EQ(formatString("[%-6S]", {"\xe5\x9b\x9b\xe4\xb8\xaa"}), "[\xe5\x9b\x9b\xe4\xb8\xaa    ]");
    EXPECT_EQ(formatString("[%4@]", {"ab"}), "[  ab]");
    EXPECT_EQ(formatString("[%.2s]", {"\xc3\xa9\xc3\xa9\xc3\xa9"}), "[\xc3\xa9\xc3\xa9]");
}

TEST(Format, MissingArgumentsAndOddFormats) {
    EXPECT_EQ(formatString("%d %@ %s %f", {}), "0 (null) (null) 0.000000");
    EXPECT_EQ(formatString("100%", {}), "100%");
    EXPECT_EQ(formatString("%k %d", {5}), "%k 5");
    EXPECT_EQ(formatString("no args", {1, 2}), "no args");
    EXPECT_EQ(formatString("%999999999d", {1}).size(), 65536u) << "width is capped";
}

class DateFormatterTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        m_oldTZ = tz ? std::optional<std::string>(tz) : std::nullopt;
        setenv("TZ", "Asia/Shanghai", 1);
        tzset();
    }
    void TearDown() override {
        if (m_oldTZ)
            setenv("TZ", m_oldTZ->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    std::optional<std::string> m_oldTZ;
};

TEST_F(DateFormatterTest, UTCFormats) {
    Date d{1700000000.123456}; // 2023-11-14 22:13:20 UTC
    EXPECT_EQ(DateFormatter("HH:mm:ss.SSSSSS", DateFormatter::TimeZone::UTC).format(d), "22:13:20.123456");
    EXPECT_EQ(DateFormatter("yyyy:MM:dd", DateFormatter::TimeZone::UTC).format(d), "2023:11:14");
    EXPECT_EQ(DateFormatter("yyyy-MM-dd HH:mm:ss:SSS", DateFormatter::TimeZone::UTC).format(d),
              "2023-11-14 22:13:20:123");
    EXPECT_EQ(DateFormatter("EEE, dd MMM yyyy hh:mm a Z", DateFormatter::TimeZone::UTC).format(d),
              "Tue, 14 Nov 2023 10:13 PM +0000");
    EXPECT_EQ(DateFormatter("yyyy'-'MM'-'dd' 'HH'-'mm' o''clock'", DateFormatter::TimeZone::UTC).format(d),
              "2023-11-14 22-13 o'clock");
    EXPECT_EQ(DateFormatter("HH:mm:ss.SSS", DateFormatter::TimeZone::UTC).format(Date{-0.5}), "23:59:59.500");
}

TEST_F(DateFormatterTest, LocalTimeAndParsing) {
    DateFormatter local("yyyy-MM-dd'T'HH:mm:ss'Z'");
    // The "Z" is a literal letter: the time is read in the local zone (UTC+8 here).
    auto d = local.parse("2023-11-15T06:13:20Z");
    ASSERT_TRUE(d);
    EXPECT_DOUBLE_EQ(d->secondsSince1970, 1700000000);
    EXPECT_EQ(local.format(Date{1700000000}), "2023-11-15T06:13:20Z");
    EXPECT_EQ(DateFormatter("Z").format(Date{0}), "+0800");

    DateFormatter utc("yyyy-MM-dd HH:mm:ss.SSS", DateFormatter::TimeZone::UTC);
    auto fine = utc.parse("2023-11-14 22:13:20.250");
    ASSERT_TRUE(fine);
    EXPECT_DOUBLE_EQ(fine->secondsSince1970, 1700000000.25);
    for (const char* bad : {"", "2023-11-14", "2023-13-01 00:00:00.000", "2023-02-29 00:00:00.000",
                            "2023-11-14 24:00:00.000", "2023-11-14 22:13:20.25", "2023-11-14 22:13:20.250x",
                            "23-11-14 22:13:20.250", "2023/11/14 22:13:20.250"}) {
        EXPECT_FALSE(utc.parse(bad)) << bad;
    }
    EXPECT_TRUE(utc.parse("2024-02-29 00:00:00.000")) << "leap day";
    auto zoned = DateFormatter("yyyy-MM-dd HH:mm Z").parse("2023-11-14 23:13 +0100");
    ASSERT_TRUE(zoned);
    EXPECT_DOUBLE_EQ(zoned->secondsSince1970, 1700000000 - 20);
}
