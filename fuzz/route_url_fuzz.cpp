// Reads arbitrary text as a route URL (what a page or the web process may send to the engine's "hybroute"
// scheme); a URL read from it must route back to the same text.
#include "webengine/RouteURL.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    for (const std::string& candidate : {std::string(text), std::string(webengine::kRoutePrefix) + std::string(text)}) {
        const auto original = webengine::originalURLFromRoute(candidate);
        if (!original)
            continue;
        if (original->empty() || original->find('\0') != std::string::npos)
            std::abort();
        const auto again = webengine::originalURLFromRoute(webengine::routeURLForOriginal(*original));
        if (!again || *again != *original)
            std::abort();
    }
    // A file load's route reads as a file URL of an absolute path, and as no other kind.
    const std::string local = std::string(webengine::kLocalRoutePrefix) + std::string(text);
    if (const auto file = webengine::originalURLFromLocalRoute(local)) {
        if (file->rfind("file:///", 0) != 0 || file->find('\0') != std::string::npos || file->find('#') != std::string::npos
            || webengine::originalURLFromRoute(local))
            std::abort();
    }
    // A bridge route reads as its original, never as a load's.
    const std::string bridge = std::string(webengine::kBridgeRoutePrefix) + std::string(text);
    if (const auto original = webengine::originalURLFromBridgeRoute(bridge)) {
        if (original->empty() || original->find('\0') != std::string::npos || webengine::originalURLFromRoute(bridge))
            std::abort();
    }
    return 0;
}
