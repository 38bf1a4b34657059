// The fixture of the tests that run the client through its network controller: the session fixture's
// loopback servers plus the statistics endpoint, with reachability forced through the platform's
// override (Wi-Fi at the start).
#pragma once

#include "SessionTest.h"

#include "push/PULSENetworkController.h"

#include "support/PushReportServer.h"

#include "platform/device/Reachability.h"
#include "platform/runloop/RunLoop.h"

namespace pushtest {

inline constexpr platform::ReachabilityFlags kWiFi =
    platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsDirect;
inline constexpr platform::ReachabilityFlags kMobile =
    platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsWWAN;

class NetworkGate : public SessionTest {
protected:
    explicit NetworkGate(bool deviceToken = true) : SessionTest(deviceToken) {
        auto endpoints = push::PULSEEndpoints::shared();
        endpoints.statisticsURL = m_reports.url();
        endpoints.userURL = m_reports.userURL();
        push::PULSEEndpoints::setShared(endpoints);
        platform::Reachability::setOverrideFlags(kWiFi);
    }
    ~NetworkGate() override {
        push::PULSEClientController::sharedClient().setNetworkService(nullptr);
        m_network.reset();
        m_session.reset();
        platform::Reachability::setOverrideFlags(std::nullopt);
        for (const auto& fault : m_reports.faults())
            ADD_FAILURE() << "report server fault: " << fault;
    }

    // Registers the device and logs in once with a session of its own, so that the report server
    // knows the uid; then lets that session go.
    void registerDevice() {
        registerDeviceWith(m_reports);
        m_session.reset();
    }
    void start() {
        m_network = push::PULSENetworkController::create();
        push::PULSEClientController::sharedClient().setNetworkService(m_network);
        m_session = m_network->clientSession();
    }
    // Forces the flags and waits until the controller has heard the change.
    void changeNetwork(platform::ReachabilityFlags flags) {
        const int heard = countLines("网络发生变化,重启session");
        platform::Reachability::setOverrideFlags(flags);
        ASSERT_TRUE(hybtest::runMainUntil([&] { return countLines("网络发生变化,重启session") > heard; }));
    }
    // Turns the main loop until the blocks posted so far (and those they post with no delay) have run.
    void drainPosted() {
        bool done = false;
        platform::RunLoop::main().perform([&] { platform::RunLoop::main().perform([&] { done = true; }); });
        ASSERT_TRUE(hybtest::runMainUntil([&] { return done; }));
    }
    int count(const char* name) {
        int n = 0;
        for (const auto& noteName : noteNames())
            n += noteName == name;
        return n;
    }

    testsupport::PushReportServer m_reports;
    std::shared_ptr<push::PULSENetworkController> m_network;
};

} // namespace pushtest
