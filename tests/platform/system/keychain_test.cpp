#include "platform/system/Keychain.h"

#include "platform/files/StorePlace.h"
#include "platform/formats/PropertyList.h"
#include "platform/runloop/VirtualClock.h"
#include "support/HostilePropertyLists.h"
#include "support/PrivateEnvironment.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>

#include <filesystem>
#include <future>
#include <fstream>
#include <functional>
#include <memory>

using namespace platform;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

std::string fileText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}
void writeText(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary | std::ios::trunc) << text; }

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = hybtest::makeTemporaryFolder("hyb-keychain");
        ASSERT_FALSE(m_dir.empty());
        m_path = m_dir + "/Library/Keychains/keychain.plist";
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    // The attributes the keychain plug-in uses for one key.
    static Dictionary base(const std::string& account) {
        return Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, account},
                          {kSecAttrService, "svc"}, {kSecAttrSynchronizable, true}};
    }
    static Dictionary with(Dictionary d, const std::string& key, Value v) {
        d.set(key, std::move(v));
        return d;
    }

    std::string m_dir;
    std::string m_path;
};

} // namespace

TEST_F(KeychainTest, ItemsSurviveAReloadAndAbsentOnesAreNotFound) {
    {
        Keychain keychain(m_path);
        Value none;
        EXPECT_EQ(keychain.copyMatching(with(base("token"), kSecReturnData, true), &none), errSecItemNotFound);
        Dictionary item = with(with(base("token"), kSecAttrLabel, "svc"), kSecValueData, bytesOf("s3cret"));
        EXPECT_EQ(keychain.add(item), errSecSuccess);
        EXPECT_EQ(keychain.add(item), errSecDuplicateItem);
    }
    Keychain reloaded(m_path);
    Value data;
    ASSERT_EQ(reloaded.copyMatching(with(base("token"), kSecReturnData, true), &data), errSecSuccess);
    EXPECT_EQ(data, Value(bytesOf("s3cret")));

    Value attributes;
    ASSERT_EQ(reloaded.copyMatching(with(base("token"), kSecReturnAttributes, true), &attributes), errSecSuccess);
    EXPECT_EQ(attributes[kSecAttrLabel], Value("svc"));
    EXPECT_EQ(attributes[kSecAttrSynchronizable], Value(true));
    EXPECT_TRUE(attributes[kSecAttrCreationDate].isDate());
    EXPECT_TRUE(attributes[kSecValueData].isNull()) << "attributes alone carry no data";

    Value other;
    EXPECT_EQ(reloaded.copyMatching(with(base("other"), kSecReturnData, true), &other), errSecItemNotFound);
    EXPECT_TRUE(other.isNull());

    struct stat st {};
    ASSERT_EQ(::stat(m_path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Items holding the same text share it in the item file, which then expands far past four times its
    // size when read: they survive a reload all the same.
    const std::string shared(200 * 1024, 'v');
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(reloaded.add(with(base("same" + std::to_string(i)), kSecAttrComment, shared)), errSecSuccess) << i;
    EXPECT_LT(std::filesystem::file_size(m_path), 30u * shared.size() / 8) << "the text is shared";
    Keychain again(m_path);
    for (int i = 0; i < 30; ++i) {
        ASSERT_EQ(again.copyMatching(with(base("same" + std::to_string(i)), kSecReturnAttributes, true), &attributes), errSecSuccess) << i;
        EXPECT_EQ(attributes[kSecAttrComment], Value(shared)) << i;
    }

    // A keychain of many small items holds more values than a list from another application may: it is
    // read whole all the same.
    Array many;
    for (int i = 0; i < 30000; ++i)
        many.push_back(base("small" + std::to_string(i)));
    auto file = PropertyList::write(Dictionary{{"version", 1}, {"generation", 1}, {"items", std::move(many)}}, PropertyList::Format::Binary,
                                    Keychain::kFileExpansion);
    ASSERT_TRUE(file.ok()) << file.error().localizedDescription();
    writeText(m_path, *file);
    Value all;
    ASSERT_EQ(Keychain(m_path).copyMatching(with(base("small0"), kSecMatchLimit, kSecMatchLimitAll), &all), errSecSuccess);
    for (const char* account : {"small0", "small29999"})
        EXPECT_EQ(Keychain(m_path).copyMatching(with(base(account), kSecReturnAttributes, true), &attributes), errSecSuccess) << account;
    Dictionary everything = base("small0");
    everything.remove(kSecAttrAccount);
    ASSERT_EQ(Keychain(m_path).copyMatching(with(with(everything, kSecMatchLimit, kSecMatchLimitAll), kSecReturnAttributes, true), &all), errSecSuccess);
    EXPECT_EQ(all.arrayOrEmpty().size(), 30000u);
    // A small file that expands to as many nodes through shared arrays (which the writer never shares)
    // does not decode.
    std::string item = "\xD3";
    for (std::uint32_t ref : {4, 5, 6, 7, 8, 9})
        hybtest::appendBigEndian(item, ref, 4);
    std::vector<std::string> objects{"\xD1" + std::string("\0\0\0\x01\0\0\0\x02", 8), "\x55items", hybtest::arrayObject({3}), item,
                                     "\x54svce", "\x54sync", "\x54gena", "\x53svc", "\x09"};
    for (std::uint32_t level = 9; level < 29; ++level) // 2^21 nodes from 300 bytes
        objects.push_back(hybtest::arrayObject({level + 1, level + 1}));
    objects.push_back("\x09");
    writeText(m_path, hybtest::binaryList(objects));
    EXPECT_EQ(Keychain(m_path).copyMatching(with(everything, kSecMatchLimit, kSecMatchLimitAll), &all), errSecItemNotFound);
}

TEST_F(KeychainTest, UpdateAndDeleteMatchByAttributes) {
    Keychain keychain(m_path);
    ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    ASSERT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("2"))), errSecSuccess);

    EXPECT_EQ(keychain.update(with(base("a"), kSecAttrLabel, "svc"), Dictionary{{kSecValueData, bytesOf("x")}}), errSecItemNotFound)
        << "the label must match too";
    EXPECT_EQ(keychain.update(base("a"), Dictionary{{kSecValueData, bytesOf("one")}}), errSecSuccess);
    Value data;
    ASSERT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &data), errSecSuccess);
    EXPECT_EQ(data, Value(bytesOf("one")));

    EXPECT_EQ(keychain.update(base("a"), Dictionary{{kSecAttrAccount, "b"}}), errSecDuplicateItem);
    EXPECT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &data), errSecSuccess) << "a refused update changes nothing";
    // Changed items against each other: both renamed to one account is refused, a label for both is not.
    Dictionary bothOfThem = base("a");
    bothOfThem.remove(kSecAttrAccount);
    EXPECT_EQ(keychain.update(bothOfThem, Dictionary{{kSecAttrAccount, "same"}}), errSecDuplicateItem);
    EXPECT_EQ(keychain.update(bothOfThem, Dictionary{{kSecAttrLabel, "both"}}), errSecSuccess);
    EXPECT_EQ(keychain.update(bothOfThem, Dictionary{{kSecAttrSynchronizable, false}}), errSecSuccess);
    EXPECT_EQ(keychain.add(base("a")), errSecSuccess) << "not synchronizable any more: another identity";
    EXPECT_EQ(keychain.update(with(base("a"), kSecAttrSynchronizable, false), Dictionary{{kSecAttrSynchronizable, true}}), errSecDuplicateItem);
    EXPECT_EQ(keychain.deleteItems(base("a")), errSecSuccess);
    EXPECT_EQ(keychain.update(with(bothOfThem, kSecAttrSynchronizable, false), Dictionary{{kSecAttrSynchronizable, true}}), errSecSuccess);

    // The keychain plug-in deletes with kSecReturnAttributes in the query.
    EXPECT_EQ(keychain.deleteItems(with(base("a"), kSecReturnAttributes, true)), errSecSuccess);
    EXPECT_EQ(keychain.deleteItems(base("a")), errSecItemNotFound);

    Value all;
    Dictionary everything{{kSecClass, kSecClassGenericPassword}, {kSecAttrSynchronizable, kSecAttrSynchronizableAny},
                          {kSecReturnAttributes, true}, {kSecMatchLimit, kSecMatchLimitAll}};
    ASSERT_EQ(keychain.copyMatching(everything, &all), errSecSuccess);
    ASSERT_EQ(all.arrayOrEmpty().size(), 1u);
    EXPECT_EQ(all[0][kSecAttrAccount], Value("b"));
}

