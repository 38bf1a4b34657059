// Pushed messages: the message dictionary, de-duplication, receipts, tags replies, and delivery across
// broken connections and server restarts.
#include "SessionTest.h"

#include "push/PULSEMessageCenter.h"
#include "push/PULSEMessageStore.h"
#include "push/PULSEReceivedPacketController.h"

#include "RecordingSession.h"

#include "support/LogCapture.h"
#include "support/SelfProcess.h"

#include "platform/files/StorePlace.h"
#include "platform/runloop/RunLoop.h"

#include <cstdio>
#include <csignal>

#include <fcntl.h>
#include <linux/fs.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <thread>
#include <vector>

namespace {

using push::PULSEMessageCenter;
using testsupport::PushBytes;
using testsupport::PushTestServer;

PushBytes messagePacket(std::uint8_t type, std::uint64_t id, const std::string& text) {
    PushBytes body;
    PushTestServer::appendU8(body, type);
    PushTestServer::appendU64(body, id);
    PushTestServer::appendString(body, text);
    return PushTestServer::packet(1, 3, id, 0, body);
}

// Records the message notifications (main thread).
class MessageListener {
public:
    MessageListener() {
        platform::NotificationCenter::defaultCenter().addObserver(this, push::kPULSENetworkDidReceiveMessageNotification, nullptr,
                                                                  [this](const platform::Notification& note) { infos.push_back(note.userInfo); });
    }
    ~MessageListener() { platform::NotificationCenter::defaultCenter().removeObserver(this); }
    std::vector<platform::Dictionary> infos;
};

TEST(MessageDictionary, TakesContentTitleTypeAndExtras) {
    auto dictionary = PULSEMessageCenter::messageDictionary(
        R"({"message":"hello","title":"T","content_type":"text","extras":{"k":1},"other":2})");
    ASSERT_TRUE(dictionary);
    EXPECT_EQ(platform::Value(*dictionary).description(), platform::Value(platform::Dictionary{
        {"content", "hello"}, {"title", "T"}, {"content_type", "text"}, {"extras", platform::Dictionary{{"k", 1}}}}).description());

    // Extras as a text holding a JSON dictionary become a dictionary; any other text is left out.
    auto fromText = PULSEMessageCenter::messageDictionary(R"({"message":"m","extras":"{\"a\":\"b\"}"})");
    ASSERT_TRUE(fromText);
    EXPECT_EQ((*fromText)["extras"], platform::Value(platform::Dictionary{{"a", "b"}}));
    for (const char* text : {R"({"message":"m","extras":"[1]"})", R"({"message":"m","extras":"plain"})", R"({"message":"m","extras":5})"}) {
        auto left = PULSEMessageCenter::messageDictionary(text);
        ASSERT_TRUE(left) << text;
        EXPECT_FALSE(left->contains("extras")) << text;
    }

    // No "message", not JSON, not UTF-8, an array: nothing.
    for (const std::string& text : {std::string(R"({"title":"t"})"), std::string("not json"), std::string("{\"message\":\"\xFF\"}"),
                                   std::string("[1]"), std::string()})
        EXPECT_FALSE(PULSEMessageCenter::messageDictionary(text)) << text;

    // A large text is read whole.
    const std::string big = R"({"message":")" + std::string(64'900, 'x') + "\"}";
    auto large = PULSEMessageCenter::messageDictionary(big);
    ASSERT_TRUE(large);
    EXPECT_EQ((*large)["content"].stringOr("").size(), 64'900u);
}

class Messages : public pushtest::PushTest {
protected:
    Messages() {
        m_identity = installIdentity("abcdef0123456789abcdef01");
        m_identity->setUid(77, "pw", "reg");
        auto& client = push::PULSEClientController::sharedClient();
        client.setMessageCenter(m_center);
        client.setTagAliasMng(std::make_shared<push::PULSETagAlias>());
        client.setRequestSession(m_session);
    }

    void receive(std::uint8_t type, std::uint64_t id, const std::string& text) {
        auto element = push::PULSEReceivedPacketController::packetWithBuffer(messagePacket(type, id, text));
        ASSERT_TRUE(element);
        element->handleReceipt();
    }

    std::vector<std::uint64_t> receiptIds() const {
        std::vector<std::uint64_t> ids;
        for (const auto& request : m_session->sent)
            if (auto receipt = std::dynamic_pointer_cast<push::PULSEMessageReceipt>(request))
                ids.push_back(receipt->messageID());
        return ids;
    }

    std::shared_ptr<push::PULSEUserDefaultsController> m_identity;
    std::shared_ptr<PULSEMessageCenter> m_center = std::make_shared<PULSEMessageCenter>();
    std::shared_ptr<pushtest::RecordingSession> m_session = std::make_shared<pushtest::RecordingSession>();
    MessageListener m_listener;
};

TEST_F(Messages, TheLastLineIsTheMessageAndEveryMessageGetsAReceipt) {
    receive(1, 500, "garbage line\n{not json either\n{\"message\":\"third\"}");
    receive(1, 500, "{\"message\":\"again\"}");  // repeated: no notification, still a receipt
    receive(2, 501, "not json");                 // a notification without user information
    receive(20, 502, "{\"sequence\":1,\"code\":0}"); // a tags reply: neither
    receive(20, 503, "anything");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 2; }));
    EXPECT_EQ(m_listener.infos[0]["content"].stringOr(""), "third");
    EXPECT_TRUE(m_listener.infos[1].empty());
    EXPECT_EQ(receiptIds(), (std::vector<std::uint64_t>{500, 500, 501}));

    // The receipt: 35 bytes, command 4, the message's version and rid, the stored uid.
    auto receipt = std::dynamic_pointer_cast<push::PULSEMessageReceipt>(m_session->sent[0]);
    auto packet = receipt->packetData();
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->size(), 35u);
    EXPECT_EQ((*packet)[2], 1);
    EXPECT_EQ((*packet)[3], 4);
    EXPECT_EQ((*packet)[11], 500 & 0xFF);
    EXPECT_EQ((*packet)[23], 77);
    EXPECT_EQ(platform::Bytes(packet->begin() + 24, packet->end()), (platform::Bytes{0, 0, 1, 0, 0, 0, 0, 0, 0, 0x01, 0xF4}));
    EXPECT_EQ(receipt->controlFlag(), 25);
    EXPECT_NE(receipt->description().find("[PULSEMessageReceipt] - msgType:1, msgId:500"), std::string::npos);
}

