// A parsed JSON reply: its top level is an object or an array; neither is set when the body did not
// parse.
#pragma once

#include "platform/core/Value.h"

#include <optional>

namespace deploy {

class UNIJsonNode {
public:
    UNIJsonNode() = default;
    // Parses bytes as JSON; a parse error leaves the node empty and is not reported.
    static UNIJsonNode parse(const platform::Bytes& data);

    bool isArray() const { return m_array.has_value(); }
    const std::optional<platform::Dictionary>& JSONObject() const { return m_object; }
    const std::optional<platform::Array>& JSONArray() const { return m_array; }

private:
    std::optional<platform::Dictionary> m_object;
    std::optional<platform::Array> m_array;
};

} // namespace deploy
