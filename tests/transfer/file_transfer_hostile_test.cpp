// Transfers against a hostile page or server: download targets that lead out of every file system, error
// bodies and upload replies of any size, sources that never end, a gigabyte of progress and the longest
// file name.
#include "TransferFixture.h"

#include "platform/runloop/VirtualClock.h"
#include "support/ScriptedReplyServer.h"

#include <sys/stat.h>
#include <unistd.h>

namespace transfertest {
namespace {

class HostileTransferTest : public TransferTest {
protected:
    // A reply of `megabytes` MiB of one byte, made as it is sent.
    static testsupport::Reply largeReply(int status, std::uint64_t megabytes, char fill) {
        testsupport::Reply reply = testsupport::Reply::text(status, std::string(1 << 20, fill));
        reply.bodyRepeat = megabytes;
        return reply;
    }
    std::vector<std::string> namesIn(const std::string& folder) const {
        auto names = platform::FileManager::defaultManager().contentsOfDirectory(folder);
        return names ? *names : std::vector<std::string>{};
    }
};

TEST_F(HostileTransferTest, TargetsNoFileSystemResolvesAnswerCode1AndWriteNothing) {
    m_server.route("/payload", testsupport::Reply::text(200, "payload"));
    const std::string home = m_home.folders().home();
    const std::string outside = home + "/outside";
    ASSERT_TRUE(platform::FileManager::defaultManager().createDirectory(outside));
    ASSERT_EQ(::symlink(outside.c_str(), path("out").c_str()), 0);
    const std::vector<std::string> homeBefore = namesIn(home);

    for (const std::string& target : std::vector<std::string>{"hybfile://localhost/persistent/../../escaped.txt",
                                      "hybfile://localhost/persistent/a/../../../escaped.txt",
                                      "hybfile://localhost/nosuchfs/escaped.txt", "hybfile://elsewhere/persistent/escaped.txt",
                                      "hybfile://localhost/persistent/out/escaped.txt", "file://" + home + "/escaped.txt",
                                      "file://" + path("../escaped.txt"), home + "/escaped.txt", path("out/escaped.txt"),
                                      std::string("http://127.0.0.1:1/escaped.txt"), std::string("escaped.txt")}) {
        SCOPED_TRACE(target);
        auto answer = runToEnd("download", Array{m_server.url("/payload"), target});
        EXPECT_EQ(answer.status(), HYBCommandStatus::IOError);
        EXPECT_EQ(answer.message()["code"].integerValue(), 1);
        EXPECT_EQ(answer.message()["body"], Value("Could not create target file"));
    }
    EXPECT_EQ(namesIn(home), homeBefore);
    EXPECT_TRUE(namesIn(outside).empty());
    EXPECT_EQ(namesIn(m_home.folders().documents()), std::vector<std::string>{"out"});
}

TEST_F(HostileTransferTest, ErrorBodiesAreCutAtTheLimitAndOversizedUploadRepliesFail) {
    EXPECT_EQ(transfer::HYBFileTransferDelegate::kMaxErrorBodyLength, 64u * 1024);
    m_server.route("/huge-error", largeReply(500, 512, 'e'));
    auto answer = runToEnd("download", Array{m_server.url("/huge-error"), path("never.bin")});
    EXPECT_EQ(answer.message()["code"].integerValue(), 3);
    EXPECT_EQ(answer.message()["http_status"].integerValue(), 500);
    EXPECT_EQ(answer.message()["body"], Value(std::string(transfer::HYBFileTransferDelegate::kMaxErrorBodyLength, 'e')));
    EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(path("never.bin")));

