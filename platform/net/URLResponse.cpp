#include "platform/net/URLResponse.h"

#include "platform/net/HTTPSyntax.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace platform {

URLResponse::URLResponse(std::optional<URL> url, std::string mimeType, std::int64_t expectedContentLength, std::string textEncodingName)
    : m_url(std::move(url)), m_mimeType(std::move(mimeType)), m_textEncodingName(std::move(textEncodingName)),
      m_expectedContentLength(expectedContentLength < 0 ? -1 : expectedContentLength) {}

URLResponse URLResponse::http(std::optional<URL> url, int statusCode, HTTPHeaderFields headerFields, std::string httpVersion) {
    URLResponse r;
    r.m_url = std::move(url);
    r.m_isHTTP = true;
    r.m_statusCode = statusCode;
    r.m_httpVersion = std::move(httpVersion);
    if (auto length = headerFields.value("Content-Length")) {
        std::string text = std::string(http::trimmed(*length));
        std::int64_t n = -1;
        auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
        if (ec == std::errc() && end == text.data() + text.size() && n >= 0)
            r.m_expectedContentLength = n;
    }
    if (auto type = headerFields.value("Content-Type")) {
        // "text/html; charset=utf-8" -> MIME type "text/html", encoding "utf-8".
        std::string_view t = *type;
        std::size_t semi = t.find(';');
        r.m_mimeType = http::lowercased(http::trimmed(t.substr(0, semi)));
        while (semi != std::string_view::npos) {
            t.remove_prefix(semi + 1);
            semi = t.find(';');
            std::string param(http::trimmed(t.substr(0, semi)));
            if (http::lowercased(param.substr(0, 8)) == "charset=") {
                std::string value = param.substr(8);
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
                    value = value.substr(1, value.size() - 2);
                r.m_textEncodingName = http::lowercased(value);
            }
        }
    }
    r.m_headers = std::move(headerFields);
    return r;
}

} // namespace platform
