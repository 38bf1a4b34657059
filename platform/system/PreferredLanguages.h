// The user's preferred languages, most preferred first ("en-US", "zh-Hans"), as the platform's
// "AppleLanguages" user default gives them.
//
// Guarantees:
// - Thread: every call from any thread.
// - preferredLanguages() answers the user-defaults array "AppleLanguages" when it is a non-empty array
//   of strings; otherwise (absent, empty, or holding anything else) the current locale's language as a
//   one-entry list ("en_US" -> "en-US"), so the answer is never empty.
#pragma once

#include <string>
#include <vector>

namespace platform {

inline constexpr const char* kAppleLanguagesKey = "AppleLanguages";

std::vector<std::string> preferredLanguages();

} // namespace platform
