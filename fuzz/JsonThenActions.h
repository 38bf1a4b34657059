// The input of the targets that build views from a JSON text and then play actions on them: the JSON
// text, a zero byte, then one byte per action. Without a zero byte the whole input is the text and
// there are no actions.
#pragma once

#include "platform/formats/JSON.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

namespace fuzzing {

struct JsonThenActions {
    std::optional<platform::Value> json;  // none when the text is not JSON
    const std::uint8_t* actions = nullptr;
    std::size_t actionCount = 0;
};

inline JsonThenActions splitJsonThenActions(const std::uint8_t* data, std::size_t size) {
    const auto* bytes = reinterpret_cast<const char*>(data);
    const void* zero = std::memchr(bytes, 0, size);
    const std::size_t textSize = zero ? static_cast<std::size_t>(static_cast<const char*>(zero) - bytes) : size;
    JsonThenActions input;
    if (auto parsed = platform::JSON::parse(std::string_view(bytes, textSize)); parsed.ok())
        input.json = std::move(parsed.value());
    if (textSize < size) {
        input.actions = data + textSize + 1;
        input.actionCount = size - textSize - 1;
    }
    return input;
}

} // namespace fuzzing
