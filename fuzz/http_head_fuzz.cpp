// Feeds arbitrary bytes to the reading of response heads (line by line, as the transport hands them
// over) and of "Set-Cookie" values, and checks what the limits and the cookie store promise.
#include "fuzz/FuzzHead.h"
#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    platform::HTTPResponseHead head;
    (void)head.consumeLine("HTTP/1.1 200 OK\r\n");
    fuzzing::consumeLines(head, text);
    if (head.fields().size() > platform::HTTPResponseHead::kMaxFields ||
        head.setCookieValues().size() > platform::HTTPResponseHead::kMaxSetCookies)
        std::abort();
    for (const auto& [name, value] : head.fields().fields())
        if (!platform::HTTPHeaderFields::isValidName(name) || !platform::HTTPHeaderFields::isValidValue(value))
            std::abort();

    const double now = 1'800'000'000;
    platform::HTTPCookieStorage storage;
    auto url = platform::URL::fromString("http://www.example.com/dir/page");
    storage.storeSetCookieValues(head.setCookieValues(), *url, std::nullopt);
    if (auto cookie = platform::HTTPCookie::fromSetCookie(text, "www.example.com", "/dir/page", now)) {
        if (cookie->name().empty() || cookie->name().size() + cookie->value().size() > platform::HTTPCookie::kMaxNameValueBytes)
            std::abort();
        // A cookie read from a reply is always sent back to the host that set it, at its own path.
        if (!cookie->isSecure() && !cookie->matches("www.example.com", cookie->path(), false))
            std::abort();
    }
    // Whatever was stored goes out as a header value that can be sent.
    if (auto header = storage.cookieHeaderForURL(*url); header && !platform::HTTPHeaderFields::isValidValue(*header))
        std::abort();
    return 0;
}
