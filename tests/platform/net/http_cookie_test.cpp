#include "platform/net/HTTPCookie.h"
#include "platform/net/HTTPCookieStorage.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {
constexpr double kNow = 1'800'000'000; // 2027-01-15
}

TEST(HTTPCookie, ReadsAttributes) {
    auto c = HTTPCookie::fromSetCookie(" id = a b ; Path=/app; Domain=.Example.com; Secure; HttpOnly; Max-Age=60", "www.example.com",
                                       "/app/page", kNow);
    ASSERT_TRUE(c);
    EXPECT_EQ(c->name(), "id");
    EXPECT_EQ(c->value(), "a b");
    EXPECT_EQ(c->domain(), ".example.com");
    EXPECT_EQ(c->path(), "/app");
    EXPECT_TRUE(c->isSecure());
    EXPECT_TRUE(c->isHTTPOnly());
    ASSERT_TRUE(c->expiresDate());
    EXPECT_EQ(c->expiresDate()->secondsSince1970, kNow + 60);

    auto hostOnly = HTTPCookie::fromSetCookie("s=1; Expires=Thu, 01 Jan 2099 00:00:00 GMT", "Example.com", "/a/b/c", kNow);
    ASSERT_TRUE(hostOnly);
    EXPECT_EQ(hostOnly->domain(), "example.com");
    EXPECT_EQ(hostOnly->path(), "/a/b");
    EXPECT_FALSE(hostOnly->isSessionOnly());
    EXPECT_TRUE(HTTPCookie::fromSetCookie("s=1", "h", "", kNow)->isSessionOnly());
    // Max-Age wins over Expires, whatever the order.
    auto both = HTTPCookie::fromSetCookie("s=1; Max-Age=0; Expires=Thu, 01 Jan 2099 00:00:00 GMT", "h", "/", kNow);
    EXPECT_TRUE(both->isExpired(kNow));
    // SameSite, in any letter case; an unknown value is None, as is its absence.
    for (const auto& [text, expected] : std::vector<std::pair<std::string, HTTPCookieSameSite>>{
             {"s=1; SameSite=Strict", HTTPCookieSameSite::Strict}, {"s=1; samesite=LAX", HTTPCookieSameSite::Lax},
             {"s=1; SameSite=None; Secure", HTTPCookieSameSite::None}, {"s=1; SameSite=sideways", HTTPCookieSameSite::None},
             {"s=1", HTTPCookieSameSite::None}})
        EXPECT_EQ(HTTPCookie::fromSetCookie(text, "h.com", "/", kNow)->sameSite(), expected) << text;
}

TEST(HTTPCookie, RefusesWhatItMustNotStore) {
    EXPECT_FALSE(HTTPCookie::fromSetCookie("novalue", "h.com", "/", kNow));
    EXPECT_FALSE(HTTPCookie::fromSetCookie("=v", "h.com", "/", kNow));
    EXPECT_FALSE(HTTPCookie::fromSetCookie("a=1; Domain=other.com", "h.com", "/", kNow));
    EXPECT_FALSE(HTTPCookie::fromSetCookie("a=1; Domain=ample.com", "example.com", "/", kNow));
    EXPECT_FALSE(HTTPCookie::fromSetCookie("a=1\r\nX: y", "h.com", "/", kNow));
    EXPECT_FALSE(HTTPCookie::fromSetCookie("a=" + std::string(HTTPCookie::kMaxNameValueBytes, 'v'), "h.com", "/", kNow));
    EXPECT_FALSE(HTTPCookie::fromSetCookie("a=1", "", "/", kNow));
    // A public suffix is no one's domain, however it is written; a registrable domain under one is.
    for (const auto& [text, host] : std::vector<std::pair<std::string, std::string>>{
             {"a=1; Domain=com", "www.example.com"}, {"a=1; Domain=.COM", "example.com"}, {"a=1; Domain=co.uk", "shop.example.co.uk"},
             {"a=1; Domain=.co.uk", "example.co.uk"}, {"a=1; Domain=github.io", "me.github.io"}})
        EXPECT_FALSE(HTTPCookie::fromSetCookie(text, host, "/", kNow)) << text << " from " << host;
    EXPECT_EQ(HTTPCookie::fromSetCookie("a=1; Domain=example.co.uk", "shop.example.co.uk", "/", kNow)->domain(), ".example.co.uk");
    // Named by the host itself (a public suffix that serves pages), the cookie is that host's alone.
    EXPECT_EQ(HTTPCookie::fromSetCookie("a=1; Domain=github.io", "github.io", "/", kNow)->domain(), "github.io");
    // A domain on an IP address host stays host-only.
    auto ip = HTTPCookie::fromSetCookie("a=1; Domain=127.0.0.1", "127.0.0.1", "/", kNow);
    ASSERT_TRUE(ip);
    EXPECT_EQ(ip->domain(), "127.0.0.1");
}

