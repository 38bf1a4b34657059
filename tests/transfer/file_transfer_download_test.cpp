// Downloads against the loopback server: status codes to error objects, progress with and without a known
// length, temporary files that replace the target only on success, abort, reset and many at once.
#include "TransferFixture.h"

#include "platform/application/Application.h"

namespace transfertest {
namespace {

class DownloadTest : public TransferTest {
protected:
    std::string fileURL(const std::string& relative) const { return "file://" + path(relative); }
    // The names in a folder (to find leftover partial files).
    std::vector<std::string> folderContents(const std::string& relative) const {
        auto names = platform::FileManager::defaultManager().contentsOfDirectory(path(relative));
        return names ? *names : std::vector<std::string>{};
    }
};

TEST_F(DownloadTest, ADownloadCreatesMissingFoldersReplacesTheTargetAndReportsProgressWithItsLength) {
    const std::string body(70000, 'd');
    m_server.route("/file", testsupport::Reply::text(200, body));
    writeFile(path("old.txt"), "old");
    ASSERT_TRUE(platform::FileManager::defaultManager().moveItem(path("old.txt"), path("old2.txt")));

    const std::string id = run("download", Array{m_server.url("/file"), fileURL("new/deep/x.bin"), false, "d1",
                                                 Dictionary{{"X-Page", "p"}}});
    auto final = m_delegate->waitForFinal(id);
    ASSERT_TRUE(final);
    EXPECT_EQ(final->status(), HYBCommandStatus::Ok);
    EXPECT_EQ(readFile(path("new/deep/x.bin")), body);
    EXPECT_EQ(folderContents("new/deep"), std::vector<std::string>{"x.bin"});
    EXPECT_EQ(m_server.requests().front().header("X-Page"), "p");
    EXPECT_EQ(m_server.requests().front().header("X-Requested-With"), "XMLHttpRequest");

    auto progress = progressOf(id);
    ASSERT_FALSE(progress.empty());
    for (const Value& p : progress) {
        EXPECT_EQ(p["lengthComputable"], Value(true));
        EXPECT_EQ(p["total"].integerValue(), 70000);
    }
    EXPECT_EQ(progress.back()["loaded"].integerValue(), 70000);
    EXPECT_TRUE(waitForNoTransfers());

    // Over an existing file: replaced whole.
    writeFile(path("keep.txt"), "a much longer old content than the new one");
    m_server.route("/short", testsupport::Reply::text(200, "new"));
    EXPECT_EQ(runToEnd("download", Array{m_server.url("/short"), fileURL("keep.txt")}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(readFile(path("keep.txt")), "new");
}

TEST_F(DownloadTest, HTTPErrorsAnswerTheirCodesWithStatusAndBodyAndLeaveTheTargetAlone) {
    m_server.route("/gone", testsupport::Reply::text(404, "no such thing"));
    m_server.route("/same", testsupport::Reply::text(304, ""));
    m_server.route("/broken", testsupport::Reply::text(500, "server trouble"));
    writeFile(path("existing.txt"), "precious");
    struct Case {
        std::string route;
        int status;
        int code;
        std::string body;
    };
    for (const Case& c : {Case{"/gone", 404, 1, "no such thing"}, Case{"/same", 304, 5, ""}, Case{"/broken", 500, 3, "server trouble"}}) {
        SCOPED_TRACE(c.route);
        for (const std::string& target : {std::string("existing.txt"), std::string("absent.txt")}) {
            auto answer = runToEnd("download", Array{m_server.url(c.route), fileURL(target)});
            EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
            EXPECT_EQ(answer.message(), Value(Dictionary{{"code", c.code}, {"source", m_server.url(c.route)}, {"target", fileURL(target)},
                                                         {"http_status", c.status}, {"body", c.body}}));
        }
        EXPECT_EQ(readFile(path("existing.txt")), "precious");
        EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(path("absent.txt")));
    }
}

TEST_F(DownloadTest, WithoutALengthProgressWaitsForTheLengthRequestAndIsNotComputableWhenItHasNone) {
    const std::string body(5000, 'u');
    // GET answers chunked (no length) and slowly, so that the length request answers while the body
    // still comes; HEAD answers with the length on one route and without on the other.
    auto slowChunked = [&] {
        auto reply = testsupport::Reply::text(200, body).withFraming(testsupport::Reply::Framing::Chunked);
        reply.pieceSize = 250;
        reply.pauseBetweenPieces = std::chrono::milliseconds(20);
        return reply;
    };
    m_server.route("/sized", [&](const testsupport::RecordedRequest& request) {
        return request.method == "GET" ? slowChunked() : testsupport::Reply::text(200, body);
    });
    m_server.route("/unsized", [&](const testsupport::RecordedRequest&) { return slowChunked(); });

    std::string id = run("download", Array{m_server.url("/sized"), fileURL("sized.bin")});
    ASSERT_TRUE(m_delegate->waitForFinal(id));
    EXPECT_EQ(readFile(path("sized.bin")), body);
    auto head = m_server.requests().back();
    EXPECT_EQ(head.method, "HEAD");
    EXPECT_EQ(head.header("Accept-Encoding"), "identity");
    ASSERT_FALSE(progressOf(id).empty());
    for (const Value& p : progressOf(id)) {
        EXPECT_EQ(p["lengthComputable"], Value(true));
        EXPECT_EQ(p["total"].integerValue(), 5000);
    }

    id = run("download", Array{m_server.url("/unsized"), fileURL("unsized.bin")});
    auto final = m_delegate->waitForFinal(id);
    ASSERT_TRUE(final);
    EXPECT_EQ(final->status(), HYBCommandStatus::Ok);
    ASSERT_FALSE(progressOf(id).empty());
    for (const Value& p : progressOf(id)) {
        EXPECT_EQ(p["lengthComputable"], Value(false));
        EXPECT_EQ(p["total"].integerValue(), -1);
    }
}

TEST_F(DownloadTest, AbortAnswersCode4RemovesThePartialFileAndKeepsTheExistingTarget) {
    testsupport::Reply slow = testsupport::Reply::text(200, std::string(400000, 's'));
    slow.pieceSize = 1000;
    slow.pauseBetweenPieces = std::chrono::milliseconds(5);
    m_server.route("/slow", slow);
    writeFile(path("dl/target.bin"), "precious");

    const std::string id = run("download", Array{m_server.url("/slow"), fileURL("dl/target.bin"), false, "slow1"});
    ASSERT_TRUE(m_delegate->waitForAnswers(id, 1)); // some bytes are in the partial file
    EXPECT_EQ(folderContents("dl").size(), 2u);
    run("abort", Array{"unknown-id"});
    const std::string abortId = run("abort", Array{"slow1"});
    auto final = m_delegate->waitForFinal(id);
    ASSERT_TRUE(final);
    EXPECT_EQ(final->status(), HYBCommandStatus::Error);
    EXPECT_EQ(final->message(), Value(Dictionary{{"code", 4}, {"source", m_server.url("/slow")}, {"target", fileURL("dl/target.bin")}}));
    EXPECT_EQ(readFile(path("dl/target.bin")), "precious");
    EXPECT_EQ(folderContents("dl"), std::vector<std::string>{"target.bin"});
    EXPECT_EQ(m_plugin->activeTransferCount(), 0u);
    EXPECT_TRUE(m_delegate->answersFor(abortId).empty());
    EXPECT_TRUE(m_delegate->answersFor("FileTransfer2").empty()); // the unknown id
    // Nothing follows the abort answer.
    auto answers = m_delegate->answersFor(id);
    EXPECT_FALSE(answers.back().result.keepCallback());
}

TEST_F(DownloadTest, AnAbortRightAfterTheStartAnswersCode4Once) {
    testsupport::Reply held = testsupport::Reply::text(200, "held");
    held.hold = true;
    m_server.route("/held", held);
    for (int i = 0; i < 5; ++i) {
        const std::string objectId = "quick" + std::to_string(i);
        const std::string id = run("download", Array{m_server.url("/held"), fileURL("quick/" + objectId), false, objectId});
        run("abort", Array{objectId});
        auto final = m_delegate->waitForFinal(id);
        ASSERT_TRUE(final);
        EXPECT_EQ(final->message()["code"].integerValue(), 4);
        EXPECT_EQ(m_delegate->answersFor(id).size(), 1u);
    }
    m_server.releaseHeldReplies();
    EXPECT_TRUE(folderContents("quick").empty());
}

TEST_F(DownloadTest, AConnectionLostMidBodyAnswersCode3AndLeavesNoPartialFile) {
    testsupport::Reply cut = testsupport::Reply::text(200, std::string(10000, 'c'));
    cut.dropAfterBodyBytes = 3000;
    m_server.route("/cut", cut);
    writeFile(path("cut/target.bin"), "precious");
    auto answer = runToEnd("download", Array{m_server.url("/cut"), fileURL("cut/target.bin")});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
    EXPECT_EQ(answer.message()["code"].integerValue(), 3);
    EXPECT_EQ(answer.message()["http_status"].integerValue(), 200);
    EXPECT_EQ(readFile(path("cut/target.bin")), "precious");
    EXPECT_EQ(folderContents("cut"), std::vector<std::string>{"target.bin"});
}

TEST_F(DownloadTest, BadSourcesAndTargetsWithoutAPlaceAnswerTheirErrors) {
    auto answer = runToEnd("download", Array{"::not a url", fileURL("x")});
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 2}, {"source", "::not a url"}, {"target", fileURL("x")}}));

    // No file system claims the absolute path: no target once the reply is 2xx.
    m_server.route("/ok", testsupport::Reply::text(200, "ok"));
    const std::string nowhere = m_home.folders().home() + "/nowhere.txt";
    answer = runToEnd("download", Array{m_server.url("/ok"), nowhere});
    EXPECT_EQ(answer.status(), HYBCommandStatus::IOError);
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 1}, {"source", m_server.url("/ok")}, {"http_status", 200},
                                                 {"body", "Could not create target file"}}));
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(nowhere));

    // A folder in the target's place is not replaced; the bytes are dropped.
    writeFile(path("folder/inside.txt"), "inside");
    answer = runToEnd("download", Array{m_server.url("/ok"), fileURL("folder")});
    EXPECT_EQ(answer.status(), HYBCommandStatus::IOError);
    EXPECT_EQ(answer.message()["body"].stringOr(""), "Could not create target file");
    EXPECT_EQ(readFile(path("folder/inside.txt")), "inside");
    EXPECT_EQ(folderContents("").size(), 1u);
}

