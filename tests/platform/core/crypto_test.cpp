#include "platform/core/Crypto.h"

#include <gtest/gtest.h>

using platform::Crypto;

TEST(Crypto, MD5) {
    EXPECT_EQ(Crypto::md5Hex(platform::bytesOf("")), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Crypto::md5Hex(platform::bytesOf("The quick brown fox jumps over the lazy dog")),
              "9e107d9d372bb6826bd81d3542a419d6");
    EXPECT_EQ(Crypto::hexString(platform::Bytes{0x00, 0x0a, 0xff}), "000aff");
}

TEST(Crypto, Base64BothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
        {"foobar", "Zm9vYmFy"}};
    for (const auto& [plain, encoded] : vectors) {
        EXPECT_EQ(Crypto::base64Encode(platform::bytesOf(plain)), encoded);
        const auto decoded = Crypto::base64Decode(encoded);
        ASSERT_TRUE(decoded) << encoded;
        EXPECT_EQ(std::string(decoded->begin(), decoded->end()), plain);
    }
    for (const char* bad : {"Zg=", "Z===", "Zm9v\nYmFy", "Zm9v YmFy", "*m9v", "Zg==Zg=="})
        EXPECT_EQ(Crypto::base64Decode(bad), std::nullopt) << bad;
}

TEST(Crypto, AESRefusesWhatIsNotItsOwnOutput) {
    const Crypto::AES128Key key{1, 2, 3};
    const auto sealed = Crypto::aes128ECBEncrypt(key, platform::bytesOf("hello"));
    ASSERT_EQ(sealed.size(), 16u);
    auto opened = Crypto::aes128ECBDecrypt(key, sealed);
    ASSERT_TRUE(opened);
    EXPECT_EQ(std::string(opened->begin(), opened->end()), "hello");

    auto empty = Crypto::aes128ECBDecrypt(key, platform::Bytes());
    ASSERT_FALSE(empty);
    EXPECT_EQ(empty.error().code, Crypto::kErrorInvalidLength);
    EXPECT_EQ(Crypto::aes128ECBDecrypt(key, platform::Bytes(17)).error().code, Crypto::kErrorInvalidLength);

    // A full block whose last byte claims 17 bytes of padding, and one whose padding bytes differ.
    for (std::uint8_t last : {std::uint8_t{0}, std::uint8_t{17}}) {
        platform::Bytes plain(16, 3);
        plain[15] = last;
        // Encipher the block raw: strip the padding block the encryptor adds.
        auto block = Crypto::aes128ECBEncrypt(key, plain);
        block.resize(16);
        EXPECT_EQ(Crypto::aes128ECBDecrypt(key, block).error().code, Crypto::kErrorBadPadding) << int(last);
    }
    platform::Bytes uneven(16, 2);
    uneven[14] = 3;
    auto block = Crypto::aes128ECBEncrypt(key, uneven);
    block.resize(16);
    EXPECT_EQ(Crypto::aes128ECBDecrypt(key, block).error().code, Crypto::kErrorBadPadding);
}

TEST(Crypto, AES256GCMSealsAndOpensAndRefusesDamage) {
    Crypto::AES256Key key{};
    key[0] = 7;
    const auto sealed = Crypto::aes256GCMSeal(key, platform::bytesOf("pay mode 2"));
    ASSERT_TRUE(sealed.ok());
    EXPECT_EQ(sealed->size(), Crypto::kGCMNonceSize + 10 + Crypto::kGCMTagSize);
    const auto opened = Crypto::aes256GCMOpen(key, *sealed);
    ASSERT_TRUE(opened.ok());
    EXPECT_EQ(std::string(opened->begin(), opened->end()), "pay mode 2");
    // Two seals of one text differ (fresh nonces).
    EXPECT_NE(*Crypto::aes256GCMSeal(key, platform::bytesOf("pay mode 2")), *sealed);

    auto damaged = *sealed;
    damaged[Crypto::kGCMNonceSize] ^= 1;
    EXPECT_EQ(Crypto::aes256GCMOpen(key, damaged).error().code, Crypto::kErrorAuthentication);
    Crypto::AES256Key other = key;
    other[1] = 1;
    EXPECT_FALSE(Crypto::aes256GCMOpen(other, *sealed).ok());
    EXPECT_EQ(Crypto::aes256GCMOpen(key, platform::Bytes(27)).error().code, Crypto::kErrorInvalidLength);
    // The empty text seals to nonce and tag alone.
    const auto empty = Crypto::aes256GCMSeal(key, {});
    ASSERT_TRUE(empty.ok());
    EXPECT_TRUE(Crypto::aes256GCMOpen(key, *empty)->empty());
}
