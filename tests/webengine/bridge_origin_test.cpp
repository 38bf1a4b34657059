// Which requests and navigations count as the application's page's own bridge signals.
#include "webengine/BridgeOrigin.h"

#include <gtest/gtest.h>

#include <vector>

using namespace webengine;

TEST(BridgeOrigin, AnOriginIsWrittenAsTheOriginHeaderWritesIt)
{
    EXPECT_EQ(originOf("HTTP://Example.COM:80/a?b#c").value_or("<none>"), "http://example.com");
    EXPECT_EQ(originOf("https://example.com:443/").value_or("<none>"), "https://example.com");
    EXPECT_EQ(originOf("https://example.com:80/").value_or("<none>"), "https://example.com:80");
    EXPECT_EQ(originOf("http://127.0.0.1:8080/!hyb_exec").value_or("<none>"), "http://127.0.0.1:8080");
    EXPECT_EQ(originOf("http://[::1]:81/").value_or("<none>"), "http://[::1]:81");
    EXPECT_EQ(originOf("file:///a/b.html").value_or("<none>"), "file://");
    EXPECT_EQ(originOf("file://localhost/!hyb_exec").value_or("<none>"), "file://");
    // Documents whose origin no URL names, and text that is no URL.
    for (const char* url : {"about:blank", "data:text/html,x", "blob:http://a/1", "hyb://ready", "http:///x", "", "not a url"})
        EXPECT_FALSE(originOf(url)) << url;
}

TEST(BridgeOrigin, OnlyARequestOfThePagesOwnOriginIsTheBridges)
{
    const std::string page = "http://app.example:8080/index.html#%02";
    EXPECT_TRUE(isPageOriginsBridgeRequest("http://app.example:8080/!hyb_exec?1", {}, page));
    EXPECT_TRUE(isPageOriginsBridgeRequest("http://APP.example:8080/!hyb_exec", {{"origin", "http://app.example:8080"}}, page));
    EXPECT_TRUE(isPageOriginsBridgeRequest("file:///!hyb_exec?1", {{"vc", "3"}}, "file:///bundle/www/index.html"));
    // A frame of another site asking its own origin, or the page's.
    EXPECT_FALSE(isPageOriginsBridgeRequest("http://evil.example/!hyb_exec", {}, page));
    EXPECT_FALSE(isPageOriginsBridgeRequest("http://app.example/!hyb_exec", {}, page)) << "another port";
    EXPECT_FALSE(isPageOriginsBridgeRequest("https://app.example:8080/!hyb_exec", {}, page)) << "another scheme";
    EXPECT_FALSE(isPageOriginsBridgeRequest("http://app.example:8080/!hyb_exec", {{"Origin", "http://evil.example"}}, page));
    // Every Origin header counts, not the first only.
    EXPECT_FALSE(isPageOriginsBridgeRequest("http://app.example:8080/!hyb_exec",
                                            {{"Origin", "http://app.example:8080"}, {"ORIGIN", "http://evil.example"}}, page));
    // A sandboxed document, of the page's server or of its files.
    EXPECT_FALSE(isPageOriginsBridgeRequest("http://app.example:8080/!hyb_exec", {{"Origin", "null"}}, page));
    EXPECT_FALSE(isPageOriginsBridgeRequest("file:///!hyb_exec", {{"Origin", "null"}}, "file:///bundle/www/index.html"));
    // A file page's request of a web origin, a web page's of a file; a page with no origin has no bridge.
    EXPECT_FALSE(isPageOriginsBridgeRequest("http://app.example:8080/!hyb_exec", {}, "file:///bundle/www/index.html"));
    EXPECT_FALSE(isPageOriginsBridgeRequest("file:///!hyb_exec", {}, page));
    EXPECT_FALSE(isPageOriginsBridgeRequest("file:///!hyb_exec", {}, "about:blank"));
    EXPECT_FALSE(isPageOriginsBridgeRequest("file:///!hyb_exec", {}, ""));
}

TEST(BridgeOrigin, ANavigationOfThePageIsItsOwnWhenItsReferrerIsOfItsOrigin)
{
    const std::string page = "http://app.example:8080/index.html";
    EXPECT_TRUE(isPageOriginsNavigation({{"Referer", "http://app.example:8080/index.html"}}, page));
    EXPECT_TRUE(isPageOriginsNavigation({{"referer", "http://app.example:8080/"}}, page)) << "a referrer of the origin only";
    // Another site's frame, named or hiding its name; a second referrer of another origin.
    EXPECT_FALSE(isPageOriginsNavigation({{"Referer", "http://localhost:8080/"}}, page));
    EXPECT_FALSE(isPageOriginsNavigation({}, page));
    EXPECT_FALSE(isPageOriginsNavigation({{"Referer", "http://app.example:8080/"}, {"Referer", "http://evil.example/"}}, page));
    EXPECT_FALSE(isPageOriginsNavigation({{"Referer", "garbage"}}, page));
    // File pages and pages without an origin send no referrer of their own.
    EXPECT_TRUE(isPageOriginsNavigation({}, "file:///bundle/www/index.html"));
    EXPECT_TRUE(isPageOriginsNavigation({}, "about:blank"));
    EXPECT_FALSE(isPageOriginsNavigation({{"Referer", "http://evil.example/"}}, "file:///bundle/www/index.html"));
}

