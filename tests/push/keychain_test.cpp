#include "PushTest.h"

#include "push/PULSEKeychain.h"

#include "platform/files/FileManager.h"
#include "platform/formats/KeyedArchiver.h"
#include "platform/formats/PropertyList.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace push;
using platform::ArchiveValue;
using platform::Bytes;

namespace {

class Keychain : public pushtest::PushTest {
protected:
    PULSEKeychain m_keychain{"org.test.app", "", 4};

    // The item as the platform's keychain holds it.
    platform::Dictionary item(const std::string& key) {
        platform::Dictionary query = m_keychain.itemQuery(key);
        query.set(platform::kSecReturnData, true);
        query.set(platform::kSecReturnAttributes, true);
        platform::Value result;
        EXPECT_EQ(platform::Keychain::shared().copyMatching(query, &result), platform::errSecSuccess);
        return result.dictionaryOrEmpty();
    }
    static Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }
    bool loggedStartingWith(const std::string& prefix) const {
        auto lines = logLines();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    }
};

} // namespace

TEST_F(Keychain, APlainTextIsStoredAsItsBytes) {
    EXPECT_TRUE(m_keychain.setObject("héllo", "k"));
    EXPECT_EQ(m_keychain.objectForKey("k"), ArchiveValue("héllo"));
    EXPECT_EQ(m_keychain.dataForKey("k"), bytes("héllo"));
    EXPECT_EQ(item("k")[platform::kSecAttrAccessible], platform::Value(platform::kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly));
    // A second store updates the item.
    EXPECT_TRUE(m_keychain.setObject("again", "k"));
    EXPECT_EQ(m_keychain.objectForKey("k"), ArchiveValue("again"));
    EXPECT_TRUE(logLines().empty());
}

TEST_F(Keychain, PropertyListValuesComeBackEqual) {
    platform::Dictionary dictionary{{"name", "x"}, {"count", 3}, {"ratio", 0.5}};
    EXPECT_TRUE(m_keychain.setObject(platform::Value(dictionary), "dict"));
    EXPECT_EQ(m_keychain.objectForKey("dict"), ArchiveValue(platform::Value(dictionary)));
    EXPECT_TRUE(m_keychain.setObject(42, "n"));
    EXPECT_EQ(m_keychain.objectForKey("n"), ArchiveValue(42));
    // A text whose bytes are a binary property list is never stored as those bytes (they would read back
    // as the list): it goes as a property list of the text, or, where the property list cannot hold the
    // text (NUL bytes), not at all.
    const std::string tricky = *platform::PropertyList::write(platform::Value(7), platform::PropertyList::Format::Binary);
    ASSERT_TRUE(m_keychain.setObject("before", "tricky"));
    (void)m_keychain.setObject(tricky, "tricky");
    EXPECT_NE(m_keychain.dataForKey("tricky"), bytes(tricky));
    const ArchiveValue back = m_keychain.objectForKey("tricky");
    EXPECT_TRUE(back.isNull() || back == ArchiveValue(tricky));
}

TEST_F(Keychain, AValueThatIsNotAPropertyListDeletesTheItem) {
    ASSERT_TRUE(m_keychain.setObject("v", "k"));
    EXPECT_TRUE(m_keychain.setObject(platform::ArchiveSet{1}, "k"));
    EXPECT_FALSE(m_keychain.dataForKey("k").has_value());
    EXPECT_TRUE(m_keychain.objectForKey("k").isNull());
}

TEST_F(Keychain, RemovingAMissingKeyAnswersFalseWithTheDeleteLine) {
    EXPECT_FALSE(m_keychain.removeObjectForKey("missing"));
    EXPECT_TRUE(logLines() == std::vector<std::string>{"PULSEKeychain failed to delete data for key 'missing', error: -25300"});
    EXPECT_TRUE(m_keychain.objectForKey("missing").isNull()); // reading a missing key logs nothing
    EXPECT_EQ(logLines().size(), 1u);
}

TEST_F(Keychain, TheQueryLeavesOutAnEmptyServiceAndGroup) {
    PULSEKeychain bare("", "", 0);
    EXPECT_EQ(bare.itemQuery("k"), (platform::Dictionary{{platform::kSecClass, platform::kSecClassGenericPassword},
                                                         {platform::kSecAttrAccount, "k"}}));
    PULSEKeychain grouped("svc", "grp", 5);
    EXPECT_EQ(grouped.itemQuery("k")[platform::kSecAttrAccessGroup], platform::Value("grp"));
    EXPECT_TRUE(grouped.setObject("v", "k"));
    EXPECT_EQ(grouped.objectForKey("k"), ArchiveValue("v"));
    EXPECT_TRUE(m_keychain.objectForKey("k").isNull()); // another service
}

TEST_F(Keychain, DataThatDoesNotDecodeGivesNothingWithTheDecodeLine) {
    // Bytes that are neither a binary property list nor UTF-8.
    platform::Dictionary attributes = m_keychain.itemQuery("raw");
    attributes.set(platform::kSecValueData, Bytes{0xff, 0xfe});
    ASSERT_EQ(platform::Keychain::shared().add(attributes), platform::errSecSuccess);
    EXPECT_TRUE(m_keychain.objectForKey("raw").isNull());
    EXPECT_TRUE(loggedStartingWith("PULSEKeychain failed to decode data for key 'raw', error: "));

    // A keyed archive is not decoded here.
    attributes = m_keychain.itemQuery("archive");
    attributes.set(platform::kSecValueData, platform::KeyedArchiver::archivedData(ArchiveValue(1)).value());
    ASSERT_EQ(platform::Keychain::shared().add(attributes), platform::errSecSuccess);
    EXPECT_TRUE(m_keychain.objectForKey("archive").isNull());
    EXPECT_TRUE(loggedStartingWith("PULSEKeychain failed to decode data for key 'archive'"));
}

// A damaged keychain file loses what it held but does not stop the store: the next change replaces it,
// the damaged file kept aside.
TEST_F(Keychain, ADamagedKeychainFileIsSetAsideNotCrashedOn) {
    const std::string path = platform::Keychain::shared().filePath();
    auto& files = platform::FileManager::defaultManager();
    ASSERT_TRUE(files.createDirectory(platform::deletingLastPathComponent(path)).ok());
    ASSERT_TRUE(files.writeAtomically(path, Bytes{'b', 'a', 'd'}).ok());
    EXPECT_FALSE(m_keychain.dataForKey("k").has_value());
    EXPECT_TRUE(m_keychain.setObject("v", "k"));
    EXPECT_EQ(m_keychain.objectForKey("k"), platform::Value("v"));
    EXPECT_EQ(files.contentsOfFile(path + ".damaged").value(), (Bytes{'b', 'a', 'd'}));
}

TEST_F(Keychain, AnAccessibilityCodeOutsideTheTableFailsTheStore) {
    PULSEKeychain odd("svc", "", 6);
    EXPECT_FALSE(odd.setObject("v", "k"));
    EXPECT_TRUE(loggedStartingWith("PULSEKeychain failed to store data for key 'k', error: -50"));
}