TEST_F(KeychainTest, DatesFollowThePlatformClock) {
    VirtualClock clock;
    clock.install();
    const Date added = clock.wallNow();
    Keychain keychain(m_path);
    ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    clock.advance(60);
    ASSERT_EQ(keychain.update(base("a"), Dictionary{{kSecValueData, bytesOf("2")}}), errSecSuccess);
    Value attributes;
    ASSERT_EQ(keychain.copyMatching(with(base("a"), kSecReturnAttributes, true), &attributes), errSecSuccess);
    ASSERT_TRUE(attributes[kSecAttrCreationDate].isDate());
    ASSERT_TRUE(attributes[kSecAttrModificationDate].isDate());
    EXPECT_DOUBLE_EQ(attributes[kSecAttrCreationDate].getDate()->secondsSince1970, added.secondsSince1970);
    EXPECT_DOUBLE_EQ(attributes[kSecAttrModificationDate].getDate()->secondsSince1970, added.secondsSince1970 + 60);
}

TEST_F(KeychainTest, SynchronizableIsPartOfIdentityAndMatching) {
    Keychain keychain(m_path);
    Dictionary local{{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, "k"}, {kSecAttrService, "svc"}, {kSecValueData, bytesOf("l")}};
    ASSERT_EQ(keychain.add(local), errSecSuccess);
    ASSERT_EQ(keychain.add(with(base("k"), kSecValueData, bytesOf("s"))), errSecSuccess) << "same account and service, other sync flag";
    Value data;
    ASSERT_EQ(keychain.copyMatching(with(base("k"), kSecReturnData, true), &data), errSecSuccess);
    EXPECT_EQ(data, Value(bytesOf("s")));
    Dictionary plainQuery{{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, "k"}, {kSecReturnData, true}};
    ASSERT_EQ(keychain.copyMatching(plainQuery, &data), errSecSuccess);
    EXPECT_EQ(data, Value(bytesOf("l"))) << "a query without the flag sees only items that do not synchronise";
}

TEST_F(KeychainTest, BadParametersAreRefusedAndChangeNothing) {
    Keychain keychain(m_path);
    Value r;
    EXPECT_EQ(keychain.add(Dictionary{{kSecAttrAccount, "x"}}), errSecParam) << "no class";
    EXPECT_EQ(keychain.add(with(base("x"), kSecValueData, "text not bytes")), errSecParam);
    EXPECT_EQ(keychain.add(with(base("x"), "bogus", 1)), errSecParam);
    EXPECT_EQ(keychain.copyMatching(Dictionary{{kSecClass, "inet"}}, &r), errSecUnimplemented);
    EXPECT_EQ(keychain.update(base("x"), Dictionary{{kSecReturnData, true}}), errSecParam);
    EXPECT_FALSE(std::filesystem::exists(m_path)) << "nothing was written";
}

TEST_F(KeychainTest, AnItemFileThatDoesNotDecodeIsCopiedAsideAndReplacedAtTheNextChange) {
    std::filesystem::create_directories(m_dir + "/Library/Keychains");
    std::ofstream(m_path) << "not a property list";
    Keychain keychain(m_path);
    Value r;
    EXPECT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecItemNotFound);
    EXPECT_EQ(fileText(m_path), "not a property list") << "a read changes nothing";
    EXPECT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    EXPECT_EQ(fileText(m_path + ".damaged"), "not a property list");
    Keychain reloaded(m_path);
    ASSERT_EQ(reloaded.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
    EXPECT_EQ(r, Value(bytesOf("1")));
    // Damaged again: the copy before stays beside the new one.
    writeText(m_path, "still not a property list");
    EXPECT_EQ(Keychain(m_path).add(with(base("b"), kSecValueData, bytesOf("2"))), errSecSuccess);
    EXPECT_EQ(fileText(m_path + ".damaged"), "still not a property list");
    EXPECT_EQ(fileText(StorePlace::asideName(m_path, 1)), "not a property list");
}

