#include "platform/core/Error.h"
#include "platform/core/SeededHash.h"
#include "platform/core/Value.h"

#include "support/HostilePropertyLists.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <string>
#include <unordered_set>
#include <vector>

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

TEST(Value, DictionaryIndexHashesKeysWithTheProcessSeed) {
    // Keys the standard library's fixed hash maps to one value spread over the seeded hash: no table of
    // them is one chain.
    const std::vector<std::string> keys = hybtest::stdHashCollidingKeys(4096, 64);
    std::unordered_set<std::size_t> fixed, seeded;
    for (const std::string& key : keys) {
        fixed.insert(std::hash<std::string>()(key));
        seeded.insert(SeededHash()(key));
    }
    EXPECT_EQ(fixed.size(), 1u) << "the keys no longer share the library's hash: the case tests nothing";
    EXPECT_GT(seeded.size(), 4090u);
    // Integers too (the library hashes an integer to itself), and text alike in every form.
    EXPECT_NE(SeededHash()(std::uint64_t{1}), 1u);
    EXPECT_EQ(SeededHash()(std::string("key")), SeededHash()(std::string_view("key")));
    EXPECT_EQ(SeededHash()(std::int64_t{-1}), SeededHash()(~std::uint64_t{0}));
    // The hash is SipHash: the reference vectors of SipHash-2-4 (key 00..0f, message 00..n-1).
    const auto reference = [](std::size_t n) {
        std::string message;
        for (std::size_t i = 0; i < n; ++i)
            message += static_cast<char>(i);
        return seededhash::sipHash<2, 4>(0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL, message.data(), message.size());
    };
    EXPECT_EQ(reference(0), 0x726fdb47dd0e0e31ULL);
    EXPECT_EQ(reference(1), 0x74f839c593dc67fdULL);
    EXPECT_EQ(reference(8), 0x93f5f5799a932462ULL);
    EXPECT_EQ(reference(15), 0xa129ca6149be45e5ULL);
    EXPECT_EQ(reference(63), 0x958a324ceb064572ULL);

    // A dictionary of them: every key found, set again in place, and removed.
    Dictionary d;
    for (std::size_t i = 0; i < keys.size(); ++i)
        d.set(keys[i], static_cast<std::int64_t>(i));
    ASSERT_EQ(d.size(), keys.size());
    for (std::size_t i = 0; i < keys.size(); i += 97)
        EXPECT_EQ(d[keys[i]], Value(static_cast<std::int64_t>(i)));
    d.set(keys[5], "again");
    EXPECT_EQ(d.keys()[5], keys[5]);
    EXPECT_EQ(d[keys[5]], Value("again"));
    EXPECT_TRUE(d.remove(keys[0]));
    EXPECT_FALSE(d.contains(keys[0]));
    EXPECT_EQ(d[keys.back()], Value(static_cast<std::int64_t>(keys.size() - 1)));
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