TEST_F(Messages, ALongTextAndBytesThatAreNotUTF8AreHandledLikeAnyOther) {
    receive(1, 700, R"({"message":")" + std::string(64'980, 'y') + "\"}");
    receive(1, 701, "{\"message\":\"\xFF\xFE\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 2; }));
    EXPECT_EQ(m_listener.infos[0]["content"].stringOr("").size(), 64'980u);
    EXPECT_TRUE(m_listener.infos[1].empty());
    EXPECT_EQ(receiptIds(), (std::vector<std::uint64_t>{700, 701}));
}

// The list names the last 101 ids; the store remembers far more, so neither repeat is handed over again.
TEST_F(Messages, The101LastIdsAreListedAndRepeatsOfOlderOnesAreKnownToo) {
    for (std::uint64_t id = 1; id <= 102; ++id)
        receive(1, id, "{\"message\":\"m\"}");
    EXPECT_EQ(m_center->receivedMsgIdsArray().size(), 101u);
    EXPECT_EQ(m_center->receivedMsgIdsArray().front(), 2u);
    receive(1, 1, "{\"message\":\"m\"}");   // out of the list, still known to the store
    receive(1, 102, "{\"message\":\"m\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return receiptIds().size() == 104; }));
    pushtest::drainMainQueue();
    EXPECT_EQ(m_listener.infos.size(), 102u);
    EXPECT_EQ(countLines("Found repeated message, and throw it away"), 2);
}

// A message is answered only once it is kept: a store that cannot be written sends no receipt and hands
// nothing over (the server sends the message again); once it can, the message goes the usual way.
TEST_F(Messages, AMessageThatCannotBeKeptGetsNoReceipt) {
    auto center = std::make_shared<PULSEMessageCenter>(m_home.root() + "/no such folder/PULSEMessages");
    push::PULSEClientController::sharedClient().setMessageCenter(center);
    receive(1, 800, "{\"message\":\"lost?\"}");
    receive(1, 800, "{\"message\":\"lost?\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("pushed messages cannot be kept") == 1; }));
    pushtest::drainMainQueue();
    EXPECT_TRUE(receiptIds().empty());
    EXPECT_TRUE(m_listener.infos.empty());
    EXPECT_FALSE(center->store().isRemembered(800)) << "forgotten, so that it is handed over when it comes again";

    push::PULSEClientController::sharedClient().setMessageCenter(m_center);
    receive(1, 800, "{\"message\":\"kept\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 1; }));
    EXPECT_EQ(receiptIds(), (std::vector<std::uint64_t>{800}));
}

// What waits for the page outlives the process: a new centre over the same home holds the messages
// not handed over, in order, knows every id it took (a repeat is answered, not handed over), and
// forgets a message once it is reported handed over. A log cut short keeps what came before the cut.
TEST_F(Messages, HeldMessagesAndKnownIdsOutliveTheProcess) {
    for (std::uint64_t id : {31, 32, 33})
        receive(1, id, "{\"message\":\"m" + std::to_string(id) + "\"}");
    receive(7, 34, "not json");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return receiptIds().size() == 4; }));
    auto contents = [](const std::vector<PULSEMessageCenter::HeldMessage>& held) {
        std::vector<std::string> texts;
        for (const auto& message : held)
            texts.push_back(std::to_string(message.messageID) + ":" + (message.info ? (*message.info)["content"].stringOr("?") : "none"));
        return texts;
    };
    // A second instance on the same home takes nothing from the store while the first holds it.
    auto second = std::make_shared<PULSEMessageCenter>();
    EXPECT_TRUE(second->heldMessages().empty());
    EXPECT_TRUE(second->store().accept(35, 1, "{}"));
    EXPECT_FALSE(second->store().commit().ok());
    second->handedOver({31});
    second.reset();
    EXPECT_EQ(countLines("is in use by another instance"), 1);
    push::PULSEClientController::sharedClient().setMessageCenter(nullptr);
    m_center.reset();

    auto next = std::make_shared<PULSEMessageCenter>();
    EXPECT_EQ(contents(next->heldMessages()), (std::vector<std::string>{"31:m31", "32:m32", "33:m33", "34:none"}));
    next->handedOver({32, 34, 99});
    push::PULSEClientController::sharedClient().setMessageCenter(next);
    receive(1, 31, "{\"message\":\"m31\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return receiptIds().size() == 5; }));
    EXPECT_EQ(countLines("Found repeated message, and throw it away - msgId:31"), 1);

    const std::string path = next->store().path();
    push::PULSEClientController::sharedClient().setMessageCenter(nullptr);
    next.reset();
    auto third = std::make_shared<PULSEMessageCenter>();
    EXPECT_EQ(contents(third->heldMessages()), (std::vector<std::string>{"31:m31", "33:m33"}));
    EXPECT_TRUE(third->store().isRemembered(32));
    third.reset();

    // The process ended in the middle of a write: the cut record and what follows it are dropped.
    {
        std::FILE* file = std::fopen(path.c_str(), "ab");
        ASSERT_TRUE(file);
        const char cut[] = {'M', 0, 0, 0, 40, 0, 0};
        std::fwrite(cut, 1, sizeof cut, file);
        std::fclose(file);
    }
    // And in the middle of a rewrite: the copy it left beside the log goes at the next start. Names that
    // only look like one stay, and so do a link of that name and what it points to.
    const std::string folder = path.substr(0, path.rfind('/'));
    const std::string copy = folder + "/.PULSEMessages.a1B2c3";
    const std::string link = folder + "/.PULSEMessages.Zz9Yy8";
    const std::string target = m_home.root() + "/linked";
    const std::vector<std::string> alike = {folder + "/.PULSEMessages.a1B2c", folder + "/.PULSEMessages.a1B2c3d",
                                            folder + "/.PULSEMessages.a1-2c3", folder + "/PULSEMessages.a1B2c3"};
    std::ofstream(copy) << std::string(100000, 'x');
    for (const std::string& name : alike)
        std::ofstream(name) << "not a copy";
    std::ofstream(target) << "linked";
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    auto fourth = std::make_shared<PULSEMessageCenter>();
    EXPECT_EQ(contents(fourth->heldMessages()), (std::vector<std::string>{"31:m31", "33:m33"}));
    EXPECT_EQ(countLines("is damaged at byte"), 1);
    EXPECT_FALSE(std::filesystem::exists(copy));
    for (const std::string& name : alike)
        EXPECT_TRUE(std::filesystem::exists(name)) << name;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    EXPECT_TRUE(std::filesystem::exists(target));
    fourth.reset();
    EXPECT_EQ(contents(std::make_shared<PULSEMessageCenter>()->heldMessages()), (std::vector<std::string>{"31:m31", "33:m33"}));
    EXPECT_EQ(countLines("is damaged at byte"), 1) << "written anew";
}

// A second instance that found the store taken tries the lock again at its next message: once the first
// has ended, it reads what the first left (held messages, known ids) and keeps its own. The lock held
// elsewhere is said once.
TEST_F(Messages, ASecondInstanceKeepsMessagesOnceTheFirstHasEnded) {
    const std::string path = m_home.root() + "/PULSEMessages";
    auto first = std::make_unique<push::PULSEMessageStore>(path);
    ASSERT_TRUE(first->accept(1, 1, "one"));
    ASSERT_TRUE(first->commit().ok());
    push::PULSEMessageStore second(path);
    for (std::uint64_t id : {2, 3}) {
        EXPECT_TRUE(second.accept(id, 1, "taken"));
        EXPECT_FALSE(second.commit().ok()) << "the first holds the store";
    }
    first.reset();
    EXPECT_FALSE(second.accept(1, 1, "again")) << "the first's id is known";
    EXPECT_TRUE(second.accept(3, 1, "three"));
    ASSERT_TRUE(second.commit().ok());
    const auto held = second.held();
    ASSERT_EQ(held.size(), 2u);
    EXPECT_EQ(held[0].text, "one");
    EXPECT_EQ(held[1].text, "three");
    EXPECT_EQ(countLines("is in use by another instance"), 1);
}

// The line that says messages were dropped names the bound that was hit: their number, or their bytes.
TEST_F(Messages, TheDropLineNamesTheBoundThatWasHit) {
    const std::string path = m_home.root() + "/PULSEMessages";
    {
        push::PULSEMessageStore store(path);
        for (std::uint64_t id = 1; id <= push::PULSEMessageStore::kMaxHeldMessages + 2; ++id)
            ASSERT_TRUE(store.accept(id, 1, "t"));
        ASSERT_TRUE(store.commit().ok());
    }
    EXPECT_EQ(countLines("2 pushed messages the page has not taken were dropped for newer ones (at most 100000 messages wait)"), 1);
    ASSERT_EQ(::unlink(path.c_str()), 0);
    {
        push::PULSEMessageStore store(path);
        const std::string half(push::PULSEMessageStore::kMaxHeldBytes / 2 + 1, 'x');
        for (std::uint64_t id = 1; id <= 2; ++id)
            ASSERT_TRUE(store.accept(id, 1, half));
        ASSERT_TRUE(store.commit().ok());
    }
    EXPECT_EQ(countLines("1 pushed messages the page has not taken were dropped for newer ones (at most 33554432 bytes of messages wait)"), 1);
    EXPECT_EQ(countLines("dropped for newer ones"), 2);
}

// At most 100,000 messages wait for the page: the oldest go first, with one line a commit.
TEST(MessageStore, KeepsTheNewestHeldMessagesWithinItsBound) {
    hybtest::TempHome home;
    const std::string path = home.root() + "/store";
    {
        push::PULSEMessageStore store(path);
        for (std::uint64_t id = 1; id <= push::PULSEMessageStore::kMaxHeldMessages + 5; ++id)
            ASSERT_TRUE(store.accept(id, 1, "t"));
        ASSERT_TRUE(store.commit().ok());
        EXPECT_EQ(store.heldCount(), push::PULSEMessageStore::kMaxHeldMessages);
        EXPECT_EQ(store.held().front().id, 6u);
        EXPECT_FALSE(store.accept(3, 1, "t")) << "dropped, still known";
    }
    push::PULSEMessageStore reread(path);
    EXPECT_EQ(reread.heldCount(), push::PULSEMessageStore::kMaxHeldMessages);
    EXPECT_EQ(reread.held().front().id, 6u);
    EXPECT_TRUE(reread.isRemembered(1));

    // Large messages past the byte bound: the log never grows past what is read back, so the newest
    // (their receipts gone) are there when it is read again.
    const std::string large = home.root() + "/large";
    const std::string text(60000, 'x');
    std::uint64_t id = 1;
    {
        push::PULSEMessageStore store(large);
        for (int commits = 0; commits < 120; ++commits) {
            for (int i = 0; i < 10; ++i, ++id)
                ASSERT_TRUE(store.accept(id, 1, text));
            ASSERT_TRUE(store.commit().ok());
            struct stat status {};
            ASSERT_EQ(::stat(large.c_str(), &status), 0);
            ASSERT_LE(static_cast<std::size_t>(status.st_size), push::PULSEMessageStore::kMaxFileBytes) << "after message " << id - 1;
        }
    }
    push::PULSEMessageStore largeReread(large);
    ASSERT_FALSE(largeReread.held().empty());
    EXPECT_EQ(largeReread.held().back().id, id - 1);
    EXPECT_GE(largeReread.heldCount() * text.size(), push::PULSEMessageStore::kMaxHeldBytes - text.size());
}

// Something else in the log's place or the lock file's (a pipe would block every open, a folder or a
// link to a device would fail every write) is moved aside whole, said once, and the store starts afresh:
// its messages are kept and outlive it.
TEST(MessageStore, SomethingElseInItsPlaceIsMovedAsideAndTheStoreStartsAfresh) {
    hybtest::TempHome home;
    struct Shape {
        const char* name;
        const char* suffix;
        int (*make)(const char* path);
        mode_t kind;            // of what lies aside, 0: nothing
        bool whileOpen = false; // made after a first message was kept (the thing there is removed first)
        unsigned earlier = 0;   // things set aside from the place before (files, the oldest last)
    };
    constexpr unsigned kept = platform::StorePlace::kKeptAsides;
    const auto removed = [](const char* p) { return ::unlink(p); };
    const Shape shapes[] = {
        {"pipe", "", [](const char* p) { return ::mkfifo(p, 0600); }, S_IFIFO},
        {"folder", "", [](const char* p) { return ::mkdir(p, 0700); }, S_IFDIR},
        {"link to /dev/null", "", [](const char* p) { return ::symlink("/dev/null", p); }, S_IFLNK},
        {"folder at the lock file", push::PULSEMessageStore::kLockSuffix, [](const char* p) { return ::mkdir(p, 0700); }, S_IFDIR},
        // A log removed or replaced under the store: appends to the old file would be lost at the next start.
        {"log removed while open", "", removed, 0, true},
        {"folder in the log's place while open", "", [](const char* p) { return ::unlink(p) == 0 ? ::mkdir(p, 0700) : -1; }, S_IFDIR,
         true},
        {"pipe in the log's place while open", "", [](const char* p) { return ::unlink(p) == 0 ? ::mkfifo(p, 0600) : -1; }, S_IFIFO,
         true},
        {"lock file removed while open", push::PULSEMessageStore::kLockSuffix, removed, 0, true},
        // Bytes another process appends: the next records would follow them, out of reach at the next start.
        {"bytes appended by another while open", "",
         [](const char* p) {
             const int fd = ::open(p, O_WRONLY | O_APPEND | O_CLOEXEC);
             const bool written = fd >= 0 && ::write(fd, "junk", 4) == 4;
             ::close(fd);
             return written ? 0 : -1;
         },
         0, true},
        // What was set aside before stays there, older by one; past the bound the oldest goes (said).
        {"pipe beside an earlier aside", "", [](const char* p) { return ::mkfifo(p, 0600); }, S_IFIFO, false, 1},
        {"folder beside as many earlier asides as are kept", "", [](const char* p) { return ::mkdir(p, 0700); }, S_IFDIR, false, kept},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        const std::string path = home.root() + "/store" + std::to_string(&shape - shapes);
        const std::string place = path + shape.suffix;
        std::optional<push::PULSEMessageStore> open;
        if (shape.whileOpen) {
            open.emplace(path);
            EXPECT_TRUE(open->accept(1, 1, "{}"));
            EXPECT_TRUE(open->commit().ok());
        }
        for (unsigned age = 0; age < shape.earlier; ++age)
            std::ofstream(platform::StorePlace::asideName(place, age)) << "aside " << age;
        ASSERT_EQ(shape.make(place.c_str()), 0);
        hybtest::LogCapture log;
        {
            std::optional<push::PULSEMessageStore> fresh;
            push::PULSEMessageStore& store = shape.whileOpen ? *open : fresh.emplace(path);
            EXPECT_EQ(store.accept(1, 1, "{}"), !shape.whileOpen);
            EXPECT_TRUE(store.accept(2, 1, "{}"));
            EXPECT_TRUE(store.commit().ok());
            // Another instance meanwhile takes no lock: this store's stands (taken again when its file went).
            push::PULSEMessageStore second(path);
            EXPECT_TRUE(second.accept(3, 1, "{}"));
            EXPECT_FALSE(second.commit().ok());
        }
        open.reset();
        push::PULSEMessageStore again(path);
        EXPECT_EQ(again.heldCount(), 2u);
        EXPECT_TRUE(again.isRemembered(1));
        EXPECT_TRUE(again.isRemembered(2));
        struct stat aside {};
        ASSERT_EQ(::lstat((place + ".damaged").c_str(), &aside) == 0, shape.kind != 0);
        if (shape.kind != 0) {
            EXPECT_EQ(aside.st_mode & S_IFMT, shape.kind);
        }
        const std::vector<std::string> lines = log.lines();
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.find("moved aside") != std::string::npos; }),
                  shape.kind != 0 ? 1 : 0)
            << ::testing::PrintToString(lines);
        for (unsigned age = 1; age <= shape.earlier && age < kept; ++age) {
            std::ifstream earlier(platform::StorePlace::asideName(place, age));
            EXPECT_EQ(std::string(std::istreambuf_iterator<char>(earlier), {}), "aside " + std::to_string(age - 1)) << age;
        }
        EXPECT_FALSE(std::filesystem::exists(platform::StorePlace::asideName(place, kept)));
        EXPECT_EQ(std::count_if(lines.begin(), lines.end(), [](const std::string& line) { return line.find("was removed to keep a newer one") != std::string::npos; }),
                  shape.earlier == kept ? 1 : 0)
            << ::testing::PrintToString(lines);
    }
}

