// Local notifications on the platform application's scheduled list: dates, the limit of 64 over the
// whole list, identifiers, badge and the fields kept before system version 8.0.
#include "PushTest.h"

#include "push/PULSELocalNotificationController.h"

#include "platform/application/Application.h"
#include "platform/runloop/Clock.h"
#include "platform/system/Device.h"
#include "platform/ui/AlertView.h"
#include "platform/ui/Screen.h"

#include "support/Snapshot.h"

namespace {

using platform::Application;
using platform::Date;
using platform::Dictionary;
using platform::LocalNotification;
using platform::Value;
using push::PULSELocalNotificationController;

class LocalNotifications : public pushtest::PushTest {
protected:
    LocalNotifications() { Application::shared().resetForTesting(); }
    ~LocalNotifications() override { Application::shared().resetForTesting(); }

    Date inSeconds(double seconds) const {
        return Date{platform::Clock::current().wallNow().secondsSince1970 + seconds};
    }
    std::optional<LocalNotification> schedule(std::optional<Date> date, std::optional<std::string> identifier,
                                              std::int32_t badge = 0) {
        return PULSELocalNotificationController::setLocalNotification(
            date, std::string("body"), badge, std::string("Open"), identifier, std::nullopt, std::nullopt,
            Dictionary{{"radius", Value(100)}}, true, std::string("reply"));
    }
    std::size_t scheduled() const { return Application::shared().scheduledLocalNotifications().size(); }
};

TEST_F(LocalNotifications, DatesInThePastOrMissingAreRefusedAndNowIsAccepted) {
    EXPECT_FALSE(schedule(inSeconds(-1), "a"));
    EXPECT_EQ(countLines("设置LocalNotification通知时间小于当前时间"), 1);
    EXPECT_FALSE(schedule(std::nullopt, "a"));
    EXPECT_EQ(countLines("通知时间不能为空"), 1);
    EXPECT_EQ(scheduled(), 0u);

    const auto now = schedule(inSeconds(0), "a", 0);
    ASSERT_TRUE(now);
    EXPECT_EQ(scheduled(), 1u);
    EXPECT_FALSE(now->applicationIconBadgeNumber); // 0 leaves the badge unset
    EXPECT_EQ(now->soundName, std::optional<std::string>(platform::kLocalNotificationDefaultSoundName));
    EXPECT_EQ(now->region, std::optional<Dictionary>(Dictionary{{"radius", Value(100)}}));
    EXPECT_TRUE(now->regionTriggersOnce);
    EXPECT_EQ(now->category, std::optional<std::string>("reply"));
    EXPECT_EQ(schedule(inSeconds(5), "b", 3)->applicationIconBadgeNumber, std::optional<long long>(3));
}

TEST_F(LocalNotifications, BeforeSystem8RegionAndCategoryAreIgnored) {
    platform::Device::current().setSystemVersion("7.1");
    const auto notification = schedule(inSeconds(5), "a");
    ASSERT_TRUE(notification);
    EXPECT_FALSE(notification->region);
    EXPECT_FALSE(notification->regionTriggersOnce);
    EXPECT_FALSE(notification->category);
}

TEST_F(LocalNotifications, The65thOverTheWholeListIsReturnedButNotScheduled) {
    LocalNotification foreign;
    foreign.fireDate = inSeconds(60);
    for (int i = 0; i < 10; ++i)
        Application::shared().scheduleLocalNotification(foreign); // someone else's
    for (int i = 0; i < 54; ++i)
        ASSERT_TRUE(schedule(inSeconds(60 + i), "n" + std::to_string(i)));
    EXPECT_EQ(scheduled(), 64u);
    EXPECT_EQ(countLines("设置本地通知不能大于64个"), 0);
    EXPECT_TRUE(schedule(inSeconds(200), "late"));
    EXPECT_EQ(scheduled(), 64u);
    EXPECT_EQ(countLines("设置本地通知不能大于64个"), 1);
    EXPECT_TRUE(PULSELocalNotificationController::findLocalNotificationWithIdentifier("late")->empty());
}

TEST_F(LocalNotifications, OneIdentifierFindsAndCancelsAllItsNotifications) {
    schedule(inSeconds(10), "same");
    schedule(inSeconds(20), "same");
    schedule(inSeconds(30), "other");
    // No identifier and no user information: nothing carries a key.
    const auto bare = PULSELocalNotificationController::setLocalNotification(
        inSeconds(40), std::nullopt, 0, std::string(), std::string(), Dictionary{}, std::nullopt, std::nullopt, false,
        std::nullopt);
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->userInfo);
    EXPECT_FALSE(bare->alertAction);
    EXPECT_TRUE(PULSELocalNotificationController::findLocalNotificationWithIdentifier("")->empty());

