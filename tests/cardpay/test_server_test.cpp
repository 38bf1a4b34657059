// The loopback payment server's own checks of what it receives.
#include "platform/formats/JSON.h"
#include "platform/net/URLConnection.h"
#include "support/CardPayTestServer.h"

#include <gtest/gtest.h>

namespace {

platform::Value post(const testsupport::CardPayTestServer& server, const std::string& body) {
    platform::URLRequest request(server.url());
    request.setHTTPMethod("POST");
    request.setHTTPBody(body);
    auto reply = platform::URLConnection::sendSynchronousRequest(request);
    if (!reply.ok())
        return {};
    return platform::JSON::parse(std::string(reply->data.begin(), reply->data.end())).valueOr({});
}

} // namespace

TEST(CardPayTestServer, MarksMalformedRequests) {
    testsupport::CardPayTestServer server;
    const char* bodies[] = {
        "not json",
        R"(["init"])",
        R"({"v":"1.3","cmd":"query","params":{"tn":"1"}})",
        R"({"v":"1.4","cmd":"nosuch","params":{}})",
        R"({"v":"1.4","cmd":"query","params":"tn"})",
        R"({"v":"1.4","cmd":"query","params":{"tn":1}})",
        R"({"v":"1.4","cmd":"rules","params":{"first_pay_flag":"1","card":"a","pan":"b","pay_type":"1","pay_mode":"1"}})",
        R"({"v":"1.4","cmd":"rules","params":{"first_pay_flag":"1","card":"a","pay_type":"1"}})",
        R"({"v":"1.4","cmd":"bingopromotion","params":{"x":"1"}})",
        R"({"v":"1.4","params":{}})",
    };
    for (const char* body : bodies) {
        const auto reply = post(server, body);
        EXPECT_EQ(reply["resp"], platform::Value("E1")) << body;
        EXPECT_TRUE(reply["msg"].stringOr("").starts_with("malformed request: ")) << body;
    }
    EXPECT_EQ(server.malformed().size(), std::size(bodies));
    EXPECT_TRUE(server.commands().empty());

    const auto good = post(server, R"({"v":"1.4","cmd":"query","params":{"tn":"1"}})");
    EXPECT_EQ(good["resp"], platform::Value("00"));
    EXPECT_EQ(good["params"], platform::Value(platform::Dictionary{}));
    ASSERT_EQ(server.commands().size(), 1u);
    EXPECT_EQ(server.commands()[0].params["tn"], platform::Value("1"));
}

TEST(CardPayTestServer, SequencesRepeatTheirLastEntryAndScenariosAreChecked) {
    testsupport::CardPayTestServer server;
    server.setReply("query", platform::Array{platform::Dictionary{{"status", "01"}}, platform::Dictionary{{"status", "00"}}});
    const std::string body = R"({"v":"1.4","cmd":"query","params":{"tn":"1"}})";
    EXPECT_EQ(post(server, body)["params"]["status"], platform::Value("01"));
    EXPECT_EQ(post(server, body)["params"]["status"], platform::Value("00"));
    EXPECT_EQ(post(server, body)["params"]["status"], platform::Value("00"));

    EXPECT_TRUE(testsupport::CardPayTestServer::loadScenario(testsupport::CardPayTestServer::sampleScenarioPath()).ok());
    EXPECT_FALSE(testsupport::CardPayTestServer::loadScenario("/nonexistent/scenario.json").ok());
}

TEST(CardPayTestServer, LoginFormsAreCheckedAgainstTheScenarioLogin) {
    testsupport::CardPayTestServer server(platform::Dictionary{
        {"login", platform::Dictionary{{"user_name", "demo"}, {"password", "demo1234"}}},
        {"replies", platform::Dictionary{{"getuserinfo", platform::Dictionary{{"user_id", "u-1"}}}}}});
    auto ask = [&](const std::string& params) { return post(server, R"({"v":"1.4","cmd":"getuserinfo","params":{)" + params + "}}"); };
    for (const char* wrong : {R"("user_name":"demo","password":"nope")", R"("user_name":"Demo","password":"demo1234")",
                              R"("user_name":"demo")"}) {
        const auto reply = ask(wrong);
        EXPECT_EQ(reply["resp"], platform::Value("01")) << wrong;
        EXPECT_EQ(reply["msg"], platform::Value(testsupport::CardPayTestServer::kWrongLogin));
    }
    EXPECT_EQ(ask(R"("user_name":"demo","password":"demo1234")")["params"]["user_id"], platform::Value("u-1"));
    EXPECT_EQ(ask(R"("user_id":"u-1")")["resp"], platform::Value("00"));  // the start screen's own ask

    testsupport::CardPayTestServer open;  // no login in the scenario: any name is let in
    EXPECT_EQ(post(open, R"({"v":"1.4","cmd":"getuserinfo","params":{"user_name":"x","password":"y"}})")["resp"], platform::Value("00"));
}