TEST_F(DownloadTest, TwentyTransfersAtOnceAllComplete) {
    for (int i = 0; i < 20; ++i)
        m_server.route("/f" + std::to_string(i), testsupport::Reply::text(200, std::string(20000 + i, static_cast<char>('a' + i))));
    std::vector<std::string> ids;
    for (int i = 0; i < 20; ++i) {
        const std::string n = std::to_string(i);
        if (i % 4 == 0) {
            writeFile(path("up" + n), std::string(30000, 'u'));
            ids.push_back(run("upload", Array{path("up" + n), m_server.url("/f" + n), Value(), Value(), Value(), Value(), false,
                                              true, Value(), "t" + n}));
        } else {
            ids.push_back(run("download", Array{m_server.url("/f" + n), fileURL("many/" + n), false, "t" + n}));
        }
    }
    for (int i = 0; i < 20; ++i) {
        auto final = m_delegate->waitForFinal(ids[static_cast<std::size_t>(i)]);
        ASSERT_TRUE(final) << i;
        EXPECT_EQ(final->status(), HYBCommandStatus::Ok) << i;
        if (i % 4 != 0) {
            EXPECT_EQ(readFile(path("many/" + std::to_string(i))), std::string(20000 + i, static_cast<char>('a' + i)));
        }
    }
    EXPECT_TRUE(waitForNoTransfers());
    EXPECT_EQ(platform::Application::shared().backgroundTaskCount(), 0u);
}

