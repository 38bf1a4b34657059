#include "platform/formats/PropertyList.h"

#include "support/EventWait.h"
#include "support/HostilePropertyLists.h"
#include "support/WorkCost.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

using namespace platform;
using namespace hybtest;

namespace {

Value sample() {
    return Value(Dictionary{
        {"zeta", Value(true)},
        {"alpha", Value(false)},
        {"one", Value(1)},
        {"negative", Value(-42)},
        {"big", Value(INT64_MAX)},
        {"small", Value(INT64_MIN)},
        {"unsigned", Value::unsignedInteger(UINT64_MAX)},
        {"justPastSigned", Value::unsignedInteger(std::uint64_t{1} << 63)},
        {"real", Value(0.1)},
        {"third", Value(1.0 / 3)},
        {"whole", Value(2.0)},
        {"text", Value("caf\xc3\xa9 <&> \xf0\x9f\x98\x80")},
        {"empty", Value("")},
        {"bytes", Value(Bytes{0, 1, 2, 255})},
        {"date", Value(Date{1700000000})},
        {"pastThe32BitSeconds", Value(Date{978307200.0 + 3e9})},
        {"before1933", Value(Date{-1e9})},
        {"nested", Value(Array{Value(Array{}), Value(Dictionary{{"k", Value(Bytes{})}}), Value("x")})},
    });
}

Value roundTrip(const Value& v, PropertyList::Format format) {
    auto bytes = PropertyList::write(v, format);
    EXPECT_TRUE(bytes.ok()) << (bytes.ok() ? "" : bytes.error().localizedDescription());
    if (!bytes.ok())
        return Value();
    PropertyList::Format detected{};
    auto back = PropertyList::read(bytes.value(), &detected);
    EXPECT_TRUE(back.ok());
    EXPECT_EQ(detected, format);
    return back.ok() ? back.value() : Value();
}

std::string fromHex(std::string_view hex) {
    std::string bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
    return bytes;
}

// A binary property list holding one date of these seconds since 2001.
std::string binaryDate(double seconds) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &seconds, sizeof bits);
    std::string bytes = "bplist00\x33";
    for (int shift = 56; shift >= 0; shift -= 8)
        bytes += static_cast<char>((bits >> shift) & 0xFF);
    return bytes + fromHex("080000000000000101000000000000000100000000000000000000000000000011");
}

} // namespace

TEST(PropertyList, RoundTripsNestedValuesInBothForms) {
    for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
        Value back = roundTrip(sample(), format);
        EXPECT_EQ(back, sample());
        // Kinds stay apart: bools are not numbers, integral reals stay reals.
        EXPECT_TRUE(back["zeta"].isBool());
        EXPECT_TRUE(back["one"].isInteger());
        EXPECT_TRUE(back["whole"].isDouble());
        EXPECT_TRUE(back["unsigned"].isUnsignedInteger());
        // Key order is kept.
        EXPECT_EQ(back.getDictionary()->keys(), sample().getDictionary()->keys());
    }
    auto binary = PropertyList::write(sample(), PropertyList::Format::Binary);
    ASSERT_TRUE(binary.ok());
    EXPECT_EQ(binary.value().substr(0, 8), "bplist00");
}

TEST(PropertyList, WrittenListsReadBackAcrossEveryObjectSize) {
    using F = PropertyList::Format;
    // Lengths and counts on each side of the marker's nibble (15) and of each width of integers,
    // references and offsets; text as ASCII and as UTF-16 (surrogate pairs too); XML's markup characters
    // and a carriage return, which a reader would turn into a line feed unless it is a reference.
    const auto text = [](std::size_t n, const std::string& unit) {
        std::string t;
        while (t.size() < n)
            t += unit;
        return t;
    };
    Array sizes;
    for (std::size_t n : {14u, 15u, 16u, 255u, 256u, 65535u, 65536u}) {
        sizes.push_back(Value(text(n, "a")));
        sizes.push_back(Value(text(n, "\xc3\xa9")));
        sizes.push_back(Value(Bytes(n, 7)));
        sizes.push_back(Value(Array(n % 1000, Value(true))));
    }
    for (std::int64_t n : std::initializer_list<std::int64_t>{0, 255, 256, 65535, 65536, 4294967295, 4294967296, INT64_MAX, -1, INT64_MIN})
        sizes.push_back(Value(n));
    sizes.push_back(Value("\xf0\x9f\x98\x80 a\r\nb \r <&> ]]> \t"));
    sizes.push_back(Value(-0.0));
    sizes.push_back(Value(Date{-86400.0 * 365 * 20 - 0.5}));
    Dictionary wide;
    for (int i = 0; i < 300; ++i)
        wide.set("k" + std::to_string(i), i);
    sizes.push_back(Value(wide));
    // More than 65,536 objects (references of 4 bytes) and offsets past 4 GiB do not fit here: 70,000
    // distinct integers.
    Array many;
    for (std::int64_t i = 0; i < 70000; ++i)
        many.emplace_back(i * 7919);
    sizes.push_back(Value(many));
    const Value all(sizes);
    for (auto format : {F::Binary, F::XML}) {
        const Value back = roundTrip(all, format);
        ASSERT_EQ(back.arrayOrEmpty().size(), sizes.size());
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            if (!sizes[i].isDate()) {
                EXPECT_EQ(back[i], sizes[i]) << i << (format == F::XML ? " xml" : " binary");
            }
        }
        EXPECT_TRUE(std::signbit(*back[sizes.size() - 4].getDouble()));
    }
    // Repeated strings (and keys) are written once, data and containers each time: 1,000 items holding
    // the same 1,000 characters take some 18 KB (1 MB each apart), and read back as 1,000 equal strings.
    Array repeated;
    for (int i = 0; i < 1000; ++i)
        repeated.push_back(Value(Dictionary{{"name", text(1000, "n")}, {"number", 5}, {"flag", true}}));
    auto shared = PropertyList::write(Value(repeated), F::Binary);
    ASSERT_TRUE(shared.ok());
    EXPECT_LT(shared.value().size(), 24000u);
    auto sharedBack = PropertyList::read(shared.value());
    ASSERT_TRUE(sharedBack.ok());
    EXPECT_EQ(sharedBack.value(), Value(repeated));
    // Past what a reader lets a list expand to (four bytes of text a byte of it, or 1 MiB), strings are
    // shared no further: 300 entries holding one text of 4,000 characters (1.2 MB of text in 11 KB, which
    // every reader refused) and 3,000 holding one of 400, read back, from binary and from XML rewritten.
    for (const auto& [count, length] : {std::pair{300, 4000}, std::pair{3000, 400}}) {
        Array entries;
        for (int i = 0; i < count; ++i)
            entries.push_back(Value(Dictionary{{"name", "app" + std::to_string(i)}, {"about", text(length, "d\xc3\xa9")}}));
        const Value registry(entries);
        for (auto format : {F::Binary, F::XML}) {
            auto once = PropertyList::write(registry, format);
            ASSERT_TRUE(once.ok());
            auto again = PropertyList::read(once.value());
            ASSERT_TRUE(again.ok()) << count << " " << again.error().localizedDescription();
            auto rewritten = PropertyList::write(again.value(), F::Binary);
            ASSERT_TRUE(rewritten.ok());
            auto back = PropertyList::read(rewritten.value());
            ASSERT_TRUE(back.ok()) << count << " " << back.error().localizedDescription();
            EXPECT_EQ(back.value(), registry);
        }
    }
    Array data(20, Value(Bytes(1000, 1)));
    EXPECT_GT(PropertyList::write(Value(data), F::Binary).value().size(), 20000u);
    // U+FFFE and U+FFFF are not XML characters: refused there, written in binary.
    for (const char* text : {"\xef\xbf\xbe", "a\xef\xbf\xbf"}) {
        EXPECT_FALSE(PropertyList::write(Value(Array{Value(text)}), F::XML).ok());
        EXPECT_EQ(roundTrip(Value(Array{Value(text)}), F::Binary), Value(Array{Value(text)}));
    }
}

