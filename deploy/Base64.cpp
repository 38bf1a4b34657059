#include "deploy/Base64.h"

#include <mbedtls/base64.h>

#include <vector>

namespace deploy {

std::string Base64::base64String(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) > 0x7F)
            return {};
    }
    std::vector<unsigned char> out(4 * ((text.size() + 2) / 3) + 1);
    std::size_t written = 0;
    if (mbedtls_base64_encode(out.data(), out.size(), &written, reinterpret_cast<const unsigned char*>(text.data()),
                              text.size()) != 0)
        return {};
    return std::string(reinterpret_cast<const char*>(out.data()), written);
}

} // namespace deploy