TEST(HTTPCookie, MatchesHostPathAndScheme) {
    HTTPCookie domain("a", "1", ".example.com", "/docs");
    EXPECT_TRUE(domain.matches("example.com", "/docs", false));
    EXPECT_TRUE(domain.matches("a.b.example.com", "/docs/x", false));
    EXPECT_FALSE(domain.matches("badexample.com", "/docs", false));
    EXPECT_FALSE(domain.matches("example.com", "/docsx", false));
    EXPECT_FALSE(domain.matches("example.com", "/", false));
    HTTPCookie host("a", "1", "example.com", "/");
    EXPECT_FALSE(host.matches("www.example.com", "/", false));
    host.setSecure(true);
    EXPECT_FALSE(host.matches("example.com", "/", false));
    EXPECT_TRUE(host.matches("EXAMPLE.com", "/any", true));
    EXPECT_EQ(HTTPCookie::requestHeaderFieldsWithCookies({HTTPCookie("a", "1", "h"), HTTPCookie("b", "2", "h")})["Cookie"],
              Value("a=1; b=2"));
    EXPECT_TRUE(HTTPCookie::requestHeaderFieldsWithCookies({}).empty());
}

TEST(HTTPCookieStorage, ReplacesDeletesAndFollowsThePolicy) {
    HTTPCookieStorage storage;
    URL page = *URL::fromString("http://www.example.com/a/b");
    storage.storeSetCookieValues({"k=1", "k2=2; Path=/a"}, page, std::nullopt);
    storage.storeSetCookieValues({"k=updated"}, page, std::nullopt);
    EXPECT_EQ(storage.cookieHeaderForURL(page), "k2=2; k=updated");
    storage.storeSetCookieValues({"k=gone; Max-Age=0"}, page, std::nullopt);
    EXPECT_EQ(storage.cookieHeaderForURL(page), "k2=2");
    EXPECT_FALSE(storage.cookieHeaderForURL(*URL::fromString("http://other.com/")));

    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    URL tracker = *URL::fromString("http://tracker.net/p");
    storage.storeSetCookieValues({"t=1"}, tracker, URL::fromString("http://www.example.com/"));
    EXPECT_FALSE(storage.cookieHeaderForURL(tracker));
    URL images = *URL::fromString("http://img.example.com/p");
    storage.storeSetCookieValues({"i=1"}, images, URL::fromString("http://www.example.com/"));
    EXPECT_EQ(storage.cookieHeaderForURL(images), "i=1");

    for (const auto& c : storage.cookies())
        storage.deleteCookie(c);
    EXPECT_TRUE(storage.cookies().empty());
}

TEST(HTTPCookieStorage, DeletesWhatThePredicatePicksHereAndInTheEnginesDocumentStore) {
    HTTPCookieStorage storage;
    storage.setCookie(HTTPCookie("a", "1", "example.com"));
    storage.setCookie(HTTPCookie("b", "2", "example.org"));
    std::vector<std::string> askedInEngine;
    HTTPCookieStorage::setDocumentCookieEraser([&](HTTPCookieStorage::CookiePredicate pick) {
        for (const char* domain : {"example.com", "example.org"})
            if (pick(HTTPCookie("doc", "1", domain)))
                askedInEngine.push_back(domain);
    });
    storage.deleteCookies([](const HTTPCookie& cookie) { return cookie.domain() == "example.com"; });
    HTTPCookieStorage::setDocumentCookieEraser({});
    ASSERT_EQ(storage.cookies().size(), 1u);
    EXPECT_EQ(storage.cookies()[0].name(), "b");
    EXPECT_EQ(askedInEngine, std::vector<std::string>{"example.com"});

    storage.deleteCookies([](const HTTPCookie&) { return true; });
    EXPECT_TRUE(storage.cookies().empty()) << "without an engine store, only here";
}

