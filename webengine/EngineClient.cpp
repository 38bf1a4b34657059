#include "webengine/EngineClient.h"

#include "platform/net/URLProtocol.h"

namespace webengine {

void EngineClient::handleBridgeRequest(const std::string& url, const HeaderList& headers, const std::string& mainDocumentURL)
{
    platform::URLRequest request(url);
    for (const auto& [name, value] : headers)
        (void)request.addValue(value, name);
    request.setMainDocumentURL(platform::URL::fromString(mainDocumentURL));
    request.setWebViewIdentifier(webViewIdentifier());
    // Asking is what hands the commands over: the protocol posts them to the main run loop.
    (void)platform::URLProtocol::classForRequest(request);
}

} // namespace webengine
