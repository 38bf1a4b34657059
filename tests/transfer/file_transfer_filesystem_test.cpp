// Transfers through the file plug-in's file systems: hybfile upload sources, hybfile and absolute-path
// download targets, and the entry that answers a finished download.
#include "TransferFixture.h"


namespace transfertest {
namespace {

using FileSystemTransferTest = TransferTest;

TEST_F(FileSystemTransferTest, DownloadsIntoHybfileAndAbsoluteTargetsAnswerTheTargetsEntry) {
    m_server.route("/doc", testsupport::Reply::text(200, "document"));
    auto answer = runToEnd("download", Array{m_server.url("/doc"), "hybfile://localhost/persistent/in/x.txt"});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(readFile(path("in/x.txt")), "document");
    EXPECT_EQ(answer.message(), Value(Dictionary{{"isFile", true}, {"isDirectory", false}, {"fullPath", "/in/x.txt"}, {"name", "x.txt"},
                                                 {"filesystemName", "persistent"},
                                                 {"nativeURL", platform::URL::fileURLWithPath(path("in/x.txt"), false).absoluteString()}}));

    // An absolute path (doubled slashes folded) goes through the file system that holds it.
    const std::string doubled = m_home.folders().documents() + "//y.txt";
    answer = runToEnd("download", Array{m_server.url("/doc"), doubled});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answer.message()["fullPath"].stringOr(""), "/y.txt");
    EXPECT_EQ(readFile(path("y.txt")), "document");

    // Errors name the target as the file-system URL.
    m_server.route("/missing", testsupport::Reply::text(404, "nope"));
    answer = runToEnd("download", Array{m_server.url("/missing"), doubled});
    EXPECT_EQ(answer.message()["target"].stringOr(""), "hybfile://localhost/persistent/y.txt");
    EXPECT_EQ(answer.message()["code"].integerValue(), 1);
    EXPECT_EQ(readFile(path("y.txt")), "document");
}

TEST_F(FileSystemTransferTest, HybfileSourcesUploadTheFileAndMissingOnesAnswerCode1) {
    m_server.routeEcho("/echo");
    writeFile(path("src/photo.jpg"), "JPEGBYTES");
    auto answer = runToEnd("upload", Array{"hybfile://localhost/persistent/src/photo.jpg", m_server.url("/echo"), Value(), Value(),
                                           Value(), Value(), Value(), false, Dictionary{{"Content-Type", "image/jpeg"}}});
    ASSERT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(answer.message()["response"].stringOr(""), "JPEGBYTES");

    answer = runToEnd("upload", Array{"hybfile://localhost/persistent/src/none.jpg", m_server.url("/echo")});
    EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
    EXPECT_EQ(answer.message(), Value(Dictionary{{"code", 1}, {"source", "hybfile://localhost/persistent/src/none.jpg"},
                                                 {"target", m_server.url("/echo")}}));
    EXPECT_EQ(m_server.requests().size(), 1u);
}

} // namespace
} // namespace transfertest
