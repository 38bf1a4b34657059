// Digests, Base64 and the symmetric cipher the subsystems share, over mbedtls 2.28. Every call into the
// library lives in Crypto.cpp, so a change of library version touches one file.
//
// Guarantees:
// - Pure functions: no state, any thread, any number of callers at once.
// - Hex text is lower-case; Base64 is RFC 4648's standard alphabet with "=" padding and no line breaks.
// - The cipher never reads or writes outside its buffers: input of a wrong length or with bad padding is
//   an error value, never a crash.
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace platform {

using ByteSpan = std::span<const std::uint8_t>;

// The bytes of a text, without a copy.
inline ByteSpan bytesOf(std::string_view text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

class Crypto {
public:
    static constexpr const char* kErrorDomain = "platform.crypto";
    enum ErrorCode : long long {
        kErrorInvalidLength = 1, // cipher text empty or not a whole number of blocks
        kErrorBadPadding = 2,    // the last block does not end in valid PKCS#7 padding
        kErrorLibrary = 3,       // the library refused the key or the operation
        kErrorAuthentication = 4, // sealed data whose tag does not verify (damaged, or another key)
    };

    using MD5Digest = std::array<std::uint8_t, 16>;
    using AES128Key = std::array<std::uint8_t, 16>;
    using AES256Key = std::array<std::uint8_t, 32>;
    static constexpr std::size_t kGCMNonceSize = 12;
    static constexpr std::size_t kGCMTagSize = 16;
    static constexpr std::size_t kAESBlockSize = 16;

    Crypto() = delete;

    static MD5Digest md5(ByteSpan bytes);
    static std::string md5Hex(ByteSpan bytes);
    static std::string hexString(ByteSpan bytes);

    static std::string base64Encode(ByteSpan bytes);
    // Nothing when the text is not valid Base64 (padding included).
    static std::optional<Bytes> base64Decode(std::string_view text);

    // AES-128 in ECB mode with PKCS#7 padding: the output is the input rounded up to the next multiple
    // of 16 bytes, with at least one byte of padding (16 bytes give 32). Empty input gives one block.
    static Bytes aes128ECBEncrypt(const AES128Key& key, ByteSpan plain);
    // The inverse; errors for empty input, a length that is not a multiple of 16, or bad padding.
    static Result<Bytes> aes128ECBDecrypt(const AES128Key& key, ByteSpan cipher);

    // The RC4 stream cipher, in place: a fresh key schedule from the key's bytes (1 to 256 of them), the
    // keystream applied from its first byte (nothing discarded). Enciphering and deciphering are the same
    // call. An empty or over-long key leaves the data unchanged and answers false.
    static bool rc4(ByteSpan key, std::span<std::uint8_t> data);

    // Bytes from the system's random source (getrandom); false only when the source fails.
    static bool randomBytes(std::span<std::uint8_t> out);

    // AES-256 in GCM mode. Sealing gives nonce (12 random bytes), cipher text (as long as the plain
    // text) and tag (16 bytes), in that order; an error only when the random source fails. Opening takes
    // that layout back and fails, giving nothing of the plain text, when it is too short or the tag does
    // not verify.
    static Result<Bytes> aes256GCMSeal(const AES256Key& key, ByteSpan plain);
    static Result<Bytes> aes256GCMOpen(const AES256Key& key, ByteSpan sealed);
};

} // namespace platform
