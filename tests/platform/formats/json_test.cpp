#include "platform/formats/JSON.h"

#include "support/HostilePropertyLists.h"
#include "support/WorkCost.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using platform::Array;
using platform::Dictionary;
using platform::JSON;
using platform::Value;

namespace {

Value parse(std::string_view text, JSON::ReadMode mode = JSON::ReadMode::Container) {
    auto r = JSON::parse(text, mode);
    EXPECT_TRUE(r.ok()) << text << ": " << (r.ok() ? "" : r.error().localizedDescription());
    return r.ok() ? r.value() : Value();
}

std::string compact(const Value& v) {
    auto r = JSON::writeCompact(v);
    EXPECT_TRUE(r.ok());
    return r.ok() ? r.value() : std::string("<error>");
}

} // namespace

TEST(JSON, ReadsCommandBatch) {
    Value batch = parse(R"([["Cache1","Cache","clear",[]],[null,"Device","getDeviceInfo",[1,2.5,true,{"a":"b"}]]])");
    ASSERT_TRUE(batch.isArray());
    ASSERT_EQ(batch.getArray()->size(), 2u);
    EXPECT_EQ(batch[0][0], Value("Cache1"));
    EXPECT_TRUE(batch[0][3].isArray());
    EXPECT_TRUE(batch[1][0].isNull());
    EXPECT_EQ(batch[1][3][0], Value(1));
    EXPECT_EQ(batch[1][3][1], Value(2.5));
    EXPECT_EQ(batch[1][3][2], Value(true));
    EXPECT_EQ(batch[1][3][3]["a"], Value("b"));
}

TEST(JSON, KeepsBoolIntegerAndDoubleApart) {
    Value v = parse(R"([true, 1, 1.0, 1e2, -7, 9223372036854775807, 9223372036854775808, -9223372036854775808,
                        123456789012345678901234567890, false, 0])");
    const Array& a = *v.getArray();
    EXPECT_TRUE(a[0].isBool());
    EXPECT_TRUE(a[1].isInteger());
    EXPECT_TRUE(a[2].isDouble());
    EXPECT_TRUE(a[3].isDouble());
    EXPECT_EQ(a[4], Value(-7));
    EXPECT_EQ(a[5], Value(INT64_MAX));
    EXPECT_TRUE(a[6].isDouble()) << "beyond int64 becomes a double";
    EXPECT_EQ(a[7], Value(INT64_MIN));
    ASSERT_TRUE(a[8].isDouble());
    EXPECT_DOUBLE_EQ(*a[8].getDouble(), 1.2345678901234568e29);
    EXPECT_TRUE(a[9].isBool());
    EXPECT_TRUE(a[10].isInteger());
    EXPECT_NE(a[0], a[1]);

    // And back out: the kinds survive a round trip.
    EXPECT_EQ(compact(Value(Array{true, 1, 1.5, false, 0})), "[true,1,1.5,false,0]");
    // Integral doubles are written without a fraction ("1"), so they read back as integers.
    EXPECT_EQ(compact(v), "[true,1,1,100,-7,9223372036854775807,9223372036854775808,-9223372036854775808,"
                          "1.2345678901234568e+29,false,0]");
}

TEST(JSON, ObjectsKeepKeyOrderAndLastValueOfRepeatedKey) {
    Value v = parse(R"({"z":1,"a":2,"m":3,"a":4})");
    EXPECT_EQ(v.getDictionary()->keys(), (std::vector<std::string>{"z", "a", "m"}));
    EXPECT_EQ(v["a"], Value(4));
    EXPECT_EQ(compact(v), R"({"z":1,"a":4,"m":3})");
}

TEST(JSON, FragmentsNeedFragmentMode) {
    EXPECT_FALSE(JSON::parse("\"abc\"").ok());
    EXPECT_FALSE(JSON::parse("12").ok());
    EXPECT_EQ(parse("\"abc\"", JSON::ReadMode::Fragment), Value("abc"));
    EXPECT_EQ(parse(" 12 ", JSON::ReadMode::Fragment), Value(12));
    EXPECT_EQ(parse("-0.5", JSON::ReadMode::Fragment), Value(-0.5));
    EXPECT_EQ(parse("true", JSON::ReadMode::Fragment), Value(true));
    EXPECT_EQ(parse("null", JSON::ReadMode::Fragment), Value());
    EXPECT_EQ(parse("18446744073709551615", JSON::ReadMode::Fragment), Value(18446744073709551615.0));
}

