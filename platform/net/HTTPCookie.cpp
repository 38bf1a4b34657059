#include "platform/net/HTTPCookie.h"

#include "platform/net/HTTPSyntax.h"
#include "platform/net/PublicSuffix.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <curl/curl.h>
#include <strings.h>

namespace platform {

namespace {

using http::equalsIgnoringCase;
using http::lowercased;
using http::trimmed;


bool isIPAddress(const std::string& host) { return PublicSuffix::isIPAddress(host); }

// RFC 6265 5.1.3: the host equals the domain or ends with "." and the domain (not for IP addresses).
bool domainMatches(std::string_view host, std::string_view domain) {
    if (equalsIgnoringCase(host, domain))
        return true;
    if (host.size() <= domain.size() || isIPAddress(std::string(host)))
        return false;
    std::string_view tail = host.substr(host.size() - domain.size());
    return host[host.size() - domain.size() - 1] == '.' && equalsIgnoringCase(tail, domain);
}

// RFC 6265 5.1.4: the directory of the request path.
std::string defaultPath(std::string_view requestPath) {
    if (requestPath.empty() || requestPath.front() != '/')
        return "/";
    std::size_t slash = requestPath.rfind('/');
    if (slash == 0)
        return "/";
    return std::string(requestPath.substr(0, slash));
}

bool hasControlCharacters(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && c != '\t') || u == 0x7f;
    });
}

} // namespace

HTTPCookie::HTTPCookie(std::string name, std::string value, std::string domain, std::string path)
    : m_name(std::move(name)), m_value(std::move(value)), m_domain(std::move(domain)), m_path(std::move(path)) {}

bool HTTPCookie::matches(std::string_view host, std::string_view path, bool secureScheme) const {
    if (m_secure && !secureScheme)
        return false;
    bool hostOK = !m_domain.empty() && m_domain.front() == '.'
                      ? domainMatches(host, std::string_view(m_domain).substr(1))
                      : equalsIgnoringCase(host, m_domain);
    if (!hostOK)
        return false;
    if (path.empty())
        path = "/";
    if (path == m_path)
        return true;
    if (path.substr(0, m_path.size()) != m_path)
        return false;
    return m_path.back() == '/' || (path.size() > m_path.size() && path[m_path.size()] == '/');
}

bool HTTPCookie::isExpired(double now) const {
    return m_expires && m_expires->secondsSince1970 <= now;
}

bool HTTPCookie::isSameCookieAs(const HTTPCookie& other) const {
    return m_name == other.m_name && equalsIgnoringCase(m_domain, other.m_domain) && m_path == other.m_path;
}

std::optional<HTTPCookie> HTTPCookie::fromSetCookie(std::string_view text, std::string_view host, std::string_view requestPath,
                                                    double now) {
    if (host.empty() || hasControlCharacters(text))
        return std::nullopt;
    std::size_t semi = text.find(';');
    std::string_view pair = text.substr(0, semi);
    std::size_t equals = pair.find('=');
    if (equals == std::string_view::npos)
        return std::nullopt;
    std::string_view name = trimmed(pair.substr(0, equals));
    std::string_view value = trimmed(pair.substr(equals + 1));
    if (name.empty() || name.size() + value.size() > kMaxNameValueBytes)
        return std::nullopt;

    HTTPCookie cookie(std::string(name), std::string(value), lowercased(host), defaultPath(requestPath));
    std::optional<double> expiresAttribute;
    std::optional<double> maxAgeAttribute;
    while (semi != std::string_view::npos) {
        text.remove_prefix(semi + 1);
        semi = text.find(';');
        std::string_view attribute = text.substr(0, semi);
        std::size_t eq = attribute.find('=');
        std::string_view key = trimmed(attribute.substr(0, eq));
        std::string_view val = eq == std::string_view::npos ? std::string_view() : trimmed(attribute.substr(eq + 1));
        if (equalsIgnoringCase(key, "expires")) {
            std::string date(val);
            time_t t = curl_getdate(date.c_str(), nullptr);
            if (t != -1)
                expiresAttribute = static_cast<double>(t);
        } else if (equalsIgnoringCase(key, "max-age")) {
            long long seconds = 0;
            auto [end, ec] = std::from_chars(val.data(), val.data() + val.size(), seconds);
            if (ec == std::errc() && end == val.data() + val.size() && !val.empty())
                maxAgeAttribute = seconds <= 0 ? 0.0 : now + static_cast<double>(std::min(seconds, 400LL * 86400));
        } else if (equalsIgnoringCase(key, "domain")) {
            std::string_view d = val;
            if (!d.empty() && d.front() == '.')
                d.remove_prefix(1);
            if (d.empty())
                continue;
            if (!domainMatches(host, d))
                return std::nullopt;
            // A public suffix is no one's domain: a cookie for it would go to every site under it. Named by
            // the host itself, the cookie stays that host's alone.
            const bool suffix = PublicSuffix::isPublicSuffix(d);
            if (suffix && !equalsIgnoringCase(host, d))
                return std::nullopt;
            // A domain equal to an IP address host stays host-only.
            if (!suffix && !isIPAddress(std::string(host))) {
                cookie.m_domain.assign(1, '.');
                cookie.m_domain += lowercased(d);
            }
        } else if (equalsIgnoringCase(key, "path")) {
            if (!val.empty() && val.front() == '/')
                cookie.m_path = std::string(val);
        } else if (equalsIgnoringCase(key, "secure")) {
            cookie.m_secure = true;
        } else if (equalsIgnoringCase(key, "httponly")) {
            cookie.m_httpOnly = true;
        } else if (equalsIgnoringCase(key, "samesite")) {
            if (equalsIgnoringCase(val, "strict"))
                cookie.m_sameSite = HTTPCookieSameSite::Strict;
            else if (equalsIgnoringCase(val, "lax"))
                cookie.m_sameSite = HTTPCookieSameSite::Lax;
            else
                cookie.m_sameSite = HTTPCookieSameSite::None;
        }
    }
    if (maxAgeAttribute)
        cookie.m_expires = Date{*maxAgeAttribute};
    else if (expiresAttribute)
        cookie.m_expires = Date{*expiresAttribute};
    return cookie;
}

Dictionary HTTPCookie::requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies) {
    Dictionary fields;
    if (cookies.empty())
        return fields;
    std::string header;
    for (const HTTPCookie& c : cookies) {
        if (!header.empty())
            header += "; ";
        header += c.m_name + "=" + c.m_value;
    }
    fields.set("Cookie", header);
    return fields;
}

} // namespace platform
