#include "webengine/RouteURL.h"

#include <glib.h>

#include <memory>

namespace webengine {

namespace {

struct GFreeDeleter {
    void operator()(char* p) const { g_free(p); }
};
using GCharPtr = std::unique_ptr<char, GFreeDeleter>;

bool hasScheme(std::string_view url)
{
    const auto colon = url.find(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    if (!g_ascii_isalpha(url[0]))
        return false;
    for (size_t i = 1; i < colon; ++i) {
        const char c = url[i];
        if (!g_ascii_isalnum(c) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return true;
}

std::optional<std::string> originalURLAfter(std::string_view prefix, std::string_view routeURL)
{
    if (routeURL.substr(0, prefix.size()) != prefix)
        return std::nullopt;
    const std::string escaped(routeURL.substr(prefix.size()));
    // g_uri_unescape_string refuses bad escapes and escaped NUL bytes.
    GCharPtr original(g_uri_unescape_string(escaped.c_str(), nullptr));
    if (!original || !*original)
        return std::nullopt;
    std::string text(original.get());
    if (!hasScheme(text))
        return std::nullopt;
    return text;
}

} // namespace

std::optional<std::string> originalURLFromRoute(std::string_view routeURL)
{
    return originalURLAfter(kRoutePrefix, routeURL);
}

std::optional<std::string> originalURLFromLocalRoute(std::string_view routeURL)
{
    std::optional<std::string> original = originalURLAfter(kLocalRoutePrefix, routeURL);
    if (!original || g_ascii_strncasecmp(original->c_str(), "file:", 5) != 0)
        return std::nullopt;
    return original;
}

std::optional<std::string> originalURLFromBridgeRoute(std::string_view routeURL)
{
    return originalURLAfter(kBridgeRoutePrefix, routeURL);
}

std::string routeURLForOriginal(std::string_view originalURL)
{
    const std::string original(originalURL);
    GCharPtr escaped(g_uri_escape_string(original.c_str(), nullptr, FALSE));
    return std::string(kRoutePrefix) + escaped.get();
}

} // namespace webengine
