// The Geolocation service over the simulated location services: one-shot requests and watches sharing
// one tracking, its accuracy modes, permission and failures.
#include "PluginFixture.h"

#include "platform/device/LocationSimulator.h"
#include "platform/device/Permissions.h"
#include "platform/runloop/NotificationCenter.h"
#include "plugins/HYBLocation.h"
#include "support/LogCapture.h"

namespace {

using platform::AuthorizationStatus;
using platform::Location;
using platform::LocationSimulator;
using platform::Permissions;
using platform::PermissionKind;
using runtime::HYBCommandStatus;

const Location kBerlin({52.5163, 13.3777}, 34, 5, 8, 90, 1.5, platform::Date{1700000000.25});
const Location kParis({48.8584, 2.2945}, platform::Date{1700000100});

class LocationTest : public pluginstest::PluginTest<plugins::HYBLocation> {
protected:
    LocationTest() {
        Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::AuthorizedWhenInUse);
        LocationSimulator::shared().setCurrentLocation(kBerlin);
    }
    platform::LocationManager& manager() { return *plugin().locationManager(); }
    // The code and message of an Error answer.
    static std::pair<std::int64_t, std::string> failure(const pluginstest::Answer& answer) {
        EXPECT_EQ(answer.status(), HYBCommandStatus::Error);
        return {answer.message()["code"].integerValue(), answer.message()["message"].stringOr("<none>")};
    }
};

TEST_F(LocationTest, AOneShotRequestGetsThePositionAndStopsTrackingWhenNoWatchIsLeft) {
    call("getLocation", {true}, "one");
    EXPECT_TRUE(plugin().isLocationStarted());
    ASSERT_TRUE(waitForAnswers(1));
    const pluginstest::Answer& answer = answers()[0];
    EXPECT_EQ(answer.callbackId, "one");
    EXPECT_EQ(answer.status(), HYBCommandStatus::Ok);
    EXPECT_FALSE(answer.result.keepCallback());
    EXPECT_EQ(answer.message().dictionaryOrEmpty(), (platform::Dictionary{
                                                        {"timestamp", 1700000000250.0},
                                                        {"velocity", 1.5},
                                                        {"altitudeAccuracy", 8.0},
                                                        {"accuracy", 5.0},
                                                        {"heading", 90.0},
                                                        {"altitude", 34.0},
                                                        {"latitude", 52.5163},
                                                        {"longitude", 13.3777},
                                                    }));
    EXPECT_FALSE(plugin().isLocationStarted());
    EXPECT_FALSE(manager().isUpdatingLocation());
}

TEST_F(LocationTest, AnUnknownAltitudeTravelsAsNull) {
    LocationSimulator::shared().setCurrentLocation(kParis); // altitude NaN: JSON cannot carry it
    call("getLocation", {false}, "one");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_TRUE(answers()[0].message()["altitude"].isNull());
    EXPECT_EQ(answers()[0].message()["latitude"], platform::Value(48.8584));
    EXPECT_EQ(answers()[0].result.argumentsAsJSON().find("NaN"), std::string::npos);
    EXPECT_NE(answers()[0].result.argumentsAsJSON(), "null");
}

TEST_F(LocationTest, AOneShotRequestDuringAWatchOfTheSameModeAnswersAtOnce) {
    LocationSimulator::shared().setCurrentLocation(std::nullopt);
    call("addWatch", {"w1", false}, "watch");
    ASSERT_TRUE(plugin().isLocationStarted());
    // No fix yet: the code-2 error object, at once.
    call("getLocation", {false}, "early");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].callbackId, "early");
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Error);
    EXPECT_EQ(answers()[0].message(), platform::Value(platform::Dictionary{{"code", 2}}));

    LocationSimulator::shared().pushLocation(kParis);
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(answers()[1].callbackId, "watch");
    EXPECT_TRUE(answers()[1].result.keepCallback());

    // With a fix: the last position, at once, and tracking goes on for the watch.
    call("getLocation", {0}, "late");
    ASSERT_EQ(answers().size(), 3u);
    EXPECT_EQ(answers()[2].callbackId, "late");
    EXPECT_EQ(answers()[2].message()["latitude"], platform::Value(48.8584));
    EXPECT_TRUE(plugin().isLocationStarted());
}

