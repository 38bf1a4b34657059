// Base64 for byte arrays that cross the page bridge: ArrayBuffer arguments arrive as Base64 text and
// byte answers leave as Base64 text.
//
// The codec is lenient on input: every byte outside the standard alphabet (padding, blanks, line
// breaks, garbage) is skipped, and a trailing partial group of two or three characters still yields its
// bytes. Output uses the standard alphabet with "=" padding and no line breaks. Pure functions, safe
// on any thread.
#pragma once

#include "platform/core/Value.h"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace runtime {

// Decodes Base64 text; characters outside the alphabet are skipped.
platform::Bytes hybBase64Decode(std::string_view text);

// Encodes bytes as padded Base64 text.
std::string hybBase64Encode(std::span<const std::uint8_t> bytes);
// The same text appended to `out` (grown once): a large encoding is never copied.
void hybBase64Append(std::string& out, std::span<const std::uint8_t> bytes);
// The length of the text for `length` bytes.
constexpr std::size_t base64Length(std::size_t length) { return (length + 2) / 3 * 4; }

// The byte-buffer forms the runtime and plug-ins call.
inline platform::Bytes hyb_dataFromBase64String(std::string_view text) { return hybBase64Decode(text); }
inline std::string hyb_base64EncodedString(const platform::Bytes& data) { return hybBase64Encode(data); }
inline platform::Bytes dataFromBase64String(std::string_view text) { return hyb_dataFromBase64String(text); }
inline std::string base64EncodedString(const platform::Bytes& data) { return hyb_base64EncodedString(data); }

} // namespace runtime
