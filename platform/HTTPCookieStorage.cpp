#include "platform/HTTPCookieStorage.h"

#include "platform/HTTPSyntax.h"

#include <algorithm>
#include <ctime>
#include <strings.h>

namespace platform {

namespace {

double now() { return static_cast<double>(std::time(nullptr)); }

bool hostCoveredBy(const std::string& host, const std::string& mainHost) {
    // The cookie's host must lie in the main document's domain (its last two labels, or the whole host).
    std::size_t dot = mainHost.rfind('.');
    std::size_t start = dot == std::string::npos || dot == 0 ? std::string::npos : mainHost.rfind('.', dot - 1);
    std::string base = start == std::string::npos ? mainHost : mainHost.substr(start + 1);
    if (host.size() < base.size())
        return false;
    if (strcasecmp(host.c_str() + host.size() - base.size(), base.c_str()) != 0)
        return false;
    return host.size() == base.size() || host[host.size() - base.size() - 1] == '.';
}

} // namespace

HTTPCookieStorage& HTTPCookieStorage::shared() {
    // Never destroyed: the URL-loading thread may store cookies until the very end of the process.
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
    return m_cookies;
}

std::vector<HTTPCookie> HTTPCookieStorage::cookiesForURL(const URL& url) const {
    if (!url.host() || url.host()->empty())
        return {};
    bool secure = http::equalsIgnoringCase(url.scheme(), "https");
    std::string path = url.percentEncodedPath().empty() ? "/" : url.percentEncodedPath();
    double t = now();
    std::vector<HTTPCookie> matching;
    {
        std::lock_guard lock(m_mutex);
        for (const HTTPCookie& c : m_cookies)
            if (!c.isExpired(t) && c.matches(*url.host(), path, secure))
                matching.push_back(c);
    }
    std::stable_sort(matching.begin(), matching.end(),
                     [](const HTTPCookie& a, const HTTPCookie& b) { return a.path().size() > b.path().size(); });
    return matching;
}

void HTTPCookieStorage::storeLocked(const HTTPCookie& cookie, double t) {
    m_cookies.erase(std::remove_if(m_cookies.begin(), m_cookies.end(), [&](const HTTPCookie& c) { return c.isSameCookieAs(cookie); }),
                    m_cookies.end());
    if (cookie.isExpired(t))
        return;
    if (m_cookies.size() >= kMaxCookies)
        m_cookies.erase(m_cookies.begin());
    m_cookies.push_back(cookie);
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
    m_cookies.erase(std::remove_if(m_cookies.begin(), m_cookies.end(), [&](const HTTPCookie& c) { return c.isSameCookieAs(cookie); }),
                    m_cookies.end());
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
        m_cookies.erase(std::remove_if(m_cookies.begin(), m_cookies.end(), [&](const HTTPCookie& c) { return pick(c); }), m_cookies.end());
    }
    if (const DocumentCookieEraser& eraser = documentCookieEraser())
        eraser(pick);
}

void HTTPCookieStorage::setDocumentCookieEraser(DocumentCookieEraser eraser) { documentCookieEraser() = std::move(eraser); }

std::optional<std::string> HTTPCookieStorage::cookieHeaderForURL(const URL& url) const {
    Dictionary fields = HTTPCookie::requestHeaderFieldsWithCookies(cookiesForURL(url));
    if (const std::string* header = fields["Cookie"].getString())
        return *header;
    return std::nullopt;
}

void HTTPCookieStorage::storeSetCookieValues(const std::vector<std::string>& values, const URL& url,
                                             const std::optional<URL>& mainDocumentURL) {
    if (!url.host() || url.host()->empty())
        return;
    std::string path = url.percentEncodedPath().empty() ? "/" : url.percentEncodedPath();
    std::vector<HTTPCookie> received;
    double t = now();
    for (const std::string& v : values)
        if (auto cookie = HTTPCookie::fromSetCookie(v, *url.host(), path, t))
            received.push_back(std::move(*cookie));
    setCookies(received, url, mainDocumentURL);
}

} // namespace platform
