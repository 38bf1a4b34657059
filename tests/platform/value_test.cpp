#include "platform/Error.h"
#include "platform/Value.h"

#include <gtest/gtest.h>

#include <limits>

using namespace platform;

TEST(Value, BoolStaysApartFromNumbers) {
    EXPECT_NE(Value(true), Value(1));
    EXPECT_NE(Value(1), Value(1.0));
    EXPECT_TRUE(Value(true).isBool());
    EXPECT_FALSE(Value(true).isNumber());
    EXPECT_EQ(Value(true).integerValue(), 1);
}

TEST(Value, DictionaryKeepsInsertionOrderAndPlaceOnOverwrite) {
    Dictionary d;
    d.set("b", 1);
    d.set("a", 2);
    d.set("c", 3);
    d.set("a", 4);
    EXPECT_EQ(d.keys(), (std::vector<std::string>{"b", "a", "c"}));
    EXPECT_EQ(d["a"], Value(4));
    EXPECT_TRUE(d["missing"].isNull());
}

TEST(Value, LargeDictionaryUsesIndexAndSurvivesRemovalAndCopy) {
    Dictionary d;
    for (int i = 0; i < 100; ++i)
        d.set("k" + std::to_string(i), i);
    EXPECT_TRUE(d.remove("k10"));
    EXPECT_FALSE(d.contains("k10"));
    Dictionary copy = d;
    EXPECT_EQ(copy["k99"], Value(99));
    EXPECT_EQ(copy.size(), 99u);
    copy.set("k10", 10);
    EXPECT_EQ(copy.keys().back(), "k10");
    EXPECT_EQ(d, d);
    EXPECT_NE(d, copy);
}

TEST(Value, LenientConversions) {
    EXPECT_EQ(Value("12abc").integerValue(), 12);
    EXPECT_EQ(Value("abc").integerValue(), 0);
    EXPECT_DOUBLE_EQ(Value(" 2.5x").doubleValue(), 2.5);
    EXPECT_TRUE(Value("YES").boolValue());
    EXPECT_TRUE(Value("true").boolValue());
    EXPECT_FALSE(Value("0").boolValue());
    EXPECT_FALSE(Value("no").boolValue());
    EXPECT_EQ(Value(1e300).integerValue(), INT64_MAX);
}

TEST(Value, DescriptionAsPercentAt) {
    EXPECT_EQ(Value(0).description(), "0");
    EXPECT_EQ(Value(0.5).description(), "0.5");
    EXPECT_EQ(Value(0.1).description(), "0.1");
    EXPECT_EQ(Value("x").description(), "x");
    EXPECT_EQ(Value().description(), "<null>");
}

TEST(Value, DatesDescribeThemselvesInUTCOrAsInvalid) {
    EXPECT_EQ(Value(Date{0}).description(), "1970-01-01 00:00:00 +0000");
    EXPECT_EQ(Value(Date{1700000000.75}).description(), "2023-11-14 22:13:20 +0000");
    EXPECT_EQ(Value(Date{-0.5}).description(), "1969-12-31 23:59:59 +0000");
    // Beyond what the calendar holds, or no number at all: never a made-up date.
    constexpr double kInfinity = std::numeric_limits<double>::infinity();
    for (double seconds : {9.3e18, -9.3e18, 1e17, static_cast<double>(INT64_MAX), kInfinity, -kInfinity,
                           std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(Value(Date{seconds}).description(), "<invalid date>") << seconds;
}

TEST(Value, OutOfRangeAccessGivesNull) {
    Value a(Array{1, 2});
    EXPECT_TRUE(a[5].isNull());
    EXPECT_TRUE(a[-1].isNull());
    EXPECT_TRUE(a["key"].isNull());
    EXPECT_EQ(a[1], Value(2));
}

TEST(Result, CarriesValueOrError) {
    Result<int> good(3);
    ASSERT_TRUE(good.ok());
    EXPECT_EQ(*good, 3);
    Result<int> bad(Error(kPOSIXErrorDomain, 2, "No such file"));
    ASSERT_FALSE(bad.ok());
    EXPECT_EQ(bad.error().code, 2);
    EXPECT_EQ(bad.error().localizedDescription(), "No such file");
    Status s = Error("d", 1);
    EXPECT_FALSE(s.ok());
}