// The oldest of the things kept aside cannot always go to make room (here a folder with a file system
// mounted inside, in a mount namespace of one thread; a folder its owner cannot empty does the same): the
// thing in the log's place then goes aside under a name of its own, and the store works, rather than
// staying off for good.
TEST(MessageStore, AnAsideThatCannotGoDoesNotKeepTheStoreOff) {
    hybtest::TempHome home;
    const std::string path = home.root() + "/PULSEMessages";
    const std::string aside = platform::StorePlace::asideName(path);
    for (unsigned age = 0; age + 1 < platform::StorePlace::kKeptAsides; ++age)
        std::ofstream(platform::StorePlace::asideName(path, age)) << "aside";
    const std::string oldest = platform::StorePlace::asideName(path, platform::StorePlace::kKeptAsides - 1);
    ASSERT_EQ(::mkdir(oldest.c_str(), 0700), 0);
    ASSERT_EQ(::mkdir((oldest + "/inside").c_str(), 0700), 0);
    ASSERT_EQ(::mkdir(path.c_str(), 0700), 0);
    enum class Outcome { NoMountNamespace, Refused, Kept, Lost } outcome = Outcome::Refused;
    std::thread([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("held", (oldest + "/inside").c_str(), "tmpfs", 0, "size=64k") != 0) {
            outcome = Outcome::NoMountNamespace;
            return;
        }
        {
            push::PULSEMessageStore store(path);
            if (store.accept(1, 1, "{}") && store.commit().ok())
                outcome = Outcome::Lost; // unless it is read back
        }
        if (outcome == Outcome::Lost && push::PULSEMessageStore(path).heldCount() == 1)
            outcome = Outcome::Kept;
        ::umount2((oldest + "/inside").c_str(), MNT_DETACH);
    }).join();
    if (outcome == Outcome::NoMountNamespace)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(outcome, Outcome::Kept) << static_cast<int>(outcome);
    struct stat inside {};
    EXPECT_EQ(::lstat((oldest + "/inside").c_str(), &inside), 0) << "the oldest aside stays";
    EXPECT_TRUE(std::filesystem::is_regular_file(aside)) << "and so do the others";
    const std::string ownAside = aside + "." + std::to_string(::getpid()) + "-";
    bool found = false;
    for (const auto& entry : std::filesystem::directory_iterator(home.root()))
        found |= entry.path().string().rfind(ownAside, 0) == 0 && entry.is_directory();
    EXPECT_TRUE(found) << "the folder went aside under a name of its own";
}

