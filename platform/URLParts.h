// The pieces of a URL string that the URL-loading code looks at, read by libcurl's URL parser. Internal to
// URL loading; everyone else uses the URL class.
#pragma once

#include <optional>
#include <string>

namespace platform {

struct URLParts {
    std::string scheme; // lower case
    std::string host;   // empty for file URLs without a host
    int port = -1;      // the explicit or the scheme's default port, -1 when neither
    std::string path;   // as written (percent escapes kept), "/" when empty
    std::string decodedPath;

    static std::optional<URLParts> of(const std::string& url);
};

} // namespace platform
