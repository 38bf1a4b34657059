#include "platform/URLParts.h"

#include <curl/curl.h>

namespace platform {

std::optional<URLParts> URLParts::of(const std::string& url) {
    CURLU* u = curl_url();
    std::optional<URLParts> parts;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        auto get = [u](CURLUPart what, unsigned flags) -> std::string {
            char* text = nullptr;
            std::string s;
            if (curl_url_get(u, what, &text, flags) == CURLUE_OK && text)
                s = text;
            curl_free(text);
            return s;
        };
        parts = URLParts{};
        parts->scheme = get(CURLUPART_SCHEME, 0);
        parts->host = get(CURLUPART_HOST, 0);
        std::string port = get(CURLUPART_PORT, CURLU_DEFAULT_PORT);
        parts->port = port.empty() ? -1 : std::atoi(port.c_str());
        parts->path = get(CURLUPART_PATH, 0);
        parts->decodedPath = get(CURLUPART_PATH, CURLU_URLDECODE);
        if (parts->path.empty())
            parts->path = "/";
    }
    curl_url_cleanup(u);
    return parts;
}

} // namespace platform
