#include "deploy/Download.h"
#include "deploy/DownloadManager.h"

#include "support/HTTPTestServer.h"
#include "support/RunLoopWait.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

using namespace deploy;
using testsupport::HTTPTestServer;
using testsupport::Reply;
namespace fs = std::filesystem;

namespace {

struct Recorder : DownloadManagerDelegate {
    int finishedAll = 0, erroredAll = 0;
    std::vector<std::string> finished, failed;
    std::vector<platform::Error> errors;
    std::vector<std::int64_t> received;
    std::size_t mostActive = 0;
    DownloadManager* manager = nullptr;

    void didFinishLoadingAllForManager(DownloadManager&) override { ++finishedAll; }
    void didErrorLoadingAllForManager(DownloadManager&) override { ++erroredAll; }
    void downloadManagerDidFinishLoading(DownloadManager& m, Download& d) override {
        EXPECT_TRUE(platform::RunLoop::isMainThread());
        finished.push_back(d.url());
        note(m);
    }
    void downloadManagerDidFail(DownloadManager& m, Download& d) override {
        failed.push_back(d.url());
        if (d.error())
            errors.push_back(*d.error());
        note(m);
    }
    void downloadManagerDidReceiveData(DownloadManager& m, Download& d) override {
        received.push_back(d.progressContentLength());
        note(m);
    }
    void note(DownloadManager& m) { mostActive = std::max(mostActive, m.countActiveDownloads()); }
    bool done() const { return finishedAll + erroredAll > 0; }
};

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class DownloadQueue : public ::testing::Test {
    hybtest::TempHome m_home;

protected:
    void SetUp() override {
        root = m_home.root();
        recorder = std::make_shared<Recorder>();
        manager = DownloadManager::create(recorder);
    }
    bool temporaryFolderIsEmpty() const { return fs::is_empty(m_home.folders().tmp()); }
    std::string path(const std::string& name) const { return (root / name).string(); }

    HTTPTestServer server;
    fs::path root;
    std::shared_ptr<Recorder> recorder;
    std::shared_ptr<DownloadManager> manager;
};

} // namespace

