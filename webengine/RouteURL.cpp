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

// The text a route host names in hexadecimal (labels of at most 62 digits joined by "."), or nothing.
std::optional<std::string> hexHostText(std::string_view host)
{
    std::string text;
    std::size_t label = 0;
    for (std::size_t i = 0; i < host.size(); ++i) {
        if (host[i] == '.') {
            if (label == 0 || i + 1 == host.size())
                return std::nullopt;
            label = 0;
            continue;
        }
        if (!g_ascii_isxdigit(host[i]) || g_ascii_isupper(host[i]) || ++label > 62)
            return std::nullopt;
    }
    std::string digits;
    for (char c : host)
        if (c != '.')
            digits += c;
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        const char c = static_cast<char>(g_ascii_xdigit_value(digits[i]) * 16 + g_ascii_xdigit_value(digits[i + 1]));
        if (c == '\0')
            return std::nullopt;
        text += c;
    }
    return text;
}

constexpr std::string_view kRouteSchemePrefix = "hybroute://";

} // namespace

std::optional<std::string> originalURLFromRoute(std::string_view routeURL)
{
    if (routeURL.substr(0, kRouteSchemePrefix.size()) != kRouteSchemePrefix)
        return std::nullopt;
    const auto end = routeURL.find("/?", kRouteSchemePrefix.size());
    if (end == std::string_view::npos)
        return std::nullopt;
    const std::string_view host = routeURL.substr(kRouteSchemePrefix.size(), end - kRouteSchemePrefix.size());
    if (host != "load" && !hexHostText(host))
        return std::nullopt;
    return originalURLAfter(routeURL.substr(0, end + 2), routeURL);
}

std::optional<std::string> routeOriginSite(std::string_view origin)
{
    if (origin.substr(0, kRouteSchemePrefix.size()) != kRouteSchemePrefix)
        return std::nullopt;
    return hexHostText(origin.substr(kRouteSchemePrefix.size()));
}


std::optional<std::string> originalURLFromLocalRoute(std::string_view routeURL)
{
    // "hybroute-local://load" then the file URL's absolute path (and query), as written.
    if (routeURL.substr(0, kLocalRoutePrefix.size()) != kLocalRoutePrefix)
        return std::nullopt;
    const std::string_view path = routeURL.substr(kLocalRoutePrefix.size());
    if (path.empty() || path[0] != '/' || path.substr(0, 2) == "//" || path.find('\0') != std::string_view::npos
        || path.find('#') != std::string_view::npos)
        return std::nullopt;
    return "file://" + std::string(path);
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
