// Texts, colours, card numbers, the settings list, the string cipher and the pay mode.
#include "cardpay/core/BCDataContainer.h"
#include "cardpay/core/BCFormat.h"
#include "cardpay/core/BCImageManager.h"
#include "cardpay/core/BCLocale.h"
#include "cardpay/core/BCMPService.h"
#include "cardpay/core/BCPReachability.h"
#include "platform/device/Reachability.h"
#include "platform/files/StorePlace.h"
#include "cardpay/core/BCUtils.h"
#include "platform/application/Application.h"
#include "platform/system/Device.h"
#include "platform/system/Keychain.h"
#include "platform/system/Locale.h"
#include "platform/runloop/VirtualClock.h"
#include "platform/ui/Screen.h"
#include "platform/ui/Toolbar.h"
#include "support/TempHome.h"

#include <gtest/gtest.h>

#include <fstream>

using cardpay::BCUtils;

TEST(CardPayUtils, CheckCardId) {
    EXPECT_TRUE(BCUtils::checkCardId("4111111111111111"));
    EXPECT_FALSE(BCUtils::checkCardId("4111111111111112"));
    EXPECT_FALSE(BCUtils::checkCardId("411111111111"));         // 12 digits
    EXPECT_FALSE(BCUtils::checkCardId("41111111111111111111")); // 20 digits
    EXPECT_TRUE(BCUtils::checkCardId("6222020200112233446"));  // 19 digits, valid
    EXPECT_TRUE(BCUtils::checkCardId("0000000000000"));         // 13 digits, sum 0
    // Letters count as 0: "A" in place of a 0 digit keeps the number valid.
    EXPECT_TRUE(BCUtils::checkCardId("4111111111111012"));
    EXPECT_TRUE(BCUtils::checkCardId("4111111111111A12"));
    EXPECT_FALSE(BCUtils::checkCardId("411111111111101A"));
    EXPECT_TRUE(BCUtils::checkCardId("ABCDEFGHIJKLM"));
}

TEST(CardPayUtils, CardNumberFormats) {
    EXPECT_EQ(BCUtils::getFormatCardID("1234567812345678"), "1234 5678 1234 5678 ");
    EXPECT_EQ(BCUtils::getFormatCardID("123456"), "1234 56");
    EXPECT_EQ(BCUtils::getFormatCardID(""), std::nullopt);
    // Characters, not bytes and not only digits.
    EXPECT_EQ(BCUtils::getFormatCardID("卡号一二三"), "卡号一二 三");
    EXPECT_EQ(BCUtils::getFormatCardID("ab-1cd"), "ab-1 cd");
    EXPECT_EQ(BCUtils::getNormalCardID(" 1234 5678 "), "12345678");
}

TEST(CardPayUtils, HexToColor) {
    const auto red = cardpay::hexToColor(" ff0000 ");
    ASSERT_TRUE(red);
    EXPECT_EQ(*red, platform::Color::fromRGBA255(255, 0, 0));
    EXPECT_EQ(cardpay::hexToColor("5ca3DA"), platform::Color::fromRGBA255(92, 163, 218));
    EXPECT_FALSE(cardpay::hexToColor("FF00"));
    EXPECT_FALSE(cardpay::hexToColor("GG0000"));
    EXPECT_FALSE(cardpay::hexToColor("#FF0000"));
    EXPECT_FALSE(cardpay::hexToColor(""));
}

TEST(CardPayUtils, TextsById) {
    platform::Locale::setCurrentIdentifier("en_US");
    auto locale = cardpay::BCLocale::instance();
    EXPECT_EQ(locale->getStringById(10006), "  Back");
    EXPECT_EQ(locale->getStringById(12016), "Coupon Numbe Error");
    EXPECT_EQ(locale->getStringById(13003), "The Transaction Is In Progress, Quit Now?");
    EXPECT_EQ(locale->getStringById(12001), "Error");    // the title of a failure's box
    EXPECT_EQ(locale->getStringById(12020), "Notice");   // the title of a box that reports none
    EXPECT_EQ(locale->getStringById(99999), "");
    EXPECT_EQ(locale->getStringById(10007), "");
    EXPECT_EQ(BCUtils::currentLang(), "en_US");
    platform::Locale::setCurrentIdentifier("zh_Hans_CN");
    EXPECT_EQ(locale->getStringById(12014), "请输入正确的银行卡卡号");
    EXPECT_EQ(locale->getStringById(12001), "提示");
    EXPECT_EQ(BCUtils::currentLang(), "zh_CN");
    platform::Locale::setCurrentIdentifier("de_DE");
    EXPECT_EQ(locale->getStringById(10001), "OK");
    EXPECT_EQ(BCUtils::currentLang(), std::nullopt);
    platform::Locale::resetToEnvironment();
    // Every id the screens use has a text in both tables.
    for (int id : {10001, 10002, 10003, 10004, 10005, 10006, 10012, 10013, 10014, 10017, 10018, 10019, 11002, 11007,
                   11008, 11009, 11021, 11022, 11023, 12001, 12002, 12003, 12004, 12006, 12007, 12008, 12013, 12014,
                   12016, 12017, 12018, 12019, 12020, 12021, 12022, 13001, 13002, 13003, 13006, 13011, 13015, 13016, 13017, 13018,
                   13019, 16001, 16002, 16003, 16004, 16005, 16006, 16007, 17001, 17002, 17004, 17006, 17007}) {
        platform::Locale::setCurrentIdentifier("en_US");
        EXPECT_NE(locale->getStringById(id), "") << id;
        platform::Locale::setCurrentIdentifier("zh_CN");
        EXPECT_NE(locale->getStringById(id), "") << id;
    }
    platform::Locale::resetToEnvironment();
}