// A record cut short, and a disk too full to write the log anew: the file is cut back to its last whole
// record (which takes no room) before the next is appended, so that a message whose commit succeeded is
// there when the log is read again. The disk is a small file system of the test's own, mounted in a
// mount namespace of one thread.
TEST(MessageStore, ARecordCutShortOnAFullDiskIsCutBackBeforeTheNextAppend) {
    hybtest::TempHome home;
    const std::string disk = home.root() + "/disk";
    ASSERT_EQ(::mkdir(disk.c_str(), 0700), 0);
    enum class Outcome { NoMountNamespace, Failed, Kept, Refused, Lost } outcome = Outcome::Failed;
    std::thread([&] {
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("store", disk.c_str(), "tmpfs", 0, "size=64k") != 0) {
            outcome = Outcome::NoMountNamespace;
            return;
        }
        const std::string path = disk + "/PULSEMessages";
        const std::string filler = disk + "/filler";
        [&] {
            {
                push::PULSEMessageStore store(path);
                for (std::uint64_t id = 1; id <= 5; ++id)
                    store.accept(id, 1, "{\"message\":\"m\"}");
                if (!store.commit().ok())
                    return;
            }
            std::FILE* file = std::fopen(path.c_str(), "ab");
            const char cut[] = {'M', 0, 0, 0, 40, 0, 0};
            if (!file || std::fwrite(cut, 1, sizeof cut, file) != sizeof cut || std::fclose(file) != 0)
                return;
            // Every page of the disk taken but the log's own last one.
            const int fd = ::open(filler.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
            const std::string page(4096, 'f');
            while (::write(fd, page.data(), page.size()) > 0) {
            }
            while (::write(fd, "f", 1) > 0) {
            }
            ::close(fd);
            {
                push::PULSEMessageStore store(path);
                if (!store.accept(6, 1, "{\"message\":\"after\"}"))
                    return;
                if (!store.commit().ok()) {
                    outcome = Outcome::Refused;
                    return;
                }
            }
            ::unlink(filler.c_str());
            push::PULSEMessageStore reread(path);
            const auto held = reread.held();
            outcome = !held.empty() && held.back().id == 6 && held.size() == 6 ? Outcome::Kept : Outcome::Lost;
        }();
        ::umount2(disk.c_str(), MNT_DETACH);
    }).join();
    if (outcome == Outcome::NoMountNamespace)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(outcome, Outcome::Kept) << static_cast<int>(outcome);
}

