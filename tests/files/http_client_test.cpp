#include "deploy/Base64.h"
#include "deploy/UNIHTTPClientHelper.h"
#include "deploy/UNIRest.h"
#include "platform/net/URLError.h"

#include "support/Deflate.h"
#include "support/HTTPTestServer.h"
#include "support/KeptAlive.h"
#include "support/RunLoopWait.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>

using namespace deploy;
using testsupport::HTTPTestServer;
using testsupport::Reply;

namespace {

class HTTPClient : public ::testing::Test {
protected:
    void SetUp() override {
        UNIRest::clearDefaultHeaders();
        UNIRest::timeout(60);
    }
    void TearDown() override { UNIRest::clearDefaultHeaders(); }

    HTTPTestServer server;
};

std::string text(const platform::Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

std::string gzip(const std::string& plain) { return testsupport::deflated(plain, 31); }

} // namespace

TEST_F(HTTPClient, GetAddsTheQueryAndSendsLowerCaseHeaders) {
    server.route("/check", Reply::text(200, "{}", "application/json"));
    auto response = UNIRest::get([&](UNISimpleRequest& r) {
                        r.url = server.url("/check?x=1");
                        r.headers.set("X-Channel-Tag", "beta");
                        r.parameters.set("name", "John Doe");
                        r.parameters.set("flag", true);
                        r.parameters.setFile("ignored", platform::URL::fileURLWithPath("/nonexistent"));
                    }).asString();
    ASSERT_TRUE(response) << response.error().localizedDescription();
    EXPECT_EQ(response->code(), 200);
    auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].query, "x=1&name=John%20Doe&flag=1");
    EXPECT_TRUE(requests[0].body.empty());
    EXPECT_EQ(requests[0].header("user-agent"), "unirest-objc/1.1");
    bool sawLowerCase = false;
    for (const auto& [name, value] : requests[0].headers) {
        if (name == "x-channel-tag" && value == "beta")
            sawLowerCase = true;
        EXPECT_NE(name, "X-Channel-Tag");
    }
    EXPECT_TRUE(sawLowerCase);

    // Without a "?" in the URL the query starts with one.
    ASSERT_TRUE(UNIRest::get([&](UNISimpleRequest& r) {
                    r.url = server.url("/check");
                    r.parameters.set("a", "b&c=d");
                }).asString());
    EXPECT_EQ(server.requests()[1].query, "a=b%26c%3Dd");
}

TEST_F(HTTPClient, MergesDefaultAndRequestHeaders) {
    server.routeEcho("/echo");
    UNIRest::defaultHeader("x-both", "default");
    auto response = UNIRest::post([&](UNISimpleRequest& r) {
                        r.url = server.url("/echo");
                        r.headers.set("X-Both", "mine");
                        r.headers.set("Content-Type", "text/plain");
                        r.password = "secret";
                    }).asString();
    ASSERT_TRUE(response);
    auto request = server.requests().at(0);
    EXPECT_EQ(request.header("x-both"), "default, mine");
    // The form body's content type replaces the caller's, as one field.
    EXPECT_EQ(request.header("content-type"), "application/x-www-form-urlencoded");
    int contentTypes = 0;
    for (const auto& field : request.headers)
        contentTypes += field.first == "content-type" || field.first == "Content-Type";
    EXPECT_EQ(contentTypes, 1);
    // No user name but a password: ":" then the password.
    EXPECT_EQ(request.header("authorization"), "Basic " + Base64::base64String(":secret"));
    EXPECT_EQ(Base64::base64String(":secret"), "OnNlY3JldA==");
    EXPECT_EQ(Base64::base64String("caf\xC3\xA9"), "");
    // POST with neither parameters nor body: an empty form.
    EXPECT_TRUE(request.body.empty());

    // A header value that would split the request is refused before anything is sent.
    auto injected = UNIRest::get([&](UNISimpleRequest& r) {
                        r.url = server.url("/echo");
                        r.headers.set("x-evil", "a\r\nx-injected: 1");
                    }).asString();
    EXPECT_FALSE(injected);
    EXPECT_EQ(server.requests().size(), 1u);
}

TEST_F(HTTPClient, ARequestThatChangesTheServerIsSentOnceWhenItsReplyIsLost) {
    // The server reads the request, then closes the kept-alive connection it came on without a reply.
    server.route("/lost", Reply::closedWithoutReply());
    const std::pair<const char*, UNIHTTPRequestWithBody (*)(const UNIRest::SimpleConfig&)> senders[] = {
        {"POST", &UNIRest::post}, {"PUT", &UNIRest::put}, {"PATCH", &UNIRest::patch}, {"DELETE", &UNIRest::delete_}};
    for (const auto& [method, send] : senders) {
        ASSERT_TRUE(testsupport::keepAConnectionAlive(server.url()));
        auto response = send([&](UNISimpleRequest& r) {
                            r.url = server.url("/lost");
                            r.parameters.set("report", "once");
                        }).asString();
        EXPECT_FALSE(response) << method;
        std::size_t arrivals = 0;
        for (const auto& request : server.requests())
            arrivals += request.path == "/lost" && request.method == method;
        EXPECT_EQ(arrivals, 1u) << method;
    }
}

