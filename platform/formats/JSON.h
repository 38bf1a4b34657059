// JSON text to and from values.
//
// Guarantees:
// - Reading never throws and never crashes on any input: malformed text (bad syntax, invalid UTF-8,
//   lone surrogate escapes, numbers out of range, trailing content, nesting deeper than 1024) gives an
//   Error in kCocoaErrorDomain with code JSON::kReadCorruptError, a description and the byte offset of
//   the fault under kJSONErrorIndexKey.
// - Integers that fit in 64 signed bits read as Integer; every other number (fractions, exponents, larger
//   integers) reads as Double. true/false read as Bool, never as numbers. Objects keep their key order;
//   a repeated key keeps its first place and its last value. Everything read is an ordinary (mutable)
//   Value.
// - Writing gives text that is valid JSON and also valid script text when inserted into a page script:
//   '"', '\\' and '/' are escaped ("\/"), control characters become \b \f \n \r \t or \u00XX, U+2028 and
//   U+2029 become \u2028 and \u2029, and bytes that are not valid UTF-8 become \ufffd. Bools are
//   "true"/"false", null is "null", integers are decimal, doubles the shortest text that reads back to the
//   same double (1.0 -> "1", 0.1 -> "0.1", 1e+20; a negative zero is "-0.0", as "-0" would read back as
//   the integer 0). Values JSON cannot hold (bytes, dates, NaN and infinities) give an Error with code
//   JSON::kWriteInvalidError and nothing is written.
// - Compact output has no white space. Pretty output puts each member on its own line, indented by two
//   spaces, with " : " between key and value; empty containers are written "[]" and "{}".
// - All functions are pure and thread-safe (each thread has its own parser buffers).
#pragma once

#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <string>
#include <string_view>

namespace platform {

// Key of a read error's details: the byte offset in the text where the fault was found (Integer).
inline constexpr const char* kJSONErrorIndexKey = "NSJSONSerializationErrorIndex";

class JSON {
public:
    static constexpr long long kReadCorruptError = 3840;
    static constexpr long long kWriteInvalidError = 3851;

    // Container: the text must hold one array or object. Fragment: also a bare string, number, bool or null.
    enum class ReadMode { Container, Fragment };
    enum class WriteStyle { Compact, Pretty };

    static Result<Value> parse(std::string_view text, ReadMode mode = ReadMode::Container);

    // Writes any value (a bare string or number included).
    static Result<std::string> write(const Value& value, WriteStyle style = WriteStyle::Compact);
    static Result<std::string> writeCompact(const Value& value) { return write(value, WriteStyle::Compact); }
    static Result<std::string> writePretty(const Value& value) { return write(value, WriteStyle::Pretty); }
    // Appends the value's JSON text to out (no copy of a finished text); on failure out is as it was.
    static Status append(std::string& out, const Value& value, WriteStyle style = WriteStyle::Compact);

    // Appends the JSON string literal of a text (with its quotes) to out, escaped as above.
    static void appendQuoted(std::string& out, std::string_view text);
};

} // namespace platform
