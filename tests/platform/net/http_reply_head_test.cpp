// Replies whose head never completes: cut off after the status line or a field, or trickled line by line
// for longer than the request's time-out. Neither may pass for a finished load.
#include "platform/net/URLConnection.h"
#include "platform/net/URLError.h"
#include "support/ScriptedReplyServer.h"
#include "support/URLLoadRecorder.h"

#include <gtest/gtest.h>

#include <chrono>

using platform::URLConnection;
using platform::URLRequest;
using testsupport::ScriptedReplyServer;
using testsupport::URLLoadRecorder;
using namespace std::chrono_literals;

namespace {

struct Ended {
    std::optional<platform::Error> error;
    bool finished = false;
};

Ended load(URLRequest request) {
    auto recorder = std::make_shared<URLLoadRecorder>();
    auto connection = URLConnection::make(request, recorder);
    EXPECT_TRUE(recorder->waitUntilEnded(30s));
    return {recorder->error(), recorder->finished()};
}

TEST(HTTPReplyHead, AReplyCutOffInsideItsHeadIsAFailureForEveryMethod) {
    for (const char* cut : {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n", "HTTP/1.1 200 OK",
                            "HTTP/1.1 100 Continue\r\n\r\n"}) {
        ScriptedReplyServer server({{cut}});
        for (const char* method : {"GET", "POST", "HEAD"}) {
            SCOPED_TRACE(std::string(method) + " " + cut);
            URLRequest request(server.url("/file"));
            request.setHTTPMethod(method);
            if (std::string(method) == "POST")
                request.setHTTPBody(platform::Bytes{'a', 'b'});
            Ended ended = load(request);
            EXPECT_FALSE(ended.finished);
            ASSERT_TRUE(ended.error);
            // The library itself reports some of these (a line without its end, say) as a lost connection.
            EXPECT_TRUE(ended.error->code == platform::kURLErrorBadServerResponse ||
                        ended.error->code == platform::kURLErrorNetworkConnectionLost)
                << ended.error->code;
        }
    }
    // A whole head without a body is a reply (an empty one).
    ScriptedReplyServer whole({{"HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n"}});
    EXPECT_TRUE(load(URLRequest(whole.url("/empty"))).finished);
}

// A load carried for the web engine (URLRequest::setPassesThrough) reads a head the connection's close ended after
// whole lines as the engine does: the reply, with an empty body; an interim reply alone is still no reply.
TEST(HTTPReplyHead, APassedThroughLoadTakesAHeadEndedByTheConnectionsCloseAsTheEngineDoes) {
    for (const char* cut : {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 201 Made\r\nX-Total-Count: 42\r\n"}) {
        SCOPED_TRACE(cut);
        ScriptedReplyServer server({{cut}});
        URLRequest request(server.url("/file"));
        request.setPassesThrough(true);
        auto recorder = std::make_shared<URLLoadRecorder>();
        auto connection = URLConnection::make(request, recorder);
        ASSERT_TRUE(recorder->waitUntilEnded(30s));
        EXPECT_TRUE(recorder->finished());
        ASSERT_TRUE(recorder->response());
        EXPECT_EQ(recorder->response()->statusCode(), std::string(cut).find("201") != std::string::npos ? 201 : 200);
        if (std::string(cut).find("42") != std::string::npos) {
            EXPECT_EQ(recorder->response()->allHeaderFields().value("X-Total-Count"), std::optional<std::string>("42"));
        }
        EXPECT_EQ(recorder->body(), "");
    }
    ScriptedReplyServer interim({{"HTTP/1.1 100 Continue\r\n\r\n"}});
    URLRequest request(interim.url("/file"));
    request.setPassesThrough(true);
    EXPECT_FALSE(load(request).finished);
}

TEST(HTTPReplyHead, AHeadTrickledLineByLineEndsAtTheTimeOutThoughEachLineComesInTime) {
    // A line every 400 ms for 6 s: each one well inside the 1.5 s idle time-out.
    std::vector<ScriptedReplyServer::Piece> script{{"HTTP/1.1 200 OK\r\n", 400ms}};
    for (int i = 0; i < 15; ++i)
        script.push_back({"X-Slow-" + std::to_string(i) + ": 1\r\n", 400ms});
    script.push_back({"Content-Length: 2\r\n\r\nok"});
    ScriptedReplyServer server(script);
    URLRequest request(server.url("/slow"));
    request.setTimeoutInterval(1.5);
    Ended ended = load(request);
    // It ended while the head was still coming (one more piece may go out before the server sees the
    // connection closed): the time-out counts over the whole head.
    EXPECT_LT(server.piecesSent(), static_cast<int>(script.size()) - 1);
    ASSERT_TRUE(ended.error);
    EXPECT_EQ(ended.error->code, platform::kURLErrorTimedOut);

    // The same head sent at once, with the body trickled: the body's pace is the idle time-out's business.
    ScriptedReplyServer quickHead({{"HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n", 400ms}, {"a", 400ms}, {"b", 400ms}, {"c", 400ms}, {"d"}});
    URLRequest slowBody(quickHead.url("/slow-body"));
    slowBody.setTimeoutInterval(1.5);
    EXPECT_TRUE(load(slowBody).finished);
}

} // namespace
