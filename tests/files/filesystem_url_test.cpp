#include "files/HYBFilesystemURL.h"
#include "files/HYBFilesystemURLProtocol.h"

#include "FilePluginFixture.h"

#include "platform/net/URLConnection.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace files;

TEST(HYBFilesystemURL, NameAndFullPathOfHybfileURLs) {
    HYBFilesystemURL root("hybfile://localhost/temporary/");
    EXPECT_EQ(root.fileSystemName(), "temporary");
    EXPECT_EQ(root.fullPath(), "");
    EXPECT_EQ(HYBFilesystemURL("hybfile://localhost/persistent").fullPath(), "");

    HYBFilesystemURL file("hybfile://localhost/persistent/a/b.txt");
    EXPECT_EQ(file.fileSystemName(), "persistent");
    EXPECT_EQ(file.fullPath(), "/a/b.txt");

    EXPECT_EQ(HYBFilesystemURL("hybfile://localhost/persistent/dir/x.txt?v=2").fullPath(), "/dir/x.txt?v=2");

    HYBFilesystemURL bare("hybfile://localhost/");
    EXPECT_FALSE(bare.fileSystemName());
    EXPECT_EQ(bare.fullPath(), "");
    EXPECT_EQ(HYBFilesystemURL("hybfile://localhost").fullPath(), "");
}

TEST(HYBFilesystemURL, OtherHostsAndSchemesHaveNoNameOrPath) {
    HYBFilesystemURL other("hybfile://otherhost/temporary/x");
    EXPECT_TRUE(other.url());
    EXPECT_FALSE(other.fileSystemName());
    EXPECT_FALSE(other.fullPath());
    EXPECT_FALSE(HYBFilesystemURL("http://localhost/temporary/x").fileSystemName());

    HYBFilesystemURL broken("not a url");
    EXPECT_FALSE(broken.url());
    EXPECT_FALSE(broken.fileSystemName());
    EXPECT_FALSE(broken.fullPath());
}

TEST(HYBFilesystemURL, EscapesAreDecodedAndAbsoluteURLIsNotEscaped) {
    HYBFilesystemURL spaced("hybfile://localhost/persistent/a%20b.txt");
    EXPECT_EQ(spaced.fullPath(), "/a b.txt");
    EXPECT_EQ(spaced.absoluteURL(), "hybfile://localhost/persistent/a b.txt");
    // An escaped ".." is an ordinary ".." once decoded; the file systems refuse it.
    EXPECT_EQ(HYBFilesystemURL("hybfile://localhost/persistent/%2E%2E/x").fullPath(), "/../x");
}

TEST(HYBFilesystemURL, AssetsLibraryURLsKeepPathAndQuery) {
    HYBFilesystemURL asset("assets-library://asset/asset.JPG?id=7&ext=JPG");
    EXPECT_EQ(asset.fileSystemName(), "assets-library");
    EXPECT_EQ(asset.fullPath(), "/asset/asset.JPG?id=7&ext=JPG");
    EXPECT_EQ(HYBFilesystemURL("assets-library:").fullPath(), "");
}

TEST(HYBFilesystemURLProtocol, TakesOnlyTheHybfileSchemeAndComparesResourceSpecifiers) {
    using platform::URLRequest;
    EXPECT_TRUE(HYBFilesystemURLProtocol::canInitWithRequest(URLRequest("hybfile://localhost/persistent/a")));
    EXPECT_FALSE(HYBFilesystemURLProtocol::canInitWithRequest(URLRequest("HYBFILE://localhost/persistent/a")));
    EXPECT_FALSE(HYBFilesystemURLProtocol::canInitWithRequest(URLRequest("file:///a")));
    EXPECT_FALSE(HYBFilesystemURLProtocol::requestIsCacheEquivalent(URLRequest("hybfile://localhost/persistent/a"),
                                                                     URLRequest("hybfile://localhost/persistent/a?v=1")));
    EXPECT_TRUE(HYBFilesystemURLProtocol::requestIsCacheEquivalent(URLRequest("hybfile://localhost/persistent/a"),
                                                                    URLRequest("http://localhost/persistent/a")));
}