TEST(CardPayUtils, PatternsAndYear) {
    EXPECT_TRUE(BCUtils::isValidateTextField("user.name@host", "[.@_A-Za-z0-9]{1,64}"));
    EXPECT_FALSE(BCUtils::isValidateTextField("user name", "[.@_A-Za-z0-9]{1,64}"));
    EXPECT_TRUE(BCUtils::isValidateTextField("13800000000", "1\\d{10}"));
    EXPECT_FALSE(BCUtils::isValidateTextField("138000000001", "1\\d{10}"));
    EXPECT_FALSE(BCUtils::isValidateTextField("1", "(1"));
    platform::VirtualClock clock(platform::Date{1'700'000'000.0});
    clock.install();
    EXPECT_EQ(BCUtils::getCurrentYear(), "2023");
}

TEST(CardPayUtils, MetricsAndToolbar) {
    platform::Screen::main().resetToDefaults();
    platform::Application::shared().setStatusBarOrientation(platform::InterfaceOrientation::Portrait);
    EXPECT_EQ(BCUtils::displayWidth(), 375);
    EXPECT_EQ(BCUtils::displayHeight(), 667);
    EXPECT_EQ(BCUtils::statusBarHeight(), 20);
    EXPECT_EQ(BCUtils::viewControllerBoundsOriginY(), 20);
    EXPECT_EQ(BCUtils::rotatedWidth(), 667);
    EXPECT_EQ(BCUtils::rotatedOffset(), 292);
    EXPECT_EQ(BCUtils::currentScreen(), "750*1334");
    EXPECT_TRUE(BCUtils::shouldChangeOrientation(platform::InterfaceOrientation::LandscapeLeft));
    EXPECT_FALSE(BCUtils::shouldChangeOrientation(platform::InterfaceOrientation::PortraitUpsideDown));
    cardpay::BCDataContainer::instance()->setToRotationSize({500, 300});
    EXPECT_EQ(BCUtils::rotatedWidth(), 500);
    EXPECT_EQ(BCUtils::rotatedOffset(), 125);
    cardpay::BCDataContainer::destory();

    struct Target : cardpay::BCEditDoneTarget {
        void editDone() override { ++calls; }
        int calls = 0;
    };
    auto target = std::make_shared<Target>();
    auto bar = BCUtils::myToolBar(target);
    EXPECT_EQ(bar->frame().size.height, 44);
    ASSERT_EQ(bar->items().size(), 2u);
    EXPECT_TRUE(bar->items()[0]->isFlexibleSpace());
    bar->items()[1]->performAction();
    EXPECT_EQ(target->calls, 1);
    target.reset();
    bar->items()[1]->performAction(); // a gone target is skipped
}

class CardPaySettingsTest : public hybtest::TempHomeTest {};

TEST_F(CardPaySettingsTest, SettingsListAndCipher) {
    EXPECT_EQ(BCUtils::readUserIdFromFile("UserId"), std::nullopt);
    EXPECT_TRUE(BCUtils::writeUserIdToFile("u-1", "UserId"));
    EXPECT_TRUE(BCUtils::writeUserIdToFile("x", "Other"));
    EXPECT_EQ(BCUtils::readUserIdFromFile("UserId"), "u-1");

    const auto sealed = cardpay::BCMPService::encryptString("login@example.com");
    ASSERT_TRUE(sealed);
    EXPECT_EQ(sealed->find("login"), std::string::npos);
    EXPECT_EQ(cardpay::BCMPService::decryptString(*sealed), "login@example.com");
    EXPECT_EQ(cardpay::BCMPService::decryptString("not base64!"), std::nullopt);
    EXPECT_EQ(cardpay::BCMPService::decryptString("AAAA"), std::nullopt);
    std::string damaged = *sealed;
    damaged[20] = damaged[20] == 'A' ? 'B' : 'A';
    EXPECT_EQ(cardpay::BCMPService::decryptString(damaged), std::nullopt);

    EXPECT_EQ(cardpay::BCMPService::userDefaultPayMode(), "1");
    cardpay::BCMPService::storageUserDefaultPayMode("2");
    EXPECT_EQ(cardpay::BCMPService::userDefaultPayMode(), "2");
    EXPECT_NE(BCUtils::readUserIdFromFile("UserDefaultPayMode"), "2"); // kept enciphered
    EXPECT_TRUE(BCUtils::writeUserIdToFile("garbage", "UserDefaultPayMode"));
    EXPECT_EQ(cardpay::BCMPService::userDefaultPayMode(), "1");
    // A value that would make the list larger than it is read back to is refused: the list stays.
    EXPECT_FALSE(BCUtils::writeUserIdToFile(std::string(1 << 20, 'u'), "UserId"));
    EXPECT_EQ(BCUtils::readUserIdFromFile("UserDefaultPayMode"), "garbage");
    // A damaged settings list reads as empty.
    std::ofstream(BCUtils::settingsListPath()) << "<plist";
    EXPECT_EQ(BCUtils::readUserIdFromFile("UserId"), std::nullopt);
    // It is set aside whole, never written over, and a fresh list starts; so is one past the size read
    // and one that is no dictionary.
    const std::string tooLarge = "<plist><dict><key>UserId</key><string>" + std::string(1 << 20, 'p') + "</string></dict></plist>";
    const std::string array = "<plist><array><string>theirs</string></array></plist>";
    for (const std::string& held : {std::string("<plist"), tooLarge, array}) {
        std::ofstream(BCUtils::settingsListPath(), std::ios::trunc) << held;
        EXPECT_TRUE(BCUtils::writeUserIdToFile("u-2", "UserId"));
        EXPECT_EQ(BCUtils::readUserIdFromFile("UserId"), "u-2");
        std::ifstream aside(platform::StorePlace::asideName(BCUtils::settingsListPath()));
        EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(aside), {}) == held) << held.size() << " bytes not kept aside";
    }
}

