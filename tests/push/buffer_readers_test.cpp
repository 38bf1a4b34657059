#include "push/PULSEBufferReaders.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

using namespace push;

namespace {

std::vector<std::uint8_t> counting(std::size_t n) {
    std::vector<std::uint8_t> bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(i + 1);
    return bytes;
}

// A string field: its 16-bit count, then the bytes.
std::vector<std::uint8_t> field(std::uint16_t count, const std::string& bytes) {
    std::vector<std::uint8_t> out{static_cast<std::uint8_t>(count >> 8), static_cast<std::uint8_t>(count & 0xFF)};
    out.reserve(out.size() + bytes.size());
    out.insert(out.end(), bytes.begin(), bytes.end());
    return out;
}

} // namespace

TEST(BufferReaders, NumbersAreBigEndianAndAdvanceTheOffset) {
    const std::vector<std::uint8_t> bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0A, 0x0B,
                                          0x0C, 0x0D, 0x0E, 0x0F};
    std::uint16_t offset = 0;
    EXPECT_EQ(PULSEReadInt8(bytes, offset), 0x01);
    EXPECT_EQ(PULSEReadInt16(bytes, offset), 0x0203);
    EXPECT_EQ(PULSEReadInt32(bytes, offset), 0x04050607u);
    EXPECT_EQ(PULSEReadInt64(bytes, offset), 0x08090A0B0C0D0E0FULL);
    EXPECT_EQ(offset, 15);
}

TEST(BufferReaders, ReadsEndingAtTheLastByteSucceedAndOnePastGivesZero) {
    const auto bytes = counting(20);
    std::uint16_t offset = 16;
    EXPECT_EQ(PULSEReadInt32(bytes, offset), 0x11121314u);
    EXPECT_EQ(offset, 20);

    offset = 17;
    EXPECT_EQ(PULSEReadInt32(bytes, offset), 0u);
    EXPECT_EQ(offset, 21);
    // Reading on past the end keeps giving zeros and keeps moving.
    EXPECT_EQ(PULSEReadInt8(bytes, offset), 0);
    EXPECT_EQ(PULSEReadInt64(bytes, offset), 0u);
    EXPECT_EQ(offset, 30);

    offset = 19;
    EXPECT_EQ(PULSEReadInt8(bytes, offset), 20);
    EXPECT_EQ(PULSEReadInt8(bytes, offset), 0);
}

TEST(BufferReaders, AWrappingOffsetFails) {
    const auto bytes = counting(70000);
    std::uint16_t offset = 65534;
    EXPECT_EQ(PULSEReadInt32(bytes, offset), 0u);
    EXPECT_EQ(offset, 2);
    offset = 65535;
    EXPECT_EQ(PULSEReadInt8(bytes, offset), 0);
    EXPECT_EQ(offset, 0);
    // Up to the last offset the 16 bits reach, reads succeed.
    offset = 65531;
    EXPECT_EQ(PULSEReadInt32(bytes, offset), 0xFCFDFEFFu);
    EXPECT_EQ(offset, 65535);
}

TEST(BufferReaders, EmptyBytesGiveZeros) {
    const std::vector<std::uint8_t> none;
    std::uint16_t offset = 0;
    EXPECT_EQ(PULSEReadInt16(none, offset), 0);
    EXPECT_EQ(offset, 2);
    offset = 0;
    EXPECT_EQ(PULSEReadString(none, offset), std::string());
    EXPECT_EQ(offset, 2);
}

TEST(BufferReaders, StringFields) {
    {
        const auto bytes = field(0, "xyz");
        std::uint16_t offset = 0;
        EXPECT_EQ(PULSEReadString(bytes, offset), std::string());
        EXPECT_EQ(offset, 2);
    }
    {
        const auto bytes = field(5, "abc");
        std::uint16_t offset = 0;
        EXPECT_EQ(PULSEReadString(bytes, offset), std::nullopt);
        EXPECT_EQ(offset, 7);
    }
    {
        const auto bytes = field(4, std::string("ab\0c", 4));
        std::uint16_t offset = 0;
        EXPECT_EQ(PULSEReadString(bytes, offset), "ab");
        EXPECT_EQ(offset, 6);
    }
    {
        // Exactly up to the end, in UTF-8.
        const auto bytes = field(6, "中文");
        std::uint16_t offset = 0;
        EXPECT_EQ(PULSEReadString(bytes, offset), "中文");
        EXPECT_EQ(offset, 8);
    }
}

TEST(BufferReaders, StringsThatAreNotUTF8GiveNothing) {
    for (const std::string& bad : {std::string("\xff"), std::string("a\xc3"), std::string("\xed\xa0\x80")}) {
        const auto bytes = field(static_cast<std::uint16_t>(bad.size()), bad);
        std::uint16_t offset = 0;
        EXPECT_EQ(PULSEReadString(bytes, offset), std::nullopt) << bad.size();
        EXPECT_EQ(offset, 2 + bad.size());
    }
    // Bytes after the terminating zero are not looked at.
    const auto bytes = field(3, std::string("a\0\xff", 3));
    std::uint16_t offset = 0;
    EXPECT_EQ(PULSEReadString(bytes, offset), "a");
}

TEST(BufferReaders, StringCountPastTheEndGivesEmptyText) {
    // The count itself lies past the end: it reads as 0, so the field is "".
    const std::vector<std::uint8_t> bytes{0x00};
    std::uint16_t offset = 0;
    EXPECT_EQ(PULSEReadString(bytes, offset), std::string());
    EXPECT_EQ(offset, 2);
}

TEST(BufferReaders, StringWhoseBytesWrapTheOffsetGivesNothing) {
    std::vector<std::uint8_t> bytes(65535, 'a');
    bytes[65530] = 0x00;
    bytes[65531] = 0x10;
    std::uint16_t offset = 65530;
    EXPECT_EQ(PULSEReadString(bytes, offset), std::nullopt);
    EXPECT_EQ(offset, static_cast<std::uint16_t>(65532 + 16));
}

TEST(BufferReaders, EveryCutOfAPacketStaysInsideItsBytes) {
    // A packet of one of each field, read from every shorter prefix: no read may see bytes past the cut.
    std::vector<std::uint8_t> packet{0x7F, 0x12, 0x34, 0xDE, 0xAD, 0xBE, 0xEF};
    const auto text = field(5, "hello");
    packet.insert(packet.end(), text.begin(), text.end());
    for (std::size_t cut = 0; cut <= packet.size(); ++cut) {
        const std::vector<std::uint8_t> prefix(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(cut));
        std::uint16_t offset = 0;
        const auto a = PULSEReadInt8(prefix, offset);
        const auto b = PULSEReadInt16(prefix, offset);
        const auto c = PULSEReadInt32(prefix, offset);
        const auto s = PULSEReadString(prefix, offset);
        EXPECT_EQ(a, cut >= 1 ? 0x7F : 0);
        EXPECT_EQ(b, cut >= 3 ? 0x1234 : 0);
        EXPECT_EQ(c, cut >= 7 ? 0xDEADBEEFu : 0u);
        if (cut == packet.size())
            EXPECT_EQ(s, "hello");
        else if (cut >= 9)
            EXPECT_EQ(s, std::nullopt);
        else
            EXPECT_EQ(s, std::string()) << cut;
        // An unreadable count moves on by its own two bytes only.
        EXPECT_EQ(offset, cut >= 9 ? 14 : 9);
    }
}
