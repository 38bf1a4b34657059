#include "platform/files/FileManager.h"
#include "platform/files/StorePlace.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

using namespace platform;

namespace {

Bytes bytes(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

// Many small files, made quickly (createFile flushes each to disk).
bool makeFiles(const std::string& folder, int count, const std::string& text) {
    for (int i = 0; i < count; ++i) {
        const int fd = ::open((folder + "/f" + std::to_string(i)).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || ::write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size()) || ::close(fd) != 0)
            return false;
    }
    return true;
}

class FileManagerTest : public hybtest::TempHomeTest {
protected:
    FileManager& files = FileManager::defaultManager();
    std::string docs() const { return m_home.folders().documents(); }
};

TEST(FileError, ErrnoMapsToThePlatformCodes) {
    EXPECT_EQ(fileErrorCode(ENOENT, FileAccess::Write), 4);
    EXPECT_EQ(fileErrorCode(ENOENT, FileAccess::Read), 260);
    EXPECT_EQ(fileErrorCode(ENOTDIR, FileAccess::Read), 260);
    EXPECT_EQ(fileErrorCode(EIO, FileAccess::Read), 256);
    EXPECT_EQ(fileErrorCode(EFBIG, FileAccess::Read), 263);
    EXPECT_EQ(fileErrorCode(EACCES, FileAccess::Write), 513);
    EXPECT_EQ(fileErrorCode(EPERM, FileAccess::Write), 513);
    EXPECT_EQ(fileErrorCode(EACCES, FileAccess::Read), 257);
    EXPECT_EQ(fileErrorCode(ENOSPC, FileAccess::Write), 640);
    EXPECT_EQ(fileErrorCode(EDQUOT, FileAccess::Write), 640);
    EXPECT_EQ(fileErrorCode(EEXIST, FileAccess::Write), 516);
    EXPECT_EQ(fileErrorCode(EIO, FileAccess::Write), 512);
    Error e = fileError(ENOENT, FileAccess::Write, "/x/y", "Could not remove");
    EXPECT_EQ(e.domain, kCocoaErrorDomain);
    EXPECT_EQ(e.userInfo[kFilePathErrorKey], Value("/x/y"));
    EXPECT_EQ(e.userInfo[kUnderlyingErrorKey]["code"], Value(ENOENT));
    EXPECT_TRUE(isNoSuchFileError(e));
}

TEST_F(FileManagerTest, MissingItemsGiveNoSuchFileCodes) {
    auto removed = files.removeItem(docs() + "/missing");
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().code, 4);
    auto attributes = files.attributesOfItem(docs() + "/missing");
    ASSERT_FALSE(attributes);
    EXPECT_EQ(attributes.error().code, 260);
    auto read = files.contentsOfFile(docs() + "/missing");
    ASSERT_FALSE(read);
    EXPECT_EQ(read.error().code, 260);
    auto copied = files.copyItem(docs() + "/missing", docs() + "/b");
    ASSERT_FALSE(copied);
    EXPECT_TRUE(isNoSuchFileError(copied.error()));
}

TEST_F(FileManagerTest, RecursiveCopyMoveRemoveAndEnumeration) {
    const std::string tree = docs() + "/tree";
    ASSERT_TRUE(files.createDirectory(tree + "/a/b", true));
    ASSERT_TRUE(files.createFile(tree + "/a/b/leaf.txt", bytes("leaf")));
    ASSERT_TRUE(files.createFile(tree + "/top.txt", bytes("top")));
    ASSERT_TRUE(files.createSymbolicLink(tree + "/link", "top.txt"));

    ASSERT_TRUE(files.copyItem(tree, docs() + "/copy"));
    auto sub = files.subpathsOfDirectory(docs() + "/copy");
    ASSERT_TRUE(sub);
    EXPECT_EQ(*sub, (std::vector<std::string>{"a", "a/b", "a/b/leaf.txt", "link", "top.txt"}));
    EXPECT_EQ(*files.destinationOfSymbolicLink(docs() + "/copy/link"), "top.txt"); // copied as a link

    auto over = files.copyItem(tree, docs() + "/copy");
    ASSERT_FALSE(over);
    EXPECT_EQ(over.error().code, 516);
    auto intoItself = files.copyItem(tree, tree + "/a/inner");
    ASSERT_FALSE(intoItself);
    EXPECT_FALSE(files.fileExists(tree + "/a/inner"));

    ASSERT_TRUE(files.moveItem(docs() + "/copy", docs() + "/moved"));
    EXPECT_FALSE(files.fileExists(docs() + "/copy"));
    EXPECT_EQ(*files.contentsOfFile(docs() + "/moved/a/b/leaf.txt"), bytes("leaf"));
    EXPECT_EQ(*files.contentsOfDirectory(docs()), (std::vector<std::string>{"moved", "tree"}));

    ASSERT_TRUE(files.removeItem(docs() + "/moved"));
    EXPECT_FALSE(files.fileExists(docs() + "/moved"));
    // Removing a link removes the link, not its target.
    ASSERT_TRUE(files.removeItem(tree + "/link"));
    EXPECT_TRUE(files.fileExists(tree + "/top.txt"));
}

