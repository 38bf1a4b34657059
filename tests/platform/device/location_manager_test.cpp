#include "platform/device/LocationManager.h"

#include "platform/runloop/RunLoopThread.h"
#include "platform/runloop/VirtualClock.h"
#include "support/DeviceServices.h"
#include "support/RunLoopWait.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>
#include <thread>
#include <vector>

using namespace platform;

namespace {

// Records every delegate call with the thread it came on.
class RecordingDelegate : public LocationManagerDelegate {
public:
    void didUpdateToLocation(LocationManager&, const Location& newLocation, const std::optional<Location>& oldLocation) override {
        std::lock_guard lock(mutex);
        fixes.push_back(newLocation);
        previous.push_back(oldLocation);
        threads.push_back(std::this_thread::get_id());
        ++calls;
    }
    void didFailWithError(LocationManager&, const Error& error) override {
        std::lock_guard lock(mutex);
        errors.push_back(error);
        threads.push_back(std::this_thread::get_id());
        ++calls;
    }
    void didChangeAuthorizationStatus(LocationManager&, AuthorizationStatus status) override {
        std::lock_guard lock(mutex);
        statuses.push_back(status);
        threads.push_back(std::this_thread::get_id());
        ++calls;
    }

    std::mutex mutex;
    std::vector<Location> fixes;
    std::vector<std::optional<Location>> previous;
    std::vector<Error> errors;
    std::vector<AuthorizationStatus> statuses;
    std::vector<std::thread::id> threads;
    std::atomic<int> calls{0};
};

Location fixAt(double latitude, double longitude, double seconds = 1000) {
    return Location({latitude, longitude}, 12, 5, 8, 90, 1.5, Date{seconds});
}

class LocationManagerTest : public ::testing::Test {
protected:
    LocationManagerTest() {
        hybtest::resetDeviceServices();
        manager->setDelegate(delegate);
    }
    ~LocationManagerTest() override { hybtest::resetDeviceServices(); }

    // Grants access and forgets the change callback it causes.
    void authorize() {
        Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::AuthorizedWhenInUse);
        settle();
        delegate->statuses.clear();
        delegate->threads.clear();
        delegate->calls = 0;
    }
    // Turns the main loop until every queued block ran (a fix is one post away from its delegate call).
    static void settle() {
        bool done = false;
        RunLoop::main().perform([&] { RunLoop::main().perform([&] { done = true; }); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<LocationManager> manager = LocationManager::create();
};

} // namespace

TEST_F(LocationManagerTest, FixesComeOnTheCreatingThreadOnALaterTurn) {
    authorize();
    LocationSimulator::shared().setCurrentLocation(fixAt(52.5, 13.4));
    manager->startUpdatingLocation();
    EXPECT_EQ(delegate->calls, 0);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return delegate->calls == 1; }));
    EXPECT_EQ(delegate->fixes[0], fixAt(52.5, 13.4));
    EXPECT_FALSE(delegate->previous[0]);
    EXPECT_EQ(delegate->threads[0], std::this_thread::get_id());
    EXPECT_EQ(manager->location(), fixAt(52.5, 13.4));

    // A manager made on another thread hears a fix pushed from here on its own thread.
    RunLoopThread other("location-test");
    auto otherDelegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<LocationManager> otherManager;
    std::atomic<bool> started{false};
    std::thread::id otherThread;
    other.runLoop().perform([&] {
        otherManager = LocationManager::create();
        otherManager->setDelegate(otherDelegate);
        otherManager->startUpdatingLocation();
        otherThread = std::this_thread::get_id();
        started = true;
    });
    ASSERT_TRUE(hybtest::runMainUntil([&] { return started && otherDelegate->calls == 1; }));
    LocationSimulator::shared().pushLocation(fixAt(52.6, 13.4));
    EXPECT_EQ(delegate->calls, 1);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return delegate->calls == 2 && otherDelegate->calls == 2; }));
    std::lock_guard lock(otherDelegate->mutex);
    EXPECT_EQ(otherDelegate->threads[0], otherThread);
    EXPECT_EQ(otherDelegate->threads[1], otherThread);
    EXPECT_EQ(otherDelegate->fixes[1], fixAt(52.6, 13.4));
}

