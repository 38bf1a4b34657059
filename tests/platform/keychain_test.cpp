#include "platform/Keychain.h"

#include "platform/VirtualClock.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

using namespace platform;

namespace {

Bytes bytesOf(const std::string& s) { return Bytes(s.begin(), s.end()); }

class KeychainTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/hyb-keychain-XXXXXX";
        m_dir = mkdtemp(pattern);
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

TEST_F(KeychainTest, DamagedFileAnswersDecodeAndIsNeverOverwritten) {
    std::filesystem::create_directories(m_dir + "/Library/Keychains");
    std::ofstream(m_path) << "not a property list";
    Keychain keychain(m_path);
    Value r;
    EXPECT_EQ(keychain.copyMatching(with(base("a"), kSecReturnData, true), &r), errSecDecode);
    EXPECT_EQ(keychain.add(with(base("a"), kSecValueData, bytesOf("1"))), errSecDecode);
    std::ifstream in(m_path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text, "not a property list");
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
