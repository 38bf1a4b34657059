// One HTTP cookie, and the reading of "Set-Cookie" lines (untrusted text) into cookies.
//
// A cookie set with a "Domain" attribute has a domain with a leading "." and is sent to that domain and
// its subdomains; without one it is host-only and its domain is the host. A cookie without "Expires" or
// "Max-Age" is session-only. Limits: the name and value together at most kMaxNameValueBytes. A "Domain" that
// is a public suffix ("com", "co.uk") is refused, unless it is the host itself (the cookie is then host-only).
// "SameSite" is kept as given (Strict, Lax; None, as when it is absent): the store sends a Strict or Lax
// cookie only with a request of its own site.
#pragma once

#include "platform/core/Value.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class HTTPCookieSameSite { None, Lax, Strict };
// How a request relates to the site that makes it: the same site (or a top-level load), or another one.
enum class HTTPCookieSiteContext { SameSite, CrossSite };

class HTTPCookie {
public:
    static constexpr std::size_t kMaxNameValueBytes = 4096;

    HTTPCookie() = default;
    HTTPCookie(std::string name, std::string value, std::string domain, std::string path = "/");

    const std::string& name() const { return m_name; }
    const std::string& value() const { return m_value; }
    const std::string& domain() const { return m_domain; }
    const std::string& path() const { return m_path; }
    const std::optional<Date>& expiresDate() const { return m_expires; }
    bool isSessionOnly() const { return !m_expires.has_value(); }
    bool isSecure() const { return m_secure; }
    bool isHTTPOnly() const { return m_httpOnly; }
    HTTPCookieSameSite sameSite() const { return m_sameSite; }

    void setExpiresDate(std::optional<Date> d) { m_expires = d; }
    void setSecure(bool b) { m_secure = b; }
    void setHTTPOnly(bool b) { m_httpOnly = b; }
    void setSameSite(HTTPCookieSameSite policy) { m_sameSite = policy; }

    // Whether the cookie goes with a request to this host and path (not looking at expiry).
    bool matches(std::string_view host, std::string_view path, bool secureScheme) const;
    bool isExpired(double nowSecondsSince1970) const;
    // Same name, domain (case-insensitive) and path: a newer cookie replaces an older one.
    bool isSameCookieAs(const HTTPCookie& other) const;

    // Reads one "Set-Cookie" value received from `host` for a request path. No cookie for text without a
    // name, for a "Domain" that does not cover the host, or past the limits.
    static std::optional<HTTPCookie> fromSetCookie(std::string_view setCookie, std::string_view host,
                                                   std::string_view requestPath, double nowSecondsSince1970);
    // {"Cookie": "a=1; b=2"}, or an empty dictionary when there are no cookies.
    static Dictionary requestHeaderFieldsWithCookies(const std::vector<HTTPCookie>& cookies);

    friend bool operator==(const HTTPCookie&, const HTTPCookie&) = default;

private:
    std::string m_name;
    std::string m_value;
    std::string m_domain;
    std::string m_path = "/";
    std::optional<Date> m_expires;
    bool m_secure = false;
    bool m_httpOnly = false;
    HTTPCookieSameSite m_sameSite = HTTPCookieSameSite::None;
};

} // namespace platform