TEST(HTTPCookieStorage, EachSiteKeepsItsShareAndLosesOnlyItsOwnOldest) {
    HTTPCookieStorage storage;
    const URL app = *URL::fromString("https://api.app.example/");
    storage.storeSetCookieValues({"session=mine"}, app, std::nullopt);
    // One site sets 4,000 cookies from its hosts: it keeps its newest share, and the application its session.
    for (int i = 0; i < 4000; ++i)
        storage.storeSetCookieValues({"t" + std::to_string(i) + "=1; Domain=tracker.example"},
                                     *URL::fromString("http://h" + std::to_string(i % 7) + ".tracker.example/"), std::nullopt);
    EXPECT_EQ(storage.cookieHeaderForURL(app), "session=mine");
    std::vector<HTTPCookie> kept = storage.cookies();
    ASSERT_EQ(kept.size(), HTTPCookieStorage::kMaxCookiesPerSite + 1);
    EXPECT_EQ(kept[1].name(), "t" + std::to_string(4000 - HTTPCookieStorage::kMaxCookiesPerSite)) << "the site's oldest went first";
    EXPECT_EQ(kept.back().name(), "t3999");

    // Many sites together: the total holds, and the site that keeps the most loses first, not the application.
    for (int site = 0; site < 40; ++site)
        for (std::size_t i = 0; i < HTTPCookieStorage::kMaxCookiesPerSite; ++i)
            storage.setCookie(HTTPCookie("c" + std::to_string(i), "1", "s" + std::to_string(site) + ".example"));
    EXPECT_EQ(storage.cookies().size(), HTTPCookieStorage::kMaxCookies);
    EXPECT_EQ(storage.cookieHeaderForURL(app), "session=mine");
    // Sites under one public suffix are each their own; a host of one label or an IP address is its own site.
    HTTPCookieStorage apart;
    for (const char* host : {"a.co.uk", "b.co.uk", "localhost", "127.0.0.1"})
        for (std::size_t i = 0; i < HTTPCookieStorage::kMaxCookiesPerSite + 5; ++i)
            apart.setCookie(HTTPCookie("k" + std::to_string(i), "1", host));
    EXPECT_EQ(apart.cookies().size(), 4 * HTTPCookieStorage::kMaxCookiesPerSite);
}

TEST(HTTPCookieStorage, ARequestOfAnotherSiteCarriesAndStoresNoSameSiteCookie) {
    HTTPCookieStorage storage;
    const URL site = *URL::fromString("https://bank.example/account");
    storage.storeSetCookieValues({"strict=1; SameSite=Strict", "lax=1; SameSite=Lax", "none=1; SameSite=None; Secure", "plain=1"}, site,
                                 std::nullopt);
    EXPECT_EQ(storage.cookieHeaderForURL(site), "strict=1; lax=1; none=1; plain=1");
    EXPECT_EQ(storage.cookieHeaderForURL(site, HTTPCookieSiteContext::CrossSite), "none=1; plain=1");
    storage.storeSetCookieValues({"planted=1; SameSite=Lax", "open=1"}, site, std::nullopt, HTTPCookieSiteContext::CrossSite);
    EXPECT_EQ(storage.cookieHeaderForURL(site), "strict=1; lax=1; none=1; plain=1; open=1");
    // The main document's domain rule reads sites as the public-suffix list does.
    storage.setCookieAcceptPolicy(HTTPCookieAcceptPolicy::OnlyFromMainDocumentDomain);
    storage.storeSetCookieValues({"other=1"}, *URL::fromString("https://evil.co.uk/"), URL::fromString("https://shop.example.co.uk/"));
    storage.storeSetCookieValues({"img=1"}, *URL::fromString("https://img.example.co.uk/"), URL::fromString("https://shop.example.co.uk/"));
    EXPECT_FALSE(storage.cookieHeaderForURL(*URL::fromString("https://evil.co.uk/")));
    EXPECT_EQ(storage.cookieHeaderForURL(*URL::fromString("https://img.example.co.uk/")), "img=1");
}
