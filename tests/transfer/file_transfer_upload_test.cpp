// Uploads against the loopback server: the exact multipart bytes, parameters, headers, cookies, chunked
// and one-piece bodies, data-URL sources, progress and the error objects.
#include "TransferFixture.h"

#include "support/KeptAlive.h"
#include "support/LogCapture.h"
#include "transfer/UploadForm.h"

namespace transfertest {
namespace {

const std::string B = transfer::kUploadFormBoundary;

class UploadTest : public TransferTest {
protected:
    // upload arguments: source, server, key, name, MIME type, parameters, trust, chunked, headers, id, method.
    Array uploadArguments(const std::string& source, const std::string& server, Value parameters, bool chunked,
                          Value headers, const std::string& objectId = "up1") {
        return Array{source, server, "upfile", "notes.txt", "text/plain", std::move(parameters), false, chunked,
                     std::move(headers), objectId, Value()};
    }
    testsupport::RecordedRequest onlyRequest() {
        EXPECT_TRUE(m_server.waitForRequests(1));
        auto requests = m_server.requests();
        EXPECT_EQ(requests.size(), 1u);
        return requests.empty() ? testsupport::RecordedRequest{} : requests.front();
    }
};

// The form with one text field and a number field around "file bytes"; null, dictionary and "__cookie"
// parameters are left out; the cookie travels as the "Cookie" header.
const std::string kExpectedForm = "--" + B + "\r\n"
                                  "Content-Disposition: form-data; name=\"field\"\r\n\r\n"
                                  "v\xC3\xA4lue\r\n"
                                  "--" + B + "\r\n"
                                  "Content-Disposition: form-data; name=\"count\"\r\n\r\n"
                                  "42\r\n"
                                  "--" + B + "\r\n"
                                  "Content-Disposition: form-data; name=\"upfile\"; filename=\"notes.txt\"\r\n"
                                  "Content-Type: text/plain\r\n"
                                  "Content-Length: 10\r\n\r\n"
                                  "file bytes"
                                  "\r\n--" + B + "--\r\n";

Dictionary formParameters() {
    return Dictionary{{"field", "v\xC3\xA4lue"}, {"__cookie", "session=abc"}, {"nothing", Value()},
                      {"count", 42}, {"nested", Dictionary{{"a", 1}}}};
}

TEST_F(UploadTest, FileUploadSendsTheExactFormWithParametersHeadersAndCookieInBothBodyModes) {
    m_server.route("/up", testsupport::Reply::text(200, "stored").withHeader("X-Reply", "yes"));
    writeFile(path("notes.txt"), "file bytes");
    Dictionary headers{{"X-Multi", Array{"one", "two"}}, {"X-Null", Value()}, {"X-Number", 7}};

    for (bool chunked : {true, false}) {
        SCOPED_TRACE(chunked ? "chunked" : "one piece");
        auto answer = runToEnd("upload", uploadArguments(path("notes.txt"), m_server.url("/up"), formParameters(), chunked, headers));
        ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
        EXPECT_EQ(answer.message()["responseCode"].integerValue(), 200);
        EXPECT_EQ(answer.message()["response"].stringOr(""), "stored");
        EXPECT_EQ(answer.message()["headers"]["X-Reply"].stringOr(""), "yes");

        auto request = m_server.requests().back();
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.body, kExpectedForm);
        EXPECT_EQ(request.header("Content-Length"), std::to_string(kExpectedForm.size()));
        EXPECT_EQ(request.header("Content-Type"), "multipart/form-data; boundary=" + B);
        EXPECT_EQ(request.header("Cookie"), "session=abc");
        EXPECT_EQ(request.header("X-Multi"), "one, two");
        EXPECT_EQ(request.header("X-Null"), "null");
        EXPECT_EQ(request.header("X-Number"), "7");
        EXPECT_EQ(request.header("X-Requested-With"), "XMLHttpRequest");
        EXPECT_EQ(request.header("User-Agent"), "TransferTest/1.0");
    }
    EXPECT_TRUE(waitForNoTransfers());
}

TEST_F(UploadTest, CallerContentTypeInAnyLetterCaseSendsTheBareFileAndReplacesDefaultHeaders) {
    m_server.route("/raw", testsupport::Reply::text(201, "ok"));
    writeFile(path("raw.bin"), "RAWDATA");
    Dictionary headers{{"content-TYPE", "application/octet-stream"}, {"X-Requested-With", "Page"}, {"User-Agent", "Mine"}};
    auto answer = runToEnd("upload", Array{path("raw.bin"), m_server.url("/raw"), Value(), Value(), Value(), Value(), Value(),
                                           false, headers, "raw", "PUT"});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answer.message()["responseCode"].integerValue(), 201);
    auto request = onlyRequest();
    EXPECT_EQ(request.method, "PUT");
    EXPECT_EQ(request.body, "RAWDATA");
    EXPECT_EQ(request.header("Content-Length"), "7");
    EXPECT_EQ(request.header("Content-Type"), "application/octet-stream");
    EXPECT_EQ(request.header("X-Requested-With"), "Page");
    EXPECT_EQ(request.header("User-Agent"), "Mine");
}

