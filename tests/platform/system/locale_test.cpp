#include "platform/system/Locale.h"

#include "platform/runloop/Notification.h"
#include "platform/runloop/NotificationCenter.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Locale, IdentifiersFromTheEnvironmentAndChangesAreAnnounced) {
    EXPECT_EQ(Locale::identifierFromEnvironmentValue("de_DE.UTF-8@euro"), "de_DE");
    EXPECT_EQ(Locale::identifierFromEnvironmentValue("C.UTF-8"), "en_US");
    EXPECT_EQ(Locale::identifierFromEnvironmentValue(""), "en_US");

    int changes = 0;
    NotificationCenter::defaultCenter().addObserver(&changes, kCurrentLocaleDidChangeNotification, nullptr,
                                                    [&](const Notification&) { ++changes; });
    Locale::setCurrentIdentifier("zh_Hans_CN");
    EXPECT_EQ(Locale::currentIdentifier(), "zh_Hans_CN");
    Locale::setCurrentIdentifier("zh_Hans_CN");
    EXPECT_EQ(changes, 1); // unchanged: not announced
    Locale::resetToEnvironment();
    EXPECT_EQ(changes, 2);
    NotificationCenter::defaultCenter().removeObserver(&changes);
}
