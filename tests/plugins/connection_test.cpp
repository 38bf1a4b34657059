// The NetworkStatus service: the connection type from the reachability flags and the radio technology,
// and its changes, kept to the page's callback.
#include "PluginFixture.h"

#include "platform/application/Application.h"
#include "platform/device/InterfaceAddresses.h"
#include "platform/device/Reachability.h"
#include "platform/device/Telephony.h"
#include "platform/runloop/NotificationCenter.h"
#include "platform/system/Device.h"
#include "plugins/HYBConnection.h"

#include <net/if.h>

namespace {

using namespace platform;
using plugins::HYBReachability;
using plugins::NetworkStatus;

constexpr ReachabilityFlags kWiFi = kReachabilityFlagsReachable;
constexpr ReachabilityFlags kCellular = kReachabilityFlagsReachable | kReachabilityFlagsIsWWAN;

class ConnectionTest : public pluginstest::PluginTest<plugins::HYBConnection> {
protected:
    ConnectionTest() {
        Reachability::setOverrideFlags(kWiFi);
        NotificationCenter::defaultCenter().addObserver(this, plugins::kNetworkReachabilityChangedNotification, nullptr,
                                                        [this](const Notification& notification) {
                                                            ++m_changes;
                                                            m_lastSender = notification.object;
                                                        });
    }
    ~ConnectionTest() override {
        NotificationCenter::defaultCenter().removeObserver(this);
        m_plugin.reset();
        Reachability::setOverrideFlags(std::nullopt);
    }
    // Sets the flags and waits until the plug-in heard of the change.
    void changeFlags(ReachabilityFlags flags) {
        const int before = m_changes;
        Reachability::setOverrideFlags(flags);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return m_changes > before; }));
    }
    std::vector<std::string> sentTypes() const {
        std::vector<std::string> types;
        for (const auto& answer : answers())
            types.push_back(answer.message().stringOr("<not text>"));
        return types;
    }
    static std::string typeFor(ReachabilityFlags flags) {
        Reachability::setOverrideFlags(flags);
        auto reachability = HYBReachability::reachabilityForInternetConnection();
        return plugins::HYBConnection::w3cConnectionTypeFor(*reachability);
    }

    int m_changes = 0;
    const void* m_lastSender = nullptr;
};

TEST_F(ConnectionTest, StatusFollowsTheFlagsInOrder) {
    EXPECT_EQ(HYBReachability::networkStatusForFlags(0), NetworkStatus::NotReachable);
    EXPECT_EQ(HYBReachability::networkStatusForFlags(kReachabilityFlagsIsWWAN), NetworkStatus::NotReachable);
    EXPECT_EQ(HYBReachability::networkStatusForFlags(kCellular | kReachabilityFlagsConnectionRequired), NetworkStatus::ReachableViaWWAN);
    EXPECT_EQ(HYBReachability::networkStatusForFlags(kWiFi), NetworkStatus::ReachableViaWiFi);
    // Needs a connection, made on demand or on traffic without intervention: there.
    for (ReachabilityFlags how : {kReachabilityFlagsConnectionOnDemand, kReachabilityFlagsConnectionOnTraffic})
        EXPECT_EQ(HYBReachability::networkStatusForFlags(kWiFi | kReachabilityFlagsConnectionRequired | how), NetworkStatus::ReachableViaWiFi);
    // With intervention, or with no way to make it: not there.
    EXPECT_EQ(HYBReachability::networkStatusForFlags(kWiFi | kReachabilityFlagsConnectionRequired | kReachabilityFlagsConnectionOnDemand
                                                     | kReachabilityFlagsInterventionRequired),
              NetworkStatus::NotReachable);
    EXPECT_EQ(HYBReachability::networkStatusForFlags(kWiFi | kReachabilityFlagsConnectionRequired), NetworkStatus::NotReachable);
}

TEST_F(ConnectionTest, TypesFromFlagsRadioTechnologyAndSystemVersion) {
    EXPECT_EQ(typeFor(kWiFi | kReachabilityFlagsConnectionRequired | kReachabilityFlagsConnectionOnDemand), "wifi");
    EXPECT_EQ(typeFor(0), "none");
    EXPECT_EQ(typeFor(kCellular | kReachabilityFlagsConnectionRequired), "none");
    EXPECT_EQ(typeFor(kCellular), "cellular"); // no radio technology
    const std::pair<const char*, const char*> generations[] = {
        {kRadioAccessTechnologyGPRS, "2g"},         {kRadioAccessTechnologyEdge, "2g"},   {kRadioAccessTechnologyWCDMA, "3g"},
        {kRadioAccessTechnologyHSDPA, "3g"},        {kRadioAccessTechnologyHSUPA, "3g"},  {kRadioAccessTechnologyCDMA1x, "3g"},
        {kRadioAccessTechnologyCDMAEVDORev0, "3g"}, {kRadioAccessTechnologyCDMAEVDORevA, "3g"},
        {kRadioAccessTechnologyCDMAEVDORevB, "3g"}, {kRadioAccessTechnologyeHRPD, "3g"},  {kRadioAccessTechnologyLTE, "4g"},
    };
    for (const auto& [technology, type] : generations) {
        ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(technology));
        EXPECT_EQ(typeFor(kCellular), type) << technology;
    }
    Device::current().setSystemVersion("7.0");
    EXPECT_EQ(typeFor(kCellular), "4g");
    Device::current().setSystemVersion("6.1");
    EXPECT_EQ(typeFor(kCellular), "cellular");

    EXPECT_TRUE(plugins::HYBConnection::isCellularConnection("cellular"));
    EXPECT_TRUE(plugins::HYBConnection::isCellularConnection("4g"));
    EXPECT_FALSE(plugins::HYBConnection::isCellularConnection("wifi"));
    EXPECT_FALSE(plugins::HYBConnection::isCellularConnection("none"));
}

