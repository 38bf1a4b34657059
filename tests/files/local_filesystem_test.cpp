#include "files/HYBLocalFilesystem.h"

#include "platform/files/FileManager.h"
#include "platform/system/Device.h"
#include "support/LogCapture.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace files;
using platform::FileManager;
using runtime::HYBCommandStatus;
using runtime::HYBPluginResult;

namespace {

std::pair<int, long long> statusAndCode(const HYBPluginResult& result) {
    return {static_cast<int>(result.status()), result.message().integerValue()};
}

class LocalFilesystemTest : public hybtest::TempHomeTest {
protected:
    LocalFilesystemTest() : m_root(m_home.folders().documents()), m_fs(std::make_shared<HYBLocalFilesystem>("persistent", m_root + "/")) {}

    HYBFilesystemURL url(const std::string& fullPath) const { return HYBFilesystemURL("hybfile://localhost/persistent" + fullPath); }
    std::string native(const std::string& relative) const { return m_root + "/" + relative; }
    void write(const std::string& relative, const std::string& contents) const {
        ASSERT_TRUE(FileManager::defaultManager().createFile(native(relative), platform::Bytes(contents.begin(), contents.end())));
    }
    void mkdir(const std::string& relative) const { ASSERT_TRUE(FileManager::defaultManager().createDirectory(native(relative))); }
    std::string contents(const std::string& relative) const {
        auto bytes = FileManager::defaultManager().contentsOfFile(native(relative));
        return bytes ? std::string(bytes->begin(), bytes->end()) : "<missing>";
    }
    HYBPluginResult copy(const std::string& from, const std::string& toDirectory, const std::string& name, bool isCopy) {
        std::optional<HYBPluginResult> answer;
        m_fs->copyFileToURL(url(toDirectory), name, m_fs, url(from), isCopy, [&](HYBPluginResult r) { answer = std::move(r); });
        EXPECT_TRUE(answer);
        return answer.value_or(HYBPluginResult());
    }
    struct Read {
        std::optional<std::string> data;
        std::optional<std::string> mime;
        int code = -1;
    };
    Read read(const std::string& fullPath, std::int64_t start, std::int64_t end) {
        Read r;
        m_fs->readFileAtURL(url(fullPath), start, end, [&](std::optional<platform::Bytes> d, std::optional<std::string> m, std::int32_t c) {
            if (d)
                r.data = std::string(d->begin(), d->end());
            r.mime = m;
            r.code = c;
        });
        return r;
    }

    std::string m_root;
    std::shared_ptr<HYBLocalFilesystem> m_fs;
};

} // namespace

TEST_F(LocalFilesystemTest, MapsFullPathsAndNativePathsByComponent) {
    HYBLocalFilesystem fs("x", "/r");
    EXPECT_EQ(fs.filesystemPathForFullPath("/a/b/?x=1"), "/r/a/b");
    // The root /r never claims /r2/x.
    EXPECT_FALSE(fs.fullPathForFileSystemPath("/r2/x"));
    EXPECT_FALSE(fs.URLforFilesystemPath("/r2/x"));
    EXPECT_EQ(fs.fullPathForFileSystemPath("/r/a"), "/a");
    EXPECT_EQ(fs.URLforFilesystemPath("/r/a b#c")->url()->absoluteString(), "hybfile://localhost/x/a%20b%23c");
    EXPECT_EQ(fs.URLforFilesystemPath("/r/a b#c")->fullPath(), "/a b#c");
    EXPECT_EQ(fs.URLforFullPath("rel")->url()->absoluteString(), "hybfile://localhost/x/rel");
}

