// Texts the page gives to native screens (titles, labels, captions).
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>

namespace plugins {

// Strings as they are, other values as their text (5 -> "5"), null or absent as nothing.
inline std::optional<std::string> pageText(const platform::Value& value) {
    if (value.isNull())
        return std::nullopt;
    if (const std::string* text = value.getString())
        return *text;
    return value.description();
}

} // namespace plugins