TEST_F(DownloadTest, ResetCancelsEveryTransferWithoutAnAnswer) {
    testsupport::Reply held = testsupport::Reply::text(200, "late");
    held.hold = true;
    m_server.route("/held", held);
    writeFile(path("r/a"), "keep");
    const std::string first = run("download", Array{m_server.url("/held"), fileURL("r/a"), false, "r1"});
    const std::string second = run("download", Array{m_server.url("/held"), fileURL("r/b"), false, "r2"});
    ASSERT_TRUE(m_server.waitForRequests(2));
    EXPECT_EQ(m_plugin->activeTransferCount(), 2u);
    m_plugin->onReset();
    EXPECT_EQ(m_plugin->activeTransferCount(), 0u);
    m_server.releaseHeldReplies();
    // A later transfer still works and answers; the reset ones never do.
    m_server.route("/after", testsupport::Reply::text(200, "after"));
    EXPECT_EQ(runToEnd("download", Array{m_server.url("/after"), fileURL("r/c")}).status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(m_delegate->answersFor(first).empty());
    EXPECT_TRUE(m_delegate->answersFor(second).empty());
    EXPECT_EQ(readFile(path("r/a")), "keep");
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(path("r/b")));
}

TEST_F(DownloadTest, ATransferReplacedUnderItsObjectIdStillAnswersAndExpiryCancelsSilently) {
    testsupport::Reply held = testsupport::Reply::text(200, "held");
    held.hold = true;
    m_server.route("/held", held);
    const std::string first = run("download", Array{m_server.url("/held"), fileURL("same/a"), false, "same"});
    const std::string second = run("download", Array{m_server.url("/held"), fileURL("same/b"), false, "same"});
    ASSERT_TRUE(m_server.waitForRequests(2));
    EXPECT_EQ(m_plugin->activeTransferCount(), 1u);
    m_server.releaseHeldReplies();
    for (const std::string& id : {first, second}) {
        auto final = m_delegate->waitForFinal(id);
        ASSERT_TRUE(final);
        EXPECT_EQ(final->status(), HYBCommandStatus::Ok);
    }
    EXPECT_EQ(readFile(path("same/a")), "held");
    EXPECT_EQ(readFile(path("same/b")), "held");
    EXPECT_TRUE(waitForNoTransfers());

    // The platform ends the background time: the transfer stops and the page hears nothing.
    testsupport::Reply heldAgain = testsupport::Reply::text(200, "never");
    heldAgain.hold = true;
    m_server.route("/expiring", heldAgain);
    const std::string expiring = run("download", Array{m_server.url("/expiring"), fileURL("same/c"), false, "exp"});
    ASSERT_TRUE(m_server.waitForRequests(3));
    platform::Application::shared().expireBackgroundTasks();
    EXPECT_EQ(m_plugin->activeTransferCount(), 0u);
    EXPECT_EQ(platform::Application::shared().backgroundTaskCount(), 0u);
    m_server.releaseHeldReplies();
    m_server.route("/after", testsupport::Reply::text(200, "after"));
    EXPECT_EQ(runToEnd("download", Array{m_server.url("/after"), fileURL("same/d")}).status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(m_delegate->answersFor(expiring).empty());
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(path("same/c")));
}

} // namespace
} // namespace transfertest