TEST(PropertyList, DatePrecision) {
    Value fine(Date{1700000000.25});
    EXPECT_EQ(roundTrip(Value(Array{fine}), PropertyList::Format::Binary)[0], fine);
    EXPECT_EQ(roundTrip(Value(Array{fine}), PropertyList::Format::XML)[0], fine);
    // XML keeps the fraction of a second, as the shortest decimal that reads back as the same double: clock
    // dates to the microsecond and below, before 2001 and before 1970 too (none moves to a whole second).
    for (double seconds : {1500000000.419517, 1700000000.000001, 978307199.999999, 978307200.5, 0.25, -100000.5,
                           -1234.000001, -86400.0 * 365 * 20 - 0.5, 1e-7, 1733791234.1234567, 4e9 + 0.75}) {
        const Value date(Date{seconds});
        const Value back = roundTrip(Value(Array{date}), PropertyList::Format::XML)[0];
        ASSERT_TRUE(back.isDate()) << seconds;
        EXPECT_EQ(back.getDate()->secondsSince1970, seconds) << std::fixed << seconds;
    }
    EXPECT_NE(PropertyList::write(Value(Date{1500000000.419517}), PropertyList::Format::XML).value().find(
                  "<date>2017-07-14T02:40:00.419517Z</date>"),
              std::string::npos);
    EXPECT_NE(PropertyList::write(Value(Date{-0.25}), PropertyList::Format::XML).value().find(
                  "<date>1969-12-31T23:59:59.75Z</date>"),
              std::string::npos);
    // Within a second before 1970 a fraction too fine for the second's whole number reads back as the
    // nearest double, never as the next second.
    const Value tiny = roundTrip(Value(Array{Value(Date{-1e-300})}), PropertyList::Format::XML)[0];
    ASSERT_TRUE(tiny.isDate());
    EXPECT_NEAR(tiny.getDate()->secondsSince1970, 0, 1e-15);
    Value before1970(Date{-100000.5});
    EXPECT_EQ(roundTrip(Value(Array{before1970}), PropertyList::Format::Binary)[0], before1970);
    // Fractions that are not whole microseconds in binary neither drift down nor round up to the second.
    Value micro(Date{1500000000.419517});
    EXPECT_EQ(roundTrip(Value(Array{micro}), PropertyList::Format::Binary)[0], micro);
    double early = roundTrip(Value(Array{Value(Date{1234.999999})}), PropertyList::Format::Binary)[0]
                       .getDate()->secondsSince1970;
    EXPECT_NEAR(early, 1234.999999, 2e-7); // the nearest double to the seconds since 2001
}

TEST(PropertyList, BinaryDatesReadBackExactlyFrom1985To2To60Seconds) {
    // Seconds since 1970 from 1985 (half the reference date) until 2^60 are differences from the
    // reference date that a double holds; past 2^60 its step outgrows the reference date's lowest bit.
    std::mt19937_64 random(1985);
    const double from = 978307200.0 / 2, until = std::ldexp(1.0, 60);
    std::vector<double> dates{from, std::nextafter(until, 0.0), 1700000000.123456, 2e9 + 0x1p-21};
    for (int i = 0; i < 20000; ++i) {
        dates.push_back(std::uniform_real_distribution<double>(from, 4e9)(random));
        dates.push_back(std::exp(std::uniform_real_distribution<double>(std::log(from), std::log(until))(random)));
    }
    for (double seconds : dates) {
        ASSERT_LT(seconds, until);
        const auto back = PropertyList::read(PropertyList::write(Value(Date{seconds}), PropertyList::Format::Binary).value());
        ASSERT_TRUE(back.ok());
        ASSERT_EQ(back.value().getDate()->secondsSince1970, seconds) << std::hexfloat << seconds;
    }
    // Before, within a unit in the last place of the seconds since 2001.
    for (int i = 0; i < 20000; ++i) {
        const double seconds = std::uniform_real_distribution<double>(-2208988800.0, from)(random); // 1900 on
        const auto back = PropertyList::read(PropertyList::write(Value(Date{seconds}), PropertyList::Format::Binary).value());
        ASSERT_TRUE(back.ok());
        ASSERT_LE(std::fabs(back.value().getDate()->secondsSince1970 - seconds), 0.24e-6) << std::hexfloat << seconds;
    }
}

