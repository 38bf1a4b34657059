// Text measuring as the payment screens use it: the size a text takes within a width, height unbounded.
#pragma once

#include "platform/Geometry.h"
#include "platform/ui/AttributedString.h"
#include "platform/ui/Font.h"

#include <string>

namespace cardpay {

platform::Size newSizeWithFont(const std::string& text, const platform::Font& font, double width,
                               platform::LineBreakMode lineBreakMode);
// The system font of that size, word wrapping.
platform::Size sizeWithFontSize(const std::string& text, double size, double width);

} // namespace cardpay