TEST(BridgeOrigin, ARoutedAnswerNamesOneReaderAtMostAndNeverAnotherOriginForAnotherOrigin)
{
    const std::string secret = "http://site.example:8080/secret";
    auto reader = [](HeaderList headers, const std::string& url) { return readerOriginOf(headers, url).value_or("<none>"); };
    // A request that names no asker (the engine's same-origin request, a worker's): the answer's own origin,
    // which only an asker of that origin matches.
    EXPECT_EQ(reader({}, secret), "http://site.example:8080");
    EXPECT_EQ(reader({{"Origin", "http://SITE.example:8080"}}, secret), "http://site.example:8080");
    // Another site, a sandboxed or data: document ("null"), the route's own origin (a worker of a script URL),
    // two different askers: nobody.
    for (const char* asker : {"http://evil.example", "http://site.example", "https://site.example:8080", "null", "hybroute://load", ""})
        EXPECT_EQ(reader({{"Origin", asker}}, secret), "<none>") << asker;
    EXPECT_EQ(reader({{"Origin", "http://site.example:8080"}, {"origin", "http://evil.example"}}, secret), "<none>");
    // The application's file documents read what they ask for; its own resources are of their origin only.
    EXPECT_EQ(reader({{"Origin", "file://"}}, secret), "file://");
    EXPECT_EQ(reader({{"Origin", "hybroute-local://load"}}, secret), "hybroute-local://load") << "a worker of a file script";
    // A worker of a web page's script, at the route origin naming its site ("http://site.example:8080" in
    // hexadecimal), reads that site's answers only.
    const std::string siteWorker = "hybroute://687474703a2f2f736974652e6578616d706c653a38303830";
    EXPECT_EQ(reader({{"Origin", siteWorker}}, secret), siteWorker);
    EXPECT_EQ(reader({{"Origin", siteWorker}}, "http://evil.example/"), "<none>");
    EXPECT_EQ(reader({{"Origin", siteWorker}}, "hybfile://localhost/persistent/a.txt"), "<none>");
    for (const char* own : {"hybfile://localhost/persistent/a.txt", "file:///home/Documents/a.txt", "assets-library://asset/1.jpg"}) {
        EXPECT_EQ(reader({}, own), "file://") << own;
        EXPECT_EQ(reader({{"Origin", "file://"}}, own), "file://") << own;
        EXPECT_EQ(reader({{"Origin", "null"}}, own), "<none>") << own;
        EXPECT_EQ(reader({{"Origin", "http://evil.example"}}, own), "<none>") << own;
    }
    // A web answer without a host names nobody.
    EXPECT_EQ(reader({}, "http:///x"), "<none>");
}

TEST(BridgeOrigin, AnAnswerARedirectBroughtFromAnotherOriginGoesOnlyWhereTheEngineChecksItsReader)
{
    const std::string asked = "http://evil.example/bounce";
    const std::string victim = "http://site.example:8080/secret";
    auto site = [](const char* mark) { return HeaderList{{"Sec-Fetch-Site", mark}}; };
    // No redirect, or one within the asked origin: whoever asked.
    EXPECT_TRUE(mayAnswerFrom({}, asked, asked));
    EXPECT_TRUE(mayAnswerFrom(site("same-origin"), asked, "http://EVIL.example:80/elsewhere"));
    EXPECT_TRUE(mayAnswerFrom({}, "hybfile://localhost/persistent/a.txt", "hybfile://localhost/persistent/a.txt"));
    // Another origin: only to an asker the engine marked as of another site, whose reader it checks.
    EXPECT_TRUE(mayAnswerFrom(site("cross-site"), asked, victim));
    EXPECT_TRUE(mayAnswerFrom(site("Same-Site"), asked, victim));
    for (const HeaderList& headers : {HeaderList{}, site("same-origin"), site("none"), site(""), HeaderList{{"Origin", "http://evil.example"}},
                                      HeaderList{{"Origin", "HTTP://EVIL.example"}}, HeaderList{{"Origin", ""}},
                                      HeaderList{{"Origin", "http://site.example:8080"}, {"Sec-Fetch-Site", "same-origin"}},
                                      HeaderList{{"Sec-Fetch-Site", "cross-site"}, {"sec-fetch-site", "same-origin"}},
                                      HeaderList{{"Origin", "null"}, {"origin", "http://evil.example"}}})
        EXPECT_FALSE(mayAnswerFrom(headers, asked, victim)) << (headers.empty() ? "<none>" : headers.back().second);
    // Where the engine marks no site: an asker of another origin than the URL's (the application's file pages, a
    // sandboxed document, a worker of a script).
    for (const char* asker : {"file://", "null", "http://site.example:8080", "hybroute://687474703a2f2f6576696c2e6578616d706c65"})
        EXPECT_TRUE(mayAnswerFrom({{"Origin", asker}}, asked, victim)) << asker;
    // Another scheme, or a URL of no origin, is another origin too.
    for (const char* elsewhere : {"https://evil.example/bounce", "hybfile://localhost/persistent/a.txt", "file:///etc/passwd", "http:///x"})
        EXPECT_FALSE(mayAnswerFrom(site("same-origin"), asked, elsewhere)) << elsewhere;
}