TEST_F(LocationManagerTest, TheDistanceFilterMeasuresFromTheLastDeliveredFix) {
    authorize();
    manager->setDistanceFilter(100);
    manager->startUpdatingLocation();
    settle();
    // One thousandth of a degree of latitude is about 111 m.
    for (const Location& fix : {fixAt(10, 20), fixAt(10.0005, 20), fixAt(10.0008, 20), fixAt(10.001, 20), fixAt(10.001, 20)})
        LocationSimulator::shared().pushLocation(fix);
    settle();
    ASSERT_EQ(delegate->fixes.size(), 2u);
    EXPECT_EQ(delegate->fixes[0], fixAt(10, 20));
    EXPECT_EQ(delegate->fixes[1], fixAt(10.001, 20));
    EXPECT_EQ(delegate->previous[1], fixAt(10, 20));

    // A restart delivers the current position whatever the filter says.
    manager->stopUpdatingLocation();
    manager->startUpdatingLocation();
    settle();
    ASSERT_EQ(delegate->fixes.size(), 3u);
    EXPECT_EQ(delegate->fixes[2], fixAt(10.001, 20));

    manager->setDistanceFilter(kDistanceFilterNone);
    LocationSimulator::shared().pushLocation(fixAt(10.001, 20, 2000));
    settle();
    EXPECT_EQ(delegate->fixes.size(), 4u);
}

TEST_F(LocationManagerTest, StartingWithoutAccessFailsWithCodeOne) {
    for (AuthorizationStatus status : {AuthorizationStatus::Denied, AuthorizationStatus::Restricted}) {
        Permissions::shared().setStatus(PermissionKind::Location, status);
        settle();
        delegate->errors.clear();
        manager->startUpdatingLocation();
        EXPECT_TRUE(delegate->errors.empty());
        settle();
        ASSERT_EQ(delegate->errors.size(), 1u);
        EXPECT_EQ(delegate->errors[0].domain, kLocationErrorDomain);
        EXPECT_EQ(delegate->errors[0].code, kLocationErrorDenied);
        manager->stopUpdatingLocation();
    }
    // Services switched off count as no access, whatever the authorisation.
    authorize();
    LocationSimulator::shared().setServicesEnabled(false);
    EXPECT_FALSE(LocationManager::locationServicesEnabled());
    LocationSimulator::shared().setCurrentLocation(fixAt(1, 2));
    delegate->errors.clear();
    manager->startUpdatingLocation();
    settle();
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_EQ(delegate->errors[0].code, kLocationErrorDenied);
    EXPECT_TRUE(delegate->fixes.empty());
}

TEST_F(LocationManagerTest, AnAuthorisationRequestIsAnsweredByTheChangeCallbackOnALaterTurn) {
    EXPECT_EQ(LocationManager::authorizationStatus(), AuthorizationStatus::NotDetermined);
    LocationSimulator::shared().setCurrentLocation(fixAt(1, 2));
    manager->startUpdatingLocation();
    settle();
    EXPECT_EQ(delegate->calls, 0) << "a start waits for the user's answer";

    manager->requestWhenInUseAuthorization();
    EXPECT_EQ(delegate->calls, 0);
    EXPECT_EQ(LocationManager::authorizationStatus(), AuthorizationStatus::AuthorizedWhenInUse);
    ASSERT_TRUE(hybtest::runMainUntil([&] { return delegate->fixes.size() == 1; }));
    ASSERT_EQ(delegate->statuses, std::vector{AuthorizationStatus::AuthorizedWhenInUse});
    EXPECT_EQ(delegate->fixes[0], fixAt(1, 2));

    // Already determined: no question, no change.
    manager->requestAlwaysAuthorization();
    settle();
    EXPECT_EQ(delegate->statuses.size(), 1u);

    // An "always" request grants "always"; a configured answer wins.
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::NotDetermined);
    manager->requestAlwaysAuthorization();
    settle();
    EXPECT_EQ(delegate->statuses.back(), kAuthorizationStatusAuthorizedAlways);
    Permissions::shared().setStatus(PermissionKind::Location, AuthorizationStatus::NotDetermined);
    Permissions::shared().setAnswer(PermissionKind::Location, AuthorizationStatus::Denied);
    manager->requestWhenInUseAuthorization();
    settle();
    EXPECT_EQ(delegate->statuses.back(), AuthorizationStatus::Denied);
}

