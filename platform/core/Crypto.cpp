#include "platform/core/Crypto.h"

#include <mbedtls/aes.h>
#include <mbedtls/arc4.h>
#include <mbedtls/base64.h>
#include <mbedtls/gcm.h>
#include <mbedtls/md5.h>

#include <sys/random.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

// The library's AES context, freed on every path.
class AESContext {
public:
    AESContext() { mbedtls_aes_init(&m_context); }
    ~AESContext() { mbedtls_aes_free(&m_context); }
    AESContext(const AESContext&) = delete;
    AESContext& operator=(const AESContext&) = delete;
    mbedtls_aes_context* get() { return &m_context; }

private:
    mbedtls_aes_context m_context;
};

Error cryptoError(Crypto::ErrorCode code, std::string description) {
    return Error(Crypto::kErrorDomain, code, std::move(description));
}

} // namespace

Crypto::MD5Digest Crypto::md5(ByteSpan bytes) {
    MD5Digest digest{};
    // Cannot fail for an in-memory buffer with the built-in implementation.
    (void)mbedtls_md5_ret(bytes.data(), bytes.size(), digest.data());
    return digest;
}

std::string Crypto::md5Hex(ByteSpan bytes) {
    const MD5Digest digest = md5(bytes);
    return hexString(digest);
}

std::string Crypto::hexString(ByteSpan bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        text.push_back(kDigits[b >> 4]);
        text.push_back(kDigits[b & 0x0F]);
    }
    return text;
}

std::string Crypto::base64Encode(ByteSpan bytes) {
    if (bytes.empty())
        return {};
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    std::size_t written = 0;
    if (mbedtls_base64_encode(reinterpret_cast<unsigned char*>(text.data()), text.size(), &written, bytes.data(),
                              bytes.size()) != 0)
        return {};
    text.resize(written);
    return text;
}

std::optional<Bytes> Crypto::base64Decode(std::string_view text) {
    // Strict form: whole quanta of four characters of the standard alphabet, "=" only as the last one
    // or two. The library alone would let line breaks, spaces and short quanta through.
    if (text.size() % 4 != 0)
        return std::nullopt;
    const std::size_t padding = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
    for (std::size_t i = 0; i < text.size() - padding; ++i) {
        const char c = text[i];
        const bool inAlphabet = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                                c == '+' || c == '/';
        if (!inAlphabet)
            return std::nullopt;
    }
    Bytes out(text.size() / 4 * 3);
    std::size_t written = 0;
    if (mbedtls_base64_decode(out.data(), out.size(), &written, reinterpret_cast<const unsigned char*>(text.data()),
                              text.size()) != 0)
        return std::nullopt;
    out.resize(written);
    return out;
}

Bytes Crypto::aes128ECBEncrypt(const AES128Key& key, ByteSpan plain) {
    const std::size_t padding = kAESBlockSize - plain.size() % kAESBlockSize;
    Bytes out(plain.size() + padding);
    if (!plain.empty())
        std::memcpy(out.data(), plain.data(), plain.size());
    std::memset(out.data() + plain.size(), static_cast<int>(padding), padding);

    AESContext aes;
    // A 128-bit key is always accepted, and ECB on a whole block cannot fail.
    (void)mbedtls_aes_setkey_enc(aes.get(), key.data(), 128);
    for (std::size_t at = 0; at < out.size(); at += kAESBlockSize)
        (void)mbedtls_aes_crypt_ecb(aes.get(), MBEDTLS_AES_ENCRYPT, out.data() + at, out.data() + at);
    return out;
}