TEST(BridgeOrigin, ARoutedLoadCarriesCookiesOnlyAsABrowserWouldSendThem)
{
    // What the real engine writes on each routed request (the application's file page at "file://", another
    // site's frame in it at http://localhost:8080, the application's server at http://127.0.0.1:8080), and
    // what the load carries: cookies, SameSite ones, and whether an answer made with them is the application's.
    const std::string app = "http://127.0.0.1:8080/h";
    const std::string frameOwn = "http://localhost:8080/h";
    const std::string frameWorker = "hybroute://687474703a2f2f6c6f63616c686f73743a38303830"; // "http://localhost:8080"
    auto fetch = [](const char* site, const char* mode, const char* dest) {
        return HeaderList{{"Sec-Fetch-Site", site}, {"Sec-Fetch-Mode", mode}, {"Sec-Fetch-Dest", dest}};
    };
    auto from = [](const std::string& origin, HeaderList headers) {
        headers.insert(headers.begin(), {"Origin", origin});
        return headers;
    };
    struct Case {
        const char* road;
        HeaderList headers;
        std::string url;
        bool carried, sameSite, applications;
    };
    const std::vector<Case> cases = {
        // The application's page and its file script's worker: as on the phone.
        {"the page's XHR, fetch in any credentials mode", from("file://", fetch("cross-site", "cors", "empty")), app, true, true, true},
        {"its worker's fetch", from("hybroute-local://load", fetch("cross-site", "cors", "empty")), app, true, true, true},
        // An image names no asker: cookies as for any cross-site image, SameSite ones not.
        {"the page's image", fetch("cross-site", "no-cors", "image"), app, true, false, false},
        // Another site's frame reading the application's server, in every credentials mode, by fetch and XHR
        // (withCredentials or not), and from its worker: nothing.
        {"the frame's fetch or XHR", from("http://localhost:8080", fetch("cross-site", "cors", "empty")), app, false, false, false},
        {"the frame's worker's fetch", from(frameWorker, fetch("cross-site", "cors", "empty")), app, false, false, false},
        {"a sandboxed or data: frame's fetch", from("null", fetch("cross-site", "cors", "empty")), app, false, false, false},
        // Its opaque loads carry what a browser sends a cross-site image: no SameSite cookie.
        {"the frame's image", fetch("cross-site", "no-cors", "image"), app, true, false, false},
        {"the frame's no-cors fetch", fetch("cross-site", "no-cors", "empty"), app, true, false, false},
        // Its own origin's loads (the engine names no asker for them) and its worker's: its own cookies, all.
        {"the frame's fetch of its own origin", fetch("same-origin", "cors", "empty"), frameOwn, true, true, false},
        {"the frame's image of its own origin", fetch("same-origin", "no-cors", "image"), frameOwn, true, true, false},
        {"the frame's worker's fetch of its origin", from(frameWorker, fetch("same-origin", "cors", "empty")), frameOwn, true, true, false},
        // Marks no engine writes twice: two differing ones are believed neither, and nothing goes.
        {"two askers", {{"Origin", "file://"}, {"Origin", "http://localhost:8080"}}, app, false, false, false},
        {"two sites", from("file://", {{"Sec-Fetch-Site", "same-origin"}, {"Sec-Fetch-Site", "cross-site"}}), app, false, false, false},
        // Without Sec-Fetch-Site, the asker's site decides SameSite; with neither, it is another site's request.
        {"a no-cors load of the asker's own site", from("http://a.example.com", {{"Sec-Fetch-Mode", "no-cors"}}), "http://b.example.com/", true, true, false},
        {"a no-cors load of another site", from("http://evil.example", {{"Sec-Fetch-Mode", "no-cors"}}), "http://bank.example/", true, false, false},
        {"a load that names nothing", {}, app, true, false, false},
    };
    for (const Case& c : cases) {
        const RouteCookies cookies = routeCookiesOf(c.headers, c.url);
        EXPECT_EQ(cookies.carried, c.carried) << c.road;
        EXPECT_EQ(cookies.sameSite, c.sameSite) << c.road;
        EXPECT_EQ(cookies.applications, c.applications) << c.road;
    }
}

TEST(BridgeOrigin, ASignalFragmentStartsWithItsMark)
{
    for (const char* url : {"file:///i.html#%01", "file:///i.html#%01%5B%5D", "http://a/#%02", "#%02x"})
        EXPECT_TRUE(hasSignalFragment(url)) << url;
    for (const char* url : {"file:///i.html", "file:///i.html#", "file:///i.html#%0", "file:///i.html#x%01", "file:///%01#%03",
                            "file:///i.html?%01", "file:///i.html#%2501"})
        EXPECT_FALSE(hasSignalFragment(url)) << url;
}
