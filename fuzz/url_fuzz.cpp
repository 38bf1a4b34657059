// Parses arbitrary text as a URL, alone and against a base, and exercises every accessor and the
// escaping round trips.
#include "platform/text/PercentEscaping.h"
#include "platform/text/URL.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    static const platform::URL base = *platform::URL::fromString("http://u:p@a:81/b/c/d;p?q#f");
    for (auto url : {platform::URL::fromString(text), platform::URL::fromString(text, base)}) {
        if (!url)
            continue;
        // A parsed URL's text parses again to the same URL.
        auto again = platform::URL::fromString(url->absoluteString());
        if (!again || !(*again == *url))
            std::abort();
        (void)url->path();
        (void)url->pathComponents();
        (void)url->pathExtension();
        (void)url->resourceSpecifier();
    }
    std::string escaped = platform::escapeURLComponent(text);
    auto decoded = platform::removePercentEscapes(escaped);
    if (decoded && *decoded != text)
        std::abort();
    (void)platform::removePercentEscapes(text, platform::PlusHandling::AsSpace);
    (void)platform::URL::fileURLWithPath(text, true);
    return 0;
}
