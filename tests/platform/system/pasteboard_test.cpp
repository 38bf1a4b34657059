#include "platform/files/StorePlace.h"
#include "platform/formats/PropertyList.h"
#include "platform/system/Pasteboard.h"

#include "support/EventWait.h"
#include "support/LogCapture.h"
#include "support/PrivateEnvironment.h"
#include "support/SelfProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <limits>

using namespace platform;

namespace {

// The other application: this test executable started again, running only the peer test below with the
// pasteboard folder and its role in the environment.
int runPeer(const std::string& folder, const std::string& role) {
    return hybtest::runThisTestExecutable("PasteboardPeer.DISABLED_Act",
                                          {"HYB_PASTEBOARD_DIR=" + folder, "HYB_PASTEBOARD_PEER=" + role});
}

class PasteboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = hybtest::makeTemporaryFolder("hyb-pasteboard");
        ASSERT_FALSE(m_dir.empty());
        Pasteboard::setStorageFolder(m_dir + "/boards");
    }
    void TearDown() override {
        Pasteboard::setStorageFolder({});
        std::filesystem::remove_all(m_dir);
    }
    std::string m_dir;
};

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

} // namespace

// Runs only when started by runPeer (disabled otherwise): plays the messaging application.
TEST(PasteboardPeer, DISABLED_Act) {
    const char* role = std::getenv("HYB_PASTEBOARD_PEER");
    ASSERT_NE(role, nullptr);
    auto board = Pasteboard::withName("messenger_data", false);
    ASSERT_NE(board, nullptr);
    auto request = board->dataForPasteboardType("content");
    ASSERT_TRUE(request.has_value());
    auto message = PropertyList::read(std::string_view(reinterpret_cast<const char*>(request->data()), request->size()));
    ASSERT_TRUE(message.ok());
    ASSERT_EQ((*message)["command"], Value(1010));
    // Answer: read clears the item, then the reply goes on the same pasteboard.
    Dictionary reply{{"command", 2010}, {"lang", std::string(role)}};
    auto text = PropertyList::write(Value(reply), PropertyList::Format::Binary);
    ASSERT_TRUE(text.ok());
    ASSERT_TRUE(board->setData(Bytes(text->begin(), text->end()), "content"));
    ASSERT_TRUE(Pasteboard::general()->setString("from the peer"));
}

TEST_F(PasteboardTest, TwoProcessesExchangeANamedPasteboardItem) {
    auto board = Pasteboard::withName("messenger_data", true);
    ASSERT_NE(board, nullptr);
    ASSERT_TRUE(board->setPersistent(true));
    Dictionary message{{"command", 1010}, {"text", "hello"}};
    auto text = PropertyList::write(Value(message), PropertyList::Format::Binary);
    ASSERT_TRUE(text.ok());
    ASSERT_TRUE(board->setData(Bytes(text->begin(), text->end()), "content"));
    long long before = board->changeCount();

    ASSERT_EQ(runPeer(m_dir + "/boards", "zh"), 0);

    auto reply = board->dataForPasteboardType("content");
    ASSERT_TRUE(reply.has_value());
    auto parsed = PropertyList::read(std::string_view(reinterpret_cast<const char*>(reply->data()), reply->size()));
    ASSERT_TRUE(parsed.ok());
    EXPECT_EQ((*parsed)["command"], Value(2010));
    EXPECT_EQ((*parsed)["lang"], Value("zh"));
    EXPECT_GT(board->changeCount(), before);
    EXPECT_TRUE(board->isPersistent());
    EXPECT_EQ(Pasteboard::general()->string(), std::optional<std::string>("from the peer"));
}

TEST_F(PasteboardTest, NamedPasteboardsAreMadeOnDemandAndRemoved) {
    EXPECT_EQ(Pasteboard::withName("messenger_sdk_infomation", false), nullptr);
    auto made = Pasteboard::withName("messenger_sdk_infomation", true);
    ASSERT_NE(made, nullptr);
    EXPECT_FALSE(made->isPersistent());
    EXPECT_NE(Pasteboard::withName("messenger_sdk_infomation", false), nullptr);
    Pasteboard::removeWithName("messenger_sdk_infomation");
    EXPECT_EQ(Pasteboard::withName("messenger_sdk_infomation", false), nullptr);
}

