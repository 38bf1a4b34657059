#include "deploy/UNIHTTPClientHelper.h"

#include "deploy/Base64.h"
#include "deploy/UNIHTTPRequestWithBody.h"
#include "deploy/UNIRest.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"
#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "platform/text/PercentEscaping.h"

#include <fstream>
#include <iterator>

namespace deploy {

namespace {

void append(platform::Bytes& out, std::string_view text) { out.insert(out.end(), text.begin(), text.end()); }

platform::Bytes readFileURL(const platform::URL& url) {
    if (!url.isFileURL())
        return {};
    std::ifstream in(url.path(), std::ios::binary);
    if (!in)
        return {};
    return platform::Bytes(std::istreambuf_iterator<char>(in), {});
}

platform::Bytes multipartBody(const UNIParameters& parameters) {
    const std::string boundary = UNIHTTPClientHelper::kBoundary;
    platform::Bytes body;
    for (const auto& parameter : parameters) {
        append(body, "\r\n--" + boundary + "\r\n");
        if (const platform::URL* file = std::get_if<platform::URL>(&parameter.value)) {
            platform::Bytes data = readFileURL(*file);
            append(body, "Content-Disposition: form-data; name=\"" + parameter.name + "\"; filename=\"" +
                             file->lastPathComponent() + "\"\r\n");
            append(body, "Content-Length: " + std::to_string(data.size()) + "\r\n\r\n");
            body.insert(body.end(), data.begin(), data.end());
        } else {
            append(body, "Content-Disposition: form-data; name=\"" + parameter.name + "\"\r\n\r\n");
            append(body, std::get<platform::Value>(parameter.value).description());
        }
    }
    append(body, "\r\n--" + boundary + "--\r\n");
    return body;
}

} // namespace

bool UNIHTTPClientHelper::hasBinaryParameters(const UNIParameters& parameters) {
    for (const auto& parameter : parameters) {
        if (std::holds_alternative<platform::URL>(parameter.value))
            return true;
    }
    return false;
}

std::string UNIHTTPClientHelper::encodeURI(std::string_view text) {
    return platform::addPercentEscapes(text, "", "!*'();:@&=+$,/?%#[]");
}

std::string UNIHTTPClientHelper::dictionaryToQuerystring(const UNIParameters& parameters) {
    std::string query;
    for (const auto& parameter : parameters) {
        const platform::Value* value = std::get_if<platform::Value>(&parameter.value);
        if (!value || value->isNull())
            continue;
        if (!query.empty())
            query += '&';
        query += encodeURI(parameter.name) + "=" + encodeURI(value->description());
    }
    return query;
}

platform::Result<platform::URLRequest> UNIHTTPClientHelper::prepareRequest(const UNIHTTPRequest& request) {
    platform::Dictionary headers = request.headers();
    const auto* withBody = dynamic_cast<const UNIHTTPRequestWithBody*>(&request);
    static const UNIParameters kNoParameters;
    const UNIParameters& parameters = withBody ? withBody->parameters() : kNoParameters;

    std::string url = request.url();
    if (request.httpMethod() == UNIHTTPMethod::GET && !parameters.empty()) {
        url.push_back(url.find('?') == std::string::npos ? '?' : '&');
        url.append(dictionaryToQuerystring(parameters));
    }

    platform::URLRequest prepared(url, platform::URLRequestCachePolicy::UseProtocolCachePolicy, UNIRest::timeout());
    if (request.httpMethod() != UNIHTTPMethod::GET) {
        if (withBody && withBody->body()) {
            prepared.setHTTPBody(*withBody->body());
        } else if (hasBinaryParameters(parameters)) {
            headers.set("content-type", std::string("multipart/form-data; boundary=") + kBoundary);
            prepared.setHTTPBody(multipartBody(parameters));
        } else {
            headers.set("content-type", kFormContentType);
            prepared.setHTTPBody(std::string_view(dictionaryToQuerystring(parameters)));
        }
    }
    prepared.setHTTPMethod(methodName(request.httpMethod()));
    headers.set("user-agent", kUserAgent);
    headers.set("accept-encoding", "gzip");
    std::optional<platform::URL> cookieURL = platform::URL::fromString(url);
    platform::Dictionary cookies = platform::HTTPCookie::requestHeaderFieldsWithCookies(
        cookieURL ? platform::HTTPCookieStorage::shared().cookiesForURL(*cookieURL) : std::vector<platform::HTTPCookie>{});
    for (const auto& field : cookies)
        headers.set(field.key, field.value);
    if (!request.username().empty() || !request.password().empty())
        headers.set("authorization", "Basic " + Base64::base64String(request.username() + ":" + request.password()));

    const platform::Dictionary defaults = UNIRest::defaultHeaders();
    for (const platform::Dictionary* source : {&defaults, static_cast<const platform::Dictionary*>(&headers)}) {
        for (const auto& field : *source) {
            if (auto added = prepared.addValue(field.value.description(), field.key); !added)
                return added.error();
        }
    }
    return prepared;
}

std::optional<UNIHTTPResponse> UNIHTTPClientHelper::getResponse(const std::optional<platform::URLResponse>& response,
                                                                const std::optional<platform::Bytes>& data) {
    if (!data)
        return std::nullopt;
    if (!response)
        return UNIHTTPResponse(0, {}, *data);
    return UNIHTTPResponse(response->statusCode(), response->allHeaderFields().dictionary(), *data);
}

platform::Result<UNIHTTPResponse> UNIHTTPClientHelper::requestSync(const UNIHTTPRequest& request) {
    auto prepared = prepareRequest(request);
    if (!prepared)
        return prepared.error();
    auto reply = platform::URLConnection::sendSynchronousRequest(*prepared, kMaxResponseLength);
    if (!reply)
        return reply.error();
    return *getResponse(reply->response, reply->data);
}

std::shared_ptr<UNIUrlConnection> UNIHTTPClientHelper::requestAsync(const UNIHTTPRequest& request, Handler handler) {
    auto queue = platform::DispatchQueue::createSerial("UNIRest");
    auto prepared = prepareRequest(request);
    if (!prepared) {
        queue->async([handler = std::move(handler), error = prepared.error()] { handler(std::nullopt, error); });
        return nullptr;
    }
    const std::string url = prepared->urlString();
    return UNIUrlConnection::sendAsynchronousRequest(
        *prepared, queue,
        [handler = std::move(handler), url](std::optional<platform::URLResponse> response, std::optional<platform::Bytes> data,
                                            std::optional<platform::Error> error) {
            if (error) {
                handler(std::nullopt, std::move(error));
                return;
            }
            if (!response) {
                // The connection could not be made: no reply and no error from below.
                handler(std::nullopt, platform::makeURLError(platform::kURLErrorCannotConnectToHost,
                                                             "Could not connect to the server.", url));
                return;
            }
            // A reply with an empty body still reaches the caller, with an empty body.
            handler(getResponse(response, data ? data : platform::Bytes{}), std::nullopt);
        });
}

} // namespace deploy