TEST(PropertyList, BinaryDatesKeepTheirStoredDouble) {
    // Seconds since 2001 that the date (seconds since 1970) holds exactly come back as the same bytes.
    for (double stored : {521692800.5, 700000000.25, -500000000.125, 2000000000.0, 2147483648.0, -2147483649.0,
                          1e300, -1e300, std::numeric_limits<double>::max(), -std::numeric_limits<double>::max()}) {
        std::string bytes = binaryDate(stored);
        auto read = PropertyList::read(bytes);
        ASSERT_TRUE(read.ok()) << stored;
        EXPECT_EQ(read.value(), Value(Date{978307200.0 + stored}));
        auto written = PropertyList::write(read.value(), PropertyList::Format::Binary);
        ASSERT_TRUE(written.ok());
        EXPECT_EQ(written.value(), bytes) << stored;
    }
    // Whole microseconds, however they were computed, read as stored (libplist truncates them).
    for (int micro = 0; micro < 1000000; micro += 997) {
        for (double stored : {721692800 + micro / 1e6, 721692800 + micro * 1e-6, -3 - micro / 1e6}) {
            auto read = PropertyList::read(binaryDate(stored));
            ASSERT_TRUE(read.ok());
            ASSERT_EQ(read.value(), Value(Date{978307200.0 + stored})) << stored;
        }
    }
    // Any other reads as the nearest date, and is written back as the double it was read with, bit for
    // bit: dates a clock wrote to the microsecond, random ones near 2001 and far from it.
    std::mt19937_64 random(20010101);
    std::vector<double> others{521692800.419517, -1e-300, 0.1, 1234.5678901234567, -978305965.000001};
    for (int i = 0; i < 3000; ++i) {
        others.push_back(static_cast<double>(random() % 1'000'000'000'000'000) / 1e6 - 3e8);
        others.push_back(std::uniform_real_distribution<double>(-5e9, 5e9)(random));
        others.push_back(std::uniform_real_distribution<double>(-1, 1)(random));
    }
    for (double stored : others) {
        const std::string bytes = binaryDate(stored);
        auto read = PropertyList::read(bytes);
        ASSERT_TRUE(read.ok()) << stored;
        ASSERT_EQ(read.value(), Value(Date{978307200.0 + stored}));
        EXPECT_EQ(read.value().getDate()->storedSince2001, stored);
        auto written = PropertyList::write(Value(Array{read.value()}), PropertyList::Format::Binary);
        ASSERT_TRUE(written.ok());
        ASSERT_NE(written.value().find(bytes.substr(8, 9)), std::string::npos) << std::hexfloat << stored;
        ASSERT_EQ(PropertyList::write(read.value(), PropertyList::Format::Binary).value(), bytes) << std::hexfloat << stored;
    }
    // The XML form keeps the number too: a binary list rewritten as XML and back as binary holds the same
    // doubles, for random dates and clock dates (within a second after 2001 the nearest date: the
    // fraction past the second before it cannot name every such number).
    for (int i = 0; i < 10000; ++i) {
        others.push_back(std::uniform_real_distribution<double>(-3e9, 3e9)(random));
        others.push_back(static_cast<double>(random() % 4'000'000'000'000'000) / 1e6 - 1e9);
    }
    for (double stored : others) {
        const auto read = PropertyList::read(binaryDate(stored));
        ASSERT_TRUE(read.ok()) << stored;
        const auto xml = PropertyList::write(Value(Array{read.value()}), PropertyList::Format::XML);
        ASSERT_TRUE(xml.ok()) << stored;
        const auto fromXML = PropertyList::read(xml.value());
        ASSERT_TRUE(fromXML.ok()) << xml.value();
        const Value date = fromXML.value()[0];
        ASSERT_TRUE(date.isDate());
        ASSERT_EQ(date, read.value()) << std::hexfloat << stored << xml.value();
        const auto binary = PropertyList::write(date, PropertyList::Format::Binary);
        ASSERT_TRUE(binary.ok());
        if (stored >= 0 || stored <= -1) {
            ASSERT_EQ(binary.value(), binaryDate(stored)) << std::hexfloat << stored << xml.value();
        }
        // And the XML text is the one written the second time too.
        ASSERT_EQ(PropertyList::write(fromXML.value(), PropertyList::Format::XML).value(), xml.value());
    }
    // A date read from XML writes its text again (the shortest), a clock's six digits staying six.
    for (const char* text : {"2024-02-29T12:34:56.123456Z", "1960-05-31T23:59:58.25Z", "2001-01-01T00:00:00.1Z",
                             "1900-06-01T01:02:03.000001Z"}) {
        const std::string xml = std::string("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<date>")
                              + text + "</date>\n</plist>\n";
        const auto date = PropertyList::read(xml);
        ASSERT_TRUE(date.ok()) << text;
        EXPECT_NE(PropertyList::write(date.value(), PropertyList::Format::XML).value().find(text), std::string::npos) << text;
    }
    // A date changed after it was read is written as it is now.
    auto read = PropertyList::read(binaryDate(0.1));
    ASSERT_TRUE(read.ok());
    Date changed = *read.value().getDate();
    changed.secondsSince1970 += 60;
    const auto moved = PropertyList::read(PropertyList::write(Value(changed), PropertyList::Format::Binary).value());
    ASSERT_TRUE(moved.ok());
    EXPECT_EQ(moved.value(), Value(changed));
}

TEST(PropertyList, HostileBinaryInputGivesAnError) {
    // {"a\u0000": "x"}, the key stored as UTF-16: libplist asserts on handing out such a key.
    std::string utf16Key = fromHex("62706c6973743030d1010262006100005178080b1000000000000001010000000000000003"
                                   "00000000000000000000000000000012");
    // A date whose seconds are not finite.
    std::string nan = binaryDate(std::numeric_limits<double>::quiet_NaN());
    std::string inf = binaryDate(-std::numeric_limits<double>::infinity());
    // {"a\u0000": "x"}, the key stored as bytes, and ["a\u0000b"]: text libplist would read cut at the NUL.
    std::string byteKey = fromHex("62706c6973743030d101025261005178080b0e00000000000001010000000000000003"
                                  "00000000000000000000000000000010");
    std::string byteText = fromHex("62706c6973743030a10153610062080a00000000000001010000000000000002000000000000000000"
                                   "0000000000000e");
    // 2^64 and -1 stored in sixteen bytes: libplist reads only the low eight.
    std::string past64 = fromHex("62706c6973743030a1011400000000000000010000000000000000080a0000000000000101000000"
                                 "00000000020000000000000000000000000000001b");
    std::string negative16 = fromHex("62706c6973743030a10114ffffffffffffffffffffffffffffffff080a00000000000001010000"
                                     "0000000000020000000000000000000000000000001b");
    for (const std::string& bad : {utf16Key, nan, inf, byteKey, byteText, past64, negative16}) {
        auto r = PropertyList::read(bad);
        ASSERT_FALSE(r.ok()) << r.value().description();
        EXPECT_EQ(r.error().code, PropertyList::kReadCorruptError);
    }
    // A NUL in a value stored as UTF-16 is no fault: it reads, and writes back as it was read.
    auto value = PropertyList::read(fromHex("62706c6973743030d1010251616200780000080b0d000000000000010100000000000000"
                                            "0300000000000000000000000000000012"));
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(value.value()["a"], Value(std::string("x\0", 2)));
    EXPECT_EQ(roundTrip(value.value(), PropertyList::Format::Binary), value.value());
    EXPECT_FALSE(PropertyList::write(value.value(), PropertyList::Format::XML).ok()) << "XML 1.0 cannot carry it";
    // Empty text stored as UTF-16 (0x60, or 0x6F and a length of 0) is the empty string, as a value and as a
    // key (libplist refuses the list whole). An object lying inside another's bytes leaves them as they are.
    {
        std::string dict = "\xD1";
        appendBigEndian(dict, 1, 4);
        appendBigEndian(dict, 2, 4);
        std::string list = binaryList({arrayObject({1, 2, 3, 4, 5}), "\x60", std::string("\x6F\x10\x00", 3), "\x41\x60", dict, "\x09"});
        const std::size_t table = list.size() - 32 - 6 * 4;
        const auto entry = [&](std::size_t index) {
            std::uint32_t at = 0;
            for (std::size_t i = 0; i < 4; ++i)
                at = (at << 8) | static_cast<unsigned char>(list[table + 4 * index + i]);
            return at;
        };
        const std::uint32_t insideData = entry(3) + 1; // the 0x60 that is the data object's one byte
        for (std::size_t i = 0; i < 4; ++i)
            list[table + 4 * 5 + i] = static_cast<char>((insideData >> (24 - 8 * i)) & 0xFF);
        const Value expected(Array{Value(""), Value(""), Value(Bytes{0x60}), Value(Dictionary{{"", ""}}), Value("")});
        auto empty = PropertyList::read(list);
        ASSERT_TRUE(empty.ok()) << empty.error().localizedDescription();
        EXPECT_EQ(empty.value(), expected);
        EXPECT_EQ(roundTrip(empty.value(), PropertyList::Format::Binary), expected);
        auto alone = PropertyList::read(binaryList({"\x60"}));
        ASSERT_TRUE(alone.ok()) << alone.error().localizedDescription();
        EXPECT_EQ(alone.value(), Value(""));
    }
    // 2^64 - 1 stored in sixteen bytes, as unsigned writers store what passes the signed range.
    const std::string max = fromHex("140000000000000000ffffffffffffffff");
    auto unsignedMax = PropertyList::read(fromHex("62706c6973743030a101") + max + fromHex("080a0000000000000101000000"
                                                  "00000000020000000000000000000000000000001b"));
    ASSERT_TRUE(unsignedMax.ok()) << unsignedMax.error().localizedDescription();
    EXPECT_EQ(unsignedMax.value(), Value(Array{Value::unsignedInteger(UINT64_MAX)}));
    auto written = PropertyList::write(unsignedMax.value(), PropertyList::Format::Binary);
    ASSERT_TRUE(written.ok());
    EXPECT_NE(written.value().find(max), std::string::npos) << "written in the same sixteen bytes";
    EXPECT_EQ(PropertyList::read(written.value()).value(), unsignedMax.value());
}

TEST(PropertyList, ReadsXMLText) {
    auto v = PropertyList::read(R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
  <key>SERVICE_NAME</key><string>svc &amp; co</string>
  <key>Flag</key><true/>
  <key>Count</key><integer>-3</integer>
  <key>Ratio</key><real>2.5</real>
  <key>When</key><date>2001-01-02T00:00:00Z</date>
  <key>Blob</key><data>AAEC</data>
  <key>List</key><array><string>a</string><false/></array>
</dict></plist>)");
    ASSERT_TRUE(v.ok()) << v.error().localizedDescription();
    EXPECT_EQ(v.value()["SERVICE_NAME"], Value("svc & co"));
    EXPECT_EQ(v.value()["Flag"], Value(true));
    EXPECT_EQ(v.value()["Count"], Value(-3));
    EXPECT_EQ(v.value()["Ratio"], Value(2.5));
    EXPECT_EQ(v.value()["When"], Value(Date{978307200 + 86400}));
    EXPECT_EQ(v.value()["Blob"], Value(Bytes{0, 1, 2}));
    EXPECT_EQ(v.value()["List"], Value(Array{"a", false}));
}

TEST(PropertyList, MalformedInputGivesAnError) {
    for (std::string bad : {std::string(""), std::string("garbage"), std::string("bplist00"),
                            std::string("bplist00\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff\xff"),
                            std::string("<plist><dict><key>a</key></plist>"), std::string("<plist><integer>x")}) {
        auto r = PropertyList::read(bad);
        ASSERT_FALSE(r.ok()) << bad;
        EXPECT_EQ(r.error().code, PropertyList::kReadCorruptError);
    }
    // A valid binary list cut at every length never crashes.
    auto whole = PropertyList::write(sample(), PropertyList::Format::Binary);
    ASSERT_TRUE(whole.ok());
    for (std::size_t n = 0; n < whole.value().size(); ++n)
        (void)PropertyList::read(std::string_view(whole.value()).substr(0, n));
}

TEST(PropertyList, UnwritableValuesGiveAnError) {
    using F = PropertyList::Format;
    struct Case {
        Value value;
        F format;
    };
    Case cases[] = {
        {Value(Array{Value()}), F::Binary},
        {Value(Array{Value(std::string("a\0b", 3))}), F::XML},
        {Value(Dictionary{{std::string("k\0", 2), 1}}), F::Binary},
        {Value(Dictionary{{std::string("k\0", 2), 1}}), F::XML},
        {Value(Array{Value("\xff")}), F::Binary},
        {Value(Array{Value("bell\x07")}), F::XML},
        {Value(Array{Value(std::numeric_limits<double>::quiet_NaN())}), F::XML},
        {Value(Array{Value(Date{1e12})}), F::XML},
        {Value(Array{Value(Date{std::numeric_limits<double>::quiet_NaN()})}), F::Binary},
        {Value(Array{Value(Date{-std::numeric_limits<double>::infinity()})}), F::Binary},
    };
    for (const Case& c : cases) {
        auto r = PropertyList::write(c.value, c.format);
        ASSERT_FALSE(r.ok());
        EXPECT_EQ(r.error().code, PropertyList::kWriteInvalidError);
    }
    // What XML cannot carry, binary can.
    for (const Value& item : {Value("bell\x07"), Value(std::string("a\0b", 3)), Value(std::string(20, '\0')), Value(Date{1e12})})
        EXPECT_EQ(roundTrip(Value(Array{item}), F::Binary), Value(Array{item})) << item.description();
}

TEST(PropertyList, WritesFilesAtomically) {
    namespace fs = std::filesystem;
    fs::path dir = fs::path(::testing::TempDir()) / "plist_test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::string path = (dir / "prefs.plist").string();
    std::ofstream(path) << "old";

    ASSERT_TRUE(PropertyList::writeFile(sample(), path, PropertyList::Format::XML).ok());
    auto back = PropertyList::readFile(path);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), sample());
    // A failed write leaves the old file and no temporary behind.
    EXPECT_FALSE(PropertyList::writeFile(Value(Array{Value()}), path, PropertyList::Format::XML).ok());
    EXPECT_EQ(PropertyList::readFile(path).value(), sample());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    // A folder that does not exist is an error, not a crash.
    auto missing = PropertyList::writeFile(sample(), (dir / "no/such/x.plist").string(), PropertyList::Format::Binary);
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().domain, kPOSIXErrorDomain);
    EXPECT_FALSE(PropertyList::readFile((dir / "absent.plist").string()).ok());
    // A file past the bound (sparse: it would read as zeros) is refused by its size.
    const std::string huge = (dir / "huge.plist").string();
    std::ofstream(huge) << "<plist><string>x</string></plist>";
    fs::resize_file(huge, PropertyList::kMaxFileBytes + 1);
    auto tooLarge = PropertyList::readFile(huge);
    ASSERT_FALSE(tooLarge.ok());
    EXPECT_NE(tooLarge.error().localizedDescription().find("too large"), std::string::npos);
    fs::remove(huge);
    auto folder = PropertyList::readFile(dir.string());
    ASSERT_FALSE(folder.ok());
    EXPECT_NE(folder.error().localizedDescription().find(std::strerror(EISDIR)), std::string::npos)
        << folder.error().localizedDescription();
    // A FIFO nobody writes to and a link to /dev/zero (size 0, endless) are refused at once, unread: the
    // read of the FIFO does not wait for a writer (one comes only if it has waited past the bound).
    const std::string fifo = (dir / "fifo.plist").string();
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string zero = (dir / "zero.plist").string();
    ASSERT_EQ(::symlink("/dev/zero", zero.c_str()), 0);
    const bool ended = endsWithinHangBound(
        [&] {
            for (const std::string& odd : {fifo, zero}) {
                auto r = PropertyList::readFile(odd);
                ASSERT_FALSE(r.ok()) << odd;
                EXPECT_EQ(r.error().code, PropertyList::kReadCorruptError) << odd;
                EXPECT_NE(r.error().localizedDescription().find("not a regular file"), std::string::npos) << odd;
            }
        },
        [&] {
            if (const int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); writer >= 0)
                ::close(writer);
        });
    EXPECT_TRUE(ended) << "the read waited at the FIFO";
    fs::remove(fifo);
    fs::remove(zero);
    // The longest name a folder takes: its temporary sibling's name is bounded.
    const std::string longest = (dir / std::string(255, 'p')).string();
    ASSERT_TRUE(PropertyList::writeFile(sample(), longest, PropertyList::Format::Binary).ok());
    EXPECT_EQ(PropertyList::readFile(longest).value(), sample());
    ASSERT_TRUE(PropertyList::writeFile(Value(Array{}), longest, PropertyList::Format::XML).ok());
    EXPECT_EQ(PropertyList::readFile(longest).value(), Value(Array{}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 2);
    fs::remove_all(dir);
}

TEST(PropertyList, DateRangeIsTheSameAtBothEnds) {
    // Any finite seconds since 2001 in binary; in XML, from 0000-01-01 to the end of 9999, in either
    // direction. Past 2069 and before 1933 (more than 2^31 s from 2001) too.
    const double lowest = -2147483648.0, highest = 2147483647.0;
    const double firstXML = -63145526400.0, lastXML = 252423993599.0; // 0000-01-01, 9999-12-31T23:59:59
    for (double stored : {lowest, lowest + 0.5, highest, highest + 0.5, 0.0, lowest - 0.5, lowest - 1, highest + 1,
                          highest + 1.5, firstXML, firstXML + 0.5, lastXML, lastXML + 0.5}) {
        auto read = PropertyList::read(binaryDate(stored));
        ASSERT_TRUE(read.ok()) << stored;
        for (auto format : {PropertyList::Format::Binary, PropertyList::Format::XML}) {
            auto written = PropertyList::write(read.value(), format);
            ASSERT_TRUE(written.ok()) << stored;
            auto back = PropertyList::read(written.value());
            ASSERT_TRUE(back.ok()) << stored;
            ASSERT_TRUE(back.value().getDate()) << stored;
            // Both keep the date, its half second too.
            const double seconds = back.value().getDate()->secondsSince1970 - 978307200.0;
            EXPECT_EQ(seconds, stored) << std::fixed << stored;
        }
    }
    for (double stored : {firstXML - 1, lastXML + 1, 1e300, -1e300}) {
        auto read = PropertyList::read(binaryDate(stored));
        ASSERT_TRUE(read.ok()) << stored;
        EXPECT_EQ(PropertyList::read(PropertyList::write(read.value(), PropertyList::Format::Binary).value()).value(), read.value());
        EXPECT_FALSE(PropertyList::write(read.value(), PropertyList::Format::XML).ok()) << stored;
    }
}

// ---- Nesting and sharing bounds: property lists come from other applications ----

namespace {

std::string nestedXML(std::size_t levels) {
    std::string text = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (std::size_t i = 0; i < levels; ++i)
        text += "<array>";
    // What looks like an open tag but is not one does not count.
    text += "<string>a&lt;b<!-- <array> --></string><string><![CDATA[<array>]]></string><true/>";
    for (std::size_t i = 0; i < levels; ++i)
        text += "</array>";
    return text + "</plist>";
}

std::size_t depthOf(const Value& value) {
    std::size_t depth = 0;
    const Value* at = &value;
    while (at->isArray() && !at->arrayOrEmpty().empty()) {
        at = &at->arrayOrEmpty().front();
        ++depth;
    }
    return depth;
}

// Reads on a thread with a 512 KiB stack, as a secondary thread of the application has.
Result<Value> readOnSmallStack(const std::string& bytes) {
    std::optional<Result<Value>> result;
    EXPECT_TRUE(hybtest::runOnSmallStack([&] { result = PropertyList::read(bytes); }));
    return result ? std::move(*result) : Result<Value>(Error(kCocoaErrorDomain, 0, "not run"));
}

} // namespace

TEST(PropertyListBounds, ListsNestedDeeperThanTheLimitAreRefusedBeforeLibplistRecurses) {
    // 100,000 levels: 900 KB of binary list, or the same in XML, from a pasteboard.
    for (const std::string& hostile : {nestedBinaryList(100000), nestedXML(100000)}) {
        auto read = readOnSmallStack(hostile);
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().code, PropertyList::kReadCorruptError);
    }
    // The limit itself: 512 levels below the top read in both forms, 513 do not.
    auto deepest = PropertyList::read(nestedBinaryList(513));
    ASSERT_TRUE(deepest.ok()) << deepest.error().localizedDescription();
    EXPECT_EQ(depthOf(deepest.value()), 512u);
    EXPECT_FALSE(PropertyList::read(nestedBinaryList(514)).ok());
    auto deepestXML = PropertyList::read(nestedXML(512));
    ASSERT_TRUE(deepestXML.ok()) << deepestXML.error().localizedDescription();
    EXPECT_EQ(depthOf(deepestXML.value()), 512u);
    EXPECT_FALSE(PropertyList::read(nestedXML(513)).ok());
    // What the writer writes at the limit reads back.
    auto written = PropertyList::write(deepest.value(), PropertyList::Format::Binary);
    ASSERT_TRUE(written.ok());
    EXPECT_EQ(PropertyList::read(written.value()).value(), deepest.value());
}