class FilesystemURLLoadTest : public filestest::FilePluginTest {
protected:
    platform::Result<platform::URLReply> load(const std::string& url, bool fromForeignPage = false) {
        platform::URLRequest request(url);
        request.setTimeoutInterval(20);
        request.setFromForeignPage(fromForeignPage);
        return platform::URLConnection::sendSynchronousRequest(request);
    }
};

TEST_F(FilesystemURLLoadTest, ExistingFileAnswers200WithTypeAndNoCache) {
    startPlugin();
    writeFile(documents("page.html"), "<p>hi</p>");
    writeFile(documents("x.qqq"), "q");
    auto reply = load("hybfile://localhost/persistent/page.html");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->response.statusCode(), 200);
    EXPECT_EQ(reply->response.allHeaderFields().value("Content-Type"), "text/html");
    EXPECT_EQ(reply->response.allHeaderFields().value("Cache-Control"), "no-cache");
    EXPECT_EQ(std::string(reply->data.begin(), reply->data.end()), "<p>hi</p>");

    auto unknown = load("hybfile://localhost/persistent/x.qqq");
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->response.allHeaderFields().value("Content-Type"), "*/*");

    // A body of many steps (read as the reader makes room, never whole) arrives whole, its last step short or
    // empty.
    for (const std::size_t size : {3 * platform::URLProtocol::kStepBytes + 7, 2 * platform::URLProtocol::kStepBytes}) {
        std::string body(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            body[i] = static_cast<char>('a' + (i * 7 + i / 4096) % 26);
        writeFile(documents("large.bin"), body);
        auto large = load("hybfile://localhost/persistent/large.bin");
        ASSERT_TRUE(large) << size;
        EXPECT_EQ(large->response.statusCode(), 200);
        EXPECT_TRUE(std::string(large->data.begin(), large->data.end()) == body) << size << " bytes: " << large->data.size() << " came";
    }
}

TEST_F(FilesystemURLLoadTest, MissingFilesTraversalAndUnknownFileSystemsAnswer404) {
    startPlugin();
    writeFile(m_home.folders().library() + "/secret.txt", "secret");
    ASSERT_EQ(::symlink(m_home.folders().library().c_str(), documents("library-link").c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", documents("zero").c_str()), 0);
    for (const char* url : {"hybfile://localhost/persistent/missing.txt", "hybfile://localhost/persistent/../Library/secret.txt",
                            "hybfile://localhost/persistent/library-link/secret.txt", "hybfile://localhost/persistent/zero",
                            "hybfile://localhost/persistent/%2e%2e/Library/secret.txt", "hybfile://localhost/nosuchfs/a.txt",
                            "hybfile://localhost/", "hybfile://otherhost/persistent/a.txt"}) {
        auto reply = load(url);
        ASSERT_TRUE(reply) << url;
        EXPECT_EQ(reply->response.statusCode(), 404) << url;
        EXPECT_EQ(reply->response.allHeaderFields().value("Cache-Control"), "no-cache") << url;
        EXPECT_TRUE(reply->data.empty()) << url;
    }

    // A foreign page's request reads the bundle's and the home's files only, whatever file system it names.
    writeFile(documents("own.txt"), "own");
    auto own = load("hybfile://localhost/root" + documents("own.txt"), true);
    ASSERT_TRUE(own);
    EXPECT_EQ(std::string(own->data.begin(), own->data.end()), "own");
    for (const std::string& url : {std::string("hybfile://localhost/root/etc/passwd"), "hybfile://localhost/root" + documents("zero"),
                                   "hybfile://localhost/root" + documents("..") + "/../../../../../../../etc/passwd",
                                   std::string("hybfile://localhost/assets-library/asset.JPG?id=1")}) {
        auto reply = load(url, true);
        EXPECT_FALSE(reply && !reply->data.empty()) << url;
        EXPECT_FALSE(reply) << url << " answered " << reply->response.statusCode();
    }
}