TEST_F(LocalFilesystemTest, EntriesMarkFoldersWithASlash) {
    mkdir("dir");
    auto entry = m_fs->makeEntryForLocalURL(url("/dir"));
    ASSERT_TRUE(entry);
    EXPECT_EQ(*entry, (platform::Dictionary{{"isFile", false}, {"isDirectory", true}, {"fullPath", "/dir/"}, {"name", "dir"},
                                             {"filesystemName", "persistent"}, {"nativeURL", "file://" + m_root + "/dir/"}}));
    EXPECT_EQ(entry->keys(), (std::vector<std::string>{"isFile", "isDirectory", "fullPath", "name", "filesystemName", "nativeURL"}));
    auto root = m_fs->makeEntryForPath("", true);
    EXPECT_EQ(root["fullPath"], platform::Value("/"));
    EXPECT_EQ(root["name"], platform::Value(""));
    EXPECT_EQ(m_fs->makeEntryForPath("/", true)["name"], platform::Value("/"));
    EXPECT_EQ(m_fs->makeEntryForPath("/a.txt?v=1", false)["name"], platform::Value("a.txt"));
    EXPECT_EQ(statusAndCode(m_fs->entryForLocalURI(url("/nothing"))), std::make_pair(6, 1LL));
}

TEST_F(LocalFilesystemTest, GetFileFollowsCreateExclusiveAndKind) {
    write("a.txt", "x");
    mkdir("dir");
    platform::Dictionary createExclusive{{"create", true}, {"exclusive", 1}};
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "a.txt", createExclusive)), std::make_pair(6, 12LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "new.txt", {{"create", "true"}})), std::make_pair(6, 1LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "dir", {})), std::make_pair(6, 11LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "a.txt", {{"getDir", 1}})), std::make_pair(6, 11LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "a:b", {{"create", 1}})), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), std::nullopt, {})), std::make_pair(6, 5LL));

    HYBPluginResult made = m_fs->getFileForURL(url("/dir"), "/b.txt", {{"create", 1}});
    ASSERT_EQ(made.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(made.message()["fullPath"], platform::Value("/dir/b.txt"));
    EXPECT_TRUE(FileManager::defaultManager().fileExists(native("dir/b.txt")));

    HYBPluginResult folder = m_fs->getFileForURL(url(""), "sub", {{"create", 1}, {"getDir", 1}});
    EXPECT_EQ(folder.message()["fullPath"], platform::Value("/sub/"));
    EXPECT_TRUE(FileManager::defaultManager().isDirectory(native("sub")));
}

TEST_F(LocalFilesystemTest, CreatingInsideAMissingFolderAborts) {
    hybtest::LogCapture log;
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "missing/f.txt", {{"create", 1}})), std::make_pair(6, 3LL));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "missing/d", {{"create", 1}, {"getDir", 1}})), std::make_pair(6, 3LL));
    EXPECT_TRUE(log.contains("error creating directory: "));
}

TEST_F(LocalFilesystemTest, TraversalIsRefusedByEveryOperation) {
    // Something outside the root that must survive.
    const std::string outside = m_home.folders().library() + "/keep.txt";
    ASSERT_TRUE(FileManager::defaultManager().createFile(outside, platform::Bytes{'k'}));
    write("in.txt", "in");
    for (const char* path : {"/../Library/keep.txt", "/a/../../Library/keep.txt", "//..//Library/keep.txt", "/./../Library/keep.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(statusAndCode(m_fs->removeFileAtURL(url(path))), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(m_fs->recursiveRemoveFileAtURL(url(path))), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(m_fs->writeToFileAtURL(url(path), {'x'}, false)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url(path), 0)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(m_fs->entryForLocalURI(url(path))), std::make_pair(6, 5LL));
        EXPECT_EQ(read(path, 0, -1).code, 5);
        EXPECT_EQ(statusAndCode(copy(path, "", "stolen.txt", true)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(copy(path, "", "stolen.txt", false)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(copy("/in.txt", "/../Library", "in.txt", true)), std::make_pair(6, 5LL));
    }
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url(""), "../Library/keep.txt", {})), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url("/x"), "../../y", {{"create", 1}})), std::make_pair(6, 5LL));
    // Names that would leave the destination folder.
    EXPECT_EQ(statusAndCode(copy("/in.txt", "", "../escaped.txt", true)), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(copy("/in.txt", "", "..", false)), std::make_pair(6, 5LL));
    // The root itself, however it is written, is never removed.
    EXPECT_EQ(statusAndCode(m_fs->recursiveRemoveFileAtURL(url("/."))), std::make_pair(6, 6LL));
    EXPECT_EQ(statusAndCode(m_fs->recursiveRemoveFileAtURL(url("/a/.."))), std::make_pair(6, 6LL));
    EXPECT_EQ(contents("in.txt"), "in");
    EXPECT_TRUE(FileManager::defaultManager().fileExists(outside));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(m_home.folders().home() + "/escaped.txt"));
}