TEST_F(LocationManagerTest, RequestsExistFromSystemEightAndHeldOnesWaitForTheTest) {
    Device::current().setSystemVersion("7.1");
    EXPECT_FALSE(LocationManager::respondsToAuthorizationRequests());
    manager->requestWhenInUseAuthorization();
    settle();
    EXPECT_EQ(LocationManager::authorizationStatus(), AuthorizationStatus::NotDetermined);
    EXPECT_TRUE(delegate->statuses.empty());

    Device::current().setSystemVersion("8.0");
    EXPECT_TRUE(LocationManager::respondsToAuthorizationRequests());
    Permissions::shared().setHoldsRequests(true);
    manager->requestAlwaysAuthorization();
    settle();
    EXPECT_EQ(Permissions::shared().pendingRequestCount(PermissionKind::Location), 1u);
    EXPECT_TRUE(delegate->statuses.empty());
    EXPECT_TRUE(Permissions::shared().answerPendingRequests(PermissionKind::Location, AuthorizationStatus::Restricted));
    EXPECT_FALSE(Permissions::shared().answerPendingRequests(PermissionKind::Location, AuthorizationStatus::Authorized));
    settle();
    EXPECT_EQ(delegate->statuses, std::vector{AuthorizationStatus::Restricted});
}

TEST_F(LocationManagerTest, FixesWithUnknownAltitudeFailuresAndStopping) {
    authorize();
    manager->startUpdatingLocation();
    settle();
    LocationSimulator::shared().pushLocation(Location({-33.9, 151.2}, Date{5}));
    LocationSimulator::shared().pushFailure(kLocationErrorLocationUnknown);
    settle();
    ASSERT_EQ(delegate->fixes.size(), 1u);
    EXPECT_TRUE(std::isnan(delegate->fixes[0].altitude()));
    EXPECT_EQ(delegate->fixes[0].horizontalAccuracy(), -1);
    ASSERT_EQ(delegate->errors.size(), 1u);
    EXPECT_EQ(delegate->errors[0].code, kLocationErrorLocationUnknown);

    // A fix queued before the stop is not delivered after it; a stopped manager hears nothing.
    LocationSimulator::shared().pushLocation(fixAt(3, 4));
    manager->stopUpdatingLocation();
    LocationSimulator::shared().pushFailure(kLocationErrorDenied);
    manager->stopUpdatingHeading();
    settle();
    EXPECT_EQ(delegate->fixes.size(), 1u);
    EXPECT_EQ(delegate->errors.size(), 1u);
    EXPECT_EQ(LocationSimulator::shared().currentLocation(), fixAt(3, 4));
}