// A folder inside what is removed swapped for a link to another folder while the removal runs (here as
// soon as its first file is gone) makes the removal delete nothing in the link's target: the oldest thing
// set aside from a store's place when a newer one goes aside, and any item removed.
TEST_F(FileManagerTest, RemovalDeletesNothingThroughALinkSwappedIn) {
    const std::string victim = docs() + "/victim";
    constexpr int kFiles = 1000; // enough that the removal still runs when the swap comes
    ASSERT_TRUE(files.createDirectory(victim, true));
    ASSERT_TRUE(makeFiles(victim, kFiles, "theirs"));
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        const std::string place = docs() + "/store" + std::to_string(round);
        const std::string oldest = StorePlace::asideName(place, StorePlace::kKeptAsides - 1);
        for (unsigned age = 0; age + 1 < StorePlace::kKeptAsides; ++age)
            ASSERT_TRUE(files.createFile(StorePlace::asideName(place, age), bytes("aside")));
        const std::string sub = oldest + "/sub";
        ASSERT_TRUE(files.createDirectory(sub, true));
        ASSERT_TRUE(makeFiles(sub, kFiles, "ours"));
        // The swap: at the first file removed from sub, a link to the victim and sub trade names at once
        // (RENAME_EXCHANGE). Woken through the pipe when the removal ended without it.
        const std::string link = place + "-link";
        ASSERT_EQ(::symlink(victim.c_str(), link.c_str()), 0);
        const int watch = ::inotify_init1(IN_CLOEXEC);
        ASSERT_GE(watch, 0);
        ASSERT_GE(::inotify_add_watch(watch, sub.c_str(), IN_DELETE), 0);
        int wake[2];
        ASSERT_EQ(::pipe2(wake, O_CLOEXEC), 0);
        std::thread swapper([&] {
            pollfd fds[2] = {{watch, POLLIN, 0}, {wake[0], POLLIN, 0}};
            while (::poll(fds, 2, -1) < 0 && errno == EINTR) {
            }
            if (fds[0].revents & POLLIN)
                (void)::syscall(SYS_renameat2, AT_FDCWD, link.c_str(), AT_FDCWD, sub.c_str(), 2 /* RENAME_EXCHANGE */);
        });
        if (round % 2 == 0) {
            ASSERT_EQ(::mkdir(place.c_str(), 0700), 0); // no file: set aside, the oldest aside removed
            EXPECT_EQ(StorePlace::makeFit(place, "the test"), StorePlace::Fit::MovedAside);
        } else {
            (void)files.removeItem(oldest);
        }
        ASSERT_EQ(::write(wake[1], "x", 1), 1);
        swapper.join();
        ::close(watch);
        ::close(wake[0]);
        ::close(wake[1]);
        auto left = files.contentsOfDirectory(victim);
        ASSERT_TRUE(left.ok());
        ASSERT_EQ(left->size(), static_cast<std::size_t>(kFiles)) << "files of the link's target were removed";
    }
}

