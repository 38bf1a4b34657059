// The network controller and its reachability: the flag rule, the gate (token, HTTP session, verified
// identity, network, TCP session) against the loopback servers, network changes and the lifecycle, with
// reachability forced through the platform's override.
#include "NetworkGateTest.h"

#include "push/PULSEHttpSessionController.h"
#include "push/PULSEReachability.h"

namespace {

using namespace platform;
using namespace pushtest;
using push::PULSEReachability;

TEST(Reachability, FlagsReadAsNetworkStatus) {
    const auto status = PULSEReachability::networkStatusForFlags;
    EXPECT_EQ(status(0), 0);
    EXPECT_EQ(status(kReachabilityFlagsIsWWAN), 0);
    EXPECT_EQ(status(kReachabilityFlagsReachable), 2);
    const ReachabilityFlags required = kReachabilityFlagsReachable | kReachabilityFlagsConnectionRequired;
    EXPECT_EQ(status(required), 0);
    EXPECT_EQ(status(required | kReachabilityFlagsConnectionOnDemand), 2);
    EXPECT_EQ(status(required | kReachabilityFlagsConnectionOnTraffic), 2);
    EXPECT_EQ(status(required | kReachabilityFlagsConnectionOnDemand | kReachabilityFlagsInterventionRequired), 0);
    EXPECT_EQ(status(kReachabilityFlagsReachable | kReachabilityFlagsInterventionRequired), 2);
    for (ReachabilityFlags extra : {0u, kReachabilityFlagsConnectionRequired, kReachabilityFlagsInterventionRequired,
                                    kReachabilityFlagsConnectionOnDemand | kReachabilityFlagsConnectionRequired})
        EXPECT_EQ(status(kMobile | extra), 3) << extra;

    EXPECT_EQ(PULSEReachability::localWiFiStatusForFlags(kWiFi), 2);
    EXPECT_EQ(PULSEReachability::localWiFiStatusForFlags(kReachabilityFlagsReachable), 0);
    EXPECT_EQ(PULSEReachability::localWiFiStatusForFlags(kReachabilityFlagsIsDirect), 0);
}

class NetworkGateWithoutToken : public NetworkGate {
protected:
    NetworkGateWithoutToken() : NetworkGate(false) {}
};

TEST_F(NetworkGateWithoutToken, NoNetworkChangeSetsUpASessionBeforeTheToken) {
    start();
    EXPECT_EQ(push::PULSEClientController::sharedClient().currentNetworkStatus(), 2);
    changeNetwork(kMobile);
    EXPECT_EQ(push::PULSEClientController::sharedClient().currentNetworkStatus(), 3);
    changeNetwork(0);
    changeNetwork(kWiFi);
    m_network->onResumeFromInactive();
    EXPECT_FALSE(m_network->clientSession()->isSetup());
    EXPECT_GE(countLines("Action - trySetupSession"), 4);
    EXPECT_EQ(countLines("Action - setupSession"), 0); // the HTTP session's gate was never passed
}

TEST_F(NetworkGate, TheHttpSessionWaitsForTheTokenAndTheTcpSessionForTheVerifiedIdentity) {
    registerDevice();
    auto& client = push::PULSEClientController::sharedClient();
    // No verified identity yet (the stored identity verifies itself when it is read).
    client.setUserDefaults(nullptr);
    start();
    m_network->trySetupSession();
    EXPECT_EQ(countLines("Action - setupSession"), 1);
    EXPECT_FALSE(m_network->clientSession()->isSetup());

    // Verification passes the gate again through the private centre.
    client.setUserDefaults(m_identity);
    client.clientNotificationCenter()->post(push::PULSEUserDefaultsController::kVerifiedNotification);
    EXPECT_TRUE(waitLoggedIn());
}

TEST_F(NetworkGate, ANetworkChangeClosesAndReconnectsAtOnceAndNoNetworkStopsAtTheGate) {
    registerDevice();
    start();
    m_network->trySetupSession();
    ASSERT_TRUE(waitLoggedIn());
    ASSERT_TRUE(hybtest::runMainUntil([&] { return count(push::kPULSENetworkDidLoginNotification) == 2; }));
    const int logins = 2;

    const int closes = count(push::kPULSENetworkDidCloseNotification);
    changeNetwork(kMobile);
    // Closed, then set up again without waiting for the reconnection schedule (the clock stands still).
    EXPECT_TRUE(hybtest::runMainUntil([&] { return count(push::kPULSENetworkDidCloseNotification) > closes; }));
    EXPECT_TRUE(waitLoggedIn());
    EXPECT_TRUE(hybtest::runMainUntil([&] { return count(push::kPULSENetworkDidLoginNotification) > logins; }));

    changeNetwork(0);
    EXPECT_FALSE(m_session->isLogin());
    EXPECT_EQ(push::PULSEClientController::sharedClient().currentNetworkStatus(), 0);
    changeNetwork(kWiFi);
    EXPECT_TRUE(waitLoggedIn());
}

TEST_F(NetworkGate, TheBackgroundClosesWithoutReconnectionAndTheForegroundReconnects) {
    registerDevice();
    start();
    m_network->trySetupSession();
    ASSERT_TRUE(waitLoggedIn());

    ASSERT_TRUE(hybtest::runMainUntil([&] { return count(push::kPULSENetworkDidLoginNotification) == 2; }));
    m_network->onEnterBackground();
    EXPECT_FALSE(m_session->isSetup());
    EXPECT_FALSE(m_session->isConnectDisable());
    const int logins = 2;
    for (int i = 0; i < 700; ++i) {
        m_clock.advance(1.0);
        drainPosted();
    }
    EXPECT_FALSE(m_session->isSetup());
    EXPECT_EQ(count(push::kPULSENetworkDidLoginNotification), logins);

    m_network->onResumeFromInactive();
    EXPECT_TRUE(waitLoggedIn());
}

TEST_F(NetworkGate, ReleaseGivesTheNetworkStatusBackToThePlatform) {
    start();
    Reachability::setOverrideFlags(kMobile);
    EXPECT_EQ(push::PULSEClientController::sharedClient().currentNetworkStatus(), 3);
    push::PULSEClientController::sharedClient().setNetworkService(nullptr);
    m_network.reset();
    m_session.reset();
    // The platform's own reading, still under the override, answers again.
    EXPECT_EQ(push::PULSEClientController::sharedClient().currentNetworkStatus(), 3);
    // The override still in force reaches no released controller.
    Reachability::setOverrideFlags(kWiFi);
    drainPosted();
    EXPECT_EQ(countLines("网络发生变化,重启session"), 0);
}

} // namespace