TEST(CardPayTestServer, ServesTheScenariosPagesAndNamesItsOwnAddress) {
    testsupport::CardPayTestServer server(platform::Dictionary{
        {"pages", platform::Dictionary{{"/pages/draw.html", platform::Dictionary{{"title", "Draw <1>"}, {"text", "Back to {server}/x & more"}}},
                                       {"relative.html", platform::Dictionary{{"title", "no leading slash"}}}}},
        {"replies", platform::Dictionary{{"bingopromotion", platform::Dictionary{{"luck_draw", platform::Dictionary{
                                             {"options", platform::Array{platform::Dictionary{{"url", "{server}/pages/draw.html"}}}}}}}}}}});
    // Replies name the server's own address.
    const auto reply = post(server, R"({"v":"1.4","cmd":"bingopromotion","params":{}})");
    EXPECT_EQ(reply["params"]["luck_draw"]["options"][0]["url"], platform::Value(server.url("/pages/draw.html")));

    // The page, its texts escaped, "{server}" in it replaced too.
    platform::URLRequest request(server.url("/pages/draw.html"));
    auto page = platform::URLConnection::sendSynchronousRequest(request);
    ASSERT_TRUE(page.ok());
    const std::string html(page->data.begin(), page->data.end());
    EXPECT_NE(html.find("<title>Draw &lt;1&gt;</title>"), std::string::npos) << html;
    EXPECT_NE(html.find("Back to " + server.url("/x") + " &amp; more"), std::string::npos) << html;
    EXPECT_EQ(server.page("/pages/draw.html"), html);
    // Paths not named, or named without a leading "/", are not served.
    EXPECT_FALSE(server.page("/pages/other.html"));
    auto missing = platform::URLConnection::sendSynchronousRequest(platform::URLRequest(server.url("/pages/other.html")));
    ASSERT_TRUE(missing.ok());
    EXPECT_EQ(missing->response.statusCode(), 404);

    // Values: every text of nested arrays and dictionaries.
    EXPECT_EQ(server.withServerAddress(platform::Value(platform::Array{"{server}", platform::Dictionary{{"a", "{server}{server}"}}, 3})),
              platform::Value(platform::Array{server.url(""), platform::Dictionary{{"a", server.url("") + server.url("")}}, 3}));
}

// The poll made to fail after a named command, healing after a count of faulty polls or on a command.
TEST(CardPayTestServer, ThePollFailsAfterANamedCommandUntilItHeals) {
    using Fault = testsupport::CardPayTestServer::Fault;
    testsupport::CardPayTestServer server;
    server.setReply("query", platform::Dictionary{{"status", "00"}});
    const std::string query = R"({"v":"1.4","cmd":"query","params":{"tn":"1"}})";
    const auto command = [&](const std::string& cmd) { return post(server, R"({"v":"1.4","cmd":")" + cmd + R"(","params":{}})"); };
    const auto answered = [&] { return post(server, query)["params"]["status"] == platform::Value("00"); };

    server.setPollFault({Fault::HTTP500, "pay", 2, ""});
    EXPECT_TRUE(answered());  // not before "pay"
    command("pay");
    EXPECT_FALSE(answered());
    EXPECT_FALSE(answered());
    EXPECT_TRUE(answered());  // healed after two
    EXPECT_TRUE(answered());
    command("pay");           // starts again
    EXPECT_FALSE(answered());

    server.setPollFault({Fault::Drop, "prepay", 0, "getuserinfo"});
    command("prepay");
    for (int i = 0; i < 5; ++i)
        EXPECT_FALSE(answered());
    command("getuserinfo");
    EXPECT_TRUE(answered());
    EXPECT_EQ(server.commands("query").size(), 12u);  // faulty polls arrive as well

    // From the first poll on, itself included; healed after its count.
    server.setPollFault({Fault::HTTP500, "query", 2, ""});
    EXPECT_FALSE(answered());
    EXPECT_FALSE(answered());
    EXPECT_TRUE(answered());
    EXPECT_TRUE(answered());
}