TEST_F(UploadTest, DataURLSourcesUploadTheirBytesWithDefaultNamesAndAMissingCommaIsAnInvalidURL) {
    m_server.route("/d", testsupport::Reply::text(200, "ok"));
    auto answer = runToEnd("upload", Array{"data:text/plain;base64,aGVsbG8=", m_server.url("/d")});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    const std::string hello = "--" + B + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"image.jpg\"\r\n"
                              "Content-Type: image/jpeg\r\nContent-Length: 5\r\n\r\nhello\r\n--" + B + "--\r\n";
    EXPECT_EQ(onlyRequest().body, hello);

    // Only comma at the end: zero file bytes.
    answer = runToEnd("upload", Array{"data:;base64,", m_server.url("/d")});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_NE(m_server.requests().back().body.find("Content-Length: 0\r\n\r\n\r\n--" + B + "--\r\n"), std::string::npos);

    answer = runToEnd("upload", Array{"data:;base64", m_server.url("/d")});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 2}, {"source", "data:;base64"}, {"target", m_server.url("/d")}}));
    // A lone alphabet character does not decode: no bytes, file not found.
    answer = runToEnd("upload", Array{"data:;base64,A", m_server.url("/d")});
    EXPECT_EQ(answer.message()["code"].integerValue(), 1);
    EXPECT_EQ(m_server.requests().size(), 2u);
}

TEST_F(UploadTest, BadServersAndUnreadableSourcesAnswerTheirCodesAndRegisterNothing) {
    writeFile(path("a.txt"), "a");
    auto answer = runToEnd("upload", Array{path("a.txt"), "not a url"});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 2}, {"source", path("a.txt")}, {"target", "not a url"}}));
    EXPECT_EQ(m_plugin->activeTransferCount(), 0u);

    hybtest::LogCapture log;
    answer = runToEnd("upload", Array{path("missing.txt"), m_server.url("/x")});
    EXPECT_EQ(answer.message()["code"].integerValue(), 1);
    EXPECT_TRUE(log.contains("Error opening file " + path("missing.txt") + ": "));
    answer = runToEnd("upload", Array{"relative/name", m_server.url("/x")});
    EXPECT_EQ(answer.message()["code"].integerValue(), 1);
    EXPECT_EQ(m_plugin->activeTransferCount(), 0u);
    EXPECT_TRUE(m_server.requests().empty());
}

TEST_F(UploadTest, AServerErrorAnswersCode3WithStatusAndBody) {
    m_server.route("/fail", testsupport::Reply::text(500, "broken"));
    writeFile(path("a.txt"), "a");
    auto answer = runToEnd("upload", Array{"file://" + path("a.txt"), m_server.url("/fail")});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 3}, {"source", "file://" + path("a.txt")}, {"target", m_server.url("/fail")},
                                                 {"http_status", 500}, {"body", "broken"}}));
}

TEST_F(UploadTest, AnUploadWhoseReplyIsLostArrivesOnceAndFailsAsAConnectionError) {
    // The server reads the upload, then closes the kept-alive connection it came on without a reply.
    m_server.route("/lost", testsupport::Reply::closedWithoutReply());
    writeFile(path("a.txt"), "a");
    std::size_t expected = 0;
    // A file is streamed; data in memory (a data URL's) goes in one piece, which could be sent again.
    for (const std::string& source : {path("a.txt"), std::string("data:text/plain;base64,aGVsbG8=")})
    for (const char* method : {"POST", "PUT"}) {
        for (bool chunked : {false, true}) {
            SCOPED_TRACE(source + " " + method + (chunked ? " chunked" : " one piece"));
            ASSERT_TRUE(testsupport::keepAConnectionAlive(m_server.url()));
            Array arguments = uploadArguments(source, m_server.url("/lost"), Dictionary{}, chunked, Dictionary{});
            arguments[10] = method;
            auto answer = runToEnd("upload", arguments);
            EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
            EXPECT_EQ(answer.message()["code"].integerValue(), 3);
            std::size_t arrivals = 0;
            for (const auto& request : m_server.requests())
                arrivals += request.path == "/lost";
            EXPECT_EQ(arrivals, ++expected);
        }
    }
}

