// Small conversions of the screens: colours from hexadecimal text and the display size of the client's
// own pictures.
#pragma once

#include "platform/core/Color.h"
#include "platform/core/Geometry.h"
#include "platform/ui/Image.h"

#include <optional>
#include <string_view>

namespace cardpay {

// Blanks trimmed, case ignored: exactly six hexadecimal digits RRGGBB give an opaque colour, anything
// else none.
std::optional<platform::Color> hexToColor(std::string_view text);

// The size in points for display of a picture drawn at the "@2x" scale: its pixel size halved.
platform::Size realSize(const platform::Image& image);

} // namespace cardpay
