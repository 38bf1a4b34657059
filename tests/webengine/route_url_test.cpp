// Route URLs: what the web process sends back for each sub-resource load.
#include "webengine/RouteURL.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using webengine::originalURLFromBridgeRoute;
using webengine::originalURLFromLocalRoute;
using webengine::originalURLFromRoute;
using webengine::routeOriginSite;
using webengine::routeURLForOriginal;

TEST(RouteURLTest, OriginalsSurviveTheRoundTrip)
{
    for (const char* url : {"file:///!hyb_exec", "http://a.example:8080/p?q=1&r=%20#frag", "hybfile://localhost/persistent/a b.png",
                            "https://h/\xe4\xb8\xad"}) {
        EXPECT_EQ(originalURLFromRoute(routeURLForOriginal(url)).value_or("<none>"), url);
    }
}

TEST(RouteURLTest, MalformedRoutesGiveNoURL)
{
    EXPECT_FALSE(originalURLFromRoute("hybroute://other/?file%3A%2F%2F%2Fa"));
    EXPECT_FALSE(originalURLFromRoute("hybroute://load/?"));
    EXPECT_FALSE(originalURLFromRoute("hybroute://load/?%zz"));
    EXPECT_FALSE(originalURLFromRoute("hybroute://load/?file%00x%3A"));
    EXPECT_FALSE(originalURLFromRoute("hybroute://load/?no-scheme-here"));
    EXPECT_FALSE(originalURLFromRoute("hybroute://load/?1http%3A%2F%2Fa"));
    EXPECT_FALSE(originalURLFromRoute(""));
}

TEST(RouteURLTest, AWebLoadsRouteNamesItsOriginInHexadecimal)
{
    // "http://a.example:8080" and a 70-character origin in labels of at most 62 digits.
    EXPECT_EQ(originalURLFromRoute("hybroute://687474703a2f2f612e6578616d706c653a38303830/?http%3A%2F%2Fa.example%3A8080%2Fw.js")
                  .value_or("<none>"), "http://a.example:8080/w.js");
    EXPECT_EQ(routeOriginSite("hybroute://687474703a2f2f612e6578616d706c653a38303830").value_or("<none>"), "http://a.example:8080");
    const std::string longOrigin = "http://" + std::string(56, 'a') + ".example";
    std::string hex;
    for (std::size_t i = 0; i < longOrigin.size(); ++i) {
        if (i && i % 31 == 0)
            hex += '.';
        char digits[3];
        snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(longOrigin[i]));
        hex += digits;
    }
    EXPECT_EQ(routeOriginSite("hybroute://" + hex).value_or("<none>"), longOrigin);
    // Not a route origin: other hosts, odd or upper-case digits, empty or long labels, a NUL, another scheme.
    for (const char* origin : {"hybroute://load", "hybroute://exec", "hybroute://", "hybroute://6", "hybroute://6A", "hybroute://68..74",
                               "hybroute://.6874", "hybroute://6874.", "hybroute://6800", "hybroute-local://6874", "http://6874", "null"})
        EXPECT_FALSE(routeOriginSite(origin)) << origin;
    EXPECT_FALSE(routeOriginSite("hybroute://" + std::string(64, '6')));
    EXPECT_FALSE(originalURLFromRoute("hybroute://6A/?http%3A%2F%2Fa%2F"));
    EXPECT_FALSE(originalURLFromRoute("hybroute://zz/?http%3A%2F%2Fa%2F"));
}