TEST(PropertyListBounds, SharedObjectsReadButLoopsAndExpansionBombsDoNot) {
    // The same string shared by two arrays (as writers share equal strings) reads as two copies.
    auto shared = PropertyList::read(binaryList({arrayObject({1, 2, 1}), arrayObject({3}), "\x51x", "\x51y"}));
    ASSERT_TRUE(shared.ok());
    EXPECT_EQ(shared.value(), Value(Array{Array{"y"}, "x", Array{"y"}}));
    // 12 shared levels expand to 4,095 nodes: within the bound; 13 levels (8,191 nodes from 200 bytes)
    // are not.
    auto wide = PropertyList::read(nestedBinaryList(12, true));
    ASSERT_TRUE(wide.ok());
    EXPECT_EQ(depthOf(wide.value()), 11u);
    EXPECT_FALSE(PropertyList::read(nestedBinaryList(13, true)).ok());
    // 64 levels of two references each would expand to 2^64 nodes: refused at once.
    auto bomb = readOnSmallStack(nestedBinaryList(64, true));
    ASSERT_FALSE(bomb.ok());
    EXPECT_EQ(bomb.error().code, PropertyList::kReadCorruptError);
    // An array holding itself, or an ancestor.
    EXPECT_FALSE(PropertyList::read(binaryList({arrayObject({0})})).ok());
    EXPECT_FALSE(PropertyList::read(binaryList({arrayObject({1}), arrayObject({2}), arrayObject({0})})).ok());
    // References and offsets that lead outside the list.
    EXPECT_FALSE(PropertyList::read(binaryList({arrayObject({7})})).ok());
    std::string badOffset = binaryList({arrayObject({})});
    badOffset[badOffset.size() - 32 - 1] = '\x7F';
    EXPECT_FALSE(PropertyList::read(badOffset).ok());
    // An offset table naming more objects than the bytes before it hold (every entry the one byte of
    // true), or than its entries can address: refused before anything is sized by the claim.
    EXPECT_EQ(PropertyList::read(oneObjectManyEntries("\x09", 1, false)).value(), Value(true));
    EXPECT_FALSE(PropertyList::read(oneObjectManyEntries("\x09", 2, false)).ok());
    EXPECT_FALSE(PropertyList::read(oneObjectManyEntries("\x09", 100000, false)).ok());
    // Every entry naming one long UTF-16 text: its text is read (and scanned) once, as the top; an
    // array referencing every entry expands it once per entry, past the bound.
    std::string units;
    for (int i = 0; i < 32 * 1024; ++i)
        units += std::string("\x00\xE9", 2);
    const std::string text = leafObject(0x60, units);
    auto once = PropertyList::read(oneObjectManyEntries(text, 30000, false));
    ASSERT_TRUE(once.ok()) << once.error().localizedDescription();
    EXPECT_EQ(once.value().getString()->size(), 64u * 1024);
    EXPECT_FALSE(PropertyList::read(oneObjectManyEntries(text, 200, true)).ok());
}

