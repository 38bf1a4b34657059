#include "platform/device/Telephony.h"

#include "platform/runloop/NotificationCenter.h"
#include "platform/runloop/RunLoop.h"
#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

using namespace platform;

TEST(Telephony, ChangesOfTheRadioTechnologyArePostedOnALaterTurn) {
    std::vector<std::string> posted;
    bool onMain = true;
    static const int observer = 0;
    NotificationCenter::defaultCenter().addObserver(&observer, kRadioAccessTechnologyDidChangeNotification, nullptr,
                                                    [&](const Notification& n) {
                                                        posted.push_back(n.userInfo[kRadioAccessTechnologyUserInfoKey].stringOr("?"));
                                                        onMain = onMain && RunLoop::isMainThread();
                                                    });
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), "");
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyLTE));
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), kRadioAccessTechnologyLTE);
    EXPECT_TRUE(posted.empty());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return posted.size() == 1; }));
    EXPECT_EQ(posted[0], kRadioAccessTechnologyLTE);

    // Setting the same one posts nothing; a bad text is refused and changes nothing.
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyLTE));
    auto refused = Telephony::setCurrentRadioAccessTechnology("5G");
    ASSERT_FALSE(refused);
    EXPECT_NE(refused.error().localizedDescription().find("5G"), std::string::npos);
    EXPECT_EQ(Telephony::currentRadioAccessTechnology(), kRadioAccessTechnologyLTE);
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(""));
    ASSERT_TRUE(hybtest::runMainUntil([&] { return posted.size() == 2; }));
    EXPECT_EQ(posted[1], "");
    EXPECT_TRUE(onMain);
    EXPECT_EQ(Telephony::radioAccessTechnologies().size(), 11u);
    NotificationCenter::defaultCenter().removeObserver(&observer);
}