    const auto found = PULSELocalNotificationController::findLocalNotificationWithIdentifier("same");
    ASSERT_EQ(found->size(), 2u);
    EXPECT_EQ((*found)[0].fireDate, inSeconds(10));
    PULSELocalNotificationController::deleteLocalNotificationWithIdentifierKey("same");
    EXPECT_TRUE(PULSELocalNotificationController::findLocalNotificationWithIdentifier("same")->empty());
    EXPECT_EQ(scheduled(), 2u);

    EXPECT_FALSE(PULSELocalNotificationController::findLocalNotificationWithIdentifier(std::nullopt));
    EXPECT_EQ(countLines("notificationKey参数错误，不能为空"), 1);
    PULSELocalNotificationController::deleteLocalNotificationWithIdentifierKey(std::nullopt);
    EXPECT_EQ(countLines("notificationKey参数错误,不能为空"), 1);
    PULSELocalNotificationController::deleteLocalNotification(std::nullopt);
    EXPECT_EQ(countLines("localNotification参数错误,不能为空"), 1);
    PULSELocalNotificationController::deleteLocalNotification(bare);
    EXPECT_EQ(scheduled(), 1u);
    PULSELocalNotificationController::clearAllLocalNotifications();
    EXPECT_EQ(scheduled(), 0u);
}

} // namespace

namespace {

TEST_F(LocalNotifications, InFrontAlertOnlyForNoIdentifierOrAMatchingOne) {
    platform::Screen::main().setBounds(platform::Rect(0, 0, 320, 480));
    auto keyed = schedule(inSeconds(60), std::string("daily"));
    ASSERT_TRUE(keyed);
    LocalNotification bare;
    bare.alertBody = "no key";

    EXPECT_FALSE(PULSELocalNotificationController::showLocalNotificationAtFront(std::nullopt, std::nullopt));
    EXPECT_EQ(countLines("notification参数错误，不能为空"), 1);
    EXPECT_FALSE(PULSELocalNotificationController::showLocalNotificationAtFront(keyed, std::string("weekly")));
    EXPECT_FALSE(PULSELocalNotificationController::showLocalNotificationAtFront(bare, std::string("daily")));

    auto plain = PULSELocalNotificationController::showLocalNotificationAtFront(bare, std::nullopt);
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->numberOfButtons(), 1);
    EXPECT_EQ(plain->buttonTitleAtIndex(0), "关闭");
    plain->dismissWithClickedButtonIndex(0, false);

    auto alert = PULSELocalNotificationController::showLocalNotificationAtFront(keyed, std::string("daily"));
    ASSERT_TRUE(alert);
    EXPECT_EQ(alert->title(), "");
    EXPECT_EQ(alert->message(), "body");
    ASSERT_EQ(alert->numberOfButtons(), 2);
    EXPECT_EQ(alert->buttonTitleAtIndex(1), "Open");
    m_clock.advance(1);
    hybtest::expectSnapshot(*alert->window(), "local_notification_alert");
    alert->dismissWithClickedButtonIndex(1, false);
    EXPECT_FALSE(alert->isVisible());
}

} // namespace