TEST_F(FileManagerTest, CopyingAFIFOOrAFolderHoldingOneFailsAtOnceAndLeavesNothing) {
    // A FIFO that no one writes would block the copy for ever.
    const std::string fifo = docs() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto copied = files.copyItem(fifo, docs() + "/fifo-copy");
    ASSERT_FALSE(copied);
    EXPECT_EQ(copied.error().code, 256);
    EXPECT_FALSE(files.fileExists(docs() + "/fifo-copy"));

    const std::string tree = docs() + "/with-fifo";
    ASSERT_TRUE(files.createDirectory(tree + "/sub", true));
    ASSERT_TRUE(files.createFile(tree + "/a.txt", bytes("a")));
    ASSERT_EQ(::mkfifo((tree + "/sub/fifo").c_str(), 0600), 0);
    ASSERT_FALSE(files.copyItem(tree, docs() + "/tree-copy"));
    EXPECT_FALSE(files.fileExists(docs() + "/tree-copy/sub/fifo"));
    auto device = files.copyItem("/dev/zero", docs() + "/zero");
    ASSERT_FALSE(device);
    EXPECT_FALSE(files.fileExists(docs() + "/zero"));
}

// A configuration file is read only when it is a regular file within its bound; nothing else is waited
// on (a FIFO without a writer, an endless device), and each refusal says why without the path.
TEST_F(FileManagerTest, ARegularFileWithinItsBoundIsReadAndAnythingElseIsRefusedAtOnce) {
    const std::string file = docs() + "/config";
    ASSERT_TRUE(files.createFile(file, bytes("12345")));
    auto read = files.contentsOfRegularFile(file, 5);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(*read, bytes("12345"));
    auto why = [&](const std::string& path, std::size_t bound) {
        auto refused = files.contentsOfRegularFile(path, bound);
        EXPECT_EQ(refused.ok() ? "" : refused.error().userInfo[kFilePathErrorKey].stringOr(""), refused.ok() ? "" : path);
        return refused.ok() ? std::string("read") : refused.error().localizedDescription();
    };
    EXPECT_EQ(why(file, 4), "larger than 4 bytes");
    EXPECT_EQ(files.contentsOfRegularFile(file, 4).error().code, FileErrorCode::ReadTooLarge);
    EXPECT_EQ(why(docs() + "/absent", 5), "not found");
    EXPECT_TRUE(isNoSuchFileError(files.contentsOfRegularFile(docs() + "/absent", 5).error()));
    EXPECT_EQ(why(docs(), 5), "a folder, not a file");
    const std::string fifo = docs() + "/fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(why(fifo, 5), "not a regular file");
    EXPECT_EQ(why("/dev/zero", 5), "not a regular file");
    // A link to a regular file is followed.
    ASSERT_EQ(::symlink(file.c_str(), (docs() + "/link").c_str()), 0);
    EXPECT_EQ(why(docs() + "/link", 5), "read");
}

// A thread with a small stack (a library's, a crash report's) reads a file: the read's buffer is not on it.
TEST_F(FileManagerTest, AFileIsReadOnAThreadWithASmallStack) {
    const std::string file = docs() + "/large";
    const Bytes content(200 * 1024, 'x');
    ASSERT_TRUE(files.createFile(file, content));
    struct Read {
        FileManager* files;
        std::string path;
        std::size_t whole = 0, bounded = 0;
    } read{&files, file};
    pthread_attr_t attributes;
    ASSERT_EQ(pthread_attr_init(&attributes), 0);
    ASSERT_EQ(pthread_attr_setstacksize(&attributes, 48 * 1024), 0);
    pthread_t thread;
    ASSERT_EQ(pthread_create(&thread, &attributes, [](void* argument) -> void* {
        auto* r = static_cast<Read*>(argument);
        auto whole = r->files->contentsOfFile(r->path);
        r->whole = whole.ok() ? whole->size() : 0;
        auto bounded = r->files->contentsOfRegularFile(r->path, 1 << 20);
        r->bounded = bounded.ok() ? bounded->size() : 0;
        return nullptr;
    }, &read), 0);
    ASSERT_EQ(pthread_join(thread, nullptr), 0);
    pthread_attr_destroy(&attributes);
    EXPECT_EQ(read.whole, content.size());
    EXPECT_EQ(read.bounded, content.size());
}