// A log at its bound that cannot be written anew (a disk with less room than a second copy, a folder that
// takes no new file): its commits fail from there, said once, rather than append what the next start
// would cut off; none that succeeded is lost when the log is read again. Once a rewrite succeeds (the page
// took what waited, the folder takes files again) commits succeed again. The disk is a file system of the
// test's own, mounted in a mount namespace of one thread.
TEST_F(Messages, ALogAtItsBoundThatCannotBeWrittenAnewKeepsNothingItCouldNotReadBack) {
    struct Disk {
        const char* name;
        const char* options;
        bool folderTakesNoFile; // the store's folder made immutable once the store has its files
    };
    const Disk disks[] = {
        {"a disk with less room than a rewrite", "size=72m", false},
        {"a folder that takes no new file", "size=160m", true},
    };
    const auto setImmutable = [](const std::string& folder, bool on) {
        const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        int flags = 0;
        const bool set = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 &&
                         (flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL, ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0);
        ::close(fd);
        return set;
    };
    for (const Disk& disk : disks) {
        SCOPED_TRACE(disk.name);
        const std::string mount = m_home.root() + "/disk" + std::to_string(&disk - disks);
        ASSERT_EQ(::mkdir(mount.c_str(), 0700), 0);
        const int said = countLines("cannot be written anew");
        const int saidHanded = countLines("handed-over messages not written");
        enum class Outcome { NoMountNamespace, Failed, Done } outcome = Outcome::Failed;
        std::vector<std::uint64_t> kept, handed;
        std::size_t refused = 0, lost = 0, handedAgain = 0;
        bool keptAgain = false;
        std::thread([&] {
            if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
                ::mount("store", mount.c_str(), "tmpfs", 0, disk.options) != 0) {
                outcome = Outcome::NoMountNamespace;
                return;
            }
            [&] {
                const std::string folder = mount + "/store";
                const std::string path = folder + "/PULSEMessages";
                const std::string text(40000, 'x');
                if (::mkdir(folder.c_str(), 0700) != 0)
                    return;
                std::uint64_t id = 1;
                {
                    push::PULSEMessageStore store(path);
                    if (!store.accept(id, 1, text) || !store.commit().ok())
                        return;
                    kept.push_back(id++);
                    if (disk.folderTakesNoFile && !setImmutable(folder, true))
                        return;
                    // Past the bound (64 MiB) by a third, or a few refusals; the page takes the oldest there
                    // (in two goes), and a commit is refused after.
                    for (; id <= 2200 && refused < 5; ++id) {
                        if (refused == 4) {
                            const auto held = store.held();
                            for (std::size_t i = 0; i < 300 && i < held.size(); ++i)
                                handed.push_back(held[i].id);
                            store.handedOver({handed.begin(), handed.begin() + 150});
                            store.handedOver({handed.begin() + 150, handed.end()});
                        }
                        if (!store.accept(id, 1, text))
                            return;
                        if (store.commit().ok())
                            kept.push_back(id);
                        else
                            ++refused;
                    }
                }
                // The next start: every message answered kept is known, and none the page took waits.
                push::PULSEMessageStore reread(path);
                for (const std::uint64_t keptId : kept)
                    lost += !reread.isRemembered(keptId);
                for (const auto& message : reread.held())
                    handedAgain += std::count(handed.begin(), handed.end(), message.id);
                if (disk.folderTakesNoFile) {
                    if (!setImmutable(folder, false))
                        return;
                } else {
                    std::vector<std::uint64_t> waiting;
                    for (const auto& message : reread.held())
                        waiting.push_back(message.id);
                    reread.handedOver(waiting);
                }
                keptAgain = reread.accept(id, 1, text) && reread.commit().ok();
                outcome = Outcome::Done;
            }();
            setImmutable(mount + "/store", false);
            ::umount2(mount.c_str(), MNT_DETACH);
        }).join();
        if (outcome == Outcome::NoMountNamespace)
            GTEST_SKIP() << "no mount namespace here";
        ASSERT_EQ(outcome, Outcome::Done);
        RecordProperty(std::string(disk.name) + ": kept", static_cast<int>(kept.size()));
        RecordProperty(std::string(disk.name) + ": lost", static_cast<int>(lost));
        EXPECT_EQ(lost, 0u) << "of " << kept.size() << " kept";
        EXPECT_EQ(refused, 5u) << kept.size() << " kept";
        EXPECT_EQ(handed.size(), 300u);
        EXPECT_EQ(handedAgain, 0u) << "of " << handed.size() << " the page took";
        EXPECT_LE(countLines("handed-over messages not written") - saidHanded, 1);
        EXPECT_TRUE(keptAgain);
        EXPECT_EQ(countLines("cannot be written anew") - said, 1);
    }
}

