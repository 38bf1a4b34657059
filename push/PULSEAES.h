// The cipher of what the push client keeps on the device (the stored identity, the enciphered file
// cache): AES-128 in ECB mode with PKCS#7 padding, keyed by a key string. Two operations say "AES256"
// in their names; the key is 16 bytes all the same.
//
// Key: the key string's first 16 UTF-8 bytes, zero-filled when shorter; the rest is ignored (so the
// client's key strings, which share their first 16 characters, all encipher alike).
//
// Guarantees: stateless, any thread; no operation logs; every failure gives nothing. The text forms
// carry the raw enciphered bytes (no Base64).
#pragma once

#include "platform/core/Crypto.h"
#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>

namespace push {

class PULSEAES {
public:
    PULSEAES() = delete;

    static platform::Crypto::AES128Key keyFromString(std::string_view keyString);

    // Nothing for empty input.
    static std::optional<platform::Bytes> AES256EncryptData(platform::ByteSpan bytes, std::string_view key);
    // The deciphered bytes without padding; nothing for empty input, a length that is not a multiple
    // of 16 or bad padding.
    static std::optional<platform::Bytes> AES256DecryptData(platform::ByteSpan bytes, std::string_view key);
    // The text's UTF-8 bytes enciphered; nothing for an empty text.
    static std::optional<platform::Bytes> encrypt(std::string_view text, std::string_view key);
    // The deciphered bytes as UTF-8 text; nothing when deciphering fails, gives no bytes, or gives
    // bytes that are not UTF-8.
    static std::optional<std::string> decrypt(platform::ByteSpan bytes, std::string_view key);
};

} // namespace push