TEST_F(PasteboardTest, NamesCannotEscapeTheFolderOrClashWithTheGeneralPasteboard) {
    auto evil = Pasteboard::withName("../../escape", true);
    ASSERT_NE(evil, nullptr);
    ASSERT_TRUE(evil->setString("x"));
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/escape"));
    EXPECT_FALSE(std::filesystem::exists(m_dir + "/escape.pasteboard"));
    for (const auto& entry : std::filesystem::directory_iterator(m_dir))
        EXPECT_EQ(entry.path().filename(), "boards");

    auto named = Pasteboard::withName("general", true);
    ASSERT_TRUE(named->setString("named"));
    ASSERT_TRUE(Pasteboard::general()->setString("general"));
    EXPECT_EQ(named->string(), std::optional<std::string>("named"));

    struct stat st {};
    ASSERT_EQ(::stat((m_dir + "/boards").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST_F(PasteboardTest, ItemsByTypeStringsAndData) {
    auto general = Pasteboard::general();
    EXPECT_EQ(general->string(), std::nullopt);
    ASSERT_TRUE(general->setValue("copied", kPasteboardTypeText));
    EXPECT_EQ(general->string(), std::optional<std::string>("copied"));
    EXPECT_EQ(general->pasteboardTypes(), std::vector<std::string>{kPasteboardTypeText});
    EXPECT_EQ(general->dataForPasteboardType(kPasteboardTypeText), bytesOf("copied"));
    EXPECT_FALSE(general->containsPasteboardTypes({"content"}));

    ASSERT_TRUE(general->setItems(Array{Value(Dictionary{{"a", 1}}), Value(Dictionary{{"b", bytesOf("2")}})}));
    EXPECT_EQ(general->numberOfItems(), 2u);
    EXPECT_TRUE(general->containsPasteboardTypes({"b"}));
    EXPECT_FALSE(general->setItems(Array{Value("not a dictionary")}));
    EXPECT_EQ(general->numberOfItems(), 2u) << "a refused change keeps the items";
    EXPECT_FALSE(general->setValue(Value(), "x"));
}

// Another application leaves a damaged file (or a list of no pasteboard) at a pasteboard's place, or a
// folder, a FIFO or a link there: reads give nothing; the next change moves it aside whole, says so once,
// and works, and so do the changes after it.
TEST_F(PasteboardTest, ADamagedFileOrSomethingElseAtItsPlaceIsSetAsideAndTheNextChangeWorks) {
    auto board = Pasteboard::withName("messenger_file", true);
    ASSERT_NE(board, nullptr);
    std::string path;
    for (const auto& entry : std::filesystem::directory_iterator(m_dir + "/boards"))
        if (entry.path().extension() == ".pasteboard")
            path = entry.path();
    ASSERT_FALSE(path.empty());
    const auto noPasteboard = PropertyList::write(Value(Dictionary{{"items", "not an array"}}), PropertyList::Format::Binary);
    ASSERT_TRUE(noPasteboard.ok());
    struct Shape {
        const char* name;
        std::function<void()> make;
        mode_t kind; // of what lies aside
    };
    const Shape shapes[] = {
        {"garbage", [&] { std::ofstream(path, std::ios::trunc) << "garbage"; }, S_IFREG},
        {"no pasteboard", [&] { std::ofstream(path, std::ios::trunc | std::ios::binary) << noPasteboard.value(); }, S_IFREG},
        {"a folder", [&] { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }, S_IFDIR},
        {"a FIFO", [&] { ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0); }, S_IFIFO},
        {"a link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0); }, S_IFLNK},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        ASSERT_TRUE(board->setData(bytesOf("before"), "content"));
        std::filesystem::remove(path);
        std::filesystem::remove_all(StorePlace::asideName(path));
        shape.make();
        EXPECT_EQ(board->dataForPasteboardType("content"), std::nullopt);
        hybtest::LogCapture log;
        ASSERT_TRUE(board->setData(bytesOf("x"), "content"));
        EXPECT_EQ(board->dataForPasteboardType("content"), bytesOf("x"));
        ASSERT_TRUE(board->setString("later"));
        EXPECT_EQ(board->string(), std::optional<std::string>("later"));
        const std::vector<std::string> lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                [](const std::string& line) { return line.find("moved aside") != std::string::npos; }),
                  1)
            << ::testing::PrintToString(lines);
        struct stat aside {};
        ASSERT_EQ(::lstat(StorePlace::asideName(path).c_str(), &aside), 0);
        EXPECT_EQ(aside.st_mode & S_IFMT, shape.kind);
        if (shape.kind == S_IFREG && std::string(shape.name) == "garbage") {
            EXPECT_EQ(std::filesystem::file_size(StorePlace::asideName(path)), 7u) << "kept whole";
        }
    }
    // Something other than a folder at the folder's place goes aside too.
    const std::string folder = m_dir + "/boards";
    std::filesystem::remove_all(folder);
    { std::ofstream(folder) << "a file"; }
    ASSERT_TRUE(Pasteboard::general()->setString("again"));
    EXPECT_EQ(Pasteboard::general()->string(), std::optional<std::string>("again"));
    EXPECT_TRUE(std::filesystem::is_regular_file(StorePlace::asideName(folder)));
}

// Another application's file may hold any change count: one at the end of the integers' range (or past
// it, or a real or text that reads as one) still lets the next change through, counted, with no overflow.
TEST_F(PasteboardTest, AChangeCountAtTheEndOfItsRangeLetsTheNextChangeThrough) {
    auto general = Pasteboard::general();
    ASSERT_TRUE(general->setString("before"));
    const std::string path = m_dir + "/boards/general.pasteboard";
    const Value counts[] = {Value(std::numeric_limits<std::int64_t>::max()), Value::unsignedInteger(std::numeric_limits<std::uint64_t>::max()),
                            Value(1e300), Value("9223372036854775807")};
    for (const Value& count : counts) {
        SCOPED_TRACE(count.description());
        Dictionary state{{"items", Array{Value(Dictionary{{kPasteboardTypeUTF8PlainText, "theirs"}})}},
                         {"persistent", false}, {"name", "general"}, {"changeCount", count}};
        auto text = PropertyList::write(Value(state), PropertyList::Format::Binary);
        ASSERT_TRUE(text.ok());
        { std::ofstream(path, std::ios::trunc | std::ios::binary) << *text; }
        const long long before = general->changeCount();
        ASSERT_TRUE(general->setString("ours"));
        EXPECT_EQ(general->string(), std::optional<std::string>("ours"));
        EXPECT_NE(general->changeCount(), before);
    }
}

// Another application of the same user may take the permissions of a pasteboard's file, or of the lock
// file, away: no application could open either again, so each is set aside whole (said) and the next
// change works. Run in a child of the user nobody when the test runs as root (root opens anything).
TEST_F(PasteboardTest, AFileOrLockNoApplicationMayOpenIsSetAsideAndTheNextChangeWorks) {
    ASSERT_TRUE(Pasteboard::general()->setString("before"));
    const std::string folder = m_dir + "/boards";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (::geteuid() == 0) {
            for (const std::string& path : {m_dir, folder, folder + "/.lock", folder + "/general.pasteboard"})
                if (::chown(path.c_str(), 65534, 65534) != 0)
                    ::_exit(10);
            if (::setgid(65534) != 0 || ::setuid(65534) != 0)
                ::_exit(11);
        }
        auto general = Pasteboard::general();
        int failed = 0;
        if (::chmod((folder + "/general.pasteboard").c_str(), 0) != 0 || !general->setString("after the file") ||
            general->string() != std::optional<std::string>("after the file") ||
            !std::filesystem::exists(StorePlace::asideName(folder + "/general.pasteboard")))
            failed |= 1;
        if (::chmod((folder + "/.lock").c_str(), 0) != 0 || !general->setString("after the lock") ||
            general->string() != std::optional<std::string>("after the lock") ||
            !std::filesystem::exists(StorePlace::asideName(folder + "/.lock")))
            failed |= 2;
        // The folder made unwritable (no new file can be made in it) gets its owner's permissions back.
        struct stat st {};
        if (::chmod(folder.c_str(), 0500) != 0 || !general->setString("after the folder") ||
            general->string() != std::optional<std::string>("after the folder") || ::stat(folder.c_str(), &st) != 0 ||
            (st.st_mode & 0777) != 0700)
            failed |= 4;
        ::_exit(failed);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), 0)
        << "1: the file's place stayed refused, 2: the lock's, 4: the folder's, 10/11: no other user";
}