TEST_F(ConnectionTest, TheTypeFromStartUpThenEachChangeToTheKeptCallback) {
    plugin();
    changeFlags(0); // before the page asked: sent without a callback id
    EXPECT_EQ(m_lastSender, plugin().internetReach().get());
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_FALSE(answers()[0].callbackId);

    changeFlags(kWiFi);
    call("getConnectionInfo", {}, "first");
    call("getConnectionInfo", {}, "kept");
    ASSERT_EQ(answers().size(), 4u);
    EXPECT_EQ(answers()[2].callbackId, "first");
    EXPECT_EQ(answers()[3].callbackId, "kept");
    EXPECT_TRUE(answers()[3].result.keepCallback());

    // A change that keeps the type sends nothing.
    changeFlags(kWiFi | kReachabilityFlagsIsDirect);
    EXPECT_EQ(answers().size(), 4u);

    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyLTE));
    changeFlags(kCellular);
    ASSERT_EQ(answers().size(), 5u);
    EXPECT_EQ(answers()[4].callbackId, "kept");
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"none", "wifi", "wifi", "wifi", "4g"}));
}

TEST_F(ConnectionTest, GetConnectionInfoBeforeAnyChangeAnswersTheTypeFromStartUp) {
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyEdge));
    Reachability::setOverrideFlags(kCellular);
    plugin();
    Reachability::setOverrideFlags(kWiFi); // not yet heard
    call("getConnectionInfo", {}, "cb");
    ASSERT_EQ(answers().size(), 1u);
    EXPECT_EQ(answers()[0].message(), Value("2g"));
    EXPECT_EQ(answers()[0].status(), runtime::HYBCommandStatus::Ok);
}

TEST_F(ConnectionTest, ARadioTechnologyChangeOnCellularIsSent) {
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyWCDMA));
    Reachability::setOverrideFlags(kCellular);
    call("getConnectionInfo", {}, "cb");
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyLTE));
    ASSERT_TRUE(waitForAnswers(2));
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"3g", "4g"}));
}

// Unforced, the type comes from the device's interfaces: "wifi" exactly when the permission diagnostics
// see the Wi-Fi joined, else the mobile network's radio technology.
TEST_F(ConnectionTest, UnforcedTheTypeFollowsTheDevicesWifiInterface) {
    using Family = InterfaceAddress::Family;
    const unsigned up = IFF_UP | IFF_RUNNING;
    Reachability::setOverrideFlags(std::nullopt);
    ASSERT_TRUE(Telephony::setCurrentRadioAccessTechnology(kRadioAccessTechnologyLTE));
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{{"en0", Family::IPv4, "192.168.1.5", up}});
    call("getConnectionInfo", {}, "cb");
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{{"en0", Family::IPv6, "fe80::1", up}, {"wwan0", Family::IPv4, "10.64.0.9", up}});
    ASSERT_TRUE(waitForAnswers(2));
    InterfaceAddresses::setOverride(std::vector<InterfaceAddress>{{"lo", Family::IPv4, "127.0.0.1", up | IFF_LOOPBACK}});
    ASSERT_TRUE(waitForAnswers(3));
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"wifi", "4g", "none"}));
}

TEST_F(ConnectionTest, BackInTheForegroundTheTypeIsSentOnlyWhenItChangedMeanwhile) {
    call("getConnectionInfo", {}, "cb");
    Application& application = Application::shared();
    application.enterBackground();
    application.enterForeground();
    EXPECT_EQ(answers().size(), 1u);

    application.enterBackground();
    Reachability::setOverrideFlags(0);
    EXPECT_EQ(answers().size(), 1u);
    application.enterForeground();
    ASSERT_EQ(answers().size(), 2u);
    EXPECT_EQ(answers()[1].message(), Value("none"));

    // The notifier runs again.
    changeFlags(kWiFi);
    EXPECT_EQ(sentTypes(), (std::vector<std::string>{"wifi", "none", "wifi"}));
    application.resetForTesting();
}

} // namespace