TEST_F(KeychainTest, ItemsAndTheWholeKeychainAreBounded) {
    Keychain keychain(m_path);
    // The largest value an item of `account` can hold; two attributes more (the dates) are added to
    // what the caller gives.
    auto largest = [](const std::string& account) {
        return Keychain::kMaxItemLength - Keychain::itemLength(with(base(account), kSecValueData, Bytes{})) - 2 * (16 + 4);
    };
    const std::size_t fits = largest("big");
    EXPECT_EQ(keychain.add(with(base("big"), kSecValueData, Bytes(fits + 1, 'x'))), errSecItemTooLarge);
    ASSERT_EQ(keychain.add(with(base("big"), kSecValueData, Bytes(fits, 'x'))), errSecSuccess);
    EXPECT_EQ(keychain.update(base("big"), Dictionary{{kSecValueData, Bytes(fits + 1, 'y')}}), errSecItemTooLarge);
    EXPECT_EQ(keychain.update(base("big"), Dictionary{{kSecAttrLabel, "one byte more"}}), errSecItemTooLarge);

    // Items of nearly the largest size fill the keychain up to its total.
    int added = 1;
    OSStatus status = errSecSuccess;
    for (std::string account = "item1"; (status = keychain.add(with(base(account), kSecValueData, Bytes(largest(account), 'x')))) == errSecSuccess;
         account = "item" + std::to_string(added))
        ++added;
    EXPECT_EQ(status, errSecKeychainFull);
    EXPECT_EQ(added, static_cast<int>(Keychain::kMaxTotalLength / Keychain::kMaxItemLength));
    EXPECT_EQ(keychain.add(with(base("small"), kSecValueData, Bytes(1, 's'))), errSecKeychainFull);
    // A full keychain still shrinks: a smaller value, then a delete make room.
    EXPECT_EQ(keychain.update(base("big"), Dictionary{{kSecValueData, Bytes(10, 'z')}}), errSecSuccess);
    EXPECT_EQ(keychain.add(with(base("small"), kSecValueData, Bytes(1, 's'))), errSecSuccess);
    EXPECT_EQ(keychain.update(base("big"), Dictionary{{kSecValueData, Bytes(fits, 'y')}}), errSecKeychainFull);
    EXPECT_EQ(keychain.deleteItems(base("item1")), errSecSuccess);
    EXPECT_EQ(keychain.add(with(base("again"), kSecValueData, Bytes(largest("again"), 'x'))), errSecSuccess);

    // What was refused changed nothing on disk.
    Keychain reloaded(m_path);
    Value data;
    ASSERT_EQ(reloaded.copyMatching(with(base("big"), kSecReturnData, true), &data), errSecSuccess);
    EXPECT_EQ(data, Value(Bytes(10, 'z')));
    EXPECT_EQ(reloaded.copyMatching(with(base("item1"), kSecReturnData, true), &data), errSecItemNotFound);
}

