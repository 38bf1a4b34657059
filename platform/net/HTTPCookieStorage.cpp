#include "platform/net/HTTPCookieStorage.h"

#include "platform/net/HTTPSyntax.h"
#include "platform/net/PublicSuffix.h"

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
    for (const auto& [sequence, entry] : m_cookies)
        all.push_back(entry.cookie);
    return all;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url, HTTPCookieSiteContext context) const {
    if (!url.host() || url.host()->empty())
        return {};
    const std::string& host = *url.host();
    bool secure = http::equalsIgnoringCase(url.scheme(), "https");
    std::string path = url.percentEncodedPath().empty() ? "/" : url.percentEncodedPath();
    double t = now();
    // A cookie that goes to the host has the host, or a domain the host ends in, for its domain: it is kept
    // under that domain's site, the host's own or (for a domain set by hand above it) the domain itself.
    std::set<std::string> sites{PublicSuffix::siteOf(host)};
    if (!PublicSuffix::isIPAddress(host)) {
        for (std::size_t dot = host.find('.'); dot != std::string::npos; dot = host.find('.', dot + 1))
            sites.insert(PublicSuffix::siteOf(std::string_view(host).substr(dot + 1)));
    }
    std::vector<std::pair<std::uint64_t, const HTTPCookie*>> found;
    std::vector<HTTPCookie> matching;
    std::lock_guard lock(m_mutex);
    for (const std::string& name : sites) {
        auto site = m_sites.find(name);
        if (site == m_sites.end())
            continue;
        for (std::uint64_t sequence : site->second.byAge) {
            const HTTPCookie& c = m_cookies.at(sequence).cookie;
            if (context == HTTPCookieSiteContext::CrossSite && c.sameSite() != HTTPCookieSameSite::None)
                continue;
            if (!c.isExpired(t) && c.matches(host, path, secure))
                found.emplace_back(sequence, &c);
        }
    }
    // Longer paths first; among equal ones, the oldest first.
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        const std::size_t left = a.second->path().size(), right = b.second->path().size();
        return left != right ? left > right : a.first < b.first;
    });
    matching.reserve(found.size());
    for (const auto& [sequence, cookie] : found)
        matching.push_back(*cookie);
    return matching;
}

void HTTPCookieStorage::eraseLocked(std::uint64_t sequence) {
    auto entry = m_cookies.find(sequence);
    if (entry == m_cookies.end())
        return;
    const HTTPCookie& cookie = entry->second.cookie;
    auto site = m_sites.find(entry->second.site);
    if (site != m_sites.end()) {
        m_siteSizes.erase({site->second.byAge.size(), site->first});
        site->second.byKey.erase(Key{cookie.name(), http::lowercased(cookie.domain()), cookie.path()});
        site->second.byAge.erase(sequence);
        if (site->second.byAge.empty())
            m_sites.erase(site);
        else
            m_siteSizes.insert({site->second.byAge.size(), site->first});
    }
    m_cookies.erase(entry);
}

void HTTPCookieStorage::eraseIfLocked(const CookiePredicate& pick) {
    std::vector<std::uint64_t> picked;
    for (const auto& [sequence, entry] : m_cookies)
        if (pick(entry.cookie))
            picked.push_back(sequence);
    for (std::uint64_t sequence : picked)
        eraseLocked(sequence);
}

void HTTPCookieStorage::storeLocked(const HTTPCookie& cookie, double t) {
    std::string site = siteOfCookie(cookie);
    Key key{cookie.name(), http::lowercased(cookie.domain()), cookie.path()};
    if (auto kept = m_sites.find(site); kept != m_sites.end()) {
        if (auto same = kept->second.byKey.find(key); same != kept->second.byKey.end())
            eraseLocked(same->second);
    }
    if (cookie.isExpired(t))
        return;
    // Full: the oldest cookie of the site goes; past the total, the oldest of the site that keeps the most.
    if (auto kept = m_sites.find(site); kept != m_sites.end() && kept->second.byAge.size() >= kMaxCookiesPerSite)
        eraseLocked(*kept->second.byAge.begin());
    else if (m_cookies.size() >= kMaxCookies && !m_siteSizes.empty())
        eraseLocked(*m_sites.at(m_siteSizes.begin()->second).byAge.begin());
    const std::uint64_t sequence = m_nextSequence++;
    Site& kept = m_sites[site];
    m_siteSizes.erase({kept.byAge.size(), site});
    kept.byKey[std::move(key)] = sequence;
    kept.byAge.insert(sequence);
    m_siteSizes.insert({kept.byAge.size(), site});
    m_cookies.emplace(sequence, Entry{cookie, std::move(site)});
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
    const std::string site = siteOfCookie(cookie);
    std::lock_guard lock(m_mutex);
    auto kept = m_sites.find(site);
    if (kept == m_sites.end())
        return;
    if (auto same = kept->second.byKey.find(Key{cookie.name(), http::lowercased(cookie.domain()), cookie.path()}); same != kept->second.byKey.end())
        eraseLocked(same->second);
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
