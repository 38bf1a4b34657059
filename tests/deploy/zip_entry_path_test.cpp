#include "deploy/ZipEntryPath.h"

#include <gtest/gtest.h>

using deploy::ZipEntryPath;

TEST(ZipEntryPath, NormalisesAcceptedNames) {
    struct Case {
        const char* name;
        const char* path;
        bool isDirectory;
    };
    for (const Case& c : {Case{"index.html", "index.html", false}, Case{"a/b/c.js", "a/b/c.js", false},
                          Case{"a\\b\\c.js", "a/b/c.js", false}, Case{"css/", "css", true},
                          Case{"css\\", "css", true}, Case{"./a//b/./c", "a/b/c", false},
                          Case{"..a/b..", "..a/b..", false}, Case{"./", "", true},
                          Case{"\xE4\xB8\xAD.html", "\xE4\xB8\xAD.html", false}}) {
        SCOPED_TRACE(c.name);
        auto path = ZipEntryPath::fromEntryName(c.name);
        ASSERT_TRUE(path) << path.error().localizedDescription();
        EXPECT_EQ(path->relativePath, c.path);
        EXPECT_EQ(path->isDirectory, c.isDirectory);
    }
}

TEST(ZipEntryPath, RefusesNamesThatLeaveTheDestination) {
    using namespace std::string_literals;
    for (const std::string& name : {""s, "../evil"s, "a/../../evil"s, "a/.."s, "..\\evil"s, "a\\..\\..\\b"s, "/abs"s,
                                   "\\abs"s, "//abs"s, "a\0b"s, "\xC3"s, "\xC0\xAF"s, "\xED\xA0\x80"s, "."s}) {
        SCOPED_TRACE(name);
        auto path = ZipEntryPath::fromEntryName(name);
        ASSERT_FALSE(path);
        EXPECT_EQ(path.error().domain, "ZMZipArchiveErrorDomain");
        EXPECT_EQ(path.error().code, -5);
    }
}

TEST(ZipEntryPath, LinkTargetsStayBelowTheDestination) {
    EXPECT_TRUE(ZipEntryPath::checkLinkTarget("a", "b"));
    EXPECT_TRUE(ZipEntryPath::checkLinkTarget("a", "./b/c"));
    EXPECT_TRUE(ZipEntryPath::checkLinkTarget("d/a", ".."));
    EXPECT_TRUE(ZipEntryPath::checkLinkTarget("d/e/a", "../../x/y"));
    EXPECT_FALSE(ZipEntryPath::checkLinkTarget("a", ".."));
    EXPECT_FALSE(ZipEntryPath::checkLinkTarget("d/a", "../../x"));
    EXPECT_FALSE(ZipEntryPath::checkLinkTarget("d/a", "x/../../y"));
    EXPECT_FALSE(ZipEntryPath::checkLinkTarget("d/a", "x/.."));
    EXPECT_FALSE(ZipEntryPath::checkLinkTarget("a", "/etc/passwd"));
    EXPECT_FALSE(ZipEntryPath::checkLinkTarget("a", ""));
}
