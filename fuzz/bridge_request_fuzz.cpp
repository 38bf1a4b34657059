// Feeds the headers of the page's bridge requests to the bridge's request reading: the input's first
// line is the "vc" header (absent when the line is empty), the rest the "User-Agent" header. Checks that
// a number written out reads back as itself. The same text read as a URL: the web-process module's reading
// of the bridge path (webprocess/BridgePath.h) agrees with the URL's own path as written.
#include "platform/net/URLRequest.h"
#include "platform/text/URL.h"
#include "runtime/HYBURLProtocol.h"
#include "webprocess/BridgePath.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::int64_t number = runtime::HYBURLProtocol::longLongValue(text);
    if (runtime::HYBURLProtocol::longLongValue(std::to_string(number)) != number)
        std::abort();

    if (std::optional<platform::URL> url = platform::URL::fromString(text); url && !url->scheme().empty()) {
        const bool bridge = hyb_url_has_bridge_path(url->absoluteString().c_str()) != 0;
        if (bridge != (url->percentEncodedPath() == HYB_BRIDGE_PATH))
            std::abort();
    }

    platform::URLRequest request(std::string_view("http://localhost/!hyb_exec"));
    std::size_t newline = text.find('\n');
    std::string_view vc = text.substr(0, newline);
    if (!vc.empty())
        (void)request.setValue(vc, "vc");
    if (newline != std::string_view::npos)
        (void)request.setValue(text.substr(newline + 1), "User-Agent");
    std::optional<std::int64_t> found = runtime::HYBURLProtocol::registryNumberOfRequest(request);
    if (request.valueForHTTPHeaderField("vc") && !found)
        std::abort();
    return 0;
}
