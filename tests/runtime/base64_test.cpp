#include "runtime/HYBBase64.h"

#include <gtest/gtest.h>

using namespace runtime;

namespace {
platform::Bytes bytesOf(std::string_view text) {
    return platform::Bytes(text.begin(), text.end());
}
} // namespace

TEST(HYBBase64, EncodesWithPaddingAndNoLineBreaks) {
    EXPECT_EQ(hybBase64Encode(bytesOf("abc")), "YWJj");
    EXPECT_EQ(hybBase64Encode(bytesOf("ab")), "YWI=");
    EXPECT_EQ(hybBase64Encode(bytesOf("a")), "YQ==");
    EXPECT_EQ(hybBase64Encode(bytesOf("")), "");
    EXPECT_EQ(hybBase64Encode(platform::Bytes{0xFB, 0xFF, 0xBF}), "+/+/");
    EXPECT_EQ(hybBase64Encode(platform::Bytes(120, 0)).find('\n'), std::string::npos);
    // Appended after what the text holds, in the length base64Length gives.
    for (const char* bytes : {"", "a", "ab", "abc", "abcd"}) {
        std::string text = "data:;base64,";
        hybBase64Append(text, bytesOf(bytes));
        EXPECT_EQ(text, "data:;base64," + hybBase64Encode(bytesOf(bytes)));
        EXPECT_EQ(base64Length(std::string_view(bytes).size()), hybBase64Encode(bytesOf(bytes)).size());
    }
}

TEST(HYBBase64, DecoderSkipsEverythingOutsideTheAlphabet) {
    EXPECT_EQ(hybBase64Decode("YWJj"), bytesOf("abc"));
    EXPECT_EQ(hybBase64Decode("Y W\nJ\r\nj \n"), bytesOf("abc"));
    EXPECT_EQ(hybBase64Decode("YWI="), bytesOf("ab"));
    EXPECT_EQ(hybBase64Decode("YWI"), bytesOf("ab"));
    EXPECT_EQ(hybBase64Decode("YQ=="), bytesOf("a"));
    EXPECT_EQ(hybBase64Decode("YQ"), bytesOf("a"));
    // A lone trailing value carries no byte; garbage and bytes above 127 are skipped.
    EXPECT_EQ(hybBase64Decode("YWJjZ"), bytesOf("abc"));
    EXPECT_EQ(hybBase64Decode("\xff!YW@Jj#"), bytesOf("abc"));
    EXPECT_EQ(hybBase64Decode(""), platform::Bytes());
}

TEST(HYBBase64, RoundTripsEveryLengthAndByte) {
    platform::Bytes data;
    for (int i = 0; i < 300; ++i) {
        EXPECT_EQ(hybBase64Decode(hybBase64Encode(data)), data) << "length " << i;
        data.push_back(static_cast<std::uint8_t>(i * 37));
    }
}