TEST_F(UploadTest, ProgressCountsTheBodyAndBytesSentAddsTheReply) {
    m_server.route("/big", testsupport::Reply::text(200, "0123456789"));
    const std::string contents(200000, 'x');
    writeFile(path("big.bin"), contents);
    const std::string id = run("upload", Array{path("big.bin"), m_server.url("/big")});
    auto final = m_delegate->waitForFinal(id);
    ASSERT_TRUE(final);
    ASSERT_EQ(final->status(), HYBCommandStatus::Ok);
    const std::size_t bodyLength = m_server.requests().back().body.size();
    EXPECT_GT(bodyLength, contents.size());

    auto answers = m_delegate->answersFor(id);
    ASSERT_GE(answers.size(), 2u);
    std::int64_t lastLoaded = -1;
    for (std::size_t i = 0; i + 1 < answers.size(); ++i) {
        const Value& progress = answers[i].result.message();
        EXPECT_TRUE(answers[i].result.keepCallback());
        EXPECT_EQ(progress["lengthComputable"], Value(true));
        EXPECT_EQ(progress["total"].integerValue(), static_cast<std::int64_t>(bodyLength));
        EXPECT_GE(progress["loaded"].integerValue(), lastLoaded);
        lastLoaded = progress["loaded"].integerValue();
    }
    EXPECT_EQ(lastLoaded, static_cast<std::int64_t>(bodyLength));
    EXPECT_EQ(final->message()["bytesSent"].integerValue(), static_cast<std::int64_t>(bodyLength + 10));
}

TEST_F(UploadTest, AHeaderThatWouldInjectLinesIsLeftOutAndTheUploadGoesOn) {
    m_server.route("/h", testsupport::Reply::text(200, "ok"));
    hybtest::LogCapture log;
    auto answer = runToEnd("upload", Array{"data:;base64,aGk=", m_server.url("/h"), Value(), Value(), Value(), Value(), Value(), true,
                                           Dictionary{{"X-Bad", "a\r\nX-Injected: 1"}, {"X-Good", "g"}}});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Ok);
    auto request = onlyRequest();
    EXPECT_EQ(request.header("X-Injected"), std::nullopt);
    EXPECT_EQ(request.header("X-Bad"), std::nullopt);
    EXPECT_EQ(request.header("X-Good"), "g");
    EXPECT_TRUE(log.contains("File Transfer: header X-Bad not sent"));
}

TEST_F(UploadTest, ServerTrustIsAcceptedOnlyWhenTheTransferTrustsAllHosts) {
    for (bool trustAll : {false, true}) {
        transfer::HYBFileTransferDelegate::Setup setup;
        setup.command = m_plugin;
        setup.trustAllHosts = trustAll;
        auto transferObject = std::make_shared<transfer::HYBFileTransferDelegate>(
            std::move(setup), std::make_shared<transfer::TransferExecutor>(m_plugin->queue()));
        auto connection = platform::URLConnection::make(platform::URLRequest("https://127.0.0.1/"), {}, false);
        std::vector<platform::URLAuthenticationChallenge::Disposition> answers;
        auto challenge = std::make_shared<platform::URLAuthenticationChallenge>(
            "127.0.0.1", 443, [&](platform::URLAuthenticationChallenge::Disposition d) { answers.push_back(d); });
        transferObject->willSendRequestForAuthenticationChallenge(*connection, challenge);
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0], trustAll ? platform::URLAuthenticationChallenge::Disposition::AcceptAnyCertificate
                                       : platform::URLAuthenticationChallenge::Disposition::DefaultHandling);
    }
}

TEST(UploadFormTest, TextValuesAndEscapingFollowTheFormRules) {
    EXPECT_EQ(transfer::uploadTextValue(Value(1.5)), "1.5");
    EXPECT_EQ(transfer::uploadTextValue(Value(true)), "1");
    EXPECT_EQ(transfer::uploadTextValue(Value(Array{})), std::nullopt);
    auto pieces = transfer::buildMultipartPieces({}, "f", "n", std::nullopt, 3);
    EXPECT_EQ(std::string(pieces.prefix.begin(), pieces.prefix.end()),
              "--" + B + "\r\nContent-Disposition: form-data; name=\"f\"; filename=\"n\"\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(transfer::HYBFileTransfer::escapePathComponentForUrlString("http://h/a b/c"), "http://h/a%20b/c");
    EXPECT_EQ(transfer::HYBFileTransfer::escapePathComponentForUrlString("no scheme here"), "no scheme here");
}

} // namespace
} // namespace transfertest
