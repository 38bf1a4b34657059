#include "platform/text/PercentEscaping.h"
#include "platform/text/TextEncoding.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(PercentEscaping, LegacyKeepsReservedPunctuation) {
    EXPECT_EQ(addPercentEscapes("Hybrid iOS webview cache cleared."), "Hybrid%20iOS%20webview%20cache%20cleared.");
    EXPECT_EQ(addPercentEscapes("/a b/c?d=e&f#g:h@i;j+k,l$m!n*o'p(q)r~s-t_u.v"),
              "/a%20b/c?d=e&f#g:h@i;j+k,l$m!n*o'p(q)r~s-t_u.v");
    EXPECT_EQ(addPercentEscapes("\"%<>[\\]^`{|}"), "%22%25%3C%3E%5B%5C%5D%5E%60%7B%7C%7D");
    EXPECT_EQ(addPercentEscapes(std::string("\x01\x7f\n\0", 4)), "%01%7F%0A%00");
    EXPECT_EQ(addPercentEscapes("\xc3\xa9\xe2\x82\xac"), "%C3%A9%E2%82%AC");
}

TEST(PercentEscaping, ComponentEscapesTheReservedSet) {
    EXPECT_EQ(escapeURLComponent("!*'();:@&=+$,/?%#[]"), "%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D");
    EXPECT_EQ(escapeURLComponent("aZ09-._~ \xc3\xa9"), "aZ09-._~%20%C3%A9");
}

TEST(PercentEscaping, CustomSets) {
    // Leave "%" alone (argument-only escaping); escape ":" and "/" as well.
    EXPECT_EQ(addPercentEscapes("a%20b c", ";/?:@=&$-_.+!*'(),%", ""), "a%20b%20c");
    EXPECT_EQ(addPercentEscapes("http://x/~y", "", ":/~"), "http%3A%2F%2Fx%2F%7Ey");
    EXPECT_EQ(addPercentEscapes("a:b", ":", ":"), "a%3Ab") << "escaping wins";
}

TEST(PercentEscaping, Decoding) {
    EXPECT_EQ(removePercentEscapes("a%20b%2fc%C3%A9"), "a b/c\xc3\xa9");
    EXPECT_EQ(removePercentEscapes("a+b%2B"), "a+b+");
    EXPECT_EQ(removePercentEscapes("a+b%2B", PlusHandling::AsSpace), "a b+");
    EXPECT_EQ(removePercentEscapes(""), "");
    EXPECT_FALSE(removePercentEscapes("%"));
    EXPECT_FALSE(removePercentEscapes("a%2"));
    EXPECT_FALSE(removePercentEscapes("%g0"));
    EXPECT_FALSE(removePercentEscapes("%FF")) << "not UTF-8";
    EXPECT_FALSE(removePercentEscapes("%C3")) << "truncated sequence";
    EXPECT_FALSE(removePercentEscapes("%ED%A0%80")) << "encoded surrogate";
    // Escape then decode gives back the text.
    std::string all;
    for (int c = 1; c < 128; ++c)
        all += static_cast<char>(c);
    all += "\xe4\xb8\xad";
    EXPECT_EQ(removePercentEscapes(escapeURLComponent(all)), all);
    EXPECT_EQ(removePercentEscapes(addPercentEscapes(all)), all);
}

TEST(TextEncoding, DecodersAndLengths) {
    EXPECT_TRUE(isValidUTF8("a\xc3\xa9\xf0\x9f\x98\x80"));
    EXPECT_FALSE(isValidUTF8("\xc0\xaf")) << "overlong";
    EXPECT_FALSE(isValidUTF8("\xf4\x90\x80\x80")) << "above U+10FFFF";
    EXPECT_FALSE(decodeUTF8("\xff"));
    EXPECT_EQ(decodeISOLatin1("a\xe9\xff"), "a\xc3\xa9\xc3\xbf");
    EXPECT_EQ(decodeASCII("a\x80"), "a\xc2\x80");
    EXPECT_EQ(decodeUTF8OrLatin1("\xc3\xa9"), "\xc3\xa9");
    EXPECT_EQ(decodeUTF8OrLatin1("\xe9"), "\xc3\xa9");
    EXPECT_EQ(utf16Length("abc"), 3u);
    EXPECT_EQ(utf16Length("\xe5\x9b\x9b\xe4\xb8\xaa"), 2u);
    EXPECT_EQ(utf16Length("\xf0\x9f\x98\x80"), 2u) << "a surrogate pair";
    EXPECT_EQ(utf16Length("\xff\xfe"), 2u);
}