// A log there that cannot be read at the start (here no descriptor is left for it once the lock file has
// one): nothing is written until it is read whole, so that no rewrite from what the store holds (nothing)
// drops the messages it holds. In a child process, which alone runs out of descriptors.
TEST(MessageStore, ALogThatCannotBeReadAtTheStartIsNeverWrittenOver) {
    hybtest::TempHome home;
    const std::string path = home.root() + "/store";
    const std::string text(100000, 'x'); // the log past the size a rewrite is due at, for what an empty store holds
    {
        push::PULSEMessageStore store(path);
        for (std::uint64_t id = 1; id <= 20; ++id)
            ASSERT_TRUE(store.accept(id, 1, text));
        ASSERT_TRUE(store.commit().ok());
    }
    const int status = hybtest::runWithoutDescriptors(1, [&](const std::function<void()>& giveBack) { // the lock file's
        push::PULSEMessageStore store(path);
        if (store.heldCount() != 0 || !store.accept(100, 1, "m") || store.commit().ok())
            return 11; // read nothing, so keeps nothing
        giveBack();
        for (std::uint64_t id = 101; id <= 103; ++id)
            if (!store.accept(id, 1, "m") || !store.commit().ok())
                return 12;
        return store.heldCount() == 23 ? 0 : 13;
    });
    EXPECT_EQ(status, 0);
    push::PULSEMessageStore reread(path);
    EXPECT_EQ(reread.heldCount(), 23u);
    EXPECT_FALSE(reread.isRemembered(100)) << "its commit failed";
    EXPECT_EQ(reread.held().front().text, text);
}

// A process killed in the middle of a burst: every message whose commit it reported (its receipt could
// have left) is in the store when it is read again; what came after is whole or not there at all.
TEST(MessageStore, WhatACommitKeptOutlivesAKillInTheMiddleOfABurst) {
    hybtest::TempHome home;
    const std::string path = home.root() + "/store";
    int reports[2];
    ASSERT_EQ(::pipe2(reports, O_CLOEXEC), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // The child commits bursts of 200 and reports the last id of each commit, until it is killed (or,
        // on a machine too busy to kill it sooner, until it waits within the store's bound).
        ::close(reports[0]);
        push::PULSEMessageStore store(path);
        std::uint64_t id = 1;
        for (int commits = 0;; ++commits) {
            while (commits == 45)
                ::pause();
            for (int i = 0; i < 200; ++i, ++id)
                (void)store.accept(id, 1, "{\"message\":\"burst\"}");
            if (!store.commit().ok())
                ::_exit(2);
            const std::uint64_t last = id - 1;
            if (::write(reports[1], &last, sizeof last) != sizeof last)
                ::_exit(3);
        }
    }
    ::close(reports[1]);
    std::uint64_t reported = 0;
    for (int commits = 0; commits < 10; ++commits)
        ASSERT_EQ(::read(reports[0], &reported, sizeof reported), static_cast<ssize_t>(sizeof reported));
    ::kill(pid, SIGKILL);
    for (std::uint64_t last = 0; ::read(reports[0], &last, sizeof last) == static_cast<ssize_t>(sizeof last);)
        reported = last;
    ::close(reports[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
    ASSERT_LE(reported, push::PULSEMessageStore::kMaxHeldMessages);

    push::PULSEMessageStore store(path);
    const auto held = store.held();
    ASSERT_GE(held.size(), reported);
    for (std::uint64_t id = 1; id <= held.size(); ++id) {
        ASSERT_EQ(held[id - 1].id, id);
        ASSERT_EQ(held[id - 1].text, "{\"message\":\"burst\"}");
    }
}

// End to end, against the server, which holds each message until its receipt.
class PushedMessages : public pushtest::SessionTest {
protected:
    std::map<std::string, int> deliveries() const {
        std::map<std::string, int> seen;
        for (const auto& info : m_listener.infos)
            ++seen[info["content"].stringOr("(none)")];
        return seen;
    }
    MessageListener m_listener;
};

TEST_F(PushedMessages, ReachTheApplicationOnceAndAreAcknowledged) {
    startLoggedIn();
    m_server.pushMessage(1, 9001, "{\"message\":\"a\",\"title\":\"t\"}");
    m_server.pushMessage(1, 9001, "{\"message\":\"a\"}"); // the server repeats it
    m_server.pushMessage(20, 9002, "{\"sequence\":5,\"code\":0}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 2; }));
    EXPECT_EQ(m_server.receipts(), (std::vector<std::uint64_t>{9001, 9001}));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == 1; }));
    EXPECT_EQ(m_listener.infos[0]["title"].stringOr(""), "t");
    EXPECT_EQ(m_server.heldMessages(), 0u);
}

// What the server (and its standalone program) says of a push: nobody to push to before any login, sent
// to a connected device, held for one that is away.
TEST_F(PushedMessages, TheServerSaysWhatBecameOfAPush) {
    using Outcome = PushTestServer::PushOutcome;
    EXPECT_EQ(m_server.pushMessage(1, 1, "{\"message\":\"one\"}"), Outcome::Dropped);
    startLoggedIn();
    EXPECT_EQ(m_server.pushMessage(1, 2, "{\"message\":\"two\"}"), Outcome::Sent);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 1; }));
    m_session->setIsConnectDisable(true);
    m_session->close();
    ASSERT_TRUE(m_server.waitFor([&] { return m_server.openConnections() == 0; }));
    EXPECT_EQ(m_server.pushMessage(1, 3, "{\"message\":\"three\"}"), Outcome::Held);
    m_session->setIsConnectDisable(false);
    m_session->setup();
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_listener.infos.size() == 2; }));
    // The receipt of the message before the close may go again: its acknowledgement may not have come
    // back before the close.
    const auto receipts = m_server.receipts();
    EXPECT_EQ(std::set<std::uint64_t>(receipts.begin(), receipts.end()), (std::set<std::uint64_t>{2, 3}));
    EXPECT_EQ(deliveries(), (std::map<std::string, int>{{"two", 1}, {"three", 1}}));
}

// The length word is all the framing there is: a packet whose length cannot be right would swallow
// the message after it. The connection starts again instead, and the server sends what had no receipt.
TEST_F(PushedMessages, APacketThatCannotBeWhatItsLengthSaysLosesNothing) {
    startLoggedIn();
    m_server.pushMessage(1, 1, "{\"message\":\"one\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 1; }));
    PushBytes bad = messagePacket(1, 99, "{\"message\":\"bad\"}");
    bad[0] = 0xFF;
    bad[1] = 0xFF;
    m_server.sendRaw(bad);
    m_server.pushMessage(1, 2, "{\"message\":\"two\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_EQ(countLines("tcp packet of command 3 cannot be 65535 bytes long (its fields end at byte 48): closing the "
                         "connection"),
              1);
    m_clock.advance(2.0);
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_listener.infos.size() == 2; }));
    EXPECT_EQ(deliveries(), (std::map<std::string, int>{{"one", 1}, {"two", 1}}));
    // The receipt of "one" went whole on the first connection: it is not sent again.
    EXPECT_EQ(m_server.receipts(), (std::vector<std::uint64_t>{1, 2}));
}