TEST(PropertyListBounds, XMLThatATagScanWouldMiscountIsReadByTheXMLRulesOnASmallStack) {
    // 200,000 levels behind the quote (1.4 MB), and 20,000 (140 KB): not well-formed, refused.
    for (std::size_t levels : {std::size_t{200000}, std::size_t{20000}}) {
        auto read = readOnSmallStack(hybtest::quoteTrickXML(levels));
        ASSERT_FALSE(read.ok()) << levels;
        EXPECT_EQ(read.error().code, PropertyList::kReadCorruptError);
    }
    // Well-formed nesting with single-quoted attributes counts every level.
    std::string quoted = "<plist version='1.0'>";
    for (int i = 0; i < 100000; ++i)
        quoted += "<array x='>'>";
    auto deep = readOnSmallStack(quoted);
    ASSERT_FALSE(deep.ok());
    EXPECT_NE(deep.error().localizedDescription().find("nested too deeply"), std::string::npos);
    // A list at the limit reads on the small stack, and writes back as XML.
    auto atLimit = readOnSmallStack(nestedXML(512));
    ASSERT_TRUE(atLimit.ok()) << atLimit.error().localizedDescription();
    auto xml = PropertyList::write(atLimit.value(), PropertyList::Format::XML);
    ASSERT_TRUE(xml.ok());
    EXPECT_EQ(PropertyList::read(xml.value()).value(), atLimit.value());
}

