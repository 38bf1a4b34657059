// A request made by one of UNIRest's verbs, ready to be sent synchronously or asynchronously and its
// reply read as bytes, text or JSON. Header names are lower-cased when the request is made.
//
// Synchronous senders block the calling thread and answer the typed reply (any HTTP status) or the
// URL-loading error. Asynchronous senders answer at most once, on a new serial queue of their own, with
// either a reply or an error, and return the connection (cancel it to get no answer at all).
#pragma once

#include "deploy/UNIHTTPBinaryResponse.h"
#include "deploy/UNIHTTPJsonResponse.h"
#include "deploy/UNIHTTPStringResponse.h"
#include "platform/core/Error.h"
#include "platform/core/Value.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace deploy {

class UNIUrlConnection;

enum class UNIHTTPMethod : std::int64_t { GET = 0, POST = 1, PUT = 2, DELETE = 3, PATCH = 4 };
const char* methodName(UNIHTTPMethod method);

class UNIHTTPRequest {
public:
    template <class Response>
    using Handler = std::function<void(std::optional<Response> response, std::optional<platform::Error> error)>;

    UNIHTTPRequest(UNIHTTPMethod method, std::string url, const platform::Dictionary& headers, std::string username,
                   std::string password);
    virtual ~UNIHTTPRequest() = default;

    UNIHTTPMethod httpMethod() const { return m_httpMethod; }
    const std::string& url() const { return m_url; }
    const platform::Dictionary& headers() const { return m_headers; }
    const std::string& username() const { return m_username; }
    const std::string& password() const { return m_password; }

    platform::Result<UNIHTTPStringResponse> asString() const;
    platform::Result<UNIHTTPBinaryResponse> asBinary() const;
    platform::Result<UNIHTTPJsonResponse> asJson() const;

    std::shared_ptr<UNIUrlConnection> asStringAsync(Handler<UNIHTTPStringResponse> handler) const;
    std::shared_ptr<UNIUrlConnection> asBinaryAsync(Handler<UNIHTTPBinaryResponse> handler) const;
    std::shared_ptr<UNIUrlConnection> asJsonAsync(Handler<UNIHTTPJsonResponse> handler) const;

private:
    template <class Response>
    std::shared_ptr<UNIUrlConnection> sendAsync(Handler<Response> handler) const;

    platform::Dictionary m_headers;
    std::string m_url;
    std::string m_username;
    std::string m_password;
    UNIHTTPMethod m_httpMethod;
};

} // namespace deploy