TEST_F(HTTPClient, MultipartBodyIsExact) {
    server.routeEcho("/upload");
    std::string path = (std::filesystem::temp_directory_path() / "http-client-upload.txt").string();
    std::ofstream(path, std::ios::binary) << "file\r\nbytes";
    auto response = UNIRest::post([&](UNISimpleRequest& r) {
                        r.url = server.url("/upload");
                        r.parameters.set("title", "A b");
                        r.parameters.setFile("doc", platform::URL::fileURLWithPath(path));
                        r.parameters.setFile("missing", platform::URL::fileURLWithPath("/nonexistent/none.bin"));
                        r.parameters.set("n", 42);
                    }).asBinary();
    std::filesystem::remove(path);
    ASSERT_TRUE(response);
    const std::string b = "---------------------------17237809831461299884346131229";
    const std::string expected = "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"title\"\r\n\r\nA b" +
                                 "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"doc\"; filename=\"http-client-upload.txt\"\r\n" +
                                 "Content-Length: 11\r\n\r\nfile\r\nbytes" +
                                 "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"missing\"; filename=\"none.bin\"\r\n" +
                                 "Content-Length: 0\r\n\r\n" +
                                 "\r\n--" + b + "\r\nContent-Disposition: form-data; name=\"n\"\r\n\r\n42" +
                                 "\r\n--" + b + "--\r\n";
    EXPECT_EQ(text(response->body()), expected);
    EXPECT_EQ(server.requests().at(0).header("content-type"), "multipart/form-data; boundary=" + b);

    // An entity body goes as it is.
    auto entity = UNIRest::putEntity([&](UNIBodyRequest& r) {
                      r.url = server.url("/upload");
                      r.body = platform::Bytes{'{', '}'};
                  }).asString();
    ASSERT_TRUE(entity);
    EXPECT_EQ(server.requests().at(1).method, "PUT");
    EXPECT_EQ(entity->body(), "{}");
}

TEST_F(HTTPClient, RepliesReadAsJsonTextOrBytesWhateverTheStatus) {
    server.route("/object", Reply::text(200, "{\"a\":[1,true]}", "application/json"));
    server.route("/array", Reply::text(200, "[1,2]", "application/json"));
    server.route("/text", Reply::text(200, "not json"));
    auto object = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/object"); }).asJson();
    ASSERT_TRUE(object);
    ASSERT_TRUE(object->body().JSONObject());
    EXPECT_EQ((*object->body().JSONObject())["a"][1], platform::Value(true));
    auto array = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/array"); }).asJson();
    ASSERT_TRUE(array);
    EXPECT_TRUE(array->body().isArray());
    EXPECT_FALSE(array->body().JSONObject());
    auto notJson = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/text"); }).asJson();
    ASSERT_TRUE(notJson);
    EXPECT_FALSE(notJson->body().JSONObject());
    EXPECT_FALSE(notJson->body().isArray());

    // The client asks for gzip; a compressed reply arrives decoded.
    server.route("/gzip", Reply::text(200, gzip("{\"packed\":true}"), "application/json").withHeader("Content-Encoding", "gzip"));
    auto packed = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/gzip"); }).asJson();
    ASSERT_TRUE(packed);
    ASSERT_TRUE(packed->body().JSONObject());
    EXPECT_EQ((*packed->body().JSONObject())["packed"], platform::Value(true));
    EXPECT_EQ(server.requests().back().header("accept-encoding"), "gzip");

    auto missing = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/missing"); }).asString();
    ASSERT_TRUE(missing);
    EXPECT_EQ(missing->code(), 404);
    EXPECT_EQ(missing->body(), "not found");

    server.stop();
    auto refused = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/object"); }).asJson();
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().code, platform::kURLErrorCannotConnectToHost);
}