TEST_F(KeychainTest, ChangesByAnotherKeychainOnTheFileAreSeen) {
    Keychain first(m_path);
    Keychain second(m_path);
    Value data;
    ASSERT_EQ(first.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    ASSERT_EQ(second.copyMatching(with(base("a"), kSecReturnData, true), &data), errSecSuccess);
    // Each keychain now holds the items in memory; a change by one is read again by the other.
    for (int round = 0; round < 20; ++round) {
        Keychain& writer = round % 2 ? first : second;
        Keychain& reader = round % 2 ? second : first;
        const std::string value = std::to_string(round);  // same length as the last value at times
        ASSERT_EQ(writer.update(base("a"), Dictionary{{kSecValueData, bytesOf(value)}}), errSecSuccess);
        ASSERT_EQ(reader.copyMatching(with(base("a"), kSecReturnData, true), &data), errSecSuccess);
        EXPECT_EQ(data, Value(bytesOf(value))) << "round " << round;
    }
    // Identities another keychain made or freed are known to the checks of this one's changes.
    ASSERT_EQ(first.add(base("c")), errSecSuccess);
    ASSERT_EQ(second.add(base("d")), errSecSuccess);
    EXPECT_EQ(first.add(base("d")), errSecDuplicateItem);
    EXPECT_EQ(first.update(base("c"), Dictionary{{kSecAttrAccount, "d"}}), errSecDuplicateItem);
    ASSERT_EQ(second.deleteItems(base("d")), errSecSuccess);
    EXPECT_EQ(first.update(base("c"), Dictionary{{kSecAttrAccount, "d"}}), errSecSuccess);
    EXPECT_EQ(second.add(base("d")), errSecDuplicateItem);
    EXPECT_EQ(second.add(base("c")), errSecSuccess);
    // Many deleted at once (every other one of 40), then made again: the freed identities only.
    for (int i = 0; i < 40; ++i)
        ASSERT_EQ(first.add(with(base("n" + std::to_string(i)), kSecAttrLabel, i % 2 ? "odd" : "even")), errSecSuccess);
    Dictionary evens = with(base("n0"), kSecAttrLabel, "even");
    evens.remove(kSecAttrAccount);
    ASSERT_EQ(first.deleteItems(evens), errSecSuccess);
    for (int i = 0; i < 40; ++i)
        EXPECT_EQ(first.add(base("n" + std::to_string(i))), i % 2 ? errSecDuplicateItem : errSecSuccess) << i;
    EXPECT_EQ(second.add(base("n38")), errSecDuplicateItem);
    ASSERT_EQ(second.deleteItems(base("a")), errSecSuccess);
    EXPECT_EQ(first.copyMatching(with(base("a"), kSecReturnData, true), &data), errSecItemNotFound);
    // The file removed behind its back: an empty keychain, not the items of before.
    ASSERT_EQ(first.add(with(base("b"), kSecValueData, bytesOf("2"))), errSecSuccess);
    ASSERT_EQ(second.copyMatching(with(base("b"), kSecReturnData, true), &data), errSecSuccess);
    std::filesystem::remove(m_path);
    EXPECT_EQ(second.copyMatching(with(base("b"), kSecReturnData, true), &data), errSecItemNotFound);
}

TEST_F(KeychainTest, ChangesAreLoggedBesideTheItemFileAndFoldedIntoIt) {
    const std::string journal = m_path + ".journal";
    auto read = [&](const std::string& account) {
        Keychain fresh(m_path);
        Value data;
        return fresh.copyMatching(with(base(account), kSecReturnData, true), &data) == errSecSuccess ? data : Value("<none>");
    };
    Keychain keychain(m_path);
    ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    EXPECT_TRUE(std::filesystem::exists(m_path)) << "the first change writes the item file";
    EXPECT_FALSE(std::filesystem::exists(journal));
    const std::string itemFile = [&] { std::ifstream in(m_path, std::ios::binary); return std::string(std::istreambuf_iterator<char>(in), {}); }();

    // Small changes go to the log; the item file stays as it was.
    ASSERT_EQ(keychain.update(base("a"), Dictionary{{kSecValueData, bytesOf("2")}}), errSecSuccess);
    ASSERT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("b"))), errSecSuccess);
    ASSERT_EQ(keychain.add(with(base("c"), kSecValueData, bytesOf("c"))), errSecSuccess);
    ASSERT_EQ(keychain.deleteItems(base("b")), errSecSuccess);
    EXPECT_TRUE(std::filesystem::exists(journal));
    std::ifstream in(m_path, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), itemFile);
    struct stat st {};
    ASSERT_EQ(::stat(journal.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(read("a"), Value(bytesOf("2")));
    EXPECT_EQ(read("b"), Value("<none>"));
    EXPECT_EQ(read("c"), Value(bytesOf("c")));

    // A record cut short by a crash ends the log: what came before stands, and the next change follows it.
    const auto whole = std::filesystem::file_size(journal);
    std::ofstream(journal, std::ios::binary | std::ios::app) << std::string("\x40\x00\x00\x00\x12\x34", 6) << "half a record";
    EXPECT_EQ(read("a"), Value(bytesOf("2")));
    Keychain afterCrash(m_path);
    ASSERT_EQ(afterCrash.update(base("c"), Dictionary{{kSecValueData, bytesOf("c2")}}), errSecSuccess);
    EXPECT_GT(std::filesystem::file_size(journal), whole);
    EXPECT_EQ(read("c"), Value(bytesOf("c2")));
    EXPECT_EQ(read("a"), Value(bytesOf("2")));
    const std::string oldLog = [&] { std::ifstream log(journal, std::ios::binary); return std::string(std::istreambuf_iterator<char>(log), {}); }();

    // A log grown past the item file is folded into a new one and removed.
    ASSERT_EQ(afterCrash.update(base("a"), Dictionary{{kSecValueData, Bytes(300 * 1024, 'x')}}), errSecSuccess);
    EXPECT_FALSE(std::filesystem::exists(journal));
    EXPECT_EQ(read("a"), Value(Bytes(300 * 1024, 'x')));
    // A log of the item file before (a crash between the two steps) is left over: never replayed.
    std::ofstream(journal, std::ios::binary) << oldLog;
    EXPECT_EQ(read("a"), Value(Bytes(300 * 1024, 'x')));
    EXPECT_EQ(read("c"), Value(bytesOf("c2")));
    ASSERT_EQ(keychain.add(with(base("d"), kSecValueData, bytesOf("d"))), errSecSuccess) << "the first keychain reads the new files";
    EXPECT_EQ(read("d"), Value(bytesOf("d")));
    EXPECT_EQ(read("a"), Value(Bytes(300 * 1024, 'x')));

    // Many changes in turn (adds, updates, renamings, deletions of one item and of several) read back
    // from the log give the items as the keychain holds them, in its order.
    Dictionary query = base("a");
    query.remove(kSecAttrAccount);
    query.set(kSecMatchLimit, kSecMatchLimitAll);
    query.set(kSecReturnAttributes, true);
    query.set(kSecReturnData, true);
    auto all = [&](Keychain& k) {
        Value out;
        k.copyMatching(query, &out);
        return out;
    };
    std::uint32_t seed = 7;
    for (int i = 0; i < 400; ++i) {
        seed = seed * 1103515245 + 12345;
        const std::string account = "m" + std::to_string((seed >> 8) % 40);
        const Bytes value{static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(i >> 8)};
        Dictionary labelled = base("a");
        labelled.remove(kSecAttrAccount);
        labelled.set(kSecAttrLabel, "doomed");
        switch ((seed >> 16) % 7) {
        case 0:
        case 1: keychain.add(with(base(account), kSecValueData, value)); break;
        case 2: keychain.update(base(account), Dictionary{{kSecValueData, value}}); break;
        case 3: keychain.update(base(account), Dictionary{{kSecAttrAccount, "m" + std::to_string((seed >> 4) % 40)}}); break;
        case 4: keychain.update(base(account), Dictionary{{kSecAttrLabel, "doomed"}}); break;
        case 5: keychain.deleteItems(base(account)); break;
        default: keychain.deleteItems(labelled); break; // several at once
        }
        if (i % 50 == 0 && i > 0) {
            ASSERT_TRUE(std::filesystem::exists(journal));
            Keychain fresh(m_path);
            ASSERT_EQ(all(fresh), all(keychain)) << i;
        }
    }
    for (int k = 0; k < 40; k += 3)
        keychain.deleteItems(base("m" + std::to_string(k)));
    Keychain fresh(m_path);
    EXPECT_EQ(all(fresh), all(keychain));
    EXPECT_GT(all(keychain).arrayOrEmpty().size(), 5u);

}

// What a crash or a full disk can leave in the change log: a header that is none (an empty file
// included), a last record cut short, a record failing its CRC, bytes after the last record. The
// keychain keeps answering with every change before the damage; the next change copies the log aside and
// drops the damage.
TEST_F(KeychainTest, ADamagedChangeLogKeepsTheChangesBeforeTheDamageAndIsCopiedAside) {
    const std::string journal = m_path + ".journal";
    const std::string aside = journal + ".damaged";
    auto value = [&](const std::string& account) {
        Keychain fresh(m_path);
        Value data;
        const OSStatus status = fresh.copyMatching(with(base(account), kSecReturnData, true), &data);
        return status == errSecSuccess ? data : Value(static_cast<std::int64_t>(status));
    };
    // An item file with "a", and a log: add "b", update "a", add "c".
    auto prepare = [&] {
        std::filesystem::remove_all(m_dir + "/Library");
        Keychain keychain(m_path);
        EXPECT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
        EXPECT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("b"))), errSecSuccess);
        EXPECT_EQ(keychain.update(base("a"), Dictionary{{kSecValueData, bytesOf("2")}}), errSecSuccess);
        EXPECT_EQ(keychain.add(with(base("c"), kSecValueData, bytesOf("c"))), errSecSuccess);
        return fileText(journal);
    };
    // Where each record of the log begins.
    auto records = [](const std::string& log) {
        std::vector<std::size_t> starts;
        for (std::size_t at = 16; at + 8 <= log.size();) {
            starts.push_back(at);
            const std::uint32_t length = static_cast<std::uint8_t>(log[at]) | static_cast<std::uint8_t>(log[at + 1]) << 8 |
                                         static_cast<std::uint8_t>(log[at + 2]) << 16 | static_cast<std::uint32_t>(static_cast<std::uint8_t>(log[at + 3])) << 24;
            at += 8 + length;
        }
        return starts;
    };
    const std::string log = prepare();
    const std::vector<std::size_t> starts = records(log);
    ASSERT_EQ(starts.size(), 3u);
    std::string badCrc = log;
    badCrc[starts[1] + 12] ^= 0x20; // inside the update's record
    std::string badLength = log;
    badLength[starts[1] + 3] ^= 0x40; // the update's length runs past the log
    std::string badMagic = log;
    badMagic[0] ^= 0x01;
    std::string badGeneration = log;
    badGeneration[15] ^= 0x40;
    const std::string emptyRecordFirst = log.substr(0, 16) + std::string(8, '\0') + log.substr(16);
    const struct {
        const char* what;
        std::string damaged;
        std::vector<std::string> expected; // of a, b, c
    } cases[] = {
        {"no header", "not a change log at all", {"1", "-25300", "-25300"}},
        {"empty", "", {"1", "-25300", "-25300"}},
        {"header cut", log.substr(0, 10), {"1", "-25300", "-25300"}},
        {"last record cut", log.substr(0, log.size() - 3), {"2", "b", "-25300"}},
        {"bad CRC in the middle", badCrc, {"1", "b", "c"}},
        {"bad length in the middle", badLength, {"1", "b", "c"}},
        {"damaged header", badMagic, {"2", "b", "c"}},
        {"damaged generation", badGeneration, {"2", "b", "c"}},
        {"a record of no bytes first", emptyRecordFirst, {"2", "b", "c"}},
        {"garbage after the records", log + std::string("\x00\xff garbage \x01", 13), {"2", "b", "c"}},
        {"zeros after the records", log + std::string(4096, '\0'), {"2", "b", "c"}},
    };
    auto text = [](const Value& v) { return v.isBytes() ? std::string(v.getBytes()->begin(), v.getBytes()->end()) : std::to_string(*v.getInteger()); };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        prepare();
        writeText(journal, c.damaged);
        EXPECT_EQ(text(value("a")), c.expected[0]);
        EXPECT_EQ(text(value("b")), c.expected[1]);
        EXPECT_EQ(text(value("c")), c.expected[2]);
        EXPECT_EQ(fileText(journal), c.damaged) << "reads leave the files as they are";
        EXPECT_FALSE(std::filesystem::exists(aside));
        // The next change copies the damaged log aside, drops the damage and is read after what stood.
        Keychain keychain(m_path);
        ASSERT_EQ(keychain.add(with(base("d"), kSecValueData, bytesOf("d"))), errSecSuccess);
        EXPECT_EQ(fileText(aside), c.damaged);
        EXPECT_EQ(text(value("a")), c.expected[0]);
        EXPECT_EQ(text(value("b")), c.expected[1]);
        EXPECT_EQ(text(value("c")), c.expected[2]);
        EXPECT_EQ(text(value("d")), "d");
        std::filesystem::remove(aside);
        ASSERT_EQ(keychain.add(with(base("e"), kSecValueData, bytesOf("e"))), errSecSuccess);
        EXPECT_FALSE(std::filesystem::exists(aside)) << "the damage is gone";
    }
    // Fifty-two changes, a byte flipped in the 26th (an add) and in the 50th (a deletion, which moved the
    // items after it): only those two changes are lost, and the deletion and the renaming after them find
    // their items by identity, not by their place.
    {
        std::filesystem::remove_all(m_dir + "/Library");
        Keychain keychain(m_path);
        ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
        for (int k = 1; k <= 49; ++k)
            ASSERT_EQ(keychain.add(with(base("k" + std::to_string(k)), kSecValueData, bytesOf("v"))), errSecSuccess);
        ASSERT_EQ(keychain.deleteItems(base("k10")), errSecSuccess);
        ASSERT_EQ(keychain.deleteItems(base("k20")), errSecSuccess);
        ASSERT_EQ(keychain.update(base("k30"), Dictionary{{kSecAttrAccount, "k30b"}}), errSecSuccess);
    }
    std::string many = fileText(journal);
    const std::vector<std::size_t> manyStarts = records(many);
    ASSERT_EQ(manyStarts.size(), 52u);
    many[manyStarts[25] + 20] ^= 0x01;
    many[manyStarts[49] + 20] ^= 0x01;
    writeText(journal, many);
    for (int k = 1; k <= 49; ++k) {
        const bool present = k != 26 && k != 20 && k != 30;
        EXPECT_EQ(text(value("k" + std::to_string(k))), present ? "v" : "-25300") << k;
    }
    Keychain afterDamage(m_path);
    ASSERT_EQ(afterDamage.add(with(base("z"), kSecValueData, bytesOf("z"))), errSecSuccess);
    EXPECT_EQ(fileText(aside), many);
    EXPECT_EQ(text(value("k21")), "v");
    EXPECT_EQ(text(value("k20")), "-25300");
    EXPECT_EQ(text(value("k30b")), "v");
    EXPECT_EQ(text(value("z")), "z");
    std::filesystem::remove(aside);

    // A log of these changes after an item file of this generation.
    auto logOf = [](std::uint8_t generation, const std::vector<Dictionary>& changes) {
        std::string out("HKCJRNL1", 8);
        out += static_cast<char>(generation);
        out += std::string(7, '\0');
        for (const Dictionary& change : changes) {
            // Written as the keychain writes its records: shared as far as its own floor lets them expand.
            auto record = PropertyList::write(change, PropertyList::Format::Binary, PropertyList::Expansion{Keychain::kMaxFileLength});
            EXPECT_TRUE(record.ok());
            const auto crc = static_cast<std::uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(record->data()), static_cast<uInt>(record->size())));
            for (std::uint32_t field : {static_cast<std::uint32_t>(record->size()), crc})
                for (int b = 0; b < 4; ++b)
                    out += static_cast<char>((field >> (8 * b)) & 0xff);
            out += *record;
        }
        return out;
    };
    // Records of an earlier writer name items by their place alone: each finds the item in its place
    // after the deletions before it.
    {
        std::filesystem::remove_all(m_dir + "/Library");
        std::filesystem::create_directories(m_dir + "/Library/Keychains");
        Array five;
        for (const char* account : {"a", "b", "c", "d", "e"})
            five.push_back(with(base(account), kSecValueData, bytesOf(account)));
        auto file = PropertyList::write(Dictionary{{"version", 1}, {"generation", 1}, {"items", std::move(five)}}, PropertyList::Format::Binary);
        ASSERT_TRUE(file.ok());
        writeText(m_path, *file);
        writeText(journal, logOf(1, {Dictionary{{"delete", Array{1}}},                                                     // b
                                     Dictionary{{"update", Array{Array{2, with(base("d"), kSecValueData, bytesOf("d2"))}}}}, // d
                                     Dictionary{{"delete", Array{0, 2}}},                                                  // a, d
                                     Dictionary{{"update", Array{Array{1, with(base("e"), kSecValueData, bytesOf("e2"))}}}}, // e
                                     Dictionary{{"add", with(base("f"), kSecValueData, bytesOf("f"))}},
                                     Dictionary{{"delete", Array{0}}}}));                                                  // c
        for (const auto& [account, expected] : {std::pair{"a", "-25300"}, {"b", "-25300"}, {"c", "-25300"}, {"d", "-25300"}, {"e", "e2"}, {"f", "f"}})
            EXPECT_EQ(text(value(account)), expected) << account;
    }

    // Records share what they may expand to: each of a hundred small records below expands to a megabyte
    // (a text shared 256 times), and past the keychain's own floor of 64 MiB for the whole log the rest
    // are damage, whose items are not read (a 64 MiB log of them would be gigabytes).
    {
        std::filesystem::remove_all(m_dir + "/Library");
        std::filesystem::create_directories(m_dir + "/Library/Keychains");
        std::vector<Dictionary> adds;
        for (int r = 0; r < 100; ++r) {
            Dictionary item = base("x" + std::to_string(r));
            item.set(kSecAttrGeneric, Array(256, Value(std::string(4096, 'g'))));
            adds.push_back(Dictionary{{"add", std::move(item)}});
        }
        const std::string expanding = logOf(0, adds); // of generation 0: beside no item file
        ASSERT_LT(expanding.size(), 100u * 8 * 1024) << "the text is shared";
        writeText(journal, expanding);
        Keychain reader(m_path);
        int read = 0;
        for (int r = 0; r < 100; ++r)
            read += reader.copyMatching(base("x" + std::to_string(r)), nullptr) == errSecSuccess;
        EXPECT_GT(read, 50);
        EXPECT_LT(read, 70);
        Keychain afterExpansion(m_path);
        ASSERT_EQ(afterExpansion.add(with(base("y"), kSecValueData, bytesOf("y"))), errSecSuccess);
        EXPECT_EQ(fileText(aside), expanding);
        EXPECT_EQ(text(value("y")), "y");
        std::filesystem::remove(aside);
    }

    // The copy aside is whole, however long the damaged file (it is bounded by what is read at all).
    prepare();
    writeText(journal, std::string(5 * 1024 * 1024, 'x'));
    Keychain keychain(m_path);
    ASSERT_EQ(keychain.add(with(base("d"), kSecValueData, bytesOf("d"))), errSecSuccess);
    EXPECT_EQ(std::filesystem::file_size(aside), 5u * 1024 * 1024);
}