TEST_F(LocalFilesystemTest, RemoveRefusesFoldersWithHiddenFiles) {
    mkdir("d");
    write("d/.hidden", "");
    EXPECT_EQ(statusAndCode(m_fs->removeFileAtURL(url("/d"))), std::make_pair(6, 9LL));
    EXPECT_EQ(statusAndCode(m_fs->removeFileAtURL(url("/none"))), std::make_pair(6, 1LL));
    EXPECT_EQ(m_fs->recursiveRemoveFileAtURL(url("/d")).status(), HYBCommandStatus::Ok);
    EXPECT_FALSE(FileManager::defaultManager().fileExists(native("d")));
    hybtest::LogCapture log;
    EXPECT_EQ(statusAndCode(m_fs->recursiveRemoveFileAtURL(url("/d"))), std::make_pair(6, 1LL));
    EXPECT_TRUE(log.contains("error removing filesystem entry at " + native("d") + ": "));
}

TEST_F(LocalFilesystemTest, ReadEntriesListsHiddenItemsAsEntries) {
    mkdir("d");
    mkdir("d/sub");
    write("d/.h", "");
    HYBPluginResult listing = m_fs->readEntriesAtURL(url("/d"));
    ASSERT_EQ(listing.status(), HYBCommandStatus::Ok);
    const platform::Array& entries = *listing.message().getArray();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0]["fullPath"], platform::Value("/d/.h"));
    EXPECT_EQ(entries[1]["fullPath"], platform::Value("/d/sub/"));
    EXPECT_EQ(statusAndCode(m_fs->readEntriesAtURL(url("/none"))), std::make_pair(6, 1LL));
}

TEST_F(LocalFilesystemTest, TruncateAndWrite) {
    EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url("/missing"), 4)), std::make_pair(1, 0LL));
    write("ten", "0123456789");
    EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url("/ten"), 20)), std::make_pair(1, 20LL));
    EXPECT_EQ(contents("ten"), std::string("0123456789") + std::string(10, '\0'));
    EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url("/ten"), 3)), std::make_pair(1, 3LL));
    EXPECT_EQ(contents("ten"), "012");

    HYBPluginResult empty = m_fs->writeToFileAtURL(url("/nofile"), {}, false);
    EXPECT_EQ(empty.status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(empty.message().isDouble());
    EXPECT_FALSE(FileManager::defaultManager().fileExists(native("nofile")));

    EXPECT_EQ(statusAndCode(m_fs->writeToFileAtURL(url("/ten"), {'a', 'b'}, true)), std::make_pair(1, 2LL));
    EXPECT_EQ(contents("ten"), "012ab");
    EXPECT_EQ(statusAndCode(m_fs->writeToFileAtURL(url("/ten"), {'z'}, false)), std::make_pair(1, 1LL));
    EXPECT_EQ(contents("ten"), "z");
    EXPECT_EQ(statusAndCode(m_fs->writeToFileAtURL(url("/nodir/f"), {'z'}, false)), std::make_pair(9, 9LL));
}

