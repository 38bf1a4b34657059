// Route URLs: what the web process sends back for each sub-resource load, and the loopback route's endpoint.
#include "webengine/RouteURL.h"

#include "webengine/LoopbackRequestHead.h"
#include "webengine/LoopbackRoute.h"

#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

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

namespace {

// Sends `request` to the loopback route's endpoint from a thread of its own (the endpoint answers on the main
// context, which the test turns meanwhile) and gives the answer's head, or "" when the connection closed.
// Turns the main context (where the endpoint answers) until `done`, 20 s at most.
void turnMainUntil(const std::atomic<bool>& done)
{
    const gint64 deadline = g_get_monotonic_time() + 20 * G_USEC_PER_SEC;
    while (!done && g_get_monotonic_time() < deadline)
        g_main_context_iteration(nullptr, TRUE);
}

std::string askLoopback(const std::string& request)
{
    const std::uint16_t port = webengine::LoopbackRoute::shared().port();
    std::string answer;
    std::atomic<bool> done = false;
    std::thread asker([&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            (void)!write(fd, request.data(), request.size());
            char buffer[4096];
            for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;)
                answer.append(buffer, static_cast<std::size_t>(n));
        }
        if (fd >= 0)
            close(fd);
        done = true;
        g_main_context_wakeup(nullptr);
    });
    turnMainUntil(done);
    asker.join();
    return answer.substr(0, answer.find("\r\n\r\n"));
}