Result<Bytes> Crypto::aes128ECBDecrypt(const AES128Key& key, ByteSpan cipher) {
    if (cipher.empty() || cipher.size() % kAESBlockSize != 0)
        return cryptoError(kErrorInvalidLength, "cipher text of " + std::to_string(cipher.size()) +
                                                    " bytes is not a whole number of 16-byte blocks");
    AESContext aes;
    if (mbedtls_aes_setkey_dec(aes.get(), key.data(), 128) != 0)
        return cryptoError(kErrorLibrary, "the AES key was refused");
    Bytes out(cipher.size());
    for (std::size_t at = 0; at < out.size(); at += kAESBlockSize) {
        if (mbedtls_aes_crypt_ecb(aes.get(), MBEDTLS_AES_DECRYPT, cipher.data() + at, out.data() + at) != 0)
            return cryptoError(kErrorLibrary, "AES deciphering failed");
    }
    const std::uint8_t padding = out.back();
    bool valid = padding >= 1 && padding <= kAESBlockSize;
    for (std::size_t i = 0; valid && i < padding; ++i)
        valid = out[out.size() - 1 - i] == padding;
    if (!valid)
        return cryptoError(kErrorBadPadding, "the deciphered text does not end in valid padding");
    out.resize(out.size() - padding);
    return out;
}

bool Crypto::rc4(ByteSpan key, std::span<std::uint8_t> data) {
    if (key.empty() || key.size() > 256)
        return false;
    mbedtls_arc4_context context;
    mbedtls_arc4_init(&context);
    mbedtls_arc4_setup(&context, key.data(), static_cast<unsigned int>(key.size()));
    // In place is allowed: the module reads each input byte before writing the same output byte.
    const int rc = data.empty() ? 0 : mbedtls_arc4_crypt(&context, data.size(), data.data(), data.data());
    mbedtls_arc4_free(&context);
    return rc == 0;
}

bool Crypto::randomBytes(std::span<std::uint8_t> out) {
    std::size_t got = 0;
    while (got < out.size()) {
        const ssize_t n = ::getrandom(out.data() + got, out.size() - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        got += static_cast<std::size_t>(n);
    }
    return true;
}

namespace {

class GCMContext {
public:
    GCMContext() { mbedtls_gcm_init(&m_context); }
    ~GCMContext() { mbedtls_gcm_free(&m_context); }
    GCMContext(const GCMContext&) = delete;
    GCMContext& operator=(const GCMContext&) = delete;
    mbedtls_gcm_context* get() { return &m_context; }

private:
    mbedtls_gcm_context m_context;
};

} // namespace

Result<Bytes> Crypto::aes256GCMSeal(const AES256Key& key, ByteSpan plain) {
    Bytes out(kGCMNonceSize + plain.size() + kGCMTagSize);
    if (!randomBytes(std::span(out.data(), kGCMNonceSize)))
        return cryptoError(kErrorLibrary, "the random source failed");
    GCMContext gcm;
    if (mbedtls_gcm_setkey(gcm.get(), MBEDTLS_CIPHER_ID_AES, key.data(), 256) != 0 ||
        mbedtls_gcm_crypt_and_tag(gcm.get(), MBEDTLS_GCM_ENCRYPT, plain.size(), out.data(), kGCMNonceSize, nullptr, 0,
                                  plain.data(), out.data() + kGCMNonceSize, kGCMTagSize,
                                  out.data() + kGCMNonceSize + plain.size()) != 0)
        return cryptoError(kErrorLibrary, "AES-GCM refused the operation");
    return out;
}

Result<Bytes> Crypto::aes256GCMOpen(const AES256Key& key, ByteSpan sealed) {
    if (sealed.size() < kGCMNonceSize + kGCMTagSize)
        return cryptoError(kErrorInvalidLength, "sealed data shorter than its nonce and tag");
    const std::size_t length = sealed.size() - kGCMNonceSize - kGCMTagSize;
    Bytes plain(length);
    GCMContext gcm;
    if (mbedtls_gcm_setkey(gcm.get(), MBEDTLS_CIPHER_ID_AES, key.data(), 256) != 0)
        return cryptoError(kErrorLibrary, "AES-GCM refused the key");
    const int rc = mbedtls_gcm_auth_decrypt(gcm.get(), length, sealed.data(), kGCMNonceSize, nullptr, 0,
                                            sealed.data() + kGCMNonceSize + length, kGCMTagSize,
                                            sealed.data() + kGCMNonceSize, plain.data());
    if (rc != 0)
        return cryptoError(kErrorAuthentication, "the sealed data does not verify");
    return plain;
}

} // namespace platform