    writeFile(path("up.txt"), "upload");
    m_server.route("/huge-reply", largeReply(200, transfer::HYBFileTransferDelegate::kMaxUploadResponseLength / (1 << 20) + 1, 'r'));
    answer = runToEnd("upload", Array{path("up.txt"), m_server.url("/huge-reply")});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 3}, {"source", path("up.txt")}, {"target", m_server.url("/huge-reply")},
                                                 {"http_status", 200}}));
    m_server.route("/huge-upload-error", largeReply(502, 8, 'u'));
    answer = runToEnd("upload", Array{path("up.txt"), m_server.url("/huge-upload-error")});
    EXPECT_EQ(answer.message()["body"], Value(std::string(transfer::HYBFileTransferDelegate::kMaxErrorBodyLength, 'u')));

    // The cut never splits a character: "é" (two bytes) after an odd byte leaves the last one out whole.
    std::string accented = "x";
    while (accented.size() < transfer::HYBFileTransferDelegate::kMaxErrorBodyLength + 10)
        accented += "\xC3\xA9";
    m_server.route("/accented-error", testsupport::Reply::text(500, accented));
    answer = runToEnd("download", Array{m_server.url("/accented-error"), path("never.bin")});
    EXPECT_EQ(answer.message()["body"], Value(accented.substr(0, transfer::HYBFileTransferDelegate::kMaxErrorBodyLength - 1)));
}

TEST_F(HostileTransferTest, UploadSourcesMustBeRegularFilesAndAreReadFromDiskAsTheBodyGoes) {
    m_server.routeEcho("/echo");
    ASSERT_EQ(::mkfifo(path("fifo").c_str(), 0600), 0);
    for (const std::string& source : {std::string("/dev/zero"), std::string("file:///dev/zero"), path("fifo"),
                                      std::string("hybfile://localhost/persistent/fifo"), m_home.folders().documents()}) {
        SCOPED_TRACE(source);
        auto answer = runToEnd("upload", Array{source, m_server.url("/echo")});
        EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 1}, {"source", source}, {"target", m_server.url("/echo")}}));
    }
    EXPECT_TRUE(m_server.requests().empty());

    // A file larger than the stream's buffer goes out whole in either body mode.
    std::string contents(3 << 20, '\0');
    for (std::size_t i = 0; i < contents.size(); ++i)
        contents[i] = static_cast<char>('a' + i % 23);
    writeFile(path("big.bin"), contents);
    for (bool chunked : {true, false}) {
        SCOPED_TRACE(chunked);
        auto answer = runToEnd("upload", Array{"hybfile://localhost/persistent/big.bin", m_server.url("/echo"), Value(), Value(),
                                               Value(), Value(), Value(), chunked, Dictionary{{"Content-Type", "application/octet-stream"}}});
        ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
        EXPECT_TRUE(answer.message()["response"] == Value(contents));
        EXPECT_EQ(m_server.requests().back().header("Content-Length"), std::to_string(contents.size()));
    }
}

TEST_F(HostileTransferTest, AGigabyteDownloadSendsAFewPacedProgressAnswers) {
    platform::VirtualClock clock; // still: only the first progress and the last one go
    clock.install();
    m_server.route("/gigabyte", largeReply(200, 1024, 'g'));
    const std::string id = run("download", Array{m_server.url("/gigabyte"), path("giga.bin")});
    auto final = m_delegate->waitForFinal(id, std::chrono::seconds(120));
    clock.uninstall();
    ASSERT_TRUE(final);
    EXPECT_EQ(final->status(), HYBCommandStatus::Ok);
    struct stat st {};
    ASSERT_EQ(::stat(path("giga.bin").c_str(), &st), 0);
    EXPECT_EQ(st.st_size, std::int64_t{1} << 30);
    (void)platform::FileManager::defaultManager().removeItem(path("giga.bin"));

    const std::vector<Value> progress = progressOf(id);
    EXPECT_LT(progress.size(), 100u);
    ASSERT_GE(progress.size(), 2u);
    for (const Value& p : progress) {
        EXPECT_EQ(p["lengthComputable"], Value(true));
        EXPECT_EQ(p["total"].integerValue(), std::int64_t{1} << 30);
    }
    EXPECT_EQ(progress.back()["loaded"].integerValue(), std::int64_t{1} << 30);
}