// Each receipt is sent once: on the connection of its message, never again after the reconnections
// that follow (however shortly before the end of its connection the server acknowledged it).
TEST_F(PushedMessages, AReceiptIsSentOnceWhateverReconnectionsFollow) {
    startLoggedIn();
    m_server.pushMessage(1, 61, "{\"message\":\"once\"}");
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() == 1; }));
    for (int cycle = 0; cycle < 5; ++cycle) {
        m_clock.advance(push::PULSESessionController::kLastingSessionSeconds);
        m_server.restart(cycle % 2 == 1);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); })) << cycle;
        m_clock.advance(2.0);
        ASSERT_TRUE(waitLoggedIn()) << cycle;
        // A heartbeat's round trip: whatever the login sent went before it. Its acknowledgement is read
        // before the clock moves on, past its time-out.
        const std::size_t heartbeats = m_server.packets(2).size();
        m_session->fireHeartBeat();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == heartbeats + 1; })) << cycle;
        ASSERT_TRUE(ackArrived()) << cycle;
        m_clock.advance(push::PULSESessionController::kHeartbeatLockSeconds);
    }
    EXPECT_EQ(m_server.receipts(), (std::vector<std::uint64_t>{61}));
    EXPECT_EQ(deliveries(), (std::map<std::string, int>{{"once", 1}}));
}

// A burst of 1000 messages ended by a packet whose length word is 40 too big, in one write; or the same
// burst after which the server closes the connection. The client hands every message over, and the
// receipts it has not delivered when the connection ends go out first after the next login: what the
// server sends again meanwhile is known and not handed over twice.
class MessagesBeforeTheEnd : public PushedMessages {
protected:
    static constexpr std::size_t kBurst = 1000;
    static constexpr const char* kText = "{\"message\":\"m\"}";
    // A long burst takes a while in a sanitizer build on a busy machine.
    static constexpr std::chrono::seconds kLongWait{60};

    void burstThenReconnect(bool brokenPacket, std::size_t burst = kBurst) {
        startLoggedIn();
        if (!brokenPacket) {
            PushBytes body;
            PushTestServer::appendU8(body, 1);
            PushTestServer::appendU64(body, 1);
            PushTestServer::appendString(body, kText);
            m_server.dropAfterBytes(burst * PushTestServer::packet(1, 3, 1, 0, body).size());
        }
        ASSERT_EQ(m_server.pushBurst(1, burst, kText, brokenPacket), PushTestServer::PushOutcome::Sent);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }, kLongWait));
        m_clock.advance(2.0);
        ASSERT_TRUE(waitLoggedIn());
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_listener.infos.size() >= burst; }, kLongWait));
        // Nothing more comes: a heartbeat's round trip, then whatever was posted meanwhile.
        m_session->fireHeartBeat();
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.packets(2).size() == 1 && m_session->tcpSendingQueue().count() == 0; }));
        bool drained = false;
        platform::RunLoop::main().perform([&] { drained = true; });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return drained; }));
        EXPECT_EQ(m_listener.infos.size(), burst);
        EXPECT_EQ(countLines("too many receipts kept"), 0);
        EXPECT_EQ(m_session->keptReceiptCount(), 0u);
        std::set<std::uint64_t> acknowledged;
        for (auto id : m_server.receipts())
            acknowledged.insert(id);
        EXPECT_EQ(acknowledged.size(), burst);
    }
};

TEST_F(MessagesBeforeTheEnd, ABrokenPacketLosesNoReceipt) {
    burstThenReconnect(true);
    EXPECT_EQ(countLines("tcp packet of command 3 cannot be"), 1);
}

TEST_F(MessagesBeforeTheEnd, TheServersCloseLosesNoReceipt) {
    burstThenReconnect(false);
    EXPECT_EQ(countLines("conect close by remote"), 1);
}

// 20000 messages in one write: each read frames thousands of them, and their receipts leave as fast as
// they come (not a few dozen a write notification, which would leave far more than the 8192 receipts
// that can be kept waiting in the queue when the broken packet ends the connection).
TEST_F(MessagesBeforeTheEnd, ALongBurstLeavesFewReceiptsBehind) {
    burstThenReconnect(true, 20000);
}

// A server that stops reading and goes on pushing: the receipts pile up behind a full kernel buffer,
// and the client stops reading before its send queue could refuse one (no receipt is dropped, none
// of the 8192 kept ones is lost). The server that then resets the connection sends again what it has
// no receipt for, and gets every receipt after the next login; no message is handed over twice.
class ServerThatStopsReading : public PushedMessages {
protected:
    static constexpr std::size_t kBurst = 2000;
    static constexpr std::chrono::seconds kLongWait{120};

    // Pushes bursts to a server that reads nothing until the client stops reading; the messages pushed.
    std::uint64_t pushUntilReadingStops() {
        startLoggedIn();
        // A session that lasted: the next connection comes after 2 s.
        m_clock.advance(push::PULSESessionController::kLastingSessionSeconds);
        m_server.stopReading();
        std::uint64_t next = 1;
        for (std::size_t burst = 0; burst < 50 && !readingHeld(); ++burst) {
            EXPECT_EQ(m_server.pushBurst(next, kBurst, "{\"message\":\"m\"}", false), PushTestServer::PushOutcome::Sent);
            next += kBurst;
            // Each burst is read and answered, or the client stops reading.
            EXPECT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() == next - 1 || readingHeld(); }, kLongWait));
        }
        EXPECT_TRUE(readingHeld()) << "the send queue took receipts for " << next - 1 << " messages";
        EXPECT_TRUE(m_session->isSetup());
        return next - 1;
    }
    bool readingHeld() const {
        const auto& socket = m_session->tcpConnectionSocket();
        return socket && socket->isReadingHeld();
    }
    void expectEachMessageOnce(std::uint64_t pushed) {
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && m_session->keptReceiptCount() == 0; }, kLongWait));
        const auto receipts = m_server.receipts();
        const std::set<std::uint64_t> acknowledged(receipts.begin(), receipts.end());
        EXPECT_EQ(acknowledged.size(), pushed);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() >= pushed; }, kLongWait));
        pushtest::drainMainQueue();
        EXPECT_EQ(m_listener.infos.size(), pushed) << "each message handed over once";
        EXPECT_EQ(countLines("the server reads nothing (send queue full)"), 0);
        EXPECT_EQ(countLines("too many receipts kept"), 0);
    }
};

