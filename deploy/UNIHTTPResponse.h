// A reply as the HTTP client hands it out: the status code, every header field and the raw body. The
// typed replies add the body read as bytes, text or JSON.
#pragma once

#include "platform/core/Value.h"

#include <cstdint>
#include <string>

namespace deploy {

class UNIHTTPResponse {
public:
    UNIHTTPResponse() = default;
    UNIHTTPResponse(std::int64_t code, platform::Dictionary headers, platform::Bytes rawBody)
        : m_code(code), m_headers(std::move(headers)), m_rawBody(std::move(rawBody)) {}
    virtual ~UNIHTTPResponse() = default;

    std::int64_t code() const { return m_code; }
    const platform::Dictionary& headers() const { return m_headers; }
    const platform::Bytes& rawBody() const { return m_rawBody; }

private:
    std::int64_t m_code = 0;
    platform::Dictionary m_headers;
    platform::Bytes m_rawBody;
};

} // namespace deploy