TEST_F(FileManagerTest, AttributesDatesAndPermissions) {
    const std::string path = docs() + "/file";
    ASSERT_TRUE(files.createFile(path, bytes("12345"),
                                 {Date{1'000'000'000.5}, Date{900'000'000.0}, 0600u}));
    auto a = files.attributesOfItem(path);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->type, FileType::Regular);
    EXPECT_EQ(a->size, 5u);
    EXPECT_EQ(a->posixPermissions, 0600u);
    EXPECT_DOUBLE_EQ(a->modificationDate.secondsSince1970, 1'000'000'000.5);
    EXPECT_DOUBLE_EQ(a->creationDate.secondsSince1970, 900'000'000.0);
    Dictionary d = a->toDictionary();
    EXPECT_EQ(d["NSFileType"], Value("NSFileTypeRegular"));
    EXPECT_EQ(d["NSFileSize"], Value(5));

    ASSERT_TRUE(files.createDirectory(docs() + "/dir", false, {std::nullopt, std::nullopt, 0700u}));
    EXPECT_EQ(files.attributesOfItem(docs() + "/dir")->type, FileType::Directory);
    auto again = files.createDirectory(docs() + "/dir", false);
    ASSERT_FALSE(again);
    EXPECT_EQ(again.error().code, 516);
    EXPECT_TRUE(files.createDirectory(docs() + "/dir", true)); // with intermediates: fine when present

    auto volume = files.attributesOfFileSystem(docs());
    ASSERT_TRUE(volume);
    EXPECT_GT(volume->size, 0u);
    EXPECT_LE(volume->freeSize, volume->size);
}

TEST_F(FileManagerTest, NoPermissionGives513) {
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores permissions";
    const std::string locked = docs() + "/locked";
    ASSERT_TRUE(files.createDirectory(locked + "/inner", true));
    ASSERT_TRUE(files.setAttributes(locked, {std::nullopt, std::nullopt, 0500u}));
    auto removed = files.removeItem(locked + "/inner");
    ASSERT_FALSE(removed);
    EXPECT_EQ(removed.error().code, 513);
    auto written = files.writeAtomically(locked + "/new", bytes("x"));
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, 513);
    ASSERT_TRUE(files.setAttributes(locked, {std::nullopt, std::nullopt, 0700u}));
}

TEST_F(FileManagerTest, ExtendedAttributesUseTheUserNamespaceAndAbsentIsNoError) {
    const std::string path = docs() + "/x";
    ASSERT_TRUE(files.createFile(path, bytes("x")));
    auto absent = files.extendedAttribute(path, "marker");
    ASSERT_TRUE(absent);
    EXPECT_FALSE(absent->has_value());
    auto set = files.setExtendedAttribute(path, "marker", bytes("yes"));
    if (!set && set.error().userInfo[kUnderlyingErrorKey]["code"] == Value(ENOTSUP))
        GTEST_SKIP() << "no user extended attributes on this file system";
    ASSERT_TRUE(set);
    EXPECT_EQ(**files.extendedAttribute(path, "user.marker"), bytes("yes"));
    EXPECT_TRUE(files.removeExtendedAttribute(path, "marker"));
    EXPECT_TRUE(files.removeExtendedAttribute(path, "marker")); // absent: still fine
    EXPECT_FALSE(files.isExcludedFromBackup(path));
    ASSERT_TRUE(files.setExcludedFromBackup(path, true));
    EXPECT_TRUE(files.isExcludedFromBackup(path));
    ASSERT_TRUE(files.setExcludedFromBackup(path, false));
    EXPECT_FALSE(files.isExcludedFromBackup(path));
}

TEST(PathComponents, LastAndDeletingLastAndAppending) {
    EXPECT_EQ(lastPathComponent("/a/b.txt"), "b.txt");
    EXPECT_EQ(lastPathComponent("/a/b/"), "b");
    EXPECT_EQ(lastPathComponent("/"), "/");
    EXPECT_EQ(deletingLastPathComponent("/a/b"), "/a");
    EXPECT_EQ(deletingLastPathComponent("/a"), "/");
    EXPECT_EQ(deletingLastPathComponent("a"), "");
    EXPECT_EQ(appendingPathComponent("/a/", "/b"), "/a/b");
    EXPECT_EQ(appendingPathComponent("/", "b"), "/b");
}

} // namespace
