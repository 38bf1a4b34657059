// A URL response: HTTP responses carry a status and header fields; responses for other schemes (file
// URLs, custom protocols) carry only the URL, a MIME type and a length.
#pragma once

#include "platform/net/HTTPHeaderFields.h"
#include "platform/text/URL.h"

#include <cstdint>
#include <optional>
#include <string>

namespace platform {

class URLResponse {
public:
    URLResponse() = default;
    // A response that is not HTTP; an expected length of -1 means unknown.
    URLResponse(std::optional<URL> url, std::string mimeType, std::int64_t expectedContentLength, std::string textEncodingName = {});
    // An HTTP response; MIME type, encoding and expected length come from the header fields.
    static URLResponse http(std::optional<URL> url, int statusCode, HTTPHeaderFields headerFields, std::string httpVersion = "HTTP/1.1");

    const std::optional<URL>& url() const { return m_url; }
    std::string urlString() const { return m_url ? m_url->absoluteString() : std::string(); }
    const std::string& mimeType() const { return m_mimeType; }
    const std::string& textEncodingName() const { return m_textEncodingName; }
    // -1 when unknown.
    std::int64_t expectedContentLength() const { return m_expectedContentLength; }

    bool isHTTP() const { return m_isHTTP; }
    // 0 for a response that is not HTTP.
    int statusCode() const { return m_statusCode; }
    const HTTPHeaderFields& allHeaderFields() const { return m_headers; }
    const std::string& httpVersion() const { return m_httpVersion; }
    // The status line's reason phrase as the server wrote it ("" when none, or for a response not made by one).
    const std::string& statusText() const { return m_statusText; }
    void setStatusText(std::string text) { m_statusText = std::move(text); }

    // For transports that decode the body: the length of what the caller will receive (-1 unknown).
    void setExpectedContentLength(std::int64_t length) { m_expectedContentLength = length < 0 ? -1 : length; }

    friend bool operator==(const URLResponse&, const URLResponse&) = default;

private:
    std::optional<URL> m_url;
    std::string m_mimeType;
    std::string m_textEncodingName;
    std::int64_t m_expectedContentLength = -1;
    bool m_isHTTP = false;
    int m_statusCode = 0;
    HTTPHeaderFields m_headers;
    std::string m_httpVersion;
    std::string m_statusText;
};

} // namespace platform
