#include "platform/URLRequest.h"

#include <algorithm>
#include <cctype>

namespace platform {

URLRequest::URLRequest(std::string url, URLRequestCachePolicy cachePolicy, double timeoutInterval)
    : m_url(std::move(url)), m_timeoutInterval(timeoutInterval), m_cachePolicy(cachePolicy) {}

std::string URLRequest::scheme() const {
    std::size_t colon = m_url.find(':');
    if (colon == std::string::npos || colon == 0)
        return {};
    std::string s = m_url.substr(0, colon);
    bool valid = std::isalpha(static_cast<unsigned char>(s[0])) && std::all_of(s.begin(), s.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
    if (!valid)
        return {};
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
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
