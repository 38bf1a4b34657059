// Whole-text regular-expression matching (Perl-compatible syntax, on GLib's GRegex), as the platform's
// "SELF MATCHES" predicate answers it: true only when the pattern matches the entire text.
//
// Guarantees:
// - Anchored at both ends whatever the pattern says: "\d{3}" matches "123" and not "1234"; alternatives
//   are tried until one covers the whole text ("a|ab" matches "ab").
// - A pattern that does not compile matches nothing; so does text that is not valid UTF-8.
// - A match limit bounds the work of every match: a pattern that would backtrack for ever ("(a+)+$"
//   against a long run of "a" followed by "b") gives up and counts as no match instead of hanging the
//   calling thread.
// - Pure and thread-safe; compiled patterns are not kept.
#pragma once

#include <string_view>

namespace platform {

class RegularExpression {
public:
    // The backtracking steps one match may take before it gives up.
    static constexpr unsigned kMatchLimit = 1'000'000;

    RegularExpression() = delete;

    static bool wholeMatch(std::string_view text, std::string_view pattern);
    // Whether the pattern compiles on its own.
    static bool isValidPattern(std::string_view pattern);
};

} // namespace platform
