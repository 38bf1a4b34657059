#include "platform/net/URLRequest.h"

#include "platform/net/HTTPSyntax.h"

namespace platform {

URLRequest::URLRequest(URL url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : m_url(std::move(url)), m_timeoutInterval(timeoutInterval), m_cachePolicy(cachePolicy) {}

URLRequest::URLRequest(std::string_view urlText, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : m_url(URL::fromString(urlText)), m_timeoutInterval(timeoutInterval), m_cachePolicy(cachePolicy) {}

std::string URLRequest::scheme() const {
    return m_url ? http::lowercased(m_url->scheme()) : std::string();
}

bool URLRequest::transportMayResend() const {
    if (m_transportMayResend)
        return *m_transportMayResend;
    // Method names are case-sensitive: "post" is not POST, and not safe either.
    return m_method == "GET" || m_method == "HEAD" || m_method == "OPTIONS" || m_method == "TRACE";
}

void URLRequest::setHTTPBody(Bytes body) {
    m_body = std::move(body);
    m_bodyStream.reset();
}

void URLRequest::setHTTPBody(std::string_view body) {
    setHTTPBody(Bytes(body.begin(), body.end()));
}

void URLRequest::setHTTPBodyStream(std::shared_ptr<InputStream> stream) {
    m_bodyStream = std::move(stream);
    m_body.reset();
}

} // namespace platform
