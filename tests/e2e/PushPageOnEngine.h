// The push road on the real engine: the application boots the sample bundle with its push configuration
// and endpoints naming a loopback push service in this process. The push client starts once per process,
// so each test program here holds one test.
#pragma once

#include "SampleBundleOnEngine.h"

#include "platform/device/Reachability.h"
#include "platform/formats/JSON.h"
#include "platform/runloop/NotificationCenter.h"
#include "push/PULSEService.h"
#include "push/PULSESessionController.h"
#include "support/ClosedPort.h"
#include "support/PushLookupServer.h"
#include "support/PushReportSink.h"
#include "support/PushTestServer.h"

namespace e2e {

class PushPageOnEngineTest : public e2e::SampleBundleOnEngine {
protected:
    PushPageOnEngineTest() : SampleBundleOnEngine({.phoneScreen = false}) {}

    void prepare() override {
        m_server.setSessionAnswers(e2e::sampleAppKey());
        m_server.setCloseAfterLogin(m_closeAfterLogin);
        const std::string push = "127.0.0.1:" + std::to_string(m_server.pushPort());
        // The backup statistics address, where nothing listens.
        const std::string closed = "127.0.0.1:" + std::to_string(testsupport::closedPort());
        for (int port = 0; port < 2; ++port)
            m_lookup.setReply(port, testsupport::PushLookupServer::reply(closed, {push, push, closed},
                                                                          "127.0.0.1:" + std::to_string(m_sink.port()), {}));
        platform::Reachability::setOverrideFlags(platform::kReachabilityFlagsReachable | platform::kReachabilityFlagsIsDirect);
        platform::NotificationCenter::defaultCenter().addObserver(
            this, push::kPULSENetworkDidRegisterNotification, nullptr,
            [this](const platform::Notification& note) { m_registrationID = note.userInfo["RegistrationID"].stringOr(""); });
    }
    e2e::PushPorts pushPorts() override {
        return {m_server.pushPort(), m_lookup.port(0), m_lookup.port(1), m_sink.port(), testsupport::closedPort()};
    }
    void SetUp() override {
        SampleBundleOnEngine::SetUp();
        if (!IsSkipped() && !HasFatalFailure())
            open();
    }
    void TearDown() override {
        // The application's end: the push client's thread ends with it.
        platform::Application::shared().terminate();
        SampleBundleOnEngine::TearDown();
        platform::Reachability::setOverrideFlags(std::nullopt);
        for (const auto& fault : m_server.faults())
            ADD_FAILURE() << "push server fault: " << fault;
    }
    // What the page kept of each pushed message: [{via, content}, ...].
    platform::Array received() {
        auto parsed = platform::JSON::parse(eval("JSON.stringify(pushReceived)"));
        return parsed.ok() ? parsed->arrayOrEmpty() : platform::Array();
    }

    testsupport::PushTestServer m_server;
    testsupport::PushLookupServer m_lookup;
    testsupport::PushReportSink m_sink;
    std::string m_registrationID;
    bool m_closeAfterLogin = false;
};

} // namespace e2e
