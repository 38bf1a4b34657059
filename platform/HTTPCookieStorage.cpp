#include "platform/HTTPCookieStorage.h"

#include "platform/HTTPSyntax.h"
#include "platform/PublicSuffix.h"

#include <algorithm>
#include <ctime>
#include <strings.h>

namespace platform {

namespace {

double now() { return static_cast<double>(std::time(nullptr)); }

bool hostCoveredBy(const std::string& host, const std::string& mainHost) {
    // The cookie's host must be of the main document's site (its registrable domain).
    return PublicSuffix::siteOf(host) == PublicSuffix::siteOf(mainHost);
}

// The site a cookie counts against: that of its domain.
std::string siteOfCookie(const HTTPCookie& cookie) {
    std::string_view domain = cookie.domain();
    if (!domain.empty() && domain.front() == '.')
        domain.remove_prefix(1);
    return PublicSuffix::siteOf(domain);
}

} // namespace

HTTPCookieStorage& HTTPCookieStorage::shared() {
    // Never destroyed: the URL-loading thread may store cookies until the very end of the process.
    static auto* storage = new HTTPCookieStorage;
    return *storage;
}

HTTPCookieStorage& HTTPCookieStorage::forForeignContent() {
    static auto* storage = new HTTPCookieStorage;
    return *storage;
}

HTTPCookieAcceptPolicy HTTPCookieStorage::cookieAcceptPolicy() const {
    std::lock_guard lock(m_mutex);
    return m_policy;
}

void HTTPCookieStorage::setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy) {
    std::lock_guard lock(m_mutex);
    m_policy = policy;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookies() const {
    std::lock_guard lock(m_mutex);
    std::vector<HTTPCookie> all;
    all.reserve(m_cookies.size());
    for (const Entry& entry : m_cookies)
        all.push_back(entry.cookie);
    return all;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url, HTTPCookieSiteContext context) const {
    if (!url.host() || url.host()->empty())
        return {};
    bool secure = http::equalsIgnoringCase(url.scheme(), "https");
    std::string path = url.percentEncodedPath().empty() ? "/" : url.percentEncodedPath();
    double t = now();
    std::vector<HTTPCookie> matching;
    {
        std::lock_guard lock(m_mutex);
        for (const Entry& entry : m_cookies) {
            const HTTPCookie& c = entry.cookie;
            if (context == HTTPCookieSiteContext::CrossSite && c.sameSite() != HTTPCookieSameSite::None)
                continue;
            if (!c.isExpired(t) && c.matches(*url.host(), path, secure))
                matching.push_back(c);
        }
    }
    std::stable_sort(matching.begin(), matching.end(),
                     [](const HTTPCookie& a, const HTTPCookie& b) { return a.path().size() > b.path().size(); });
    return matching;
}

void HTTPCookieStorage::eraseLocked(std::size_t index) {
    auto count = m_perSite.find(m_cookies[index].site);
    if (count != m_perSite.end() && --count->second == 0)
        m_perSite.erase(count);
    m_cookies.erase(m_cookies.begin() + static_cast<std::ptrdiff_t>(index));
}

void HTTPCookieStorage::eraseIfLocked(const CookiePredicate& pick) {
    for (std::size_t i = m_cookies.size(); i-- > 0;)
        if (pick(m_cookies[i].cookie))
            eraseLocked(i);
}

void HTTPCookieStorage::storeLocked(const HTTPCookie& cookie, double t) {
    eraseIfLocked([&](const HTTPCookie& c) { return c.isSameCookieAs(cookie); });
    if (cookie.isExpired(t))
        return;
    std::string site = siteOfCookie(cookie);
    // Full: the oldest cookie of the site goes; past the total, the oldest of the site that keeps the most.
    std::string evicted;
    if (auto count = m_perSite.find(site); count != m_perSite.end() && count->second >= kMaxCookiesPerSite) {
        evicted = site;
    } else if (m_cookies.size() >= kMaxCookies) {
        std::size_t most = 0;
        for (const auto& [name, kept] : m_perSite) {
            if (kept > most) {
                most = kept;
                evicted = name;
            }
        }
    }
    if (!evicted.empty() || m_cookies.size() >= kMaxCookies) {
        for (std::size_t i = 0; i < m_cookies.size(); ++i) {
            if (evicted.empty() || m_cookies[i].site == evicted) {
                eraseLocked(i);
                break;
            }
        }
    }
    ++m_perSite[site];
    m_cookies.push_back(Entry{cookie, std::move(site)});
}

void HTTPCookieStorage::setCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(m_mutex);
    storeLocked(cookie, now());
}

void HTTPCookieStorage::setCookies(const std::vector<HTTPCookie>& cookies, const URL& url, const std::optional<URL>& mainDocumentURL) {
    HTTPCookieAcceptPolicy policy = cookieAcceptPolicy();
    if (policy == HTTPCookieAcceptPolicy::Never)
        return;
    if (policy == HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain && mainDocumentURL) {
        if (!url.host() || !mainDocumentURL->host() || !hostCoveredBy(*url.host(), *mainDocumentURL->host()))
            return;
    }
    std::lock_guard lock(m_mutex);
    double t = now();
    for (const HTTPCookie& c : cookies)
        storeLocked(c, t);
}

void HTTPCookieStorage::deleteCookie(const HTTPCookie& cookie) {
    std::lock_guard lock(m_mutex);
    eraseIfLocked([&](const HTTPCookie& c) { return c.isSameCookieAs(cookie); });
}

namespace {
HTTPCookieStorage::DocumentCookieEraser& documentCookieEraser() {
    static auto* eraser = new HTTPCookieStorage::DocumentCookieEraser;
    return *eraser;
}
} // namespace

void HTTPCookieStorage::deleteCookies(const CookiePredicate& pick) {
    {
        std::lock_guard lock(m_mutex);
        eraseIfLocked(pick);
    }
    if (const DocumentCookieEraser& eraser = documentCookieEraser())
        eraser(pick);
}

void HTTPCookieStorage::setDocumentCookieEraser(DocumentCookieEraser eraser) { documentCookieEraser() = std::move(eraser); }

std::optional<std::string> HTTPCookieStorage::cookieHeaderForURL(const URL& url, HTTPCookieSiteContext context) const {
    Dictionary fields = HTTPCookie::requestHeaderFieldsWithCookies(cookiesForURL(url, context));
    if (const std::string* header = fields["Cookie"].getString())
        return *header;
    return std::nullopt;
}

void HTTPCookieStorage::storeSetCookieValues(const std::vector<std::string>& values, const URL& url,
                                             const std::optional<URL>& mainDocumentURL, HTTPCookieSiteContext context) {
    if (!url.host() || url.host()->empty())
        return;
    std::string path = url.percentEncodedPath().empty() ? "/" : url.percentEncodedPath();
    std::vector<HTTPCookie> received;
    double t = now();
    for (const std::string& v : values)
        if (auto cookie = HTTPCookie::fromSetCookie(v, *url.host(), path, t);
            cookie && (context == HTTPCookieSiteContext::SameSite || cookie->sameSite() == HTTPCookieSameSite::None))
            received.push_back(std::move(*cookie));
    setCookies(received, url, mainDocumentURL);
}

} // namespace platform
