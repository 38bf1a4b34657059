// Numbers read from texts the way the platform's string "integer value" reads them: leading blanks, an
// optional sign, then the leading decimal digits; no digits give 0; values out of range saturate.
#pragma once

#include <cstdint>
#include <string_view>

namespace messenger {

std::int64_t integerValue(std::string_view text);

// The signed 32-bit value of a wider integer, saturated.
std::int32_t saturate32(std::int64_t value);

// The signed 32-bit value of a real, saturated (NaN is 0).
std::int32_t saturate32(double value);

} // namespace messenger