TEST_F(ServerThatStopsReading, IsNotReadEitherAndAfterItsResetEachMessageCountsOnce) {
    const std::uint64_t pushed = pushUntilReadingStops();
    // Well over 10 s of silence: long past any grace a kernel's acknowledgement could be given. A packet
    // cut by the end of the last read is not taken for one that stopped arriving: nothing is read.
    m_clock.advance(30.0);
    bool turned = false;
    platform::RunLoop::main().perform([&] { turned = true; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return turned; }));
    EXPECT_TRUE(m_session->isSetup());
    EXPECT_EQ(countLines("tcp packet incomplete"), 0);
    m_server.resetConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    EXPECT_GT(m_session->keptReceiptCount(), 0u);
    EXPECT_LE(m_session->keptReceiptCount(), push::PULSETcpSocket::kMaxQueuedPackets);
    m_clock.advance(2.0);
    ASSERT_TRUE(waitLoggedIn());
    expectEachMessageOnce(pushed);
}

// Receipts kept by a connection the server never read go out after the next login as the send queue has
// room; the server meanwhile sends again every message it has no receipt for. A message sent again
// while its kept receipt still waits is answered at once, and that kept receipt is not sent after it:
// only the receipts already on their way when the messages came again are answered twice. The server
// also closes right after three logins during the resend: every message still gets its receipt, and is
// handed over once. Time moves by whole reconnection delays: nothing waits for a clock.
TEST_F(ServerThatStopsReading, AMessageSentAgainWhileItsReceiptIsKeptIsAnsweredOnce) {
    const std::uint64_t pushed = pushUntilReadingStops();
    // The next connections end right after their logins.
    m_server.setCloseAfterLogin(true);
    m_server.resetConnections();
    ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); }));
    const std::size_t kept = m_session->keptReceiptCount();
    ASSERT_GT(kept, push::PULSETcpSocket::kMaxQueuedPackets - push::PULSESessionController::kSendQueueReserve);
    auto closes = [&] {
        const auto all = notes();
        return std::count_if(all.begin(), all.end(), [](const auto& note) { return note.name == push::kPULSENetworkDidCloseNotification; });
    };
    // The delay the session chose for its next set-up: the clock moves by that much, no more (the
    // login's own time-outs must not run out meanwhile).
    auto scheduledDelay = [&] {
        double delay = -1;
        for (const auto& line : logLines())
            (void)std::sscanf(line.c_str(), "session will setup delayed with time interval: %lf", &delay);
        return delay;
    };
    for (int flap = 0; flap < 3; ++flap) {
        const auto before = closes();
        m_clock.advance(scheduledDelay());
        ASSERT_TRUE(hybtest::runMainUntil([&] { return closes() > before && !m_session->isSetup(); }, kLongWait)) << flap;
    }
    m_server.setCloseAfterLogin(false);
    m_clock.advance(scheduledDelay());
    ASSERT_TRUE(waitLoggedIn());
    expectEachMessageOnce(pushed);
    const auto receipts = m_server.receipts();
    const std::set<std::uint64_t> acknowledged(receipts.begin(), receipts.end());
    // At most the first paced batch was on its way when the messages came again.
    EXPECT_LE(receipts.size() - acknowledged.size(),
              push::PULSETcpSocket::kMaxQueuedPackets - push::PULSESessionController::kSendQueueReserve);
}

// The same ids many times in one read, then again after a reconnection a day of the clock later: each
// message reaches the page once, and every id gets its receipt.
TEST_F(PushedMessages, RepeatsWithinOneReadAndAcrossReconnectionsReachThePageOnce) {
    // Heartbeats wait for no acknowledgement: the day the clock jumps keeps the session.
    m_server.setServerVersion(0);
    startLoggedIn();
    m_server.pushMessage(1, 71, "{\"message\":\"a\"}");
    m_server.pushMessage(1, 72, "{\"message\":\"b\"}");
    PushBytes repeats;
    for (int i = 0; i < 50; ++i)
        for (const auto& [id, text] : {std::pair<std::uint64_t, const char*>{71, "{\"message\":\"a\"}"}, {72, "{\"message\":\"b\"}"}}) {
            const PushBytes packet = messagePacket(1, id, text);
            repeats.insert(repeats.end(), packet.begin(), packet.end());
        }
    const auto repeated = [&] {
        return countLines("Found repeated message, and throw it away") +
               countLines("Found repeated message whose receipt is on its way");
    };
    m_server.sendRaw(repeats);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0 && repeated() == 100; }));
    for (int cycle = 1; cycle <= 2; ++cycle) {
        m_clock.advance(86400.0);
        m_server.restart(cycle == 2);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); })) << cycle;
        m_clock.advance(2.0);
        ASSERT_TRUE(waitLoggedIn()) << cycle;
        m_server.sendRaw(repeats);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return repeated() == 100 * (cycle + 1); })) << cycle;
    }
    bool drained = false;
    platform::RunLoop::main().perform([&] { drained = true; });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return drained; }));
    EXPECT_EQ(deliveries(), (std::map<std::string, int>{{"a", 1}, {"b", 1}}));
    const auto receipts = m_server.receipts();
    EXPECT_EQ(std::set<std::uint64_t>(receipts.begin(), receipts.end()), (std::set<std::uint64_t>{71, 72}));
}

TEST_F(PushedMessages, SurviveServerRestartsOnTheVirtualClock) {
    startLoggedIn();
    std::uint64_t next = 1;
    constexpr int kRounds = 100;
    constexpr int kPerRound = 20;
    for (int round = 0; round < kRounds; ++round) {
        for (int i = 0; i < kPerRound; ++i, ++next)
            m_server.pushMessage(1, next, "{\"message\":\"" + std::to_string(next) + "\"}");
        // Some restarts come while messages and receipts are on their way, some after all arrived.
        if (round % 3 == 0) {
            ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0; }));
        } else if (round % 3 == 1) {
            ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.receipts().size() >= next - 1 - kPerRound / 2; }));
        }
        m_server.restart(round % 2 == 1);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return !m_session->isSetup(); })) << round;
        m_clock.advance(2.0);
        ASSERT_TRUE(waitLoggedIn()) << round;
        // A session that lasted: the next reconnection comes after 2 s again.
        m_clock.advance(push::PULSESessionController::kLastingSessionSeconds);
    }
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_server.heldMessages() == 0; }));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return m_listener.infos.size() >= kRounds * kPerRound; }));
    const auto seen = deliveries();
    EXPECT_EQ(seen.size(), std::size_t(kRounds * kPerRound));
    for (const auto& [content, count] : seen)
        EXPECT_EQ(count, 1) << content;
    std::set<std::uint64_t> acknowledged;
    for (auto id : m_server.receipts())
        acknowledged.insert(id);
    EXPECT_EQ(acknowledged.size(), std::size_t(kRounds * kPerRound));
}

} // namespace