TEST_F(DownloadQueue, DownloadsIntoANewFolderChainWithProgress) {
    std::string body(100000, 'z');
    Reply slow = Reply::text(200, body);
    slow.pieceSize = 30000;
    server.route("/www.zip", slow);
    manager->addDownloadWithFilename(path("a/b/www.zip"), server.url("/www.zip"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    EXPECT_EQ(recorder->finishedAll, 1);
    EXPECT_EQ(recorder->erroredAll, 0);
    EXPECT_EQ(readFile(path("a/b/www.zip")), body);
    ASSERT_FALSE(recorder->received.empty());
    EXPECT_EQ(recorder->received.back(), 100000);
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(DownloadQueue, ErrorStatusFailsWithoutTouchingTheTarget) {
    manager->addDownloadWithFilename(path("missing.zip"), server.url("/missing"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    EXPECT_EQ(recorder->erroredAll, 1);
    ASSERT_EQ(recorder->errors.size(), 1u);
    const platform::Error& error = recorder->errors[0];
    EXPECT_EQ(error.code, 404);
    EXPECT_EQ(error.userInfo["message"], platform::Value("bad HTTP response status code"));
    EXPECT_EQ(error.userInfo["function"], platform::Value("-[Download connection:didReceiveResponse:]"));
    EXPECT_TRUE(error.userInfo.contains("NSHTTPURLResponse"));
    EXPECT_FALSE(fs::exists(path("missing.zip")));
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(DownloadQueue, NoContentIsNoError) {
    server.route("/empty", Reply::text(204, ""));
    manager->addDownloadWithFilename(path("empty"), server.url("/empty"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    EXPECT_EQ(recorder->finishedAll, 1);
    EXPECT_TRUE(fs::exists(path("empty")));
}

TEST_F(DownloadQueue, AFileWhereTheFolderShouldBe) {
    server.route("/f", Reply::text(200, "data"));
    std::ofstream(path("blocker")) << "x";
    manager->addDownloadWithFilename(path("blocker/www.zip"), server.url("/f"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    EXPECT_EQ(recorder->erroredAll, 1);
    ASSERT_EQ(recorder->errors.size(), 1u);
    EXPECT_EQ(recorder->errors[0].userInfo["message"], platform::Value("Unable to create directory; file exists by that name"));
    EXPECT_EQ(recorder->errors[0].userInfo["folder"], platform::Value(path("blocker")));
    EXPECT_EQ(readFile(path("blocker")), "x");
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(DownloadQueue, FiveDownloadsRunAtMostFourAtOnce) {
    Reply held = Reply::text(200, "held");
    held.hold = true;
    server.route("/held", held);
    for (int i = 0; i < 5; ++i)
        manager->addDownloadWithFilename(path("out/" + std::to_string(i)), server.url("/held"));
    EXPECT_EQ(manager->countActiveDownloads(), 4u);
    EXPECT_EQ(manager->countUnstartedDownloads(), 1u);
    ASSERT_TRUE(server.waitForRequests(4));
    EXPECT_EQ(server.requests().size(), 4u);
    server.releaseHeldReplies();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    EXPECT_EQ(recorder->finishedAll, 1);
    EXPECT_EQ(recorder->finished.size(), 5u);
    EXPECT_LE(recorder->mostActive, 4u);
    EXPECT_EQ(server.requests().size(), 5u);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(readFile(path("out/" + std::to_string(i))), "held");
}

TEST_F(DownloadQueue, ADroppedConnectionLeavesThePreviousTarget) {
    std::ofstream(path("www.zip")) << "previous archive";
    Reply dropped = Reply::text(200, std::string(50000, 'n'));
    dropped.dropAfterBodyBytes = 1000;
    server.route("/www.zip", dropped);
    manager->addDownloadWithFilename(path("www.zip"), server.url("/www.zip"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    EXPECT_EQ(recorder->erroredAll, 1);
    EXPECT_EQ(readFile(path("www.zip")), "previous archive");
    EXPECT_TRUE(temporaryFolderIsEmpty());
}

TEST_F(DownloadQueue, AnyFailureMakesTheBatchAnError) {
    Reply later = Reply::text(200, "ok");
    later.hold = true;
    server.route("/later", later);
    manager->addDownloadWithFilename(path("first"), server.url("/missing"));
    manager->addDownloadWithFilename(path("second"), server.url("/later"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->failed.size() == 1; }));
    server.releaseHeldReplies();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->done(); }));
    // The last download succeeded, yet the batch had a failure.
    EXPECT_EQ(recorder->finished.size(), 1u);
    EXPECT_EQ(recorder->erroredAll, 1);
    EXPECT_EQ(recorder->finishedAll, 0);

    // The next batch starts afresh.
    server.route("/ok", Reply::text(200, "ok"));
    manager->addDownloadWithFilename(path("third"), server.url("/ok"));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return recorder->finishedAll == 1; }));
}

TEST_F(DownloadQueue, CancelAndBadURLs) {
    manager->cancelAll();
    EXPECT_EQ(recorder->erroredAll, 1);

    Reply held = Reply::text(200, "never");
    held.hold = true;
    server.route("/held", held);
    manager->addDownloadWithFilename(path("c"), server.url("/held"));
    ASSERT_TRUE(server.waitForRequests(1));
    manager->cancelAll();
    EXPECT_EQ(recorder->erroredAll, 2);
    EXPECT_EQ(recorder->failed.size(), 1u);
    EXPECT_TRUE(manager->downloads().empty());
    EXPECT_FALSE(fs::exists(path("c")));
    EXPECT_TRUE(temporaryFolderIsEmpty());

    // A URL that cannot be parsed fails at its start, inside addDownloadWithFilename.
    manager->addDownloadWithFilename(path("d"), "not a url");
    EXPECT_EQ(recorder->erroredAll, 3);
    ASSERT_EQ(recorder->errors.size(), 1u);
    EXPECT_EQ(recorder->errors[0].userInfo["message"], platform::Value("Unable to create URL"));
    EXPECT_EQ(recorder->errors[0].userInfo["function"], platform::Value("-[Download start]"));
    server.releaseHeldReplies();
}
