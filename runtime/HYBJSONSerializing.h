// JSON text of the bridge: batches are read with these and answers written with them. Each failure is
// logged with its fixed line and gives nothing.
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>

namespace runtime {

// Compact JSON text of an array (no white space).
std::optional<std::string> hyb_JSONString(const platform::Array& array);
// Pretty-printed JSON text of a dictionary.
std::optional<std::string> hyb_JSONString(const platform::Dictionary& dictionary);
// The array or object the text holds.
std::optional<platform::Value> hyb_JSONObject(std::string_view text);
// The value the text holds, also a bare string, number, bool or null.
std::optional<platform::Value> hyb_JSONFragment(std::string_view text);

inline std::optional<std::string> JSONString(const platform::Array& array) { return hyb_JSONString(array); }
inline std::optional<std::string> JSONString(const platform::Dictionary& dictionary) { return hyb_JSONString(dictionary); }
inline std::optional<platform::Value> JSONObject(std::string_view text) { return hyb_JSONObject(text); }
inline std::optional<platform::Value> JSONFragment(std::string_view text) { return hyb_JSONFragment(text); }

} // namespace runtime