TEST_F(HostileTransferTest, TheLongestFileNameDownloads) {
    m_server.route("/named", testsupport::Reply::text(200, "named"));
    const std::string name(255, 'n');
    auto answer = runToEnd("download", Array{m_server.url("/named"), "hybfile://localhost/persistent/" + name});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answer.message()["name"], Value(name));
    EXPECT_EQ(readFile(path(name)), "named");
    EXPECT_EQ(namesIn(m_home.folders().documents()), std::vector<std::string>{name});
}

TEST_F(HostileTransferTest, UploadsSendOnlyWhatLiesInARegisteredFileSystem) {
    m_server.routeEcho("/echo");
    const std::string outsideFile = m_home.folders().home() + "/outside.txt";
    writeFile(outsideFile, "outside");
    writeFile(m_home.folders().library() + "/lib.txt", "library");
    ASSERT_EQ(::symlink(outsideFile.c_str(), path("link.txt").c_str()), 0);
    ASSERT_EQ(::link(outsideFile.c_str(), path("hard.txt").c_str()), 0);
    // Outside every file system (there is no "root" here), through a link, a second name, or named by the
    // path of an http URL: nothing is sent.
    for (const std::string& source : {std::string("/etc/hostname"), std::string("file:///etc/hostname"), outsideFile,
                                      "file://" + outsideFile, m_server.url("/etc/hostname"), m_server.url(outsideFile),
                                      path("link.txt"), std::string("hybfile://localhost/persistent/link.txt"), path("hard.txt"),
                                      path("../outside.txt"), std::string("hybfile://localhost/persistent/../outside.txt"),
                                      std::string("relative.txt")}) {
        SCOPED_TRACE(source);
        auto answer = runToEnd("upload", Array{source, m_server.url("/echo")});
        EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 1}, {"source", source}, {"target", m_server.url("/echo")}}));
    }
    EXPECT_TRUE(m_server.requests().empty());

    // A file of a file system goes, however it is named.
    writeFile(path("in.txt"), "inside");
    for (const std::string& source : {path("in.txt"), "file://" + path("in.txt"), std::string("hybfile://localhost/persistent/in.txt"),
                                      std::string("hybfile://localhost/documents/in.txt"), m_home.folders().library() + "/lib.txt"}) {
        SCOPED_TRACE(source);
        auto answer = runToEnd("upload", Array{source, m_server.url("/echo"), Value(), Value(), Value(), Value(), Value(), Value(),
                                               Dictionary{{"Content-Type", "text/plain"}}});
        ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
        EXPECT_TRUE(answer.message()["response"] == Value(source.find("lib.txt") != std::string::npos ? "library" : "inside"));
    }
}

TEST_F(HostileTransferTest, ARepliesCutInsideItsHeadFailsAndAHeadHasATotalDeadline) {
    writeFile(path("up.txt"), "upload");
    for (const char* cut : {"HTTP/1.1 200 OK\r\n", "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"}) {
        SCOPED_TRACE(cut);
        testsupport::ScriptedReplyServer server({{cut}});
        auto download = runToEnd("download", Array{server.url("/file"), path("cut.bin")});
        EXPECT_EQ(download.status(), HYBCommandStatus::Error);
        EXPECT_EQ(download.message()["code"].integerValue(), 3);
        EXPECT_FALSE(platform::FileManager::defaultManager().fileExists(path("cut.bin")));
        auto upload = runToEnd("upload", Array{path("up.txt"), server.url("/upload")});
        EXPECT_EQ(upload.status(), HYBCommandStatus::Error);
        EXPECT_EQ(upload.message()["code"].integerValue(), 3);
    }
    EXPECT_EQ(namesIn(m_home.folders().documents()), std::vector<std::string>{"up.txt"});
}

} // namespace
} // namespace transfertest