TEST_F(CardPaySettingsTest, TextsFromAnotherKeyDoNotOpen) {
    cardpay::BCMPService::storageUserDefaultPayMode("2");
    // Another device (a new key) cannot read the stored mode.
    EXPECT_EQ(platform::Keychain::shared().deleteItems({{platform::kSecClass, platform::kSecClassGenericPassword},
                                                        {platform::kSecAttrService, "BCMPService"}}),
              platform::errSecSuccess);
    EXPECT_EQ(cardpay::BCMPService::userDefaultPayMode(), "1");
}

TEST(CardPayImages, EveryPictureIsCompiledInAndDecodes) {
    auto manager = cardpay::BCImageManager::instance();
    for (int number = cardpay::BCImageManager::kFirstImage; number <= cardpay::BCImageManager::kLastImage; ++number) {
        const auto image = manager->imageNamed(number);
        ASSERT_TRUE(image) << number;
        EXPECT_EQ(image->scale(), 2);
        EXPECT_EQ(manager->imageNamed(number), image); // kept
    }
    EXPECT_FALSE(manager->imageNamed(20000));
    EXPECT_FALSE(manager->imageNamed(20022));
    const auto logo = manager->imageNamed(20008);
    EXPECT_EQ(cardpay::realSize(*logo), (platform::Size{80, 80}));
    EXPECT_EQ(cardpay::realSize(*manager->imageNamed(20009)), (platform::Size{22, 22}));
    cardpay::BCImageManager::releaseInstance();
    EXPECT_NE(cardpay::BCImageManager::instance(), manager);
}

TEST(CardPayReachability, StatusFromTheFlags) {
    auto reachability = cardpay::BCPReachability::reachabilityForInternetConnection();
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable);
    EXPECT_EQ(reachability->currentReachabilityStatus(), cardpay::BCPReachability::ReachableViaWiFi);
    EXPECT_TRUE(reachability->isReachable());
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsWWAN);
    EXPECT_EQ(reachability->currentReachabilityStatus(), cardpay::BCPReachability::ReachableViaWWAN);
    platform::Reachability::setOverrideFlags(0);
    EXPECT_EQ(reachability->currentReachabilityStatus(), cardpay::BCPReachability::NotReachable);
    EXPECT_FALSE(reachability->isReachable());
    platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsConnectionRequired |
                                             platform::kReachabilityFlagsInterventionRequired);
    EXPECT_FALSE(reachability->isReachable());
    platform::Reachability::setOverrideFlags(std::nullopt);
}

TEST(CardPayUtils, OlderSystemsAndTablets) {
    auto& device = platform::Device::current();
    EXPECT_EQ(BCUtils::currentUID(), std::nullopt);
    device.setSystemVersion("6.1");
    EXPECT_FALSE(BCUtils::iOS7Device());
    EXPECT_EQ(BCUtils::viewControllerBoundsOriginY(), 0);
    EXPECT_EQ(BCUtils::currentUID(), device.identifierForVendor());
    device.setUserInterfaceIdiom(platform::UserInterfaceIdiom::Pad);
    EXPECT_TRUE(BCUtils::iPadDevice());
    device.resetToDefaults();
    EXPECT_FALSE(BCUtils::iPadDevice());
}