TEST_F(LocalFilesystemTest, CopyAndMoveFilesAndFolders) {
    write("a.txt", "A");
    write("b.txt", "B");
    mkdir("dir");
    EXPECT_EQ(statusAndCode(copy("/a.txt", "", "b.txt", true)), std::make_pair(6, 12LL));
    HYBPluginResult moved = copy("/a.txt", "", "b.txt", false);
    ASSERT_EQ(moved.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(moved.message()["fullPath"], platform::Value("/b.txt"));
    EXPECT_EQ(contents("b.txt"), "A");
    EXPECT_FALSE(FileManager::defaultManager().fileExists(native("a.txt")));

    EXPECT_EQ(statusAndCode(copy("/b.txt", "", "b.txt", true)), std::make_pair(6, 9LL));
    EXPECT_EQ(statusAndCode(copy("/b.txt", "", "dir", false)), std::make_pair(6, 9LL));
    EXPECT_EQ(statusAndCode(copy("/b.txt", "/missing", "x", true)), std::make_pair(6, 1LL));
    EXPECT_EQ(statusAndCode(copy("/none", "", "x", true)), std::make_pair(6, 1LL));

    mkdir("dir/sub");
    write("dir/f", "F");
    EXPECT_EQ(statusAndCode(copy("/dir", "/dir/sub", "inner", false)), std::make_pair(6, 9LL));
    EXPECT_EQ(statusAndCode(copy("/dir", "/dir", "again", true)), std::make_pair(6, 9LL));
    EXPECT_EQ(contents("dir/f"), "F");
    EXPECT_EQ(statusAndCode(copy("/dir", "", "b.txt", true)), std::make_pair(6, 9LL));

    HYBPluginResult copied = copy("/dir", "", "copy", true);
    ASSERT_EQ(copied.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(copied.message()["fullPath"], platform::Value("/copy/"));
    EXPECT_EQ(contents("copy/f"), "F");
    // The guard's refusal of a sibling whose name extends the source's, one folder deeper.
    mkdir("dirx");
    EXPECT_EQ(statusAndCode(copy("/dir", "/dirx", "y", true)), std::make_pair(6, 9LL));
    // The root of a file system stays in place.
    EXPECT_EQ(statusAndCode(copy("", "/dirx", "root", false)), std::make_pair(6, 6LL));
}

TEST_F(LocalFilesystemTest, ReadRangesAndTypes) {
    write("f.txt", "0123456789");
    EXPECT_EQ(read("/f.txt", 0, -1).data, "0123456789");
    EXPECT_EQ(read("/f.txt", 0, -1).mime, "text/plain");
    EXPECT_EQ(read("/f.txt", 3, 3).data, "");
    EXPECT_EQ(read("/f.txt", 3, 3).code, 0);
    EXPECT_EQ(read("/f.txt", 3, 1).data, "3456789");
    EXPECT_EQ(read("/f.txt", 2, 5).data, "234");
    EXPECT_EQ(read("/f.txt", 20, 30).data, "");
    write("x.qqq", "q");
    EXPECT_EQ(read("/x.qqq", 0, -1).mime, "*/*");
    Read missing = read("/nope.txt", 0, -1);
    EXPECT_FALSE(missing.data);
    EXPECT_EQ(missing.code, 1);
    mkdir("folder");
    EXPECT_EQ(read("/folder", 0, -1).code, 1);
}

TEST_F(LocalFilesystemTest, MimeTypesFallBackByContainment) {
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath("/a/b.png"), "image/png");
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath("/a/b.m4a"), "audio/mp4");
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath("/a/b.xwavx"), "audio/wav");
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath("/a/b.scssx"), "text/css");
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath("/a/b.WAVX"), std::nullopt);
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath("/a/noext"), std::nullopt);
    EXPECT_EQ(HYBLocalFilesystem::getMimeTypeFromPath(std::nullopt), std::nullopt);
}

