// The colour markup of the success message: the server marks at most one stretch of the text as
// "<" RRGGBB "#" text ">". The first "<" and the first ">" bound the stretch; the "<" signs inside it
// are dropped, and what is left must split at "#" into exactly two parts, the colour and the text.
// Without a "<" or a ">", with the ">" first, or with other than two parts there is no markup.
//
// Positions count UTF-16 code units, as attributed-text ranges do. The text is read as UTF-8; invalid
// sequences become U+FFFD first, so the positions are those of the text the label shows.
//
// Any thread.
#pragma once

#include "platform/core/Color.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace cardpay {

struct BCSuccessMarkup {
    std::string text;          // the message with the stretch replaced by its text part
    std::size_t location = 0;  // of the text part, in UTF-16 units
    std::size_t length = 0;    // of the text part, in UTF-16 units
    std::string colour;        // the colour part as sent
};

std::optional<BCSuccessMarkup> parseSuccessMarkup(std::string_view message);

// The UTF-16 length of valid UTF-8 text.
std::size_t utf16Length(std::string_view text);

} // namespace cardpay
