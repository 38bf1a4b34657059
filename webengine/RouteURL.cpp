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

std::optional<std::string> loopbackURLFor(std::string_view url, std::uint16_t port)
{
    const auto colon = url.find("://");
    if (colon == std::string_view::npos)
        return std::nullopt;
    std::string scheme(url.substr(0, colon));
    for (char& c : scheme)
        c = g_ascii_tolower(c);
    if (scheme != "http" && scheme != "https")
        return std::nullopt;
    const std::size_t start = colon + 3;
    std::size_t end = url.find_first_of("/?#", start);
    if (end == std::string_view::npos)
        end = url.size();
    std::string_view authority = url.substr(start, end - start);
    std::string userinfo;
    if (const auto at = authority.rfind('@'); at != std::string_view::npos) {
        userinfo = std::string(authority.substr(0, at + 1));
        authority.remove_prefix(at + 1);
    }
    // The origin as an "Origin" header writes it: the host in lower case, the scheme's own port left out.
    std::string host(authority);
    std::string portText;
    const auto closing = host.rfind(']');
    if (const auto portColon = host.rfind(':'); portColon != std::string::npos && (closing == std::string::npos || portColon > closing)) {
        portText = host.substr(portColon + 1);
        host.resize(portColon);
    }
    for (char c : portText)
        if (!g_ascii_isdigit(c))
            return std::nullopt;
    if (host.empty() || (!portText.empty() && (portText.size() > 5 || std::stoi(portText) > 65535)))
        return std::nullopt;
    for (char& c : host)
        c = g_ascii_tolower(c);
    std::string origin = scheme + "://" + host;
    if (!portText.empty() && std::stoi(portText) != (scheme == "https" ? 443 : 80))
        origin += ":" + std::to_string(std::stoi(portText));
    // In labels of at most 62 digits, the whole name within 253 characters.
    std::string hex;
    for (std::size_t i = 0; i < origin.size(); ++i) {
        if (i && (i * 2) % 62 == 0)
            hex += '.';
        static const char digits[] = "0123456789abcdef";
        hex += digits[static_cast<unsigned char>(origin[i]) >> 4];
        hex += digits[static_cast<unsigned char>(origin[i]) & 15];
    }
    constexpr std::string_view kSuffix = ".localhost";
    if (hex.size() + kSuffix.size() > 253)
        return std::nullopt;
    std::string_view rest = url.substr(end);
    rest = rest.substr(0, rest.find('#'));
    return "http://" + userinfo + hex + std::string(kSuffix) + ":" + std::to_string(port) + (rest.empty() || rest[0] == '?' ? "/" : "")
           + std::string(rest);
}

std::optional<std::string> originOfLoopbackHost(std::string_view host, std::uint16_t port)
{
    const std::string suffix = ".localhost:" + std::to_string(port);
    if (host.size() <= suffix.size() || g_ascii_strcasecmp(std::string(host.substr(host.size() - suffix.size())).c_str(), suffix.c_str()) != 0)
        return std::nullopt;
    std::string hex(host.substr(0, host.size() - suffix.size()));
    for (char& c : hex)
        c = g_ascii_tolower(c);
    std::optional<std::string> origin = hexHostText(hex);
    if (!origin || (origin->rfind("http://", 0) != 0 && origin->rfind("https://", 0) != 0))
        return std::nullopt;
    // An origin only: a host and a port, nothing a URL would read as a path, a query, credentials or a break.
    for (std::size_t i = origin->find("://") + 3; i < origin->size(); ++i) {
        const unsigned char c = static_cast<unsigned char>((*origin)[i]);
        if (c <= ' ' || c >= 0x7f || c == '/' || c == '?' || c == '#' || c == '@' || c == '\\')
            return std::nullopt;
    }
    return origin;
}

std::string routeURLForOriginal(std::string_view originalURL)
{
    const std::string original(originalURL);
    GCharPtr escaped(g_uri_escape_string(original.c_str(), nullptr, FALSE));
    return std::string(kRoutePrefix) + escaped.get();
}

} // namespace webengine
