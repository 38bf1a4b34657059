// Text encodings: UTF-8 checking, the single-byte decoders and UTF-16 lengths.
//
// Guarantees:
// - Text in this code base is UTF-8 in std::string. Validity follows the standard: no overlong forms, no
//   encoded surrogates, nothing above U+10FFFF.
// - The decoders never fail on single-byte encodings and never produce invalid UTF-8.
// - All functions are pure and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// Length of the valid UTF-8 sequence starting at p (n bytes available) and its code point, or 0 when the
// bytes there do not start a valid sequence. ASCII gives 1.
std::size_t utf8SequenceLength(const unsigned char* p, std::size_t n, std::uint32_t& codePoint);

bool isValidUTF8(std::string_view bytes);

// The bytes as text when they are valid UTF-8; nullopt otherwise.
std::optional<std::string> decodeUTF8(std::string_view bytes);

// ISO Latin-1: each byte is the code point of the same value.
std::string decodeISOLatin1(std::string_view bytes);

// The platform's ASCII decoding keeps one character per byte; bytes above 127 become the Latin-1
// characters of the same value.
std::string decodeASCII(std::string_view bytes);

// Bytes as UTF-8 if valid, else as ISO Latin-1.
std::string decodeUTF8OrLatin1(std::string_view bytes);

// Appends the UTF-8 form of a code point (invalid ones as U+FFFD).
void appendUTF8(std::string& out, std::uint32_t codePoint);

// The number of UTF-16 code units of a UTF-8 text (what the platform's string length counts). Invalid
// bytes count one unit each.
std::size_t utf16Length(std::string_view text);

} // namespace platform