TEST(JSON, MalformedTextGivesErrorWithPlace) {
    const char* bad[] = {"",           "[",           "[1,]",      "{\"a\":}",   "{\"a\" 1}", "[1 2]",
                         "[1]]",       "[\"\\ud800\"]", "[01]",      "[1.]",       "[tru]",     "[nul]",
                         "{1:2}",      "[\"a\x01\"]",  "[\"\xff\"]", "[1e400]",    "[\"\\x\"]", "[] x",
                         "{\"a\":1,}", "[-]",          "nan",       "[Infinity]", "\"abc",     "[\"abc]"};
    for (const char* text : bad) {
        auto r = JSON::parse(text, JSON::ReadMode::Fragment);
        ASSERT_FALSE(r.ok()) << text;
        EXPECT_EQ(r.error().domain, platform::kCocoaErrorDomain);
        EXPECT_EQ(r.error().code, JSON::kReadCorruptError);
        EXPECT_TRUE(r.error().userInfo[platform::kJSONErrorIndexKey].isInteger()) << text;
        EXPECT_FALSE(r.error().localizedDescription().empty());
    }
    auto r = JSON::parse("[1,2,x]");
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().userInfo[platform::kJSONErrorIndexKey], Value(5));
}

TEST(JSON, DeepNestingIsAnErrorNotACrash) {
    std::string deep(5000, '[');
    deep += std::string(5000, ']');
    EXPECT_FALSE(JSON::parse(deep).ok());
    std::string fine(500, '[');
    fine += std::string(500, ']');
    EXPECT_TRUE(JSON::parse(fine).ok());
}

TEST(JSON, StringsUnescape) {
    Value v = parse(R"(["a\"b\\c\/d\n\t\u00e9\ud83d\ude00"])");
    EXPECT_EQ(v[0], Value("a\"b\\c/d\n\t\xc3\xa9\xf0\x9f\x98\x80"));
}

TEST(JSON, EscapingStaysValidScript) {
    EXPECT_EQ(compact(Value(Array{"a\"b\\c/d"})), R"(["a\"b\\c\/d"])");
    EXPECT_EQ(compact(Value(Array{"\b\f\n\r\t\x01\x1f"})), R"(["\b\f\n\r\t\u0001\u001f"])");
    // U+2028 and U+2029 end a line in script; they must be escaped.
    EXPECT_EQ(compact(Value(Array{"x\xe2\x80\xa8y\xe2\x80\xa9z"})), R"(["x\u2028y\u2029z"])");
    // Other non-ASCII text passes through as UTF-8.
    EXPECT_EQ(compact(Value(Array{"\xc3\xa9\xf0\x9f\x98\x80"})), "[\"\xc3\xa9\xf0\x9f\x98\x80\"]");
    // Invalid UTF-8 never leaks out: each bad byte becomes U+FFFD.
    EXPECT_EQ(compact(Value(Array{"a\xff" "b\xc3"})), R"(["a\ufffdb\ufffd"])");
    EXPECT_EQ(compact(Value(Array{"\xed\xa0\x80"})), R"(["\ufffd\ufffd\ufffd"])") << "encoded surrogate";
    EXPECT_EQ(compact(Value(Array{std::string("a\0b", 3)})), R"(["a\u0000b"])");
    // "</script>" cannot close a script element.
    EXPECT_EQ(compact(Value("</script>")), R"("<\/script>")");
    // Keys are escaped the same way.
    EXPECT_EQ(compact(Value(Dictionary{{"k/\"", 1}})), R"({"k\/\"":1})");
    // Everything written reads back to the same text.
    std::string all;
    for (int c = 1; c < 128; ++c)
        all += static_cast<char>(c);
    all += "\xe2\x80\xa8\xe2\x80\xa9";
    EXPECT_EQ(parse(compact(Value(Array{all})))[0], Value(all));
}

