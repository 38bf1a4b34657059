// Hands text to a response head line by line (each with its "\n"), as the transport does.
#pragma once

#include "platform/net/HTTPResponseHead.h"

#include <cstddef>
#include <string_view>

namespace fuzzing {

inline void consumeLines(platform::HTTPResponseHead& head, std::string_view text) {
    for (std::size_t pos = 0; pos < text.size();) {
        std::size_t end = text.find('\n', pos);
        end = end == std::string_view::npos ? text.size() : end + 1;
        (void)head.consumeLine(text.substr(pos, end - pos));
        pos = end;
    }
}

} // namespace fuzzing
