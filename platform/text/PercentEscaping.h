// Percent-escaping of URL text, in UTF-8, in the flavours the platform offers.
//
// Guarantees:
// - Escaping works on bytes: every byte that is escaped becomes "%XX" with upper-case hex digits, so
//   non-ASCII text becomes the escapes of its UTF-8 bytes. Escaping never fails.
// - The legacy flavour escapes what may not stand in a URL (controls, space, non-ASCII bytes and
//   "\"%<>[\\]^`{|}" and DEL) and keeps letters, digits, "-._~", the reserved "!#$&'()*+,/:;=?@".
// - Component escaping keeps only letters, digits and "-._~"; it escapes all of "!*'();:@&=+$,/?%#[]".
// - Decoding fails (nullopt) on a "%" not followed by two hex digits and when the decoded bytes are not
//   valid UTF-8; it never gives back invalid text.
// - All functions are pure and thread-safe.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// The legacy "add percent escapes" (reserved punctuation stays as it is).
std::string addPercentEscapes(std::string_view text);

// The general form: the legacy set, except that the bytes in leaveUnescaped stay as they are and the bytes
// in alsoEscape are escaped too (alsoEscape wins when a byte is in both).
std::string addPercentEscapes(std::string_view text, std::string_view leaveUnescaped, std::string_view alsoEscape);

// Full component escaping: also "!*'();:@&=+$,/?%#[]".
std::string escapeURLComponent(std::string_view text);

enum class PlusHandling { Keep, AsSpace };

// Decodes "%XX" escapes as UTF-8. With PlusHandling::AsSpace each "+" first becomes " ".
std::optional<std::string> removePercentEscapes(std::string_view text, PlusHandling plus = PlusHandling::Keep);

// The characters of the legacy flavour that may stand in a URL unescaped (not counting "%").
bool isLegalURLCharacter(unsigned char c);

} // namespace platform