// A damaged file whose copy aside cannot be made (every copy's place taken, the oldest by a folder that
// cannot be removed: a file in it made immutable) is not dropped: the change answers errSecIO and the
// files stay as they were, readable as before, until the copy can be made.
TEST_F(KeychainTest, ADamagedFileWhoseCopyCannotBeMadeIsNotDropped) {
    using hybtest::setImmutable;
    const std::string journal = m_path + ".journal";
    auto prepare = [&] {
        std::filesystem::remove_all(m_dir + "/Library");
        Keychain keychain(m_path);
        EXPECT_EQ(keychain.add(with(base("old"), kSecValueData, bytesOf("o"))), errSecSuccess);
        EXPECT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    };
    for (const bool itemFile : {true, false}) {
        SCOPED_TRACE(itemFile ? "item file" : "change log");
        prepare();
        const std::string damagedPath = itemFile ? m_path : journal;
        const std::string damaged = itemFile ? fileText(m_path).substr(0, 20) : fileText(journal) + "torn";
        writeText(damagedPath, damaged);
        const std::string log = fileText(journal);
        for (unsigned age = 0; age + 1 < StorePlace::kKeptAsides; ++age)
            writeText(StorePlace::asideName(damagedPath, age), "earlier " + std::to_string(age));
        const std::string oldest = StorePlace::asideName(damagedPath, StorePlace::kKeptAsides - 1);
        std::filesystem::create_directories(oldest + "/in-the-way");
        writeText(oldest + "/in-the-way/held", "held");
        if (!setImmutable(oldest + "/in-the-way/held", true))
            GTEST_SKIP() << "no immutable files here";
        const std::shared_ptr<void> mutableAgain(nullptr, [&](void*) { setImmutable(oldest + "/in-the-way/held", false); });
        Keychain keychain(m_path);
        EXPECT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("b"))), errSecIO);
        EXPECT_EQ(keychain.deleteItems(base("a")), errSecIO);
        EXPECT_EQ(fileText(damagedPath), damaged) << "the damage is kept";
        EXPECT_EQ(fileText(journal), log);
        Value r;
        ASSERT_EQ(Keychain(m_path).copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(r, Value(bytesOf("1")));
        EXPECT_EQ(Keychain(m_path).copyMatching(with(base("old"), kSecReturnData, true), &r), itemFile ? errSecItemNotFound : errSecSuccess);
        ASSERT_TRUE(setImmutable(oldest + "/in-the-way/held", false));
        ASSERT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("b"))), errSecSuccess);
        EXPECT_EQ(fileText(damagedPath + ".damaged"), damaged);
        for (unsigned age = 1; age < StorePlace::kKeptAsides; ++age)
            EXPECT_EQ(fileText(StorePlace::asideName(damagedPath, age)), "earlier " + std::to_string(age - 1)) << "kept";
        ASSERT_EQ(Keychain(m_path).copyMatching(with(base("b"), kSecReturnData, true), &r), errSecSuccess);
    }
}

