#include "files/FullPath.h"

#include <gtest/gtest.h>

using namespace files;

TEST(FullPath, NormalizeResolvesDotDotAndKeepsDot) {
    EXPECT_EQ(normalizePath("/a/b/../../c"), "/c");
    EXPECT_EQ(normalizePath("../x"), "x");
    EXPECT_EQ(normalizePath("/a/./b"), "/a/./b");
    EXPECT_EQ(normalizePath("a//b/"), "a/b");
    EXPECT_EQ(normalizePath("/.."), "/");
    EXPECT_EQ(normalizePath(""), "");
}

TEST(FullPath, StripQueryCutsAtTheFirstQuestionMark) {
    EXPECT_EQ(stripQueryParametersFromPath("/a/b?x=1?y"), "/a/b");
    EXPECT_EQ(stripQueryParametersFromPath("/a"), "/a");
}

TEST(FullPath, NativePathDropsQueryAndTrailingSlash) {
    EXPECT_EQ(nativePathUnderRoot("/r", "/a/b/?x=1"), "/r/a/b");
    EXPECT_EQ(nativePathUnderRoot("/r", ""), "/r");
    EXPECT_EQ(nativePathUnderRoot("/r", "/"), "/r");
    EXPECT_EQ(nativePathUnderRoot("/r", "a.txt"), "/r/a.txt");
    EXPECT_EQ(nativePathUnderRoot("/", "/etc/x"), "/etc/x");
    EXPECT_EQ(nativePathUnderRoot("/r", "/a/./b/../c"), "/r/a/c");
    // A ".." inside the query is not part of the path.
    EXPECT_EQ(nativePathUnderRoot("/r", "/a?x=/../../b"), "/r/a");
}

TEST(FullPath, EveryWayOutOfTheRootIsRefused) {
    // The decoded forms of what pages send: plain and (once URL-decoded) escaped "..", doubled slashes,
    // absolute-looking names, climbs hidden behind a descent, NUL bytes.
    const char* attempts[] = {
        "/..", "..", "/../x", "../../etc/passwd", "/a/../../x", "//..//x", "/a/b/../../../x", "/./../x",
        "/a/..//../etc", "..//..//", "/a/../..", "a/../../b?q=1",
    };
    for (const char* attempt : attempts) {
        EXPECT_FALSE(nativePathUnderRoot("/r", attempt)) << attempt;
        EXPECT_FALSE(nativePathUnderRoot("/", attempt)) << attempt;
    }
    EXPECT_FALSE(nativePathUnderRoot("/r", std::string_view("/a\0/b", 5)));
    // Names that merely contain dots stay inside.
    EXPECT_EQ(nativePathUnderRoot("/r", "/..a/b..").value_or(""), "/r/..a/b..");
    EXPECT_EQ(nativePathUnderRoot("/r", "/%2e%2e/x").value_or(""), "/r/%2e%2e/x");
}

TEST(FullPath, RootClaimsByWholeComponents) {
    EXPECT_EQ(pathRelativeToRoot("/r", "/r/x"), "/x");
    EXPECT_EQ(pathRelativeToRoot("/r", "/r"), "");
    EXPECT_FALSE(pathRelativeToRoot("/r", "/r2/x"));
    EXPECT_FALSE(pathRelativeToRoot("/r", "/q/x"));
    EXPECT_EQ(pathRelativeToRoot("/", "/etc"), "/etc");
    EXPECT_EQ(pathRelativeToRoot("/", "/"), "");
    EXPECT_FALSE(pathRelativeToRoot("/", "relative"));
}

TEST(FullPath, StandardizeResolvesLexically) {
    EXPECT_EQ(standardizePath("/a/./b/../c/"), "/a/c");
    EXPECT_EQ(standardizePath("/../x"), "/x");
    EXPECT_EQ(standardizePath("/"), "/");
    EXPECT_EQ(standardizePath("a/../.."), "..");
}
