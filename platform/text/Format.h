// printf-style formatting that also understands "%@", as the platform's string formatting does.
//
// Guarantees:
// - Arguments are values, taken in order. "%@" writes the argument's description (strings as they are,
//   numbers as decimal text, bools as 1/0, NSNull as "<null>"); a nil argument (std::nullopt) writes
//   "(null)", as does "%s" of a nil argument.
// - The C conversions d i u o x X c C f F e E g G a A p and "%%" follow printf, with flags, width and
//   precision (also "*") and the length modifiers hh h l ll q z t j L. Integers are read from the
//   argument's integerValue() and cut to the width the length modifier names (none: 32 bits, "%hu":
//   16 bits, "%lld"/"%ld"/"%zd": 64 bits); floating conversions use doubleValue().
// - "%s", "%S" and "%@" pad to the width in characters (code points), never splitting one; the
//   precision limits the number of characters.
// - A missing argument formats as 0, "" or "(null)"; an unknown conversion is written as it stands. The
//   function never reads past its arguments and never fails.
// - Pure and thread-safe.
#pragma once

#include "platform/core/Value.h"

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

namespace platform {

class FormatArgument {
public:
    template <class T>
        requires std::is_constructible_v<Value, T&&>
    FormatArgument(T&& value) : m_value(std::forward<T>(value)) {}
    FormatArgument(std::nullopt_t) : m_isNil(true) {}
    FormatArgument(const std::optional<std::string>& text) : m_value(text ? Value(*text) : Value()), m_isNil(!text) {}

    const Value& value() const { return m_value; }
    bool isNil() const { return m_isNil; }

private:
    Value m_value;
    bool m_isNil = false;
};

std::string formatString(std::string_view format, std::initializer_list<FormatArgument> arguments);

} // namespace platform