// A change killed before its rename leaves its temporary copy (up to the largest file) in the folder every
// application shares: the next change removes it (every writer holds the lock, so none is being written),
// and so does the removal of a named pasteboard, never through a link nor anything but such a file.
TEST_F(PasteboardTest, CopiesLeftByKilledChangesAreRemovedByTheNextChange) {
    auto general = Pasteboard::general();
    ASSERT_TRUE(general->setString("first"));
    auto named = Pasteboard::withName("notes", true);
    ASSERT_TRUE(named->setString("n"));
    const std::string folder = m_dir + "/boards";
    const std::string general1 = folder + "/general.pasteboard.tmp-" + std::to_string(::getpid()) + "-12345";
    const std::vector<std::string> leftOvers{general1, folder + "/general.pasteboard.tmp-1-987654321"};
    const std::string namedLeftOver = folder + "/named-notes.pasteboard.tmp-77-1";
    const std::vector<std::string> others{folder + "/general.pasteboard.tmp-1-2-3", folder + "/general.pasteboard.tmp-x-1",
                                          folder + "/notes.txt"};
    for (const std::string& file : leftOvers)
        std::ofstream(file) << std::string(100000, 'x');
    std::ofstream(namedLeftOver) << "x";
    for (const std::string& file : others)
        std::ofstream(file) << "kept";
    const std::string target = m_dir + "/theirs";
    std::ofstream(target) << "theirs";
    const std::string link = folder + "/general.pasteboard.tmp-1-4";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    const std::string aFolder = folder + "/general.pasteboard.tmp-1-5";
    ASSERT_TRUE(std::filesystem::create_directory(aFolder));

    ASSERT_TRUE(general->setString("second"));
    for (const std::string& file : leftOvers)
        EXPECT_FALSE(std::filesystem::exists(file)) << file;
    for (const std::string& file : others)
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::is_directory(aFolder));
    std::ifstream in(target);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "theirs");
    EXPECT_EQ(general->string(), std::optional<std::string>("second"));
    EXPECT_TRUE(std::filesystem::exists(namedLeftOver));
    Pasteboard::removeWithName("notes");
    EXPECT_FALSE(std::filesystem::exists(namedLeftOver));
}

