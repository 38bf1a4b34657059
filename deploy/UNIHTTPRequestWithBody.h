// A request that may carry a body: either given bytes (the entity verbs) or parameters that become a
// form or multipart body (or, for GET, the query string).
#pragma once

#include "deploy/UNIHTTPRequest.h"
#include "deploy/UNIParameters.h"

#include <optional>

namespace deploy {

class UNIHTTPRequestWithBody : public UNIHTTPRequest {
public:
    static UNIHTTPRequestWithBody withParameters(UNIHTTPMethod method, std::string url, const platform::Dictionary& headers,
                                                 UNIParameters parameters, std::string username, std::string password) {
        UNIHTTPRequestWithBody request(method, std::move(url), headers, std::move(username), std::move(password));
        request.m_parameters = std::move(parameters);
        return request;
    }
    static UNIHTTPRequestWithBody withBody(UNIHTTPMethod method, std::string url, const platform::Dictionary& headers,
                                           std::optional<platform::Bytes> body, std::string username, std::string password) {
        UNIHTTPRequestWithBody request(method, std::move(url), headers, std::move(username), std::move(password));
        request.m_body = std::move(body);
        return request;
    }

    const std::optional<platform::Bytes>& body() const { return m_body; }
    const UNIParameters& parameters() const { return m_parameters; }

private:
    using UNIHTTPRequest::UNIHTTPRequest;

    std::optional<platform::Bytes> m_body;
    UNIParameters m_parameters;
};

} // namespace deploy