// A connection of this thread's to the endpoint (-1 when it could not connect).
int connectToLoopback()
{
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(webengine::LoopbackRoute::shared().port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

} // namespace

// The endpoint answers the engine's loads of the application's pages only: a request without a valid mark, for
// another port, naming no origin, or a navigation, is refused; a preflight is answered to the application's
// askers alone, and nothing goes to the server.
TEST(LoopbackRouteTest, TheEndpointRefusesWhatNoMarkOfTheApplicationsVouchesFor)
{
    const webengine::LoopbackRoute& route = webengine::LoopbackRoute::shared();
    ASSERT_NE(route.port(), 0);
    const std::string port = std::to_string(route.port());
    const std::string host = "Host: 687474703a2f2f3132372e302e302e313a39.localhost:" + port + "\r\n"; // "http://127.0.0.1:9"
    const std::string unknownView = route.markFor(987654321, std::string(32, 'a'));
    std::string forged = route.markFor(0, std::string(32, 'b'));
    forged.back() = forged.back() == '0' ? '1' : '0';
    for (const std::string& request : {
             "GET /x HTTP/1.1\r\n" + host + "\r\n",
             "GET /x HTTP/1.1\r\n" + host + "Hyb-Load: " + forged + "\r\n\r\n",
             "GET /x HTTP/1.1\r\n" + host + "Hyb-Load: " + unknownView + "\r\n\r\n",
             "GET /x HTTP/1.1\r\nHost: 687474703a2f2f3132372e302e302e313a39.localhost:1\r\nHyb-Load: " + route.markFor(0, std::string(32, 'c')) + "\r\n\r\n",
             "GET /x HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n",
             "GET /x HTTP/1.1\r\nHost: 687474703a2f2f3132372e302e302e313a392f78.localhost:" + port + "\r\n\r\n",
             "OPTIONS /x HTTP/1.1\r\n" + host + "Origin: https://another.example\r\nAccess-Control-Request-Method: PUT\r\n\r\n",
         }) {
        EXPECT_EQ(askLoopback(request).substr(0, 12), "HTTP/1.1 403") << request;
    }
    EXPECT_EQ(askLoopback("GET / HTTP/1.1\r\nX: " + std::string(70 * 1024, 'x') + "\r\n\r\n").substr(0, 12), "HTTP/1.1 431");
    // A head another reader could read otherwise is refused before anything else: a lone line break or a NUL in a
    // field's value (a length read up to the NUL), a space in the target, a folded line.
    for (const std::string& request : {
             std::string("NOT HTTP\r\n\r\n"),
             "GET /x HTTP/1.1\r\n" + host + "Content-Length: 5" + std::string(1, '\0') + "99\r\n\r\n",
             "GET /x HTTP/1.1\r\n" + host + "X-Total: 1\nContent-Length: 5\r\n\r\n",
             "GET /x HTTP/1.1\r\n" + host + "X-Total: 1\rContent-Length: 5\r\n\r\n",
             "GET /x /y HTTP/1.1\r\n" + host + "\r\n",
             "GET /x HTTP/1.1\r\n" + host + "X-Total: 1\r\n 2\r\n\r\n",
         }) {
        EXPECT_EQ(askLoopback(request).substr(0, 12), "HTTP/1.1 400") << request;
    }
    const std::string preflight = askLoopback("OPTIONS /x HTTP/1.1\r\n" + host + "Origin: file://\r\nAccess-Control-Request-Method: PUT\r\n"
                                              "Access-Control-Request-Headers: x-total\r\n\r\n");
    EXPECT_EQ(preflight.substr(0, 12), "HTTP/1.1 204") << preflight;
    EXPECT_NE(preflight.find("Access-Control-Allow-Origin: file://"), std::string::npos) << preflight;
    EXPECT_NE(preflight.find("Access-Control-Allow-Headers: x-total"), std::string::npos) << preflight;
}

// Connections that never finish their head cannot keep the engine's loads out: with the endpoint's table full of
// them (each sent only a request line), a new connection takes the place of the oldest one still waiting for its
// head, and is answered.
TEST(LoopbackRouteTest, ConnectionsThatNeverFinishAHeadGiveTheirPlaceToANewOne)
{
    ASSERT_NE(webengine::LoopbackRoute::shared().port(), 0);
    std::vector<int> waiting;
    std::atomic<bool> connected = false;
    std::thread flood([&] {
        for (int i = 0; i < 300; ++i) {
            const int fd = connectToLoopback();
            if (fd < 0)
                break;
            (void)!write(fd, "GET / HTTP/1.1\r\n", 16);
            waiting.push_back(fd);
        }
        connected = true;
        g_main_context_wakeup(nullptr);
    });
    turnMainUntil(connected);
    flood.join();
    ASSERT_EQ(waiting.size(), 300u);
    EXPECT_EQ(askLoopback("GET /x HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").substr(0, 12), "HTTP/1.1 403") << "answered, not closed at once";
    // The oldest connection waiting for its head was closed.
    std::atomic<bool> read = false;
    ssize_t got = -1;
    std::thread reader([&] {
        char byte;
        pollfd ready{waiting.front(), POLLIN, 0};
        if (poll(&ready, 1, 20 * 1000) == 1)
            got = ::read(waiting.front(), &byte, 1);
        read = true;
        g_main_context_wakeup(nullptr);
    });
    turnMainUntil(read);
    reader.join();
    EXPECT_EQ(got, 0);
    for (int fd : waiting)
        close(fd);
}

// The endpoint takes a head whose end starts at its bound and refuses one a byte longer, however its reads cut it
// (whole, a byte at a time, or the end's "\r\n\r\n" in a read of its own); what follows the head is the body's start.
TEST(LoopbackRouteTest, AHeadAtItsBoundIsTakenHoweverItsReadsCutIt)
{
    using State = webengine::LoopbackHeadReader::State;
    const std::string line = "GET /x HTTP/1.1\r\nX-Filler: ";
    for (const std::size_t headBytes : {webengine::kMaxLoopbackHeadBytes - 1, webengine::kMaxLoopbackHeadBytes, webengine::kMaxLoopbackHeadBytes + 1}) {
        const std::string request = line + std::string(headBytes - line.size(), 'a') + "\r\n\r\nbody";
        const State expected = headBytes <= webengine::kMaxLoopbackHeadBytes ? State::Complete : State::TooLarge;
        for (const std::size_t piece : {request.size(), std::size_t{1}, headBytes}) {
            webengine::LoopbackHeadReader reader;
            State state = State::Incomplete;
            for (std::size_t at = 0; at < request.size() && state == State::Incomplete; at += piece)
                state = reader.take(std::string_view(request).substr(at, piece));
            EXPECT_EQ(state, expected) << headBytes << " bytes in reads of " << piece;
            if (state == State::Complete) {
                EXPECT_EQ(reader.head().size(), headBytes + 2);
                EXPECT_EQ(reader.takeRest(), piece == 1 ? "" : "body");
            }
        }
    }
}