TEST_F(LocalFilesystemTest, MetadataReadAndBackupFlag) {
    write("m.txt", "12345");
    mkdir("d");
    std::optional<HYBPluginResult> answer;
    m_fs->getFileMetadataForURL(url("/m.txt"), [&](HYBPluginResult r) { answer = r; });
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->message().dictionaryOrEmpty().keys(), (std::vector<std::string>{"fullPath", "type", "name", "size", "lastModifiedDate"}));
    EXPECT_EQ(answer->message()["size"].integerValue(), 5);
    EXPECT_EQ(answer->message()["name"], platform::Value("m.txt"));
    EXPECT_GT(answer->message()["lastModifiedDate"].doubleValue(), 1.0e12);
    m_fs->getFileMetadataForURL(url("/d"), [&](HYBPluginResult r) { answer = r; });
    EXPECT_EQ(answer->message()["size"].integerValue(), 0);
    hybtest::LogCapture log;
    m_fs->getFileMetadataForURL(url("/none"), [&](HYBPluginResult r) { answer = r; });
    EXPECT_EQ(statusAndCode(*answer), std::make_pair(9, 1LL));
    EXPECT_TRUE(log.contains("error getting metadata: "));

    EXPECT_EQ(m_fs->setMetadataForURL(url("/m.txt"), {{"com.apple.MobileBackup", 1}}).status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(FileManager::defaultManager().isExcludedFromBackup(native("m.txt")));
    EXPECT_EQ(m_fs->setMetadataForURL(url("/m.txt"), {{"com.apple.MobileBackup", "1"}}).status(), HYBCommandStatus::Error);
    EXPECT_EQ(m_fs->setMetadataForURL(url("/m.txt"), {}).status(), HYBCommandStatus::Error);

    platform::Device::current().setSystemVersion("5.0");
    EXPECT_EQ(m_fs->setMetadataForURL(url("/m.txt"), {{"com.apple.MobileBackup", 0x101}}).status(), HYBCommandStatus::Ok);
    auto attribute = FileManager::defaultManager().extendedAttribute(native("m.txt"), "com.apple.MobileBackup");
    platform::Device::current().resetToDefaults();
    ASSERT_TRUE(attribute);
    EXPECT_EQ(*attribute, platform::Bytes{1});
}

namespace {

class HostileLocalFilesystemTest : public LocalFilesystemTest {
protected:
    void link(const std::string& target, const std::string& relative) const {
        ASSERT_EQ(::symlink(target.c_str(), native(relative).c_str()), 0);
    }
};

TEST_F(HostileLocalFilesystemTest, LinksAreNeverFollowedAndFilesWithASecondNameAreRefused) {
    const std::string outsideFolder = m_home.folders().library() + "/secret";
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(outsideFolder));
    const std::string outside = outsideFolder + "/keep.txt";
    ASSERT_TRUE(FileManager::defaultManager().createFile(outside, platform::Bytes{'k'}));
    write("in.txt", "in");
    mkdir("sub");
    link(outsideFolder, "out");                                 // a folder outside
    link(outside, "outfile");                                   // a file outside
    link(m_home.folders().library() + "/absent.txt", "dangling"); // would create its target when written
    link("in.txt", "alias");                                    // stays inside: refused all the same
    link("sub", "subalias");
    ASSERT_EQ(::link(outside.c_str(), native("hard.txt").c_str()), 0); // a second name of the outside file

