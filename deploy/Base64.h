// Base64 (RFC 4648, standard alphabet, "=" padding) of a text's ASCII bytes, for Basic authentication.
#pragma once

#include <string>
#include <string_view>

namespace deploy {

class Base64 {
public:
    // The empty string when the text is not all ASCII.
    static std::string base64String(std::string_view text);
};

} // namespace deploy