TEST(PropertyList, MalformedXMLListsGiveAnError) {
    const std::string head = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    for (const std::string& body : {
             std::string("<dict><key>a</key></dict>"), std::string("<dict><string>a</string></dict>"),
             std::string("<dict><key>a</key><key>b</key></dict>"), std::string("<array><key>a</key></array>"),
             std::string("<array>text</array>"), std::string("<string>a<string>b</string></string>"),
             std::string("<widget/>"), std::string("<string>a</string><string>b</string>"), std::string(""),
             std::string("<integer>12x</integer>"), std::string("<integer>-9223372036854775809</integer>"),
             std::string("<integer>18446744073709551616</integer>"), std::string("<real>1.5.2</real>"),
             std::string("<true>yes</true>"), std::string("<date>2001-13-01T00:00:00Z</date>"),
             std::string("<date>2001-01-01 00:00:00</date>"), std::string("<date>2023-02-29T00:00:00Z</date>"),
             std::string("<date>1900-02-29T00:00:00Z</date>"), std::string("<date>2024-04-31T00:00:00Z</date>"),
             std::string("<integer>-0x8000000000000001</integer>"), std::string("<integer>0x10000000000000000</integer>"),
             std::string("<data>AA!=</data>"), std::string("<string>caf\xe9</string>")}) {
        auto r = PropertyList::read(head + body + "</plist>");
        ASSERT_FALSE(r.ok()) << body;
        EXPECT_EQ(r.error().code, PropertyList::kReadCorruptError) << body;
    }
    EXPECT_FALSE(PropertyList::read("<array/>").ok()); // not a plist root
    // Declared entities are not expanded: the list is refused (libxml2's own bound on expansion lets 7 KB
    // become a gigabyte). Predefined entities and character references read as usual.
    auto entities = PropertyList::read("<!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;\">]>"
                                       "<plist><string>&b;&b;&b;&b;</string></plist>");
    ASSERT_FALSE(entities.ok());
    EXPECT_EQ(entities.error().code, PropertyList::kReadCorruptError);
    std::string laughs = "<!DOCTYPE plist [<!ENTITY l0 \"ha\">";
    for (int i = 1; i <= 10; ++i) {
        laughs += "<!ENTITY l" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j)
            laughs += "&l" + std::to_string(i - 1) + ";";
        laughs += "\">";
    }
    auto bomb = PropertyList::read(laughs + "]><plist><string>&l10;</string></plist>");
    ASSERT_FALSE(bomb.ok());
    EXPECT_EQ(bomb.error().code, PropertyList::kReadCorruptError);
}

TEST(PropertyList, XMLNumbersDatesAndDataReadAsWritten) {
    const auto one = [](const std::string& body) {
        auto r = PropertyList::read("<plist version=\"1.0\">" + body + "</plist>");
        EXPECT_TRUE(r.ok()) << body << ": " << (r.ok() ? "" : r.error().localizedDescription());
        return r.ok() ? r.value() : Value();
    };
    EXPECT_EQ(one("<integer> -9223372036854775808 </integer>"), Value(INT64_MIN));
    // Unsigned 64-bit writers: read as themselves, and written back so in either form.
    for (const char* text : {"18446744073709551615", "0xFFFFFFFFFFFFFFFF", "9223372036854775808"}) {
        const Value read = one(std::string("<integer>") + text + "</integer>");
        ASSERT_TRUE(read.isUnsignedInteger()) << text;
        EXPECT_EQ(read.description(), std::to_string(std::stoull(text, nullptr, 0)));
        for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary})
            EXPECT_EQ(roundTrip(read, format), read) << text;
    }
    EXPECT_NE(PropertyList::write(one("<integer>18446744073709551615</integer>"), PropertyList::Format::XML)
                  .value()
                  .find("<integer>18446744073709551615</integer>"),
              std::string::npos);
    EXPECT_EQ(one("<integer>9223372036854775807</integer>"), Value(INT64_MAX));
    EXPECT_EQ(one("<integer>0x1F</integer>"), Value(31));
    EXPECT_EQ(one("<integer>+7</integer>"), Value(7));
    EXPECT_EQ(one("<real>-2.5e3</real>"), Value(-2500.0));
    EXPECT_EQ(one("<real>+1</real>"), Value(1.0));
    EXPECT_EQ(one("<date>1970-01-01T00:00:00Z</date>"), Value(Date{0}));
    EXPECT_EQ(one("<date>2024-02-29T12:34:56.5Z</date>"), Value(Date{1709210096.5}));
    // More than 2^31 s from 2001 either way, and the ends of four-digit years: read, and written back as
    // the same text.
    for (const char* text : {"1800-01-01T00:00:00Z", "1932-12-31T23:59:59Z", "2070-01-01T00:00:00Z",
                             "0000-01-01T00:00:00Z", "9999-12-31T23:59:59Z", "2000-02-29T00:00:00Z"}) {
        const Value read = one(std::string("<date>") + text + "</date>");
        ASSERT_TRUE(read.isDate()) << text;
        EXPECT_NE(PropertyList::write(read, PropertyList::Format::XML).value().find(text), std::string::npos) << text;
    }
    EXPECT_EQ(one("<date>1800-01-01T00:00:00Z</date>"), Value(Date{-5364662400.0}));
    EXPECT_EQ(one("<data>\n  AAEC\n  /w==\n</data>"), Value(Bytes{0, 1, 2, 0xFF}));
    EXPECT_EQ(one("<string><![CDATA[<a>]]> &amp; &#x263A;</string>"), Value("<a> & \xe2\x98\xba"));
    EXPECT_EQ(one("<dict><!-- c --><key>a</key><true/><key>a</key><false/></dict>"), Value(Dictionary{{"a", false}}));
    // An encoding the document declares is honoured.
    auto latin = PropertyList::read("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><plist><string>caf\xe9</string></plist>");
    ASSERT_TRUE(latin.ok());
    EXPECT_EQ(latin.value(), Value("caf\xc3\xa9"));
}

TEST(PropertyListBounds, LongFlatListsReadWholeAndExpansionIsBoundedByTheSize) {
    // 100,000 integers: every item, in order.
    auto flat = PropertyList::read(flatBinaryList(100000, false));
    ASSERT_TRUE(flat.ok());
    const Array& items = flat.value().arrayOrEmpty();
    ASSERT_EQ(items.size(), 100000u);
    for (std::size_t i = 0; i < items.size(); ++i)
        ASSERT_EQ(items[i], Value(static_cast<std::int64_t>(i))) << i;
    // 50,000 keys.
    auto wide = PropertyList::read(wideBinaryDictionary(50000));
    ASSERT_TRUE(wide.ok());
    ASSERT_EQ(wide.value().dictionaryOrEmpty().size(), 50000u);
    EXPECT_EQ(wide.value()["k49999"], Value(49999));
    // 250,000 references to one string (1 MB): one node per four bytes, read.
    auto shared = PropertyList::read(flatBinaryList(250000, true));
    ASSERT_TRUE(shared.ok());
    EXPECT_EQ(shared.value().arrayOrEmpty().size(), 250000u);
    EXPECT_EQ(shared.value().arrayOrEmpty().back(), Value("x"));
    // An array of 1,000 references to an array of 1,000 references: a million nodes from 8 KB.
    std::vector<std::uint32_t> outer(1000, 1), inner(1000, 2);
    auto bomb = PropertyList::read(binaryList({arrayObject(outer), arrayObject(inner), "\x51x"}));
    ASSERT_FALSE(bomb.ok());
    EXPECT_EQ(bomb.error().code, PropertyList::kReadCorruptError);
    // A caller's floors replace the defaults, below them too (a file of many lists shares its floors
    // among them): 60 references to 60 references read by default, not with no floor. Its own bound of
    // nodes reads more than a list from another application may hold, still one a byte at most.
    std::vector<std::uint32_t> sixty(60, 1), sixtyInner(60, 2);
    const std::string small3600 = binaryList({arrayObject(sixty), arrayObject(sixtyInner), "\x51x"});
    EXPECT_TRUE(PropertyList::read(small3600).ok());
    EXPECT_FALSE(PropertyList::read(small3600, PropertyList::Expansion{0, 0}).ok());
    const PropertyList::Expansion ownNodes{PropertyList::kMinExpandedBytes, PropertyList::kMinExpandedNodes, 400000};
    EXPECT_FALSE(PropertyList::read(flatBinaryList(300000, true)).ok());
    auto ownFlat = PropertyList::read(flatBinaryList(300000, true), ownNodes);
    ASSERT_TRUE(ownFlat.ok()) << ownFlat.error().localizedDescription();
    EXPECT_EQ(ownFlat.value().arrayOrEmpty().size(), 300000u);
    std::vector<std::uint32_t> sixHundred(600, 1), sixHundredInner(600, 2);
    EXPECT_FALSE(PropertyList::read(binaryList({arrayObject(sixHundred), arrayObject(sixHundredInner), "\x51x"}), ownNodes).ok())
        << "360,000 nodes from 5 KB";
    // Few nodes, many bytes: one-byte references to one long text or data expand it at each. Four times
    // the list reads, or 1 MiB for a smaller one (16 references to 64 KiB); more does not, however it is
    // shared: flat, level below level, or as UTF-16 text (3 bytes a unit). A floor of the caller's own
    // (for files the platform writes) reads more.
    const std::string megabyte(1 << 20, 's');
    const std::string small(64 << 10, 's');
    auto floor = PropertyList::read(oneByteSharedBinaryList(16, leafObject(0x50, small)));
    ASSERT_TRUE(floor.ok()) << floor.error().localizedDescription();
    EXPECT_EQ(floor.value().arrayOrEmpty().size(), 16u);
    EXPECT_EQ(floor.value().arrayOrEmpty().back(), Value(small));
    EXPECT_FALSE(PropertyList::read(oneByteSharedBinaryList(17, leafObject(0x50, small))).ok());
    auto four = PropertyList::read(oneByteSharedBinaryList(4, leafObject(0x40, megabyte)));
    ASSERT_TRUE(four.ok()) << four.error().localizedDescription();
    EXPECT_EQ(four.value().arrayOrEmpty().back(), Value(Bytes(megabyte.begin(), megabyte.end())));
    EXPECT_FALSE(PropertyList::read(oneByteSharedBinaryList(5, leafObject(0x40, megabyte))).ok());
    auto own = PropertyList::read(oneByteSharedBinaryList(17, leafObject(0x50, megabyte)), PropertyList::Expansion{std::uint64_t{17} << 20});
    ASSERT_TRUE(own.ok()) << own.error().localizedDescription();
    EXPECT_EQ(own.value().arrayOrEmpty().size(), 17u);
    std::string utf16;
    for (int i = 0; i < (1 << 19); ++i)
        utf16 += std::string("\x00s", 2);
    for (const std::string& expanding : {oneByteSharedBinaryList(17, leafObject(0x50, megabyte)),
                                         oneByteSharedBinaryList(17, leafObject(0x40, megabyte)),
                                         oneByteSharedBinaryList(3, leafObject(0x60, utf16)),
                                         oneByteSharedBinaryList(3500, leafObject(0x50, std::string(900 * 1024, 's'))),
                                         binaryList({arrayObject(std::vector<std::uint32_t>(10, 1)),
                                                     arrayObject(std::vector<std::uint32_t>(10, 2)),
                                                     leafObject(0x50, std::string(200 * 1024, 's'))})}) {
        auto r = PropertyList::read(expanding);
        ASSERT_FALSE(r.ok()) << expanding.size();
        EXPECT_EQ(r.error().code, PropertyList::kReadCorruptError);
    }
}

