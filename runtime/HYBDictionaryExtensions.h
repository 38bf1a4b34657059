// Typed reads of dictionary values, shared by the runtime and the plug-ins (preferences, option
// dictionaries sent by the page).
//
// Pure functions over a dictionary; no state, no locks.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <string_view>

namespace runtime {

// A range of allowed integers: [location, length]. The upper bound is `length` itself, not
// location + length, and both bounds compare unsigned.
struct HYBIntegerRange {
    std::uint64_t location = 0;
    std::uint64_t length = 0;
};

// True when the key has a value whose text equals `expected` ignoring (ASCII) case.
bool existsValue(const platform::Dictionary& dictionary, std::string_view expected, std::string_view key);

// The value's integer value, or `defaultValue` when the key has no value.
std::int64_t integerValueForKey(const platform::Dictionary& dictionary, std::string_view key, std::int64_t defaultValue);
// The same, then raised to the range's location or lowered to its length (unsigned comparisons, so a
// negative value counts as very large).
std::int64_t integerValueForKey(const platform::Dictionary& dictionary, std::string_view key, std::int64_t defaultValue,
                                HYBIntegerRange range);

// When the key has a value, each out-parameter given receives whether the value is an array, null, a
// number (booleans included), a string; without a value they are left untouched. Always true.
bool typeValueForKey(const platform::Dictionary& dictionary, std::string_view key, bool* isArray, bool* isNull,
                     bool* isNumber, bool* isString);
// False when the key has no value, else whether the value is of that kind.
bool valueForKeyIsArray(const platform::Dictionary& dictionary, std::string_view key);
bool valueForKeyIsNull(const platform::Dictionary& dictionary, std::string_view key);
bool valueForKeyIsString(const platform::Dictionary& dictionary, std::string_view key);
bool valueForKeyIsNumber(const platform::Dictionary& dictionary, std::string_view key);

// A new dictionary with every value under its lower-cased key; of two keys that differ only in case,
// the later one's value wins.
platform::Dictionary dictionaryWithLowercaseKeys(const platform::Dictionary& dictionary);

} // namespace runtime
