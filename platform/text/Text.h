// Small text helpers the platform's string objects offer: UUID text, numeric version comparison and the
// extension-to-MIME table.
//
// Guarantees:
// - newUUIDString() gives a fresh random (version 4) UUID as 36 characters, upper-case hexadecimal digits
//   in groups 8-4-4-4-12 separated by "-". Thread-safe.
// - compareNumeric() orders texts as the platform's numeric string search does: runs of digits compare by
//   their value ("10.0" > "9.3", "5.1" < "8.0", "007" == "7"), other characters by their byte value, and a
//   text that is a prefix of the other comes first ("8" < "8.0").
// - mimeTypeForExtension() answers from a fixed table (case-insensitive extension, no leading "."); an
//   unknown extension gives nullopt.
// - hexDigitValue() is the value of one hexadecimal digit (either case), or -1 for any other character.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

std::string newUUIDString();

// Negative, zero or positive as a is ordered before, the same as, or after b.
int compareNumeric(std::string_view a, std::string_view b);

// True when version is at least minimum ("8.0.1" >= "8.0").
inline bool isVersionAtLeast(std::string_view version, std::string_view minimum) {
    return compareNumeric(version, minimum) >= 0;
}

std::optional<std::string> mimeTypeForExtension(std::string_view extension);

constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace platform