TEST(PropertyListBounds, ManyKeysWithOneHashReadAndWriteInTimeLinearInTheirBytes) {
    // 32,768 keys (8 MB) that the library's fixed string hash maps to one value, in both forms: read
    // whole, at about the cost of as many ordinary keys of the same lengths. Each chained in one bucket
    // took 16 s (binary) and 41 s (XML) to read, 20 to 60 times the ordinary keys.
    const std::vector<std::string> keys = stdHashCollidingKeys(32768, 240);
    const std::vector<std::string> ordinary = ordinaryKeysLike(keys);
    for (auto dictionaryOf : {binaryDictionaryOf, xmlDictionaryOf}) {
        const std::string list = dictionaryOf(keys), plain = dictionaryOf(ordinary);
        ASSERT_GT(list.size(), 8u << 20);
        ASSERT_EQ(plain.size(), list.size());
        std::optional<Result<Value>> read, plainRead;
        const Costs costs = costAgainstBaseline({[&] { read = PropertyList::read(list); }},
                                                {[&] { plainRead = PropertyList::read(plain); }}, 8);
        ASSERT_TRUE(read->ok()) << read->error().localizedDescription();
        ASSERT_EQ(read->value().dictionaryOrEmpty().size(), keys.size());
        EXPECT_EQ(read->value()[keys[12345]], Value(true));
        ASSERT_TRUE(plainRead->ok());
        EXPECT_LT(costs.ratio(), 8) << costs;
    }
    // 65,536 keys that djb2 maps to one value, which the property-list library's writer took 113 s to
    // write: written at once, in either form, at about the cost of ordinary keys, and read back whole.
    Dictionary wide, plainWide;
    for (const std::string& key : djb2CollidingKeys(65536))
        wide.set(key, true);
    for (const std::string& key : ordinaryKeysLike(djb2CollidingKeys(65536)))
        plainWide.set(key, true);
    ASSERT_EQ(plainWide.size(), wide.size());
    for (auto format : {PropertyList::Format::Binary, PropertyList::Format::XML}) {
        std::optional<Result<std::string>> written, plainWritten;
        const Costs costs = costAgainstBaseline({[&] { written = PropertyList::write(Value(wide), format); }},
                                                {[&] { plainWritten = PropertyList::write(Value(plainWide), format); }}, 8);
        ASSERT_TRUE(written->ok());
        ASSERT_TRUE(plainWritten->ok());
        EXPECT_LT(costs.ratio(), 8) << costs;
        auto back = PropertyList::read(written->value());
        ASSERT_TRUE(back.ok());
        EXPECT_EQ(back.value(), Value(wide));
    }
}

TEST(PropertyListBounds, XMLDeclarationsAndAttributesCannotMultiplyTheWork) {
    // Each is refused at no more than a few times the cost of reading a plain list of its size (an array
    // of short strings).
    const auto refused = [](const std::string& text, const char* what) {
        std::string plain = "<plist version=\"1.0\"><array>";
        while (plain.size() + 30 < text.size())
            plain += "<string>plain text</string>";
        plain += std::string(text.size() > plain.size() + 16 ? text.size() - plain.size() - 16 : 0, ' ') + "</array></plist>";
        std::optional<Result<Value>> r, plainRead;
        const Costs costs = costAgainstBaseline({[&] { r = PropertyList::read(text); }}, {[&] { plainRead = PropertyList::read(plain); }}, 10);
        ASSERT_TRUE(plainRead->ok()) << what;
        EXPECT_FALSE(r->ok()) << what;
        if (!r->ok()) {
            EXPECT_EQ(r->error().code, PropertyList::kReadCorruptError) << what;
        }
        EXPECT_LT(costs.ratio(), 10) << what << ": " << costs;
    };
    const std::string head = "<?xml version=\"1.0\"?>";
    // 300 KB: an entity of 1,000 elements referred to 100,000 times (100 million values).
    std::string elements = head + "<!DOCTYPE plist [<!ENTITY a \"";
    for (int i = 0; i < 1000; ++i)
        elements += "<true/>";
    elements += "\">]><plist><array>";
    for (int i = 0; i < 100000; ++i)
        elements += "&a;";
    refused(elements + "</array></plist>", "entity of elements");
    // 7 KB: a thousand references to a thousand references to 1,000 characters (a gigabyte of text).
    std::string text = head + "<!DOCTYPE plist [<!ENTITY a \"" + std::string(1000, 'y') + "\"><!ENTITY b \"";
    for (int i = 0; i < 1000; ++i)
        text += "&a;";
    text += "\">]><plist><string>";
    for (int i = 0; i < 1000; ++i)
        text += "&b;";
    refused(text + "</string></plist>", "entity of text");
    // Attribute defaults copied into each of 100,000 elements, each copy checked against the others.
    std::string defaults = head + "<!DOCTYPE plist [<!ATTLIST true";
    for (int i = 0; i < 500; ++i)
        defaults += " a" + std::to_string(i) + " CDATA \"\"";
    defaults += ">]><plist><array>";
    for (int i = 0; i < 100000; ++i)
        defaults += "<true/>";
    refused(defaults + "</array></plist>", "attribute defaults");
    // One start tag of 120,000 attributes (1.2 MB), which libxml2 checks pairwise.
    std::string attributes = "<plist";
    for (int i = 0; i < 120000; ++i)
        attributes += " a" + std::to_string(i) + "=\"\"";
    refused(attributes + "><true/></plist>", "attributes");
    // Namespaces, which lists never use: each prefix costs libxml2 a look-up among all in scope.
    refused(namespacedXML(2, 3), "namespace declarations");
    refused(namespacedXML(100, 255, 190), "namespace declarations at a keychain item's size");
    refused("<plist xmlns=\"u\"><true/></plist>", "a default namespace");
    // An undeclared entity in a list with an external DTD (never loaded) is not read as nothing.
    refused(head + "<!DOCTYPE plist SYSTEM \"file:///etc/passwd\"><plist><string>&x;</string></plist>", "undeclared");
    // What lists are made of still reads: the usual DOCTYPE, text of any length, pieces split anywhere.
    std::string body(3 << 20, 'z');
    auto long_text = PropertyList::read(head + "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
                                        "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\"><plist version=\"1.0\">"
                                        "<string>" + body + "&amp;</string></plist>");
    ASSERT_TRUE(long_text.ok());
    EXPECT_EQ(long_text.value(), Value(body + "&"));
    std::string many = head + "<plist version=\"1.0\"><array>";
    for (int i = 0; i < 30000; ++i)
        many += "<string><![CDATA[a]]]]><![CDATA[>]]>&#x263A;\xc3\xa9</string>";
    auto pieces = PropertyList::read(many + "</array></plist>");
    ASSERT_TRUE(pieces.ok());
    ASSERT_EQ(pieces.value().arrayOrEmpty().size(), 30000u);
    for (const Value& item : pieces.value().arrayOrEmpty())
        ASSERT_EQ(item, Value("a]]>\xe2\x98\xba\xc3\xa9"));
}