TEST_F(LocationTest, AHighAccuracyRequestRestartsALowAccuracyWatchInHighAccuracy) {
    call("addWatch", {"w1", false}, "watch");
    EXPECT_EQ(manager().distanceFilter(), 10);
    EXPECT_EQ(manager().desiredAccuracy(), platform::kLocationAccuracyThreeKilometers);
    EXPECT_FALSE(plugin().isHighAccuracyEnabled());
    ASSERT_TRUE(waitForAnswers(1));

    // The page's booleans come as numbers or texts too.
    call("getLocation", {"true"}, "precise");
    EXPECT_TRUE(plugin().isHighAccuracyEnabled());
    EXPECT_EQ(manager().distanceFilter(), 5);
    EXPECT_EQ(manager().desiredAccuracy(), platform::kLocationAccuracyBest);
    // The restarted tracking answers the waiting request and the watch with the current position.
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(answers()[1].callbackId, "precise");
    EXPECT_EQ(answers()[2].callbackId, "watch");
    EXPECT_TRUE(plugin().isLocationStarted());
}

TEST_F(LocationTest, WatchesAreKeyedByTheirTextAndEndWithTheLastOne) {
    hybtest::LogCapture log;
    call("addWatch", {5, true}, "five");
    call("addWatch", {"6", true}, "six");
    call("addWatch", {}, "nameless");
    EXPECT_TRUE(log.contains("addWatch called without a watch id"));
    ASSERT_TRUE(waitForAnswers(2));
    ASSERT_EQ(plugin().locationData()->watchCallbacks.size(), 2u);

    call("clearWatch", {"unknown"});
    call("clearWatch", {});
    EXPECT_TRUE(log.contains("clearWatch called without a watch id"));
    EXPECT_EQ(plugin().locationData()->watchCallbacks.size(), 2u);
    EXPECT_TRUE(plugin().isLocationStarted());

    call("clearWatch", {"5"});
    EXPECT_TRUE(plugin().isLocationStarted());
    call("clearWatch", {6});
    EXPECT_FALSE(plugin().isLocationStarted());
    EXPECT_FALSE(manager().isUpdatingLocation());
    EXPECT_EQ(answers().size(), 2u);
}

TEST_F(LocationTest, ADeniedPermissionFailsEveryWaitingRequestAndWatchWithCodeOne) {
    m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                         "<key>NSLocationWhenInUseUsageDescription</key><string>Shows where you are.</string>"
                                         "</dict></plist>");
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::NotDetermined);
    Permissions::shared().setHoldsRequests(true);
    call("getLocation", {false}, "one");
    call("addWatch", {"w", true}, "watch");
    EXPECT_FALSE(plugin().isLocationStarted());
    EXPECT_TRUE(plugin().isHighAccuracyEnabled()); // the mode wanted while the user is asked
    ASSERT_EQ(Permissions::shared().pendingRequestCount(PermissionKind::Location), 2u);

    ASSERT_TRUE(Permissions::shared().answerPendingRequests(PermissionKind::Location, AuthorizationStatus::Denied));
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(answers()[0].callbackId, "one");
    EXPECT_EQ(failure(answers()[0]), (std::pair<std::int64_t, std::string>{1, ""}));
    EXPECT_FALSE(answers()[0].result.keepCallback());
    EXPECT_EQ(answers()[1].callbackId, "watch");
    EXPECT_EQ(failure(answers()[1]), (std::pair<std::int64_t, std::string>{1, ""}));
    EXPECT_TRUE(answers()[1].result.keepCallback());
    EXPECT_TRUE(plugin().locationData()->locationCallbacks.empty());
    EXPECT_EQ(plugin().locationData()->watchCallbacks.size(), 1u);
}