    for (const char* path : {"/out/keep.txt", "/outfile", "/dangling", "/alias", "/subalias/x.txt", "/hard.txt"}) {
        SCOPED_TRACE(path);
        EXPECT_EQ(read(path, 0, -1).code, 5);
        EXPECT_EQ(statusAndCode(m_fs->writeToFileAtURL(url(path), {'x'}, false)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(m_fs->writeAtPosition(url(path), {'x'}, 0)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url(path), 0)), std::make_pair(6, 5LL));
        EXPECT_EQ(statusAndCode(copy(path, "", "stolen.txt", true)), std::make_pair(6, 5LL));
        if (std::string(path) != "/hard.txt") { // moving a name moves no bytes; the name itself is inside
            EXPECT_EQ(statusAndCode(copy(path, "", "stolen.txt", false)), std::make_pair(6, 5LL));
            EXPECT_EQ(statusAndCode(m_fs->entryForLocalURI(url(path))), std::make_pair(6, 5LL));
        }
        EXPECT_FALSE(m_fs->filesystemPathForURL(url(path)) && std::string(path) != "/hard.txt");
    }
    EXPECT_EQ(statusAndCode(copy("/in.txt", "/out", "in.txt", true)), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url("/out"), "new.txt", {{"create", 1}})), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->getFileForURL(url("/subalias"), "new.txt", {{"create", 1}})), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->readEntriesAtURL(url("/out"))), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->setMetadataForURL(url("/outfile"), {{"com.apple.MobileBackup", 1}})), std::make_pair(6, 5LL));
    EXPECT_FALSE(FileManager::defaultManager().isExcludedFromBackup(outside));
    EXPECT_EQ(contents("../Library/secret/keep.txt"), "k");
    EXPECT_EQ(contents("in.txt"), "in");
    EXPECT_FALSE(FileManager::defaultManager().fileExists(outsideFolder + "/new.txt"));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(native("sub/new.txt")));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(m_home.folders().library() + "/absent.txt"));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(native("stolen.txt")));

    // Removing a link removes the link, never what it points to; a second name goes, the file stays.
    EXPECT_EQ(m_fs->removeFileAtURL(url("/outfile")).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(m_fs->recursiveRemoveFileAtURL(url("/out")).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(m_fs->removeFileAtURL(url("/hard.txt")).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(contents("../Library/secret/keep.txt"), "k");
    // With its second name gone, a file reads again.
    ASSERT_EQ(::link(native("in.txt").c_str(), native("twin.txt").c_str()), 0);
    EXPECT_EQ(read("/in.txt", 0, -1).code, 5);
    ASSERT_EQ(::unlink(native("twin.txt").c_str()), 0);
    EXPECT_EQ(read("/in.txt", 0, -1).data, "in");
}

TEST_F(HostileLocalFilesystemTest, WithoutTheKernelsBeneathLookupTheComponentWalkRefusesTheSame) {
    const std::string outside = m_home.folders().library() + "/walk.txt";
    ASSERT_TRUE(FileManager::defaultManager().createFile(outside, platform::Bytes{'w'}));
    mkdir("dir");
    write("dir/in.txt", "in");
    link(m_home.folders().library(), "lib");
    link("dir", "dirlink");
    platform::RootFolder::setComponentWalkForTesting(true);
    EXPECT_FALSE(platform::RootFolder::kernelResolvesBeneath());
    EXPECT_EQ(read("/lib/walk.txt", 0, -1).code, 5);
    EXPECT_EQ(read("/dirlink/in.txt", 0, -1).code, 5);
    EXPECT_EQ(statusAndCode(m_fs->writeAtPosition(url("/lib/walk.txt"), {'x'}, 0)), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(m_fs->readEntriesAtURL(url("/dirlink"))), std::make_pair(6, 5LL));
    EXPECT_EQ(read("/dir/in.txt", 0, -1).data, "in");
    EXPECT_EQ(statusAndCode(m_fs->writeAtPosition(url("/dir/in.txt"), {'!'}, 2)), std::make_pair(1, 1LL));
    platform::RootFolder::setComponentWalkForTesting(false);
    EXPECT_EQ(contents("dir/in.txt"), "in!");
    EXPECT_EQ(contents("../Library/walk.txt"), "w");
}

TEST_F(HostileLocalFilesystemTest, AFileSwappedForALinkWhileInUseNeverLeadsOut) {
    // Another process swaps race.txt between a file and a link to an outside file (and sub/ between a
    // folder and a link to an outside folder) as fast as it can, while reads, writes, truncations and
    // removals run here. Nothing outside may be read or changed.
    const std::string outsideFolder = m_home.folders().library() + "/victim";
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(outsideFolder));
    const std::string outside = outsideFolder + "/race.txt";
    const std::string secret = "outside secret";
    ASSERT_TRUE(FileManager::defaultManager().createFile(outside, platform::Bytes(secret.begin(), secret.end())));
    ASSERT_TRUE(FileManager::defaultManager().createFile(outsideFolder + "/keep.txt", platform::Bytes{'k'}));
    write("race.txt", "inside");
    mkdir("sub");
    write("sub/keep.txt", "in");

    std::atomic<bool> stop{false};
    std::atomic<int> swaps{0};
    std::thread swapper([&] {
        const std::string file = native("race.txt"), link = native("race.link"), fileAside = native("race.file");
        const std::string folder = native("sub"), folderLink = native("sub.link"), folderAside = native("sub.folder");
        ::symlink(outside.c_str(), link.c_str());
        ::symlink(outsideFolder.c_str(), folderLink.c_str());
        // A file and a link kept beside each other, renamed in turn onto the name in use.
        bool linked = false;
        while (!stop && swaps < 10000) {
            if (!linked) {
                ::rename(file.c_str(), fileAside.c_str());
                ::rename(link.c_str(), file.c_str());
                ::rename(folder.c_str(), folderAside.c_str());
                ::rename(folderLink.c_str(), folder.c_str());
            } else {
                ::rename(file.c_str(), link.c_str());
                ::rename(fileAside.c_str(), file.c_str());
                ::rename(folder.c_str(), folderLink.c_str());
                ::rename(folderAside.c_str(), folder.c_str());
            }
            linked = !linked;
            ++swaps;
        }
    });
    int leaked = 0;
    for (int i = 0; swaps < 10000 && i < 1000000; ++i) {
        Read r = read("/race.txt", 0, -1);
        if (r.data && r.data->find("outside") != std::string::npos)
            ++leaked;
        Read inFolder = read("/sub/keep.txt", 0, -1);
        if (inFolder.data && *inFolder.data == "k")
            ++leaked;
        (void)m_fs->writeAtPosition(url("/race.txt"), {'i', 'n'}, 0);
        (void)m_fs->writeToFileAtURL(url("/race.txt"), {'!'}, true);
        (void)m_fs->truncateFileAtURL(url("/race.txt"), 1);
        (void)m_fs->writeAtPosition(url("/sub/keep.txt"), {'i', 'n'}, 0);
        (void)m_fs->setMetadataForURL(url("/race.txt"), {{"com.apple.MobileBackup", 1}});
        if (i % 50 == 0)
            (void)m_fs->recursiveRemoveFileAtURL(url("/sub"));
        (void)m_fs->getFileForURL(url("/sub"), "made.txt", {{"create", 1}});
        (void)copy("/race.txt", "/sub", "copied.txt", true);
        (void)m_fs->removeFileAtURL(url("/sub/copied.txt"));
    }
    stop = true;
    swapper.join();
    EXPECT_GT(swaps, 100);
    EXPECT_EQ(leaked, 0);
    EXPECT_EQ(contents("../Library/victim/race.txt"), secret);
    EXPECT_EQ(contents("../Library/victim/keep.txt"), "k");
    auto names = FileManager::defaultManager().contentsOfDirectory(outsideFolder);
    ASSERT_TRUE(names);
    EXPECT_EQ(*names, (std::vector<std::string>{"keep.txt", "race.txt"}));
    EXPECT_FALSE(FileManager::defaultManager().isExcludedFromBackup(outside));
}

TEST_F(HostileLocalFilesystemTest, ReadsTakeRegularFilesWithinTheCapAndTruncationWithinTheFreeSpace) {
    EXPECT_EQ(HYBFileSystem::kMaxReadLength, 64ull * 1024 * 1024);
    // A FIFO would block the read for ever; a device would never end.
    ASSERT_EQ(::mkfifo(native("fifo").c_str(), 0600), 0);
    EXPECT_EQ(read("/fifo", 0, -1).code, 4);

    // A sparse file one byte over the cap is refused without being read; a range inside it reads.
    write("big.bin", "");
    ASSERT_EQ(::truncate(native("big.bin").c_str(), static_cast<off_t>(HYBFileSystem::kMaxReadLength + 1)), 0);
    EXPECT_EQ(read("/big.bin", 0, -1).code, 4);
    EXPECT_EQ(read("/big.bin", 1, -1).data->size(), HYBFileSystem::kMaxReadLength);
    EXPECT_EQ(read("/big.bin", 10, 14).data, std::string(4, '\0'));

    // Growth past the free space (or past anything addressable) is refused; cutting always works.
    // The whole file system's size: no amount of space freed by other processes meanwhile makes it fit.
    const std::uint64_t whole = FileManager::defaultManager().attributesOfFileSystem(m_root)->size;
    EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url("/big.bin"), HYBFileSystem::kMaxReadLength + 2 + whole)),
              std::make_pair(6, 10LL));
    EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url("/big.bin"), std::uint64_t{1} << 62)), std::make_pair(6, 10LL));
    EXPECT_EQ(statusAndCode(m_fs->truncateFileAtURL(url("/big.bin"), 3)), std::make_pair(1, 3LL));
}

} // namespace