// An item file that does not decode (a crash before its bytes reached the disk) loses only what it
// held: the items the change log carries whole stay readable, and the next change writes them into a new
// item file (the damaged one copied aside).
TEST_F(KeychainTest, AnItemFileThatDoesNotDecodeKeepsTheItemsOfTheChangeLog) {
    const std::string journal = m_path + ".journal";
    // The item file holds "old"; the log adds "a" and "b" and updates "a".
    auto prepare = [&] {
        std::filesystem::remove_all(m_dir + "/Library");
        Keychain keychain(m_path);
        EXPECT_EQ(keychain.add(with(base("old"), kSecValueData, bytesOf("o"))), errSecSuccess);
        EXPECT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
        EXPECT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("b"))), errSecSuccess);
        EXPECT_EQ(keychain.update(base("a"), Dictionary{{kSecValueData, bytesOf("2")}}), errSecSuccess);
        EXPECT_TRUE(std::filesystem::exists(journal));
        return fileText(m_path);
    };
    const std::string itemFile = prepare();
    for (const std::string& damaged : {std::string(), std::string(itemFile.size(), '\0'), itemFile.substr(0, itemFile.size() / 2)}) {
        SCOPED_TRACE(damaged.size());
        prepare();
        const std::string log = fileText(journal);
        writeText(m_path, damaged);
        Keychain keychain(m_path);
        Value r;
        ASSERT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(r, Value(bytesOf("2")));
        ASSERT_EQ(keychain.copyMatching(with(base("b"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(r, Value(bytesOf("b")));
        EXPECT_EQ(keychain.copyMatching(with(base("old"), kSecReturnData, true), &r), errSecItemNotFound) << "only in the lost file";
        EXPECT_EQ(fileText(m_path), damaged);
        ASSERT_EQ(keychain.add(with(base("old"), kSecValueData, bytesOf("new"))), errSecSuccess);
        EXPECT_EQ(fileText(m_path + ".damaged"), damaged);
        EXPECT_EQ(fileText(journal + ".damaged"), log);
        EXPECT_FALSE(std::filesystem::exists(journal)) << "folded into the new item file";
        Keychain reloaded(m_path);
        for (const auto& [account, expected] : {std::pair{"a", "2"}, {"b", "b"}, {"old", "new"}}) {
            ASSERT_EQ(reloaded.copyMatching(with(base(account), kSecReturnData, true), &r), errSecSuccess) << account;
            EXPECT_EQ(r, Value(bytesOf(expected))) << account;
        }
        ASSERT_EQ(reloaded.deleteItems(base("b")), errSecSuccess);
        EXPECT_TRUE(std::filesystem::exists(journal)) << "changes go to a log again";
        EXPECT_EQ(Keychain(m_path).copyMatching(with(base("b"), kSecReturnData, true), &r), errSecItemNotFound);
    }
}

TEST_F(KeychainTest, AFileThatIsNoRegularFileOrTooLargeIsNotReadButMovedAside) {
    // Something else at the item file's place, its lock file's or its folder's (a pipe that would hold the
    // open, a folder or a socket that would refuse it, a link, a file longer than any keychain this code
    // writes) is neither waited on, followed nor read: it is moved aside whole, and the keychain starts
    // afresh rather than refusing every call for good.
    using std::filesystem::file_type;
    const std::string folder = m_dir + "/Library/Keychains";
    const std::string lock = m_path + ".lock";
    const auto socketAt = [](const std::string& p) {
        const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", p.c_str());
        ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
        ::close(fd);
    };
    const struct Shape {
        const char* name;
        std::string place;
        std::function<void(const std::string&)> make;
        file_type kind;
    } shapes[] = {
        {"pipe", m_path, [](const std::string& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, file_type::fifo},
        {"folder", m_path, [](const std::string& p) { std::filesystem::create_directories(p + "/inside"); }, file_type::directory},
        {"socket", m_path, socketAt, file_type::socket},
        {"link to /dev/zero", m_path, [](const std::string& p) { std::filesystem::create_symlink("/dev/zero", p); }, file_type::symlink},
        {"too large", m_path,
         [](const std::string& p) {
             std::ofstream(p).put('x');
             std::filesystem::resize_file(p, Keychain::kMaxFileLength + 1);
         },
         file_type::regular},
        {"folder at the lock file", lock, [](const std::string& p) { std::filesystem::create_directories(p); }, file_type::directory},
        {"socket at the lock file", lock, socketAt, file_type::socket},
        {"link to /dev/null at the lock file", lock, [](const std::string& p) { std::filesystem::create_symlink("/dev/null", p); },
         file_type::symlink},
        {"file at the folder", folder, [](const std::string& p) { std::ofstream(p) << "not a folder"; }, file_type::regular},
        {"dangling link at the folder", folder, [&](const std::string& p) { std::filesystem::create_symlink(m_dir + "/nowhere", p); },
         file_type::symlink},
    };
    for (const Shape& shape : shapes) {
        SCOPED_TRACE(shape.name);
        std::filesystem::remove_all(m_dir + "/Library");
        std::filesystem::create_directories(std::filesystem::path(shape.place).parent_path());
        shape.make(shape.place);
        Keychain keychain(m_path);
        Value r;
        EXPECT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecItemNotFound);
        EXPECT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
        EXPECT_EQ(Keychain(m_path).copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(r, Value(bytesOf("1")));
        EXPECT_EQ(std::filesystem::symlink_status(shape.place + ".damaged").type(), shape.kind) << "moved aside whole";
        if (shape.kind == file_type::regular && shape.place == m_path) {
            EXPECT_EQ(std::filesystem::file_size(m_path + ".damaged"), Keychain::kMaxFileLength + 1);
        }
        EXPECT_FALSE(std::filesystem::exists(m_dir + "/nowhere")) << "a link's target is not made";
    }
}

TEST_F(KeychainTest, CopiesLeftHalfWrittenByAKilledProcessAreRemovedWhenTheItemFileIsWrittenAgain) {
    std::filesystem::create_directories(m_dir + "/Library/Keychains");
    const std::vector<std::string> leftOvers{m_path + ".tmp-4242-1234567890", m_path + ".journal.tmp-1-2"};
    const std::vector<std::string> others{m_path + ".tmp-notes", m_path + ".tmp-1-2-3", m_path + ".other.tmp-1-2"};
    for (const std::string& file : leftOvers)
        std::ofstream(file) << std::string(1000, 'x');
    for (const std::string& file : others)
        std::ofstream(file) << "kept";
    Keychain keychain(m_path);
    ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);  // the first item file
    for (const std::string& file : leftOvers)
        EXPECT_FALSE(std::filesystem::exists(file)) << file;
    for (const std::string& file : others)
        EXPECT_TRUE(std::filesystem::exists(file)) << file;
    Value r;
    EXPECT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
}

// Another process holding the item file's lock (stuck, or stopped) makes a call give up, never stall the
// thread that asked; nothing changes, and calls work again once the lock is given back.
TEST_F(KeychainTest, ACallGivesUpOnALockAnotherProcessHolds) {
    Keychain keychain(m_path);
    ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
    const int held = ::open((m_path + ".lock").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX), 0);
    auto change = std::async(std::launch::async, [&] { return keychain.add(with(base("b"), kSecValueData, bytesOf("2"))); });
    // Ample time for any bounded wait; the lock is given back either way, so that the test ends.
    const bool answered = change.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    ::flock(held, LOCK_UN);
    ::close(held);
    EXPECT_TRUE(answered) << "the call waited on the lock for a minute";
    EXPECT_EQ(change.get(), errSecIO);
    Value r;
    EXPECT_EQ(Keychain(m_path).copyMatching(with(base("b"), kSecReturnData, true), &r), errSecItemNotFound);
    ASSERT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("2"))), errSecSuccess);
    EXPECT_EQ(Keychain(m_path).copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
}

