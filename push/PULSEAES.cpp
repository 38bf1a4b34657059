#include "push/PULSEAES.h"

#include "platform/text/TextEncoding.h"

#include <algorithm>

namespace push {

platform::Crypto::AES128Key PULSEAES::keyFromString(std::string_view keyString) {
    platform::Crypto::AES128Key key{};
    std::copy_n(keyString.begin(), std::min(keyString.size(), key.size()), key.begin());
    return key;
}

std::optional<platform::Bytes> PULSEAES::AES256EncryptData(platform::ByteSpan bytes, std::string_view key) {
    if (bytes.empty())
        return std::nullopt;
    return platform::Crypto::aes128ECBEncrypt(keyFromString(key), bytes);
}

std::optional<platform::Bytes> PULSEAES::AES256DecryptData(platform::ByteSpan bytes, std::string_view key) {
    if (bytes.empty())
        return std::nullopt;
    auto plain = platform::Crypto::aes128ECBDecrypt(keyFromString(key), bytes);
    if (!plain)
        return std::nullopt;
    return std::move(plain).value();
}

std::optional<platform::Bytes> PULSEAES::encrypt(std::string_view text, std::string_view key) {
    return AES256EncryptData(platform::bytesOf(text), key);
}

std::optional<std::string> PULSEAES::decrypt(platform::ByteSpan bytes, std::string_view key) {
    auto plain = AES256DecryptData(bytes, key);
    if (!plain || plain->empty())
        return std::nullopt;
    std::string text(plain->begin(), plain->end());
    if (!platform::isValidUTF8(text))
        return std::nullopt;
    return text;
}

} // namespace push
