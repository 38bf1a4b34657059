// A reply whose body is read as UTF-8 text.
#pragma once

#include "deploy/UNIHTTPResponse.h"

#include <optional>
#include <string>

namespace deploy {

class UNIHTTPStringResponse : public UNIHTTPResponse {
public:
    explicit UNIHTTPStringResponse(const UNIHTTPResponse& simple);
    // The body decoded as UTF-8; none when it is not valid UTF-8.
    const std::optional<std::string>& body() const { return m_body; }

private:
    std::optional<std::string> m_body;
};

} // namespace deploy
