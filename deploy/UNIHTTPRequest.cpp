#include "deploy/UNIHTTPRequest.h"

#include "deploy/UNIHTTPClientHelper.h"

#include <cctype>

namespace deploy {

const char* methodName(UNIHTTPMethod method) {
    switch (method) {
    case UNIHTTPMethod::GET:
        return "GET";
    case UNIHTTPMethod::POST:
        return "POST";
    case UNIHTTPMethod::PUT:
        return "PUT";
    case UNIHTTPMethod::DELETE:
        return "DELETE";
    case UNIHTTPMethod::PATCH:
        return "PATCH";
    }
    return "GET";
}

UNIHTTPRequest::UNIHTTPRequest(UNIHTTPMethod method, std::string url, const platform::Dictionary& headers,
                               std::string username, std::string password)
    : m_url(std::move(url)), m_username(std::move(username)), m_password(std::move(password)), m_httpMethod(method) {
    for (const auto& field : headers) {
        std::string name = field.key;
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        m_headers.set(std::move(name), field.value);
    }
}

platform::Result<UNIHTTPStringResponse> UNIHTTPRequest::asString() const {
    auto response = UNIHTTPClientHelper::requestSync(*this);
    if (!response)
        return response.error();
    return UNIHTTPStringResponse(*response);
}

platform::Result<UNIHTTPBinaryResponse> UNIHTTPRequest::asBinary() const {
    auto response = UNIHTTPClientHelper::requestSync(*this);
    if (!response)
        return response.error();
    return UNIHTTPBinaryResponse(*response);
}

platform::Result<UNIHTTPJsonResponse> UNIHTTPRequest::asJson() const {
    auto response = UNIHTTPClientHelper::requestSync(*this);
    if (!response)
        return response.error();
    return UNIHTTPJsonResponse(*response);
}

template <class Response>
std::shared_ptr<UNIUrlConnection> UNIHTTPRequest::sendAsync(Handler<Response> handler) const {
    return UNIHTTPClientHelper::requestAsync(
        *this, [handler = std::move(handler)](std::optional<UNIHTTPResponse> response, std::optional<platform::Error> error) {
            if (error || !response)
                handler(std::nullopt, std::move(error));
            else
                handler(Response(*response), std::nullopt);
        });
}

std::shared_ptr<UNIUrlConnection> UNIHTTPRequest::asStringAsync(Handler<UNIHTTPStringResponse> handler) const {
    return sendAsync<UNIHTTPStringResponse>(std::move(handler));
}
std::shared_ptr<UNIUrlConnection> UNIHTTPRequest::asBinaryAsync(Handler<UNIHTTPBinaryResponse> handler) const {
    return sendAsync<UNIHTTPBinaryResponse>(std::move(handler));
}
std::shared_ptr<UNIUrlConnection> UNIHTTPRequest::asJsonAsync(Handler<UNIHTTPJsonResponse> handler) const {
    return sendAsync<UNIHTTPJsonResponse>(std::move(handler));
}

} // namespace deploy
