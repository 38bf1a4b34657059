#include "push/PULSEAES.h"

#include <gtest/gtest.h>

#include <string>

using namespace push;

namespace {

// The client's key strings: 31 and 32 characters that share their first 16.
const std::string kKey32 = "0123456789abcdefPULSE-cache-key!";
const std::string kKey31 = "0123456789abcdefPULSE-other-key";

platform::Bytes bytes(std::size_t n, std::uint8_t fill = 'x') {
    return platform::Bytes(n, fill);
}

} // namespace

TEST(AES, OutputLengthsRoundUpWithAtLeastOneByteOfPadding) {
    EXPECT_EQ(PULSEAES::AES256EncryptData(platform::Bytes(), kKey32), std::nullopt);
    EXPECT_EQ(PULSEAES::AES256EncryptData(bytes(1), kKey32)->size(), 16u);
    EXPECT_EQ(PULSEAES::AES256EncryptData(bytes(15), kKey32)->size(), 16u);
    EXPECT_EQ(PULSEAES::AES256EncryptData(bytes(16), kKey32)->size(), 32u);
    EXPECT_EQ(PULSEAES::AES256EncryptData(bytes(17), kKey32)->size(), 32u);
    for (std::size_t n : {1u, 15u, 16u, 17u, 1000u})
        EXPECT_EQ(PULSEAES::AES256DecryptData(*PULSEAES::AES256EncryptData(bytes(n), kKey32), kKey32), bytes(n));
}

TEST(AES, KnownAnswerOfTheCipher) {
    // FIPS-197 appendix C.1: one block under the key 00 01 .. 0f; ECB with a full block of padding after.
    const std::string key{"\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16};
    const platform::Bytes plain{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
    const auto out = PULSEAES::AES256EncryptData(plain, key);
    ASSERT_TRUE(out);
    ASSERT_EQ(out->size(), 32u);
    EXPECT_EQ(platform::Crypto::hexString(std::span(*out).first(16)), "69c4e0d86a7b0430d8cdb78070b4c55a");
}

TEST(AES, KeysAreTheirFirstSixteenBytesZeroFilled) {
    const platform::Bytes data = bytes(40, 'd');
    EXPECT_EQ(PULSEAES::AES256EncryptData(data, kKey32), PULSEAES::AES256EncryptData(data, kKey31));
    EXPECT_EQ(PULSEAES::AES256EncryptData(data, "abc"),
              PULSEAES::AES256EncryptData(data, std::string("abc") + std::string(13, '\0')));
    EXPECT_NE(PULSEAES::AES256EncryptData(data, "abc"), PULSEAES::AES256EncryptData(data, "abd"));
    // A key string longer than 32 bytes works like its first 16.
    const std::string longKey = kKey32 + "and eight more bytes";
    EXPECT_EQ(PULSEAES::AES256EncryptData(data, longKey), PULSEAES::AES256EncryptData(data, kKey32));
    EXPECT_EQ(PULSEAES::decrypt(*PULSEAES::encrypt("secret", longKey), longKey), "secret");
    // An empty key string is sixteen zero bytes.
    EXPECT_EQ(PULSEAES::AES256EncryptData(data, ""), PULSEAES::AES256EncryptData(data, std::string(16, '\0')));
}

TEST(AES, TextRoundTrips) {
    for (const std::string text : {"a", "uid-1234567890", "密码 and more text than one block holds", "exactly16bytes!!"}) {
        const auto sealed = PULSEAES::encrypt(text, kKey32);
        ASSERT_TRUE(sealed);
        EXPECT_EQ(PULSEAES::decrypt(*sealed, kKey31), text);
    }
    EXPECT_EQ(PULSEAES::encrypt("", kKey32), std::nullopt);
}

TEST(AES, BadInputGivesNothing) {
    EXPECT_EQ(PULSEAES::AES256DecryptData(platform::Bytes(), kKey32), std::nullopt);
    EXPECT_EQ(PULSEAES::AES256DecryptData(bytes(20), kKey32), std::nullopt);
    EXPECT_EQ(PULSEAES::decrypt(bytes(20), kKey32), std::nullopt);
    EXPECT_EQ(PULSEAES::decrypt(platform::Bytes(), kKey32), std::nullopt);

    // Another key: the padding almost never checks out; when it does, the text form still refuses
    // bytes that are not UTF-8. Either way: nothing, never a crash.
    int refused = 0;
    for (int i = 0; i < 200; ++i) {
        const auto sealed = PULSEAES::encrypt("text number " + std::to_string(i), kKey32);
        const auto wrong = PULSEAES::decrypt(*sealed, "another key " + std::to_string(i));
        if (!wrong)
            ++refused;
        else
            EXPECT_NE(*wrong, "text number " + std::to_string(i));
    }
    EXPECT_GT(refused, 190);

    // Padding of the right shape with bytes that are not UTF-8.
    const auto notText = PULSEAES::AES256EncryptData(platform::Bytes{0xff, 0xfe}, kKey32);
    EXPECT_EQ(PULSEAES::decrypt(*notText, kKey32), std::nullopt);
    // A block that deciphers to padding only gives no bytes: no text.
    const auto onlyPadding = platform::Crypto::aes128ECBEncrypt(PULSEAES::keyFromString(kKey32), platform::Bytes());
    EXPECT_EQ(PULSEAES::AES256DecryptData(onlyPadding, kKey32), platform::Bytes());
    EXPECT_EQ(PULSEAES::decrypt(onlyPadding, kKey32), std::nullopt);
}
