// Builds the platform request for a UNIHTTPRequest (query string, form or multipart body, header fields,
// cookies, Basic authentication) and sends it.
#pragma once

#include "deploy/UNIHTTPRequest.h"
#include "deploy/UNIHTTPResponse.h"
#include "deploy/UNIParameters.h"
#include "deploy/UNIUrlConnection.h"
#include "platform/core/Error.h"
#include "platform/net/URLRequest.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace deploy {

class UNIHTTPClientHelper {
public:
    static constexpr const char* kUserAgent = "unirest-objc/1.1";
    static constexpr const char* kBoundary = "---------------------------17237809831461299884346131229";
    static constexpr const char* kFormContentType = "application/x-www-form-urlencoded";
    // The longest reply body (after decompression) kept: this client reads the hot-update server's JSON
    // answers, a few hundred bytes. A longer body fails the request with
    // kURLErrorDataLengthExceedsMaximum as it arrives, so a small compressed reply that expands to
    // gigabytes never lands in memory.
    static constexpr std::size_t kMaxResponseLength = 1024 * 1024;

    using Handler = std::function<void(std::optional<UNIHTTPResponse> response, std::optional<platform::Error> error)>;

    // Whether any parameter is a file to upload.
    static bool hasBinaryParameters(const UNIParameters& parameters);
    // Percent-escapes everything that may not stand in a URL and also "!*'();:@&=+$,/?%#[]".
    static std::string encodeURI(std::string_view text);
    // "name=value" pairs joined with "&", files left out; "" when there are none.
    static std::string dictionaryToQuerystring(const UNIParameters& parameters);
    // An error when a header field cannot be sent as given (CR or LF in it).
    static platform::Result<platform::URLRequest> prepareRequest(const UNIHTTPRequest& request);
    static platform::Result<UNIHTTPResponse> requestSync(const UNIHTTPRequest& request);
    static std::shared_ptr<UNIUrlConnection> requestAsync(const UNIHTTPRequest& request, Handler handler);
    // None when there is no data.
    static std::optional<UNIHTTPResponse> getResponse(const std::optional<platform::URLResponse>& response,
                                                      const std::optional<platform::Bytes>& data);
};

} // namespace deploy