TEST(JSON, WritesLiteralsAndNumbers) {
    EXPECT_EQ(compact(Value()), "null");
    EXPECT_EQ(compact(Value(true)), "true");
    EXPECT_EQ(compact(Value(false)), "false");
    EXPECT_EQ(compact(Value(INT64_MIN)), "-9223372036854775808");
    EXPECT_EQ(compact(Value(1.0)), "1");
    EXPECT_EQ(compact(Value(0.1)), "0.1");
    EXPECT_EQ(compact(Value(-2.5)), "-2.5");
    // A negative zero reads back as itself, not as the integer 0.
    EXPECT_EQ(compact(Value(-0.0)), "-0.0");
    auto negativeZero = JSON::parse("-0.0", JSON::ReadMode::Fragment);
    ASSERT_TRUE(negativeZero.ok());
    ASSERT_TRUE(negativeZero.value().isDouble());
    EXPECT_TRUE(std::signbit(*negativeZero.value().getDouble()));
    EXPECT_EQ(compact(Value(1e20)), "1e+20");
    EXPECT_EQ(compact(Value(1.0 / 3)), "0.3333333333333333");
    EXPECT_EQ(compact(Value(Array{})), "[]");
    EXPECT_EQ(compact(Value(Dictionary{})), "{}");
}

TEST(JSON, PrettyForm) {
    Value v(Dictionary{{"status", 1}, {"message", Array{"a", Dictionary{}}}, {"keepCallback", false}});
    auto r = JSON::writePretty(v);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value(), "{\n"
                         "  \"status\" : 1,\n"
                         "  \"message\" : [\n"
                         "    \"a\",\n"
                         "    {}\n"
                         "  ],\n"
                         "  \"keepCallback\" : false\n"
                         "}");
    EXPECT_EQ(parse(r.value()), v);
}

TEST(JSON, UnwritableValuesGiveAnError) {
    for (Value bad : {Value(platform::Bytes{1, 2}), Value(platform::Date{5}), Value(std::nan("")),
                      Value(Array{1, Array{Value(std::numeric_limits<double>::infinity())}})}) {
        auto r = JSON::writeCompact(Value(Array{bad}));
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, JSON::kWriteInvalidError);

        // Appending: what was written before the fault is taken back, what the text held stays.
        std::string out = "f(";
        ASSERT_FALSE(JSON::append(out, Value(Dictionary{{"a", "x"}, {"b", bad}})).ok());
        EXPECT_EQ(out, "f(");
    }
    std::string out = "f(";
    ASSERT_TRUE(JSON::append(out, Value(Dictionary{{"a", Array{1, "x"}}})).ok());
    EXPECT_EQ(out, "f({\"a\":[1,\"x\"]}");
}

TEST(JSON, ObjectsOfManyKeysWithOneHashReadInTimeLinearInTheirBytes) {
    // 32,768 keys (8 MB) that the library's fixed string hash maps to one value, read at about the cost of
    // as many ordinary keys of the same lengths: a bucket of all of them took 6 s to read at 3.8 MB, and
    // four times that at twice the size.
    const std::vector<std::string> keys = hybtest::stdHashCollidingKeys(32768, 240);
    const std::string text = hybtest::jsonObjectOf(keys), plain = hybtest::jsonObjectOf(hybtest::ordinaryKeysLike(keys));
    ASSERT_GT(text.size(), 8000000u);
    ASSERT_EQ(plain.size(), text.size());
    std::optional<platform::Result<Value>> read, plainRead;
    const hybtest::Costs costs = hybtest::costAgainstBaseline({[&] { read = JSON::parse(text); }}, {[&] { plainRead = JSON::parse(plain); }}, 8);
    ASSERT_TRUE(read->ok());
    ASSERT_EQ(read->value().dictionaryOrEmpty().size(), keys.size());
    EXPECT_EQ(read->value()[keys.back()], Value(true));
    ASSERT_TRUE(plainRead->ok());
    EXPECT_LT(costs.ratio(), 8) << costs;
}

TEST(JSON, LargeTextsAndRepeatedUseOfTheThreadParser) {
    std::string big = "[";
    for (int i = 0; i < 60000; ++i)
        big += i ? ",\"entry-entry-entry\"" : "\"entry-entry-entry\"";
    big += "]";
    ASSERT_GT(big.size(), 1u << 20);
    auto large = JSON::parse(big);
    ASSERT_TRUE(large.ok());
    EXPECT_EQ(large.value().getArray()->size(), 60000u);
    // A short text after a long one is not confused by what the buffers held before.
    EXPECT_EQ(parse("[1]"), Value(Array{1}));
    EXPECT_FALSE(JSON::parse("[1").ok());
    EXPECT_EQ(parse("[2]"), Value(Array{2}));
}
