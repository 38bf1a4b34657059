#include "FilePluginFixture.h"

#include "platform/files/FileManager.h"
#include "runtime/HYBBase64.h"
#include "support/EventWait.h"
#include "support/LogCapture.h"

#include <gtest/gtest.h>


using namespace files;
using filestest::FilePluginTest;
using filestest::statusAndCode;
using platform::Array;
using platform::Dictionary;
using platform::FileManager;
using runtime::HYBCommandStatus;

namespace {

const std::string kPersistent = "hybfile://localhost/persistent";

std::pair<int, long long> okInt(long long value) {
    return {1, value};
}

} // namespace

TEST_F(FilePluginTest, RequestFileSystemByTypeAndSize) {
    auto temporary = call("requestFileSystem", {0, 0});
    ASSERT_EQ(temporary.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(temporary.message()["name"], platform::Value("temporary"));
    EXPECT_EQ(temporary.message()["root"]["fullPath"], platform::Value("/"));
    EXPECT_EQ(temporary.message()["root"]["name"], platform::Value("/"));
    EXPECT_EQ(call("requestFileSystem", {1, 0}).message()["name"], platform::Value("persistent"));

    hybtest::LogCapture log;
    const auto count = static_cast<int>(m_plugin->fileSystems().size());
    EXPECT_EQ(statusAndCode(call("requestFileSystem", {count, 0})), std::make_pair(9, 1LL));
    EXPECT_EQ(statusAndCode(call("requestFileSystem", {-1, 0})), std::make_pair(9, 1LL));
    EXPECT_TRUE(log.contains("No filesystem of type requested"));
    EXPECT_EQ(statusAndCode(call("requestFileSystem", {1, 5000000000000000000LL})), std::make_pair(6, 10LL));
    EXPECT_EQ(statusAndCode(call("requestFileSystem", {1, -1})), std::make_pair(6, 10LL));
    EXPECT_EQ(call("requestFileSystem", {}).message()["name"], platform::Value("temporary"));
}

TEST_F(FilePluginTest, PathsRootsAndFreeSpace) {
    auto roots = call("requestAllFileSystems");
    ASSERT_EQ(roots.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(roots.message().arrayOrEmpty().size(), m_plugin->fileSystems().size());
    EXPECT_EQ(roots.message()[1]["filesystemName"], platform::Value("persistent"));

    auto paths = call("requestAllPaths");
    EXPECT_EQ(paths.message()["documentsDirectory"], platform::Value("file://" + documents() + "/"));
    EXPECT_EQ(paths.message()["applicationStorageDirectory"], platform::Value("file://" + m_home.folders().home() + "/"));
    EXPECT_TRUE(FileManager::defaultManager().isExcludedFromBackup(m_home.folders().library() + "/NoCloud"));
    EXPECT_TRUE(FileManager::defaultManager().isDirectory(m_home.folders().library() + "/Cloud"));

    auto free = call("getFreeDiskSpace");
    ASSERT_TRUE(free.message().isString());
    const std::string& text = *free.message().getString();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find_first_not_of("0123456789"), std::string::npos);
}

TEST_F(FilePluginTest, ResolveAndLocalPaths) {
    writeFile(documents("a b.txt"), "x");
    auto entry = call("resolveLocalFileSystemURI", {kPersistent + "/a%20b.txt"});
    ASSERT_EQ(entry.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(entry.message()["name"], platform::Value("a b.txt"));
    EXPECT_EQ(call("resolveLocalFileSystemURI", {"file://" + documents("a%20b.txt")}).message()["filesystemName"],
              platform::Value("persistent"));
    EXPECT_EQ(statusAndCode(call("resolveLocalFileSystemURI", {kPersistent + "/none"})), std::make_pair(6, 1LL));
    for (platform::Value bad : {platform::Value("hybfile://localhost/nosuch/a"), platform::Value("hybfile://localhost/"),
                                platform::Value("not a url"), platform::Value(7), platform::Value()})
        EXPECT_EQ(statusAndCode(call("resolveLocalFileSystemURI", {bad})), std::make_pair(9, 5LL)) << bad.description();
    EXPECT_EQ(statusAndCode(call("resolveLocalFileSystemURI")), std::make_pair(9, 5LL));

    EXPECT_EQ(call("_getLocalFilesystemPath", {kPersistent + "/a.txt"}).message(), platform::Value(documents("a.txt")));
    auto unresolved = call("_getLocalFilesystemPath", {kPersistent + "/../x"});
    EXPECT_EQ(unresolved.status(), HYBCommandStatus::Error);
    EXPECT_EQ(unresolved.message(), platform::Value("Cannot resolve URL to a file"));

    EXPECT_EQ(statusAndCode(call("testFileExists", {documents("a b.txt")})), okInt(1));
    EXPECT_EQ(statusAndCode(call("testFileExists", {documents("none")})), okInt(0));
    EXPECT_EQ(statusAndCode(call("testDirectoryExists", {documents()})), okInt(1));
    EXPECT_EQ(statusAndCode(call("testDirectoryExists", {documents("a b.txt")})), okInt(0));
    EXPECT_EQ(statusAndCode(call("testFileExists")), okInt(0));
}

TEST_F(FilePluginTest, GetFileGetDirectoryAndParent) {
    auto made = call("getFile", {kPersistent + "/", "n.txt", Dictionary{{"create", true}}});
    ASSERT_EQ(made.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(made.message()["fullPath"], platform::Value("/n.txt"));
    EXPECT_EQ(made.message()["nativeURL"], platform::Value("file://" + documents("n.txt")));

    writeFile(documents("plain"), "");
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(documents("folder")));
    // Two arguments: as getFile with {"getDir": 1}.
    EXPECT_EQ(call("getDirectory", {kPersistent, "folder"}).message()["fullPath"], platform::Value("/folder/"));
    EXPECT_EQ(statusAndCode(call("getDirectory", {kPersistent, "plain"})), std::make_pair(6, 11LL));
    EXPECT_EQ(call("getDirectory", {kPersistent, "made", Dictionary{{"create", 1}}}).status(), HYBCommandStatus::Ok);
    EXPECT_TRUE(FileManager::defaultManager().isDirectory(documents("made")));

    auto parent = call("getParent", {kPersistent + "/folder"});
    EXPECT_EQ(parent.message()["fullPath"], platform::Value("/"));
    EXPECT_EQ(parent.message()["name"], platform::Value(""));
    EXPECT_EQ(call("getParent", {kPersistent + "/"}).message()["fullPath"], platform::Value("/"));
}

TEST_F(FilePluginTest, UnregisteredFileSystemsAndMissingArgumentsAnswerErrors) {
    const std::string unknown = "hybfile://localhost/nosuch/a.txt";
    for (const char* action : {"getFile", "getDirectory", "getParent", "setMetadata", "remove", "removeRecursively", "readEntries",
                               "truncate", "write", "getFileMetadata", "readAsText", "readAsDataURL", "readAsArrayBuffer",
                               "readAsBinaryString"}) {
        SCOPED_TRACE(action);
        EXPECT_EQ(statusAndCode(call(action, {unknown, "x", 0})), std::make_pair(6, 1LL));
        if (std::string(action) == "write")
            continue; // without data it answers "Invalid parameter type" first
        EXPECT_EQ(statusAndCode(call(action)), std::make_pair(6, 1LL));
        EXPECT_EQ(statusAndCode(call(action, {42})), std::make_pair(6, 1LL));
    }
    EXPECT_EQ(call("write").message(), platform::Value("Invalid parameter type"));
    writeFile(documents("a.txt"), "a");
    for (const char* action : {"copyTo", "moveTo"}) {
        SCOPED_TRACE(action);
        EXPECT_EQ(statusAndCode(call(action, {kPersistent + "/a.txt"})), std::make_pair(6, 1LL));
        EXPECT_EQ(statusAndCode(call(action, {platform::Value(), kPersistent})), std::make_pair(6, 1LL));
        EXPECT_EQ(statusAndCode(call(action, {unknown, kPersistent, "b"})), std::make_pair(6, 1LL));
        EXPECT_EQ(statusAndCode(call(action, {kPersistent + "/a.txt", "hybfile://localhost/nosuch/", "b"})), std::make_pair(6, 1LL));
    }
    EXPECT_EQ(readFile(documents("a.txt")), "a");
}

TEST_F(FilePluginTest, RemovingARootIsRefusedHoweverItIsWritten) {
    writeFile(documents("keep.txt"), "k");
    for (const std::string& root : {kPersistent + "/", kPersistent, kPersistent + "/.", kPersistent + "/a/..", kPersistent + "//"}) {
        EXPECT_EQ(statusAndCode(call("remove", {root})), std::make_pair(6, 6LL)) << root;
        EXPECT_EQ(statusAndCode(call("removeRecursively", {root})), std::make_pair(6, 6LL)) << root;
    }
    EXPECT_EQ(readFile(documents("keep.txt")), "k");
    EXPECT_EQ(call("remove", {kPersistent + "/keep.txt"}).status(), HYBCommandStatus::Ok);
    EXPECT_FALSE(FileManager::defaultManager().fileExists(documents("keep.txt")));
}

TEST_F(FilePluginTest, CopyAndMoveNames) {
    writeFile(documents("a.txt"), "A");
    ASSERT_TRUE(FileManager::defaultManager().createDirectory(documents("dir")));
    EXPECT_EQ(statusAndCode(call("copyTo", {kPersistent + "/a.txt", kPersistent + "/dir", "a:b"})), std::make_pair(6, 5LL));
    for (platform::Value name : {platform::Value("../a2.txt"), platform::Value("x/y"), platform::Value(".."), platform::Value("."),
                                 platform::Value(""), platform::Value()}) {
        EXPECT_EQ(statusAndCode(call("copyTo", {kPersistent + "/a.txt", kPersistent + "/dir", name})), std::make_pair(6, 5LL))
            << name.description();
        EXPECT_EQ(statusAndCode(call("moveTo", {kPersistent + "/a.txt", kPersistent + "/dir", name})), std::make_pair(6, 5LL))
            << name.description();
    }
    EXPECT_FALSE(FileManager::defaultManager().fileExists(documents("a2.txt")));
    auto kept = call("copyTo", {kPersistent + "/a.txt", kPersistent + "/dir"});
    ASSERT_EQ(kept.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(kept.message()["fullPath"], platform::Value("/dir/a.txt"));
    auto moved = call("moveTo", {kPersistent + "/a.txt", "hybfile://localhost/temporary/", "t.txt"});
    ASSERT_EQ(moved.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(moved.message()["filesystemName"], platform::Value("temporary"));
    EXPECT_EQ(readFile(m_home.folders().tmp() + "/t.txt"), "A");
    EXPECT_FALSE(FileManager::defaultManager().fileExists(documents("a.txt")));
}

TEST_F(FilePluginTest, WriteReplacesFromThePositionAndChecksItsDataFirst) {
    const std::string file = kPersistent + "/h.txt";
    writeFile(documents("h.txt"), "hello");
    EXPECT_EQ(statusAndCode(call("write", {file, "abc", 2})), okInt(3));
    EXPECT_EQ(readFile(documents("h.txt")), "heabc");
    EXPECT_EQ(statusAndCode(call("write", {file, "abc", 0})), okInt(3));
    EXPECT_EQ(readFile(documents("h.txt")), "abc");
    EXPECT_EQ(statusAndCode(call("write", {file, platform::Bytes{'x', 0, 'y'}, 1})), okInt(3));
    EXPECT_EQ(readFile(documents("h.txt")), std::string("ax\0y", 4));

    writeFile(documents("h.txt"), "hello");
    for (platform::Value bad : {platform::Value(12), platform::Value(), platform::Value(Dictionary{{"a", 1}})}) {
        auto refused = call("write", {file, bad, 0});
        EXPECT_EQ(refused.status(), HYBCommandStatus::Error);
        EXPECT_EQ(refused.message(), platform::Value("Invalid parameter type"));
    }
    EXPECT_EQ(statusAndCode(call("write", {file, "x", -1})), std::make_pair(6, 9LL));
    EXPECT_EQ(readFile(documents("h.txt")), "hello");

    EXPECT_EQ(statusAndCode(call("write", {kPersistent + "/new.txt", "n", 0})), okInt(1));
    EXPECT_EQ(readFile(documents("new.txt")), "n");
    EXPECT_EQ(statusAndCode(call("write", {kPersistent + "/../escape.txt", "n", 0})), std::make_pair(6, 5LL));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(m_home.folders().home() + "/escape.txt"));

    EXPECT_EQ(statusAndCode(call("truncate", {file, 2})), okInt(2));
    EXPECT_EQ(readFile(documents("h.txt")), "he");
    EXPECT_EQ(statusAndCode(call("truncate", {file, -2})), std::make_pair(6, 9LL));
    EXPECT_EQ(readFile(documents("h.txt")), "he");
}

TEST_F(FilePluginTest, ReadingAsTextDataURLArrayBufferAndBinaryString) {
    const std::string file = kPersistent + "/r.txt";
    writeFile(documents("r.txt"), "h\xC3\xA9llo");
    EXPECT_EQ(call("readAsText", {file, "utf-8", 0, -1}).message(), platform::Value("h\xC3\xA9llo"));
    EXPECT_EQ(call("readAsText", {file, "UTF-8", 1, 3}).message(), platform::Value("\xC3\xA9"));
    hybtest::LogCapture log;
    EXPECT_EQ(statusAndCode(call("readAsText", {file, "latin1", 0, -1})), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(call("readAsText", {file})), std::make_pair(6, 5LL));
    EXPECT_TRUE(log.contains("Only UTF-8 encodings are currently supported by readAsText"));
    // Half of "é": not UTF-8.
    EXPECT_EQ(statusAndCode(call("readAsText", {file, "UTF-8", 0, 2})), std::make_pair(6, 5LL));
    EXPECT_EQ(statusAndCode(call("readAsText", {kPersistent + "/none.txt", "UTF-8"})), std::make_pair(6, 1LL));

    EXPECT_EQ(call("readAsBinaryString", {file, 1, 3}).message(), platform::Value("\xC3\x83\xC2\xA9"));
    auto buffer = call("readAsArrayBuffer", {file, 0, 1});
    EXPECT_EQ(buffer.message()["HYBType"], platform::Value("ArrayBuffer"));
    EXPECT_EQ(buffer.message()["data"], platform::Value(runtime::hybBase64Encode(platform::Bytes{'h'})));

    const platform::Bytes png{0x89, 'P', 'N', 'G'};
    ASSERT_TRUE(FileManager::defaultManager().createFile(documents("i.png"), png));
    EXPECT_EQ(call("readAsDataURL", {kPersistent + "/i.png", 0, -1}).message(), platform::Value("data:image/png;base64," + runtime::hybBase64Encode(png)));
    EXPECT_EQ(statusAndCode(call("readAsDataURL", {kPersistent + "/none.png", 0, -1})), std::make_pair(6, 1LL));
    // Start and end travel unchanged: missing ones are 0, which reads nothing.
    EXPECT_EQ(call("readAsDataURL", {kPersistent + "/i.png"}).message(), platform::Value("data:image/png;base64,"));
}

TEST_F(FilePluginTest, MetadataEntriesAndListing) {
    writeFile(documents("m.txt"), "12");
    auto metadata = call("getFileMetadata", {kPersistent + "/m.txt"});
    EXPECT_EQ(metadata.message()["size"].integerValue(), 2);
    EXPECT_EQ(statusAndCode(call("getFileMetadata", {kPersistent + "/none"})), std::make_pair(9, 1LL));
    EXPECT_EQ(call("setMetadata", {kPersistent + "/m.txt", Dictionary{{"com.apple.MobileBackup", 1}}}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(call("setMetadata", {kPersistent + "/m.txt"}).status(), HYBCommandStatus::Error);
    auto listing = call("readEntries", {kPersistent + "/"});
    ASSERT_EQ(listing.status(), HYBCommandStatus::Ok);
    std::vector<std::string> listed;
    for (const platform::Value& entry : listing.message().arrayOrEmpty())
        listed.push_back(entry["name"].stringOr(""));
    EXPECT_EQ(listed, (std::vector<std::string>{"NoCloud", "m.txt"}));
}

namespace {

TEST_F(FilePluginTest, HostileCallsAreRefusedWithoutTouchingTheDisk) {
    startPlugin({{"iosextrafilesystems", "root"}});
    // A device through the "root" file system is refused at once, whatever the range.
    for (const char* action : {"readAsArrayBuffer", "readAsBinaryString", "readAsDataURL"}) {
        SCOPED_TRACE(action);
        EXPECT_EQ(statusAndCode(call(action, {"hybfile://localhost/root/dev/zero", 0, -1})), std::make_pair(6, 4LL));
    }
    EXPECT_EQ(statusAndCode(call("readAsText", {"hybfile://localhost/root/dev/zero", "UTF-8", 0, 100})), std::make_pair(6, 4LL));

    // A position no file can reach answers the truncation's refusal and writes nothing.
    const std::string file = kPersistent + "/w.txt";
    writeFile(documents("w.txt"), "hello");
    for (std::int64_t position : {std::int64_t{1} << 62, INT64_MAX}) {
        EXPECT_EQ(statusAndCode(call("write", {file, "abc", position})), std::make_pair(6, 10LL));
        EXPECT_EQ(readFile(documents("w.txt")), "hello");
    }
    EXPECT_EQ(statusAndCode(call("truncate", {file, INT64_MAX})), std::make_pair(6, 10LL));
    EXPECT_EQ(readFile(documents("w.txt")), "hello");

    // The longest name a folder takes still works (its temporary sibling's name is bounded).
    const std::string longName(255, 'n');
    auto created = call("getFile", {kPersistent + "/", longName, Dictionary{{"create", 1}}});
    EXPECT_EQ(created.status(), HYBCommandStatus::Ok);
    EXPECT_EQ(created.message()["name"], platform::Value(longName));
    EXPECT_TRUE(FileManager::defaultManager().fileExists(documents(longName)));
    EXPECT_EQ(statusAndCode(call("write", {kPersistent + "/" + longName, "long", 0})), okInt(4));
    EXPECT_EQ(readFile(documents(longName)), "long");
}

} // namespace

TEST_F(FilePluginTest, WritesLandAtTheirPositionInNewFilesTooAndLengthsKeepTheirSixtyFourBits) {
    // A file that does not exist yet counts as empty: a position past its end grows it with zero bytes
    // first (within the free space), and the data lands at the position, never at 0.
    EXPECT_EQ(statusAndCode(call("write", {kPersistent + "/n100.txt", "x", 100})), okInt(1));
    EXPECT_EQ(readFile(documents("n100.txt")), std::string(100, '\0') + "x");
    for (std::int64_t position : {std::int64_t{1} << 62, INT64_MAX}) {
        EXPECT_EQ(statusAndCode(call("write", {kPersistent + "/far.txt", "x", position})), std::make_pair(6, 10LL));
        EXPECT_FALSE(FileManager::defaultManager().fileExists(documents("far.txt")));
    }
    // Empty data at a position still cuts an existing file there, and makes no new one.
    writeFile(documents("cut.txt"), "hello");
    EXPECT_EQ(call("write", {kPersistent + "/cut.txt", "", 2}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(readFile(documents("cut.txt")), "he");
    EXPECT_EQ(call("write", {kPersistent + "/none.txt", "", 5}).status(), HYBCommandStatus::Ok);
    EXPECT_FALSE(FileManager::defaultManager().fileExists(documents("none.txt")));
    // Truncating a missing file changes nothing and makes nothing: its length stays 0.
    EXPECT_EQ(statusAndCode(call("truncate", {kPersistent + "/none.txt", 5})), okInt(0));
    EXPECT_FALSE(FileManager::defaultManager().fileExists(documents("none.txt")));

    // Lengths past 32 bits keep their value (a sparse file takes no room).
    const std::int64_t large = 3000000000LL;
    writeFile(documents("large.bin"), "");
    if (FileManager::defaultManager().attributesOfFileSystem(documents())->freeSize > static_cast<std::uint64_t>(large)) {
        EXPECT_EQ(statusAndCode(call("truncate", {kPersistent + "/large.bin", large})), okInt(large));
        EXPECT_EQ(statusAndCode(call("write", {kPersistent + "/large.bin", "end", large})), okInt(3));
        EXPECT_EQ(call("getFileMetadata", {kPersistent + "/large.bin"}).message()["size"].integerValue(), large + 3);
    }

    // A file system's type is its position in the registry: none past 32 bits wraps onto one that exists.
    for (std::int64_t type : {(std::int64_t{1} << 32) + 1, std::int64_t{1} << 32, -(std::int64_t{1} << 32)})
        EXPECT_EQ(statusAndCode(call("requestFileSystem", {type, 0})), std::make_pair(9, 1LL)) << type;
}

TEST(FileReadGate, ReadsThatDoNotFitWaitTheirTurnInOrder) {
    const std::uint64_t budget = HYBFile::kReadBudget;
    EXPECT_EQ(budget, 2 * HYBFileSystem::kMaxReadLength);
    HYBFile::ReadGate gate;
    std::vector<int> started;
    gate.admit(budget / 2, [&] { started.push_back(1); });
    gate.admit(budget / 2, [&] { started.push_back(2); });
    gate.admit(budget / 2, [&] { started.push_back(3); }); // no room: waits
    gate.admit(1, [&] { started.push_back(4); });          // small, but after the one waiting
    EXPECT_EQ(started, (std::vector<int>{1, 2}));
    EXPECT_EQ(gate.waiting(), 2u);
    gate.release(budget / 2);
    EXPECT_EQ(started, (std::vector<int>{1, 2, 3}));
    gate.release(budget / 2);
    EXPECT_EQ(started, (std::vector<int>{1, 2, 3, 4}));
    gate.release(budget / 2);
    gate.release(1);
    EXPECT_EQ(gate.held(), 0u);
    // A read larger than the whole budget starts alone.
    gate.admit(budget + 1, [&] { started.push_back(5); });
    gate.admit(1, [&] { started.push_back(6); });
    EXPECT_EQ(started.back(), 5);
    gate.release(budget + 1);
    EXPECT_EQ(started.back(), 6);
    gate.release(1);
    EXPECT_EQ(gate.held(), 0u);
}

TEST_F(FilePluginTest, ReadsGiveTheirRoomBackWhetherAnsweredOrRefused) {
    writeFile(documents("r1.txt"), "one");
    writeFile(documents("r2.bin"), std::string(1000, 'b'));
    EXPECT_EQ(call("readAsText", {kPersistent + "/r1.txt", "UTF-8", 0, -1}).message(), platform::Value("one"));
    EXPECT_EQ(call("readAsArrayBuffer", {kPersistent + "/r2.bin", 10, 20}).status(), HYBCommandStatus::Ok);
    EXPECT_EQ(statusAndCode(call("readAsDataURL", {kPersistent + "/none.bin", 0, -1})), std::make_pair(6, 1LL));
    EXPECT_EQ(call("readAsText", {kPersistent + "/r2.bin", "UTF-8", 0, 1}).message(), platform::Value("b"));
    // The last ticket goes with the background work that answered: wait for it.
    EXPECT_TRUE(hybtest::pollUntil([&] { return m_plugin->readGate()->held() == 0; }));
    EXPECT_EQ(m_plugin->readGate()->held(), 0u);
    EXPECT_EQ(m_plugin->readGate()->waiting(), 0u);
}