TEST(PropertyListBounds, NoListHoldsMoreThanAQuarterOfAMillionValues) {
    // A binary array of one-byte references to one shared item: one value per byte, within the bound of
    // expansion by size, but 64 MiB of it (a pasteboard) would be 64 million values.
    const auto sharedItems = [](std::uint32_t count) {
        std::string bytes = "bplist00";
        bytes += '\xAF';
        bytes += '\x12';
        for (int shift = 24; shift >= 0; shift -= 8)
            bytes += static_cast<char>((count >> shift) & 0xFF);
        bytes.append(count, '\x01');
        const std::size_t item = bytes.size();
        bytes += '\x09'; // true
        const std::size_t table = bytes.size();
        for (std::size_t offset : {std::size_t{8}, item})
            for (int shift = 24; shift >= 0; shift -= 8)
                bytes += static_cast<char>((offset >> shift) & 0xFF);
        std::string trailer(32, '\0');
        trailer[6] = 4; // offset size
        trailer[7] = 1; // reference size
        trailer[15] = 2; // objects
        for (int i = 0; i < 8; ++i)
            trailer[24 + i] = static_cast<char>((static_cast<std::uint64_t>(table) >> (56 - 8 * i)) & 0xFF);
        return bytes + trailer;
    };
    auto within = PropertyList::read(sharedItems((1u << 18) - 1)); // the array and its items
    ASSERT_TRUE(within.ok()) << within.error().localizedDescription();
    EXPECT_EQ(within.value().arrayOrEmpty().size(), (1u << 18) - 1);
    EXPECT_FALSE(PropertyList::read(sharedItems(1u << 18)).ok());
    EXPECT_EQ(within.value().arrayOrEmpty().back(), Value(true));
    // 4 million of them are refused at the bound, for no more than the list within it costs to read (not
    // sixteen times that for reading them all).
    const std::string withinBytes = sharedItems((1u << 18) - 1), beyondBytes = sharedItems(4u << 20);
    std::optional<Result<Value>> beyond;
    const Costs costs = costAgainstBaseline({[&] { beyond = PropertyList::read(beyondBytes); }},
                                            {[&] { within = PropertyList::read(withinBytes); }}, 4);
    ASSERT_FALSE(beyond->ok());
    EXPECT_EQ(beyond->error().code, PropertyList::kReadCorruptError);
    EXPECT_LT(costs.ratio(), 4) << costs;

    // The same bound in XML.
    std::string xml = "<plist><array>";
    for (int i = 0; i < (1 << 18); ++i)
        xml += "<true/>";
    EXPECT_FALSE(PropertyList::read(xml + "</array></plist>").ok()); // the array and 2^18 items
    xml.resize(xml.size() - 7);
    auto most = PropertyList::read(xml + "</array></plist>");
    ASSERT_TRUE(most.ok());
    EXPECT_EQ(most.value().arrayOrEmpty().size(), (1u << 18) - 1);

    // Keys count in both forms, as nodes: under a bound of 1,001 a dictionary of 500 keys (their values,
    // and itself) reads, one of 501 does not, in XML as in binary. Writers count the same and refuse what
    // their readers would (written, it would read back as nothing), under the default bound too.
    const PropertyList::Expansion bound{PropertyList::kMinExpandedBytes, 0, 1001};
    std::vector<std::string> keys;
    for (int i = 0; i < 501; ++i)
        keys.push_back("k" + std::to_string(i));
    const std::vector<std::string> fewer(keys.begin(), keys.end() - 1);
    EXPECT_FALSE(PropertyList::read(xmlDictionaryOf(keys), bound).ok());
    EXPECT_FALSE(PropertyList::read(binaryDictionaryOf(keys), bound).ok());
    Dictionary wide;
    for (const std::string& key : fewer)
        wide.set(key, true);
    for (const std::string& list : {xmlDictionaryOf(fewer), binaryDictionaryOf(fewer)}) {
        auto read = PropertyList::read(list, bound);
        ASSERT_TRUE(read.ok()) << read.error().localizedDescription();
        EXPECT_EQ(read.value(), Value(wide));
    }
    Dictionary wider = wide;
    wider.set("one more", true);
    for (auto format : {PropertyList::Format::XML, PropertyList::Format::Binary}) {
        for (const Value& fits : {Value(wide), Value(Array(1000, Value(1)))}) {
            auto written = PropertyList::write(fits, format, bound);
            ASSERT_TRUE(written.ok()) << written.error().localizedDescription();
            auto back = PropertyList::read(written.value(), bound);
            ASSERT_TRUE(back.ok()) << back.error().localizedDescription();
            EXPECT_EQ(back.value(), fits);
        }
        for (const Value& past : {Value(wider), Value(Array(1001, Value(1))), Value(Array{Value(Array(999, Value(1))), Value(Array{})})}) {
            auto refused = PropertyList::write(past, format, bound);
            ASSERT_FALSE(refused.ok());
            EXPECT_EQ(refused.error().code, PropertyList::kWriteInvalidError);
            EXPECT_NE(refused.error().localizedDescription().find("1001"), std::string::npos) << refused.error().localizedDescription();
        }
        auto refused = PropertyList::write(Value(Array(PropertyList::kMaxNodes, Value(true))), format);
        ASSERT_FALSE(refused.ok());
        EXPECT_EQ(refused.error().code, PropertyList::kWriteInvalidError);
        EXPECT_NE(refused.error().localizedDescription().find("262144"), std::string::npos) << refused.error().localizedDescription();
    }
    // writeFile refuses it without touching the file.
    const std::string path = std::filesystem::temp_directory_path() / ("hyb-plist-nodes-" + std::to_string(::getpid()));
    ASSERT_TRUE(PropertyList::writeFile(Value(Dictionary{{"kept", 1}}), path, PropertyList::Format::XML).ok());
    EXPECT_FALSE(PropertyList::writeFile(Value(Array(PropertyList::kMaxNodes, Value(true))), path, PropertyList::Format::Binary).ok());
    EXPECT_EQ(PropertyList::readFile(path).value(), Value(Dictionary{{"kept", 1}}));
    std::filesystem::remove(path);
}