// Every application takes the pasteboards' lock for a change: one that holds it (stuck, or hostile) makes
// a change give up, never stall the application that asked (the main thread, at a return to the
// foreground or a registration at launch), and lose nothing.
TEST_F(PasteboardTest, AChangeGivesUpOnALockAnotherApplicationHolds) {
    auto general = Pasteboard::general();
    ASSERT_TRUE(general->setString("kept"));
    const int held = ::open((m_dir + "/boards/.lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    auto change = std::async(std::launch::async, [&] { return general->setString("while held"); });
    // Ample time for any bounded wait; the lock is given back either way, so that the test ends.
    const bool answered = change.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    ::flock(held, LOCK_UN);
    ::close(held);
    EXPECT_TRUE(answered) << "the change waited on the lock for a minute";
    EXPECT_FALSE(change.get());
    EXPECT_EQ(general->string(), std::optional<std::string>("kept"));
    ASSERT_TRUE(general->setString("later"));
    EXPECT_EQ(general->string(), std::optional<std::string>("later"));
}

// The general pasteboard given more values than a list is read back with refuses the change (its file
// would read as no pasteboard): what stood stays, and later changes work.
TEST_F(PasteboardTest, AChangePastTheValuesAListIsReadWithIsRefusedAndLosesNothing) {
    auto general = Pasteboard::general();
    ASSERT_TRUE(general->setString("kept"));
    const long long count = general->changeCount();
    EXPECT_FALSE(general->setValue(Value(Array(300000, Value(1))), "many"));
    EXPECT_EQ(general->string(), std::optional<std::string>("kept"));
    EXPECT_EQ(general->changeCount(), count);
    const Array fits(200000, Value(1));
    ASSERT_TRUE(general->setValue(Value(fits), "many"));
    EXPECT_EQ(general->valueForPasteboardType("many"), Value(fits));
    ASSERT_TRUE(general->setString("later"));
    EXPECT_EQ(general->string(), std::optional<std::string>("later"));
}

TEST_F(PasteboardTest, SizesAreJudgedBeforeAnythingIsRead) {
    auto board = Pasteboard::general();
    ASSERT_TRUE(board->setData(Bytes(100 * 1024, 'x'), "content"));
    // An item within the bound reads; a larger one is an error, whether its file is large enough to be
    // refused unread (100 KB against 1 KB and the overhead) or has to be read to tell (100 KB against 40).
    auto within = board->dataForPasteboardType("content", 100 * 1024);
    ASSERT_TRUE(within.ok());
    ASSERT_TRUE(within->has_value());
    EXPECT_EQ((*within)->size(), 100u * 1024);
    for (std::uint64_t bound : {std::uint64_t{1024}, std::uint64_t{40 * 1024}}) {
        auto larger = board->dataForPasteboardType("content", bound);
        ASSERT_FALSE(larger.ok()) << bound;
        EXPECT_EQ(larger.error().code, EFBIG) << bound;
    }
    auto absent = board->dataForPasteboardType("other", 200 * 1024);
    ASSERT_TRUE(absent.ok());
    EXPECT_FALSE(absent->has_value());
    // An item that would make the file larger than that bound is refused: what stood reads on.
    EXPECT_FALSE(board->setData(Bytes(Pasteboard::kMaxFileBytes, 'y'), "content"));
    EXPECT_EQ(board->dataForPasteboardType("content", 100 * 1024)->value_or(Bytes()).size(), 100u * 1024);

    // A file past the pasteboards' bound (100 MB, sparse: zeros that were never written) is not read:
    // the size alone refuses it and reads give nothing; a change sets it aside unread, whole, and works.
    const std::string path = m_dir + "/boards/general.pasteboard";
    std::filesystem::resize_file(path, 100u << 20);
    auto refused = board->dataForPasteboardType("content", 24u << 20);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().code, EFBIG);
    EXPECT_FALSE(board->dataForPasteboardType("content").has_value());
    EXPECT_TRUE(board->setString("new"));
    EXPECT_EQ(board->string(), std::optional<std::string>("new"));
    EXPECT_EQ(std::filesystem::file_size(StorePlace::asideName(path)), 100u << 20);
}

TEST_F(PasteboardTest, AFIFOOrADeviceInTheFilesPlaceIsRefusedWithoutWaitingOrReading) {
    auto board = Pasteboard::general();
    ASSERT_TRUE(board->setString("kept"));
    const std::string path = m_dir + "/boards/general.pasteboard";
    // A FIFO nobody writes to (opening it to read would wait for a writer: one comes only if the reads have
    // waited past the bound), then a link to /dev/zero (an endless file of size 0).
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
    const bool ended = hybtest::endsWithinHangBound(
        [&] {
            auto fifo = board->dataForPasteboardType("public.utf8-plain-text", 1024);
            ASSERT_FALSE(fifo.ok());
            EXPECT_EQ(fifo.error().code, EINVAL);
            EXPECT_FALSE(board->string().has_value());
        },
        [&] {
            if (const int writer = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); writer >= 0)
                ::close(writer);
        });
    EXPECT_TRUE(ended) << "a read waited at the FIFO";
    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0);
    auto zero = board->dataForPasteboardType("public.utf8-plain-text", 1024);
    ASSERT_FALSE(zero.ok());
    EXPECT_EQ(zero.error().code, EINVAL);
    EXPECT_FALSE(board->string().has_value());
    // The next change sets the link aside (never writing through it) and works.
    ASSERT_TRUE(board->setString("new"));
    EXPECT_EQ(board->string(), std::optional<std::string>("new"));
    EXPECT_TRUE(std::filesystem::is_symlink(StorePlace::asideName(path)));
}
