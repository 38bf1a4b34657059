#include "platform/files/FileHandle.h"
#include "platform/files/FileManager.h"
#include "platform/files/OutputStream.h"

#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <unistd.h>

using namespace platform;

namespace {

class FileHandleTest : public hybtest::TempHomeTest {
protected:
    std::string path() const { return m_home.folders().documents() + "/data.bin"; }
};

TEST_F(FileHandleTest, ReadSeekTruncateExtendAndClose) {
    ASSERT_TRUE(FileManager::defaultManager().createFile(path(), Bytes{'a', 'b', 'c', 'd', 'e', 'f'}));
    auto handle = FileHandle::openForUpdating(path());
    ASSERT_TRUE(handle);
    auto& h = **handle;
    EXPECT_EQ(*h.read(2), (Bytes{'a', 'b'}));
    EXPECT_EQ(*h.offset(), 2u);
    ASSERT_TRUE(h.seek(4));
    EXPECT_EQ(*h.readToEnd(), (Bytes{'e', 'f'}));
    EXPECT_EQ(*h.read(10), Bytes{}); // at the end
    ASSERT_TRUE(h.truncate(3));
    EXPECT_EQ(*h.offset(), 3u);
    ASSERT_TRUE(h.write(Bytes{'Z'}));
    ASSERT_TRUE(h.truncate(6)); // extends with zero bytes
    ASSERT_TRUE(h.synchronize());
    EXPECT_EQ(*h.seekToEnd(), 6u);
    ASSERT_TRUE(h.close());
    EXPECT_FALSE(h.read(1)); // closed: an error, not a crash
    EXPECT_EQ(*FileManager::defaultManager().contentsOfFile(path()), (Bytes{'a', 'b', 'c', 'Z', 0, 0}));

    auto missing = FileHandle::openForReading(path() + ".none");
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error().code, 260);
}

TEST_F(FileHandleTest, OutputStreamReplacesOrAppendsAndReportsFailure) {
    const std::uint8_t text[] = {'h', 'i'};
    {
        OutputStream out(path(), OutputStream::Mode::Replace);
        ASSERT_TRUE(out.open());
        EXPECT_EQ(out.write(text, 2), 2);
    }
    {
        OutputStream out(path(), OutputStream::Mode::Append);
        ASSERT_TRUE(out.open());
        EXPECT_EQ(out.write(text, 1), 1);
    }
    EXPECT_EQ(*FileManager::defaultManager().contentsOfFile(path()), (Bytes{'h', 'i', 'h'}));
    {
        OutputStream out(path(), OutputStream::Mode::Replace);
        ASSERT_TRUE(out.open());
    }
    EXPECT_EQ(*FileManager::defaultManager().contentsOfFile(path()), Bytes{});

    OutputStream notOpen(path(), OutputStream::Mode::Append);
    EXPECT_EQ(notOpen.write(text, 2), -1);
    OutputStream badPlace(m_home.folders().documents() + "/no/such/folder", OutputStream::Mode::Replace);
    EXPECT_FALSE(badPlace.open());
    ASSERT_TRUE(badPlace.error().has_value());
    EXPECT_EQ(badPlace.error()->code, 4);
    EXPECT_EQ(badPlace.write(text, 2), -1);
}

TEST(FileHandle, FullDiskGivesOutOfSpace640) {
    if (access("/dev/full", W_OK) != 0)
        GTEST_SKIP() << "no /dev/full";
    OutputStream out("/dev/full", OutputStream::Mode::Append);
    ASSERT_TRUE(out.open());
    const std::uint8_t byte = 1;
    EXPECT_EQ(out.write(&byte, 1), -1);
    ASSERT_TRUE(out.error().has_value());
    EXPECT_EQ(out.error()->code, 640);
    auto handle = FileHandle::openForWriting("/dev/full");
    ASSERT_TRUE(handle);
    auto written = (*handle)->write(Bytes{1, 2, 3});
    ASSERT_FALSE(written);
    EXPECT_EQ(written.error().code, 640);
}

} // namespace