TEST_F(KeychainTest, ALinkAtTheChangeLogsPlaceIsNotFollowed) {
    // A log elsewhere, of this very item file, holding an item the keychain never had; or a folder, a
    // pipe or a file too large at the log's place. None is read or waited on: the item file alone is,
    // and the next change moves the thing aside (a link unfollowed) and starts a new log.
    const std::string elsewhere = m_dir + "/elsewhere";
    const std::string journal = m_path + ".journal";
    for (const std::string place : {"link", "folder", "pipe", "too large"}) {
        SCOPED_TRACE(place);
        std::filesystem::remove_all(m_dir + "/Library");
        std::filesystem::remove(elsewhere);
        {
            Keychain keychain(m_path);
            ASSERT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecSuccess);
            ASSERT_EQ(keychain.add(with(base("b"), kSecValueData, bytesOf("2"))), errSecSuccess);
            ASSERT_TRUE(std::filesystem::exists(journal));
            std::filesystem::rename(journal, elsewhere);
        }
        const std::string elsewhereText = fileText(elsewhere);
        if (place == "link")
            std::filesystem::create_symlink(elsewhere, journal);
        else if (place == "folder")
            std::filesystem::create_directories(journal + "/inside");
        else if (place == "pipe")
            ASSERT_EQ(::mkfifo(journal.c_str(), 0600), 0);
        else
            std::filesystem::resize_file((std::filesystem::copy_file(elsewhere, journal), journal), Keychain::kMaxFileLength + 1);
        Keychain keychain(m_path);
        Value r;
        EXPECT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(Keychain(m_path).copyMatching(with(base("b"), kSecReturnData, true), &r), errSecItemNotFound);
        ASSERT_EQ(keychain.add(with(base("c"), kSecValueData, bytesOf("3"))), errSecSuccess);
        EXPECT_EQ(std::filesystem::symlink_status(journal + ".damaged").type(),
                  place == "link"     ? std::filesystem::file_type::symlink
                  : place == "folder" ? std::filesystem::file_type::directory
                  : place == "pipe"   ? std::filesystem::file_type::fifo
                                      : std::filesystem::file_type::regular)
            << "moved aside whole";
        EXPECT_TRUE(std::filesystem::is_regular_file(std::filesystem::symlink_status(journal))) << "a new log";
        EXPECT_EQ(fileText(elsewhere), elsewhereText) << "never followed";
        Keychain reloaded(m_path);
        EXPECT_EQ(reloaded.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(reloaded.copyMatching(with(base("c"), kSecReturnData, true), &r), errSecSuccess);
        EXPECT_EQ(r, Value(bytesOf("3")));
        std::filesystem::remove_all(journal + ".damaged");
    }
}

TEST(SharedKeychain, FollowsTheCurrentAppHome) {
    Dictionary item{{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, "k"}, {kSecAttrService, "s"},
                    {kSecValueData, Bytes{1, 2, 3}}};
    Dictionary query{{kSecClass, kSecClassGenericPassword}, {kSecAttrAccount, "k"}, {kSecReturnData, true}};
    Value data;
    {
        hybtest::TempHome home;
        ASSERT_EQ(Keychain::shared().add(item), errSecSuccess);
        EXPECT_EQ(Keychain::shared().filePath(), home.folders().library() + "/Keychains/keychain.plist");
        EXPECT_TRUE(std::filesystem::exists(Keychain::shared().filePath()));
        ASSERT_EQ(Keychain::shared().copyMatching(query, &data), errSecSuccess);
    }
    hybtest::TempHome other;
    EXPECT_EQ(Keychain::shared().copyMatching(query, &data), errSecItemNotFound) << "another home, another keychain";
}
