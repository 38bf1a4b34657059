#include "StatsTest.h"

#include "stats/MXStatKeyChain.h"
#include "stats/MXStatPasteboard.h"

#include "platform/system/Keychain.h"

#include "support/HostilePropertyLists.h"

using namespace stats;
using namespace statstest;

namespace {

using KeyChainTest = StatsTest;

TEST_F(KeyChainTest, ItemsKeepTheirValueUnderServiceAndAccount) {
    EXPECT_EQ(MXStatKeyChain::load("MST.EventIndex.Key"), std::nullopt);
    ASSERT_TRUE(MXStatKeyChain::save("MST.EventIndex.Key", 41));
    ASSERT_TRUE(MXStatKeyChain::save("MST.EventIndex.Key", 42)); // replaces
    EXPECT_EQ(MXStatKeyChain::load("MST.EventIndex.Key"), std::optional<platform::Value>(42));

    platform::Dictionary query{{platform::kSecClass, platform::kSecClassGenericPassword},
                               {platform::kSecAttrService, "MST.EventIndex.Key"},
                               {platform::kSecAttrAccount, "MST.EventIndex.Key"},
                               {platform::kSecReturnAttributes, true}};
    platform::Value attributes;
    ASSERT_EQ(platform::Keychain::shared().copyMatching(query, &attributes), platform::errSecSuccess);
    EXPECT_EQ(attributes[platform::kSecAttrAccessible], platform::Value("ck"));

    MXStatKeyChain::deleteItem("MST.EventIndex.Key");
    EXPECT_EQ(MXStatKeyChain::load("MST.EventIndex.Key"), std::nullopt);
}

TEST_F(KeyChainTest, AnUnreadableArchiveIsLoggedAndReadsAsAbsent) {
    platform::Dictionary item = MXStatKeyChain::getKeychainQuery("MST.EventIndex.Key");
    item.set(platform::kSecValueData, platform::Bytes{'b', 'p', 'l', 'i', 's', 't', '0', '0', 0xff, 0x01});
    ASSERT_EQ(platform::Keychain::shared().add(item), platform::errSecSuccess);
    EXPECT_EQ(MXStatKeyChain::load("MST.EventIndex.Key"), std::nullopt);
    EXPECT_TRUE(m_log.contains("Unarchive of MST.EventIndex.Key failed: "));

    // A value of another kind comes back as it is: the reader decides (an index must be a number).
    ASSERT_TRUE(MXStatKeyChain::save("MST.EventIndex.Key", "forty-one"));
    auto loaded = MXStatKeyChain::load("MST.EventIndex.Key");
    ASSERT_TRUE(loaded);
    EXPECT_EQ(loaded->getInteger(), nullptr);
}

TEST_F(KeyChainTest, HostileListsInTheItemAreRefusedOnASmallStack) {
    for (const std::string& hostile : hybtest::hostilePropertyLists()) {
        MXStatKeyChain::deleteItem("MST.EventIndex.Key");
        platform::Dictionary item = MXStatKeyChain::getKeychainQuery("MST.EventIndex.Key");
        item.set(platform::kSecValueData, platform::Bytes(hostile.begin(), hostile.end()));
        const platform::OSStatus added = platform::Keychain::shared().add(item);
        if (added == platform::errSecItemTooLarge)
            continue;  // never stored, so never read
        ASSERT_EQ(added, platform::errSecSuccess);
        std::optional<platform::Value> loaded = platform::Value(1);
        ASSERT_TRUE(hybtest::runOnSmallStack([&] { loaded = MXStatKeyChain::load("MST.EventIndex.Key"); }));
        EXPECT_EQ(loaded, std::nullopt);
    }
}

TEST_F(KeyChainTest, WhatAPropertyListCannotHoldIsRefusedAndTheOldItemKept) {
    ASSERT_TRUE(MXStatKeyChain::save("key", "old"));
    EXPECT_FALSE(MXStatKeyChain::save("key", platform::Value()));
    EXPECT_EQ(MXStatKeyChain::load("key"), std::optional<platform::Value>("old"));
}

using CompanyPasteboardTest = StatsTest;

TEST_F(CompanyPasteboardTest, TextsLiveOnThePersistentCompanyPasteboard) {
    EXPECT_EQ(MXStatPasteboard::get("xgDeviceToken"), std::nullopt);
    ASSERT_TRUE(MXStatPasteboard::set("xgDeviceToken", "token-1"));
    EXPECT_EQ(MXStatPasteboard::get("xgDeviceToken"), std::optional<std::string>("token-1"));
    auto board = platform::Pasteboard::withName("org.example", false);
    ASSERT_NE(board, nullptr);
    EXPECT_TRUE(board->isPersistent());

    ASSERT_TRUE(board->setData(platform::Bytes{0xff, 0xfe, 0x41}, "xgDeviceToken"));
    EXPECT_EQ(MXStatPasteboard::get("xgDeviceToken"), std::nullopt);

    // Texts are bounded: one byte more than the bound reads as nothing.
    const std::string longest(MXStatPasteboard::kMaxValueBytes, 't');
    ASSERT_TRUE(MXStatPasteboard::set("xgDeviceToken", longest));
    EXPECT_EQ(MXStatPasteboard::get("xgDeviceToken"), std::optional<std::string>(longest));
    ASSERT_TRUE(MXStatPasteboard::set("xgDeviceToken", longest + "t"));
    EXPECT_EQ(MXStatPasteboard::get("xgDeviceToken"), std::nullopt);
}

} // namespace
