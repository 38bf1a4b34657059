// Text measuring as the payment screens use it: the size a text takes within a width, height unbounded.
//
// Server texts may be as long as a reply (a megabyte): no screen shows more than kMaxLayoutCharacters of
// one text. `cutForLayout` keeps that many characters (whole UTF-8 sequences) and ends the text with "…";
// the measuring functions and the views that show server texts cut them so, before any layout.
#pragma once

#include "platform/core/Geometry.h"
#include "platform/ui/AttributedString.h"
#include "platform/ui/Font.h"

#include <string>
#include <string_view>

namespace cardpay {

inline constexpr std::size_t kMaxLayoutCharacters = 2000;

std::string cutForLayout(std::string_view text, std::size_t maxCharacters = kMaxLayoutCharacters);

platform::Size newSizeWithFont(const std::string& text, const platform::Font& font, double width,
                               platform::LineBreakMode lineBreakMode);
// The system font of that size, word wrapping.
platform::Size sizeWithFontSize(const std::string& text, double size, double width);

} // namespace cardpay
