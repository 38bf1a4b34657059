// The process-wide cookie store. Connections whose request handles cookies add the matching cookies as a
// "Cookie" field and store the cookies of every reply head (redirects included), as the accept policy
// allows.
//
// Guarantees: thread-safe (connections store from the URL-loading thread). A cookie replaces an earlier
// one with the same name, domain and path; an expired one removes it. Each site (registrable domain,
// PublicSuffix::siteOf) keeps at most kMaxCookiesPerSite: a new one beyond that evicts that site's own oldest,
// never another site's. At most kMaxCookies are kept in all: beyond that the site that keeps the most loses
// its oldest, so a site with few cookies keeps them whatever others set. Session-only and persistent cookies
// live for the process; nothing is written to disk.
// Storing a cookie and finding a URL's cookies cost O(log n) in the cookies kept (the sites are an ordered
// map: the hosts come from outside), and a look at the URL's host's own site's cookies, at most
// kMaxCookiesPerSite.
//
// Two stores: shared(), the application's (its own documents' loads and its native clients'), and
// forForeignContent(), for what web content the application did not write loads through it, so that such a
// page neither signs the application out nor sets what the application's calls carry.
#pragma once

#include "platform/net/HTTPCookie.h"
#include "platform/text/URL.h"

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace platform {

enum class HTTPCookieAcceptPolicy { Always, Never, OnlyFromMainDocumentDomain };

class HTTPCookieStorage {
public:
    static constexpr std::size_t kMaxCookies = 3000;
    static constexpr std::size_t kMaxCookiesPerSite = 180;

    static HTTPCookieStorage& shared();
    static HTTPCookieStorage& forForeignContent();

    HTTPCookieAcceptPolicy cookieAcceptPolicy() const;
    void setCookieAcceptPolicy(HTTPCookieAcceptPolicy policy);

    // All cookies, oldest first.
    std::vector<HTTPCookie> cookies() const;
    // The cookies to send with a request to this URL: not expired, matching host, path and scheme; longer
    // paths first. A request of another site than the one it goes to gets no SameSite Strict or Lax cookie.
    std::vector<HTTPCookie> cookiesForURL(const URL& url, HTTPCookieSiteContext context = HTTPCookieSiteContext::SameSite) const;
    // Stores one cookie whatever the policy says.
    void setCookie(const HTTPCookie& cookie);
    // Stores cookies received from `url` as the accept policy allows (the main document's URL decides for
    // OnlyFromMainDocumentDomain; none allows).
    void setCookies(const std::vector<HTTPCookie>& cookies, const URL& url, const std::optional<URL>& mainDocumentURL);
    void deleteCookie(const HTTPCookie& cookie);

    // Deletes every cookie `pick` chooses, here and in the web engine's own store of documents' cookies
    // when the engine keeps one (the real engine: its deletions finish later, on the main run loop).
    using CookiePredicate = std::function<bool(const HTTPCookie&)>;
    void deleteCookies(const CookiePredicate& pick);
    // The engine's deletion from its store of documents' cookies (empty: none). Main thread.
    using DocumentCookieEraser = std::function<void(CookiePredicate pick)>;
    static void setDocumentCookieEraser(DocumentCookieEraser eraser);

    // The connection's two uses: the "Cookie" value for a URL (nullopt when none match), and the reading
    // and storing of a reply head's "Set-Cookie" values.
    // A reply to a request of another site stores no SameSite Strict or Lax cookie.
    std::optional<std::string> cookieHeaderForURL(const URL& url, HTTPCookieSiteContext context = HTTPCookieSiteContext::SameSite) const;
    void storeSetCookieValues(const std::vector<std::string>& values, const URL& url, const std::optional<URL>& mainDocumentURL,
                              HTTPCookieSiteContext context = HTTPCookieSiteContext::SameSite);

private:
    // A cookie's identity: name, domain (lower case) and path.
    using Key = std::tuple<std::string, std::string, std::string>;
    struct Entry {
        HTTPCookie cookie;
        std::string site;
    };
    // One site's cookies: by identity, and by age (the store's sequence numbers, oldest first).
    struct Site {
        std::map<Key, std::uint64_t> byKey;
        std::set<std::uint64_t> byAge;
    };
    // Sites by how many cookies they keep, the most first (then by name).
    struct MostFirst {
        bool operator()(const std::pair<std::size_t, std::string>& a, const std::pair<std::size_t, std::string>& b) const {
            return a.first != b.first ? a.first > b.first : a.second < b.second;
        }
    };

    void storeLocked(const HTTPCookie& cookie, double now);
    void eraseLocked(std::uint64_t sequence);
    // Removes the cookies `pick` chooses.
    void eraseIfLocked(const CookiePredicate& pick);

    mutable std::mutex m_mutex;
    HTTPCookieAcceptPolicy m_policy = HTTPCookieAcceptPolicy::Always;
    std::uint64_t m_nextSequence = 0;
    std::map<std::uint64_t, Entry> m_cookies;            // by age, oldest first
    std::map<std::string, Site> m_sites;                  // by site
    std::set<std::pair<std::size_t, std::string>, MostFirst> m_siteSizes;
};

} // namespace platform