TEST_F(HTTPClient, AsyncAnswersOnceOnItsQueueAndNotAfterCancel) {
    server.route("/json", Reply::text(200, "{\"ok\":true}", "application/json"));
    server.route("/empty", Reply::text(204, ""));
    Reply held = Reply::text(200, "{}");
    held.hold = true;
    server.route("/held", held);

    std::atomic<int> answers{0};
    std::optional<UNIHTTPJsonResponse> got;
    auto connection = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/json"); })
                          .asJsonAsync([&](std::optional<UNIHTTPJsonResponse> response, std::optional<platform::Error> error) {
                              EXPECT_FALSE(error);
                              EXPECT_FALSE(platform::RunLoop::isMainThread());
                              got = response;
                              ++answers;
                          });
    ASSERT_NE(connection, nullptr);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answers == 1; }));
    ASSERT_TRUE(got);
    EXPECT_EQ((*got->body().JSONObject())["ok"], platform::Value(true));

    std::atomic<bool> emptyDone{false};
    UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/empty"); })
        .asStringAsync([&](std::optional<UNIHTTPStringResponse> response, std::optional<platform::Error> error) {
            EXPECT_FALSE(error);
            EXPECT_TRUE(response && response->code() == 204 && response->rawBody().empty());
            emptyDone = true;
        });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return emptyDone.load(); }));

    std::atomic<int> cancelledAnswers{0};
    auto cancelled = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/held"); })
                         .asStringAsync([&](auto, auto) { ++cancelledAnswers; });
    ASSERT_TRUE(server.waitForRequests(3));
    cancelled->cancel();
    server.releaseHeldReplies();
    // A later request completing shows the loop has turned past anything the cancelled one could send.
    answers = 0;
    UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/json"); })
        .asJsonAsync([&](auto, auto) { ++answers; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return answers == 1; }));
    EXPECT_EQ(cancelledAnswers, 0);
}

TEST(HTTPClientHelper, EscapesAndJoinsParameters) {
    EXPECT_EQ(UNIHTTPClientHelper::encodeURI("a b!*'();:@&=+$,/?%#[]~-._\xE4\xB8\xAD"),
              "a%20b%21%2A%27%28%29%3B%3A%40%26%3D%2B%24%2C%2F%3F%25%23%5B%5D~-._%E4%B8%AD");
    UNIParameters parameters{{"b", 2}, {"a", "x"}, {"none", nullptr}};
    EXPECT_EQ(UNIHTTPClientHelper::dictionaryToQuerystring(parameters), "b=2&a=x");
    EXPECT_EQ(UNIHTTPClientHelper::dictionaryToQuerystring({}), "");
    EXPECT_FALSE(UNIHTTPClientHelper::hasBinaryParameters(parameters));
    parameters.setFile("f", platform::URL::fileURLWithPath("/tmp/x"));
    EXPECT_TRUE(UNIHTTPClientHelper::hasBinaryParameters(parameters));
}

namespace {

// A gzip stream of `length` zero bytes, made a block at a time (some 1,000 times smaller than that).
std::string gzipOfZeros(std::size_t length) {
    z_stream stream{};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 31, 9, Z_DEFAULT_STRATEGY);
    const std::string block(1024 * 1024, '\0');
    std::string out;
    std::string buffer(64 * 1024, '\0');
    for (std::size_t left = length; left > 0 || stream.avail_in > 0;) {
        const bool last = left <= block.size();
        const std::size_t n = std::min(left, block.size());
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(block.data()));
        stream.avail_in = static_cast<uInt>(n);
        left -= n;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer.data());
            stream.avail_out = static_cast<uInt>(buffer.size());
            deflate(&stream, last ? Z_FINISH : Z_NO_FLUSH);
            out.append(buffer.data(), buffer.size() - stream.avail_out);
        } while (stream.avail_out == 0);
        if (last)
            break;
    }
    deflateEnd(&stream);
    return out;
}

} // namespace

TEST_F(HTTPClient, RepliesPastTheLimitAreRefusedAsTheyArriveEvenWhenTheyExpandFromGzip) {
    EXPECT_EQ(UNIHTTPClientHelper::kMaxResponseLength, 1024u * 1024u);
    const std::size_t limit = UNIHTTPClientHelper::kMaxResponseLength;
    server.route("/full", Reply::text(200, std::string(limit, 'f')));
    server.route("/over", Reply::text(200, std::string(limit + 1, 'o')));
    // A quarter of a megabyte on the wire that would expand to 256 MiB.
    const std::string bomb = gzipOfZeros(std::size_t{256} << 20);
    ASSERT_LT(bomb.size(), limit + 1);
    server.route("/bomb", Reply::text(200, bomb, "application/json").withHeader("Content-Encoding", "gzip"));

    auto full = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url("/full"); }).asBinary();
    ASSERT_TRUE(full) << full.error().localizedDescription();
    EXPECT_EQ(full->body().size(), limit);
    for (const char* path : {"/over", "/bomb"}) {
        SCOPED_TRACE(path);
        auto refused = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url(path); }).asJson();
        ASSERT_FALSE(refused);
        EXPECT_EQ(refused.error().code, platform::kURLErrorDataLengthExceedsMaximum);

        std::atomic<int> answers{0};
        std::optional<platform::Error> failure;
        auto connection = UNIRest::get([&](UNISimpleRequest& r) { r.url = server.url(path); })
                              .asJsonAsync([&](std::optional<UNIHTTPJsonResponse> response, std::optional<platform::Error> error) {
                                  EXPECT_FALSE(response);
                                  failure = error;
                                  ++answers;
                              });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return answers == 1; }));
        ASSERT_TRUE(failure);
        EXPECT_EQ(failure->code, platform::kURLErrorDataLengthExceedsMaximum);
    }
}
