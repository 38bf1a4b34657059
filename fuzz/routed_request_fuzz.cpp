// A page's sub-resource request as the web process hands it back: the route URL, the method, the header
// lines and the body, all outside input (a page writes them). Input: "<route URL>\n<method>\n<name: value
// lines>\n\n<body>". Whatever comes, the platform request built from it carries only sendable headers,
// the method and the body as given, and a URL only when the route held one.
#include "webengine/RouteURL.h"
#include "webengine/RoutedLoad.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::string_view takeLine(std::string_view& text) {
    const std::size_t end = text.find('\n');
    const std::string_view line = text.substr(0, end);
    text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
    return line;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view route = takeLine(text);
    const std::string method(takeLine(text));
    webengine::HeaderList headers;
    while (!text.empty()) {
        const std::string_view line = takeLine(text);
        if (line.empty())
            break;
        const std::size_t colon = line.find(':');
        headers.emplace_back(line.substr(0, colon), colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1));
    }
    const std::string_view body = text;

    const std::optional<std::string> original = webengine::originalURLFromRoute(route);
    if (!original)
        return 0;
    const platform::URLRequest request =
        webengine::RoutedLoad::platformRequestFor(*original, method, headers, body, "file:///www/index.html");
    if (request.httpMethod() != method || request.allHTTPHeaderFields().size() > headers.size())
        std::abort();
    for (const auto& [name, value] : request.allHTTPHeaderFields().fields())
        if (!platform::HTTPHeaderFields::isValidName(name) || !platform::HTTPHeaderFields::isValidValue(value))
            std::abort();
    const std::optional<platform::Bytes>& sent = request.httpBody();
    if (body.empty() ? sent.has_value() : (!sent || std::string_view(reinterpret_cast<const char*>(sent->data()), sent->size()) != body))
        std::abort();
    if (const auto& url = request.url()) {
        const auto again = platform::URL::fromString(url->absoluteString());
        if (!again || !(*again == *url))
            std::abort();
    }
    return 0;
}