TEST_F(LocationManagerTest, ARouteIsReplayedOnTheClock) {
    VirtualClock clock;
    clock.install();
    authorize();
    manager->startUpdatingLocation();
    settle();
    LocationSimulator::shared().replayRoute({{1, 1}, {2, 2}, {3, 3}}, seconds(10), false);
    settle();
    ASSERT_EQ(delegate->fixes.size(), 1u);
    EXPECT_EQ(delegate->fixes[0].coordinate(), (LocationCoordinate{1, 1}));
    clock.advance(9.0);
    settle();
    EXPECT_EQ(delegate->fixes.size(), 1u);
    clock.advance(1.0);
    settle();
    ASSERT_EQ(delegate->fixes.size(), 2u);
    EXPECT_EQ(delegate->fixes[1].coordinate(), (LocationCoordinate{2, 2}));
    EXPECT_EQ(delegate->fixes[1].timestamp(), clock.wallNow());
    clock.advance(30.0);
    settle();
    EXPECT_EQ(delegate->fixes.size(), 3u);
    EXPECT_FALSE(LocationSimulator::shared().isReplayingRoute());

    LocationSimulator::shared().replayRoute({{5, 5}, {6, 6}}, seconds(1), true);
    clock.advance(3.0);
    settle();
    ASSERT_EQ(delegate->fixes.size(), 7u);
    EXPECT_EQ(delegate->fixes[6].coordinate(), (LocationCoordinate{6, 6}));
    LocationSimulator::shared().stopRoute();
    clock.advance(5.0);
    settle();
    EXPECT_EQ(delegate->fixes.size(), 7u);
}

// A replayed route reads as a receiver moving along it: accurate to a few metres, with each leg's course
// and the speed that covers it in one interval.
TEST_F(LocationManagerTest, ARoutesFixesCarryAccuracyAltitudeCourseAndSpeed) {
    const std::vector<RoutePoint> route{{{0, 0}, 34}, {{0.001, 0}}, {{0.001, 0.001}, 36}};
    const double northLeg = Location({0, 0}, Date{}).distanceFrom(Location({0.001, 0}, Date{}));
    auto fixes = LocationSimulator::routeFixes(route, seconds(10), false);
    ASSERT_EQ(fixes.size(), 3u);
    for (const Location& fix : fixes)
        EXPECT_EQ(fix.horizontalAccuracy(), LocationSimulator::kRouteHorizontalAccuracy);
    EXPECT_EQ(fixes[0].altitude(), 34);
    EXPECT_EQ(fixes[0].verticalAccuracy(), LocationSimulator::kRouteVerticalAccuracy);
    EXPECT_TRUE(std::isnan(fixes[1].altitude()));
    EXPECT_EQ(fixes[1].verticalAccuracy(), -1) << "an unknown altitude has no accuracy";
    EXPECT_NEAR(fixes[0].course(), 0, 1e-9);
    EXPECT_NEAR(fixes[0].speed(), northLeg / 10, 1e-9);
    EXPECT_NEAR(fixes[1].course(), 90, 0.01);
    EXPECT_NEAR(fixes[2].course(), 90, 0.01) << "the end of the road keeps its last course";
    EXPECT_EQ(fixes[2].speed(), 0);

    // Repeating, the last point heads back to the first.
    auto round = LocationSimulator::routeFixes(route, seconds(10), true);
    EXPECT_NEAR(round[2].course(), 225, 0.1);
    EXPECT_GT(round[2].speed(), northLeg / 10);
    // A lone point, or the same point twice, stands still with no course.
    for (const auto& still : {std::vector<RoutePoint>{{{5, 5}}}, std::vector<RoutePoint>{{{5, 5}}, {{5, 5}}}}) {
        for (const Location& fix : LocationSimulator::routeFixes(still, seconds(1), true)) {
            EXPECT_EQ(fix.course(), -1);
            EXPECT_EQ(fix.speed(), 0);
        }
    }
}

TEST(Location, DistancesAndValidity) {
    const Location berlin({52.52, 13.405}, Date{});
    const Location paris({48.8566, 2.3522}, Date{});
    EXPECT_NEAR(berlin.distanceFrom(paris), 877'500, 2'000);
    EXPECT_EQ(berlin.distanceFrom(berlin), 0);
    for (LocationCoordinate bad : {LocationCoordinate{NAN, 0}, LocationCoordinate{0, INFINITY}, LocationCoordinate{91, 0},
                                   LocationCoordinate{0, -180.5}}) {
        EXPECT_FALSE(bad.isValid());
        EXPECT_TRUE(std::isnan(berlin.distanceFrom(Location(bad, Date{}))));
    }
}