TEST(RouteURLTest, BridgeRoutesAreTheirOwnKind)
{
    EXPECT_EQ(originalURLFromBridgeRoute("hybroute://exec/?file%3A%2F%2F%2F!hyb_exec%3F3").value_or("<none>"), "file:///!hyb_exec?3");
    // Neither kind is read as the other: a bridge request is never loaded, a load never handed to the bridge.
    EXPECT_FALSE(originalURLFromRoute("hybroute://exec/?file%3A%2F%2F%2F!hyb_exec"));
    EXPECT_FALSE(originalURLFromBridgeRoute(routeURLForOriginal("file:///!hyb_exec")));
    EXPECT_FALSE(originalURLFromBridgeRoute("hybroute://exec/?"));
    EXPECT_FALSE(originalURLFromBridgeRoute("hybroute://exec/?%zz"));
    EXPECT_FALSE(originalURLFromBridgeRoute("hybroute://exec/?no-scheme-here"));
    // A file load's route carries a file's path as the file URL writes it (so that a relative URL resolved
    // against it is the route of the file beside it), and is no other kind.
    EXPECT_EQ(originalURLFromLocalRoute("hybroute-local://load/www/a%20b.js").value_or("<none>"), "file:///www/a%20b.js");
    EXPECT_EQ(originalURLFromLocalRoute("hybroute-local://load/www/data.json?v=2").value_or("<none>"), "file:///www/data.json?v=2");
    EXPECT_EQ(originalURLFromLocalRoute("hybroute-local://load/").value_or("<none>"), "file:///");
    for (const char* route : {"hybroute-local://load", "hybroute-local://load?file%3A%2F%2F%2Fa", "hybroute-local://loader/a",
                              "hybroute-local://load//server/share", "hybroute-local://load/a#b", "hybroute-local://exec/a",
                              "hybroute://load/a", "HYBROUTE-LOCAL://load/a"})
        EXPECT_FALSE(originalURLFromLocalRoute(route)) << route;
    EXPECT_FALSE(originalURLFromLocalRoute(std::string("hybroute-local://load/a\0b", 25)));
    EXPECT_FALSE(originalURLFromRoute("hybroute-local://load/?file%3A%2F%2F%2Fa"));
}

TEST(RouteURLTest, ALoopbackURLNamesItsOriginInItsHostAndKeepsWhatFollowsAsWritten)
{
    // "http://a.example:8080": its origin in hexadecimal; the path and query as written, raw characters and a lone
    // escape included; the fragment dropped; user information left out of the host; a scheme's own port dropped.
    EXPECT_EQ(webengine::loopbackURLFor("http://a.example:8080/p?ids[]=1&f={|}^`&q=50%off#frag", 4000).value_or("<none>"),
              "http://687474703a2f2f612e6578616d706c653a38303830.localhost:4000/p?ids[]=1&f={|}^`&q=50%off");
    EXPECT_EQ(webengine::loopbackURLFor("HTTPS://A.Example:443?q", 4000).value_or("<none>"),
              webengine::loopbackURLFor("https://a.example/?q", 4000).value_or("<other>"));
    EXPECT_EQ(webengine::originOfLoopbackHost("687474703a2f2f612e6578616d706c653a38303830.localhost:4000", 4000).value_or("<none>"),
              "http://a.example:8080");
    EXPECT_EQ(webengine::originOfLoopbackHost("687474703A2F2F612E6578616D706C653A38303830.LOCALHOST:4000", 4000).value_or("<none>"),
              "http://a.example:8080");
    // An origin too long for a host name has no loopback URL (the load goes by the route).
    EXPECT_FALSE(webengine::loopbackURLFor("http://" + std::string(130, 'a') + "/", 4000));
    EXPECT_FALSE(webengine::loopbackURLFor("ftp://a.example/", 4000));
    EXPECT_FALSE(webengine::loopbackURLFor("http://a.example:99999/", 4000));
    // No origin: another port, another name, what is no origin (a path, credentials, a break, another scheme).
    for (const char* host : {"687474703a2f2f61.localhost:4001", "687474703a2f2f61.example:4000", "687474703a2f2f61.localhost",
                             "687474703a2f2f612f78.localhost:4000", "687474703a2f2f7540612e.localhost:4000", "687474703a2f2f610a.localhost:4000",
                             "6674703a2f2f61.localhost:4000", ".localhost:4000", "zz.localhost:4000"})
        EXPECT_FALSE(webengine::originOfLoopbackHost(host, 4000)) << host;
}