TEST_F(LocationTest, AGrantedPermissionStartsTrackingInTheRememberedMode) {
    m_home.writeBundleFile("Info.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>"
                                         "<key>NSLocationAlwaysUsageDescription</key><string>Always.</string>"
                                         "</dict></plist>");
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::NotDetermined);
    call("getLocation", {true}, "one");
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
    // Only the always key is there: the always permission was asked for.
    EXPECT_EQ(platform::LocationManager::authorizationStatus(), AuthorizationStatus::Authorized);
}

TEST_F(LocationTest, WithoutAUsageDescriptionARequestWaitsWithAWarning) {
    hybtest::LogCapture log;
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::NotDetermined);
    call("getLocation", {false}, "one");
    EXPECT_TRUE(log.contains("[Warning] No NSLocationAlwaysUsageDescription or NSLocationWhenInUseUsageDescription key is "
                             "defined in the Info.plist file."));
    EXPECT_TRUE(answers().empty());
    EXPECT_EQ(platform::LocationManager::authorizationStatus(), AuthorizationStatus::NotDetermined);
    // The authorisation changes elsewhere (the settings): the request is answered.
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::AuthorizedWhenInUse);
    ASSERT_TRUE(waitForAnswers(1));
    EXPECT_EQ(answers()[0].status(), HYBCommandStatus::Ok);
}

TEST_F(LocationTest, AnUnknownLocationIsCodeTwoAndKeepsTrackingWhileOtherFailuresStopIt) {
    call("addWatch", {"w", false}, "watch");
    ASSERT_TRUE(waitForAnswers(1));
    LocationSimulator::shared().setCurrentLocation(std::nullopt);
    call("getLocation", {true}, "precise");  // restarts in high accuracy; waits for the next fix

    LocationSimulator::shared().pushFailure(platform::kLocationErrorLocationUnknown);
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(answers()[1].callbackId, "precise");
    EXPECT_EQ(failure(answers()[1]).first, 2);
    EXPECT_EQ(answers()[2].callbackId, "watch");
    EXPECT_EQ(failure(answers()[2]).first, 2);
    EXPECT_TRUE(plugin().isLocationStarted());
    EXPECT_TRUE(manager().isUpdatingLocation());

    LocationSimulator::shared().pushFailure(platform::kLocationErrorNetwork);
    ASSERT_TRUE(waitForAnswers(4));
    EXPECT_EQ(failure(answers()[3]).first, 2);
    EXPECT_FALSE(plugin().isLocationStarted());
    EXPECT_FALSE(manager().isUpdatingLocation());
}

TEST_F(LocationTest, ServicesOffOrRestrictedAccessAnswerCodeOne) {
    LocationSimulator::shared().setServicesEnabled(false);
    call("getLocation", {false}, "one");
    call("addWatch", {"w", false}, "watch");
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(failure(answers()[0]), (std::pair<std::int64_t, std::string>{1, "Location services are disabled."}));
    EXPECT_EQ(failure(answers()[1]), (std::pair<std::int64_t, std::string>{1, "Location services are disabled."}));
    EXPECT_FALSE(plugin().isLocationStarted());

    LocationSimulator::shared().setServicesEnabled(true);
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::Restricted);
    call("getLocation", {false}, "two");
    ASSERT_EQ(answers().size(), 4u);
    EXPECT_EQ(answers()[2].callbackId, "two");
    EXPECT_EQ(failure(answers()[2]), (std::pair<std::int64_t, std::string>{1, "Application's use of location services is restricted."}));
    EXPECT_EQ(answers()[3].callbackId, "watch");
}

TEST_F(LocationTest, ANewPageInItsWebViewStopsTracking) {
    call("addWatch", {"w", true}, "watch");
    ASSERT_TRUE(plugin().isLocationStarted());
    platform::NotificationCenter::defaultCenter().post(runtime::kHYBPluginResetNotification, m_webView.get());
    EXPECT_FALSE(plugin().isLocationStarted());
    EXPECT_FALSE(manager().isUpdatingLocation());
    call("stopLocation");
    EXPECT_FALSE(plugin().isLocationStarted());
}

} // namespace
